#include "app/help_launcher.h"

#include "core/platform.h"

namespace pell {

QString helpViewerPath(const AppState& state) {
    return state.inProgramFolder(QStringLiteral("pellhelp"));
}

QStringList helpViewerArguments(const AppState& state, int context) {
    QStringList args;
    if (context > 0)
        args << QStringLiteral("-context") << QString::number(context);
    args << state.helpFile;
    return args;
}

void showHelpContents(AppContext& ctx) {
    ctx.platform.startProgram(helpViewerPath(ctx.state),
                              QStringList{QStringLiteral("-maximized")} + helpViewerArguments(ctx.state, 0),
                              true);
}

void showHelpTopic(AppContext& ctx, int context) {
    ctx.platform.startProgram(helpViewerPath(ctx.state), helpViewerArguments(ctx.state, context), false);
}

} // namespace pell
