#pragma once
// Status-line parsing and header-line helpers shared by the HTTP client and the proxy tunnel,
// the HTTP version and authorization-type enumerations, and the proxy settings record.

#include <cstdint>
#include <string>

#include "core/zqApi.h"
#include "core/zqComponent.h"
#include "core/zqStream.h"
#include "core/zqStringList.h"
#include "net/zqSocketUtils.h"

namespace zq {

// Message: the response's status line as received (or what went wrong); ErrorCode: its status
// code, 0 when there was none.
class ZQ_API EzqHttpError : public EzqTcpClientError {
public:
  EzqHttpError(const std::string& message, std::string responseText, int statusCode)
      : EzqTcpClientError(message, statusCode), responseText_(std::move(responseText)) {}
  const std::string& ResponseText() const { return responseText_; }

private:
  std::string responseText_;
};

enum TzqAuthorizationType { atBasic, atAutoDetect };

enum TzqHttpVersion { hvHttp1_0, hvHttp1_1 };

// "HTTP/1.0", "HTTP/1.1", indexed by TzqHttpVersion.
extern ZQ_API const char* const kHttpVersionTexts[2];

class ZQ_API TzqHttpUtils {
public:
  TzqHttpUtils() = delete;

  // The version word that ends at the next space at or after position (left on that space);
  // fallback when there is no space or the word is no known version.
  static TzqHttpVersion ParseStatusVersion(const TzqByteArray& bytes, int64_t& position, TzqHttpVersion fallback);
  // The number that ends at the next space (position left on it); 0 when absent or not a number.
  static int32_t ParseStatusCode(const TzqByteArray& bytes, int64_t& position);
  // The trimmed text up to the next line feed, or to the end; position left on the line feed.
  static std::string ParseStatusText(const TzqByteArray& bytes, int64_t& position);
  // count bytes (or fewer, at the end) from the stream's position as the list's lines.
  static void ReadHeaderLines(TzqStream& stream, int64_t count, TzqStringList& list);
  // The same from count bytes in memory.
  static void HeaderLinesFromBytes(const uint8_t* bytes, int64_t count, TzqStringList& list);
  static void TrimTrailingEmptyLines(TzqStringList& list);
  // Removes a leading request or status line.
  static void DropStartLine(TzqStringList& list);
  // Replaces the field name (removed when value is empty).
  static void SetHeaderField(const std::string& name, const std::string& value, TzqStringList& list);
  // Raises EzqHttpError when text that is to go into a header line holds CR, LF or NUL, which
  // would end the line early and let the rest pose as fields of its own; what names the text.
  static void CheckHeaderText(const std::string& text, const std::string& what);
  // The same for every line of a request header, named by its field.
  static void CheckHeaderLines(const TzqStringList& lines);
  // A kept connection the peer dropped shows as one of these codes, by how far the drop had got.
  static bool IsDroppedConnection(int32_t code);
};

class ZQ_API TzqHttpProxySettings : public TzqPersistent {
public:
  TzqHttpProxySettings() { ResetDefaults(); }
  std::string ClassName() const override { return "TzqHttpProxySettings"; }

  void Assign(const TzqPersistent& source) override;
  void ResetDefaults();
  bool operator==(const TzqHttpProxySettings& other) const;

  TzqAuthorizationType AuthorizationType() const { return authorizationType_; }
  void SetAuthorizationType(TzqAuthorizationType value) { authorizationType_ = value; }
  const std::string& UserName() const { return userName_; }
  void SetUserName(const std::string& value) { userName_ = value; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& value) { password_ = value; }
  const std::string& Server() const { return server_; }
  void SetServer(const std::string& value) { server_ = value; }
  int32_t Port() const { return port_; }
  void SetPort(int32_t value) { port_ = value; }

private:
  TzqAuthorizationType authorizationType_ = atAutoDetect;
  std::string userName_;
  std::string password_;
  std::string server_;
  int32_t port_ = 8080;
};

}  // namespace zq
