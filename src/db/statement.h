#pragma once

#include <QString>
#include <QVariant>

#include <memory>

struct sqlite3;
struct sqlite3_stmt;

namespace pell::db {

struct SqliteCloser {
    void operator()(sqlite3* handle) const noexcept;
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* stmt) const noexcept;
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;

// Turns a failed SQLite result code into our engine error (no SQLite text ever reaches a window).
[[noreturn]] void throwSqlite(sqlite3* db, int rc, const QString& context = {});
// Checks a result code; anything but OK, ROW or DONE throws.
int check(sqlite3* db, int rc, const QString& context = {});
// Runs statements that return no rows (pragmas, schema texts) on a connection; throws on failure.
void exec(sqlite3* db, const QString& sql);

// One prepared statement. Values bind and read as QVariant: a null QVariant is SQL NULL, booleans are
// stored as -1/0 like the yes/no fields of the product.
class Statement {
public:
    Statement(sqlite3* db, const QString& sql);
    Statement(Statement&&) noexcept = default;
    Statement& operator=(Statement&&) noexcept = default;

    Statement& bind(int index, const QVariant& value); // 1-based
    Statement& bindAll(const QVariantList& values);
    bool step();  // true while a row is available
    void run();   // steps to the end, discarding rows
    void reset(); // ready to run again, bindings kept
    int columnCount() const;
    QString columnName(int i) const;
    QVariant value(int i) const;
    qint64 int64(int i) const;
    bool isNull(int i) const;
    sqlite3_stmt* raw() const { return m_stmt.get(); }

private:
    sqlite3* m_db;
    std::unique_ptr<sqlite3_stmt, StatementFinalizer> m_stmt;
};

QString quoteIdentifier(const QString& name);

} // namespace pell::db
