#include "platform/twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace pell::twips {

double logicalDpi() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInchX() : 96.0;
    return dpi > 0 ? dpi : 96.0;
}

int toPx(int twips) {
    return int(std::lround(twips * logicalDpi() / 1440.0));
}

int fromPx(int px) {
    return int(std::lround(px * 1440.0 / logicalDpi()));
}

QRect rect(int left, int top, int width, int height) {
    return {toPx(left), toPx(top), toPx(width), toPx(height)};
}

void place(QWidget* widget, int left, int top, int width, int height) {
    widget->setGeometry(rect(left, top, width, height));
}

void setClientSize(QWidget* window, int width, int height) {
    window->setFixedSize(toPx(width), toPx(height));
}

} // namespace pell::twips
