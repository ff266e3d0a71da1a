#include "app/Main.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>

#include "core/zqError.h"
#include "core/zqStringList.h"

namespace zq {

namespace {

const char* const sCaption = "Simulate Web Form POST request - Sample";
const char* const sViewPageUrl = "https://www.quorvex.example/products/quorvex/demos/formpost.asp";
const char* const sHostUrl = "https://www.quorvex.example/products/quorvex/demos/serverformpost.asp";
const char* const sUserAgent = "Mozilla/4.0 (compatible; Quorvex)";
const char* const sContentType = "application/x-www-form-urlencoded";
const char* const sAccept = "*/*";
const char* const sSuccess = "Process completed successfully.";
const char* const sFieldMissing = "The request has no form field \"%s\"";

const char* const kFieldNames[] = {"Name", "Birthdate", "Account"};

QLabel* NewLabel(QWidget* parent, const char* caption, int left, int top) {
  auto* label = new QLabel(QString::fromLatin1(caption), parent);
  label->move(left, top);
  label->adjustSize();
  return label;
}

QLineEdit* NewEdit(QWidget* parent, const QString& text, const QRect& bounds) {
  auto* edit = new QLineEdit(text, parent);
  edit->setGeometry(bounds);
  return edit;
}

QPushButton* NewButton(QWidget* parent, const char* caption, const QRect& bounds) {
  auto* button = new QPushButton(QString::fromLatin1(caption), parent);
  button->setGeometry(bounds);
  return button;
}

// Frees the response stream and closes the connection however the exchange ended.
class TzqExchangeScope {
public:
  TzqExchangeScope(TzqHttp& client, bool& busy) : client_(client), busy_(busy) { busy_ = true; }
  ~TzqExchangeScope() {
    body.reset();
    try {
      client_.Close();
    } catch (const std::exception&) {
      // Closing a broken connection has nothing left to report beyond the error at hand.
    }
    busy_ = false;
  }
  TzqExchangeScope(const TzqExchangeScope&) = delete;
  TzqExchangeScope& operator=(const TzqExchangeScope&) = delete;

  std::unique_ptr<TzqMemoryStream> body = std::make_unique<TzqMemoryStream>();

private:
  TzqHttp& client_;
  bool& busy_;
};

}  // namespace

TMainForm::TMainForm(QWidget* parent) : TzqDemoBaseForm(parent) {
  setWindowTitle(QString::fromLatin1(sCaption));
  CreateComponents();
  CreateControls();
}

TMainForm::~TMainForm() = default;

void TMainForm::CreateControls() {
  Label2 = NewLabel(pnlMain, "Try the original web page at", 16, 4);
  edtViewPage = NewEdit(pnlMain, AnsiToQString(sViewPageUrl), {16, 21, 505, 21});
  edtViewPage->setReadOnly(true);
  QPalette face = edtViewPage->palette();
  face.setColor(QPalette::Base, face.color(QPalette::Button));
  edtViewPage->setPalette(face);
  btnView = NewButton(pnlMain, "&View...", {535, 19, 75, 25});
  Label4 = NewLabel(pnlMain, "Name", 16, 48);
  edtName = NewEdit(pnlMain, "John Doe", {91, 46, 430, 21});
  Label3 = NewLabel(pnlMain, "Birthdate", 16, 74);
  edtBirthdate = NewEdit(pnlMain, "10/10/77", {91, 72, 430, 21});
  Label6 = NewLabel(pnlMain, "Account", 16, 101);
  edtAccount = NewEdit(pnlMain, "123456", {91, 99, 430, 21});
  Label5 = NewLabel(pnlMain, "Host", 16, 126);
  edtHost = NewEdit(pnlMain, AnsiToQString(sHostUrl), {16, 143, 505, 21});
  btnSubmit = NewButton(pnlMain, "&Submit", {16, 170, 75, 25});
  Label1 = NewLabel(pnlMain, "Response", 16, 208);
  Memo1 = new QPlainTextEdit(pnlMain);
  Memo1->setGeometry(16, 224, 505, 126);
  Memo1->setReadOnly(true);
  Memo1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  Memo1->setTabChangesFocus(true);

  QWidget* order[] = {edtViewPage, btnView, edtName, edtBirthdate, edtAccount, edtHost, btnSubmit, Memo1};
  for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  connect(btnSubmit, &QPushButton::clicked, this, [this] { Handle([this] { btnSubmitClick(); }); });
  connect(btnView, &QPushButton::clicked, this, [this] { Handle([this] { btnViewClick(); }); });
}

void TMainForm::CreateComponents() {
  zqHttpRequest = std::make_unique<TzqHttpRequest>();
  zqHttpRequest->BeginUpdate();
  for (const char* name : kFieldNames) zqHttpRequest->AddFormField(name, "")->SetCanonicalized(true);
  zqHttpRequest->Header().SetContentType(sContentType);
  zqHttpRequest->Header().SetAccept(sAccept);
  zqHttpRequest->EndUpdate();
  zqHttp1 = std::make_unique<TzqHttp>();
  zqHttp1->SetUserAgent(sUserAgent);
}

void TMainForm::SetFieldValue(const char* fieldName, const QLineEdit& edit) {
  TzqFormFieldRequestItem* field = zqHttpRequest->FindFormField(fieldName);
  if (field == nullptr) throw EzqError(Format(sFieldMissing, fieldName));
  field->SetFieldValue(QStringToAnsi(edit.text()));
}

void TMainForm::ShowResponse(TzqStream& body) {
  body.SetPosition(0);
  TzqStringList lines;
  lines.LoadFromStream(body);
  QStringList shown;
  for (int i = 0; i < lines.Count(); ++i) shown << AnsiToQString(lines[i]);
  Memo1->setPlainText(shown.join(QChar('\n')));
}

void TMainForm::btnSubmitClick() {
  if (submitting_ || zqHttp1->Active()) return;
  SetFieldValue("Name", *edtName);
  SetFieldValue("Birthdate", *edtBirthdate);
  SetFieldValue("Account", *edtAccount);
  {
    TzqExchangeScope exchange(*zqHttp1, submitting_);
    zqHttp1->Post(QStringToAnsi(edtHost->text()), zqHttpRequest.get(), exchange.body.get());
    ShowResponse(*exchange.body);
  }
  QMessageBox::information(this, QGuiApplication::applicationDisplayName(), QString::fromLatin1(sSuccess));
}

void TMainForm::btnViewClick() { ShellOpen(QStringToAnsi(edtViewPage->text())); }

void TMainForm::FormCloseQuery(bool& CanClose) { CanClose = !submitting_ && !zqHttp1->Active(); }

void TMainForm::closeEvent(QCloseEvent* event) {
  bool canClose = true;
  FormCloseQuery(canClose);
  if (canClose)
    event->accept();
  else
    event->ignore();
}

}  // namespace zq
