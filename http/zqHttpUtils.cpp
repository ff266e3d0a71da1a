#include "http/zqHttpUtils.h"

#include <algorithm>

#include "codec/zqTranslator.h"
#include "core/zqError.h"
#include "core/zqText.h"
#include "http/zqHeaderFieldList.h"
#include "platform/zqSocketApi.h"

namespace zq {

const char* const kHttpVersionTexts[2] = {"HTTP/1.0", "HTTP/1.1"};

namespace {

constexpr const char* kAscii = "us-ascii";
const char* const sLineBreakInHeader = "A CR, LF or NUL character cannot go into a request header: %s";

int64_t FindByte(const TzqByteArray& bytes, int64_t from, uint8_t value) {
  if (from < 0 || from >= static_cast<int64_t>(bytes.size())) return -1;
  const auto found = std::find(bytes.begin() + from, bytes.end(), value);
  return found == bytes.end() ? -1 : found - bytes.begin();
}

// ASCII without NUL is its own text: no translation to copy it through first.
bool IsPlainAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) - 1u < 0x7Fu; });
}

std::string AsciiBetween(const TzqByteArray& bytes, int64_t from, int64_t to) {
  if (from >= 0 && from <= to && to <= static_cast<int64_t>(bytes.size())) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()) + from, static_cast<size_t>(to - from));
    if (IsPlainAscii(text)) return std::string(text);
  }
  return TzqTranslator::BytesToText(bytes, from, kAscii, to - from);
}

// The text from position up to the next space, moving position onto that space.
bool WordToSpace(const TzqByteArray& bytes, int64_t& position, std::string& word) {
  const int64_t space = FindByte(bytes, position, ' ');
  if (space < 0) return false;
  word = AsciiBetween(bytes, position, space);
  position = space;
  return true;
}

bool HasLineBreak(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

bool IsStartLine(const std::string& line) {
  const size_t space = line.find(' ');
  if (space == std::string::npos) return false;
  const size_t colon = line.find(':');
  return colon == std::string::npos || space < colon;
}

}  // namespace

TzqHttpVersion TzqHttpUtils::ParseStatusVersion(const TzqByteArray& bytes, int64_t& position, TzqHttpVersion fallback) {
  std::string word;
  if (!WordToSpace(bytes, position, word)) return fallback;
  const std::string version = Trim(UpperCase(word));
  for (int v = hvHttp1_0; v <= hvHttp1_1; ++v)
    if (version == kHttpVersionTexts[v]) return static_cast<TzqHttpVersion>(v);
  return fallback;
}

int32_t TzqHttpUtils::ParseStatusCode(const TzqByteArray& bytes, int64_t& position) {
  std::string word;
  if (!WordToSpace(bytes, position, word)) return 0;
  return StrToIntDef(word, 0);
}

std::string TzqHttpUtils::ParseStatusText(const TzqByteArray& bytes, int64_t& position) {
  const int64_t size = static_cast<int64_t>(bytes.size());
  if (position < 0 || position >= size) {
    position = size;
    return std::string();
  }
  int64_t end = FindByte(bytes, position, '\n');
  if (end <= 0) end = size;
  const std::string text = Trim(AsciiBetween(bytes, position, end));
  position = end;
  return text;
}

void TzqHttpUtils::ReadHeaderLines(TzqStream& stream, int64_t count, TzqStringList& list) {
  TzqByteArray bytes(static_cast<size_t>(std::max<int64_t>(0, std::min(count, stream.Size() - stream.Position()))));
  bytes.resize(static_cast<size_t>(stream.Read(bytes.data(), static_cast<int64_t>(bytes.size()))));
  HeaderLinesFromBytes(bytes.data(), static_cast<int64_t>(bytes.size()), list);
}

// Only CR LF or LF end a line, as in the scan that found the header's end; a bare CR is a space
// (RFC 9112), so the caller's lines are the fields the framing was decided on.
void TzqHttpUtils::HeaderLinesFromBytes(const uint8_t* bytes, int64_t count, TzqStringList& list) {
  std::string_view text(reinterpret_cast<const char*>(bytes), static_cast<size_t>(std::max<int64_t>(count, 0)));
  std::string spaced;
  for (size_t at = text.find('\r'); at != std::string_view::npos; at = text.find('\r', at + 1)) {
    if (at + 1 < text.size() && text[at + 1] == '\n') continue;
    if (spaced.empty()) spaced.assign(text);
    spaced[at] = ' ';
  }
  if (!spaced.empty()) text = spaced;
  if (IsPlainAscii(text))
    list.SetText(text);
  else
    list.SetText(TzqTranslator::BytesToText(reinterpret_cast<const uint8_t*>(text.data()),
                                            static_cast<int64_t>(text.size()), kAscii));
}

void TzqHttpUtils::TrimTrailingEmptyLines(TzqStringList& list) {
  while (!list.Empty() && list[list.Count() - 1].empty()) list.Delete(list.Count() - 1);
}

void TzqHttpUtils::DropStartLine(TzqStringList& list) {
  if (!list.Empty() && IsStartLine(list[0])) list.Delete(0);
}

void TzqHttpUtils::SetHeaderField(const std::string& name, const std::string& value, TzqStringList& list) {
  TrimTrailingEmptyLines(list);
  TzqHeaderFieldList fields(list);
  fields.RemoveField(name);
  fields.AddField(name, value);
}

void TzqHttpUtils::CheckHeaderText(const std::string& text, const std::string& what) {
  if (!HasLineBreak(text)) return;
  throw EzqHttpError(Format(sLineBreakInHeader, what.c_str()), std::string(), 0);
}

void TzqHttpUtils::CheckHeaderLines(const TzqStringList& lines) {
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string& line = lines[i];
    // The line is named only when it is refused.
    if (!HasLineBreak(line)) continue;
    CheckHeaderText(line,
                    i == 0 ? std::string("the request line") : line.substr(0, std::min(line.find(':'), size_t{64})));
  }
}

bool TzqHttpUtils::IsDroppedConnection(int32_t code) {
  return code == WSAECONNABORTED || code == WSAENOTSOCK || code == WSAECONNRESET;
}

void TzqHttpProxySettings::Assign(const TzqPersistent& source) {
  const auto* other = dynamic_cast<const TzqHttpProxySettings*>(&source);
  if (other == nullptr) return TzqPersistent::Assign(source);
  authorizationType_ = other->authorizationType_;
  userName_ = other->userName_;
  password_ = other->password_;
  server_ = other->server_;
  port_ = other->port_;
}

bool TzqHttpProxySettings::operator==(const TzqHttpProxySettings& other) const {
  return authorizationType_ == other.authorizationType_ && userName_ == other.userName_ &&
         password_ == other.password_ && server_ == other.server_ && port_ == other.port_;
}

void TzqHttpProxySettings::ResetDefaults() {
  authorizationType_ = atAutoDetect;
  userName_.clear();
  password_.clear();
  server_.clear();
  port_ = 8080;
}

}  // namespace zq
