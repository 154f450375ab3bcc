#include "db/files/operations.h"

#include "core/error.h"
#include "core/progress.h"
#include "db/database.h"
#include "db/files/engine_file.h"
#include "db/files/posix_files.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The backup copy: a committed state of the database, copied byte for byte while writers wait.
namespace pell::db::files {

namespace {

// While another program commits one transaction after the other, the file is free for a reader only in
// the short gaps between them; the engine's usual waiting, in growing steps, would mostly miss those. This
// one asks again every millisecond, for as long as the usual wait would last, and is taken off again when it
// goes out of scope.
class PatientReader {
public:
    explicit PatientReader(sqlite3* db) : m_db(db) {
        m_clock.start();
        sqlite3_busy_handler(m_db, &PatientReader::retry, this);
    }
    ~PatientReader() { sqlite3_busy_timeout(m_db, BusyWaitMs); }
    PatientReader(const PatientReader&) = delete;
    PatientReader& operator=(const PatientReader&) = delete;

private:
    static constexpr int BusyWaitMs = 5000;
    static int retry(void* self, int) {
        auto* reader = static_cast<PatientReader*>(self);
        if (reader->m_clock.elapsed() >= BusyWaitMs)
            return 0;
        ::usleep(1000);
        return 1;
    }
    sqlite3* m_db;
    QElapsedTimer m_clock;
};

// The engine's own handle on the main database file, so that reading it never opens a second descriptor
// (closing one would drop the process's locks on the file).
sqlite3_file* databaseFile(sqlite3* db) {
    sqlite3_file* file = nullptr;
    const int rc = sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file);
    if (rc != SQLITE_OK || !file || !file->pMethods)
        throw Error::make(err::DiskIo);
    return file;
}

// Copies the file as the engine sees it while its read lock is held.
void copyFromEngine(sqlite3* db, int to, const QString& source, const QString& destination) {
    sqlite3_file* file = databaseFile(db);
    const sqlite3_io_methods* io = file->pMethods;
    sqlite3_int64 size = 0;
    if (io->xFileSize(file, &size) != SQLITE_OK)
        throw Error::make(err::DiskIo, source);
    // Best: the kernel copies from the descriptor the engine holds (never one of our own: closing that
    // would drop the engine's locks on the file).
    const int held = heldDescriptor(source);
    if (held >= 0) {
        copyContents(held, to, source, destination, size);
        return;
    }
    constexpr sqlite3_int64 Chunk = sqlite3_int64(16) << 20;
    std::vector<char> buffer;
    for (sqlite3_int64 offset = 0; offset < size;) {
        const int amount = int(std::min(size - offset, Chunk));
        void* mapped = nullptr;
        if (io->iVersion >= 3 && io->xFetch(file, offset, amount, &mapped) == SQLITE_OK && mapped) {
            try {
                writeAll(to, static_cast<const char*>(mapped), amount, destination);
            } catch (...) {
                io->xUnfetch(file, offset, mapped);
                throw;
            }
            io->xUnfetch(file, offset, mapped);
        } else {
            buffer.resize(size_t(Chunk));
            if (io->xRead(file, buffer.data(), amount, offset) != SQLITE_OK)
                throw Error::make(err::DiskIo, source);
            writeAll(to, buffer.data(), amount, destination);
        }
        offset += amount;
        ProgressScope::step({}, offset, size, QStringLiteral("bytes"));
    }
}

// The file copy's view of an open failure: access refused is error 70, a missing file 53.
Error asCopyError(const Error& error, const QString& source) {
    switch (error.number()) {
    case err::OpenedExclusively:
    case err::NoPermission:
    case err::Locked:
        return Error::make(err::PermissionDenied, source);
    case err::FileNotFoundDb:
        return Error::make(err::FileNotFound, source);
    default:
        return error;
    }
}

// Every page of one connection's main database into another's, in one step, through the engine's backup:
// the source is read in one read transaction, the destination written in one write transaction under
// its own locks and journal. Waits like any user while others hold the locks.
void transferPages(sqlite3* from, sqlite3* to, const QString& toPath) {
    sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
    if (!backup)
        throwSqlite(to, sqlite3_errcode(to), toPath);
    QElapsedTimer clock;
    clock.start();
    int rc = SQLITE_OK;
    for (;;) {
        rc = sqlite3_backup_step(backup, -1);
        if (rc == SQLITE_DONE || ((rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED) ||
            clock.elapsed() > 5000)
            break;
        ::usleep(1000);
    }
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) {
        const int code = sqlite3_extended_errcode(to) != SQLITE_OK ? sqlite3_extended_errcode(to) : rc;
        throwSqlite(to, code,
                    (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED ? QString() : toPath);
    }
}

// Opens the source of a backup as one more user of it. A database held exclusively by another, or a file
// we may not read, is the runtime's "permission denied" of a file copy.
std::unique_ptr<Database> openForCopy(const QString& source) {
    try {
        return Database::open(source);
    } catch (const Error& error) {
        throw asCopyError(error, source);
    }
}

bool isDamage(const Error& error) {
    return error.number() == err::NotADatabase || error.number() == err::Corrupt;
}

void checkDestination(const QString& destination) {
    if (destination.trimmed().isEmpty())
        throw Error::make(err::PathNotFound, QStringLiteral("(no destination given)"));
    const QFileInfo info(destination);
    if (!info.absoluteDir().exists())
        throw Error::make(err::PathNotFound, destination);
    struct stat st {};
    if (::stat(QFile::encodeName(destination).constData(), &st) != 0) {
        const int why = errno;
        // A link that leads nowhere (or round in a circle) is no destination: the copy would replace the
        // link itself.
        struct stat link {};
        if (::lstat(QFile::encodeName(destination).constData(), &link) == 0 && S_ISLNK(link.st_mode))
            throw Error(err::PathFileAccess,
                        standardText(err::PathFileAccess) + u' ' + destination +
                            (why == ELOOP ? QStringLiteral(" (a link that leads round in a circle)")
                                          : QStringLiteral(" (a link that leads nowhere)")));
        return;
    }
    // A device or a pipe would be replaced by a plain file, never written to as a copy would.
    if (!S_ISREG(st.st_mode))
        throw Error(err::PathFileAccess, standardText(err::PathFileAccess) + u' ' + destination +
                                             (S_ISDIR(st.st_mode) ? QStringLiteral(" (a folder)")
                                                                  : QStringLiteral(" (not a regular file)")));
    // The copy replaces the file by a rename, which a read-only file would not stop; it must refuse the
    // same way a copy over it would.
    if (::access(QFile::encodeName(destination).constData(), W_OK) != 0)
        throw Error::make(err::PermissionDenied, destination);
}

// The engine's shared lock on a file it cannot read as a database, taken on the same bytes as the engine
// takes it: writers of any program wait until it ends. Open file description locks, so that no lock of
// the engine's own connections in this process is touched.
class RawSharedLock {
public:
    RawSharedLock(int fd, const QString& path) : m_fd(fd) {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            if (lock(F_RDLCK, PendingByte, 1)) {
                const bool shared = lock(F_RDLCK, SharedFirst, SharedSize);
                lock(F_UNLCK, PendingByte, 1);
                if (shared)
                    return;
            }
            if (errno != EAGAIN && errno != EACCES)
                throw Error::make(err::LockingUnsupported, path);
            if (clock.elapsed() > 5000)
                throw Error::make(err::PermissionDenied, path);
            ::usleep(1000);
        }
    }
    ~RawSharedLock() { lock(F_UNLCK, SharedFirst, SharedSize); }
    RawSharedLock(const RawSharedLock&) = delete;
    RawSharedLock& operator=(const RawSharedLock&) = delete;

private:
    static constexpr off_t PendingByte = 0x40000000;
    static constexpr off_t SharedFirst = PendingByte + 2;
    static constexpr off_t SharedSize = 510;
    bool lock(short type, off_t start, off_t length) {
        struct flock fl {};
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        fl.l_start = start;
        fl.l_len = length;
        return ::fcntl(m_fd, F_OFD_SETLK, &fl) == 0;
    }
    int m_fd;
};

// Copies a file the engine cannot read as a database byte for byte, keeping the lock protocol: one more
// user on the lock file (a file held exclusively stays refused) and the engine's shared lock on the file.
void copyDamagedFile(const QString& source, int to, const QString& destination) {
    FileLock user;
    try {
        user = FileLock::acquire(source, FileLock::Mode::Shared, true);
    } catch (const Error& error) {
        throw asCopyError(error, source);
    }
    Fd own;
    int from = heldDescriptor(source);
    if (from < 0) {
        own = Fd(::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC));
        if (!own.valid())
            throwErrno(errno, source);
        from = own.get();
    }
    RawSharedLock lock(from, source);
    copyContents(from, to, source, destination);
}

// Copies what a reader of the database sees through the engine: for a database in write-ahead-log mode,
// whose main file alone lacks the latest commits.
void copyThroughEngine(sqlite3* source, const QString& target) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(QFile::encodeName(target).constData(), &raw,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    SqliteHandle out(raw);
    if (rc != SQLITE_OK)
        throwSqlite(raw, rc, target);
    // The copy is synced once, whole, before it is put in place.
    exec(raw, QStringLiteral("PRAGMA journal_mode=OFF"));
    exec(raw, QStringLiteral("PRAGMA synchronous=OFF"));
    transferPages(source, raw, target);
}

} // namespace

bool isSameFile(const QString& a, const QString& b) {
    FileId first;
    FileId second;
    return fileId(a, first) && fileId(b, second) && first.device == second.device &&
           first.inode == second.inode;
}

QString copyDatabaseFile(const QString& source, const QString& destination) {
    checkDestination(destination);
    // A pipe would hold the copy until another program wrote into it; a device is no database. Neither
    // is read, not even as a damaged file.
    struct stat from {};
    if (::stat(QFile::encodeName(source).constData(), &from) == 0 && !S_ISREG(from.st_mode))
        throw Error::make(err::NotADatabase,
                          source + (S_ISFIFO(from.st_mode) ? QStringLiteral(" (a pipe, not a regular file)")
                                                           : QStringLiteral(" (not a regular file)")));
    if (isSameFile(source, destination))
        throw Error::make(err::PermissionDenied, destination);
    // A destination that is a link gets the copy where it leads, as a copy through it would.
    const QString target = fileBehind(destination);
    removeStaleTemps(QFileInfo(target).absolutePath(), QStringLiteral("backup"));
    std::unique_ptr<Database> db;
    try {
        db = openForCopy(source);
    } catch (const Error& error) {
        if (!isDamage(error))
            throw;
    }
    SiblingTemp temp(target, QStringLiteral("backup"), source);
    Fd out = temp.create();
    if (!db) {
        copyDamagedFile(source, out.get(), destination);
    } else if (db->scalar(QStringLiteral("PRAGMA journal_mode")).toString() == QLatin1String("wal")) {
        // Kept open: the owner and bits are given through it below.
        copyThroughEngine(db->rawHandle(), temp.path());
    } else {
        // Where the kernel cannot copy from the engine's descriptor, the engine's map of the file is used.
        exec(db->rawHandle(), QStringLiteral("PRAGMA mmap_size=2147418112"));
        std::optional<Transaction> lock;
        try {
            PatientReader patience(db->rawHandle());
            lock.emplace(db->rawHandle(), Transaction::Kind::Read);
        } catch (const Error& error) {
            if (error.number() == err::Locked)
                throw Error::make(err::PermissionDenied, source);
            if (!isDamage(error))
                throw;
        }
        if (lock) {
            copyFromEngine(db->rawHandle(), out.get(), source, destination);
        } else {
            lock.reset();
            db.reset();
            copyDamagedFile(source, out.get(), destination);
        }
    }
    if (db)
        db->close();
    QString note;
    if (QFileInfo::exists(target) && !copyAccess(target, out.get(), temp.path(), source))
        note =
            QStringLiteral("The earlier copy at %1 belonged to another user; the new copy is yours, with the "
                           "earlier copy's group and permissions.")
                .arg(destination);
    out.close(destination);
    temp.commit();
    return note;
}

} // namespace pell::db::files
