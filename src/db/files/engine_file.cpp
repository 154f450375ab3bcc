#include "db/files/engine_file.h"

#include "core/error.h"
#include "core/progress.h"
#include "db/database.h"
#include "db/files/posix_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pell::db::files {

namespace {

// How many descriptors of this process lead to the file that st describes.
int descriptorsOf(const struct stat& file) {
    int count = 0;
    const QStringList entries = QDir(QStringLiteral("/proc/self/fd"))
                                    .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const int fd = entry.toInt(&ok);
        struct stat st {};
        if (ok && ::fstat(fd, &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino)
            ++count;
    }
    return count;
}

} // namespace

void holdFileExclusively(Database& db) {
    sqlite3* raw = db.rawHandle();
    exec(raw, QStringLiteral("PRAGMA locking_mode=EXCLUSIVE"));
    const QString path = QString::fromUtf8(sqlite3_db_filename(raw, "main"));
    if (db.scalar(QStringLiteral("PRAGMA journal_mode")).toString() == QLatin1String("wal")) {
        // Every logged transaction into the file itself, the log emptied; then back to the rollback
        // journal, which the engine only allows when no other connection uses the log.
        bool written = false;
        {
            Statement checkpoint = db.prepare(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
            written = checkpoint.step() && checkpoint.value(0).toLongLong() == 0;
        }
        if (!written ||
            db.scalar(QStringLiteral("PRAGMA journal_mode=DELETE")).toString() != QLatin1String("delete"))
            throw Error::make(err::FileInUse,
                              path + QStringLiteral(" (another program still reads its write-ahead log)"));
    }
    exec(raw, QStringLiteral("BEGIN EXCLUSIVE"));
    exec(raw, QStringLiteral("COMMIT"));
}

void requireWritableFolder(const QString& databasePath) {
    const QString folder = QFileInfo(fileBehind(databasePath)).absolutePath();
    if (::faccessat(AT_FDCWD, QFile::encodeName(folder).constData(), W_OK, AT_EACCESS) != 0 &&
        (errno == EACCES || errno == EROFS || errno == EPERM))
        throw Error::make(err::FolderReadOnly, databasePath);
}

SqliteHandle openWritten(int written, const QString& writtenPath) {
    struct stat mine {};
    if (::fstat(written, &mine) != 0)
        throwErrno(errno, writtenPath);
    if (!S_ISREG(mine.st_mode) || mine.st_nlink != 1)
        throw Error::make(err::PathFileAccess, writtenPath + QStringLiteral(" (not a file of its own)"));
    // The engine opens by name: the new descriptor must lead to the file written, or the name was taken.
    // Nobody writes that file any more, so the engine reads it without locks or journal.
    const int before = descriptorsOf(mine);
    const QString uri = QStringLiteral("file:") +
                        QString::fromLatin1(QUrl::toPercentEncoding(writtenPath, "/")) +
                        QStringLiteral("?immutable=1");
    SqliteHandle source = openPlain(uri, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    if (descriptorsOf(mine) <= before)
        throw Error::make(err::PathFileAccess,
                          writtenPath + QStringLiteral(" (replaced by another file while it was written)"));
    return source;
}

void replaceContent(Database& db, sqlite3* source, const std::function<void()>& midway) {
    sqlite3* dest = db.rawHandle();
    const QString path = QString::fromUtf8(sqlite3_db_filename(dest, "main"));
    qint64 pages = 0;
    qint64 pageSize = 0;
    {
        Statement count(source, QStringLiteral("PRAGMA page_count"));
        count.step();
        pages = count.value(0).toLongLong();
        Statement size(source, QStringLiteral("PRAGMA page_size"));
        size.step();
        pageSize = size.value(0).toLongLong();
    }

    // Synced in full, journal and folder first; the commit that ends the backup deletes the journal and
    // gives up the engine's lock, which the backup's transaction takes over from the exclusive hold
    // without a moment free for another writer.
    exec(dest, QStringLiteral("PRAGMA synchronous=FULL"));
    exec(dest, QStringLiteral("PRAGMA locking_mode=NORMAL"));
    sqlite3_backup* backup = sqlite3_backup_init(dest, "main", source, "main");
    if (!backup)
        throwSqlite(dest, sqlite3_errcode(dest), path);
    constexpr int Chunk = 4096;
    int rc = SQLITE_OK;
    qint64 done = 0;
    const auto step = [&](qint64 count) {
        rc = sqlite3_backup_step(backup, int(std::max<qint64>(1, count)));
        done = pages - sqlite3_backup_remaining(backup);
        if (rc == SQLITE_OK || rc == SQLITE_DONE)
            ProgressScope::step({}, done * pageSize, pages * pageSize, QStringLiteral("bytes"));
    };
    if (midway && pages > 1) {
        step(pages / 2);
        if (rc == SQLITE_OK) {
            sqlite3_db_cacheflush(dest);
            midway();
        }
    }
    while (rc == SQLITE_OK)
        step(Chunk);
    const int finished = sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE)
        throwSqlite(dest, finished != SQLITE_OK ? finished : rc, path);
    if (finished != SQLITE_OK)
        throwSqlite(dest, finished, path);
}

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

} // namespace pell::db::files
