#include "shell/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace pell {

SingleInstance::SingleInstance(QString lockPath) : m_path(std::move(lockPath)) {}

SingleInstance::~SingleInstance() {
    if (m_fd >= 0)
        ::close(m_fd); // releases the claim; the file stays for the next start
}

QString SingleInstance::defaultLockPath(const QString& programPath) {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty())
        folder = QDir::tempPath();
    // A copy on another display is another administrator's desk: it is not refused.
    QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (display.isEmpty())
        display = qEnvironmentVariable("DISPLAY");
    QByteArray identity = QFile::encodeName(programPath);
    identity += '\n';
    identity += display.toUtf8();
    const QByteArray key = QCryptographicHash::hash(identity, QCryptographicHash::Sha1).toHex().left(16);
    return folder + QStringLiteral("/pelladmin-") + QString::fromLatin1(key) + QStringLiteral(".lock");
}

bool SingleInstance::acquire() {
    if (m_fd >= 0)
        return true;
    const QByteArray name = QFile::encodeName(m_path);
    // Never through a link: the folder is the user's own, and a link there is not ours to follow.
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return true;
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

} // namespace pell
