#include "ui/FreedesktopNotifier.h"

#include "ui/Logging.h"
#include "ui/TrayMessageNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QTimer>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {
constexpr int kForgetAfterCloseMs = 10000;
}

FreedesktopNotifier::FreedesktopNotifier(const QDBusConnection &bus, QSystemTrayIcon *fallbackTray, QObject *parent)
    : DesktopNotifier(parent)
    , m_bus(bus)
    , m_fallback(new TrayMessageNotifier(fallbackTray, this))
{
    connect(m_fallback, &DesktopNotifier::didActivateNotification, this, &DesktopNotifier::didActivateNotification);
    if (m_bus.isConnected()) {
        m_bus.connect(kService, kPath, kInterface, u"ActionInvoked"_s, this, SLOT(actionInvoked(uint, QString)));
        m_bus.connect(kService, kPath, kInterface, u"NotificationClosed"_s, this, SLOT(notificationClosed(uint, uint)));
    }
}

FreedesktopNotifier::~FreedesktopNotifier()
{
    if (m_bus.isConnected()) {
        m_bus.disconnect(kService, kPath, kInterface, u"ActionInvoked"_s, this, SLOT(actionInvoked(uint, QString)));
        m_bus.disconnect(
            kService, kPath, kInterface, u"NotificationClosed"_s, this, SLOT(notificationClosed(uint, uint)));
    }
}

quint64 FreedesktopNotifier::deliverNotification(DesktopNotification notification)
{
    notification.identifier = nextIdentifier();
    if (!m_bus.isConnected()) {
        fallBack(notification, u"no session bus"_s);
        return notification.identifier;
    }

    QStringList actions;
    if (!notification.actionButtonTitle.isEmpty())
        actions << kActionKey << notification.actionButtonTitle;
    QVariantMap hints;
    if (!notification.soundName.isEmpty())
        hints.insert(u"sound-name"_s, notification.soundName);
    else
        hints.insert(u"suppress-sound"_s, true);
    if (!notification.imagePath.isEmpty())
        hints.insert(u"image-path"_s, QUrl::fromLocalFile(notification.imagePath).toString());
    const QString desktopFile = QGuiApplication::desktopFileName();
    if (!desktopFile.isEmpty())
        hints.insert(u"desktop-entry"_s, desktopFile);

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, u"Notify"_s);
    call << QGuiApplication::applicationDisplayName() // app_name
         << uint(0) // replaces_id
         << m_appIcon // app_icon
         << notification.title // summary
         << bodyText(notification.informativeText) // body
         << actions << hints << int(-1); // expire_timeout: the service's default

    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, notification](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError()) {
            fallBack(notification, reply.error().name() + u": "_s + reply.error().message());
            return;
        }
        m_live.insert(reply.value(), notification);
        emit delivered(notification);
    });
    return notification.identifier;
}

QString FreedesktopNotifier::bodyText(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'&')
            escaped += u"&amp;"_s;
        else if (c == u'<')
            escaped += u"&lt;"_s;
        else if (c == u'>')
            escaped += u"&gt;"_s;
        else
            escaped += c;
    }
    return escaped;
}

void FreedesktopNotifier::fallBack(const DesktopNotification &notification, const QString &why)
{
    qCInfo(lcUi) << "The desktop notification service did not take the notification (" << why
                 << "); showing it as a tray message without its button";
    m_fallback->show(notification);
    emit delivered(notification);
}

void FreedesktopNotifier::actionInvoked(uint id, const QString &actionKey)
{
    const auto found = m_live.constFind(id);
    if (found == m_live.cend())
        return; // another program's notification
    const DesktopNotification notification = *found;
    emit didActivateNotification(
        notification, actionKey == kActionKey ? Activation::ActionButtonClicked : Activation::ContentsClicked);
}

void FreedesktopNotifier::notificationClosed(uint id, uint)
{
    // Some services report the closing before the action that closed it: forget it a little later.
    QTimer::singleShot(kForgetAfterCloseMs, this, [this, id] { m_live.remove(id); });
}
