// The form-post program: the main window on Qt's event loop, with the library's blocking calls
// waiting inside that loop.

#include <QApplication>

#include "app/Main.h"
#include "app/zqQtMessagePump.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  zq::TzqQtMessagePump pump;
  zq::InstallMessagePump(&pump);
  int result = 0;
  {
    zq::TMainForm form;
    form.show();
    result = QApplication::exec();
  }
  zq::InstallMessagePump(nullptr);
  return result;
}
