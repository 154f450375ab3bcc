#include "core/progress.h"

namespace pell {

namespace {
thread_local Progress* current = nullptr;
}

ProgressScope::ProgressScope(Progress progress) : m_progress(std::move(progress)), m_before(current) {
    current = &m_progress;
}

ProgressScope::~ProgressScope() {
    current = m_before;
}

void ProgressScope::step(const QString& what, qint64 done, qint64 total, const QString& unit) {
    if (current && *current)
        (*current)(ProgressReport{ProgressReport::Stage::Step, what, done, total, unit});
}

} // namespace pell
