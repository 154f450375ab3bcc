#include "app/program_folder.h"

#include <QFileInfo>

namespace pell {

QString stateFolderOf(const QString& programFolder) {
    const QFileInfo state(programFolder + QStringLiteral("/state"));
    // The link's own path, not its target: messages then name the file as the administrator finds it.
    return state.isDir() ? state.absoluteFilePath() : programFolder;
}

} // namespace pell
