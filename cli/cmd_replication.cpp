// pelldb make-master, make-replica, sync, sync-all, conflicts, resolve: replica-set administration from a
// shell, for scheduled synchronization.
#include "cli/command.h"

#include "app/inifile.h"
#include "cli/console_platform.h"
#include "core/app_state.h"
#include "core/error.h"
#include "db/database.h"
#include "db/recordset.h"
#include "db/replication/replication.h"
#include "db/replication/values.h"
#include "db/schema.h"
#include "replication/replica_commands.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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
        throw UsageError{QStringLiteral("--mode expects 1, 2 or 4, not \"%1\"").arg(modeText)};
    const int batch = options.intValue(QStringLiteral("batch"), 0);
    const QString path = options.positional().at(0);
    const QString partner = options.positional().at(1);
    auto db = db::Database::open(path);
    report(call.progress, ProgressReport::Stage::Started,
           QStringLiteral("Synchronizing ") + path + QStringLiteral(" with ") + partner);
    const rep::SyncStats stats = rep::synchronizeWithStats(
        *db, partner, mode, batch, options.flag(QStringLiteral("accept-clock-ahead")));
    if (mode != db::SyncExport)
        printDirection(call.out, "imported", stats.imported);
    if (mode != db::SyncImport)
        printDirection(call.out, "exported", stats.exported);
    call.out << "synchronized " << path << " with " << partner << "\n";
    return 0;
}

// The replication window's Synchronize, unattended: the program folder's pell.ini names the main database and
// the list of replicas, as for the program; one line per listed replica tells what became of it.
int syncAll(const Invocation& call) {
    const QStringList& p = call.options.positional();
    if (p.size() > 1)
        throw UsageError{QStringLiteral("expects at most the program folder")};
    AppState state;
    state.programFolder = p.isEmpty() ? QCoreApplication::applicationDirPath() : p.constFirst();
    READ_INI(state);
    // The list is only read: the window may work beside it as long as it holds it shared.
    auto listDb = db::Database::open(state.REPLICADB_PATH, {.readOnly = true});
    auto list = listDb->openRecordset(db::schema::Replica);
    ConsolePlatform platform({});
    AppContext ctx{state, platform};
    int failed = 0;
    int listed = 0;
    QTextStream err(stderr);
    const auto tell = [&](const replica::ReplicaOutcome& o) {
        ++listed;
        // The progress line makes way for the result; the next replica brings it back.
        report(call.progress, ProgressReport::Stage::Finished);
        switch (o.kind) {
        case replica::ReplicaOutcome::Kind::Synchronized:
            call.out << "synchronized " << o.location << "\n";
            call.out.flush();
            break;
        case replica::ReplicaOutcome::Kind::Skipped:
            call.out << "skipped " << o.location << " (the main database)\n";
            call.out.flush(); // in step with the progress line and the errors on standard error
            break;
        case replica::ReplicaOutcome::Kind::Failed:
            ++failed;
            call.out.flush();
            // The line names the replica unless the engine's text already does.
            err << "error " << o.error->number() << ": " << o.error->text()
                << (o.location.isEmpty()                   ? QStringLiteral(" (a blank row of the list)")
                    : o.error->text().contains(o.location) ? QString()
                                                           : QStringLiteral(" (replica ") + o.location + u')')
                << "\n";
            err.flush();
            break;
        }
    };
    replica::synchronizeAll(ctx, list.get(), call.progress, tell);
    if (listed == 0)
        call.out << "no replicas listed in " << state.REPLICADB_PATH << "\n";
    return failed == 0 ? 0 : 1;
}

int conflicts(const Invocation& call) {
    QTextStream& out = call.out;
    const Options& options = call.options;
    auto db = db::Database::open(options.onePath(), {.readOnly = true});
    const QList<rep::ConflictView> list = rep::conflicts(*db, options.flag(QStringLiteral("all")));
    if (options.flag(QStringLiteral("json"))) {
        const auto object = [](const QString& json) {
            return json.isEmpty() ? QJsonValue()
                                  : QJsonValue(QJsonDocument::fromJson(json.toUtf8()).object());
        };
        QJsonArray array;
        for (const rep::ConflictView& c : list)
            array.append(QJsonObject{{QStringLiteral("id"), c.id},
                                     {QStringLiteral("logged_at"), c.loggedAt},
                                     {QStringLiteral("table"), c.table},
                                     {QStringLiteral("key"), QJsonDocument::fromJson(c.key.toUtf8()).array()},
                                     {QStringLiteral("reason"), c.reason},
                                     {QStringLiteral("state"), c.state},
                                     {QStringLiteral("member"), c.member},
                                     {QStringLiteral("kept"), object(c.keptJson)},
                                     {QStringLiteral("lost"), object(c.lostJson)}});
        out << QJsonDocument(array).toJson(QJsonDocument::Indented);
        return 0;
    }
    for (const rep::ConflictView& c : list) {
        out << "#" << c.id << " " << c.loggedAt << " " << c.table << " " << c.key << ": " << c.reason << " ["
            << c.state << "]\n";
        out << "    kept: " << (c.keptJson.isEmpty() ? QStringLiteral("(deleted)") : c.keptJson) << "\n";
        out << "    lost: " << (c.lostJson.isEmpty() ? QStringLiteral("(deleted)") : c.lostJson) << "\n";
    }
    out << list.size() << " conflicts\n";
    return 0;
}

int resolve(const Invocation& call) {
    const QStringList& p = call.options.positional();
    if (p.size() != 3 || (p[2] != QLatin1String("keep") && p[2] != QLatin1String("restore")))
        throw UsageError{QStringLiteral("expects a database, a conflict number and keep or restore")};
    bool ok = false;
    const qint64 id = p[1].toLongLong(&ok);
    if (!ok)
        throw Error::make(err::ConflictNotFound, p[1]);
    auto db = db::Database::open(p[0]);
    if (p[2] == QLatin1String("keep"))
        rep::keepConflict(*db, id);
    else
        rep::restoreConflict(*db, id);
    call.out << "conflict " << id << (p[2] == QLatin1String("keep") ? " kept" : " restored") << "\n";
    return 0;
}

} // namespace

void addReplicationCommands(Registry& registry) {
    registry.add(
        {QStringLiteral("make-master"),
         QStringLiteral("DB"),
         QStringLiteral("Makes the database the master of a new replica set; nobody else may have it "
                        "open."),
         {},
         makeMaster});
    registry.add({QStringLiteral("make-replica"),
                  QStringLiteral("DB DEST [DESCRIPTION]"),
                  QStringLiteral("Creates a replica of the replica set's member DB at DEST."),
                  {},
                  makeReplica});
    registry.add(
        {QStringLiteral("sync"),
         QStringLiteral("DB PARTNER [--mode 1|2|4] [--batch N] [--accept-clock-ahead]"),
         QStringLiteral("Exchanges changes between two members of a replica set."),
         {{QStringLiteral("mode"), QStringLiteral("1|2|4"),
           QStringLiteral("1: from DB to PARTNER, 2: from PARTNER to DB, 4: both ways (default)")},
          {QStringLiteral("batch"), QStringLiteral("N"),
           QStringLiteral("at most N changes per transaction (default: the engine's)")},
          {QStringLiteral("accept-clock-ahead"),
           {},
           QStringLiteral("take versions whose clocks are more than 10 minutes ahead of this machine's")}},
         sync});
    registry.add(
        {QStringLiteral("sync-all"),
         QStringLiteral("[PROGRAM_FOLDER]"),
         QStringLiteral("Synchronizes the main database named in PROGRAM_FOLDER/pell.ini with every "
                        "replica on its list, as the replication window does; exit status 0 only when "
                        "every replica synchronized."),
         {},
         syncAll});
    registry.add({QStringLiteral("conflicts"),
                  QStringLiteral("DB [--all] [--json]"),
                  QStringLiteral("Lists the replica set's open conflicts with the versions kept and lost."),
                  {{QStringLiteral("all"), {}, QStringLiteral("closed conflicts too")},
                   {QStringLiteral("json"), {}, QStringLiteral("one JSON array of objects")}},
                  conflicts});
    registry.add(
        {QStringLiteral("resolve"),
         QStringLiteral("DB ID keep|restore"),
         QStringLiteral("Closes conflict ID keeping what stands, or restores its lost version as a new "
                        "change that wins on every member."),
         {},
         resolve});
}

} // namespace pell::cli
