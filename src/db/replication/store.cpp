#include "db/replication/store.h"

#include "core/error.h"
#include "db/replication/capture.h"

#include <sqlite3.h>

#include <algorithm>

namespace pell::db::replication {

namespace {

QString q(const QString& name) {
    return quoteIdentifier(name);
}

QString params(int first, qsizetype count) {
    QStringList list;
    for (qsizetype i = 0; i < count; ++i)
        list << QStringLiteral("?%1").arg(first + i);
    return list.join(u',');
}

QString quotedList(const QStringList& names) {
    QStringList list;
    for (const QString& n : names)
        list << q(n);
    return list.join(u',');
}

QString match(const QStringList& columns, int first) {
    QStringList parts;
    for (qsizetype i = 0; i < columns.size(); ++i)
        parts << QStringLiteral("%1 = ?%2").arg(q(columns[i])).arg(first + i);
    return parts.join(QStringLiteral(" AND "));
}

void bindValues(Statement& s, int first, const Row& row) {
    bindRow(s.raw(), first, row);
}

// Leaves a statement reset when a method is done with it: a statement left on a row would keep a read
// transaction open on the file and block its other users' writers.
class Finish {
public:
    explicit Finish(Statement& s) : m_s(s) {}
    ~Finish() { m_s.reset(); }
    Finish(const Finish&) = delete;
    Finish& operator=(const Finish&) = delete;

private:
    Statement& m_s;
};

Version readVersion(Statement& s, int first) {
    Version v;
    v.bornClock = s.int64(first);
    v.bornWriter = s.int64(first + 1);
    v.clock = s.int64(first + 2);
    v.writer = s.int64(first + 3);
    v.deleted = s.int64(first + 4) != 0;
    v.history = parseClocks(s.value(first + 5).toString());
    return v;
}

void readParent(Statement& s, int first, Version& v) {
    v.parentBornClock = s.int64(first);
    v.parentBornWriter = s.int64(first + 1);
}

} // namespace

Statement& Statements::byText(const QString& sql) {
    auto it = m_byText.find(sql);
    if (it == m_byText.end())
        it = m_byText.emplace(sql, std::make_unique<Statement>(m_db, sql)).first;
    it->second->reset();
    sqlite3_clear_bindings(it->second->raw());
    return *it->second;
}

Statement& Statements::prepared(size_t id, const QString& sql) {
    if (m_cache.size() <= id)
        m_cache.resize(id + 1);
    if (!m_cache[id])
        m_cache[id] = std::make_unique<Statement>(m_db, sql);
    return *m_cache[id];
}

TableStore::TableStore(sqlite3* db, TableInfo info, QStringList carried)
    : m_db(db), m_info(std::move(info)), m_carried(std::move(carried)), m_statements(db) {
    m_columns = quotedList(m_carried);
    m_params = params(1, m_carried.size());
    QStringList keys;
    if (m_info.keyed) {
        for (int i = 0; i < m_info.keys.size(); ++i)
            keys << QStringLiteral("k%1").arg(i);
    } else {
        keys << QStringLiteral("gor") << QStringLiteral("gno");
    }
    m_keyNames = keys.join(u',');
    m_keyList = keys;
    m_keyCount = int(keys.size());
    if (m_info.keyed) {
        Statement indexes(
            db, QStringLiteral("SELECT name FROM pragma_index_list(?1) WHERE \"unique\" AND origin <> 'pk'"));
        indexes.bind(1, m_info.name);
        while (indexes.step()) {
            Statement columns(db, QStringLiteral("SELECT name FROM pragma_index_info(?1) ORDER BY seqno"));
            columns.bind(1, indexes.value(0).toString());
            QStringList list;
            while (columns.step())
                list << columns.value(0).toString();
            if (!list.isEmpty() && !list.contains(QString()))
                m_unique << list;
        }
    }
}

Row TableStore::project(const Row& content, const QStringList& columns) const {
    const QString name = columns.join(u',');
    auto it = m_positions.find(name);
    if (it == m_positions.end()) {
        std::vector<int> positions;
        for (const QString& c : columns) {
            int at = -1;
            for (qsizetype j = 0; j < m_carried.size() && at < 0; ++j)
                if (m_carried[j].compare(c, Qt::CaseInsensitive) == 0)
                    at = int(j);
            positions.push_back(at);
        }
        it = m_positions.emplace(name, std::move(positions)).first;
    }
    Row values;
    for (int at : it->second) {
        if (at < 0 || size_t(at) >= content.size())
            return {};
        values.push_back(content[size_t(at)]);
    }
    return values;
}

QString TableStore::keyMatch(int firstParameter) const {
    return match(m_info.keys, firstParameter);
}

std::optional<ShadowRow> TableStore::shadow(const Row& key) {
    QStringList where;
    for (int i = 0; i < m_keyCount; ++i)
        where << QStringLiteral("%1 = ?%2").arg(m_keyList[i]).arg(i + 1);
    Statement& s = m_statements.get(0, [&] {
        return QStringLiteral("SELECT seq, bc, bw, c, w, del, hist, vis, pbc, pbw%1 FROM %2 WHERE %3")
            .arg(m_info.keyed ? QString() : QStringLiteral(", rid, fp"), q(m_info.shadow),
                 where.join(QStringLiteral(" AND ")));
    });
    const Finish finishS(s);
    bindValues(s, 1, key);
    if (!s.step())
        return std::nullopt;
    ShadowRow row;
    row.seq = s.int64(0);
    row.version = readVersion(s, 1);
    row.visible = s.int64(7) != 0;
    readParent(s, 8, row.version);
    if (!m_info.keyed) {
        row.rid = s.int64(10);
        row.fp = s.value(11).toString();
    }
    return row;
}

void TableStore::putShadow(const Row& key, const ShadowRow& row) {
    writeShadow(key, row, true);
}

bool TableStore::addShadow(const Row& key, const ShadowRow& row) {
    return writeShadow(key, row, false);
}

bool TableStore::writeShadow(const Row& key, const ShadowRow& row, bool replace) {
    const int n = m_keyCount;
    const auto sql = [&] {
        const QString extra = m_info.keyed ? QString() : QStringLiteral(", rid, fp");
        const QString values = params(1, n + 10 + (m_info.keyed ? 0 : 2));
        const QString conflict =
            replace
                ? QStringLiteral("(%1) DO UPDATE SET seq = excluded.seq, bc = excluded.bc, bw = excluded.bw, "
                                 "c = excluded.c, w = excluded.w, del = excluded.del, hist = excluded.hist, "
                                 "vis = excluded.vis, pbc = excluded.pbc, pbw = excluded.pbw%2")
                      .arg(m_keyNames, m_info.keyed
                                           ? QString()
                                           : QStringLiteral(", rid = excluded.rid, fp = excluded.fp"))
                : QStringLiteral("DO NOTHING");
        return QStringLiteral(
                   "INSERT INTO %1 (%2, seq, bc, bw, c, w, del, hist, vis, pbc, pbw%3) VALUES (%4) ON "
                   "CONFLICT %5")
            .arg(q(m_info.shadow), m_keyNames, extra, values, conflict);
    };
    Statement& s = m_statements.get(replace ? 1 : 102, sql);
    const Finish finishS(s);
    bindValues(s, 1, key);
    const Version& v = row.version;
    sqlite3_stmt* raw = s.raw();
    const auto integer = [&](int i, qint64 value, bool present = true) {
        present ? sqlite3_bind_int64(raw, n + i, value) : sqlite3_bind_null(raw, n + i);
    };
    integer(1, row.seq);
    integer(2, v.bornClock);
    integer(3, v.bornWriter);
    integer(4, v.clock);
    integer(5, v.writer);
    integer(6, v.deleted ? 1 : 0);
    if (!v.history.isEmpty()) {
        const QByteArray hist = clocksText(v.history).toUtf8();
        sqlite3_bind_text(raw, n + 7, hist.constData(), int(hist.size()), SQLITE_TRANSIENT);
    }
    integer(8, row.visible ? 1 : 0);
    integer(9, v.parentBornClock, v.parentBornClock != 0);
    integer(10, v.parentBornWriter, v.parentBornWriter != 0);
    if (!m_info.keyed) {
        integer(11, row.rid, row.rid != 0);
        if (!row.fp.isEmpty()) {
            const QByteArray fp = row.fp.toUtf8();
            sqlite3_bind_text(raw, n + 12, fp.constData(), int(fp.size()), SQLITE_TRANSIENT);
        }
    }
    s.run();
    return sqlite3_changes(m_db) > 0;
}

namespace {

// A change made here becomes the row's version: the version it replaces joins its history; a new row, or
// one that stood only because others refer to it (`renew`), starts a new incarnation.
QString foldUpsert(const QString& shadow, const QString& keys, const QString& source, const QString& renew) {
    return QStringLiteral(
               "INSERT INTO %1 (%2, seq, bc, bw, c, w, del, hist, vis) %3 ON CONFLICT (%2) DO UPDATE "
               "SET hist = json_set(coalesce(hist, '{}'), '$.\"' || w || '\"', c), "
               "bc = CASE WHEN %4 THEN excluded.bc ELSE bc END, "
               "bw = CASE WHEN %4 THEN excluded.bw ELSE bw END, "
               "c = excluded.c, w = excluded.w, del = excluded.del, vis = excluded.vis, "
               "seq = excluded.seq")
        .arg(shadow, keys, source, renew);
}

} // namespace

void TableStore::foldChange(const Row& key, bool inserted, const Version& v) {
    const int n = m_keyCount;
    Statement& s = m_statements.get(100, [&] {
        // ?n+1 clock, ?n+2 writer, ?n+3 deleted, ?n+4 new row. The parent's incarnation is recorded after.
        return foldUpsert(
            q(m_info.shadow), m_keyNames,
            QStringLiteral("VALUES (%1, ?%2, ?%2, ?%3, ?%2, ?%3, ?%4, NULL, 1 - ?%4)")
                .arg(params(1, n))
                .arg(n + 1)
                .arg(n + 2)
                .arg(n + 3),
            QStringLiteral("?%1 = 0 AND (?%2 = 1 OR del = 1 OR vis = 0)").arg(n + 3).arg(n + 4));
    });
    const Finish finishS(s);
    bindValues(s, 1, key);
    sqlite3_stmt* raw = s.raw();
    sqlite3_bind_int64(raw, n + 1, v.clock);
    sqlite3_bind_int64(raw, n + 2, v.writer);
    sqlite3_bind_int64(raw, n + 3, v.deleted ? 1 : 0);
    sqlite3_bind_int64(raw, n + 4, inserted ? 1 : 0);
    s.run();
}

void TableStore::foldAll(qint64 writer) {
    // The same upsert for every logged change of the table, in the order of the log, so a row changed twice
    // ends with its second version. A change's clock is its log number plus its run's shift (temp._pell_runs,
    // see fold.cpp): each run's changes are read by their numbers, runs in order, with no look-up per change.
    // Where a change meets a version, its kind is read back from the log through its clock.
    QStringList keys;
    for (int i = 0; i < m_keyCount; ++i)
        keys << QStringLiteral("L.k%1").arg(i);
    const QString opOf = QStringLiteral(
        "(SELECT op FROM \"_pell_log\" WHERE seq = excluded.seq - (SELECT R.shift FROM temp.\"_pell_runs\" R "
        "WHERE R.clock <= excluded.seq ORDER BY R.clock DESC LIMIT 1))");
    Statement s(m_db,
                foldUpsert(q(m_info.shadow), m_keyNames,
                           QStringLiteral("SELECT %1, L.seq + R.shift, L.seq + R.shift, ?2, L.seq + R.shift, "
                                          "?2, L.op = 3, NULL, L.op <> 3 FROM temp.\"_pell_runs\" R CROSS "
                                          "JOIN \"_pell_log\" L ON L.seq >= R.seq AND L.seq <= R.last WHERE "
                                          "+L.tbl = ?1 ORDER BY R.seq, L.seq")
                               .arg(keys.join(u',')),
                           QStringLiteral("excluded.del = 0 AND (%1 = 1 OR del = 1 OR vis = 0)").arg(opOf)));
    s.bindAll({m_info.id, writer});
    s.run();
}

void TableStore::setVisible(const Row& key, bool visible) {
    QStringList where;
    for (int i = 0; i < m_keyCount; ++i)
        where << QStringLiteral("%1 = ?%2").arg(m_keyList[i]).arg(i + 2);
    Statement& s = m_statements.get(2, [&] {
        return QStringLiteral("UPDATE %1 SET vis = ?1 WHERE %2")
            .arg(q(m_info.shadow), where.join(QStringLiteral(" AND ")));
    });
    const Finish finishS(s);
    s.bind(1, visible ? 1 : 0);
    bindValues(s, 2, key);
    s.run();
}

std::optional<Row> TableStore::content(const Row& key, const ShadowRow& row) {
    if (!row.visible || row.version.deleted) {
        if (auto k = kept(key))
            return k->content;
        if (!row.visible)
            return std::nullopt;
    }
    if (!m_info.keyed) {
        const auto rowid = locate(row);
        if (!rowid)
            return std::nullopt;
        Statement& s = m_statements.get(3, [&] {
            return QStringLiteral("SELECT %1 FROM %2 WHERE rowid = ?1").arg(m_columns, q(m_info.name));
        });
        const Finish finishS(s);
        s.bind(1, *rowid);
        if (!s.step())
            return std::nullopt;
        return readRow(s.raw(), 0, int(m_carried.size()));
    }
    return standing(key);
}

std::optional<Row> TableStore::standing(const Row& key) {
    Statement& s = m_statements.get(4, [&] {
        return QStringLiteral("SELECT %1 FROM %2 WHERE %3").arg(m_columns, q(m_info.name), keyMatch(1));
    });
    const Finish finishS(s);
    bindValues(s, 1, key);
    if (!s.step())
        return std::nullopt;
    return readRow(s.raw(), 0, int(m_carried.size()));
}

bool TableStore::keepEmpty() {
    if (m_info.keep.isEmpty())
        return true;
    if (m_keepState == Unknown) {
        Statement& s = m_statements.get(
            101, [&] { return QStringLiteral("SELECT EXISTS (SELECT 1 FROM %1)").arg(q(m_info.keep)); });
        const Finish finishS(s);
        s.step();
        m_keepState = s.int64(0) ? Some : Empty;
    }
    return m_keepState == Empty;
}

std::optional<Kept> TableStore::kept(const Row& key) {
    if (keepEmpty())
        return std::nullopt;
    Statement& s = m_statements.get(5, [&] {
        return QStringLiteral(
                   "SELECT %1, \"_pell_bc\", \"_pell_bw\", \"_pell_c\", \"_pell_w\" FROM %2 WHERE %3")
            .arg(m_columns, q(m_info.keep), keyMatch(1));
    });
    const Finish finishS(s);
    bindValues(s, 1, key);
    if (!s.step())
        return std::nullopt;
    const int n = int(m_carried.size());
    Kept k;
    k.content = readRow(s.raw(), 0, n);
    k.version.bornClock = s.int64(n);
    k.version.bornWriter = s.int64(n + 1);
    k.version.clock = s.int64(n + 2);
    k.version.writer = s.int64(n + 3);
    return k;
}

void TableStore::keep(const Row& key, const Kept& kept) {
    m_keepState = Some;
    Q_UNUSED(key);
    const int n = int(m_carried.size());
    Statement& s = m_statements.get(6, [&] {
        return QStringLiteral("INSERT OR REPLACE INTO %1 (%2, \"_pell_bc\", \"_pell_bw\", "
                              "\"_pell_c\", \"_pell_w\") VALUES (%3, %4)")
            .arg(q(m_info.keep), m_columns, m_params, params(n + 1, 4));
    });
    const Finish finishS(s);
    bindValues(s, 1, kept.content);
    s.bind(n + 1, kept.version.bornClock);
    s.bind(n + 2, kept.version.bornWriter);
    s.bind(n + 3, kept.version.clock);
    s.bind(n + 4, kept.version.writer);
    s.run();
}

void TableStore::dropKept(const Row& key) {
    if (keepEmpty())
        return;
    Statement& s = m_statements.get(
        7, [&] { return QStringLiteral("DELETE FROM %1 WHERE %2").arg(q(m_info.keep), keyMatch(1)); });
    const Finish finishS(s);
    bindValues(s, 1, key);
    s.run();
}

void TableStore::setKeptVersion(const Row& key, const Version& version) {
    const int k = int(m_info.keys.size());
    Statement& s = m_statements.get(8, [&] {
        return QStringLiteral("UPDATE %1 SET \"_pell_bc\" = ?%2, \"_pell_bw\" = ?%3, \"_pell_c\" = "
                              "?%4, \"_pell_w\" = ?%5 WHERE %6")
            .arg(q(m_info.keep))
            .arg(k + 1)
            .arg(k + 2)
            .arg(k + 3)
            .arg(k + 4)
            .arg(keyMatch(1));
    });
    const Finish finishS(s);
    bindValues(s, 1, key);
    s.bind(k + 1, version.bornClock);
    s.bind(k + 2, version.bornWriter);
    s.bind(k + 3, version.clock);
    s.bind(k + 4, version.writer);
    s.run();
}

void TableStore::keepStanding(const Row& key, const Version& version) {
    m_keepState = Some;
    const QString all = quotedList(m_info.columns);
    const int k = int(m_info.keys.size());
    Statement& s = m_statements.get(9, [&] {
        return QStringLiteral(
                   "INSERT OR REPLACE INTO %1 (%2, \"_pell_bc\", \"_pell_bw\", \"_pell_c\", \"_pell_w\") "
                   "SELECT %2, %3 FROM %4 WHERE %5")
            .arg(q(m_info.keep), all, params(k + 1, 4), q(m_info.name), keyMatch(1));
    });
    const Finish finishS(s);
    bindValues(s, 1, key);
    s.bind(k + 1, version.bornClock);
    s.bind(k + 2, version.bornWriter);
    s.bind(k + 3, version.clock);
    s.bind(k + 4, version.writer);
    s.run();
}

bool TableStore::write(Statement& s, int* refusal) {
    try {
        s.run();
        return true;
    } catch (const Error& e) {
        if (e.number() != err::DuplicateKey && e.number() != err::NullNotAllowed)
            throw;
        if (refusal)
            *refusal = e.number();
        return false;
    }
}

bool TableStore::insertRow(const Row& content, int* refusal) {
    Statement& s = m_statements.get(10, [&] {
        return QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)").arg(q(m_info.name), m_columns, m_params);
    });
    const Finish finishS(s);
    bindValues(s, 1, content);
    return write(s, refusal);
}

bool TableStore::updateRow(const Row& key, const ShadowRow& row, const Row& content, int* refusal) {
    QStringList sets;
    for (qsizetype i = 0; i < m_carried.size(); ++i)
        sets << QStringLiteral("%1 = ?%2").arg(q(m_carried[i])).arg(i + 1);
    const int n = int(m_carried.size());
    if (m_info.keyed) {
        Statement& s = m_statements.get(11, [&] {
            return QStringLiteral("UPDATE %1 SET %2 WHERE %3")
                .arg(q(m_info.name), sets.join(u','), keyMatch(n + 1));
        });
        const Finish finishS(s);
        bindValues(s, 1, content);
        bindValues(s, n + 1, key);
        return write(s, refusal);
    }
    const auto rowid = locate(row);
    if (!rowid)
        return insertRow(content, refusal);
    Statement& s = m_statements.get(12, [&] {
        return QStringLiteral("UPDATE %1 SET %2 WHERE rowid = ?%3")
            .arg(q(m_info.name), sets.join(u','))
            .arg(n + 1);
    });
    const Finish finishS(s);
    bindValues(s, 1, content);
    s.bind(n + 1, *rowid);
    return write(s, refusal);
}

bool TableStore::restoreKept(const Row& key, int* refusal) {
    const QString all = quotedList(m_info.columns);
    Statement& s = m_statements.get(13, [&] {
        return QStringLiteral("INSERT INTO %1 (%2) SELECT %2 FROM %3 WHERE %4")
            .arg(q(m_info.name), all, q(m_info.keep), keyMatch(1));
    });
    const Finish finishS(s);
    bindValues(s, 1, key);
    return write(s, refusal);
}

void TableStore::deleteRow(const Row& key, const ShadowRow& row) {
    if (m_info.keyed) {
        Statement& s = m_statements.get(
            14, [&] { return QStringLiteral("DELETE FROM %1 WHERE %2").arg(q(m_info.name), keyMatch(1)); });
        const Finish finishS(s);
        bindValues(s, 1, key);
        s.run();
        return;
    }
    if (const auto rowid = locate(row)) {
        Statement& s = m_statements.get(
            15, [&] { return QStringLiteral("DELETE FROM %1 WHERE rowid = ?1").arg(q(m_info.name)); });
        const Finish finishS(s);
        s.bind(1, *rowid);
        s.run();
    }
}

qint64 TableStore::lastRowid() const {
    return sqlite3_last_insert_rowid(m_db);
}

QString TableStore::fingerprintOf(qint64 rowid) {
    Statement& s = m_statements.get(16, [&] {
        return QStringLiteral("SELECT %1 FROM %2 T WHERE rowid = ?1")
            .arg(fingerprint(m_info, QStringLiteral("T")), q(m_info.name));
    });
    const Finish finishS(s);
    s.bind(1, rowid);
    return s.step() ? s.value(0).toString() : QString();
}

std::optional<qint64> TableStore::locate(const ShadowRow& row) {
    const QString fp = fingerprint(m_info, QStringLiteral("T"));
    Statement& hint = m_statements.get(17, [&] {
        return QStringLiteral("SELECT rowid FROM %1 T WHERE rowid = ?1 AND %2 = ?2").arg(q(m_info.name), fp);
    });
    const Finish finishHint(hint);
    hint.bindAll({row.rid, row.fp});
    if (hint.step())
        return hint.int64(0);
    Statement& any = m_statements.get(18, [&] {
        return QStringLiteral("SELECT rowid FROM %1 T WHERE %2 = ?1 LIMIT 1").arg(q(m_info.name), fp);
    });
    const Finish finishAny(any);
    any.bind(1, row.fp);
    if (any.step())
        return any.int64(0);
    return std::nullopt;
}

QList<Row> TableStore::keysWhere(const QString& table, const QStringList& columns, const Row& values) {
    QList<Row> keys;
    QString where = match(columns, 1);
    if (table == m_info.keep) {
        // The kept rows' columns have no collation of their own but the key's: values compare as in the
        // table.
        QStringList parts;
        for (qsizetype i = 0; i < columns.size(); ++i) {
            const char* collation = nullptr;
            const QByteArray t = m_info.name.toUtf8(), c = columns[i].toUtf8();
            sqlite3_table_column_metadata(m_db, "main", t.constData(), c.constData(), nullptr, &collation,
                                          nullptr, nullptr, nullptr);
            parts << QStringLiteral("%1 = ?%2 COLLATE %3")
                         .arg(q(columns[i]))
                         .arg(i + 1)
                         .arg(QString::fromUtf8(collation ? collation : "BINARY"));
        }
        where = parts.join(QStringLiteral(" AND "));
    }
    Statement& s = m_statements.byText(
        QStringLiteral("SELECT %1 FROM %2 WHERE %3").arg(quotedList(m_info.keys), q(table), where));
    const Finish finishS(s);
    bindValues(s, 1, values);
    while (s.step())
        keys << readRow(s.raw(), 0, int(m_info.keys.size()));
    return keys;
}

QList<Row> TableStore::standingWhere(const QStringList& columns, const Row& values) {
    return keysWhere(m_info.name, columns, values);
}

QList<Row> TableStore::keptWhere(const QStringList& columns, const Row& values) {
    return keepEmpty() ? QList<Row>{} : keysWhere(m_info.keep, columns, values);
}

namespace {

// A unique value with a NULL in it (or none at all) is held by no row: SQLite lets any number of rows share
// it.
bool lacksUniqueValue(const Row& values) {
    return values.empty() ||
           std::any_of(values.begin(), values.end(), [](const Value& v) { return v.isNull(); });
}

} // namespace

QList<Row> TableStore::rivals(const Row& content, const Row& key) {
    QList<Row> found;
    for (const QStringList& columns : m_unique) {
        const Row values = project(content, columns);
        if (lacksUniqueValue(values))
            continue;
        const int n = int(columns.size());
        Statement& s = m_statements.byText(
            QStringLiteral("SELECT %1 FROM %2 WHERE %3 AND NOT (%4)")
                .arg(quotedList(m_info.keys), q(m_info.name), match(columns, 1), keyMatch(n + 1)));
        const Finish finishS(s);
        bindValues(s, 1, values);
        bindValues(s, n + 1, key);
        while (s.step())
            found << readRow(s.raw(), 0, int(m_info.keys.size()));
    }
    return found;
}

QList<Row> TableStore::rivalsAnywhere(const Row& content, const Row& key) {
    QList<Row> found;
    for (const QStringList& columns : m_unique) {
        const Row values = project(content, columns);
        if (lacksUniqueValue(values))
            continue;
        for (const Row& k : keysWhere(m_info.name, columns, values) + keptWhere(columns, values))
            if (k != key && !found.contains(k))
                found << k;
    }
    return found;
}

QList<Row> TableStore::standingDeleted() {
    QList<Row> keys;
    Statement& s = m_statements.get(23, [&] {
        return QStringLiteral("SELECT %1 FROM %2 WHERE del = 1 AND vis = 1")
            .arg(m_keyNames, q(m_info.shadow));
    });
    const Finish finishS(s);
    while (s.step())
        keys << readRow(s.raw(), 0, m_keyCount);
    return keys;
}

} // namespace pell::db::replication
