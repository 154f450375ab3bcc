#include "db/files/posix_files.h"

#include "core/error.h"
#include "core/progress.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
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

namespace {
OperationLog* operationLog = nullptr;

// The byte of a temporary that its maker keeps locked while it works on it: far beyond any file's end and
// beyond the bytes the engine locks, so the mark never meets another lock.
constexpr off_t MarkByte = off_t(1) << 62;

bool processRuns(pid_t pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

// Whether some process holds the in-use mark of the file at path.
bool markedInUse(const QString& path) {
    const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = MarkByte;
    probe.l_len = 1;
    const bool ok = ::fcntl(fd, F_OFD_GETLK, &probe) == 0;
    retryClose(fd);
    // A mark that cannot be tested is taken as held: a file in doubt stays.
    return !ok || probe.l_type != F_UNLCK;
}
} // namespace

void setOperationLog(OperationLog* log) {
    operationLog = log;
}

namespace {
FaultHook faultHook = nullptr;
}

void setFaultHook(FaultHook hook) {
    faultHook = hook;
}

int injectedFault(FileOp op, const QString& path) {
    return faultHook ? faultHook(op, path) : 0;
}

Fd createLike(const QString& model, const QString& path) {
    struct stat st {};
    if (::stat(native(model).constData(), &st) != 0)
        throwErrno(errno, model);
    const mode_t bits = st.st_mode & 0666;
    // The creation mask can only narrow these bits; the exact bits follow before a byte is written.
    const int fd = ::open(native(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, bits);
    if (fd < 0) {
        if (errno == EEXIST)
            throw Error::make(err::DatabaseExists, path);
        throwErrno(errno, path);
    }
    Fd file(fd);
    // Only a member of the group may give it to a file; elsewhere the file keeps the creator's group. The
    // administrator, working on a user's behalf, gives the file to the model's owner, who must be able to
    // use or remove whatever was made for the database.
    const uid_t owner = ::geteuid() == 0 ? st.st_uid : uid_t(-1);
    if (::fchown(fd, owner, st.st_gid) != 0 && errno != EPERM)
        throwErrno(errno, path);
    struct stat now {};
    const bool sameGroup = ::fstat(fd, &now) == 0 && now.st_gid == st.st_gid;
    // A group that is not the model's gets no more than the model gives to others.
    const mode_t wanted = sameGroup ? bits : ((bits & ~mode_t(0070)) | ((bits & 0007) << 3 & bits & 0070));
    if (::fchmod(fd, wanted) != 0)
        throwErrno(errno, path);
    if (operationLog)
        operationLog->created(path);
    return file;
}

QString hiddenTempPath(const QString& finalPath, const QString& purpose) {
    static std::atomic<unsigned> counter{0};
    const QFileInfo info(finalPath);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() + u'.' + purpose + u'-' +
           QString::number(::getpid()) + u'-' + QString::number(counter.fetch_add(1));
}

void markInUse(int fd) {
    struct flock mark {};
    mark.l_type = F_WRLCK;
    mark.l_whence = SEEK_SET;
    mark.l_start = MarkByte;
    mark.l_len = 1;
    // Without a working lock the process id alone tells a later run that the file is ours.
    ::fcntl(fd, F_OFD_SETLK, &mark);
}

int removeStaleTemps(const QString& folder, const QString& purpose) {
    const QRegularExpression pattern(QStringLiteral("^\\..+\\.") + QRegularExpression::escape(purpose) +
                                     QStringLiteral("-([0-9]+)-[0-9]+(-journal)?$"));
    int removed = 0;
    const QStringList names =
        QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch())
            continue;
        const QString path = QDir(folder).filePath(name);
        const QString main = match.captured(2).isEmpty() ? path : path.chopped(8);
        const pid_t pid = pid_t(match.captured(1).toLongLong());
        if ((pid == ::getpid() || processRuns(pid)) || (QFileInfo::exists(main) && markedInUse(main)))
            continue;
        if (::unlink(native(path).constData()) == 0)
            ++removed;
    }
    return removed;
}

void publishDurably(const QString& temp, const QString& finalPath, bool replace) {
    syncPath(temp);
    if (const int fault = injectedFault(FileOp::Rename, finalPath))
        throwErrno(fault, finalPath);
    if (replace) {
        if (::rename(native(temp).constData(), native(finalPath).constData()) != 0)
            throwErrno(errno, finalPath);
    } else if (::renameat2(AT_FDCWD, native(temp).constData(), AT_FDCWD, native(finalPath).constData(),
                           RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST)
            throw Error::make(err::DatabaseExists, finalPath);
        if (errno != EINVAL && errno != ENOSYS)
            throwErrno(errno, finalPath);
        // A file system without the no-replace rename: a new name that fails where one exists.
        if (::link(native(temp).constData(), native(finalPath).constData()) != 0) {
            if (errno == EEXIST)
                throw Error::make(err::DatabaseExists, finalPath);
            throwErrno(errno, finalPath);
        }
        ::unlink(native(temp).constData());
    }
    if (operationLog)
        operationLog->renamed(temp, finalPath);
    syncFolderOf(finalPath);
}

SiblingTemp::SiblingTemp(const QString& finalPath, const QString& purpose, QString model)
    : m_finalPath(finalPath), m_model(std::move(model)), m_path(hiddenTempPath(finalPath, purpose)) {}

SiblingTemp::~SiblingTemp() {
    if (!m_done) {
        ::unlink(native(m_path).constData());
        ::unlink(native(m_path + QStringLiteral("-journal")).constData());
    }
}

Fd SiblingTemp::create() {
    Fd file = createLike(m_model, m_path);
    markInUse(file.get());
    const int copy = ::fcntl(file.get(), F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        throwErrno(errno, m_path);
    m_mark = std::move(file);
    return Fd(copy);
}

void SiblingTemp::commit(bool replace) {
    // The name is put in place, so it must still be the file this object made: one swapped in by somebody
    // else who may write the folder is never published.
    struct stat made {};
    struct stat named {};
    if (m_mark.valid() &&
        (::fstat(m_mark.get(), &made) != 0 || ::lstat(native(m_path).constData(), &named) != 0 ||
         made.st_dev != named.st_dev || made.st_ino != named.st_ino))
        throw Error(err::PathFileAccess, standardText(err::PathFileAccess) + u' ' + m_finalPath +
                                             QStringLiteral(" (its temporary file was replaced by another)"));
    publishDurably(m_path, m_finalPath, replace);
    m_done = true;
    m_mark = Fd();
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
    if (const int fault = injectedFault(FileOp::Write, path))
        throwErrno(fault, path);
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
    // Copied in stretches, each handed to the disk as soon as it is written: the sync that follows every
    // copy then finds little left to wait for.
    constexpr qint64 Stretch = qint64(16) << 20;
    const auto remaining = [&] {
        return length < 0 ? Stretch : std::min<qint64>(length - inOffset, Stretch);
    };
    bool kernelCopy = true;
    std::vector<char> buffer;
    while (remaining() > 0) {
        if (const int fault = injectedFault(FileOp::Write, toPath))
            throwErrno(fault, toPath);
        if (kernelCopy) {
            const loff_t start = outOffset;
            const ssize_t n = ::copy_file_range(from, &inOffset, to, &outOffset, size_t(remaining()), 0);
            if (n > 0) {
                ::sync_file_range(to, start, n, SYNC_FILE_RANGE_WRITE);
                ProgressScope::step({}, inOffset, length, QStringLiteral("bytes"));
                continue;
            }
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
        ProgressScope::step({}, inOffset, length, QStringLiteral("bytes"));
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

void syncFile(int fd, const QString& path) {
    if (const int fault = injectedFault(FileOp::Sync, path))
        throwErrno(fault, path);
    if (::fsync(fd) != 0)
        throwErrno(errno, path);
    if (operationLog)
        operationLog->synced(path);
}

void syncPath(const QString& path) {
    // A name in a shared folder may have been swapped for a pipe or a link: never waited on, never followed.
    Fd fd(::open(native(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.valid())
        throwErrno(errno, path);
    syncFile(fd.get(), path);
}

void syncFolderOf(const QString& path) {
    const QString folder = QFileInfo(path).absolutePath();
    const int fd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return; // a folder we may not open for syncing still holds the new name
    const int fault = injectedFault(FileOp::Sync, folder);
    const int rc = fault ? -1 : ::fsync(fd);
    const int saved = fault ? fault : errno;
    retryClose(fd);
    // Some file systems cannot sync a folder (EINVAL); their names are durable by other means.
    if (rc != 0 && saved != EINVAL)
        throwErrno(saved, folder);
    if (operationLog)
        operationLog->folderSynced(folder);
}

bool copyAccess(const QString& model, int fd, const QString& path, const QString& cap) {
    struct stat st {};
    if (::stat(native(model).constData(), &st) != 0)
        throwErrno(errno, model);
    mode_t bits = st.st_mode & 07777;
    struct stat limit {};
    if (!cap.isEmpty() && ::stat(native(cap).constData(), &limit) == 0)
        bits &= (limit.st_mode & 0777) | 07000;
    bits &= ~mode_t(06000); // a data file is never run
    bool ownerKept = true;
    // Only the administrator may hand a file over; a member of the group may still give it the group.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        if (errno != EPERM)
            throwErrno(errno, path);
        struct stat now {};
        ownerKept = ::fstat(fd, &now) == 0 && now.st_uid == st.st_uid;
        if (::fchown(fd, uid_t(-1), st.st_gid) != 0 && errno != EPERM)
            throwErrno(errno, path);
    }
    if (::fchmod(fd, bits) != 0)
        throwErrno(errno, path);
    return ownerKept;
}

void removeIfExists(const QString& path) {
    if (::unlink(native(path).constData()) != 0 && errno != ENOENT)
        throwErrno(errno, path);
}

} // namespace pell::db::files
