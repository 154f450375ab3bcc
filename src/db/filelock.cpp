#include "db/filelock.h"

#include "db/error.h"

#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace pell::db {

FileLock::~FileLock() {
    release();
}

FileLock::FileLock(FileLock&& other) noexcept : m_fd(other.m_fd), m_mode(other.m_mode) {
    other.m_fd = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        release();
        m_fd = other.m_fd;
        m_mode = other.m_mode;
        other.m_fd = -1;
    }
    return *this;
}

void FileLock::release() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

QString FileLock::lockPathFor(const QString& databasePath) {
    QFileInfo info(databasePath);
    // The same file reached through a link or another spelling of its path must share one lock file.
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        info.setFile(canonical);
    const QString base = info.completeBaseName();
    return info.absolutePath() + u'/' + (base.isEmpty() ? info.fileName() : base) + QStringLiteral(".ldb");
}

FileLock FileLock::acquire(const QString& databasePath, Mode mode) {
    const QByteArray path = lockPathFor(databasePath).toLocal8Bit();
    FileLock lock;
    lock.m_mode = mode;
    int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return lock; // nowhere to keep a lock: the folder is read-only for us
    lock.m_fd = fd;

    struct flock fl {};
    fl.l_type = mode == Mode::Exclusive ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0)
        return lock;
    const int saved = errno;
    if (saved == EBADF) {
        // A read-only lock file cannot carry an exclusive lock; the folder is not ours to arbitrate.
        return lock;
    }
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 1;
    const bool haveProbe = ::fcntl(fd, F_OFD_GETLK, &probe) == 0;
    lock.release();
    if (mode == Mode::Shared || (haveProbe && probe.l_type == F_WRLCK))
        throw Error::make(err::OpenedExclusively);
    throw Error::make(err::FileInUse);
}

} // namespace pell::db
