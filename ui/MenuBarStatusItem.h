#pragma once

#include "ui/StatusItem.h"

#include <QPointer>

#include <QMainWindow>

// The status item where the desktop has no system tray: its menu becomes the "Quillo" menu of
// the main window's menu bar, greyed out while the item is disabled. It is never activated.
class MenuBarStatusItem final : public StatusItem
{
    Q_OBJECT
public:
    explicit MenuBarStatusItem(QMainWindow *window, QObject *parent = nullptr);
    ~MenuBarStatusItem() override;

    void show() override;
    bool popUpMenu() override;

protected:
    void update() override;

private:
    QPointer<QMainWindow> m_window;
    QPointer<QMenu> m_shownMenu;
};
