#include "RecordingDelegate.h"

#include "app/WorkFolder.h"
#include "inspect/ExportRunner.h"
#include "inspect/PackageInspector.h"
#include "inspect/QDArchiveModel.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Skips.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

namespace {

// The process exists and has not ended (a zombie has ended: only its exit status is left).
bool running(qint64 pid)
{
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype state = line.lastIndexOf(')') + 2; // after "pid (name) "
    return state < line.size() && line.at(state) != 'Z' && line.at(state) != 'X';
}

} // namespace

class TestExportRunner : public QObject
{
    Q_OBJECT

    QString m_archive;

private Q_SLOTS:
    void initTestCase()
    {
        // Blanks and a quote in the archive's path: it must still reach the tool as one argument.
        m_archive = TestEnvironment::root() + u"/Archives/2024-03-05/Demo 5.3.24, 14.07 'beta'.xcarchive"_s;
        QVERIFY2(Fixtures::makeArchive(m_archive), qPrintable(Fixtures::lastError()));
    }
    void init() { Fixtures::useFakeXcodebuild(u"export"_s); }
    void cleanup() { QDir(WorkFolder::path()).removeRecursively(); }

    // The exported package goes straight into the .ipa inspection, as the recent-builds screen does.
    void exportsAndTheResultIsInspectable()
    {
        ExportRunner runner;
        QSignalSpy finished(&runner, &ExportRunner::finished);
        QTest::ignoreMessage(QtInfoMsg, "Parse finished");
        QVERIFY(runner.start(QDArchiveModel(m_archive)));
        QCOMPARE(finished.size(), 0); // never inside start()
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(runner.folders().size(), 1);
        const QString package = runner.folders().first() + u"/qlo.ipa"_s;
        QVERIFY(package.startsWith(WorkFolder::path() + u"/export-"_s));
        QCOMPARE(finished.first().at(0).toBool(), true);
        QCOMPARE(finished.first().at(1).toString(), package);
        QVERIFY(!runner.isRunning());

        QCOMPARE(Fixtures::fakeXcodebuildArguments(),
            (QStringList { u"-exportArchive"_s, u"-exportFormat"_s, u"ipa"_s, u"-archivePath"_s, m_archive,
                u"-exportPath"_s, package, u"-exportProvisioningProfile"_s, u"Demo Profile"_s }));

        RecordingDelegate delegate;
        PackageInspector inspector(&delegate);
        inspector.ParseIPA(package);
        QCOMPARE(delegate.record.value(u"packageName"_s), QVariant(u"com.example.demo"_s));
        QVERIFY(QFileInfo(delegate.record.value(u"iconPath"_s).toString()).isFile());
        // The clean-up after the form leaves the exported package for the upload.
        inspector.removeUnpacked();
        QVERIFY(QFileInfo(package).isFile());
    }

    // A package left by an earlier export (or by the shared path of older versions) never passes
    // for the new one: each export starts in an empty folder of its own, removed with the runner.
    void staleExportNeverPassesForANewOne()
    {
        // A failed export after one that succeeded, in the same runner: the failure is reported
        // as one, and the first package stays (its upload may still want it).
        {
            ExportRunner runner;
            QSignalSpy finished(&runner, &ExportRunner::finished);
            QVERIFY(runner.start(m_archive, u"Demo Profile"_s));
            QVERIFY(finished.wait(20000));
            QCOMPARE(finished.first().at(0).toBool(), true);
            const QString exported = finished.first().at(1).toString();
            QVERIFY(QFileInfo(exported).isFile());
            Fixtures::useFakeXcodebuild(u"fail"_s);
            QVERIFY(runner.start(m_archive, u"Demo Profile"_s));
            QVERIFY(finished.wait(20000));
            QCOMPARE(finished.size(), 2);
            QCOMPARE(finished.at(1).at(0).toBool(), false);
            QVERIFY(!QFileInfo::exists(finished.at(1).at(1).toString()));
            QVERIFY(QFileInfo(exported).isFile());
        }

        const QString stalePackage = WorkFolder::ensure() + u"/qlo.ipa"_s;
        QFile stale(stalePackage);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("stale package");
        stale.close();
        QString folder;
        {
            ExportRunner runner;
            QSignalSpy finished(&runner, &ExportRunner::finished);
            QVERIFY(runner.start(m_archive, u"Demo Profile"_s));
            QVERIFY(finished.wait(20000));
            QCOMPARE(finished.first().at(0).toBool(), false);
            folder = runner.folders().value(0);
            QCOMPARE(finished.first().at(1).toString(), folder + u"/qlo.ipa"_s);
            QVERIFY(QFileInfo(folder).isDir());
        }
        QVERIFY(!QFileInfo::exists(folder));
    }

    // Tools that end at once, or cannot start at all (no build tool on this system), take the
    // failure path; the end is never missed and reported once.
    void toolsThatEndAtOnceOrNeverStart_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<bool>("starts");
        QTest::newRow("true") << u"/bin/true"_s << true;
        QTest::newRow("false") << u"/bin/false"_s << true;
        QTest::newRow("missing") << TestEnvironment::root() + u"/no/xcodebuild"_s << false;
        QTest::newRow("not configured") << QString() << false;
    }
    void toolsThatEndAtOnceOrNeverStart()
    {
        QFETCH(QString, tool);
        QFETCH(bool, starts);
        if (tool.isEmpty()) {
            qunsetenv("QUILLO_XCODEBUILD"); // the default path, absent on this system
            if (QFileInfo::exists(u"/usr/bin/xcodebuild"_s))
                QUILLO_SKIP(DefaultToolPathTaken, "a real xcodebuild is installed");
        } else {
            qputenv("QUILLO_XCODEBUILD", QFile::encodeName(tool));
        }
        ExportRunner runner;
        QSignalSpy finished(&runner, &ExportRunner::finished);
        if (!starts)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Export tool could not be started"_s));
        runner.start(m_archive, u"Demo Profile"_s);
        QCOMPARE(finished.size(), 0);
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.first().at(0).toBool(), false);
        QVERIFY(!QFileInfo::exists(finished.first().at(1).toString()));
        // A second report would be queued before the one of an export started now.
        Fixtures::useFakeXcodebuild(u"fail"_s);
        runner.start(m_archive, u"Demo Profile"_s);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 10000);
        QCOMPARE(Fixtures::fakeXcodebuildPids().size(), 1);
    }

    // Without a profile name the tool cannot export: it is not started, and the failure follows.
    void noProfileNameFailsWithoutTheTool()
    {
        const QString archive = TestEnvironment::root() + u"/Archives/NoProfile.xcarchive"_s;
        Fixtures::Archive fixture;
        fixture.profileName.reset();
        QVERIFY(Fixtures::makeArchive(archive, fixture));
        ExportRunner runner;
        QSignalSpy finished(&runner, &ExportRunner::finished);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"names no provisioning profile"_s));
        QVERIFY(!runner.start(QDArchiveModel(archive)));
        QCOMPARE(finished.size(), 0);
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().at(0).toBool(), false);
        QVERIFY(Fixtures::fakeXcodebuildArguments().isEmpty());
    }

    // Cancelling ends the tool itself (by its process id), and reports nothing. The tool would
    // wait 15 s: well past the 5 s in which it must have gone.
    void cancelEndsTheToolWithoutAResult()
    {
        Fixtures::useFakeXcodebuild(u"sleep:15"_s);
        auto *runner = new ExportRunner;
        QSignalSpy finished(runner, &ExportRunner::finished);
        QVERIFY(runner->start(m_archive, u"Demo Profile"_s));
        QVERIFY(runner->isRunning());
        QTRY_COMPARE(Fixtures::fakeXcodebuildPids().size(), 1);
        const qint64 tool = Fixtures::fakeXcodebuildPids().constFirst();
        QVERIFY(running(tool));
        runner->cancel();
        QVERIFY(!runner->isRunning());
        QTRY_VERIFY2(!running(tool), "the build tool runs on after cancel()");

        // The next export's report is the only one: the cancelled one's would have come first.
        Fixtures::useFakeXcodebuild(u"export"_s);
        QVERIFY(runner->start(m_archive, u"Demo Profile"_s));
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().at(0).toBool(), true);

        // Destroying a runner with an export under way ends its tool the same way, and then its
        // folder goes.
        Fixtures::useFakeXcodebuild(u"sleep:15"_s);
        QVERIFY(runner->start(m_archive, u"Demo Profile"_s));
        QTRY_COMPARE(Fixtures::fakeXcodebuildPids().size(), 1);
        const qint64 second = Fixtures::fakeXcodebuildPids().constFirst();
        QVERIFY(running(second));
        // The finished export's folder (its package still wanted) and the running one's.
        const QStringList folders = runner->folders();
        QCOMPARE(folders.size(), 2);
        delete runner;
        QTRY_VERIFY2(!running(second), "the build tool runs on after the runner went away");
        QTRY_COMPARE(QDir(WorkFolder::path()).entryList({ u"export-*"_s }, QDir::Dirs), QStringList());
        for (const QString &folder : folders)
            QVERIFY2(!QFileInfo::exists(folder), qPrintable(folder));
    }

    // Two exports at once (a second archive picked during the first): each reports for itself.
    void concurrentExportsEachReport()
    {
        Fixtures::useFakeXcodebuild(u"sleep:0.5"_s);
        ExportRunner runner;
        QSignalSpy finished(&runner, &ExportRunner::finished);
        QVERIFY(runner.start(m_archive, u"Demo Profile"_s));
        QVERIFY(runner.start(m_archive, u"Demo Profile"_s));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 20000);
        QVERIFY(finished.at(0).at(0).toBool());
        QVERIFY(finished.at(1).at(0).toBool());
    }
};

QUILLO_TEST_MAIN(TestExportRunner)
#include "tst_exportrunner.moc"
