#pragma once

#include <QColor>
#include <QPointer>
#include <QWidget>

class QAction;

// The view of one build entry of the status menu. While the pointer is over it, it fills itself
// with the selection colour and turns its plain labels (direct QLabel children) white; otherwise
// a label is black when its "tag" property is 0 and in the window-frame grey when it is not.
// Releasing the mouse button over it triggers its menu item (with the item as sender) and closes
// the menu.
class QDMenuView final : public QWidget
{
    Q_OBJECT
public:
    explicit QDMenuView(QWidget *parent = nullptr);

    void setMenuItem(QAction *item) { m_menuItem = item; }
    QAction *menuItem() const { return m_menuItem; }
    bool needHighlight() const { return m_needHighlight; }

    // Pointer entered or left (also called by the tracking of the events below).
    void mouseEntered();
    void mouseExited();
    // Triggers the menu item and closes the menu.
    void sendAction();

    static QColor selectionColor(const QPalette &palette);
    static QColor windowFrameColor();

protected:
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void colourLabels();

    QPointer<QAction> m_menuItem;
    bool m_needHighlight = false;
};
