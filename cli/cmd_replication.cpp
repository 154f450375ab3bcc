// pelldb make-master, make-replica, replicas, sync, sync-all, conflicts, resolve, retention: replica-set
// administration from a shell, for scheduled synchronization.
#include "cli/command.h"

#include "app/inifile.h"
#include "app/program_folder.h"
#include "cli/console_platform.h"
#include "core/app_state.h"
#include "core/error.h"
#include "db/database.h"
#include "db/recordset.h"
#include "db/replication/remote.h"
#include "db/replication/replication.h"
#include "db/replication/retention.h"
#include "db/replication/values.h"
#include "db/schema.h"
#include "replication/conflict_text.h"
#include "replication/replica_commands.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace pell::cli {
namespace {

namespace rep = db::replication;

// The program folder a command works for, its pell.ini read: the one given, or pelldb's own (the installed
// /opt/pellwood). Relative paths in pell.ini and on the list of replicas are the program folder's, as for the
// program, which its launcher starts there: the command goes on from that folder, wherever a shell, cron or
// systemd started it.
AppState programFolderState(const QString& given) {
    AppState state;
    state.programFolder =
        given.isEmpty() ? QCoreApplication::applicationDirPath() : QFileInfo(given).absoluteFilePath();
    state.stateFolder = stateFolderOf(state.programFolder);
    READ_INI(state);
    if (!QDir::setCurrent(state.programFolder))
        throw Error::make(err::PathNotFound, state.programFolder);
    return state;
}

// The list of replicas that the program folder's pell.ini names, as the replication window opens it.
struct ReplicaList {
    std::unique_ptr<db::Database> db;
    std::unique_ptr<db::Recordset> rows;
    explicit ReplicaList(const AppState& state, bool readOnly = false)
        : db(db::Database::open(state.REPLICADB_PATH, {.readOnly = readOnly})),
          rows(db->openRecordset(db::schema::Replica)) {}
};

// A member just made, put on the list as the window's command does; a row that is there already is left.
void listMember(const Invocation& call, const QString& programFolder, const QString& location) {
    AppState state = programFolderState(programFolder);
    ReplicaList list(state);
    ConsolePlatform platform({});
    AppContext ctx{state, platform};
    if (replica::findReference(list.rows.get(), location)) {
        call.out << location << " is listed already in " << state.REPLICADB_PATH << "\n";
        return;
    }
    const CommandResult result = replica::addReference(ctx, list.rows.get(), location);
    if (result.failure)
        throw *result.failure;
    call.out << "listed " << location << " in " << state.REPLICADB_PATH << "\n";
}

const OptionInfo NoListOption{
    QStringLiteral("no-list"), {}, QStringLiteral("do not add it to the list of replicas of pell.ini")};
const OptionInfo ProgramFolderOption{QStringLiteral("program-folder"), QStringLiteral("DIR"),
                                     QStringLiteral("the folder whose pell.ini names the list (default: "
                                                    "pelldb's folder)")};

// The main database as the list names it: as pell.ini spells it when DB is that file (the window lists that
// spelling, and sync-all skips its row by it), else DB's absolute path.
QString masterLocation(const AppState& state, const QString& absolute) {
    const QString configured = QFileInfo(state.DATABASE_PATH).canonicalFilePath();
    return !configured.isEmpty() && configured == QFileInfo(absolute).canonicalFilePath()
               ? state.DATABASE_PATH
               : absolute;
}

int makeMaster(const Invocation& call) {
    // Named from where the command was typed; the list's folder becomes the working one further on.
    const QString path = QFileInfo(call.options.onePath()).absoluteFilePath();
    const bool listed = !call.options.flag(QStringLiteral("no-list"));
    const QString folder = call.options.value(QStringLiteral("program-folder"));
    {
        auto db = db::Database::open(path, {.exclusive = true});
        db::requirePellwoodDatabase(*db);
        db->appendProperty(
            db->createProperty(QStringLiteral("Replicable"), db::PropertyTypeText, QStringLiteral("T")));
        const rep::Identity id = rep::identity(*db);
        call.out << call.options.onePath() << " is now the master of replica set " << id.setId << " (replica "
                 << id.replicaId << ")\n";
    }
    if (listed)
        listMember(call, folder, masterLocation(programFolderState(folder), path));
    return 0;
}

int makeReplica(const Invocation& call) {
    const QStringList& p = call.options.positional();
    if (p.size() < 2 || p.size() > 3)
        throw UsageError{QStringLiteral("expects a database, a destination and an optional description")};
    const QString description = p.size() == 3 ? p[2] : QStringLiteral("replica of ") + p[1];
    const bool listed = !call.options.flag(QStringLiteral("no-list"));
    const QString folder = call.options.value(QStringLiteral("program-folder"));
    if (const auto refusal = replica::newReplicaRefusal(p[1]))
        throw *refusal;
    const QString source = QFileInfo(p[0]).absoluteFilePath();
    const bool remote = rep::isRemote(p[1]);
    const QString location = remote ? p[1] : QFileInfo(p[1]).absoluteFilePath();
    // The list is read first: a missing pell.ini or list stops the command before a replica that nobody
    // lists exists. (A master is listed afterwards, as the window does: it is a master all the same.)
    if (listed) {
        [[maybe_unused]] const ReplicaList check(programFolderState(folder), true);
    }
    {
        auto db = db::Database::open(source);
        db->makeReplica(location, description);
        if (remote) {
            call.out << "created replica " << p[1] << " of " << p[0] << " (\"" << description << "\")\n";
        } else {
            auto replica = db::Database::open(location, {.readOnly = true});
            const rep::Identity id = rep::identity(*replica);
            call.out << "created replica " << p[1] << " of " << p[0] << " (replica " << id.replicaId << ", \""
                     << id.description << "\")\n";
        }
    }
    if (listed)
        listMember(call, folder, location);
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

// The far side of `pelldb sync ... ssh://`: speaks the exchange on standard input and output for the one
// database named. Nothing else may be written to standard output.
int serve(const Invocation& call) {
    if (call.options.positional().size() != 1)
        throw UsageError{QStringLiteral("expects the database it serves")};
    call.out.flush();
    return rep::serve(call.options.positional().at(0), 0, 1);
}

int exportBundle(const Invocation& call) {
    const Options& options = call.options;
    const QString partner = options.value(QStringLiteral("for"));
    if (options.positional().size() != 2 || partner.isEmpty())
        throw UsageError{QStringLiteral("expects a database, the bundle file and --for PARTNER")};
    const QString path = options.positional().at(0);
    const QString file = options.positional().at(1);
    auto db = db::Database::open(path);
    report(call.progress, ProgressReport::Stage::Started, QStringLiteral("Exporting ") + path);
    const qint64 written = rep::exportBundle(*db, file, partner);
    call.out << "exported " << written << " versions from " << path << " into " << file << "\n";
    return 0;
}

int importBundle(const Invocation& call) {
    const Options& options = call.options;
    if (options.positional().size() != 2)
        throw UsageError{QStringLiteral("expects a database and the bundle file")};
    const QString path = options.positional().at(0);
    const QString file = options.positional().at(1);
    auto db = db::Database::open(path);
    report(call.progress, ProgressReport::Stage::Started, QStringLiteral("Importing ") + file);
    const rep::DirectionStats stats =
        rep::importBundle(*db, file, options.flag(QStringLiteral("accept-clock-ahead")));
    printDirection(call.out, "imported", stats);
    call.out << "imported " << file << " into " << path << "\n";
    return 0;
}

// The replication window's Synchronize, unattended: the program folder's pell.ini names the main database and
// the list of replicas, as for the program; one line per listed replica tells what became of it, and a last
// line counts them and the conflicts logged, so that a log read in the morning says what the night did.
int syncAll(const Invocation& call) {
    const QStringList& p = call.options.positional();
    if (p.size() > 1)
        throw UsageError{QStringLiteral("expects at most the program folder")};
    AppState state = programFolderState(p.isEmpty() ? QString() : p.constFirst());
    // The list is only read: the window may work beside it as long as it holds it shared.
    ReplicaList list(state, true);
    ConsolePlatform platform({});
    AppContext ctx{state, platform};
    int synchronized = 0;
    int skipped = 0;
    int failed = 0;
    qint64 conflicts = 0;
    QTextStream err(stderr);
    const auto tell = [&](const replica::ReplicaOutcome& o) {
        // The progress line makes way for the result; the next replica brings it back.
        report(call.progress, ProgressReport::Stage::Finished);
        switch (o.kind) {
        case replica::ReplicaOutcome::Kind::Synchronized:
            ++synchronized;
            conflicts += o.conflicts;
            call.out << "synchronized " << o.location;
            if (o.conflicts > 0)
                call.out << " (" << o.conflicts << " conflicts logged)";
            call.out << "\n";
            call.out.flush();
            break;
        case replica::ReplicaOutcome::Kind::Skipped:
            ++skipped;
            call.out << "skipped " << o.location << " (the main database)\n";
            call.out.flush(); // in step with the progress line and the errors on standard error
            break;
        case replica::ReplicaOutcome::Kind::Failed:
            ++failed;
            call.out << "failed "
                     << (o.location.isEmpty() ? QStringLiteral("(a blank row of the list)") : o.location)
                     << "\n";
            call.out.flush();
            // The line names the files unless the engine's text already names one: a read-only side may be
            // either of the two.
            err << "error " << o.error->number() << ": " << o.error->text();
            if (o.location.isEmpty())
                err << " (a blank row of the list)";
            else if (!o.error->text().contains(o.location) && !o.error->text().contains(state.DATABASE_PATH))
                err << " (replica " << o.location << ", main database " << state.DATABASE_PATH << ')';
            err << "\n";
            err.flush();
            break;
        }
    };
    replica::synchronizeAll(ctx, list.rows.get(), call.progress, tell);
    if (synchronized + skipped + failed == 0) {
        // Nothing to do every night is no success: the list was never filled.
        err << "error " << err::ItemNotFound << ": no replicas listed in " << state.REPLICADB_PATH
            << " (add them with: pelldb replicas add PATH " << state.programFolder << ")\n";
        return 1;
    }
    call.out << synchronized << " synchronized, " << skipped << " skipped, " << failed << " failed; "
             << conflicts << " conflicts logged";
    if (conflicts > 0)
        call.out << " (see them with: pelldb conflicts " << state.DATABASE_PATH << ")";
    call.out << "\n";
    return failed == 0 ? 0 : 1;
}

// The replication window's list, from a shell: shown, added to as Create Replica does for an existing
// database, a row taken off as Delete Replica Reference does. The databases themselves are never touched.
int replicas(const Invocation& call) {
    const QStringList& p = call.options.positional();
    const QString action = p.value(0);
    const bool withPath = action == QLatin1String("add") || action == QLatin1String("remove");
    if ((action != QLatin1String("list") && !withPath) || p.size() < (withPath ? 2 : 1) ||
        p.size() > (withPath ? 3 : 2))
        throw UsageError{
            QStringLiteral("expects list, add PATH or remove PATH, then an optional program folder")};
    const QString location = withPath ? p.at(1) : QString();
    AppState state = programFolderState(p.size() > (withPath ? 2 : 1) ? p.constLast() : QString());
    ReplicaList list(state, action == QLatin1String("list"));
    ConsolePlatform platform({});
    AppContext ctx{state, platform};
    db::Recordset* rows = list.rows.get();
    if (action == QLatin1String("list")) {
        int count = 0;
        if (!rows->eof())
            rows->moveFirst(); // an empty list has no first row to move to
        for (; !rows->eof(); rows->moveNext()) {
            const QString row = rows->field(db::schema::replica::Location).toString();
            call.out << row
                     << (row == state.DATABASE_PATH ? QStringLiteral(" (the main database)") : QString())
                     << "\n";
            ++count;
        }
        call.out << count << " listed in " << state.REPLICADB_PATH << "\n";
        return 0;
    }
    if (location.trimmed().isEmpty())
        throw UsageError{QStringLiteral("expects a path")};
    if (action == QLatin1String("add")) {
        if (replica::findReference(rows, location)) {
            call.out << location << " is listed already in " << state.REPLICADB_PATH << "\n";
            return 0;
        }
        const CommandResult result = replica::addReference(ctx, rows, location);
        if (result.failure)
            throw *result.failure;
        call.out << "listed " << location << " in " << state.REPLICADB_PATH << "\n";
        return 0;
    }
    if (!replica::findReference(rows, location))
        throw Error(err::ItemNotFound,
                    QStringLiteral("%1 is not on the list in %2").arg(location, state.REPLICADB_PATH));
    const CommandResult result = replica::removeReference(ctx, rows);
    if (result.failure)
        throw *result.failure;
    call.out << "removed " << location << " from " << state.REPLICADB_PATH << "\n";
    return 0;
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
    // For people, as the Conflicts window shows it: the columns whose versions differ first, marked with
    // "*", then those both versions share; values in the program's terms, passwords masked.
    for (const rep::ConflictView& c : list) {
        out << "#" << c.id << " " << c.loggedAt << " " << c.table << " " << c.key << ": " << c.reason << " ["
            << c.state << "]\n";
        const QString noKept = QStringLiteral("(no record)"), noLost = QStringLiteral("(deleted)");
        for (const conflict_text::Line& line : conflict_text::lines(c)) {
            if (line.differs)
                out << "  * " << line.column << ": kept " << (c.keptDeleted ? noKept : line.kept)
                    << " | lost " << (c.lostDeleted ? noLost : line.lost) << "\n";
            else
                out << "    " << line.column << ": " << line.kept << "\n";
        }
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

// The replica set's retention period: shown anywhere, set on the master.
int retention(const Invocation& call) {
    const QStringList& p = call.options.positional();
    if (p.isEmpty() || p.size() > 2)
        throw UsageError{QStringLiteral("expects a database and an optional number of days")};
    if (p.size() == 1) {
        auto db = db::Database::open(p[0], {.readOnly = true});
        call.out << "retention period of " << p[0] << ": " << rep::retentionDays(*db) << " days\n";
        return 0;
    }
    bool ok = false;
    const int days = p[1].toInt(&ok);
    if (!ok)
        throw UsageError{QStringLiteral("expects the retention period as a whole number of days")};
    auto db = db::Database::open(p[0]);
    rep::setRetentionDays(*db, days);
    call.out << "retention period of " << p[0] << " set to " << days << " days\n";
    return 0;
}

} // namespace

void addReplicationCommands(Registry& registry) {
    registry.add(
        {QStringLiteral("make-master"),
         QStringLiteral("DB [--no-list] [--program-folder DIR]"),
         QStringLiteral("Makes the database the master of a new replica set; nobody else may have it "
                        "open. Lists it on the replication window's list, as its command does."),
         {NoListOption, ProgramFolderOption},
         makeMaster});
    registry.add({QStringLiteral("make-replica"),
                  QStringLiteral("DB DEST [DESCRIPTION] [--no-list] [--program-folder DIR]"),
                  QStringLiteral("Creates a replica of the replica set's member DB at DEST (a new file) and "
                                 "lists it on the replication window's list, as its command does."),
                  {NoListOption, ProgramFolderOption},
                  makeReplica});
    registry.add(
        {QStringLiteral("replicas"),
         QStringLiteral("list|add PATH|remove PATH [PROGRAM_FOLDER]"),
         QStringLiteral("Shows or edits the replication window's list of replicas, the one named in "
                        "PROGRAM_FOLDER/pell.ini (by default pelldb's folder); relative paths are the "
                        "program folder's. The databases are not touched."),
         {},
         replicas});
    registry.add(
        {QStringLiteral("sync"),
         QStringLiteral("DB PARTNER [--mode 1|2|4] [--batch N] [--accept-clock-ahead]"),
         QStringLiteral("Exchanges changes between two members of a replica set. PARTNER may be "
                        "ssh://[user@]host[:port]/path: pelldb serve runs there through ssh (or the "
                        "command in PELL_SSH)."),
         {{QStringLiteral("mode"), QStringLiteral("1|2|4"),
           QStringLiteral("1: from DB to PARTNER, 2: from PARTNER to DB, 4: both ways (default)")},
          {QStringLiteral("batch"), QStringLiteral("N"),
           QStringLiteral("at most N changes per transaction (default: the engine's)")},
          {QStringLiteral("accept-clock-ahead"),
           {},
           QStringLiteral("take versions whose clocks are more than 10 minutes ahead of this machine's")}},
         sync});
    registry.add(
        {QStringLiteral("serve"),
         QStringLiteral("DB"),
         QStringLiteral("Answers an exchange on standard input and output for DB alone: what `pelldb "
                        "sync LOCAL ssh://host/DB` runs on the far side, and what a key restricted to "
                        "one database is forced to run."),
         {},
         serve});
    registry.add(
        {QStringLiteral("export"),
         QStringLiteral("DB FILE --for PARTNER"),
         QStringLiteral("Writes what PARTNER (its replica id, or the path of its database) lacks of DB "
                        "into the bundle FILE, to be carried to it and imported there."),
         {{QStringLiteral("for"), QStringLiteral("PARTNER"),
           QStringLiteral("the member the bundle is for: its replica id, or its database's path")}},
         exportBundle});
    registry.add({QStringLiteral("import"),
                  QStringLiteral("DB FILE [--accept-clock-ahead]"),
                  QStringLiteral("Applies a bundle made for DB; a bundle applied twice, late or out of order "
                                 "changes nothing more."),
                  {{QStringLiteral("accept-clock-ahead"),
                    {},
                    QStringLiteral("take versions whose clocks are more than 10 minutes ahead of this "
                                   "machine's")}},
                  importBundle});
    registry.add(
        {QStringLiteral("sync-all"),
         QStringLiteral("[PROGRAM_FOLDER]"),
         QStringLiteral("Synchronizes the main database named in PROGRAM_FOLDER/pell.ini with every "
                        "replica on its list, as the replication window does; one line per replica and a "
                        "summary with the conflicts logged; exit status 0 only when every replica "
                        "synchronized."),
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
    registry.add(
        {QStringLiteral("retention"),
         QStringLiteral("DB [DAYS]"),
         QStringLiteral(
             "Shows the replica set's retention period, or sets it to DAYS (1 to 3650) on the master; "
             "exchanges carry it to the other members. Deletions and closed conflicts older than the "
             "period are forgotten, and a member that has not exchanged within it must be made "
             "again."),
         {},
         retention});
}

} // namespace pell::cli
