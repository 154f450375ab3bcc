#include "db/files/journal.h"

#include "core/error.h"
#include "core/progress.h"
#include "db/files/posix_files.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pell::db::files {

namespace {

constexpr unsigned char JournalMagic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
// The journal header fills one sector; the engine reads the sector size from the header itself.
constexpr qint64 SectorSize = 4096;
// The page that holds the engine's lock bytes is never used and must never appear in a journal.
constexpr qint64 LockBytesOffset = 0x40000000;

quint32 get32(const unsigned char* p) {
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

void put32(unsigned char* p, quint32 v) {
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

// The engine's checksum of a journal record: the nonce plus every 200th byte of the page, from the end.
quint32 pageChecksum(quint32 nonce, const unsigned char* page, qint64 pageSize) {
    quint32 sum = nonce;
    for (qint64 i = pageSize - 200; i > 0; i -= 200)
        sum += page[i];
    return sum;
}

void readAll(int fd, unsigned char* data, qint64 size, qint64 offset, const QString& path) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size_t(size), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throwErrno(errno, path);
        if (n == 0)
            throw Error::make(err::DiskIo, path); // the file ended early
        data += n;
        size -= n;
        offset += n;
    }
}

void writeAt(int fd, const unsigned char* data, qint64 size, qint64 offset, const QString& path) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size_t(size), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throwErrno(errno, path);
        data += n;
        size -= n;
        offset += n;
    }
}

// Removes the journal again unless the content is committed or the database was touched (then the
// journal is what restores it).
class JournalFile {
public:
    explicit JournalFile(QString path) : m_path(std::move(path)) {}
    ~JournalFile() {
        if (!m_keep)
            ::unlink(QFile::encodeName(m_path).constData());
    }
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;
    void keepOnFailure() { m_keep = true; }
    void commit() {
        if (::unlink(QFile::encodeName(m_path).constData()) != 0)
            throwErrno(errno, m_path);
        m_keep = true;
        syncFolderOf(m_path);
    }

private:
    QString m_path;
    bool m_keep = false;
};

} // namespace

void writeThroughJournal(sqlite3* db, const QString& from, const std::function<void()>& midway) {
    const QString path = QString::fromUtf8(sqlite3_db_filename(db, "main"));
    const int target = heldDescriptor(path);
    if (target < 0 || (::fcntl(target, F_GETFL) & O_ACCMODE) != O_RDWR)
        throw Error::make(err::DiskIo, path);
    Fd source(::open(QFile::encodeName(from).constData(), O_RDONLY | O_CLOEXEC));
    if (!source.valid())
        throwErrno(errno, from);
    struct stat oldStat {};
    struct stat newStat {};
    if (::fstat(target, &oldStat) != 0 || ::fstat(source.get(), &newStat) != 0)
        throw Error::make(err::DiskIo, path);
    unsigned char oldHeader[100];
    unsigned char newHeader[100];
    readAll(target, oldHeader, sizeof oldHeader, 0, path);
    readAll(source.get(), newHeader, sizeof newHeader, 0, from);
    const qint64 pageSize = get32(oldHeader + 16) >> 16 == 1 ? 65536 : (get32(oldHeader + 16) >> 16);
    const qint64 newPageSize = get32(newHeader + 16) >> 16 == 1 ? 65536 : (get32(newHeader + 16) >> 16);
    if (pageSize < 512 || pageSize != newPageSize || newStat.st_size % pageSize != 0)
        throw Error::make(err::InvalidOperation, path);
    // A torn last page of a damaged file is no page the engine would ever restore.
    const qint64 oldPages = oldStat.st_size / pageSize;
    const qint64 lockPage = LockBytesOffset / pageSize + 1;

    // The journal: a header sector, then every original page as page number, page, checksum.
    const QString journalPath = path + QStringLiteral("-journal");
    removeIfExists(journalPath); // an emptied journal of the engine's exclusive mode, never a hot one
    JournalFile journal(journalPath);
    {
        Fd out = createLike(path, journalPath);
        const quint32 nonce = QRandomGenerator::system()->generate();
        const qint64 records = oldPages - (oldPages >= lockPage ? 1 : 0);
        std::vector<unsigned char> header(SectorSize, 0);
        std::copy(std::begin(JournalMagic), std::end(JournalMagic), header.begin());
        put32(header.data() + 8, quint32(records));
        put32(header.data() + 12, nonce);
        put32(header.data() + 16, quint32(oldPages));
        put32(header.data() + 20, quint32(SectorSize));
        put32(header.data() + 24, quint32(pageSize));
        writeAt(out.get(), header.data(), SectorSize, 0, journalPath);
        const qint64 recordSize = pageSize + 8;
        const qint64 perChunk = std::max<qint64>(1, (qint64(4) << 20) / pageSize);
        std::vector<unsigned char> pages(size_t(perChunk * pageSize));
        std::vector<unsigned char> chunk(size_t(perChunk * recordSize));
        qint64 offset = SectorSize;
        for (qint64 first = 1; first <= oldPages; first += perChunk) {
            const qint64 count = std::min(perChunk, oldPages - first + 1);
            readAll(target, pages.data(), count * pageSize, (first - 1) * pageSize, path);
            qint64 used = 0;
            for (qint64 i = 0; i < count; ++i) {
                const qint64 number = first + i;
                if (number == lockPage)
                    continue;
                unsigned char* record = chunk.data() + used;
                const unsigned char* page = pages.data() + i * pageSize;
                put32(record, quint32(number));
                std::copy(page, page + pageSize, record + 4);
                put32(record + 4 + pageSize, pageChecksum(nonce, page, pageSize));
                used += recordSize;
            }
            writeAt(out.get(), chunk.data(), used, offset, journalPath);
            offset += used;
        }
        syncFile(out.get(), journalPath);
        out.close(journalPath);
        syncFolderOf(journalPath);
    }

    // From the first byte written on, the journal is what restores the original.
    journal.keepOnFailure();
    const qint64 half = (newStat.st_size / pageSize / 2) * pageSize;
    {
        // Counted here against the whole file, not against the half.
        const ProgressScope quiet({});
        copyContents(source.get(), target, from, path, half);
    }
    ProgressScope::step({}, half, newStat.st_size, QStringLiteral("bytes"));
    if (midway)
        midway();
    {
        loff_t in = half;
        loff_t out = half;
        qint64 left = newStat.st_size - half;
        while (left > 0) {
            const ssize_t n = ::copy_file_range(source.get(), &in, target, &out, size_t(left), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                // Where the kernel cannot copy between these files, by hand.
                std::vector<unsigned char> buffer(size_t(std::min<qint64>(left, qint64(4) << 20)));
                const qint64 amount = std::min<qint64>(left, qint64(buffer.size()));
                readAll(source.get(), buffer.data(), amount, in, from);
                writeAt(target, buffer.data(), amount, out, path);
                in += amount;
                out += amount;
                left -= amount;
                continue;
            }
            left -= n;
            ProgressScope::step({}, out, newStat.st_size, QStringLiteral("bytes"));
        }
    }
    // Other connections see by these that the file changed and that its tables moved.
    unsigned char counters[4];
    put32(counters, get32(oldHeader + 24) + 1);
    writeAt(target, counters, 4, 24, path);
    writeAt(target, counters, 4, 92, path);
    put32(counters, std::max(get32(oldHeader + 40), get32(newHeader + 40)) + 1);
    writeAt(target, counters, 4, 40, path);
    if (::ftruncate(target, off_t(newStat.st_size)) != 0)
        throwErrno(errno, path);
    syncFile(target, path);
    journal.commit();
}

} // namespace pell::db::files
