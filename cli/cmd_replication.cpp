// pelldb make-master, make-replica, sync, conflicts: replica-set administration from a shell, for
// scheduled synchronization.
#include "cli/command.h"

#include "core/error.h"
#include "db/database.h"
#include "db/replication/replication.h"
#include "db/replication/values.h"
#include "db/schema.h"

namespace pell::cli {
namespace {

namespace rep = db::replication;

int makeMaster(const Invocation& call) {
    const QString path = call.options.onePath();
    auto db = db::Database::open(path, {.exclusive = true});
    db::requirePellwoodDatabase(*db);
    db->appendProperty(
        db->createProperty(QStringLiteral("Replicable"), db::PropertyTypeText, QStringLiteral("T")));
    const rep::Identity id = rep::identity(*db);
    call.out << path << " is now the master of replica set " << id.setId << " (replica " << id.replicaId
             << ")\n";
    return 0;
}

int makeReplica(const Invocation& call) {
    const QStringList& p = call.options.positional();
    if (p.size() < 2 || p.size() > 3)
        throw UsageError{QStringLiteral("expects a database, a destination and an optional description")};
    const QString description = p.size() == 3 ? p[2] : QStringLiteral("replica of ") + p[1];
    auto db = db::Database::open(p[0]);
    db->makeReplica(p[1], description);
    auto replica = db::Database::open(p[1], {.readOnly = true});
    const rep::Identity id = rep::identity(*replica);
    call.out << "created replica " << p[1] << " of " << p[0] << " (replica " << id.replicaId << ", \""
             << id.description << "\")\n";
    return 0;
}

void printDirection(QTextStream& out, const char* what, const rep::DirectionStats& s) {
    out << what << ": " << s.received << " versions received, " << s.applied << " applied, " << s.conflicts
        << " conflicts logged, " << s.batches << " transactions\n";
}

int sync(const Invocation& call) {
    const Options& options = call.options;
    if (options.positional().size() != 2)
        throw UsageError{QStringLiteral("expects a database and its partner")};
    bool ok = false;
    const QString modeText = options.value(QStringLiteral("mode"), QStringLiteral("4"));
    const int mode = modeText.toInt(&ok);
    if (!ok)
        throw Error::make(err::InvalidExchangeMode, modeText);
    const int batch = options.intValue(QStringLiteral("batch"), 0);
    const QString path = options.positional().at(0);
    const QString partner = options.positional().at(1);
    auto db = db::Database::open(path);
    const rep::SyncStats stats = rep::synchronizeWithStats(*db, partner, mode, batch);
    if (mode != db::SyncExport)
        printDirection(call.out, "imported", stats.imported);
    if (mode != db::SyncImport)
        printDirection(call.out, "exported", stats.exported);
    call.out << "synchronized " << path << " with " << partner << "\n";
    return 0;
}

int conflicts(const Invocation& call) {
    QTextStream& out = call.out;
    auto db = db::Database::open(call.options.onePath(), {.readOnly = true});
    rep::identity(*db);
    auto stmt = db->prepare(QStringLiteral("SELECT id, logged_at, tbl, key_text, reason, kept_row, lost_row, "
                                           "lost_deleted, state FROM \"_pell_conflicts\" ORDER BY id"));
    int count = 0;
    const auto row = [&](int column, bool deleted) {
        if (stmt.isNull(column))
            return deleted ? QStringLiteral("(deleted)") : QStringLiteral("(none)");
        return rep::recordText(stmt.value(column).toByteArray());
    };
    while (stmt.step()) {
        ++count;
        out << "#" << stmt.value(0).toString() << " " << stmt.value(1).toString() << " "
            << stmt.value(2).toString() << " " << stmt.value(3).toString() << ": " << stmt.value(4).toString()
            << " [" << stmt.value(8).toString() << "]\n";
        out << "    kept: " << row(5, true) << "\n";
        out << "    lost: " << row(6, stmt.int64(7) != 0) << "\n";
    }
    out << count << " conflicts\n";
    return 0;
}

} // namespace

void addReplicationCommands(Registry& registry) {
    registry.add({QStringLiteral("make-master"), QStringLiteral("make-master DB"), {}, makeMaster});
    registry.add({QStringLiteral("make-replica"),
                  QStringLiteral("make-replica DB DEST [DESCRIPTION]"),
                  {},
                  makeReplica});
    registry.add({QStringLiteral("sync"),
                  QStringLiteral("sync DB PARTNER [--mode 1|2|4] [--batch N]"),
                  {{QStringLiteral("mode"), QStringLiteral("batch")}, {}},
                  sync});
    registry.add({QStringLiteral("conflicts"), QStringLiteral("conflicts DB"), {}, conflicts});
}

} // namespace pell::cli
