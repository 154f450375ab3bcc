#include "db/files/operations.h"

#include "core/error.h"
#include "db/database.h"
#include "db/files/engine_file.h"
#include "db/files/posix_files.h"
#include "db/files/salvage.h"
#include "db/schema.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// Repair: an intact file is rebuilt in place; a damaged one has its readable rows salvaged into a fresh
// file whose content then goes into the database file through the engine's own backup.
namespace pell::db::files {

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

// Gives a database file whose header is damaged the header of a sound file of the same page size, so
// that the engine can begin the transaction that writes the repaired content into it. The bytes replaced
// were unreadable anyway; the journal of that transaction then keeps this state to return to.
void mendHeaderInPlace(const QString& path, const QString& soundFile) {
    unsigned char header[HeaderSize];
    {
        Fd sound(::open(QFile::encodeName(soundFile).constData(), O_RDONLY | O_CLOEXEC));
        if (!sound.valid() || ::pread(sound.get(), header, HeaderSize, 0) != HeaderSize)
            throwErrno(errno, soundFile);
    }
    int fd = heldDescriptor(path);
    Fd own;
    if (fd < 0 || (::fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDWR) {
        own = Fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC));
        if (!own.valid())
            throwErrno(errno, path);
        fd = own.get();
    }
    if (const int fault = injectedFault(FileOp::Write, path))
        throwErrno(fault, path);
    if (::pwrite(fd, header, HeaderSize, 0) != HeaderSize)
        throwErrno(errno, path);
    syncFile(fd, path);
}

} // namespace

namespace {
RepairReport repairOpenDatabase(const QString& givenPath);
} // namespace

RepairReport repairDatabase(const QString& givenPath) {
    try {
        return repairOpenDatabase(givenPath);
    } catch (const Error& error) {
        // The hidden files beside the database are no names the administrator knows: a full disk or a
        // failing device while writing them is the repair of this database failing.
        static const QRegularExpression hidden(
            QStringLiteral("\\S*/\\.[^/\\s]+\\.(repairing|mending)-[0-9]+-[0-9]+"));
        if (error.text().contains(hidden))
            throw Error(error.number(), QString(error.text()).replace(hidden, givenPath));
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
        // A file left in write-ahead-log mode goes back to the rollback journal before anything is
        // rewritten, the rebuild of an intact file included.
        holdFileExclusively(*db);
        report.problems = integrityProblems(*db);
        if (report.problems.isEmpty()) {
            // Each statement is one transaction of the engine's own; the lock file keeps other users out.
            exec(db->rawHandle(), QStringLiteral("PRAGMA locking_mode=NORMAL"));
            db->execute(QStringLiteral("REINDEX"));
            db->execute(QStringLiteral("VACUUM"));
            return report;
        }
    } else {
        report.problems << QStringLiteral("the header or the list of tables cannot be read");
    }

    const QString folder = QFileInfo(path).absolutePath();
    removeStaleTemps(folder, QStringLiteral("repairing"));
    removeStaleTemps(folder, QStringLiteral("mending"));
    requireWritableFolder(path);
    SiblingTemp fresh(path, QStringLiteral("repairing"), path);
    // Kept open to the end: what goes into the database is read from this very file.
    Fd written = fresh.create();
    if (readable) {
        salvageDatabase(db->rawHandle(), fresh.path(), report);
    } else {
        // The damaged file is mended in a scratch copy; the original stays as it is until the salvaged
        // content is complete.
        SiblingTemp scratch(path, QStringLiteral("mending"), path);
        {
            Fd copy = scratch.create();
            Fd in(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
            if (!in.valid())
                throwErrno(errno, path);
            copyContents(in.get(), copy.get(), path, scratch.path());
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
    syncFile(written.get(), fresh.path());
    SqliteHandle source = openWritten(written.get(), fresh.path());
    replaceContent(*db, source.get());
    db->close();
    report.salvaged = true;
    return report;
}
} // namespace

} // namespace pell::db::files
