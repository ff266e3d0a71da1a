#include "app/zqFormPostOptions.h"

#include <QCommandLineParser>
#include <QLineEdit>

#include "app/Main.h"
#include "core/zqError.h"

namespace zq {

TzqFormPostOptions ParseFormPostOptions(const QStringList& arguments) {
  QCommandLineParser parser;
  const QCommandLineOption view("view-url", "The address the View button opens.", "url");
  const QCommandLineOption host("host-url", "The address Submit posts the form to.", "url");
  const QCommandLineOption support("support-url", "The address the banner opens.", "url");
  const QCommandLineOption caFile("ca-file", "Certificates of the CAs the window trusts, instead of the system's.",
                                  "file");
  for (const QCommandLineOption& option : {view, host, support, caFile}) parser.addOption(option);
  if (!parser.parse(arguments)) throw EzqError(QStringToAnsi(parser.errorText()));
  if (!parser.positionalArguments().isEmpty())
    throw EzqError(QStringToAnsi("Unexpected argument: " + parser.positionalArguments().first()));
  TzqFormPostOptions options;
  if (parser.isSet(view)) options.ViewUrl = parser.value(view);
  if (parser.isSet(host)) options.HostUrl = parser.value(host);
  if (parser.isSet(support)) options.SupportUrl = parser.value(support);
  if (parser.isSet(caFile)) options.CaFile = parser.value(caFile);
  return options;
}

void ApplyFormPostOptions(const TzqFormPostOptions& options, TMainForm& form) {
  if (options.ViewUrl) form.edtViewPage->setText(*options.ViewUrl);
  if (options.HostUrl) form.edtHost->setText(*options.HostUrl);
  if (options.SupportUrl) form.SetSupportPageUrl(QStringToAnsi(*options.SupportUrl));
  if (options.CaFile) form.zqHttp1->SetCAFile(QStringToAnsi(*options.CaFile));
}

}  // namespace zq
