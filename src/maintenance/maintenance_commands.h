#pragma once

#include "core/app_state.h"

#include "core/error.h"

#include <QString>

#include <optional>

namespace pell {

// What pelldb learns of a command beyond its messages: the error behind a failure message, which it prints
// with its number.
struct CommandOutcome {
    std::optional<Error> failure;
};

// The main window's maintenance commands on the shared database. They need no window of their own: the
// save dialog, the message boxes and the pointer come from the platform.
void BACKUP_CLICK(AppContext& ctx, CommandOutcome* outcome = nullptr);
void COMPACT_CLICK(AppContext& ctx, CommandOutcome* outcome = nullptr);
// A failing repair is not trapped here: the error reaches the program-wide handling.
void REPAIR_CLICK(AppContext& ctx);

// Texts of the commands' messages.
namespace maintenance {
inline const QString SameDestination = QStringLiteral("Destination must be different than active database");
inline const QString InUse = QStringLiteral("Database is currently in use and can not be opened exclusively");
inline const QString BackedUp = QStringLiteral("Database has been backed up");
inline const QString Compacted = QStringLiteral("Database has been compacted");
inline const QString Repaired = QStringLiteral("Database has been repaired");
inline const QString Confirm = QStringLiteral("Are you sure?");
inline const QString CompactTitle = QStringLiteral("Compact Database");
inline const QString RepairTitle = QStringLiteral("Repair Database");
inline const QString TempFileName = QStringLiteral("_temp.mdb");

// A chosen name without extension gets the default one, as the dialog itself would add it.
QString withDefaultExtension(const QString& path, const QString& extension);
} // namespace maintenance

} // namespace pell
