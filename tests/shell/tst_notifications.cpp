#include "app/Config.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "builds/ArchiveFolderWatch.h"
#include "builds/QDWelcomeViewController.h"
#include "tests/shell/FakeNotificationService.h"
#include "tests/shell/ShellFixture.h"
#include "tests/support/ArchiveTree.h"
#include "tests/support/Fixtures.h"
#include "tests/support/GuiTestMain.h"
#include "ui/FreedesktopNotifier.h"
#include "ui/TrayMessageNotifier.h"
#include "upload/QDUploadViewController.h"
#include "upload/QDUploadWindowController.h"
#include "upload/UploadFlow.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QImage>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

// New-archive notifications through the freedesktop service on the test's private session bus
// (run under dbus-run-session), answered by a fake service that plays the user.
class NotificationsTest : public QObject
{
    Q_OBJECT

    FakeNotificationService m_service;
    ShellFixture m_shell;
    const QDateTime m_base = QDateTime::currentDateTime().addDays(-1);
    int m_made = 0;

    QDWelcomeViewController *welcome() const { return m_shell.delegate->welcomeController(); }

    // A new, newer archive, and the rescan that notices it.
    QString addNewerArchive()
    {
        ++m_made;
        ArchiveTree::Layout fixture;
        fixture.identifier = u"com.example.notified%1"_s.arg(m_made);
        fixture.name = u"Notified"_s;
        fixture.version = u"2.%1"_s.arg(m_made);
        fixture.build = u"7"_s;
        fixture.modified = m_base.addSecs(600 * m_made);
        const QString path = Config::archivesDir() + u"/2024-05-04/N%1.xcarchive"_s.arg(m_made);
        if (!ArchiveTree::make(path, fixture))
            qWarning("%s", qPrintable(ArchiveTree::lastError()));
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        QVERIFY(m_service.registerService());
        QCoreApplication::setApplicationName(u"Quillo"_s); // as the program's main() does
        qputenv("QUILLO_STATUS_ITEM", "tray");
        Preferences::setValue(u"isLaunched"_s, u"1"_s);
        QSLoginModel::setLoginWithUId(
            u"0123456789abcdef0123456789abcdef"_s, QVariantMap { { u"u_api_token"_s, u"t"_s } });
        Fixtures::useFakeXcodebuild();
        ArchiveTree::Layout first;
        first.modified = m_base;
        QVERIFY2(ArchiveTree::make(Config::archivesDir() + u"/2024-05-04/First.xcarchive"_s, first),
            qPrintable(ArchiveTree::lastError()));
        m_shell.start();
        QVERIFY(welcome());
        QTRY_VERIFY(!welcome()->archiveFolderWatch()->isArming());
    }

    void cleanupTestCase() { m_shell.stop(); }

    void theButtonExportsTheNewArchive()
    {
        const QString archive = addNewerArchive();
        QTRY_VERIFY_WITH_TIMEOUT(m_service.calls().size() == 1, 8000);
        const FakeNotificationService::Call call = m_service.calls().first();
        QCOMPARE(call.summary, u"Notified 2.1 (7)"_s);
        QCOMPARE(call.body, u"com.example.notified1"_s);
        QCOMPARE(call.actions, (QStringList { FreedesktopNotifier::kActionKey, u"上传"_s }));
        QCOMPARE(call.hints.value(u"sound-name"_s).toString(), DesktopNotification::kDefaultSound);
        QCOMPARE(call.appName, u"Quillo"_s);
        QVERIFY2(QImage(call.appIcon).width() > 0, qPrintable(call.appIcon)); // the program's image, as a file

        m_service.invoke(call.id, FreedesktopNotifier::kActionKey);
        QTRY_VERIFY(welcome()->uploadWindow());
        QCOMPARE(welcome()->uploadController()->beginView(), u"1"_s);
        QTRY_COMPARE(Fixtures::fakeXcodebuildArguments().value(4), archive);
    }

    void theBodyAndOtherProgramsNotificationsDoNothing()
    {
        welcome()->closeUpdateWindow();
        QPointer<QDUploadWindowController> window = welcome()->uploadWindow();
        Fixtures::useFakeXcodebuild();
        addNewerArchive();
        QTRY_VERIFY_WITH_TIMEOUT(m_service.calls().size() == 2, 8000);
        const uint id = m_service.calls().last().id;
        m_service.invoke(id, u"default"_s);
        m_service.invoke(id + 1000, FreedesktopNotifier::kActionKey); // not ours
        QVERIFY(window.isNull() || welcome()->uploadWindow() == window.data());
        // Our button, sent after them on the same bus: once its export has ended, they were
        // handled long before, and an export of theirs would have started first.
        m_service.invoke(id, FreedesktopNotifier::kActionKey);
        QTRY_VERIFY(welcome()->uploadWindow() && welcome()->uploadWindow() != window.data());
        UploadFlow *flow = welcome()->uploadController()->flow();
        QTRY_VERIFY_WITH_TIMEOUT(flow->state() != UploadFlow::State::Exporting, 20000);
        QCOMPARE(Fixtures::fakeXcodebuildPids().size(), 1);
    }

    void withoutAServiceATrayMessageStandsIn()
    {
        auto *notifier = qobject_cast<FreedesktopNotifier *>(m_shell.delegate->notificationCenter());
        QVERIFY(notifier);
        QSignalSpy fallback(notifier->fallback(), &DesktopNotifier::delivered);
        m_service.unregisterService();
        QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(FreedesktopNotifier::kService));
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(u"did not take the notification"_s));
        addNewerArchive();
        QTRY_VERIFY_WITH_TIMEOUT(fallback.count() == 1, 8000);
        QCOMPARE(fallback.first().first().value<DesktopNotification>().title, u"Notified 2.3 (7)"_s);
        QCOMPARE(m_service.calls().size(), 2);
        QVERIFY(m_service.registerService());
    }
};

QUILLO_GUI_TEST_MAIN(NotificationsTest)
#include "tst_notifications.moc"
