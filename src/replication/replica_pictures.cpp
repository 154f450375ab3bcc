#include "replication/replica_pictures.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <functional>

namespace pell::replica_pictures {

namespace {

const QColor PageBlue(0, 64, 192);
const QColor PageFill(160, 192, 255);
const QColor CrossRed(220, 0, 0);

// Paints on a transparent 32 x 32 image and reduces it to a 256-colour palette, as the button pictures are.
QPixmap paint(const std::function<void(QPainter&)>& draw) {
    QImage image(Size, Size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        draw(painter);
    }
    return QPixmap::fromImage(image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither));
}

// A sheet with a folded top-right corner and a few lines of text.
void drawPage(QPainter& painter, const QRectF& r) {
    const qreal fold = r.width() / 3.0;
    QPainterPath outline;
    outline.moveTo(r.topLeft());
    outline.lineTo(r.right() - fold, r.top());
    outline.lineTo(r.right(), r.top() + fold);
    outline.lineTo(r.bottomRight());
    outline.lineTo(r.bottomLeft());
    outline.closeSubpath();
    painter.setPen(QPen(PageBlue, 1.2));
    painter.setBrush(PageFill);
    painter.drawPath(outline);
    painter.drawPolyline(QPolygonF{QPointF(r.right() - fold, r.top()),
                                   QPointF(r.right() - fold, r.top() + fold),
                                   QPointF(r.right(), r.top() + fold)});
    painter.setPen(QPen(PageBlue, 1.0));
    for (qreal y = r.top() + fold + 2.5; y < r.bottom() - 2.0; y += 3.0)
        painter.drawLine(QPointF(r.left() + 2.5, y), QPointF(r.right() - 2.5, y));
}

void drawArrow(QPainter& painter, QPointF from, QPointF to) {
    painter.setPen(QPen(Qt::black, 1.5, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(from, to);
    const qreal head = to.x() > from.x() ? -3.5 : 3.5;
    painter.setBrush(Qt::black);
    painter.drawPolygon(
        QPolygonF{to, QPointF(to.x() + head, to.y() - 3.0), QPointF(to.x() + head, to.y() + 3.0)});
}

} // namespace

QPixmap synchronize() {
    return paint([](QPainter& p) {
        drawPage(p, QRectF(1.5, 6.5, 11, 15));
        drawPage(p, QRectF(19.5, 10.5, 11, 15));
        drawArrow(p, QPointF(13.0, 11.0), QPointF(19.0, 11.0));
        drawArrow(p, QPointF(19.0, 22.0), QPointF(13.0, 22.0));
    });
}

QPixmap create() {
    return paint([](QPainter& p) { drawPage(p, QRectF(7.5, 3.5, 17, 25)); });
}

QPixmap remove() {
    return paint([](QPainter& p) {
        drawPage(p, QRectF(7.5, 3.5, 17, 25));
        p.setPen(QPen(CrossRed, 3.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(5, 5), QPointF(27, 27));
        p.drawLine(QPointF(27, 5), QPointF(5, 27));
    });
}

QPixmap master() {
    return paint([](QPainter& p) {
        // Drawn as strokes so the letter looks the same whatever fonts the machine has.
        p.setPen(QPen(PageBlue, 4.0, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        p.drawPolyline(
            QPolygonF{QPointF(6, 27), QPointF(6, 5), QPointF(16, 19), QPointF(26, 5), QPointF(26, 27)});
    });
}

} // namespace pell::replica_pictures
