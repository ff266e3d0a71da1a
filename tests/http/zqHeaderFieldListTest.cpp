#include "http/zqHeaderFieldList.h"

#include <gtest/gtest.h>

#include "tests/http/zqHttpTestSupport.h"

#include "core/zqError.h"

namespace zq {
namespace {

using test::LinesOf;

TEST(HeaderFieldListParameters, MainValueQuotedValuesAndFirstTextualMatch) {
  using L = TzqHeaderFieldList;
  EXPECT_EQ(L::GetParameter("multipart/form-data; boundary=abc", ""), "multipart/form-data");
  EXPECT_EQ(L::GetParameter("multipart/form-data; boundary=abc", "BOUNDARY"), "abc");
  EXPECT_EQ(L::GetParameter("form-data; name=\"a;b,c\"; x=1", "name"), "a;b,c");
  EXPECT_EQ(L::GetParameter("x; name='it''s'", "name"), "it");
  EXPECT_EQ(L::GetParameter("text/html; xcharset=a; charset=b", "charset"), "a");
  EXPECT_EQ(L::GetParameter("Digest realm = \"r\", nonce=\"n\"", "realm"), "r");
  EXPECT_EQ(L::GetParameter("text/html; charset", "charset"), "");
  EXPECT_EQ(L::GetParameter("text/html", "charset"), "");
  EXPECT_EQ(L::GetParameter("", ""), "");
  // An unterminated quote runs to the end and keeps its opening quote.
  EXPECT_EQ(L::GetParameter("a=\"open; b=c", "a"), "\"open; b=c");
}

TEST(HeaderFieldListParameters, ClearAndRemoveKeepTheRestIntact) {
  using L = TzqHeaderFieldList;
  EXPECT_EQ(L::ClearParameter("text/html; charset=utf-8; q=1", "charset"), "text/html; charset=; q=1");
  EXPECT_EQ(L::RemoveParameter("text/html; charset=utf-8; q=1", "charset"), "text/html; q=1");
  EXPECT_EQ(L::RemoveParameter("text/html; q=1; charset=utf-8", "charset"), "text/html; q=1");
  EXPECT_EQ(L::RemoveParameter("text/html", "charset"), "text/html");
}

TEST(HeaderFieldList, ParsesFieldsSkipsStatusAndContinuationLinesAndStopsAtTheEmptyLine) {
  TzqStringList lines{
      "HTTP/1.1 200 OK",  "Set-Cookie: a=1", "X-Long: part1", "\tpart2", " part3", "set-cookie: b=2", "",
      "Body: not a field"};
  TzqHeaderFieldList fields(lines);
  EXPECT_EQ(fields.HeaderEnd(), 6);
  ASSERT_EQ(fields.FieldCount(), 3);
  EXPECT_EQ(fields.FieldKey(2), "set-cookie");
  EXPECT_EQ(fields.GetFieldName(2), "set-cookie");
  EXPECT_EQ(fields.IndexOfField("SET-COOKIE"), 0);
  EXPECT_EQ(fields.GetFieldValue("Set-Cookie"), "a=1");
  EXPECT_EQ(fields.GetFieldValueAt(2), "b=2");
  // A tab is dropped from a continuation line, a leading space stays.
  EXPECT_EQ(fields.GetFieldValue("x-long"), "part1part2 part3");
  EXPECT_EQ(fields.IndexOfField("Body"), -1);
  EXPECT_EQ(fields.GetFieldValue("Body"), "");

  fields.RemoveField("x-long");
  fields.RemoveField("Set-Cookie");
  EXPECT_EQ(LinesOf(lines), (std::vector<std::string>{"HTTP/1.1 200 OK", "set-cookie: b=2", "", "Body: not a field"}));
  EXPECT_EQ(fields.GetFieldValue("Set-Cookie"), "b=2");
  EXPECT_EQ(fields.HeaderEnd(), 2);
}

TEST(HeaderFieldList, AddsAtTheHeaderEndBeforeTheBodyAndSkipsEmptyValues) {
  TzqStringList lines{"Host: a", "", "body"};
  TzqHeaderFieldList fields(lines);
  fields.AddField("Accept", "");
  fields.AddField("Accept", "*/*");
  fields.AddFieldIfAbsent("accept", "text/html");
  fields.AddFieldIfAbsent("Range", "bytes=0-");
  fields.AddEmptyField("authfield");
  fields.AddLines(TzqStringList{"X-Raw:  kept as is"});
  EXPECT_EQ(fields.InsertLine(-5, "GET / HTTP/1.1", false), 6);
  EXPECT_EQ(fields.InsertLine(99, "Last: 1", false), 7);
  EXPECT_EQ(LinesOf(lines), (std::vector<std::string>{"GET / HTTP/1.1", "Host: a", "Accept: */*", "Range: bytes=0-",
                                                      "authfield:", "X-Raw:  kept as is", "Last: 1", "", "body"}));
}

// Insertions keep the index up without reparsing: it stays what a fresh parse finds.
TEST(HeaderFieldList, AnIndexKeptThroughInsertionsMatchesAFreshParse) {
  TzqStringList lines{"GET / HTTP/1.1", "X-Long: a", "\tb", "Host: h", "", "body"};
  TzqHeaderFieldList fields(lines, 1);
  auto same = [&] {
    const TzqHeaderFieldList fresh(lines, 1);
    ASSERT_EQ(fields.FieldCount(), fresh.FieldCount());
    EXPECT_EQ(fields.HeaderEnd(), fresh.HeaderEnd());
    for (int i = 0; i < fresh.FieldCount(); ++i) {
      EXPECT_EQ(fields.FieldKey(i), fresh.FieldKey(i));
      EXPECT_EQ(fields.FieldLine(i), fresh.FieldLine(i));
    }
  };
  fields.InsertLine(2, "Between: the field and its continuation", false);
  same();
  fields.InsertLine(1, "First: 1", false);
  same();
  fields.InsertLine(fields.HeaderEnd(), "no colon here", false);
  same();
  fields.InsertLine(3, " a continuation", false);
  same();
  fields.AddField("Last", "2");
  same();
  EXPECT_EQ(fields.GetFieldValue("between"), "the field and its continuationb");
  EXPECT_EQ(fields.GetFieldValue("x-long"), "a a continuation");
  EXPECT_EQ(fields.IndexOfField("LAST"), fields.FieldCount() - 1);
}

TEST(HeaderFieldList, AppendsParametersWithTheItemDelimiter) {
  TzqStringList lines{"Content-Type: text/html"};
  TzqHeaderFieldList fields(lines);
  fields.AddParameter("content-type", "charset", "utf-8");
  fields.AddParameter("Content-Type", "empty", "  ");
  fields.AddParameter("Missing", "a", "b");
  EXPECT_EQ(lines[0], "Content-Type: text/html; charset=utf-8");

  TzqStringList auth;
  TzqHeaderFieldList digest(auth);
  digest.SetItemDelimiter(',');
  digest.AddEmptyField("authfield");
  digest.AddQuotedParameter("authfield", "username", "bob");
  digest.AddQuotedParameter("authfield", "realm", "\"already\"");
  digest.AddQuotedParameter("authfield", "opaque", " ");
  digest.AddParameter("authfield", "nc=", "00000001");
  EXPECT_EQ(auth[0], "authfield: username=\"bob\", realm=\"already\", nc=00000001");
  EXPECT_EQ(digest.GetFieldValue("authfield"), "username=\"bob\", realm=\"already\", nc=00000001");
}

TEST(HeaderFieldList, AParameterAppendedToAContinuationLineKeepsItFolded) {
  TzqStringList lines{"WWW-Authenticate: Digest realm=\"r\",", "\t nonce=\"n\"", "Next: x"};
  TzqHeaderFieldList fields(lines);
  fields.SetItemDelimiter(',');
  fields.AddParameter("WWW-Authenticate", "qop", "auth");
  EXPECT_EQ(LinesOf(lines),
            (std::vector<std::string>{"WWW-Authenticate: Digest realm=\"r\",", "\t nonce=\"n\", qop=auth", "Next: x"}));
  EXPECT_EQ(fields.IndexOfField("Next"), 1);
}

TEST(HeaderFieldList, FoldedLinesReadBackAsTheOriginalValue) {
  const std::string value = "a fairly long value, with (comments) and <brackets>; that needs folding over lines";
  TzqStringList lines{"", "body"};
  TzqHeaderFieldList fields(lines);
  fields.SetCharsPerLine(20);
  fields.AddField("X-Folded", value);
  fields.AddField("After", "1");
  ASSERT_GT(fields.HeaderEnd(), 3);
  for (int i = 0; i < fields.HeaderEnd(); ++i) EXPECT_LE(lines[i].size(), 30u) << lines[i];
  EXPECT_EQ(fields.GetFieldValue("X-Folded"), value);
  EXPECT_EQ(fields.GetFieldValue("After"), "1");
  EXPECT_EQ(lines[lines.Count() - 1], "body");

  // A parameter that does not fit goes on continuation lines of its own.
  fields.AddParameter("After", "parameter", "a-value-much-longer-than-twenty");
  const int after = fields.FieldLine(fields.IndexOfField("After"));
  EXPECT_EQ(lines[after], "After: 1;");
  EXPECT_EQ(lines[after + 1], "\tparameter=a-va");
  EXPECT_EQ(lines[after + 2], "\t lue-much-longe");
  EXPECT_EQ(lines[after + 3], "\t r-than-twenty");

  fields.RemoveField("X-Folded");
  fields.RemoveField("After");
  EXPECT_EQ(LinesOf(lines), (std::vector<std::string>{"", "body"}));
}

TEST(HeaderFieldList, EditingWithoutLinesRaises) {
  TzqHeaderFieldList fields;
  EXPECT_EQ(fields.IndexOfField("a"), -1);
  EXPECT_THROW(fields.AddField("a", "b"), EzqError);
}

}  // namespace
}  // namespace zq
