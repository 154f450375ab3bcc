#include "db/replication_exchange.h"

#include "db/error.h"
#include "db/replication_capture.h"
#include "db/replication_versions.h"
#include "db/statement.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

namespace pell::db::replication::exchange {

using capture::TableInfo;
using capture::Vector;

namespace {

QString q(const QString& name) {
    return quoteIdentifier(name);
}

// A transaction on one member: rolled back unless committed.
class Transaction {
public:
    Transaction(sqlite3* db, bool write) : m_db(db) {
        capture::exec(m_db, write ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"));
        m_open = true;
    }
    ~Transaction() {
        if (m_open)
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    // Returns the result code; the transaction stays open when COMMIT is refused.
    int tryCommit() {
        const int rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
            m_open = false;
        return rc;
    }

private:
    sqlite3* m_db;
    bool m_open = false;
};

QJsonValue jsonValue(const QVariant& v) {
    if (v.isNull())
        return QJsonValue();
    switch (v.typeId()) {
    case QMetaType::LongLong:
        return QJsonValue(v.toLongLong());
    case QMetaType::Double:
        return QJsonValue(v.toDouble());
    case QMetaType::QByteArray:
        return QJsonValue(QStringLiteral("x'") + QString::fromLatin1(v.toByteArray().toHex()) + u'\'');
    default:
        return QJsonValue(v.toString());
    }
}

QString image(const QStringList& columns, const QVariantList& values) {
    if (values.isEmpty())
        return {};
    QJsonObject o;
    for (int i = 0; i < columns.size() && i < values.size(); ++i)
        o.insert(columns[i], jsonValue(values[i]));
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QString keyText(const QVariantList& key) {
    QJsonArray a;
    for (const QVariant& v : key)
        a.append(jsonValue(v));
    return QString::fromUtf8(QJsonDocument(a).toJson(QJsonDocument::Compact));
}

QStringList currentColumns(sqlite3* db, const QString& table) {
    QStringList columns;
    Statement info(db,
                   QStringLiteral("SELECT name FROM pragma_table_xinfo(?1) WHERE hidden = 0 ORDER BY cid"));
    info.bind(1, table);
    while (info.step())
        columns << info.value(0).toString();
    return columns;
}

// Prepared statements reused for every row of a batch.
class Statements {
public:
    explicit Statements(sqlite3* db) : m_db(db) {}
    Statement& get(const QString& sql) {
        auto it = m_cache.find(sql);
        if (it == m_cache.end())
            it = m_cache.emplace(sql, std::make_unique<Statement>(m_db, sql)).first;
        it->second->reset();
        return *it->second;
    }

private:
    sqlite3* m_db;
    std::map<QString, std::unique_ptr<Statement>> m_cache;
};

// One version read from the sender.
struct Change {
    QVariantList key; // key values, or (origin, number) of a keyless row
    Version version;
    qint64 seq = 0;
    bool skip = false;   // the receiver made or already has this version
    bool hasRow = false; // content read (live versions only)
    QVariantList values;
};

// What both members share of one table.
struct Table {
    TableInfo info;
    QStringList columns;          // carried columns, present in both members
    qint64 watermark[2] = {0, 0}; // of live versions, of deletions
    qint64 top = 0;               // the sender's latest change number
};

// Reads versions of one table from the sender.
class Reader {
public:
    Reader(sqlite3* db, const Table& t, qint64 receiverId)
        : m_db(db), m_statements(db), m_table(t), m_receiver(receiverId) {
        const QString S = q(t.info.shadow);
        const QString T = q(t.info.name);
        QStringList cols;
        for (const QString& c : t.columns)
            cols << QStringLiteral("T.") + q(c);
        if (t.info.keyed) {
            QStringList keys, join;
            for (int i = 0; i < t.info.keys.size(); ++i) {
                keys << QStringLiteral("S.k%1").arg(i);
                join << QStringLiteral("T.%1 = S.k%2").arg(q(t.info.keys[i])).arg(i);
            }
            m_select = QStringLiteral(
                           "SELECT %1, S.vv, S.ver, S.del, S.origin, S.oc, S.src, S.seq, T.%2 IS NOT NULL%3 "
                           "FROM %4 S LEFT JOIN %5 T ON %6 AND S.del = 0 AND S.src IS NOT ?2 "
                           "WHERE S.seq > ?1 AND S.del = ?4 ORDER BY S.seq LIMIT ?3")
                           .arg(keys.join(u','), q(t.info.keys.constFirst()),
                                cols.isEmpty() ? QString() : u',' + cols.join(u','), S, T,
                                join.join(QStringLiteral(" AND ")));
        } else {
            m_select = QStringLiteral(
                           "SELECT S.gor, S.gno, S.vv, S.ver, S.del, S.origin, S.oc, S.src, S.seq, S.rid, "
                           "S.fp FROM %1 S WHERE S.seq > ?1 AND S.del = ?4 ORDER BY S.seq LIMIT ?3")
                           .arg(S);
            const QString fp = capture::fingerprint(t.info, QStringLiteral("T"));
            m_byHint = QStringLiteral("SELECT %1 FROM %2 T WHERE rowid = ?1 AND %3 = ?2")
                           .arg(cols.join(u','), T, fp);
            m_byContent =
                QStringLiteral("SELECT %1 FROM %2 T WHERE %3 = ?1 LIMIT 1").arg(cols.join(u','), T, fp);
        }
    }

    // Versions after `from`, at most `limit` of them, in change order.
    QList<Change> read(qint64 from, qint64 limit, bool deletions) {
        QList<Change> changes;
        Statement& s = m_statements.get(m_select);
        s.bind(1, from);
        if (m_table.info.keyed)
            s.bind(2, m_receiver);
        s.bind(3, limit);
        s.bind(4, deletions ? 1 : 0);
        const int keyCount = m_table.info.keyed ? int(m_table.info.keys.size()) : 2;
        while (s.step()) {
            Change c;
            for (int i = 0; i < keyCount; ++i)
                c.key << s.value(i);
            c.version = readVersion(s, keyCount);
            c.skip = !s.isNull(keyCount + 5) && s.int64(keyCount + 5) == m_receiver;
            c.seq = s.int64(keyCount + 6);
            if (!c.version.del && !c.skip) {
                if (m_table.info.keyed) {
                    c.hasRow = s.int64(keyCount + 7) != 0;
                    for (int i = 0; i < m_table.columns.size(); ++i)
                        c.values << s.value(keyCount + 8 + i);
                } else {
                    readKeyless(c, s.value(keyCount + 7), s.value(keyCount + 8));
                }
            }
            changes << c;
        }
        return changes;
    }

private:
    void readKeyless(Change& c, const QVariant& rid, const QVariant& fp) {
        Statement& hint = m_statements.get(m_byHint);
        hint.bindAll({rid, fp});
        if (hint.step()) {
            c.hasRow = true;
            for (int i = 0; i < m_table.columns.size(); ++i)
                c.values << hint.value(i);
            return;
        }
        Statement& content = m_statements.get(m_byContent);
        content.bind(1, fp);
        if (content.step()) {
            c.hasRow = true;
            for (int i = 0; i < m_table.columns.size(); ++i)
                c.values << content.value(i);
        }
    }

    sqlite3* m_db;
    Statements m_statements;
    const Table& m_table;
    qint64 m_receiver;
    QString m_select;
    QString m_byHint;
    QString m_byContent;
};

struct Local {
    Version version;
    qint64 rid = 0; // keyless: last known rowid
    QString fp;     // keyless: content fingerprint
};

// Applies versions of one table to the receiver, inside its open transaction.
class Applier {
public:
    Applier(sqlite3* db, const Table& t, qint64 senderId, qint64 receiverId, DirectionStats& stats)
        : m_db(db), m_statements(db), m_table(t), m_sender(senderId), m_me(receiverId), m_stats(stats) {
        const QString S = q(t.info.shadow);
        const QString T = q(t.info.name);
        QStringList cols, params, sets;
        for (int i = 0; i < t.columns.size(); ++i) {
            cols << q(t.columns[i]);
            params << QStringLiteral("?%1").arg(i + 1);
            sets << QStringLiteral("%1=?%2").arg(q(t.columns[i])).arg(i + 1);
        }
        const int n = int(t.columns.size());
        m_insert =
            QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)").arg(T, cols.join(u','), params.join(u','));
        const QString seq = QStringLiteral("(SELECT coalesce(max(seq),0)+1 FROM %1)").arg(S);
        const QString versionSet = QStringLiteral("vv=excluded.vv, ver=excluded.ver, del=excluded.del, "
                                                  "origin=excluded.origin, oc=excluded.oc, src=excluded.src, "
                                                  "seq=%1")
                                       .arg(seq);
        if (t.info.keyed) {
            QStringList shadowMatch, rowMatch, rowMatchAfter, keyNames, keyParams;
            for (int i = 0; i < t.info.keys.size(); ++i) {
                shadowMatch << QStringLiteral("k%1=?%2").arg(i).arg(i + 1);
                rowMatch << QStringLiteral("%1=?%2").arg(q(t.info.keys[i])).arg(i + 1);
                rowMatchAfter << QStringLiteral("%1=?%2").arg(q(t.info.keys[i])).arg(n + i + 1);
                keyNames << QStringLiteral("k%1").arg(i);
                keyParams << QStringLiteral("?%1").arg(i + 1);
            }
            const QString and_ = QStringLiteral(" AND ");
            const int k = int(t.info.keys.size());
            m_getShadow = QStringLiteral("SELECT vv, ver, del, origin, oc FROM %1 WHERE %2")
                              .arg(S, shadowMatch.join(and_));
            m_getRow =
                QStringLiteral("SELECT %1 FROM %2 WHERE %3").arg(cols.join(u','), T, rowMatch.join(and_));
            m_update = sets.isEmpty() ? QString()
                                      : QStringLiteral("UPDATE %1 SET %2 WHERE %3")
                                            .arg(T, sets.join(u','), rowMatchAfter.join(and_));
            m_remove = QStringLiteral("DELETE FROM %1 WHERE %2").arg(T, rowMatch.join(and_));
            m_putShadow =
                QStringLiteral("INSERT INTO %1 (%2, vv, ver, del, origin, oc, src) VALUES (%3, ?%4, ?%5, "
                               "?%6, ?%7, ?%8, ?%9) ON CONFLICT (%2) DO UPDATE SET %10")
                    .arg(S, keyNames.join(u','), keyParams.join(u','))
                    .arg(k + 1)
                    .arg(k + 2)
                    .arg(k + 3)
                    .arg(k + 4)
                    .arg(k + 5)
                    .arg(k + 6)
                    .arg(versionSet);
        } else {
            const QString fp = capture::fingerprint(t.info, QStringLiteral("T"));
            m_getShadow =
                QStringLiteral("SELECT vv, ver, del, origin, oc, rid, fp FROM %1 WHERE gor=?1 AND gno=?2")
                    .arg(S);
            m_getRow = QStringLiteral("SELECT rowid, %1 FROM %2 T WHERE rowid=?1 AND %3=?2")
                           .arg(cols.join(u','), T, fp);
            m_getRowByContent =
                QStringLiteral("SELECT rowid, %1 FROM %2 T WHERE %3=?1 LIMIT 1").arg(cols.join(u','), T, fp);
            m_update = QStringLiteral("UPDATE %1 SET %2 WHERE rowid=?%3").arg(T, sets.join(u',')).arg(n + 1);
            m_remove = QStringLiteral("DELETE FROM %1 WHERE rowid=?1").arg(T);
            m_fingerprint = QStringLiteral("SELECT %1 FROM %2 T WHERE rowid=?1").arg(fp, T);
            m_putShadow =
                QStringLiteral("INSERT INTO %1 (gor, gno, rid, fp, vv, ver, del, origin, oc, src) VALUES "
                               "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) ON CONFLICT (gor, gno) DO UPDATE "
                               "SET rid=excluded.rid, fp=excluded.fp, %2")
                    .arg(S, versionSet);
        }
    }

    void apply(const Change& c) {
        if (c.skip || (!c.version.del && !c.hasRow))
            return;
        ++m_stats.received;
        std::optional<Local> local = readLocal(c.key);
        if (!local) {
            if (!c.version.del && !writeIncoming(c, std::nullopt))
                return;
            putShadow(c.key, c.version, m_sender);
            ++m_stats.applied;
            return;
        }
        const Relation relation = relate(local->version.vv, c.version.vv);
        if (relation == Relation::LocalNewer ||
            (relation == Relation::Same && sameVersion(local->version, c.version)))
            return;
        if (relation == Relation::IncomingNewer) {
            if (writeIncoming(c, local))
                putShadow(c.key, c.version, m_sender);
            ++m_stats.applied;
            return;
        }
        // Concurrent versions: both sides resolve them alike and end with the merged history, which is
        // sent on to every member, the sender included.
        const Vector history = merged(local->version.vv, c.version.vv);
        const QVariantList localRow = local->version.del ? QVariantList() : localValues(c.key, *local);
        const QString reason = conflictReason(local->version, c.version);
        if (beats(c.version, local->version)) {
            if (!writeIncoming(c, local))
                return;
            Version kept = c.version;
            kept.vv = history;
            kept.ver = total(history);
            putShadow(c.key, kept, 0);
            if (!local->version.del && localRow != c.values)
                logConflict(c.key, reason, c.version, c.values, local->version, localRow);
        } else {
            Version kept = local->version;
            kept.vv = history;
            kept.ver = total(history);
            putShadow(c.key, kept, 0, local->rid, local->fp);
            if (!c.version.del && localRow != c.values)
                logConflict(c.key, reason, local->version, localRow, c.version, c.values);
        }
        ++m_stats.applied;
    }

private:
    static QString conflictReason(const Version& local, const Version& incoming) {
        if (local.del || incoming.del)
            return QStringLiteral("deleted in one replica and changed in another");
        for (auto it = local.vv.cbegin(); it != local.vv.cend(); ++it)
            if (incoming.vv.contains(it.key()))
                return QStringLiteral("changed in two replicas");
        return QStringLiteral("the same key was added in two replicas");
    }

    std::optional<Local> readLocal(const QVariantList& key) {
        Statement& s = m_statements.get(m_getShadow);
        s.bindAll(key);
        if (!s.step())
            return std::nullopt;
        Local l;
        l.version = readVersion(s, 0);
        if (!m_table.info.keyed) {
            l.rid = s.int64(5);
            l.fp = s.value(6).toString();
        }
        return l;
    }

    // The local row of a live version: its rowid (keyless) and values, or nothing when it is missing.
    std::optional<std::pair<qint64, QVariantList>> findRow(const QVariantList& key, const Local& local) {
        const auto take = [&](Statement& s, int first) {
            QVariantList values;
            for (int i = 0; i < m_table.columns.size(); ++i)
                values << s.value(first + i);
            return std::make_pair(first == 1 ? s.int64(0) : qint64(0), values);
        };
        if (m_table.info.keyed) {
            Statement& s = m_statements.get(m_getRow);
            s.bindAll(key);
            if (s.step())
                return take(s, 0);
            return std::nullopt;
        }
        Statement& hint = m_statements.get(m_getRow);
        hint.bindAll({local.rid, local.fp});
        if (hint.step())
            return take(hint, 1);
        Statement& content = m_statements.get(m_getRowByContent);
        content.bind(1, local.fp);
        if (content.step())
            return take(content, 1);
        return std::nullopt;
    }

    QVariantList localValues(const QVariantList& key, const Local& local) {
        auto row = findRow(key, local);
        return row ? row->second : QVariantList();
    }

    // Makes the receiver's row match the incoming version. False when the receiver refuses the row (a
    // unique or required value): the incoming version then loses and the row is deleted everywhere.
    bool writeIncoming(const Change& c, const std::optional<Local>& local) {
        std::optional<std::pair<qint64, QVariantList>> row;
        if (local && !local->version.del)
            row = findRow(c.key, *local);
        else if (m_table.info.keyed)
            row = findRow(c.key, Local());
        if (c.version.del) {
            if (row) {
                Statement& s = m_statements.get(m_remove);
                s.bindAll(m_table.info.keyed ? c.key : QVariantList{row->first});
                s.run();
            }
            m_rid = 0;
            m_fp.clear();
            return true;
        }
        try {
            try {
                store(c, row);
            } catch (const Error& e) {
                // Another row holds one of its unique values: the rule decides between the two versions,
                // so both sides keep the same one whichever of them runs the exchange.
                if (e.number() != err::DuplicateKey || !m_table.info.keyed || !displaceRivals(c))
                    throw;
                store(c, row);
            }
        } catch (const Error& e) {
            if (e.number() != err::DuplicateKey && e.number() != err::NullNotAllowed)
                throw;
            refuse(c, local, row ? row->second : QVariantList());
            return false;
        }
        if (!m_table.info.keyed) {
            Statement& fp = m_statements.get(m_fingerprint);
            fp.bind(1, m_rid);
            m_fp = fp.step() ? fp.value(0).toString() : QString();
        }
        return true;
    }

    void store(const Change& c, const std::optional<std::pair<qint64, QVariantList>>& row) {
        {
            if (row && !m_update.isEmpty()) {
                Statement& s = m_statements.get(m_update);
                s.bindAll(c.values);
                if (m_table.info.keyed) {
                    for (int i = 0; i < c.key.size(); ++i)
                        s.bind(int(c.values.size()) + i + 1, c.key[i]);
                } else {
                    s.bind(int(c.values.size()) + 1, row->first);
                }
                s.run();
                m_rid = row->first;
            } else if (!row) {
                Statement& s = m_statements.get(m_insert);
                s.bindAll(c.values);
                s.run();
                m_rid = sqlite3_last_insert_rowid(m_db);
            }
        }
    }

    // The other rows holding a unique value of the incoming row. When the incoming version beats each of
    // them under the conflict rule, they end as deletions made here (logged) and true is returned.
    bool displaceRivals(const Change& c) {
        QList<QVariantList> rivals;
        Statement indexes(m_db,
                          QStringLiteral("SELECT name FROM pragma_index_list(?1) WHERE \"unique\" = 1"));
        indexes.bind(1, m_table.info.name);
        while (indexes.step()) {
            Statement info(m_db, QStringLiteral("SELECT name FROM pragma_index_info(?1)"));
            info.bind(1, indexes.value(0));
            QStringList match;
            QVariantList values;
            bool usable = true;
            while (info.step()) {
                const qsizetype at = m_table.columns.indexOf(info.value(0).toString());
                usable &= !info.isNull(0) && at >= 0 && !c.values.value(at).isNull();
                if (!usable)
                    break;
                match << QStringLiteral("%1=?%2").arg(q(m_table.columns[at])).arg(values.size() + 1);
                values << c.values.value(at);
            }
            if (!usable || match.isEmpty())
                continue;
            QStringList keys, same;
            for (int i = 0; i < m_table.info.keys.size(); ++i) {
                keys << q(m_table.info.keys[i]);
                same << QStringLiteral("%1=?%2").arg(q(m_table.info.keys[i])).arg(values.size() + i + 1);
            }
            Statement find(m_db,
                           QStringLiteral("SELECT %1 FROM %2 WHERE %3 AND NOT (%4)")
                               .arg(keys.join(u','), q(m_table.info.name),
                                    match.join(QStringLiteral(" AND ")), same.join(QStringLiteral(" AND "))));
            find.bindAll(values + c.key);
            while (find.step()) {
                QVariantList key;
                for (int i = 0; i < keys.size(); ++i)
                    key << find.value(i);
                rivals << key;
            }
        }
        if (rivals.isEmpty())
            return false;
        QList<std::pair<QVariantList, Local>> losers;
        for (const QVariantList& key : rivals) {
            std::optional<Local> other = readLocal(key);
            if (!other || !beats(c.version, other->version))
                return false;
            losers << std::make_pair(key, *other);
        }
        for (const auto& [key, other] : losers) {
            const QVariantList values = localValues(key, other);
            Statement& remove = m_statements.get(m_remove);
            remove.bindAll(key);
            remove.run();
            Version tomb;
            tomb.vv = other.version.vv;
            tomb.vv[m_me] += 1;
            tomb.ver = total(tomb.vv);
            tomb.del = true;
            tomb.origin = m_me;
            tomb.oc = tomb.vv.value(m_me);
            putShadow(key, tomb, 0);
            logConflict(key, QStringLiteral("a unique value was taken by a record of another replica"),
                        c.version, c.values, other.version, values);
        }
        return true;
    }

    // The incoming row cannot be stored here: its identity ends as a deletion made by this replica, which
    // dominates both histories and so wins everywhere.
    void refuse(const Change& c, const std::optional<Local>& local, const QVariantList& localRow) {
        if (local && !local->version.del && !localRow.isEmpty()) {
            auto row = findRow(c.key, *local);
            if (row) {
                Statement& s = m_statements.get(m_remove);
                s.bindAll(m_table.info.keyed ? c.key : QVariantList{row->first});
                s.run();
            }
        }
        Version tomb;
        tomb.vv = local ? merged(local->version.vv, c.version.vv) : c.version.vv;
        tomb.vv[m_me] += 1;
        tomb.ver = total(tomb.vv);
        tomb.del = true;
        tomb.origin = m_me;
        tomb.oc = tomb.vv.value(m_me);
        m_rid = 0;
        m_fp.clear();
        putShadow(c.key, tomb, 0);
        logConflict(c.key, QStringLiteral("a unique or required value of the record is refused here"), tomb,
                    {}, c.version, c.values);
    }

    void putShadow(const QVariantList& key, const Version& v, qint64 source, std::optional<qint64> rid = {},
                   std::optional<QString> fp = {}) {
        Statement& s = m_statements.get(m_putShadow);
        QVariantList values = key;
        if (!m_table.info.keyed) {
            if (v.del) {
                values << QVariant() << QVariant();
            } else {
                values << (rid ? *rid : m_rid) << (fp ? *fp : m_fp);
            }
        }
        const bool firstVersion = v.vv.size() == 1 && v.vv.value(v.origin) == v.oc;
        values << (firstVersion ? QVariant() : QVariant(capture::vectorText(v.vv))) << v.ver
               << (v.del ? 1 : 0) << v.origin << v.oc << (source ? QVariant(source) : QVariant());
        s.bindAll(values);
        s.run();
    }

    void logConflict(const QVariantList& key, const QString& reason, const Version& kept,
                     const QVariantList& keptRow, const Version& lost, const QVariantList& lostRow) {
        Statement& s = m_statements.get(
            QStringLiteral("INSERT INTO \"_pell_conflicts\" (logged_at, partner, tbl, row_key, reason, "
                           "kept_origin, kept_version, kept_row, lost_origin, lost_version, lost_row) "
                           "VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11)"));
        s.bindAll({QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), m_sender,
                   m_table.info.name, keyText(key), reason, kept.origin, capture::vectorText(kept.vv),
                   kept.del ? QVariant() : image(m_table.columns, keptRow), lost.origin,
                   capture::vectorText(lost.vv), lost.del ? QVariant() : image(m_table.columns, lostRow)});
        s.run();
        ++m_stats.conflicts;
    }

    sqlite3* m_db;
    Statements m_statements;
    const Table& m_table;
    qint64 m_sender;
    qint64 m_me;
    DirectionStats& m_stats;
    QString m_insert, m_update, m_remove, m_getShadow, m_getRow, m_getRowByContent, m_fingerprint,
        m_putShadow;
    qint64 m_rid = 0; // keyless: where the last write left the row
    QString m_fp;
};

// Parents before the tables that refer to them, so a batch carries a new parent before its children.
QList<Table> inDependencyOrder(sqlite3* db, QList<Table> tables) {
    QHash<QString, QSet<QString>> parents;
    QSet<QString> names;
    for (const Table& t : tables)
        names.insert(t.info.name.toLower());
    for (const Table& t : tables) {
        Statement fk(db, QStringLiteral("SELECT \"table\" FROM pragma_foreign_key_list(?1)"));
        fk.bind(1, t.info.name);
        while (fk.step()) {
            const QString parent = fk.value(0).toString().toLower();
            if (parent != t.info.name.toLower() && names.contains(parent))
                parents[t.info.name.toLower()].insert(parent);
        }
    }
    QList<Table> ordered;
    QSet<QString> done;
    while (!tables.isEmpty()) {
        bool progressed = false;
        for (qsizetype i = 0; i < tables.size(); ++i) {
            const QString name = tables[i].info.name.toLower();
            bool ready = true;
            for (const QString& p : parents.value(name))
                ready &= done.contains(p);
            if (ready) {
                done.insert(name);
                ordered << tables.takeAt(i);
                progressed = true;
                break;
            }
        }
        if (!progressed) // a cycle of relationships: the rest in name order
            ordered << tables.takeFirst();
    }
    return ordered;
}

qint64 storedWatermark(sqlite3* db, qint64 sender, qint64 receiver, const QString& table, int kind) {
    Statement s(
        db, QStringLiteral("SELECT seq FROM \"_pell_watermarks\" WHERE sender=?1 AND receiver=?2 AND tbl=?3 "
                           "AND kind=?4"));
    s.bindAll({sender, receiver, table, kind});
    return s.step() ? s.int64(0) : 0;
}

// A relationship broken by the batch (a child received while its parent was deleted here, or a parent
// deleted while a child was added here) is resolved the same way on every side: the deletion wins and
// the child is deleted as a change of this replica, logged with its content.
void resolveRelationships(sqlite3* db, const QList<Table>& tables, qint64 sender, DirectionStats& stats) {
    for (int round = 0; round < 16; ++round) {
        QList<std::pair<QString, qint64>> broken;
        Statement check(db, QStringLiteral("PRAGMA foreign_key_check"));
        while (check.step())
            if (!check.isNull(1))
                broken << std::make_pair(check.value(0).toString(), check.int64(1));
        if (broken.isEmpty())
            return;
        for (const auto& [name, rowid] : broken) {
            QStringList columns = currentColumns(db, name);
            for (const Table& t : tables)
                if (t.info.name.compare(name, Qt::CaseInsensitive) == 0)
                    columns = t.columns;
            QStringList quoted;
            for (const QString& c : columns)
                quoted << q(c);
            Statement row(db,
                          QStringLiteral("SELECT %1 FROM %2 WHERE rowid=?1").arg(quoted.join(u','), q(name)));
            row.bind(1, rowid);
            if (!row.step())
                continue;
            QVariantList values;
            for (int i = 0; i < columns.size(); ++i)
                values << row.value(i);
            Statement remove(db, QStringLiteral("DELETE FROM %1 WHERE rowid=?1").arg(q(name)));
            remove.bind(1, rowid);
            remove.run();
            Statement log(
                db,
                QStringLiteral("INSERT INTO \"_pell_conflicts\" (logged_at, partner, tbl, row_key, reason, "
                               "lost_row) VALUES (?1,?2,?3,?4,?5,?6)"));
            log.bindAll({QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                         sender, name, QString::number(rowid),
                         QStringLiteral("refers to a record that was deleted in another replica"),
                         image(columns, values)});
            log.run();
            ++stats.conflicts;
        }
    }
    throw Error::make(err::RelatedRecords,
                      QStringLiteral("(the exchange could not restore the relationships)"));
}

} // namespace

DirectionStats transfer(const Member& sender, const Member& receiver, int batchSize) {
    DirectionStats stats;
    if (batchSize <= 0)
        batchSize = DefaultBatchSize;

    QList<Table> tables;
    {
        QHash<QString, TableInfo> theirs;
        for (const TableInfo& t : capture::registeredTables(receiver.db))
            theirs.insert(t.name.toLower(), t);
        for (const TableInfo& t : capture::registeredTables(sender.db)) {
            if (!theirs.contains(t.name.toLower()))
                continue; // registered on one side only: nothing to exchange
            const TableInfo mine = theirs.value(t.name.toLower());
            if (mine.keyed != t.keyed || mine.keys.size() != t.keys.size())
                continue;
            const QStringList there = currentColumns(receiver.db, mine.name);
            Table table{mine, {}, 0};
            for (const QString& c : currentColumns(sender.db, t.name))
                if (there.contains(c, Qt::CaseInsensitive))
                    table.columns << c;
            if (!mine.keyed)
                table.info.columns = mine.columns;
            tables << table;
        }
    }
    // Where the receiver stands: the highest of what either file knows. A sender whose numbers are
    // below that has been put back from an older copy, and is read again from the start.
    for (Table& t : tables) {
        Statement top(sender.db, QStringLiteral("SELECT coalesce(max(seq),0) FROM %1").arg(q(t.info.shadow)));
        top.step();
        t.top = top.int64(0);
        for (int kind : {0, 1}) {
            const qint64 known =
                qMax(storedWatermark(sender.db, sender.id, receiver.id, t.info.name, kind),
                     storedWatermark(receiver.db, sender.id, receiver.id, t.info.name, kind));
            t.watermark[kind] = known > t.top ? 0 : known;
        }
    }
    // Nothing new anywhere: an idle exchange ends here, having read a few index ends.
    const auto isNew = [](const Table& t) { return t.top > t.watermark[0] || t.top > t.watermark[1]; };
    if (std::none_of(tables.cbegin(), tables.cend(), isNew))
        return stats;
    tables = inDependencyOrder(sender.db, tables);

    // Deletions travel children first and live versions parents first, so that a batch boundary never
    // leaves a received row without the parent it refers to, nor a parent deleted before its children.
    // Each kind keeps its own watermark: any change of a row moves it past both.
    struct Stream {
        qsizetype table;
        int kind;
    };
    QList<Stream> streams;
    for (qsizetype i = tables.size() - 1; i >= 0; --i)
        streams << Stream{i, 1};
    for (qsizetype i = 0; i < tables.size(); ++i)
        streams << Stream{i, 0};

    struct Slice {
        Stream stream;
        QList<Change> changes;
        qint64 upTo = 0; // the watermark the slice brings its stream to
    };
    for (;;) {
        // Read one batch in one snapshot of the sender.
        QList<Slice> batch;
        qint64 budget = batchSize;
        bool more = false;
        {
            Transaction read(sender.db, false);
            for (const Stream& stream : streams) {
                if (budget <= 0)
                    break;
                const Table& table = tables[stream.table];
                if (table.top <= table.watermark[stream.kind])
                    continue;
                Reader reader(sender.db, table, receiver.id);
                Slice slice{stream, reader.read(table.watermark[stream.kind], budget, stream.kind == 1), 0};
                budget -= slice.changes.size();
                if (budget > 0) {
                    // The stream is read to its end: everything of this kind up to the snapshot's latest
                    // change has been seen, so the versions of the other kind are not read again.
                    Statement top(
                        sender.db,
                        QStringLiteral("SELECT coalesce(max(seq),0) FROM %1").arg(q(table.info.shadow)));
                    top.step();
                    slice.upTo = top.int64(0);
                } else {
                    more = true;
                    slice.upTo = slice.changes.constLast().seq;
                }
                if (slice.upTo > table.watermark[stream.kind])
                    batch << slice;
            }
            read.tryCommit();
        }
        if (batch.isEmpty())
            break;

        // Apply it in one transaction of the receiver, together with the new watermarks.
        Transaction write(receiver.db, true);
        capture::exec(receiver.db, QStringLiteral("PRAGMA defer_foreign_keys = ON"));
        capture::exec(receiver.db, QStringLiteral("INSERT INTO \"_pell_applying\" VALUES (1)"));
        for (const Slice& slice : batch) {
            const Table& table = tables[slice.stream.table];
            Applier applier(receiver.db, table, sender.id, receiver.id, stats);
            for (const Change& c : slice.changes)
                applier.apply(c);
            Statement mark(receiver.db,
                           QStringLiteral("INSERT INTO \"_pell_watermarks\" VALUES (?1, ?2, ?3, ?4, ?5) ON "
                                          "CONFLICT DO UPDATE SET seq = max(seq, excluded.seq)"));
            mark.bindAll({sender.id, receiver.id, table.info.name, slice.stream.kind, slice.upTo});
            mark.run();
        }
        capture::exec(receiver.db, QStringLiteral("DELETE FROM \"_pell_applying\""));
        int rc = write.tryCommit();
        if ((rc & 0xff) == SQLITE_CONSTRAINT && sqlite3_get_autocommit(receiver.db) == 0) {
            resolveRelationships(receiver.db, tables, sender.id, stats);
            rc = write.tryCommit();
        }
        if (rc != SQLITE_OK)
            throwSqlite(receiver.db, rc);
        for (const Slice& slice : batch)
            tables[slice.stream.table].watermark[slice.stream.kind] = slice.upTo;
        ++stats.batches;
        if (!more)
            break;
    }
    return stats;
}

} // namespace pell::db::replication::exchange
