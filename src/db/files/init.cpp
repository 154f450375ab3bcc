#include "db/files/operations.h"

#include "core/error.h"
#include "db/database.h"
#include "db/files/posix_files.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A new database: built whole in a hidden file, then given its name.
namespace pell::db::files {

namespace {

// The bits a new file gets from the creation mask, widened to the group in a folder that passes its group
// on: whoever makes the database there makes it for the group.
mode_t newDatabaseBits(const QString& folder) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode_t bits = 0666 & ~mask;
    struct stat dir {};
    if (::stat(QFile::encodeName(folder).constData(), &dir) == 0 && (dir.st_mode & S_ISGID))
        bits |= (bits & 0600) >> 3;
    return bits;
}

} // namespace

void buildNewDatabase(const QString& path, const std::function<void(Database&)>& fill) {
    checkDatabasePath(path);
    struct stat existing {};
    if (::lstat(QFile::encodeName(path).constData(), &existing) == 0)
        throw Error::make(err::DatabaseExists, path);
    const QString folder = QFileInfo(path).absolutePath();
    removeStaleTemps(folder, QStringLiteral("init"));
    const QString temp = hiddenTempPath(path, QStringLiteral("init"));
    const mode_t bits = newDatabaseBits(folder);
    Fd file(::open(QFile::encodeName(temp).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                   bits));
    if (!file.valid())
        throwErrno(errno, path);
    bool published = false;
    const auto cleanUp = [&] {
        if (published)
            return;
        ::unlink(QFile::encodeName(temp).constData());
        ::unlink(QFile::encodeName(temp + QStringLiteral("-journal")).constData());
    };
    try {
        markInUse(file.get());
        // The mask may have narrowed what the folder's group is to share.
        if (::fchmod(file.get(), bits) != 0)
            throwErrno(errno, path);
        {
            auto db = Database::open(temp, {.exclusive = true, .unshared = true});
            exec(db->rawHandle(), QStringLiteral("PRAGMA journal_mode=DELETE"));
            fill(*db);
            db->close();
        }
        syncFile(file.get(), path);
        publishDurably(temp, path, false);
        published = true;
    } catch (const Error& error) {
        cleanUp();
        // The hidden file is no name the administrator knows: the database being made is what failed.
        if (error.text().contains(temp))
            throw Error(error.number(), QString(error.text()).replace(temp, path));
        throw;
    } catch (...) {
        cleanUp();
        throw;
    }
}

} // namespace pell::db::files
