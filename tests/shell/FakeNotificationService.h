#pragma once

#include <QDBusConnection>
#include <QDBusVariant>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

// A freedesktop notification service for the tests, on a connection of its own to the test's
// private session bus: it records every Notify call and lets the test play the user by emitting
// ActionInvoked.
class FakeNotificationService final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call
    {
        uint id = 0;
        QString appName;
        QString appIcon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int expireTimeout = 0;
    };

    FakeNotificationService()
        : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-notification-service")))
    { }
    ~FakeNotificationService() override { QDBusConnection::disconnectFromBus(m_bus.name()); }

    bool registerService()
    {
        return m_bus.isConnected()
            && m_bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)
            && m_bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }
    void unregisterService()
    {
        m_bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        m_bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    }

    const QList<Call> &calls() const { return m_calls; }

    // What the user does with a notification.
    void invoke(uint id, const QString &actionKey)
    {
        emit ActionInvoked(id, actionKey);
        emit NotificationClosed(id, 2);
    }

public slots:
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary,
        const QString &body, const QStringList &actions, const QVariantMap &hints, int expireTimeout)
    {
        Q_UNUSED(replacesId)
        Call call { ++m_lastId, appName, appIcon, summary, body, actions, {}, expireTimeout };
        for (auto it = hints.cbegin(); it != hints.cend(); ++it) {
            const QVariant value = it.value();
            call.hints.insert(
                it.key(), value.canConvert<QDBusVariant>() ? value.value<QDBusVariant>().variant() : value);
        }
        m_calls.append(call);
        return call.id;
    }
    QStringList GetCapabilities()
    {
        return { QStringLiteral("actions"), QStringLiteral("body"), QStringLiteral("sound") };
    }
    void CloseNotification(uint id) { emit NotificationClosed(id, 3); }

signals:
    void ActionInvoked(uint id, const QString &actionKey);
    void NotificationClosed(uint id, uint reason);

private:
    QDBusConnection m_bus;
    QList<Call> m_calls;
    uint m_lastId = 40;
};
