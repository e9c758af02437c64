#pragma once

#include <QWidget>

// A panel: rounded corners (10 points), a grey border 2 points wide (0.82) on a grey
// background (0.87).
class QDView : public QWidget
{
    Q_OBJECT
public:
    explicit QDView(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};
