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
#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/ShownText.h"
#include "ui/Alert.h"
#include "ui/FreedesktopNotifier.h"
#include "ui/TrayMessageNotifier.h"
#include "upload/QDUploadViewController.h"
#include "upload/QDUploadWindowController.h"
#include "upload/UploadFlow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QImage>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTimer>
#include <QUrl>

#include <atomic>

using namespace Qt::StringLiterals;

namespace {
// A refusal whose message holds markup and a link, as a hostile or broken service may send.
const QByteArray kMarkupMessage = R"(<a href=\"file:///etc/passwd\">点此查看</a><h1 style=\"color:red\">SPOOFED</h1>)";
} // namespace

// New-archive notifications through the freedesktop service on the test's private session bus
// (run under dbus-run-session), answered by a fake service that plays the user. The service's
// API is a loopback peer: it proposes a suffix check and then refuses the upload.
class NotificationsTest : public QObject
{
    Q_OBJECT

    FakeNotificationService m_service;
    LoopbackHttpPeer m_api;
    std::atomic<bool> m_suffixTaken { false };
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
        return addArchive(fixture);
    }
    QString addArchive(const ArchiveTree::Layout &fixture)
    {
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
        m_api.setHandler([this](const LoopbackHttpPeer::Request &request) {
            const QByteArray path = request.path();
            if (path.endsWith("/app/uploadPrepare"))
                return LoopbackHttpPeer::Reply::json(R"({"code":0,"message":"","data":{"shortcutUrl":"demo"}})");
            if (path.endsWith("/app/getAppKeyByShortcut"))
                return LoopbackHttpPeer::Reply::json(
                    m_suffixTaken ? R"({"code":0,"data":{"appKey":"k1"}})" : R"({"code":0,"data":{}})");
            if (path.endsWith("/app/upload"))
                return LoopbackHttpPeer::Reply::json(R"({"code":1,"message":")" + kMarkupMessage + R"(","data":{}})");
            return LoopbackHttpPeer::Reply::json(R"({"code":0,"message":"","data":{}})");
        });
        qputenv("QUILLO_SERVICE_HOST", m_api.hostPort().toUtf8());
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
        // The build's own icon as the notification's image.
        const QString image = QUrl(call.hints.value(u"image-path"_s).toString()).toLocalFile();
        QVERIFY2(image.startsWith(archive + u"/Products/Applications/"_s), qPrintable(image));
        QVERIFY(!QImage(image).isNull());

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

    // The failure alert and the suffix-taken alert run a nested event loop. The "上传" button of a
    // newer archive's notification, pressed while one is open, must not replace the upload window
    // (and its flow) under it: it takes effect once the alert has been dismissed.
    void theButtonWaitsForAnOpenAlert_data()
    {
        QTest::addColumn<bool>("suffixTaken");
        QTest::addColumn<QString>("alertText");
        QTest::newRow("upload refused") << false << QString::fromUtf8(QByteArray(kMarkupMessage).replace("\\", ""));
        QTest::newRow("suffix taken") << true << u"网址后缀已存在，请更换"_s;
    }
    void theButtonWaitsForAnOpenAlert()
    {
        QFETCH(bool, suffixTaken);
        QFETCH(QString, alertText);
        m_suffixTaken = suffixTaken;
        welcome()->closeUpdateWindow();
        Fixtures::useFakeXcodebuild();
        const qsizetype before = m_service.calls().size();
        addNewerArchive();
        QTRY_VERIFY_WITH_TIMEOUT(m_service.calls().size() == before + 1, 8000);
        m_service.invoke(m_service.calls().last().id, FreedesktopNotifier::kActionKey);
        QTRY_VERIFY_WITH_TIMEOUT(
            welcome()->uploadController() && welcome()->uploadController()->flow()->state() == UploadFlow::State::Form,
            20000);
        const QPointer<QDUploadViewController> shown = welcome()->uploadController();
        const QString newer = addNewerArchive();
        QTRY_VERIFY_WITH_TIMEOUT(m_service.calls().size() == before + 2, 8000);
        const uint newerId = m_service.calls().last().id;

        // The user: presses the newer notification's button while the alert is open, and once the
        // press has reached the program, dismisses the alert. All of it inside the alert's loop.
        QSignalSpy pressed(m_shell.delegate->notificationCenter(), &DesktopNotifier::didActivateNotification);
        QString seenText;
        ShownText::As seenAs = ShownText::As::Neither;
        bool telling = false;
        bool replacedUnderTheAlert = false;
        QTimer user;
        user.setInterval(20);
        connect(&user, &QTimer::timeout, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            if (seenText.isNull()) {
                auto *label = box->findChild<QLabel *>(u"qt_msgbox_label"_s);
                seenText = label->text();
                telling = ShownText::isTelling(label);
                seenAs = ShownText::howShown(label);
                m_service.invoke(newerId, FreedesktopNotifier::kActionKey);
                return;
            }
            if (pressed.isEmpty())
                return;
            replacedUnderTheAlert = welcome()->uploadController() != shown.data();
            user.stop();
            box->findChild<QAbstractButton *>(u"alertButton0"_s)->click();
        });
        user.start();
        Alert::setTestMode(false);
        shown->uploadButtonClicked();
        QTRY_VERIFY_WITH_TIMEOUT(!user.isActive(), 20000);
        Alert::setTestMode(true);

        QCOMPARE(seenText, alertText);
        QVERIFY(!replacedUnderTheAlert);
        // The service's text is shown as it came, never as markup.
        if (!suffixTaken) {
            QVERIFY(telling);
            QVERIFY(seenAs == ShownText::As::PlainText);
        }
        // Dismissed: now the press replaces the window and exports the newer archive.
        QTRY_VERIFY(shown.isNull());
        QTRY_COMPARE_WITH_TIMEOUT(Fixtures::fakeXcodebuildArguments().value(4), newer, 10000);
    }

    // What packages and archives say reaches the notification service escaped: it may read the
    // body as markup. The summary is plain text by the service's rules and goes as it is.
    void theBodyReachesTheServiceEscaped()
    {
        ArchiveTree::Layout fixture;
        fixture.identifier = u"com.example.<b>bold</b>&amp"_s;
        fixture.name = u"<h1>SPOOFED</h1><img src=\"/usr/share/pixmaps/x.png\">"_s;
        fixture.version = u"3.0"_s;
        fixture.build = u"9"_s;
        fixture.modified = m_base.addSecs(600 * ++m_made);
        const qsizetype before = m_service.calls().size();
        addArchive(fixture);
        QTRY_VERIFY_WITH_TIMEOUT(m_service.calls().size() == before + 1, 8000);
        const FakeNotificationService::Call call = m_service.calls().last();
        QCOMPARE(call.body, u"com.example.&lt;b&gt;bold&lt;/b&gt;&amp;amp"_s);
        QCOMPARE(call.summary, fixture.name + u" 3.0 (9)"_s);
    }

    void withoutAServiceATrayMessageStandsIn()
    {
        auto *notifier = qobject_cast<FreedesktopNotifier *>(m_shell.delegate->notificationCenter());
        QVERIFY(notifier);
        QSignalSpy fallback(notifier->fallback(), &DesktopNotifier::delivered);
        const qsizetype taken = m_service.calls().size();
        m_service.unregisterService();
        QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(FreedesktopNotifier::kService));
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(u"did not take the notification"_s));
        addNewerArchive();
        QTRY_VERIFY_WITH_TIMEOUT(fallback.count() == 1, 8000);
        QCOMPARE(fallback.first().first().value<DesktopNotification>().title, u"Notified 2.%1 (7)"_s.arg(m_made));
        QCOMPARE(m_service.calls().size(), taken);
        QVERIFY(m_service.registerService());
    }
};

QUILLO_GUI_TEST_MAIN(NotificationsTest)
#include "tst_notifications.moc"
