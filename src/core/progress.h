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
    QString unit;      // what is counted: "bytes", "tasks", "versions", "replicas"; empty when nothing is
};

// Whoever listens to a command's progress; an empty one listens to nothing.
using Progress = std::function<void(const ProgressReport&)>;

inline void report(const Progress& progress, ProgressReport::Stage stage, const QString& what = {},
                   qint64 done = 0, qint64 total = -1, const QString& unit = {}) {
    if (progress)
        progress(ProgressReport{stage, what, done, total, unit});
}

// Work deep in the engine (a file copied, versions applied) cannot take a listener through every call on its
// way; it reports how far it has come to the listener that the command running it set for its thread, for
// as long as the scope lives. Nested scopes restore the one before.
class ProgressScope {
public:
    explicit ProgressScope(Progress progress);
    ~ProgressScope();
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

    // A step of the work in hand, to the listener of this thread's innermost scope (none: nothing happens).
    static void step(const QString& what, qint64 done, qint64 total, const QString& unit);

private:
    Progress m_progress;
    Progress* m_before;
};

} // namespace pell
