#pragma once
// One zq command run: a TzqHttp set up from the options, the request sent, the body written
// and the outcome turned into an exit code.

#include <iosfwd>
#include <memory>

#include "core/zqStream.h"
#include "http/zqCookieManager.h"
#include "http/zqHttp.h"
#include "tools/cli/zqCliOptions.h"
#include "tools/cli/zqProgressBar.h"

namespace zq::cli {

enum TzqExitCode { ecDone = 0, ecLocal = 1, ecUsage = 2, ecNetwork = 3, ecHttp = 4 };

// The exit code for what a run raised: usage, local (files, stored forms), HTTP status
// (an EzqHttpError for a 3xx-5xx status) or network, TLS and protocol errors.
TzqExitCode ExitCodeOf(const std::exception& error);

class TzqCliTransfer {
public:
  // output: where the body (or, for -I, the header) goes unless -o names a file; messages,
  // -v traces and, when terminal is true and -s is not given, the progress bar go to errors.
  TzqCliTransfer(const TzqCliOptions& options, TzqStream& output, std::ostream& errors, bool terminal);
  ~TzqCliTransfer();
  TzqCliTransfer(const TzqCliTransfer&) = delete;
  TzqCliTransfer& operator=(const TzqCliTransfer&) = delete;

  // Never throws: failures are reported on errors (unless -s) and returned as their code.
  int Run();

private:
  void Configure();
  void ConfigureAuthorization();
  void ConfigureTransport();
  void ConfigureTraces();
  void ConfigureProgress();
  void BuildRequest();
  std::string TargetUrl() const;
  void Transfer();
  void WriteHeader(const TzqStringList& lines, TzqStream& destination) const;
  void LoadCookies();
  void SaveCookies();

  const TzqCliOptions& options_;
  TzqStream& output_;
  std::ostream& errors_;
  TzqHttp http_;
  TzqCookieManager cookies_;
  TzqHttpRequest request_;
  int redirects_ = 0;
  TzqProgressBar progress_;
};

}  // namespace zq::cli
