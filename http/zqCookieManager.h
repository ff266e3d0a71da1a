#pragma once
// Cookies: the cookie item, the ordered cookie list (Set-Cookie / Set-Cookie2 parsing, the
// Cookie request field, the stored form) and the cookie store shared by HTTP clients.
//
// Set-Cookie is read, stored and sent as RFC 6265 section 5 describes: a received cookie whose
// Domain does not domain-match the responding host, or names a public suffix, is dropped. A
// cookie without a Domain attribute is host-only: its Domain is the bare host, without the
// leading dot that domain cookies carry (so stored lists keep the distinction in their old form).
// A store keeps at most 50 cookies per domain and 3000 in all, dropping the oldest.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/zqComponent.h"
#include "core/zqDateTime.h"

namespace zq {

// What a store keeps, as browsers do: bytes of one cookie (name, value and attributes), cookies
// per domain and cookies in all.
constexpr size_t kMaxCookieSize = 4096;
constexpr int kMaxCookiesPerDomain = 50;
constexpr int kMaxCookiesPerStore = 3000;

class TzqStream;
class TzqStringList;
class TzqHeaderFieldList;
class TzqValueReader;
class TzqValueWriter;
class TzqCookieList;

class TzqCookieItem : public TzqPersistent {
public:
  TzqCookieItem() = default;
  std::string ClassName() const override { return "TzqCookieItem"; }
  void Assign(const TzqPersistent& source) override;

  TzqCookieList* Collection() const { return collection_; }
  // Position in the collection, -1 when in none.
  int Index() const;

  bool Secure = false;
  std::string Value;
  TzqDateTime Expires = -1.0;
  std::string Name;
  std::string Domain;
  std::string Path;
  std::string CookieData;
  bool Discard = false;
  int32_t Version = 0;
  std::string Port;
  std::string CommentURL;
  std::string Comment;
  uint8_t Format = 0;

  int64_t MaxAge() const { return maxAge_; }
  // A positive age also sets Expires when no date is there yet.
  void SetMaxAge(int64_t value);

  virtual void ReadFromStream(TzqValueReader& reader);
  virtual void WriteToStream(TzqValueWriter& writer) const;

private:
  friend class TzqCookieList;
  TzqCookieList* collection_ = nullptr;
  int64_t maxAge_ = -1;
};

class TzqCookieList : public TzqPersistent {
public:
  explicit TzqCookieList(TzqObject* owner = nullptr) : owner_(owner) {}
  ~TzqCookieList() override = default;
  TzqCookieList(const TzqCookieList&) = delete;
  TzqCookieList& operator=(const TzqCookieList&) = delete;

  std::string ClassName() const override { return "TzqCookieList"; }
  void Assign(const TzqPersistent& source) override;

  TzqObject* Owner() const { return owner_; }
  int Count() const { return static_cast<int>(items_.size()); }
  TzqCookieItem* Items(int index) const;
  TzqCookieItem* Add();
  void Delete(int index);
  void Clear();
  int IndexOf(const TzqCookieItem* item) const;
  void BeginUpdate() { ++updateCount_; }
  void EndUpdate();
  int UpdateCount() const { return updateCount_; }
  // Told when an update batch ends or the list changes outside one.
  std::function<void(TzqObject* sender)> OnChange;

  // Longer paths first; cookies with paths of equal length keep their order.
  void SortCookies();

  virtual std::string FormatCookie(const TzqCookieItem& item) const;
  // Adds the cookie of field number fieldIndex (nothing for an empty or refused one).
  virtual void ParseCookie(const TzqHeaderFieldList& fields, int fieldIndex, int requestPort,
                           const std::string& requestPath, const std::string& requestHost);
  // Replaces every Cookie field of the request lines by one carrying this list.
  virtual void SetRequestCookies(TzqStringList& requestLines) const;
  virtual void ParseResponseCookies(TzqStringList& responseLines, const std::string& requestHost,
                                    int requestPort, const std::string& requestPath);
  // All or nothing: a truncated or malformed stored list raises and leaves the list as it was.
  virtual void LoadFromStream(TzqStream& stream);
  virtual void SaveToStream(TzqStream& stream) const;

private:
  friend class TzqCookieManager;
  void Changed();
  // Deletes those items in one pass, keeping the order of the rest.
  void RemoveItems(const std::unordered_set<const TzqCookieItem*>& doomed);
  TzqObject* owner_;
  std::vector<std::unique_ptr<TzqCookieItem>> items_;
  int updateCount_ = 0;
};

using TzqCookieEvent = std::function<void(TzqObject* sender, TzqCookieItem* cookie, bool& allow)>;
using TzqUpdateCookieEvent =
    std::function<void(TzqObject* sender, TzqCookieItem* oldCookie, TzqCookieItem* newCookie, bool& allow)>;
using TzqAcceptCookieEvent =
    std::function<void(TzqObject* sender, TzqCookieItem* cookie, const std::string& domain, const std::string& path,
                       int port, bool secure, bool& allow)>;

class TzqCookieManager : public TzqComponent {
public:
  explicit TzqCookieManager(TzqComponent* owner = nullptr);
  std::string ClassName() const override { return "TzqCookieManager"; }

  TzqCookieList& Cookies() { return cookies_; }

  // The event handlers of both calls may veto, but must not add or delete stored cookies.
  void StoreCookies(const TzqCookieList& received);
  void SelectCookies(TzqCookieList& target, const std::string& host, bool secure, int port,
                     const std::string& path);

  TzqCookieEvent OnAddCookie;
  TzqCookieEvent OnDeleteCookie;
  TzqUpdateCookieEvent OnUpdateCookie;
  TzqAcceptCookieEvent OnAcceptCookie;

protected:
  virtual void DoAddCookie(TzqCookieItem* cookie, bool& allow);
  virtual void DoDeleteCookie(TzqCookieItem* cookie, bool& allow);
  virtual void DoUpdateCookie(TzqCookieItem* oldCookie, TzqCookieItem* newCookie, bool& allow);
  virtual void DoAcceptCookie(TzqCookieItem* cookie, const std::string& domain, const std::string& path, int port,
                              bool secure, bool& allow);

private:
  template <typename Test>
  void DeleteWhere(Test test);
  void RemoveExpired();
  void EnforceLimits();
  bool CookieMatches(TzqCookieItem* cookie, const std::string& host, bool secure, int port, const std::string& path);

  TzqCookieList cookies_;
  std::recursive_mutex lock_;
};

// The matching rules, exposed for their tests.
bool IsCookieExpired(const TzqCookieItem& cookie);
// RFC 6265 domain-match of a request host against a cookie domain (leading dot ignored).
bool CookieDomainMatches(std::string_view cookieDomain, std::string_view host);
// RFC 6265 path-match; query and fragment of either path do not take part.
bool CookiePathMatches(std::string_view cookiePath, std::string_view requestPath);
bool CookiePortMatches(std::string_view portList, int port);
// True when the domain (leading dot ignored) is a suffix under which anyone can register.
bool IsPublicSuffix(std::string_view domain);
// Present when an attribute after the first name=value pair has that name, with or without a value.
bool HasCookieFlag(std::string_view cookieData, std::string_view flag);
// Domain-match for a stored cookie: a host-only cookie matches its own host only.
bool CookieHostMatches(const TzqCookieItem& cookie, std::string_view host);
// An Expires date as RFC 6265 reads cookie dates (section 5.1.1), in UTC; false when it is none.
bool ParseCookieDate(std::string_view text, TzqDateTime& utc);

}  // namespace zq
