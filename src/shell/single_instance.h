#pragma once

#include <QString>

#include <memory>

class QLockFile;

namespace pell {

// Tells whether another copy of this program (the same executable) is already running.
class SingleInstance {
public:
    explicit SingleInstance(const QString& lockPath);
    ~SingleInstance();
    // The lock file a program at this path uses.
    static QString defaultLockPath(const QString& programPath);
    // True when this is the only running copy; the claim lasts as long as the object.
    bool acquire();

private:
    std::unique_ptr<QLockFile> m_lock;
};

} // namespace pell
