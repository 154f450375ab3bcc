#include "db/maintenance_files.h"

#include "db/error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pell::db::files {

namespace {
QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

int retryClose(int fd) {
    // close() must not be retried on EINTR on Linux: the descriptor is gone either way.
    return ::close(fd);
}
} // namespace

void throwErrno(int errnum, const QString& path) {
    switch (errnum) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
        throw Error::make(err::PermissionDenied, path);
    case ENOENT:
    case ENOTDIR:
        throw Error::make(err::PathNotFound, path);
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        throw Error::make(err::DiskFull, path);
    default:
        throw Error(err::PathFileAccess, standardText(err::PathFileAccess) + u' ' + path +
                                             QStringLiteral(" (") +
                                             QString::fromLocal8Bit(std::strerror(errnum)) + u')');
    }
}

Fd::~Fd() {
    if (m_fd >= 0)
        retryClose(m_fd);
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            retryClose(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

void Fd::close(const QString& path) {
    if (m_fd < 0)
        return;
    const int fd = m_fd;
    m_fd = -1;
    if (retryClose(fd) != 0 && errno != EINTR)
        throwErrno(errno, path);
}

SiblingTemp::SiblingTemp(const QString& finalPath, const QString& purpose) : m_finalPath(finalPath) {
    const QFileInfo info(finalPath);
    m_path = info.absolutePath() + QStringLiteral("/.") + info.fileName() + u'.' + purpose;
}

SiblingTemp::~SiblingTemp() {
    if (!m_done) {
        ::unlink(native(m_path).constData());
        ::unlink(native(m_path + QStringLiteral("-journal")).constData());
    }
}

Fd SiblingTemp::create() {
    // A leftover of an interrupted run under the same name is ours to replace.
    removeIfExists(m_path);
    const int fd = ::open(native(m_path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        throwErrno(errno, m_finalPath);
    return Fd(fd);
}

void SiblingTemp::commit() {
    if (::rename(native(m_path).constData(), native(m_finalPath).constData()) != 0)
        throwErrno(errno, m_finalPath);
    m_done = true;
    syncFolderOf(m_finalPath);
}

bool fileId(const QString& path, FileId& id) {
    if (path.isEmpty())
        return false;
    struct stat st {};
    if (::stat(native(path).constData(), &st) != 0)
        return false;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    return true;
}

void writeAll(int fd, const char* data, qint64 size, const QString& path) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwErrno(errno, path);
        }
        data += n;
        size -= n;
    }
}

void copyContents(int from, int to, const QString& fromPath, const QString& toPath, qint64 length) {
    loff_t inOffset = 0;
    loff_t outOffset = 0;
    const auto remaining = [&] {
        return length < 0 ? qint64(1) << 30 : std::min<qint64>(length - inOffset, qint64(1) << 30);
    };
    bool kernelCopy = true;
    std::vector<char> buffer;
    while (remaining() > 0) {
        if (kernelCopy) {
            const ssize_t n = ::copy_file_range(from, &inOffset, to, &outOffset, size_t(remaining()), 0);
            if (n > 0)
                continue;
            if (n == 0)
                break;
            if (errno == EINTR)
                continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)
                throwErrno(errno, toPath);
            kernelCopy = false; // copy by hand from where the kernel stopped
            buffer.resize(size_t(4) << 20);
        }
        const ssize_t n = ::pread(from, buffer.data(),
                                  size_t(std::min<qint64>(remaining(), qint64(buffer.size()))), inOffset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwErrno(errno, fromPath);
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::pwrite(to, buffer.data() + done, size_t(n - done), outOffset);
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                throwErrno(errno, toPath);
            }
            done += w;
            outOffset += w;
        }
        inOffset += n;
    }
    if (length >= 0 && inOffset != length)
        throw Error::make(err::DiskIo, fromPath); // the file ended early
}

int heldDescriptor(const QString& path) {
    struct stat target {};
    if (::stat(native(path).constData(), &target) != 0)
        return -1;
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    const QStringList entries = descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const int fd = entry.toInt(&ok);
        if (!ok)
            continue;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != target.st_dev ||
            st.st_ino != target.st_ino)
            continue;
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_ACCMODE) != O_WRONLY && (flags & O_PATH) == 0)
            return fd;
    }
    return -1;
}

void startWriteBack(int fd) {
    // Only a hint: where the system declines, syncFile does all the work.
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void syncFile(int fd, const QString& path) {
    if (::fsync(fd) != 0)
        throwErrno(errno, path);
}

void syncFolderOf(const QString& path) {
    const QByteArray folder = native(QFileInfo(path).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return; // a folder we may not open for syncing still holds the new name
    ::fsync(fd);
    retryClose(fd);
}

void copyAccess(const QString& model, const QString& path) {
    struct stat st {};
    if (::stat(native(model).constData(), &st) != 0)
        throwErrno(errno, model);
    // Only the owner or the administrator may hand a file over; a user keeps the file as theirs.
    if (::chown(native(path).constData(), st.st_uid, st.st_gid) != 0 && errno != EPERM)
        throwErrno(errno, path);
    if (::chmod(native(path).constData(), st.st_mode & 07777) != 0)
        throwErrno(errno, path);
}

void removeIfExists(const QString& path) {
    if (::unlink(native(path).constData()) != 0 && errno != ENOENT)
        throwErrno(errno, path);
}

} // namespace pell::db::files
