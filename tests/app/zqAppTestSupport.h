#pragma once
// The window's tests: one QApplication drawing offscreen (or on an X server that a test
// starts), modal boxes answered as they open, and the event loop turned until something happened.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Main.h"
#include "app/zqQtMessagePump.h"
#include "platform/zqMessagePump.h"

namespace zq::test {

class QtEnvironment : public ::testing::Environment {
public:
  explicit QtEnvironment(const char* platform) : platform_(platform) {}
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", platform_);
    application_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { application_.reset(); }

private:
  const char* platform_;
  int argc_ = 1;
  char name_[9] = "test_app";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> application_;
};

#ifndef ZQ_APP_TEST_ON_DISPLAY
// No display in CI: the window draws offscreen unless a test brings its own X server.
inline ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment("offscreen"));
#endif

// Makes pump the calling thread's pump for the scope's life.
class PumpScope {
public:
  explicit PumpScope(TzqMessagePump& pump) : previous_(&CurrentMessagePump()) { InstallMessagePump(&pump); }
  ~PumpScope() { InstallMessagePump(previous_); }
  PumpScope(const PumpScope&) = delete;
  PumpScope& operator=(const PumpScope&) = delete;

private:
  TzqMessagePump* previous_;
};

// Turns Qt's event loop until done() holds or timeoutMs pass; false on time-out.
inline bool ProcessUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Answers every modal message box that opens while it lives, and keeps what each said.
class ModalBoxes {
public:
  struct Box {
    QMessageBox::Icon icon;
    std::string text;
  };

  ModalBoxes() {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      shown.push_back({box->icon(), box->text().toStdString()});
      box->done(QMessageBox::Ok);
    });
    timer_.start();
  }

  std::vector<Box> shown;

private:
  QTimer timer_;
};

// The window with the desktop's URL opening recorded instead of done.
class TestMainForm : public TMainForm {
public:
  std::vector<std::string> opened;
  using TzqDemoBaseForm::Handle;

protected:
  void ShellOpen(const std::string& url) override { opened.push_back(url); }
};

}  // namespace zq::test
