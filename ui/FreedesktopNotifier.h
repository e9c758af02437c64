#pragma once

#include "ui/DesktopNotifier.h"

#include <QDBusConnection>
#include <QHash>

class QSystemTrayIcon;
class TrayMessageNotifier;

// Notifications through the freedesktop notification service (org.freedesktop.Notifications on
// the session bus): summary = title, body = informative text with "&", "<" and ">" escaped (the
// service may read the body as markup, and the text comes from packages), one action whose label
// is the button title, the sound as the "sound-name" hint. The service's ActionInvoked signal reports
// the button ("quillo-action") or the body ("default"); nothing else is reported.
//
// The Notify call is asynchronous, so a slow or absent service never holds up the caller. When
// the call fails (no session bus, no service, an error reply), the notification goes to the
// fallback instead, and that is logged.
class FreedesktopNotifier final : public DesktopNotifier
{
    Q_OBJECT
public:
    static inline const QString kService = QStringLiteral("org.freedesktop.Notifications");
    static inline const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
    static inline const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
    static inline const QString kActionKey = QStringLiteral("quillo-action");

    // fallbackTray: the tray icon whose messages stand in when the service does not take a
    // notification (may be null: then such notifications are only logged).
    explicit FreedesktopNotifier(const QDBusConnection &bus, QSystemTrayIcon *fallbackTray, QObject *parent = nullptr);
    ~FreedesktopNotifier() override;

    quint64 deliverNotification(DesktopNotification notification) override;

    // The notification's icon: a theme icon name or the path of an image file ("quillo" unless set).
    void setAppIcon(const QString &icon) { m_appIcon = icon; }

    // The body as sent: the text with the characters of the service's markup escaped.
    static QString bodyText(const QString &text);

    // Notifications the service has shown and not yet closed, by the service's id.
    int liveCount() const { return int(m_live.size()); }
    TrayMessageNotifier *fallback() const { return m_fallback; }

private slots:
    void actionInvoked(uint id, const QString &actionKey);
    void notificationClosed(uint id, uint reason);

private:
    void fallBack(const DesktopNotification &notification, const QString &why);

    QDBusConnection m_bus;
    QString m_appIcon = QStringLiteral("quillo");
    TrayMessageNotifier *m_fallback;
    QHash<uint, DesktopNotification> m_live;
};
