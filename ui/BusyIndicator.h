#pragma once

#include <QTimer>
#include <QWidget>

// An indeterminate spinner. Hidden when stopped unless displayedWhenStopped is set.
class BusyIndicator : public QWidget
{
    Q_OBJECT
public:
    explicit BusyIndicator(QWidget *parent = nullptr);

    void startAnimation();
    void stopAnimation();
    bool isAnimating() const { return m_timer.isActive(); }
    void setDisplayedWhenStopped(bool on);

    QSize sizeHint() const override { return {24, 24}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QTimer m_timer;
    int m_step = 0;
    bool m_displayedWhenStopped = false;
};
