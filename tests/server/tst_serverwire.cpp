// The stand-in service's rules for the client's wire format, and the small pure pieces it is
// built from (password hashes, version order, suffixes, the QR code on the download page).
#include "server/ApiService.h"
#include "server/HostPolicy.h"
#include "server/Pages.h"
#include "server/Passwords.h"
#include "server/ServerOptions.h"
#include "server/Store.h"
#include "server/WireRules.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <sqlite3.h>

using namespace Qt::StringLiterals;

class TestServerWire : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void clientEncodingIsAccepted()
    {
        // What the client writes for awkward values parses back to them under the strict rule.
        const TestService::Fields sent = {{u"k"_s, u"a b&c~"_s},
                                          {u"name"_s, u"中文 名字"_s},
                                          {u"sym"_s, u"!*'();:@&=+$,/?%#[]"_s},
                                          {u"empty"_s, QString()}};
        const QByteArray body = TestService::formBody(sent);
        QVERIFY(body.startsWith("k=a%20b%26c%7E&"));
        FormFields fields;
        QCOMPARE(WireRules::parseUrlEncoded(body, true, &fields), QString());
        QCOMPARE(fields.items(), sent);
    }

    void urlEncodedDepartures_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("named"); // a piece the refusal must mention
        QTest::newRow("plus for space") << QByteArray("a=x+y") << u"+"_s;
        QTest::newRow("lower-case hex") << QByteArray("a=%e4%b8%ad") << u"%E4"_s;
        QTest::newRow("letter encoded") << QByteArray("a=%41") << u"A"_s;
        QTest::newRow("raw tilde") << QByteArray("a=x~") << u"%7E"_s;
        QTest::newRow("raw at") << QByteArray("email=a@b.cn") << u"%40"_s;
        QTest::newRow("trailing ampersand") << QByteArray("a=1&") << u"&"_s;
        QTest::newRow("empty pair") << QByteArray("a=1&&b=2") << u"&"_s;
        QTest::newRow("no equals") << QByteArray("a=1&b") << u"="_s;
        QTest::newRow("cut escape") << QByteArray("a=%E") << u"%"_s;
        QTest::newRow("raw non-ascii") << QByteArray("a=\xe4\xb8\xad") << u"%E4"_s;
        QTest::newRow("bad utf-8") << QByteArray("a=%FF") << u"UTF-8"_s;
    }
    void urlEncodedDepartures()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, named);
        FormFields fields;
        const QString departure = WireRules::parseUrlEncoded(body, true, &fields);
        QVERIFY2(departure.contains(named), qPrintable(departure));
    }

    void lenientDecoding()
    {
        FormFields fields;
        QCOMPARE(WireRules::parseUrlEncoded("a=x+y&b=%e4%b8%ad&c=~&&d", false, &fields), QString());
        QCOMPARE(fields.text(u"a"_s), u"x y"_s);
        QCOMPARE(fields.text(u"b"_s), u"中"_s);
        QCOMPARE(fields.text(u"c"_s), u"~"_s);
        QVERIFY(fields.has(u"d"_s));
    }

    void contentTypes_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<QString>("contentType");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("form") << false << u"application/x-www-form-urlencoded; charset=utf-8"_s << true;
        QTest::newRow("form without charset") << false << u"application/x-www-form-urlencoded"_s << false;
        QTest::newRow("form upper-case charset") << false << u"application/x-www-form-urlencoded; charset=UTF-8"_s << false;
        QTest::newRow("api multipart")
            << false << u"multipart/form-data; charset=utf-8; boundary=0xKhTmLbOuNdArY-1B4E28BA-2FA1-11D2-883F-0016D3CCA427"_s << true;
        QTest::newRow("api multipart lower-case uuid")
            << false << u"multipart/form-data; charset=utf-8; boundary=0xKhTmLbOuNdArY-1b4e28ba-2fa1-11d2-883f-0016d3cca427"_s << false;
        QTest::newRow("api multipart other boundary") << false << u"multipart/form-data; boundary=xyz"_s << false;
        QTest::newRow("json") << false << u"application/json"_s << false;
        QTest::newRow("upload") << true << u"multipart/form-data; boundary=Boundary+0123456789ABCDEF"_s << true;
        QTest::newRow("upload lower-case hex") << true << u"multipart/form-data; boundary=Boundary+0123456789abcdef"_s << false;
        QTest::newRow("upload 15 digits") << true << u"multipart/form-data; boundary=Boundary+0123456789ABCDE"_s << false;
        QTest::newRow("upload with charset") << true << u"multipart/form-data; charset=utf-8; boundary=Boundary+0123456789ABCDEF"_s << false;
        QTest::newRow("upload with api boundary")
            << true << u"multipart/form-data; boundary=0xKhTmLbOuNdArY-1B4E28BA-2FA1-11D2-883F-0016D3CCA427"_s << false;
    }
    void contentTypes()
    {
        QFETCH(bool, upload);
        QFETCH(QString, contentType);
        QFETCH(bool, accepted);
        const QString departure = upload ? WireRules::checkUploadContentType(contentType) : WireRules::checkApiContentType(contentType);
        QCOMPARE(departure.isEmpty(), accepted);
        if (!accepted)
            QVERIFY2(departure.contains(contentType), qPrintable(departure));
    }

    void operationFields_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("accepted");
        const QStringList common = {u"_uId"_s, u"_api_key"_s, u"_token"_s};
        QTest::newRow("register whole") << u"user/register"_s << common + QStringList{u"email"_s, u"name"_s, u"password"_s} << true;
        QTest::newRow("register cut after email") << u"user/register"_s << common + QStringList{u"email"_s} << true;
        QTest::newRow("register without email") << u"user/register"_s << common + QStringList{u"name"_s, u"password"_s} << false;
        QTest::newRow("login by mail") << u"user/login"_s << common + QStringList{u"email"_s, u"password"_s} << true;
        QTest::newRow("login by mobile") << u"user/login"_s << common + QStringList{u"mobile"_s, u"validCode"_s} << true;
        QTest::newRow("login mobile alone") << u"user/login"_s << common + QStringList{u"mobile"_s} << false;
        QTest::newRow("prepare, nothing") << u"app/uploadPrepare"_s << common << true;
        QTest::newRow("prepare with extra") << u"app/uploadPrepare"_s << common + QStringList{u"packageName"_s, u"x"_s} << false;
        QTest::newRow("constants") << u"config/constants"_s << common << true;
        QTest::newRow("constants with a field") << u"config/constants"_s << common + QStringList{u"type"_s} << false;
        QTest::newRow("version check") << u"desktop/checkNewestVersion"_s << common + QStringList{u"releaseno"_s, u"type"_s} << true;
        QTest::newRow("search needs both") << u"app/search"_s << common + QStringList{u"page"_s} << false;
        QTest::newRow("not in the catalogue") << u"foo/bar"_s << QStringList{u"anything"_s} << true;
    }
    void operationFields()
    {
        QFETCH(QString, path);
        QFETCH(QStringList, names);
        QFETCH(bool, accepted);
        FormFields fields;
        for (const QString &name : names)
            fields.append(name, u"v"_s);
        QCOMPARE(WireRules::checkOperationFields(path, fields).isEmpty(), accepted);
    }

    void commonFieldsAndDuplicates()
    {
        FormFields fields;
        fields.append(u"_uId"_s, QString());
        fields.append(u"_api_key"_s, u"k"_s);
        QVERIFY(WireRules::checkCommonFields(fields).contains(u"_token"_s));
        fields.append(u"_token"_s, QString());
        QCOMPARE(WireRules::checkCommonFields(fields), QString());
        QCOMPARE(WireRules::checkNoDuplicates(fields), QString());
        fields.append(u"_uId"_s, u"x"_s);
        QVERIFY(WireRules::checkNoDuplicates(fields).contains(u"_uId"_s));
    }

    void hostHeader_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<quint16>("port");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("address and port") << u"127.0.0.1:8690"_s << quint16(8690) << true;
        QTest::newRow("localhost") << u"localhost:8690"_s << quint16(8690) << true;
        QTest::newRow("other port") << u"127.0.0.1:8691"_s << quint16(8690) << false;
        QTest::newRow("port missing") << u"127.0.0.1"_s << quint16(8690) << false;
        QTest::newRow("other name") << u"example.com:8690"_s << quint16(8690) << false;
        QTest::newRow("absent") << QString() << quint16(8690) << false;
        QTest::newRow("port 80 implied") << u"127.0.0.1"_s << quint16(80) << true;
    }
    void hostHeader()
    {
        QFETCH(QString, host);
        QFETCH(quint16, port);
        QFETCH(bool, accepted);
        QCOMPARE(WireRules::checkHost(host, u"127.0.0.1"_s, port, false).isEmpty(), accepted);
    }

    // Which Host headers name the service, for a server on 127.0.0.1:8690 and one on every address.
    void hostPolicy_data()
    {
        QTest::addColumn<QString>("listen");
        QTest::addColumn<QStringList>("extra"); // further arguments
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("accepted");
        const QString loopback = u"127.0.0.1:8690"_s;
        QTest::newRow("listening address") << loopback << QStringList() << u"127.0.0.1:8690"_s << true;
        QTest::newRow("localhost") << loopback << QStringList() << u"LocalHost:8690"_s << true;
        QTest::newRow("a rebound name") << loopback << QStringList() << u"evil.example:8690"_s << false;
        QTest::newRow("another loopback address") << loopback << QStringList() << u"127.0.0.2:8690"_s << false;
        QTest::newRow("allowed name, any port")
            << loopback << QStringList { u"--allow-host"_s, u"quillo.lan"_s } << u"QUILLO.lan:9"_s << true;
        QTest::newRow("allowed name, other port")
            << loopback << QStringList { u"--allow-host"_s, u"quillo.lan:8690"_s } << u"quillo.lan:9"_s << false;
        QTest::newRow("allowed name, default port")
            << loopback << QStringList { u"--allow-host"_s, u"quillo.lan:443"_s } << u"quillo.lan"_s << true;
        QTest::newRow("public url") << loopback << QStringList { u"--public-url"_s, u"https://q.example.com"_s }
                                    << u"q.example.com"_s << true;
        QTest::newRow("any") << loopback << QStringList { u"--allow-host"_s, u"*"_s } << u"whatever:1"_s << true;
        const QStringList everywhere = { u"--allow-non-loopback"_s, u"--public-url"_s, u"http://quillo.lan:8690"_s };
        QTest::newRow("everywhere, an address") << u"0.0.0.0:8690"_s << everywhere << u"192.168.7.9:8690"_s << true;
        QTest::newRow("everywhere, a v6 address") << u"[::]:8690"_s << everywhere << u"[fe80::1]:8690"_s << true;
        QTest::newRow("everywhere, address and other port")
            << u"0.0.0.0:8690"_s << everywhere << u"192.168.7.9:80"_s << false;
        QTest::newRow("everywhere, a rebound name")
            << u"0.0.0.0:8690"_s << everywhere << u"evil.example:8690"_s << false;
        QTest::newRow("everywhere, the public name") << u"0.0.0.0:8690"_s << everywhere << u"quillo.lan:8690"_s << true;
        QTest::newRow("absent") << loopback << QStringList() << QString() << false;
    }
    void hostPolicy()
    {
        QFETCH(QString, listen);
        QFETCH(QStringList, extra);
        QFETCH(QString, host);
        QFETCH(bool, accepted);
        QString error;
        const auto options = ServerOptions::parse(QStringList { u"--listen"_s, listen } + extra, &error);
        QVERIFY2(options, qPrintable(error));
        const HostPolicy policy(*options, options->resolvedPublicUrl(8690), 8690);
        const QString refusal = policy.check(host);
        QVERIFY2(refusal.isEmpty() == accepted, qPrintable(refusal));
        if (!accepted && !host.isEmpty())
            QVERIFY2(refusal.contains(host), qPrintable(refusal));
    }

    // A database of the first schema gets an invitation key for each application, and keeps the rest.
    void olderDatabaseGetsInvitationKeys()
    {
        const QString path = TestEnvironment::path(u"schema1/quillo.db"_s);
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        const char *schema1
            = "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
              "INSERT INTO meta VALUES('schema_version', '1');"
              "CREATE TABLE users(id INTEGER PRIMARY KEY, user_key TEXT NOT NULL UNIQUE, email TEXT NOT NULL UNIQUE "
              "COLLATE NOCASE,"
              " name TEXT NOT NULL, password_hash TEXT NOT NULL, token TEXT NOT NULL, created_at INTEGER NOT NULL);"
              "INSERT INTO users VALUES(1, 'k1', 'a@b.cn', 'a', 'h', 't', 0);"
              "CREATE TABLE apps(id INTEGER PRIMARY KEY, app_key TEXT NOT NULL UNIQUE, user_id INTEGER NOT NULL "
              "REFERENCES users(id),"
              " package_name TEXT NOT NULL, platform TEXT NOT NULL, shortcut TEXT NOT NULL UNIQUE COLLATE NOCASE, name "
              "TEXT NOT NULL,"
              " is_publish_to_public TEXT NOT NULL, password TEXT NOT NULL, publish_range TEXT NOT NULL,"
              " created_at INTEGER NOT NULL, updated_at INTEGER NOT NULL, UNIQUE(user_id, package_name, platform));"
              "INSERT INTO apps VALUES(1, 'a1', 1, 'org.one', 'ios', 'one', 'One', '1', 'pw', '3', 0, 0);"
              "INSERT INTO apps VALUES(2, 'a2', 1, 'org.two', 'ios', 'two', 'Two', '1', '', '2', 0, 0);";
        QCOMPARE(sqlite3_exec(db, schema1, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);

        Store store;
        QString error;
        QVERIFY2(store.open(path, &error), qPrintable(error));
        const auto one = store.appByShortcut(u"one"_s);
        const auto two = store.appByShortcut(u"two"_s);
        QVERIFY(one && two);
        QVERIFY(QRegularExpression(u"^[0-9a-f]{32}$"_s).match(one->inviteKey).hasMatch());
        QVERIFY(two->inviteKey.size() == 32 && two->inviteKey != one->inviteKey);
        QCOMPARE(one->password, u"pw"_s);
        QCOMPARE(ApiService::pageAddress(*one), u"one/"_s + one->inviteKey);
        QCOMPARE(ApiService::pageAddress(*two), u"two"_s);
        QCOMPARE(store.userByKey(u"k1"_s)->email, u"a@b.cn"_s);
        QCOMPARE(store.setting(u"schema_version"_s), u"2"_s);
    }

    void uploadPartOrder()
    {
        const QStringList names = WireRules::uploadFieldNames();
        QStringList sorted = names;
        std::sort(sorted.begin(), sorted.end()); // plain code-unit order
        QCOMPARE(names, sorted);

        WireRules::UploadParts good(true);
        for (const QString &name : names)
            QCOMPARE(good.onPart(name, QString(), QString()), QString());
        QCOMPARE(good.onPart(u"file"_s, u"myipa"_s, u"application/iphone-package-archive"_s), QString());
        QVERIFY(good.inFilePart());
        QCOMPARE(good.finish(), QString());
        QVERIFY(good.onPart(u"extra"_s, QString(), QString()).contains(u"extra"_s));

        WireRules::UploadParts swapped(true);
        QCOMPARE(swapped.onPart(u"_api_key"_s, QString(), QString()), QString());
        const QString departure = swapped.onPart(u"name"_s, QString(), QString());
        QVERIFY2(departure.contains(u"isPublishToPublic"_s) && departure.contains(u"name"_s), qPrintable(departure));

        WireRules::UploadParts wrongType(true);
        for (const QString &name : names)
            wrongType.onPart(name, QString(), QString());
        QVERIFY(wrongType.onPart(u"file"_s, u"a.apk"_s, u"application/iphone-package-archive"_s)
                    .contains(u"application/vnd.android.package-archive"_s));

        WireRules::UploadParts textWithType(true);
        QVERIFY(!textWithType.onPart(u"_api_key"_s, QString(), u"text/plain"_s).isEmpty());

        WireRules::UploadParts noFile(true);
        for (const QString &name : names)
            noFile.onPart(name, QString(), QString());
        QVERIFY(noFile.finish().contains(u"file"_s));

        // Lenient: any order, but the file must come, once.
        WireRules::UploadParts lenient(false);
        QCOMPARE(lenient.onPart(u"uKey"_s, QString(), QString()), QString());
        QCOMPARE(lenient.onPart(u"file"_s, u"a.apk"_s, QString()), QString());
        QVERIFY(!lenient.onPart(u"file"_s, u"b.apk"_s, QString()).isEmpty());
        QCOMPARE(lenient.finish(), QString());
    }

    void apiMultipartParts()
    {
        WireRules::ApiParts parts;
        QCOMPARE(parts.onPart(u"a"_s, QString(), QString()), QString());
        QCOMPARE(parts.onPart(u"Filedata"_s, u"x.png"_s, u"image/png"_s), QString());
        QCOMPARE(parts.onPart(u"image[]"_s, u"image.jpg"_s, u"image/jpeg"_s), QString());
        QVERIFY(!parts.onPart(u"b"_s, QString(), QString()).isEmpty());         // value after a file
        QVERIFY(!parts.onPart(u"Filedata"_s, u"y"_s, u"text/plain"_s).isEmpty()); // a second file, after images
        WireRules::ApiParts other;
        QVERIFY(other.onPart(u"upload"_s, u"f"_s, u"text/plain"_s).contains(u"upload"_s));
    }

    void passwords()
    {
        const QString stored = Passwords::hash(u"秘密 password"_s, 1000);
        QVERIFY(stored.startsWith(u"pbkdf2-sha256$1000$"_s));
        QVERIFY(!stored.contains(u"password"_s));
        QVERIFY(Passwords::verify(u"秘密 password"_s, stored));
        QVERIFY(!Passwords::verify(u"秘密 passwore"_s, stored));
        QVERIFY(stored != Passwords::hash(u"秘密 password"_s, 1000)); // salted
        QVERIFY(!Passwords::verify(u"x"_s, u"plain-text"_s));
        QVERIFY(!Passwords::verify(u"x"_s, u"pbkdf2-sha256$0$AAAA$AAAA"_s));
        QCOMPARE(Passwords::randomKey(32).size(), 32);
        QVERIFY(QRegularExpression(u"^[0-9a-f]{32}$"_s).match(Passwords::randomKey(32)).hasMatch());
    }

    void versionsAndSuffixes()
    {
        QCOMPARE(ApiService::compareVersions(u"1.10"_s, u"1.9"_s), 1);
        QCOMPARE(ApiService::compareVersions(u"2.0"_s, u"2.0.0"_s), 0);
        QCOMPARE(ApiService::compareVersions(u"2.0.1"_s, u"2.0"_s), 1);
        QCOMPARE(ApiService::compareVersions(u"1.2b"_s, u"1.3"_s), -1);
        QCOMPARE(ApiService::compareVersions(u"abc"_s, u"0"_s), 0);

        QCOMPARE(ApiService::checkShortcut(u"my-App_2"_s), QString());
        QVERIFY(!ApiService::checkShortcut(u"help"_s).isEmpty());
        QVERIFY(!ApiService::checkShortcut(u"APIV1"_s).isEmpty());
        QVERIFY(!ApiService::checkShortcut(u"-x"_s).isEmpty());
        QVERIFY(!ApiService::checkShortcut(u"a/b"_s).isEmpty());
        QVERIFY(!ApiService::checkShortcut(u"中文"_s).isEmpty());
        QVERIFY(!ApiService::checkShortcut(QString(65, u'a')).isEmpty());

        // Proposals come from the identifier's last part and skip the suffixes in use.
        Store store;
        QString error;
        QVERIFY2(store.open(TestEnvironment::path(u"proposal/quillo.db"_s), &error), qPrintable(error));
        ApiService api(store, {});
        QCOMPARE(api.proposeShortcut(u"com.example.Demo-App"_s), u"demoapp"_s);
        QCOMPARE(api.proposeShortcut(u"com.example.help"_s), u"app"_s);
        Store::User user;
        QCOMPARE(store.addUser(u"a@b.cn"_s, u"a"_s, u"h"_s, &user), Store::Result::Ok);
        Store::Publication p;
        p.userId = user.id;
        p.packageName = u"org.other.demoapp"_s;
        p.platform = u"android"_s;
        p.shortcut = u"DemoApp"_s;
        p.release.releaseKey = u"r1"_s;
        QCOMPARE(store.publish(p, nullptr), Store::Result::Ok);
        QCOMPARE(api.proposeShortcut(u"com.example.Demo-App"_s), u"demoapp2"_s); // suffixes ignore case
        // The same suffix for another application is a conflict, and nothing of it is kept.
        p.packageName = u"org.third"_s;
        p.release.releaseKey = u"r2"_s;
        QCOMPARE(store.publish(p, nullptr), Store::Result::Conflict);
        QVERIFY(!store.appFor(user.id, u"org.third"_s, u"android"_s));
        QCOMPARE(store.allReleases().size(), 1);
    }

    void listenAddresses()
    {
        QString error;
        auto parsed = ServerOptions::parse({u"--listen"_s, u"127.0.0.1:0"_s}, &error);
        QVERIFY(parsed);
        QCOMPARE(parsed->listenPort, quint16(0));
        parsed = ServerOptions::parse({u"--listen"_s, u"[::1]:9000"_s}, &error);
        QVERIFY(parsed);
        QCOMPARE(parsed->listenHost, u"::1"_s);
        QCOMPARE(parsed->urlHost(), u"[::1]"_s);
        QVERIFY(!ServerOptions::parse({u"--listen"_s, u"0.0.0.0:8690"_s}, &error));
        QVERIFY2(error.contains(u"--allow-non-loopback"_s), qPrintable(error));
        QVERIFY(!ServerOptions::parse({u"--listen"_s, u"192.168.1.2:8690"_s}, &error));
        // Every address: mails and pages need the address clients use.
        QVERIFY(!ServerOptions::parse({ u"--listen"_s, u"0.0.0.0:8690"_s, u"--allow-non-loopback"_s }, &error));
        QVERIFY2(error.contains(u"--public-url"_s), qPrintable(error));
        parsed = ServerOptions::parse({ u"--listen"_s, u"0.0.0.0:8690"_s, u"--allow-non-loopback"_s, u"--public-url"_s,
                                          u"http://Quillo.LAN:8690/"_s },
            &error);
        QVERIFY2(parsed, qPrintable(error));
        QCOMPARE(parsed->publicUrl, u"http://quillo.lan:8690"_s);
        for (const QString &bad :
            { u"ftp://quillo.lan"_s, u"http://quillo.lan/base"_s, u"http://u:p@quillo.lan"_s, u"quillo.lan"_s })
            QVERIFY2(!ServerOptions::parse({ u"--public-url"_s, bad }, &error), qPrintable(bad));
        QVERIFY(!ServerOptions::parse({ u"--allow-host"_s, u"a b"_s }, &error));
        QVERIFY(!ServerOptions::parse({u"--listen"_s, u"127.0.0.1:99999"_s}, &error));
        QVERIFY(!ServerOptions::parse({u"--newest-version"_s, u"2.0"_s}, &error)); // without its URL
        parsed = ServerOptions::parse({}, &error);
        QVERIFY(parsed);
        QCOMPARE(parsed->listenHost, u"127.0.0.1"_s);
        QCOMPARE(parsed->listenPort, quint16(8690));
        QVERIFY(!parsed->strict);
    }

    void qrCodeDecodesToTheAddress()
    {
        const QString zbarimg = QStandardPaths::findExecutable(u"zbarimg"_s);
        QVERIFY2(!zbarimg.isEmpty(), "zbarimg is missing: install zbar-tools (scripts/bootstrap.sh)");
        const QString url = u"http://127.0.0.1:8690/demo-App_1"_s;
        const QString svg = Pages::qrSvg(url);
        // Draw the modules of the path into a grey-map, eight pixels each, and let zbar read it.
        const QRegularExpression box(u"viewBox=\"0 0 (\\d+) (\\d+)\""_s);
        const int size = box.match(svg).captured(1).toInt();
        QVERIFY(size > 21);
        const int scale = 8;
        QByteArray pixels(size * scale * size * scale, char(255));
        const QRegularExpression module(u"M(\\d+) (\\d+)h1v1h-1z"_s);
        int count = 0;
        for (auto it = module.globalMatch(svg); it.hasNext(); ++count) {
            const auto m = it.next();
            const int x = m.captured(1).toInt();
            const int y = m.captured(2).toInt();
            for (int dy = 0; dy < scale; ++dy)
                std::memset(pixels.data() + (y * scale + dy) * size * scale + x * scale, 0, scale);
        }
        QVERIFY(count > 100);
        const QString image = TestEnvironment::path(u"qr/code.pgm"_s);
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("P5\n" + QByteArray::number(size * scale) + ' ' + QByteArray::number(size * scale) + "\n255\n" + pixels);
        file.close();
        QProcess zbar;
        zbar.start(zbarimg, {u"--raw"_s, u"-q"_s, image});
        QVERIFY(zbar.waitForFinished(20000));
        QCOMPARE(QString::fromUtf8(zbar.readAllStandardOutput()).trimmed(), url);
    }
};

QUILLO_TEST_MAIN(TestServerWire)
#include "tst_serverwire.moc"
