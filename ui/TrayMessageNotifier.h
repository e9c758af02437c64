#pragma once

#include "ui/DesktopNotifier.h"

#include <QPointer>

class QSystemTrayIcon;

// Notifications as balloon messages of the tray icon: title and text only, no action button
// (a tray message cannot carry one). A click on the message reports ContentsClicked for the last
// message shown. Without a tray icon the notification is only logged.
class TrayMessageNotifier final : public DesktopNotifier
{
    Q_OBJECT
public:
    explicit TrayMessageNotifier(QSystemTrayIcon *tray, QObject *parent = nullptr);

    quint64 deliverNotification(DesktopNotification notification) override;
    // Shows an already numbered notification (for the notifier that falls back to this one).
    void show(const DesktopNotification &notification);

private:
    QPointer<QSystemTrayIcon> m_tray;
    DesktopNotification m_lastShown;
};
