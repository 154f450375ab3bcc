#pragma once

#include <QtGlobal>

struct sqlite3;

// The member's own changes to keyed tables are logged as they are made (one append each, by the capture
// triggers) and folded here into versions made by the member, in the order they were made.
namespace pell::db::replication {

// Runs inside the caller's write transaction. Returns whether there was anything to fold.
bool foldOwnChanges(sqlite3* db, qint64 me);

} // namespace pell::db::replication
