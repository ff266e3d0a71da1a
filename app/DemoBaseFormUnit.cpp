#include "app/DemoBaseFormUnit.h"

#include <QDesktopServices>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>

#include "core/zqCodePage.h"

namespace zq {

namespace {

const char* const sSupportPageUrl = "https://www.quorvex.example/support/index.asp";
const char* const sFontName = "Tahoma";
constexpr int kFontSize = 8;
constexpr int kFormWidth = 639;
constexpr int kFormHeight = 480;
constexpr int kLogoHeight = 78;
constexpr int kLogoLeftWidth = 406;
constexpr int kLogoRightWidth = 209;

const QColor kBannerDark(0x10, 0x2a, 0x5c);
const QColor kBannerLight(0x3a, 0x6e, 0xc0);

// The banner pictures are drawn, so the window carries no picture files.
QPixmap BannerPicture(int width, const QString& caption, int pointSize) {
  QPixmap picture(width, kLogoHeight);
  QPainter painter(&picture);
  QLinearGradient shade(0, 0, 0, kLogoHeight);
  shade.setColorAt(0, kBannerLight);
  shade.setColorAt(1, kBannerDark);
  painter.fillRect(picture.rect(), shade);
  if (!caption.isEmpty()) {
    QFont font(sFontName, pointSize, QFont::Bold);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(picture.rect().adjusted(16, 0, -16, 0), Qt::AlignVCenter | Qt::AlignLeft, caption);
  }
  return picture;
}

}  // namespace

QString AnsiToQString(std::string_view text) { return QString::fromStdU16String(AnsiToWide(text, LocalCodePage())); }

std::string QStringToAnsi(const QString& text) { return WideToAnsi(text.toStdU16String(), LocalCodePage()); }

void TzqImage::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && OnClick) OnClick();
}

TzqDemoBaseForm::TzqDemoBaseForm(QWidget* parent) : QWidget(parent) {
  setFont(QFont(sFontName, kFontSize));
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);
  resize(kFormWidth, kFormHeight);

  pnlLogo = new QFrame(this);
  pnlLogo->setFrameShape(QFrame::NoFrame);
  pnlLogo->setFixedHeight(kLogoHeight);
  imLogoLeft = new TzqImage(pnlLogo);
  imLogoLeft->setFixedWidth(kLogoLeftWidth);
  imLogoLeft->setPixmap(BannerPicture(kLogoLeftWidth, "Quorvex", 22));
  imLogoMiggle = new TzqImage(pnlLogo);
  imLogoMiggle->setScaledContents(true);
  imLogoMiggle->setMinimumWidth(0);
  imLogoMiggle->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  imLogoMiggle->setPixmap(BannerPicture(8, QString(), kFontSize));
  imLogoRight = new TzqImage(pnlLogo);
  imLogoRight->setFixedWidth(kLogoRightWidth);
  imLogoRight->setPixmap(BannerPicture(kLogoRightWidth, "Internet components", 11));
  auto* banner = new QHBoxLayout(pnlLogo);
  banner->setContentsMargins(0, 0, 0, 0);
  banner->setSpacing(0);
  banner->addWidget(imLogoLeft);
  banner->addWidget(imLogoMiggle, 1);
  banner->addWidget(imLogoRight);
  for (TzqImage* image : {imLogoLeft, imLogoMiggle, imLogoRight}) {
    image->setCursor(Qt::PointingHandCursor);
    image->OnClick = [this] { Handle([this] { imLogoLeftClick(); }); };
  }

  pnlMain = new QWidget(this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(pnlLogo);
  layout->addWidget(pnlMain, 1);
  CenterOnScreen();
}

void TzqDemoBaseForm::CenterOnScreen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  QRect frame(QPoint(0, 0), size());
  frame.moveCenter(screen->availableGeometry().center());
  move(frame.topLeft());
}

std::string TzqDemoBaseForm::SupportPageUrl() { return supportPageUrl_.empty() ? sSupportPageUrl : supportPageUrl_; }

void TzqDemoBaseForm::imLogoLeftClick() { ShellOpen(SupportPageUrl()); }

void TzqDemoBaseForm::ShellOpen(const std::string& url) { QDesktopServices::openUrl(QUrl(AnsiToQString(url))); }

void TzqDemoBaseForm::ShowException(const std::exception& error) {
  QMessageBox::critical(this, QGuiApplication::applicationDisplayName(), AnsiToQString(error.what()));
}

void TzqDemoBaseForm::Handle(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    ShowException(error);
  }
}

}  // namespace zq
