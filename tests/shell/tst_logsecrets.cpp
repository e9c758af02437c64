// No secret reaches the process log: a real login, preparation and upload against the stand-in
// service, in the desktop flow (driven as a user would, every category on, every line captured
// behind the program's own log mask), through the desktop program as a process (with its default
// logging and with every category on) and through the quillo command with every category on.
// Whatever was logged is compared with the secrets the settings file holds after the login.
#include "app/Config.h"
#include "app/LogMask.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "builds/QDWelcomeViewController.h"
#include "tests/account/UserInput.h"
#include "tests/shell/ShellFixture.h"
#include "tests/support/Fixtures.h"
#include "tests/support/GuiTestMain.h"
#include "tests/support/TestService.h"
#include "tests/upload/UploadWindowDriver.h"
#include "ui/Alert.h"
#include "upload/QDDragDropViewController.h"
#include "upload/QDScreenStack.h"
#include "upload/QDUploadViewController.h"
#include "upload/UploadFlow.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>

using namespace Qt::StringLiterals;

namespace {

QStringList g_lines;
QtMessageHandler g_testHandler = nullptr;
void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    g_lines.append(message);
    g_testHandler(type, context, message);
}

// The secrets in the settings file as it is on disk: the session key and the token.
QStringList storedSecrets(const QString &settingsFile)
{
    QFile file(settingsFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject settings = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonObject record = settings.value(QSLoginModel::kLoggedUserInfoKey).toObject();
    return { settings.value(QSLoginModel::kLoggedUidKey).toString(), record.value(u"userKey"_s).toString(),
        record.value(u"u_api_token"_s).toString() };
}

// Why the log is not acceptable, or empty: none of the secrets, and either the request and reply
// lines with masked values (the categories were on) or no debug line at all.
QString judge(const QString &log, const QStringList &secrets, bool debugLines)
{
    for (const QString &secret : secrets) {
        if (secret.size() < 8)
            return u"the settings file holds no credential: "_s + secrets.join(u", "_s);
        if (log.contains(secret))
            return u"the log holds the secret "_s + secret;
    }
    const bool shaped
        = log.contains(u"request ----->"_s) && log.contains(u"response ----->"_s) && log.contains(u"\"***\""_s);
    if (debugLines && !shaped)
        return u"the log lacks the request and reply lines"_s;
    if (!debugLines && log.contains(u"request ----->"_s))
        return u"debug lines are on by default"_s;
    return {};
}

QProcessEnvironment environmentFor(const TestService &service)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"QUILLO_SERVICE_HOST"_s, service.host());
    return env;
}

} // namespace

class LogSecretsTest : public QObject
{
    Q_OBJECT

    TestService m_service;
    TestService::Account m_account;
    QString m_apk;
    ShellFixture m_shell;

    // quillo with every category on; its standard error.
    QString quillo(const QStringList &arguments, const QByteArray &input = {})
    {
        QProcess process;
        QProcessEnvironment env = environmentFor(m_service);
        env.insert(u"QT_LOGGING_RULES"_s, u"quillo.*=true"_s);
        process.setProcessEnvironment(env);
        process.start(TestEnvironment::binDir() + u"/quillo"_s, arguments);
        process.write(input);
        process.closeWriteChannel();
        if (!process.waitForFinished(60000) || process.exitCode() != 0)
            return u"quillo %1 failed: "_s.arg(arguments.join(u' '))
                + QString::fromUtf8(process.readAllStandardError());
        return QString::fromUtf8(process.readAllStandardError());
    }

private slots:
    void initTestCase()
    {
        QDScreenStack::setAnimationDuration(0);
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_service.setAsServiceHost();
        m_account = m_service.registerAndLogin();
        QVERIFY2(m_account.valid(), qPrintable(m_account.error));
        Fixtures::Apk apk;
        apk.package = u"com.example.secrets"_s;
        m_apk = TestEnvironment::path(u"pkg/secrets.apk"_s);
        QVERIFY2(Fixtures::makeApk(m_apk, apk), qPrintable(Fixtures::lastError()));
        Preferences::setValue(u"isLaunched"_s, u"1"_s);
    }

    void cleanup() { m_shell.stop(); }

    void desktopFlowWithEveryCategory()
    {
        g_testHandler = qInstallMessageHandler(record);
        LogMask::install(); // as main() does: the mask goes before everything else
        g_lines.clear();

        QSLoginModel::setLogout();
        m_shell.start();
        QDLoginViewController *login = m_shell.delegate->loginController();
        QVERIFY(login);
        UserInput::type(login->findChild<QLineEdit *>(u"emailTextField"_s), m_account.email);
        UserInput::type(login->findChild<QLineEdit *>(u"passwordTextField"_s), m_account.password);
        UserInput::click(login->findChild<QPushButton *>(u"loginButton"_s));
        QTRY_VERIFY_WITH_TIMEOUT(m_shell.delegate->welcomeController(), 10000);

        QDWelcomeViewController *welcome = m_shell.delegate->welcomeController();
        welcome->uploadButtonClicked();
        QDUploadViewController *upload = welcome->uploadController();
        QVERIFY(upload);
        QVERIFY(UploadWindowDriver::drop(upload->dragDropViewController()->dragDropView(), { m_apk }));
        QTRY_VERIFY_WITH_TIMEOUT(upload->flow()->state() == UploadFlow::State::Form, 20000);
        Alert::setNextAnswer(1); // not now, in the success question
        UploadWindowDriver::click(upload->uploadButton());
        QTRY_COMPARE_WITH_TIMEOUT(Alert::history().size(), 1, 30000);
        QTRY_COMPARE(m_service.releases().size(), 1);

        const QString log = g_lines.join(u'\n');
        const QStringList secrets = storedSecrets(Config::settingsFile()) << m_account.password;
        qInstallMessageHandler(g_testHandler);
        const QString fault = judge(log, secrets, true);
        QVERIFY2(fault.isEmpty(), qPrintable(fault + u"\n"_s + log));
    }

    // The program itself, opened on a package (which it prepares) by its debugging aid, with a
    // session that quillo stored: first with its default logging, then with every category on.
    void desktopProgramLog_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::newRow("default") << QString();
        QTest::newRow("every category") << u"quillo.*=true"_s;
    }
    void desktopProgramLog()
    {
        QFETCH(QString, rules);
        const QString settings = Config::settingsFile();
        const QString login
            = quillo({ u"login"_s, u"--email"_s, m_account.email, u"--password-stdin"_s }, m_account.password.toUtf8());
        QVERIFY2(!login.contains(u"failed"_s), qPrintable(login));
        const qsizetype prepared = m_service.log().count("/apiv1/app/uploadPrepare");

        QProcess desktop;
        QProcessEnvironment env = environmentFor(m_service);
        env.remove(u"QT_LOGGING_RULES"_s);
        if (!rules.isEmpty())
            env.insert(u"QT_LOGGING_RULES"_s, rules);
        env.insert(u"QUILLO_OPEN_PACKAGE"_s, m_apk);
        const QString runtime = TestEnvironment::path(u"runtime/"_s + (rules.isEmpty() ? u"default"_s : u"all"_s));
        QVERIFY(QDir().mkpath(runtime));
        env.insert(u"XDG_RUNTIME_DIR"_s, runtime);
        desktop.setProcessEnvironment(env);
        desktop.start(TestEnvironment::binDir() + u"/quillo-desktop"_s, {});
        QVERIFY(desktop.waitForStarted());
        // The request line goes out before the request: once the service has answered the
        // preparation, the line is written if it is on; with every category on, wait for the
        // program's line of the reply too.
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT(m_service.log().count("/apiv1/app/uploadPrepare") > prepared, 30000);
        if (!rules.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT((err += desktop.readAllStandardError()).contains("\"shortcutUrl\""), 10000);
        }
        desktop.terminate();
        QVERIFY(desktop.waitForFinished(10000));
        const QString log = QString::fromUtf8(err + desktop.readAllStandardError());

        const QString fault = judge(log, storedSecrets(settings) << m_account.password, !rules.isEmpty());
        QVERIFY2(fault.isEmpty(), qPrintable(fault + u"\n"_s + log));
    }

    void quilloWithEveryCategory()
    {
        QString log
            = quillo({ u"login"_s, u"--email"_s, m_account.email, u"--password-stdin"_s }, m_account.password.toUtf8());
        log += quillo({ u"upload"_s, m_apk, u"--json"_s });
        const QString fault = judge(log, storedSecrets(Config::settingsFile()) << m_account.password, true);
        QVERIFY2(fault.isEmpty(), qPrintable(fault + u"\n"_s + log));
        QVERIFY2(log.contains(u"/apiv1/app/uploadPrepare"_s), qPrintable(log));
    }
};

int main(int argc, char *argv[])
{
    TestEnvironment::setUp();
    // Every category on, before the application reads the rules.
    qputenv("QT_LOGGING_RULES", "quillo.*=true");
    QApplication app(argc, argv);
    enableGuiTestHooks();
    LogSecretsTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logsecrets.moc"
