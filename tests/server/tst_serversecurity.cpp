// Attacks on the running quillo-server from a client on 127.0.0.1: restricted releases fetched
// by their guessable address, credentials that outlive a password reset, a poisoned recovery
// link, header floods, slow connections, guessing at logins and install passwords, weak password
// hashes and requests for another host name (DNS rebinding).
#include "tests/server/Packages.h"
#include "tests/server/RawConnection.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"

#include <QFile>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

using Headers = QList<std::pair<QByteArray, QByteArray>>;
const Headers formType = { { "Content-Type", "application/x-www-form-urlencoded" } };

// Runs one statement on the server's database; the first row's columns as text.
QStringList sql(const TestService &service, const QByteArray &statement, const QStringList &arguments = {})
{
    QStringList row;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(
            QFile::encodeName(service.dataDir() + u"/quillo.db"_s).constData(), &db, SQLITE_OPEN_READWRITE, nullptr)
        == SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, statement.constData(), -1, &stmt, nullptr) == SQLITE_OK) {
            for (int i = 0; i < arguments.size(); ++i)
                sqlite3_bind_text(stmt, i + 1, arguments.at(i).toUtf8().constData(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(stmt) == SQLITE_ROW) {
                for (int i = 0; i < sqlite3_column_count(stmt); ++i)
                    row.append(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, i))));
            }
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return row;
}

QString storedHash(const TestService &service, const QString &email)
{
    return sql(service, "SELECT password_hash FROM users WHERE email = ?", { email }).value(0);
}

// A line of /proc/<pid>/status, in KiB ("VmHWM": the peak resident size).
qint64 memoryKiB(qint64 pid, const QByteArray &field)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(QByteArray(field + ':')))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

QStringList mails(const TestService &service)
{
    QStringList texts;
    for (const QString &path : service.outboxFiles()) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            texts.append(QString::fromUtf8(file.readAll()));
    }
    return texts;
}

QString linkIn(const QString &mail)
{
    return QRegularExpression(u"(http://\\S+/user/resetPassword\\?ticket=\\S+)"_s).match(mail).captured(1);
}

QByteArray head(const QByteArray &requestLine, const QByteArray &host)
{
    return requestLine + "\r\nHost: " + host + "\r\n";
}

// Connections that send one byte each every 200 ms and collect whatever comes back, until the
// server closes them or stop() is called.
class Trickle final
{
public:
    struct Connection
    {
        std::unique_ptr<RawConnection> socket;
        QByteArray pending; // bytes not yet sent, one at a time
        QByteArray received;
        bool closed = false;
    };

    explicit Trickle(quint16 port)
        : m_port(port)
    { }
    ~Trickle() { stop(); }

    // Sends start at once, then trickles rest.
    bool open(const QByteArray &start, const QByteArray &rest)
    {
        auto c = std::make_unique<Connection>();
        c->socket = std::make_unique<RawConnection>(m_port);
        if (!c->socket->isOpen() || !c->socket->send(start))
            return false;
        c->pending = rest;
        std::lock_guard guard(m_lock);
        m_connections.push_back(std::move(c));
        return true;
    }
    void run()
    {
        m_thread = std::thread([this] {
            while (!m_stop) {
                {
                    std::lock_guard guard(m_lock);
                    for (auto &c : m_connections)
                        step(*c);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        });
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    int closedCount()
    {
        std::lock_guard guard(m_lock);
        return int(std::count_if(m_connections.begin(), m_connections.end(), [](const auto &c) { return c->closed; }));
    }
    // How many received an answer that starts with prefix.
    int answeredWith(const QByteArray &prefix)
    {
        std::lock_guard guard(m_lock);
        return int(std::count_if(
            m_connections.begin(), m_connections.end(), [&](const auto &c) { return c->received.startsWith(prefix); }));
    }

private:
    static void step(Connection &c)
    {
        if (c.closed)
            return;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(c.socket->fd(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                c.received.append(buffer, n);
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                c.closed = true;
            break;
        }
        if (c.closed || c.pending.isEmpty())
            return;
        if (::send(c.socket->fd(), c.pending.constData(), 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1)
            c.closed = true;
        else
            c.pending.remove(0, 1);
    }

    quint16 m_port;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::mutex m_lock;
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

} // namespace

class TestServerSecurity : public QObject
{
    Q_OBJECT

    TestService m_service;
    TestService::Account m_alice;
    QString m_ipa;

    QString makeApk(const QString &id, qint64 filler = 1000)
    {
        QString error;
        const QString folder = QFileInfo(TestEnvironment::path(u"packages/%1/x"_s.arg(id))).absolutePath();
        const QString path = Packages::makeApk(folder, { id, u"1.0"_s, u"1"_s, id.section(u'.', -1), filler }, &error);
        if (path.isEmpty())
            qWarning("%s", qPrintable(error));
        return path;
    }

    TestService::Reply upload(const TestService::Account &as, const QString &package, const QString &shortcut,
        const QString &range, const QString &password = {})
    {
        TestService::UploadOptions options;
        options.shortcut = shortcut;
        options.publishRange = range;
        options.password = password;
        return m_service.upload(as, package, options);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_alice = m_service.registerAndLogin();
        QVERIFY2(m_alice.valid(), qPrintable(m_alice.error));
        QString error;
        const QString folder = QFileInfo(TestEnvironment::path(u"packages/ipa/x"_s)).absolutePath();
        m_ipa
            = Packages::makeIpa(folder, { u"com.example.secret"_s, u"2.0"_s, u"20"_s, u"Secret"_s, 20 * 1024 }, &error);
        QVERIFY2(!m_ipa.isEmpty(), qPrintable(error));
    }

    // "仅受邀测试者可下载": neither the page nor the package by the suffix the publisher chose.
    void restrictedReleaseNeedsItsInvitation()
    {
        const auto published = upload(m_alice, m_ipa, u"secret"_s, u"3"_s);
        QVERIFY2(published.code() == 0, published.body.constData());
        const QString address = published.data().value(u"appShortcutUrl"_s).toString();
        QVERIFY2(QRegularExpression(u"^secret/[0-9a-f]{32}$"_s).match(address).hasMatch(), qPrintable(address));

        for (const QString &guess : QStringList { u"/secret"_s, u"/secret/download"_s, u"/secret/icon"_s,
                 u"/secret/"_s + QString(32, u'0'), u"/secret/%1/download"_s.arg(QString(32, u'0')) }) {
            const auto refused = m_service.get(guess);
            QVERIFY2(refused.status == 403, qPrintable(guess + u' ' + QString::number(refused.status)));
            QVERIFY2(
                !refused.body.contains("Secret") && !refused.body.contains("download\""), refused.body.constData());
        }
        QCOMPARE(m_service.request("POST", u"/secret"_s, formType, "password=x").status, 403);

        const auto page = m_service.get(u'/' + address);
        QCOMPARE(page.status, 200);
        QVERIFY(page.body.contains("Secret"));
        QVERIFY2(page.body.contains(
                     QByteArray("aria-label=\"" + m_service.baseUrl().toUtf8() + '/' + address.toUtf8() + '"')),
            "the QR code carries the invitation");
        QVERIFY(page.body.contains(QByteArray("src=\"/" + address.toUtf8() + "/icon\"")));
        QCOMPARE(m_service.get(u'/' + address + u"/icon"_s).status, 200);
        const auto download = m_service.get(u'/' + address + u"/download"_s);
        QCOMPARE(download.status, 200);
        QCOMPARE(Packages::sha256Of(download.body), Packages::sha256Of(m_ipa));

        // With an install password: asked on the invitation's page; its ticket is no key to the guessable route.
        const auto again = upload(m_alice, m_ipa, u"secret"_s, u"3"_s, u"pw-1234"_s);
        QCOMPARE(again.data().value(u"appShortcutUrl"_s).toString(), address); // testers keep their link
        QCOMPARE(m_service.get(u'/' + address + u"/download"_s).status, 403);
        const auto granted = m_service.request("POST", u'/' + address, formType, "password=pw-1234");
        QCOMPARE(granted.status, 200);
        const QString link = QRegularExpression(u"href=\"(/secret/[0-9a-f]{32}/download\\?ticket=[0-9a-f-]+)\""_s)
                                 .match(QString::fromUtf8(granted.body))
                                 .captured(1);
        QVERIFY2(!link.isEmpty(), granted.body.constData());
        QCOMPARE(m_service.get(link).status, 200);
        QCOMPARE(m_service.get(u"/secret/download?"_s + link.section(u'?', 1)).status, 403);

        // "所有人可下载" keeps its plain address; moving to the restricted range closes it.
        const QString apk = makeApk(u"com.example.everyone"_s);
        const auto open = upload(m_alice, apk, u"everyone"_s, u"2"_s);
        QCOMPARE(open.data().value(u"appShortcutUrl"_s).toString(), u"everyone"_s);
        QCOMPARE(m_service.get(u"/everyone/download"_s).status, 200);
        const QString invited
            = upload(m_alice, apk, u"everyone"_s, u"3"_s).data().value(u"appShortcutUrl"_s).toString();
        QVERIFY2(QRegularExpression(u"^everyone/[0-9a-f]{32}$"_s).match(invited).hasMatch(), qPrintable(invited));
        QVERIFY(invited.section(u'/', 1) != address.section(u'/', 1));
        QCOMPARE(m_service.get(u"/everyone"_s).status, 403);
        QCOMPARE(m_service.get(u"/everyone/download"_s).status, 403);
        QCOMPARE(m_service.get(u'/' + invited).status, 200);
    }

    // A reset ends every session, the key the upload carries, and every other ticket.
    void passwordResetRotatesTheCredentials()
    {
        const TestService::Account bob = m_service.registerAndLogin();
        QVERIFY2(bob.valid(), qPrintable(bob.error));
        const QString apk = makeApk(u"com.example.bobs"_s);
        QCOMPARE(upload(bob, apk, u"bobs"_s, u"2"_s).code(), 0);

        const qsizetype before = m_service.outboxFiles().size();
        QCOMPARE(m_service.call(u"user/forgetPassword"_s, { { u"email"_s, bob.email } }).code(), 0);
        QCOMPARE(m_service.call(u"user/forgetPassword"_s, { { u"email"_s, bob.email } }).code(), 0);
        QStringList tickets;
        for (const QString &mail : mails(m_service)) {
            if (mail.contains(u"To: "_s + bob.email))
                tickets.append(linkIn(mail).section(u"ticket="_s, 1));
        }
        QCOMPARE(m_service.outboxFiles().size(), before + 2);
        QCOMPARE(tickets.size(), 2);
        QCOMPARE(m_service
                     .request("POST", u"/user/resetPassword"_s, formType,
                         "ticket=" + tickets.at(0).toLatin1() + "&password=renewed1&confirm=renewed1")
                     .status,
            200);

        // The old key no longer publishes, the old token no longer calls, the other ticket is spent.
        const auto stale = upload(bob, apk, u"bobs"_s, u"2"_s);
        QVERIFY2(stale.code() == 1002, stale.body.constData());
        QCOMPARE(m_service.call(u"app/getAppKeyByShortcut"_s, { { u"shortcut"_s, u"bobs"_s } }, &bob).code(), 1002);
        QCOMPARE(m_service.get(u"/user/resetPassword?ticket="_s + tickets.at(1)).status, 410);
        QCOMPARE(m_service
                     .request("POST", u"/user/resetPassword"_s, formType,
                         "ticket=" + tickets.at(1).toLatin1() + "&password=hijack11&confirm=hijack11")
                     .status,
            410);
        QCOMPARE(
            m_service.call(u"user/login"_s, { { u"email"_s, bob.email }, { u"password"_s, u"hijack11"_s } }).code(),
            1010);

        // Logged in again: new key and token, the application still his, uploads as the client sends them.
        const auto login
            = m_service.call(u"user/login"_s, { { u"email"_s, bob.email }, { u"password"_s, u"renewed1"_s } });
        QCOMPARE(login.code(), 0);
        TestService::Account renewed = bob;
        renewed.userKey = login.data().value(u"userKey"_s).toString();
        renewed.token = login.data().value(u"u_api_token"_s).toString();
        QVERIFY(renewed.valid());
        QVERIFY(renewed.userKey != bob.userKey);
        QVERIFY(renewed.token != bob.token);
        const auto prepared = m_service.call(u"app/uploadPrepare"_s,
            { { u"packageName"_s, u"com.example.bobs"_s }, { u"type"_s, u"android"_s },
                { u"uKey"_s, renewed.userKey } },
            &renewed);
        QCOMPARE(prepared.data().value(u"shortcutUrl"_s).toString(), u"bobs"_s);
        QVERIFY(prepared.data().contains(u"parentApp"_s));
        QCOMPARE(upload(renewed, apk, u"bobs"_s, u"2"_s).code(), 0);
    }

    // The mail's link names the configured address whatever the request's Host says; an unknown
    // address gets the very answer a known one gets.
    void recoveryLinkAndUnknownAddresses()
    {
        TestService lenient({}, false);
        QVERIFY2(lenient.start(), qPrintable(lenient.errorString()));
        const TestService::Account carol = lenient.registerAndLogin();
        QVERIFY2(carol.valid(), qPrintable(carol.error));
        const QByteArray form = "email=" + TestService::formEncode(carol.email)
            + "&_uId=&_api_key=7c1e4a90d25b3f86e0a9c4d71b2f5e38&_token=";
        const QByteArray foreign = "attacker.example:" + QByteArray::number(lenient.port());
        lenient.request("POST", u"/apiv1/user/forgetPassword"_s, { formType.at(0), { "Host", foreign } }, form);
        for (const QString &mail : mails(lenient))
            QVERIFY2(!mail.contains(u"attacker.example"_s), qPrintable(mail));

        QCOMPARE(lenient.call(u"user/forgetPassword"_s, { { u"email"_s, carol.email } }).code(), 0);
        QCOMPARE(linkIn(mails(lenient).value(0)).section(u"/user/"_s, 0, 0), lenient.baseUrl());

        // A name the server was told to answer to still gets the configured address in the mail.
        TestService aliased({ u"--allow-host"_s, u"quillo.lan"_s });
        QVERIFY2(aliased.start(), qPrintable(aliased.errorString()));
        const TestService::Account dave = aliased.registerAndLogin();
        const QByteArray daveForm = "email=" + TestService::formEncode(dave.email)
            + "&_uId=&_api_key=7c1e4a90d25b3f86e0a9c4d71b2f5e38&_token=";
        const auto viaAlias = aliased.request("POST", u"/apiv1/user/forgetPassword"_s,
            { { "Content-Type", "application/x-www-form-urlencoded; charset=utf-8" },
                { "Host", "quillo.lan:" + QByteArray::number(aliased.port()) } },
            daveForm);
        QVERIFY2(viaAlias.code() == 0, viaAlias.body.constData());
        QCOMPARE(linkIn(mails(aliased).value(0)).section(u"/user/"_s, 0, 0), aliased.baseUrl());

        // Known and unknown: same status, type and envelope; a mail only for the known one.
        const qsizetype sent = m_service.outboxFiles().size();
        const auto known = m_service.call(u"user/forgetPassword"_s, { { u"email"_s, m_alice.email } });
        const auto unknown = m_service.call(u"user/forgetPassword"_s, { { u"email"_s, u"nobody-here@example.com"_s } });
        QCOMPARE(unknown.status, known.status);
        QCOMPARE(unknown.contentType, known.contentType);
        QCOMPARE(unknown.body, known.body);
        QCOMPARE(known.code(), 0);
        QCOMPARE(m_service.outboxFiles().size(), sent + 1);
    }

    // Header lines without end: refused after a bounded amount, the memory stays where it was.
    void headerFloodIsBounded()
    {
        TestService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        QCOMPARE(service.call(u"config/constants"_s).code(), 0);
        const qint64 peakBefore = memoryKiB(service.processId(), "VmHWM");
        QVERIFY(peakBefore > 0);

        RawConnection flood(service.port());
        QVERIFY(flood.send(head("GET /help HTTP/1.1", service.host().toLatin1())));
        QByteArray block;
        for (int i = 0; block.size() < 1024 * 1024; ++i)
            block += "X-Filler-" + QByteArray::number(i) + ": " + QByteArray(980, 'a') + "\r\n";
        qint64 sent = 0;
        while (sent < qint64(600) * 1024 * 1024 && flood.send(block))
            sent += block.size();
        QVERIFY2(sent < qint64(64) * 1024 * 1024, qPrintable(u"the server read %1 MiB of headers"_s.arg(sent >> 20)));
        flood.close();
        QCOMPARE(service.call(u"config/constants"_s).code(), 0);
        const qint64 growth = memoryKiB(service.processId(), "VmHWM") - peakBefore;
        QVERIFY2(growth < 32 * 1024, qPrintable(u"peak memory grew by %1 MiB"_s.arg(growth >> 10)));

        // Too many bytes or too many lines: an answer that says so, then the end of the connection.
        RawConnection large(service.port());
        large.send(head("GET /help HTTP/1.1", service.host().toLatin1()) + block.left(70 * 1024));
        QVERIFY2(large.receive(10000).startsWith("HTTP/1.1 431"), "70 KiB of headers");
        QByteArray lines;
        for (int i = 0; i < 200; ++i)
            lines += "X-" + QByteArray::number(i) + ": 1\r\n";
        RawConnection many(service.port());
        many.send(head("GET /help HTTP/1.1", service.host().toLatin1()) + lines + "\r\n");
        QVERIFY2(many.receive(10000).startsWith("HTTP/1.1 431"), "200 header lines");
        QVERIFY(service.isRunning());
    }

    // 32 connections trickling their headers and 32 trickling their bodies leave every other client
    // served; each is ended by its deadline although it never stalls long enough for a read time-out.
    void slowClientsDoNotStallOthers()
    {
        // Bodies get 20 s (and 1 s for the 100 kB they declare), longer than anyone should wait;
        // they are opened last, so that their time starts as late as it can.
        TestService service({ u"--request-timeout"_s, u"20"_s });
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const QByteArray host = service.host().toLatin1();
        Trickle trickle(service.port());
        for (int i = 0; i < 32; ++i)
            QVERIFY(trickle.open(head("GET /help HTTP/1.1", host), QByteArray(4000, 'x') + ": y\r\n\r\n"));
        for (int i = 0; i < 32; ++i) {
            QVERIFY(trickle.open(head("POST /apiv1/user/login HTTP/1.1", host)
                    + "Content-Type: application/x-www-form-urlencoded; charset=utf-8\r\n"
                      "Content-Length: 100000\r\n\r\n",
                QByteArray(100000, 'a')));
        }
        trickle.run();

        TestService::Reply reply;
        std::atomic<bool> answered { false };
        std::thread other([&] {
            reply = service.call(u"config/constants"_s);
            answered = true;
        });
        const bool served = QTest::qWaitFor([&] { return answered.load(); }, 8000);
        if (!served)
            trickle.stop(); // lets the waiting call end
        other.join();
        QVERIFY2(served, "a client waited behind slow connections");
        // A refusal (503 from the connection gate) is no answer either.
        QVERIFY2(reply.code() == 0,
            qPrintable(u"HTTP %1 %2%3"_s.arg(reply.status).arg(QString::fromUtf8(reply.body), reply.error)));
        QCOMPARE(service.get(u"/help"_s).status, 200);

        QTRY_COMPARE_WITH_TIMEOUT(trickle.closedCount(), 64, 40000);
        QVERIFY2(trickle.answeredWith("HTTP/1.1 408") >= 32, "slow headers are told why");
        trickle.stop();
        QVERIFY(service.isRunning());
    }

    // Headers count against their address's limit (64) until they have arrived: a connection
    // beyond it takes the place of one whose headers arrive meanwhile, and is refused only when
    // no place frees.
    void connectionsBeyondTheLimitWaitForAPlace()
    {
        TestService service({ u"--header-timeout"_s, u"120"_s });
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const QByteArray request = head("GET /help HTTP/1.1", service.host().toLatin1());
        std::vector<std::unique_ptr<RawConnection>> held;
        const auto hold = [&] {
            held.push_back(std::make_unique<RawConnection>(service.port()));
            return held.back()->send(request);
        };
        for (int i = 0; i < 64; ++i)
            QVERIFY(hold());

        RawConnection late(service.port());
        QVERIFY(late.send(request + "\r\n"));
        QVERIFY(held.front()->send("\r\n"));
        QVERIFY(held.front()->receive(10000).startsWith("HTTP/1.1 200"));
        const QByteArray answer = late.receive(10000);
        QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.left(200).constData());

        QVERIFY(hold()); // the limit is reached again, and nobody finishes
        RawConnection refused(service.port());
        QVERIFY(refused.send(request + "\r\n"));
        QVERIFY(refused.receive(10000).startsWith("HTTP/1.1 503"));
        QVERIFY(held.back()->send("\r\n"));
        QVERIFY(held.back()->receive(10000).startsWith("HTTP/1.1 200"));
    }

    void loginAttemptsAreCapped()
    {
        TestService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const TestService::Account erin = service.registerAndLogin();
        const TestService::Account frank = service.registerAndLogin();
        QVERIFY2(erin.valid() && frank.valid(), qPrintable(erin.error + frank.error));
        const auto login = [&](const QString &email, const QString &password) {
            return service.call(u"user/login"_s, { { u"email"_s, email }, { u"password"_s, password } });
        };

        // Per account: after five wrong passwords not even the right one opens it for a while.
        for (int i = 0; i < 5; ++i)
            QCOMPARE(login(erin.email, u"guess-%1"_s.arg(i)).code(), 1010);
        const auto locked = login(erin.email, erin.password);
        QVERIFY2(locked.code() == 1013, locked.body.constData());
        // The same answer for an address without an account, so the cap tells nothing.
        for (int i = 0; i < 5; ++i)
            login(u"ghost@example.com"_s, u"guess-%1"_s.arg(i));
        QCOMPARE(login(u"ghost@example.com"_s, u"anything"_s).envelope, locked.envelope);

        // Per address: twenty failures from here and every account is closed to this address.
        QCOMPARE(login(frank.email, frank.password).code(), 0);
        for (int i = 0; i < 10; ++i)
            QCOMPARE(login(u"nobody%1@example.com"_s.arg(i), u"guess"_s).code(), 1010);
        QCOMPARE(login(frank.email, frank.password).code(), 1013);
    }

    void installPasswordAttemptsAreCapped()
    {
        TestService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const TestService::Account owner = service.registerAndLogin();
        for (const QString &name : { u"capa"_s, u"capb"_s, u"capc"_s }) {
            TestService::UploadOptions options;
            options.shortcut = name;
            options.password = u"right-"_s + name;
            QCOMPARE(service.upload(owner, makeApk(u"com.example."_s + name), options).code(), 0);
        }
        const auto attempt = [&](const QString &name, const QByteArray &password) {
            return service.request("POST", u'/' + name, formType, "password=" + password).status;
        };
        // Per application: ten wrong passwords close it.
        for (int i = 0; i < 10; ++i)
            QCOMPARE(attempt(u"capa"_s, "wrong"), 403);
        QCOMPARE(attempt(u"capa"_s, "right-capa"), 429);
        // Per address: twenty wrong ones here close every application to this address.
        for (int i = 0; i < 9; ++i)
            QCOMPARE(attempt(u"capb"_s, "wrong"), 403);
        QCOMPARE(attempt(u"capb"_s, "right-capb"), 200);
        QCOMPARE(attempt(u"capc"_s, "wrong"), 403);
        QCOMPARE(attempt(u"capc"_s, "right-capc"), 429);
        QCOMPARE(attempt(u"capb"_s, "right-capb"), 429);
    }

    // New hashes take 600,000 rounds of PBKDF2-SHA256; hashes of fewer rounds still verify and are
    // strengthened at the next login.
    void passwordHashesAreStrong()
    {
        const QString stored = storedHash(m_service, m_alice.email);
        const QStringList parts = stored.split(u'$');
        QCOMPARE(parts.value(0), u"pbkdf2-sha256"_s);
        QVERIFY2(parts.value(1).toInt() >= 600000, qPrintable(stored));

        const TestService::Account grace = m_service.registerAndLogin();
        QByteArray salt(16, '\0');
        for (char &c : salt)
            c = char(QRandomGenerator::global()->bounded(256));
        const QByteArray derived
            = QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, "older-password", salt, 60000, 32);
        const QString old = u"pbkdf2-sha256$60000$%1$%2"_s.arg(
            QString::fromLatin1(salt.toBase64()), QString::fromLatin1(derived.toBase64()));
        sql(m_service, "UPDATE users SET password_hash = ? WHERE email = ?", { old, grace.email });
        QCOMPARE(storedHash(m_service, grace.email), old);
        QCOMPARE(
            m_service.call(u"user/login"_s, { { u"email"_s, grace.email }, { u"password"_s, u"older-password"_s } })
                .code(),
            0);
        QVERIFY(storedHash(m_service, grace.email).split(u'$').value(1).toInt() >= 600000);
        QCOMPARE(
            m_service.call(u"user/login"_s, { { u"email"_s, grace.email }, { u"password"_s, u"older-password"_s } })
                .code(),
            0);
    }

    // A page of another origin whose name now points at 127.0.0.1 reads nothing.
    void foreignHostIsRefused()
    {
        QCOMPARE(upload(m_alice, makeApk(u"com.example.rebind"_s), u"rebind"_s, u"2"_s).code(), 0);
        const QByteArray port = QByteArray::number(m_service.port());
        for (const QString &path : { u"/rebind"_s, u"/rebind/download"_s, u"/"_s, u"/help"_s }) {
            const auto refused = m_service.request("GET", path, { { "Host", "rebind.example:" + port } });
            QVERIFY2(refused.status == 421, qPrintable(path + u' ' + QString::number(refused.status)));
            QVERIFY(!refused.body.contains("/rebind/download\""));
        }
        const auto api = m_service.request("POST", u"/apiv1/user/login"_s,
            { { "Host", "rebind.example:" + port },
                { "Content-Type", "application/x-www-form-urlencoded; charset=utf-8" } },
            "email=a&password=b&_uId=&_api_key=7c1e4a90d25b3f86e0a9c4d71b2f5e38&_token=");
        QCOMPARE(api.status, 421);
        QCOMPARE(api.code(), 1041);
        QCOMPARE(m_service.request("GET", u"/rebind"_s, { { "Host", "localhost:" + port } }).status, 200);
        QCOMPARE(m_service.request("GET", u"/rebind"_s, { { "Host", "127.0.0.1:" + port } }).status, 200);

        TestService named({ u"--allow-host"_s, u"quillo.lan"_s });
        QVERIFY2(named.start(), qPrintable(named.errorString()));
        const QByteArray namedPort = QByteArray::number(named.port());
        QCOMPARE(named.request("GET", u"/help"_s, { { "Host", "quillo.lan:" + namedPort } }).status, 200);
        QCOMPARE(named.request("GET", u"/help"_s, { { "Host", "other.lan:" + namedPort } }).status, 421);
    }

    void cleanupTestCase()
    {
        QVERIFY(m_service.isRunning());
        QCOMPARE(m_service.stop(), 0);
    }
};

QUILLO_TEST_MAIN(TestServerSecurity)
#include "tst_serversecurity.moc"
