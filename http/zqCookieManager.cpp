#include "http/zqCookieManager.h"

#include <arpa/inet.h>
#include <libpsl.h>

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>

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

// Browsers' limits: larger cookies are ignored, the oldest beyond the counts are dropped.
// Ten thousand years: beyond that an age only risks overflowing the date arithmetic.
constexpr int64_t kMaxCookieAge = int64_t{315360000000};

bool IsCookieBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsCookieBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsCookieBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Control characters other than a tab make the whole cookie unusable in a Cookie line.
bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte == 0x7F;
  });
}

std::string Unquote(std::string_view text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
  return std::string(text);
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

// A cookie without a Domain attribute keeps the bare host it came from; a domain cookie's
// domain starts with a dot.
bool IsHostOnly(const TzqCookieItem& cookie) { return cookie.Domain.empty() || cookie.Domain[0] != '.'; }

// ---- Set-Cookie syntax -------------------------------------------------------------------------

struct TzqCookieAttribute {
  std::string name;  // lower-cased
  std::string value;
  bool hasValue = false;
};

struct TzqSetCookie {
  std::string name;
  std::string value;
  std::vector<TzqCookieAttribute> attributes;
};

TzqCookieAttribute SplitAttribute(std::string_view piece) {
  TzqCookieAttribute attribute;
  const size_t equals = piece.find('=');
  attribute.name = LowerCase(TrimBlanks(piece.substr(0, equals)));
  if (equals != std::string_view::npos) {
    attribute.value = TrimBlanks(piece.substr(equals + 1));
    attribute.hasValue = true;
  }
  return attribute;
}

// The pair before the first ";" split at its first "=", then the ";"-separated attributes;
// quotes mean nothing here. False for a pair without "=" or with an empty name.
bool SplitSetCookie(std::string_view data, TzqSetCookie& cookie) {
  const size_t semicolon = data.find(';');
  const std::string_view pair = data.substr(0, semicolon);
  const size_t equals = pair.find('=');
  if (equals == std::string_view::npos) return false;
  cookie.name = TrimBlanks(pair.substr(0, equals));
  cookie.value = TrimBlanks(pair.substr(equals + 1));
  if (cookie.name.empty()) return false;
  if (semicolon == std::string_view::npos) return true;
  std::string_view rest = data.substr(semicolon + 1);
  for (;;) {
    const size_t next = rest.find(';');
    const std::string_view piece = TrimBlanks(rest.substr(0, next));
    if (!piece.empty()) cookie.attributes.push_back(SplitAttribute(piece));
    if (next == std::string_view::npos) break;
    rest.remove_prefix(next + 1);
  }
  return true;
}

// Max-Age: an optional minus and digits only; anything else is no Max-Age at all.
std::optional<int64_t> ParseMaxAge(std::string_view text) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::string_view digits = negative ? text.substr(1) : text;
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  if (negative) return 0;
  int64_t value = 0;
  for (char c : digits) value = std::min(kMaxCookieAge, value * 10 + (c - '0'));
  return value;
}

// What the attributes say; each valid occurrence overrides the ones before it.
struct TzqCookieFacts {
  std::optional<int64_t> maxAge;
  std::optional<TzqDateTime> expiresUtc;
  std::string domain;  // bare, lower-cased; empty for a host-only cookie
  std::string path;    // empty for the default path
};

void ApplyAttribute(const TzqCookieAttribute& attribute, TzqCookieItem& cookie, TzqCookieFacts& facts,
                    int requestPort) {
  const std::string& name = attribute.name;
  const std::string& value = attribute.value;
  TzqDateTime date = 0;
  if (name == "expires") {
    if (ParseCookieDate(value, date)) facts.expiresUtc = date;
  } else if (name == "max-age") {
    if (const auto age = ParseMaxAge(value)) facts.maxAge = age;
  } else if (name == "domain") {
    if (!value.empty()) facts.domain = BareDomain(value);
  } else if (name == "path") {
    facts.path = !value.empty() && value[0] == '/' ? value : std::string();
  } else if (name == "secure") {
    cookie.Secure = true;
  } else if (name == "discard") {
    cookie.Discard = true;
  } else if (name == "comment") {
    cookie.Comment = Unquote(value);
  } else if (name == "commenturl") {
    cookie.CommentURL = Unquote(value);
  } else if (name == "version") {
    cookie.Version = TryStrToInt(Unquote(value)).value_or(0);
  } else if (name == "port") {
    cookie.Port = attribute.hasValue ? Unquote(value) : IntToStr(requestPort);
  }
}

// Max-Age wins over Expires; an age of zero or less expires the cookie at once.
void ApplyLifetime(const TzqCookieFacts& facts, TzqCookieItem& cookie) {
  if (facts.maxAge) {
    cookie.SetMaxAge(*facts.maxAge);
    return;
  }
  if (!facts.expiresUtc) return;
  TzqDateTime local = UtcToLocal(*facts.expiresUtc);
  // Values from -1 to 0 mean "no expiry"; a date that lands there is long past.
  if (local >= -1.0 && local <= 0.0) local = -2.0;
  cookie.Expires = local;
}

// The directory of the request path: up to, not including, its last "/".
std::string DefaultCookiePath(std::string_view requestPath) {
  const std::string trimmed = Trim(requestPath);
  const std::string_view path = PathPart(trimmed);
  if (path.empty() || path[0] != '/') return "/";
  const size_t slash = path.rfind('/');
  return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

const psl_ctx_t* PublicSuffixList() {
  // The distribution's list first; the library's built-in copy when that cannot be read.
  static const psl_ctx_t* context = [] {
    const psl_ctx_t* latest = psl_latest(nullptr);
    return latest != nullptr ? latest : psl_builtin();
  }();
  return context;
}

// The stored domain of a received cookie, or false when the host may not set it: a domain the
// host lies outside of, or a public suffix other than the host itself (which makes the cookie
// host-only).
bool CookieDomainFor(const std::string& attribute, const std::string& host, std::string& domain) {
  const auto blankOrControl = [](char c) { return static_cast<unsigned char>(c) <= 32 || c == 0x7F; };
  if (host.empty() || host[0] == '.' || std::any_of(host.begin(), host.end(), blankOrControl)) return false;
  if (attribute.empty()) {
    domain = host;
    return true;
  }
  // Only one leading dot is ignored; a second leaves a domain no host lies in.
  if (attribute[0] == '.' || !CookieDomainMatches(attribute, host)) return false;
  if (IsPublicSuffix(attribute)) {
    if (attribute != host) return false;
    domain = host;
    return true;
  }
  domain = "." + attribute;
  return true;
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

// Name and path compare exactly, the domain without regard to case.
std::string CookieKey(const TzqCookieItem& cookie) {
  const std::string domain = LowerCase(cookie.Domain);
  return IntToStr(static_cast<int64_t>(cookie.Name.size())) + ":" + cookie.Name +
         IntToStr(static_cast<int64_t>(domain.size())) + ":" + domain + cookie.Path;
}

// ---- cookie dates --------------------------------------------------------------------------------

bool IsDateDelimiter(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte == 0x09 || (byte >= 0x20 && byte <= 0x2F) || (byte >= 0x3B && byte <= 0x40) ||
         (byte >= 0x5B && byte <= 0x60) || (byte >= 0x7B && byte <= 0x7E);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// minDigits to maxDigits digits at pos, then the end or a non-digit.
bool ReadNumber(std::string_view token, size_t& pos, size_t minDigits, size_t maxDigits, int& value) {
  size_t count = 0;
  value = 0;
  while (pos < token.size() && IsDigit(token[pos]) && count < maxDigits) {
    value = value * 10 + (token[pos++] - '0');
    ++count;
  }
  return count >= minDigits && (pos == token.size() || !IsDigit(token[pos]));
}

bool ReadTime(std::string_view token, std::array<int, 3>& time) {
  size_t pos = 0;
  for (size_t i = 0; i < time.size(); ++i) {
    if (i > 0 && (pos >= token.size() || token[pos++] != ':')) return false;
    if (!ReadNumber(token, pos, 1, 2, time[i])) return false;
  }
  return true;
}

int ReadMonth(std::string_view token) {
  static const char* const months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                       "jul", "aug", "sep", "oct", "nov", "dec"};
  if (token.size() < 3) return 0;
  for (int i = 0; i < 12; ++i)
    if (SameText(token.substr(0, 3), months[i])) return i + 1;
  return 0;
}

struct TzqCookieDateParts {
  std::optional<std::array<int, 3>> time;
  std::optional<int> day, month, year;
};

void ReadDateToken(std::string_view token, TzqCookieDateParts& parts) {
  std::array<int, 3> time{};
  size_t pos = 0;
  int number = 0;
  if (!parts.time && ReadTime(token, time)) {
    parts.time = time;
  } else if (!parts.day && ReadNumber(token, pos, 1, 2, number)) {
    parts.day = number;
  } else if (!parts.month && ReadMonth(token) != 0) {
    parts.month = ReadMonth(token);
  } else if (!parts.year && (pos = 0, ReadNumber(token, pos, 2, 4, number))) {
    parts.year = number;
  }
}

}  // namespace

bool ParseCookieDate(std::string_view text, TzqDateTime& utc) {
  TzqCookieDateParts parts;
  for (size_t pos = 0; pos < text.size();) {
    while (pos < text.size() && IsDateDelimiter(text[pos])) ++pos;
    const size_t start = pos;
    while (pos < text.size() && !IsDateDelimiter(text[pos])) ++pos;
    if (pos > start) ReadDateToken(text.substr(start, pos - start), parts);
  }
  if (!parts.time || !parts.day || !parts.month || !parts.year) return false;
  int year = *parts.year;
  if (year >= 70 && year <= 99) year += 1900;
  if (year >= 0 && year <= 69) year += 2000;
  const auto& [hour, minute, second] = *parts.time;
  if (year < 1601 || hour > 23 || minute > 59 || second > 59) return false;
  TzqDateTime date = 0, time = 0;
  if (!TryEncodeDate(year, *parts.month, *parts.day, date) || !TryEncodeTime(hour, minute, second, 0, time))
    return false;
  utc = date + time;
  return true;
}

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

bool CookieHostMatches(const TzqCookieItem& cookie, std::string_view host) {
  if (IsHostOnly(cookie)) return !cookie.Domain.empty() && BareDomain(cookie.Domain) == BareDomain(host);
  return CookieDomainMatches(cookie.Domain, host);
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
  TzqSetCookie cookie;
  if (!SplitSetCookie(cookieData, cookie)) return false;
  return std::any_of(cookie.attributes.begin(), cookie.attributes.end(),
                     [flag](const TzqCookieAttribute& attribute) { return SameText(attribute.name, flag); });
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

void TzqCookieList::RemoveItems(const std::unordered_set<const TzqCookieItem*>& doomed) {
  if (doomed.empty()) return;
  std::erase_if(items_, [&doomed](const auto& item) { return doomed.count(item.get()) != 0; });
  Changed();
}

void TzqCookieList::EndUpdate() {
  if (updateCount_ > 0 && --updateCount_ == 0) Changed();
}

void TzqCookieList::Changed() {
  if (updateCount_ == 0 && OnChange) OnChange(this);
}

void TzqCookieList::SortCookies() {
  // Stable, so that among equal path lengths the earlier created cookie stays first.
  std::stable_sort(items_.begin(), items_.end(),
                   [](const auto& a, const auto& b) { return a->Path.size() > b->Path.size(); });
  Changed();
}

std::string TzqCookieList::FormatCookie(const TzqCookieItem& item) const { return item.Name + "=" + item.Value; }

void TzqCookieList::ParseCookie(const TzqHeaderFieldList& fields, int fieldIndex, int requestPort,
                                const std::string& requestPath, const std::string& requestHost) {
  const std::string data = Trim(fields.GetFieldValueAt(fieldIndex));
  TzqSetCookie parsed;
  if (data.size() > kMaxCookieSize || HasControlCharacter(data) || !SplitSetCookie(data, parsed)) return;
  auto cookie = std::make_unique<TzqCookieItem>();
  cookie->Name = std::move(parsed.name);
  cookie->Value = std::move(parsed.value);
  TzqCookieFacts facts;
  for (const TzqCookieAttribute& attribute : parsed.attributes) ApplyAttribute(attribute, *cookie, facts, requestPort);
  if (!CookieDomainFor(facts.domain, BareDomain(requestHost), cookie->Domain)) return;
  cookie->Path = facts.path.empty() ? DefaultCookiePath(requestPath) : facts.path;
  ApplyLifetime(facts, *cookie);
  cookie->CookieData = data;
  if (fields.FieldKey(fieldIndex) == "set-cookie2")
    cookie->Format = 2;
  else if (cookie->Version == 1)
    cookie->Format = 1;
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

void TzqCookieList::ParseResponseCookies(TzqStringList& responseLines, const std::string& requestHost, int requestPort,
                                         const std::string& requestPath) {
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

// Deletes, in one pass, the stored cookies picked by the test (from the newest to the oldest)
// whose deletion OnDeleteCookie allows.
template <typename Test>
void TzqCookieManager::DeleteWhere(Test test) {
  std::unordered_set<const TzqCookieItem*> doomed;
  for (int i = cookies_.Count() - 1; i >= 0; --i) {
    TzqCookieItem* cookie = cookies_.Items(i);
    if (!test(*cookie)) continue;
    bool allow = true;
    DoDeleteCookie(cookie, allow);
    if (allow) doomed.insert(cookie);
  }
  cookies_.RemoveItems(doomed);
}

void TzqCookieManager::RemoveExpired() {
  DeleteWhere([](const TzqCookieItem& cookie) { return IsCookieExpired(cookie); });
}

// The oldest go first: counting from the newest, a cookie beyond the count of its domain or of
// the store is deleted.
void TzqCookieManager::EnforceLimits() {
  std::unordered_map<std::string, int> perDomain;
  int total = 0;
  DeleteWhere([&](const TzqCookieItem& cookie) {
    const int inDomain = ++perDomain[BareDomain(cookie.Domain)];
    if (inDomain > kMaxCookiesPerDomain) return true;
    return ++total > kMaxCookiesPerStore;
  });
}

void TzqCookieManager::StoreCookies(const TzqCookieList& received) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  TzqUpdateBatch batch(cookies_);
  RemoveExpired();
  // The stored cookies by name, domain and path; the first of equal ones is the one found.
  std::unordered_map<std::string, TzqCookieItem*> stored;
  for (int i = 0; i < cookies_.Count(); ++i) stored.emplace(CookieKey(*cookies_.Items(i)), cookies_.Items(i));
  std::unordered_set<const TzqCookieItem*> deleted;
  for (int i = 0; i < received.Count(); ++i) {
    TzqCookieItem* cookie = received.Items(i);
    const std::string key = CookieKey(*cookie);
    const auto found = stored.find(key);
    bool allow = true;
    if (found == stored.end()) {
      DoAddCookie(cookie, allow);
      if (!allow) continue;
      TzqCookieItem* added = cookies_.Add();
      added->Assign(*cookie);
      stored.emplace(key, added);
    } else if (IsCookieExpired(*cookie)) {
      DoDeleteCookie(found->second, allow);
      if (!allow) continue;
      deleted.insert(found->second);
      stored.erase(found);
    } else {
      DoUpdateCookie(found->second, cookie, allow);
      if (allow) found->second->Assign(*cookie);
    }
  }
  cookies_.RemoveItems(deleted);
  EnforceLimits();
}

bool TzqCookieManager::CookieMatches(TzqCookieItem* cookie, const std::string& host, bool secure, int port,
                                     const std::string& path) {
  bool allow = CookieHostMatches(*cookie, host) && CookiePathMatches(cookie->Path, path) &&
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
