#include "maintenance/maintenance_commands.h"

#include "core/error.h"
#include "core/platform.h"
#include "db/files/operations.h"

#include <QFile>
#include <QFileInfo>

namespace pell {

namespace maintenance {

QString withDefaultExtension(const QString& path, const QString& extension) {
    if (path.isEmpty() || QFileInfo(path).fileName().contains(u'.'))
        return path;
    return path + u'.' + extension;
}

namespace {

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

Answer confirm(Platform& platform, const QString& title) {
    return platform.messageBox(Confirm, Buttons::YesNo, Icon::None, title);
}

} // namespace
} // namespace maintenance

using namespace maintenance;

void BACKUP_CLICK(AppContext& ctx, CommandOutcome* outcome) {
    std::optional<QString> chosen;
    try {
        chosen = ctx.platform.saveFileDialog(backupDialog(ctx.state));
    } catch (const Error&) {
        return; // a dialog that fails counts as Cancel
    }
    if (!chosen || chosen->isEmpty())
        return;
    const QString destination = withDefaultExtension(*chosen, QStringLiteral("mdb"));
    if (isActiveDatabase(destination, ctx.state.DATABASE_PATH)) {
        ctx.platform.messageBox(SameDestination);
        return;
    }
    QString note;
    try {
        note = db::files::copyDatabaseFile(ctx.state.DATABASE_PATH, destination);
    } catch (const Error& error) {
        if (outcome)
            outcome->failure = error.number() == err::PermissionDenied
                                   ? Error(error.number(), InUse + QStringLiteral(" (") + error.text() + u')')
                                   : error;
        ctx.platform.messageBox(error.number() == err::PermissionDenied ? InUse : error.text());
        return;
    }
    ctx.platform.messageBox(BackedUp);
    // A copy that replaced another user's file could keep its group and permissions but not its owner.
    if (!note.isEmpty())
        ctx.platform.messageBox(note);
}

void COMPACT_CLICK(AppContext& ctx, CommandOutcome* outcome) {
    const QString temp = ctx.state.inProgramFolder(TempFileName);
    QFile::remove(temp); // a file that is not there, or stays, is no reason to stop here
    try {
        if (confirm(ctx.platform, CompactTitle) != Answer::Yes)
            return;
        {
            PointerScope hourglass(ctx.platform);
            db::files::compactInPlace(ctx.state.DATABASE_PATH, temp);
        }
        ctx.platform.messageBox(Compacted);
    } catch (const Error& error) {
        if (outcome)
            outcome->failure = error;
        ctx.platform.setPointer(Pointer::Default);
        ctx.platform.messageBox(QStringLiteral("ERROR:") + error.text());
    } catch (const std::exception& error) {
        ctx.platform.setPointer(Pointer::Default);
        ctx.platform.messageBox(QStringLiteral("ERROR:") + QString::fromLocal8Bit(error.what()));
    }
}

void REPAIR_CLICK(AppContext& ctx) {
    if (confirm(ctx.platform, RepairTitle) != Answer::Yes)
        return;
    {
        PointerScope hourglass(ctx.platform);
        db::files::repairDatabase(ctx.state.DATABASE_PATH);
    }
    ctx.platform.messageBox(Repaired);
}

} // namespace pell
