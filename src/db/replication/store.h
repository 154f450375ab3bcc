#pragma once

#include "db/replication/metadata.h"
#include "db/replication/values.h"
#include "db/statement.h"

#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <sqlite3.h>

// What one member holds of one replicated table: the winning version of every row identity (the shadow), the
// rows themselves, and the rows kept outside the table.
namespace pell::db::replication {

struct ShadowRow {
    qint64 seq = 0;
    Version version;
    bool visible = false; // the row stands in the table
    qint64 rid = 0;       // a keyless row's last known rowid
    QString fp;           // a keyless row's content fingerprint
};

// A row's content held outside its table, with the version that content belongs to.
struct Kept {
    Version version;
    Row content;
};

// Prepared statements reused for every row: each call site has its number, and its text is made once.
class Statements {
public:
    explicit Statements(sqlite3* db) : m_db(db) {}
    template <class Sql> Statement& get(size_t id, Sql&& sql) {
        Statement& s = id < m_cache.size() && m_cache[id] ? *m_cache[id] : prepared(id, sql());
        s.reset();
        sqlite3_clear_bindings(s.raw());
        return s;
    }

    // For statements whose text depends on the call (the columns of one relationship or another).
    Statement& byText(const QString& sql);

private:
    Statement& prepared(size_t id, const QString& sql);
    sqlite3* m_db;
    std::vector<std::unique_ptr<Statement>> m_cache;
    std::map<QString, std::unique_ptr<Statement>> m_byText;
};

class TableStore {
public:
    // `carried`: the columns exchanged with the partner (all registered columns present when alone).
    TableStore(sqlite3* db, TableInfo info, QStringList carried);

    const TableInfo& info() const { return m_info; }
    const QStringList& carried() const { return m_carried; }
    // The values of `columns` in a carried row; empty when a column is not carried.
    Row project(const Row& content, const QStringList& columns) const;

    std::optional<ShadowRow> shadow(const Row& key);
    void putShadow(const Row& key, const ShadowRow& row);
    // Records the row's first version here; false when the row already has one.
    bool addShadow(const Row& key, const ShadowRow& row);
    void setVisible(const Row& key, bool visible);
    // Records a change made here as the row's version (see fold.cpp): the version it replaces joins its
    // history; a new row, or one that stood only because others refer to it, becomes a new incarnation.
    void foldChange(const Row& key, bool inserted, const Version& version);
    // foldChange for every logged change of the table at once, by the runs of clocks in temp._pell_runs.
    void foldAll(qint64 writer);

    std::optional<Row> content(const Row& key, const ShadowRow& row); // from the table or the kept rows
    std::optional<Row> standing(const Row& key);                      // keyed: the row in the table
    std::optional<Kept> kept(const Row& key);
    // Forgets what it knew of the kept rows: other users may have written between two transactions.
    void refresh() { m_keepState = Unknown; }
    void keep(const Row& key, const Kept& kept);
    void dropKept(const Row& key);
    // Names the version a kept row's content belongs to.
    void setKeptVersion(const Row& key, const Version& version);
    // Moves or copies the row standing in the table into the kept rows, with every column it has.
    void keepStanding(const Row& key, const Version& version);

    // Writes into the table. A refusal by one of the table's own rules (a unique or required value) returns
    // false with the engine's error number; relationships are checked at commit.
    bool insertRow(const Row& content, int* refusal);
    bool updateRow(const Row& key, const ShadowRow& row, const Row& content, int* refusal);
    bool restoreKept(const Row& key, int* refusal);
    void deleteRow(const Row& key, const ShadowRow& row);
    // The keyless row last written: where it stands.
    qint64 lastRowid() const;
    QString fingerprintOf(qint64 rowid);

    // Keys of the rows whose `columns` hold `values`: standing in the table, or kept.
    QList<Row> standingWhere(const QStringList& columns, const Row& values);
    QList<Row> keptWhere(const QStringList& columns, const Row& values);
    // Keys of the other rows standing in the table that hold one of the row's unique values.
    QList<Row> rivals(const Row& content, const Row& key);
    // Keys of the other rows, standing or kept, that hold one of the row's unique values.
    QList<Row> rivalsAnywhere(const Row& content, const Row& key);
    bool hasUniqueValues() const { return !m_unique.isEmpty(); }
    // Keys of deleted rows that stand in the table because others refer to them.
    QList<Row> standingDeleted();
    // Whether the keep table holds no row (known until this store writes one, or refresh()).
    bool keepEmpty();

private:
    // The keys of the rows of table (the table itself or its keep table) with these values.
    QList<Row> keysWhere(const QString& table, const QStringList& columns, const Row& values);
    QString keyMatch(int firstParameter) const;
    bool writeShadow(const Row& key, const ShadowRow& row, bool replace);
    std::optional<qint64> locate(const ShadowRow& row); // keyless
    bool write(Statement& s, int* refusal);

    sqlite3* m_db;
    TableInfo m_info;
    QStringList m_carried;
    Statements m_statements;
    QString m_columns;  // carried columns, quoted
    QString m_params;   // ?1..?n
    QString m_keyNames; // k0, k1, ... or gor, gno
    QStringList m_keyList;
    int m_keyCount = 0;
    QList<QStringList> m_unique; // columns of each unique index other than the key
    mutable std::map<QString, std::vector<int>> m_positions; // where columns stand in a carried row
    // Kept rows are rare: while there are none, looking for one costs nothing.
    enum KeepState { Unknown, Empty, Some };
    KeepState m_keepState = Unknown;
};

} // namespace pell::db::replication
