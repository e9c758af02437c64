#include "app/Config.h"
#include "devicelog/DeviceLogReader.h"
#include "tests/devicelog/FakeDeviceConsole.h"
#include "tests/support/ProcessCheck.h"
#include "tests/support/TestEnvironment.h"

#include <QSignalSpy>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(DeviceLogReader::Outcome)

namespace {

struct Collected
{
    QStringList entries;
    QList<qsizetype> batches;
    std::optional<std::pair<DeviceLogReader::Outcome, int>> end;
};

void collect(DeviceLogReader &reader, Collected &into)
{
    QObject::connect(&reader, &DeviceLogReader::entriesArrived, &reader, [&into](const QStringList &entries) {
        into.entries += entries;
        into.batches.append(entries.size());
    });
    QObject::connect(&reader, &DeviceLogReader::finished, &reader,
        [&into](DeviceLogReader::Outcome outcome, int code) { into.end = std::make_pair(outcome, code); });
}

} // namespace

class TestDeviceLogReader : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void entrySplitAcrossChunksBecomesTwo()
    {
        FakeDeviceConsole tool(
            { "Dec  7 10:00:01 iPhone alpha[1] <Notice>: hel", "lo\nDec  7 10:00:02 iPhone beta[2] <Notice>: next\n" });
        DeviceLogReader reader;
        Collected got;
        collect(reader, got);
        reader.start(Config::resourcePath(u"deviceconsole"_s));
        tool.release(0);
        QTRY_COMPARE(got.entries.size(), 1);
        tool.release(1);
        QTRY_COMPARE(got.entries.size(), 3);
        QCOMPARE(got.entries,
            QStringList({ u"10:00:01 iPhone alpha \u2192  <Notice>: hel"_s, u"lo\n"_s,
                u"10:00:02 iPhone beta \u2192  <Notice>: next\n"_s }));
        QVERIFY(!got.end);
    }

    void characterCutBetweenChunksIsKept()
    {
        FakeDeviceConsole tool({ "Dec  7 10:00:01 iPhone alpha[1] <Notice>: a \xe2\x86", "\x92 b\n" });
        DeviceLogReader reader;
        Collected got;
        collect(reader, got);
        reader.start(Config::resourcePath(u"deviceconsole"_s));
        tool.release(0);
        QTRY_COMPARE(got.entries.size(), 1);
        tool.release(1);
        QTRY_COMPARE(got.entries.size(), 2);
        QCOMPARE(got.entries, QStringList({ u"10:00:01 iPhone alpha \u2192  <Notice>: a "_s, u"\u2192 b\n"_s }));
    }

    // A flood of lines arrives complete and in order, in bounded batches. One write per line, so
    // that no chunk ends inside a line (a pipe never splits a write this small).
    void floodArrivesInOrder()
    {
        FakeDeviceConsole tool("#!/bin/sh\n"
                               "awk 'BEGIN { for (i = 0; i < 60000; i++) { printf \"Jan  2 03:04:05 d p[1] <N>: line "
                               "%d\\n\", i; fflush() } }'\n");
        DeviceLogReader reader;
        Collected got;
        collect(reader, got);
        reader.start(Config::resourcePath(u"deviceconsole"_s));
        QTRY_VERIFY_WITH_TIMEOUT(got.end.has_value(), 30000);
        QCOMPARE(got.end->first, DeviceLogReader::Outcome::Ended);
        QCOMPARE(got.end->second, 0);
        QCOMPARE(got.entries.size(), 60000);
        for (int i = 0; i < got.entries.size(); ++i)
            QCOMPARE(got.entries.at(i), u"03:04:05 d p \u2192  <N>: line %1\n"_s.arg(i));
        QVERIFY(std::all_of(got.batches.cbegin(), got.batches.cend(),
            [](qsizetype n) { return n > 0 && n <= DeviceLogReader::kMaxBatch; }));
    }

    void outcomes_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<DeviceLogReader::Outcome>("outcome");
        QTest::addColumn<int>("code");
        QTest::newRow("launcher: tool not installed")
            << QByteArray("#!/bin/sh\nexit 127\n") << DeviceLogReader::Outcome::ToolNotInstalled << 127;
        QTest::newRow("launcher: no device")
            << QByteArray("#!/bin/sh\nexit 69\n") << DeviceLogReader::Outcome::NoDevice << 69;
        QTest::newRow("ended") << QByteArray("#!/bin/sh\nexit 3\n") << DeviceLogReader::Outcome::Ended << 3;
        QTest::newRow("killed") << QByteArray("#!/bin/sh\nkill -9 $$\n") << DeviceLogReader::Outcome::Crashed << 9;
        QTest::newRow("not executable") << QByteArray() << DeviceLogReader::Outcome::FailedToStart << -1;
    }
    void outcomes()
    {
        QFETCH(QByteArray, script);
        QFETCH(DeviceLogReader::Outcome, outcome);
        QFETCH(int, code);
        FakeDeviceConsole tool(script.constData());
        if (script.isEmpty())
            QFile::setPermissions(Config::resourcePath(u"deviceconsole"_s), QFile::ReadOwner | QFile::WriteOwner);
        DeviceLogReader reader;
        Collected got;
        collect(reader, got);
        reader.start(Config::resourcePath(u"deviceconsole"_s));
        QTRY_VERIFY(got.end.has_value());
        QCOMPARE(got.end->first, outcome);
        if (outcome != DeviceLogReader::Outcome::Crashed)
            QCOMPARE(got.end->second, code);
    }

    void missingToolFailsToStart()
    {
        FakeDeviceConsole emptyFolder;
        DeviceLogReader reader;
        Collected got;
        collect(reader, got);
        reader.start(Config::resourcePath(u"deviceconsole"_s));
        QTRY_VERIFY(got.end.has_value());
        QCOMPARE(got.end->first, DeviceLogReader::Outcome::FailedToStart);
    }

    void stoppingEndsTheTool()
    {
        FakeDeviceConsole tool(QList<QByteArray> { "Jan  2 03:04:05 d p[1] <N>: x\n" });
        Collected got;
        qint64 pid = 0;
        {
            DeviceLogReader reader;
            collect(reader, got);
            reader.start(Config::resourcePath(u"deviceconsole"_s));
            tool.release(0);
            QTRY_COMPARE(got.entries.size(), 1);
            pid = tool.pid();
            QVERIFY(FakeDeviceConsole::isAlive(pid));
        }
        QTRY_VERIFY(!ProcessCheck::isRunning(pid));
        QVERIFY(!got.end); // nothing is delivered once the reader is gone
    }

    // A tool that ignores SIGTERM: stop() returns without waiting for it (the window that stops it
    // stays responsive), and it is killed after the grace period, with what it started.
    void stoppingDoesNotWaitForAStubbornTool()
    {
        FakeDeviceConsole tool("#!/bin/sh\n"
                               "dir=$(dirname \"$0\")\n"
                               "trap '' TERM\n"
                               "sleep 600 &\n"
                               "echo $! > \"$dir/child\"\n"
                               "echo $$ > \"$dir/pid\"\n"
                               "echo 'Jan  2 03:04:05 d p[1] <N>: x'\n"
                               "wait\n");
        DeviceLogReader reader;
        Collected got;
        collect(reader, got);
        reader.start(Config::resourcePath(u"deviceconsole"_s));
        QTRY_COMPARE(got.entries.size(), 1);
        const qint64 pid = tool.pid();
        const qint64 child = ProcessCheck::pidFromFile(tool.dir() + u"/child"_s);
        QVERIFY(ProcessCheck::isRunning(pid) && ProcessCheck::isRunning(child));
        reader.stop();
        QVERIFY(ProcessCheck::isRunning(pid));
        QTRY_VERIFY_WITH_TIMEOUT(!ProcessCheck::isRunning(pid) && !ProcessCheck::isRunning(child), 10000);
        QVERIFY(!got.end);
    }

    // The launcher shipped in the resource folder, with stand-ins for the programs it runs.
    void launcher()
    {
        const QString launcher = TestEnvironment::sourceDir() + u"/resources/deviceconsole"_s;
        const QString bin = TestEnvironment::path(u"launcher-bin/x"_s).chopped(2);
        auto writeTool = [&](const QString &name, const QByteArray &script) {
            QFile file(bin + u'/' + name);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(script);
            file.close();
            file.setPermissions(file.permissions() | QFile::ExeOwner);
        };
        const QByteArray path = qgetenv("PATH");
        auto run = [&](const QByteArray &searchPath, Collected &got) {
            qputenv("PATH", searchPath);
            DeviceLogReader reader;
            collect(reader, got);
            reader.start(launcher);
            QTRY_VERIFY(got.end.has_value());
            qputenv("PATH", path);
        };

        // idevicesyslog missing from the search path (the launcher only needs the shell's builtins then).
        Collected missing;
        run(QFile::encodeName(bin), missing);
        QCOMPARE(missing.end->first, DeviceLogReader::Outcome::ToolNotInstalled);

        writeTool(u"idevicesyslog"_s, "#!/bin/sh\nprintf 'Jan  2 03:04:05 d p[1] <N>: args %s\\n' \"$*\"\n");
        writeTool(u"idevice_id"_s, "#!/bin/sh\n[ -f \"$(dirname \"$0\")/device\" ] && echo 00008030-0001\nexit 0\n");
        Collected noDevice;
        run(QFile::encodeName(bin) + ":/usr/bin:/bin", noDevice);
        QCOMPARE(noDevice.end->first, DeviceLogReader::Outcome::NoDevice);
        QVERIFY(noDevice.entries.isEmpty());

        writeTool(u"device"_s, {});
        Collected device;
        run(QFile::encodeName(bin) + ":/usr/bin:/bin", device);
        QCOMPARE(device.end->first, DeviceLogReader::Outcome::Ended);
        QCOMPARE(device.entries, QStringList(u"03:04:05 d p \u2192  <N>: args --no-colors\n"_s));
    }
};

QUILLO_TEST_MAIN(TestDeviceLogReader)
#include "tst_devicelogreader.moc"
