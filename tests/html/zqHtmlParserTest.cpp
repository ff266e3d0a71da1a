#include "html/zqHtmlParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "core/zqCodePage.h"
#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

std::vector<std::string> Names(const TzqHtmlTagList& list) {
  std::vector<std::string> names;
  for (TzqHtmlTag* tag : list) names.push_back(tag->IsText() ? "#" + tag->Source() : tag->Name());
  return names;
}

std::vector<std::string> AttributePairs(const TzqHtmlTag* tag) {
  std::vector<std::string> pairs;
  for (int i = 0; i < tag->Attributes().Count(); ++i)
    pairs.push_back(tag->Attributes()[i]->Name() + "=" + tag->Attributes()[i]->Value());
  return pairs;
}

using Strings = std::vector<std::string>;

TEST(HtmlParser, FormControlWithQuotedBareAndApostropheValues) {
  TzqHtmlParser parser;
  Strings events;
  parser.OnParseFormControl = [&](TzqObject* sender, TzqHtmlForm* form, TzqHtmlTag* control) {
    EXPECT_EQ(sender, &parser);
    events.push_back(form->Name() + ":" + control->Name());
  };
  parser.Parse("<form action=x><p><input type=\"text\" name=q value='a b'></p></form>");
  ASSERT_EQ(parser.Forms().Count(), 1);
  TzqHtmlForm* form = parser.Forms()[0];
  ASSERT_EQ(form->Controls().Count(), 1);
  TzqHtmlTag* input = form->Controls()[0];
  EXPECT_EQ(input->ClassName(), "TzqHtmlTag");
  EXPECT_EQ(input->Name(), "input");
  EXPECT_EQ(AttributePairs(input), (Strings{"type=text", "name=q", "value=a b"}));
  EXPECT_EQ(input->Attributes()[2]->Tag(), input);
  EXPECT_EQ(input->Owner()->Name(), "p");
  EXPECT_EQ(input->EnclosingForm(), form);
  EXPECT_EQ(events, (Strings{"form:input"}));
}

TEST(HtmlParser, AttributeSyntaxVariants) {
  TzqHtmlParser parser;
  parser.Parse(
      "<x a = b disabled c=\"\" d='it\"s' e=\"1>2\" f=g=h  Dup=1 dup=2 checked>"
      "<y k=v/><z\tm\n=\r'n'>");
  ASSERT_EQ(parser.Tags().Count(), 3);
  EXPECT_EQ(AttributePairs(parser.Tags()[0]),
            (Strings{"a=b", "disabled=", "c=", "d=it\"s", "e=1>2", "f=g=h", "Dup=1", "dup=2", "checked="}));
  // "k=v/": a slash inside an unquoted value belongs to it.
  EXPECT_EQ(AttributePairs(parser.Tags()[1]), (Strings{"k=v/"}));
  EXPECT_EQ(AttributePairs(parser.Tags()[2]), (Strings{"m=n"}));
  EXPECT_EQ(parser.Tags()[2]->Source(), "zm='n'");
  EXPECT_EQ(parser.Tags()[0]->Attributes().Values("DUP"), "1");
  EXPECT_EQ(parser.Tags()[0]->Attributes().Find("none"), nullptr);
  EXPECT_THROW(parser.Tags()[0]->Attributes().Items(9), EzqError);
  EXPECT_THROW(parser.Tags().Items(-1), EzqError);
}

TEST(HtmlParser, PositionsPointIntoTheDocument) {
  const std::string doc = "ab<img src=\"pic.png\" alt=x>cd";
  TzqHtmlParser parser;
  parser.SetParseMethod(pmAll);
  parser.Parse(doc);
  ASSERT_EQ(parser.Tags().Count(), 3);
  EXPECT_EQ(parser.Tags()[0]->InnerTextPos(), 0);
  TzqHtmlTag* img = parser.Tags()[1];
  EXPECT_EQ(doc.substr(static_cast<size_t>(img->InnerTextPos()), 3), "img");
  EXPECT_EQ(doc.substr(static_cast<size_t>(img->Attributes()[0]->InnerTextPos()), 7), "pic.png");
  EXPECT_EQ(doc.substr(static_cast<size_t>(img->Attributes()[1]->InnerTextPos()), 1), "x");
  EXPECT_EQ(parser.Tags()[2]->InnerTextPos(), static_cast<int64_t>(doc.find("cd")));
  EXPECT_EQ(parser.Tags()[0]->NextTag(), img);
  EXPECT_EQ(img->NextTag(), parser.Tags()[2]);
  EXPECT_EQ(parser.Tags()[2]->NextTag(), nullptr);
  EXPECT_EQ(img->Text(), img->Source());
  img->SetText("changed");
  EXPECT_EQ(img->Text(), "changed");
  EXPECT_EQ(img->Source(), "img src=\"pic.png\" alt=x");
}

TEST(HtmlParser, DeclarationsGetNoAttributesAndEncloseNothing) {
  TzqHtmlParser parser;
  parser.Parse("<?xml version=\"1.0\"?><!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0//EN\"><html><br/><hr /></html>");
  ASSERT_EQ(parser.Tags().Count(), 5);
  EXPECT_EQ(parser.Tags()[1]->Name(), "!DOCTYPE");
  EXPECT_EQ(parser.Tags()[1]->Attributes().Count(), 0);
  EXPECT_EQ(parser.Tags()[2]->Owner(), nullptr);
  EXPECT_EQ(parser.Tags()[3]->Name(), "br");
  EXPECT_EQ(parser.Tags()[3]->Source(), "br/");
  EXPECT_EQ(parser.Tags()[4]->Name(), "hr");
  EXPECT_EQ(parser.Tags()[4]->Attributes().Count(), 0);
  EXPECT_EQ(parser.Tags()[4]->Owner(), parser.Tags()[2]);
}

TEST(HtmlParser, OwnersFollowOpenElementsAndEndTags) {
  TzqHtmlParser parser;
  parser.SetParseMethod(pmAll);
  parser.Parse("<div><p>one<br>two</p><img src=a><span><b>x</span>y</DIV>z");
  EXPECT_EQ(Names(parser.Tags()), (Strings{"div", "p", "#one", "br", "#two", "img", "span", "b", "#x", "#y", "#z"}));
  auto owner = [&](int i) { return parser.Tags()[i]->Owner(); };
  EXPECT_EQ(owner(0), nullptr);
  EXPECT_EQ(owner(1), parser.Tags()[0]);
  EXPECT_EQ(owner(3), parser.Tags()[1]);  // br encloses nothing
  EXPECT_EQ(owner(4), parser.Tags()[1]);
  EXPECT_EQ(owner(5), parser.Tags()[0]);  // </p> closed p
  EXPECT_EQ(owner(6), parser.Tags()[0]);  // img encloses nothing
  EXPECT_EQ(owner(8), parser.Tags()[7]);
  EXPECT_EQ(owner(9), parser.Tags()[0]);  // </span> closed the unclosed b too
  EXPECT_EQ(owner(10), nullptr);          // end tags match without regard to case
}

TEST(HtmlParser, StrayEndTagsCloseNothing) {
  TzqHtmlParser parser;
  parser.Parse("<div></span></td><p></div><i>");
  ASSERT_EQ(parser.Tags().Count(), 3);
  EXPECT_EQ(parser.Tags()[1]->Owner(), parser.Tags()[0]);
  EXPECT_EQ(parser.Tags()[2]->Owner(), nullptr);
}

TEST(HtmlParser, ClosingTagsAreRecordedOnlyWhenAsked) {
  TzqHtmlParser parser;
  parser.Parse("<b>x</b>");
  EXPECT_EQ(Names(parser.Tags()), (Strings{"b"}));
  parser.SetIncludeClosingTags(true);
  Strings seen;
  parser.OnParseTag = [&](TzqObject*, TzqHtmlTag* tag) { seen.push_back(tag->Name()); };
  parser.Parse("<b>x</b><a href=y>z</a >");
  EXPECT_EQ(Names(parser.Tags()), (Strings{"b", "/b", "a", "/a"}));
  EXPECT_EQ(seen, Names(parser.Tags()));
  EXPECT_EQ(parser.Tags()[1]->Owner(), nullptr);
  EXPECT_EQ(parser.Tags()[3]->Source(), "/a ");
  // The end of a link is not one of its tags.
  EXPECT_EQ(parser.Links()[0]->Tags().Count(), 0);
}

TEST(HtmlParser, ParseMethodsChooseTagsTextOrBoth) {
  const char* doc = "<p class=a>Hello <b>world</b></p>!";
  TzqHtmlParser parser;
  EXPECT_EQ(parser.ParseMethod(), pmTagsOnly);
  parser.Parse(doc);
  EXPECT_EQ(Names(parser.Tags()), (Strings{"p", "b"}));
  parser.SetParseMethod(pmTextOnly);
  parser.Parse(doc);
  EXPECT_EQ(Names(parser.Tags()), (Strings{"#Hello ", "#world", "#!"}));
  EXPECT_TRUE(parser.Tags()[0]->IsText());
  EXPECT_EQ(parser.Tags()[0]->Name(), "");
  EXPECT_EQ(parser.Tags()[0]->Owner(), nullptr);
  parser.SetParseMethod(pmAll);
  parser.Parse(doc);
  EXPECT_EQ(Names(parser.Tags()), (Strings{"p", "#Hello ", "b", "#world", "#!"}));
  EXPECT_EQ(parser.Tags()[3]->Owner(), parser.Tags()[2]);
  EXPECT_EQ(parser.Tags()[3]->Text(), "world");
}

TEST(HtmlParser, CommentsAndTextThatOnlyLooksLikeMarkup) {
  TzqHtmlParser parser;
  parser.SetParseMethod(pmAll);
  parser.Parse("a<!-- <b>hidden</b> -->b < c <3 </ d> e<");
  EXPECT_EQ(Names(parser.Tags()), (Strings{"#a", "#b < c <3 </ d> e<"}));
  parser.Parse("x<!-- never closed <b>");
  EXPECT_EQ(Names(parser.Tags()), (Strings{"#x"}));
}

TEST(HtmlParser, UnterminatedTagOrQuoteEndsTheScan) {
  TzqHtmlParser parser;
  parser.SetParseMethod(pmAll);
  parser.Parse("<b>x</b><a href=\"y>z</a>");
  EXPECT_EQ(Names(parser.Tags()), (Strings{"b", "#x"}));
  parser.Parse("<b>x<i class=");
  EXPECT_EQ(Names(parser.Tags()), (Strings{"b", "#x"}));
  // A quote inside an unquoted value or after a blank does not hide the ">".
  parser.Parse("<p title=it's>q<p x 'y>r");
  EXPECT_EQ(Names(parser.Tags()), (Strings{"p", "#q", "p", "#r"}));
}

TEST(HtmlParser, ScriptAndStyleContentIsText) {
  TzqHtmlParser parser;
  parser.SetParseMethod(pmAll);
  parser.Parse("<script>if (a<b && c>d) document.write('<a href=x>');</script><style>p>b{}</STYLE ><a>");
  EXPECT_EQ(Names(parser.Tags()),
            (Strings{"script", "#if (a<b && c>d) document.write('<a href=x>');", "style", "#p>b{}", "a"}));
  EXPECT_EQ(parser.Links().Count(), 1);
  EXPECT_EQ(parser.Tags()[1]->Owner(), parser.Tags()[0]);
  parser.Parse("<script>never closed <a>");
  EXPECT_EQ(Names(parser.Tags()), (Strings{"script", "#never closed <a>"}));
}

TEST(HtmlParser, LinksCollectTheirTagsUntilTheirEnd) {
  TzqHtmlParser parser;
  parser.SetParseMethod(pmAll);
  Strings links;
  parser.OnParseLink = [&](TzqObject*, TzqHtmlLink* link) { links.push_back(link->Attributes().Values("href")); };
  parser.Parse("<a href=one>One <img src=i></a> out <A HREF=two>Two</a>");
  ASSERT_EQ(parser.Links().Count(), 2);
  EXPECT_EQ(links, (Strings{"one", "two"}));
  EXPECT_EQ(Names(parser.Links()[0]->Tags()), (Strings{"#One ", "img"}));
  EXPECT_EQ(Names(parser.Links()[1]->Tags()), (Strings{"#Two"}));
  EXPECT_EQ(parser.CurrentLink(), nullptr);
  EXPECT_EQ(parser.Images().Count(), 1);
  EXPECT_EQ(parser.Links()[1]->ClassName(), "TzqHtmlLink");
}

TEST(HtmlParser, TablesRowsCellsAndCellContent) {
  TzqHtmlParser parser;
  parser.SetParseMethod(pmAll);
  Strings events;
  parser.OnParseTable = [&](TzqObject*, TzqHtmlTable* t) { events.push_back("table " + t->Attributes().Values("id")); };
  parser.OnParseTableRow = [&](TzqObject*, TzqHtmlTable* t, TzqHtmlTableRow*) {
    events.push_back("row of " + t->Attributes().Values("id"));
  };
  parser.OnParseTableCell = [&](TzqObject*, TzqHtmlTable* t, TzqHtmlTableRow* r, TzqHtmlTableCell* c) {
    EXPECT_EQ(r->Cells().Last(), c);
    events.push_back("cell of " + t->Attributes().Values("id"));
  };
  parser.OnParseTableCellTag = [&](TzqObject*, TzqHtmlTable* t, TzqHtmlTableRow*, TzqHtmlTableCell* c,
                                   TzqHtmlTag* tag) {
    EXPECT_EQ(c->Tags().Last(), tag);
    events.push_back("in " + t->Attributes().Values("id") + ": " + (tag->IsText() ? tag->Source() : tag->Name()));
  };
  parser.Parse(
      "<td>loose</td><table id=1><tr><th>h<td>a<b>b</b><table id=2><tr><td>in</td></tr></table>c</td></tr>"
      "<tr><td>d</td></tr></table><td>after</td>");
  EXPECT_EQ(events, (Strings{"table 1", "row of 1", "cell of 1", "in 1: h", "cell of 1", "in 1: a", "in 1: b",
                             "in 1: b", "table 2", "in 1: table", "row of 2", "cell of 2", "in 2: in", "in 1: c",
                             "row of 1", "cell of 1", "in 1: d"}));
  ASSERT_EQ(parser.Tables().Count(), 2);
  TzqHtmlTable* outer = parser.Tables()[0];
  TzqHtmlTable* inner = parser.Tables()[1];
  ASSERT_EQ(outer->Rows().Count(), 2);
  EXPECT_EQ(outer->Rows()[0]->Cells().Count(), 2);
  EXPECT_EQ(Names(outer->Rows()[0]->Cells()[1]->Tags()), (Strings{"#a", "b", "#b", "table", "#c"}));
  EXPECT_EQ(inner->Rows().Count(), 1);
  EXPECT_EQ(Names(inner->Rows()[0]->Cells()[0]->Tags()), (Strings{"#in"}));
  EXPECT_TRUE(parser.TableStack().empty());
  // The cells outside any table are still tags.
  EXPECT_EQ(parser.Tags()[0]->ClassName(), "TzqHtmlTableCell");
  EXPECT_EQ(Names(parser.Tags()).back(), "#after");
  EXPECT_FALSE(parser.Tags()[0]->CanBeInCell());
}

// Texts, attribute values and the document's texts decode character references; Source keeps
// them; script and style text does not take them.
TEST(HtmlParser, CharacterReferencesAreDecoded) {
  TzqHtmlParser parser;
  parser.SetParseMethod(pmAll);
  parser.Parse(
      "<title>Fish &amp; Chips &#8212; Caf&eacute;</title>"
      "<meta name=author content=\"Zo&euml; &amp; Ann\"><meta name=description content='a &lt; b'>"
      "<meta name=\"keywords\" content=\"x&#44;y\">"
      "<a href=\"/q?a=1&amp;b=2\" title='&quot;hi&quot;'>Tom &amp; Jerry</a>"
      "<script>if (a &amp;&amp; b) x();</script><p>5 &lt; 6 &nosuch; &</p>");
  EXPECT_EQ(parser.Title(), "Fish & Chips — Café");
  EXPECT_EQ(parser.Author(), "Zoë & Ann");
  EXPECT_EQ(parser.Description(), "a < b");
  EXPECT_EQ(parser.Keywords(), "x,y");
  ASSERT_EQ(parser.Links().Count(), 1);
  const TzqHtmlLink* link = parser.Links()[0];
  EXPECT_EQ(link->Attributes().Values("href"), "/q?a=1&b=2");
  EXPECT_EQ(link->Attributes().Values("title"), "\"hi\"");
  EXPECT_EQ(link->Source(), "a href=\"/q?a=1&amp;b=2\" title='&quot;hi&quot;'");
  Strings texts;
  for (TzqHtmlTag* tag : parser.Tags())
    if (tag->IsText()) texts.push_back(tag->Text() + "|" + tag->Source());
  EXPECT_EQ(texts,
            (Strings{"Fish & Chips — Café|Fish &amp; Chips &#8212; Caf&eacute;", "Tom & Jerry|Tom &amp; Jerry",
                     "if (a &amp;&amp; b) x();|if (a &amp;&amp; b) x();", "5 < 6 &nosuch; &|5 &lt; 6 &nosuch; &"}));
}

TEST(HtmlParser, TableCharsetsGiveUtf8Text) {
  TzqMemoryStream stream(std::string("<title>\xF0\xD2\xC9\xD7\xC5\xD4</title><p title=\"\xC1\">\xEA"));
  TzqHtmlParser parser;
  parser.SetParseMethod(pmAll);
  parser.Parse(stream, "koi8-r");
  EXPECT_EQ(parser.Title(), "Привет");
  EXPECT_EQ(parser.Tags()[2]->Attributes().Values("title"), "а");
  EXPECT_EQ(Names(parser.Tags()), (Strings{"title", "#Привет", "p", "#Й"}));
}

TEST(HtmlParser, FramesMetaTagsAndDocumentTexts) {
  TzqHtmlParser parser;
  Strings meta;
  parser.OnParseMetaTag = [&](TzqObject*, TzqHtmlTag* tag) { meta.push_back(tag->Attributes().Values("name")); };
  int frames = 0;
  parser.OnParseFrame = [&](TzqObject*, TzqHtmlFrame*) { ++frames; };
  parser.Parse(
      "<html><head><TITLE>  A &amp; <b>B</b>\r\n</title><meta name=\"Author\" content=\"Ann\">"
      "<meta NAME=description CONTENT='About it'/><meta name=keywords content=\"k1, k2\">"
      "<meta name=author content=Bob><title>second</title></head>"
      "<frameset><frame src=a><iframe src=b></iframe></frameset>");
  EXPECT_EQ(parser.Title(), "A & <b>B</b>");
  EXPECT_EQ(parser.Author(), "Ann");
  EXPECT_EQ(parser.Description(), "About it");
  EXPECT_EQ(parser.Keywords(), "k1, k2");
  EXPECT_EQ(parser.MetaTags().Count(), 4);
  EXPECT_EQ(meta, (Strings{"Author", "description", "keywords", "author"}));
  EXPECT_EQ(parser.Frames().Count(), 2);
  EXPECT_EQ(frames, 2);
  EXPECT_EQ(parser.Frames()[1]->Name(), "iframe");

  // Text-only parsing still reads the document's title and meta tags.
  parser.SetParseMethod(pmTextOnly);
  parser.Parse("<title>T</title><meta name=keywords content=kw>");
  EXPECT_EQ(parser.Title(), "T");
  EXPECT_EQ(parser.Keywords(), "kw");
  EXPECT_EQ(parser.MetaTags().Count(), 0);

  parser.ClearResults();
  EXPECT_EQ(parser.Title(), "");
  EXPECT_EQ(parser.Keywords(), "");
  EXPECT_EQ(parser.Tags().Count(), 0);
}

TEST(HtmlParser, EventsFireInOrderAndEachParseStartsAfresh) {
  TzqHtmlParser parser;
  Strings events;
  parser.OnParseAttribute = [&](TzqObject*, TzqHtmlTag* tag, TzqHtmlAttribute* a) {
    EXPECT_EQ(a->Tag(), tag);
    events.push_back("attr " + a->Name());
  };
  parser.OnParseTag = [&](TzqObject*, TzqHtmlTag* tag) { events.push_back("tag " + tag->Name()); };
  parser.OnParseForm = [&](TzqObject*, TzqHtmlForm* form) { events.push_back("form " + form->Name()); };
  parser.OnParseImage = [&](TzqObject*, TzqHtmlImage* image) { events.push_back("image " + image->Name()); };
  parser.Parse("<FORM method=post><img src=x></FORM>");
  EXPECT_EQ(events, (Strings{"attr method", "tag FORM", "form FORM", "attr src", "tag img", "image img"}));
  EXPECT_EQ(parser.Forms()[0]->Controls().Count(), 0);
  parser.Parse("<p>");
  EXPECT_EQ(parser.Forms().Count(), 0);
  EXPECT_EQ(parser.Images().Count(), 0);
  EXPECT_EQ(parser.Tags().Count(), 1);
  // A document taken from the previous results outlives their clearing.
  parser.SetParseMethod(pmAll);
  parser.Parse("<script><b>x</b></script>");
  events.clear();
  parser.Parse(parser.Tags()[1]->Source());
  EXPECT_EQ(Names(parser.Tags()), (Strings{"b", "#x"}));
}

TEST(HtmlParser, ListsAndMarkersCanBeChanged) {
  TzqHtmlParser parser;
  EXPECT_EQ(parser.NonClosingTags().CommaText(), "br,input,select,textarea,frame,iframe,img,!doctype,link");
  EXPECT_EQ(parser.CommentStartMarkers().CommaText(), "<!--");
  EXPECT_EQ(parser.CommentEndMarkers().CommaText(), "-->");
  parser.NonClosingTags().Add("p");
  parser.Parse("<p>a<p>b");
  EXPECT_EQ(parser.Tags()[1]->Owner(), nullptr);

  class TzqBracketParser : public TzqHtmlParser {
  public:
    void InitCommentMarkers(TzqStringList& starts, TzqStringList& ends) override {
      TzqHtmlParser::InitCommentMarkers(starts, ends);
      starts.Add("<![CDATA[");
      ends.Add("]]>");
    }
  } bracket;
  bracket.Parse("<a><![CDATA[<b>]]><!--<i>--><u>");
  EXPECT_EQ(Names(bracket.Tags()), (Strings{"a", "u"}));
}

TEST(HtmlParser, StreamsConvertFromTheirCharset) {
  test::CodePageScope scope(1252);
  TzqMemoryStream stream(std::string("<title>Caf\xC3\xA9</title><p title=\"\xC3\xBC\">\xC3\xA4") +
                         std::string("\0<b>after a zero byte", 21));
  TzqHtmlParser parser;
  parser.SetParseMethod(pmAll);
  parser.Parse(stream, "utf-8");
  EXPECT_EQ(parser.Title(), "Caf\xE9");
  EXPECT_EQ(Names(parser.Tags()),
            (Strings{"title", "#Caf\xE9", "p", std::string("#\xE4\0", 3), "b", "#after a zero byte"}));
  EXPECT_EQ(parser.Tags()[2]->Attributes().Values("title"), "\xFC");
}

// Deep nesting and long attribute lists must stay linear; a quadratic scan takes minutes here.
TEST(HtmlParser, DeepNestingAndLongAttributeListsStayLinear) {
  const int kCount = 100000;
  std::string doc = "<form>";
  for (int i = 0; i < kCount; ++i) doc += "<div>";
  for (int i = 0; i < kCount; ++i) doc += "<input name=n" + std::to_string(i) + ">";
  doc += "<p";
  for (int i = 0; i < kCount; ++i) doc += " a" + std::to_string(i) + "=\"v\"";
  doc += ">";
  for (int i = 0; i < kCount; ++i) doc += "</span>";
  for (int i = 0; i < kCount; ++i) doc += "</div>";
  auto start = std::chrono::steady_clock::now();
  TzqHtmlParser parser;
  parser.Parse(doc);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(30));
  ASSERT_EQ(parser.Tags().Count(), 2 * kCount + 2);
  EXPECT_EQ(parser.Forms()[0]->Controls().Count(), kCount);
  TzqHtmlTag* p = parser.Tags().Last();
  EXPECT_EQ(p->Attributes().Count(), kCount);
  EXPECT_EQ(p->Attributes()[kCount - 1]->Name(), "a" + std::to_string(kCount - 1));
  EXPECT_EQ(p->Owner(), parser.Tags()[kCount]);
}

// Real pages that Debian ships; the expected numbers were counted independently with
// Python's html.parser (which also splits text at a bare "<": zlib-how.html writes
// "zpipe < foo.txt > foo.txt.z" twice, one text piece each here, two there).
struct PageCounts {
  const char* file;
  int tags, forms, controls, links, images, tables, rows, cells, metaTags, texts;
  const char* title;
  const char* description;
};

class HtmlParserRealPages : public ::testing::TestWithParam<PageCounts> {};

TEST_P(HtmlParserRealPages, FindsWhatThePageContains) {
  const PageCounts& expected = GetParam();
  TzqFileStream file(test::DataPath(std::string("html/") + expected.file), fmOpenRead);
  TzqHtmlParser parser;
  parser.SetParseMethod(pmAll);
  parser.Parse(file, "iso-8859-1");
  int texts = 0;
  int rows = 0;
  int cells = 0;
  for (TzqHtmlTag* tag : parser.Tags()) texts += tag->IsText();
  for (int i = 0; i < parser.Tables().Count(); ++i) {
    TzqHtmlTable* table = parser.Tables()[i];
    rows += table->Rows().Count();
    for (int r = 0; r < table->Rows().Count(); ++r) cells += table->Rows()[r]->Cells().Count();
  }
  int controls = 0;
  for (int i = 0; i < parser.Forms().Count(); ++i) controls += parser.Forms()[i]->Controls().Count();
  EXPECT_EQ(parser.Tags().Count() - texts, expected.tags);
  EXPECT_EQ(parser.Forms().Count(), expected.forms);
  EXPECT_EQ(controls, expected.controls);
  EXPECT_EQ(parser.Links().Count(), expected.links);
  EXPECT_EQ(parser.Images().Count(), expected.images);
  EXPECT_EQ(parser.Tables().Count(), expected.tables);
  EXPECT_EQ(rows, expected.rows);
  EXPECT_EQ(cells, expected.cells);
  EXPECT_EQ(parser.MetaTags().Count(), expected.metaTags);
  EXPECT_EQ(texts, expected.texts);
  EXPECT_EQ(parser.Title(), expected.title);
  EXPECT_EQ(parser.Description(), expected.description);
  EXPECT_TRUE(parser.TableStack().empty());
}

TEST(HtmlParser, RealPageKeepsABareLessThanInItsText) {
  TzqFileStream file(test::DataPath("html/zlib-how.html"), fmOpenRead);
  TzqHtmlParser parser;
  parser.SetParseMethod(pmTextOnly);
  parser.Parse(file, "iso-8859-1");
  Strings texts = Names(parser.Tags());
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "#zpipe < foo.txt > foo.txt.z"), 1);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "#zpipe -d < foo.txt.z > foo.txt"), 1);
}

const char* const kLibffiTitle = "Index (libffi: the portable foreign function interface library)";

INSTANTIATE_TEST_SUITE_P(DebianDocs, HtmlParserRealPages,
                         ::testing::Values(PageCounts{"libxslt-templates.html", 616, 1, 2, 80, 9, 24, 62, 118, 1, 370,
                                                      "Module templates from libxslt", ""},
                                           PageCounts{"libffi-index.html", 493, 0, 0, 116, 0, 3, 63, 229, 7, 349,
                                                      kLibffiTitle, kLibffiTitle},
                                           PageCounts{"zlib-how.html", 366, 0, 0, 2, 0, 0, 0, 0, 1, 650,
                                                      "zlib Usage Example", ""}));

}  // namespace
}  // namespace zq
