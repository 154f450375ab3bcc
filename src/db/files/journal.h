#pragma once

#include <QString>

#include <functional>

struct sqlite3;

namespace pell::db::files {

// Replaces the whole content of the database that the connection holds with the engine's exclusive lock
// by the content of another database file, as the engine commits a transaction: every original page goes
// first into a rollback journal beside the database, in the engine's own format, synced with its folder;
// then the new content is written into the same file and synced, and deleting the journal commits. The
// file keeps its identity, owner and permissions. An interruption at any moment leaves either the new
// content or a journal that the engine's next user rolls back to the original, complete. The header's
// change counter and schema cookie move on, so other connections drop what they cached. midway runs when
// the journal is on disk and half the new content is written (tests interrupt there). The connection
// must be closed afterwards without further use: its cache holds the old content.
void writeThroughJournal(sqlite3* db, const QString& from, const std::function<void()>& midway = {});

} // namespace pell::db::files
