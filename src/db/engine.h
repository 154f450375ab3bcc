#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace pell::db {

// Whole-file operations of the engine (DBEngine).
namespace engine {

// Writes a compacted copy of source to destination. The destination must not exist (3204); the source is
// held exclusively while it is read (3045/3356 while others use it).
void compactDatabase(const QString& source, const QString& destination);

// Compacts the database at path in place and leaves a second copy of the compacted database at copyPath,
// which must not exist (3204). The database is held exclusively from the start until the compacted file
// has taken its place; the original stays untouched until that one atomic rename, so an interruption at
// any point leaves either the original or the compacted database, complete. beforeSwap runs just before
// the rename (tests interrupt there).
void compactInPlace(const QString& path, const QString& copyPath,
                    const std::function<void()>& beforeSwap = {});

// What a repair did.
struct RepairReport {
    bool salvaged = false; // the file was damaged and its readable rows were moved into a fresh file
    qint64 rowsKept = 0;   // rows written to the fresh file
    qint64 rowsLost = 0;   // rows known to be lost (refused by a key); unreadable pages are not counted
    QStringList problems;  // what the check found before the repair
};

// Repairs the file in place, holding it exclusively. An intact file is checked and rebuilt (indexes and
// free pages); a damaged one has every readable row of every table salvaged into a fresh file with the
// same schema, keys and relationships, which then replaces it atomically.
RepairReport repairDatabase(const QString& path);

// Integrity and foreign-key check; returns the problems found (empty: sound).
QStringList checkDatabase(const QString& path);

// Copies the database file byte for byte while holding the engine's read lock on it, so that writers wait
// and the copy is a committed state (a journal left by an interrupted writer is rolled back first). The
// copy is written beside the destination and renamed into place when complete: a failure never leaves a
// partial file nor destroys an existing one. Errors: 70 when access is refused (the destination may not
// be written, or the database is held exclusively by another user), the runtime's or the engine's own
// error otherwise.
void copyDatabaseFile(const QString& source, const QString& destination);

// Whether two paths lead to the same file on disk (a link, another spelling of the path).
bool isSameFile(const QString& a, const QString& b);

} // namespace engine
} // namespace pell::db
