#include "db/filelock.h"

#include "core/error.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace pell::db {

namespace {

bool localOnlyAllowed = false;

constexpr long FuseMagic = 0x65735546;
constexpr long NfsMagic = 0x6969;
constexpr long CifsMagic = 0xFF534D42;
constexpr long Smb2Magic = 0xFE534D42;

QString reasonFor(int errnum) {
    return QString::fromLocal8Bit(std::strerror(errnum));
}

// The mount table line of the file system holding a path: its type and options.
bool mountOf(const QString& path, QString& type, QString& options) {
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QString target = QFileInfo(path).canonicalFilePath();
    qsizetype best = -1;
    for (const QByteArray& raw : table.readAll().split('\n')) {
        // id parent major:minor root mountpoint options [optional...] - type source superoptions
        const QStringList fields = QString::fromLocal8Bit(raw).split(u' ');
        const qsizetype dash = fields.indexOf(QStringLiteral("-"));
        if (fields.size() < 6 || dash < 6 || dash + 3 >= fields.size() + 1)
            continue;
        QString point = fields.at(4);
        point.replace(QLatin1String("\\040"), QLatin1String(" "));
        const bool inside = target == point || point == u'/' || target.startsWith(point + u'/');
        if (!inside || point.size() <= best)
            continue;
        best = point.size();
        type = fields.value(dash + 1);
        // A bare "fuse" is named by what mounted it (bindfs, ...).
        if (type == QLatin1String("fuse"))
            type += QStringLiteral(" of ") + fields.value(dash + 2);
        options = fields.at(5) + u',' + fields.value(dash + 3);
    }
    return best >= 0;
}

} // namespace

QString unsafeShareReason(long magic, const QString& type, const QString& options) {
    const QStringList opts = options.split(u',');
    if (magic == FuseMagic) {
        // A FUSE disk of this computer is local; of the network file systems on FUSE only those that pass
        // locks on to their servers are known to be safe.
        if (type == QLatin1String("fuseblk") || type == QLatin1String("fuse.glusterfs") ||
            type == QLatin1String("fuse.ceph-fuse") || type == QLatin1String("fuse.ceph"))
            return {};
        return QStringLiteral("a FUSE file system (%1) keeps its locks on this computer").arg(type);
    }
    if (magic == NfsMagic || type.startsWith(QLatin1String("nfs"))) {
        if (opts.contains(QLatin1String("nolock")) || opts.contains(QLatin1String("local_lock=all")) ||
            opts.contains(QLatin1String("local_lock=posix")))
            return QStringLiteral("an NFS mount without network locking (nolock)");
        return {};
    }
    if (magic == CifsMagic || magic == Smb2Magic || type == QLatin1String("cifs") ||
        type == QLatin1String("smb3")) {
        if (opts.contains(QLatin1String("nobrl")))
            return QStringLiteral("an SMB mount whose locks are not sent to the server (nobrl)");
        return {};
    }
    return {};
}

QString unsafeShareReason(const QString& path) {
    struct statfs fs {};
    if (::statfs(QFile::encodeName(path).constData(), &fs) != 0)
        return {};
    // Only these kinds can keep their locks to themselves; the mount table is read for them alone.
    const long magic = long(fs.f_type);
    if (magic != FuseMagic && magic != NfsMagic && magic != CifsMagic && magic != Smb2Magic)
        return {};
    QString type;
    QString options;
    mountOf(path, type, options);
    return unsafeShareReason(long(fs.f_type), type, options);
}

void FileLock::allowLocalOnlyLocks(bool allow) {
    localOnlyAllowed = allow;
}

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

FileLock FileLock::acquire(const QString& databasePath, Mode mode, bool readOnly) {
    const QString lockPath = lockPathFor(databasePath);
    const QByteArray path = QFile::encodeName(lockPath);
    FileLock lock;
    lock.m_mode = mode;

    const QString unsafe = unsafeShareReason(QFileInfo(lockPath).absolutePath());
    if (!unsafe.isEmpty() && !localOnlyAllowed)
        throw Error::make(err::UnsafeShare, databasePath + QStringLiteral(" (") + unsafe + u')');

    // Everybody who may write the database must be able to take and see every lock: a lock file made now
    // gets the database's owner (where this is the administrator), group and permission bits, whoever
    // makes it and whatever the creation mask. A lock file found there is a name in a shared folder: it
    // is used only when it is a plain file of its own (no link, no device, no pipe, no second name), and
    // it is never given to anybody.
    struct stat database {};
    const bool known = ::stat(QFile::encodeName(databasePath).constData(), &database) == 0;
    const mode_t bits = known ? ((database.st_mode & 0666) | S_IRUSR | S_IWUSR) : mode_t(0644);
    constexpr int Flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | Flags, bits);
    const bool created = fd >= 0;
    if (fd < 0 && errno == EEXIST)
        fd = ::open(path.constData(), O_RDWR | Flags);
    int openError = fd < 0 ? errno : 0;
    if (fd < 0 && openError != ELOOP) {
        // A lock file we may only read carries shared locks; one we cannot open at all carries none.
        fd = ::open(path.constData(), O_RDONLY | Flags);
        if (fd < 0 && errno == ELOOP)
            openError = ELOOP;
    }
    if (openError == ELOOP)
        throw Error::make(err::LockFileUnusable,
                          lockPath + QStringLiteral(" (a symbolic link: only a plain file is used)"));
    if (fd >= 0) {
        struct stat own {};
        const bool plain = ::fstat(fd, &own) == 0 && S_ISREG(own.st_mode) && own.st_nlink == 1;
        if (!plain) {
            ::close(fd);
            throw Error::make(err::LockFileUnusable,
                              lockPath + QStringLiteral(" (not a plain file of its own: a device, a pipe or "
                                                        "a file with a second name)"));
        }
        if (created && known) {
            // Failures leave a file that still works for its maker.
            const uid_t owner = ::geteuid() == 0 ? database.st_uid : uid_t(-1);
            if ((own.st_gid != database.st_gid || owner != uid_t(-1)) &&
                ::fchown(fd, owner, database.st_gid) != 0) {
            }
            if ((own.st_mode & 07777) != bits && ::fchmod(fd, bits) != 0) {
            }
        }
    }
    if (fd >= 0 && openError != 0 && mode == Mode::Exclusive) {
        ::close(fd);
        throw Error::make(err::LockFileUnusable,
                          lockPath +
                              QStringLiteral(" (you may not write it, so you cannot keep others out)"));
    }
    if (fd < 0) {
        if (readOnly && (openError == EROFS || errno == EROFS))
            return lock; // read-only media: nobody can change the file
        if (openError == EACCES || openError == EROFS) {
            if (::access(QFile::encodeName(QFileInfo(lockPath).absolutePath()).constData(), W_OK) != 0)
                throw Error::make(err::FolderReadOnly, databasePath);
        }
        throw Error::make(err::LockFileUnusable,
                          lockPath + QStringLiteral(" (") + reasonFor(openError) + u')');
    }
    lock.m_fd = fd;

    struct flock fl {};
    fl.l_type = mode == Mode::Exclusive ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0)
        return lock;
    const int saved = errno;
    lock.release();
    if (saved != EAGAIN && saved != EACCES) {
        // Not a conflict: the lock could not be taken at all, so nobody could be kept out.
        if (saved == EBADF)
            throw Error::make(err::LockFileUnusable,
                              lockPath + QStringLiteral(" (") + reasonFor(saved) + u')');
        throw Error::make(err::LockingUnsupported,
                          databasePath + QStringLiteral(" (") + reasonFor(saved) + u')');
    }
    // A conflict: who holds it decides the message.
    const int probeFd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 1;
    const bool haveProbe = probeFd >= 0 && ::fcntl(probeFd, F_OFD_GETLK, &probe) == 0;
    if (probeFd >= 0)
        ::close(probeFd);
    if (mode == Mode::Shared || (haveProbe && probe.l_type == F_WRLCK))
        throw Error::make(err::OpenedExclusively);
    throw Error::make(err::FileInUse);
}

} // namespace pell::db
