#include "app/center_form.h"

#include "core/platform.h"
#include "platform/twips.h"

#include <QWidget>

#include <cmath>

namespace pell {

void CENTER_FORM(QWidget& window, const Platform& platform) {
    const QSize screen = platform.screenSizeTwips();
    const QSizeF size(twips::fromPx(window.width()), twips::fromPx(window.height()));
    const QPointF pos = centerPositionTwips(QSizeF(screen), size);
    window.move(twips::toPx(int(std::lround(pos.x()))), twips::toPx(int(std::lround(pos.y()))));
}

QPointF centerPositionTwips(QSizeF screen, QSizeF window) {
    const float left = (float(screen.width()) - float(window.width())) / 2.0f;
    const float top = (float(screen.height()) - float(window.height())) / 3.0f;
    return {left, top};
}

} // namespace pell
