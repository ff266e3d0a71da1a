// The form-post window against scripted servers on loopback: the exact request a Submit
// sends, what the window shows for answers and errors, and how it behaves while an exchange
// is running (responsive, refusing a second Submit and closing).

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <mutex>
#include <string>
#include <vector>

#include "core/zqError.h"
#include "platform/zqSocketApi.h"
#include "tests/app/zqAppTestSupport.h"
#include "tests/support/zqLoopback.h"

namespace zq {
namespace {

using test::ModalBoxes;
using test::ReadExactly;
using test::ReadUntilClosed;
using test::ScriptedServer;
using test::WriteAll;

const char* const kPath = "/products/quorvex/demos/serverformpost.asp";

// Requests as the server saw them: the header through its empty line, then the announced body.
class Requests {
public:
  std::string Read(int fd) {
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos) request += ReadExactly(fd, 1);
    const std::string field = "\r\nContent-Length: ";
    const size_t at = request.find(field);
    if (at != std::string::npos) request += ReadExactly(fd, std::stoul(request.substr(at + field.size())));
    std::lock_guard<std::mutex> guard(lock_);
    seen_.push_back(request);
    return request;
  }
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> guard(lock_);
    return seen_;
  }

private:
  std::mutex lock_;
  std::vector<std::string> seen_;
};

std::string Answer(const std::string& status, const std::string& body) {
  return Format("HTTP/1.1 %s\r\nContent-Length: %zu\r\nContent-Type: text/plain\r\n\r\n", status.c_str(), body.size()) +
         body;
}

// Counts the paint events a widget gets.
class PaintCounter : public QObject {
public:
  int paints = 0;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return QObject::eventFilter(watched, event);
  }
};

class SubmitForm : public ::testing::Test {
protected:
  void SetUp() override {
    form.zqHttp1->SetTimeOut(5000);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  }

  void Target(const ScriptedServer& server) {
    form.edtHost->setText(QString::fromStdString(Format("http://127.0.0.1:%d%s", server.Port(), kPath)));
  }
  std::string Memo() { return form.Memo1->toPlainText().toStdString(); }

  TzqQtMessagePump pump;
  test::PumpScope scope{pump};
  test::TestMainForm form;
  Requests requests;
  ModalBoxes boxes;
};

TEST_F(SubmitForm, PostsTheFieldsAndShowsTheAnswer) {
  int served = 0;
  ScriptedServer server(
      [&](int fd) {
        requests.Read(fd);
        WriteAll(fd, Answer("200 OK", ++served == 1 ? "line one\r\nline two\r\n" : ""));
        ReadUntilClosed(fd);
      },
      false, 2);
  Target(server);
  form.btnSubmit->click();
  ASSERT_EQ(requests.Seen().size(), 1u) << server.Errors();
  EXPECT_EQ(requests.Seen()[0], Format("POST %s HTTP/1.1\r\n"
                                       "Accept: */*\r\n"
                                       "Content-Length: 51\r\n"
                                       "Content-Type: application/x-www-form-urlencoded\r\n"
                                       "Accept-Encoding: gzip, deflate\r\n"
                                       "Host: 127.0.0.1:%d\r\n"
                                       "User-Agent: Mozilla/4.0 (compatible; Quorvex)\r\n"
                                       "Connection: Keep-Alive\r\n"
                                       "\r\n"
                                       "Name=John+Doe&Birthdate=10%%2F10%%2F77&Account=123456",
                                       kPath, server.Port()));
  EXPECT_EQ(Memo(), "line one\nline two");
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].icon, QMessageBox::Information);
  EXPECT_EQ(boxes.shown[0].text, "Process completed successfully.");
  EXPECT_FALSE(form.zqHttp1->Active());

  // An empty field goes as its name and "="; an empty answer clears the memo and still succeeds.
  form.edtName->clear();
  form.edtAccount->setText("A&B 7");
  form.btnSubmit->click();
  ASSERT_EQ(requests.Seen().size(), 2u) << server.Errors();
  const std::string second = requests.Seen()[1];
  EXPECT_NE(second.find("\r\nContent-Length: 44\r\n"), std::string::npos) << second;
  EXPECT_EQ(second.substr(second.find("\r\n\r\n") + 4), "Name=&Birthdate=10%2F10%2F77&Account=A%26B+7");
  EXPECT_EQ(Memo(), "");
  EXPECT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(server.Accepted(), 2);  // never kept open between clicks
  EXPECT_EQ(form.zqHttpRequest->FindFormField("Account")->FieldValue(), "A&B 7");
}

TEST_F(SubmitForm, AnErrorStatusIsShownAndTheMemoKept) {
  ScriptedServer server([&](int fd) {
    requests.Read(fd);
    WriteAll(fd, Answer("500 Internal Server Error", "it broke"));
    ReadUntilClosed(fd);
  });
  Target(server);
  form.Memo1->setPlainText("previous answer");
  form.btnSubmit->click();
  ASSERT_EQ(boxes.shown.size(), 1u) << server.Errors();
  EXPECT_EQ(boxes.shown[0].icon, QMessageBox::Critical);
  EXPECT_EQ(boxes.shown[0].text, "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(Memo(), "previous answer");
  EXPECT_FALSE(form.zqHttp1->Active());
  // The connection was closed although the server wanted to keep it.
  QTest::qWait(50);
  EXPECT_EQ(server.Errors(), "");
}

TEST_F(SubmitForm, ARefusedConnectionIsShown) {
  form.edtHost->setText(QString::fromStdString(Format("http://127.0.0.1:%d/", test::FreePort())));
  form.Memo1->setPlainText("previous answer");
  form.btnSubmit->click();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].icon, QMessageBox::Critical);
  EXPECT_FALSE(boxes.shown[0].text.empty());
  EXPECT_EQ(Memo(), "previous answer");
}

TEST_F(SubmitForm, StaysResponsiveAndRefusesSubmitAndCloseWhileAnswering) {
  ScriptedServer server(
      [&](int fd) {
        requests.Read(fd);
        WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n");
        test::Pause(400);
        WriteAll(fd, "\r\nslow");
        ReadUntilClosed(fd);
      },
      false, 2);
  Target(server);
  PaintCounter counter;
  form.pnlMain->installEventFilter(&counter);
  bool activeThen = false;
  bool closeRefused = false;
  int paintsThen = 0;
  QTimer::singleShot(150, [&] {
    activeThen = form.zqHttp1->Active();
    counter.paints = 0;
    form.pnlMain->update();
    form.btnSubmit->click();
    closeRefused = !form.close();
    form.btnView->click();
  });
  QTimer::singleShot(300, [&] { paintsThen = form.zqHttp1->Active() ? counter.paints : -1; });
  form.btnSubmit->click();
  EXPECT_TRUE(activeThen);
  EXPECT_TRUE(closeRefused);
  EXPECT_GT(paintsThen, 0);
  EXPECT_EQ(form.opened.size(), 1u);  // View works while busy
  EXPECT_EQ(Memo(), "slow");
  EXPECT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(requests.Seen().size(), 1u) << server.Errors();
  EXPECT_EQ(server.Accepted(), 1);
  EXPECT_TRUE(form.isVisible());
  EXPECT_TRUE(form.close());
}

// Restores the connect reports of the socket layer.
struct ConnectDelay {
  explicit ConnectDelay(uint32_t ms) { SetConnectEventDelay(ms); }
  ~ConnectDelay() { SetConnectEventDelay(0); }
};

TEST_F(SubmitForm, BusyFromTheClickNotOnlyOnceConnected) {
  ScriptedServer server(
      [&](int fd) {
        requests.Read(fd);
        WriteAll(fd, Answer("200 OK", "done"));
        ReadUntilClosed(fd);
      },
      false, 2);
  Target(server);
  const ConnectDelay delay(300);
  bool activeThen = true;
  bool closeRefused = false;
  QTimer::singleShot(60, [&] {
    activeThen = form.zqHttp1->Active();
    form.btnSubmit->click();
    closeRefused = !form.close();
  });
  form.btnSubmit->click();
  EXPECT_FALSE(activeThen);  // still connecting
  EXPECT_TRUE(closeRefused);
  EXPECT_EQ(server.Accepted(), 1);
  EXPECT_EQ(requests.Seen().size(), 1u) << server.Errors();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].icon, QMessageBox::Information);
  EXPECT_EQ(Memo(), "done");
}

TEST_F(SubmitForm, WithoutGuiProcessingTheWindowWaitsForTheAnswer) {
  ScriptedServer server([&](int fd) {
    requests.Read(fd);
    test::Pause(200);
    WriteAll(fd, Answer("200 OK", "late"));
    ReadUntilClosed(fd);
  });
  Target(server);
  form.zqHttp1->SetDisableGuiProcessing(true);
  bool ran = false;
  bool ranWhileActive = false;
  QTimer::singleShot(20, [&] {
    ran = true;
    ranWhileActive = form.zqHttp1->Active();
  });
  form.btnSubmit->click();
  EXPECT_FALSE(ranWhileActive);
  EXPECT_EQ(Memo(), "late");
  ASSERT_TRUE(test::ProcessUntil([&] { return ran; }));
}

}  // namespace
}  // namespace zq
