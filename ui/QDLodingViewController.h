#pragma once

#include <QWidget>

class BusyIndicator;
class QLabel;

// The loading screen: a spinner that turns from the moment the screen is built, and a one-line
// label. Its users stop the spinner and put their own text into the label.
class QDLodingViewController : public QWidget
{
    Q_OBJECT
public:
    explicit QDLodingViewController(QWidget *parent = nullptr);

    BusyIndicator *loadingIndicator() const { return m_loadingIndicator; }
    QLabel *loadingText() const { return m_loadingText; }

private:
    BusyIndicator *m_loadingIndicator;
    QLabel *m_loadingText;
};
