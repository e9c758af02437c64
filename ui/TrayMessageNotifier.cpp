#include "ui/TrayMessageNotifier.h"

#include "ui/Logging.h"

#include <QSystemTrayIcon>

TrayMessageNotifier::TrayMessageNotifier(QSystemTrayIcon *tray, QObject *parent)
    : DesktopNotifier(parent)
    , m_tray(tray)
{
    if (tray) {
        connect(tray, &QSystemTrayIcon::messageClicked, this, [this] {
            if (m_lastShown.identifier != 0)
                emit didActivateNotification(m_lastShown, Activation::ContentsClicked);
        });
    }
}

quint64 TrayMessageNotifier::deliverNotification(DesktopNotification notification)
{
    notification.identifier = nextIdentifier();
    show(notification);
    return notification.identifier;
}

void TrayMessageNotifier::show(const DesktopNotification &notification)
{
    if (!notification.actionButtonTitle.isEmpty())
        qCInfo(lcUi) << "Showing the notification as a tray message, without its button"
                     << notification.actionButtonTitle;
    if (m_tray && QSystemTrayIcon::supportsMessages()) {
        m_lastShown = notification;
        m_tray->showMessage(notification.title, notification.informativeText, QSystemTrayIcon::Information);
    } else {
        qCWarning(lcUi) << "No way to show a desktop notification:" << notification.title
                        << notification.informativeText;
    }
    emit delivered(notification);
}
