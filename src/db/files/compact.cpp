#include "db/files/operations.h"

#include "core/error.h"
#include "db/database.h"
#include "db/files/engine_file.h"
#include "db/files/posix_files.h"
#include "db/schema.h"

#include <QFileInfo>

// Compaction: a compacted copy, written whole, then put into the database file itself by the engine's own
// backup, behind its rollback journal.
namespace pell::db::files {

void compactDatabase(const QString& source, const QString& destination) {
    checkDatabasePath(destination);
    if (QFileInfo::exists(destination))
        throw Error::make(err::DatabaseExists, destination);
    auto db = Database::open(source, {.exclusive = true});
    db->execute(QStringLiteral("VACUUM INTO ?1"), {destination});
}

void compactInPlace(const QString& givenPath, const QString& copyPath, const std::function<void()>& midway) {
    checkDatabasePath(copyPath);
    if (QFileInfo::exists(copyPath) || QFileInfo(copyPath).isSymLink())
        throw Error::make(err::DatabaseExists, copyPath);
    auto db = Database::open(givenPath, {.exclusive = true});
    requirePellwoodDatabase(*db);
    requireWritableFolder(givenPath);
    holdFileExclusively(*db);

    removeStaleTemps(QFileInfo(copyPath).absolutePath(), QStringLiteral("compacting"));
    SiblingTemp compacted(copyPath, QStringLiteral("compacting"), givenPath);
    // Kept open to the end: the content put into the database is read from this very file, whatever
    // happens to its names.
    Fd written;
    try {
        written = compacted.create();
    } catch (const Error& error) {
        // The hidden name is no name the administrator gave: the copy is what could not be made.
        throw Error(error.number(), QString(error.text()).replace(compacted.path(), copyPath));
    }
    // Reading the whole file through the engine's map spares a copy of every page. The compacted file is
    // synced once, whole, before it is put in place, rather than by the engine as it writes it.
    exec(db->rawHandle(), QStringLiteral("PRAGMA mmap_size=2147418112"));
    exec(db->rawHandle(), QStringLiteral("PRAGMA synchronous=OFF"));
    try {
        db->execute(QStringLiteral("VACUUM INTO ?1"), {compacted.path()});
    } catch (const Error& error) {
        // The file being written is the one a full disk or a failing device concerns.
        if (error.number() == err::EngineDiskFull || error.number() == err::DiskIo)
            throw Error::make(error.number(), copyPath);
        throw;
    }
    syncFile(written.get(), compacted.path());
    SqliteHandle source = openWritten(written.get(), compacted.path());
    compacted.commit(false);
    replaceContent(*db, source.get(), midway);
    db->close();
}

} // namespace pell::db::files
