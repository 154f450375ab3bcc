#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

namespace pell {

// How far a long command has come. A command reports when it starts, at each step it takes (what it is
// doing and, where it knows, how much of how much is done) and when it has finished, however it ends. The
// replication window shows the steps on its status line; pelldb may show them on a terminal.
struct ProgressReport {
    enum class Stage { Started, Step, Finished };
    Stage stage = Stage::Step;
    QString what;
    qint64 done = 0;   // units done so far
    qint64 total = -1; // units in all; -1 when not known
};

// Whoever listens to a command's progress; an empty one listens to nothing.
using Progress = std::function<void(const ProgressReport&)>;

inline void report(const Progress& progress, ProgressReport::Stage stage, const QString& what = {},
                   qint64 done = 0, qint64 total = -1) {
    if (progress)
        progress(ProgressReport{stage, what, done, total});
}

} // namespace pell
