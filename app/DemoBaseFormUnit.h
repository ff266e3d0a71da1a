#pragma once
// The demo base window: the logo banner with its link to the support page, and the main
// panel that derived windows fill.

#include <QLabel>
#include <QWidget>

#include <exception>
#include <functional>
#include <string>
#include <string_view>

class QFrame;

namespace zq {

// The library's texts are in the local code page; Qt's are Unicode.
QString AnsiToQString(std::string_view text);
std::string QStringToAnsi(const QString& text);

// An image that answers a click, as a banner picture does.
class TzqImage : public QLabel {
public:
  explicit TzqImage(QWidget* parent) : QLabel(parent) {}
  std::function<void()> OnClick;

protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

class TzqDemoBaseForm : public QWidget {
public:
  explicit TzqDemoBaseForm(QWidget* parent = nullptr);

  // The page the banner opens: the stored one unless another was set.
  virtual std::string SupportPageUrl();
  void SetSupportPageUrl(const std::string& url) { supportPageUrl_ = url; }

  QFrame* pnlLogo;
  TzqImage* imLogoLeft;
  TzqImage* imLogoMiggle;
  TzqImage* imLogoRight;
  QWidget* pnlMain;

  void imLogoLeftClick();

protected:
  // Opens a document (a URL) the way the desktop opens it; a failure is ignored.
  virtual void ShellOpen(const std::string& url);
  // The application's display of an error that left an event handler: its message in a modal box.
  virtual void ShowException(const std::exception& error);
  // Runs an event handler; an error it raises goes to ShowException (never into Qt's loop).
  void Handle(const std::function<void()>& handler);

private:
  void CenterOnScreen();

private:
  std::string supportPageUrl_;
};

}  // namespace zq
