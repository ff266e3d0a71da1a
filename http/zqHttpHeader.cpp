#include "http/zqHttpHeader.h"

#include "core/zqValueIO.h"
#include "http/zqHeaderFieldList.h"

namespace zq {

namespace {

const char* const sContentTypeField = "Content-Type";
const char* const sBoundaryParameter = "boundary";
const char* const sCharSetParameter = "charset";
const char* const sWwwAuthenticateField = "WWW-Authenticate";
const char* const sProxyAuthenticateField = "Proxy-Authenticate";
const char* const sDefaultAccept = "*/*";

template <class T>
struct TextField {
  const char* property;
  const char* field;  // nullptr: a property with no field of its own
  std::string T::*member;
};

// Holds an update open for the lifetime of a scope, also when an exception passes.
class UpdateScope {
public:
  explicit UpdateScope(TzqHttpEntityHeader& header) : header_(header) { header_.BeginUpdate(); }
  ~UpdateScope() { header_.EndUpdate(); }
  UpdateScope(const UpdateScope&) = delete;
  UpdateScope& operator=(const UpdateScope&) = delete;

private:
  TzqHttpEntityHeader& header_;
};

void WriteListProperty(TzqValueWriter& writer, const char* name, const TzqStringList& list) {
  if (list.Empty()) return;
  writer.WriteString(name);
  writer.WriteListBegin();
  for (int i = 0; i < list.Count(); ++i) writer.WriteString(list[i]);
  writer.WriteListEnd();
}

void ReadListProperty(TzqValueReader& reader, TzqStringList& list) {
  TzqStringList lines;
  reader.ReadListBegin();
  while (!reader.EndOfList()) lines.Add(reader.ReadString());
  reader.ReadListEnd();
  list.Assign(lines);
}

void AddFieldValues(TzqHeaderFieldList& fields, const char* name, TzqStringList& list) {
  for (int i = 0; i < fields.FieldCount(); ++i)
    if (SameText(fields.FieldKey(i), name)) list.Add(fields.GetFieldValueAt(i));
}

void WriteFieldValues(TzqHeaderFieldList& fields, const char* name, const TzqStringList& list) {
  for (int i = 0; i < list.Count(); ++i) fields.AddField(name, list[i]);
}

}  // namespace

// The property tables of the three records, in writing order, and the operations over them.
struct TzqHttpHeaderTables {
  using Entity = TzqHttpEntityHeader;
  using Request = TzqHttpRequestHeader;
  using Response = TzqHttpResponseHeader;

  // The entity fields written before Content-Type.
  static constexpr int kEntityBeforeContentType = 4;
  static constexpr TextField<Entity> kEntity[] = {
      {"ContentEncoding", "Content-Encoding", &Entity::contentEncoding_},
      {"ContentLanguage", "Content-Language", &Entity::contentLanguage_},
      {"ContentLength", "Content-Length", &Entity::contentLength_},
      {"ContentVersion", "Content-Version", &Entity::contentVersion_},
      {"Date", "Date", &Entity::date_},
      {"Expires", "Expires", &Entity::expires_},
      {"LastModified", "Last-Modified", &Entity::lastModified_},
      {"TransferEncoding", "Transfer-Encoding", &Entity::transferEncoding_},
      {"CacheControl", "Cache-Control", &Entity::cacheControl_},
      {"Connection", "Connection", &Entity::connection_},
      {"ProxyConnection", "Proxy-Connection", &Entity::proxyConnection_},
  };
  static constexpr TextField<Entity> kContentTypeParts[] = {
      {"ContentType", nullptr, &Entity::contentType_},
      {"Boundary", nullptr, &Entity::boundary_},
      {"CharSet", nullptr, &Entity::charSet_},
  };
  static constexpr TextField<Request> kRequest[] = {
      {"Accept", "Accept", &Request::accept_},
      {"AcceptCharSet", "Accept-Charset", &Request::acceptCharSet_},
      {"AcceptEncoding", "Accept-Encoding", &Request::acceptEncoding_},
      {"AcceptLanguage", "Accept-Language", &Request::acceptLanguage_},
      {"Range", "Range", &Request::range_},
      {"Referer", "Referer", &Request::referer_},
      {"Host", "Host", &Request::host_},
      {"UserAgent", "User-Agent", &Request::userAgent_},
      {"Authorization", "Authorization", &Request::authorization_},
      {"ProxyAuthorization", "Proxy-Authorization", &Request::proxyAuthorization_},
  };
  static constexpr TextField<Response> kResponse[] = {
      {"Allow", "Allow", &Response::allow_},
      {"AcceptRanges", "Accept-Ranges", &Response::acceptRanges_},
      {"Age", "Age", &Response::age_},
      {"ContentRange", "Content-Range", &Response::contentRange_},
      {"ContentDisposition", "Content-Disposition", &Response::contentDisposition_},
      {"ETag", "ETag", &Response::eTag_},
      {"Location", "Location", &Response::location_},
      {"RetryAfter", "Retry-After", &Response::retryAfter_},
      {"Server", "Server", &Response::server_},
  };

  template <class T, size_t N>
  static void Register(T& record, const TextField<T> (&table)[N]) {
    for (const auto& entry : table)
      if (entry.field) record.AddKnownField(entry.field);
  }

  template <class T, size_t N>
  static void Parse(T& record, const TextField<T> (&table)[N], TzqHeaderFieldList& fields) {
    for (const auto& entry : table) record.SetText(record.*entry.member, fields.GetFieldValue(entry.field));
  }

  template <class T>
  static void Write(const T& record, const TextField<T>* begin, const TextField<T>* end, TzqHeaderFieldList& fields) {
    for (const TextField<T>* entry = begin; entry != end; ++entry) fields.AddField(entry->field, record.*entry->member);
  }

  template <class T, size_t N>
  static void Write(const T& record, const TextField<T> (&table)[N], TzqHeaderFieldList& fields) {
    Write(record, table, table + N, fields);
  }

  template <class T, size_t N>
  static void Clear(T& record, const TextField<T> (&table)[N]) {
    for (const auto& entry : table) record.SetText(record.*entry.member, std::string());
  }

  template <class T, size_t N>
  static void Copy(T& record, const T& source, const TextField<T> (&table)[N]) {
    for (const auto& entry : table) record.SetText(record.*entry.member, source.*entry.member);
  }

  template <class T, size_t N>
  static void WriteProperties(const T& record, const TextField<T> (&table)[N], TzqValueWriter& writer) {
    for (const auto& entry : table) {
      const std::string& value = record.*entry.member;
      if (value.empty()) continue;
      writer.WriteString(entry.property);
      writer.WriteString(value);
    }
  }

  template <class T, size_t N>
  static bool ReadProperty(T& record, const TextField<T> (&table)[N], const std::string& name, TzqValueReader& reader) {
    for (const auto& entry : table) {
      if (name != entry.property) continue;
      record.SetText(record.*entry.member, reader.ReadString());
      return true;
    }
    return false;
  }
};

using Tables = TzqHttpHeaderTables;

// --- TzqHttpEntityHeader ---

TzqHttpEntityHeader::TzqHttpEntityHeader() {
  TzqHttpEntityHeader::CreateLists();
  TzqHttpEntityHeader::RegisterKnownFields();
  TzqHttpEntityHeader::Clear();
}

TzqHttpEntityHeader::~TzqHttpEntityHeader() = default;

std::unique_ptr<TzqStringList> TzqHttpEntityHeader::CreateOwnedList() {
  auto list = std::make_unique<TzqStringList>();
  list->OnChange = [this](TzqObject*) { Changed(); };
  return list;
}

void TzqHttpEntityHeader::CreateLists() {
  if (!extraFields_) extraFields_ = CreateOwnedList();
}

void TzqHttpEntityHeader::RegisterKnownFields() {
  knownFields_.Clear();
  Tables::Register(*this, Tables::kEntity);
  AddKnownField(sContentTypeField);
}

void TzqHttpEntityHeader::Clear() {
  UpdateScope update(*this);
  Tables::Clear(*this, Tables::kEntity);
  Tables::Clear(*this, Tables::kContentTypeParts);
  extraFields_->Clear();
}

void TzqHttpEntityHeader::EndUpdate() {
  if (updateCount_ == 0) return;
  if (--updateCount_ == 0 && OnChange) OnChange(this);
}

void TzqHttpEntityHeader::Changed() {
  if (updateCount_ == 0 && OnChange) OnChange(this);
}

void TzqHttpEntityHeader::SetText(std::string& field, const std::string& value) {
  if (field == value) return;
  field = value;
  Changed();
}

void TzqHttpEntityHeader::SetBoundary(const std::string& value) {
  if (boundary_ == value) return;
  boundary_ = value;
  Changed();
  // A change handler may have emptied it again; the assignment wins.
  boundary_ = value;
}

void TzqHttpEntityHeader::Assign(const TzqPersistent& source) {
  const auto* entity = dynamic_cast<const TzqHttpEntityHeader*>(&source);
  if (!entity) {
    TzqPersistent::Assign(source);
    return;
  }
  UpdateScope update(*this);
  Tables::Copy(*this, *entity, Tables::kEntity);
  Tables::Copy(*this, *entity, Tables::kContentTypeParts);
  extraFields_->Assign(*entity->extraFields_);
}

void TzqHttpEntityHeader::ParseHeader(TzqStringList& lines) {
  UpdateScope update(*this);
  Clear();
  TzqHeaderFieldList fields(lines, 0);
  ParseFields(fields);
  ParseExtraFields(fields);
}

void TzqHttpEntityHeader::ParseExtraFields(TzqHeaderFieldList& fields) {
  for (int i = 0; i < fields.FieldCount(); ++i) {
    const std::string_view name = fields.FieldName(i);
    if (!IsKnownField(name)) extraFields_->Add(std::string(name) + ": " + fields.GetFieldValueAt(i));
  }
}

void TzqHttpEntityHeader::WriteHeader(TzqStringList& lines) {
  TzqHeaderFieldList fields(lines, 0);
  WriteFields(fields);
}

void TzqHttpEntityHeader::ParseFields(TzqHeaderFieldList& fields) {
  Tables::Parse(*this, Tables::kEntity, fields);
  ParseContentType(fields);
}

void TzqHttpEntityHeader::WriteFields(TzqHeaderFieldList& fields) {
  const auto* split = Tables::kEntity + Tables::kEntityBeforeContentType;
  Tables::Write(*this, Tables::kEntity, split, fields);
  WriteContentType(fields);
  Tables::Write(*this, split, std::end(Tables::kEntity), fields);
  fields.AddLines(*extraFields_);
}

void TzqHttpEntityHeader::ParseContentType(TzqHeaderFieldList& fields) {
  const std::string value = fields.GetFieldValue(sContentTypeField);
  SetContentType(TzqHeaderFieldList::GetParameter(value, ""));
  SetBoundary(TzqHeaderFieldList::GetParameter(value, sBoundaryParameter));
  SetCharSet(TzqHeaderFieldList::GetParameter(value, sCharSetParameter));
}

void TzqHttpEntityHeader::WriteContentType(TzqHeaderFieldList& fields) {
  fields.AddField(sContentTypeField, contentType_);
  if (contentType_.empty()) return;
  fields.AddParameter(sContentTypeField, sBoundaryParameter, boundary_);
  fields.AddParameter(sContentTypeField, sCharSetParameter, charSet_);
}

void TzqHttpEntityHeader::WriteProperties(TzqValueWriter& writer) const {
  Tables::WriteProperties(*this, Tables::kContentTypeParts, writer);
  Tables::WriteProperties(*this, Tables::kEntity, writer);
  WriteListProperty(writer, "ExtraFields", *extraFields_);
}

bool TzqHttpEntityHeader::ReadProperty(const std::string& name, TzqValueReader& reader) {
  if (name == "ExtraFields") {
    ReadListProperty(reader, *extraFields_);
    return true;
  }
  return Tables::ReadProperty(*this, Tables::kContentTypeParts, name, reader) ||
         Tables::ReadProperty(*this, Tables::kEntity, name, reader);
}

// --- TzqHttpRequestHeader ---

TzqHttpRequestHeader::TzqHttpRequestHeader() {
  TzqHttpRequestHeader::RegisterKnownFields();
  TzqHttpRequestHeader::Clear();
}

void TzqHttpRequestHeader::RegisterKnownFields() {
  TzqHttpEntityHeader::RegisterKnownFields();
  Tables::Register(*this, Tables::kRequest);
}

void TzqHttpRequestHeader::Clear() {
  UpdateScope update(*this);
  TzqHttpEntityHeader::Clear();
  Tables::Clear(*this, Tables::kRequest);
  SetAccept(sDefaultAccept);
}

void TzqHttpRequestHeader::Assign(const TzqPersistent& source) {
  const auto* request = dynamic_cast<const TzqHttpRequestHeader*>(&source);
  if (!dynamic_cast<const TzqHttpEntityHeader*>(&source)) {
    TzqPersistent::Assign(source);
    return;
  }
  UpdateScope update(*this);
  TzqHttpEntityHeader::Assign(source);
  if (request) Tables::Copy(*this, *request, Tables::kRequest);
}

void TzqHttpRequestHeader::ParseFields(TzqHeaderFieldList& fields) {
  TzqHttpEntityHeader::ParseFields(fields);
  Tables::Parse(*this, Tables::kRequest, fields);
}

void TzqHttpRequestHeader::WriteFields(TzqHeaderFieldList& fields) {
  Tables::Write(*this, Tables::kRequest, fields);
  TzqHttpEntityHeader::WriteFields(fields);
}

void TzqHttpRequestHeader::WriteProperties(TzqValueWriter& writer) const {
  TzqHttpEntityHeader::WriteProperties(writer);
  Tables::WriteProperties(*this, Tables::kRequest, writer);
}

bool TzqHttpRequestHeader::ReadProperty(const std::string& name, TzqValueReader& reader) {
  return TzqHttpEntityHeader::ReadProperty(name, reader) || Tables::ReadProperty(*this, Tables::kRequest, name, reader);
}

// --- TzqHttpResponseHeader ---

TzqHttpResponseHeader::TzqHttpResponseHeader() {
  TzqHttpResponseHeader::CreateLists();
  TzqHttpResponseHeader::RegisterKnownFields();
}

void TzqHttpResponseHeader::CreateLists() {
  TzqHttpEntityHeader::CreateLists();
  if (!authenticate_) authenticate_ = CreateOwnedList();
  if (!proxyAuthenticate_) proxyAuthenticate_ = CreateOwnedList();
}

void TzqHttpResponseHeader::RegisterKnownFields() {
  TzqHttpEntityHeader::RegisterKnownFields();
  Tables::Register(*this, Tables::kResponse);
  AddKnownField(sWwwAuthenticateField);
  AddKnownField(sProxyAuthenticateField);
}

void TzqHttpResponseHeader::Clear() {
  UpdateScope update(*this);
  TzqHttpEntityHeader::Clear();
  Tables::Clear(*this, Tables::kResponse);
  // The lists exist only once the constructor has made them.
  if (authenticate_) authenticate_->Clear();
  if (proxyAuthenticate_) proxyAuthenticate_->Clear();
}

void TzqHttpResponseHeader::Assign(const TzqPersistent& source) {
  const auto* response = dynamic_cast<const TzqHttpResponseHeader*>(&source);
  if (!dynamic_cast<const TzqHttpEntityHeader*>(&source)) {
    TzqPersistent::Assign(source);
    return;
  }
  UpdateScope update(*this);
  TzqHttpEntityHeader::Assign(source);
  if (!response) return;
  Tables::Copy(*this, *response, Tables::kResponse);
  authenticate_->Assign(*response->authenticate_);
  proxyAuthenticate_->Assign(*response->proxyAuthenticate_);
}

void TzqHttpResponseHeader::ParseFields(TzqHeaderFieldList& fields) {
  TzqHttpEntityHeader::ParseFields(fields);
  Tables::Parse(*this, Tables::kResponse, fields);
  AddFieldValues(fields, sWwwAuthenticateField, *authenticate_);
  AddFieldValues(fields, sProxyAuthenticateField, *proxyAuthenticate_);
}

void TzqHttpResponseHeader::WriteFields(TzqHeaderFieldList& fields) {
  Tables::Write(*this, Tables::kResponse, fields);
  WriteFieldValues(fields, sWwwAuthenticateField, *authenticate_);
  WriteFieldValues(fields, sProxyAuthenticateField, *proxyAuthenticate_);
  TzqHttpEntityHeader::WriteFields(fields);
}

void TzqHttpResponseHeader::WriteProperties(TzqValueWriter& writer) const {
  TzqHttpEntityHeader::WriteProperties(writer);
  Tables::WriteProperties(*this, Tables::kResponse, writer);
  WriteListProperty(writer, "Authenticate", *authenticate_);
  WriteListProperty(writer, "ProxyAuthenticate", *proxyAuthenticate_);
}

bool TzqHttpResponseHeader::ReadProperty(const std::string& name, TzqValueReader& reader) {
  if (name == "Authenticate" || name == "ProxyAuthenticate") {
    ReadListProperty(reader, name == "Authenticate" ? *authenticate_ : *proxyAuthenticate_);
    return true;
  }
  return TzqHttpEntityHeader::ReadProperty(name, reader) ||
         Tables::ReadProperty(*this, Tables::kResponse, name, reader);
}

}  // namespace zq
