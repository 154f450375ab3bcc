#pragma once

#include "db/files/operations.h"

#include <QString>

struct sqlite3;

namespace pell::db::files {

// Writes a fresh database file at target holding the schema of source (tables, keys, relationships,
// indexes, views, triggers) and every row of source that can still be read. The target must not exist or be
// empty (made with the right permissions by the caller); it is on disk (synced) when this returns. Counts go
// to the report.
void salvageDatabase(sqlite3* source, const QString& target, RepairReport& report);

} // namespace pell::db::files
