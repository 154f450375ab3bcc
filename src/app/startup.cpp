#include "app/startup.h"

#include "app/Admin_FORM.h"
#include "app/center_form.h"
#include "app/error_handler.h"
#include "app/inifile.h"
#include "app/single_instance.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace pell {

QString launchCommandLine(int argc, const char* const* argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments.join(u' ');
}

namespace {
// A folder that is ours alone: made here, or found as a real folder owned by us (its rights put right).
bool privateFolder(const QByteArray& path) {
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return false;
    return (st.st_mode & 07777) == 0700 || ::chmod(path.constData(), 0700) == 0;
}
} // namespace

void setPrivateRuntimeFolder() {
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const QByteArray base = QFile::encodeName(QDir::tempPath());
    QByteArray path = base + "/pell-runtime-" + QByteArray::number(::getuid());
    if (!privateFolder(path)) {
        // Someone else's, or not a folder: a fresh one instead.
        path = base + "/pell-runtime-XXXXXX";
        if (!::mkdtemp(path.data()))
            return; // the toolkit's own default then, with its warning
    }
    qputenv("XDG_RUNTIME_DIR", path);
}

std::unique_ptr<Admin_FORM> startAdmin(AppContext& ctx, const QString& commandLine,
                                       SingleInstance& instance) {
    if (!instance.acquire()) {
        ctx.platform.messageBox(QStringLiteral("This application is already running"), Buttons::OkOnly,
                                Icon::None, AppTitle);
        return nullptr;
    }
    if (commandLine != LaunchToken) {
        ctx.platform.messageBox(QStringLiteral("This program can only be executed by Pellwood"),
                                Buttons::OkOnly, Icon::None, AppTitle);
        return nullptr;
    }
    ctx.state.helpFile = ctx.state.inProgramFolder(QStringLiteral("pell.hlp"));
    auto window = std::make_unique<Admin_FORM>(ctx);
    CENTER_FORM(*window, ctx.platform);
    // During start-up an unhandled error ends the program after its box.
    if (!runCommand(ctx.platform, [&] { READ_INI(ctx.state); }))
        return nullptr;
    return window;
}

} // namespace pell
