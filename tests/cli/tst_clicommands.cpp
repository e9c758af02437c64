// The quillo commands run in-process against the stand-in service in strict mode: the account
// commands on the shared session store, whole uploads, refusals, a stopped service, bad packages,
// and the commands around them.

#include "app/Config.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "app/WorkFolder.h"
#include "cli/ExitCode.h"
#include "cli/Interruption.h"
#include "cli/TerminalQr.h"
#include "tests/cli/CliRun.h"
#include "tests/devicelog/FakeDeviceConsole.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QJsonArray>
#include <QTimer>

#include <sys/time.h>

using namespace Qt::StringLiterals;

namespace {

bool setModified(const QString &path, qint64 seconds)
{
    const timeval times[2] = { { time_t(seconds), 0 }, { time_t(seconds), 0 } };
    return ::utimes(QFile::encodeName(path).constData(), times) == 0;
}

} // namespace

class TestCliCommands : public QObject
{
    Q_OBJECT

    TestService m_service { { u"--newest-version"_s, u"9.9.9"_s, u"--newest-url"_s,
        u"http://127.0.0.1/quillo-9.9.9.deb"_s } };
    TestService::Account m_me;
    QString m_ipa;
    QString m_apk;

    void logIn(const TestService::Account &account)
    {
        QSLoginModel::setLoginWithUId(account.userKey, account.loginData);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_service.setAsServiceHost();
        m_me = m_service.registerAndLogin(u"me@example.com"_s);
        QVERIFY2(m_me.valid(), qPrintable(m_me.error));
        m_ipa = TestEnvironment::path(u"pkg/Demo App.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(m_ipa), qPrintable(Fixtures::lastError()));
        Fixtures::Apk apk;
        apk.package = u"com.example.cliapk"_s;
        apk.label = u"安卓演示"_s;
        m_apk = TestEnvironment::path(u"pkg/cli.apk"_s);
        QVERIFY2(Fixtures::makeApk(m_apk, apk), qPrintable(Fixtures::lastError()));
    }

    void init()
    {
        m_service.setAsServiceHost();
        logIn(m_me);
    }

    // ---- Account ----

    void loginStoresTheSessionTheDesktopReads()
    {
        QSLoginModel::setLogout();
        // No terminal: the e-mail and the password are the first two lines of the input.
        CliRun run = runQuillo({ u"login"_s }, { .input = "me@example.com\nsecret123\n" });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QVERIFY(QSLoginModel::isLogged());
        QCOMPARE(QSLoginModel::currentUid().toString(), m_me.userKey);
        QCOMPARE(QSLoginModel::currentUserInfo().toMap().value(u"u_api_token"_s).toString(), m_me.token);
        QVERIFY(!run.err.contains(u"secret123"_s) && !run.out.contains(u"secret123"_s));
        // The store on disk holds it, for the desktop program to read.
        Preferences::reload();
        QVERIFY(QSLoginModel::isLogged());

        run = runQuillo({ u"whoami"_s, u"--json"_s });
        QCOMPARE(run.status, ExitCode::Success);
        QCOMPARE(run.json().value(u"email"_s).toString(), u"me@example.com"_s);
        QCOMPARE(run.json().value(u"userKey"_s).toString(), m_me.userKey);

        run = runQuillo({ u"logout"_s });
        QCOMPARE(run.status, ExitCode::Success);
        QVERIFY(!QSLoginModel::isLogged());
        QCOMPARE(QSLoginModel::currentUid(), QVariant(u"0"_s));
        run = runQuillo({ u"whoami"_s });
        QCOMPARE(run.status, ExitCode::NotLoggedIn);

        // --password-stdin takes all of the input, one final line end dropped.
        run = runQuillo(
            { u"login"_s, u"--email"_s, u"me@example.com"_s, u"--password-stdin"_s }, { .input = "secret123\r\n" });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        // QUILLO_PASSWORD, and --password with its warning.
        qputenv("QUILLO_PASSWORD", "secret123");
        run = runQuillo({ u"login"_s, u"--email"_s, u"me@example.com"_s });
        qunsetenv("QUILLO_PASSWORD");
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        run = runQuillo({ u"login"_s, u"--email"_s, u"me@example.com"_s, u"--password"_s, u"secret123"_s });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QVERIFY(run.err.contains(u"进程列表"_s));
    }

    void loginRefusalsAndEmptyFields()
    {
        QSLoginModel::setLogout();
        CliRun run = runQuillo(
            { u"login"_s, u"--email"_s, u"me@example.com"_s, u"--password-stdin"_s }, { .input = "wrong-password" });
        QCOMPARE(run.status, ExitCode::Refused);
        QCOMPARE(run.err, u"quillo: 邮箱或密码错误，请重新输入\n"_s);
        QVERIFY(!QSLoginModel::isLogged());

        run = runQuillo({ u"login"_s }, { .input = "\n" });
        QCOMPARE(run.status, ExitCode::Usage);
        QCOMPARE(run.err, u"quillo: 请输入邮箱哦\n"_s);
        run = runQuillo({ u"login"_s, u"--email"_s, u"me@example.com"_s }, { .input = "" });
        QCOMPARE(run.status, ExitCode::Usage);
        QCOMPARE(run.err, u"quillo: 请输入密码哦\n"_s);
        run = runQuillo({ u"login"_s, u"--password-stdin"_s }, { .input = "x" });
        QCOMPARE(run.status, ExitCode::Usage);
    }

    void registerAndRecoverWithTheScreensChecks()
    {
        struct Case
        {
            QStringList arguments;
            QByteArray input;
            int status;
            QString message;
        };
        const QList<Case> refused = {
            { { u"--email"_s, u"new@example.com"_s, u"--name"_s, u"新人"_s }, "secret123", ExitCode::Usage,
                u"注册需同意Quillo服务条款"_s },
            { { u"--agree"_s, u"--email"_s, u"new@example"_s, u"--name"_s, u"新人"_s }, "secret123", ExitCode::Usage,
                u"邮件地址非法"_s },
            { { u"--agree"_s, u"--email"_s, u"new@example.com"_s, u"--name"_s, u"\n"_s }, "secret123", ExitCode::Usage,
                u"姓名不能为空"_s },
            { { u"--agree"_s, u"--email"_s, u"new@example.com"_s, u"--name"_s, u"新人"_s }, "12345", ExitCode::Usage,
                u"密码长度必须大于6位"_s },
            { { u"--agree"_s, u"--email"_s, u"me@example.com"_s, u"--name"_s, u"重名"_s }, "secret123",
                ExitCode::Refused, u"邮箱“me@example.com”已注册，请直接登录；忘记密码可通过“找回密码”重置"_s },
        };
        for (const Case &c : refused) {
            const CliRun run
                = runQuillo(QStringList { u"register"_s, u"--password-stdin"_s } + c.arguments, { .input = c.input });
            QVERIFY2(run.status == c.status, describe(run).constData());
            QVERIFY2(run.err.startsWith(u"quillo: "_s + c.message + u'\n'), describe(run).constData());
        }
        CliRun run = runQuillo({ u"register"_s, u"--agree"_s, u"--email"_s, u"new@example.com"_s, u"--name"_s,
                                   u"新人"_s, u"--password-stdin"_s },
            { .input = "123456" });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QVERIFY(run.err.contains(u"恭喜您，注册成功!"_s));
        QCOMPARE(
            m_service.call(u"user/login"_s, { { u"email"_s, u"new@example.com"_s }, { u"password"_s, u"123456"_s } })
                .code(),
            0);

        run = runQuillo({ u"forgot-password"_s, u"--email"_s, u"me@example"_s });
        QCOMPARE(run.status, ExitCode::Usage);
        QCOMPARE(run.err, u"quillo: 邮件地址非法！\n"_s);
        // The service answers an address without an account as any other, and writes no mail.
        const qsizetype mails = m_service.outboxFiles().size();
        run = runQuillo({ u"forgot-password"_s, u"--email"_s, u"nobody@example.com"_s });
        QCOMPARE(run.status, ExitCode::Success);
        QCOMPARE(m_service.outboxFiles().size(), mails);
        run = runQuillo({ u"forgot-password"_s, u"--email"_s, QString(250, u'a') + u"@example.com"_s });
        QCOMPARE(run.status, ExitCode::Refused);
        run = runQuillo({ u"forgot-password"_s }, { .input = "me@example.com\n" });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QVERIFY(run.err.contains(u"邮件已成功发送！"_s));
        QCOMPARE(m_service.outboxFiles().size(), mails + 1);
    }

    // ---- Upload ----

    void uploadIpaAndApkWithJson()
    {
        const qsizetype before = m_service.releases().size();
        CliRun run = runQuillo({ u"upload"_s, m_ipa, u"--json"_s, u"--open"_s });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QJsonObject json = run.json();
        const QString shortcut = json.value(u"shortcut"_s).toString();
        QVERIFY(!shortcut.isEmpty());
        QCOMPARE(json.value(u"downloadUrl"_s).toString(), u"http://%1/%2"_s.arg(m_service.host(), shortcut));
        QCOMPARE(json.value(u"packageName"_s).toString(), u"com.example.demo"_s);
        QCOMPARE(json.value(u"platform"_s).toString(), u"ios"_s);
        QCOMPARE(json.value(u"version"_s).toString(), u"1.2.3"_s);
        QCOMPARE(json.value(u"build"_s).toString(), u"45"_s);
        QCOMPARE(json.value(u"size"_s).toInteger(), QFileInfo(m_ipa).size());
        QCOMPARE(run.out.count(u'\n'), 1); // one object, nothing else on standard output
        QCOMPARE(run.opened, QStringList { json.value(u"downloadUrl"_s).toString() });
        QList<TestService::StoredRelease> releases = m_service.releases();
        QCOMPARE(releases.size(), before + 1);
        QCOMPARE(releases.constLast().shortcut, shortcut);
        QCOMPARE(releases.constLast().sha256, sha256Of(m_ipa));
        QCOMPARE(sha256Of(releases.constLast().packagePath), sha256Of(m_ipa));
        // Nothing the inspection unpacked is left in the work folder.
        QVERIFY(QDir(WorkFolder::path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());

        run = runQuillo({ u"upload"_s, m_apk, u"--json"_s, u"--name"_s, u"安卓 CLI"_s, u"--password"_s, u"install-pw"_s,
            u"--notes"_s, u"第一行\n第二行"_s, u"--shortcut"_s, u"cli-apk"_s, u"--public"_s });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        json = run.json();
        QCOMPARE(json.value(u"shortcut"_s).toString(), u"cli-apk"_s);
        QCOMPARE(json.value(u"platform"_s).toString(), u"android"_s);
        QCOMPARE(json.value(u"build"_s).toString(), u"42"_s);
        releases = m_service.releases();
        const TestService::StoredRelease apk = releases.constLast();
        QCOMPARE(apk.shortcut, u"cli-apk"_s);
        QCOMPARE(apk.name, u"安卓 CLI"_s);
        QCOMPARE(apk.password, u"install-pw"_s);
        QCOMPARE(apk.description, u"第一行\n第二行"_s);
        QCOMPARE(apk.sha256, sha256Of(m_apk));

        // The same package again: the service's values are the defaults, as the form would show them.
        run = runQuillo({ u"upload"_s, m_apk, u"--notes"_s, u"再发一次"_s });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QCOMPARE(run.out, u"http://%1/cli-apk\n"_s.arg(m_service.host()));
        QCOMPARE(m_service.releases().constLast().password, u"install-pw"_s);
        // ...and its suffix cannot change.
        run = runQuillo({ u"upload"_s, m_apk, u"--shortcut"_s, u"other-suffix"_s });
        QCOMPARE(run.status, ExitCode::Refused);
        QVERIFY2(run.err.contains(u"“cli-apk”"_s), describe(run).constData());
        QCOMPARE(m_service.releases().size(), releases.size() + 1);
    }

    void uploadRefusedWithTheServicesMessage()
    {
        // A suffix another application holds: the suffix check stops the upload.
        const TestService::Account other = m_service.registerAndLogin();
        QVERIFY2(other.valid(), qPrintable(other.error));
        Fixtures::Apk otherApk;
        otherApk.package = u"com.example.holder"_s;
        const QString holder = TestEnvironment::path(u"pkg/holder.apk"_s);
        QVERIFY2(Fixtures::makeApk(holder, otherApk), qPrintable(Fixtures::lastError()));
        TestService::UploadOptions options;
        options.shortcut = u"taken-one"_s;
        QCOMPARE(m_service.upload(other, holder, options).code(), 0);

        Fixtures::App fresh;
        fresh.info = Fixtures::infoPlist(u"com.example.fresh"_s, u"1.0"_s, u"1"_s, u"Fresh"_s);
        const QString ipa = TestEnvironment::path(u"pkg/fresh.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(ipa, { fresh }), qPrintable(Fixtures::lastError()));
        const qsizetype before = m_service.releases().size();
        CliRun run = runQuillo({ u"upload"_s, ipa, u"--shortcut"_s, u"taken-one"_s, u"--json"_s });
        QCOMPARE(run.status, ExitCode::Refused);
        QVERIFY2(run.err.contains(u"quillo: 网址后缀已存在，请更换\n"_s), describe(run).constData());
        QVERIFY(run.out.isEmpty());
        // A suffix of the wrong form: the service's own message.
        run = runQuillo({ u"upload"_s, ipa, u"--shortcut"_s, u"bad suffix!"_s });
        QCOMPARE(run.status, ExitCode::Refused);
        QVERIFY2(run.err.contains(u"网址后缀“bad suffix!”不可用"_s), describe(run).constData());
        QCOMPARE(m_service.releases().size(), before);

        // A session the service does not know (stored by another service, say): refused, not sent.
        QVariantMap stale = m_me.loginData;
        stale[u"u_api_token"_s] = u"0123456789abcdef0123456789abcdef"_s;
        QSLoginModel::setLoginWithUId(u"0123456789abcdef0123456789abcdef"_s, stale);
        run = runQuillo({ u"upload"_s, ipa });
        QCOMPARE(run.status, ExitCode::Refused);
        QVERIFY2(run.err.contains(u"登录已失效"_s) || run.err.contains(u"用户不存在"_s), describe(run).constData());
        QCOMPARE(m_service.releases().size(), before);
    }

    void uploadToAStoppedServiceIsANetworkFailure()
    {
        TestService gone;
        QVERIFY2(gone.start(), qPrintable(gone.errorString()));
        gone.setAsServiceHost();
        const TestService::Account account = gone.registerAndLogin();
        QVERIFY2(account.valid(), qPrintable(account.error));
        logIn(account);
        gone.stop();
        const CliRun run = runQuillo({ u"upload"_s, m_apk, u"--json"_s });
        QCOMPARE(run.status, ExitCode::Network);
        QVERIFY2(
            run.err.contains(u"quillo: 发布失败：无法连接到服务器，请检查网络后重试\n"_s), describe(run).constData());
        QVERIFY(run.out.isEmpty());
        const CliRun check = runQuillo({ u"check-update"_s });
        QCOMPARE(check.status, ExitCode::Network);
        QCOMPARE(check.err, u"quillo: 网络请求错误，请稍后重试\n"_s);
    }

    void badPackagesAndNoSession()
    {
        const QString garbageIpa = TestEnvironment::path(u"pkg/garbage.ipa"_s);
        const QString garbageApk = TestEnvironment::path(u"pkg/garbage.apk"_s);
        for (const QString &path : { garbageIpa, garbageApk }) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(4096, 'x'));
        }
        const QString text = TestEnvironment::path(u"pkg/notes.txt"_s);
        QFile::copy(garbageIpa, text);
        const qsizetype before = m_service.releases().size();
        for (const QString &path : { garbageIpa, garbageApk, text, TestEnvironment::path(u"pkg/missing.ipa"_s),
                 TestEnvironment::path(u"pkg"_s) }) {
            const CliRun run = runQuillo({ u"upload"_s, path, u"--json"_s });
            QVERIFY2(run.status == ExitCode::BadPackage, describe(run).constData());
            QVERIFY(run.err.startsWith(u"quillo: "_s) && run.out.isEmpty());
            QCOMPARE(runQuillo({ u"inspect"_s, path }).status, ExitCode::BadPackage);
        }
        QCOMPARE(m_service.releases().size(), before);

        QSLoginModel::setLogout();
        const CliRun run = runQuillo({ u"upload"_s, m_ipa });
        QCOMPARE(run.status, ExitCode::NotLoggedIn);
        QCOMPARE(run.err, u"quillo: 尚未登录，请先运行 quillo login\n"_s);
        QCOMPARE(m_service.releases().size(), before);

        QCOMPARE(runQuillo({ u"upload"_s }).status, ExitCode::Usage);
        QCOMPARE(runQuillo({ u"upload"_s, m_ipa, u"--public"_s, u"--no-public"_s }).status, ExitCode::Usage);
        QCOMPARE(runQuillo({ u"upload"_s, m_ipa, u"--publish-range"_s, u"friends"_s }).status, ExitCode::Usage);
    }

    void uploadProgressAndQrCode()
    {
        // A package of a few megabytes, stored uncompressed, so that progress has something to show.
        Fixtures::IpaOptions big;
        big.level = 0;
        Fixtures::Entry blob;
        blob.name = u"Payload/Demo.app/blob.bin"_s;
        blob.zeroBytes = 6 * 1024 * 1024;
        big.entries.append(blob);
        const QString ipa = TestEnvironment::path(u"pkg/big.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(ipa, { Fixtures::App() }, big), qPrintable(Fixtures::lastError()));

        CliRun run = runQuillo({ u"upload"_s, ipa, u"--qr"_s });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        const QString url = run.out.section(u'\n', 0, 0);
        QVERIFY(url.startsWith(u"http://%1/"_s.arg(m_service.host())));
        QCOMPARE(run.out, url + u'\n' + TerminalQr::render(url, false));
        const QStringList lines = run.err.split(u'\n', Qt::SkipEmptyParts).filter(u"上传 "_s);
        QVERIFY2(lines.size() >= 2 && lines.size() <= 11, qPrintable(run.err));
        QCOMPARE(lines.constLast(), u"上传 100%"_s);

        // On a terminal: one bar redrawn in place; with --json the code goes to standard error.
        run = runQuillo({ u"upload"_s, ipa, u"--json"_s, u"--qr"_s }, { .errorIsTerminal = true, .width = 100 });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QVERIFY(run.err.contains(u"\r上传 ["_s));
        QVERIFY(run.err.contains(TerminalQr::render(run.json().value(u"downloadUrl"_s).toString(), false))
            || run.err.contains(u"\x1b[40;97m"_s));
        QCOMPARE(run.out.count(u'\n'), 1);

        run = runQuillo({ u"upload"_s, ipa, u"--quiet"_s });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QVERIFY2(run.err.isEmpty(), describe(run).constData());
    }

    void interruptedUploadStopsWithoutARelease()
    {
        const qsizetype before = m_service.releases().size();
        // Ctrl-C while the service is being asked to prepare.
        QTimer::singleShot(0, &Interruption::instance(), [] { Interruption::instance().request(); });
        const CliRun run = runQuillo({ u"upload"_s, m_ipa, u"--json"_s });
        QCOMPARE(run.status, ExitCode::Interrupted);
        QVERIFY2(run.err.contains(u"quillo: 已中断，没有完成上传\n"_s), describe(run).constData());
        QVERIFY(run.out.isEmpty());
        QTest::qWait(200);
        QCOMPARE(m_service.releases().size(), before);
        // The next command starts afresh.
        QCOMPARE(runQuillo({ u"whoami"_s }).status, ExitCode::Success);
    }

    // ---- The other commands ----

    void inspectPrintsTheRecord()
    {
        CliRun run = runQuillo({ u"inspect"_s, m_ipa, u"--json"_s });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QJsonObject json = run.json();
        QCOMPARE(json.value(u"platform"_s).toString(), u"ios"_s);
        QCOMPARE(json.value(u"appType"_s).toInt(), 1);
        QCOMPARE(json.value(u"packageName"_s).toString(), u"com.example.demo"_s);
        QCOMPARE(json.value(u"appName"_s).toString(), u"Demo"_s);
        QVERIFY(json.value(u"hasIcon"_s).toBool());
        QVERIFY(json.value(u"fileSize"_s).toString().endsWith(u"MB"_s));

        run = runQuillo({ u"inspect"_s, m_apk });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QVERIFY(run.out.contains(u"名称  安卓演示\n"_s));
        QVERIFY(run.out.contains(u"标识  com.example.cliapk\n"_s));
        QVERIFY(run.out.contains(u"版本  1.2.3 (42)\n"_s));
        // Nothing written by an inspection of the command line.
        QVERIFY(QDir(WorkFolder::path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    }

    // --icon writes the icon as an ordinary PNG at its own size: a crushed one decoded, a WebP one
    // converted; a package without an icon gives no file and success.
    void inspectWritesTheIcon()
    {
        Fixtures::App app;
        app.withIcon = false;
        const QString crushed = TestEnvironment::path(u"pkg/AppIcon.png"_s);
        QVERIFY2(Fixtures::makeCrushedIcon(crushed, 152, { u"--interlace"_s }), qPrintable(Fixtures::lastError()));
        app.files = { { u"AppIcon76x76@2x~ipad.png"_s, Fixtures::readAll(crushed) } };
        app.info.insert(u"CFBundleIcons~ipad"_s,
            QVariantMap { { u"CFBundlePrimaryIcon"_s,
                QVariantMap { { u"CFBundleIconFiles"_s, QVariantList { u"AppIcon76x76"_s } } } } });
        const QString ipa = TestEnvironment::path(u"pkg/ipad.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(ipa, { app }), qPrintable(Fixtures::lastError()));
        Fixtures::Apk webp;
        webp.webp = true;
        webp.densities = { u"hdpi"_s, u"xxhdpi"_s };
        const QString apk = TestEnvironment::path(u"pkg/webp.apk"_s);
        QVERIFY2(Fixtures::makeApk(apk, webp), qPrintable(Fixtures::lastError()));

        for (const auto &[package, width] : { std::pair { ipa, 152 }, std::pair { apk, 144 } }) {
            const QString icon = TestEnvironment::path(u"out/icon.png"_s);
            QFile::remove(icon);
            QDir().mkpath(TestEnvironment::path(u"out"_s));
            const CliRun run = runQuillo({ u"inspect"_s, u"--icon"_s, icon, package, u"--json"_s });
            QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
            QVERIFY(run.json().value(u"hasIcon"_s).toBool());
            QProcess identify;
            identify.start(u"identify"_s, { u"-format"_s, u"%m %w"_s, icon });
            QVERIFY(identify.waitForFinished(30000));
            QCOMPARE(identify.readAllStandardOutput(), QByteArray("PNG ") + QByteArray::number(width));
            QProcess check;
            check.start(u"pngcheck"_s, { u"-q"_s, icon });
            QVERIFY(check.waitForFinished(30000) && check.exitCode() == 0);
        }

        app.files.clear();
        QVERIFY2(Fixtures::makeIpa(ipa, { app }), qPrintable(Fixtures::lastError()));
        const QString none = TestEnvironment::path(u"out/none.png"_s);
        const CliRun run = runQuillo({ u"inspect"_s, u"--icon"_s, none, ipa, u"--json"_s });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QVERIFY(!run.json().value(u"hasIcon"_s).toBool());
        QVERIFY(!QFileInfo::exists(none));
    }

    void archivesAndExport()
    {
        const QString folder = Config::archivesDir();
        Fixtures::Archive archive;
        const QString older = folder + u"/2024-05-01/Demo 1.xcarchive"_s;
        QVERIFY2(Fixtures::makeArchive(older, archive), qPrintable(Fixtures::lastError()));
        archive.app.info = Fixtures::infoPlist(u"com.example.demo"_s, u"1.3"_s, u"46"_s, u"Demo"_s);
        const QString newer = folder + u"/2024-05-02/Demo 2.xcarchive"_s;
        QVERIFY2(Fixtures::makeArchive(newer, archive), qPrintable(Fixtures::lastError()));
        QVERIFY(setModified(older, 1'700'000'000));
        QVERIFY(setModified(newer, 1'700'000'060));

        CliRun run = runQuillo({ u"archives"_s, u"--json"_s });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        const QJsonArray list = run.json().value(u"archives"_s).toArray();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list.at(0).toObject().value(u"path"_s).toString(), newer);
        QCOMPARE(list.at(0).toObject().value(u"version"_s).toString(), u"1.3"_s);
        QCOMPARE(list.at(1).toObject().value(u"path"_s).toString(), older);
        run = runQuillo({ u"archives"_s, u"--limit"_s, u"1"_s });
        QVERIFY(run.out.startsWith(u"Demo 1.3 (46)  com.example.demo  "_s));
        QCOMPARE(run.out.count(u'\n'), 2);

        Fixtures::useFakeXcodebuild();
        const QString copy = TestEnvironment::path(u"exported/Demo.ipa"_s);
        run = runQuillo({ u"export"_s, newer, u"--output"_s, copy });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QCOMPARE(run.out, copy + u'\n');
        QCOMPARE(Fixtures::fakeXcodebuildArguments().value(8), u"Demo Profile"_s);
        run = runQuillo({ u"inspect"_s, copy, u"--json"_s });
        QCOMPARE(run.json().value(u"appVersion"_s).toString(), u"1.3"_s);
        QCOMPARE(runQuillo({ u"export"_s, newer, u"--output"_s, copy }).status, ExitCode::Usage); // never overwritten

        Fixtures::useFakeXcodebuild(u"fail"_s);
        run = runQuillo({ u"export"_s, older });
        QCOMPARE(run.status, ExitCode::Failure);
        QVERIFY(run.err.contains(u"quillo: 生成ipa失败，请检查证书及签名文件是否正确!\n"_s));
        QVERIFY(run.out.isEmpty());
        QCOMPARE(runQuillo({ u"export"_s, folder + u"/nothing"_s }).status, ExitCode::Usage);
    }

    void deviceLogPrintsTheRewrittenEntries()
    {
        {
            FakeDeviceConsole tool("#!/bin/sh\n"
                                   "printf 'Jun  3 10:11:12 iPhone SpringBoard[42] <Notice>: hello\\n"
                                   "Jun  3 10:11:13 iPhone backboardd[7] <Error>: two\\nlines\\n'\n");
            CliRun run = runQuillo({ u"devicelog"_s });
            QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
            QCOMPARE(run.out,
                u"10:11:12 iPhone SpringBoard \u2192  <Notice>: hello\n"
                "10:11:13 iPhone backboardd \u2192  <Error>: two\nlines\n"_s);
            run = runQuillo({ u"devicelog"_s, u"--grep"_s, u"backboardd"_s });
            QCOMPARE(run.out, u"10:11:13 iPhone backboardd \u2192  <Error>: two\nlines\n"_s);
        }
        {
            FakeDeviceConsole noDevice("#!/bin/sh\nexit 69\n");
            const CliRun run = runQuillo({ u"devicelog"_s });
            QCOMPARE(run.status, ExitCode::Failure);
            QCOMPARE(run.err, u"quillo: 没有连接 iOS 设备\n"_s);
        }
        {
            FakeDeviceConsole missing;
            QCOMPARE(runQuillo({ u"devicelog"_s }).status, ExitCode::Failure);
        }
    }

    void checkUpdateAnnouncesANewerRelease()
    {
        CliRun run = runQuillo({ u"check-update"_s, u"--open"_s });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QCOMPARE(run.out, u"http://127.0.0.1/quillo-9.9.9.deb\n"_s);
        QCOMPARE(run.opened, QStringList { u"http://127.0.0.1/quillo-9.9.9.deb"_s });

        TestService current;
        QVERIFY2(current.start(), qPrintable(current.errorString()));
        current.setAsServiceHost();
        run = runQuillo({ u"check-update"_s, u"--json"_s });
        QCOMPARE(run.status, ExitCode::Success);
        QCOMPARE(run.json().value(u"newer"_s).toBool(), false);
        QCOMPARE(run.json().value(u"current"_s).toString(), Config::applicationVersion());
        run = runQuillo({ u"check-update"_s });
        QCOMPARE(run.err, u"当前已是最新版本！\n"_s);
    }

    void helpForEveryCommand()
    {
        CliRun run = runQuillo({ u"--help"_s });
        QCOMPARE(run.status, ExitCode::Success);
        for (const QString &command : Cli::commandNames()) {
            QVERIFY2(run.out.contains(u"  "_s + command), qPrintable(command));
            const CliRun help = runQuillo({ command, u"--help"_s });
            QCOMPARE(help.status, ExitCode::Success);
            QVERIFY2(help.out.startsWith(u"用法：quillo "_s + command), qPrintable(help.out));
            QCOMPARE(runQuillo({ u"help"_s, command }).out, help.out);
            QCOMPARE(runQuillo({ command, u"--no-such-option"_s }).status, ExitCode::Usage);
        }
        QVERIFY(run.out.contains(u"130  被中断"_s));
        QCOMPARE(runQuillo({ u"--version"_s }).out, u"quillo %1\n"_s.arg(Config::applicationVersion()));
        run = runQuillo({ u"fly"_s });
        QCOMPARE(run.status, ExitCode::Usage);
        QVERIFY(run.err.startsWith(u"quillo: 没有“fly”这个命令\n"_s));
        QCOMPARE(runQuillo({}).status, ExitCode::Usage);
    }
};

QUILLO_TEST_MAIN(TestCliCommands)
#include "tst_clicommands.moc"
