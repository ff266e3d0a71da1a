#include "http/zqCookieManager.h"

#include <arpa/inet.h>
#include <libpsl.h>

#include <algorithm>

#include "codec/zqUtils.h"
#include "core/zqError.h"
#include "core/zqStream.h"
#include "core/zqStringList.h"
#include "core/zqText.h"
#include "core/zqValueIO.h"
#include "http/zqHeaderFieldList.h"

namespace zq {

namespace {

const char* const sInvalidPropertyValue = "Invalid property value";
const char* const sCookieIndexOutOfBounds = "Cookie index out of bounds (%d)";


std::string NormalizeCookieDomain(std::string_view domain) {
  std::string result = Trim(domain);
  if (!result.empty() && result[0] != '.') result.insert(result.begin(), '.');
  return result;
}

std::string NormalizeCookiePath(std::string_view path) {
  std::string result = Trim(path);
  return result.empty() ? "/" : result;
}

// The domain lower-cased, without blanks and without its leading dot.
std::string BareDomain(std::string_view domain) {
  std::string result = LowerCase(Trim(domain));
  if (!result.empty() && result[0] == '.') result.erase(0, 1);
  return result;
}

bool IsIpAddress(std::string_view host) {
  std::string text(host);
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  unsigned char address[16];
  return inet_pton(AF_INET, text.c_str(), address) == 1 || inet_pton(AF_INET6, text.c_str(), address) == 1;
}

// The path without its query and fragment.
std::string_view PathPart(std::string_view path) { return path.substr(0, path.find_first_of("?#")); }

// The Expires value as the date parser wants it: dashes between day, month and year become
// blanks, and the weekday's comma survives the parameter lookup.
std::string ExtractExpires(std::string_view value) {
  const size_t at = LowerCase(value).find("expires=");
  if (at == std::string::npos) return std::string();
  std::string rest(value.substr(at));
  for (size_t i = rest.find(','); i != std::string::npos; i = rest.find(',', i + 2)) rest.replace(i, 1, "==");
  std::string date = TzqHeaderFieldList::GetParameter(rest, "expires");
  for (size_t i = date.find("=="); i != std::string::npos; i = date.find("==", i + 1)) date.replace(i, 2, ",");
  std::replace(date.begin(), date.end(), '-', ' ');
  return date;
}

TzqDateTime ParseExpires(const std::string& text) {
  if (text.empty()) return -1.0;
  try {
    return ParseInternetDate(text);
  } catch (const EzqError&) {
    return -1.0;
  }
}

// The attributes after the first name=value pair, split at unquoted ";" and ",".
std::vector<std::string> CookieAttributes(std::string_view data) {
  std::vector<std::string> pieces;
  std::string piece;
  char quote = 0;
  for (char c : data) {
    if (quote != 0) {
      if (c == quote) quote = 0;
      piece += c;
    } else if (c == '"' || c == '\'') {
      quote = c;
      piece += c;
    } else if (c == ';' || c == ',') {
      pieces.push_back(piece);
      piece.clear();
    } else {
      piece += c;
    }
  }
  pieces.push_back(piece);
  pieces.erase(pieces.begin());
  return pieces;
}

const psl_ctx_t* PublicSuffixList() {
  // The distribution's list first; the library's built-in copy when that cannot be read.
  static const psl_ctx_t* context = [] {
    const psl_ctx_t* latest = psl_latest(nullptr);
    return latest != nullptr ? latest : psl_builtin();
  }();
  return context;
}

// A received cookie may set only a domain the responding host lies in, and never a public
// suffix other than the host itself.
bool DomainAcceptable(const std::string& cookieDomain, const std::string& host) {
  if (!CookieDomainMatches(cookieDomain, host)) return false;
  return BareDomain(cookieDomain) == BareDomain(host) || !IsPublicSuffix(cookieDomain);
}

// Holds an update batch of a list for one scope.
class TzqUpdateBatch {
public:
  explicit TzqUpdateBatch(TzqCookieList& list) : list_(list) { list_.BeginUpdate(); }
  ~TzqUpdateBatch() { list_.EndUpdate(); }
  TzqUpdateBatch(const TzqUpdateBatch&) = delete;
  TzqUpdateBatch& operator=(const TzqUpdateBatch&) = delete;

private:
  TzqCookieList& list_;
};

}  // namespace

// ---- matching rules ----------------------------------------------------------------------------

bool IsCookieExpired(const TzqCookieItem& cookie) {
  if (cookie.MaxAge() == 0) return true;
  if (cookie.Expires > 0 || cookie.Expires < -1) return Now() > cookie.Expires;
  return false;
}

bool CookieDomainMatches(std::string_view cookieDomain, std::string_view host) {
  const std::string domain = BareDomain(cookieDomain);
  const std::string name = BareDomain(host);
  if (domain.empty() || name.empty()) return false;
  if (domain == name) return true;
  if (IsIpAddress(name)) return false;
  return name.size() > domain.size() && name.compare(name.size() - domain.size(), domain.size(), domain) == 0 &&
         name[name.size() - domain.size() - 1] == '.';
}

bool CookiePathMatches(std::string_view cookiePath, std::string_view requestPath) {
  const std::string cookie(PathPart(NormalizeCookiePath(cookiePath)));
  const std::string request(PathPart(NormalizeCookiePath(requestPath)));
  if (cookie.empty()) return true;
  if (request.compare(0, cookie.size(), cookie) != 0) return false;
  return request.size() == cookie.size() || cookie.back() == '/' || request[cookie.size()] == '/';
}

bool CookiePortMatches(std::string_view portList, int port) {
  if (portList.empty()) return true;
  const std::string wanted = IntToStr(port);
  for (size_t start = 0;;) {
    const size_t comma = portList.find(',', start);
    if (portList.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start) == wanted)
      return true;
    if (comma == std::string_view::npos) return false;
    start = comma + 1;
  }
}

bool IsPublicSuffix(std::string_view domain) {
  const std::string bare = BareDomain(domain);
  if (bare.empty()) return true;
  if (IsIpAddress(bare)) return false;
  // Listed rules only: a single-label name such as "localhost" is a host, not a suffix.
  return psl_is_public_suffix2(PublicSuffixList(), bare.c_str(), PSL_TYPE_ANY | PSL_TYPE_NO_STAR_RULE) != 0;
}

bool HasCookieFlag(std::string_view cookieData, std::string_view flag) {
  for (const std::string& attribute : CookieAttributes(cookieData))
    if (SameText(Trim(attribute), flag)) return true;
  return false;
}

// ---- TzqCookieItem -----------------------------------------------------------------------------

void TzqCookieItem::Assign(const TzqPersistent& source) {
  const auto* other = dynamic_cast<const TzqCookieItem*>(&source);
  if (other == nullptr) {
    TzqPersistent::Assign(source);
    return;
  }
  Secure = other->Secure;
  Value = other->Value;
  Expires = other->Expires;
  Name = other->Name;
  Domain = other->Domain;
  Path = other->Path;
  CookieData = other->CookieData;
  Discard = other->Discard;
  maxAge_ = other->maxAge_;
  Version = other->Version;
  Port = other->Port;
  CommentURL = other->CommentURL;
  Comment = other->Comment;
  Format = other->Format;
}

int TzqCookieItem::Index() const { return collection_ != nullptr ? collection_->IndexOf(this) : -1; }

void TzqCookieItem::SetMaxAge(int64_t value) {
  if (value == maxAge_) return;
  maxAge_ = value;
  if (value > 0 && Expires < 0) Expires = Now() + static_cast<double>(value) / kSecondsPerDay;
}

void TzqCookieItem::ReadFromStream(TzqValueReader& reader) {
  const int32_t format = reader.ReadInteger();
  if (format < 0 || format > 255) throw EzqReadError(sInvalidPropertyValue);
  Format = static_cast<uint8_t>(format);
  Name = reader.ReadString();
  Value = reader.ReadString();
  Expires = reader.ReadDate();
  Domain = reader.ReadString();
  Path = reader.ReadString();
  Secure = reader.ReadBoolean();
  Comment = reader.ReadString();
  // Ages beyond 32 bits are written in the 64-bit form; read them back whole.
  maxAge_ = reader.ReadInt64();
  Version = reader.ReadInteger();
  CommentURL = reader.ReadString();
  Discard = reader.ReadBoolean();
  Port = reader.ReadString();
  CookieData = reader.ReadString();
}

void TzqCookieItem::WriteToStream(TzqValueWriter& writer) const {
  writer.WriteInteger(Format);
  writer.WriteString(Name);
  writer.WriteString(Value);
  writer.WriteDate(Expires);
  writer.WriteString(Domain);
  writer.WriteString(Path);
  writer.WriteBoolean(Secure);
  writer.WriteString(Comment);
  writer.WriteInteger(maxAge_);
  writer.WriteInteger(Version);
  writer.WriteString(CommentURL);
  writer.WriteBoolean(Discard);
  writer.WriteString(Port);
  writer.WriteString(CookieData);
}

// ---- TzqCookieList -----------------------------------------------------------------------------

void TzqCookieList::Assign(const TzqPersistent& source) {
  const auto* other = dynamic_cast<const TzqCookieList*>(&source);
  if (other == nullptr) {
    TzqPersistent::Assign(source);
    return;
  }
  if (other == this) return;
  BeginUpdate();
  Clear();
  for (const auto& item : other->items_) Add()->Assign(*item);
  EndUpdate();
}

TzqCookieItem* TzqCookieList::Items(int index) const {
  if (index < 0 || index >= Count()) throw EzqError(Format(sCookieIndexOutOfBounds, index));
  return items_[static_cast<size_t>(index)].get();
}

TzqCookieItem* TzqCookieList::Add() {
  items_.push_back(std::make_unique<TzqCookieItem>());
  items_.back()->collection_ = this;
  Changed();
  return items_.back().get();
}

void TzqCookieList::Delete(int index) {
  Items(index);
  items_.erase(items_.begin() + index);
  Changed();
}

void TzqCookieList::Clear() {
  if (items_.empty()) return;
  items_.clear();
  Changed();
}

int TzqCookieList::IndexOf(const TzqCookieItem* item) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == item) return static_cast<int>(i);
  return -1;
}

void TzqCookieList::EndUpdate() {
  if (updateCount_ > 0 && --updateCount_ == 0) Changed();
}

void TzqCookieList::Changed() {
  if (updateCount_ == 0 && OnChange) OnChange(this);
}

void TzqCookieList::SortCookies() {
  std::stable_sort(items_.begin(), items_.end(), [](const auto& a, const auto& b) {
    const int byName = CompareTextIgnoreCase(a->Name, b->Name);
    if (byName != 0) return byName < 0;
    return CompareTextIgnoreCase(a->Path, b->Path) > 0;
  });
  Changed();
}

std::string TzqCookieList::FormatCookie(const TzqCookieItem& item) const { return item.Name + "=" + item.Value; }

void TzqCookieList::ParseCookie(const TzqHeaderFieldList& fields, int fieldIndex, int requestPort,
                                const std::string& requestPath, const std::string& requestHost) {
  const std::string data = Trim(fields.GetFieldValueAt(fieldIndex));
  if (data.empty()) return;
  auto cookie = std::make_unique<TzqCookieItem>();
  const size_t equals = data.find('=');
  if (equals == std::string::npos) {
    cookie->Name = data;
  } else {
    cookie->Name = Trim(std::string_view(data).substr(0, equals));
    cookie->Value = TzqHeaderFieldList::GetParameter(data, LowerCase(cookie->Name));
    cookie->Expires = ParseExpires(ExtractExpires(data));
    cookie->Domain = TzqHeaderFieldList::GetParameter(data, "domain");
    cookie->Path = TzqHeaderFieldList::GetParameter(data, "path");
    cookie->Secure = HasCookieFlag(data, "secure");
    cookie->Comment = TzqHeaderFieldList::GetParameter(data, "comment");
    cookie->SetMaxAge(TryStrToInt64(TzqHeaderFieldList::GetParameter(data, "max-age")).value_or(-1));
    cookie->Version = TryStrToInt(TzqHeaderFieldList::GetParameter(data, "version")).value_or(0);
    cookie->CommentURL = TzqHeaderFieldList::GetParameter(data, "commenturl");
    cookie->Port = TzqHeaderFieldList::GetParameter(data, "port");
    cookie->Discard = HasCookieFlag(data, "discard");
    if (cookie->Port.empty() && HasCookieFlag(data, "port")) cookie->Port = IntToStr(requestPort);
  }
  cookie->CookieData = data;
  if (fields.FieldKey(fieldIndex) == "set-cookie2")
    cookie->Format = 2;
  else if (cookie->Version == 1)
    cookie->Format = 1;
  if (cookie->Domain.empty()) cookie->Domain = requestHost;
  cookie->Domain = NormalizeCookieDomain(cookie->Domain);
  cookie->Path = NormalizeCookiePath(cookie->Path.empty() ? requestPath : cookie->Path);
  if (!DomainAcceptable(cookie->Domain, requestHost)) return;
  cookie->collection_ = this;
  items_.push_back(std::move(cookie));
  Changed();
}

void TzqCookieList::SetRequestCookies(TzqStringList& requestLines) const {
  TzqHeaderFieldList fields(requestLines);
  while (fields.IndexOfField("cookie") >= 0) fields.RemoveField("cookie");
  std::string text;
  for (const auto& item : items_) {
    if (!text.empty()) text += "; ";
    text += FormatCookie(*item);
  }
  fields.AddField("Cookie", text);
}

void TzqCookieList::ParseResponseCookies(TzqStringList& responseLines, const std::string& requestHost,
                                         int requestPort, const std::string& requestPath) {
  TzqUpdateBatch batch(*this);
  Clear();
  TzqHeaderFieldList fields(responseLines);
  for (int i = 0; i < fields.FieldCount(); ++i) {
    const std::string& key = fields.FieldKey(i);
    if (key == "set-cookie" || key == "set-cookie2") ParseCookie(fields, i, requestPort, requestPath, requestHost);
  }
}

void TzqCookieList::LoadFromStream(TzqStream& stream) {
  TzqValueReader reader(stream);
  const int32_t count = reader.ReadInteger();
  if (count < 0) throw EzqReadError(sInvalidPropertyValue);
  std::vector<std::unique_ptr<TzqCookieItem>> loaded;
  for (int32_t i = 0; i < count; ++i) {
    auto item = std::make_unique<TzqCookieItem>();
    item->ReadFromStream(reader);
    item->collection_ = this;
    loaded.push_back(std::move(item));
  }
  items_ = std::move(loaded);
  Changed();
}

void TzqCookieList::SaveToStream(TzqStream& stream) const {
  TzqValueWriter writer(stream);
  writer.WriteInteger(Count());
  for (const auto& item : items_) item->WriteToStream(writer);
}

// ---- TzqCookieManager --------------------------------------------------------------------------

TzqCookieManager::TzqCookieManager(TzqComponent* owner) : TzqComponent(owner), cookies_(this) {}

void TzqCookieManager::DoAddCookie(TzqCookieItem* cookie, bool& allow) {
  if (OnAddCookie) OnAddCookie(this, cookie, allow);
}

void TzqCookieManager::DoDeleteCookie(TzqCookieItem* cookie, bool& allow) {
  if (OnDeleteCookie) OnDeleteCookie(this, cookie, allow);
}

void TzqCookieManager::DoUpdateCookie(TzqCookieItem* oldCookie, TzqCookieItem* newCookie, bool& allow) {
  if (OnUpdateCookie) OnUpdateCookie(this, oldCookie, newCookie, allow);
}

void TzqCookieManager::DoAcceptCookie(TzqCookieItem* cookie, const std::string& domain, const std::string& path,
                                      int port, bool secure, bool& allow) {
  if (OnAcceptCookie) OnAcceptCookie(this, cookie, domain, path, port, secure, allow);
}

void TzqCookieManager::RemoveExpired() {
  for (int i = cookies_.Count() - 1; i >= 0; --i) {
    TzqCookieItem* cookie = cookies_.Items(i);
    if (!IsCookieExpired(*cookie)) continue;
    bool allow = true;
    DoDeleteCookie(cookie, allow);
    if (allow) cookies_.Delete(i);
  }
}

int TzqCookieManager::FindCookie(const TzqCookieItem& cookie) const {
  for (int i = 0; i < cookies_.Count(); ++i) {
    const TzqCookieItem* stored = cookies_.Items(i);
    if (SameText(stored->Name, cookie.Name) && SameText(stored->Domain, cookie.Domain) &&
        SameText(stored->Path, cookie.Path))
      return i;
  }
  return -1;
}

void TzqCookieManager::StoreCookies(const TzqCookieList& received) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  TzqUpdateBatch batch(cookies_);
  RemoveExpired();
  for (int i = 0; i < received.Count(); ++i) {
      TzqCookieItem* cookie = received.Items(i);
      const int found = FindCookie(*cookie);
      bool allow = true;
      if (found < 0) {
        DoAddCookie(cookie, allow);
        if (allow) cookies_.Add()->Assign(*cookie);
      } else if (IsCookieExpired(*cookie)) {
        DoDeleteCookie(cookies_.Items(found), allow);
        if (allow) cookies_.Delete(found);
      } else {
        DoUpdateCookie(cookies_.Items(found), cookie, allow);
        if (allow) cookies_.Items(found)->Assign(*cookie);
      }
    }
}

bool TzqCookieManager::CookieMatches(TzqCookieItem* cookie, const std::string& host, bool secure, int port,
                                     const std::string& path) {
  bool allow = CookieDomainMatches(cookie->Domain, host) && CookiePathMatches(cookie->Path, path) &&
               CookiePortMatches(cookie->Port, port);
  if (allow && cookie->Secure) allow = secure;
  DoAcceptCookie(cookie, host, path, port, secure, allow);
  return allow;
}

void TzqCookieManager::SelectCookies(TzqCookieList& target, const std::string& host, bool secure, int port,
                                     const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  TzqUpdateBatch batch(cookies_);
  TzqUpdateBatch targetBatch(target);
  RemoveExpired();
  target.Clear();
  for (int i = 0; i < cookies_.Count(); ++i) {
    TzqCookieItem* cookie = cookies_.Items(i);
    if (CookieMatches(cookie, host, secure, port, path)) target.Add()->Assign(*cookie);
  }
  target.SortCookies();
}

}  // namespace zq
