#include "http/zqHttpRequest.h"

#include <gtest/gtest.h>

#include "tests/http/zqHttpTestSupport.h"

#include <chrono>
#include <thread>

#include "core/zqValueIO.h"
#include "http/zqHeaderFieldList.h"
#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

using test::LinesOf;

std::string Body(TzqHttpRequest& request) {
  const TzqByteArray bytes = request.RequestStream()->ReadRemaining();
  return std::string(bytes.begin(), bytes.end());
}

std::string HeaderValue(TzqHttpRequest& request, const char* field) {
  TzqHeaderFieldList fields(request.HeaderSource());
  return fields.GetFieldValue(field);
}

// The request of the form-post window: three form fields, filled in as Submit does.
void FillForm(TzqHttpRequest& request) {
  for (const char* name : {"Name", "Birthdate", "Account"}) request.AddFormField(name, "");
  request.FindFormField("name")->SetFieldValue("John Doe");
  request.FindFormField("BIRTHDATE")->SetFieldValue("10/10/77");
  request.FindFormField("Account")->SetFieldValue("123456");
}

TEST(HttpRequestUrlEncoded, TheFormPostBodyAndHeaderByteForByte) {
  TzqHttpRequest request;
  FillForm(request);
  EXPECT_EQ(request.Header().ContentType(), "application/x-www-form-urlencoded");
  const std::string expected = "Name=John+Doe&Birthdate=10%2F10%2F77&Account=123456";
  ASSERT_EQ(expected.size(), 51u);
  EXPECT_EQ(Body(request), expected);
  EXPECT_EQ(request.BodySize(), 51);
  EXPECT_EQ(LinesOf(request.HeaderSource()),
            (std::vector<std::string>{"Accept: */*", "Content-Length: 51",
                                      "Content-Type: application/x-www-form-urlencoded"}));
  EXPECT_EQ(LinesOf(request.RequestText()), std::vector<std::string>{expected});
  EXPECT_EQ(request.Header().Boundary(), "");
}

TEST(HttpRequestUrlEncoded, ReservedCharactersAreEscapedUnlessNotCanonicalized) {
  TzqHttpRequest request;
  request.AddFormField("a&b", "x=1+2 *-._~");
  auto* raw = request.AddFormField("c=d", "e&f");
  EXPECT_EQ(Body(request), "a%26b=x%3D1%2B2+*-._%7E&c%3Dd=e%26f");
  raw->SetCanonicalized(false);
  EXPECT_EQ(Body(request), "a%26b=x%3D1%2B2+*-._%7E&c=d=e&f");
  EXPECT_EQ(request.BodySize(), 31);
}

TEST(HttpRequestUrlEncoded, FieldsAreEncodedInTheHeadersCharSet) {
  TzqHttpRequest form;
  form.Header().SetCharSet("koi8-r");
  form.AddFormField("имя", "Jörg");
  EXPECT_EQ(Body(form), "%C9%CD%D1=J%3Frg");  // ö has no place in KOI8-R
  form.Header().SetCharSet("iso-8859-1");
  EXPECT_EQ(Body(form), "%3F%3F%3F=J%F6rg");
  TzqHttpRequest text;
  text.Header().SetCharSet("koi8-r");
  text.AddText("ёж");
  EXPECT_EQ(Body(text), "\xA3\xD6");
}

TEST(HttpRequest, AnEmptyRequestHasNoBodyLengthOrContentType) {
  TzqHttpRequest request;
  EXPECT_EQ(Body(request), "");
  EXPECT_EQ(request.BodySize(), 0);
  EXPECT_EQ(LinesOf(request.HeaderSource()), std::vector<std::string>{"Accept: */*"});
  EXPECT_EQ(request.Header().ContentType(), "");
  EXPECT_EQ(request.Header().Boundary(), "");
}

TEST(HttpRequest, TheContentTypeFollowsTheItemsUntilSetByHand) {
  TzqHttpRequest request;
  request.AddFormField("a", "1");
  EXPECT_EQ(request.Header().ContentType(), "application/x-www-form-urlencoded");
  request.AddSubmitFile("f", "/nonexistent");
  EXPECT_EQ(request.Header().ContentType(), "multipart/form-data");
  request.AddFormField("b", "2");
  EXPECT_EQ(request.Header().ContentType(), "multipart/form-data");
  request.Items().Clear();
  EXPECT_EQ(request.Header().ContentType(), "");
  request.AddFormField("a", "1");
  request.AddText("t");
  EXPECT_EQ(request.Header().ContentType(), "");
  request.Header().SetContentType("text/plain");
  request.FindFormField("a")->SetFieldValue("changed");
  EXPECT_EQ(request.Header().ContentType(), "text/plain");
  // Raw mode: form fields send nothing, text is sent as it is.
  EXPECT_EQ(Body(request), "t");
  EXPECT_EQ(request.FindFormField("missing"), nullptr);
}

class HttpRequestMultipart : public ::testing::Test {
protected:
  void SetUp() override {
    filePath_ = dir_.File("data.bin");
    TzqFileStream file(filePath_, fmCreate);
    file.WriteString(fileContent_);
    request_.OnLoadData = [this](TzqObject* sender, TzqHttpRequestItem* item, std::unique_ptr<TzqStream>& data) {
      EXPECT_EQ(sender, &request_);
      ++loads_;
      if (auto* file = dynamic_cast<TzqSubmitFileRequestItem*>(item); file && file->FieldName() == "other")
        data = std::make_unique<TzqMemoryStream>("memo from handler");
      else if (dynamic_cast<TzqBinaryRequestItem*>(item))
        data = std::make_unique<TzqMemoryStream>(std::string("\x01\x00\x03", 3));
    };
  }

  void AddItems() {
    request_.AddFormField("title", "Hello World");
    request_.AddSubmitFile("upload", filePath_);
    request_.AddSubmitFile("other", "memo.txt")->SetContentType("text/plain");
    request_.AddText("plain text");
    request_.AddBinaryData();
  }

  std::string Expected(const std::string& boundary) const {
    const std::string separator = "\r\n--" + boundary + "\r\n";
    return "--" + boundary + "\r\n" + "Content-Disposition: form-data; name=\"title\"\r\n\r\nHello World" + separator +
           "Content-Disposition: form-data; name=\"upload\"; filename=\"data.bin\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n" +
           fileContent_ + separator +
           "Content-Disposition: form-data; name=\"other\"; filename=\"memo.txt\"\r\n"
           "Content-Type: text/plain\r\n\r\nmemo from handler" +
           separator + "plain text" + separator + std::string("\x01\x00\x03", 3) + "\r\n--" + boundary + "--\r\n";
  }

  test::TempDir dir_;
  std::string filePath_;
  const std::string fileContent_ = std::string("file bytes\0\xFF\r\n", 14);
  TzqHttpRequest request_;
  int loads_ = 0;
};

TEST_F(HttpRequestMultipart, FieldsFilesAndDataByteForByteWithAFixedBoundary) {
  AddItems();
  request_.Header().SetBoundary("BOUNDARY");
  const auto stream = request_.RequestStream();
  const std::string expected = Expected("BOUNDARY");
  const TzqByteArray bytes = stream->ReadRemaining();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected);
  EXPECT_EQ(stream->Size(), static_cast<int64_t>(expected.size()));
  EXPECT_EQ(request_.BodySize(), static_cast<int64_t>(expected.size()));
  EXPECT_EQ(HeaderValue(request_, "Content-Length"), std::to_string(expected.size()));
  EXPECT_EQ(HeaderValue(request_, "Content-Type"), "multipart/form-data; boundary=BOUNDARY");
  // A form-field part has no Content-Type line of its own.
  EXPECT_EQ(expected.find("Hello World"), expected.find("name=\"title\"\r\n\r\n") + 16);
}

TEST_F(HttpRequestMultipart, BodySizeMatchesTheStreamWithAGeneratedBoundaryAndOnLoadDataRunsPerRendering) {
  AddItems();
  const int64_t size = request_.BodySize();
  EXPECT_EQ(request_.Header().Boundary(), "");
  EXPECT_EQ(loads_, 3);
  const auto stream = request_.RequestStream();
  EXPECT_EQ(loads_, 6);
  const std::string boundary = request_.Header().Boundary();
  ASSERT_EQ(boundary.size(), 39u);
  EXPECT_EQ(boundary.substr(0, 27), std::string(27, '-'));
  EXPECT_EQ(boundary.find_first_not_of("0123456789ABCDEF", 27), std::string::npos) << boundary;
  EXPECT_EQ(size, static_cast<int64_t>(Expected(boundary).size()));
  EXPECT_EQ(std::string(Body(request_)), Expected(boundary));
  EXPECT_EQ(HeaderValue(request_, "Content-Length"), std::to_string(size));
  EXPECT_EQ(request_.Header().Boundary(), boundary);
  EXPECT_EQ(request_.RequestText().Count(), LinesOf(request_.RequestText()).size());
}

TEST_F(HttpRequestMultipart, TheBoundaryStaysUntilTheNextChange) {
  AddItems();
  request_.RequestStream();
  const std::string first = request_.Header().Boundary();
  request_.RequestStream();
  request_.HeaderSource();
  EXPECT_EQ(request_.Header().Boundary(), first);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  request_.FindFormField("title")->SetFieldValue("other");
  EXPECT_EQ(request_.Header().Boundary(), "");
  request_.RequestStream();
  EXPECT_NE(request_.Header().Boundary(), first);
  EXPECT_FALSE(request_.Header().Boundary().empty());
}

TEST_F(HttpRequestMultipart, WithoutItemsOnlyTheClosingDelimiterIsSentAndCounted) {
  request_.Header().SetContentType("multipart/form-data");
  request_.Header().SetBoundary("B");
  EXPECT_EQ(Body(request_), "\r\n--B--\r\n");
  EXPECT_EQ(request_.BodySize(), 9);
}

TEST_F(HttpRequestMultipart, AFileThatCannotBeOpenedRaisesFromStreamAndSize) {
  request_.AddSubmitFile("f", dir_.File("missing"));
  EXPECT_THROW(request_.RequestStream(), EzqStreamIoError);
  EXPECT_THROW(request_.BodySize(), EzqStreamIoError);
}

TEST(HttpRequest, BodiesBeyondFourGibibytesAreSizedIn64Bits) {
  TzqHttpRequest request;
  request.AddBinaryData();
  request.OnLoadData = [](TzqObject*, TzqHttpRequestItem*, std::unique_ptr<TzqStream>& data) {
    auto big = std::make_unique<TzqNonPersistentStream>();
    big->SetSize(int64_t{5} << 30);
    data = std::move(big);
  };
  EXPECT_EQ(request.BodySize(), int64_t{5} << 30);
  EXPECT_EQ(HeaderValue(request, "Content-Length"), "5368709120");
  EXPECT_EQ(request.RequestStream()->Size(), int64_t{5} << 30);
}

TEST(HttpRequest, OneChangeNotificationPerEffectiveChange) {
  TzqHttpRequest request;
  int changes = 0;
  request.OnChanged = [&](TzqObject* sender) {
    EXPECT_EQ(sender, &request);
    ++changes;
  };
  auto* field = request.AddFormField("a", "1");
  EXPECT_EQ(changes, 1);
  field->SetFieldValue("1");
  field->SetCanonicalized(true);
  EXPECT_EQ(changes, 1);
  field->SetFieldValue("2");
  EXPECT_EQ(changes, 2);
  request.BeginUpdate();
  field->SetFieldName("b");
  request.Header().SetHost("h");
  request.EndUpdate();
  EXPECT_EQ(changes, 3);
  request.EndUpdate();
  EXPECT_EQ(changes, 4);
  // A change drops the cached renderings.
  EXPECT_EQ(LinesOf(request.RequestText()), std::vector<std::string>{"b=2"});
  field->SetFieldValue("3");
  EXPECT_EQ(LinesOf(request.RequestText()), std::vector<std::string>{"b=3"});
}

TEST(HttpRequest, ClearKeepsTheCharSetOnlyWhenAsked) {
  TzqHttpRequest request;
  request.AddFormField("a", "1");
  request.Header().SetCharSet("utf-8");
  request.Header().SetHost("h");
  request.ClearKeepCharSet();
  EXPECT_EQ(request.Items().Count(), 0);
  EXPECT_EQ(request.Header().CharSet(), "utf-8");
  EXPECT_EQ(request.Header().Host(), "");
  EXPECT_EQ(request.Header().Accept(), "*/*");
  request.Clear();
  EXPECT_EQ(request.Header().CharSet(), "");
}

TEST(HttpRequestReceiving, AnUrlEncodedBodyBecomesFormFields) {
  TzqHttpRequest request;
  request.Header().SetContentType("application/x-www-form-urlencoded");
  std::vector<std::string> added;
  request.OnDataAdded = [&](TzqObject*, TzqHttpRequestItem*, TzqStream& data) {
    EXPECT_EQ(data.Position(), 0);
    const TzqByteArray bytes = data.ReadRemaining();
    added.emplace_back(bytes.begin(), bytes.end());
  };
  TzqMemoryStream body("skip=Name=John+Doe=x&&Birthdate = 10%2f10%2F77 &flag&%41%zz=");
  body.SetPosition(5);
  request.ParseBody(body);
  ASSERT_EQ(request.Items().Count(), 4);
  EXPECT_EQ(request.FindFormField("Name")->FieldValue(), "John Doe=x");
  EXPECT_EQ(request.FindFormField("Birthdate")->FieldValue(), "10/10/77");
  EXPECT_EQ(request.FindFormField("flag")->FieldValue(), "");
  EXPECT_EQ(request.FindFormField("A%zz")->FieldValue(), "");
  EXPECT_EQ(added, (std::vector<std::string>{"John Doe=x", "10/10/77", "", ""}));
}

TEST(HttpRequestReceiving, AnyOtherBodyBecomesOneTextItem) {
  TzqHttpRequest request;
  TzqMemoryStream body("a=1&b=2");
  request.ParseBody(body);
  ASSERT_EQ(request.Items().Count(), 1);
  auto* text = dynamic_cast<TzqTextRequestItem*>(request.Items()[0]);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->TextData(), "a=1&b=2");
}

TzqHttpRequestItem* AddPart(TzqHttpRequest& request, std::initializer_list<std::string> header) {
  TzqStringList lines(header);
  TzqHeaderFieldList fields(lines);
  return request.AddPartItem(fields);
}

TEST(HttpRequestReceiving, PartHeadersChooseTheItemClass) {
  TzqHttpRequest request;
  auto* file = dynamic_cast<TzqSubmitFileRequestItem*>(AddPart(
      request, {"Content-Disposition: Form-Data; name=\"up\"; filename=\"a b.png\"", "Content-Type: image/png"}));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->FieldName(), "up");
  EXPECT_EQ(file->FileName(), "a b.png");
  EXPECT_EQ(file->ContentType(), "image/png");
  // A sent name never points into this machine's files.
  for (const char* path : {"../../etc/passwd", "/etc/passwd", "C:\\Windows\\passwd"}) {
    auto* sent = dynamic_cast<TzqSubmitFileRequestItem*>(
        AddPart(request, {std::string("Content-Disposition: form-data; name=f; filename=\"") + path + "\""}));
    ASSERT_NE(sent, nullptr) << path;
    EXPECT_EQ(sent->FileName(), "passwd") << path;
  }
  auto* field =
      dynamic_cast<TzqFormFieldRequestItem*>(AddPart(request, {"Content-Disposition: form-data; name=title"}));
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->FieldName(), "title");
  EXPECT_NE(dynamic_cast<TzqTextRequestItem*>(
                AddPart(request, {"Content-Disposition: attachment", "Content-Type: application/JSON"})),
            nullptr);
  EXPECT_NE(dynamic_cast<TzqBinaryRequestItem*>(AddPart(request, {"Content-Type: image/gif"})), nullptr);
  EXPECT_EQ(request.Items().Count(), 7);

  const TzqByteArray bytes = test::ToBytes("xxHello");
  field->AddData(bytes, 2, 3);
  field->AddData(bytes, 5, 100);
  field->AddData(bytes, -1, 2);
  EXPECT_EQ(field->FieldValue(), "Hello");
}

TEST(HttpRequestReceiving, BinaryDataGoesIntoTheOneReceiveStreamFromOnSaveData) {
  TzqHttpRequest request;
  auto* binary = request.AddBinaryData();
  const TzqByteArray bytes = test::ToBytes("abcdef");
  binary->AddData(bytes, 0, 3);  // no handler: dropped
  binary->AfterAddData();
  EXPECT_EQ(request.ReceiveStream(), nullptr);

  int asked = 0;
  request.OnSaveData = [&](TzqObject*, TzqHttpRequestItem* item, std::unique_ptr<TzqStream>& data) {
    EXPECT_EQ(item, binary);
    ++asked;
    data = std::make_unique<TzqMemoryStream>();
  };
  std::string reported;
  request.OnDataAdded = [&](TzqObject*, TzqHttpRequestItem* item, TzqStream& data) {
    EXPECT_EQ(item, binary);
    EXPECT_EQ(&data, request.ReceiveStream());
    const TzqByteArray got = data.ReadRemaining();
    reported.assign(got.begin(), got.end());
  };
  binary->AddData(bytes, 0, 3);
  binary->AddData(bytes, 3, 3);
  binary->AfterAddData();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(reported, "abcdef");
}

// Reads the stored Items value back as the values it consists of.
std::vector<std::string> StoredValues(const TzqHttpRequest& request) {
  TzqMemoryStream stream;
  TzqValueWriter writer(stream);
  request.Items().WriteItems(writer);
  stream.SetPosition(0);
  TzqValueReader reader(stream);
  std::vector<std::string> values;
  reader.ReadListBegin();
  while (!reader.EndOfList()) {
    values.push_back(reader.ReadString());
    if (reader.NextValue() == vaTrue || reader.NextValue() == vaFalse)
      values.push_back(reader.ReadBoolean() ? "true" : "false");
  }
  reader.ReadListEnd();
  EXPECT_EQ(stream.Position(), stream.Size());
  return values;
}

TEST(HttpRequestStoredForm, TheFormPostItemsAreStoredAsClassNameFlagAndFields) {
  TzqHttpRequest request;
  for (const char* name : {"Name", "Birthdate", "Account"}) request.AddFormField(name, "");
  EXPECT_EQ(StoredValues(request),
            (std::vector<std::string>{"TzqFormFieldRequestItem", "true", "Name", "", "TzqFormFieldRequestItem", "true",
                                      "Birthdate", "", "TzqFormFieldRequestItem", "true", "Account", ""}));
}

std::string Saved(const TzqHttpRequest& request) {
  TzqMemoryStream stream;
  request.SaveToStream(stream);
  return stream.DataString();
}

void FillEveryKind(TzqHttpRequest& request) {
  request.AddFormField("Name", "Jörg & Co");
  request.AddSubmitFile("upload", "/tmp/x.bin")->SetContentType("image/png");
  request.AddText("some text")->SetCanonicalized(false);
  request.AddBinaryData();
  request.Header().SetContentType("multipart/form-data");
  request.Header().SetAcceptLanguage("de");
  request.Header().ExtraFields().Add("X-A: 1");
  request.SetBatchSize(4096);
}

TEST(HttpRequestStoredForm, RoundTripsItemsHeaderAndBatchSize) {
  TzqHttpRequest source;
  FillEveryKind(source);
  TzqMemoryStream stream(Saved(source));
  TzqHttpRequest loaded;
  int changes = 0;
  loaded.OnChanged = [&](TzqObject*) { ++changes; };
  loaded.LoadFromStream(stream);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(Saved(loaded), Saved(source));
  ASSERT_EQ(loaded.Items().Count(), 4);
  EXPECT_EQ(loaded.FindFormField("name")->FieldValue(), "Jörg & Co");
  auto* file = dynamic_cast<TzqSubmitFileRequestItem*>(loaded.Items()[1]);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->FileName(), "/tmp/x.bin");
  EXPECT_EQ(file->ContentType(), "image/png");
  EXPECT_FALSE(loaded.Items()[2]->Canonicalized());
  EXPECT_NE(dynamic_cast<TzqBinaryRequestItem*>(loaded.Items()[3]), nullptr);
  EXPECT_EQ(loaded.Header().ContentType(), "multipart/form-data");
  EXPECT_EQ(loaded.Header().Accept(), "*/*");
  EXPECT_EQ(loaded.Header().AcceptLanguage(), "de");
  EXPECT_EQ(LinesOf(loaded.Header().ExtraFields()), std::vector<std::string>{"X-A: 1"});
  EXPECT_EQ(loaded.BatchSize(), 4096);
  EXPECT_EQ(&loaded.Items()[0]->Request(), &loaded);

  TzqHttpRequest copy;
  copy.Assign(source);
  EXPECT_EQ(Saved(copy), Saved(source));
}

// A stored form whose second item names a class nobody registered.
std::string StoredWithUnknownClass() {
  TzqMemoryStream stream;
  TzqValueWriter writer(stream);
  writer.WriteListBegin();
  writer.WriteString("Items");
  writer.WriteListBegin();
  writer.WriteString("TzqFormFieldRequestItem");
  writer.WriteBoolean(true);
  writer.WriteString("a");
  writer.WriteString("1");
  writer.WriteString("TzqBogusRequestItem");
  writer.WriteBoolean(true);
  writer.WriteListEnd();
  writer.WriteListEnd();
  return stream.DataString();
}

TEST(HttpRequest, AFailingChangeHandlerReachesTheCallerAndHoldsNothingBack) {
  TzqHttpRequest request;
  int changes = 0;
  request.OnChanged = [&](TzqObject*) {
    if (++changes == 1) throw EzqError("handler failed");
  };
  EXPECT_THROW(request.AddFormField("a", "1"), EzqError);
  EXPECT_EQ(request.Items().Count(), 1);
  request.AddText("b");
  EXPECT_EQ(changes, 2);
}

TEST(HttpRequestStoredForm, AnUnregisteredItemClassOrABrokenFormLeavesTheRequestAsItWas) {
  TzqHttpRequest request;
  FillEveryKind(request);
  request.Header().SetBoundary("kept");
  const std::string before = Saved(request);
  int changes = 0;
  request.OnChanged = [&](TzqObject*) { ++changes; };

  TzqMemoryStream unknown(StoredWithUnknownClass());
  try {
    request.LoadFromStream(unknown);
    FAIL() << "an unknown item class was accepted";
  } catch (const EzqError& e) {
    EXPECT_STREQ(e.what(), "Class TzqBogusRequestItem not found");
  }
  TzqMemoryStream itemsOnly(StoredWithUnknownClass().substr(1 + 6));
  TzqValueReader reader(itemsOnly);
  EXPECT_THROW(request.Items().ReadItems(reader), EzqError);

  const std::string good = Saved(request);
  for (size_t cut = 0; cut < good.size(); cut += 7) {
    TzqMemoryStream truncated(good.substr(0, cut));
    EXPECT_THROW(request.LoadFromStream(truncated), EzqError) << cut;
  }
  EXPECT_EQ(Saved(request), before);
  EXPECT_EQ(request.Items().Count(), 4);
  EXPECT_EQ(request.Header().Boundary(), "kept");
  EXPECT_EQ(changes, 0);
}

TEST(HttpRequestStoredForm, DescendantItemClassesLoadOnceRegistered) {
  struct TzqNoteItem : TzqTextRequestItem {
    using TzqTextRequestItem::TzqTextRequestItem;
    std::string ClassName() const override { return "TzqNoteItem"; }
  };
  TzqHttpRequest source;
  source.Items().AddItem<TzqNoteItem>()->SetTextData("note");
  const std::string stored = Saved(source);
  TzqHttpRequest target;
  TzqMemoryStream first(stored);
  EXPECT_THROW(target.LoadFromStream(first), EzqError);
  TzqHttpRequestItemList::RegisterItemClass(
      "TzqNoteItem", [](TzqHttpRequestItemList& owner) { return std::make_unique<TzqNoteItem>(owner); });
  TzqMemoryStream second(stored);
  target.LoadFromStream(second);
  ASSERT_EQ(target.Items().Count(), 1);
  EXPECT_EQ(target.Items()[0]->ClassName(), "TzqNoteItem");
  EXPECT_EQ(Body(target), "note");
}

}  // namespace
}  // namespace zq
