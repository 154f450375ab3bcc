#include "db/transaction.h"

#include "core/error.h"
#include "db/database.h"
#include "db/statement.h"

#include <sqlite3.h>

namespace pell::db {

Transaction::Transaction(Database& db, Kind kind) : Transaction(db.rawHandle(), kind) {}

Transaction::Transaction(sqlite3* db, Kind kind) : m_db(db) {
    if (!m_db)
        throw Error::make(err::InvalidOperation, QStringLiteral("(the database is closed)"));
    m_nested = sqlite3_get_autocommit(m_db) == 0;
    const char* begin =
        m_nested ? "SAVEPOINT pell_transaction" : (kind == Kind::Write ? "BEGIN IMMEDIATE" : "BEGIN");
    int rc = sqlite3_exec(m_db, begin, nullptr, nullptr, nullptr);
    // A deferred transaction takes its read lock at its first read: taken here, so that the state it holds
    // is the one of its start.
    if (rc == SQLITE_OK && kind == Kind::Read && !m_nested) {
        rc = sqlite3_exec(m_db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            throwSqlite(m_db, rc);
        }
    }
    if (rc != SQLITE_OK)
        throwSqlite(m_db, rc);
}

Transaction::~Transaction() {
    if (m_done)
        return;
    if (m_nested) {
        sqlite3_exec(m_db, "ROLLBACK TO pell_transaction", nullptr, nullptr, nullptr);
        sqlite3_exec(m_db, "RELEASE pell_transaction", nullptr, nullptr, nullptr);
    } else {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void Transaction::commit() {
    const int rc =
        sqlite3_exec(m_db, m_nested ? "RELEASE pell_transaction" : "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        throwSqlite(m_db, rc);
    m_done = true;
}

} // namespace pell::db
