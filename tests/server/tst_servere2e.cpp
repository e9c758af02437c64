// The program's own client against the running quillo-server in strict mode: every call the
// desktop flow makes, through the real form transport and the real upload transport.
#include "api/CloudClient.h"
#include "api/UploadRequest.h"
#include "app/Config.h"
#include "app/QSLoginModel.h"
#include "tests/server/Packages.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"

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
        int status = 0;
        QVariantMap json;
        QString error;
        qint64 lastProgress = 0;
        qint64 contentLength = 0;
    };

    // The upload exactly as the upload controller builds it.
    UploadResult upload(const QString &path, const QString &shortcut, const QString &description)
    {
        const QString fileName = QFileInfo(path).fileName();
        const QVariantMap parameters = {{u"_api_key"_s, u"7c1e4a90d25b3f86e0a9c4d71b2f5e38"_s},
                                        {u"uKey"_s, QSLoginModel::currentUid()},
                                        {u"publishRange"_s, u"2"_s},
                                        {u"isPublishToPublic"_s, u"1"_s},
                                        {u"name"_s, QString()},
                                        {u"shortcut"_s, shortcut},
                                        {u"password"_s, QString()},
                                        {u"updateDescription"_s, description}};
        const QString type = fileName.endsWith(u"ipa"_s) ? u"application/iphone-package-archive"_s
                                                         : u"application/vnd.android.package-archive"_s;
        UploadRequest request(QUrl(Config::apiBase() + u"/app/upload"_s), parameters, path, u"file"_s, fileName, type);
        UploadResult result;
        result.contentLength = request.contentLength();
        connect(&request, &UploadRequest::progress, this, [&](qint64 sent, qint64) { result.lastProgress = sent; });
        QSignalSpy finished(&request, &UploadRequest::finished);
        request.start();
        if (!finished.wait(60000))
            return result;
        result.status = finished.at(0).at(0).toInt();
        result.json = finished.at(0).at(1).toMap();
        result.error = finished.at(0).at(2).toString();
        return result;
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

        const UploadResult uploaded = upload(path, shortcut, u"端到端\n第二行"_s);
        QVERIFY2(uploaded.error.isEmpty(), qPrintable(uploaded.error + u' ' + QString::fromUtf8(m_service.log().right(600))));
        QCOMPARE(uploaded.status, 200);
        QCOMPARE(uploaded.json.value(u"code"_s).toInt(), 0);
        QCOMPARE(uploaded.json.value(u"data"_s).toMap().value(u"appShortcutUrl"_s).toString(), shortcut);
        QCOMPARE(uploaded.lastProgress, uploaded.contentLength);

        const auto releases = m_service.releases();
        QVERIFY(!releases.isEmpty());
        QCOMPARE(releases.last().packageName, id);
        QCOMPARE(releases.last().description, u"端到端\n第二行"_s);

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
        // An upload with an unknown user key: the service's message comes back with the reply.
        QString error;
        const QString path = Packages::makeApk(QFileInfo(TestEnvironment::path(u"e2e/refused/x"_s)).absolutePath(),
                                               {u"com.example.refused"_s, u"1"_s, u"1"_s, u"R"_s, 1000}, &error);
        QVERIFY2(!path.isEmpty(), qPrintable(error));
        const UploadResult refused = upload(path, u"refused"_s, QString());
        QCOMPARE(refused.status, 200);
        QCOMPARE(refused.json.value(u"code"_s).toInt(), 1002);
        QVERIFY(!refused.json.value(u"message"_s).toString().isEmpty());
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
