#include "shell/startup.h"

#include "app/center_form.h"
#include "app/inifile.h"
#include "app/program_folder.h"
#include "core/command.h"
#include "core/platform.h"
#include "shell/Admin_FORM.h"
#include "shell/single_instance.h"

namespace pell {

QString launchCommandLine(int argc, const char* const* argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments.join(u' ');
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
    if (ctx.state.stateFolder.isEmpty())
        ctx.state.stateFolder = stateFolderOf(ctx.state.programFolder);
    auto window = std::make_unique<Admin_FORM>(ctx);
    CENTER_FORM(*window, ctx.platform);
    // During start-up an unhandled error ends the program after its box.
    if (!runCommand(ctx.platform, [&] { READ_INI(ctx.state); }))
        return nullptr;
    return window;
}

} // namespace pell
