#include "ui/QDView.h"

#include <QPainter>
#include <QPainterPath>

QDView::QDView(QWidget *parent)
    : QWidget(parent)
{
}

void QDView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal width = 2.0;
    const QRectF box = QRectF(rect()).adjusted(width / 2, width / 2, -width / 2, -width / 2);
    QPainterPath path;
    path.addRoundedRect(box, 10.0, 10.0);
    painter.fillPath(path, QColor::fromRgbF(0.87f, 0.87f, 0.87f, 1.0f));
    painter.setPen(QPen(QColor::fromRgbF(0.82f, 0.82f, 0.82f, 1.0f), width));
    painter.drawPath(path);
}
