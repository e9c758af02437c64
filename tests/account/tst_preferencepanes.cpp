#include "account/PreferencesWindow.h"
#include "account/QDLoginViewController.h"
#include "account/QDPreferenceAdvanceController.h"
#include "account/QDPreferenceGeneralController.h"
#include "app/Config.h"
#include "app/NotificationCenter.h"
#include "app/Notifications.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "ui/VersionCheck.h"
#include "tests/account/UserInput.h"
#include "tests/support/GuiTestMain.h"
#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/TestService.h"
#include "ui/Alert.h"
#include "ui/Browser.h"

#include <QCheckBox>
#include <QFile>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QToolBar>
#include <QUrlQuery>

using namespace Qt::StringLiterals;
using UserInput::click;
using UserInput::toggle;

namespace {
const QString kDownload = u"http://127.0.0.1:1/downloads/Quillo 9.0.zip?from=%41&x=1"_s;
const QString kUserKey = u"0123456789abcdef0123456789abcdef"_s;
} // namespace

class PreferencePanesTest : public QObject
{
    Q_OBJECT

    TestService m_newer{{u"--newest-version"_s, u"9.0"_s, u"--newest-url"_s, kDownload}};
    TestService m_current;
    std::unique_ptr<PreferencesWindowController> m_window;

    QDPreferenceGeneralController *general() const
    {
        return dynamic_cast<QDPreferenceGeneralController *>(m_window->pane(u"GeneralPreferences"_s));
    }
    QDPreferenceAdvanceController *advanced() const
    {
        return dynamic_cast<QDPreferenceAdvanceController *>(m_window->pane(u"AdvancedPreferences"_s));
    }
    QWidget *toolbarButton(const QString &identifier) const
    {
        auto *item = m_window->findChild<QAction *>(u"toolbarItem"_s + identifier);
        return item ? m_window->toolbar()->widgetForAction(item) : nullptr;
    }
    // The stored value if it is text; QVariant compares "1" equal to the number 1.
    static QString storedText(const QString &key)
    {
        Preferences::reload(); // what reached the file
        const QVariant value = Preferences::value(key);
        return value.typeId() == QMetaType::QString ? value.toString() : u"<not text>"_s;
    }
    void reopen()
    {
        m_window->close();
        m_window->showWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_newer.start(), qPrintable(m_newer.errorString()));
        QVERIFY2(m_current.start(), qPrintable(m_current.errorString()));
    }

    void init()
    {
        Alert::clearHistory();
        Browser::clearHistory();
        Preferences::remove(QDPreferenceGeneralController::kAutoCloseKey);
        Preferences::remove(QDPreferenceAdvanceController::kAutoUpdateKey);
        QSLoginModel::setLoginWithUId(kUserKey, QVariantMap{{u"userKey"_s, kUserKey}});
        m_window = createPreferencesWindow();
        m_window->showWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void cleanup() { m_window.reset(); }

    void toolbarSwitchesPanes()
    {
        QCOMPARE(m_window->windowTitle(), u"偏好设置"_s);
        QStringList labels;
        for (QAction *item : m_window->toolbar()->actions()) {
            labels.append(item->text());
            QVERIFY(!item->icon().isNull());
        }
        QCOMPARE(labels, (QStringList{u"通用"_s, u"高级"_s}));
        QCOMPARE(m_window->currentIdentifier(), u"GeneralPreferences"_s);
        QVERIFY(general()->isVisible() && !advanced()->isVisible());

        click(toolbarButton(u"AdvancedPreferences"_s));
        QCOMPARE(m_window->currentIdentifier(), u"AdvancedPreferences"_s);
        QVERIFY(advanced()->isVisible() && !general()->isVisible());
        click(toolbarButton(u"GeneralPreferences"_s));
        QVERIFY(general()->isVisible());
    }

    void switchesStoreTheirStateAsText_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("box");
        QTest::newRow("general") << u"GeneralPreferences"_s << u"autoCloseUploadWindow"_s << u"autoCloseButton"_s;
        QTest::newRow("advanced") << u"AdvancedPreferences"_s << u"isAutoUpdate"_s << u"autoUpdateButton"_s;
    }

    void switchesStoreTheirStateAsText()
    {
        QFETCH(QString, identifier);
        QFETCH(QString, key);
        QFETCH(QString, box);
        click(toolbarButton(identifier));
        auto *check = m_window->findChild<QCheckBox *>(box);
        QVERIFY(!check->isChecked()); // nothing stored: off

        toggle(check);
        QCOMPARE(storedText(key), u"1"_s);
        toggle(check);
        QCOMPARE(storedText(key), u"0"_s);

        // The switch follows the store each time its pane appears; only 1 is on.
        Preferences::setValue(key, u"1"_s);
        reopen();
        QVERIFY(check->isChecked());
        Preferences::setValue(key, u"2"_s);
        click(toolbarButton(identifier == u"GeneralPreferences"_s ? u"AdvancedPreferences"_s : u"GeneralPreferences"_s));
        click(toolbarButton(identifier));
        QVERIFY(!check->isChecked());
    }

    void logoutReturnsToTheLoginScreen()
    {
        // What the shell does on the notification.
        QMainWindow mainWindow;
        QPointer<QDLoginViewController> login;
        QObject shell;
        NotificationCenter::defaultCenter().addObserver(&shell, Notifications::DisplayLoginWindow, [&] {
            login = new QDLoginViewController;
            mainWindow.setCentralWidget(login);
            login->setMainWindow(&mainWindow);
            m_window->close();
        });

        QPushButton *logout = general()->logoutButton();
        QVERIFY(logout->isEnabled());
        click(logout);
        QCOMPARE(storedText(QSLoginModel::kLoggedUidKey), u"0"_s);
        QVERIFY(!QSLoginModel::isLogged());
        QVERIFY(!logout->isEnabled());
        QVERIFY(!login.isNull());
        QCOMPARE(login->loginStatus(), 1);
        QVERIFY(!m_window->isVisible());

        reopen();
        QVERIFY(!logout->isEnabled());
        QSLoginModel::setLoginWithUId(kUserKey, QVariantMap{});
        reopen();
        QVERIFY(logout->isEnabled());
    }

    // After the pane's logout the settings file holds neither the user key nor the token, and the
    // next call (the Advanced pane's check) sends neither.
    void logoutRemovesTheCredentials()
    {
        const QString token = u"t0ken-of-the-pane"_s;
        QSLoginModel::setLoginWithUId(
            kUserKey, QVariantMap{{u"userKey"_s, kUserKey}, {u"u_api_token"_s, token}, {u"name"_s, u"张三"_s}});
        click(general()->logoutButton());
        QFile file(Config::settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray stored = file.readAll();
        QVERIFY2(!stored.contains(kUserKey.toUtf8()) && !stored.contains(token.toUtf8()) && stored.contains("张三"),
                 stored.constData());

        LoopbackHttpPeer peer;
        qputenv("QUILLO_SERVICE_HOST", peer.hostPort().toUtf8());
        reopen();
        click(toolbarButton(u"AdvancedPreferences"_s));
        click(advanced()->findChild<QPushButton *>(u"checkUpdateButton"_s));
        QTRY_COMPARE(peer.requestCount(), 1);
        const QByteArray body = peer.request(0).body;
        QVERIFY2(!body.contains(kUserKey.toUtf8()) && !body.contains(token.toUtf8()), body.constData());
        const QUrlQuery form(QString::fromUtf8(body));
        QVERIFY(form.hasQueryItem(u"_token"_s));
        QCOMPARE(form.queryItemValue(u"_token"_s), QString());
        QCOMPARE(form.queryItemValue(u"_uId"_s), u"0"_s);
        QTRY_COMPARE(Alert::history().size(), 1); // the reply is handled before the peer goes
    }

    void checkNowShowsItsSheetsOnThePreferencesWindow()
    {
        click(toolbarButton(u"AdvancedPreferences"_s));
        QSignalSpy replies(advanced()->versionCheck(), &VersionCheck::finished);

        m_current.setAsServiceHost();
        Alert::setNextAnswer(0);
        click(advanced()->checkUpdateButton());
        QVERIFY(replies.wait(10000));
        QCOMPARE(Alert::history(), QStringList{u"当前已是最新版本！"_s});

        m_newer.setAsServiceHost();
        click(advanced()->checkUpdateButton());
        QVERIFY(replies.wait(10000));
        // Unanswered, the sheet is shown for real, on the preferences window.
        QMessageBox *sheet = nullptr;
        QTRY_VERIFY((sheet = m_window->findChild<QMessageBox *>(u"alert"_s)) && sheet->isVisible());
        QCOMPARE(sheet->text(), u"发现新版本，是否前往更新？"_s);
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        click(sheet->findChild<QPushButton *>(u"alertButton1"_s)); // "取消"
        QCOMPARE(Browser::openedUrls(), QStringList());
        Alert::setNextAnswer(0);
        click(advanced()->checkUpdateButton());
        QVERIFY(replies.wait(10000));
        QTRY_COMPARE(Browser::openedUrls(), QStringList{kDownload});

        // A failed check: a blocking alert with the error's message.
        qputenv("QUILLO_SERVICE_HOST", "127.0.0.1:9");
        Alert::clearHistory();
        click(advanced()->checkUpdateButton());
        QVERIFY(replies.wait(10000));
        QCOMPARE(Alert::history().size(), 1);
        QVERIFY(!Alert::history().constFirst().isEmpty());
        QVERIFY(Alert::history().constFirst() != VersionCheck::kFallbackErrorText); // the client's own message
    }
};

QUILLO_GUI_TEST_MAIN(PreferencePanesTest)
#include "tst_preferencepanes.moc"
