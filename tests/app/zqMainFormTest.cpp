// The form-post window without the network: its controls and stored settings, the links it
// opens, closing, and what a click does when the request lacks a field.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include "tests/app/zqAppTestSupport.h"

namespace zq {
namespace {

using test::ModalBoxes;
using test::TestMainForm;

class MainForm : public ::testing::Test {
protected:
  void SetUp() override {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  }

  TzqQtMessagePump pump;
  test::PumpScope scope{pump};
  TestMainForm form;
};

struct EditCase {
  QLineEdit* TMainForm::*edit;
  QRect bounds;
  const char* text;
  bool readOnly;
};

TEST_F(MainForm, WindowAndBanner) {
  EXPECT_EQ(form.windowTitle().toStdString(), "Simulate Web Form POST request - Sample");
  EXPECT_EQ(form.size(), QSize(639, 480));
  EXPECT_EQ(form.font().family().toStdString(), "Tahoma");
  EXPECT_EQ(form.font().pointSize(), 8);
  EXPECT_EQ(form.pnlLogo->geometry(), QRect(0, 0, 639, 78));
  EXPECT_EQ(form.imLogoLeft->geometry(), QRect(0, 0, 406, 78));
  EXPECT_EQ(form.imLogoMiggle->geometry(), QRect(406, 0, 639 - 406 - 209, 78));
  EXPECT_EQ(form.imLogoRight->geometry(), QRect(639 - 209, 0, 209, 78));
  EXPECT_EQ(form.pnlMain->geometry(), QRect(0, 78, 639, 480 - 78));
  for (QLabel* image : {form.imLogoLeft, form.imLogoMiggle, form.imLogoRight}) {
    EXPECT_EQ(image->cursor().shape(), Qt::PointingHandCursor);
    ASSERT_FALSE(image->pixmap().isNull());
  }
  EXPECT_TRUE(form.imLogoMiggle->hasScaledContents());
  // Resizing stretches the middle picture only.
  form.resize(800, 480);
  ASSERT_TRUE(test::ProcessUntil([&] { return form.imLogoRight->x() == 800 - 209; }));
  EXPECT_EQ(form.imLogoLeft->width(), 406);
  EXPECT_EQ(form.imLogoMiggle->width(), 800 - 406 - 209);
}

TEST_F(MainForm, ControlsWithTheirPlacesTextsAndTabOrder) {
  const EditCase edits[] = {
      {&TMainForm::edtViewPage, {16, 21, 505, 21}, nullptr, true},
      {&TMainForm::edtName, {91, 46, 430, 21}, "John Doe", false},
      {&TMainForm::edtBirthdate, {91, 72, 430, 21}, "10/10/77", false},
      {&TMainForm::edtAccount, {91, 99, 430, 21}, "123456", false},
      {&TMainForm::edtHost, {16, 143, 505, 21}, nullptr, false},
  };
  for (const EditCase& c : edits) {
    QLineEdit* edit = form.*c.edit;
    EXPECT_EQ(edit->parentWidget(), form.pnlMain);
    EXPECT_EQ(edit->geometry(), c.bounds) << edit->text().toStdString();
    EXPECT_EQ(edit->isReadOnly(), c.readOnly) << edit->text().toStdString();
    if (c.text != nullptr) {
      EXPECT_EQ(edit->text().toStdString(), c.text);
    }
  }
  EXPECT_EQ(form.edtViewPage->palette().color(QPalette::Base), form.palette().color(QPalette::Button));

  const std::pair<QLabel*, std::pair<QPoint, const char*>> labels[] = {
      {form.Label2, {{16, 4}, "Try the original web page at"}},
      {form.Label4, {{16, 48}, "Name"}},
      {form.Label3, {{16, 74}, "Birthdate"}},
      {form.Label6, {{16, 101}, "Account"}},
      {form.Label5, {{16, 126}, "Host"}},
      {form.Label1, {{16, 208}, "Response"}},
  };
  for (const auto& [label, expected] : labels) {
    EXPECT_EQ(label->pos(), expected.first);
    EXPECT_EQ(label->text().toStdString(), expected.second);
  }

  EXPECT_EQ(form.btnView->geometry(), QRect(535, 19, 75, 25));
  EXPECT_EQ(form.btnView->text().toStdString(), "&View...");
  EXPECT_EQ(form.btnView->shortcut(), QKeySequence("Alt+V"));
  EXPECT_EQ(form.btnSubmit->geometry(), QRect(16, 170, 75, 25));
  EXPECT_EQ(form.btnSubmit->text().toStdString(), "&Submit");
  EXPECT_EQ(form.btnSubmit->shortcut(), QKeySequence("Alt+S"));
  EXPECT_EQ(form.Memo1->geometry(), QRect(16, 224, 505, 126));
  EXPECT_TRUE(form.Memo1->isReadOnly());
  EXPECT_TRUE(form.Memo1->toPlainText().isEmpty());

  // Tab walks the controls in their order, from the first back to it.
  const QWidget* order[] = {form.edtViewPage, form.btnView, form.edtName,   form.edtBirthdate,
                            form.edtAccount,  form.edtHost, form.btnSubmit, form.Memo1};
  form.edtViewPage->setFocus();
  ASSERT_TRUE(test::ProcessUntil([&] { return form.edtViewPage->hasFocus(); }));
  for (size_t i = 1; i <= std::size(order); ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), order[i % std::size(order)]) << "after tab " << i;
  }
}

TEST_F(MainForm, DefaultAddressesAreHttpsWithoutPortOnReservedNames) {
  const std::pair<std::string, const char*> addresses[] = {
      {form.edtViewPage->text().toStdString(), "/products/quorvex/demos/formpost.asp"},
      {form.edtHost->text().toStdString(), "/products/quorvex/demos/serverformpost.asp"},
      {form.SupportPageUrl(), "/support/index.asp"},
  };
  for (const auto& [address, path] : addresses) {
    const QUrl url(QString::fromStdString(address));
    EXPECT_EQ(url.scheme().toStdString(), "https") << address;
    EXPECT_EQ(url.port(), -1) << address;
    EXPECT_TRUE(url.host().endsWith(".example")) << address;  // a name nobody can own
    EXPECT_EQ(url.path().toStdString(), path) << address;
    EXPECT_TRUE(url.query().isEmpty()) << address;
  }
}

TEST_F(MainForm, StoredComponents) {
  TzqHttpRequest& request = *form.zqHttpRequest;
  ASSERT_EQ(request.Items().Count(), 3);
  const char* names[] = {"Name", "Birthdate", "Account"};
  for (int i = 0; i < 3; ++i) {
    auto* field = dynamic_cast<TzqFormFieldRequestItem*>(request.Items()[i]);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->FieldName(), names[i]);
    EXPECT_TRUE(field->FieldValue().empty());
    EXPECT_TRUE(field->Canonicalized());
  }
  EXPECT_EQ(request.Header().ContentType(), "application/x-www-form-urlencoded");
  EXPECT_EQ(request.Header().Accept(), "*/*");
  const TzqHttpRequest defaults;
  EXPECT_EQ(request.Header().AcceptCharSet(), defaults.Header().AcceptCharSet());
  EXPECT_EQ(request.Header().CharSet(), defaults.Header().CharSet());

  TzqHttp& client = *form.zqHttp1;
  TzqHttp plain;
  EXPECT_EQ(client.UserAgent(), "Mozilla/4.0 (compatible; Quorvex)");
  EXPECT_EQ(client.Request(), nullptr);
  EXPECT_EQ(client.HttpVersion(), hvHttp1_1);
  EXPECT_EQ(client.KeepConnection(), plain.KeepConnection());
  EXPECT_EQ(client.AllowRedirects(), plain.AllowRedirects());
  EXPECT_EQ(client.AllowCookies(), plain.AllowCookies());
  EXPECT_EQ(client.AllowCompression(), plain.AllowCompression());
  EXPECT_EQ(client.TimeOut(), plain.TimeOut());
  EXPECT_FALSE(client.DisableGuiProcessing());
  EXPECT_FALSE(client.Active());
}

TEST_F(MainForm, ViewAndBannerOpenTheirPages) {
  form.btnView->click();
  for (QWidget* image : {form.imLogoLeft, form.imLogoMiggle, form.imLogoRight})
    QTest::mouseClick(image, Qt::LeftButton, {}, QPoint(2, 2));
  // A press that ends outside the picture is no click.
  QTest::mousePress(form.imLogoLeft, Qt::LeftButton, {}, QPoint(2, 2));
  QTest::mouseRelease(form.imLogoLeft, Qt::LeftButton, {}, QPoint(500, 2));
  ASSERT_EQ(form.opened.size(), 4u);
  EXPECT_EQ(form.opened[0], form.edtViewPage->text().toStdString());
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(form.opened[i], form.SupportPageUrl());
}

TEST_F(MainForm, ClosesWhenIdle) {
  bool canClose = false;
  form.FormCloseQuery(canClose);
  EXPECT_TRUE(canClose);
  EXPECT_TRUE(form.close());
  EXPECT_FALSE(form.isVisible());
}

TEST_F(MainForm, AMissingFormFieldIsReportedNotFollowed) {
  form.zqHttpRequest->Items().Clear();
  form.zqHttpRequest->AddFormField("Name", "");
  form.zqHttpRequest->AddFormField("Birthdate", "");
  form.Memo1->setPlainText("before");
  ModalBoxes boxes;
  form.btnSubmit->click();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].icon, QMessageBox::Critical);
  EXPECT_EQ(boxes.shown[0].text, "The request has no form field \"Account\"");
  EXPECT_EQ(form.Memo1->toPlainText().toStdString(), "before");
  EXPECT_FALSE(form.zqHttp1->Active());
}

}  // namespace
}  // namespace zq
