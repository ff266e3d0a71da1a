#pragma once
// Reads one HTTP response from a byte source: the header (interim 1xx responses skipped), the
// framing decision and the body, through the chunked, gzip and deflate decodings, into a
// stream. The HTTP client and the CONNECT tunnel both read their responses with it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/zqApi.h"
#include "core/zqStream.h"
#include "core/zqStringList.h"
#include "http/zqHeaderFieldList.h"
#include "http/zqHttpUtils.h"
#include "net/zqSocket.h"
#include "net/zqTcpClient.h"

namespace zq {

// Where a response's bytes come from.
class ZQ_API TzqResponseSource {
public:
  virtual ~TzqResponseSource() = default;
  // Appends what arrives next, at most limit bytes (no bound when negative), to sink; waits
  // until something arrives or the peer has closed.
  virtual void Read(TzqStream& sink, int64_t limit) = 0;
  // True once the peer has closed and nothing more can arrive.
  virtual bool Ended() = 0;
};

// A connection as a response source. Its progress counts go on across reads.
class ZQ_API TzqConnectionSource : public TzqResponseSource {
public:
  explicit TzqConnectionSource(TzqTcpConnection& connection) : connection_(connection) {}
  void Read(TzqStream& sink, int64_t limit) override;
  bool Ended() override;

private:
  TzqTcpConnection& connection_;
};

// A stream as a response source: a saved response, or bytes a test hands out in pieces of the
// sizes pieceSize gives (all that is left when it is not set). Ends with the stream.
class ZQ_API TzqStreamSource : public TzqResponseSource {
public:
  explicit TzqStreamSource(TzqStream& stream, std::function<int64_t()> pieceSize = {})
      : stream_(stream), pieceSize_(std::move(pieceSize)) {}
  void Read(TzqStream& sink, int64_t limit) override;
  bool Ended() override { return stream_.Position() >= stream_.Size(); }

private:
  TzqStream& stream_;
  std::function<int64_t()> pieceSize_;
};

enum class TzqBodyFraming { bfNone, bfLength, bfChunked, bfUntilClose };

// How the header is read, and what its failures say.
struct ZQ_API TzqHeaderRules {
  int64_t piece;         // bytes asked for per read (1: nothing past the header is taken)
  int64_t maxBytes;      // the header (with any interim ones) may not grow past this
  const char* tooLong;   // message when it does
  const char* noStatus;  // message for a header without a valid status line
};

class ZQ_API TzqHttpResponseReader {
public:
  TzqHttpResponseReader(TzqResponseSource& source, const TzqHeaderRules& rules);
  ~TzqHttpResponseReader();
  TzqHttpResponseReader(const TzqHttpResponseReader&) = delete;
  TzqHttpResponseReader& operator=(const TzqHttpResponseReader&) = delete;

  // Reads up to the end of the final response's header and parses its status line; lines
  // receive the header. A source that ends before sending anything raises the socket error
  // of a dropped connection (WSAECONNABORTED); other failures raise EzqHttpError.
  void ReadHeader(TzqStringList& lines, TzqHttpVersion fallback);
  int32_t StatusCode() const { return statusCode_; }
  const std::string& StatusText() const { return statusText_; }
  TzqHttpVersion Version() const { return version_; }

  // Decides from the header how the body is framed; raises EzqHttpError on a Content-Length
  // that is not one plain decimal number and on a transfer coding it cannot decode.
  void DecideFraming(const std::string& method, TzqHttpVersion requestVersion);
  TzqBodyFraming Framing() const { return framing_; }
  int64_t ContentLength() const { return length_; }
  // Body bytes that came in with the header, up to the body's length.
  int64_t BufferedBodyBytes();
  // The body, decoded, into destination; raises when the source ends before the framing does
  // or a compressed body does not end properly.
  void ReadBody(TzqStream& destination);
  // True once the whole response has been read and nothing of it is left on the source.
  bool Complete() const { return complete_; }
  // True when bytes past this response's end were received with it: a reply nobody asked for,
  // which must never be read as the next request's answer.
  bool Overrun();
  // Whether the final header carries a field of this name.
  bool HasField(const char* name) const;
  // True when the framing leaves the connection unusable afterwards.
  bool MustClose() const { return mustClose_; }

  // Whether a response asks for the connection to stay open, by its versions and the value of
  // its Connection (or Proxy-Connection) field.
  static bool KeepAlive(TzqHttpVersion requestVersion, TzqHttpVersion responseVersion, const std::string& value);

private:
  class TzqDecodingChain;

  bool ScanHeader();
  bool TakeHeaderAt(int64_t end);
  [[noreturn]] void FailHeader(const char* message);
  std::vector<std::string> FieldValues(const char* name) const;
  void DecideTransferCoding(const std::vector<std::string>& codings);
  void DecideLength(const std::string& method, TzqHttpVersion requestVersion);
  void PumpLength(TzqStream& sink);
  void PumpChunked(TzqStream& sink);
  void PumpUntilClose(TzqStream& sink);
  void PassBuffered(TzqStream& sink, int64_t count);

  TzqResponseSource& source_;
  TzqHeaderRules rules_;
  TzqMemoryStream buffer_;
  // Scanning state: where the current header starts, how far bytes were examined, and the
  // bytes other than CR on the line being examined, and its CRs.
  int64_t headerStart_ = 0;
  int64_t scanned_ = 0;
  int64_t lineBytes_ = 0;
  int64_t lineCrs_ = 0;
  bool headerHasLine_ = false;
  int64_t headerEnd_ = -1;
  TzqStringList lines_;
  TzqHeaderFieldList fields_;  // over lines_, parsed once
  int32_t statusCode_ = 0;
  std::string statusText_;
  TzqHttpVersion version_ = hvHttp1_1;
  TzqBodyFraming framing_ = TzqBodyFraming::bfNone;
  int64_t length_ = -1;
  std::vector<std::string> transferCodings_;
  bool complete_ = false;
  bool mustClose_ = false;
};

}  // namespace zq
