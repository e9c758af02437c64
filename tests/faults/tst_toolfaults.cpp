// The three outside tools misbehaving: aapt, deviceconsole and xcodebuild that crash, hang,
// print garbage or never stop printing. Each case ends in the outcome the program defines for
// it, in bounded time, without a crash, and without leaving the tool running.
//
// Already covered elsewhere and not repeated here: a missing, unexecutable, silent, non-UTF-8,
// killed or hung aapt (tests/inspect/tst_apkinspection), a deviceconsole that exits, is killed or
// is stopped (tests/devicelog/tst_devicelogreader), xcodebuild that ends at once, is missing or
// is cancelled (tests/inspect/tst_exportrunner).

#include "devicelog/DeviceLogReader.h"
#include "inspect/PackageInspector.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"
#include "upload/UploadFlow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

// An executable script named `name` in a folder of its own; returns the folder.
QString toolFolder(const QString &tag, const QString &name, const QByteArray &script)
{
    const QString folder = TestEnvironment::root() + u"/tools/"_s + tag;
    QDir().mkpath(folder);
    QFile file(folder + u'/' + name);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(script);
    file.close();
    file.setPermissions(file.permissions() | QFile::ExeOwner);
    return folder;
}

// Whether a process of this session still runs the given marker in its command line.
bool markerRunning(const QByteArray &marker)
{
    const QStringList entries = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : entries) {
        QFile cmdline(u"/proc/"_s + pid + u"/cmdline"_s);
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(marker))
            return true;
    }
    return false;
}

} // namespace

class TestToolFaults : public QObject
{
    Q_OBJECT

    QString m_apk;

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("QUILLO_TOOL_FAULTS_ORPHANS", QFile::encodeName(TestEnvironment::root() + u"/orphans"_s));
        m_apk = TestEnvironment::path(u"packages/demo.apk"_s);
        QVERIFY2(Fixtures::makeApk(m_apk), qPrintable(Fixtures::lastError()));
    }

    // aapt through the flow the desktop program and the command line share.
    void misbehavingAapt_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("recordMade");
        QTest::addColumn<QString>("packageName");
        QTest::newRow("printable garbage")
            << QByteArray("#!/bin/sh\nhead -c 65536 /dev/urandom | base64\n") << true << QString();
        QTest::newRow("binary garbage") << QByteArray("#!/bin/sh\nhead -c 65536 /dev/urandom\n") << false << QString();
        QTest::newRow("crash after part of its output") << QByteArray(
            "#!/bin/sh\nprintf \"package: name='com.example.partial' versionCode='7' vers\"\nkill -SEGV $$\n")
                                                        << true << u"com.example.partial"_s;
        QTest::newRow("output without end")
            << QByteArray("#!/bin/sh\nexec yes \"package: name='com.example.endless' marker-endless-aapt\"\n") << false
            << QString();
        QTest::newRow("ends but leaves a child holding its output")
            << QByteArray("#!/bin/sh\necho \"package: name='com.example.orphan' versionCode='1'\"\n"
                          "sleep 60 &\necho $! >> \"$QUILLO_TOOL_FAULTS_ORPHANS\"\nexit 0\n")
            << true << u"com.example.orphan"_s;
    }
    void misbehavingAapt()
    {
        QFETCH(QByteArray, script);
        QFETCH(bool, recordMade);
        QFETCH(QString, packageName);
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
        qputenv("QUILLO_RESOURCE_DIR", QFile::encodeName(toolFolder(tag, u"aapt"_s, script)));
        const auto restore
            = qScopeGuard([] { qputenv("QUILLO_RESOURCE_DIR", QFile::encodeName(TestEnvironment::resourceDir())); });

        UploadFlow flow;
        QSignalSpy ended(&flow, &UploadFlow::inspectionEnded);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(flow.ParseAPK(m_apk));
        QTRY_VERIFY_WITH_TIMEOUT(ended.size() == 1 || flow.state() == UploadFlow::State::Form, 60000);
        // Well within the two-minute limit: nobody waits for a tool that is done or has said too much.
        QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
        if (recordMade) {
            QCOMPARE(flow.state(), UploadFlow::State::Form);
            QCOMPARE(flow.record().value(u"packageName"_s).toString(), packageName);
            QCOMPARE(flow.record().size() >= 7, true);
        } else {
            QCOMPARE(ended.size(), 1);
            QCOMPARE(flow.state(), UploadFlow::State::WaitingForDrop);
            QVERIFY(flow.record().isEmpty());
        }
        QVERIFY(!markerRunning("marker-endless-aapt"));

        // The command line reads the same tool; it must end as well and say what it found.
        const ProcessRun cli = runQuilloProcess(
            { u"inspect"_s, m_apk }, { u"QUILLO_RESOURCE_DIR="_s + qEnvironmentVariable("QUILLO_RESOURCE_DIR") });
        QVERIFY2(!cli.crashed && !cli.timedOut, cli.describe().constData());
        if (recordMade) {
            QVERIFY2(cli.exitCode == 0, cli.describe().constData());
        } else {
            QVERIFY2(cli.exitCode != 0 && !cli.err.trimmed().isEmpty(), cli.describe().constData());
        }
        QVERIFY(!markerRunning("marker-endless-aapt"));
    }
    void cleanup()
    {
        // What a tool left running in the background (the orphan case) goes with the test.
        QFile orphans(TestEnvironment::root() + u"/orphans"_s);
        if (orphans.open(QIODevice::ReadOnly)) {
            for (const QByteArray &pid : orphans.readAll().split('\n')) {
                if (pid.toInt() > 0)
                    ::kill(pid.toInt(), SIGKILL);
            }
            orphans.remove();
        }
    }

    // Garbage from the device log tool costs only the chunks it arrives in; the log lines after
    // it still arrive, in order.
    void deviceconsoleGarbageThenLines()
    {
        const QString folder = toolFolder(u"deviceconsole-garbage"_s, u"deviceconsole"_s,
            "#!/bin/sh\nhead -c 262144 /dev/urandom\nhead -c 8388608 /dev/zero | tr '\\0' 'a'\nsleep 0.3\n"
            "printf 'Dec  7 10:00:01 iPhone alpha[1] <Notice>: first\\nDec  7 10:00:02 iPhone beta[2] <Error>: "
            "second\\n'\n");
        DeviceLogReader reader;
        QStringList entries;
        connect(&reader, &DeviceLogReader::entriesArrived, this,
            [&entries](const QStringList &batch) { entries += batch; });
        QSignalSpy finished(&reader, &DeviceLogReader::finished);
        reader.start(folder + u"/deviceconsole"_s);
        QVERIFY(finished.wait(60000));
        QCOMPARE(finished.first().first().value<DeviceLogReader::Outcome>(), DeviceLogReader::Outcome::Ended);
        QVERIFY(entries.size() >= 2);
        QCOMPARE(entries.at(entries.size() - 2), u"10:00:01 iPhone alpha \u2192  <Notice>: first\n"_s);
        QCOMPARE(entries.last(), u"10:00:02 iPhone beta \u2192  <Error>: second\n"_s);
    }

    // xcodebuild through the export road of the upload window.
    void misbehavingXcodebuild_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("exported");
        QTest::newRow("crash without a package")
            << QByteArray("#!/bin/sh\necho '** EXPORT' >&2\nkill -SEGV $$\n") << false;
        QTest::newRow("garbage and no package") << QByteArray(
            "#!/bin/sh\nhead -c 3000 /dev/urandom | base64\nhead -c 3000 /dev/urandom | base64 >&2\nexit 0\n")
                                                << false;
        // Success is "the package exists once the tool has ended": a cut-off package goes on to
        // the inspection, which finds nothing in it and still leads to the form.
        QTest::newRow("crash leaving a cut-off package") << QByteArray(
            "#!/bin/sh\nhead -c $(($(stat -c %s \"$QUILLO_TOOL_FAULTS_IPA\") / 2)) \"$QUILLO_TOOL_FAULTS_IPA\" > "
            "\"$7\"\nkill -SEGV $$\n") << true;
    }
    void misbehavingXcodebuild()
    {
        QFETCH(QByteArray, script);
        QFETCH(bool, exported);
        const QString ipa = TestEnvironment::path(u"packages/whole.ipa"_s);
        QVERIFY2(QFile::exists(ipa) || Fixtures::makeIpa(ipa), qPrintable(Fixtures::lastError()));
        qputenv("QUILLO_TOOL_FAULTS_IPA", QFile::encodeName(ipa));
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
        qputenv("QUILLO_XCODEBUILD", QFile::encodeName(toolFolder(tag, u"xcodebuild"_s, script) + u"/xcodebuild"_s));

        const QString archive = TestEnvironment::path(u"Archives/Demo.xcarchive"_s);
        QVERIFY2(QFile::exists(archive) || Fixtures::makeArchive(archive), qPrintable(Fixtures::lastError()));
        UploadFlow flow(u"1"_s);
        QSignalSpy ended(&flow, &UploadFlow::exportEnded);
        QSignalSpy failed(&flow, &UploadFlow::exportFailed);
        flow.exportArchive(archive, u"Demo Profile"_s);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 30000);
        QCOMPARE(ended.first().first().toBool(), exported);
        if (exported) {
            QTRY_COMPARE_WITH_TIMEOUT(flow.state(), UploadFlow::State::Form, 30000);
            QCOMPARE(flow.record().value(u"packageName"_s).toString(), QString());
            QCOMPARE(failed.size(), 0);
        } else {
            QCOMPARE(failed.size(), 1);
            QCOMPARE(flow.state(), UploadFlow::State::ExportFailed);
        }
    }
};

QUILLO_TEST_MAIN(TestToolFaults)
#include "tst_toolfaults.moc"
