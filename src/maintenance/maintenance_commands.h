#pragma once

#include "core/app_state.h"
#include "core/command.h"
#include "core/progress.h"

#include <QString>

namespace pell {

// The main window's maintenance commands on the shared database. They need no window of their own: the save
// dialog, the message boxes and the pointer come from the platform, so pelldb runs the same commands. Each
// tells the administrator what happened itself; the result is for pelldb. The progress hears when the work
// on the file starts and ends.
CommandResult BACKUP_CLICK(AppContext& ctx, const Progress& progress = {});
CommandResult COMPACT_CLICK(AppContext& ctx, const Progress& progress = {});
// A failing repair is not trapped here: the error reaches the program-wide handling.
CommandResult REPAIR_CLICK(AppContext& ctx, const Progress& progress = {});

// Texts of the commands' messages.
namespace maintenance {
inline const QString SameDestination = QStringLiteral("Destination must be different than active database");
inline const QString InUse = QStringLiteral("Database is currently in use and can not be opened exclusively");
inline const QString BackedUp = QStringLiteral("Database has been backed up");
inline const QString Compacted = QStringLiteral("Database has been compacted");
inline const QString Repaired = QStringLiteral("Database has been repaired");
inline const QString CompactTitle = QStringLiteral("Compact Database");
inline const QString RepairTitle = QStringLiteral("Repair Database");
inline const QString TempFileName = QStringLiteral("_temp.mdb");

// A chosen name without extension gets the default one, as the dialog itself would add it.
QString withDefaultExtension(const QString& path, const QString& extension);
} // namespace maintenance

} // namespace pell
