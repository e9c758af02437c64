#include "ui/BusyIndicator.h"

#include <QPainter>

BusyIndicator::BusyIndicator(QWidget *parent)
    : QWidget(parent)
{
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % 12;
        update();
    });
}

void BusyIndicator::startAnimation()
{
    m_timer.start();
    update();
}

void BusyIndicator::stopAnimation()
{
    m_timer.stop();
    update();
}

void BusyIndicator::setDisplayedWhenStopped(bool on)
{
    m_displayedWhenStopped = on;
    update();
}

void BusyIndicator::paintEvent(QPaintEvent *)
{
    if (!isAnimating() && !m_displayedWhenStopped)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = qMin(width(), height());
    painter.translate(width() / 2.0, height() / 2.0);
    const QColor base = palette().color(QPalette::WindowText);
    for (int i = 0; i < 12; ++i) {
        QColor color = base;
        const int age = (m_step - i + 12) % 12;
        color.setAlphaF(isAnimating() ? 1.0f - static_cast<float>(age) / 12.0f : 0.3f);
        painter.setPen(QPen(color, side / 10.0, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, side * 0.22), QPointF(0, side * 0.45));
        painter.rotate(30.0);
    }
}
