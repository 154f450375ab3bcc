#pragma once

struct sqlite3;

namespace pell::db {

class Database;

// A transaction on one connection, rolled back unless committed: the one guard every module of the engine
// uses. A write transaction takes the engine's write lock at its start (BEGIN IMMEDIATE), so that it waits
// for other writers there instead of failing halfway. A read transaction holds one committed state of the
// file from its start to its end; writers of any program wait until it ends, and taking it rolls back a
// journal that a writer who died left behind. Inside a transaction the connection already has open, a
// savepoint stands in for either.
class Transaction {
public:
    enum class Kind { Write, Read };

    explicit Transaction(Database& db, Kind kind = Kind::Write);
    explicit Transaction(sqlite3* db, Kind kind = Kind::Write);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit();

private:
    sqlite3* m_db;
    bool m_nested = false;
    bool m_done = false;
};

} // namespace pell::db
