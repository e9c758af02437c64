#include "account/PreferencesWindowController.h"
#include "account/QDLoginViewController.h"
#include "app/Config.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "builds/ArchiveFolderWatch.h"
#include "builds/QDMenuViewController.h"
#include "builds/QDWelcomeViewController.h"
#include "devicelog/QDViewDeviceLogController.h"
#include "shell/AppDelegate.h"
#include "tests/account/UserInput.h"
#include "tests/shell/ShellFixture.h"
#include "tests/support/ArchiveTree.h"
#include "tests/support/DrawnImage.h"
#include "tests/support/Fixtures.h"
#include "tests/support/GuiTestMain.h"
#include "tests/support/TestService.h"
#include "ui/Alert.h"
#include "ui/Browser.h"
#include "ui/DesktopNotifier.h"
#include "ui/StatusItem.h"
#include "ui/VersionCheck.h"
#include "upload/QDUploadViewController.h"
#include "upload/QDUploadWindowController.h"

#include <QDir>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>

using namespace Qt::StringLiterals;

// The shell driven as a user would: start-up with and without a session, login and logout,
// the status menu's commands, the main window's life, against the stand-in service.
class AppDelegateTest : public QObject
{
    Q_OBJECT

    TestService m_service;
    TestService::Account m_account;
    ShellFixture m_shell;

    AppDelegate *delegate() const { return m_shell.delegate.get(); }
    QMainWindow *window() const { return m_shell.window.get(); }

    void logIn() { QSLoginModel::setLoginWithUId(m_account.userKey, m_account.loginData); }

    void logInOnScreen()
    {
        QDLoginViewController *login = delegate()->loginController();
        QVERIFY(login);
        UserInput::type(login->findChild<QLineEdit *>(u"emailTextField"_s), m_account.email);
        UserInput::type(login->findChild<QLineEdit *>(u"passwordTextField"_s), m_account.password);
        UserInput::click(login->findChild<QPushButton *>(u"loginButton"_s));
        QTRY_VERIFY_WITH_TIMEOUT(delegate()->welcomeController(), 10000);
    }

    // Empty when the tray shows the image file of the source tree; otherwise what differs.
    QString trayShows(const QString &imageFile) const
    {
        QSystemTrayIcon *tray = delegate()->statusItem()->trayIcon();
        if (!tray)
            return u"no tray icon"_s;
        const QImage file(TestEnvironment::sourceDir() + u"/ui/images/"_s + imageFile);
        const QSize size = file.size();
        return DrawnImage::difference(
            DrawnImage::over(tray->icon().pixmap(size).toImage(), Qt::white), DrawnImage::over(file, Qt::white));
    }

    // A version check from the status menu, answered: every call the program made before it
    // has reached the service by then.
    void checkForUpdates()
    {
        Alert::setNextAnswer(0);
        QSignalSpy replies(delegate()->versionCheck(), &VersionCheck::finished);
        delegate()->checkUpdate();
        QVERIFY(replies.wait(10000));
    }

    QStringList menuCommands() const
    {
        QStringList names;
        for (QAction *action : delegate()->statusMenu()->actions()) {
            if (!action->isSeparator() && !QDMenuViewController::isBuildSlot(action))
                names.append(action->objectName());
        }
        return names;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_service.setAsServiceHost();
        m_account = m_service.registerAndLogin();
        QVERIFY2(m_account.valid(), qPrintable(m_account.error));
        qputenv("QUILLO_STATUS_ITEM", "tray");
        Fixtures::useFakeXcodebuild();
    }

    void init()
    {
        Alert::clearHistory();
        Browser::clearHistory();
        QSLoginModel::setLogout();
        Preferences::setValue(u"isLaunched"_s, u"1"_s);
        QDir(Config::archivesDir()).removeRecursively();
    }

    void cleanup() { m_shell.stop(); }

    void startWithoutASession()
    {
        Preferences::remove(u"isLaunched"_s);
        m_shell.start();
        QCOMPARE(window()->windowTitle(), u"Quillo"_s);
        QVERIFY(delegate()->loginController());
        QCOMPARE(window()->centralWidget(), delegate()->loginController());
        QCOMPARE(delegate()->loginController()->mainWindow(), window());
        QVERIFY(!delegate()->welcomeController());
        QVERIFY(!delegate()->statusItem()->isEnabled());
        QVERIFY(!delegate()->findMenu()->isEnabled());
        QVERIFY(!QGuiApplication::quitOnLastWindowClosed());
        // The five slots are still placeholders: no scan has run.
        int placeholders = 0;
        for (QAction *action : delegate()->statusMenu()->actions())
            placeholders += QDMenuViewController::isBuildSlot(action) ? 1 : 0;
        QCOMPARE(placeholders, AppDelegate::kBuildSlots);
        QCOMPARE(menuCommands(),
            (QStringList { u"uploadMenuItem"_s, u"preferencesMenuItem"_s, u"helpMenuItem"_s, u"checkUpdateMenuItem"_s,
                u"deviceLogMenuItem"_s, u"findMenuItem"_s, u"quitMenuItem"_s }));
        QVERIFY(!delegate()->statusItem()->image().isNull() && !delegate()->statusItem()->alternateImage().isNull());

        // The first launch: "isLaunched" is written before the report goes out.
        const QVariant launched = Preferences::value(u"isLaunched"_s);
        QCOMPARE(launched.typeId(), QMetaType::QString);
        QCOMPARE(launched.toString(), u"1"_s);
        QVERIFY(delegate()->cloudClient());
        QTRY_COMPARE(m_service.launchCount(u"first"_s), 1);
        QCOMPARE(m_service.launchCount(u"launch"_s), 0); // no recent-builds screen, no launch report

        // Started again: no report at all.
        m_shell.stop();
        m_shell.start();
        QVERIFY(!delegate()->cloudClient());
        checkForUpdates();
        QCOMPARE(m_service.launchCount(u"first"_s), 1);

        // A stored "isLaunched" that is not a string counts as absent.
        m_shell.stop();
        Preferences::setValue(u"isLaunched"_s, 1);
        m_shell.start();
        QVERIFY(delegate()->cloudClient());
        QCOMPARE(Preferences::value(u"isLaunched"_s), QVariant(u"1"_s));
        QTRY_COMPARE(m_service.launchCount(u"first"_s), 2);
    }

    void startWithASession()
    {
        ArchiveTree::Layout fixture;
        fixture.identifier = u"com.example.started"_s;
        QVERIFY2(ArchiveTree::make(Config::archivesDir() + u"/2024-05-01/Started.xcarchive"_s, fixture),
            qPrintable(ArchiveTree::lastError()));
        logIn();
        const qint64 launches = m_service.launchCount(u"launch"_s);
        m_shell.start();
        // Enabled again by the time start-up returns, by the first fill of the status menu.
        QVERIFY(delegate()->statusItem()->isEnabled());
        QVERIFY(delegate()->welcomeController());
        QCOMPARE(window()->centralWidget(), delegate()->welcomeController());
        QVERIFY(!delegate()->loginController());
        QCOMPARE(delegate()->welcomeController()->sortedRecentlyBuild().size(), 1);
        // The tray shows the program's images: the normal one, the highlighted one while the menu is open.
        QCOMPARE(trayShows(u"icon_mac.png"_s), QString());
        QVERIFY(delegate()->statusItem()->popUpMenu());
        QTRY_VERIFY(delegate()->statusMenu()->isVisible());
        QCOMPARE(trayShows(u"icon_mac_highlight.png"_s), QString());
        delegate()->statusMenu()->close();
        QTRY_COMPARE(trayShows(u"icon_mac.png"_s), QString());
        QTRY_COMPARE(m_service.launchCount(u"launch"_s), launches + 1);

        // The screen is the delegate of the notification centre: the button exports the newest.
        const DesktopNotification notice;
        emit delegate()->notificationCenter()->didActivateNotification(
            notice, DesktopNotifier::Activation::ActionButtonClicked);
        QVERIFY(delegate()->welcomeController()->uploadWindow());
        QCOMPARE(delegate()->welcomeController()->uploadController()->beginView(), u"1"_s);
        QTRY_COMPARE(
            Fixtures::fakeXcodebuildArguments().value(4), Config::archivesDir() + u"/2024-05-01/Started.xcarchive"_s);
    }

    void loginThenLogoutThenLoginAgain()
    {
        m_shell.start();
        QPointer<QDLoginViewController> firstLogin = delegate()->loginController();
        const qint64 launches = m_service.launchCount(u"launch"_s);
        logInOnScreen();
        QPointer<QDWelcomeViewController> welcome = delegate()->welcomeController();
        QCOMPARE(window()->centralWidget(), welcome.data());
        QVERIFY(delegate()->statusItem()->isEnabled());
        QTRY_VERIFY(!firstLogin); // released once its reply had been handled
        QTRY_COMPARE(m_service.launchCount(u"launch"_s), launches + 1);

        // Log out in the preferences.
        delegate()->openPreferenceViewController();
        PreferencesWindowController *preferences = delegate()->preferencesWindowController();
        QVERIFY(QTest::qWaitForWindowExposed(preferences));
        delegate()->openPreferenceViewController();
        QCOMPARE(delegate()->preferencesWindowController(), preferences); // built once
        auto *logout = preferences->findChild<QPushButton *>(u"logoutButton"_s);
        QVERIFY(logout && logout->isEnabled());
        UserInput::click(logout);
        QVERIFY(!QSLoginModel::isLogged());
        QVERIFY(!welcome); // gone, with its watch and observers
        QVERIFY(delegate()->loginController());
        QCOMPARE(window()->centralWidget(), delegate()->loginController());
        QVERIFY(!preferences->isVisible());
        QVERIFY(!delegate()->statusItem()->isEnabled());
        // The status item stays disabled: no scan of a recent-builds screen runs now. A watch of
        // the test's own, slower than the screen's, tells when a scan would have come.
        QVERIFY(QDir().mkpath(Config::archivesDir()));
        ArchiveFolderWatch witness(Config::archivesDir(), std::chrono::milliseconds(2000));
        QSignalSpy seen(&witness, &ArchiveFolderWatch::changed);
        witness.start();
        QTRY_VERIFY(!witness.isArming());
        QVERIFY(QDir().mkpath(Config::archivesDir() + u"/2024-05-03"_s));
        QVERIFY(seen.wait(10000));
        QVERIFY(!delegate()->statusItem()->isEnabled());

        // And in again: another launch report, without a restart.
        logInOnScreen();
        QTRY_COMPARE(m_service.launchCount(u"launch"_s), launches + 2);
        QVERIFY(delegate()->statusItem()->isEnabled());
    }

    void closingTheWindowDoesNotQuitAndTheTrayBringsItBack()
    {
        logIn();
        m_shell.start();
        QVERIFY(QTest::qWaitForWindowExposed(window()));
        // Closed inside the application's own loop (outside it nothing quits). Qt posts the quit
        // for a closed last window within two turns of the loop; it would end the loop with 0
        // before the marker, five turns after the close.
        std::function<void(int)> turn = [&turn](int left) {
            QTimer::singleShot(0, qApp, [&turn, left] {
                if (left == 0)
                    QCoreApplication::exit(1);
                else
                    turn(left - 1);
            });
        };
        QTimer::singleShot(0, qApp, [this, &turn] {
            window()->close();
            turn(5);
        });
        QCOMPARE(QCoreApplication::exec(), 1);
        QVERIFY(!window()->isVisible());
        QVERIFY(delegate()->welcomeController()); // everything still there
        QVERIFY(delegate()->statusItem()->isEnabled());

        QSystemTrayIcon *tray = delegate()->statusItem()->trayIcon();
        QVERIFY(tray);
        emit tray->activated(QSystemTrayIcon::Context); // that opens the menu, not the window
        QVERIFY(!window()->isVisible());
        emit tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(window()->isVisible());
        QVERIFY(QTest::qWaitForWindowActive(window()));
        QCOMPARE(tray->contextMenu(), delegate()->statusMenu());
        delegate()->statusItem()->setEnabled(false);
        QVERIFY(!tray->contextMenu()); // a disabled item has no menu to open
    }

    void deviceLogAndFind()
    {
        m_shell.start();
        delegate()->viewDeviceLog();
        QPointer<QDViewDeviceLogController> first = delegate()->viewDeviceLogController();
        QVERIFY(first && first->isVisible());
        QVERIFY(delegate()->findMenu()->isEnabled());
        delegate()->viewDeviceLog();
        QPointer<QDViewDeviceLogController> second = delegate()->viewDeviceLogController();
        QVERIFY(!first);
        QVERIFY(second && second->isVisible());
        QVERIFY(QTest::qWaitForWindowExposed(second));

        delegate()->findMenu()->trigger();
        QTRY_VERIFY(second->logSearchField()->hasFocus());

        second->close();
        QVERIFY(!delegate()->findMenu()->isEnabled());
        window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window()));
        delegate()->searchTableView(); // hidden: nothing
        QVERIFY(!second->logSearchField()->hasFocus());
        QVERIFY(!second->isVisible());
    }

    void commands()
    {
        logIn();
        m_shell.start();
        delegate()->commandAction(u"helpMenuItem"_s)->trigger();
        QCOMPARE(Browser::openedUrls(), QStringList { u"http://%1/help"_s.arg(m_service.host()) });

        // Check for updates: this service has nothing newer.
        Alert::setNextAnswer(0);
        QSignalSpy replies(delegate()->versionCheck(), &VersionCheck::finished);
        delegate()->commandAction(u"checkUpdateMenuItem"_s)->trigger();
        QVERIFY(replies.wait(10000));
        QCOMPARE(Alert::history(), QStringList { u"当前已是最新版本！"_s });

        // One that has: the address opens after "确定".
        const QString url = u"http://127.0.0.1:1/quillo-9.9.deb"_s;
        TestService newer({ u"--newest-version"_s, u"9.9"_s, u"--newest-url"_s, url });
        QVERIFY2(newer.start(), qPrintable(newer.errorString()));
        newer.setAsServiceHost();
        Alert::clearHistory();
        Alert::setNextAnswer(0);
        delegate()->checkUpdate();
        QVERIFY(replies.wait(10000));
        QCOMPARE(Alert::history(), QStringList { u"发现新版本，是否前往更新？"_s });
        QCOMPARE(delegate()->newVersionURL(), url);
        QTRY_COMPARE(Browser::openedUrls().last(), url);
        m_service.setAsServiceHost();

        // Upload: an empty upload window from the recent-builds screen.
        delegate()->commandAction(u"uploadMenuItem"_s)->trigger();
        QDWelcomeViewController *welcome = delegate()->welcomeController();
        QVERIFY(welcome->uploadWindow() && welcome->uploadWindow()->isVisible());
        QCOMPARE(welcome->uploadController()->beginView(), u"0"_s);
        QVERIFY(!delegate()->statusItem()->isEnabled());
        welcome->uploadWindow()->close();
        QVERIFY(delegate()->statusItem()->isEnabled());

        delegate()->commandAction(u"preferencesMenuItem"_s)->trigger();
        QVERIFY(delegate()->preferencesWindowController()->isVisible());
        QCOMPARE(delegate()->preferencesWindowController()->windowTitle(), u"偏好设置"_s);
    }

    void withoutATrayTheMenuGoesIntoTheMenuBar()
    {
        qputenv("QUILLO_STATUS_ITEM", "menubar");
        m_shell.start();
        qputenv("QUILLO_STATUS_ITEM", "tray");
        QVERIFY(!delegate()->statusItem()->trayIcon());
        const QList<QAction *> bar = window()->menuBar()->actions();
        QCOMPARE(bar.size(), 1);
        QCOMPARE(bar.first()->menu(), delegate()->statusMenu());
        QVERIFY(!bar.first()->isEnabled()); // logged out: disabled
        logInOnScreen();
        QVERIFY(bar.first()->isEnabled());
        QVERIFY(delegate()->statusItem()->popUpMenu());
        QTRY_VERIFY(delegate()->statusMenu()->isVisible());
        QVERIFY(delegate()->statusItem()->isHighlighted());
        delegate()->statusMenu()->close();
        QVERIFY(!delegate()->statusItem()->isHighlighted());
    }
};

QUILLO_GUI_TEST_MAIN(AppDelegateTest)
#include "tst_appdelegate.moc"
