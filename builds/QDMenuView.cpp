#include "builds/QDMenuView.h"

#include <QAction>
#include <QEnterEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

using namespace Qt::StringLiterals;

QDMenuView::QDMenuView(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(u"menuView"_s);
    setAttribute(Qt::WA_Hover);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
}

QColor QDMenuView::selectionColor(const QPalette &palette)
{
    return palette.color(QPalette::Active, QPalette::Highlight);
}

QColor QDMenuView::windowFrameColor()
{
    return QColor(0x8c, 0x8c, 0x8c);
}

void QDMenuView::mouseEntered()
{
    m_needHighlight = true;
    colourLabels();
    update();
}

void QDMenuView::mouseExited()
{
    m_needHighlight = false;
    colourLabels();
    update();
}

void QDMenuView::enterEvent(QEnterEvent *event)
{
    QWidget::enterEvent(event);
    mouseEntered();
}

void QDMenuView::leaveEvent(QEvent *event)
{
    QWidget::leaveEvent(event);
    mouseExited();
}

void QDMenuView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The pointer may have left while the menu was closed.
    m_needHighlight = underMouse();
    colourLabels();
}

void QDMenuView::mousePressEvent(QMouseEvent *event)
{
    // Taken here, so that the release comes here too and not to the menu around.
    if (event->button() == Qt::LeftButton) {
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void QDMenuView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        sendAction();
        event->accept();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

void QDMenuView::sendAction()
{
    const QPointer<QDMenuView> self(this);
    if (m_menuItem)
        m_menuItem->trigger();
    if (!self)
        return;
    for (QWidget *ancestor = parentWidget(); ancestor; ancestor = ancestor->parentWidget()) {
        if (auto *menu = qobject_cast<QMenu *>(ancestor))
            menu->close();
    }
    mouseExited();
}

void QDMenuView::colourLabels()
{
    for (QObject *child : children()) {
        // Plain labels only: a subclass draws itself as it likes.
        auto *label = qobject_cast<QLabel *>(child);
        if (!label || label->metaObject() != &QLabel::staticMetaObject)
            continue;
        QColor colour = Qt::white;
        if (!m_needHighlight)
            colour = label->property("tag").toInt() == 0 ? QColor(Qt::black) : windowFrameColor();
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, colour);
        label->setPalette(palette);
        label->setForegroundRole(QPalette::WindowText);
        label->setAutoFillBackground(false);
    }
}

void QDMenuView::paintEvent(QPaintEvent *)
{
    if (!m_needHighlight)
        return;
    QPainter painter(this);
    painter.fillRect(rect(), selectionColor(palette()));
}
