#include "db/replication/capture.h"

#include "core/error.h"
#include "db/schema.h"
#include "db/statement.h"

#include <QMap>

#include <sqlite3.h>

namespace pell::db::replication {

namespace {

QString q(const QString& name) {
    return quoteIdentifier(name);
}

QString keyColumn(int i) {
    return QStringLiteral("k%1").arg(i);
}

const QString And = QStringLiteral(" AND ");
const QString NotApplying = QStringLiteral("NOT EXISTS (SELECT 1 FROM \"_pell_applying\")");

// One more local change: the clock moves past both its last value and this instant, and the change is the
// member's latest own change.
const QString WallClock =
    QStringLiteral("(CAST((julianday('now') - 2440587.5) * 86400000.0 AS INTEGER) << 20)");
const QString Tick =
    QStringLiteral("UPDATE \"_pell_clock\" SET now = max(now + 1, %1), own = max(now + 1, %1);")
        .arg(WallClock);
const QString Now = QStringLiteral("(SELECT now FROM \"_pell_clock\")");

// SET list that turns a shadow row into a new version made here: the version it replaces joins its history.
QString newVersion(qint64 me, bool deleted) {
    return QStringLiteral("hist = json_set(coalesce(hist, '{}'), '$.\"' || w || '\"', c), c = %1, w = %2, "
                          "del = %3, vis = %4, seq = %1")
        .arg(Now, QString::number(me), deleted ? QStringLiteral("1") : QStringLiteral("0"),
             deleted ? QStringLiteral("0") : QStringLiteral("1"));
}

struct Declared {
    QString type;
    QString collation;
};

Declared declaredOf(sqlite3* db, const QString& table, const QString& column) {
    const QByteArray t = table.toUtf8();
    const QByteArray c = column.toUtf8();
    const char* declType = nullptr;
    const char* collation = nullptr;
    check(db, sqlite3_table_column_metadata(db, "main", t.constData(), c.constData(), &declType, &collation,
                                            nullptr, nullptr, nullptr));
    return {QString::fromUtf8(declType ? declType : ""), QString::fromUtf8(collation ? collation : "BINARY")};
}

} // namespace

QString wallClockSql() {
    return WallClock;
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
    t.keyed = !t.keys.isEmpty() && t.keys.size() <= MaxLoggedKeys;
    if (t.keyed)
        t.keep = QStringLiteral("_pell_keep_") + name;
    return t;
}

QList<Link> describeLinks(sqlite3* db, const QList<TableInfo>& tables) {
    const auto find = [&](const QString& name) -> const TableInfo* {
        for (const TableInfo& t : tables)
            if (t.name.compare(name, Qt::CaseInsensitive) == 0)
                return &t;
        return nullptr;
    };
    const auto sameColumns = [](const QStringList& a, const QStringList& b) {
        if (a.size() != b.size())
            return false;
        for (qsizetype i = 0; i < a.size(); ++i)
            if (a[i].compare(b[i], Qt::CaseInsensitive) != 0)
                return false;
        return true;
    };
    QList<Link> result;
    for (const TableInfo& child : tables) {
        struct Declaration {
            QString parent;
            QStringList from, to;
            bool cascade = false;
        };
        QMap<qint64, Declaration> declared;
        Statement fk(db, QStringLiteral("SELECT id, \"table\", \"from\", \"to\", on_delete FROM "
                                        "pragma_foreign_key_list(?1) ORDER BY id, seq"));
        fk.bind(1, child.name);
        while (fk.step()) {
            Declaration& d = declared[fk.int64(0)];
            d.parent = fk.value(1).toString();
            d.from << fk.value(2).toString();
            if (!fk.isNull(3))
                d.to << fk.value(3).toString();
            d.cascade = fk.value(4).toString().compare(QLatin1String("CASCADE"), Qt::CaseInsensitive) == 0;
        }
        for (const Declaration& d : declared) {
            const TableInfo* parent = find(d.parent);
            if (!parent || !parent->keyed || !child.keyed)
                continue;
            if (!d.to.isEmpty() && !sameColumns(d.to, parent->keys))
                continue; // refers to another unique column: the engine keeps only keys whole
            result << Link{child.name, d.from, parent->name, d.cascade};
        }
    }
    for (const Relationship& r : undeclaredRelationships()) {
        const TableInfo* child = find(r.child);
        const TableInfo* parent = find(r.parent);
        if (!child || !parent || !child->keyed || !parent->keyed || parent->keys.size() != 1 ||
            !child->columns.contains(r.column, Qt::CaseInsensitive))
            continue;
        bool already = false;
        for (const Link& l : result)
            already |= l.child.compare(child->name, Qt::CaseInsensitive) == 0 && l.columns.size() == 1 &&
                       l.columns[0].compare(r.column, Qt::CaseInsensitive) == 0;
        if (!already)
            result << Link{child->name, {r.column}, parent->name, r.cascade};
    }
    return result;
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
        QStringLiteral("bc INTEGER NOT NULL, bw INTEGER NOT NULL, c INTEGER NOT NULL, w INTEGER NOT NULL, "
                       "del INTEGER NOT NULL, hist TEXT, vis INTEGER NOT NULL, pbc INTEGER, pbw INTEGER");
    Clock clock = readClock(db);
    const qint64 base = qMax(wallClock(), clock.now + 1) - 1;
    const QString first = QStringLiteral("?1 + i, %1, ?1 + i, %1, 0, NULL, 1").arg(me);
    if (t.keyed) {
        QStringList defs, names, sources, notNull;
        for (int i = 0; i < t.keys.size(); ++i) {
            const Declared d = declaredOf(db, t.name, t.keys[i]);
            defs << QStringLiteral("%1 %2 COLLATE %3 NOT NULL").arg(keyColumn(i), d.type, d.collation);
            names << keyColumn(i);
            sources << q(t.keys[i]);
            notNull << q(t.keys[i]) + QStringLiteral(" IS NOT NULL");
        }
        exec(db, QStringLiteral("CREATE TABLE %1 (seq INTEGER PRIMARY KEY, %2, %3, UNIQUE (%4))")
                     .arg(S, defs.join(QStringLiteral(", ")), versionColumns, names.join(u',')));
        Statement fill(
            db, QStringLiteral("WITH n AS (SELECT row_number() OVER () AS i, %1 FROM %2 WHERE %3) "
                               "INSERT INTO %4 (seq, %5, bc, bw, c, w, del, hist, vis) "
                               "SELECT ?1 + i, %1, %6 FROM n")
                    .arg(sources.join(u','), q(t.name), notNull.join(And), S, names.join(u','), first));
        fill.bind(1, base);
        fill.run();
        // Rows that exist in the replica set but not in the table: the content of a deleted row that others
        // still refer to, and rows whose parent is gone. Same columns, no constraints but the key.
        QStringList keepDefs, keepKeys;
        for (const QString& c : t.columns) {
            const Declared d = declaredOf(db, t.name, c);
            const bool key = t.keys.contains(c);
            keepDefs << QStringLiteral("%1 %2%3").arg(
                q(c), d.type, key ? QStringLiteral(" COLLATE ") + d.collation : QString());
        }
        for (const QString& k : t.keys)
            keepKeys << q(k);
        exec(db,
             QStringLiteral("CREATE TABLE %1 (%2, \"_pell_bc\" INTEGER, \"_pell_bw\" INTEGER, \"_pell_c\" "
                            "INTEGER, \"_pell_w\" INTEGER, PRIMARY KEY (%3))")
                 .arg(q(t.keep), keepDefs.join(QStringLiteral(", ")), keepKeys.join(u',')));
    } else {
        exec(db, QStringLiteral(
                     "CREATE TABLE %1 (seq INTEGER PRIMARY KEY, gor INTEGER NOT NULL, gno INTEGER NOT NULL, "
                     "rid INTEGER, fp TEXT, %2, UNIQUE (gor, gno))")
                     .arg(S, versionColumns));
        exec(db, QStringLiteral("CREATE INDEX %1 ON %2 (fp)").arg(q(t.shadow + QStringLiteral("_fp")), S));
        Statement fill(db,
                       QStringLiteral("WITH n AS (SELECT row_number() OVER () AS i, rowid AS r, %1 AS f "
                                      "FROM %2) INSERT INTO %3 (seq, gor, gno, rid, fp, bc, bw, c, w, del, "
                                      "hist, vis) SELECT ?1 + i, %4, i, r, f, %5 FROM n")
                           .arg(fingerprint(t, q(t.name)), q(t.name), S, QString::number(me), first));
        fill.bind(1, base);
        fill.run();
    }
    const qint64 added = sqlite3_changes64(db);
    clock.now = clock.own = qMax(clock.now, base + added);
    writeClock(db, clock);
    registerTable(db, t);
}

std::optional<Link> cascadeParentOf(const TableInfo& table, const QList<Link>& links) {
    for (const Link& l : links)
        if (l.cascade && l.child.compare(table.name, Qt::CaseInsensitive) == 0)
            return l;
    return std::nullopt;
}

void recordParents(sqlite3* db, const QList<TableInfo>& tables, const QList<Link>& links) {
    for (const TableInfo& t : tables) {
        const std::optional<Link> link = t.keyed ? cascadeParentOf(t, links) : std::nullopt;
        if (!link)
            continue;
        QStringList own, parent;
        for (int i = 0; i < t.keys.size(); ++i)
            own << QStringLiteral("T.%1 = %2.k%3").arg(q(t.keys[i]), q(t.shadow)).arg(i);
        for (int i = 0; i < link->columns.size(); ++i)
            parent << QStringLiteral("P.k%1 = T.%2").arg(i).arg(q(link->columns[i]));
        exec(db, QStringLiteral(
                     "UPDATE %1 SET (pbc, pbw) = (SELECT P.bc, P.bw FROM %2 T JOIN %3 P ON %4 WHERE %5)")
                     .arg(q(t.shadow), q(t.name), q(QStringLiteral("_pell_rows_") + link->parent),
                          parent.join(And), own.join(And)));
    }
}

void installTriggers(sqlite3* db, const TableInfo& t, qint64 me) {
    const QString S = q(t.shadow);
    const QString T = q(t.name);
    const QString meText = QString::number(me);
    const QString ins = q(QStringLiteral("_pell_ins_") + t.name);
    const QString upd = q(QStringLiteral("_pell_upd_") + t.name);
    const QString key = q(QStringLiteral("_pell_key_") + t.name);
    const QString del = q(QStringLiteral("_pell_del_") + t.name);
    for (const QString& trigger : {ins, upd, key, del})
        exec(db, QStringLiteral("DROP TRIGGER IF EXISTS %1").arg(trigger));
    // A row that comes (back) into existence is a new incarnation: its creation names it.
    const QString firstVersion = QStringLiteral("now, %1, now, %1, 0, NULL, 1").arg(meText);
    if (t.keyed) {
        // A change is logged, not applied to the shadow: one append per change, in the order the changes
        // commit. The member folds its log into versions before it exchanges (see fold.cpp).
        QStringList logKeys, fromNew, fromOld, newNotNull, sameKey, sameIdentity, keepColumns, fromOldColumns,
            set;
        for (int i = 0; i < t.keys.size(); ++i) {
            logKeys << QStringLiteral("k%1").arg(i);
            fromNew << QStringLiteral("NEW.") + q(t.keys[i]);
            fromOld << QStringLiteral("OLD.") + q(t.keys[i]);
            newNotNull << QStringLiteral("NEW.%1 IS NOT NULL").arg(q(t.keys[i]));
            sameKey << QStringLiteral("OLD.%1 IS NEW.%1").arg(q(t.keys[i]));
            // compared in the key's own collation: a change of case under NOCASE keeps the row
            sameIdentity << QStringLiteral("OLD.%1 = NEW.%1").arg(q(t.keys[i]));
        }
        for (const QString& c : t.columns) {
            keepColumns << q(c);
            fromOldColumns << QStringLiteral("OLD.") + q(c);
            set << QStringLiteral("%1 = excluded.%1").arg(q(c));
        }
        const QString log =
            QStringLiteral("INSERT INTO \"_pell_log\" (t, tbl, op, %1) ").arg(logKeys.join(u','));
        const QString head = QStringLiteral("%1, %2").arg(WallClock).arg(t.id);
        // A deleted row that a restrict relationship refers to keeps its content, so that its deletion can be
        // undone where rows still refer to it. The version the content belongs to is filled in by the fold.
        const auto keepOld = [&](const QString& condition) {
            if (!t.restrictParent)
                return QString();
            QStringList keys;
            for (const QString& k : t.keys)
                keys << q(k);
            return QStringLiteral("INSERT INTO %1 (%2) SELECT %3 WHERE %4 ON CONFLICT (%5) DO UPDATE SET %6;")
                .arg(q(t.keep), keepColumns.join(u','), fromOldColumns.join(u','), condition, keys.join(u','),
                     set.join(u','));
        };
        const QString when = newNotNull.join(And) + And + NotApplying;
        exec(db,
             QStringLiteral("CREATE TRIGGER %1 AFTER INSERT ON %2 WHEN %3 BEGIN %4VALUES (%5, 1, %6); END")
                 .arg(ins, T, when, log, head, fromNew.join(u',')));
        exec(db, QStringLiteral(
                     "CREATE TRIGGER %1 AFTER UPDATE ON %2 WHEN %3 AND %4 BEGIN %5VALUES (%6, 2, %7); END")
                     .arg(upd, T, when, sameKey.join(And), log, head, fromNew.join(u',')));
        // A changed key ends the old row (a deletion) and starts another, unless the key's collation holds
        // the two spellings for one.
        const QString same = u'(' + sameIdentity.join(And) + u')';
        exec(db,
             QStringLiteral(
                 "CREATE TRIGGER %1 AFTER UPDATE ON %2 WHEN %3 AND NOT (%4) BEGIN %5 "
                 "%6SELECT %7, 3, %8 WHERE NOT %9; %6VALUES (%7, CASE WHEN %9 THEN 2 ELSE 1 END, %10); END")
                 .arg(key, T, when, sameKey.join(And), keepOld(QStringLiteral("NOT ") + same), log, head,
                      fromOld.join(u','), same)
                 .arg(fromNew.join(u',')));
        exec(db,
             QStringLiteral("CREATE TRIGGER %1 AFTER DELETE ON %2 WHEN %3 BEGIN %4 %5VALUES (%6, 3, %7); END")
                 .arg(del, T, NotApplying, keepOld(QStringLiteral("true")), log, head, fromOld.join(u',')));
    } else {
        // Rowids of a table without a key may be renumbered by VACUUM, so a row is found by its content,
        // its last known rowid only deciding between identical rows.
        const QString findOld =
            QStringLiteral(
                "seq = (SELECT seq FROM %1 WHERE del = 0 AND fp = %2 ORDER BY rid IS OLD.rowid DESC "
                "LIMIT 1)")
                .arg(S, fingerprint(t, QStringLiteral("OLD")));
        exec(db, QStringLiteral("CREATE TRIGGER %1 AFTER INSERT ON %2 WHEN %3 BEGIN %4 "
                                "INSERT INTO %5 (seq, gor, gno, rid, fp, bc, bw, c, w, del, hist, vis) "
                                "SELECT now, %6, (SELECT coalesce(max(gno), 0) + 1 FROM %5 WHERE gor = %6), "
                                "NEW.rowid, %7, %8 FROM \"_pell_clock\"; END")
                     .arg(ins, T, NotApplying, Tick, S, meText, fingerprint(t, QStringLiteral("NEW")),
                          firstVersion));
        exec(db, QStringLiteral("CREATE TRIGGER %1 AFTER UPDATE ON %2 WHEN %3 BEGIN %4 "
                                "UPDATE %5 SET rid = NEW.rowid, fp = %6, %7 WHERE %8; END")
                     .arg(upd, T, NotApplying, Tick, S, fingerprint(t, QStringLiteral("NEW")),
                          newVersion(me, false), findOld));
        exec(db, QStringLiteral("CREATE TRIGGER %1 AFTER DELETE ON %2 WHEN %3 BEGIN %4 "
                                "UPDATE %5 SET rid = NULL, %6 WHERE %7; END")
                     .arg(del, T, NotApplying, Tick, S, newVersion(me, true), findOld));
    }
}

} // namespace pell::db::replication
