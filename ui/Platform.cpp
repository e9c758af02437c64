#include "ui/Platform.h"

#include "ui/FreedesktopNotifier.h"
#include "ui/Logging.h"
#include "ui/MenuBarStatusItem.h"
#include "ui/TrayStatusItem.h"

#include <QDBusConnection>
#include <QSystemTrayIcon>

using namespace Qt::StringLiterals;

std::unique_ptr<StatusItem> Platform::createStatusItem(QMainWindow *window)
{
    const QByteArray forced = qgetenv("QUILLO_STATUS_ITEM");
    bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    if (forced == "tray")
        tray = true;
    else if (forced == "menubar")
        tray = false;
    if (tray)
        return std::make_unique<TrayStatusItem>();
    qCInfo(lcUi) << "No system tray; the status menu goes into the main window's menu bar";
    return std::make_unique<MenuBarStatusItem>(window);
}

std::unique_ptr<DesktopNotifier> Platform::createDesktopNotifier(StatusItem *statusItem)
{
    return std::make_unique<FreedesktopNotifier>(QDBusConnection::sessionBus(),
                                                 statusItem ? statusItem->trayIcon() : nullptr);
}
