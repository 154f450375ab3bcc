#include "platform/runtime_folder.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace pell {

namespace {
// A folder that is ours alone: made here, or found as a real folder owned by us (its rights put right).
bool privateFolder(const QByteArray& path) {
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return false;
    return (st.st_mode & 07777) == 0700 || ::chmod(path.constData(), 0700) == 0;
}
} // namespace

void setPrivateRuntimeFolder() {
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const QByteArray base = QFile::encodeName(QDir::tempPath());
    QByteArray path = base + "/pell-runtime-" + QByteArray::number(::getuid());
    if (!privateFolder(path)) {
        // Someone else's, or not a folder: a fresh one instead.
        path = base + "/pell-runtime-XXXXXX";
        if (!::mkdtemp(path.data()))
            return; // the toolkit's own default then, with its warning
    }
    qputenv("XDG_RUNTIME_DIR", path);
}

} // namespace pell
