#pragma once

#include <QObject>
#include <QString>

// One desktop notification: a title, an informative text, the platform's default sound and at
// most one action button.
struct DesktopNotification
{
    static inline const QString kDefaultSound = QStringLiteral("message-new-instant");

    quint64 identifier = 0; // given by the notifier when delivered
    QString title;
    QString informativeText;
    QString actionButtonTitle; // empty: no button
    QString soundName = kDefaultSound; // empty: silent
    QString imagePath; // an image file shown with the notification (the build's icon); empty: none
};

// The desktop-notification centre. deliverNotification() shows a notification at once, whether or
// not the program is in front, and never waits for the desktop. When the user answers it,
// didActivateNotification() tells which activation it was: the action button, or the
// notification itself. The receiver of that signal is the centre's delegate.
//
// Chosen in Platform::createDesktopNotifier: the freedesktop notification service over D-Bus,
// falling back, where no such service answers, to a tray message without a button.
class DesktopNotifier : public QObject
{
    Q_OBJECT
public:
    enum class Activation { ContentsClicked, ActionButtonClicked };
    Q_ENUM(Activation)

    explicit DesktopNotifier(QObject *parent = nullptr);
    ~DesktopNotifier() override;

    // Returns the identifier given to the notification.
    virtual quint64 deliverNotification(DesktopNotification notification) = 0;

    // Makes receiver the only delegate: earlier receivers of didActivateNotification() are
    // disconnected. A null receiver leaves the centre without a delegate.
    template <typename Receiver>
    void setDelegate(
        Receiver *receiver, void (Receiver::*handler)(const DesktopNotification &, DesktopNotifier::Activation))
    {
        disconnect(this, &DesktopNotifier::didActivateNotification, nullptr, nullptr);
        if (receiver)
            connect(this, &DesktopNotifier::didActivateNotification, receiver, handler);
    }

    void clearDelegate() { disconnect(this, &DesktopNotifier::didActivateNotification, nullptr, nullptr); }

signals:
    void didActivateNotification(const DesktopNotification &notification, DesktopNotifier::Activation activation);
    // The notification has been handed to the desktop (by whichever way it went).
    void delivered(const DesktopNotification &notification);

protected:
    quint64 nextIdentifier() { return ++m_lastIdentifier; }

private:
    quint64 m_lastIdentifier = 0;
};
