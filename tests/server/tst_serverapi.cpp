// The running quillo-server over loopback: accounts, the API's answers and refusals, strict
// checks of the client's wire format, and requests that must never bring it down.
#include "tests/server/RawConnection.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QUuid>

#include <sqlite3.h>

using namespace Qt::StringLiterals;

namespace {

const QByteArray formType = "application/x-www-form-urlencoded; charset=utf-8";
const QString apiKey = u"7c1e4a90d25b3f86e0a9c4d71b2f5e38"_s;

QByteArray commonFields()
{
    return "_uId=&_api_key=" + apiKey.toLatin1() + "&_token=";
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class TestServerApi : public QObject
{
    Q_OBJECT

    TestService m_service{{u"--newest-version"_s, u"2.0.1"_s, u"--newest-url"_s, u"http://127.0.0.1:9/Quillo-2.0.1.zip"_s}};

    void expectRefusal(const TestService::Reply &reply, int code, const QString &mentions = {})
    {
        QVERIFY2(reply.error.isEmpty(), qPrintable(reply.error));
        QCOMPARE(reply.contentType, QByteArray("application/json"));
        QCOMPARE(reply.code(), code);
        QVERIFY2(!reply.message().isEmpty(), reply.body.constData());
        if (!mentions.isEmpty())
            QVERIFY2(reply.message().contains(mentions), qPrintable(reply.message()));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
    }

    void accounts()
    {
        const TestService::Account me = m_service.registerAndLogin(u"Alice@Example.com"_s, u"secret123"_s, u"爱丽丝"_s);
        QVERIFY2(me.valid(), qPrintable(me.error));
        QVERIFY(QRegularExpression(u"^[0-9a-f]{32}$"_s).match(me.userKey).hasMatch());
        QCOMPARE(me.loginData.value(u"name"_s).toString(), u"爱丽丝"_s);
        QCOMPARE(me.loginData.value(u"email"_s).toString(), u"Alice@Example.com"_s);

        // The address is taken whatever its case; the same login answers the same user.
        expectRefusal(m_service.call(u"user/register"_s, {{u"email"_s, u"alice@example.COM"_s}, {u"name"_s, u"x"_s}, {u"password"_s, u"another1"_s}}),
                      1011, u"alice@example.COM"_s);
        const auto again = m_service.call(u"user/login"_s, {{u"email"_s, u"alice@example.com"_s}, {u"password"_s, u"secret123"_s}});
        QCOMPARE(again.code(), 0);
        QCOMPARE(again.data().value(u"userKey"_s).toString(), me.userKey);

        // Wrong password and unknown address get the same answer.
        const auto wrong = m_service.call(u"user/login"_s, {{u"email"_s, me.email}, {u"password"_s, u"secret124"_s}});
        const auto unknown = m_service.call(u"user/login"_s, {{u"email"_s, u"nobody@example.com"_s}, {u"password"_s, u"secret123"_s}});
        expectRefusal(wrong, 1010);
        QCOMPARE(unknown.envelope, wrong.envelope);

        expectRefusal(m_service.call(u"user/register"_s, {{u"email"_s, u"not-an-address"_s}, {u"name"_s, u"x"_s}, {u"password"_s, u"secret123"_s}}), 1004);
        expectRefusal(m_service.call(u"user/register"_s, {{u"email"_s, u"b@example.com"_s}, {u"name"_s, u"x"_s}, {u"password"_s, u"12345"_s}}), 1004, u"6"_s);
        expectRefusal(m_service.call(u"user/register"_s, {{u"email"_s, u"b@example.com"_s}}), 1003); // the client cut the rest off
        expectRefusal(m_service.call(u"user/login"_s, {{u"mobile"_s, u"13800000000"_s}, {u"validCode"_s, u"1234"_s}}), 1050);

        // Passwords are kept as salted hashes only.
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open_v2(QFile::encodeName(m_service.dataDir() + u"/quillo.db"_s).constData(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt *stmt = nullptr;
        QCOMPARE(sqlite3_prepare_v2(db, "SELECT password_hash FROM users WHERE email = 'Alice@Example.com'", -1, &stmt, nullptr), SQLITE_OK);
        QCOMPARE(sqlite3_step(stmt), SQLITE_ROW);
        const QString stored = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        QVERIFY2(stored.startsWith(u"pbkdf2-sha256$"_s) && !stored.contains(u"secret123"_s), qPrintable(stored));
    }

    void passwordRecovery()
    {
        const TestService::Account me = m_service.registerAndLogin();
        QVERIFY2(me.valid(), qPrintable(me.error));
        // An address without an account: the answer of a known one, and no mail.
        QCOMPARE(m_service.call(u"user/forgetPassword"_s, { { u"email"_s, u"stranger@example.com"_s } }).code(), 0);
        QCOMPARE(m_service.outboxFiles().size(), 0);
        expectRefusal(m_service.call(u"user/forgetPassword"_s, { { u"email"_s, u"not-an-address"_s } }), 1004);

        QCOMPARE(m_service.call(u"user/forgetPassword"_s, {{u"email"_s, me.email}}).code(), 0);
        QCOMPARE(m_service.outboxFiles().size(), 1);
        const QString mail = readText(m_service.outboxFiles().constFirst());
        QVERIFY2(mail.contains(u"To: "_s + me.email), qPrintable(mail));
        QVERIFY(m_service.log().contains(me.email.toUtf8()));
        const QRegularExpressionMatch link =
            QRegularExpression(u"http://([^/\\s]+)(/user/resetPassword\\?ticket=([0-9a-f]+))"_s).match(mail);
        QVERIFY2(link.hasMatch(), qPrintable(mail));
        QCOMPARE(link.captured(1), m_service.host());

        QCOMPARE(m_service.get(link.captured(2)).status, 200);
        const QByteArray ticket = link.captured(3).toLatin1();
        const QList<std::pair<QByteArray, QByteArray>> form = {{"Content-Type", "application/x-www-form-urlencoded"}};
        QCOMPARE(m_service.request("POST", u"/user/resetPassword"_s, form, "ticket=" + ticket + "&password=newpass1&confirm=newpass2").status, 400);
        QCOMPARE(m_service.request("POST", u"/user/resetPassword"_s, form, "ticket=" + ticket + "&password=newpass1&confirm=newpass1").status, 200);
        QCOMPARE(m_service.call(u"user/login"_s, {{u"email"_s, me.email}, {u"password"_s, u"newpass1"_s}}).code(), 0);
        QCOMPARE(m_service.call(u"user/login"_s, {{u"email"_s, me.email}, {u"password"_s, me.password}}).code(), 1010);
        // A ticket works once.
        QCOMPARE(m_service.request("POST", u"/user/resetPassword"_s, form, "ticket=" + ticket + "&password=third333&confirm=third333").status, 410);
    }

    void keyAndSession()
    {
        const TestService::Account me = m_service.registerAndLogin();
        QVERIFY2(me.valid(), qPrintable(me.error));
        const auto body = [&](const QByteArray &key, const QString &uid, const QString &token) -> QByteArray {
            return "packageName=com.example.a&type=android&uKey=" + me.userKey.toLatin1() + "&_uId=" + uid.toLatin1()
                + "&_api_key=" + key + "&_token=" + token.toLatin1();
        };
        const auto post = [&](const QByteArray &b) {
            return m_service.request("POST", u"/apiv1/app/uploadPrepare"_s, {{"Content-Type", formType}}, b);
        };
        QCOMPARE(post(body(apiKey.toLatin1(), me.userKey, me.token)).code(), 0);
        expectRefusal(post(body("0123456789abcdef0123456789abcdef", me.userKey, me.token)), 1001);
        expectRefusal(post(body("", me.userKey, me.token)), 1001);
        expectRefusal(post(body(apiKey.toLatin1(), me.userKey, u"0"_s.repeated(32))), 1002);
        expectRefusal(post(body(apiKey.toLatin1(), QString(), QString())), 1002);
        // The user key alone, as _uId and uKey (a CI session without a token), prepares the upload.
        QCOMPARE(post(body(apiKey.toLatin1(), me.userKey, QString())).code(), 0);
        expectRefusal(post(body(apiKey.toLatin1(), u"0"_s.repeated(32), QString())), 1002);
        // Another user's key in uKey.
        const TestService::Account other = m_service.registerAndLogin();
        expectRefusal(m_service.call(u"app/uploadPrepare"_s, {{u"packageName"_s, u"x.y"_s}, {u"type"_s, u"ios"_s}, {u"uKey"_s, other.userKey}}, &me), 1002, u"uKey"_s);
    }

    void prepareAndSuffixCheck()
    {
        const TestService::Account me = m_service.registerAndLogin();
        const auto prepared = m_service.call(u"app/uploadPrepare"_s,
                                             {{u"packageName"_s, u"com.example.Photo-Viewer"_s}, {u"type"_s, u"ios"_s}, {u"uKey"_s, me.userKey}}, &me);
        QCOMPARE(prepared.code(), 0);
        QCOMPARE(prepared.data().value(u"shortcutUrl"_s).toString(), u"photoviewer"_s);
        QVERIFY(!prepared.data().contains(u"parentApp"_s));

        expectRefusal(m_service.call(u"app/uploadPrepare"_s, {{u"packageName"_s, u"a.b"_s}}, &me), 1003, u"type"_s);
        expectRefusal(m_service.call(u"app/uploadPrepare"_s, {{u"packageName"_s, u"a.b"_s}, {u"type"_s, u"mac"_s}, {u"uKey"_s, me.userKey}}, &me), 1004);

        const auto free = m_service.call(u"app/getAppKeyByShortcut"_s, {{u"shortcut"_s, u"photoviewer"_s}}, &me);
        QCOMPARE(free.code(), 0);
        QVERIFY(free.data().value(u"appKey"_s).toString().isEmpty());
        expectRefusal(m_service.call(u"app/getAppKeyByShortcut"_s, {{u"shortcut"_s, u"help"_s}}, &me), 1021, u"help"_s);
        expectRefusal(m_service.call(u"app/getAppKeyByShortcut"_s, {{u"shortcut"_s, u"a b"_s}}, &me), 1021);
        expectRefusal(m_service.call(u"app/getAppKeyByShortcut"_s, {{u"shortcut"_s, u"x"_s}}), 1002); // not logged in
    }

    void versionCheck_data()
    {
        QTest::addColumn<QString>("release");
        QTest::addColumn<bool>("newer");
        QTest::newRow("older") << u"1.9.9"_s << true;
        QTest::newRow("older minor") << u"2.0"_s << true;
        QTest::newRow("same") << u"2.0.1"_s << false;
        QTest::newRow("newer") << u"10.0"_s << false;
    }
    void versionCheck()
    {
        QFETCH(QString, release);
        QFETCH(bool, newer);
        const auto reply = m_service.call(u"desktop/checkNewestVersion"_s, {{u"releaseno"_s, release}, {u"type"_s, u"mac"_s}});
        QCOMPARE(reply.code(), 0);
        QCOMPARE(reply.data().value(u"d_down_url"_s).toString(), newer ? u"http://127.0.0.1:9/Quillo-2.0.1.zip"_s : QString());
        if (!newer)
            QVERIFY(reply.data().isEmpty());
    }

    void launchReportsAndCatalogue()
    {
        const qint64 before = m_service.launchCount(u"first"_s);
        QCOMPARE(m_service.call(u"desktop/firstLaunch"_s, {{u"type"_s, u"mac"_s}}).code(), 0);
        QCOMPARE(m_service.call(u"desktop/firstLaunch"_s, {{u"type"_s, u"mac"_s}}).code(), 0);
        QCOMPARE(m_service.launchCount(u"first"_s), before + 2);
        QCOMPARE(m_service.call(u"desktop/launchLog"_s, {{u"type"_s, u"mac"_s}}).code(), 0);
        QCOMPARE(m_service.launchCount(u"launch"_s), 1);

        QCOMPARE(m_service.call(u"config/constants"_s).code(), 0);
        expectRefusal(m_service.call(u"app/search"_s, {{u"page"_s, u"1"_s}, {u"keyword"_s, u"x"_s}}), 1050, u"app/search"_s);
        expectRefusal(m_service.call(u"user/allCount"_s, {{u"x"_s, u"x"_s}}), 1050);
        expectRefusal(m_service.call(u"nothing/here"_s), 1404, u"nothing/here"_s);
    }

    // Strict mode names what departs from the client's form.
    void strictDepartures_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("named");
        const QByteArray ok = "releaseno=1.0&type=mac&" + commonFields();
        QTest::newRow("plus for a space") << QByteArray("POST") << u"/apiv1/desktop/checkNewestVersion"_s << formType << QByteArray()
                                          << "releaseno=1.0+beta&type=mac&" + commonFields() << u"+"_s;
        QTest::newRow("no charset") << QByteArray("POST") << u"/apiv1/desktop/checkNewestVersion"_s
                                    << QByteArray("application/x-www-form-urlencoded") << QByteArray() << ok
                                    << u"charset=utf-8"_s;
        QTest::newRow("query string") << QByteArray("POST") << u"/apiv1/desktop/checkNewestVersion?x=1"_s << formType << QByteArray() << ok
                                      << u"x=1"_s;
        QTest::newRow("common field missing") << QByteArray("POST") << u"/apiv1/desktop/checkNewestVersion"_s << formType << QByteArray()
                                              << QByteArray("releaseno=1.0&type=mac&_uId=&_api_key=") + apiKey.toLatin1() << u"_token"_s;
        QTest::newRow("field of another operation") << QByteArray("POST") << u"/apiv1/desktop/checkNewestVersion"_s << formType
                                                     << QByteArray() << "releaseno=1.0&type=mac&email=a&" + commonFields() << u"email"_s;
        QTest::newRow("field twice") << QByteArray("POST") << u"/apiv1/desktop/checkNewestVersion"_s << formType << QByteArray()
                                     << "releaseno=1.0&type=mac&type=ios&" + commonFields() << u"type"_s;
        QTest::newRow("json body") << QByteArray("POST") << u"/apiv1/desktop/checkNewestVersion"_s << QByteArray("application/json")
                                   << QByteArray() << QByteArray("{}") << u"application/json"_s;
        QTest::newRow("GET") << QByteArray("GET") << u"/apiv1/config/constants"_s << QByteArray() << QByteArray() << QByteArray() << u"POST"_s;
        QTest::newRow("upload as a form") << QByteArray("POST") << u"/apiv1/app/upload"_s << formType << QByteArray() << ok
                                          << u"Boundary+"_s;
    }
    void strictDepartures()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, body);
        QFETCH(QString, named);
        QList<std::pair<QByteArray, QByteArray>> headers;
        if (!contentType.isEmpty())
            headers.append({"Content-Type", contentType});
        if (!host.isEmpty())
            headers.append({"Host", host});
        const auto reply = m_service.request(method, path, headers, body);
        QVERIFY2(reply.status >= 400 && reply.status < 500, reply.body.constData());
        expectRefusal(reply, 1040, named);
    }

    void multipartApiCall()
    {
        // A form with an attached file travels as the client's multipart: accepted as it is.
        const TestService::Account me = m_service.registerAndLogin();
        const QByteArray boundary = "0xKhTmLbOuNdArY-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
        const auto part = [](const QByteArray &name, const QByteArray &value) -> QByteArray {
            return "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
        };
        const auto body = [&](bool valuesFirst) -> QByteArray {
            QList<QByteArray> parts = {part("email", me.email.toUtf8()), part("password", me.password.toUtf8()), part("_uId", ""),
                                       part("_api_key", apiKey.toLatin1()), part("_token", "")};
            const QByteArray file = "Content-Disposition: form-data; name=\"Filedata\"; filename=\"notes.txt\"\r\n"
                                    "Content-Type: text/plain\r\n\r\nhello\r\n";
            if (valuesFirst)
                parts.append(file);
            else
                parts.prepend(file);
            return "--" + boundary + "\r\n" + parts.join("\r\n--" + boundary + "\r\n") + "\r\n--" + boundary + "--\r\n";
        };
        const QByteArray type = "multipart/form-data; charset=utf-8; boundary=" + boundary;
        const auto accepted = m_service.request("POST", u"/apiv1/user/login"_s, {{"Content-Type", type}}, body(true));
        QCOMPARE(accepted.code(), 0);
        QCOMPARE(accepted.data().value(u"userKey"_s).toString(), me.userKey);
        expectRefusal(m_service.request("POST", u"/apiv1/user/login"_s, {{"Content-Type", type}}, body(false)), 1040, u"email"_s);
        // Cut before the closing boundary.
        const QByteArray whole = body(true);
        expectRefusal(m_service.request("POST", u"/apiv1/user/login"_s, {{"Content-Type", type}}, whole.left(whole.size() - 10)), 1040);
    }

    void badInputGetsAnEnvelope()
    {
        const auto post = [&](const QString &path, const QByteArray &type, const QByteArray &body) {
            return m_service.request("POST", path, {{"Content-Type", type}}, body);
        };
        // An oversized form and an oversized field.
        expectRefusal(post(u"/apiv1/user/login"_s, formType, "email=" + QByteArray(2 * 1024 * 1024, 'a') + "&" + commonFields()), 1004);
        const QByteArray boundary = "0xKhTmLbOuNdArY-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
        expectRefusal(post(u"/apiv1/user/login"_s, "multipart/form-data; charset=utf-8; boundary=" + boundary,
                           "--" + boundary + "\r\nContent-Disposition: form-data; name=\"email\"\r\n\r\n" + QByteArray(100 * 1024, 'a')
                               + "\r\n--" + boundary + "--\r\n"),
                      1004, u"email"_s);
        // Binary garbage, a multipart body that is not one, an upload that is not multipart.
        QByteArray garbage(4096, '\0');
        for (int i = 0; i < garbage.size(); ++i)
            garbage[i] = char((i * 7919) % 251);
        expectRefusal(post(u"/apiv1/user/login"_s, formType, garbage), 1040);
        expectRefusal(post(u"/apiv1/user/login"_s, "multipart/form-data; charset=utf-8; boundary=" + boundary, garbage), 1040);
        expectRefusal(post(u"/apiv1/app/upload"_s, "text/plain", "hello"), 1040, u"multipart/form-data"_s);
        // Paths that are not operations.
        expectRefusal(post(u"/apiv1/user"_s, formType, commonFields()), 1404);
        expectRefusal(post(u"/apiv1/../etc/passwd"_s, formType, commonFields()), 1404);

        // Still serving.
        QCOMPARE(m_service.call(u"config/constants"_s).code(), 0);
        QVERIFY(m_service.isRunning());
    }

    void bodiesWithoutLength()
    {
        // No Content-Length and no chunking: answered at once instead of waiting for the peer to close.
        RawConnection connection(m_service.port());
        QVERIFY(connection.isOpen());
        QElapsedTimer timer;
        timer.start();
        connection.send("POST /apiv1/config/constants HTTP/1.1\r\nHost: " + m_service.host().toLatin1() + "\r\nContent-Type: " + formType + "\r\n\r\n");
        const QByteArray reply = connection.receive(5000, "}");
        QVERIFY2(reply.startsWith("HTTP/1.1 411"), reply.constData());
        QVERIFY(timer.elapsed() < 3000);

        // Chunked: the client always states the length, so strict mode refuses it.
        RawConnection chunked(m_service.port());
        chunked.send("POST /apiv1/config/constants HTTP/1.1\r\nHost: " + m_service.host().toLatin1() + "\r\nContent-Type: " + formType
                     + "\r\nTransfer-Encoding: chunked\r\n\r\n" + QByteArray::number(commonFields().size(), 16) + "\r\n" + commonFields()
                     + "\r\n0\r\n\r\n");
        const QByteArray refused = chunked.receive(5000, "}");
        QVERIFY2(refused.contains("\"code\":1040") && refused.contains("Content-Length"), refused.constData());
    }

    void earlyRefusalBeforeTheBody()
    {
        // A declared body over the limit is refused on "Expect: 100-continue" before it is sent;
        // the answer carries its own length so the client can read it, then the connection ends.
        RawConnection connection(m_service.port());
        connection.send("POST /apiv1/app/upload HTTP/1.1\r\nHost: " + m_service.host().toLatin1()
                        + "\r\nContent-Type: multipart/form-data; boundary=Boundary+0123456789ABCDEF"
                          "\r\nContent-Length: 99999999999\r\nExpect: 100-continue\r\n\r\n");
        const QByteArray reply = connection.receive(5000);
        QVERIFY2(reply.startsWith("HTTP/1.1 413"), reply.constData());
        QVERIFY(!reply.contains("100 Continue"));
        const qsizetype split = reply.indexOf("\r\n\r\n");
        const QByteArray head = reply.left(split).toLower();
        const QByteArray body = reply.mid(split + 4);
        const QRegularExpression length(u"content-length: (\\d+)"_s);
        const auto m = length.match(QString::fromLatin1(head));
        QVERIFY2(m.hasMatch(), head.constData());
        QCOMPARE(m.captured(1).toLongLong(), body.size());
        QVERIFY2(body.contains("\"code\":1032"), body.constData());
        QVERIFY(connection.peerClosed());
        QVERIFY(m_service.temporaryFiles().isEmpty());
    }

    void chunkedUploadOverTheLimit()
    {
        // A chunked body declares no length, so the limit is counted as it arrives.
        TestService lenient({u"--max-upload-mb"_s, u"1"_s}, false);
        QVERIFY2(lenient.start(), qPrintable(lenient.errorString()));
        const TestService::Account me = lenient.registerAndLogin();
        QVERIFY2(me.valid(), qPrintable(me.error));
        const QString boundary = TestService::newUploadBoundary();
        const QByteArray body = TestService::uploadBody(TestService::uploadFields(me), u"big.apk"_s, QByteArray(3 * 1024 * 1024, 'x'), boundary);
        RawConnection connection(lenient.port());
        QByteArray request = "POST /apiv1/app/upload HTTP/1.1\r\nHost: " + lenient.host().toLatin1()
            + "\r\nContent-Type: multipart/form-data; boundary=" + boundary.toLatin1() + "\r\nTransfer-Encoding: chunked\r\n\r\n";
        for (qsizetype at = 0; at < body.size(); at += 64 * 1024) {
            const QByteArray chunk = body.mid(at, 64 * 1024);
            request += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
        }
        request += "0\r\n\r\n";
        connection.send(request);
        const QByteArray reply = connection.receive(10000, "}");
        QVERIFY2(reply.startsWith("HTTP/1.1 413") && reply.contains("\"code\":1032"), reply.left(400).constData());
        QTRY_VERIFY_WITH_TIMEOUT(lenient.temporaryFiles().isEmpty(), 5000);
        QVERIFY(lenient.packageFiles().isEmpty());
        QVERIFY(lenient.log().contains("refused 1032"));
    }

    void lenientModeAndPortInUse()
    {
        // TestService always adds --strict, so the program is run directly here.
        QProcess server;
        const QString dataDir = TestEnvironment::path(u"lenient/data"_s);
        server.start(TestEnvironment::binDir() + u"/quillo-server"_s, {u"--listen"_s, u"127.0.0.1:0"_s, u"--data"_s, dataDir});
        QVERIFY(server.waitForReadyRead(20000));
        const QByteArray first = server.readLine().trimmed();
        QVERIFY2(first.startsWith("listening on http://127.0.0.1:"), first.constData());
        const QByteArray port = first.mid(first.lastIndexOf(':') + 1);

        QProcess curl;
        curl.start(u"curl"_s, {u"-s"_s, u"http://127.0.0.1:%1/apiv1/config/constants?_api_key=%2"_s.arg(QString::fromLatin1(port), apiKey)});
        QVERIFY(curl.waitForFinished(20000));
        QVERIFY2(curl.readAllStandardOutput().contains("\"code\":0"), "a GET with a query works when not strict");

        curl.start(u"curl"_s, {u"-s"_s, u"--data"_s, u"_api_key=%1&releaseno=1.0+beta"_s.arg(apiKey),
                               u"http://127.0.0.1:%1/apiv1/desktop/checkNewestVersion"_s.arg(QString::fromLatin1(port))});
        QVERIFY(curl.waitForFinished(20000));
        QVERIFY(curl.readAllStandardOutput().contains("\"code\":0"));

        // A second server on the same port fails instead of sharing it.
        QProcess second;
        second.start(TestEnvironment::binDir() + u"/quillo-server"_s,
                     {u"--listen"_s, u"127.0.0.1:"_s + QString::fromLatin1(port), u"--data"_s, TestEnvironment::path(u"second/data"_s)});
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardError().contains("port in use"));

        server.terminate();
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.exitCode(), 0);
    }

    void demoAccountAndCleanStop()
    {
        TestService demo({u"--seed-demo"_s});
        QVERIFY2(demo.start(), qPrintable(demo.errorString()));
        const QList<QByteArray> lines = demo.output().split('\n');
        QVERIFY(lines.size() >= 2);
        const QRegularExpressionMatch m = QRegularExpression(u"^demo account: (\\S+) / (\\S+)$"_s).match(QString::fromUtf8(lines.at(1)));
        QVERIFY2(m.hasMatch(), lines.at(1).constData());
        const auto login = demo.call(u"user/login"_s, {{u"email"_s, m.captured(1)}, {u"password"_s, m.captured(2)}});
        QCOMPARE(login.code(), 0);
        QCOMPARE(demo.stop(), 0);

        // Seeding again on the same data keeps one account and the same key.
        TestService again({u"--seed-demo"_s, u"--data"_s, demo.dataDir()});
        QVERIFY2(again.start(), qPrintable(again.errorString()));
        const auto relogin = again.call(u"user/login"_s, {{u"email"_s, m.captured(1)}, {u"password"_s, m.captured(2)}});
        QCOMPARE(login.data().value(u"userKey"_s).toString().size(), 32);
        QCOMPARE(relogin.data().value(u"userKey"_s), login.data().value(u"userKey"_s));
        QCOMPARE(again.call(u"user/register"_s, {{u"email"_s, m.captured(1)}, {u"name"_s, u"x"_s}, {u"password"_s, u"secret123"_s}}).code(), 1011);
    }

    void cleanupTestCase()
    {
        QVERIFY(m_service.isRunning()); // nothing above brought it down
        QCOMPARE(m_service.stop(), 0);
    }
};

QUILLO_TEST_MAIN(TestServerApi)
#include "tst_serverapi.moc"
