#pragma once
// The form-post program's command line: --view-url and --host-url put other addresses into
// the window's View and Host boxes and --support-url behind the banner (a local demo handler,
// say); the stored defaults stay. --ca-file makes the window's client trust that CA file
// instead of the system's store.

#include <QString>
#include <QStringList>

#include <optional>

namespace zq {

class TMainForm;

struct TzqFormPostOptions {
  std::optional<QString> ViewUrl;
  std::optional<QString> HostUrl;
  std::optional<QString> SupportUrl;
  std::optional<QString> CaFile;
};

// Reads the options from arguments (the program name first, Qt's own options already taken
// out); raises EzqError with the reason for an unknown option or a missing value.
TzqFormPostOptions ParseFormPostOptions(const QStringList& arguments);
void ApplyFormPostOptions(const TzqFormPostOptions& options, TMainForm& form);

}  // namespace zq
