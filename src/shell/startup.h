#pragma once

#include "core/app_state.h"

#include <QString>

#include <memory>

namespace pell {

class Admin_FORM;
class SingleInstance;

// The launch token the main Pellwood program passes as the whole command line.
inline const QString LaunchToken = QStringLiteral("QXVR48153");

// The command line as the launching program wrote it: the arguments after the program's name, joined by
// blanks. Read from main's own arguments before the toolkit takes out the options it knows (-style ...), so
// that those count as further text.
QString launchCommandLine(int argc, const char* const* argv);

// Form_Load of the main window: refuses a second instance and a command line other than the token
// (each with its box), names the help file, places the window and reads pell.ini. Returns the window
// to show, or nothing when the program must end.
std::unique_ptr<Admin_FORM> startAdmin(AppContext& ctx, const QString& commandLine, SingleInstance& instance);

} // namespace pell
