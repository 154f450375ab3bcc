#include "cli/progress_line.h"

namespace pell::cli {

namespace {

QString amount(double value, const QString& unit) {
    if (unit == QLatin1String("bytes"))
        return QString::number(value / (1024.0 * 1024.0), 'f', 1) + QStringLiteral(" MB");
    return QString::number(qint64(value)) + (unit.isEmpty() ? QString() : u' ' + unit);
}

} // namespace

QString ProgressLine::text(const QString& what, const ProgressReport& report, double seconds) {
    QString line = what;
    if (report.done > 0 || report.total > 0) {
        // The unit once: "3 of 8 replicas", "12.0 MB of 40.0 MB" (sizes carry theirs each).
        const bool bytes = report.unit == QLatin1String("bytes");
        line += QStringLiteral(": ") +
                amount(double(report.done), report.total > 0 && !bytes ? QString() : report.unit);
        if (report.total > 0)
            line += QStringLiteral(" of ") + amount(double(report.total), report.unit) +
                    QStringLiteral(" (%1%)").arg(qMin<qint64>(100, report.done * 100 / report.total));
        if (seconds >= 0.5 && report.done > 0)
            line += QStringLiteral(", ") + amount(double(report.done) / seconds, report.unit) +
                    QStringLiteral("/s");
    }
    return line;
}

void ProgressLine::operator()(const ProgressReport& report) {
    switch (report.stage) {
    case ProgressReport::Stage::Started:
        m_what = report.what;
        m_started.start();
        show(text(m_what, report, 0));
        m_shown.invalidate(); // the first step shows however soon it comes
        break;
    case ProgressReport::Stage::Step: {
        // A step that names new work (the next replica) starts its own count and rate.
        if (!m_started.isValid() || (!report.what.isEmpty() && report.what != m_what)) {
            m_what = report.what.isEmpty() ? m_what : report.what;
            m_started.start();
            m_shown.invalidate();
        }
        // Often enough to see it move, seldom enough to cost nothing.
        if (m_shown.isValid() && m_shown.elapsed() < 100)
            return;
        show(text(m_what, report, double(m_started.elapsed()) / 1000.0));
        break;
    }
    case ProgressReport::Stage::Finished:
        if (m_visible) {
            std::fputs("\r\033[K", m_terminal);
            std::fflush(m_terminal);
            m_visible = false;
        }
        m_started.invalidate();
        break;
    }
}

void ProgressLine::show(const QString& line) {
    if (line.isEmpty())
        return;
    std::fputs("\r\033[K", m_terminal);
    std::fputs(line.toLocal8Bit().constData(), m_terminal);
    std::fflush(m_terminal);
    m_visible = true;
    m_shown.start();
}

} // namespace pell::cli
