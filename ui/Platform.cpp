#include "ui/Platform.h"

#include "ui/FreedesktopNotifier.h"
#include "ui/Logging.h"
#include "ui/MenuBarStatusItem.h"
#include "ui/TrayStatusItem.h"

#include <QDBusConnection>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QStandardPaths>
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
    auto notifier = std::make_unique<FreedesktopNotifier>(
        QDBusConnection::sessionBus(), statusItem ? statusItem->trayIcon() : nullptr);
    // The service reads the icon from a file: the program's own image, copied out of its resources.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    const QString icon = folder + u"/notification-icon.png"_s;
    if (QFileInfo::exists(icon)
        || (QDir().mkpath(folder)
            && QImage(u":/images/quillo"_s).scaled(128, 128, Qt::KeepAspectRatio, Qt::SmoothTransformation).save(icon)))
        notifier->setAppIcon(icon);
    return notifier;
}
