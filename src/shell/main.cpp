// pelladmin: the composition root. Here the real toolkit (QtPlatform), the replica-set engine and the main
// window meet; no other code chooses them.
#include "core/app_state.h"
#include "db/replication/install.h"
#include "platform/program_font.h"
#include "platform/qt_platform.h"
#include "platform/runtime_folder.h"
#include "shell/Admin_FORM.h"
#include "shell/single_instance.h"
#include "shell/startup.h"

#include <QApplication>
#include <QStringList>

#include <cstdio>

namespace {
// The toolkit ends the process with an abort and a hint to reinstall when it finds no display; a desktop
// program started on a server or from cron should say what is missing instead.
bool hasDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}
} // namespace

int main(int argc, char* argv[]) {
    if (!hasDisplay()) {
        std::fputs("pelladmin: no display to show the program on (set DISPLAY, or start it with xvfb-run)\n",
                   stderr);
        return 1;
    }
    // Before the toolkit sees the arguments, and takes out the options it knows.
    const QString commandLine = pell::launchCommandLine(argc, argv);
    pell::setPrivateRuntimeFolder();
    QApplication app(argc, argv);
    QApplication::setApplicationName(pell::AppTitle);
    QApplication::setFont(pell::programFont());
    pell::db::replication::install();

    pell::QtPlatform platform;
    pell::AppState state;
    state.programFolder = QCoreApplication::applicationDirPath();
    pell::AppContext ctx{state, platform};
    pell::SingleInstance instance(
        pell::SingleInstance::defaultLockPath(QCoreApplication::applicationFilePath()));

    auto window = pell::startAdmin(ctx, commandLine, instance);
    if (!window)
        return 1;
    window->show();
    return QApplication::exec();
}
