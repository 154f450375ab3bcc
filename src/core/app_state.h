#pragma once

#include <QString>

namespace pell {

class Platform;

// What a list window hands its editor in HOLD_ACTION.
namespace hold {
inline const QString New = QStringLiteral("NEW");       // the editor starts a new record
inline const QString Open = QStringLiteral("OPEN");     // the editor opens the record whose key is HOLD_VALUE
inline const QString Delete = QStringLiteral("DELETE"); // set while a list window deletes; no editor reads it
} // namespace hold

// The program-wide values. One object, handed to every window and command.
struct AppState {
    // Read from pell.ini at start-up, unchanged afterwards.
    QString DATABASE_PATH;
    QString REPLICADB_PATH;
    // Hand-over values between a list window and its editor.
    QString HOLD_ACTION;
    QString HOLD_VALUE;
    QString HOLD_FIELD;
    // The lookup chosen in the lookup window.
    QString LOOKUP_TABLE;
    QString LOOKUP_FIELD;
    // The folder that holds the program, and the application help file (empty until start-up sets it).
    QString programFolder;
    QString helpFile;
    // Where the program keeps the files it writes for itself (status.tre, _temp.mdb); the program folder
    // when empty. An installed program folder is root's alone, so its state lives elsewhere (stateFolderOf).
    QString stateFolder;

    // The program folder joined with a file name, as the program names its own files.
    QString inProgramFolder(const QString& fileName) const;
    // The state folder joined with a file name.
    QString inStateFolder(const QString& fileName) const;
};

// What a window or a command is given: the program-wide values and the platform.
struct AppContext {
    AppState& state;
    Platform& platform;
};

} // namespace pell
