#include "builds/PackageFinder.h"
#include "builds/PackageScan.h"
#include "builds/RecentBuild.h"
#include "store/PackageCache.h"
#include "tests/builds/BuildTree.h"
#include "tests/support/Skips.h"
#include "tests/support/ArchiveTree.h"
#include "tests/support/FileAccess.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QFile>

using namespace Qt::StringLiterals;

namespace {

bool g_permissionsHold = false;

void touch(const QString &path, const QByteArray &content = "not a package")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QStringList relativePaths(const QString &root, const QList<PackageFinder::Found> &found)
{
    QStringList paths;
    for (const PackageFinder::Found &package : found)
        paths.append(package.path.mid(root.size() + 1));
    paths.sort();
    return paths;
}

QStringList names(const QList<BuildPackage> &packages)
{
    QStringList list;
    for (const BuildPackage &package : packages)
        list.append(package.packageName);
    return list;
}

} // namespace

// The package scan of the build folders on real trees, real packages, the real aapt (behind a
// wrapper that counts its calls) and a real SQLite cache.
class PackageScanTest : public QObject
{
    Q_OBJECT

    int m_case = 0;
    QString m_root;
    QString m_cache;

    PackageScan::Options options() const
    {
        PackageScan::Options options;
        options.cachePath = m_cache;
        return options;
    }
    // Old enough to count as written.
    static QDateTime past(int minutes = 10) { return QDateTime::currentDateTime().addSecs(-60 * minutes); }

private slots:
    void init()
    {
        m_root = TestEnvironment::path(u"case%1/builds"_s.arg(++m_case));
        m_cache = TestEnvironment::path(u"case%1/cache/PackageCache.db"_s.arg(m_case));
        QDir().mkpath(m_root);
    }

    void theWalkKeepsToTheTree()
    {
        const QString outside = TestEnvironment::path(u"case%1/outside"_s.arg(m_case));
        touch(outside + u"/elsewhere.apk"_s);
        touch(m_root + u"/app/build/outputs/apk/debug/app-debug.apk"_s);
        touch(m_root + u"/drop/UPPER.IPA"_s);
        touch(m_root + u"/a/b/c/d/e/f/g/deep8.apk"_s); // a file at depth 8
        touch(m_root + u"/a/b/c/d/e/f/g/h/deep9.apk"_s); // at depth 9: too deep
        touch(m_root + u"/.gradle/hidden.apk"_s);
        touch(m_root + u"/app/build/intermediates/apk/debug/app-debug.apk"_s);
        touch(m_root + u"/web/node_modules/x/pkg.apk"_s);
        touch(m_root + u"/drop/.partial.apk"_s);
        touch(m_root + u"/drop/notes.txt"_s);
        QVERIFY(QDir().mkpath(m_root + u"/drop/folder.apk"_s)); // a folder with a package's name
        QVERIFY(QFile::link(outside, m_root + u"/link-out"_s));
        QVERIFY(QFile::link(outside + u"/elsewhere.apk"_s, m_root + u"/drop/linked.apk"_s));
        QVERIFY(QFile::link(m_root, m_root + u"/drop/loop"_s)); // a link loop

        const PackageFinder::Result result = PackageFinder::find(m_root);
        QVERIFY(result.readable);
        QCOMPARE(relativePaths(m_root, result.packages),
            (QStringList {
                u"a/b/c/d/e/f/g/deep8.apk"_s, u"app/build/outputs/apk/debug/app-debug.apk"_s, u"drop/UPPER.IPA"_s }));
        QVERIFY(!result.truncated);
        QVERIFY(result.unreadableFolders.isEmpty());

        // The folder itself may be a link; what it holds is walked.
        const QString viaLink = TestEnvironment::path(u"case%1/via-link"_s.arg(m_case));
        QVERIFY(QFile::link(m_root, viaLink));
        QCOMPARE(PackageFinder::find(viaLink).packages.size(), 3);

        // A bounded walk stops early and says so.
        PackageFinder::Options small;
        small.maxEntries = 3;
        QVERIFY(PackageFinder::find(m_root, small).truncated);
    }

    void foldersThatCannotBeRead()
    {
        const PackageFinder::Result missing = PackageFinder::find(m_root + u"/gone"_s);
        QVERIFY(!missing.readable);
        QCOMPARE(missing.problem, u"文件夹不存在"_s);
        QCOMPARE(PackageFinder::folderProblem(m_root + u"/gone"_s), u"文件夹不存在"_s);
        touch(m_root + u"/file"_s);
        QCOMPARE(PackageFinder::folderProblem(m_root + u"/file"_s), u"不是文件夹"_s);
        QCOMPARE(PackageFinder::folderProblem(m_root), QString());

        if (!g_permissionsHold)
            QUILLO_SKIP(PermissionsIgnored, "permission bits cannot be made to hold for this process");
        touch(m_root + u"/open/one.apk"_s);
        touch(m_root + u"/closed/two.apk"_s);
        QVERIFY(FileAccess::setMode(m_root + u"/closed"_s, 0));
        const PackageFinder::Result result = PackageFinder::find(m_root);
        QVERIFY(FileAccess::setMode(m_root + u"/closed"_s, 0755));
        QCOMPARE(relativePaths(m_root, result.packages), QStringList { u"open/one.apk"_s });
        QCOMPARE(result.unreadableFolders, QStringList { m_root + u"/closed"_s });

        QVERIFY(FileAccess::setMode(m_root, 0));
        const QString problem = PackageFinder::folderProblem(m_root);
        const PackageFinder::Result closed = PackageFinder::find(m_root);
        QVERIFY(FileAccess::setMode(m_root, 0755));
        QVERIFY2(problem.startsWith(u"无法读取："_s), qPrintable(problem));
        QVERIFY(!closed.readable);
    }

    void aRescanTakesTheCacheAndRunsNoAapt()
    {
        BuildTree::CountingAapt aapt;
        const QString apkPath = BuildTree::gradleOutput(m_root + u"/Demo"_s);
        const QString ipaPath = m_root + u"/ci/IosDemo.ipa"_s;
        QVERIFY2(BuildTree::place(BuildTree::apk(), apkPath, past(5)), qPrintable(Fixtures::lastError()));
        const QDateTime ipaTime = past(10);
        QVERIFY(BuildTree::place(BuildTree::ipa(), ipaPath, ipaTime));

        const PackageScan::Result first = PackageScan::run({ m_root }, options());
        QCOMPARE(first.inspected, 2);
        QCOMPARE(first.fromCache, 0);
        QCOMPARE(aapt.calls(), QStringList { apkPath });
        QCOMPARE(names(first.packages), (QStringList { u"com.example.demo"_s, u"com.example.ios"_s }));
        const BuildPackage &android = first.packages.at(0);
        QCOMPARE(android.path, apkPath);
        QCOMPARE(android.folder, m_root);
        QCOMPARE(android.appType, 2);
        QCOMPARE(android.appName, u"Demo"_s);
        QCOMPARE(android.version, u"1.2.3"_s);
        QCOMPARE(android.build, u"42"_s);
        QVERIFY(android.icon.startsWith("\x89PNG\r\n")); // the launcher icon's bytes
        const BuildPackage &ios = first.packages.at(1);
        QCOMPARE(ios.appType, 1);
        QCOMPARE(ios.platform(), u"ios"_s);
        QCOMPARE(ios.appName, u"IosDemo"_s);
        QCOMPARE(ios.version, u"2.0"_s);
        QCOMPARE(ios.build, u"7"_s);
        QCOMPARE(ios.modified().toSecsSinceEpoch(), ipaTime.toSecsSinceEpoch());

        // Another scan (another process could do it: the cache is a file) reads no package.
        const PackageScan::Result second = PackageScan::run({ m_root }, options());
        QCOMPARE(second.inspected, 0);
        QCOMPARE(second.fromCache, 2);
        QCOMPARE(aapt.calls().size(), 1);
        QCOMPARE(names(second.packages), names(first.packages));
        QCOMPARE(second.packages.at(0).icon, android.icon);

        // A package rebuilt in place is read again; one that went is forgotten by the cache.
        QVERIFY(BuildTree::place(BuildTree::apk(u"com.example.demo"_s, u"43"_s), apkPath, past(1)));
        QVERIFY(QFile::remove(ipaPath));
        const PackageScan::Result third = PackageScan::run({ m_root }, options());
        QCOMPARE(third.inspected, 1);
        QCOMPARE(aapt.calls().size(), 2);
        QCOMPARE(third.packages.size(), 1);
        QCOMPARE(third.packages.at(0).build, u"43"_s);
        PackageCache cache(m_cache);
        QCOMPARE(cache.entriesBelow({ m_root }).keys(), QList<QString> { apkPath });
    }

    void unreadablePackagesAreTriedOnce()
    {
        BuildTree::CountingAapt aapt;
        const QString broken = m_root + u"/drop/broken.apk"_s;
        touch(broken, QByteArray(4096, 'z'));
        QVERIFY(ArchiveTree::setModified(broken, past()));
        const QString badIpa = m_root + u"/drop/empty.ipa"_s;
        QVERIFY(BuildTree::place(BuildTree::apk(), badIpa, past())); // a zip, but no Payload inside

        const PackageScan::Result first = PackageScan::run({ m_root }, options());
        QVERIFY(first.packages.isEmpty());
        QCOMPARE(first.failures.size(), 2);
        for (const PackageScan::Failure &failure : first.failures)
            QVERIFY2(failure.lasting && !failure.problem.isEmpty(), qPrintable(failure.path));
        QCOMPARE(aapt.calls().size(), 1);
        QVERIFY(first.unsettled.isEmpty());
        // Known to be unreadable: not read again, not reported again.
        const PackageScan::Result second = PackageScan::run({ m_root }, options());
        QVERIFY(second.failures.isEmpty());
        QCOMPARE(second.inspected, 0);
        QCOMPARE(aapt.calls().size(), 1);

        // Unreadable seconds after its last change: its writer may go on, so it is to be looked
        // at again (not read again while it stays as it is).
        const QString stalled = m_root + u"/drop/stalled.apk"_s;
        const QByteArray whole = Fixtures::readAll(BuildTree::apk());
        touch(stalled, whole.left(whole.size() / 2));
        QVERIFY(ArchiveTree::setModified(stalled, QDateTime::currentDateTime().addSecs(-2)));
        const PackageScan::Result third = PackageScan::run({ m_root }, options());
        QCOMPARE(third.failures.size(), 1);
        QCOMPARE(third.unsettled, QStringList { stalled });
        const PackageScan::Result fourth = PackageScan::run({ m_root }, options());
        QCOMPARE(fourth.inspected, 0);
        QCOMPARE(fourth.unsettled, QStringList { stalled });
    }

    void aMissingAaptIsNotThePackagesFault()
    {
        const QString apkPath = BuildTree::gradleOutput(m_root);
        QVERIFY(BuildTree::place(BuildTree::apk(), apkPath, past()));
        qputenv("QUILLO_RESOURCE_DIR", QFile::encodeName(TestEnvironment::path(u"case%1/no-tools"_s.arg(m_case))));
        const PackageScan::Result without = PackageScan::run({ m_root }, options());
        qputenv("QUILLO_RESOURCE_DIR", QFile::encodeName(TestEnvironment::resourceDir()));
        QCOMPARE(without.failures.size(), 1);
        QVERIFY(!without.failures.first().lasting);
        QVERIFY(without.packages.isEmpty());
        // With aapt back, the package is read.
        const PackageScan::Result with = PackageScan::run({ m_root }, options());
        QCOMPARE(names(with.packages), QStringList { u"com.example.demo"_s });
    }

    void aPackageStillBeingWrittenWaits()
    {
        BuildTree::CountingAapt aapt;
        const QString apkPath = BuildTree::gradleOutput(m_root);
        QVERIFY(BuildTree::place(BuildTree::apk(), apkPath)); // written just now
        const PackageScan::Result fresh = PackageScan::run({ m_root }, options());
        QVERIFY(fresh.packages.isEmpty());
        QCOMPARE(fresh.unsettled, QStringList { apkPath });
        QVERIFY(aapt.calls().isEmpty());

        // Seen with this size and time over a second ago: written, even with a time in the future
        // (a file server whose clock runs ahead).
        QVERIFY(BuildTree::place(BuildTree::apk(), apkPath, QDateTime::currentDateTime().addSecs(3600)));
        PackageScan::Options later = options();
        later.earlier = PackageScan::run({ m_root }, options()).observations;
        QCOMPARE(later.earlier.size(), 1);
        QVERIFY(PackageScan::run({ m_root }, later).packages.isEmpty()); // not yet a second
        later.earlier[apkPath].seenMs -= 1500;
        QCOMPARE(names(PackageScan::run({ m_root }, later).packages), QStringList { u"com.example.demo"_s });
    }

    void aPackageReplacedWhileReadIsLookedAtAgain()
    {
        BuildTree::CountingAapt aapt;
        const QString apkPath = BuildTree::gradleOutput(m_root);
        QVERIFY(BuildTree::place(BuildTree::apk(), apkPath, past()));
        qputenv("QUILLO_AAPT_TOUCH", QFile::encodeName(apkPath));
        const PackageScan::Result during = PackageScan::run({ m_root }, options());
        qunsetenv("QUILLO_AAPT_TOUCH");
        QVERIFY(during.packages.isEmpty());
        QCOMPARE(during.unsettled, QStringList { apkPath });
        QCOMPARE(PackageCache(m_cache).entriesBelow({ m_root }).size(), 0); // nothing half-read is kept

        // Once it holds still, it is read and listed.
        QVERIFY(BuildTree::place(BuildTree::apk(), apkPath, past()));
        const PackageScan::Result after = PackageScan::run({ m_root }, options());
        QCOMPARE(after.inspected, 1);
        QCOMPARE(names(after.packages), QStringList { u"com.example.demo"_s });
        QCOMPARE(aapt.calls(), (QStringList { apkPath, apkPath }));
    }

    void aDamagedCacheIsStartedAfresh()
    {
        touch(m_cache, QByteArray("SQLite format 3") + QByteArray(2000, '\x7f'));
        QVERIFY(BuildTree::place(BuildTree::ipa(), m_root + u"/IosDemo.ipa"_s, past()));
        const PackageScan::Result result = PackageScan::run({ m_root }, options());
        QCOMPARE(names(result.packages), QStringList { u"com.example.ios"_s });
        PackageCache cache(m_cache);
        QVERIFY(cache.isOpen());
        QCOMPARE(cache.entriesBelow({ m_root }).size(), 1);
        // A folder whose name sorts around the real one ("builds-old") shares no entries with it.
        QVERIFY(cache.store({ { m_root + u"-old/x.ipa"_s, 1, 1, true, 1, u"other"_s, {}, {}, {}, {}, {} } }));
        QCOMPARE(cache.entriesBelow({ m_root }).size(), 1);
    }

    void archivesAndPackagesInOneListNewestFirst()
    {
        const QDateTime base = QDateTime::currentDateTime().addDays(-1);
        QList<QDArchiveModel> archives;
        for (int i : { 30, 10 }) {
            ArchiveTree::Layout fixture;
            fixture.name = u"Archive%1"_s.arg(i);
            fixture.modified = base.addSecs(i * 60);
            const QString path = m_root + u"/Archives/2024-05-01/A%1.xcarchive"_s.arg(i);
            QVERIFY2(ArchiveTree::make(path, fixture), qPrintable(ArchiveTree::lastError()));
            archives.append(QDArchiveModel(path));
        }
        archives.append(QDArchiveModel(m_root + u"/Archives/2024-05-01/Gone.xcarchive"_s)); // no time
        QList<BuildPackage> packages;
        for (int i : { 40, 30, 20 }) {
            BuildPackage package;
            package.appName = u"Package%1"_s.arg(i);
            package.modifiedNs = base.addSecs(i * 60).toMSecsSinceEpoch() * 1'000'000;
            packages.append(package);
        }
        QStringList order;
        for (const RecentBuild &build : RecentBuild::merge(archives, packages))
            order.append(build.isArchive() ? build.archive().appName().value_or(u"(none)"_s) : build.appName());
        QCOMPARE(order,
            (QStringList {
                u"Package40"_s, u"Archive30"_s, u"Package30"_s, u"Package20"_s, u"Archive10"_s, u"(none)"_s }));
    }
};

int main(int argc, char *argv[])
{
    // Before any thread exists: threads keep the capabilities they started with.
    g_permissionsHold = FileAccess::dropPermissionOverride();
    TestEnvironment::setUp();
    QCoreApplication app(argc, argv);
    PackageScanTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_packagescan.moc"
