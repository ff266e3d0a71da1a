// The form-post program: the main window on Qt's event loop, with the library's blocking calls
// waiting inside that loop. Options: --view-url URL, --host-url URL, --support-url URL,
// --ca-file FILE.

#include <QApplication>

#include <cstdio>

#include "app/Main.h"
#include "app/zqFormPostOptions.h"
#include "app/zqQtMessagePump.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  zq::TzqFormPostOptions options;
  try {
    options = zq::ParseFormPostOptions(QApplication::arguments());
  } catch (const std::exception& error) {
    std::fprintf(
        stderr,
        "zq_formpost: %s\nusage: zq_formpost [--view-url URL] [--host-url URL] [--support-url URL] [--ca-file FILE]\n",
        error.what());
    return 2;
  }
  zq::TzqQtMessagePump pump;
  zq::InstallMessagePump(&pump);
  int result = 0;
  {
    zq::TMainForm form;
    zq::ApplyFormPostOptions(options, form);
    form.show();
    result = QApplication::exec();
  }
  zq::InstallMessagePump(nullptr);
  return result;
}
