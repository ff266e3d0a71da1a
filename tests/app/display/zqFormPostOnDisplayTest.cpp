// The form-post window end to end on a real X server (Xvfb, started and stopped by PID here)
// against the demo form handler, put together as tools/run.sh does: the demo CA, the handler
// on a free loopback port, the window's View and Host pointed at it by its options, trust in
// the demo CA for the window alone, verification on. Saves a screenshot of the answer under
// the build folder.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "app/zqFormPostOptions.h"
#include "tests/app/zqAppTestSupport.h"
#include "tests/tools/integration/zqFormHandlerProcess.h"

// Qt's X platform asks libdbus for a session bus, and libdbus keeps a buffer of that for the
// life of the process: not this project's leak.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }

namespace zq {
namespace {

using test::FormHandlerProcess;

// Xvfb on a display number it picks itself, for the life of the test program.
class XvfbEnvironment : public test::QtEnvironment {
public:
  XvfbEnvironment() : QtEnvironment("xcb") {}

  void SetUp() override {
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"Xvfb", "-displayfd", "3", "-screen", "0", "800x600x24", "-nolisten", "tcp", nullptr};
    const int failed = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    std::string display;
    pollfd watched{ready[0], POLLIN, 0};
    char buffer[16];
    while (failed == 0 && display.find('\n') == std::string::npos && ::poll(&watched, 1, 10000) > 0) {
      const ssize_t n = ::read(ready[0], buffer, sizeof buffer);
      if (n <= 0) break;
      display.append(buffer, static_cast<size_t>(n));
    }
    ::close(ready[0]);
    ASSERT_EQ(failed, 0) << "cannot start Xvfb (package xvfb)";
    ASSERT_NE(display.find('\n'), std::string::npos) << "Xvfb did not start within 10 s";
    setenv("DISPLAY", (":" + display.substr(0, display.find('\n'))).c_str(), 1);
    QtEnvironment::SetUp();
  }

  void TearDown() override {
    QtEnvironment::TearDown();
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 300 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) ::usleep(10000);
    if (::waitpid(pid_, nullptr, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

private:
  pid_t pid_ = -1;
};

::testing::Environment* const kXvfb = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

// The window's client trusts the demo CA, as the run command's --ca-file makes it.
void TrustDemoCa(TMainForm& form) { form.zqHttp1->SetCAFile(FormHandlerProcess::CaFile()); }

TEST(FormPostOnDisplay, SubmitShowsTheHandlersAnswerThenTheErrorOnceItHasStopped) {
  ASSERT_EQ(QGuiApplication::platformName(), "xcb");
  FormHandlerProcess handler;
  TzqQtMessagePump pump;
  test::PumpScope scope{pump};
  test::TestMainForm form;
  TrustDemoCa(form);
  const std::string demo = handler.Url("/products/quorvex/demos/");
  ApplyFormPostOptions(
      ParseFormPostOptions({"zq_formpost", QString::fromStdString("--view-url=" + demo + "formpost.asp"),
                            QString::fromStdString("--host-url=" + demo + "serverformpost.asp")}),
      form);
  form.zqHttp1->SetTimeOut(10000);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form, 10000));
  test::ModalBoxes boxes;

  QTest::mouseClick(form.btnSubmit, Qt::LeftButton);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].icon, QMessageBox::Information) << boxes.shown[0].text;
  EXPECT_EQ(boxes.shown[0].text, "Process completed successfully.");
  const QStringList lines = form.Memo1->toPlainText().split('\n');
  ASSERT_EQ(lines.size(), 6) << form.Memo1->toPlainText().toStdString();
  EXPECT_EQ(lines[0], "Hello, John Doe!");
  EXPECT_EQ(lines[1], "Your form has arrived with these fields:");
  EXPECT_EQ(lines[2], "Name: John Doe");
  EXPECT_EQ(lines[3], "Birthdate: 10/10/77");
  EXPECT_EQ(lines[4], "Account: 123456");
  EXPECT_TRUE(lines[5].startsWith("Received at ")) << lines[5].toStdString();

  // The window as the X server shows it, for a person to look at.
  QTest::qWait(200);  // the repaint after the message box has gone
  const QPixmap shot = form.screen()->grabWindow(form.winId());
  ASSERT_FALSE(shot.isNull());
  EXPECT_EQ(shot.size(), form.size());
  ASSERT_TRUE(QDir().mkpath(ZQ_SCREENSHOT_DIR));
  EXPECT_TRUE(shot.save(QString(ZQ_SCREENSHOT_DIR) + "/formpost-answer.png"));

  // With the handler stopped: the error box, and the answer stays.
  const QString answer = form.Memo1->toPlainText();
  const int stopped = handler.Stop();
  ASSERT_TRUE(WIFEXITED(stopped) && WEXITSTATUS(stopped) == 0) << stopped;
  QTest::mouseClick(form.btnSubmit, Qt::LeftButton);
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[1].icon, QMessageBox::Critical);
  EXPECT_FALSE(boxes.shown[1].text.empty());
  EXPECT_EQ(form.Memo1->toPlainText(), answer);
  EXPECT_FALSE(form.zqHttp1->Active());
}

}  // namespace
}  // namespace zq
