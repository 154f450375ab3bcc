#pragma once

#include "core/app_state.h"

#include <QString>
#include <QStringList>

namespace pell {

// The help viewer shipped with the program, in the program folder.
QString helpViewerPath(const AppState& state);
// The viewer's arguments: the help file, and the topic's context number when one is asked for.
QStringList helpViewerArguments(const AppState& state, int context);

// CONTENTS_Click: starts the viewer on the help file's contents, maximized, without waiting.
void showHelpContents(AppContext& ctx);
// F1: starts the viewer at the topic with that context number.
void showHelpTopic(AppContext& ctx, int context);

} // namespace pell
