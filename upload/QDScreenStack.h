#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>

// The screen stack of the upload window: a bottom screen with screens pushed on top of it. Only
// the top screen is shown, filling the stack. The stack owns its screens; popped screens are
// deleted. With animation the new top slides in (or the old one out), but the stack's contents
// change at once, so topScreen() is right the moment push or popToRoot returns.
class QDScreenStack final : public QWidget
{
    Q_OBJECT
public:
    explicit QDScreenStack(QWidget *rootScreen, QWidget *parent = nullptr);
    ~QDScreenStack() override;

    void push(QWidget *screen, bool animated);
    void popToRoot(bool animated);

    QWidget *rootScreen() const { return m_screens.first(); }
    QWidget *topScreen() const { return m_screens.last(); }
    qsizetype depth() const { return m_screens.size(); }

    // Slides take this long (0: no animation at all, e.g. for screenshots).
    static void setAnimationDuration(int milliseconds);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void slide(QWidget *screen, QPoint from, QPoint to, std::function<void()> done);

    QList<QWidget *> m_screens;
};
