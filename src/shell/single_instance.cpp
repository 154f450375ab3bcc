#include "shell/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLockFile>

namespace pell {

SingleInstance::SingleInstance(const QString& lockPath) : m_lock(std::make_unique<QLockFile>(lockPath)) {
    m_lock->setStaleLockTime(0); // a lock left by a crashed copy is recognised by its process number
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultLockPath(const QString& programPath) {
    const QByteArray key =
        QCryptographicHash::hash(QFile::encodeName(programPath), QCryptographicHash::Sha1).toHex().left(16);
    return QDir::tempPath() + QStringLiteral("/pelladmin-") + QString::fromLatin1(key) +
           QStringLiteral(".lock");
}

bool SingleInstance::acquire() {
    return m_lock->tryLock(0);
}

} // namespace pell
