#include "db/replication/metadata.h"

#include "core/error.h"
#include "db/statement.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

#include <QFile>

#include <sqlite3.h>

#include <sys/stat.h>

namespace pell::db::replication {

namespace {

QString jsonList(const QStringList& list) {
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(list)).toJson(QJsonDocument::Compact));
}

QStringList parseList(const QString& text) {
    QStringList list;
    const QJsonArray array = QJsonDocument::fromJson(text.toUtf8()).array();
    for (const auto& v : array)
        list << v.toString();
    return list;
}

bool tableExists(sqlite3* db, const QString& name) {
    Statement exists(db, QStringLiteral("SELECT 1 FROM sqlite_schema WHERE type='table' AND name=?1"));
    exists.bind(1, name);
    return exists.step();
}

} // namespace

void exec(sqlite3* db, const QString& sql) {
    const QByteArray text = sql.toUtf8();
    const int rc = sqlite3_exec(db, text.constData(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        throwSqlite(db, rc);
}

std::optional<Identity> readIdentity(sqlite3* db) {
    if (!tableExists(db, names::Replica))
        return std::nullopt;
    Statement row(db, QStringLiteral("SELECT set_id, replica_id, description FROM \"_pell_replica\""));
    if (!row.step())
        return std::nullopt;
    return Identity{row.int64(0), row.int64(1), row.value(2).toString()};
}

Identity requireIdentity(sqlite3* db, const QString& path) {
    const auto id = readIdentity(db);
    if (!id)
        throw Error::make(err::NotReplicable, path);
    if (!tableExists(db, names::ClockTable))
        throw Error::make(err::OutdatedReplica, path);
    return *id;
}

void createMetadata(sqlite3* db, qint64 setId, qint64 replicaId, const QString& description) {
    exec(db, QStringLiteral("CREATE TABLE \"_pell_replica\" (set_id INTEGER NOT NULL, replica_id INTEGER NOT "
                            "NULL, description TEXT, created TEXT, format INTEGER NOT NULL)"));
    exec(db, QStringLiteral("CREATE TABLE \"_pell_clock\" (now INTEGER NOT NULL, own INTEGER NOT NULL, "
                            "settled INTEGER NOT NULL)"));
    exec(db, QStringLiteral("INSERT INTO \"_pell_clock\" VALUES (0, 0, 0)"));
    exec(db,
         QStringLiteral("CREATE TABLE \"_pell_tables\" (id INTEGER NOT NULL UNIQUE, name TEXT PRIMARY KEY "
                        "COLLATE NOCASE, shadow TEXT NOT NULL, keep TEXT, keyed INTEGER NOT NULL, keys TEXT, "
                        "columns TEXT, restrict_parent INTEGER NOT NULL)"));
    // The member's own changes to keyed tables, in commit order, until they are folded into versions.
    exec(db, QStringLiteral(
                 "CREATE TABLE \"_pell_log\" (seq INTEGER PRIMARY KEY, t INTEGER NOT NULL, tbl INTEGER "
                 "NOT NULL, op INTEGER NOT NULL, k0, k1, k2, k3, k4, k5, k6, k7)"));
    exec(db, QStringLiteral("CREATE TABLE \"_pell_links\" (child TEXT NOT NULL, columns TEXT NOT NULL, "
                            "parent TEXT NOT NULL, cascade INTEGER NOT NULL)"));
    exec(db, QStringLiteral("CREATE TABLE \"_pell_watermarks\" (sender INTEGER PRIMARY KEY, seq INTEGER NOT "
                            "NULL)"));
    // How far each receiver has read this member's stream, as far as this member knows: a receiver whose own
    // record is behind has been put back from an older copy.
    exec(db,
         QStringLiteral("CREATE TABLE \"_pell_sent\" (receiver INTEGER PRIMARY KEY, seq INTEGER NOT NULL)"));
    exec(db, QStringLiteral("CREATE TABLE \"_pell_known\" (writer INTEGER PRIMARY KEY, clock INTEGER NOT "
                            "NULL)"));
    // A conflict is named by the row and the version that lost, so the same loss seen by two members is one
    // conflict. Rows are kept in an exact encoding; the texts are for people.
    exec(db,
         QStringLiteral(
             "CREATE TABLE \"_pell_conflicts\" (id INTEGER PRIMARY KEY, seq INTEGER NOT NULL, "
             "tbl TEXT NOT NULL, row_key BLOB NOT NULL, key_text TEXT NOT NULL, reason TEXT NOT NULL, "
             "lost_writer INTEGER NOT NULL, lost_clock INTEGER NOT NULL, lost_deleted INTEGER NOT NULL, "
             "lost_row BLOB, kept_writer INTEGER, kept_clock INTEGER, kept_deleted INTEGER, kept_row BLOB, "
             "logged_at TEXT NOT NULL, logged_by INTEGER NOT NULL, logged_clock INTEGER NOT NULL, "
             "logged_by_name TEXT, state TEXT NOT NULL DEFAULT 'open', "
             "state_clock INTEGER NOT NULL DEFAULT 0, state_writer INTEGER NOT NULL DEFAULT 0, "
             "UNIQUE (tbl, row_key, lost_writer, lost_clock))"));
    exec(db, QStringLiteral("CREATE INDEX \"_pell_conflicts_seq\" ON \"_pell_conflicts\" (seq)"));
    // Holds a row only inside the transaction that applies a partner's versions: the capture triggers then
    // stay silent, so received changes are not recorded again as local ones.
    exec(db, QStringLiteral("CREATE TABLE \"_pell_applying\" (flag INTEGER)"));
    Statement insert(db, QStringLiteral("INSERT INTO \"_pell_replica\" VALUES (?1, ?2, ?3, ?4, ?5)"));
    insert.bindAll({setId, replicaId, description,
                    QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), Format});
    insert.run();
}

std::optional<FileMark> fileMark(sqlite3* db) {
    if (!tableExists(db, names::File))
        return std::nullopt;
    Statement s(db, QStringLiteral("SELECT device, inode, clock FROM \"_pell_file\""));
    if (!s.step())
        return std::nullopt;
    return FileMark{s.int64(0), s.int64(1), s.int64(2)};
}

std::optional<FileMark> currentFile(sqlite3* db) {
    const char* name = sqlite3_db_filename(db, "main");
    struct stat st {};
    if (!name || !*name || ::stat(name, &st) != 0)
        return std::nullopt;
    return FileMark{qint64(st.st_dev), qint64(st.st_ino), 0};
}

void storeFileMark(sqlite3* db, const FileMark& mark) {
    exec(db,
         QStringLiteral("CREATE TABLE IF NOT EXISTS \"_pell_file\" (device INTEGER NOT NULL, inode INTEGER "
                        "NOT NULL, clock INTEGER NOT NULL)"));
    exec(db, QStringLiteral("DELETE FROM \"_pell_file\""));
    Statement s(db, QStringLiteral("INSERT INTO \"_pell_file\" VALUES (?1, ?2, ?3)"));
    s.bindAll({mark.device, mark.inode, mark.clock});
    s.run();
}

QList<TableInfo> registeredTables(sqlite3* db) {
    QList<TableInfo> tables;
    Statement stmt(db,
                   QStringLiteral("SELECT id, name, shadow, keep, keyed, keys, columns, restrict_parent FROM "
                                  "\"_pell_tables\" ORDER BY name"));
    while (stmt.step()) {
        TableInfo t;
        t.id = stmt.int64(0);
        t.name = stmt.value(1).toString();
        t.shadow = stmt.value(2).toString();
        t.keep = stmt.value(3).toString();
        t.keyed = stmt.int64(4) != 0;
        t.keys = parseList(stmt.value(5).toString());
        t.columns = parseList(stmt.value(6).toString());
        t.restrictParent = stmt.int64(7) != 0;
        tables << t;
    }
    return tables;
}

void registerTable(sqlite3* db, const TableInfo& t) {
    Statement reg(db, QStringLiteral("INSERT INTO \"_pell_tables\" VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"));
    reg.bindAll({t.id, t.name, t.shadow, t.keep.isEmpty() ? QVariant() : QVariant(t.keep), t.keyed ? 1 : 0,
                 jsonList(t.keys), jsonList(t.columns), t.restrictParent ? 1 : 0});
    reg.run();
}

QList<Link> links(sqlite3* db) {
    QList<Link> list;
    Statement stmt(db, QStringLiteral("SELECT child, columns, parent, cascade FROM \"_pell_links\" ORDER BY "
                                      "rowid"));
    while (stmt.step())
        list << Link{stmt.value(0).toString(), parseList(stmt.value(1).toString()), stmt.value(2).toString(),
                     stmt.int64(3) != 0};
    return list;
}

void registerLink(sqlite3* db, const Link& link) {
    Statement reg(db, QStringLiteral("INSERT INTO \"_pell_links\" VALUES (?1, ?2, ?3, ?4)"));
    reg.bindAll({link.child, jsonList(link.columns), link.parent, link.cascade ? 1 : 0});
    reg.run();
}

Clock readClock(sqlite3* db) {
    Statement s(db, QStringLiteral("SELECT now, own, settled FROM \"_pell_clock\""));
    if (!s.step())
        return {};
    return Clock{s.int64(0), s.int64(1), s.int64(2)};
}

void writeClock(sqlite3* db, const Clock& clock) {
    Statement s(db, QStringLiteral("UPDATE \"_pell_clock\" SET now=?1, own=?2, settled=?3"));
    s.bindAll({clock.now, clock.own, clock.settled});
    s.run();
}

qint64 wallClock() {
    bool injected = false;
    const QByteArray now = qgetenv("PELL_TEST_NOW_MS");
    if (!now.isEmpty()) {
        const qint64 value = now.toLongLong(&injected);
        if (injected)
            return value << 20;
    }
    return QDateTime::currentMSecsSinceEpoch() << 20;
}

Clocks known(sqlite3* db, qint64 me) {
    Clocks clocks;
    Statement s(db, QStringLiteral("SELECT writer, clock FROM \"_pell_known\""));
    while (s.step())
        clocks.insert(s.int64(0), s.int64(1));
    const qint64 own = readClock(db).own;
    if (own > 0)
        clocks[me] = qMax(clocks.value(me), own);
    return clocks;
}

void storeKnown(sqlite3* db, const Clocks& clocks, qint64 me) {
    Statement s(db, QStringLiteral("INSERT INTO \"_pell_known\" VALUES (?1, ?2) ON CONFLICT (writer) DO "
                                   "UPDATE SET clock = max(clock, excluded.clock)"));
    for (auto it = clocks.cbegin(); it != clocks.cend(); ++it) {
        if (it.key() == me)
            continue; // a member's own changes are counted by its clock
        s.bindAll({it.key(), it.value()});
        s.run();
        s.reset();
    }
}

qint64 sentTo(sqlite3* db, qint64 receiver) {
    Statement s(db, QStringLiteral("SELECT seq FROM \"_pell_sent\" WHERE receiver=?1"));
    s.bind(1, receiver);
    return s.step() ? s.int64(0) : 0;
}

void storeSent(sqlite3* db, qint64 receiver, qint64 seq) {
    Statement s(db, QStringLiteral("INSERT INTO \"_pell_sent\" VALUES (?1, ?2) ON CONFLICT (receiver) DO "
                                   "UPDATE SET seq = excluded.seq"));
    s.bindAll({receiver, seq});
    s.run();
}

qint64 watermark(sqlite3* db, qint64 sender) {
    Statement s(db, QStringLiteral("SELECT seq FROM \"_pell_watermarks\" WHERE sender=?1"));
    s.bind(1, sender);
    return s.step() ? s.int64(0) : 0;
}

void storeWatermark(sqlite3* db, qint64 sender, qint64 seq) {
    Statement s(db, QStringLiteral("INSERT INTO \"_pell_watermarks\" VALUES (?1, ?2) ON CONFLICT (sender) DO "
                                   "UPDATE SET seq = excluded.seq"));
    s.bindAll({sender, seq});
    s.run();
}

} // namespace pell::db::replication
