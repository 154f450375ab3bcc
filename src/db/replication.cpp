#include "db/replication.h"

#include "db/database.h"
#include "db/error.h"
#include "db/replication_capture.h"
#include "db/replication_exchange.h"

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

// A file being made that disappears unless kept.
class PendingFile {
public:
    explicit PendingFile(QString path) : m_path(std::move(path)) {}
    ~PendingFile() {
        if (!m_kept) {
            QFile::remove(m_path);
            QFile::remove(m_path + QStringLiteral("-journal"));
        }
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    const QString& path() const { return m_path; }
    void keep() { m_kept = true; }

private:
    QString m_path;
    bool m_kept = false;
};

QString pendingPathFor(const QString& path) {
    const QFileInfo info(path);
    for (;;) {
        const QString candidate = info.absoluteDir().filePath(
            QStringLiteral(".%1.%2.making")
                .arg(info.fileName())
                .arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0')));
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

// Turns a fresh copy of a member into a new replica of the same set.
void becomeReplica(sqlite3* copy, const Identity& source, const QString& description) {
    using capture::exec;
    exec(copy, QStringLiteral("BEGIN IMMEDIATE"));
    const qint64 me = newIdentity();
    Statement identity(
        copy, QStringLiteral("UPDATE \"_pell_replica\" SET replica_id=?1, description=?2, created=?3"));
    identity.bindAll(
        {me, description, QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))});
    identity.run();
    exec(copy, QStringLiteral("DELETE FROM \"_pell_conflicts\""));
    // What others had seen of the source they have seen of the copy's identical numbering, and the copy
    // has seen whatever the source had.
    Statement learned(
        copy, QStringLiteral(
                  "INSERT OR REPLACE INTO \"_pell_watermarks\" SELECT sender, ?2, tbl, kind, seq FROM "
                  "\"_pell_watermarks\" WHERE receiver=?1 UNION ALL SELECT ?2, receiver, tbl, kind, seq FROM "
                  "\"_pell_watermarks\" WHERE sender=?1"));
    learned.bindAll({source.replicaId, me});
    learned.run();
    for (const capture::TableInfo& t : capture::registeredTables(copy)) {
        capture::installTriggers(copy, t, me);
        Statement top(copy,
                      QStringLiteral("SELECT coalesce(max(seq),0) FROM %1").arg(quoteIdentifier(t.shadow)));
        top.step();
        const qint64 seq = top.int64(0);
        Statement mark(copy,
                       QStringLiteral("INSERT OR REPLACE INTO \"_pell_watermarks\" VALUES (?1,?2,?3,?4,?5)"));
        for (int kind : {0, 1}) {
            mark.bindAll({source.replicaId, me, t.name, kind, seq});
            mark.run();
            mark.bindAll({me, source.replicaId, t.name, kind, seq});
            mark.run();
        }
    }
    exec(copy, QStringLiteral("COMMIT"));
}

} // namespace

bool isReplicable(Database& db) {
    return capture::readIdentity(db.rawHandle()).has_value();
}

Identity identity(Database& db) {
    auto id = capture::readIdentity(db.rawHandle());
    if (!id)
        throw Error::make(err::NotReplicable, db.path());
    return *id;
}

void convertToMaster(Database& db) {
    if (!db.exclusive())
        throw Error::make(err::FileInUse);
    sqlite3* raw = db.rawHandle();
    if (capture::readIdentity(raw))
        return;
    WriteTransaction tx(db);
    QStringList tables;
    {
        Statement list(raw,
                       QStringLiteral("SELECT name FROM sqlite_schema WHERE type='table' AND sql NOT LIKE "
                                      "'CREATE VIRTUAL%' ORDER BY name"));
        while (list.step()) {
            const QString name = list.value(0).toString();
            if (!Database::isEngineTable(name))
                tables << name;
        }
    }
    const qint64 me = newIdentity();
    capture::createMetadata(raw, newIdentity(), me, QStringLiteral("master"));
    for (const QString& name : tables) {
        const capture::TableInfo t = capture::describeTable(raw, name);
        capture::createShadow(raw, t, me);
        capture::installTriggers(raw, t, me);
    }
    tx.commit();
}

void makeReplica(Database& db, const QString& path, const QString& description) {
    const Identity source = identity(db);
    checkDatabasePath(path);
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
        throw Error::make(err::DatabaseExists, path);
    if (!QFileInfo(QFileInfo(path).absolutePath()).isWritable())
        throw Error::make(err::NoPermission, path);

    // VACUUM INTO reads the source in one read transaction: a consistent copy while others go on reading;
    // the copy is made under a hidden name and only appears at the path once it is a complete replica.
    PendingFile pending(pendingPathFor(path));
    db.execute(QStringLiteral("VACUUM INTO ?1"), {pending.path()});
    {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(QFile::encodeName(pending.path()).constData(), &raw,
                                       SQLITE_OPEN_READWRITE, nullptr);
        SqliteHandle copy(raw);
        if (rc != SQLITE_OK)
            throwSqlite(raw, rc, path);
        check(raw, sqlite3_extended_result_codes(raw, 1));
        capture::exec(raw, QStringLiteral("PRAGMA journal_mode=DELETE"));
        becomeReplica(raw, source, description);
    }
    if (QFileInfo::exists(path) || !QFile::rename(pending.path(), path))
        throw Error::make(err::DatabaseExists, path);
    pending.keep();
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
    const auto them = capture::readIdentity(partner->rawHandle());
    if (!them)
        throw Error::make(err::NotAReplica, partnerPath);
    if (them->setId != me.setId)
        throw Error::make(err::DifferentReplicaSet, partnerPath);
    if (them->replicaId == me.replicaId)
        throw Error::make(err::SyncWithSelf, partnerPath);

    const exchange::Member self{db.rawHandle(), me.replicaId};
    const exchange::Member other{partner->rawHandle(), them->replicaId};
    SyncStats stats;
    if (mode == SyncImport || mode == SyncImpExp)
        stats.imported = exchange::transfer(other, self, batchSize);
    if (mode == SyncExport || mode == SyncImpExp)
        stats.exported = exchange::transfer(self, other, batchSize);
    return stats;
}

void synchronize(Database& db, const QString& partnerPath, int mode) {
    synchronizeWithStats(db, partnerPath, mode);
}

} // namespace pell::db::replication
