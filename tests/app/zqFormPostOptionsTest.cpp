// The program's command line: other View and Host addresses, the stored defaults otherwise,
// and a clear refusal of what it does not know.

#include "app/zqFormPostOptions.h"

#include <gtest/gtest.h>

#include <QLineEdit>

#include "core/zqError.h"
#include "tests/app/zqAppTestSupport.h"

namespace zq {
namespace {

const char* const kView = "https://localhost:8443/products/quorvex/demos/formpost.asp";
const char* const kHost = "https://localhost:8443/products/quorvex/demos/serverformpost.asp";

TEST(FormPostOptions, UrlsReplaceTheStoredOnesOnlyWhenGiven) {
  TMainForm form;
  const QString storedView = form.edtViewPage->text();
  const QString storedHost = form.edtHost->text();

  ApplyFormPostOptions(ParseFormPostOptions({"zq_formpost"}), form);
  EXPECT_EQ(form.edtViewPage->text(), storedView);
  EXPECT_EQ(form.edtHost->text(), storedHost);

  ApplyFormPostOptions(ParseFormPostOptions({"zq_formpost", "--host-url", kHost}), form);
  EXPECT_EQ(form.edtViewPage->text(), storedView);
  EXPECT_EQ(form.edtHost->text().toStdString(), kHost);

  ApplyFormPostOptions(ParseFormPostOptions({"zq_formpost", QString("--view-url=") + kView}), form);
  EXPECT_EQ(form.edtViewPage->text().toStdString(), kView);
  EXPECT_EQ(form.edtHost->text().toStdString(), kHost);
}

TEST(FormPostOptions, SupportPageAndCaFileReachTheWindowAndItsClient) {
  TMainForm form;
  const std::string storedSupport = form.SupportPageUrl();
  const std::string storedCaFile = form.zqHttp1->CAFile();
  ApplyFormPostOptions(ParseFormPostOptions({"zq_formpost"}), form);
  EXPECT_EQ(form.SupportPageUrl(), storedSupport);
  EXPECT_EQ(form.zqHttp1->CAFile(), storedCaFile);
  ApplyFormPostOptions(ParseFormPostOptions({"zq_formpost", "--support-url", "https://localhost:8443/support/index.asp",
                                             "--ca-file=/tmp/demo-ca.pem"}),
                       form);
  EXPECT_EQ(form.SupportPageUrl(), "https://localhost:8443/support/index.asp");
  EXPECT_EQ(form.zqHttp1->CAFile(), "/tmp/demo-ca.pem");
}

TEST(FormPostOptions, UnknownOptionsMissingValuesAndStrayArgumentsAreRefused) {
  const QStringList bad[] = {
      {"zq_formpost", "--host-url"},
      {"zq_formpost", "--ca-file"},
      {"zq_formpost", "--hots-url", kHost},
      {"zq_formpost", kHost},
  };
  for (const QStringList& arguments : bad) {
    try {
      ParseFormPostOptions(arguments);
      ADD_FAILURE() << arguments.join(' ').toStdString();
    } catch (const EzqError& error) {
      EXPECT_STRNE(error.what(), "") << arguments.join(' ').toStdString();
    }
  }
}

}  // namespace
}  // namespace zq
