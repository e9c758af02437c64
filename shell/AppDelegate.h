#pragma once

#include "account/QDLoginViewController.h"
#include "builds/QDWelcomeViewController.h"
#include "builds/ShellServices.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

#include <memory>

class CloudClient;
class DesktopNotifier;
class PreferencesWindowController;
class QAction;
class QDViewDeviceLogController;
class QMainWindow;
class QMenu;
class QWidget;
class StatusItem;
class VersionCheck;

// The desktop program's shell. It owns the status item with its menu, the screen shown in the
// main window (the login screen or the recent-builds screen, never both), the preferences window
// and the device log window, and answers the commands of the status menu.
//
//     QMainWindow window;
//     AppDelegate delegate(&window);
//     delegate.applicationDidFinishLaunching();   // start-up, in its fixed order
//     ... a second start of the program or a click on the tray icon:
//     delegate.applicationShouldHandleReopen(window.isVisible());
//
// The status menu begins with five build slots (filled by the recent-builds screen), then the
// commands: upload, preferences, help, check for updates, device log, find, quit. The shell
// registers the builders of QDLuncherController's three screens when it is constructed.
class AppDelegate final : public QObject, public ShellServices
{
    Q_OBJECT
public:
    static constexpr int kBuildSlots = 5;

    explicit AppDelegate(QMainWindow *window, QObject *parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate() { }
    // Closing the main window does not quit.
    bool applicationShouldTerminateAfterLastWindowClosed() const { return false; }
    // Brings the main window to the front and makes it active.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);

    void displayLoginWindow();
    void closeDeviceLogWindow();
    void openPreferenceViewController();
    void openHelp();
    void checkUpdate();
    void viewDeviceLog();
    void searchTableView();
    // Opens an empty upload window through the recent-builds screen (nothing while logged out).
    void openUploadWindow();
    void quit();

    // The builders behind QDLuncherController.
    void openWelcomeController();
    void openLoginController();

    void setFirstLaunch();
    Q_INVOKABLE void setFirstLaunchSuccess(const QVariant &data);
    Q_INVOKABLE void setFirstLaunchError(const QVariant &errorRecord);

    // ShellServices
    StatusItem *statusItem() const override { return m_statusItem.get(); }
    QMenu *statusMenu() const override { return m_statusMenu.get(); }
    bool redundantItemRemoved() const override { return m_redundantItemRemoved; }
    void setRedundantItemRemoved(bool removed) override { m_redundantItemRemoved = removed; }
    DesktopNotifier *notificationCenter() const override { return m_notificationCenter.get(); }

    QMainWindow *window() const { return m_window; }
    QDLoginViewController *loginController() const { return m_loginController; }
    QDWelcomeViewController *welcomeController() const { return m_welcomeController; }
    PreferencesWindowController *preferencesWindowController() const { return m_preferencesWindowController.get(); }
    QDViewDeviceLogController *viewDeviceLogController() const { return m_viewDeviceLogController.get(); }
    QAction *findMenu() const { return m_findMenu; }
    QAction *commandAction(const QString &objectName) const;
    QString newVersionURL() const;
    VersionCheck *versionCheck() const { return m_versionCheck; }
    CloudClient *cloudClient() const { return m_cloudClient.get(); }

private:
    void buildStatusMenu();
    void showScreen(QWidget *screen);

    // In the order of the fields the shell has always had.
    std::unique_ptr<PreferencesWindowController> m_preferencesWindowController;
    VersionCheck *m_versionCheck = nullptr; // keeps newVersionURL and the check's own client
    bool m_redundantItemRemoved = false;
    std::unique_ptr<CloudClient> m_cloudClient;
    QPointer<QDLoginViewController> m_loginController;
    QPointer<QDWelcomeViewController> m_welcomeController;
    std::unique_ptr<QDViewDeviceLogController> m_viewDeviceLogController;
    QAction *m_findMenu = nullptr;
    std::unique_ptr<QMenu> m_statusMenu;
    std::unique_ptr<StatusItem> m_statusItem;
    QMainWindow *m_window;
    std::unique_ptr<DesktopNotifier> m_notificationCenter;
};
