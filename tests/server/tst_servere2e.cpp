// The program's own client against the running quillo-server in strict mode: every call the
// desktop flow makes, through the real form transport and the real upload transport.
#include "api/CloudClient.h"
#include "app/Config.h"
#include "app/QSLoginModel.h"
#include "tests/server/Packages.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"
#include "upload/UploadFlow.h"

#include <QFileInfo>
#include <QSignalSpy>

#include <memory>

using namespace Qt::StringLiterals;

// The target of the client's callbacks: remembers what came back.
class Receiver : public QObject
{
    Q_OBJECT
public:
    int successes = 0;
    int errors = 0;
    QVariant payload;

    Q_INVOKABLE void success(const QVariant &data)
    {
        ++successes;
        payload = data;
    }
    Q_INVOKABLE void failure(const QVariant &record)
    {
        ++errors;
        payload = record;
    }
};

class TestServerEndToEnd : public QObject
{
    Q_OBJECT

    TestService m_service{{u"--newest-version"_s, u"1.5.0"_s, u"--newest-url"_s, u"http://127.0.0.1:9/Quillo-1.5.0.zip"_s}};

    // One call through a fresh client; true when it succeeded. The payload lands in *result.
    template<typename Call>
    bool call(Call &&start, QVariant *result)
    {
        Receiver receiver;
        std::unique_ptr<CloudClient> client = CloudClient::getInstance();
        start(client.get(), &receiver);
        if (!QTest::qWaitFor([&] { return receiver.successes + receiver.errors > 0; }, 30000)) {
            qWarning("no answer");
            return false;
        }
        *result = receiver.payload;
        return receiver.successes == 1 && receiver.errors == 0;
    }

    struct UploadResult
    {
        UploadFlow::Result result;
        QString failure; // why the flow never got to a result
        QVariantMap record; // the flow's record when the form would show
        double lastProgress = 0;
    };

    // The whole road of the upload window without its screen: inspection, the prepare call,
    // the form's defaults with the user's description over them, the suffix check, the upload.
    UploadResult upload(const QString &path, const QString &description)
    {
        UploadFlow flow;
        UploadResult outcome;
        flow.setSettingsSource([&flow, description] {
            QVariantMap settings = UploadFlow::defaultSettings(flow.record());
            settings[SettingKey::description] = description;
            return settings;
        });
        bool finished = false;
        connect(&flow, &UploadFlow::showApplicationInfo, &flow, [&] {
            outcome.record = flow.record();
            flow.uploadButtonClicked();
        });
        connect(&flow, &UploadFlow::inspectionEnded, &flow,
            [&](InspectionFailure, const QString &detail) { outcome.failure = u"inspection ended: "_s + detail; });
        connect(&flow, &UploadFlow::shortcutTaken, &flow, [&](const QString &message) { outcome.failure = message; });
        connect(&flow, &UploadFlow::progressChanged, &flow, [&](double value) { outcome.lastProgress = value; });
        connect(&flow, &UploadFlow::uploadFinished, &flow, [&](const UploadFlow::Result &result) {
            outcome.result = result;
            finished = true;
        });
        if (!flow.ParsePackage(path))
            outcome.failure = u"not a package name"_s;
        else if (!QTest::qWaitFor([&] { return finished || !outcome.failure.isEmpty(); }, 60000))
            outcome.failure = u"no result within a minute in state "_s + UploadFlow::stateName(flow.state());
        return outcome;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_service.setAsServiceHost();
        QCOMPARE(Config::serviceHost(), m_service.host());
    }

    void accountFlow()
    {
        QVariant result;
        const QString email = u"e2e@example.com"_s;
        QVERIFY(call([&](CloudClient *c, Receiver *r) { c->registWithUserName(u"端到端"_s, email, u"secret123"_s, r, u"success:"_s, u"failure:"_s); },
                     &result));
        QVERIFY(!call([&](CloudClient *c, Receiver *r) { c->registWithUserName(u"x"_s, email, u"secret123"_s, r, u"success:"_s, u"failure:"_s); },
                      &result));
        QCOMPARE(result.toMap().value(u"code"_s), QVariant(u"1011"_s));
        QVERIFY(result.toMap().value(u"message"_s).toString().contains(email));

        QVERIFY(!call([&](CloudClient *c, Receiver *r) { c->loginWithEmail(email, u"wrong-one"_s, r, u"success:"_s, u"failure:"_s); }, &result));
        QCOMPARE(result.toMap().value(u"code"_s), QVariant(u"1010"_s));
        QVERIFY(call([&](CloudClient *c, Receiver *r) { c->loginWithEmail(email, u"secret123"_s, r, u"success:"_s, u"failure:"_s); }, &result));
        const QVariantMap user = result.toMap();
        QCOMPARE(user.value(u"userKey"_s).toString().size(), 32);
        QCOMPARE(user.value(u"name"_s).toString(), u"端到端"_s);
        QSLoginModel::setLoginWithUId(user.value(u"userKey"_s), user);
        QVERIFY(QSLoginModel::isLogged());

        QVERIFY(call([&](CloudClient *c, Receiver *r) { c->findPasswordWithEmail(email, r, u"success:"_s, u"failure:"_s); }, &result));
        QCOMPARE(m_service.outboxFiles().size(), 1);
        // No account there: the same success, and no mail.
        QVERIFY(call(
            [&](CloudClient *c, Receiver *r) {
                c->findPasswordWithEmail(u"nobody@example.com"_s, r, u"success:"_s, u"failure:"_s);
            },
            &result));
        QCOMPARE(m_service.outboxFiles().size(), 1);
    }

    void reportsAndVersionCheck()
    {
        QVariant result;
        QVERIFY(call([&](CloudClient *c, Receiver *r) { c->setFirstLaunchWithDelegate(r, u"success:"_s, u"failure:"_s); }, &result));
        QVERIFY(call([&](CloudClient *c, Receiver *r) { c->setLaunchLogWithDelegate(r, u"success:"_s, u"failure:"_s); }, &result));
        QCOMPARE(m_service.launchCount(u"first"_s), 1);
        QCOMPARE(m_service.launchCount(u"launch"_s), 1);
        QVERIFY(call([&](CloudClient *c, Receiver *r) { c->checkNewestVersion(u"1.0.0"_s, r, u"success:"_s, u"failure:"_s); }, &result));
        QCOMPARE(result.toMap().value(u"d_down_url"_s).toString(), u"http://127.0.0.1:9/Quillo-1.5.0.zip"_s);
        QVERIFY(call([&](CloudClient *c, Receiver *r) { c->checkNewestVersion(u"1.5.0"_s, r, u"success:"_s, u"failure:"_s); }, &result));
        QVERIFY(!result.toMap().contains(u"d_down_url"_s));
        QVERIFY(call([&](CloudClient *c, Receiver *r) { c->getConfigConstants(r, u"success:"_s, u"failure:"_s); }, &result));
    }

    void uploadFlow_data()
    {
        QTest::addColumn<bool>("ipa");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("platform");
        QTest::newRow("apk") << false << u"com.example.e2eandroid"_s << u"android"_s;
        QTest::newRow("ipa") << true << u"com.example.e2eios"_s << u"ios"_s;
    }
    void uploadFlow()
    {
        QFETCH(bool, ipa);
        QFETCH(QString, id);
        QFETCH(QString, platform);
        QVERIFY(QSLoginModel::isLogged());
        QString error;
        const QString folder = QFileInfo(TestEnvironment::path(u"e2e/%1/x"_s.arg(id))).absolutePath();
        const Packages::Identity identity{id, u"2.1"_s, u"210"_s, u"E2E"_s, 2 * 1024 * 1024};
        const QString path = ipa ? Packages::makeIpa(folder, identity, &error) : Packages::makeApk(folder, identity, &error);
        QVERIFY2(!path.isEmpty(), qPrintable(error));

        // Prepare, check the proposed suffix, upload: the controller's road.
        QVariant result;
        QVERIFY(call([&](CloudClient *c, Receiver *r) {
            c->prepareUploadWithPackageName(id, platform, QSLoginModel::currentUid(), r, u"success:"_s, u"failure:"_s);
        }, &result));
        const QString shortcut = result.toMap().value(u"shortcutUrl"_s).toString();
        QVERIFY(!shortcut.isEmpty());
        QVERIFY(!result.toMap().contains(u"parentApp"_s));
        QVERIFY(call([&](CloudClient *c, Receiver *r) { c->getApplicationKeyByShortcut(shortcut, r, u"success:"_s, u"failure:"_s); },
                     &result));
        QVERIFY(result.toMap().value(u"appKey"_s).toString().isEmpty());

        const UploadResult uploaded = upload(path, u"端到端\n第二行"_s);
        QVERIFY2(uploaded.failure.isEmpty(), qPrintable(uploaded.failure));
        QVERIFY2(uploaded.result.success(),
            qPrintable(uploaded.result.message + u' ' + QString::fromUtf8(m_service.log().right(600))));
        QCOMPARE(uploaded.record.value(u"shortcutUrl"_s).toString(), shortcut);
        QCOMPARE(uploaded.result.httpStatus, 200);
        QCOMPARE(uploaded.result.appShortcutUrl, shortcut);
        QCOMPARE(uploaded.result.downloadUrl, m_service.baseUrl() + u'/' + shortcut);
        QCOMPARE(uploaded.lastProgress, 1.0);

        const auto releases = m_service.releases();
        QVERIFY(!releases.isEmpty());
        QCOMPARE(releases.last().packageName, id);
        QCOMPARE(releases.last().platform, platform);
        QCOMPARE(releases.last().name, u"E2E"_s);
        QCOMPARE(releases.last().version, u"2.1"_s);
        QCOMPARE(releases.last().build, u"210"_s);
        QCOMPARE(releases.last().shortcut, shortcut);
        QCOMPARE(releases.last().description, u"端到端\n第二行"_s);
        QCOMPARE(releases.last().sha256, Packages::sha256Of(path));

        // The page shows the release; the download is the package, byte for byte.
        const auto page = m_service.get(u'/' + shortcut);
        QCOMPARE(page.status, 200);
        QVERIFY(page.body.contains("2.1 (210)"));
        const auto download = m_service.get(u'/' + shortcut + u"/download"_s);
        QCOMPARE(download.status, 200);
        QCOMPARE(Packages::sha256Of(download.body), Packages::sha256Of(path));

        // Known now: the preparation names the application and its settings, and the suffix is taken.
        QVERIFY(call([&](CloudClient *c, Receiver *r) {
            c->prepareUploadWithPackageName(id, platform, QSLoginModel::currentUid(), r, u"success:"_s, u"failure:"_s);
        }, &result));
        QCOMPARE(result.toMap().value(u"parentApp"_s).toMap().value(u"a_publish_range"_s), QVariant(u"2"_s));
        QVERIFY(call([&](CloudClient *c, Receiver *r) { c->getApplicationKeyByShortcut(shortcut, r, u"success:"_s, u"failure:"_s); },
                     &result));
        QVERIFY(!releases.last().appKey.isEmpty());
        QCOMPARE(result.toMap().value(u"appKey"_s).toString(), releases.last().appKey);
    }

    void refusalsReachTheCaller()
    {
        QVariant result;
        // An operation the stand-in does not offer: a refusal with a message, not a transport error.
        QVERIFY(!call([&](CloudClient *c, Receiver *r) { c->searchApplicationWithName(u"x"_s, 1, r, u"success:"_s, u"failure:"_s); }, &result));
        QCOMPARE(result.toMap().value(u"code"_s), QVariant(u"1050"_s));
        // A logged-out client still sends the three common fields; the service asks for a login.
        QSLoginModel::setLogout();
        QVERIFY(!call([&](CloudClient *c, Receiver *r) { c->getApplicationKeyByShortcut(u"abc"_s, r, u"success:"_s, u"failure:"_s); }, &result));
        QCOMPARE(result.toMap().value(u"code"_s), QVariant(u"1002"_s));
        // An upload with an unknown user key (logged out): the service's message comes back with the reply.
        QString error;
        const QString path = Packages::makeApk(QFileInfo(TestEnvironment::path(u"e2e/refused/x"_s)).absolutePath(),
                                               {u"com.example.refused"_s, u"1"_s, u"1"_s, u"R"_s, 1000}, &error);
        QVERIFY2(!path.isEmpty(), qPrintable(error));
        const qsizetype stored = m_service.releases().size();
        const UploadResult refused = upload(path, QString());
        QVERIFY2(refused.failure.isEmpty(), qPrintable(refused.failure));
        QCOMPARE(refused.result.kind, UploadFlow::Result::Kind::Refused);
        QCOMPARE(refused.result.httpStatus, 200);
        QCOMPARE(refused.result.serviceCode.toInt(), 1002);
        // The same upload from the test's own client, with the logged-out session's key ("0"):
        // the same refusal.
        TestService::Account loggedOut;
        loggedOut.userKey = QSLoginModel::currentUid().toString();
        QCOMPARE(loggedOut.userKey, u"0"_s);
        const TestService::Reply direct = m_service.upload(loggedOut, path);
        QCOMPARE(direct.code(), 1002);
        QVERIFY(!direct.message().isEmpty());
        QCOMPARE(refused.result.message, direct.message());
        QCOMPARE(m_service.releases().size(), stored);
        QVERIFY(m_service.temporaryFiles().isEmpty());
        // Nothing the real client sent was a departure from its own wire format.
        QVERIFY2(!m_service.log().contains("refused 1040"), m_service.log().constData());
    }

    void cleanupTestCase()
    {
        QCOMPARE(m_service.stop(), 0);
    }
};

QUILLO_TEST_MAIN(TestServerEndToEnd)
#include "tst_servere2e.moc"
