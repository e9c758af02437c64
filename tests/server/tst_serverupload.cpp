// Packages through the running quillo-server: uploads of real .apk and .ipa files, the download
// page and the download itself, concurrent uploads, uploads cut off or refused.
#include "tests/server/Packages.h"
#include "tests/server/RawConnection.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <thread>

using namespace Qt::StringLiterals;

namespace {

using Fixtures::readAll;

QByteArray uploadHead(const TestService &service, const QString &boundary, qint64 length)
{
    return "POST /apiv1/app/upload HTTP/1.1\r\nHost: " + service.host().toLatin1()
        + "\r\nContent-Type: multipart/form-data; boundary=" + boundary.toLatin1() + "\r\nContent-Length: " + QByteArray::number(length)
        + "\r\n\r\n";
}

} // namespace

class TestServerUpload : public QObject
{
    Q_OBJECT

    TestService m_service{{u"--read-timeout"_s, u"2"_s}};
    TestService::Account m_alice;
    TestService::Account m_bob;
    QString m_folder;
    QString m_apk;
    QString m_ipa;

    QString make(bool ipa, const Packages::Identity &identity)
    {
        QString error;
        const QString folder = TestEnvironment::path(u"packages/%1/x"_s.arg(identity.id));
        const QString path = ipa ? Packages::makeIpa(QFileInfo(folder).absolutePath(), identity, &error)
                                 : Packages::makeApk(QFileInfo(folder).absolutePath(), identity, &error);
        if (path.isEmpty())
            qWarning("%s", qPrintable(error));
        return path;
    }

    // Nothing half-received stays behind, and nothing new was stored.
    void expectNothingLeft(qsizetype releases, qsizetype packages)
    {
        QTRY_VERIFY_WITH_TIMEOUT(m_service.temporaryFiles().isEmpty(), 8000);
        QCOMPARE(m_service.releases().size(), releases);
        QCOMPARE(m_service.packageFiles().size(), packages);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_alice = m_service.registerAndLogin();
        m_bob = m_service.registerAndLogin();
        QVERIFY2(m_alice.valid() && m_bob.valid(), qPrintable(m_alice.error + m_bob.error));
        m_apk = make(false, {u"com.example.roundtrip"_s, u"1.2.3"_s, u"45"_s, u"往返应用"_s, 300 * 1024});
        m_ipa = make(true, {u"com.example.photos"_s, u"1.0"_s, u"7"_s, u"Photos"_s, 200 * 1024});
        QVERIFY(!m_apk.isEmpty() && !m_ipa.isEmpty());
    }

    void apkRoundTrip()
    {
        TestService::UploadOptions options;
        options.shortcut = u"roundtrip"_s;
        options.description = u"第一行\n<b>second</b>"_s;
        const auto reply = m_service.upload(m_alice, m_apk, options);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.contentType, QByteArray("application/json"));
        QVERIFY2(reply.code() == 0, reply.body.constData());
        QCOMPARE(reply.data().value(u"appShortcutUrl"_s).toString(), u"roundtrip"_s);

        const auto releases = m_service.releases();
        QCOMPARE(releases.size(), 1);
        const auto &r = releases.constFirst();
        QCOMPARE(r.packageName, u"com.example.roundtrip"_s);
        QCOMPARE(r.platform, u"android"_s);
        QCOMPARE(r.version, u"1.2.3"_s);
        QCOMPARE(r.build, u"45"_s);
        QCOMPARE(r.name, u"往返应用"_s); // the form's name was empty: the package's label
        QCOMPARE(r.sha256, Packages::sha256Of(m_apk));
        QCOMPARE(Packages::sha256Of(r.packagePath), r.sha256);
        QVERIFY(m_service.temporaryFiles().isEmpty());

        const auto page = m_service.get(u"/roundtrip"_s);
        QCOMPARE(page.status, 200);
        QVERIFY(page.contentType.startsWith("text/html"));
        const QString html = QString::fromUtf8(page.body);
        QVERIFY(html.contains(u"往返应用"_s));
        QVERIFY(html.contains(u"1.2.3 (45)"_s));
        QVERIFY(html.contains(QString::asprintf("%.2fMB", double(QFileInfo(m_apk).size()) / 1024 / 1024)));
        QVERIFY2(html.contains(u"&lt;b&gt;second&lt;/b&gt;"_s) && !html.contains(u"<b>second"_s), "release notes are escaped");
        QVERIFY(html.contains(u"<svg"_s));
        QVERIFY(html.contains(u"aria-label=\"http://%1/roundtrip\""_s.arg(m_service.host())));
        QVERIFY(html.contains(u"href=\"/roundtrip/download\""_s));
        QVERIFY(!html.contains(u"<script"_s));

        const auto download = m_service.get(u"/roundtrip/download"_s);
        QCOMPARE(download.status, 200);
        QCOMPARE(download.contentType, QByteArray("application/vnd.android.package-archive"));
        QCOMPARE(Packages::sha256Of(download.body), Packages::sha256Of(m_apk));

        const QByteArray original = readAll(m_apk);
        const auto part = m_service.request("GET", u"/roundtrip/download"_s, {{"Range", "bytes=1000-1999"}});
        QCOMPARE(part.status, 206);
        QCOMPARE(part.body, original.mid(1000, 1000));
        const auto tail = m_service.request("GET", u"/roundtrip/download"_s, {{"Range", "bytes=-10"}});
        QCOMPARE(tail.body, original.right(10));
        QCOMPARE(m_service.request("GET", u"/roundtrip/download"_s, {{"Range", "bytes=99999999-"}}).status, 416);
        // The edge: the last byte is a range; a range that starts just past it is not.
        const QByteArray size = QByteArray::number(original.size());
        const auto last = m_service.request("GET", u"/roundtrip/download"_s,
                                            {{"Range", "bytes=" + QByteArray::number(original.size() - 1) + "-"}});
        QCOMPARE(last.status, 206);
        QCOMPARE(last.body, original.right(1));
        QCOMPARE(m_service.request("GET", u"/roundtrip/download"_s, {{"Range", "bytes=" + size + "-"}}).status, 416);

        const auto icon = m_service.get(u"/roundtrip/icon"_s);
        QCOMPARE(icon.status, 200);
        QCOMPARE(icon.contentType, QByteArray("image/png"));
        QVERIFY(icon.body.startsWith("\x89PNG"));

        QCOMPARE(m_service.get(u"/no-such-app"_s).status, 404);
    }

    void ipaWithPublishSettings()
    {
        TestService::UploadOptions options;
        options.shortcut = u"photos"_s;
        options.password = u"pw123"_s;
        options.publishRange = u"3"_s;
        options.isPublishToPublic = u"2"_s;
        options.name = u"相册"_s;
        const auto first = m_service.upload(m_alice, m_ipa, options);
        QVERIFY2(first.code() == 0, first.body.constData());
        // For invited testers only: the page's address carries the application's invitation key.
        const QString address = first.data().value(u"appShortcutUrl"_s).toString();
        QVERIFY2(QRegularExpression(u"^photos/[0-9a-f]{32}$"_s).match(address).hasMatch(), qPrintable(address));

        // The application is now known: the preparation returns its suffix and settings, as text.
        const auto prepared = m_service.call(u"app/uploadPrepare"_s,
                                             {{u"packageName"_s, u"com.example.photos"_s}, {u"type"_s, u"ios"_s}, {u"uKey"_s, m_alice.userKey}},
                                             &m_alice);
        QCOMPARE(prepared.code(), 0);
        QCOMPARE(prepared.data().value(u"shortcutUrl"_s).toString(), u"photos"_s);
        const QVariantMap parent = prepared.data().value(u"parentApp"_s).toMap();
        QCOMPARE(parent.value(u"a_is_publish_to_public"_s), QVariant(u"2"_s));
        QCOMPARE(parent.value(u"a_password"_s), QVariant(u"pw123"_s));
        QCOMPARE(parent.value(u"a_publish_range"_s), QVariant(u"3"_s));
        // Same identifier on the other platform is another application.
        const auto android = m_service.call(u"app/uploadPrepare"_s,
                                            {{u"packageName"_s, u"com.example.photos"_s}, {u"type"_s, u"android"_s}, {u"uKey"_s, m_alice.userKey}},
                                            &m_alice);
        QVERIFY(!android.data().contains(u"parentApp"_s));
        QCOMPARE(android.data().value(u"shortcutUrl"_s).toString(), u"photos2"_s);

        const QString newer = make(true, {u"com.example.photos"_s, u"1.1"_s, u"8"_s, u"Photos"_s, 1000});
        const auto second = m_service.upload(m_alice, newer, options);
        QVERIFY2(second.code() == 0, second.body.constData());
        const auto releases = m_service.releases();
        QCOMPARE(releases.size(), 3);
        QCOMPARE(releases.last().version, u"1.1"_s);
        QCOMPARE(releases.last().platform, u"ios"_s);
        QCOMPARE(releases.last().name, u"相册"_s);

        // The page asks for the password before it offers the package.
        const QString page = QString::fromUtf8(m_service.get(u'/' + address).body);
        QVERIFY(page.contains(u"1.1 (8)"_s));
        QVERIFY(page.contains(u"1.0 (7)"_s)); // history
        QVERIFY(page.contains(u"name=\"password\""_s));
        QVERIFY(!page.contains(u"/download"_s));
        QCOMPARE(m_service.get(u'/' + address + u"/download"_s).status, 403);
        const QList<std::pair<QByteArray, QByteArray>> form = {{"Content-Type", "application/x-www-form-urlencoded"}};
        const auto wrong = m_service.request("POST", u'/' + address, form, "password=nope");
        QCOMPARE(wrong.status, 403);
        QVERIFY(!wrong.body.contains("/download"));
        const auto granted = m_service.request("POST", u'/' + address, form, "password=pw123");
        QCOMPARE(granted.status, 200);
        const QRegularExpressionMatch link
            = QRegularExpression(u"href=\"(/photos/[0-9a-f]{32}/download\\?ticket=[0-9a-f-]+)\""_s)
                  .match(QString::fromUtf8(granted.body));
        QVERIFY2(link.hasMatch(), granted.body.constData());
        const auto download = m_service.get(link.captured(1));
        QCOMPARE(download.status, 200);
        QCOMPARE(download.contentType, QByteArray("application/iphone-package-archive"));
        QCOMPARE(Packages::sha256Of(download.body), Packages::sha256Of(newer));
        QString forged = link.captured(1);
        forged[forged.size() - 1] = forged.endsWith(u'0') ? u'1' : u'0';
        QCOMPARE(m_service.get(forged).status, 403);
    }

    void suffixOfAnotherApplication()
    {
        const qsizetype releases = m_service.releases().size();
        const qsizetype packages = m_service.packageFiles().size();
        const auto check = m_service.call(u"app/getAppKeyByShortcut"_s, {{u"shortcut"_s, u"RoundTrip"_s}}, &m_bob);
        QCOMPARE(check.code(), 0);
        QCOMPARE(check.data().value(u"appKey"_s).toString(), m_service.releases().constFirst().appKey);

        const QString bobs = make(false, {u"org.bob.tool"_s, u"3.0"_s, u"300"_s, u"Tool"_s, 50 * 1024});
        TestService::UploadOptions options;
        options.shortcut = u"RoundTrip"_s;
        const auto refused = m_service.upload(m_bob, bobs, options);
        QCOMPARE(refused.code(), 1020);
        QCOMPARE(refused.message(), u"网址后缀已存在，请更换"_s);
        expectNothingLeft(releases, packages);

        // Without a suffix the service picks a free one.
        options.shortcut.clear();
        const auto picked = m_service.upload(m_bob, bobs, options);
        QCOMPARE(picked.code(), 0);
        QCOMPARE(picked.data().value(u"appShortcutUrl"_s).toString(), u"tool"_s);
    }

    void twentyConcurrentUploads()
    {
        const qsizetype before = m_service.releases().size();
        QStringList paths;
        for (int i = 0; i < 20; ++i) {
            paths.append(make(false, {u"com.example.many%1"_s.arg(i), u"1.%1"_s.arg(i), QString::number(100 + i), u"Many %1"_s.arg(i), 256 * 1024}));
            QVERIFY(!paths.last().isEmpty());
        }
        QList<TestService::Reply> replies(20);
        std::vector<std::thread> threads;
        for (int i = 0; i < 20; ++i) {
            threads.emplace_back([&, i] {
                TestService::UploadOptions options;
                options.shortcut = u"many-%1"_s.arg(i);
                replies[i] = m_service.upload(i % 2 ? m_alice : m_bob, paths.at(i), options);
            });
        }
        for (std::thread &t : threads)
            t.join();
        for (int i = 0; i < 20; ++i)
            QVERIFY2(replies.at(i).code() == 0, qPrintable(u"%1: %2 %3"_s.arg(i).arg(replies.at(i).error, QString::fromUtf8(replies.at(i).body))));

        const auto releases = m_service.releases();
        QCOMPARE(releases.size(), before + 20);
        for (int i = 0; i < 20; ++i) {
            const QString id = u"com.example.many%1"_s.arg(i);
            const auto it = std::find_if(releases.begin(), releases.end(), [&](const auto &r) { return r.packageName == id; });
            QVERIFY2(it != releases.end(), qPrintable(id));
            QCOMPARE(it->shortcut, u"many-%1"_s.arg(i));
            QCOMPARE(it->version, u"1.%1"_s.arg(i));
            QCOMPARE(it->sha256, Packages::sha256Of(paths.at(i)));
            QCOMPARE(Packages::sha256Of(it->packagePath), it->sha256);
        }
        QVERIFY(m_service.temporaryFiles().isEmpty());
    }

    void uploadCutOffHalfWay()
    {
        const qsizetype releases = m_service.releases().size();
        const qsizetype packages = m_service.packageFiles().size();
        const QString boundary = TestService::newUploadBoundary();
        const QByteArray body = TestService::uploadBody(TestService::uploadFields(m_alice), u"cut.apk"_s, readAll(m_apk), boundary);
        {
            RawConnection connection(m_service.port());
            QVERIFY(connection.send(uploadHead(m_service, boundary, body.size()) + body.left(body.size() / 2)));
            // The package has begun to arrive.
            QTRY_VERIFY_WITH_TIMEOUT(!m_service.temporaryFiles().isEmpty(), 5000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(m_service.log().contains("upload cut off while the package arrived"), 8000);
        expectNothingLeft(releases, packages);
    }

    void uploadStalledHalfWay()
    {
        // The server drops a connection that stays silent past its read time-out (2 s here).
        const qsizetype releases = m_service.releases().size();
        const qsizetype packages = m_service.packageFiles().size();
        const QString boundary = TestService::newUploadBoundary();
        const QByteArray body = TestService::uploadBody(TestService::uploadFields(m_alice), u"stall.apk"_s, readAll(m_apk), boundary);
        RawConnection connection(m_service.port());
        QVERIFY(connection.send(uploadHead(m_service, boundary, body.size()) + body.left(body.size() / 2)));
        QTRY_VERIFY_WITH_TIMEOUT(!m_service.temporaryFiles().isEmpty(), 5000);
        const QByteArray reply = connection.receive(10000);
        QVERIFY2(reply.contains("\"code\":1030"), reply.constData());
        expectNothingLeft(releases, packages);
    }

    void refusedUploads()
    {
        const qsizetype releases = m_service.releases().size();
        const qsizetype packages = m_service.packageFiles().size();
        const QByteArray apk = readAll(m_apk);
        const auto send = [&](const TestService::Fields &fields, const QString &fileName, const QByteArray &bytes,
                              const QString &boundary = TestService::newUploadBoundary()) {
            return m_service.request("POST", u"/apiv1/app/upload"_s, {{"Content-Type", "multipart/form-data; boundary=" + boundary.toUtf8()}},
                                     TestService::uploadBody(fields, fileName, bytes, boundary));
        };
        const auto expect = [](const TestService::Reply &reply, int code, const QString &mentions) {
            QVERIFY2(reply.error.isEmpty(), qPrintable(reply.error));
            QCOMPARE(reply.contentType, QByteArray("application/json"));
            QVERIFY2(reply.code() == code, reply.body.constData());
            QVERIFY2(reply.message().contains(mentions), qPrintable(reply.message()));
        };
        TestService::Fields fields = TestService::uploadFields(m_alice);

        TestService::Fields unsorted = fields;
        std::swap(unsorted[2], unsorted[3]); // password before name
        expect(send(unsorted, u"a.apk"_s, apk), 1040, u"name"_s);

        TestService::Fields wrongKey = fields;
        wrongKey[0].second = u"0"_s.repeated(32);
        expect(send(wrongKey, u"a.apk"_s, apk), 1001, u"_api_key"_s);

        TestService::Fields stranger = fields;
        stranger[6].second = u"f"_s.repeated(32);
        expect(send(stranger, u"a.apk"_s, apk), 1002, QString());

        TestService::Fields longNotes = fields;
        longNotes[7].second = QString(100 * 1024, u'x');
        expect(send(longNotes, u"a.apk"_s, apk), 1004, u"updateDescription"_s);

        TestService::Fields badSuffix = fields;
        badSuffix[5].second = u"../etc"_s;
        expect(send(badSuffix, u"a.apk"_s, apk), 1021, u"../etc"_s);

        expect(send(fields, u"random.apk"_s, QByteArray(4096, 'z')), 1031, u"random.apk"_s);
        expect(send(fields, u"empty.apk"_s, QByteArray()), 1031, QString());
        expect(send(fields, u"a.apk"_s, apk, u"Boundary+0123456789abcdef"_s), 1040, u"Boundary+0123456789abcdef"_s);

        expectNothingLeft(releases, packages);
        QVERIFY(m_service.isRunning());
    }

    void cleanupTestCase()
    {
        QCOMPARE(m_service.stop(), 0);
    }

    // The download page's icon of an .ipa whose icon is crushed and named by its Info.plist: the
    // service reads it with the client's own inspection and serves an ordinary PNG of it.
    void downloadPageShowsACrushedIcon()
    {
        const QString reference = TestEnvironment::path(u"page/reference.png"_s);
        const QString crushed = TestEnvironment::path(u"page/crushed.png"_s);
        QVERIFY2(Fixtures::makeCrushedIcon(crushed, 120, {}, reference), qPrintable(Fixtures::lastError()));
        Fixtures::App app;
        app.withIcon = false;
        app.files = { { u"AppIcon60x60@2x.png"_s, Fixtures::readAll(crushed) } };
        app.info.insert(u"CFBundleIconFiles"_s, QVariantList { u"AppIcon60x60"_s });
        const QString ipa = TestEnvironment::path(u"page/crushed.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(ipa, { app }), qPrintable(Fixtures::lastError()));
        TestService::UploadOptions options;
        options.shortcut = u"crushedicon"_s;
        QCOMPARE(m_service.upload(m_alice, ipa, options).code(), 0);

        const auto icon = m_service.get(u"/crushedicon/icon"_s);
        QCOMPARE(icon.status, 200);
        QCOMPARE(icon.contentType, QByteArray("image/png"));
        const QString served = TestEnvironment::path(u"page/served.png"_s);
        QFile file(served);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(icon.body) == icon.body.size());
        file.close();
        // Straight RGBA as ImageMagick reads both; colour may differ only by what premultiplied
        // storage loses at low alpha.
        auto rgba = [](const QString &path) {
            QProcess convert;
            convert.start(u"convert"_s, { path, u"-depth"_s, u"8"_s, u"rgba:-"_s });
            convert.waitForFinished(30000);
            return convert.readAllStandardOutput();
        };
        const QByteArray shown = rgba(served);
        const QByteArray expected = rgba(reference);
        QCOMPARE(shown.size(), qsizetype(120 * 120 * 4));
        QCOMPARE(shown.size(), expected.size());
        int differing = 0;
        for (qsizetype i = 0; i < shown.size(); i += 4) {
            const int alpha = uchar(expected[i + 3]);
            differing += uchar(shown[i + 3]) != alpha ? 1 : 0;
            for (int c = 0; alpha && c < 3; ++c)
                differing += qAbs(uchar(shown[i + c]) - uchar(expected[i + c])) > 255.0 / (2 * alpha) + 1 ? 1 : 0;
        }
        QCOMPARE(differing, 0);
    }
};

QUILLO_TEST_MAIN(TestServerUpload)
#include "tst_serverupload.moc"
