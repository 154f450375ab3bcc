#pragma once

#include "db/error.h"

#include <exception>
#include <optional>
#include <utility>

namespace pell {

// The error style of the replication procedures: a failing step does not end the procedure, it is skipped
// and its error kept (a later failure replaces an earlier one). The procedure then tests the kept error
// explicitly to decide what to tell the administrator.
class SkipAndRemember {
public:
    // Runs one step; false when it failed (its error is then the remembered one).
    template <class F> bool step(F&& f) {
        try {
            std::forward<F>(f)();
            return true;
        } catch (const Error& error) {
            m_last = error;
        } catch (const std::exception& error) {
            m_last = Error(51, QString::fromLocal8Bit(error.what()));
        }
        return false;
    }

    void clear() { m_last.reset(); }
    bool failed() const { return m_last.has_value(); }
    // 0 when nothing failed since the last clear.
    int number() const { return m_last ? m_last->number() : 0; }
    QString text() const { return m_last ? m_last->text() : QString(); }

private:
    std::optional<Error> m_last;
};

} // namespace pell
