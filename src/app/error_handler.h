#pragma once

#include "app/app_state.h"
#include "db/error.h"

#include <exception>
#include <utility>

namespace pell {

// The program-wide handling of errors no handler trapped: a box with the number and the text.
void reportUnhandled(Platform& platform, const Error& error);
QString unhandledText(const Error& error);

// Runs a command; an error it raises is reported and ends that command only. Returns false on error.
template <class F> bool runCommand(Platform& platform, F&& command) {
    try {
        std::forward<F>(command)();
        return true;
    } catch (const Error& error) {
        reportUnhandled(platform, error);
    } catch (const std::exception& error) {
        reportUnhandled(platform, Error(51, QString::fromLocal8Bit(error.what())));
    }
    return false;
}

} // namespace pell
