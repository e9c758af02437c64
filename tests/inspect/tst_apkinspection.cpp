#include "RecordingDelegate.h"

#include "app/WorkFolder.h"
#include "inspect/AaptRun.h"
#include "inspect/PackageInspector.h"
#include "inspect/PackageRecord.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

namespace {

using Fixtures::filesBelow;

QString realAapt()
{
    return TestEnvironment::resourceDir() + u"/aapt"_s;
}

// A resource folder whose "aapt" is the given shell script (or, with script empty, no aapt at all).
QString toolFolder(const QString &name, const QByteArray &script, bool executable = true)
{
    const QString folder = TestEnvironment::root() + u"/tools/"_s + name;
    QDir().mkpath(folder);
    if (!script.isEmpty()) {
        QFile file(folder + u"/aapt"_s);
        file.open(QIODevice::WriteOnly);
        file.write(script);
        file.close();
        if (executable)
            file.setPermissions(file.permissions() | QFile::ExeOwner);
    }
    return folder;
}

class ResourceDir
{
public:
    explicit ResourceDir(const QString &folder) : m_saved(qgetenv("QUILLO_RESOURCE_DIR"))
    {
        qputenv("QUILLO_RESOURCE_DIR", QFile::encodeName(folder));
    }
    ~ResourceDir() { qputenv("QUILLO_RESOURCE_DIR", m_saved); }

private:
    QByteArray m_saved;
};

// Threads of this process. Each aapt run reports from a thread of its own, which ends right after
// it has queued its report: back at the count from before the runs, every report is queued.
int threadCount()
{
    return int(QDir(u"/proc/self/task"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Waits until every aapt run started since `threads` was counted has ended, then hands over what
// they queued.
bool allRunsReported(int threads)
{
    if (!QTest::qWaitFor([threads] { return threadCount() <= threads; }, 20000))
        return false;
    QCoreApplication::processEvents();
    return true;
}

const QStringList RecordKeys{u"appBuild"_s, u"appName"_s,  u"appVersion"_s, u"createdDate"_s,
                             u"fileSize"_s, u"iconPath"_s, u"packageName"_s};

const QString Badging = u"package: name='com.example.demo' versionCode='42' versionName='1.2.3' platformBuildVersionName='10'\n"
                        "uses-permission: name='android.permission.INTERNET'\n"
                        "application-label:'Demo'\n"
                        "application-icon-160:'res/drawable-mdpi-v4/ic_launcher.png'\n"
                        "application: label='Demo' icon='res/drawable-mdpi-v4/ic_launcher.png'\n"
                        "launchable-activity: name='com.example.demo.Main'  label='' icon=''\n"_s;

} // namespace

class TestApkInspection : public QObject
{
    Q_OBJECT

    QString apk(const QString &name, const Fixtures::Apk &fixture = Fixtures::Apk())
    {
        const QString path = TestEnvironment::path(u"packages/"_s + name);
        if (!Fixtures::makeApk(path, fixture))
            qWarning("%s", qPrintable(Fixtures::lastError()));
        return path;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!QFileInfo(realAapt()).isExecutable())
            QFAIL("aapt is not in the build's resource folder (install the aapt package and reconfigure)");
    }
    void cleanup() { QDir(WorkFolder::path()).removeRecursively(); }

    void inspectsARealPackage()
    {
        Fixtures::Apk fixture;
        fixture.label = u"Bob's Demo"_s; // cut at the quote, as the expression stops there
        fixture.localizedLabels.insert(u"zh"_s, u"演示应用"_s);
        fixture.densities = {u"mdpi"_s, u"hdpi"_s, u"xhdpi"_s};
        const QString path = apk(u"real.apk"_s, fixture);

        RecordingDelegate delegate;
        delegate.record.insert(u"shortcutUrl"_s, u"old"_s);
        PackageInspector inspector(&delegate);
        inspector.ParseAPK(path);
        QCOMPARE(delegate.calls, (QStringList{u"setFilePath"_s, u"setAppType"_s}));
        QCOMPARE(delegate.appType, 2);
        QCOMPARE(delegate.filePath, path);
        QVERIFY(inspector.isWaitingForTool());
        QVERIFY(delegate.platforms.isEmpty()); // returns before the output is read

        QTRY_COMPARE_WITH_TIMEOUT(delegate.platforms, QStringList{u"android"_s}, 20000);
        QVERIFY(!inspector.isWaitingForTool());
        const QVariantMap &record = delegate.recordAtPrepare;
        QCOMPARE(record.keys(), RecordKeys);
        QCOMPARE(record.value(u"packageName"_s), QVariant(u"com.example.demo"_s));
        QCOMPARE(record.value(u"appVersion"_s), QVariant(u"1.2.3"_s));
        QCOMPARE(record.value(u"appBuild"_s), QVariant(u"42"_s));
        QCOMPARE(record.value(u"appName"_s), QVariant(u"Bob"_s));
        QCOMPARE(record.value(u"fileSize"_s), QVariant(u"0.00MB"_s));
        const QString work = WorkFolder::path();
        // The highest density of the three (the application line names the lowest).
        const QString icon = work + u"/res/drawable-xhdpi-v4/ic_launcher.png"_s;
        QCOMPARE(record.value(u"iconPath"_s), QVariant(icon));
        QVERIFY(QFileInfo(icon).isFile());
        // Only the icon is unpacked, and the clean-up takes exactly that away.
        QCOMPARE(filesBelow(work), (QStringList{u"res"_s, u"res/drawable-xhdpi-v4"_s,
                                                u"res/drawable-xhdpi-v4/ic_launcher.png"_s}));
        inspector.removeUnpacked();
        QCOMPARE(filesBelow(work), QStringList());
    }

    void labelsAndMissingFields_data()
    {
        QTest::addColumn<Fixtures::Apk>("fixture");
        QTest::addColumn<QString>("appName");
        QTest::addColumn<QString>("appVersion");
        QTest::addColumn<bool>("icon");
        Fixtures::Apk chinese;
        chinese.label = u"演示应用 «β»"_s;
        Fixtures::Apk bare;
        bare.label.reset();
        bare.versionName.reset();
        bare.withIcon = false;
        QTest::newRow("non-ASCII label") << chinese << u"演示应用 «β»"_s << u"1.2.3"_s << true;
        QTest::newRow("no label, version name, icon") << bare << u""_s << u""_s << false;
    }
    void labelsAndMissingFields()
    {
        QFETCH(Fixtures::Apk, fixture);
        QFETCH(bool, icon);
        RecordingDelegate delegate;
        PackageInspector inspector(&delegate);
        inspector.ParseAPK(apk(u"fields.apk"_s, fixture));
        QTRY_COMPARE_WITH_TIMEOUT(delegate.platforms.size(), 1, 20000);
        QTEST(delegate.record.value(u"appName"_s).toString(), "appName");
        QTEST(delegate.record.value(u"appVersion"_s).toString(), "appVersion");
        QCOMPARE(delegate.record.value(u"appBuild"_s), QVariant(u"42"_s));
        QCOMPARE(delegate.record.value(u"iconPath"_s).toString().isEmpty(), !icon);
    }

    void pathWithBlanksAndQuotesIsOneArgument()
    {
        const QString path = apk(u"dir with 'single' and \"double\" quotes/my app's \"best\" $HOME.apk"_s);
        QVERIFY(QFileInfo::exists(path));
        RecordingDelegate delegate;
        PackageInspector inspector(&delegate);
        inspector.ParseAPK(path);
        QTRY_COMPARE_WITH_TIMEOUT(delegate.platforms.size(), 1, 20000);
        QCOMPARE(delegate.record.value(u"packageName"_s), QVariant(u"com.example.demo"_s));
        QVERIFY(QFileInfo(delegate.record.value(u"iconPath"_s).toString()).isFile());
    }

    // Without usable output the record is untouched, prepare is not called, and the owner learns
    // which of the three it was.
    void noRecordWithoutUsableOutput_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("executable");
        QTest::addColumn<InspectionFailure>("failure");
        QTest::newRow("aapt missing") << QByteArray() << true << InspectionFailure::ToolMissing;
        QTest::newRow("aapt not executable") << QByteArray("#!/bin/sh\necho x\n") << false << InspectionFailure::ToolFailed;
        QTest::newRow("empty output") << QByteArray("#!/bin/sh\nexit 0\n") << true << InspectionFailure::NoOutput;
        QTest::newRow("line feed only") << QByteArray("#!/bin/sh\necho\n") << true << InspectionFailure::NoOutput;
        QTest::newRow("not UTF-8")
            << QByteArray("#!/bin/sh\nprintf \"package: name='com.example.\\377\\376' versionCode='1'\\n\"\n") << true
            << InspectionFailure::NoOutput;
        QTest::newRow("crash without output") << QByteArray("#!/bin/sh\nkill -SEGV $$\n") << true
                                              << InspectionFailure::NoOutput;
    }
    void noRecordWithoutUsableOutput()
    {
        QFETCH(QByteArray, script);
        QFETCH(bool, executable);
        QFETCH(InspectionFailure, failure);
        const ResourceDir resources(toolFolder(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-'), script,
                                               executable));
        RecordingDelegate delegate;
        const QVariantMap before{{u"shortcutUrl"_s, u"kept"_s}, {u"packageName"_s, u"com.example.before"_s}};
        delegate.record = before;
        PackageInspector inspector(&delegate);
        QSignalSpy failed(&inspector, &PackageInspector::inspectionFailed);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"Android package not inspected"_s));
        inspector.ParseAPK(apk(u"valid.apk"_s));
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 10000);
        QCOMPARE(failed.first().first().value<InspectionFailure>(), failure);
        QCOMPARE(delegate.failure, failure);
        QVERIFY(delegate.platforms.isEmpty());
        QCOMPARE(delegate.record, before);
        QVERIFY(!inspector.isWaitingForTool());
        QCOMPARE(filesBelow(WorkFolder::path()), QStringList());
    }

    // A tool that hangs is stopped at the time limit and counts as failed, whatever it printed.
    void hungToolIsStopped()
    {
        const QString folder = toolFolder(u"hung"_s, "#!/bin/sh\necho \"package: name='x'\"\nexec sleep 30\n");
        QElapsedTimer clock;
        clock.start();
        const AaptRun::Result result = AaptRun::runBlocking(folder + u"/aapt"_s, apk(u"hung.apk"_s), 500);
        QCOMPARE(result.outcome, AaptRun::Outcome::ToolFailed);
        QVERIFY(clock.elapsed() < 10000);
    }

    void outputInPiecesIsParsedOnce()
    {
        const QByteArray script = "#!/bin/sh\n"
                                  "out=$(\"" + QFile::encodeName(realAapt()) + "\" \"$@\")\n"
                                  "printf '%s' \"$out\" | head -c 30\n"
                                  "sleep 0.3\n"
                                  "printf '%s\\n' \"$out\" | tail -c +31\n";
        const ResourceDir resources(toolFolder(u"pieces"_s, script));
        const QString package = apk(u"pieces.apk"_s);
        RecordingDelegate delegate;
        PackageInspector inspector(&delegate);
        const int threads = threadCount();
        inspector.ParseAPK(package);
        QTRY_COMPARE_WITH_TIMEOUT(delegate.platforms.size(), 1, 20000);
        QCOMPARE(delegate.record.value(u"packageName"_s), QVariant(u"com.example.demo"_s));
        QCOMPARE(delegate.record.value(u"appName"_s), QVariant(u"Demo"_s));
        QVERIFY(allRunsReported(threads));
        QCOMPARE(delegate.platforms.size(), 1);
    }

    // A second inspection while aapt still runs for the first: the later one wins.
    void laterInspectionWins()
    {
        const QByteArray script = "#!/bin/sh\ncase \"$3\" in *slow*) sleep 1 ;; esac\nexec \""
                                  + QFile::encodeName(realAapt()) + "\" \"$@\"\n";
        const ResourceDir resources(toolFolder(u"slow"_s, script));
        Fixtures::Apk slowSpec;
        slowSpec.package = u"com.example.slow"_s;
        Fixtures::Apk fastSpec;
        fastSpec.package = u"com.example.fast"_s;
        const QString slow = apk(u"slow.apk"_s, slowSpec);
        const QString fast = apk(u"fast.apk"_s, fastSpec);

        RecordingDelegate delegate;
        PackageInspector inspector(&delegate);
        const int threads = threadCount();
        inspector.ParseAPK(slow);
        inspector.ParseAPK(fast);
        QTRY_COMPARE_WITH_TIMEOUT(delegate.platforms.size(), 1, 20000);
        QCOMPARE(delegate.record.value(u"packageName"_s), QVariant(u"com.example.fast"_s));
        QVERIFY(allRunsReported(threads)); // the slow run has ended and reported: dropped
        QCOMPARE(delegate.platforms.size(), 1);
        QCOMPARE(delegate.record.value(u"packageName"_s), QVariant(u"com.example.fast"_s));
        QCOMPARE(delegate.filePath, fast);

        // An .ipa inspection supersedes a pending .apk one as well.
        inspector.ParseAPK(slow);
        const QString ipa = TestEnvironment::path(u"packages/after.ipa"_s);
        QVERIFY(Fixtures::makeIpa(ipa));
        inspector.ParseIPA(ipa);
        QVERIFY(allRunsReported(threads));
        QCOMPARE(delegate.platforms, (QStringList{u"android"_s, u"ios"_s}));
        QCOMPARE(delegate.record.value(u"packageName"_s), QVariant(u"com.example.demo"_s));
    }

    void inspectorDestroyedWhileWaiting()
    {
        const QByteArray script = "#!/bin/sh\nsleep 0.5\nexec \"" + QFile::encodeName(realAapt()) + "\" \"$@\"\n";
        const ResourceDir resources(toolFolder(u"delayed"_s, script));
        const QString package = apk(u"gone.apk"_s);
        RecordingDelegate delegate;
        const int threads = threadCount();
        {
            PackageInspector inspector(&delegate);
            inspector.ParseAPK(package);
        }
        QVERIFY(allRunsReported(threads));
        QCOMPARE(delegate.calls, (QStringList{u"setFilePath"_s, u"setAppType"_s}));
    }

    // The expressions' exact semantics, on text.
    void badgingExpressions_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        const QString work = WorkFolder::path();
        QTest::newRow("package from the first line") << Badging << u"packageName"_s << u"com.example.demo"_s;
        QTest::newRow("package and name must share a line")
            << u"package: versionCode='1'\nuses-permission: name='p.q'\n"_s << u"packageName"_s << u""_s;
        QTest::newRow("no versionName") << u"package: name='a' versionCode='3'\n"_s << u"appVersion"_s << u""_s;
        QTest::newRow("version code kept with no versionName") << u"package: name='a' versionCode='3'\n"_s
                                                               << u"appBuild"_s << u"3"_s;
        QTest::newRow("label cut at a quote") << u"application-label:'It's mine'\n"_s << u"appName"_s << u"It"_s;
        QTest::newRow("icon from the application line")
            << Badging << u"iconPath"_s << work + u"/res/drawable-mdpi-v4/ic_launcher.png"_s;
        QTest::newRow("greedy: the last icon on its line")
            << u"application: label='A' icon='res/a.png' banner='x' icon='res/b.png'\n"_s << u"iconPath"_s
            << work + u"/res/b.png"_s;
        QTest::newRow("not across lines") << u"application: label='A'\nicon='res/a.png'\n"_s << u"iconPath"_s << u""_s;
        QTest::newRow("not across a carriage return")
            << u"application: label='A'\ricon='res/a.png'\n"_s << u"iconPath"_s << u""_s;
        QTest::newRow("icon leading outside") << u"application: icon='../../../etc/passwd'\n"_s << u"iconPath"_s
                                              << u""_s;
        QTest::newRow("absolute icon") << u"application: icon='/etc/passwd'\n"_s << u"iconPath"_s << u""_s;
        QTest::newRow("empty icon") << u"application: label='' icon=''\n"_s << u"iconPath"_s << u""_s;
        QTest::newRow("no label line") << u"application: label='A' icon='res/a.png'\n"_s << u"appName"_s << u""_s;
    }
    void badgingExpressions()
    {
        QFETCH(QString, text);
        QFETCH(QString, key);
        RecordingDelegate delegate;
        delegate.record.insert(u"password"_s, u"secret"_s);
        PackageInspector inspector(&delegate);
        inspector.parseBadgingInfo(text);
        QCOMPARE(delegate.platforms, QStringList{u"android"_s});
        QCOMPARE(delegate.record.keys(), RecordKeys);
        QTEST(delegate.record.value(key).toString(), "value");
    }

    void propertyLookup()
    {
        QCOMPARE(PackageInspector::getAPKPropertyWithInfo(Badging, u"versionCode='(.*?)'"_s), u"42"_s);
        QCOMPARE(PackageInspector::getAPKPropertyWithInfo(u"label=''"_s, u"label='(.*?)'"_s), u""_s);
        QCOMPARE(PackageInspector::getAPKPropertyWithInfo(Badging, u"nothing='(.*?)'"_s), std::nullopt);
        QCOMPARE(PackageInspector::getAPKPropertyWithInfo(Badging, u"VERSIONCODE='(.*?)'"_s), std::nullopt);
        QCOMPARE(PackageInspector::getAPKPropertyWithInfo(Badging, u"(unclosed"_s), std::nullopt);
    }

    void synchronousInspection()
    {
        const QString path = apk(u"sync.apk"_s);
        const PackageInspector::Identity identity = PackageInspector::inspect(path);
        QVERIFY2(identity.ok, qPrintable(identity.error));
        QCOMPARE(identity.appType, 2);
        QCOMPARE(identity.appInfo.value(u"appBuild"_s), QVariant(u"42"_s));
        QVERIFY(identity.icon.startsWith("\x89PNG"));
        QCOMPARE(filesBelow(WorkFolder::path()), QStringList());

        const ResourceDir resources(toolFolder(u"none"_s, QByteArray()));
        const PackageInspector::Identity missing = PackageInspector::inspect(path);
        QVERIFY(!missing.ok);
        QCOMPARE(missing.failure, InspectionFailure::ToolMissing);
    }
};

QUILLO_TEST_MAIN(TestApkInspection)
#include "tst_apkinspection.moc"
