#pragma once

#include "core/app_state.h"

#include <QByteArray>

namespace pell {

// READ_INI: reads pell.ini in the program folder into DATABASE_PATH and REPLICADB_PATH.
// Throws 53 when the file is missing, 62 when it is empty.
void READ_INI(AppState& state);
// The same reading rules over the file's bytes (the path is only for messages).
void readIniText(AppState& state, const QByteArray& contents);

// The value of a key line: what follows the first "=", blanks trimmed (tabs and quotes stay).
QString iniLineValue(const QString& line);

} // namespace pell
