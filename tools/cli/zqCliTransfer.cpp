#include "tools/cli/zqCliTransfer.h"

#include <chrono>
#include <cstdlib>
#include <ostream>

#include "core/zqError.h"
#include "core/zqText.h"
#include "net/zqFirewallUtils.h"
#include "tools/cli/zqNetscapeCookies.h"

namespace zq::cli {

namespace {

const char* const kUserAgent = "zq/0.1.0";
const char* const sTooManyRedirects = "Maximum (%d) redirects followed";

const TzqCertificateVerifyFlags kIgnoreAll{cfIgnoreCommonNameInvalid, cfIgnoreDateInvalid, cfIgnoreUnknownAuthority,
                                           cfIgnoreRevocation,        cfIgnoreWrongUsage,  cfIgnoreChainPolicyErrors};

uint64_t SteadyMilliseconds() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Known request fields go to their properties, so that -H replaces a default instead of
// repeating it; any other goes out as given.
void AddHeaderField(TzqHttpRequestHeader& header, const std::string& name, const std::string& value) {
  if (SameText(name, "Accept")) return header.SetAccept(value);
  if (SameText(name, "Content-Type")) return header.SetContentType(value);
  if (SameText(name, "Referer")) return header.SetReferer(value);
  if (SameText(name, "Range")) return header.SetRange(value);
  if (SameText(name, "User-Agent")) return header.SetUserAgent(value);
  header.ExtraFields().Add(name + ": " + value);
}

}  // namespace

TzqExitCode ExitCodeOf(const std::exception& error) {
  if (dynamic_cast<const EzqUsageError*>(&error) != nullptr) return ecUsage;
  if (const auto* http = dynamic_cast<const EzqHttpError*>(&error))
    if (http->ErrorCode() >= 300 && http->ErrorCode() <= 599) return ecHttp;
  if (dynamic_cast<const EzqStreamIoError*>(&error) != nullptr ||
      dynamic_cast<const EzqReadError*>(&error) != nullptr || dynamic_cast<const EzqConvertError*>(&error) != nullptr ||
      dynamic_cast<const EzqError*>(&error) == nullptr)
    return ecLocal;
  return ecNetwork;
}

TzqCliTransfer::TzqCliTransfer(const TzqCliOptions& options, TzqStream& output, std::ostream& errors, bool terminal)
    : options_(options),
      output_(output),
      errors_(errors),
      progress_(errors, terminal && !options.silent, SteadyMilliseconds) {}

TzqCliTransfer::~TzqCliTransfer() { http_.SetCookieManager(nullptr); }

int TzqCliTransfer::Run() {
  int code = ecDone;
  // A jar is written only once the cookies it would replace were read.
  bool configured = false;
  try {
    Configure();
    configured = true;
    Transfer();
    progress_.Finish();
  } catch (const std::exception& error) {
    progress_.Finish();
    code = ExitCodeOf(error);
    if (!options_.silent) errors_ << "zq: " << error.what() << "\n";
  }
  try {
    if (configured) SaveCookies();
  } catch (const std::exception& error) {
    if (!options_.silent) errors_ << "zq: " << error.what() << "\n";
    if (code == ecDone) code = ecLocal;
  }
  return code;
}

void TzqCliTransfer::Configure() {
  try {
    TzqHttp::CheckMethod(options_.Method());
  } catch (const EzqHttpError& error) {
    throw EzqUsageError(error.what());
  }
  http_.SetUserAgent(kUserAgent);
  http_.SetAllowCompression(options_.compressed);
  http_.SetSilentHTTP(!options_.fail);
  http_.SetAllowRedirects(options_.followRedirects);
  // Counted here rather than by MaxRedirects, whose end delivers the last redirect's body as
  // the answer: past the limit nothing is written and the run fails.
  http_.SetMaxRedirects(0);
  http_.OnRedirect = [this](TzqObject*, TzqStringList&, int32_t status, TzqHttpResponseHeader&, TzqStringList&,
                            std::string&, bool&, bool&) {
    if (options_.maxRedirects >= 0 && ++redirects_ > options_.maxRedirects)
      throw EzqHttpError(Format(sTooManyRedirects, options_.maxRedirects), std::string(), status);
  };
  http_.SetTotalTimeOut(options_.maxTimeMs);
  if (options_.connectTimeoutMs > 0) http_.SetConnectTimeOut(options_.connectTimeoutMs);
  if (options_.limitRate > 0)
    http_.SetBitsPerSec(static_cast<int32_t>(std::min<int64_t>(options_.limitRate * 8, 2147483647)));
  http_.SetCookieManager(&cookies_);
  LoadCookies();
  ConfigureAuthorization();
  ConfigureTransport();
  ConfigureTraces();
  ConfigureProgress();
  BuildRequest();
}

void TzqCliTransfer::ConfigureProgress() {
  auto update = [this](TzqObject*, int64_t done, int64_t total) { progress_.Update(done, total); };
  http_.OnReceiveProgress = update;
  http_.OnSendProgress = update;
}

void TzqCliTransfer::ConfigureAuthorization() {
  if (!options_.user.empty()) {
    const auto [user, password] = SplitCredentials(options_.user);
    http_.SetUserName(user);
    http_.SetPassword(password);
  }
  // Digest, NTLM and Negotiate answer only a challenge of their own scheme.
  switch (options_.auth) {
    case TzqCliAuth::None:
      break;
    case TzqCliAuth::Basic:
      http_.SetAuthorizationType(atBasic);
      break;
    case TzqCliAuth::Digest:
      http_.SetAuthSchemes("Digest");
      break;
    case TzqCliAuth::Ntlm:
      http_.SetAuthSchemes("NTLM");
      break;
    case TzqCliAuth::Negotiate:
      http_.SetAuthSchemes("Negotiate");
      break;
  }
}

void TzqCliTransfer::ConfigureTransport() {
  if (!options_.proxy.empty()) {
    const auto [host, port] = SplitHostPort(options_.proxy, "-x");
    http_.ProxySettings().SetServer(host);
    http_.ProxySettings().SetPort(port);
    const auto [user, password] = SplitCredentials(options_.proxyUser);
    http_.ProxySettings().SetUserName(user);
    http_.ProxySettings().SetPassword(password);
  }
  if (options_.socks != TzqCliSocks::None) {
    TzqFirewallSettings& socks = http_.FirewallSettings();
    const auto [host, port] = SplitHostPort(options_.socksServer, "--socks");
    socks.SetFirewallType(options_.socks == TzqCliSocks::Socks4    ? ftSocks4
                          : options_.socks == TzqCliSocks::Socks4a ? ftSocks4a
                                                                   : ftSocks5);
    socks.SetServer(host);
    socks.SetPort(port);
    const auto [user, password] = SplitCredentials(options_.socksUser);
    socks.SetUserName(user);
    socks.SetPassword(password);
  }
  // As with curl, -k leaves the CA file unread.
  if (!options_.caFile.empty() && !options_.insecure) http_.SetCAFile(options_.caFile);
  if (options_.insecure) http_.SetCertificateFlags(kIgnoreAll);
  if (options_.tlsMinimum != 0) {
    http_.SetUseSystemTLSFlags(false);
    http_.SetTLSFlags(options_.tlsMinimum == 13 ? TzqTlsFlags{tfUseTLS13} : TzqTlsFlags{tfUseTLS12, tfUseTLS13});
  }
}

void TzqCliTransfer::ConfigureTraces() {
  if (!options_.verbose) return;
  http_.OnSendRequest = [this](TzqObject*, const std::string&, const std::string&, TzqStringList& lines) {
    for (int i = 0; i < lines.Count(); ++i) errors_ << "> " << lines[i] << "\n";
  };
  http_.OnReceiveHeader = [this](TzqObject*, const std::string&, const std::string&, TzqStringList& lines,
                                 TzqCookieList&, bool&) {
    for (int i = 0; i < lines.Count(); ++i) errors_ << "< " << lines[i] << "\n";
    errors_ << "<\n";
  };
}

void TzqCliTransfer::BuildRequest() {
  TzqHttpRequestHeader& header = request_.Header();
  for (const auto& [name, value] : options_.data) request_.AddFormField(name, value);
  for (const TzqCliFormPart& part : options_.form) {
    if (part.file)
      request_.AddSubmitFile(part.name, part.value);
    else
      request_.AddFormField(part.name, part.value);
  }
  if (!options_.form.empty()) header.SetContentType("multipart/form-data");
  for (const auto& [name, value] : options_.headers) AddHeaderField(header, name, value);
  if (!options_.uploadFile.empty() && header.ContentType().empty()) header.SetContentType("application/octet-stream");
}

// As curl does, an upload to a URL that ends in "/" goes to the file's name there.
std::string TzqCliTransfer::TargetUrl() const {
  const std::string& url = options_.url;
  if (options_.uploadFile.empty() || url.empty() || url.back() != '/') return url;
  return url + BaseName(options_.uploadFile);
}

void TzqCliTransfer::Transfer() {
  std::unique_ptr<TzqFileStream> upload;
  if (!options_.uploadFile.empty()) upload = std::make_unique<TzqFileStream>(options_.uploadFile, fmOpenRead);
  std::unique_ptr<TzqFileStream> file;
  if (!options_.outputFile.empty()) file = std::make_unique<TzqFileStream>(options_.outputFile, fmCreate);
  TzqStream& destination = file ? static_cast<TzqStream&>(*file) : output_;
  TzqStringList responseLines;
  http_.Custom(options_.Method(), TargetUrl(), &request_, upload.get(), &responseLines,
               options_.head ? nullptr : &destination);
  if (options_.head) WriteHeader(responseLines, destination);
}

// As received, each line ended by CR LF, and the empty line that ends a header.
void TzqCliTransfer::WriteHeader(const TzqStringList& lines, TzqStream& destination) const {
  std::string text;
  for (int i = 0; i < lines.Count(); ++i)
    if (!lines[i].empty()) text += lines[i] + "\r\n";
  destination.WriteString(text + "\r\n");
}

// A Netscape file starts with a comment (or is empty); anything else is tried as the stored
// form first, and as a Netscape file without its header line when that fails.
void TzqCliTransfer::LoadCookies() {
  if (options_.cookieFile.empty()) return;
  TzqFileStream file(options_.cookieFile, fmOpenRead);
  TzqMemoryStream bytes;
  bytes.CopyFrom(file, 0);
  const std::string text = bytes.DataString();
  if (!text.empty() && text[0] != '#') {
    try {
      bytes.SetPosition(0);
      return cookies_.Cookies().LoadFromStream(bytes);
    } catch (const EzqError&) {
    }
  }
  ReadNetscapeCookies(text, cookies_.Cookies());
}

void TzqCliTransfer::SaveCookies() {
  if (options_.cookieJar.empty()) return;
  TzqFileStream file(options_.cookieJar, fmCreate);
  if (options_.storedCookies) return cookies_.Cookies().SaveToStream(file);
  file.WriteString(WriteNetscapeCookies(cookies_.Cookies()));
}

}  // namespace zq::cli
