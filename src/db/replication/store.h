#pragma once

#include "db/replication/metadata.h"
#include "db/replication/values.h"
#include "db/statement.h"

#include <map>
#include <memory>
#include <optional>

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

// Prepared statements reused for every row, by their text.
class Statements {
public:
    explicit Statements(sqlite3* db) : m_db(db) {}
    Statement& get(const QString& sql);

private:
    sqlite3* m_db;
    std::map<QString, std::unique_ptr<Statement>> m_cache;
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
    void setVisible(const Row& key, bool visible);

    std::optional<Row> content(const Row& key, const ShadowRow& row); // from the table or the kept rows
    std::optional<Kept> kept(const Row& key);
    void keep(const Row& key, const Kept& kept);
    void dropKept(const Row& key);
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
    // Keys of rows changed by this member after `seq`, in change order.
    QList<Row> ownChangesAfter(qint64 seq, qint64 me);
    // Keys of deleted rows that stand in the table because others refer to them.
    QList<Row> standingDeleted();

private:
    QString keyMatch(int firstParameter) const;
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
};

} // namespace pell::db::replication
