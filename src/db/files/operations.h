#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The engine's operations on whole database files (DBEngine): backup copy, compaction, repair, check.
namespace pell::db {
class Database;
}

namespace pell::db::files {

// Writes a compacted copy of source to destination. The destination must not exist (3204); the source is
// held exclusively while it is read (3045/3356 while others use it).
void compactDatabase(const QString& source, const QString& destination);

// Compacts the database at path in place and leaves a second copy of the compacted database at copyPath,
// which must not exist (3204). The database is held exclusively throughout, under the engine's exclusive
// lock too; a file left in write-ahead-log mode is first checkpointed and returned to the rollback journal
// (holdFileExclusively). A folder where the journal cannot be written is refused at once (3905). The
// compacted copy is written and synced first; its content then goes into the database file itself by the
// engine's own backup, behind its rollback journal (replaceContent), read from the copy this call wrote,
// never from a name. The file keeps its identity, owner, group and permissions, and connections that other
// programs opened earlier go on with the compacted content instead of a replaced file. An interruption at
// any point leaves the original or the compacted database, complete. midway runs when half the compacted
// content is in the database (tests interrupt there). A file that is not a Pellwood database is refused
// (3907).
void compactInPlace(const QString& path, const QString& copyPath, const std::function<void()>& midway = {});

// What a repair did.
struct RepairReport {
    bool salvaged = false; // the file was damaged and its readable rows were moved into a fresh file
    qint64 rowsKept = 0;   // rows written to the fresh file
    qint64 rowsLost = 0;   // rows known to be lost (refused by a key); unreadable pages are not counted
    QStringList problems;  // what the check found before the repair
};

// Repairs the file in place, holding it exclusively. An intact file is checked and rebuilt (indexes and
// free pages); a damaged one has every readable row of every table salvaged into a fresh file with the
// same schema, keys and relationships, whose content then goes into the database file through the
// engine's own backup, as compaction does. A damaged header is mended in a scratch copy first. A file that
// is empty or holds another program's tables is refused (3907); one whose list of tables is destroyed
// cannot be repaired (3908, saying why); either is left as it was.
RepairReport repairDatabase(const QString& path);

// Integrity, schema and relationship check of a shared database (or of a replica-administration
// database); returns the problems found (empty: sound).
QStringList checkDatabase(const QString& path);

// Copies the database file byte for byte while holding the engine's read lock on it, so that writers wait
// and the copy is a committed state (a journal left by an interrupted writer is rolled back first). A
// database in write-ahead-log mode is copied as a reader sees it, through the engine. A damaged file that
// the engine cannot read is still copied byte for byte, under the same locks. The copy is written beside
// the destination with the database's permission bits, synced, and renamed into place: a failure or a
// power cut never leaves a partial file nor destroys an existing one. A replaced copy keeps its owner,
// group and permission bits (never wider than the database's). Errors: 70 when access is refused (the
// destination may not be written, or the database is held exclusively by another user), 75 for a
// destination that is no regular file, the runtime's or the engine's own error otherwise. Returns a note
// for the administrator when the replaced copy's owner could not be kept, else nothing.
QString copyDatabaseFile(const QString& source, const QString& destination);

// Builds a new database at path, which must not exist (3204): fill gets a connection to a hidden file
// beside it, which is synced and renamed to path only when fill has returned, so a failure (a full disk)
// or an interruption never leaves a half-built database under that name; the hidden file is removed
// again. The file gets the permission bits the creation mask allows, and in a folder that passes its
// group on (set-group-id) read and write for that group as for the owner, whatever the mask: the group
// shares the database. Errors name path.
void buildNewDatabase(const QString& path, const std::function<void(Database&)>& fill);

// Whether two paths lead to the same file on disk (a link, another spelling of the path).
bool isSameFile(const QString& a, const QString& b);

} // namespace pell::db::files
