#pragma once

#include <QPointF>
#include <QSizeF>

class QWidget;

namespace pell {

class Platform;

// CENTER_FORM: places a window centred across the screen and a third of the free height down.
// A window larger than the screen gets a negative position.
void CENTER_FORM(QWidget& window, const Platform& platform);

// CENTER_FORM's arithmetic, in twips and single precision: centred across, a third of the free height down.
QPointF centerPositionTwips(QSizeF screen, QSizeF window);

} // namespace pell
