#pragma once
// The form-post window: three form fields sent as a url-encoded POST to the address in
// edtHost, the answer's body shown in Memo1.

#include <memory>
#include <string>

#include "app/DemoBaseFormUnit.h"
#include "http/zqHttp.h"
#include "http/zqHttpRequest.h"

class QCloseEvent;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace zq {

class TMainForm : public TzqDemoBaseForm {
public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  QLabel* Label2;
  QLineEdit* edtViewPage;
  QPushButton* btnView;
  QLabel* Label4;
  QLineEdit* edtName;
  QLabel* Label3;
  QLineEdit* edtBirthdate;
  QLabel* Label6;
  QLineEdit* edtAccount;
  QLabel* Label5;
  QLineEdit* edtHost;
  QPushButton* btnSubmit;
  QLabel* Label1;
  QPlainTextEdit* Memo1;

  std::unique_ptr<TzqHttpRequest> zqHttpRequest;
  std::unique_ptr<TzqHttp> zqHttp1;

  void btnSubmitClick();
  void btnViewClick();
  void FormCloseQuery(bool& CanClose);

protected:
  void closeEvent(QCloseEvent* event) override;

private:
  void CreateControls();
  void CreateComponents();
  void SetFieldValue(const char* fieldName, const QLineEdit& edit);
  void ShowResponse(TzqStream& body);

  // From the click until the exchange has ended: the client is not Active yet while it looks
  // up the host and connects, and a second exchange must not start on it then either.
  bool submitting_ = false;
};

}  // namespace zq
