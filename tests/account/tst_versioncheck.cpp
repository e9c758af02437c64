#include "ui/VersionCheck.h"
#include "tests/support/GuiTestMain.h"
#include "tests/support/TestService.h"
#include "ui/Alert.h"
#include "ui/Browser.h"

#include <QDesktopServices>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QUrl>
#include <QWidget>

using namespace Qt::StringLiterals;

// Stands in for the desktop's URL handler (what QDesktopServices would start).
class UrlHandler : public QObject
{
    Q_OBJECT
public:
    QStringList opened;
public slots:
    void open(const QUrl &url) { opened.append(url.toString()); }
};

// The reply rule shared by the three entry points, against the stand-in service.
class VersionCheckTest : public QObject
{
    Q_OBJECT

    const QString m_firstUrl = u"http://127.0.0.1:1/first.zip"_s;
    const QString m_secondUrl = u"http://127.0.0.1:1/second.zip#x"_s;
    TestService m_first{{u"--newest-version"_s, u"9.0"_s, u"--newest-url"_s, m_firstUrl}};
    TestService m_second{{u"--newest-version"_s, u"9.1"_s, u"--newest-url"_s, m_secondUrl}};
    TestService m_older{{u"--newest-version"_s, u"0.0.1"_s, u"--newest-url"_s, m_firstUrl}};
    QWidget m_window;

    // Runs one check against the service and waits for its reply to be handled.
    static void checkOnce(VersionCheck &check, const TestService &service)
    {
        service.setAsServiceHost();
        QSignalSpy replies(&check, &VersionCheck::finished);
        check.check();
        QVERIFY(replies.wait(10000));
    }

private slots:
    void initTestCase()
    {
        for (TestService *service : {&m_first, &m_second, &m_older})
            QVERIFY2(service->start(), qPrintable(service->errorString()));
    }

    void init()
    {
        Alert::clearHistory();
        Browser::clearHistory();
    }

    void upToDateIsAnnouncedOrSilent()
    {
        VersionCheck announce(&m_window, VersionCheck::UpToDate::Announce);
        Alert::setNextAnswer(0);
        checkOnce(announce, m_older); // the service holds an older release than ours
        QCOMPARE(Alert::history(), QStringList{u"当前已是最新版本！"_s});

        Alert::clearHistory();
        VersionCheck silent(&m_window, VersionCheck::UpToDate::Silent);
        checkOnce(silent, m_older);
        QCOMPARE(Alert::history(), QStringList());
        QCOMPARE(silent.newVersionURL(), QString());
    }

    // Shapes of reply data the stand-in service does not send.
    void replyShapes()
    {
        VersionCheck announce(&m_window, VersionCheck::UpToDate::Announce);
        announce.checkUpdateSuccess(QVariantMap{{u"d_version"_s, u"9.0"_s}});
        announce.checkUpdateSuccess(QVariantMap{{u"d_down_url"_s, u"\n"_s}});
        QCOMPARE(Alert::history(), QStringList()); // a map without a usable address: nothing
        QCOMPARE(announce.newVersionURL(), QString());
        for (const QVariant &data : {QVariant(QVariantMap()), QVariant(QVariantList{1}), QVariant(u"new"_s),
                                     QVariant::fromValue(nullptr), QVariant()}) {
            Alert::setNextAnswer(0);
            announce.checkUpdateSuccess(data);
        }
        QCOMPARE(Alert::history(), QStringList(5, u"当前已是最新版本！"_s));
    }

    void onlyConfirmOpensTheLatestAddress()
    {
        VersionCheck silent(&m_window, VersionCheck::UpToDate::Silent);
        Alert::setNextAnswer(1); // "取消"
        checkOnce(silent, m_first);
        QCOMPARE(silent.newVersionURL(), m_firstUrl);

        // The second sheet's completion runs after the first one's: when it has opened its
        // address, the first (cancelled) one has had its turn and opened nothing.
        Alert::setNextAnswer(0); // "确定"
        checkOnce(silent, m_second);
        QTRY_COMPARE(Browser::openedUrls(), QStringList{m_secondUrl});
        QCOMPARE(Alert::history(), (QStringList{u"发现新版本，是否前往更新？"_s, u"发现新版本，是否前往更新？"_s}));
    }

    // An address from the reply reaches the desktop's URL handler only when it is https, or http
    // on the service's host; anything else is refused with a message and a log line.
    void onlySafeAddressesReachTheBrowser_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("opened");
        QTest::newRow("file") << u"file:///etc/passwd"_s << false;
        QTest::newRow("custom scheme") << u"quillo-evil://run?cmd=rm"_s << false;
        QTest::newRow("http elsewhere") << u"http://192.0.2.7/quillo.deb"_s << false;
        QTest::newRow("no host") << u"https:///etc/passwd"_s << false;
        QTest::newRow("https") << u"https://downloads.example.com/quillo-9.0.deb"_s << true;
        QTest::newRow("http on the service's host") << u"http://127.0.0.1/quillo 9.0.deb"_s << true;
    }
    void onlySafeAddressesReachTheBrowser()
    {
        QFETCH(QString, url);
        QFETCH(bool, opened);
        TestService service { { u"--newest-version"_s, u"9.0"_s, u"--newest-url"_s, url } };
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const QStringList schemes { u"file"_s, u"quillo-evil"_s, u"http"_s, u"https"_s };
        UrlHandler handler;
        for (const QString &scheme : schemes)
            QDesktopServices::setUrlHandler(scheme, &handler, "open");
        Browser::setTestMode(false);
        const auto restore = qScopeGuard([&schemes] {
            Browser::setTestMode(true);
            for (const QString &scheme : schemes)
                QDesktopServices::unsetUrlHandler(scheme);
        });
        VersionCheck check(&m_window, VersionCheck::UpToDate::Silent);
        Alert::setNextAnswer(0); // "确定"
        if (!opened) {
            Alert::setNextAnswer(0); // the refusal
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Refused to open "_s));
        }
        checkOnce(check, service);
        if (opened) {
            QTRY_COMPARE(handler.opened, QStringList { url });
            QCOMPARE(Alert::history().size(), 1);
        } else {
            QTRY_COMPARE(Alert::history().size(), 2);
            QVERIFY2(Alert::history().last().startsWith(u"出于安全考虑，没有打开这个地址："_s),
                qPrintable(Alert::history().last()));
            QCOMPARE(handler.opened, QStringList());
        }
    }

    void errorsShowTheirMessageOrAFallback()
    {
        VersionCheck check(&m_window, VersionCheck::UpToDate::Silent);
        check.checkUpdateError(QVariantMap{{u"code"_s, u"7"_s}, {u"message"_s, u"服务维护中"_s}});
        check.checkUpdateError(QVariantMap{{u"code"_s, u"7"_s}});
        check.checkUpdateError(QVariantMap{{u"code"_s, u"7"_s}, {u"message"_s, u"\n"_s}});
        QCOMPARE(Alert::history(),
                 (QStringList{u"服务维护中"_s, VersionCheck::kFallbackErrorText, VersionCheck::kFallbackErrorText}));
    }
};

QUILLO_GUI_TEST_MAIN(VersionCheckTest)
#include "tst_versioncheck.moc"
