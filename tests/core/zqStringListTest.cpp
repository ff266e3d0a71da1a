#include "core/zqStringList.h"

#include <gtest/gtest.h>

#include "core/zqStream.h"

namespace zq {
namespace {

TEST(StringList, TextSplitsAtEveryLineBreakAndJoinsWithCrLf) {
  TzqStringList list;
  list.SetText("a\r\nb\rc\nd\n\re");
  ASSERT_EQ(list.Count(), 6);
  EXPECT_EQ(list[0], "a");
  EXPECT_EQ(list[1], "b");
  EXPECT_EQ(list[2], "c");
  EXPECT_EQ(list[3], "d");
  EXPECT_EQ(list[4], "");  // LF then CR: two breaks, not one
  EXPECT_EQ(list[5], "e");
  EXPECT_EQ(list.Text(), "a\r\nb\r\nc\r\nd\r\n\r\ne\r\n");
  list.SetText("x\r\n");
  EXPECT_EQ(list.Count(), 1);  // a final break adds no empty line
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
}

TEST(StringList, ObjectsTravelWithTheirLinesAndOwnedOnesAreFreed) {
  struct Tracked : TzqObject {
    explicit Tracked(int& alive) : alive_(alive) { ++alive_; }
    ~Tracked() override { --alive_; }
    int& alive_;
  };
  int alive = 0;
  {
    TzqStringList list;
    list.SetOwnsObjects(true);
    auto* first = new Tracked(alive);
    list.AddObject("one", first);
    list.AddObject("two", new Tracked(alive));
    list.Exchange(0, 1);
    EXPECT_EQ(list.Objects(1), first);
    EXPECT_EQ(list.IndexOfObject(first), 1);
    list.Delete(0);
    EXPECT_EQ(alive, 1);
    list.SetObjects(0, new Tracked(alive));  // replacing an owned object frees it
    EXPECT_EQ(alive, 1);
  }
  EXPECT_EQ(alive, 0);
}

TEST(StringList, ChangeNotificationsAreHeldByNestedUpdates) {
  TzqStringList list;
  int changes = 0, changing = 0;
  list.OnChange = [&](TzqObject*) { ++changes; };
  list.OnChanging = [&](TzqObject*) { ++changing; };
  list.Add("a");
  EXPECT_EQ(changes, 1);
  list.BeginUpdate();
  list.BeginUpdate();
  list.Add("b");
  list.Add("c");
  list.EndUpdate();
  EXPECT_EQ(changes, 1);
  list.EndUpdate();
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(changing, 2);
  list.BeginUpdate();
  list.EndUpdate();  // nothing changed: no notification
  EXPECT_EQ(changes, 2);
  list.SetText("x\ny");  // one batch
  EXPECT_EQ(changes, 3);
}

TEST(StringList, IndexOfAndValuesIgnoreCaseUnlessAsked) {
  TzqStringList list{"Content-Type=text/html", "Host=example"};
  EXPECT_EQ(list.IndexOf("HOST=EXAMPLE"), 1);
  EXPECT_EQ(list.Values("content-type"), "text/html");
  EXPECT_EQ(list.Names(1), "Host");
  list.SetValues("host", "other");
  EXPECT_EQ(list[1], "host=other");
  list.SetValues("Host", "");
  EXPECT_EQ(list.Count(), 1);
  list.SetCaseSensitive(true);
  EXPECT_EQ(list.IndexOf("content-type=text/html"), -1);
}

TEST(StringList, SortedListsFindAndRejectDuplicatesAsConfigured) {
  TzqStringList list{"pear", "Apple", "fig"};
  list.SetSorted(true);
  EXPECT_EQ(list[0], "Apple");
  EXPECT_EQ(list[2], "pear");
  EXPECT_EQ(list.Add("apple"), 0);  // ignored duplicate
  EXPECT_EQ(list.Count(), 3);
  list.SetDuplicates(dupError);
  EXPECT_THROW(list.Add("FIG"), EzqError);
  EXPECT_THROW(list.Insert(0, "x"), EzqError);
  list.SetDuplicates(dupAccept);
  list.Add("fig");
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list.IndexOf("grape"), -1);
}

TEST(StringList, OutOfRangeIndexRaises) {
  TzqStringList list{"a"};
  EXPECT_THROW(list.Strings(1), EzqError);
  EXPECT_THROW(list.Delete(-1), EzqError);
  EXPECT_THROW(list.Insert(2, "x"), EzqError);
  try {
    list.Strings(5);
  } catch (const EzqError& error) {
    EXPECT_STREQ(error.what(), "List index out of bounds (5)");
  }
}

TEST(StringList, DelimitedTextQuotesWhatNeedsIt) {
  TzqStringList list{"plain", "with space", "say \"hi\"", ""};
  const std::string text = list.CommaText();
  EXPECT_EQ(text, "plain,\"with space\",\"say \"\"hi\"\"\",\"\"");
  TzqStringList back;
  back.SetDelimitedText(text, ',');
  ASSERT_EQ(back.Count(), 4);
  EXPECT_EQ(back[2], "say \"hi\"");
  EXPECT_EQ(back[3], "");
}

TEST(StringList, StreamRoundTripReadsFromThePosition) {
  TzqStringList list{"first", "second"};
  TzqMemoryStream stream;
  stream.WriteString("skip");
  list.SaveToStream(stream);
  stream.SetPosition(4);
  TzqStringList loaded;
  loaded.LoadFromStream(stream);
  ASSERT_EQ(loaded.Count(), 2);
  EXPECT_EQ(loaded[1], "second");
}

TEST(StringList, AssignCopiesLinesAndRejectsOtherClasses) {
  TzqStringList source{"a", "b"};
  TzqStringList copy;
  copy.Assign(source);
  EXPECT_EQ(copy.Text(), source.Text());
  copy.AddStrings(copy);
  EXPECT_EQ(copy.Count(), 4);
  TzqPersistent other;
  EXPECT_THROW(copy.Assign(other), EzqConvertError);
}

}  // namespace
}  // namespace zq
