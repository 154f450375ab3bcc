#pragma once

#include <QRect>

class QWidget;

// Window sizes and positions are given in twips: 1440 to the logical inch of the screen.
namespace pell::twips {

double logicalDpi();
int toPx(int twips);
int fromPx(int px);
QRect rect(int left, int top, int width, int height);
// Places a child at a position in twips within its parent.
void place(QWidget* widget, int left, int top, int width, int height);
// Gives a window a fixed client area in twips.
void setClientSize(QWidget* window, int width, int height);

} // namespace pell::twips
