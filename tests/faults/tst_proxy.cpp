// API calls and uploads through a real proxy (tinyproxy, started on loopback with a config of
// its own): http_proxy is honoured by the desktop flow and by the quillo command, no_proxy
// bypasses it, https_proxy tunnels with CONNECT, and a proxy that cannot reach the service or is
// not there at all ends in the failures the envelope defines. Without those variables, the proxy
// of the desktop's settings (GNOME's, here) is used.

#include "api/CloudClient.h"
#include "app/QSLoginModel.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/Fixtures.h"
#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"
#include "upload/UploadFlow.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// tinyproxy in the foreground on a free loopback port, logging every request it forwards.
class TinyProxy
{
public:
    bool start(QString *error)
    {
        const QString program = QStandardPaths::findExecutable(u"tinyproxy"_s, { u"/usr/bin"_s, u"/usr/sbin"_s });
        if (program.isEmpty()) {
            *error = u"tinyproxy is not installed (scripts/bootstrap.sh installs it)"_s;
            return false;
        }
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        m_port = probe.serverPort();
        probe.close();
        const QString folder = TestEnvironment::path(u"tinyproxy/"_s);
        m_log = folder + u"tinyproxy.log"_s;
        QFile config(folder + u"tinyproxy.conf"_s);
        config.open(QIODevice::WriteOnly);
        config.write(u"Port %1\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nLogFile \"%2\"\nLogLevel Info\n"
                     "MaxClients 100\nDisableViaHeader Yes\n"_s.arg(m_port)
                         .arg(m_log)
                         .toUtf8());
        config.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(program, { u"-d"_s, u"-c"_s, config.fileName() });
        if (!m_process.waitForStarted(10000)) {
            *error = m_process.errorString();
            return false;
        }
        for (int i = 0; i < 100; ++i) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            if (socket.waitForConnected(100))
                return true;
            QTest::qWait(50);
        }
        *error = u"tinyproxy did not listen: "_s + QString::fromUtf8(m_process.readAll());
        return false;
    }
    ~TinyProxy()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished();
    }
    QString url() const { return u"http://127.0.0.1:%1"_s.arg(m_port); }
    quint16 port() const { return m_port; }
    // The request lines it forwarded ("POST http://… HTTP/1.1", "CONNECT 127.0.0.1:… HTTP/1.1").
    QStringList requests() const
    {
        QFile log(m_log);
        log.open(QIODevice::ReadOnly);
        QStringList lines;
        static const QRegularExpression pattern(u"Request \\(file descriptor \\d+\\): (.*)$"_s);
        for (const QByteArray &line : log.readAll().split('\n')) {
            const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(line));
            if (match.hasMatch())
                lines.append(match.captured(1));
        }
        return lines;
    }

private:
    QProcess m_process;
    quint16 m_port = 0;
    QString m_log;
};

class Receiver : public QObject
{
    Q_OBJECT
public:
    QVariantList successes;
    QVariantList errors;
public Q_SLOTS:
    void ok(const QVariant &data) { successes.append(data); }
    void fail(const QVariant &record) { errors.append(record); }
};

// One API call of the desktop program, config/constants: true once its one outcome (data or
// error record) has reached the receiver, false when none came within 30 s.
bool configCall(Receiver &receiver)
{
    receiver.successes.clear();
    receiver.errors.clear();
    std::unique_ptr<CloudClient> client = CloudClient::getInstance();
    client->getConfigConstants(&receiver, u"ok:"_s, u"fail:"_s);
    return QTest::qWaitFor([&] { return receiver.successes.size() + receiver.errors.size() == 1; }, 30000);
}

// The service's name in a config/constants reply, as the stand-in service sends it.
QString serviceName(const QVariant &data)
{
    return data.toMap().value(u"serviceName"_s).toString();
}

// Sets an environment variable for this process (and the commands it starts) until the guard goes.
class Env
{
public:
    Env(const char *name, const QByteArray &value)
        : m_name(name)
    {
        qputenv(name, value);
    }
    ~Env() { qunsetenv(m_name); }

private:
    const char *m_name;
};

// Runs the quillo command in a GNOME session of its own: a private session bus, the proxy
// settings written with gsettings (dconf keeps them below the test's home), none of the proxy
// variables unless `environment` sets one.
ProcessRun runQuilloOnGnome(quint16 proxyPort, const QStringList &arguments, const QStringList &environment = {})
{
    const QString script = TestEnvironment::path(u"gnome-session.sh"_s);
    QFile file(script);
    file.open(QIODevice::WriteOnly);
    file.write("#!/bin/sh\n"
               "set -e\n"
               "gsettings set org.gnome.system.proxy mode manual\n"
               "gsettings set org.gnome.system.proxy.http host 127.0.0.1\n"
               "gsettings set org.gnome.system.proxy.http port \"$1\"\n"
               "gsettings set org.gnome.system.proxy ignore-hosts \"[]\"\n"
               "shift\n"
               "exec \"$@\"\n");
    file.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
             "no_proxy", "NO_PROXY", "DBUS_SESSION_BUS_ADDRESS" })
        env.remove(QString::fromLatin1(name));
    env.insert(u"XDG_CURRENT_DESKTOP"_s, u"GNOME"_s);
    env.insert(u"DESKTOP_SESSION"_s, u"gnome"_s);
    for (const QString &pair : environment) {
        const qsizetype equals = pair.indexOf(u'=');
        env.insert(pair.left(equals), pair.mid(equals + 1));
    }
    return runProcess(u"dbus-run-session"_s,
        QStringList { u"--"_s, u"bash"_s, script, QString::number(proxyPort), TestEnvironment::binDir() + u"/quillo"_s }
            + arguments,
        env);
}

UploadFlow::Result uploadWithTheFlow(const QString &package)
{
    UploadFlow flow;
    QList<UploadFlow::Result> results;
    QObject::connect(
        &flow, &UploadFlow::uploadFinished, &flow, [&results](const UploadFlow::Result &r) { results.append(r); });
    flow.ParseIPA(package);
    if (!QTest::qWaitFor([&] { return flow.state() == UploadFlow::State::Form; }, 30000))
        return {};
    flow.upload();
    if (!QTest::qWaitFor([&] { return !results.isEmpty(); }, 60000))
        return {};
    return results.first();
}

} // namespace

class TestProxy : public QObject
{
    Q_OBJECT

    TinyProxy m_proxy;
    TestService m_service;
    QString m_ipa;
    QString m_sha;

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_proxy.start(&error), qPrintable(error));
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_service.setAsServiceHost();
        const TestService::Account me = m_service.registerAndLogin();
        QVERIFY2(me.valid(), qPrintable(me.error));
        QSLoginModel::setLoginWithUId(me.userKey, me.loginData);
        m_ipa = TestEnvironment::path(u"packages/Proxied.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(m_ipa), qPrintable(Fixtures::lastError()));
        m_sha = sha256Of(m_ipa);
    }

    void callsAndUploadsGoThroughTheProxy()
    {
        const Env proxy("http_proxy", m_proxy.url().toUtf8());
        const QString base = m_service.baseUrl();
        const qsizetype before = m_proxy.requests().size();

        Receiver receiver;
        QVERIFY2(configCall(receiver), "no answer");
        QCOMPARE(receiver.errors, QVariantList());
        QCOMPARE(receiver.successes.size(), 1);
        QCOMPARE(serviceName(receiver.successes.first()), u"Quillo"_s);

        const UploadFlow::Result result = uploadWithTheFlow(m_ipa);
        QVERIFY2(result.success(), qPrintable(result.message));

        const ProcessRun cli = runQuilloProcess({ u"upload"_s, m_ipa, u"--quiet"_s });
        QVERIFY2(cli.exitCode == 0, cli.describe().constData());

        const QStringList forwarded = m_proxy.requests().mid(before);
        QVERIFY2(
            forwarded.count(u"POST %1/apiv1/app/upload HTTP/1.1"_s.arg(base)) == 2, qPrintable(forwarded.join(u'\n')));
        QVERIFY2(forwarded.count(u"POST %1/apiv1/app/uploadPrepare HTTP/1.1"_s.arg(base)) == 2,
            qPrintable(forwarded.join(u'\n')));
        QVERIFY2(forwarded.contains(u"POST %1/apiv1/config/constants HTTP/1.1"_s.arg(base)),
            qPrintable(forwarded.join(u'\n')));
        const QList<TestService::StoredRelease> releases = m_service.releases();
        QVERIFY(releases.size() >= 2);
        QCOMPARE(releases.at(releases.size() - 1).sha256, m_sha);
        QCOMPARE(releases.at(releases.size() - 2).sha256, m_sha);
    }

    void noProxyBypassesIt()
    {
        const Env proxy("http_proxy", m_proxy.url().toUtf8());
        const Env bypass("no_proxy", "127.0.0.1");
        const qsizetype before = m_proxy.requests().size();
        Receiver receiver;
        QVERIFY2(configCall(receiver), "no answer");
        QCOMPARE(receiver.errors, QVariantList());
        QCOMPARE(receiver.successes.size(), 1);
        QCOMPARE(serviceName(receiver.successes.first()), u"Quillo"_s);
        QVERIFY(uploadWithTheFlow(m_ipa).success());
        const ProcessRun cli = runQuilloProcess({ u"upload"_s, m_ipa, u"--quiet"_s });
        QVERIFY2(cli.exitCode == 0, cli.describe().constData());
        QCOMPARE(m_proxy.requests().size(), before);
    }

    // No proxy variable: the proxy named in the desktop's settings carries the calls and the
    // upload. A variable, even one that names no proxy for the service, puts libcurl's own rules
    // first and the settings aside.
    void desktopSettingsNameTheProxy()
    {
        const QString base = m_service.baseUrl();
        const qsizetype released = m_service.releases().size();
        qsizetype before = m_proxy.requests().size();
        ProcessRun cli = runQuilloOnGnome(m_proxy.port(), { u"upload"_s, m_ipa, u"--quiet"_s });
        QVERIFY2(cli.exitCode == 0, cli.describe().constData());
        QStringList forwarded = m_proxy.requests().mid(before);
        QVERIFY2(forwarded.contains(u"POST %1/apiv1/app/uploadPrepare HTTP/1.1"_s.arg(base)),
            qPrintable(forwarded.join(u'\n')));
        QVERIFY2(forwarded.contains(u"POST %1/apiv1/app/upload HTTP/1.1"_s.arg(base)), qPrintable(forwarded.join(u'\n')));
        QCOMPARE(m_service.releases().size(), released + 1);
        QCOMPARE(m_service.releases().last().sha256, m_sha);

        before = m_proxy.requests().size();
        cli = runQuilloOnGnome(m_proxy.port(), { u"upload"_s, m_ipa, u"--quiet"_s }, { u"no_proxy=example.invalid"_s });
        QVERIFY2(cli.exitCode == 0, cli.describe().constData());
        forwarded = m_proxy.requests().mid(before);
        QVERIFY2(forwarded.isEmpty(), qPrintable(forwarded.join(u'\n')));
        QCOMPARE(m_service.releases().size(), released + 2);
        QCOMPARE(m_service.releases().last().sha256, m_sha);
    }

    // An https service address is reached through a CONNECT tunnel. The peer on the other end
    // speaks no TLS, so the call fails, as any failed exchange: error "100".
    void httpsProxyTunnels()
    {
        LoopbackHttpPeer peer;
        const Env proxy("https_proxy", m_proxy.url().toUtf8());
        qputenv("QUILLO_SERVICE_HOST", "https://" + peer.hostPort().toUtf8());
        const auto restore = qScopeGuard([this] { m_service.setAsServiceHost(); });
        Receiver receiver;
        QVERIFY2(configCall(receiver), "no answer");
        QCOMPARE(receiver.errors.size(), 1);
        QCOMPARE(receiver.errors.first().toMap().value(u"code"_s).toString(), u"100"_s);
        QVERIFY2(m_proxy.requests().contains(u"CONNECT %1 HTTP/1.1"_s.arg(peer.hostPort())),
            qPrintable(m_proxy.requests().join(u'\n')));
        QTRY_COMPARE(peer.unparsedData().size(), 1);
        QVERIFY(peer.unparsedData().first().startsWith("\x16\x03")); // the TLS handshake, through the tunnel
    }

    // The proxy answers for a service it cannot reach with its own HTML error page and closes
    // without reading the request body, which often resets the connection before the page is
    // read: the API call ends in error "2" (a reply that is not JSON) or "100" (the exchange
    // failed), both what the envelope defines; the upload fails and says so. A proxy that is not
    // there at all is a network failure (error "100").
    void proxyThatCannotReachTheServiceOrIsGone()
    {
        const qint64 released = m_service.releases().size();
        {
            const Env proxy("http_proxy", m_proxy.url().toUtf8());
            qputenv("QUILLO_SERVICE_HOST", "127.0.0.1:9");
            Receiver receiver;
            QVERIFY2(configCall(receiver), "no answer");
            QCOMPARE(receiver.errors.size(), 1);
            const QString code = receiver.errors.first().toMap().value(u"code"_s).toString();
            QVERIFY2(code == u"2"_s || code == u"100"_s, qPrintable(code));
            const UploadFlow::Result result = uploadWithTheFlow(m_ipa);
            QCOMPARE(result.kind, UploadFlow::Result::Kind::TransportError);
            QVERIFY(result.message.startsWith(u"发布失败："_s));
            const ProcessRun cli = runQuilloProcess({ u"upload"_s, m_ipa, u"--quiet"_s });
            QVERIFY2(cli.exitCode == 6, cli.describe().constData());
        }
        {
            const Env proxy("http_proxy", "http://127.0.0.1:9");
            m_service.setAsServiceHost();
            Receiver receiver;
            QVERIFY2(configCall(receiver), "no answer");
            QCOMPARE(receiver.errors.size(), 1);
            QCOMPARE(receiver.errors.first().toMap().value(u"code"_s).toString(), u"100"_s);
            const ProcessRun cli = runQuilloProcess({ u"upload"_s, m_ipa, u"--quiet"_s });
            QVERIFY2(cli.exitCode == 6, cli.describe().constData());
        }
        m_service.setAsServiceHost();
        QCOMPARE(m_service.releases().size(), released);
        QCOMPARE(sha256Of(m_ipa), m_sha);
    }
};

QUILLO_TEST_MAIN(TestProxy)
#include "tst_proxy.moc"
