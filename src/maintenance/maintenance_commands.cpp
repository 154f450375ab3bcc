#include "maintenance/maintenance_commands.h"

#include "core/error.h"
#include "core/platform.h"
#include "db/files/operations.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <unistd.h>

namespace pell {

namespace maintenance {

QString withDefaultExtension(const QString& path, const QString& extension) {
    if (path.isEmpty() || QFileInfo(path).fileName().contains(u'.'))
        return path;
    return path + u'.' + extension;
}

namespace {

const QString BackingUpText = QStringLiteral("Backing up to ");
const QString CompactingText = QStringLiteral("Compacting ");
const QString RepairingText = QStringLiteral("Repairing ");

SaveDialogSettings backupDialog(const AppState& state) {
    SaveDialogSettings settings;
    settings.title.clear(); // the system's own title for a save dialog
    settings.flags = 6;     // ask before overwriting, hide the read-only box
    settings.filter = QStringLiteral("mdb (*.mdb) | *.mdb");
    settings.defaultExt = QStringLiteral("mdb");
    settings.fileName = QStringLiteral("pellbkup.mdb");
    settings.initialDir = state.programFolder;
    return settings;
}

bool isActiveDatabase(const QString& destination, const QString& database) {
    // The texts are compared ignoring case; the same file reached by another path is refused too, since
    // copying a file onto itself would destroy it.
    return destination.toUpper() == database.toUpper() || db::files::isSameFile(destination, database);
}

} // namespace
} // namespace maintenance

using namespace maintenance;

CommandResult BACKUP_CLICK(AppContext& ctx, const Progress& progress) {
    std::optional<QString> chosen;
    try {
        chosen = ctx.platform.saveFileDialog(backupDialog(ctx.state));
    } catch (const Error&) {
        return CommandResult::cancelled(); // a dialog that fails counts as Cancel
    }
    if (!chosen || chosen->isEmpty())
        return CommandResult::cancelled();
    const QString destination = withDefaultExtension(*chosen, QStringLiteral("mdb"));
    if (isActiveDatabase(destination, ctx.state.DATABASE_PATH)) {
        ctx.platform.messageBox(SameDestination);
        return CommandResult::failed(Error(err::InvalidOperation, SameDestination));
    }
    QString note;
    try {
        report(progress, ProgressReport::Stage::Started, BackingUpText + destination);
        const auto finished = qScopeGuard([&] { report(progress, ProgressReport::Stage::Finished); });
        note = db::files::copyDatabaseFile(ctx.state.DATABASE_PATH, destination);
    } catch (const Error& error) {
        const bool inUse = error.number() == err::PermissionDenied;
        // Refused by a folder this administrator may not write: the database is not "in use", and the
        // engine's text names a temporary file nobody chose.
        const QString folder = QFileInfo(destination).absolutePath();
        if (inUse && ::access(QFile::encodeName(folder).constData(), W_OK) != 0) {
            const QString text =
                QStringLiteral("You may not write in the folder %1: choose another folder for "
                               "the backup")
                    .arg(folder);
            ctx.platform.messageBox(text);
            return CommandResult::failed(Error(error.number(), text));
        }
        ctx.platform.messageBox(inUse ? InUse : error.text());
        return CommandResult::failed(
            inUse ? Error(error.number(), InUse + QStringLiteral(" (") + error.text() + u')') : error);
    }
    ctx.platform.messageBox(BackedUp);
    // A copy that replaced another user's file could keep its group and permissions but not its owner.
    if (!note.isEmpty())
        ctx.platform.messageBox(note);
    return CommandResult::done();
}

CommandResult COMPACT_CLICK(AppContext& ctx, const Progress& progress) {
    const QString temp = ctx.state.inStateFolder(TempFileName);
    QFile::remove(temp); // a file that is not there, or stays, is no reason to stop here
    try {
        if (!areYouSure(ctx.platform, Buttons::YesNo, CompactTitle))
            return CommandResult::cancelled();
        {
            PointerScope hourglass(ctx.platform);
            report(progress, ProgressReport::Stage::Started, CompactingText + ctx.state.DATABASE_PATH);
            const auto finished = qScopeGuard([&] { report(progress, ProgressReport::Stage::Finished); });
            db::files::compactInPlace(ctx.state.DATABASE_PATH, temp);
        }
        ctx.platform.messageBox(Compacted);
        return CommandResult::done();
    } catch (const Error& error) {
        ctx.platform.setPointer(Pointer::Default);
        ctx.platform.messageBox(QStringLiteral("ERROR:") + error.text());
        return CommandResult::failed(error);
    } catch (const std::exception& exception) {
        const Error error = internalError(exception);
        ctx.platform.setPointer(Pointer::Default);
        ctx.platform.messageBox(QStringLiteral("ERROR:") + error.text());
        return CommandResult::failed(error);
    }
}

CommandResult REPAIR_CLICK(AppContext& ctx, const Progress& progress) {
    if (!areYouSure(ctx.platform, Buttons::YesNo, RepairTitle))
        return CommandResult::cancelled();
    {
        PointerScope hourglass(ctx.platform);
        report(progress, ProgressReport::Stage::Started, RepairingText + ctx.state.DATABASE_PATH);
        const auto finished = qScopeGuard([&] { report(progress, ProgressReport::Stage::Finished); });
        db::files::repairDatabase(ctx.state.DATABASE_PATH);
    }
    ctx.platform.messageBox(Repaired);
    return CommandResult::done();
}

} // namespace pell
