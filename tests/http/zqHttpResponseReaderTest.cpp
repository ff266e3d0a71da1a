// The response reader on scripted bytes: the same response read whole, byte by byte and in
// random pieces gives the same result; hostile framing ends in a clear error, never in success.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codec/zqInflate.h"
#include "core/zqText.h"
#include "http/zqHttpResponseReader.h"
#include "platform/zqSocketApi.h"
#include "tests/codec/zqZLibReference.h"

namespace zq {
namespace {

const TzqHeaderRules kRules{8192, int64_t{1} << 20, "header too long", "no status line"};

struct Outcome {
  int32_t status = 0;
  std::string lines;
  std::string body;
  std::string error;  // what() of what was raised, empty on success
  bool mustClose = false;
  bool complete = false;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  return out << o.status << " [" << o.lines << "] body " << o.body.size() << " bytes, error '" << o.error << "'";
}

// Reads one response from the bytes, handed out in the pieces given (the rest at once).
Outcome Read(const std::string& bytes, std::vector<int64_t> pieces = {}, const std::string& method = "GET",
             const TzqHeaderRules& rules = kRules) {
  TzqMemoryStream input;
  input.WriteString(bytes);
  input.SetPosition(0);
  size_t next = 0;
  TzqStreamSource source(input, [&]() -> int64_t { return next < pieces.size() ? pieces[next++] : int64_t{1} << 40; });
  TzqHttpResponseReader reader(source, rules);
  Outcome outcome;
  TzqMemoryStream body;
  try {
    TzqStringList lines;
    reader.ReadHeader(lines, hvHttp1_1);
    outcome.status = reader.StatusCode();
    outcome.lines = lines.Text();
    reader.DecideFraming(method, hvHttp1_1);
    outcome.mustClose = reader.MustClose();
    reader.ReadBody(body);
  } catch (const std::exception& e) {
    outcome.error = e.what();
  }
  outcome.body = body.DataString();
  outcome.complete = reader.Complete();
  return outcome;
}

std::vector<int64_t> Bytewise(const std::string& bytes) { return std::vector<int64_t>(bytes.size(), 1); }

std::vector<int64_t> RandomPieces(size_t size, std::mt19937& random) {
  std::vector<int64_t> pieces;
  for (size_t done = 0; done < size;) {
    const int64_t piece = 1 + random() % 97;
    pieces.push_back(piece);
    done += static_cast<size_t>(piece);
  }
  return pieces;
}

// The outcome, checked to be the same at every way of cutting the bytes.
Outcome ReadAnyway(const std::string& bytes, const std::string& method = "GET") {
  std::mt19937 random(static_cast<unsigned>(bytes.size()));
  const Outcome whole = Read(bytes, {}, method);
  EXPECT_EQ(Read(bytes, Bytewise(bytes), method), whole) << bytes.substr(0, 200);
  for (int round = 0; round < 5; ++round)
    EXPECT_EQ(Read(bytes, RandomPieces(bytes.size(), random), method), whole) << bytes.substr(0, 200);
  return whole;
}

std::string AsString(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string Compressed(const std::string& text, test::TzqZFormat format) {
  return AsString(test::Compress(std::vector<uint8_t>(text.begin(), text.end()), format));
}

std::string Chunked(const std::string& body, size_t chunk) {
  std::string out;
  for (size_t at = 0; at < body.size(); at += chunk) {
    const std::string piece = body.substr(at, chunk);
    out += Format("%zx\r\n", piece.size()) + piece + "\r\n";
  }
  return out + "0\r\n\r\n";
}

TEST(HttpResponseReader, HeaderAndBodyAreTheSameHoweverTheBytesArrive) {
  const Outcome length = ReadAnyway("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: b\r\n\r\nhelloEXTRA");
  EXPECT_EQ(length.status, 200);
  EXPECT_EQ(length.lines, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: b\r\n\r\n");
  EXPECT_EQ(length.body, "hello");  // bytes past the length belong to no body
  EXPECT_TRUE(length.complete);
  EXPECT_FALSE(length.mustClose);
  // Bare LF line ends, and empty lines before the status line, as lenient readers take them.
  const Outcome lf = ReadAnyway("\r\n\nHTTP/1.1 200 OK\nContent-Length: 2\n\nok");
  EXPECT_EQ(lf.status, 200);
  EXPECT_EQ(lf.body, "ok");
  const Outcome chunked =
      ReadAnyway("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked("abcdefghij", 3));
  EXPECT_EQ(chunked.body, "abcdefghij");
  const Outcome untilClose = ReadAnyway("HTTP/1.0 200 OK\r\n\r\nto the end");
  EXPECT_EQ(untilClose.body, "to the end");
  EXPECT_TRUE(untilClose.mustClose);
  // An error without length is taken as bodiless, but what may follow it ends the connection.
  const Outcome unframed = ReadAnyway("HTTP/1.1 404 Not Found\r\n\r\nHTTP/1.1 200 OK\r\n\r\n");
  EXPECT_EQ(unframed.body, "");
  EXPECT_TRUE(unframed.mustClose);
}

TEST(HttpResponseReader, EveryInterimResponseButSwitchingProtocolsIsSkipped) {
  const Outcome outcome = ReadAnyway(
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n"
      "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n"
      "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody");
  EXPECT_EQ(outcome.status, 200);
  EXPECT_EQ(outcome.lines, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n");
  EXPECT_EQ(outcome.body, "body");
  EXPECT_EQ(ReadAnyway("HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n").status, 101);
  // A HEAD, a 204 and a 304 have no body whatever their fields say.
  EXPECT_EQ(ReadAnyway("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n", "HEAD").body, "");
  EXPECT_TRUE(ReadAnyway("HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\n").complete);
  EXPECT_TRUE(ReadAnyway("HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n").complete);
}

TEST(HttpResponseReader, ContentLengthMustBeOnePlainDecimalNumber) {
  for (const std::string good : {"Content-Length: 3", "Content-Length: 3, 3", "Content-Length: 3\r\nContent-Length: 3",
                                 "content-length:   003  "}) {
    EXPECT_EQ(ReadAnyway("HTTP/1.1 200 OK\r\n" + good + "\r\n\r\nabc").body, "abc") << good;
  }
  for (const std::string bad : {"-8", "+3", "abc", "0x10", "3 4", "3, 4", "1e3", "", "99999999999999999999"}) {
    const Outcome outcome = ReadAnyway("HTTP/1.1 200 OK\r\nContent-Length: " + bad + "\r\n\r\nabc");
    EXPECT_EQ(outcome.error, "The response's Content-Length is not one decimal number: " + bad) << bad;
    EXPECT_FALSE(outcome.complete);
  }
  const Outcome twice = ReadAnyway("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 30\r\n\r\nabc");
  EXPECT_EQ(twice.error, "The response's Content-Length is not one decimal number: 3, 30");
  // The forged reply hidden behind a negative length is never taken as a body or an answer.
  const Outcome forged =
      ReadAnyway("HTTP/1.1 200 OK\r\nContent-Length: -8\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nforged");
  EXPECT_FALSE(forged.error.empty());
  EXPECT_EQ(forged.body, "");
}

TEST(HttpResponseReader, TransferCodingsAreAListWithChunkedLast) {
  const std::string text(5000, 'z');
  const Outcome both = ReadAnyway("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n" +
                                  Chunked(Compressed(text, test::zfGZip), 100));
  EXPECT_EQ(both.body, text);
  EXPECT_TRUE(both.complete);
  const Outcome split = ReadAnyway("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                   Chunked(Compressed(text, test::zfGZip), 7));
  EXPECT_EQ(split.body, text);
  // Not chunked last: the body runs to the close, decoded all the same.
  const Outcome toClose =
      ReadAnyway("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n" + Compressed(text, test::zfGZip));
  EXPECT_EQ(toClose.body, text);
  EXPECT_TRUE(toClose.mustClose);
  // A length beside chunked is ignored, and the connection is not kept.
  const Outcome withLength =
      ReadAnyway("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked("abcd", 2));
  EXPECT_EQ(withLength.body, "abcd");
  EXPECT_TRUE(withLength.mustClose);
  for (const std::string unknown : {"br, chunked", "chunked, x-custom", "compress"}) {
    const Outcome outcome =
        ReadAnyway("HTTP/1.1 200 OK\r\nTransfer-Encoding: " + unknown + "\r\n\r\n3\r\nabc\r\n0\r\n\r\n");
    EXPECT_NE(outcome.error.find("Transfer-Encoding is not supported"), std::string::npos) << unknown;
    EXPECT_EQ(outcome.body, "") << unknown;
  }
}

TEST(HttpResponseReader, ContentCodingsAreDecodedAndMustEndProperly) {
  const std::string text = "The quick brown fox jumps over the lazy dog. " + std::string(3000, '!');
  for (const auto& [coding, format] : std::vector<std::pair<std::string, test::TzqZFormat>>{
           {"gzip", test::zfGZip}, {"x-gzip", test::zfGZip}, {"deflate", test::zfZLib}, {"deflate", test::zfRaw}}) {
    const std::string data = Compressed(text, format);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Encoding: " + coding + "\r\n";
    EXPECT_EQ(ReadAnyway(head + Format("Content-Length: %zu\r\n\r\n", data.size()) + data).body, text) << coding;
    // Framing complete, compressed data cut: an error, whatever was decoded before it.
    const std::string cut = data.substr(0, data.size() - 6);
    const Outcome byLength = ReadAnyway(head + Format("Content-Length: %zu\r\n\r\n", cut.size()) + cut);
    EXPECT_EQ(byLength.error, "Compressed data ended before the end of the stream") << coding;
    EXPECT_FALSE(byLength.complete);
    const Outcome byChunks = ReadAnyway(head + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(cut, 50));
    EXPECT_EQ(byChunks.error, "Compressed data ended before the end of the stream") << coding;
    const Outcome byClose = ReadAnyway("HTTP/1.0 200 OK\r\nContent-Encoding: " + coding + "\r\n\r\n" + cut);
    EXPECT_EQ(byClose.error, "Compressed data ended before the end of the stream") << coding;
  }
  // A coding the reader does not know is delivered as it came.
  EXPECT_EQ(ReadAnyway("HTTP/1.1 200 OK\r\nContent-Encoding: br\r\nContent-Length: 3\r\n\r\nxyz").body, "xyz");
}

TEST(HttpResponseReader, BodiesCutShortAreErrors) {
  const Outcome length = ReadAnyway("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort");
  EXPECT_EQ(length.error, "The connection closed before the response body ended");
  EXPECT_EQ(length.body, "short");
  EXPECT_FALSE(length.complete);
  EXPECT_EQ(ReadAnyway("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabc").error,
            "The connection closed before the response body ended");
  EXPECT_EQ(ReadAnyway("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n").error,
            "The connection closed before the response body ended");
  EXPECT_EQ(ReadAnyway("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0x10\r\n").error,
            "Invalid chunked data: a chunk-size line holds more than hexadecimal digits and an extension");
}

TEST(HttpResponseReader, HeadersWithoutStatusOrEndAreRefused) {
  EXPECT_EQ(ReadAnyway("garbage\r\n\r\n").error, "no status line");
  EXPECT_EQ(ReadAnyway("HTTP/1.1 abc OK\r\n\r\n").error, "no status line");
  EXPECT_EQ(ReadAnyway("HTTP/1.1 200 OK\r\nX: y\r\n").error, "no status line");
  // Nothing at all is the drop of a kept connection, which callers retry.
  TzqMemoryStream nothing;
  TzqStreamSource source(nothing);
  TzqHttpResponseReader reader(source, kRules);
  TzqStringList lines;
  try {
    reader.ReadHeader(lines, hvHttp1_1);
    ADD_FAILURE() << "nothing read as a response";
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), WSAECONNABORTED);
  }
  // The header cap, counted over interim responses too; a byte at a time as the tunnel reads.
  const TzqHeaderRules tunnel{1, 1002, "too long", "none"};
  const std::string big = "HTTP/1.1 200 OK\r\nX: " + std::string(990, 'a') + "\r\n\r\n";
  EXPECT_EQ(Read(big, {}, "CONNECT", tunnel).error, "too long");
  EXPECT_EQ(Read("HTTP/1.1 200 OK\r\nX: " + std::string(900, 'a') + "\r\n\r\n", {}, "CONNECT", tunnel).status, 200);
  const std::string interims = "HTTP/1.1 100 Continue\r\n\r\n";
  std::string many;
  while (many.size() < 1100) many += interims;
  EXPECT_EQ(Read(many + "HTTP/1.1 200 OK\r\n\r\n", {}, "CONNECT", tunnel).error, "too long");
}

TEST(HttpResponseReader, TheTunnelTakesNothingPastItsHeader) {
  TzqMemoryStream input;
  input.WriteString("HTTP/1.1 200 Connection established\r\n\r\n\x16\x03\x01 server hello");
  input.SetPosition(0);
  TzqStreamSource source(input);
  TzqHttpResponseReader reader(source, TzqHeaderRules{1, 1002, "too long", "none"});
  TzqStringList lines;
  reader.ReadHeader(lines, hvHttp1_0);
  reader.DecideFraming("CONNECT", hvHttp1_0);
  EXPECT_EQ(reader.Framing(), TzqBodyFraming::bfNone);
  TzqMemoryStream body;
  reader.ReadBody(body);
  EXPECT_EQ(body.Size(), 0);
  EXPECT_EQ(input.Position(), 39);  // the far server's bytes are still unread
}

// Only CR LF or LF after a line ends a header: CRs alone make a line, as other parsers read it.
TEST(HttpResponseReader, ALineOfCarriageReturnsDoesNotEndTheHeader) {
  const std::string head = "HTTP/1.1 200 Connection established\r\n\r\r\nX: y\r\n\r\n";
  TzqMemoryStream input;
  input.WriteString(head + "\x16\x03\x01 server hello");
  input.SetPosition(0);
  TzqStreamSource source(input);
  TzqHttpResponseReader reader(source, TzqHeaderRules{1, 1002, "too long", "none"});
  TzqStringList lines;
  try {
    reader.ReadHeader(lines, hvHttp1_0);
  } catch (const EzqHttpError&) {
  }
  EXPECT_EQ(input.Position(), int64_t(head.size()));
}

// A bare CR inside a line is a space, never a line end: the lines handed to the caller are the
// fields the framing was decided on, so no Content-Length hides behind it (found by fuzzing).
TEST(HttpResponseReader, ABareCarriageReturnIsNoLineEnd) {
  const Outcome outcome = Read("HTTP/1.1 401 No\r\nA: b\r\rContent-Length: 5\r\n\r\nrest");
  EXPECT_EQ(outcome.lines, "HTTP/1.1 401 No\r\nA: b  Content-Length: 5\r\n\r\n");
  EXPECT_EQ(outcome.body, "");
  EXPECT_TRUE(outcome.mustClose);
}

}  // namespace
}  // namespace zq
