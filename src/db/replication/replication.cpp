#include "db/replication/replication.h"

#include "core/error.h"
#include "db/database.h"
#include "db/files/posix_files.h"
#include "db/replication/capture.h"
#include "db/replication/fold.h"
#include "db/replication/retention.h"
#include "db/replication/transfer.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <sqlite3.h>

#include <sys/stat.h>

namespace pell::db::replication {

namespace {

// Identities of sets and replicas: random, positive, and wide enough never to meet twice.
qint64 newIdentity() {
    qint64 id = 0;
    while (id == 0)
        id = qint64(QRandomGenerator::system()->generate64() & 0x3FFFFFFFFFFFFFFFULL);
    return id;
}

bool sameFile(const QString& a, const QString& b) {
    struct stat sa {};
    struct stat sb {};
    if (::stat(QFile::encodeName(a).constData(), &sa) != 0 ||
        ::stat(QFile::encodeName(b).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

qint64 topSeq(sqlite3* db) {
    qint64 top = 0;
    for (const TableInfo& t : registeredTables(db)) {
        Statement s(db,
                    QStringLiteral("SELECT coalesce(max(seq), 0) FROM %1").arg(quoteIdentifier(t.shadow)));
        s.step();
        top = qMax(top, s.int64(0));
    }
    return top;
}

// Triggers off for some connections, for as long as it lives.
class TriggersOff {
public:
    explicit TriggersOff(std::initializer_list<sqlite3*> connections) : m_connections(connections) {
        for (sqlite3* db : m_connections)
            sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    }
    ~TriggersOff() {
        for (sqlite3* db : m_connections)
            sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 1, nullptr);
    }
    TriggersOff(const TriggersOff&) = delete;
    TriggersOff& operator=(const TriggersOff&) = delete;

private:
    std::vector<sqlite3*> m_connections;
};

struct NewMember {
    qint64 id = 0;
    qint64 top = 0;
};

// Turns a fresh copy of a member into a new member of the same set: it holds what its source held and has
// read its source up to the copy.
NewMember becomeReplica(sqlite3* copy, const Identity& source, const QString& description) {
    exec(copy, QStringLiteral("BEGIN IMMEDIATE"));
    NewMember made{newIdentity(), topSeq(copy)};
    Statement identity(
        copy, QStringLiteral("UPDATE \"_pell_replica\" SET replica_id=?1, description=?2, created=?3"));
    identity.bindAll({made.id, description,
                      QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))});
    identity.run();
    const Clocks held = known(copy, source.replicaId);
    exec(copy, QStringLiteral("DELETE FROM \"_pell_known\""));
    storeKnown(copy, held, made.id);
    Clock clock = readClock(copy);
    clock.own = 0;
    clock.settled = clock.now;
    writeClock(copy, clock);
    // How far the source and others read each other is theirs, not the copy's: the copy has read its source
    // up to the copy, and its source has read it as far.
    exec(copy, QStringLiteral("DELETE FROM \"_pell_watermarks\""));
    exec(copy, QStringLiteral("DELETE FROM \"_pell_sent\""));
    storeWatermark(copy, source.replicaId, made.top);
    storeSent(copy, source.replicaId, made.top);
    // Changes the source had not folded when it was copied are its own: it sends them as its versions.
    exec(copy, QStringLiteral("DELETE FROM \"_pell_log\""));
    for (const TableInfo& t : registeredTables(copy))
        installTriggers(copy, t, made.id);
    leaveMaster(copy);
    exec(copy, QStringLiteral("COMMIT"));
    return made;
}

} // namespace

bool isReplicable(Database& db) {
    return readIdentity(db.rawHandle()).has_value();
}

Identity identity(Database& db) {
    return requireIdentity(db.rawHandle(), db.path());
}

void convertToMaster(Database& db) {
    if (!db.exclusive())
        throw Error::make(err::FileInUse);
    sqlite3* raw = db.rawHandle();
    if (readIdentity(raw))
        return;
    Transaction tx(db);
    QList<TableInfo> tables;
    {
        Statement list(raw,
                       QStringLiteral("SELECT name FROM sqlite_schema WHERE type='table' AND sql NOT LIKE "
                                      "'CREATE VIRTUAL%' ORDER BY name"));
        while (list.step()) {
            const QString name = list.value(0).toString();
            if (!Database::isEngineTable(name))
                tables << describeTable(raw, name);
        }
    }
    const qint64 me = newIdentity();
    createMetadata(raw, newIdentity(), me, QStringLiteral("master"));
    const QList<Link> found = describeLinks(raw, tables);
    for (qsizetype i = 0; i < tables.size(); ++i) {
        tables[i].id = i + 1;
        for (const Link& l : found)
            tables[i].restrictParent |=
                !l.cascade && l.parent.compare(tables[i].name, Qt::CaseInsensitive) == 0;
    }
    for (const TableInfo& t : tables) {
        createShadow(raw, t, me);
        installTriggers(raw, t, me);
    }
    for (const Link& l : found)
        registerLink(raw, l);
    recordParents(raw, tables, found);
    installRetention(raw, true);
    // The rows as they stand now are the master's first versions: nothing of them needs checking.
    Clock clock = readClock(raw);
    clock.settled = clock.now;
    writeClock(raw, clock);
    tx.commit();
}

void makeReplica(Database& db, const QString& path, const QString& description) {
    const Identity source = identity(db);
    checkDatabasePath(path);
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
        throw Error::make(err::DatabaseExists, path);
    if (!QFileInfo(QFileInfo(path).absolutePath()).isWritable())
        throw Error::make(err::NoPermission, path);

    // VACUUM INTO reads the source in one read transaction: a consistent copy while others go on reading.
    // The copy is made under a hidden name, with no wider permissions than the source from its creation, and
    // appears at the path only once it is a complete replica on disk. What a killed maker left goes first.
    files::removeStaleTemps(QFileInfo(path).absolutePath(), QStringLiteral("making"));
    files::SiblingTemp pending(path, QStringLiteral("making"), db.path());
    pending.create().close(pending.path());
    {
        // The copy starts from the source's versions, its own users' latest changes included.
        Transaction tx(db);
        exec(db.rawHandle(), QStringLiteral("INSERT INTO \"_pell_applying\" VALUES (1)"));
        // Nothing to fold: rolled back, so that a copy that then fails (a full disk) leaves the source's
        // file exactly as it was.
        if (foldOwnChanges(db.rawHandle(), source.replicaId)) {
            exec(db.rawHandle(), QStringLiteral("DELETE FROM \"_pell_applying\""));
            tx.commit();
        }
    }
    try {
        db.execute(QStringLiteral("VACUUM INTO ?1"), {pending.path()});
    } catch (const Error& error) {
        // A full disk or a failing device concerns the copy being written, not the source read.
        if (error.number() == err::EngineDiskFull || error.number() == err::DiskIo)
            throw Error::make(error.number(), path);
        throw;
    }
    NewMember made;
    {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(QFile::encodeName(pending.path()).constData(), &raw,
                                       SQLITE_OPEN_READWRITE, nullptr);
        SqliteHandle copy(raw);
        if (rc != SQLITE_OK)
            throwSqlite(raw, rc, path);
        check(raw, sqlite3_extended_result_codes(raw, 1));
        exec(raw, QStringLiteral("PRAGMA journal_mode=DELETE"));
        made = becomeReplica(raw, source, description);
    }
    pending.commit(false);
    // The source has everything the copy holds: its first exchange with the copy reads only what is new.
    try {
        Transaction tx(db);
        storeWatermark(db.rawHandle(), made.id, made.top);
        storeSent(db.rawHandle(), made.id, made.top);
        tx.commit();
    } catch (const Error&) {
        // Only a shortcut: without it the first exchange reads the copy once more and finds nothing new.
    }
}

SyncStats synchronizeWithStats(Database& db, const QString& partnerPath, int mode, int batchSize) {
    if (mode != SyncExport && mode != SyncImport && mode != SyncImpExp)
        throw Error::make(err::InvalidExchangeMode, QString::number(mode));
    const Identity me = identity(db);
    checkDatabasePath(partnerPath);
    if (!QFileInfo::exists(partnerPath))
        throw Error::make(err::FileNotFoundDb, partnerPath);
    if (sameFile(db.path(), partnerPath))
        throw Error::make(err::SyncWithSelf, partnerPath);

    auto partner = Database::open(partnerPath);
    const auto them = readIdentity(partner->rawHandle());
    if (!them)
        throw Error::make(err::NotAReplica, partnerPath);
    requireIdentity(partner->rawHandle(), partnerPath);
    if (them->setId != me.setId)
        throw Error::make(err::DifferentReplicaSet, partnerPath);
    if (them->replicaId == me.replicaId)
        throw Error::make(err::SyncWithSelf, partnerPath);

    const Member self{db.rawHandle(), me.replicaId};
    const Member other{partner->rawHandle(), them->replicaId};
    refuseExpired(self, db.path(), other, partnerPath);
    // A large exchange walks each table, its shadow and its index at once: with the default cache (2 MB) the
    // engine writes changed pages out before the commit, and syncs the journal to do so.
    for (const Member& m : {self, other})
        exec(m.db, QStringLiteral("PRAGMA cache_size = -65536"));
    // What the exchange writes into the tables is not a change of their users: the capture triggers are
    // left out of this connection's statements altogether (they would stay silent anyway).
    const TriggersOff quiet{{self.db, other.db}};
    // Each member first puts right what its own writers left unsound, as its partners will when they receive
    // it, whether or not anything is exchanged.
    settleOwnChanges(self);
    settleOwnChanges(other);
    const qint64 untrusted = putBack(self, other);
    SyncStats stats;
    if (mode == SyncImport || mode == SyncImpExp)
        stats.imported = transfer(other, self, batchSize, untrusted);
    if (mode == SyncExport || mode == SyncImpExp)
        stats.exported = transfer(self, other, batchSize, untrusted);
    afterExchange(self, other, mode != SyncExport, mode != SyncImport);
    return stats;
}

void recordOwnChanges(Database& db) {
    settleOwnChanges(Member{db.rawHandle(), identity(db).replicaId});
}

void synchronize(Database& db, const QString& partnerPath, int mode) {
    synchronizeWithStats(db, partnerPath, mode);
}

} // namespace pell::db::replication
