#include "http/zqHttpRequest.h"

#include <type_traits>
#include <utility>

#include "codec/zqPercentEncoder.h"
#include "codec/zqTranslator.h"
#include "core/zqDateTime.h"
#include "core/zqError.h"
#include "core/zqScopeGuard.h"
#include "core/zqText.h"
#include "core/zqValueIO.h"
#include "http/zqHeaderFieldList.h"
#include "http/zqHttpUtils.h"

namespace zq {

namespace {

const char* const sClassNotFound = "Class %s not found";
const char* const sPropertyNotFound = "Property %s does not exist";
const char* const sUrlEncodedType = "application/x-www-form-urlencoded";
const char* const sMultipartType = "multipart/form-data";
const char* const sDefaultFileType = "application/octet-stream";
const char* const sContentDispositionField = "Content-Disposition";
const char* const sContentTypeField = "Content-Type";
const char* const sFormData = "form-data";
const char* const sDispositionPrefix = "Content-Disposition: form-data; name=\"";
const char* const sBatchSizeProperty = "BatchSize";
const char* const sHeaderProperty = "Header";
const char* const sItemsProperty = "Items";
constexpr int kDefaultBatchSize = 8192;
constexpr int kBoundaryHyphens = 27;
constexpr size_t kBoundaryDigits = 12;

std::unique_ptr<TzqStream> MemoryStream(TzqByteArray bytes) {
  return std::make_unique<TzqMemoryStream>(std::move(bytes));
}

std::unique_ptr<TzqStream> TextStream(std::string_view text, std::string_view charset) {
  return MemoryStream(TzqTranslator::TextToBytes(text, charset));
}

// What goes in front of item index in the body.
std::string Separator(TzqRequestBodyMode mode, const std::string& boundary, int index) {
  switch (mode) {
    case bmMultipart:
      return (index > 0 ? "\r\n--" : "--") + boundary + "\r\n";
    case bmUrlEncoded:
      return index > 0 ? "&" : "";
    case bmRaw:
      break;
  }
  return std::string();
}

std::string ClosingDelimiter(const std::string& boundary) { return "\r\n--" + boundary + "--\r\n"; }

std::string ExtractFileName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name that arrived with a part is never a path into this machine (RFC 7578): a rebuilt
// request would otherwise send whichever local file the sender named.
std::string ReceivedFileName(const std::string& name) {
  const size_t separator = name.find_last_of("/\\");
  return separator == std::string::npos ? name : name.substr(separator + 1);
}

std::string FormEncode(const TzqHttpRequestItem& item, const std::string& text) {
  return item.Canonicalized() ? TzqFormFieldEncoder().Encode(text, item.GetCharSet()) : text;
}

// The received bytes [start, start + count) that actually lie inside bytes.
bool ClampRange(const TzqByteArray& bytes, int64_t& start, int64_t& count) {
  const auto size = static_cast<int64_t>(bytes.size());
  if (start < 0 || start >= size || count <= 0) return false;
  count = std::min(count, size - start);
  return true;
}

std::string ReceivedText(const TzqHttpRequestItem& item, const TzqByteArray& bytes, int64_t start, int64_t count) {
  if (!ClampRange(bytes, start, count)) return std::string();
  return TzqTranslator::BytesToText(bytes, start, item.GetCharSet(), count);
}

void ReportText(TzqHttpRequestItem& item, const std::string& text) {
  const auto data = TextStream(text, item.GetCharSet());
  item.Request().DoDataAdded(&item, *data);
}

// Binary and file items write received bytes into the request's receive stream.
void ReceiveBytes(TzqHttpRequestItem& item, const TzqByteArray& bytes, int64_t start, int64_t count) {
  if (!ClampRange(bytes, start, count)) return;
  if (TzqStream* stream = item.Request().EnsureReceiveStream(&item)) stream->WriteBuffer(bytes.data() + start, count);
}

void ReportReceivedBytes(TzqHttpRequestItem& item) {
  TzqStream* stream = item.Request().ReceiveStream();
  if (!stream) return;
  stream->Seek(0, soBeginning);
  item.Request().DoDataAdded(&item, *stream);
}

struct ItemClass {
  std::string name;
  TzqHttpRequestItemFactory create;
};

template <class T>
ItemClass RegisteredClass(const char* name) {
  return {name, [](TzqHttpRequestItemList& owner) { return std::make_unique<T>(owner); }};
}

std::vector<ItemClass>& ItemClasses() {
  static std::vector<ItemClass> classes = {
      RegisteredClass<TzqFormFieldRequestItem>("TzqFormFieldRequestItem"),
      RegisteredClass<TzqSubmitFileRequestItem>("TzqSubmitFileRequestItem"),
      RegisteredClass<TzqTextRequestItem>("TzqTextRequestItem"),
      RegisteredClass<TzqBinaryRequestItem>("TzqBinaryRequestItem"),
  };
  return classes;
}

const ItemClass* FindItemClass(std::string_view name) {
  for (const auto& itemClass : ItemClasses())
    if (itemClass.name == name) return &itemClass;
  return nullptr;
}

void ReadHeaderProperties(TzqValueReader& reader, TzqHttpRequestHeader& header) {
  reader.ReadListBegin();
  while (!reader.EndOfList()) {
    const std::string name = reader.ReadString();
    if (!header.ReadProperty(name, reader)) throw EzqReadError(Format(sPropertyNotFound, name.c_str()));
  }
  reader.ReadListEnd();
}

}  // namespace

// Runs a change with the request's notifications held, then notifies once. When the change
// throws, the hold is dropped without notifying; a failing notification reaches the caller.
class TzqRequestUpdateScope {
public:
  template <class Change>
  static auto Run(TzqHttpRequest& request, Change&& change) {
    request.BeginUpdate();
    TzqScopeGuard drop([&request] {
      if (request.updateCount_ > 0) --request.updateCount_;
    });
    auto notify = [&] {
      drop.Dismiss();
      request.EndUpdate();
    };
    if constexpr (std::is_void_v<decltype(change())>) {
      change();
      notify();
    } else {
      auto result = change();
      notify();
      return result;
    }
  }
};

// Marks the request as rendering itself: the boundary survives changes, the content type
// does not follow the items.
class TzqRequestBuildingScope {
public:
  explicit TzqRequestBuildingScope(TzqHttpRequest& request) : request_(request), previous_(request.building_) {
    request_.building_ = true;
  }
  ~TzqRequestBuildingScope() { request_.building_ = previous_; }
  TzqRequestBuildingScope(const TzqRequestBuildingScope&) = delete;
  TzqRequestBuildingScope& operator=(const TzqRequestBuildingScope&) = delete;

private:
  TzqHttpRequest& request_;
  bool previous_;
};

// Marks the request as reading its stored form: no change handling at all.
class TzqRequestLoadingScope {
public:
  explicit TzqRequestLoadingScope(TzqHttpRequest& request) : request_(request) { ++request_.loading_; }
  ~TzqRequestLoadingScope() { --request_.loading_; }
  TzqRequestLoadingScope(const TzqRequestLoadingScope&) = delete;
  TzqRequestLoadingScope& operator=(const TzqRequestLoadingScope&) = delete;

private:
  TzqHttpRequest& request_;
};

// --- TzqHttpRequestItem ---

TzqHttpRequestItem::TzqHttpRequestItem(TzqHttpRequestItemList& owner) : owner_(&owner) {}

TzqHttpRequest& TzqHttpRequestItem::Request() const { return owner_->Request(); }

void TzqHttpRequestItem::Assign(const TzqPersistent& source) {
  const auto* item = dynamic_cast<const TzqHttpRequestItem*>(&source);
  if (!item) {
    TzqPersistent::Assign(source);
    return;
  }
  SetCanonicalized(item->canonicalized_);
}

void TzqHttpRequestItem::SetCanonicalized(bool value) {
  if (canonicalized_ == value) return;
  TzqRequestUpdateScope::Run(Request(), [&] { canonicalized_ = value; });
}

void TzqHttpRequestItem::SetText(std::string& field, const std::string& value) {
  if (field == value) return;
  TzqRequestUpdateScope::Run(Request(), [&] { field = value; });
}

int64_t TzqHttpRequestItem::DataSize() {
  if (size_ == 0) size_ = GetDataStream()->Size();
  return size_;
}

void TzqHttpRequestItem::ReadStoredData(TzqValueReader& reader) {
  TzqRequestUpdateScope::Run(Request(), [&] { SetCanonicalized(reader.ReadBoolean()); });
}

void TzqHttpRequestItem::WriteStoredData(TzqValueWriter& writer) const { writer.WriteBoolean(canonicalized_); }

void TzqHttpRequestItem::ParsePartHeader(TzqHeaderFieldList&) {}

std::string TzqHttpRequestItem::GetCharSet() const { return Request().Header().CharSet(); }

// --- TzqFormFieldRequestItem ---

void TzqFormFieldRequestItem::Assign(const TzqPersistent& source) {
  TzqRequestUpdateScope::Run(Request(), [&] {
    TzqHttpRequestItem::Assign(source);
    if (const auto* item = dynamic_cast<const TzqFormFieldRequestItem*>(&source)) {
      SetFieldName(item->fieldName_);
      SetFieldValue(item->fieldValue_);
    }
  });
}

void TzqFormFieldRequestItem::ReadStoredData(TzqValueReader& reader) {
  TzqRequestUpdateScope::Run(Request(), [&] {
    TzqHttpRequestItem::ReadStoredData(reader);
    SetFieldName(reader.ReadString());
    SetFieldValue(reader.ReadString());
  });
}

void TzqFormFieldRequestItem::WriteStoredData(TzqValueWriter& writer) const {
  TzqHttpRequestItem::WriteStoredData(writer);
  writer.WriteString(fieldName_);
  writer.WriteString(fieldValue_);
}

void TzqFormFieldRequestItem::AddData(const TzqByteArray& bytes, int64_t start, int64_t count) {
  SetFieldValue(fieldValue_ + ReceivedText(*this, bytes, start, count));
}

void TzqFormFieldRequestItem::AfterAddData() { ReportText(*this, fieldValue_); }

std::unique_ptr<TzqStream> TzqFormFieldRequestItem::GetDataStream() {
  switch (Request().BodyMode()) {
    case bmMultipart:
      TzqHttpUtils::CheckHeaderText(fieldName_, "a form field's name");
      return TextStream(sDispositionPrefix + fieldName_ + "\"\r\n\r\n" + fieldValue_, GetCharSet());
    case bmUrlEncoded:
      return TextStream(FormEncode(*this, fieldName_) + "=" + FormEncode(*this, fieldValue_), GetCharSet());
    case bmRaw:
      break;
  }
  return MemoryStream({});
}

// --- TzqSubmitFileRequestItem ---

TzqSubmitFileRequestItem::TzqSubmitFileRequestItem(TzqHttpRequestItemList& owner)
    : TzqHttpRequestItem(owner), contentType_(sDefaultFileType) {}

void TzqSubmitFileRequestItem::Assign(const TzqPersistent& source) {
  TzqRequestUpdateScope::Run(Request(), [&] {
    TzqHttpRequestItem::Assign(source);
    if (const auto* item = dynamic_cast<const TzqSubmitFileRequestItem*>(&source)) {
      SetFieldName(item->fieldName_);
      SetFileName(item->fileName_);
      SetContentType(item->contentType_);
    }
  });
}

void TzqSubmitFileRequestItem::ReadStoredData(TzqValueReader& reader) {
  TzqRequestUpdateScope::Run(Request(), [&] {
    TzqHttpRequestItem::ReadStoredData(reader);
    SetFieldName(reader.ReadString());
    SetFileName(reader.ReadString());
    SetContentType(reader.ReadString());
  });
}

void TzqSubmitFileRequestItem::WriteStoredData(TzqValueWriter& writer) const {
  TzqHttpRequestItem::WriteStoredData(writer);
  writer.WriteString(fieldName_);
  writer.WriteString(fileName_);
  writer.WriteString(contentType_);
}

void TzqSubmitFileRequestItem::ParsePartHeader(TzqHeaderFieldList& fields) {
  TzqRequestUpdateScope::Run(Request(), [&] {
    // A part without a Content-Type keeps the default: the part header always names one.
    const std::string type = fields.GetFieldValue(sContentTypeField);
    if (!type.empty()) SetContentType(type);
    SetFieldName(TzqHeaderFieldList::GetParameter(fields.GetFieldValue(sContentDispositionField), "name"));
  });
}

void TzqSubmitFileRequestItem::AddData(const TzqByteArray& bytes, int64_t start, int64_t count) {
  ReceiveBytes(*this, bytes, start, count);
}

void TzqSubmitFileRequestItem::AfterAddData() { ReportReceivedBytes(*this); }

std::unique_ptr<TzqStream> TzqSubmitFileRequestItem::GetDataStream() {
  if (Request().BodyMode() != bmMultipart) return MemoryStream({});
  TzqHttpUtils::CheckHeaderText(fieldName_, "a form field's name");
  TzqHttpUtils::CheckHeaderText(fileName_, "a file name");
  TzqHttpUtils::CheckHeaderText(contentType_, "a file's content type");
  const std::string partHeader = sDispositionPrefix + fieldName_ + "\"; filename=\"" + ExtractFileName(fileName_) +
                                 "\"\r\nContent-Type: " + contentType_ + "\r\n\r\n";
  auto stream = std::make_unique<TzqMultiStream>();
  stream->AddStream(MemoryStream(TzqTranslator::TextToBytes(partHeader)));
  std::unique_ptr<TzqStream> data = Request().DoLoadData(this);
  if (!data) data = std::make_unique<TzqFileStream>(fileName_, fmOpenRead | fmShareDenyNone);
  stream->AddStream(std::move(data));
  return stream;
}

// --- TzqTextRequestItem ---

void TzqTextRequestItem::Assign(const TzqPersistent& source) {
  TzqRequestUpdateScope::Run(Request(), [&] {
    TzqHttpRequestItem::Assign(source);
    if (const auto* item = dynamic_cast<const TzqTextRequestItem*>(&source)) SetTextData(item->textData_);
  });
}

void TzqTextRequestItem::ReadStoredData(TzqValueReader& reader) {
  TzqRequestUpdateScope::Run(Request(), [&] {
    TzqHttpRequestItem::ReadStoredData(reader);
    SetTextData(reader.ReadString());
  });
}

void TzqTextRequestItem::WriteStoredData(TzqValueWriter& writer) const {
  TzqHttpRequestItem::WriteStoredData(writer);
  writer.WriteString(textData_);
}

void TzqTextRequestItem::AddData(const TzqByteArray& bytes, int64_t start, int64_t count) {
  SetTextData(textData_ + ReceivedText(*this, bytes, start, count));
}

void TzqTextRequestItem::AfterAddData() { ReportText(*this, textData_); }

std::unique_ptr<TzqStream> TzqTextRequestItem::GetDataStream() { return TextStream(textData_, GetCharSet()); }

// --- TzqBinaryRequestItem ---

void TzqBinaryRequestItem::AddData(const TzqByteArray& bytes, int64_t start, int64_t count) {
  ReceiveBytes(*this, bytes, start, count);
}

void TzqBinaryRequestItem::AfterAddData() { ReportReceivedBytes(*this); }

std::unique_ptr<TzqStream> TzqBinaryRequestItem::GetDataStream() {
  std::unique_ptr<TzqStream> data = Request().DoLoadData(this);
  if (!data) return MemoryStream({});
  data->Seek(0, soBeginning);
  return data;
}

// --- TzqHttpRequestItemList ---

TzqHttpRequestItemList::~TzqHttpRequestItemList() = default;

void TzqHttpRequestItemList::RegisterItemClass(const std::string& className, TzqHttpRequestItemFactory factory) {
  for (auto& itemClass : ItemClasses()) {
    if (itemClass.name == className) {
      itemClass.create = std::move(factory);
      return;
    }
  }
  ItemClasses().push_back({className, std::move(factory)});
}

bool TzqHttpRequestItemList::IsItemClassRegistered(std::string_view className) {
  return FindItemClass(className) != nullptr;
}

TzqHttpRequestItem* TzqHttpRequestItemList::Append(std::unique_ptr<TzqHttpRequestItem> item) {
  return TzqRequestUpdateScope::Run(*request_, [&] {
    items_.push_back(std::move(item));
    request_->ItemsChanged();
    return items_.back().get();
  });
}

TzqHttpRequestItem* TzqHttpRequestItemList::AddItem(std::string_view className) {
  const ItemClass* itemClass = FindItemClass(className);
  if (!itemClass) throw EzqReadError(Format(sClassNotFound, std::string(className).c_str()));
  return Append(itemClass->create(*this));
}

void TzqHttpRequestItemList::Clear() {
  TzqRequestUpdateScope::Run(*request_, [&] {
    items_.clear();
    request_->ItemsChanged();
  });
}

void TzqHttpRequestItemList::Assign(const TzqPersistent& source) {
  const auto* list = dynamic_cast<const TzqHttpRequestItemList*>(&source);
  if (!list) {
    TzqPersistent::Assign(source);
    return;
  }
  if (list == this) return;
  TzqRequestUpdateScope::Run(*request_, [&] {
    Clear();
    for (const auto& item : list->items_) AddItem(item->ClassName())->Assign(*item);
  });
}

void TzqHttpRequestItemList::WriteItems(TzqValueWriter& writer) const {
  writer.WriteListBegin();
  for (const auto& item : items_) {
    writer.WriteString(item->ClassName());
    item->WriteStoredData(writer);
  }
  writer.WriteListEnd();
}

void TzqHttpRequestItemList::ReadItemValues(TzqValueReader& reader) {
  reader.ReadListBegin();
  while (!reader.EndOfList()) AddItem(reader.ReadString())->ReadStoredData(reader);
  reader.ReadListEnd();
}

void TzqHttpRequestItemList::ReadItems(TzqValueReader& reader) {
  {
    TzqRequestLoadingScope loading(*request_);
    // Read aside first: a stored form that fails half-way leaves the items untouched.
    TzqHttpRequestItemList loaded(*request_);
    loaded.ReadItemValues(reader);
    TakeItems(loaded);
  }
  request_->Changed();
}

void TzqHttpRequestItemList::TakeItems(TzqHttpRequestItemList& from) {
  items_ = std::move(from.items_);
  from.items_.clear();
  for (auto& item : items_) item->owner_ = this;
}

// --- TzqHttpRequest ---

TzqHttpRequest::TzqHttpRequest(TzqComponent* owner)
    : TzqComponent(owner), items_(std::make_unique<TzqHttpRequestItemList>(*this)) {}

TzqHttpRequest::~TzqHttpRequest() {
  destroying_ = true;
  receiveStream_.reset();
  header_.reset();
  items_.reset();
  bodyText_.Clear();
  headerLines_.Clear();
}

TzqHttpRequestHeader& TzqHttpRequest::Header() const {
  // Made on first use, so that a descendant's CreateHeader is the one called.
  if (!header_) {
    header_ = const_cast<TzqHttpRequest*>(this)->CreateHeader();
    header_->OnChange = [this](TzqObject*) { const_cast<TzqHttpRequest*>(this)->Changed(); };
  }
  return *header_;
}

std::unique_ptr<TzqHttpRequestHeader> TzqHttpRequest::CreateHeader() {
  return std::make_unique<TzqHttpRequestHeader>();
}

void TzqHttpRequest::Assign(const TzqPersistent& source) {
  const auto* request = dynamic_cast<const TzqHttpRequest*>(&source);
  if (!request) {
    TzqComponent::Assign(source);
    return;
  }
  if (request == this) return;
  TzqRequestUpdateScope::Run(*this, [&] {
    Clear();
    items_->Assign(*request->items_);
    Header().Assign(request->Header());
    SetBatchSize(request->batchSize_);
  });
}

void TzqHttpRequest::SetBatchSize(int value) {
  if (batchSize_ == value) return;
  batchSize_ = value;
  Changed();
}

void TzqHttpRequest::EndUpdate() {
  if (updateCount_ > 0) --updateCount_;
  Changed();
}

bool TzqHttpRequest::Quiet() const {
  return destroying_ || loading_ > 0 || updateCount_ > 0 || HasState(csLoading) || HasState(csDesigning) ||
         HasState(csDestroying);
}

void TzqHttpRequest::Changed() {
  if (Quiet()) return;
  if (!building_) {
    // Held, so that emptying the boundary does not come back here.
    ++updateCount_;
    Header().SetBoundary(std::string());
    --updateCount_;
  }
  bodyText_.Clear();
  headerLines_.Clear();
  for (int i = 0; i < items_->Count(); ++i) items_->Items(i)->ResetSize();
  DoChanged();
}

void TzqHttpRequest::ItemsChanged() {
  if (loading_ > 0 || HasState(csLoading) || building_) return;
  Header().SetContentType(GetContentType());
}

TzqFormFieldRequestItem* TzqHttpRequest::AddFormField(const std::string& name, const std::string& value) {
  return TzqRequestUpdateScope::Run(*this, [&] {
    auto* item = items_->AddItem<TzqFormFieldRequestItem>();
    item->SetFieldName(name);
    item->SetFieldValue(value);
    return item;
  });
}

TzqSubmitFileRequestItem* TzqHttpRequest::AddSubmitFile(const std::string& fieldName, const std::string& fileName) {
  return TzqRequestUpdateScope::Run(*this, [&] {
    auto* item = items_->AddItem<TzqSubmitFileRequestItem>();
    item->SetFileName(fileName);
    item->SetFieldName(fieldName);
    return item;
  });
}

TzqTextRequestItem* TzqHttpRequest::AddText(const std::string& text) {
  return TzqRequestUpdateScope::Run(*this, [&] {
    auto* item = items_->AddItem<TzqTextRequestItem>();
    item->SetTextData(text);
    return item;
  });
}

TzqBinaryRequestItem* TzqHttpRequest::AddBinaryData() { return items_->AddItem<TzqBinaryRequestItem>(); }

TzqFormFieldRequestItem* TzqHttpRequest::FindFormField(std::string_view fieldName) const {
  for (int i = 0; i < items_->Count(); ++i) {
    auto* field = dynamic_cast<TzqFormFieldRequestItem*>(items_->Items(i));
    if (field && SameText(field->FieldName(), fieldName)) return field;
  }
  return nullptr;
}

std::string TzqHttpRequest::GetContentType() const {
  bool onlyFormFields = items_->Count() > 0;
  for (int i = 0; i < items_->Count(); ++i) {
    const TzqHttpRequestItem* item = items_->Items(i);
    if (dynamic_cast<const TzqSubmitFileRequestItem*>(item)) return sMultipartType;
    if (!dynamic_cast<const TzqFormFieldRequestItem*>(item)) onlyFormFields = false;
  }
  return onlyFormFields ? sUrlEncodedType : std::string();
}

TzqRequestBodyMode TzqHttpRequest::BodyMode() const {
  const std::string& type = Header().ContentType();
  if (LowerCase(type).find("multipart/") != std::string::npos) return bmMultipart;
  if (SameText(type, sUrlEncodedType)) return bmUrlEncoded;
  return bmRaw;
}

std::string TzqHttpRequest::GenerateBoundary() {
  const TzqDateTime now = Now();
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
  DecodeDate(now, year, month, day);
  DecodeTime(now, hour, minute, second, millisecond);
  const std::string digits = Format("%.2X%.2X%.2X%.2X%.2X%.2X", month, day, hour, minute, second, millisecond);
  return std::string(kBoundaryHyphens, '-') + digits.substr(0, kBoundaryDigits);
}

void TzqHttpRequest::EnsureBoundary() {
  TzqHttpRequestHeader& header = Header();
  if (BodyMode() != bmMultipart)
    header.SetBoundary(std::string());
  else if (header.Boundary().empty())
    header.SetBoundary(GenerateBoundary());
}

std::unique_ptr<TzqMultiStream> TzqHttpRequest::RequestStream() {
  {
    TzqRequestBuildingScope building(*this);
    EnsureBoundary();
  }
  const TzqRequestBodyMode mode = BodyMode();
  const std::string boundary = Header().Boundary();
  auto body = std::make_unique<TzqMultiStream>();
  for (int i = 0; i < items_->Count(); ++i) {
    const std::string separator = Separator(mode, boundary, i);
    if (!separator.empty()) body->AddStream(MemoryStream(TzqTranslator::TextToBytes(separator)));
    body->AddStream(items_->Items(i)->GetDataStream());
  }
  if (mode == bmMultipart) body->AddStream(MemoryStream(TzqTranslator::TextToBytes(ClosingDelimiter(boundary))));
  return body;
}

int64_t TzqHttpRequest::BodySize() {
  const TzqRequestBodyMode mode = BodyMode();
  std::string boundary = Header().Boundary();
  if (mode == bmMultipart && boundary.empty()) boundary = GenerateBoundary();
  // Counted from the very separators RequestStream writes, so the two always agree.
  int64_t size = mode == bmMultipart ? static_cast<int64_t>(ClosingDelimiter(boundary).size()) : 0;
  for (int i = 0; i < items_->Count(); ++i)
    size += static_cast<int64_t>(Separator(mode, boundary, i).size()) + items_->Items(i)->DataSize();
  return size;
}

void TzqHttpRequest::InitHeader() {
  EnsureBoundary();
  std::string length = IntToStr(BodySize());
  if (length == "0") length.clear();
  Header().SetContentLength(length);
}

TzqStringList& TzqHttpRequest::HeaderSource() {
  if (!headerLines_.Empty()) return headerLines_;
  {
    TzqRequestBuildingScope building(*this);
    InitHeader();
  }
  Header().WriteHeader(headerLines_);
  return headerLines_;
}

TzqStringList& TzqHttpRequest::RequestText() {
  if (!bodyText_.Empty()) return bodyText_;
  const TzqByteArray bytes = RequestStream()->ReadRemaining();
  bodyText_.SetText(TzqTranslator::BytesToText(bytes, Header().CharSet()));
  return bodyText_;
}

void TzqHttpRequest::ParseBody(TzqStream& stream) {
  const std::string charset = Header().CharSet();
  const std::string text = TzqTranslator::BytesToText(stream.ReadRemaining(), charset);
  TzqRequestUpdateScope::Run(*this, [&] {
    if (BodyMode() != bmUrlEncoded) {
      AddText(text)->AfterAddData();
      return;
    }
    TzqFormFieldEncoder encoder;
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('&', start);
      if (end == std::string::npos) end = text.size();
      const std::string_view piece = std::string_view(text).substr(start, end - start);
      if (!piece.empty()) {
        const size_t equals = piece.find('=');
        const std::string name = Trim(piece.substr(0, equals));
        const std::string value = equals == std::string_view::npos ? std::string() : Trim(piece.substr(equals + 1));
        AddFormField(encoder.Decode(name, charset), encoder.Decode(value, charset))->AfterAddData();
      }
      start = end + 1;
    }
  });
}

TzqHttpRequestItem* TzqHttpRequest::AddPartItem(TzqHeaderFieldList& fields) {
  const std::string disposition = fields.GetFieldValue(sContentDispositionField);
  TzqHttpRequestItem* item = nullptr;
  return TzqRequestUpdateScope::Run(*this, [&] {
    if (LowerCase(TzqHeaderFieldList::GetParameter(disposition, "")) != sFormData) {
      const std::string type = LowerCase(fields.GetFieldValue(sContentTypeField));
      bool textual = false;
      for (const char* word : {"json", "text", "html", "xml"})
        textual = textual || type.find(word) != std::string::npos;
      item = textual ? static_cast<TzqHttpRequestItem*>(AddText(std::string())) : AddBinaryData();
    } else {
      const std::string name = TzqHeaderFieldList::GetParameter(disposition, "name");
      const std::string fileName = TzqHeaderFieldList::GetParameter(disposition, "filename");
      item = fileName.empty() ? static_cast<TzqHttpRequestItem*>(AddFormField(name, std::string()))
                              : AddSubmitFile(name, ReceivedFileName(fileName));
    }
    item->ParsePartHeader(fields);
    return item;
  });
}

void TzqHttpRequest::Clear() {
  TzqRequestUpdateScope::Run(*this, [&] {
    items_->Clear();
    Header().Clear();
  });
}

void TzqHttpRequest::ClearKeepCharSet() {
  TzqRequestUpdateScope::Run(*this, [&] {
    const std::string charset = Header().CharSet();
    Clear();
    Header().SetCharSet(charset);
  });
}

void TzqHttpRequest::SaveToStream(TzqStream& stream) const {
  TzqValueWriter writer(stream);
  writer.WriteListBegin();
  if (batchSize_ != kDefaultBatchSize) {
    writer.WriteString(sBatchSizeProperty);
    writer.WriteInteger(batchSize_);
  }
  writer.WriteString(sHeaderProperty);
  writer.WriteListBegin();
  Header().WriteProperties(writer);
  writer.WriteListEnd();
  if (items_->Count() > 0) {
    writer.WriteString(sItemsProperty);
    items_->WriteItems(writer);
  }
  writer.WriteListEnd();
}

void TzqHttpRequest::LoadFromStream(TzqStream& stream) {
  {
    TzqRequestLoadingScope loading(*this);
    // Everything is read aside first and taken over only once the whole form was read.
    TzqValueReader reader(stream);
    std::unique_ptr<TzqHttpRequestHeader> header = CreateHeader();
    TzqHttpRequestItemList items(*this);
    int batchSize = kDefaultBatchSize;
    reader.ReadListBegin();
    while (!reader.EndOfList()) {
      const std::string name = reader.ReadString();
      if (name == sBatchSizeProperty)
        batchSize = reader.ReadInteger();
      else if (name == sHeaderProperty)
        ReadHeaderProperties(reader, *header);
      else if (name == sItemsProperty)
        items.ReadItemValues(reader);
      else
        throw EzqReadError(Format(sPropertyNotFound, name.c_str()));
    }
    reader.ReadListEnd();
    Header().Assign(*header);
    items_->TakeItems(items);
    batchSize_ = batchSize;
  }
  Changed();
}

TzqStream* TzqHttpRequest::EnsureReceiveStream(TzqHttpRequestItem* item) {
  if (!receiveStream_) receiveStream_ = DoSaveData(item);
  return receiveStream_.get();
}

std::unique_ptr<TzqStream> TzqHttpRequest::DoSaveData(TzqHttpRequestItem* item) {
  std::unique_ptr<TzqStream> data;
  if (OnSaveData) OnSaveData(this, item, data);
  return data;
}

std::unique_ptr<TzqStream> TzqHttpRequest::DoLoadData(TzqHttpRequestItem* item) {
  std::unique_ptr<TzqStream> data;
  if (OnLoadData) OnLoadData(this, item, data);
  return data;
}

void TzqHttpRequest::DoDataAdded(TzqHttpRequestItem* item, TzqStream& data) {
  if (OnDataAdded) OnDataAdded(this, item, data);
}

void TzqHttpRequest::DoGetHtmlForm(TzqHtmlParser* parser, TzqHtmlForm*& form) {
  if (OnGetHtmlForm) OnGetHtmlForm(this, parser, form);
}

void TzqHttpRequest::DoChanged() {
  if (OnChanged) OnChanged(this);
}

}  // namespace zq
