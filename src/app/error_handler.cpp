#include "app/error_handler.h"

#include "platform/platform.h"

namespace pell {

QString unhandledText(const Error& error) {
    return QStringLiteral("Error %1: %2").arg(error.number()).arg(error.text());
}

void reportUnhandled(Platform& platform, const Error& error) {
    platform.setPointer(Pointer::Default);
    platform.messageBox(unhandledText(error), Buttons::OkOnly, Icon::None, {});
}

} // namespace pell
