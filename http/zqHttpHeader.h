#pragma once
// Header records: the well-known HTTP fields as text properties, written as header lines in a
// fixed order and filled from received lines; unknown fields are kept in ExtraFields.

#include <functional>
#include <memory>
#include <string>

#include "core/zqApi.h"
#include "core/zqComponent.h"
#include "core/zqStringList.h"

namespace zq {

class TzqHeaderFieldList;
class TzqValueReader;
class TzqValueWriter;
struct TzqHttpHeaderTables;

// Fields that describe a message body, shared by requests and responses.
class ZQ_API TzqHttpEntityHeader : public TzqPersistent {
public:
  using TzqNotifyEvent = std::function<void(TzqObject* Sender)>;

  TzqHttpEntityHeader();
  ~TzqHttpEntityHeader() override;
  TzqHttpEntityHeader(const TzqHttpEntityHeader&) = delete;
  TzqHttpEntityHeader& operator=(const TzqHttpEntityHeader&) = delete;

  std::string ClassName() const override { return "TzqHttpEntityHeader"; }
  void Assign(const TzqPersistent& source) override;

  // Fills the record from received lines (a first line without a colon is skipped).
  void ParseHeader(TzqStringList& lines);
  // Appends the record's fields at the end of the lines' header section.
  void WriteHeader(TzqStringList& lines);

  void BeginUpdate() { ++updateCount_; }
  void EndUpdate();

  // The stored form: one (name, value) pair per non-empty property.
  virtual void WriteProperties(TzqValueWriter& writer) const;
  // Reads the value of the named property; false when the record has no such property.
  virtual bool ReadProperty(const std::string& name, TzqValueReader& reader);

  const std::string& Boundary() const { return boundary_; }
  void SetBoundary(const std::string& value);
  const std::string& CharSet() const { return charSet_; }
  void SetCharSet(const std::string& value) { SetText(charSet_, value); }
  const std::string& CacheControl() const { return cacheControl_; }
  void SetCacheControl(const std::string& value) { SetText(cacheControl_, value); }
  const std::string& Connection() const { return connection_; }
  void SetConnection(const std::string& value) { SetText(connection_, value); }
  const std::string& ContentEncoding() const { return contentEncoding_; }
  void SetContentEncoding(const std::string& value) { SetText(contentEncoding_, value); }
  const std::string& ContentLanguage() const { return contentLanguage_; }
  void SetContentLanguage(const std::string& value) { SetText(contentLanguage_, value); }
  const std::string& ContentLength() const { return contentLength_; }
  void SetContentLength(const std::string& value) { SetText(contentLength_, value); }
  const std::string& ContentType() const { return contentType_; }
  void SetContentType(const std::string& value) { SetText(contentType_, value); }
  const std::string& ContentVersion() const { return contentVersion_; }
  void SetContentVersion(const std::string& value) { SetText(contentVersion_, value); }
  const std::string& Date() const { return date_; }
  void SetDate(const std::string& value) { SetText(date_, value); }
  const std::string& Expires() const { return expires_; }
  void SetExpires(const std::string& value) { SetText(expires_, value); }
  const std::string& LastModified() const { return lastModified_; }
  void SetLastModified(const std::string& value) { SetText(lastModified_, value); }
  const std::string& ProxyConnection() const { return proxyConnection_; }
  void SetProxyConnection(const std::string& value) { SetText(proxyConnection_, value); }
  const std::string& TransferEncoding() const { return transferEncoding_; }
  void SetTransferEncoding(const std::string& value) { SetText(transferEncoding_, value); }
  TzqStringList& ExtraFields() const { return *extraFields_; }
  void SetExtraFields(const TzqStringList& value) { extraFields_->Assign(value); }

  // True when name is one of the fields this record maps to a property (any case).
  bool IsKnownField(std::string_view name) const { return knownFields_.IndexOf(name) >= 0; }

  // Raised after every effective change (held during an update).
  TzqNotifyEvent OnChange;

  virtual void RegisterKnownFields();
  virtual void ParseFields(TzqHeaderFieldList& fields);
  virtual void WriteFields(TzqHeaderFieldList& fields);
  virtual void ParseContentType(TzqHeaderFieldList& fields);
  virtual void WriteContentType(TzqHeaderFieldList& fields);
  virtual void CreateLists();
  virtual void Clear();

protected:
  void SetText(std::string& field, const std::string& value);
  void Changed();
  // A list owned by the record whose changes count as the record's own.
  std::unique_ptr<TzqStringList> CreateOwnedList();
  void AddKnownField(const char* name) { knownFields_.Add(name); }

private:
  friend struct TzqHttpHeaderTables;

  void ParseExtraFields(TzqHeaderFieldList& fields);

  std::string boundary_;
  std::string charSet_;
  std::string cacheControl_;
  std::string connection_;
  std::string contentEncoding_;
  std::string contentLanguage_;
  std::string contentLength_;
  std::string contentType_;
  std::string contentVersion_;
  std::string date_;
  std::string expires_;
  std::string lastModified_;
  std::string proxyConnection_;
  std::string transferEncoding_;
  std::unique_ptr<TzqStringList> extraFields_;
  TzqStringList knownFields_;
  int updateCount_ = 0;
};

class ZQ_API TzqHttpRequestHeader : public TzqHttpEntityHeader {
public:
  TzqHttpRequestHeader();

  std::string ClassName() const override { return "TzqHttpRequestHeader"; }
  void Assign(const TzqPersistent& source) override;
  void WriteProperties(TzqValueWriter& writer) const override;
  bool ReadProperty(const std::string& name, TzqValueReader& reader) override;

  const std::string& Accept() const { return accept_; }
  void SetAccept(const std::string& value) { SetText(accept_, value); }
  const std::string& AcceptCharSet() const { return acceptCharSet_; }
  void SetAcceptCharSet(const std::string& value) { SetText(acceptCharSet_, value); }
  const std::string& AcceptEncoding() const { return acceptEncoding_; }
  void SetAcceptEncoding(const std::string& value) { SetText(acceptEncoding_, value); }
  const std::string& AcceptLanguage() const { return acceptLanguage_; }
  void SetAcceptLanguage(const std::string& value) { SetText(acceptLanguage_, value); }
  const std::string& Authorization() const { return authorization_; }
  void SetAuthorization(const std::string& value) { SetText(authorization_, value); }
  const std::string& Host() const { return host_; }
  void SetHost(const std::string& value) { SetText(host_, value); }
  const std::string& ProxyAuthorization() const { return proxyAuthorization_; }
  void SetProxyAuthorization(const std::string& value) { SetText(proxyAuthorization_, value); }
  const std::string& Range() const { return range_; }
  void SetRange(const std::string& value) { SetText(range_, value); }
  const std::string& Referer() const { return referer_; }
  void SetReferer(const std::string& value) { SetText(referer_, value); }
  const std::string& UserAgent() const { return userAgent_; }
  void SetUserAgent(const std::string& value) { SetText(userAgent_, value); }

  void RegisterKnownFields() override;
  void ParseFields(TzqHeaderFieldList& fields) override;
  void WriteFields(TzqHeaderFieldList& fields) override;
  void Clear() override;

private:
  friend struct TzqHttpHeaderTables;

  std::string accept_;
  std::string acceptCharSet_;
  std::string acceptEncoding_;
  std::string acceptLanguage_;
  std::string authorization_;
  std::string host_;
  std::string proxyAuthorization_;
  std::string range_;
  std::string referer_;
  std::string userAgent_;
};

class ZQ_API TzqHttpResponseHeader : public TzqHttpEntityHeader {
public:
  TzqHttpResponseHeader();

  std::string ClassName() const override { return "TzqHttpResponseHeader"; }
  void Assign(const TzqPersistent& source) override;
  void WriteProperties(TzqValueWriter& writer) const override;
  bool ReadProperty(const std::string& name, TzqValueReader& reader) override;

  const std::string& AcceptRanges() const { return acceptRanges_; }
  void SetAcceptRanges(const std::string& value) { SetText(acceptRanges_, value); }
  const std::string& Age() const { return age_; }
  void SetAge(const std::string& value) { SetText(age_, value); }
  const std::string& Allow() const { return allow_; }
  void SetAllow(const std::string& value) { SetText(allow_, value); }
  // Every WWW-Authenticate field, one entry each, in received order.
  TzqStringList& Authenticate() const { return *authenticate_; }
  void SetAuthenticate(const TzqStringList& value) { authenticate_->Assign(value); }
  const std::string& ContentRange() const { return contentRange_; }
  void SetContentRange(const std::string& value) { SetText(contentRange_, value); }
  const std::string& ContentDisposition() const { return contentDisposition_; }
  void SetContentDisposition(const std::string& value) { SetText(contentDisposition_, value); }
  const std::string& ETag() const { return eTag_; }
  void SetETag(const std::string& value) { SetText(eTag_, value); }
  const std::string& Location() const { return location_; }
  void SetLocation(const std::string& value) { SetText(location_, value); }
  // Every Proxy-Authenticate field.
  TzqStringList& ProxyAuthenticate() const { return *proxyAuthenticate_; }
  void SetProxyAuthenticate(const TzqStringList& value) { proxyAuthenticate_->Assign(value); }
  const std::string& RetryAfter() const { return retryAfter_; }
  void SetRetryAfter(const std::string& value) { SetText(retryAfter_, value); }
  const std::string& Server() const { return server_; }
  void SetServer(const std::string& value) { SetText(server_, value); }

  void RegisterKnownFields() override;
  void ParseFields(TzqHeaderFieldList& fields) override;
  void WriteFields(TzqHeaderFieldList& fields) override;
  void CreateLists() override;
  void Clear() override;

private:
  friend struct TzqHttpHeaderTables;

  std::string acceptRanges_;
  std::string age_;
  std::string allow_;
  std::unique_ptr<TzqStringList> authenticate_;
  std::string contentRange_;
  std::string contentDisposition_;
  std::string eTag_;
  std::string location_;
  std::unique_ptr<TzqStringList> proxyAuthenticate_;
  std::string retryAfter_;
  std::string server_;
};

}  // namespace zq
