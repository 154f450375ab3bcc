#pragma once

#include "db/statement.h"

#include <QString>
#include <QStringList>

struct sqlite3;

namespace pell::db {
class Database;
}

// What the whole-file operations share about the engine's hold on a database file.
namespace pell::db::files {

// Keeps the engine's exclusive lock on the file until the connection closes, so that no program, not even
// one that ignores our lock file, can write to a file that is about to be replaced.
void holdFileExclusively(Database& db);

// The file itself where the path is a link to it: a replacement must take the file's place, not the
// link's, or users reaching the file by its own name would go on with the old one.
QString fileBehind(const QString& path);

// What the engine's integrity check finds wrong with the file; empty when it is sound. Damage that stops
// the check is one of the problems.
QStringList integrityProblems(Database& db);

// Whether the engine can read the file's list of tables.
bool schemaReadable(sqlite3* db);
// A plain connection to a file, outside the lock protocol of Database (scratch files of the repair).
SqliteHandle openPlain(const QString& path, int flags);

} // namespace pell::db::files
