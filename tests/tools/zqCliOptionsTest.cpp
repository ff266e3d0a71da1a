// The zq command line: options into their record, the errors that make a usage error, the
// exit code of each kind of failure, and the output stream onto a file descriptor.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "http/zqHttpUtils.h"
#include "net/zqSocketUtils.h"
#include "tools/cli/zqCliOptions.h"
#include "tools/cli/zqCliTransfer.h"
#include "tools/cli/zqFdStream.h"
#include "tools/cli/zqProgressBar.h"

namespace zq::cli {
namespace {

TzqCliOptions Parse(const std::vector<std::string>& arguments) { return ParseCliOptions(arguments); }

TEST(CliOptions, ShortLongGroupedAndAttachedForms) {
  const TzqCliOptions o = Parse({"-sfL", "-XPATCH", "--max-redirs=3", "-H", "X-A:  1", "--header", "Accept: a/b", "-m",
                                 "1.5", "--connect-timeout", "2", "--limit-rate", "10k", "--tlsv1.3", "--compressed",
                                 "-u", "u:p:q", "--digest", "http://h/x"});
  EXPECT_TRUE(o.silent);
  EXPECT_TRUE(o.fail);
  EXPECT_TRUE(o.followRedirects);
  EXPECT_EQ(o.Method(), "PATCH");
  EXPECT_EQ(o.maxRedirects, 3);
  ASSERT_EQ(o.headers.size(), 2u);
  EXPECT_EQ(o.headers[0], (std::pair<std::string, std::string>{"X-A", "1"}));
  EXPECT_EQ(o.headers[1], (std::pair<std::string, std::string>{"Accept", "a/b"}));
  EXPECT_EQ(o.maxTimeMs, 1500);
  EXPECT_EQ(o.connectTimeoutMs, 2000);
  EXPECT_EQ(o.limitRate, 10240);
  EXPECT_EQ(o.tlsMinimum, 13);
  EXPECT_TRUE(o.compressed);
  EXPECT_EQ(o.auth, TzqCliAuth::Digest);
  EXPECT_EQ(SplitCredentials(o.user), (std::pair<std::string, std::string>{"u", "p:q"}));
  EXPECT_EQ(o.url, "http://h/x");
  EXPECT_FALSE(Parse({"--compressed", "--no-compressed", "u"}).compressed);
}

TEST(CliOptions, TheMethodFollowsTheBodyOptions) {
  EXPECT_EQ(Parse({"u"}).Method(), "GET");
  EXPECT_EQ(Parse({"-I", "u"}).Method(), "HEAD");
  EXPECT_EQ(Parse({"-T", "f", "u"}).Method(), "PUT");
  const TzqCliOptions form = Parse({"-F", "a=1", "-F", "up=@/tmp/f", "u"});
  EXPECT_EQ(form.Method(), "POST");
  ASSERT_EQ(form.form.size(), 2u);
  EXPECT_FALSE(form.form[0].file);
  EXPECT_TRUE(form.form[1].file);
  EXPECT_EQ(form.form[1].value, "/tmp/f");
  const TzqCliOptions data = Parse({"-d", "a=b=c", "-X", "PUT", "u"});
  EXPECT_EQ(data.data[0], (std::pair<std::string, std::string>{"a", "b=c"}));
  EXPECT_EQ(data.Method(), "PUT");
}

TEST(CliOptions, ProxiesAndSocks) {
  const TzqCliOptions o = Parse({"-x", "[::1]:3128", "-U", "pu:pp", "--socks4a", "127.0.0.1:1080", "u"});
  EXPECT_EQ(SplitHostPort(o.proxy, "-x"), (std::pair<std::string, int32_t>{"::1", 3128}));
  EXPECT_EQ(o.socks, TzqCliSocks::Socks4a);
  EXPECT_EQ(SplitHostPort(o.socksServer, "--socks4a"), (std::pair<std::string, int32_t>{"127.0.0.1", 1080}));
  EXPECT_EQ(SplitCredentials("nocolon"), (std::pair<std::string, std::string>{"nocolon", ""}));
}

TEST(CliOptions, UsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {},                     // no URL
      {"a", "b"},             // two URLs
      {"--frobnicate", "u"},  // unknown long option
      {"-Z", "u"},            // unknown short option
      {"u", "-X"},            // missing value
      {"-sfX"},               // missing value after a group
      {"-x", "host", "u"},    // no port
      {"-x", "host:0", "u"},  // port out of range
      {"-x", "host:99999", "u"},
      {"--socks5", "h:1x", "u"},
      {"-m", "soon", "u"},  // not a number
      {"-m", "-1", "u"},
      {"--max-redirs", "2.5", "u"},
      {"--limit-rate", "1e20", "u"},
      {"-d", "novalue", "u"},  // not name=value
      {"-d", "=v", "u"},
      {"-H", "NoColon", "u"},
      {"-d", "a=1", "-F", "b=2", "u"},  // two kinds of body
      {"-I", "-T", "f", "u"},
      {"--silent=yes", "u"},  // a value for a flag
  };
  for (const auto& arguments : bad) {
    std::string line;
    for (const std::string& a : arguments) line += a + " ";
    EXPECT_THROW(ParseCliOptions(arguments), EzqUsageError) << line;
  }
}

TEST(CliExitCodes, EachKindOfFailureHasItsCode) {
  EXPECT_EQ(ExitCodeOf(EzqUsageError("x")), ecUsage);
  EXPECT_EQ(ExitCodeOf(EzqHttpError("HTTP/1.1 404 Not Found", "", 404)), ecHttp);
  EXPECT_EQ(ExitCodeOf(EzqHttpError("HTTP/1.1 302 Found", "", 302)), ecHttp);
  EXPECT_EQ(ExitCodeOf(EzqHttpError("no status line", "", 0)), ecNetwork);
  EXPECT_EQ(ExitCodeOf(EzqSocketError("refused", 10061)), ecNetwork);
  EXPECT_EQ(ExitCodeOf(EzqStreamIoError("cannot create")), ecLocal);
  EXPECT_EQ(ExitCodeOf(EzqReadError("bad stored form")), ecLocal);
  EXPECT_EQ(ExitCodeOf(std::bad_alloc()), ecLocal);
}

TEST(CliFdStream, WritesEverythingAndRefusesToSeekAway) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    TzqFdStream stream(fds[1]);
    EXPECT_EQ(stream.Position(), 0);
    stream.WriteString("hello ");
    stream.WriteString("pipe");
    EXPECT_EQ(stream.Size(), 10);
    EXPECT_EQ(stream.Position(), 10);
    EXPECT_THROW(stream.SetPosition(0), EzqStreamIoError);
  }
  char buffer[16] = {};
  EXPECT_EQ(::read(fds[0], buffer, sizeof buffer), 10);
  EXPECT_EQ(std::string(buffer), "hello pipe");
  ::close(fds[0]);
  ::close(fds[1]);

  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  TzqFdStream stream(full);
  EXPECT_THROW(stream.WriteString("lost"), EzqStreamIoError);
  ::close(full);
}

TEST(CliProgressBar, RendersBarPercentAndSize) {
  EXPECT_EQ(TzqProgressBar::Render(0, 100, 10), "[          ]   0%  0 B");
  EXPECT_EQ(TzqProgressBar::Render(45, 100, 10), "[####      ]  45%  45 B");
  EXPECT_EQ(TzqProgressBar::Render(3 << 20, 3 << 20, 4), "[####] 100%  3.0 MiB");
  // More than announced stays a full bar; an unknown total shows the size alone.
  EXPECT_EQ(TzqProgressBar::Render(150, 100, 2), "[##] 100%  150 B");
  EXPECT_EQ(TzqProgressBar::Render(1536, -1, 10), "1.5 KiB");
  EXPECT_EQ(TzqProgressBar::Size(1023), "1023 B");
  EXPECT_EQ(TzqProgressBar::Size(int64_t{5} << 40), "5.0 TiB");
  EXPECT_EQ(TzqProgressBar::Size(int64_t{3000} << 40), "3000.0 TiB");
}

TEST(CliProgressBar, DrawsOnlyAfterASecondAndAtMostEvery200Ms) {
  uint64_t now = 5000;
  std::ostringstream out;
  TzqProgressBar bar(out, true, [&] { return now; });
  bar.Update(10, 100);
  now += 999;
  bar.Update(20, 100);
  EXPECT_EQ(out.str(), "");  // a short transfer leaves no trace
  now += 1;
  bar.Update(30, 100);
  now += 100;
  bar.Update(40, 100);
  now += 100;
  bar.Update(50, 100);
  now += 50;
  bar.Update(100, 100);
  bar.Finish();
  const std::string bar30 = "\r[" + std::string(12, '#') + std::string(28, ' ') + "]  30%  30 B";
  const std::string bar50 = "\r[" + std::string(20, '#') + std::string(20, ' ') + "]  50%  50 B";
  const std::string bar100 = "\r[" + std::string(40, '#') + "] 100%  100 B";
  EXPECT_EQ(out.str(), bar30 + bar50 + bar100 + "\n");

  std::ostringstream quiet;
  TzqProgressBar off(quiet, false, [&] { return now += 5000; });
  off.Update(1, 2);
  off.Finish();
  EXPECT_EQ(quiet.str(), "");
}

}  // namespace
}  // namespace zq::cli
