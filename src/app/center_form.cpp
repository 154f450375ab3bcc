#include "app/center_form.h"

#include "app/inifile.h"
#include "platform/platform.h"
#include "widgets/twips.h"

#include <QWidget>

#include <cmath>

namespace pell {

void CENTER_FORM(QWidget& window, const Platform& platform) {
    const QSize screen = platform.screenSizeTwips();
    const QSizeF size(twips::fromPx(window.width()), twips::fromPx(window.height()));
    const QPointF pos = centerPositionTwips(QSizeF(screen), size);
    window.move(twips::toPx(int(std::lround(pos.x()))), twips::toPx(int(std::lround(pos.y()))));
}

} // namespace pell
