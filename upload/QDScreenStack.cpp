#include "upload/QDScreenStack.h"

#include <QPropertyAnimation>
#include <QResizeEvent>

namespace {
int animationDuration = 200;
}

void QDScreenStack::setAnimationDuration(int milliseconds)
{
    animationDuration = milliseconds;
}

QDScreenStack::QDScreenStack(QWidget *rootScreen, QWidget *parent)
    : QWidget(parent)
{
    rootScreen->setParent(this);
    rootScreen->setGeometry(rect());
    rootScreen->show();
    m_screens.append(rootScreen);
}

QDScreenStack::~QDScreenStack() = default;

void QDScreenStack::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    for (QWidget *screen : std::as_const(m_screens))
        screen->setGeometry(rect());
}

void QDScreenStack::slide(QWidget *screen, QPoint from, QPoint to, std::function<void()> done)
{
    if (animationDuration <= 0 || !isVisible()) {
        screen->move(to);
        done();
        return;
    }
    screen->move(from);
    auto *animation = new QPropertyAnimation(screen, "pos", screen);
    animation->setDuration(animationDuration);
    animation->setStartValue(from);
    animation->setEndValue(to);
    animation->setEasingCurve(QEasingCurve::OutCubic);
    connect(animation, &QPropertyAnimation::finished, this, [done = std::move(done)] { done(); });
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void QDScreenStack::push(QWidget *screen, bool animated)
{
    QWidget *below = topScreen();
    screen->setParent(this);
    screen->setGeometry(rect());
    m_screens.append(screen);
    screen->show();
    screen->raise();
    QPointer<QWidget> belowGuard(below);
    QPointer<QWidget> screenGuard(screen);
    auto done = [this, belowGuard, screenGuard] {
        // Hide what lies below, unless it has come back on top in the meantime.
        if (belowGuard && screenGuard && m_screens.contains(screenGuard.data()) && belowGuard != topScreen())
            belowGuard->hide();
    };
    if (animated)
        slide(screen, QPoint(width(), 0), QPoint(0, 0), done);
    else
        done();
}

void QDScreenStack::popToRoot(bool animated)
{
    if (m_screens.size() < 2)
        return;
    const QList<QWidget *> popped = m_screens.mid(1);
    m_screens.resize(1);
    QWidget *root = rootScreen();
    root->setGeometry(rect());
    root->show();
    QWidget *top = popped.last();
    for (QWidget *screen : popped) {
        if (screen != top) {
            screen->hide();
            screen->deleteLater();
        }
    }
    QPointer<QWidget> topGuard(top);
    auto done = [topGuard] {
        if (topGuard) {
            topGuard->hide();
            topGuard->deleteLater();
        }
    };
    top->raise();
    if (animated)
        slide(top, QPoint(0, 0), QPoint(width(), 0), done);
    else
        done();
}
