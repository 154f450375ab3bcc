#pragma once

#include <QString>

namespace pell {

// Tells whether another copy of this program (the same executable, for the same user on the same display) is
// already running. The claim is a kernel lock (flock) on a file in the user's own runtime folder: it ends
// with the process however that ends (Exit's std::exit, a crash, a kill), so nothing is ever left behind to
// refuse the next start, and another user's copy never meets it. The file itself stays; its existence
// means nothing.
class SingleInstance {
public:
    explicit SingleInstance(QString lockPath);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // The lock file a program at this path uses: in the user's runtime folder (XDG_RUNTIME_DIR, which
    // setPrivateRuntimeFolder provides when the session does not), named after the program's path and the
    // display it shows its windows on.
    static QString defaultLockPath(const QString& programPath);
    // True when this is the only running copy; the claim lasts as long as the object. A lock file that
    // cannot be opened at all (no runtime folder) tells nothing about other copies: the program starts.
    bool acquire();

private:
    QString m_path;
    int m_fd = -1;
};

} // namespace pell
