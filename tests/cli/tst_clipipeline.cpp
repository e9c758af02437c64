// quillo in a CI pipeline: retries of the service calls against a peer that resets or fails,
// the session from QUILLO_USER_KEY, and what reaches the terminal from outside (control
// characters in replies). The service is a loopback peer, so that every attempt is counted on
// the wire.

#include "api/RetryPolicy.h"
#include "app/Config.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "cli/Cli.h"
#include "cli/Console.h"
#include "cli/EnvironmentSession.h"
#include "cli/ExitCode.h"
#include "cli/Interruption.h"
#include "cli/UploadCommand.h"
#include "tests/cli/CliRun.h"
#include "tests/support/Fixtures.h"
#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/TestEnvironment.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>

#include <atomic>

using namespace Qt::StringLiterals;
using Peer = LoopbackHttpPeer;
Q_DECLARE_METATYPE(LoopbackHttpPeer::Reply)

namespace {

const QByteArray kPrepare = "/apiv1/app/uploadPrepare";
const QByteArray kCheck = "/apiv1/app/getAppKeyByShortcut";
const QByteArray kUpload = "/apiv1/app/upload";
const QString kKey = u"0123456789abcdef0123456789ABCDEF"_s;

// A service that answers every call as a fresh application would: a proposed suffix, a free
// suffix, a stored release. Each API call's connection is closed after its reply: libcurl sends a
// request again by itself when a reused connection turns out dead, which would blur the count of
// tries on the wire.
Peer::Reply closing(Peer::Reply reply)
{
    reply.close = true;
    return reply;
}

Peer::Reply serviceReply(const Peer::Request &request)
{
    if (request.path() == kPrepare)
        return closing(Peer::Reply::json(R"({"code":0,"data":{"shortcutUrl":"demo"}})"));
    if (request.path() == kCheck)
        return closing(Peer::Reply::json(R"({"code":0,"data":{}})"));
    if (request.path() == kUpload)
        return Peer::Reply::json(R"({"code":0,"data":{"appShortcutUrl":"demo"}})");
    return Peer::Reply::withStatus(404);
}

QList<Peer::Request> requestsTo(const Peer &peer, const QByteArray &path)
{
    QList<Peer::Request> found;
    for (const Peer::Request &request : peer.requests()) {
        if (request.path() == path)
            found.append(request);
    }
    return found;
}

bool hasTerminalControl(const QString &text)
{
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if ((code < 0x20 && code != u'\n') || (code >= 0x7F && code <= 0x9F))
            return true;
    }
    return false;
}

} // namespace

class TestCliPipeline : public QObject
{
    Q_OBJECT

    Peer m_peer;
    QString m_ipa;

private Q_SLOTS:
    void initTestCase()
    {
        // A package of a megabyte, so that a cut comes in the middle of the file.
        Fixtures::IpaOptions big;
        big.level = 0;
        Fixtures::Entry blob;
        blob.name = u"Payload/Demo.app/blob.bin"_s;
        blob.zeroBytes = 1024 * 1024;
        big.entries.append(blob);
        m_ipa = TestEnvironment::path(u"pkg/Demo.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(m_ipa, { Fixtures::App() }, big), qPrintable(Fixtures::lastError()));
    }

    void init()
    {
        qputenv("QUILLO_SERVICE_HOST", m_peer.hostPort().toUtf8());
        qunsetenv(EnvironmentSession::kVariable);
        // No connection kept from an earlier case: libcurl would send a request on a pooled
        // connection that the cut rule resets once more by itself, and the counts would blur.
        m_peer.closeConnections();
        QTRY_COMPARE(m_peer.openConnections(), 0);
        m_peer.clearRequests();
        m_peer.setHandler(serviceReply);
        m_peer.setCutRule({});
        QSLoginModel::setLoginWithUId(kKey, QVariantMap { { u"u_api_token"_s, u"token"_s } });
        UploadCommand::setFirstRetryWait(RetryPolicy::kFirstWait);
    }

    // ---- Retries ----

    void uploadSurvivesTwoResets()
    {
        std::atomic<int> cuts { 0 };
        m_peer.setCutRule([&cuts](const Peer::Request &request) -> qint64 {
            return request.path() == kUpload && cuts++ < 2 ? 256 * 1024 : -1;
        });
        const CliRun run = runQuillo({ u"upload"_s, m_ipa, u"--retry-max-wait"_s, u"0"_s });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QCOMPARE(run.out, u"http://%1/demo\n"_s.arg(m_peer.hostPort()));

        // Three whole tries on the wire: two cut after a quarter megabyte, the last one complete.
        const QList<Peer::Request> uploads = requestsTo(m_peer, kUpload);
        QCOMPARE(uploads.size(), 3);
        QVERIFY(uploads.at(0).reset && uploads.at(1).reset && !uploads.at(2).reset);
        QCOMPARE(uploads.at(2).bodyLength, uploads.at(2).header("Content-Length").toLongLong());
        QVERIFY(uploads.at(2).bodyLength > 1024 * 1024);
        QCOMPARE(requestsTo(m_peer, kPrepare).size(), 1);

        // Each retry announced with its reason and its wait.
        const QStringList notices = run.err.split(u'\n').filter(u"重试"_s);
        QCOMPARE(notices.size(), 2);
        QCOMPARE(notices.at(0), u"quillo: 警告：上传失败（连接中断），0.0 秒后重试（第 1 次，最多 2 次）"_s);
        QVERIFY(notices.at(1).contains(u"第 2 次"_s));
    }

    void failuresRetriedAndNot_data()
    {
        QTest::addColumn<Peer::Reply>("reply");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");

        QTest::newRow("refusal") << Peer::Reply::json(R"({"code":1004,"message":"安装包已损坏"})") << 1
                                 << ExitCode::Refused << u"quillo: 安装包已损坏\n"_s;
        QTest::newRow("refusal under 500") << Peer::Reply::json(R"({"code":5,"message":"存储已满"})", 500) << 1
                                           << ExitCode::Refused << u"存储已满\n"_s;
        QTest::newRow("404 page") << Peer::Reply::typed("text/html", "<h1>Not Found</h1>", 404) << 1
                                  << ExitCode::Network << u"HTTP 404"_s;
        QTest::newRow("503 page") << Peer::Reply::typed("text/html", "<h1>Busy</h1>", 503) << 3 << ExitCode::Network
                                  << u"HTTP 503"_s;
    }

    void failuresRetriedAndNot()
    {
        QFETCH(Peer::Reply, reply);
        QFETCH(int, attempts);
        m_peer.setHandler([reply](const Peer::Request &request) {
            return request.path() == kUpload ? reply : serviceReply(request);
        });
        const CliRun run = runQuillo({ u"upload"_s, m_ipa, u"--retry-max-wait=0"_s });
        QTEST(run.status, "status");
        QCOMPARE(requestsTo(m_peer, kUpload).size(), attempts);
        QFETCH(QString, message);
        QVERIFY2(run.err.contains(message), describe(run).constData());
        QCOMPARE(run.err.count(u"上传失败（"_s), attempts - 1);
    }

    void aServiceThatKeepsResettingIsANetworkFailure()
    {
        m_peer.setCutRule([](const Peer::Request &request) -> qint64 { return request.path() == kUpload ? 0 : -1; });
        const CliRun run = runQuillo({ u"upload"_s, m_ipa, u"--retries"_s, u"3"_s, u"--retry-max-wait"_s, u"0"_s });
        QCOMPARE(run.status, ExitCode::Network);
        QCOMPARE(requestsTo(m_peer, kUpload).size(), 4);
        QCOMPARE(run.err.count(u"上传失败（连接中断）"_s), 3);
        QVERIFY2(run.err.contains(u"共尝试上传 4 次"_s), describe(run).constData());
        QVERIFY(run.out.isEmpty());

        // --retries 0: one try, also when the API calls left a connection open that the upload could
        // reuse (libcurl would send the package again by itself when a reused connection dies).
        m_peer.clearRequests();
        m_peer.setHandler([](const Peer::Request &request) {
            Peer::Reply reply = serviceReply(request);
            reply.close = false;
            return reply;
        });
        QCOMPARE(runQuillo({ u"upload"_s, m_ipa, u"--retries"_s, u"0"_s }).status, ExitCode::Network);
        QCOMPARE(requestsTo(m_peer, kUpload).size(), 1);
    }

    void prepareAndSuffixCheckRetryTheSameWay()
    {
        std::atomic<int> prepareCuts { 0 };
        std::atomic<int> checkCuts { 0 };
        m_peer.setCutRule([&](const Peer::Request &request) -> qint64 {
            if (request.path() == kPrepare)
                return prepareCuts++ < 1 ? 0 : -1;
            if (request.path() == kCheck)
                return checkCuts++ < 2 ? 0 : -1;
            return -1;
        });
        const CliRun run = runQuillo({ u"upload"_s, m_ipa, u"--retry-max-wait"_s, u"0"_s, u"--shortcut"_s, u"mine"_s });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QCOMPARE(requestsTo(m_peer, kPrepare).size(), 2);
        QCOMPARE(requestsTo(m_peer, kCheck).size(), 3);
        QCOMPARE(requestsTo(m_peer, kUpload).size(), 1);
        QVERIFY(run.err.contains(u"准备上传失败（连接中断）"_s));
        QCOMPARE(run.err.count(u"检查后缀失败（连接中断）"_s), 2);
        // The prepare reply arrived on the second try: the suffix was checked, not skipped.
        QVERIFY(!run.err.contains(u"按默认设置继续"_s));
        QVERIFY(requestsTo(m_peer, kUpload).constFirst().body.contains("mine"));
    }

    void anInterruptedWaitEndsAtOnce()
    {
        // A first wait of a minute: the interruption must not sit it out.
        UploadCommand::setFirstRetryWait(std::chrono::minutes(1));
        m_peer.setCutRule([](const Peer::Request &request) -> qint64 { return request.path() == kUpload ? 0 : -1; });
        QBuffer input;
        input.open(QIODevice::ReadOnly);
        QBuffer output;
        output.open(QIODevice::WriteOnly);
        QBuffer error;
        error.open(QIODevice::WriteOnly);
        QElapsedTimer announced;
        // Ctrl-C as soon as the retry is announced.
        QObject::connect(&error, &QIODevice::bytesWritten, this, [&] {
            if (!announced.isValid() && QString::fromUtf8(error.data()).contains(u"重试"_s)) {
                announced.start();
                Interruption::instance().request();
            }
        });
        int status = -1;
        {
            Console console(&input, &output, &error);
            status = Cli(console).run({ u"upload"_s, m_ipa, u"--retry-max-wait"_s, u"60"_s });
        }
        const QString err = QString::fromUtf8(error.data());
        QCOMPARE(status, ExitCode::Interrupted);
        QVERIFY2(announced.isValid(), qPrintable(err));
        // The announced wait is at least 30 s; the command ended long before.
        QVERIFY2(announced.elapsed() < 10000, qPrintable(err));
        QVERIFY(err.contains(u"已中断，没有完成上传"_s));
        QCOMPARE(requestsTo(m_peer, kUpload).size(), 1);
    }

    void badRetryOptionsAreUsageErrors()
    {
        for (const QStringList &options : { QStringList { u"--retries"_s, u"-1"_s }, { u"--retries"_s, u"two"_s },
                 { u"--retries="_s }, { u"--retries"_s, u"101"_s }, { u"--retry-max-wait"_s, u"1.5"_s } }) {
            const CliRun run = runQuillo(QStringList { u"upload"_s, m_ipa } + options);
            QVERIFY2(run.status == ExitCode::Usage, describe(run).constData());
        }
        QCOMPARE(m_peer.requestCount(), 0);
    }

    // ---- QUILLO_USER_KEY ----

    void environmentKeyActsAsThatUserWithoutTheSettingsFile()
    {
        // The stored session is someone else's; the settings file must stay as it is.
        Preferences::flush();
        const QString settings = Config::settingsFile();
        const QByteArray before = Fixtures::readAll(settings);
        const QDateTime modified = QFileInfo(settings).lastModified();
        const QString key = u"fedcba9876543210FEDCBA9876543210"_s;
        qputenv(EnvironmentSession::kVariable, ' ' + key.toLatin1() + '\n');
        CliRun run = runQuillo({ u"upload"_s, m_ipa, u"--json"_s });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        for (const Peer::Request &request : m_peer.requests()) {
            QVERIFY2(request.body.contains(key.toLatin1()), request.head.constData());
            QVERIFY(!request.body.contains(kKey.toLatin1()) && !request.body.contains("=token"));
        }
        QVERIFY(requestsTo(m_peer, kUpload)
                    .constFirst()
                    .body.contains(QByteArray("name=\"uKey\"\r\n\r\n" + key.toLatin1() + "\r\n")));

        run = runQuillo({ u"whoami"_s, u"--json"_s });
        QCOMPARE(run.status, ExitCode::Success);
        QCOMPARE(run.json().value(u"session"_s).toString(), u"environment"_s);
        QVERIFY(run.json().value(u"userKey"_s).isNull());
        QVERIFY(!run.out.contains(key) && !run.err.contains(key));
        run = runQuillo({ u"whoami"_s });
        QCOMPARE(run.status, ExitCode::Success);
        QVERIFY(!run.out.contains(key));
        // login would have to store the session: refused; logout leaves the file alone.
        QCOMPARE(runQuillo({ u"login"_s, u"--email"_s, u"a@b.cn"_s }).status, ExitCode::Usage);
        QCOMPARE(runQuillo({ u"logout"_s }).status, ExitCode::Success);
        qunsetenv(EnvironmentSession::kVariable);

        QCOMPARE(Fixtures::readAll(settings), before);
        QCOMPARE(QFileInfo(settings).lastModified(), modified);
        Preferences::reload();
        QCOMPARE(QSLoginModel::currentUid().toString(), kKey);
    }

    void malformedEnvironmentKeyStopsBeforeAnyCall()
    {
        for (const QByteArray &value : { QByteArray(), QByteArray("0123456789abcdef"),
                 QByteArray("0123456789abcdef0123456789abcdef0"), QByteArray("0123456789abcdef0123456789abcde!") }) {
            qputenv(EnvironmentSession::kVariable, value);
            for (const QStringList &command : { QStringList { u"upload"_s, m_ipa }, { u"whoami"_s } }) {
                const CliRun run = runQuillo(command);
                QVERIFY2(run.status == ExitCode::Usage, describe(run).constData());
                QVERIFY(run.err.contains(u"QUILLO_USER_KEY"_s));
                if (!value.isEmpty())
                    QVERIFY(!run.err.contains(QString::fromLatin1(value.left(16))));
            }
        }
        qunsetenv(EnvironmentSession::kVariable);
        QCOMPARE(m_peer.requestCount(), 0);
    }

    void printKeyPrintsTheKeyAndStoresNothing()
    {
        m_peer.setHandler([](const Peer::Request &request) {
            if (request.path() == "/apiv1/user/login")
                return Peer::Reply::json(
                    R"({"code":0,"data":{"userKey":"aaaabbbbccccddddeeeeffff00001111","u_api_token":"t"}})");
            return serviceReply(request);
        });
        const QString settings = Config::settingsFile();
        Preferences::flush();
        const QByteArray before = Fixtures::readAll(settings);
        const CliRun run
            = runQuillo({ u"login"_s, u"--email"_s, u"ci@example.com"_s, u"--password-stdin"_s, u"--print-key"_s },
                { .input = "secret123\n" });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QCOMPARE(run.out, u"aaaabbbbccccddddeeeeffff00001111\n"_s);
        QCOMPARE(Fixtures::readAll(settings), before);
        // The login call did not carry this machine's session.
        QVERIFY(!m_peer.lastRequest().body.contains(kKey.toLatin1()));
    }

    // ---- What reaches the terminal ----

    void controlCharactersFromRepliesNeverReachTheTerminal()
    {
        // JSON escapes; "\/" keeps moc from reading "//" as a comment.
        const QByteArray hostile = R"(http:\/\/127.0.0.1\/\u001b[2J\u001b]0;pwned\u0007x\u009b31m\r)";
        m_peer.setHandler([&](const Peer::Request &request) {
            if (request.path() == "/apiv1/desktop/checkNewestVersion")
                return Peer::Reply::json(R"({"code":0,"data":{"d_down_url":")" + hostile + R"(","d_version":"9"}})");
            if (request.path() == kUpload)
                return Peer::Reply::json(
                    R"({"code":7,"message":"refused\u001b[31m red\u001b]8;;file:\/\/\/etc\u0007"})");
            return serviceReply(request);
        });
        CliRun run = runQuillo({ u"check-update"_s });
        QCOMPARE(run.status, ExitCode::Success);
        QVERIFY2(!hasTerminalControl(run.out) && !hasTerminalControl(run.err), describe(run).constData());
        QCOMPARE(run.out, u"http://127.0.0.1/\uFFFD[2J\uFFFD]0;pwned\uFFFDx\uFFFD31m\uFFFD\n"_s);

        // In JSON the address stays whole, with every control escaped.
        run = runQuillo({ u"check-update"_s, u"--json"_s });
        QVERIFY2(!hasTerminalControl(run.out), describe(run).constData());
        QCOMPARE(run.json().value(u"url"_s).toString(), u"http://127.0.0.1/\x1b[2J\x1b]0;pwned\ax\u009b31m\r"_s);

        run = runQuillo({ u"upload"_s, m_ipa });
        QCOMPARE(run.status, ExitCode::Refused);
        QVERIFY2(!hasTerminalControl(run.err), describe(run).constData());
        QVERIFY(run.err.contains(u"refused\uFFFD[31m red"_s));
    }
};

QUILLO_TEST_MAIN(TestCliPipeline)
#include "tst_clipipeline.moc"
