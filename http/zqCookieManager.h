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

#include "core/zqApi.h"
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

/// One cookie as received, stored and sent.
class ZQ_API TzqCookieItem : public TzqPersistent {
public:
  /// An empty cookie in no list.
  TzqCookieItem() = default;
  /// "TzqCookieItem".
  std::string ClassName() const override { return "TzqCookieItem"; }
  /// Copies every field of another cookie item.
  void Assign(const TzqPersistent& source) override;

  /// The list holding the cookie, or null.
  TzqCookieList* Collection() const { return collection_; }
  /// Position in the collection, -1 when in none.
  int Index() const;

  /// Sent over https only.
  bool Secure = false;
  /// The cookie's value.
  std::string Value;
  /// When it expires, local time; -1: at the end of the session (it is never dropped as expired).
  TzqDateTime Expires = -1.0;
  /// The cookie's name.
  std::string Name;
  /// A domain cookie's domain with its leading dot, or a host-only cookie's bare host.
  std::string Domain;
  /// The path the cookie is sent for (and below).
  std::string Path;
  /// The Set-Cookie value as received.
  std::string CookieData;
  /// The Discard attribute was present.
  bool Discard = false;
  /// The Version attribute, 0 when absent.
  int32_t Version = 0;
  /// The Port attribute: a comma-separated list of ports it is sent to; empty: any.
  std::string Port;
  /// The CommentURL attribute.
  std::string CommentURL;
  /// The Comment attribute.
  std::string Comment;
  /// 0 for Set-Cookie, 1 for Set-Cookie with Version 1, 2 for Set-Cookie2.
  uint8_t Format = 0;

  /// The Max-Age attribute in seconds; -1 when absent, 0 expires the cookie.
  int64_t MaxAge() const { return maxAge_; }
  /// A positive age also sets Expires when no date is there yet.
  void SetMaxAge(int64_t value);

  /// Reads the fields from the stored form; EzqReadError for a malformed one.
  virtual void ReadFromStream(TzqValueReader& reader);
  /// Writes the fields in the stored form.
  virtual void WriteToStream(TzqValueWriter& writer) const;

private:
  friend class TzqCookieList;
  TzqCookieList* collection_ = nullptr;
  int64_t maxAge_ = -1;
};

/// An ordered list of cookies, owning them.
class ZQ_API TzqCookieList : public TzqPersistent {
public:
  /// owner: reported by Owner(), not owning the list.
  explicit TzqCookieList(TzqObject* owner = nullptr) : owner_(owner) {}
  ~TzqCookieList() override = default;
  TzqCookieList(const TzqCookieList&) = delete;
  TzqCookieList& operator=(const TzqCookieList&) = delete;

  /// "TzqCookieList".
  std::string ClassName() const override { return "TzqCookieList"; }
  /// Replaces the cookies by copies of another list's.
  void Assign(const TzqPersistent& source) override;

  /// The object given at construction.
  TzqObject* Owner() const { return owner_; }
  /// The number of cookies.
  int Count() const { return static_cast<int>(items_.size()); }
  /// The cookie at index (owned by the list); EzqError when index is out of range.
  TzqCookieItem* Items(int index) const;
  /// Appends an empty cookie and returns it (owned by the list).
  TzqCookieItem* Add();
  /// Deletes the cookie at index; EzqError when index is out of range.
  void Delete(int index);
  /// Deletes every cookie.
  void Clear();
  /// The position of item, -1 when not in the list.
  int IndexOf(const TzqCookieItem* item) const;
  /// Holds OnChange back until the matching EndUpdate.
  void BeginUpdate() { ++updateCount_; }
  /// Ends an update batch; the last one raises OnChange.
  void EndUpdate();
  /// Update batches open.
  int UpdateCount() const { return updateCount_; }
  /// Told when an update batch ends or the list changes outside one.
  std::function<void(TzqObject* sender)> OnChange;

  /// Longer paths first; cookies with paths of equal length keep their order.
  void SortCookies();

  /// The cookie as the Cookie field carries it: name "=" value.
  virtual std::string FormatCookie(const TzqCookieItem& item) const;
  /// Adds the cookie of field number fieldIndex (nothing for an empty or refused one).
  virtual void ParseCookie(const TzqHeaderFieldList& fields, int fieldIndex, int requestPort,
                           const std::string& requestPath, const std::string& requestHost);
  /// Replaces every Cookie field of the request lines by one carrying this list.
  virtual void SetRequestCookies(TzqStringList& requestLines) const;
  /// Replaces the list by the cookies the Set-Cookie and Set-Cookie2 fields of a response set,
  /// for a request to that host, port and path; refused and malformed ones are left out.
  virtual void ParseResponseCookies(TzqStringList& responseLines, const std::string& requestHost, int requestPort,
                                    const std::string& requestPath);
  /// All or nothing: a truncated or malformed stored list raises and leaves the list as it was.
  virtual void LoadFromStream(TzqStream& stream);
  /// Writes the list in the stored form LoadFromStream reads.
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

/// OnAddCookie, OnDeleteCookie: the cookie concerned; clearing allow vetoes the change.
using TzqCookieEvent = std::function<void(TzqObject* sender, TzqCookieItem* cookie, bool& allow)>;
/// OnUpdateCookie: the stored cookie and the one received to replace it; clearing allow keeps the old.
using TzqUpdateCookieEvent =
    std::function<void(TzqObject* sender, TzqCookieItem* oldCookie, TzqCookieItem* newCookie, bool& allow)>;
/// OnAcceptCookie: a stored cookie and the request it would be sent with; allow starts as the
/// matching rules decide and may be changed either way.
using TzqAcceptCookieEvent = std::function<void(TzqObject* sender, TzqCookieItem* cookie, const std::string& domain,
                                                const std::string& path, int port, bool secure, bool& allow)>;

/// The cookie store shared by HTTP clients (TzqHttp::SetCookieManager): it takes the cookies of
/// responses and picks those a request carries, by domain, path, port and Secure, dropping
/// expired ones. StoreCookies and SelectCookies may be called from several threads at once;
/// Cookies() gives the list itself, unguarded.
///
/// To keep cookies across runs, save Cookies() with SaveToStream and load them back with
/// LoadFromStream.
class ZQ_API TzqCookieManager : public TzqComponent {
public:
  /// An owner destroys the store with itself.
  explicit TzqCookieManager(TzqComponent* owner = nullptr);
  /// "TzqCookieManager".
  std::string ClassName() const override { return "TzqCookieManager"; }

  /// The stored cookies, in the order they were first stored (owned by the store).
  TzqCookieList& Cookies() { return cookies_; }

  /// Takes received cookies: a new one is added, one of a stored name, domain and path replaces
  /// it, an expired one deletes it. Expired cookies go first; afterwards the oldest are dropped
  /// beyond 50 a domain and 3000 in all. The handlers of the events raised may veto, but must
  /// not add or delete stored cookies.
  void StoreCookies(const TzqCookieList& received);
  /// Replaces target by copies of the stored cookies a request to that host, port and path
  /// carries (secure: over https), longest paths first, after dropping expired ones. The
  /// OnAcceptCookie handler has the last word on each, and must not change the store.
  void SelectCookies(TzqCookieList& target, const std::string& host, bool secure, int port, const std::string& path);

  /// Before a received cookie is added.
  TzqCookieEvent OnAddCookie;
  /// Before a stored cookie is deleted (expired, replaced by an expired one, or over a limit).
  TzqCookieEvent OnDeleteCookie;
  /// Before a stored cookie is replaced by a received one.
  TzqUpdateCookieEvent OnUpdateCookie;
  /// For each stored cookie SelectCookies considers.
  TzqAcceptCookieEvent OnAcceptCookie;

protected:
  /// Raises OnAddCookie; override to act without a handler.
  virtual void DoAddCookie(TzqCookieItem* cookie, bool& allow);
  /// Raises OnDeleteCookie; override to act without a handler.
  virtual void DoDeleteCookie(TzqCookieItem* cookie, bool& allow);
  /// Raises OnUpdateCookie; override to act without a handler.
  virtual void DoUpdateCookie(TzqCookieItem* oldCookie, TzqCookieItem* newCookie, bool& allow);
  /// Raises OnAcceptCookie; override to act without a handler.
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
ZQ_API bool IsCookieExpired(const TzqCookieItem& cookie);
// RFC 6265 domain-match of a request host against a cookie domain (leading dot ignored).
ZQ_API bool CookieDomainMatches(std::string_view cookieDomain, std::string_view host);
// RFC 6265 path-match; query and fragment of either path do not take part.
ZQ_API bool CookiePathMatches(std::string_view cookiePath, std::string_view requestPath);
ZQ_API bool CookiePortMatches(std::string_view portList, int port);
// True when the domain (leading dot ignored) is a suffix under which anyone can register.
ZQ_API bool IsPublicSuffix(std::string_view domain);
// Present when an attribute after the first name=value pair has that name, with or without a value.
ZQ_API bool HasCookieFlag(std::string_view cookieData, std::string_view flag);
// Domain-match for a stored cookie: a host-only cookie matches its own host only.
ZQ_API bool CookieHostMatches(const TzqCookieItem& cookie, std::string_view host);
// An Expires date as RFC 6265 reads cookie dates (section 5.1.1), in UTC; false when it is none.
ZQ_API bool ParseCookieDate(std::string_view text, TzqDateTime& utc);

}  // namespace zq
