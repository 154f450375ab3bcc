#include "db/replication_capture.h"

#include "db/error.h"
#include "db/statement.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sqlite3.h>

namespace pell::db::replication::capture {

namespace {

QString q(const QString& name) {
    return quoteIdentifier(name);
}

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

QString keyColumn(int i) {
    return QStringLiteral("k%1").arg(i);
}

// The shadow's next change number. The change number is the shadow's rowid, so "everything after N"
// is one range read, and a first version costs one append to the table and one to its key index.
QString nextSeq(const TableInfo& t) {
    return QStringLiteral("(SELECT coalesce(max(seq),0)+1 FROM %1)").arg(q(t.shadow));
}

// A version's history; a missing vector stands for the single change its origin made.
const QString History = QStringLiteral("coalesce(vv,json_object(CAST(origin AS TEXT),oc))");

// SET list that records one more local change on an existing shadow row.
QString bump(qint64 me, bool deleted, const QString& seq) {
    const QString path = QStringLiteral("'$.\"%1\"'").arg(me);
    const QString mine = QStringLiteral("coalesce(json_extract(%1,%2),0)+1").arg(History, path);
    return QStringLiteral("vv=json_set(%1,%2,%3), ver=ver+1, del=%4, origin=%5, oc=%3, src=NULL, seq=%6")
        .arg(History, path, mine, deleted ? QStringLiteral("1") : QStringLiteral("0"), QString::number(me),
             seq);
}

const QString NotApplying = QStringLiteral("NOT EXISTS (SELECT 1 FROM \"_pell_applying\")");

} // namespace

QString vectorText(const Vector& v) {
    QJsonObject o;
    for (auto it = v.cbegin(); it != v.cend(); ++it)
        o.insert(QString::number(it.key()), double(it.value()));
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

Vector parseVector(const QString& text) {
    Vector v;
    const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
    for (auto it = o.begin(); it != o.end(); ++it)
        v.insert(it.key().toLongLong(), qint64(it.value().toDouble()));
    return v;
}

void exec(sqlite3* db, const QString& sql) {
    const QByteArray text = sql.toUtf8();
    const int rc = sqlite3_exec(db, text.constData(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        throwSqlite(db, rc);
}

std::optional<Identity> readIdentity(sqlite3* db) {
    Statement exists(db, QStringLiteral("SELECT 1 FROM sqlite_schema WHERE type='table' AND name=?1"));
    exists.bind(1, ReplicaTable);
    if (!exists.step())
        return std::nullopt;
    Statement row(db, QStringLiteral("SELECT set_id, replica_id, description FROM \"_pell_replica\""));
    if (!row.step())
        return std::nullopt;
    return Identity{row.int64(0), row.int64(1), row.value(2).toString()};
}

QList<TableInfo> registeredTables(sqlite3* db) {
    QList<TableInfo> tables;
    Statement stmt(
        db, QStringLiteral("SELECT name, shadow, keyed, keys, columns FROM \"_pell_tables\" ORDER BY name"));
    while (stmt.step())
        tables << TableInfo{stmt.value(0).toString(), stmt.value(1).toString(), stmt.int64(2) != 0,
                            parseList(stmt.value(3).toString()), parseList(stmt.value(4).toString())};
    return tables;
}

void createMetadata(sqlite3* db, qint64 setId, qint64 replicaId, const QString& description) {
    exec(db, QStringLiteral(
                 "CREATE TABLE \"_pell_replica\" (set_id INTEGER NOT NULL, replica_id INTEGER NOT NULL, "
                 "description TEXT, created TEXT)"));
    exec(db, QStringLiteral(
                 "CREATE TABLE \"_pell_tables\" (name TEXT PRIMARY KEY COLLATE NOCASE, shadow TEXT NOT "
                 "NULL, keyed INTEGER NOT NULL, keys TEXT, columns TEXT)"));
    // The sender's live versions (kind 0) or deletions (kind 1) of a table up to seq have reached the
    // receiver; such facts may be kept in either file.
    exec(db, QStringLiteral(
                 "CREATE TABLE \"_pell_watermarks\" (sender INTEGER NOT NULL, receiver INTEGER NOT NULL, "
                 "tbl TEXT NOT NULL COLLATE NOCASE, kind INTEGER NOT NULL, seq INTEGER NOT NULL, "
                 "PRIMARY KEY (sender, receiver, tbl, kind)) WITHOUT ROWID"));
    exec(db,
         QStringLiteral("CREATE TABLE \"_pell_conflicts\" (id INTEGER PRIMARY KEY, logged_at TEXT NOT NULL, "
                        "partner INTEGER, tbl TEXT NOT NULL, row_key TEXT, reason TEXT NOT NULL, "
                        "kept_origin INTEGER, kept_version TEXT, kept_row TEXT, "
                        "lost_origin INTEGER, lost_version TEXT, lost_row TEXT)"));
    // Holds a row only inside the transaction that applies a partner's versions: the triggers then stay
    // silent, so received changes are not recorded again as local ones.
    exec(db, QStringLiteral("CREATE TABLE \"_pell_applying\" (flag INTEGER)"));
    Statement insert(db, QStringLiteral("INSERT INTO \"_pell_replica\" VALUES (?1, ?2, ?3, ?4)"));
    insert.bindAll({setId, replicaId, description,
                    QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))});
    insert.run();
}

TableInfo describeTable(sqlite3* db, const QString& name) {
    TableInfo t;
    t.name = name;
    t.shadow = QStringLiteral("_pell_rows_") + name;
    QMap<int, QString> keys;
    Statement info(db, QStringLiteral("SELECT name, pk, hidden FROM pragma_table_xinfo(?1) ORDER BY cid"));
    info.bind(1, name);
    while (info.step()) {
        if (info.int64(2) != 0)
            continue; // generated and hidden columns are computed, never carried
        const QString column = info.value(0).toString();
        t.columns << column;
        if (info.int64(1) > 0)
            keys.insert(int(info.int64(1)), column);
    }
    t.keys = keys.values();
    t.keyed = !t.keys.isEmpty();
    return t;
}

QString fingerprint(const TableInfo& table, const QString& alias) {
    QStringList parts;
    for (const QString& c : table.columns)
        parts << QStringLiteral("quote(%1.%2)").arg(alias, q(c));
    return parts.join(QStringLiteral("||','||"));
}

void createShadow(sqlite3* db, const TableInfo& t, qint64 me) {
    const QString S = q(t.shadow);
    const QString versionColumns =
        QStringLiteral("vv TEXT, ver INTEGER NOT NULL, del INTEGER NOT NULL, "
                       "origin INTEGER NOT NULL, oc INTEGER NOT NULL, src INTEGER");
    const QString first = QStringLiteral("NULL, 1, 0, %1, 1, NULL").arg(me);
    if (t.keyed) {
        QStringList defs, names, sources, notNull;
        for (int i = 0; i < t.keys.size(); ++i) {
            const QByteArray table = t.name.toUtf8();
            const QByteArray column = t.keys[i].toUtf8();
            const char* declType = nullptr;
            const char* collation = nullptr;
            check(db, sqlite3_table_column_metadata(db, "main", table.constData(), column.constData(),
                                                    &declType, &collation, nullptr, nullptr, nullptr));
            defs << QStringLiteral("%1 %2 COLLATE %3 NOT NULL")
                        .arg(keyColumn(i), QString::fromUtf8(declType ? declType : ""),
                             QString::fromUtf8(collation ? collation : "BINARY"));
            names << keyColumn(i);
            sources << q(t.keys[i]);
            notNull << q(t.keys[i]) + QStringLiteral(" IS NOT NULL");
        }
        exec(db, QStringLiteral("CREATE TABLE %1 (seq INTEGER PRIMARY KEY, %2, %3, UNIQUE (%4))")
                     .arg(S, defs.join(QStringLiteral(", ")), versionColumns, names.join(u',')));
        exec(db, QStringLiteral(
                     "INSERT INTO %1 (%2, vv, ver, del, origin, oc, src) SELECT %3, %4 FROM %5 WHERE %6")
                     .arg(S, names.join(u','), sources.join(u','), first, q(t.name),
                          notNull.join(QStringLiteral(" AND "))));
    } else {
        exec(db, QStringLiteral(
                     "CREATE TABLE %1 (seq INTEGER PRIMARY KEY, gor INTEGER NOT NULL, gno INTEGER NOT NULL, "
                     "rid INTEGER, fp TEXT, %2, UNIQUE (gor, gno))")
                     .arg(S, versionColumns));
        exec(db, QStringLiteral("CREATE INDEX %1 ON %2 (fp)").arg(q(t.shadow + QStringLiteral("_fp")), S));
        exec(db, QStringLiteral("INSERT INTO %1 (gor, gno, rid, fp, vv, ver, del, origin, oc, src) "
                                "SELECT %2, row_number() OVER (), rowid, %3, %4 FROM %5")
                     .arg(S, QString::number(me), fingerprint(t, q(t.name)), first, q(t.name)));
    }
    Statement reg(db, QStringLiteral("INSERT INTO \"_pell_tables\" VALUES (?1, ?2, ?3, ?4, ?5)"));
    reg.bindAll({t.name, t.shadow, t.keyed ? 1 : 0, jsonList(t.keys), jsonList(t.columns)});
    reg.run();
}

void installTriggers(sqlite3* db, const TableInfo& t, qint64 me) {
    const QString S = q(t.shadow);
    const QString T = q(t.name);
    const QString ins = q(QStringLiteral("_pell_ins_") + t.name);
    const QString upd = q(QStringLiteral("_pell_upd_") + t.name);
    const QString del = q(QStringLiteral("_pell_del_") + t.name);
    for (const QString& trigger : {ins, upd, del})
        exec(db, QStringLiteral("DROP TRIGGER IF EXISTS %1").arg(trigger));
    const QString seq = nextSeq(t);
    const QString meText = QString::number(me);
    const QString first = QStringLiteral("NULL, 1, 0, %1, 1, NULL").arg(me);
    const QString and_ = QStringLiteral(" AND ");
    if (t.keyed) {
        QStringList names, fromNew, matchOld, matchNew, newNotNull;
        for (int i = 0; i < t.keys.size(); ++i) {
            names << keyColumn(i);
            fromNew << QStringLiteral("NEW.") + q(t.keys[i]);
            matchOld << QStringLiteral("%1=OLD.%2").arg(keyColumn(i), q(t.keys[i]));
            matchNew << QStringLiteral("%1=NEW.%2").arg(keyColumn(i), q(t.keys[i]));
            newNotNull << QStringLiteral("NEW.%1 IS NOT NULL").arg(q(t.keys[i]));
        }
        // A row with a missing key has no identity and is not followed.
        const QString when = newNotNull.join(and_) + and_ + NotApplying;
        const QString upsertNew =
            QStringLiteral("INSERT INTO %1 (%2, vv, ver, del, origin, oc, src) VALUES (%3, %4) "
                           "ON CONFLICT (%2) DO UPDATE SET %5;")
                .arg(S, names.join(u','), fromNew.join(u','), first, bump(me, false, seq));
        exec(db, QStringLiteral("CREATE TRIGGER %1 AFTER INSERT ON %2 WHEN %3 BEGIN %4 END")
                     .arg(ins, T, when, upsertNew));
        // A changed key ends the old identity (a tombstone) and starts or revives the new one.
        exec(db, QStringLiteral("CREATE TRIGGER %1 AFTER UPDATE ON %2 WHEN %3 BEGIN "
                                "UPDATE %4 SET %5 WHERE %6 AND NOT (%7); %8 END")
                     .arg(upd, T, when, S, bump(me, true, seq), matchOld.join(and_), matchNew.join(and_),
                          upsertNew));
        exec(db, QStringLiteral(
                     "CREATE TRIGGER %1 AFTER DELETE ON %2 WHEN %3 BEGIN UPDATE %4 SET %5 WHERE %6; END")
                     .arg(del, T, NotApplying, S, bump(me, true, seq), matchOld.join(and_)));
    } else {
        // Rowids of a table without a key may be renumbered by VACUUM, so a row is found by its content,
        // its last known rowid only deciding between identical rows.
        const QString findOld =
            QStringLiteral("seq = (SELECT seq FROM %1 WHERE del=0 AND fp=%2 ORDER BY rid IS "
                           "OLD.rowid DESC LIMIT 1)")
                .arg(S, fingerprint(t, QStringLiteral("OLD")));
        exec(db,
             QStringLiteral("CREATE TRIGGER %1 AFTER INSERT ON %2 WHEN %3 BEGIN "
                            "INSERT INTO %4 (gor, gno, rid, fp, vv, ver, del, origin, oc, src) VALUES (%5, "
                            "(SELECT coalesce(max(gno),0)+1 FROM %4 WHERE gor=%5), NEW.rowid, %6, %7); END")
                 .arg(ins, T, NotApplying, S, meText, fingerprint(t, QStringLiteral("NEW")), first));
        exec(db, QStringLiteral("CREATE TRIGGER %1 AFTER UPDATE ON %2 WHEN %3 BEGIN "
                                "UPDATE %4 SET rid=NEW.rowid, fp=%5, %6 WHERE %7; END")
                     .arg(upd, T, NotApplying, S, fingerprint(t, QStringLiteral("NEW")), bump(me, false, seq),
                          findOld));
        exec(db, QStringLiteral("CREATE TRIGGER %1 AFTER DELETE ON %2 WHEN %3 BEGIN "
                                "UPDATE %4 SET rid=NULL, %5 WHERE %6; END")
                     .arg(del, T, NotApplying, S, bump(me, true, seq), findOld));
    }
}

} // namespace pell::db::replication::capture
