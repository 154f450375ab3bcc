#include "core/app_state.h"

namespace pell {

QString AppState::inProgramFolder(const QString& fileName) const {
    // Our platform's separator; the folder path is joined without checking for a trailing one.
    return programFolder + u'/' + fileName;
}

QString AppState::inStateFolder(const QString& fileName) const {
    return (stateFolder.isEmpty() ? programFolder : stateFolder) + u'/' + fileName;
}

} // namespace pell
