#include "core/app_state.h"

namespace pell {

QString AppState::inProgramFolder(const QString& fileName) const {
    // Our platform's separator; the folder path is joined without checking for a trailing one.
    return programFolder + u'/' + fileName;
}

} // namespace pell
