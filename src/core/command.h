#pragma once

#include "core/error.h"

#include <QString>

#include <exception>
#include <optional>
#include <utility>

namespace pell {

class Platform;

// The error styles of the program's handlers. A handler either traps nothing (runCommand: the error goes to
// the program-wide handling and ends that command only), skips and remembers (SkipAndRemember: each failing
// step is skipped and the handler tests the remembered error), or traps to one fallback of its own.

// The program-wide handling of errors no handler trapped: the default pointer, then a box with the number
// and the text.
void reportUnhandled(Platform& platform, const Error& error);
QString unhandledText(const Error& error);

// A failure that is not one of ours (the standard library's, the toolkit's) as the runtime's internal error.
Error internalError(const std::exception& error);

// Runs a command; an error it raises is reported and ends that command only. Returns false on error.
template <class F> bool runCommand(Platform& platform, F&& command) {
    try {
        std::forward<F>(command)();
        return true;
    } catch (const Error& error) {
        reportUnhandled(platform, error);
    } catch (const std::exception& error) {
        reportUnhandled(platform, internalError(error));
    }
    return false;
}

// A failing step does not end the procedure: it is skipped and its error kept (a later failure replaces an
// earlier one). The procedure then tests the kept error explicitly to decide what to say.
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
            m_last = internalError(error);
        }
        return false;
    }

    void clear() { m_last.reset(); }
    bool failed() const { return m_last.has_value(); }
    // 0 when nothing failed since the last clear.
    int number() const { return m_last ? m_last->number() : 0; }
    QString text() const { return m_last ? m_last->text() : QString(); }
    const std::optional<Error>& error() const { return m_last; }

private:
    std::optional<Error> m_last;
};

// What a feature command tells whoever ran it, besides what it told the administrator: a window needs
// nothing of it (the command has spoken for itself); pelldb turns it into its exit status and prints a
// failure as "error NNNN: text".
struct CommandResult {
    enum class Outcome { Done, Cancelled, Failed };
    Outcome outcome = Outcome::Done;
    std::optional<Error> failure; // set when Failed

    static CommandResult done() { return {}; }
    static CommandResult cancelled() { return {Outcome::Cancelled, std::nullopt}; }
    static CommandResult failed(Error error) { return {Outcome::Failed, std::move(error)}; }
};

} // namespace pell
