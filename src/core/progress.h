#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

namespace pell {

// How far a long command has come. A command reports each stage as it starts it, with what it is doing and,
// where it knows, how much of how much is done; a report with an empty text says that the work is over.
// The replication window shows the text on its status line; pelldb may show it on a terminal.
struct ProgressReport {
    QString what;      // empty: finished
    qint64 done = 0;   // units done so far
    qint64 total = -1; // units in all; -1 when not known
};

// Whoever listens to a command's progress; an empty one listens to nothing.
using Progress = std::function<void(const ProgressReport&)>;

inline void report(const Progress& progress, const ProgressReport& report) {
    if (progress)
        progress(report);
}

} // namespace pell
