#include "db/engine.h"

#include "db/database.h"
#include "db/error.h"
#include "db/maintenance_files.h"
#include "db/maintenance_journal.h"
#include "db/maintenance_salvage.h"
#include "db/schema.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pell::db::engine {

namespace {

void exec(sqlite3* db, const char* sql) {
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        throwSqlite(db, rc);
}

// Holds the engine's read lock for as long as it lives: writers of any program wait (or give up) until it
// ends, so the file on disk stays one committed state. Taking the lock rolls back a journal that an
// interrupted writer left behind.
class ReadLock {
public:
    explicit ReadLock(sqlite3* db) : m_db(db) {
        exec(m_db, "BEGIN");
        const int rc = sqlite3_exec(m_db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            throwSqlite(m_db, rc);
        }
    }
    ~ReadLock() { sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr); }
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;

private:
    sqlite3* m_db;
};

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

// Keeps the engine's exclusive lock on the file until the connection closes, so that no program, not even
// one that ignores our lock file, can write to a file that is about to be replaced.
void holdFileExclusively(Database& db) {
    sqlite3* raw = db.rawHandle();
    exec(raw, "PRAGMA locking_mode=EXCLUSIVE");
    exec(raw, "BEGIN EXCLUSIVE");
    exec(raw, "COMMIT");
}

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
    const int held = files::heldDescriptor(source);
    if (held >= 0) {
        files::copyContents(held, to, source, destination, size);
        return;
    }
    constexpr sqlite3_int64 Chunk = sqlite3_int64(16) << 20;
    std::vector<char> buffer;
    for (sqlite3_int64 offset = 0; offset < size;) {
        const int amount = int(std::min(size - offset, Chunk));
        void* mapped = nullptr;
        if (io->iVersion >= 3 && io->xFetch(file, offset, amount, &mapped) == SQLITE_OK && mapped) {
            try {
                files::writeAll(to, static_cast<const char*>(mapped), amount, destination);
            } catch (...) {
                io->xUnfetch(file, offset, mapped);
                throw;
            }
            io->xUnfetch(file, offset, mapped);
        } else {
            buffer.resize(size_t(Chunk));
            if (io->xRead(file, buffer.data(), amount, offset) != SQLITE_OK)
                throw Error::make(err::DiskIo, source);
            files::writeAll(to, buffer.data(), amount, destination);
        }
        offset += amount;
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
    if (::stat(QFile::encodeName(destination).constData(), &st) != 0)
        return;
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

// The file itself where the path is a link to it: the replacement must take the file's place, not the
// link's, or users reaching the file by its own name would go on with the old one.
QString fileBehind(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
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
    files::Fd own;
    int from = files::heldDescriptor(source);
    if (from < 0) {
        own = files::Fd(::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC));
        if (!own.valid())
            files::throwErrno(errno, source);
        from = own.get();
    }
    RawSharedLock lock(from, source);
    files::copyContents(from, to, source, destination);
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
    exec(raw, "PRAGMA journal_mode=OFF");
    exec(raw, "PRAGMA synchronous=OFF");
    transferPages(source, raw, target);
}

QStringList integrityProblems(Database& db) {
    QStringList problems;
    try {
        Statement integrity = db.prepare(QStringLiteral("PRAGMA integrity_check"));
        while (integrity.step()) {
            const QString line = integrity.value(0).toString();
            if (line != QLatin1String("ok"))
                problems << line;
        }
    } catch (const Error& error) {
        if (error.number() != err::Corrupt && error.number() != err::NotADatabase)
            throw;
        problems << error.text();
    }
    return problems;
}

} // namespace

bool isSameFile(const QString& a, const QString& b) {
    files::FileId first;
    files::FileId second;
    return files::fileId(a, first) && files::fileId(b, second) && first.device == second.device &&
           first.inode == second.inode;
}

QString copyDatabaseFile(const QString& source, const QString& destination) {
    checkDestination(destination);
    if (isSameFile(source, destination))
        throw Error::make(err::PermissionDenied, destination);
    // A destination that is a link gets the copy where it leads, as a copy through it would.
    const QString target = fileBehind(destination);
    files::removeStaleTemps(QFileInfo(target).absolutePath(), QStringLiteral("backup"));
    std::unique_ptr<Database> db;
    try {
        db = openForCopy(source);
    } catch (const Error& error) {
        if (!isDamage(error))
            throw;
    }
    files::SiblingTemp temp(target, QStringLiteral("backup"), source);
    files::Fd out = temp.create();
    if (!db) {
        copyDamagedFile(source, out.get(), destination);
    } else if (db->scalar(QStringLiteral("PRAGMA journal_mode")).toString() == QLatin1String("wal")) {
        out.close(destination);
        copyThroughEngine(db->rawHandle(), temp.path());
    } else {
        // Where the kernel cannot copy from the engine's descriptor, the engine's map of the file is used.
        exec(db->rawHandle(), "PRAGMA mmap_size=2147418112");
        std::optional<ReadLock> lock;
        try {
            PatientReader patience(db->rawHandle());
            lock.emplace(db->rawHandle());
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
    if (out.valid())
        out.close(destination);
    QString note;
    if (QFileInfo::exists(target) && !files::copyAccess(target, temp.path(), source))
        note =
            QStringLiteral("The earlier copy at %1 belonged to another user; the new copy is yours, with the "
                           "earlier copy's group and permissions.")
                .arg(destination);
    temp.commit();
    return note;
}

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
    holdFileExclusively(*db);

    files::removeStaleTemps(QFileInfo(copyPath).absolutePath(), QStringLiteral("compacting"));
    files::SiblingTemp compacted(copyPath, QStringLiteral("compacting"), givenPath);
    compacted.create().close(compacted.path());
    // Reading the whole file through the engine's map spares a copy of every page. The compacted file is
    // synced once, whole, before it is put in place, rather than by the engine as it writes it.
    exec(db->rawHandle(), "PRAGMA mmap_size=2147418112");
    exec(db->rawHandle(), "PRAGMA synchronous=OFF");
    try {
        db->execute(QStringLiteral("VACUUM INTO ?1"), {compacted.path()});
    } catch (const Error& error) {
        // The file being written is the one a full disk or a failing device concerns.
        if (error.number() == err::EngineDiskFull || error.number() == err::DiskIo)
            throw Error::make(error.number(), copyPath);
        throw;
    }
    compacted.commit(false);
    writeThroughJournal(db->rawHandle(), copyPath, midway);
    db->close();
}

namespace {

constexpr int HeaderSize = 100;

bool validPageSize(qint64 size) {
    return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

// How much the pages of a file look like database pages if it had the given page size: the share of
// page starts after the first that hold a plausible b-tree page header.
double pageLikeness(int fd, qint64 fileSize, qint64 pageSize) {
    if (fileSize % pageSize != 0 || fileSize / pageSize < 2)
        return -1;
    const qint64 pages = std::min<qint64>(fileSize / pageSize - 1, 256);
    int plausible = 0;
    unsigned char head[12];
    for (qint64 i = 1; i <= pages; ++i) {
        if (::pread(fd, head, sizeof head, off_t(i * pageSize)) != qint64(sizeof head))
            break;
        const int kind = head[0];
        const qint64 cells = (head[3] << 8) | head[4];
        const qint64 content = ((head[5] << 8) | head[6]) == 0 ? 65536 : ((head[5] << 8) | head[6]);
        const qint64 headerBytes = (kind == 2 || kind == 5) ? 12 : 8;
        if ((kind == 2 || kind == 5 || kind == 10 || kind == 13) && headerBytes + 2 * cells <= pageSize &&
            content <= pageSize && content >= headerBytes + 2 * cells)
            ++plausible;
    }
    return double(plausible) / double(pages);
}

// Mends the 100-byte header of a database file whose header is damaged: the page size found from the
// pages themselves, the fixed format bytes, the page count from the file size. The free-page list is
// dropped (salvage reads only rows). Returns false when no page size fits: the file holds no database.
bool mendHeader(int fd, qint64 fileSize, QString& why) {
    unsigned char header[HeaderSize] = {};
    if (::pread(fd, header, HeaderSize, 0) != HeaderSize) {
        why = QStringLiteral("it is too short to hold a database");
        return false;
    }
    qint64 pageSize = (header[16] << 8) | header[17];
    if (pageSize == 1)
        pageSize = 65536;
    if (!validPageSize(pageSize) || pageLikeness(fd, fileSize, pageSize) < 0.5) {
        double best = 0;
        pageSize = 0;
        for (qint64 candidate = 512; candidate <= 65536; candidate *= 2) {
            const double likeness = pageLikeness(fd, fileSize, candidate);
            if (likeness > best) {
                best = likeness;
                pageSize = candidate;
            }
        }
        if (pageSize == 0 || best < 0.25) {
            why = QStringLiteral("no database pages were found in it");
            return false;
        }
    }
    static const char magic[] = "SQLite format 3";
    std::memcpy(header, magic, sizeof magic);
    header[16] = pageSize == 65536 ? 0 : (unsigned char)(pageSize >> 8);
    header[17] = pageSize == 65536 ? 1 : (unsigned char)(pageSize & 0xff);
    header[18] = header[19] = 1;
    if (header[20] > 32)
        header[20] = 0;
    header[21] = 64;
    header[22] = 32;
    header[23] = 32;
    const auto put = [&](int at, quint32 value) {
        for (int i = 0; i < 4; ++i)
            header[at + i] = (unsigned char)(value >> (24 - 8 * i));
    };
    put(28, quint32(fileSize / pageSize));
    put(32, 0);
    put(36, 0);
    put(44, 4);
    if (header[59] < 1 || header[59] > 3 || header[56] || header[57] || header[58])
        put(56, 1);
    // No vacuum bookkeeping: reading the rows needs none, and stale values would make pages look damaged.
    put(52, 0);
    put(64, 0);
    std::memset(header + 72, 0, 20);
    std::memcpy(header + 92, header + 24, 4);
    if (::pwrite(fd, header, HeaderSize, 0) != HeaderSize) {
        why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

bool schemaReadable(sqlite3* db) {
    return sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr) == SQLITE_OK;
}

SqliteHandle openPlain(const QString& path, int flags) {
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    SqliteHandle handle(raw);
    if (rc != SQLITE_OK)
        throwSqlite(raw, rc, path);
    sqlite3_extended_result_codes(raw, 1);
    return handle;
}

// Gives a database file whose header is damaged the header of a sound file of the same page size, so
// that the engine can begin the transaction that writes the repaired content into it. The bytes replaced
// were unreadable anyway; the journal of that transaction then keeps this state to return to.
void mendHeaderInPlace(const QString& path, const QString& soundFile) {
    unsigned char header[HeaderSize];
    {
        files::Fd sound(::open(QFile::encodeName(soundFile).constData(), O_RDONLY | O_CLOEXEC));
        if (!sound.valid() || ::pread(sound.get(), header, HeaderSize, 0) != HeaderSize)
            files::throwErrno(errno, soundFile);
    }
    int fd = files::heldDescriptor(path);
    files::Fd own;
    if (fd < 0 || (::fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDWR) {
        own = files::Fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC));
        if (!own.valid())
            files::throwErrno(errno, path);
        fd = own.get();
    }
    if (::pwrite(fd, header, HeaderSize, 0) != HeaderSize)
        files::throwErrno(errno, path);
    files::syncFile(fd, path);
}

} // namespace

namespace {
RepairReport repairOpenDatabase(const QString& givenPath);
} // namespace

RepairReport repairDatabase(const QString& givenPath) {
    try {
        return repairOpenDatabase(givenPath);
    } catch (const Error& error) {
        // Damage the repair itself could not get past: telling the administrator to run Repair would send
        // them round in a circle.
        if (error.number() == err::Corrupt || error.number() == err::NotADatabase)
            throw Error::make(err::Unrepairable,
                              givenPath +
                                  QStringLiteral(" (the engine found damage it could not read past)"));
        throw;
    }
}

namespace {
RepairReport repairOpenDatabase(const QString& givenPath) {
    auto db = Database::open(givenPath, {.exclusive = true, .unchecked = true});
    const QString path = fileBehind(givenPath);
    const qint64 size = QFileInfo(path).size();
    if (size == 0)
        throw Error::make(err::NotPellwood, givenPath + QStringLiteral(" (the file is empty)"));
    RepairReport report;
    const bool readable = schemaReadable(db->rawHandle());
    if (readable) {
        requirePellwoodDatabase(*db);
        report.problems = integrityProblems(*db);
        if (report.problems.isEmpty()) {
            db->execute(QStringLiteral("REINDEX"));
            db->execute(QStringLiteral("VACUUM"));
            return report;
        }
        holdFileExclusively(*db);
    } else {
        report.problems << QStringLiteral("the header or the list of tables cannot be read");
    }

    const QString folder = QFileInfo(path).absolutePath();
    files::removeStaleTemps(folder, QStringLiteral("repairing"));
    files::removeStaleTemps(folder, QStringLiteral("mending"));
    files::SiblingTemp fresh(path, QStringLiteral("repairing"), path);
    fresh.create().close(fresh.path());
    if (readable) {
        salvageDatabase(db->rawHandle(), fresh.path(), report);
    } else {
        // The damaged file is mended in a scratch copy; the original stays as it is until the salvaged
        // content is complete.
        files::SiblingTemp scratch(path, QStringLiteral("mending"), path);
        {
            files::Fd copy = scratch.create();
            files::Fd in(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
            if (!in.valid())
                files::throwErrno(errno, path);
            files::copyContents(in.get(), copy.get(), path, scratch.path());
            QString why;
            if (!mendHeader(copy.get(), size, why))
                throw Error::make(err::Unrepairable, givenPath + QStringLiteral(" (") + why +
                                                         QStringLiteral("; the file was left as it is)"));
        }
        SqliteHandle mended = openPlain(scratch.path(), SQLITE_OPEN_READWRITE);
        if (!schemaReadable(mended.get()))
            throw Error::make(err::Unrepairable,
                              givenPath + QStringLiteral(" (its first page, which lists the tables, is "
                                                         "destroyed, so no table can be found; the file was "
                                                         "left as it is)"));
        const QStringList foreign = schemaProblemsOf(mended.get());
        if (!foreign.isEmpty())
            throw Error::make(err::NotPellwood,
                              givenPath + QStringLiteral(" (") + foreign.join(QStringLiteral("; ")) + u')');
        salvageDatabase(mended.get(), fresh.path(), report);
        mended.reset();
        mendHeaderInPlace(path, fresh.path());
        holdFileExclusively(*db);
    }
    files::syncPath(fresh.path());
    writeThroughJournal(db->rawHandle(), fresh.path());
    db->close();
    report.salvaged = true;
    return report;
}
} // namespace

namespace {

struct ExpectedTable {
    const char* name;
    std::vector<const char*> columns;
    const char* key; // a unique key that ignores case, or nullptr
};

const std::vector<ExpectedTable>& sharedTables() {
    static const std::vector<ExpectedTable> tables = {
        {"USER",
         {"User_ID", "User_Name", "User_Password", "User_Review_Account", "Allow_Forwarding",
          "Edit_Contact_Info", "Delete_Contact_Info", "Full_Access", "Teammate_Access", "Supervisor_User_ID"},
         "User_ID"},
        {"LU_Category", {"Category"}, "Category"},
        {"LU_Priority", {"Priority"}, "Priority"},
        {"TOOL",
         {"Tool_Name", "Tool_EXE", "Tool_Access_Screen", "Tool_SCR_Screen", "Tool_Param_User_ID",
          "Tool_Param_SCR_Number"},
         "Tool_Name"},
        {"SYSTEM",
         {"MAX_STORAGE", "Chunk_Size", "Mand_Target_Date", "Mand_Category", "Mand_Contact", "Mand_Priority",
          "Allow_Unowned_Edit", "Edit_Attachments"},
         nullptr},
        {"SCR", {"SCR_Number", "SCR_STATUS", "SCR_OWNER_DATE_IN"}, nullptr},
        {"ATTACH", {"SCR_Number"}, nullptr},
        {"ROUTE", {"SCR_Number"}, nullptr},
    };
    return tables;
}

QStringList lowered(sqlite3* db, const QString& sql, const QString& arg) {
    QStringList values;
    Statement stmt(db, sql);
    stmt.bind(1, arg);
    while (stmt.step())
        values << stmt.value(0).toString().toLower();
    return values;
}

// Whether column alone is a unique key of table that compares text ignoring case.
bool isCaseInsensitiveKey(sqlite3* db, const QString& table, const QString& column) {
    Statement indexes(
        db, QStringLiteral("SELECT name FROM pragma_index_list(?1) WHERE \"unique\" AND NOT partial"));
    indexes.bind(1, table);
    while (indexes.step()) {
        Statement keys(
            db, QStringLiteral("SELECT name, coll FROM pragma_index_xinfo(?1) WHERE key = 1 ORDER BY seqno"));
        keys.bind(1, indexes.value(0).toString());
        QStringList names;
        QString collation;
        while (keys.step()) {
            names << keys.value(0).toString();
            collation = keys.value(1).toString();
        }
        if (names.size() == 1 && names.constFirst().compare(column, Qt::CaseInsensitive) == 0 &&
            collation.compare(QLatin1String("NOCASE"), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

QStringList schemaProblemsOf(sqlite3* db) {
    QStringList problems;
    const auto existing = [&](const QString& name) {
        Statement stmt(db, QStringLiteral("SELECT name FROM sqlite_schema WHERE type = 'table' AND name = ?1 "
                                          "COLLATE NOCASE"));
        stmt.bind(1, name);
        return stmt.step() ? stmt.value(0).toString() : QString();
    };
    if (!existing(QStringLiteral("REPLICA")).isEmpty() && existing(QStringLiteral("USER")).isEmpty() &&
        existing(QStringLiteral("SCR")).isEmpty()) {
        // The replica-administration database: one table of locations.
        if (!lowered(db, QStringLiteral("SELECT name FROM pragma_table_info(?1)"), QStringLiteral("REPLICA"))
                 .contains(QStringLiteral("replica_location")))
            problems << QStringLiteral("table REPLICA has no column Replica_Location");
        return problems;
    }
    for (const ExpectedTable& expected : sharedTables()) {
        const QString name = existing(QString::fromLatin1(expected.name));
        if (name.isEmpty()) {
            problems << QStringLiteral("table %1 is missing").arg(QLatin1String(expected.name));
            continue;
        }
        const QStringList columns =
            lowered(db, QStringLiteral("SELECT name FROM pragma_table_info(?1)"), name);
        for (const char* column : expected.columns) {
            if (!columns.contains(QString::fromLatin1(column).toLower()))
                problems << QStringLiteral("table %1 has no column %2").arg(name, QLatin1String(column));
        }
        if (expected.key && columns.contains(QString::fromLatin1(expected.key).toLower()) &&
            !isCaseInsensitiveKey(db, name, QString::fromLatin1(expected.key)))
            problems << QStringLiteral("%1 of table %2 is not a unique key that ignores case")
                            .arg(QLatin1String(expected.key), name);
    }
    const QString tasks = existing(QStringLiteral("SCR"));
    if (tasks.isEmpty())
        return problems;
    // Tasks must refer to their owner, category and priority without cascading deletes; attachments and
    // routing steps must not refuse the deletion of their task.
    struct Relation {
        const char* table;
        const char* column;
    };
    for (const Relation relation : {Relation{"USER", "User_ID"}, Relation{"LU_Category", "Category"},
                                    Relation{"LU_Priority", "Priority"}}) {
        Statement fks(db,
                      QStringLiteral("SELECT \"table\", \"to\", on_delete FROM pragma_foreign_key_list(?1)"));
        fks.bind(1, tasks);
        bool found = false;
        bool cascades = false;
        while (fks.step()) {
            if (fks.value(0).toString().compare(QLatin1String(relation.table), Qt::CaseInsensitive) != 0)
                continue;
            const QString to = fks.value(1).toString();
            if (!to.isEmpty() && to.compare(QLatin1String(relation.column), Qt::CaseInsensitive) != 0)
                continue;
            const QString onDelete = fks.value(2).toString().toUpper();
            if (onDelete == QLatin1String("NO ACTION") || onDelete == QLatin1String("RESTRICT"))
                found = true;
            else
                cascades = true;
        }
        if (!found && cascades)
            problems << QStringLiteral(
                            "the relationship from %1 to %2 deletes or changes tasks instead of refusing")
                            .arg(tasks, QLatin1String(relation.table));
        else if (!found)
            problems << QStringLiteral("table %1 has no relationship to %2.%3")
                            .arg(tasks, QLatin1String(relation.table), QLatin1String(relation.column));
    }
    for (const char* child : {"ATTACH", "ROUTE"}) {
        const QString name = existing(QString::fromLatin1(child));
        if (name.isEmpty())
            continue;
        Statement fks(db, QStringLiteral("SELECT \"table\", on_delete FROM pragma_foreign_key_list(?1)"));
        fks.bind(1, name);
        while (fks.step()) {
            const QString onDelete = fks.value(1).toString().toUpper();
            if (fks.value(0).toString().compare(tasks, Qt::CaseInsensitive) == 0 &&
                (onDelete == QLatin1String("NO ACTION") || onDelete == QLatin1String("RESTRICT")))
                problems << QStringLiteral("the relationship from %1 to %2 refuses the deletion of a task")
                                .arg(name, tasks);
        }
    }
    return problems;
}

QStringList schemaProblems(Database& db) {
    return schemaProblemsOf(db.rawHandle());
}

void requirePellwoodDatabase(Database& db) {
    if (QFileInfo(db.path()).size() == 0)
        throw Error::make(err::NotPellwood, db.path() + QStringLiteral(" (the file is empty)"));
    const QStringList problems = schemaProblems(db);
    if (!problems.isEmpty())
        throw Error::make(err::NotPellwood,
                          db.path() + QStringLiteral(" (") + problems.join(QStringLiteral("; ")) + u')');
}

QStringList checkDatabase(const QString& path) {
    // A normal open, as any user's: a journal left by a writer that died is rolled back first, so the
    // check sees the last committed state instead of failing on the journal.
    auto db = Database::open(path);
    if (QFileInfo(path).size() == 0 && db->tableNames().isEmpty())
        return {QStringLiteral("the file is empty: it holds no database")};
    QStringList problems = integrityProblems(*db);
    try {
        if (problems.isEmpty()) {
            problems << schemaProblems(*db);
            const bool shared = !db->actualTableName(QStringLiteral("USER")).isEmpty();
            if (shared && problems.isEmpty()) {
                if (db->scalar(QStringLiteral("SELECT count(*) FROM \"SYSTEM\"")).toLongLong() == 0)
                    problems << QStringLiteral("table SYSTEM has no options row");
                if (db->scalar(QStringLiteral("SELECT count(*) FROM \"USER\" WHERE User_ID = 'admin'"))
                        .toLongLong() == 0)
                    problems << QStringLiteral("table USER has no user admin, the root of the team tree");
            }
        }
        Statement fk = db->prepare(QStringLiteral("PRAGMA foreign_key_check"));
        while (fk.step())
            problems << QStringLiteral("row %1 of %2 refers to a missing record of %3")
                            .arg(fk.value(1).toString(), fk.value(0).toString(), fk.value(2).toString());
        // The relationships the product keeps without declaring them: a routing step or attachment belongs to
        // a task, a user's supervisor is a user.
        for (const Relationship& r : undeclaredRelationships()) {
            if (db->actualTableName(r.child).isEmpty() || db->actualTableName(r.parent).isEmpty())
                continue;
            Statement key =
                db->prepare(QStringLiteral("SELECT name FROM pragma_table_info(?1) WHERE pk = 1"));
            key.bind(1, r.parent);
            if (!key.step())
                continue;
            const QString parentKey = key.value(0).toString();
            Statement orphans = db->prepare(
                QStringLiteral(
                    "SELECT rowid, %1 FROM %2 T WHERE %1 IS NOT NULL AND NOT EXISTS (SELECT 1 FROM %3 P "
                    "WHERE P.%4 = T.%1)")
                    .arg(quoteIdentifier(r.column), quoteIdentifier(r.child), quoteIdentifier(r.parent),
                         quoteIdentifier(parentKey)));
            while (orphans.step())
                problems << QStringLiteral("row %1 of %2 refers to a missing record of %3 (%4 %5)")
                                .arg(orphans.value(0).toString(), r.child, r.parent, r.column,
                                     orphans.value(1).toString());
        }
    } catch (const Error& error) {
        if (problems.isEmpty())
            throw;
        problems << error.text(); // the damage already found stops the relationship check too
    }
    return problems;
}

} // namespace pell::db::engine
