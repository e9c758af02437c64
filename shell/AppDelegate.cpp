#include "shell/AppDelegate.h"

#include "account/PreferencesWindow.h"
#include "account/QDLoginViewController.h"
#include "api/CloudClient.h"
#include "app/Config.h"
#include "app/DataCheck.h"
#include "app/Logging.h"
#include "app/NotificationCenter.h"
#include "app/Notifications.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "ui/VersionCheck.h"
#include "builds/QDMenuViewController.h"
#include "builds/QDWelcomeViewController.h"
#include "devicelog/QDViewDeviceLogController.h"
#include "ui/Browser.h"
#include "ui/DesktopNotifier.h"
#include "ui/Platform.h"
#include "ui/QDLuncherController.h"
#include "ui/StatusItem.h"

#include <QAction>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMainWindow>
#include <QMenu>

using namespace Qt::StringLiterals;

AppDelegate::AppDelegate(QMainWindow *window, QObject *parent)
    : QObject(parent)
    , m_window(window)
{
    m_versionCheck = new VersionCheck(window, VersionCheck::UpToDate::Announce, this);
    buildStatusMenu();
    QDLuncherController::setScreenBuilder(QDLuncherController::Screen::Welcome, [this] { openWelcomeController(); });
    QDLuncherController::setScreenBuilder(QDLuncherController::Screen::Login, [this] { openLoginController(); });
    QDLuncherController::setScreenBuilder(QDLuncherController::Screen::Upload, [this] { openUploadWindow(); });
}

AppDelegate::~AppDelegate()
{
    NotificationCenter::defaultCenter().removeObserver(this);
    for (auto screen : { QDLuncherController::Screen::Welcome, QDLuncherController::Screen::Login,
             QDLuncherController::Screen::Upload })
        QDLuncherController::setScreenBuilder(screen, {});
    // The screens reach the status item and its menu through this object: they go first.
    delete m_welcomeController.data();
    delete m_loginController.data();
    if (m_statusItem)
        m_statusItem->setMenu(nullptr);
}

void AppDelegate::buildStatusMenu()
{
    m_statusMenu = std::make_unique<QMenu>();
    m_statusMenu->setObjectName(u"statusMenu"_s);
    m_statusMenu->setTitle(u"Quillo"_s);
    // The build slots: placeholders until the recent-builds screen fills them.
    for (int i = 0; i < kBuildSlots; ++i) {
        auto *slot = new QAction(m_statusMenu.get());
        slot->setObjectName(u"buildSlot%1"_s.arg(i));
        slot->setEnabled(false);
        slot->setVisible(false);
        QDMenuViewController::markBuildSlot(slot);
        m_statusMenu->addAction(slot);
    }
    m_statusMenu->addSeparator();
    auto command = [this](const QString &name, const QString &title, void (AppDelegate::*handler)()) {
        QAction *action = m_statusMenu->addAction(title);
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    command(u"uploadMenuItem"_s, u"上传安装包…"_s, &AppDelegate::openUploadWindow);
    m_statusMenu->addSeparator();
    command(u"preferencesMenuItem"_s, u"偏好设置…"_s, &AppDelegate::openPreferenceViewController);
    command(u"helpMenuItem"_s, u"帮助"_s, &AppDelegate::openHelp);
    command(u"checkUpdateMenuItem"_s, u"检查更新…"_s, &AppDelegate::checkUpdate);
    m_statusMenu->addSeparator();
    command(u"deviceLogMenuItem"_s, u"查看设备日志"_s, &AppDelegate::viewDeviceLog);
    m_findMenu = command(u"findMenuItem"_s, u"查找"_s, &AppDelegate::searchTableView);
    m_statusMenu->addSeparator();
    command(u"quitMenuItem"_s, u"退出 Quillo"_s, &AppDelegate::quit);
}

QAction *AppDelegate::commandAction(const QString &objectName) const
{
    for (QAction *action : m_statusMenu->actions()) {
        if (action->objectName() == objectName)
            return action;
    }
    return nullptr;
}

void AppDelegate::applicationDidFinishLaunching()
{
    m_window->setWindowTitle(u"Quillo"_s);
    // An ordinary application with a taskbar entry while its window is shown; closing that
    // window leaves it running in the status bar.
    QGuiApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    setFirstLaunch();

    m_statusItem = Platform::createStatusItem(m_window);
    m_statusItem->setMenu(m_statusMenu.get());
    m_statusItem->setHighlightMode(true);
    m_statusItem->setEnabled(false);
    m_statusItem->setImage(QIcon(u":/images/icon_mac"_s));
    m_statusItem->setAlternateImage(QIcon(u":/images/icon_mac_highlight"_s));
    connect(m_statusItem.get(), &StatusItem::activated, this,
        [this] { applicationShouldHandleReopen(m_window->isVisible()); });
    m_statusItem->show();
    m_notificationCenter = Platform::createDesktopNotifier(m_statusItem.get());

    m_findMenu->setEnabled(false);

    if (QSLoginModel::isLogged()) {
        // Its start-up fills the status menu and so enables the status item again.
        m_welcomeController = new QDWelcomeViewController(this);
        showScreen(m_welcomeController);
    } else {
        m_loginController = new QDLoginViewController;
        m_loginController->setMainWindow(m_window);
        showScreen(m_loginController);
    }

    NotificationCenter &center = NotificationCenter::defaultCenter();
    center.addObserver(this, Notifications::DisplayLoginWindow, [this] { displayLoginWindow(); });
    center.addObserver(this, Notifications::CloseDeviceLogWindow, [this] { closeDeviceLogWindow(); });

    if (m_welcomeController)
        m_notificationCenter->setDelegate(
            m_welcomeController.data(), &QDWelcomeViewController::userNotificationCenterDidActivateNotification);
}

void AppDelegate::showScreen(QWidget *screen)
{
    QWidget *previous = m_window->takeCentralWidget();
    m_window->setCentralWidget(screen);
    screen->show();
    if (previous && previous != screen) {
        previous->hide();
        previous->setParent(nullptr);
    }
}

void AppDelegate::openWelcomeController()
{
    QPointer<QDWelcomeViewController> previousWelcome = m_welcomeController;
    QPointer<QDLoginViewController> login = m_loginController;
    m_welcomeController = new QDWelcomeViewController(this);
    showScreen(m_welcomeController);
    // The login screen is usually the caller (after its login reply): it goes once it has returned.
    if (login) {
        login->deleteLater();
        m_loginController = nullptr;
    }
    delete previousWelcome.data();
    m_notificationCenter->setDelegate(
        m_welcomeController.data(), &QDWelcomeViewController::userNotificationCenterDidActivateNotification);
}

void AppDelegate::openLoginController()
{
    displayLoginWindow();
}

void AppDelegate::displayLoginWindow()
{
    if (m_statusItem)
        m_statusItem->setEnabled(false);
    QPointer<QDLoginViewController> previousLogin = m_loginController;
    QPointer<QDWelcomeViewController> welcome = m_welcomeController;
    m_loginController = new QDLoginViewController;
    m_loginController->setMainWindow(m_window);
    showScreen(m_loginController);
    // The recent-builds screen stops here: no watch, no observers and no upload window of it
    // outlive the logout.
    m_welcomeController = nullptr;
    delete welcome.data();
    if (previousLogin)
        previousLogin->deleteLater();
    if (m_notificationCenter)
        m_notificationCenter->clearDelegate();
    if (m_preferencesWindowController)
        m_preferencesWindowController->close();
}

void AppDelegate::closeDeviceLogWindow()
{
    m_findMenu->setEnabled(false);
}

void AppDelegate::openPreferenceViewController()
{
    if (!m_preferencesWindowController)
        m_preferencesWindowController = createPreferencesWindow();
    m_preferencesWindowController->showWindow();
}

void AppDelegate::openHelp()
{
    Browser::open(Config::serviceUrl(u"help"_s));
}

void AppDelegate::checkUpdate()
{
    m_versionCheck->check();
}

QString AppDelegate::newVersionURL() const
{
    return m_versionCheck->newVersionURL();
}

void AppDelegate::viewDeviceLog()
{
    m_viewDeviceLogController = std::make_unique<QDViewDeviceLogController>();
    m_viewDeviceLogController->show();
    m_findMenu->setEnabled(true);
}

void AppDelegate::searchTableView()
{
    QDViewDeviceLogController *log = m_viewDeviceLogController.get();
    if (!log || !log->isVisible())
        return;
    log->raise();
    log->activateWindow();
    log->focusSearchField();
}

void AppDelegate::openUploadWindow()
{
    if (m_welcomeController)
        m_welcomeController->uploadButtonClicked();
}

bool AppDelegate::applicationShouldHandleReopen(bool)
{
    if (m_window->isMinimized())
        m_window->showNormal();
    else
        m_window->show();
    m_window->raise();
    m_window->activateWindow();
    return true;
}

void AppDelegate::quit()
{
    QCoreApplication::quit();
}

void AppDelegate::setFirstLaunch()
{
    const QString key = u"isLaunched"_s;
    const QVariant launched = Preferences::value(key);
    if (DataCheck::isValidString(launched) && DataCheck::intValue(launched) == 1)
        return;
    // Written before the report goes out, whatever becomes of it: one attempt per user.
    Preferences::setValue(key, u"1"_s);
    Preferences::flush();
    m_cloudClient = CloudClient::getInstance();
    m_cloudClient->setFirstLaunchWithDelegate(this, u"setFirstLaunchSuccess:"_s, u"setFirstLaunchError:"_s);
}

void AppDelegate::setFirstLaunchSuccess(const QVariant &)
{
    qCInfo(lcApp) << "Set first launch success.";
}

void AppDelegate::setFirstLaunchError(const QVariant &errorRecord)
{
    qCInfo(lcApp).noquote() << u"Set first launch error: %1"_s.arg(errorRecord.toMap().value(u"message"_s).toString());
}
