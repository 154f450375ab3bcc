#pragma once

#include "db/statement.h"

#include <QString>
#include <QStringList>

#include <functional>

struct sqlite3;

namespace pell::db {
class Database;
}

// What the whole-file operations share about the engine's hold on a database file.
namespace pell::db::files {

// Keeps the engine's exclusive lock on the file until the connection closes, so that no program, not even
// one that ignores our lock file, can write to a file that is about to be replaced. A file that another
// program left in write-ahead-log mode has every logged transaction written into it and goes back to the
// rollback journal first, under that lock: a whole-file rewrite beneath a log would be undone by the next
// checkpoint. Where the log cannot be emptied (another connection still reads it) nothing is rewritten:
// 3045.
void holdFileExclusively(Database& db);

// Before a rewrite of the whole file: the engine writes its rollback journal beside the database, so a
// folder that may not be written is refused at once (3905), before any work is done.
void requireWritableFolder(const QString& databasePath);

// A read-only connection to a database file that this process made and wrote: written is the descriptor it
// kept since it created the file at writtenPath. The engine opens by name, so the connection is proven to
// lead to that very file; a name taken over in the meantime never brings another database's content in.
// The connection holds the file to the end, whatever later happens to its name (it may be published).
SqliteHandle openWritten(int written, const QString& writtenPath);

// Puts the content of source into the database that db holds exclusively (holdFileExclusively), through
// the engine's own backup: one transaction of the database, behind its rollback journal, synced in full.
// The file keeps its identity, owner, group and permissions; connections that other programs opened
// earlier see the change counter and schema cookie move on and read the new content. An interruption
// leaves a journal that the next user rolls back. midway runs when half the new content is in the
// database file (tests interrupt there). Leaves the database unlocked, to be closed.
void replaceContent(Database& db, sqlite3* source, const std::function<void()>& midway = {});

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
