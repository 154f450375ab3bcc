#include "core/command.h"

#include "core/platform.h"

namespace pell {

QString unhandledText(const Error& error) {
    return QStringLiteral("Error %1: %2").arg(error.number()).arg(error.text());
}

void reportUnhandled(Platform& platform, const Error& error) {
    platform.setPointer(Pointer::Default);
    platform.messageBox(unhandledText(error), Buttons::OkOnly, Icon::None, {});
}

Error internalError(const std::exception& error) {
    return Error(err::Internal, QString::fromLocal8Bit(error.what()));
}

} // namespace pell
