#include "db/replication/replication.h"

#include "core/error.h"
#include "db/database.h"
#include "db/files/posix_files.h"
#include "db/replication/bundle.h"
#include "db/replication/capture.h"
#include "db/replication/fold.h"
#include "db/replication/member.h"
#include "db/replication/receiver.h"
#include "db/replication/remote.h"
#include "db/replication/retention.h"
#include "db/replication/transfer.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

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
    if (std::optional<FileMark> here = currentFile(copy)) // kept by the rename into place
        storeFileMark(copy, FileMark{here->device, here->inode, clock.now});
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

// Makes the member a new member of its set: its file is a copy of another member's (or a restore), which
// goes on under the identity both had. What the copy held stays: its versions under the old identity are
// versions of another writer now; changes of its own writers that are not versions yet become the new
// member's.
qint64 becomeCopy(sqlite3* db, qint64 old) {
    const qint64 fresh = newIdentity();
    Clock clock = readClock(db);
    Statement identity(db, QStringLiteral("UPDATE \"_pell_replica\" SET replica_id=?1"));
    identity.bind(1, fresh);
    identity.run();
    Clocks held;
    for (const TableInfo& t : registeredTables(db)) {
        // Rows of tables without a key become versions as they are written: those written since the last
        // exchange may be this copy's alone, so they are the new member's.
        if (!t.keyed) {
            Statement restamp(
                db, QStringLiteral("UPDATE %1 SET w = ?1, bw = CASE WHEN bw = ?2 AND bc > ?3 THEN ?1 ELSE bw "
                                   "END WHERE w = ?2 AND c > ?3")
                        .arg(quoteIdentifier(t.shadow)));
            restamp.bindAll({fresh, old, clock.settled});
            restamp.run();
        }
        Statement top(db,
                      QStringLiteral("SELECT max(c) FROM %1 WHERE w = ?1").arg(quoteIdentifier(t.shadow)));
        top.bind(1, old);
        if (top.step() && !top.isNull(0))
            held[old] = qMax(held.value(old), top.int64(0));
    }
    Statement logged(
        db, QStringLiteral("SELECT max(logged_clock) FROM \"_pell_conflicts\" WHERE logged_by = ?1"));
    logged.bind(1, old);
    if (logged.step() && !logged.isNull(0))
        held[old] = qMax(held.value(old), logged.int64(0));
    storeKnown(db, held, fresh);
    clock.own = 0;
    for (const TableInfo& t : registeredTables(db)) {
        if (t.keyed)
            continue;
        Statement mine(db,
                       QStringLiteral("SELECT max(c) FROM %1 WHERE w = ?1").arg(quoteIdentifier(t.shadow)));
        mine.bind(1, fresh);
        if (mine.step() && !mine.isNull(0))
            clock.own = qMax(clock.own, mine.int64(0));
    }
    writeClock(db, clock);
    // How far partners have read the old identity is the original's business.
    exec(db, QStringLiteral("DELETE FROM \"_pell_sent\""));
    for (const TableInfo& t : registeredTables(db))
        installTriggers(db, t, fresh);
    return fresh;
}

} // namespace

qint64 claimFile(sqlite3* db) {
    const std::optional<Identity> id = readIdentity(db);
    const std::optional<FileMark> now = currentFile(db);
    if (!id || !now)
        return id ? id->replicaId : 0;
    const std::optional<FileMark> mark = fileMark(db);
    if (mark && mark->device == now->device && mark->inode == now->inode)
        return id->replicaId;
    if (sqlite3_db_readonly(db, "main") == 1)
        return id->replicaId; // cannot be written: an exchange refuses it anyway
    exec(db, QStringLiteral("BEGIN IMMEDIATE"));
    try {
        qint64 me = id->replicaId;
        if (mark)
            me = becomeCopy(db, me);
        FileMark here = *now;
        here.clock = readClock(db).now;
        storeFileMark(db, here);
        exec(db, QStringLiteral("COMMIT"));
        return me;
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

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
    if (std::optional<FileMark> here = currentFile(raw))
        storeFileMark(raw, FileMark{here->device, here->inode, clock.now});
    tx.commit();
}

void makeReplica(Database& db, const QString& path, const QString& description) {
    if (isRemote(path)) {
        // Made here as any replica, then sent whole to its place, where it is put in place under its name.
        parseRemote(path);
        QTemporaryDir here;
        if (!here.isValid())
            throw Error::make(err::DiskIo, here.errorString());
        const QString made = QDir(here.path()).filePath(QStringLiteral("replica.mdb"));
        makeReplica(db, made, description);
        makeRemoteReplica(made, identity(db), path);
        return;
    }
    identity(db);
    claimFile(db.rawHandle());
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
    // The copy starts from the source's versions, its own users' latest changes included, and with what its
    // writers left unsound put right: the copy will not judge versions that are not its own. Nothing to put
    // right leaves the source's file exactly as it was, so a copy that then fails (a full disk) changes
    // nothing.
    settleOwnChanges(Member{db.rawHandle(), source.replicaId});
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

SyncStats synchronizeWithStats(Database& db, const QString& partnerPath, int mode, int batchSize,
                               bool acceptClockAhead) {
    if (mode != SyncExport && mode != SyncImport && mode != SyncImpExp)
        throw Error::make(err::InvalidExchangeMode, QString::number(mode));
    if (isRemote(partnerPath))
        return synchronizeRemote(db, partnerPath, mode, batchSize, acceptClockAhead);
    identity(db);
    claimFile(db.rawHandle());
    const Identity me = identity(db);
    checkDatabasePath(partnerPath);
    if (!QFileInfo::exists(partnerPath))
        throw Error::make(err::FileNotFoundDb, partnerPath);
    if (sameFile(db.path(), partnerPath))
        throw Error::make(err::SyncWithSelf, partnerPath);

    auto partner = Database::open(partnerPath);
    if (!readIdentity(partner->rawHandle()))
        throw Error::make(err::NotAReplica, partnerPath);
    requireIdentity(partner->rawHandle(), partnerPath);
    claimFile(partner->rawHandle());
    const auto them = readIdentity(partner->rawHandle());
    if (them->setId != me.setId)
        throw Error::make(err::DifferentReplicaSet, partnerPath);
    if (them->replicaId == me.replicaId)
        throw Error::make(err::SyncWithSelf, partnerPath);

    const Member self{db.rawHandle(), me.replicaId};
    const Member other{partner->rawHandle(), them->replicaId};
    // Each member's account of the pair, read from its file, as a partner behind SSH would give it.
    const Standing mine = standingOf(self.db, other.id);
    const Standing theirs = standingOf(other.db, self.id);
    refuseExpired(mine, db.path(), theirs, partnerPath);
    // A large exchange walks each table, its shadow and its index at once: with the default cache (2 MB) the
    // engine writes changed pages out before the commit, and syncs the journal to do so.
    for (const Member& m : {self, other})
        exec(m.db, QStringLiteral("PRAGMA cache_size = -65536"));
    // Values of megabytes pass through both caches: the engine gives pages back before the two caches
    // together hold more than this, so an exchange's memory stays bounded whatever the values' size.
    const SoftHeapLimit bounded(96LL * 1024 * 1024);
    // What the exchange writes into the tables is not a change of their users: the capture triggers are
    // left out of this connection's statements altogether (they would stay silent anyway).
    const TriggersOff quiet{{self.db, other.db}};
    // Each member first puts right what its own writers left unsound, as its partners will when they receive
    // it, whether or not anything is exchanged.
    settleOwnChanges(self);
    settleOwnChanges(other);
    const qint64 untrusted = putBack(mine, theirs); // the marks are as they were: settling moves none
    SyncStats stats;
    if (mode == SyncImport || mode == SyncImpExp)
        stats.imported = transfer(other, self, batchSize, untrusted, acceptClockAhead);
    if (mode == SyncExport || mode == SyncImpExp)
        stats.exported = transfer(self, other, batchSize, untrusted, acceptClockAhead);
    afterExchange(self, other, mode != SyncExport, mode != SyncImport);
    return stats;
}

QStringList divergences(Database& db) {
    sqlite3* raw = db.rawHandle();
    const Identity me = identity(db);
    exec(raw, QStringLiteral("BEGIN")); // one consistent state of the file
    QStringList found;
    try {
        Side side = alone(raw);
        DirectionStats ignored;
        Receiver check(raw, me.replicaId, side.pointers(), side.links, nullptr, ignored);
        for (size_t t = 0; t < side.stores.size(); ++t) {
            const TableInfo& info = side.stores[t]->info();
            if (!info.keyed)
                continue;
            QStringList keys, joined, logged;
            for (int i = 0; i < info.keys.size(); ++i) {
                keys << QStringLiteral("k%1").arg(i);
                joined << QStringLiteral("S.k%1 = T.%2").arg(i).arg(quoteIdentifier(info.keys[i]));
                logged << QStringLiteral("L.k%1 = S.k%1").arg(i);
            }
            // Rows changed by the member's own writers since it last exchanged are not versions yet: they
            // are judged once they are.
            Statement rows(raw, QStringLiteral("SELECT %1 FROM %2 S WHERE NOT EXISTS (SELECT 1 FROM "
                                               "\"_pell_log\" L WHERE L.tbl = ?1 AND %3)")
                                    .arg(keys.join(u','), quoteIdentifier(info.shadow),
                                         logged.join(QStringLiteral(" AND "))));
            rows.bind(1, info.id);
            while (rows.step()) {
                const QString problem = check.divergence(int(t), readRow(rows.raw(), 0, int(keys.size())));
                if (!problem.isEmpty())
                    found << problem;
            }
            QStringList tableKeys;
            for (const QString& k : info.keys)
                tableKeys << QStringLiteral("T.") + quoteIdentifier(k);
            QString unlogged = logged.join(QStringLiteral(" AND "));
            unlogged.replace(QStringLiteral("= S.k"), QStringLiteral("= T.k"));
            for (int i = 0; i < info.keys.size(); ++i)
                unlogged.replace(QStringLiteral("T.k%1").arg(i),
                                 QStringLiteral("T.") + quoteIdentifier(info.keys[i]));
            Statement strays(
                raw, QStringLiteral("SELECT %1 FROM %2 T WHERE NOT EXISTS (SELECT 1 FROM %3 S WHERE "
                                    "%4) AND NOT EXISTS (SELECT 1 FROM \"_pell_log\" L WHERE "
                                    "L.tbl = ?1 AND %5)")
                         .arg(tableKeys.join(u','), quoteIdentifier(info.name), quoteIdentifier(info.shadow),
                              joined.join(QStringLiteral(" AND ")), unlogged));
            strays.bind(1, info.id);
            while (strays.step())
                found << info.name + u' ' + keyText(readRow(strays.raw(), 0, int(info.keys.size()))) +
                             QStringLiteral(": stands without any version");
        }
    } catch (...) {
        sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
    return found;
}

void recordOwnChanges(Database& db) {
    identity(db);
    settleOwnChanges(Member{db.rawHandle(), claimFile(db.rawHandle())});
}

void synchronize(Database& db, const QString& partnerPath, int mode) {
    synchronizeWithStats(db, partnerPath, mode);
}

} // namespace pell::db::replication
