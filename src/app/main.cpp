#include "app/Admin_FORM.h"
#include "app/single_instance.h"
#include "app/startup.h"
#include "platform/qt_platform.h"
#include "widgets/program_font.h"

#include <QApplication>
#include <QStringList>

int main(int argc, char* argv[]) {
    // Before the toolkit sees the arguments, and takes out the options it knows.
    const QString commandLine = pell::launchCommandLine(argc, argv);
    pell::setPrivateRuntimeFolder();
    QApplication app(argc, argv);
    QApplication::setApplicationName(pell::AppTitle);
    QApplication::setFont(pell::programFont());

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
