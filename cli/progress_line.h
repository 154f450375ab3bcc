#pragma once

#include "core/progress.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

namespace pell::cli {

// The progress of long work as one line on a terminal: what is being done, how far (of how much) and at what
// rate, rewritten in place a few times a second and cleared when the work ends, so that what the command
// prints afterwards stands alone.
class ProgressLine {
public:
    explicit ProgressLine(std::FILE* terminal) : m_terminal(terminal) {}
    void operator()(const ProgressReport& report);

    // The line for a report, given the seconds since the work started.
    static QString text(const QString& what, const ProgressReport& report, double seconds);

private:
    void show(const QString& line);

    std::FILE* m_terminal;
    QString m_what;
    QElapsedTimer m_started;
    QElapsedTimer m_shown;
    bool m_visible = false;
};

} // namespace pell::cli
