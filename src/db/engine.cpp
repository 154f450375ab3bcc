#include "db/engine.h"

#include "db/database.h"
#include "db/error.h"
#include "db/maintenance_files.h"
#include "db/maintenance_salvage.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <optional>
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

// Opens the source of a backup as one more user of it. A database held exclusively by another, or a file
// we may not read, is the runtime's "permission denied" of a file copy.
std::unique_ptr<Database> openForCopy(const QString& source) {
    try {
        return Database::open(source);
    } catch (const Error& error) {
        switch (error.number()) {
        case err::OpenedExclusively:
        case err::NoPermission:
        case err::Locked:
            throw Error::make(err::PermissionDenied, source);
        case err::FileNotFoundDb:
            throw Error::make(err::FileNotFound, source);
        default:
            throw;
        }
    }
}

void checkDestination(const QString& destination) {
    if (destination.trimmed().isEmpty())
        throw Error::make(err::PathNotFound, QStringLiteral("(no destination given)"));
    const QFileInfo info(destination);
    if (!info.absoluteDir().exists())
        throw Error::make(err::PathNotFound, destination);
    if (info.isDir())
        throw Error::make(err::PathFileAccess, destination);
    // The copy replaces the file by a rename, which a read-only file would not stop; it must refuse the
    // same way a copy over it would.
    if (info.exists() && ::access(QFile::encodeName(destination).constData(), W_OK) != 0)
        throw Error::make(err::PermissionDenied, destination);
}

// The file itself where the path is a link to it: the replacement must take the file's place, not the
// link's, or users reaching the file by its own name would go on with the old one.
QString fileBehind(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
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

void copyDatabaseFile(const QString& source, const QString& destination) {
    checkDestination(destination);
    if (isSameFile(source, destination))
        throw Error::make(err::PermissionDenied, destination);
    auto db = openForCopy(source);
    static std::atomic<unsigned> counter{0};
    // A destination that is a link gets the copy where it leads, as a copy through it would.
    files::SiblingTemp temp(fileBehind(destination),
                            QStringLiteral("backup-%1-%2").arg(::getpid()).arg(counter.fetch_add(1)));
    files::Fd out = temp.create();
    {
        // Where the kernel cannot copy from the engine's descriptor, the engine's map of the file is used.
        exec(db->rawHandle(), "PRAGMA mmap_size=2147418112");
        std::optional<ReadLock> lock;
        try {
            PatientReader patience(db->rawHandle());
            lock.emplace(db->rawHandle());
        } catch (const Error& error) {
            if (error.number() == err::Locked)
                throw Error::make(err::PermissionDenied, source);
            throw;
        }
        copyFromEngine(db->rawHandle(), out.get(), source, destination);
    }
    db->close();
    // Like a plain file copy the data is left to the system's write-back; the rename only follows a
    // complete copy, so the destination holds the old file or the whole new one.
    out.close(destination);
    temp.commit();
}

void compactDatabase(const QString& source, const QString& destination) {
    checkDatabasePath(destination);
    if (QFileInfo::exists(destination))
        throw Error::make(err::DatabaseExists, destination);
    auto db = Database::open(source, {.exclusive = true});
    db->execute(QStringLiteral("VACUUM INTO ?1"), {destination});
}

void compactInPlace(const QString& givenPath, const QString& copyPath,
                    const std::function<void()>& beforeSwap) {
    checkDatabasePath(copyPath);
    if (QFileInfo::exists(copyPath) || QFileInfo(copyPath).isSymLink())
        throw Error::make(err::DatabaseExists, copyPath);
    auto db = Database::open(givenPath, {.exclusive = true});
    const QString path = fileBehind(givenPath);
    holdFileExclusively(*db);

    files::SiblingTemp compacted(path, QStringLiteral("compacting"));
    files::removeIfExists(compacted.path());
    // Reading the whole file through the engine's map spares a copy of every page. The compacted file is
    // synced once, below, while its copy is being made, rather than by the engine as it writes it.
    exec(db->rawHandle(), "PRAGMA mmap_size=2147418112");
    exec(db->rawHandle(), "PRAGMA synchronous=OFF");
    db->execute(QStringLiteral("VACUUM INTO ?1"), {compacted.path()});

    {
        const QByteArray compactedName = QFile::encodeName(compacted.path());
        files::Fd in(::open(compactedName.constData(), O_RDONLY | O_CLOEXEC));
        if (!in.valid())
            files::throwErrno(errno, compacted.path());
        files::startWriteBack(in.get());

        files::Fd out(
            ::open(QFile::encodeName(copyPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!out.valid()) {
            if (errno == EEXIST)
                throw Error::make(err::DatabaseExists, copyPath);
            files::throwErrno(errno, copyPath);
        }
        try {
            files::copyContents(in.get(), out.get(), compacted.path(), copyPath);
            out.close(copyPath);
        } catch (...) {
            // A partial copy is no copy of the database; the database itself is still untouched.
            ::unlink(QFile::encodeName(copyPath).constData());
            throw;
        }
        // The compacted file must be on disk before it may replace the original.
        files::syncFile(in.get(), compacted.path());
    }

    files::copyAccess(path, compacted.path());
    if (beforeSwap)
        beforeSwap();
    compacted.commit();
    db->close();
}

RepairReport repairDatabase(const QString& givenPath) {
    auto db = Database::open(givenPath, {.exclusive = true});
    const QString path = fileBehind(givenPath);
    RepairReport report;
    report.problems = integrityProblems(*db);
    if (report.problems.isEmpty()) {
        db->execute(QStringLiteral("REINDEX"));
        db->execute(QStringLiteral("VACUUM"));
        return report;
    }
    holdFileExclusively(*db);
    files::SiblingTemp fresh(path, QStringLiteral("repairing"));
    salvageDatabase(db->rawHandle(), fresh.path(), report);
    files::copyAccess(path, fresh.path());
    fresh.commit();
    db->close();
    report.salvaged = true;
    return report;
}

QStringList checkDatabase(const QString& path) {
    // A normal open, as any user's: a journal left by a writer that died is rolled back first, so the
    // check sees the last committed state instead of failing on the journal.
    auto db = Database::open(path);
    QStringList problems = integrityProblems(*db);
    try {
        Statement fk = db->prepare(QStringLiteral("PRAGMA foreign_key_check"));
        while (fk.step())
            problems << QStringLiteral("row %1 of %2 refers to a missing record of %3")
                            .arg(fk.value(1).toString(), fk.value(0).toString(), fk.value(2).toString());
    } catch (const Error& error) {
        if (problems.isEmpty())
            throw;
        problems << error.text(); // the damage already found stops the relationship check too
    }
    return problems;
}

} // namespace pell::db::engine
