#pragma once

#include "builds/QDMenuViewController.h"
#include "builds/ShellServices.h"
#include "ui/DesktopNotifier.h"
#include "ui/TrayStatusItem.h"

#include <QAction>
#include <QList>
#include <QMenu>
#include <QStringList>

#include <memory>

// Notifications kept in a list instead of shown (the D-Bus way is tested in tests/shell).
class RecordingNotifier final : public DesktopNotifier
{
    Q_OBJECT
public:
    quint64 deliverNotification(DesktopNotification notification) override
    {
        notification.identifier = nextIdentifier();
        m_notifications.append(notification);
        emit delivered(notification);
        return notification.identifier;
    }
    const QList<DesktopNotification> &notifications() const { return m_notifications; }

private:
    QList<DesktopNotification> m_notifications;
};

// What the application delegate gives the recent-builds screen: a tray status item (disabled,
// as start-up leaves it) with a menu of five placeholder slots above three fixed commands.
class TestShell final : public ShellServices
{
public:
    static inline const QStringList kCommands { QStringLiteral("uploadCommand"), QStringLiteral("helpCommand"),
        QStringLiteral("quitCommand") };

    TestShell()
    {
        for (int i = 0; i < 5; ++i) {
            auto *slot = new QAction(QStringLiteral("slot"), &m_menu);
            slot->setVisible(false);
            QDMenuViewController::markBuildSlot(slot);
            m_menu.addAction(slot);
        }
        m_menu.addSeparator();
        for (const QString &name : kCommands)
            m_menu.addAction(name)->setObjectName(name);
        m_statusItem.setMenu(&m_menu);
        m_statusItem.setEnabled(false);
    }

    StatusItem *statusItem() const override { return const_cast<TrayStatusItem *>(&m_statusItem); }
    QMenu *statusMenu() const override { return const_cast<QMenu *>(&m_menu); }
    bool redundantItemRemoved() const override { return m_redundantItemRemoved; }
    void setRedundantItemRemoved(bool removed) override { m_redundantItemRemoved = removed; }
    DesktopNotifier *notificationCenter() const override { return const_cast<RecordingNotifier *>(&m_notifier); }

    const RecordingNotifier &notifier() const { return m_notifier; }
    QMenu &menu() { return m_menu; }

    // The build entries at the top of the menu.
    QList<QAction *> entries() const
    {
        QList<QAction *> found;
        for (QAction *action : m_menu.actions()) {
            if (!QDMenuViewController::isBuildSlot(action))
                break;
            found.append(action);
        }
        return found;
    }
    // The names of the fixed commands, in menu order.
    QStringList commands() const
    {
        QStringList names;
        for (QAction *action : m_menu.actions()) {
            if (!QDMenuViewController::isBuildSlot(action) && !action->isSeparator())
                names.append(action->objectName());
        }
        return names;
    }

private:
    QMenu m_menu;
    TrayStatusItem m_statusItem;
    RecordingNotifier m_notifier;
    bool m_redundantItemRemoved = false;
};
