// Where the credentials go, seen on the wire: `quillo login` against a service that redirects to
// another origin (another port of 127.0.0.1) and to itself, and the calls after `quillo logout`.
#include "api/CurlEngine.h"
#include "app/Config.h"
#include "app/QSLoginModel.h"
#include "cli/ExitCode.h"
#include "tests/cli/CliRun.h"
#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"

#include <QFile>
#include <QUrlQuery>

using namespace Qt::StringLiterals;
using Reply = LoopbackHttpPeer::Reply;

namespace {

const QByteArray kPassword = "s3cret-pw-4711";
const QByteArray kLoginReply
    = R"({"code":0,"data":{"userKey":"0123456789abcdef0123456789abcdef","u_api_token":"tok"}})";

QByteArray settingsFileBytes()
{
    QFile file(Config::settingsFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QUrlQuery formOf(const LoopbackHttpPeer::Request &request)
{
    return QUrlQuery(QString::fromUtf8(request.body));
}

} // namespace

class TestCliCredentials : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QSLoginModel::setLogout(); }

    void loginFollowsNoRedirectWithTheFormToAnotherOrigin_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("elsewhere"); // to the other peer, or to the service itself
        QTest::newRow("307 elsewhere") << 307 << true;
        QTest::newRow("302 elsewhere") << 302 << true;
        QTest::newRow("307 to itself") << 307 << false;
    }
    void loginFollowsNoRedirectWithTheFormToAnotherOrigin()
    {
        QFETCH(int, status);
        QFETCH(bool, elsewhere);
        LoopbackHttpPeer other;
        other.setReply(Reply::json(kLoginReply));
        LoopbackHttpPeer service;
        const QByteArray target = elsewhere ? other.url("/apiv1/user/login") : QByteArray("/apiv1/user/again");
        service.setHandler([target, status](const LoopbackHttpPeer::Request &r) {
            return r.path() == "/apiv1/user/again" ? Reply::json(kLoginReply) : Reply::redirect(status, target);
        });
        qputenv("QUILLO_SERVICE_HOST", service.hostPort().toUtf8());

        const CliRun run = runQuillo(
            { u"login"_s, u"--email"_s, u"me@example.com"_s, u"--password-stdin"_s }, { .input = kPassword });
        // The form went to the service as the user meant.
        QVERIFY(service.requestCount() >= 1);
        QCOMPARE(formOf(service.request(0)).queryItemValue(u"password"_s), QString::fromLatin1(kPassword));

        if (!elsewhere) { // a 307 within the origin repeats the form
            QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
            QCOMPARE(service.requestCount(), 2);
            QCOMPARE(service.request(1).method, QByteArray("POST"));
            QCOMPARE(formOf(service.request(1)).queryItemValue(u"password"_s), QString::fromLatin1(kPassword));
            return;
        }
        // The other origin never sees the e-mail address or the password.
        for (const LoopbackHttpPeer::Request &r : other.requests()) {
            QVERIFY2(!r.body.contains(kPassword) && !r.head.contains(kPassword) && !r.body.contains("example.com"),
                QByteArray(r.head + r.body).constData());
            QCOMPARE(r.method, QByteArray("GET"));
            QVERIFY(r.body.isEmpty());
        }
        if (status == 307) {
            QCOMPARE(other.requestCount(), 0); // refused: a 307 would resend the form
            QCOMPARE(run.status, ExitCode::Network);
            QVERIFY(!QSLoginModel::isLogged());
        } else {
            QCOMPARE(other.requestCount(), 1); // continued as a GET without the form
        }
    }

    void redirectsAcrossOriginsAndSchemes_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("body");
        QTest::addColumn<bool>("followed");
        QTest::newRow("307 form, same origin") << u"http://h:80/a"_s << u"http://h/b"_s << 307 << true << true;
        QTest::newRow("307 form, other port") << u"http://h/a"_s << u"http://h:81/a"_s << 307 << true << false;
        QTest::newRow("307 form, other host") << u"http://h/a"_s << u"http://g/a"_s << 307 << true << false;
        QTest::newRow("307 form, to https") << u"http://h/a"_s << u"https://h/a"_s << 307 << true << false;
        QTest::newRow("307 without body, elsewhere") << u"http://h/a"_s << u"http://g/a"_s << 307 << false << true;
        QTest::newRow("302 elsewhere") << u"http://h/a"_s << u"http://g/a"_s << 302 << true << true;
        QTest::newRow("https to http, 302") << u"https://h/a"_s << u"http://h/a"_s << 302 << false << false;
        QTest::newRow("https to http, 307") << u"https://h/a"_s << u"http://h:443/a"_s << 307 << false << false;
        QTest::newRow("https, same origin") << u"https://h:443/a"_s << u"https://h/b"_s << 307 << true << true;
        QTest::newRow("not http") << u"http://h/a"_s << u"file:///etc/passwd"_s << 302 << false << false;
    }
    void redirectsAcrossOriginsAndSchemes()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(int, status);
        QFETCH(bool, body);
        QFETCH(bool, followed);
        QCOMPARE(CurlEngine::mayFollowRedirect(QUrl(from), QUrl(to), status, body), followed);
    }

    void logoutRemovesTheCredentialsFromStorageAndTheWire()
    {
        TestService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        service.setAsServiceHost();
        const TestService::Account me = service.registerAndLogin();
        QVERIFY2(me.valid(), qPrintable(me.error));
        CliRun run = runQuillo(
            { u"login"_s, u"--email"_s, me.email, u"--password-stdin"_s }, { .input = me.password.toUtf8() });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QVERIFY(settingsFileBytes().contains(me.userKey.toUtf8()) && settingsFileBytes().contains(me.token.toUtf8()));

        run = runQuillo({ u"logout"_s });
        QCOMPARE(run.status, ExitCode::Success);
        const QByteArray stored = settingsFileBytes();
        QVERIFY2(!stored.contains(me.userKey.toUtf8()) && !stored.contains(me.token.toUtf8()), stored.constData());
        QVERIFY2(stored.contains(me.email.toUtf8()), stored.constData()); // the rest of the record stays
        QCOMPARE(QSLoginModel::currentUid(), QVariant(u"0"_s));

        // The next call sends neither.
        LoopbackHttpPeer peer;
        qputenv("QUILLO_SERVICE_HOST", peer.hostPort().toUtf8());
        run = runQuillo({ u"check-update"_s });
        QCOMPARE(peer.requestCount(), 1);
        const LoopbackHttpPeer::Request request = peer.request(0);
        QVERIFY2(!request.body.contains(me.token.toUtf8()) && !request.body.contains(me.userKey.toUtf8()),
            request.body.constData());
        const QUrlQuery form = formOf(request);
        QVERIFY(form.hasQueryItem(u"_token"_s) && form.hasQueryItem(u"_uId"_s));
        QCOMPARE(form.queryItemValue(u"_token"_s), QString());
        QCOMPARE(form.queryItemValue(u"_uId"_s), u"0"_s);
    }
};

QUILLO_TEST_MAIN(TestCliCredentials)
#include "tst_clicredentials.moc"
