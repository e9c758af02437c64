// The CI examples of docs/ci, run as a CI system would run them against the stand-in service:
// the plain shell script whole, and the upload step of the GitHub Actions workflow and of the
// GitLab CI job, read out of their YAML with a YAML parser (yq). Only the built quillo, jq and
// bash, with nothing but QUILLO_USER_KEY for a session and no settings file.

#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TestService.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

using namespace Qt::StringLiterals;

namespace {

struct Ran
{
    int status = -1;
    QString out;
    QString err;
};

Ran runProcess(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
    const QString &folder = {})
{
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!folder.isEmpty())
        process.setWorkingDirectory(folder);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    Ran ran;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
    }
    ran.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    ran.out = QString::fromUtf8(process.readAllStandardOutput());
    ran.err = QString::fromUtf8(process.readAllStandardError()) + process.errorString();
    return ran;
}

QByteArray describe(const Ran &ran)
{
    return u"status %1\n--- out\n%2\n--- err\n%3"_s.arg(ran.status).arg(ran.out, ran.err).toUtf8();
}

QString example(const QString &name)
{
    return TestEnvironment::sourceDir() + u"/docs/ci/"_s + name;
}

// A YAML file's value at a jq path, as JSON.
QJsonValue yamlValue(const QString &file, const QString &path)
{
    const Ran ran = runProcess(
        u"/usr/bin/yq"_s, { u"-c"_s, u"[%1]"_s.arg(path), file }, QProcessEnvironment::systemEnvironment());
    return QJsonDocument::fromJson(ran.out.toUtf8()).array().at(0);
}

} // namespace

class TestCiExamples : public QObject
{
    Q_OBJECT

    TestService m_service;
    TestService::Account m_ci;
    QString m_apk;
    QProcessEnvironment m_runner;

    // What a CI system hands the upload step, plus its own variables.
    QProcessEnvironment runner(const QList<std::pair<QString, QString>> &more) const
    {
        QProcessEnvironment environment = m_runner;
        for (const auto &[name, value] : more)
            environment.insert(name, value);
        return environment;
    }

    void verifyPublished(const QString &url, const QString &notes)
    {
        const TestService::StoredRelease stored = m_service.releases().constLast();
        QCOMPARE(url, m_service.baseUrl() + u'/' + stored.shortcut);
        QCOMPARE(stored.packageName, u"com.example.ci"_s);
        QCOMPARE(stored.description, notes);
        QCOMPARE(m_service.get(u"/"_s + stored.shortcut).status, 200);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_service.setAsServiceHost();
        m_ci = m_service.registerAndLogin(u"ci-bot@example.com"_s);
        QVERIFY2(m_ci.valid(), qPrintable(m_ci.error));
        Fixtures::Apk apk;
        apk.package = u"com.example.ci"_s;
        m_apk = TestEnvironment::path(u"app/build/outputs/apk/release/app-release.apk"_s);
        QVERIFY2(Fixtures::makeApk(m_apk, apk), qPrintable(Fixtures::lastError()));

        m_runner = QProcessEnvironment::systemEnvironment();
        m_runner.insert(u"PATH"_s, TestEnvironment::binDir() + u":/usr/bin:/bin"_s);
        m_runner.insert(u"QUILLO_USER_KEY"_s, m_ci.userKey);
        // No settings on the runner: the file must not come into being either.
        m_runner.insert(u"QUILLO_SETTINGS_FILE"_s, TestEnvironment::root() + u"/runner-settings/preferences.json"_s);
    }

    void cleanupTestCase() { QVERIFY(!QFileInfo::exists(TestEnvironment::root() + u"/runner-settings"_s)); }

    void shellScript()
    {
        const QString githubOutput = TestEnvironment::path(u"shell/github-output"_s);
        const QString envFile = TestEnvironment::path(u"shell/quillo.env"_s);
        const Ran ran = runProcess(u"/bin/bash"_s, { example(u"upload.sh"_s), m_apk, u"第一版"_s },
            runner({ { u"GITHUB_OUTPUT"_s, githubOutput }, { u"QUILLO_ENV_FILE"_s, envFile } }));
        QVERIFY2(ran.status == 0, describe(ran).constData());
        const QString url = ran.out.trimmed().section(u'=', 1);
        QCOMPARE(ran.out, u"QUILLO_DOWNLOAD_URL=%1\n"_s.arg(url));
        verifyPublished(url, u"第一版"_s);
        QCOMPARE(QString::fromUtf8(Fixtures::readAll(githubOutput)), u"download_url=%1\n"_s.arg(url));
        QCOMPARE(QString::fromUtf8(Fixtures::readAll(envFile)), u"QUILLO_DOWNLOAD_URL=%1\n"_s.arg(url));

        // Without the secret the script says so before anything is sent.
        QProcessEnvironment noSecret = runner({});
        noSecret.remove(u"QUILLO_USER_KEY"_s);
        const qsizetype before = m_service.releases().size();
        const Ran refused = runProcess(u"/bin/bash"_s, { example(u"upload.sh"_s), m_apk }, noSecret);
        QCOMPARE(refused.status, 2);
        QVERIFY(refused.err.contains(u"QUILLO_USER_KEY"_s));
        QCOMPARE(m_service.releases().size(), before);
    }

    void githubActionsWorkflow()
    {
        const QString file = example(u"github-actions.yml"_s);
        // The step's output becomes the job's, which a later job reads.
        QCOMPARE(yamlValue(file, u".jobs.build.outputs.download_url"_s).toString(),
            u"${{ steps.quillo.outputs.download_url }}"_s);
        QCOMPARE(yamlValue(file, u".jobs.announce.needs"_s).toString(), u"build"_s);
        const QString step = u".jobs.build.steps[] | select(.id == \"quillo\")"_s;
        QCOMPARE(yamlValue(file, step + u" | .env.QUILLO_USER_KEY"_s).toString(), u"${{ secrets.QUILLO_USER_KEY }}"_s);
        const QString script = yamlValue(file, step + u" | .run"_s).toString();
        QVERIFY2(script.contains(u"quillo upload"_s), qPrintable(script));

        // Run as the runner runs it (bash -e -o pipefail), with the step's environment.
        const QString output = TestEnvironment::path(u"github/output"_s);
        const QString summary = TestEnvironment::path(u"github/summary"_s);
        const Ran ran
            = runProcess(u"/bin/bash"_s, { u"--noprofile"_s, u"--norc"_s, u"-eo"_s, u"pipefail"_s, u"-c"_s, script },
                runner({ { u"PACKAGE"_s, m_apk }, { u"NOTES"_s, u"Fix the crash at start"_s },
                    { u"GITHUB_OUTPUT"_s, output }, { u"GITHUB_STEP_SUMMARY"_s, summary } }));
        QVERIFY2(ran.status == 0, describe(ran).constData());
        const QString written = QString::fromUtf8(Fixtures::readAll(output));
        QVERIFY2(written.startsWith(u"download_url=http://"_s) && written.count(u'\n') == 1, qPrintable(written));
        verifyPublished(written.trimmed().section(u'=', 1), u"Fix the crash at start"_s);
    }

    void gitlabCiJob()
    {
        const QString file = example(u"gitlab-ci.yml"_s);
        QCOMPARE(yamlValue(file, u".quillo.artifacts.reports.dotenv"_s).toString(), u"quillo.env"_s);
        QCOMPARE(yamlValue(file, u".announce.needs[0]"_s).toString(), u"quillo"_s);
        const QJsonArray lines = yamlValue(file, u".quillo.script"_s).toArray();
        QStringList script;
        for (const QJsonValue &line : lines)
            script.append(line.toString());
        QVERIFY2(script.size() >= 2, qPrintable(script.join(u'\n')));

        // The job's folder is the checkout: the dotenv report is written there.
        const QString folder = QFileInfo(TestEnvironment::path(u"gitlab/checkout/x"_s)).path();
        const Ran ran = runProcess(u"/bin/bash"_s, { u"-e"_s, u"-c"_s, script.join(u'\n') },
            runner({ { u"PACKAGE"_s, m_apk }, { u"CI_COMMIT_TITLE"_s, u"Nightly"_s } }), folder);
        QVERIFY2(ran.status == 0, describe(ran).constData());
        const QString report = QString::fromUtf8(Fixtures::readAll(folder + u"/quillo.env"_s));
        QVERIFY2(report.startsWith(u"QUILLO_DOWNLOAD_URL=http://"_s) && report.count(u'\n') == 1, qPrintable(report));
        verifyPublished(report.trimmed().section(u'=', 1), u"Nightly"_s);
    }
};

QUILLO_TEST_MAIN(TestCiExamples)
#include "tst_ciexamples.moc"
