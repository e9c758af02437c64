#pragma once

#include "ui/StatusItem.h"

#include <QSystemTrayIcon>

// The status item as an icon in the system tray. A left click or double click reports
// activated(); the menu opens on the tray's context click, and only while the item is enabled
// (a disabled item has no menu to open).
class TrayStatusItem final : public StatusItem
{
    Q_OBJECT
public:
    explicit TrayStatusItem(QObject *parent = nullptr);
    ~TrayStatusItem() override;

    void show() override;
    QSystemTrayIcon *trayIcon() const override { return m_tray; }
    bool popUpMenu() override;

protected:
    void update() override;

private:
    void trayActivated(QSystemTrayIcon::ActivationReason reason);

    QSystemTrayIcon *m_tray;
};
