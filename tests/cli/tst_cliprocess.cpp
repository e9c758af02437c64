// The built quillo program as a child process, the way CI and a terminal run it: its standard
// streams, its exit codes, the password prompt on a real terminal (a pseudo-terminal), signals,
// and the session it shares with the desktop program through the preferences store.

#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "app/WorkFolder.h"
#include "cli/ExitCode.h"
#include "tests/cli/CliRun.h"
#include "tests/devicelog/FakeDeviceConsole.h"
#include "tests/support/Fixtures.h"
#include "tests/support/LoopbackHttpPeer.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString program()
{
    return TestEnvironment::binDir() + u"/quillo"_s;
}

CliRun runProgram(const QStringList &arguments, const QByteArray &input = {},
    const QList<std::pair<QString, QString>> &environment = {})
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto &[name, value] : environment)
        env.insert(name, value);
    process.setProcessEnvironment(env);
    process.start(program(), arguments);
    CliRun run;
    if (!process.waitForStarted(10000)) {
        run.err = process.errorString();
        return run;
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
    }
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// A pseudo-terminal: the child gets the terminal end as a file, the test holds the other end.
class Pty
{
public:
    Pty()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        m_name = QString::fromLocal8Bit(::ptsname(m_master));
        m_slave = ::open(::ptsname(m_master), O_RDWR | O_NOCTTY);
    }
    ~Pty()
    {
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_master >= 0)
            ::close(m_master);
    }
    bool isOpen() const { return m_slave >= 0; }
    QString terminalPath() const { return m_name; }
    bool echoes() const
    {
        termios attributes {};
        return ::tcgetattr(m_slave, &attributes) == 0 && (attributes.c_lflag & ECHO);
    }
    void type(const QByteArray &text) const
    {
        [[maybe_unused]] const ssize_t n = ::write(m_master, text.constData(), size_t(text.size()));
    }
    // What the terminal shows (the echo and whatever the child wrote to it), read without waiting long.
    QByteArray shown() const
    {
        QByteArray all;
        pollfd p { m_master, POLLIN, 0 };
        while (::poll(&p, 1, 200) > 0 && (p.revents & POLLIN)) {
            char buffer[4096];
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            all.append(buffer, n);
        }
        return all;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_name;
};

bool waitFor(const std::function<bool()> &condition, int ms = 10000)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (condition())
            return true;
        QThread::msleep(20);
    }
    return condition();
}

} // namespace

class TestCliProcess : public QObject
{
    Q_OBJECT

    TestService m_service { { u"--newest-version"_s, u"9.9.9"_s, u"--newest-url"_s,
        u"http://127.0.0.1/quillo-9.9.9.deb"_s } };
    TestService::Account m_me;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(program()).isExecutable(), qPrintable(program()));
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_service.setAsServiceHost();
        m_me = m_service.registerAndLogin(u"ci@example.com"_s, u"ci-secret-42"_s);
        QVERIFY2(m_me.valid(), qPrintable(m_me.error));
    }

    void loginFromAPipeThenUploadWithJson()
    {
        // The password read by the prompt from a standard input that is no terminal; diagnostics
        // switched on must not show it either.
        CliRun run = runProgram({ u"login"_s, u"--email"_s, u"ci@example.com"_s }, "ci-secret-42\n",
            { { u"QT_LOGGING_RULES"_s, u"quillo.*=true"_s } });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QVERIFY2(
            !run.err.contains(u"ci-secret-42"_s) && !run.out.contains(u"ci-secret-42"_s), describe(run).constData());
        // The same store as the desktop program's.
        Preferences::reload();
        QVERIFY(QSLoginModel::isLogged());
        QCOMPARE(QSLoginModel::currentUid().toString(), m_me.userKey);

        const QString ipa = TestEnvironment::path(u"pkg/Process Demo.ipa"_s);
        QVERIFY2(Fixtures::makeIpa(ipa), qPrintable(Fixtures::lastError()));
        const QString apk = TestEnvironment::path(u"pkg/process.apk"_s);
        Fixtures::Apk made;
        made.package = u"com.example.process"_s;
        QVERIFY2(Fixtures::makeApk(apk, made), qPrintable(Fixtures::lastError()));
        for (const QString &package : { ipa, apk }) {
            run = runProgram({ u"upload"_s, package, u"--json"_s });
            QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
            QCOMPARE(run.out.count(u'\n'), 1);
            const QJsonObject json = run.json();
            const TestService::StoredRelease stored = m_service.releases().constLast();
            QCOMPARE(json.value(u"shortcut"_s).toString(), stored.shortcut);
            QCOMPARE(json.value(u"downloadUrl"_s).toString(), m_service.baseUrl() + u'/' + stored.shortcut);
            QCOMPARE(json.value(u"size"_s).toInteger(), QFileInfo(package).size());
            QCOMPARE(sha256Of(stored.packagePath), sha256Of(package));
            // Progress lines for a log, not a bar.
            QVERIFY2(run.err.contains(u"上传 100%\n"_s) && !run.err.contains(u'\r'), describe(run).constData());
            // The download page answers.
            QCOMPARE(m_service.get(u"/"_s + stored.shortcut).status, 200);
        }
    }

    void stoppedServiceAndNoSession()
    {
        TestService gone;
        QVERIFY2(gone.start(), qPrintable(gone.errorString()));
        const TestService::Account account = gone.registerAndLogin();
        QVERIFY2(account.valid(), qPrintable(account.error));
        const QString host = gone.host();
        QCOMPARE(runProgram({ u"login"_s, u"--email"_s, account.email, u"--password-stdin"_s },
                     account.password.toUtf8(), { { u"QUILLO_SERVICE_HOST"_s, host } })
                     .status,
            ExitCode::Success);
        gone.stop();
        const QString apk = TestEnvironment::path(u"pkg/offline.apk"_s);
        QVERIFY2(Fixtures::makeApk(apk), qPrintable(Fixtures::lastError()));
        CliRun run = runProgram({ u"upload"_s, apk, u"--json"_s }, {}, { { u"QUILLO_SERVICE_HOST"_s, host } });
        QCOMPARE(run.status, ExitCode::Network);
        QVERIFY2(
            run.err.contains(u"quillo: 发布失败：无法连接到服务器，请检查网络后重试\n"_s), describe(run).constData());
        QVERIFY(run.out.isEmpty());

        QCOMPARE(runProgram({ u"logout"_s }).status, ExitCode::Success);
        run = runProgram({ u"upload"_s, apk });
        QCOMPARE(run.status, ExitCode::NotLoggedIn);
        QCOMPARE(run.err, u"quillo: 尚未登录，请先运行 quillo login\n"_s);
    }

    void passwordPromptOnATerminalShowsNothing()
    {
        Pty pty;
        QVERIFY(pty.isOpen());
        QVERIFY(pty.echoes());
        QProcess process;
        process.setStandardInputFile(pty.terminalPath());
        process.setReadChannel(QProcess::StandardError);
        process.start(program(), { u"login"_s, u"--email"_s, u"ci@example.com"_s });
        QVERIFY(process.waitForStarted());
        // Type only once the prompt is up (echo is off by then).
        QVERIFY(waitFor([&] {
            process.waitForReadyRead(50);
            return process.peek(64).contains("密码：");
        }));
        pty.type("ci-secret-42\n");
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), ExitCode::Success);
        const QByteArray shown = pty.shown();
        QVERIFY2(!shown.contains("ci-secret"), shown.constData());
        QVERIFY(pty.echoes()); // the terminal is as it was
        QVERIFY(!process.readAllStandardError().contains("ci-secret"));
    }

    void coloursFollowTheTerminalAndNoColor()
    {
        QCOMPARE(runProgram({ u"logout"_s }).status, ExitCode::Success);
        for (const bool noColor : { false, true }) {
            Pty pty;
            QVERIFY(pty.isOpen());
            QProcess process;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(u"TERM"_s, u"xterm"_s);
            if (noColor)
                env.insert(u"NO_COLOR"_s, u"1"_s);
            else
                env.remove(u"NO_COLOR"_s);
            process.setProcessEnvironment(env);
            process.setStandardErrorFile(pty.terminalPath());
            process.start(program(), { u"whoami"_s });
            QVERIFY(process.waitForFinished(30000));
            QCOMPARE(process.exitCode(), ExitCode::NotLoggedIn);
            const QByteArray shown = pty.shown();
            QVERIFY2(shown.contains("尚未登录"), shown.constData());
            QCOMPARE(shown.contains("\x1b["), !noColor);
        }
    }

    void deviceLogEndsItsToolOnSigtermAndWhenTheReaderGoes()
    {
        for (const bool closeReader : { false, true }) {
            FakeDeviceConsole tool(QList<QByteArray> { "Jun  3 10:11:12 iPhone SpringBoard[42] <Notice>: first\n",
                "Jun  3 10:11:13 iPhone SpringBoard[42] <Notice>: second\n" });
            tool.release(0);
            // With closeReader: quillo devicelog | head -n 1.
            QProcess head;
            QProcess process;
            if (closeReader) {
                process.setStandardOutputProcess(&head);
                head.start(u"head"_s, { u"-n"_s, u"1"_s });
                QVERIFY(head.waitForStarted());
            }
            process.start(program(), { u"devicelog"_s });
            QVERIFY(process.waitForStarted());
            QProcess &reader = closeReader ? head : process;
            QVERIFY(waitFor([&] {
                reader.waitForReadyRead(50);
                return reader.peek(256).contains("first");
            }));
            const qint64 toolPid = tool.pid();
            QVERIFY(FakeDeviceConsole::isAlive(toolPid));
            if (closeReader) {
                // head has its line and is gone: the next entry finds nobody to read it.
                QVERIFY(head.waitForFinished(20000));
                tool.release(1);
                QVERIFY(process.waitForFinished(20000));
                QCOMPARE(process.exitCode(), ExitCode::Success);
            } else {
                ::kill(pid_t(process.processId()), SIGTERM);
                QVERIFY(process.waitForFinished(20000));
                QCOMPARE(process.exitStatus(), QProcess::NormalExit);
                QCOMPARE(process.exitCode(), ExitCode::Interrupted);
                QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()),
                    u"10:11:12 iPhone SpringBoard \u2192  <Notice>: first\n"_s);
            }
            QVERIFY(waitFor([&] { return !FakeDeviceConsole::isAlive(toolPid); }));
        }
    }

    void aCiJobUploadsWithTheEnvironmentKeyAlone()
    {
        // An application published with an install password and for invited testers only.
        const QString ipa = TestEnvironment::path(u"pkg/ci.ipa"_s);
        Fixtures::App app;
        app.info[u"CFBundleIdentifier"_s] = u"com.example.ci"_s;
        QVERIFY2(Fixtures::makeIpa(ipa, { app }), qPrintable(Fixtures::lastError()));
        TestService::UploadOptions protectedApp;
        protectedApp.password = u"only-testers"_s;
        protectedApp.publishRange = u"3"_s;
        QCOMPARE(m_service.upload(m_me, ipa, protectedApp).code(), 0);

        // A runner with no settings at all, diagnostics on.
        const QString settings = TestEnvironment::path(u"runner/preferences.json"_s); // makes runner/ only
        const QList<std::pair<QString, QString>> runner { { u"QUILLO_USER_KEY"_s, m_me.userKey },
            { u"QUILLO_SETTINGS_FILE"_s, settings }, { u"QT_LOGGING_RULES"_s, u"quillo.*=true"_s } };
        CliRun run = runProgram({ u"upload"_s, ipa, u"--json"_s }, {}, runner);
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        const TestService::StoredRelease stored = m_service.releases().constLast();
        // Invited testers only: the page's address is the suffix and the release's invitation.
        QVERIFY2(run.json().value(u"shortcut"_s).toString().startsWith(stored.shortcut + u'/'), describe(run).constData());
        QCOMPARE(stored.packageName, u"com.example.ci"_s);
        // The service prepared the upload for the key alone: the application kept its settings.
        QVERIFY2(!run.err.contains(u"按默认设置继续"_s), describe(run).constData());
        QCOMPARE(stored.password, u"only-testers"_s);
        // Nothing written, and the key in no log line (the fields line names it masked).
        QVERIFY(QDir(QFileInfo(settings).path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
        QVERIFY2(!run.err.contains(m_me.userKey) && !run.out.contains(m_me.userKey), describe(run).constData());
        // The request lines were logged, with the session fields masked.
        QVERIFY2(run.err.contains(u"request ----->"_s) && run.err.contains(u"***"_s), describe(run).constData());

        run = runProgram({ u"whoami"_s }, {}, runner);
        QCOMPARE(run.status, ExitCode::Success);
        QVERIFY(!run.out.contains(m_me.userKey) && !run.err.contains(m_me.userKey));
        run = runProgram({ u"upload"_s, ipa }, {}, { { u"QUILLO_USER_KEY"_s, m_me.userKey.left(31) } });
        QCOMPARE(run.status, ExitCode::Usage);
        QVERIFY(!run.err.contains(m_me.userKey.left(31)));
    }

    void exportOutputAndBrowserStayApart()
    {
        // A build tool that talks on standard output: the command's own output stays alone there.
        const QString tools = TestEnvironment::path(u"tools/x"_s).chopped(2);
        QFile chatty(tools + u"/xcodebuild"_s);
        QVERIFY(chatty.open(QIODevice::WriteOnly));
        chatty.write("#!/bin/sh\necho '** EXPORT SUCCEEDED **'\nexec bash \""
            + QFile::encodeName(Fixtures::fakeXcodebuild()) + "\" \"$@\"\n");
        chatty.close();
        chatty.setPermissions(chatty.permissions() | QFile::ExeOwner);
        // A browser opener that only notes the address.
        const QString opened = TestEnvironment::path(u"tools/opened.txt"_s);
        QFile opener(tools + u"/xdg-open"_s);
        QVERIFY(opener.open(QIODevice::WriteOnly));
        opener.write("#!/bin/sh\nprintf '%s' \"$1\" > \"" + QFile::encodeName(opened) + "\"\n");
        opener.close();
        opener.setPermissions(opener.permissions() | QFile::ExeOwner);

        const QString archive = TestEnvironment::path(u"Archives/Chatty.xcarchive"_s);
        QVERIFY2(Fixtures::makeArchive(archive), qPrintable(Fixtures::lastError()));
        CliRun run = runProgram({ u"export"_s, archive, u"--json"_s, u"-o"_s, tools + u"/Chatty.ipa"_s }, {},
            { { u"QUILLO_XCODEBUILD"_s, chatty.fileName() } });
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        QCOMPARE(run.out.count(u'\n'), 1);
        QVERIFY(QFileInfo::exists(run.json().value(u"package"_s).toString()));
        QVERIFY(run.err.contains(u"** EXPORT SUCCEEDED **"_s));

        run = runProgram(
            { u"check-update"_s, u"--open"_s }, {}, { { u"PATH"_s, tools + u':' + qEnvironmentVariable("PATH") } });
        QCOMPARE(run.status, ExitCode::Success);
        QVERIFY(waitFor([&] {
            QFile file(opened);
            return file.open(QIODevice::ReadOnly) && file.readAll() == "http://127.0.0.1/quillo-9.9.9.deb";
        }));
    }

    // The version check's address reaches xdg-open only when it is https, or http on the service's
    // host; a file: or custom-scheme address from the reply is refused with a message.
    void checkUpdateOpensOnlySafeAddresses()
    {
        LoopbackHttpPeer peer;
        auto answer = [&peer](const QString &url) {
            const QByteArray reply = QJsonDocument(QJsonObject { { u"code"_s, 0 }, { u"message"_s, u""_s },
                                                       { u"data"_s, QJsonObject { { u"d_down_url"_s, url } } } })
                                         .toJson(QJsonDocument::Compact);
            peer.setHandler([reply](const LoopbackHttpPeer::Request &request) {
                return LoopbackHttpPeer::Reply::json(
                    request.path().endsWith("/desktop/checkNewestVersion") ? reply : R"({"code":0,"data":{}})");
            });
        };
        const QString tools = TestEnvironment::path(u"opener/x"_s).chopped(2);
        const QString opened = tools + u"/opened.txt"_s;
        QFile opener(tools + u"/xdg-open"_s);
        QVERIFY(opener.open(QIODevice::WriteOnly));
        opener.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"" + QFile::encodeName(opened) + "\"\n");
        opener.close();
        opener.setPermissions(opener.permissions() | QFile::ExeOwner);
        // Warnings on, to see the log line (quillo keeps its diagnostics off by default).
        const QList<std::pair<QString, QString>> environment { { u"QUILLO_SERVICE_HOST"_s, peer.hostPort() },
            { u"PATH"_s, tools + u':' + qEnvironmentVariable("PATH") },
            { u"QT_LOGGING_RULES"_s, u"quillo.*.warning=true"_s } };

        for (const QString &refused : { u"file:///etc/passwd"_s, u"quillo-evil://run?cmd=id"_s }) {
            answer(refused);
            const CliRun run = runProgram({ u"check-update"_s, u"--open"_s }, {}, environment);
            QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
            QVERIFY2(run.err.contains(u"出于安全考虑，没有打开这个地址："_s), describe(run).constData());
            QVERIFY2(run.err.contains(u"Refused to open"_s), describe(run).constData()); // the log line
        }
        const QString safe = u"https://downloads.example.com/quillo-9.9.9.deb"_s;
        answer(safe);
        const CliRun run = runProgram({ u"check-update"_s, u"--open"_s }, {}, environment);
        QVERIFY2(run.status == ExitCode::Success, describe(run).constData());
        // Only the https address reached the opener.
        QVERIFY(waitFor([&] { return Fixtures::readAll(opened) == safe.toUtf8() + '\n'; }));
    }

    // Two exports at once, each from its own folder and without --output: each writes its own
    // archive's package into its current folder, and leaves nothing in the work folder.
    void twoExportsAtOnceWriteTheirOwnPackages()
    {
        Fixtures::Archive other;
        other.app.info = Fixtures::infoPlist(u"com.example.other"_s, u"2.0"_s, u"7"_s, u"Other"_s);
        const QString archives[] = { TestEnvironment::path(u"Archives/One 1.0.xcarchive"_s),
            TestEnvironment::path(u"Archives/Two.xcarchive"_s) };
        QVERIFY2(Fixtures::makeArchive(archives[0]), qPrintable(Fixtures::lastError()));
        QVERIFY2(Fixtures::makeArchive(archives[1], other), qPrintable(Fixtures::lastError()));
        Fixtures::useFakeXcodebuild(u"sleep:1"_s);
        QProcess exports[2];
        QString folders[2];
        for (int i = 0; i < 2; ++i) {
            folders[i] = TestEnvironment::path(u"cwd%1/x"_s.arg(i)).chopped(2);
            exports[i].setWorkingDirectory(folders[i]);
            exports[i].start(program(), { u"export"_s, archives[i] });
        }
        const QString expected[] = { folders[0] + u"/One 1.0.ipa"_s, folders[1] + u"/Two.ipa"_s };
        const QString identifiers[] = { u"com.example.demo"_s, u"com.example.other"_s };
        for (int i = 0; i < 2; ++i) {
            QVERIFY(exports[i].waitForFinished(60000));
            QCOMPARE(exports[i].exitCode(), ExitCode::Success);
            QCOMPARE(QString::fromUtf8(exports[i].readAllStandardOutput()), expected[i] + u'\n');
            const CliRun inspected = runQuillo({ u"inspect"_s, expected[i], u"--json"_s });
            QCOMPARE(inspected.json().value(u"packageName"_s).toString(), identifiers[i]);
        }
        QCOMPARE(QDir(WorkFolder::path()).entryList({ u"export-*"_s }, QDir::AllEntries | QDir::Hidden), QStringList());
        // An existing file is never overwritten.
        exports[1].start(program(), { u"export"_s, archives[1] });
        QVERIFY(exports[1].waitForFinished(60000));
        QCOMPARE(exports[1].exitCode(), ExitCode::Usage);
    }
};

QUILLO_TEST_MAIN(TestCliProcess)
#include "tst_cliprocess.moc"
