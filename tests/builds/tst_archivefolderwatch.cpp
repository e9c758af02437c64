#include "builds/ArchiveFolderWatch.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// The folder watch on real folders with real changes. A short latency keeps the waits short;
// the recent-builds tests run it with its real second.
class ArchiveFolderWatchTest : public QObject
{
    Q_OBJECT

    static constexpr auto kLatency = 250ms;
    int m_case = 0;
    QString m_root;

    static void touchFile(const QString &path)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x");
    }
    // Waits long enough for a batch that is not coming.
    static void settle() { QTest::qWait(int(kLatency.count()) * 3); }

private slots:
    void init()
    {
        m_root = TestEnvironment::path(u"watch%1/home"_s.arg(++m_case));
        QDir().mkpath(m_root);
    }

    void changesAnywhereBelowComeInBatches()
    {
        const QString folder = m_root + u"/Archives"_s;
        QVERIFY(QDir().mkpath(folder + u"/2024-05-01"_s));
        touchFile(folder + u"/before.txt"_s); // before the start: never reported

        // A build folder's watch: deep, as the package scan goes.
        ArchiveFolderWatch::Options deepTree;
        deepTree.latency = kLatency;
        deepTree.maxDepth = 7;
        ArchiveFolderWatch watch(folder, deepTree);
        QSignalSpy batches(&watch, &ArchiveFolderWatch::changed);
        watch.start();
        QTRY_VERIFY(!watch.isArming());
        settle();
        QCOMPARE(batches.count(), 0);

        // A new folder three levels deep, then a change inside it: the tree is armed again after
        // the first batch, so the second change is seen too.
        QElapsedTimer clock;
        clock.start();
        const QString deep = folder + u"/2024-05-01/Demo.xcarchive/Products/Applications"_s;
        QVERIFY(QDir().mkpath(deep));
        QTRY_COMPARE(batches.count(), 1);
        QVERIFY2(clock.elapsed() >= kLatency.count() - 20, "a batch waits for the latency to pass");
        QVERIFY(watch.watchedDirectories().contains(deep));
        touchFile(deep + u"/Info.plist"_s);
        QTRY_COMPARE(batches.count(), 2);

        // Removing a folder is a change, and its watches go with it.
        QVERIFY(QDir(folder + u"/2024-05-01/Demo.xcarchive"_s).removeRecursively());
        QTRY_COMPARE(batches.count(), 3);
        QTRY_VERIFY(!watch.watchedDirectories().contains(deep));
        settle();
        QCOMPARE(batches.count(), 3);
        QCOMPARE(watch.batchCount(), 3);
    }

    void aBurstGivesOneOrTwoBatches()
    {
        const QString folder = m_root + u"/Archives"_s;
        QVERIFY(QDir().mkpath(folder));
        ArchiveFolderWatch watch(folder, kLatency);
        QSignalSpy batches(&watch, &ArchiveFolderWatch::changed);
        watch.start();
        QTRY_VERIFY(!watch.isArming());

        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 400; ++i) {
            const QString dir = folder + u"/day%1/A%2.xcarchive"_s.arg(i % 7).arg(i);
            QVERIFY(QDir().mkpath(dir));
            touchFile(dir + u"/Info.plist"_s);
            if (i % 50 == 0)
                QCoreApplication::processEvents();
        }
        const qint64 burst = clock.elapsed();
        QTRY_VERIFY(batches.count() >= 1);
        settle();
        QVERIFY2(batches.count() >= 1 && batches.count() <= 1 + int(burst / kLatency.count()) + 1,
            qPrintable(u"%1 batches for a burst of %2 ms"_s.arg(batches.count()).arg(burst)));
        QTRY_VERIFY(!watch.isArming());
        QVERIFY(watch.watchedDirectories().contains(folder + u"/day3"_s));
        // An archive is a bundle: its inside is not watched, whatever is written there.
        QVERIFY(!watch.watchedDirectories().contains(folder + u"/day3/A3.xcarchive"_s));
    }

    void theArchivesFolderAndItsDateFoldersOnly()
    {
        const QString folder = m_root + u"/Archives"_s;
        for (int i = 0; i < 30; ++i)
            QVERIFY(
                QDir().mkpath(folder + u"/2024-05-0%1/A%2.xcarchive/Products/Applications/A.app"_s.arg(i % 3).arg(i)));
        ArchiveFolderWatch watch(folder, kLatency);
        QSignalSpy batches(&watch, &ArchiveFolderWatch::changed);
        watch.start();
        QTRY_VERIFY(!watch.isArming());
        QStringList tree;
        for (const QString &path : watch.watchedDirectories()) {
            if (path.startsWith(folder))
                tree.append(path.mid(folder.size()));
        }
        tree.sort();
        QCOMPARE(tree, (QStringList { QString(), u"/2024-05-00"_s, u"/2024-05-01"_s, u"/2024-05-02"_s }));

        // What announces a new archive is still seen: a new one in a date folder, a new date folder.
        QVERIFY(QDir().mkpath(folder + u"/2024-05-01/New.xcarchive/Products"_s));
        QTRY_COMPARE(batches.count(), 1);
        QVERIFY(QDir().mkpath(folder + u"/2024-05-09/Newer.xcarchive"_s));
        QTRY_COMPARE(batches.count(), 2);
        QTRY_VERIFY(watch.watchedDirectories().contains(folder + u"/2024-05-09"_s));
        QVERIFY(!watch.watchedDirectories().contains(folder + u"/2024-05-09/Newer.xcarchive"_s));
    }

    void aFolderThatCannotBeWatchedIsReportedOnce()
    {
        const QString folder = m_root + u"/builds"_s;
        for (const QString &name : { u"a"_s, u"b"_s, u"c"_s, u".gradle"_s, u"intermediates"_s })
            QVERIFY(QDir().mkpath(folder + u'/' + name + u"/x"_s));
        ArchiveFolderWatch::Options options;
        options.latency = kLatency;
        options.maxDepth = 7;
        options.maxFolders = 3;
        options.skip = [](const QString &name) { return name.startsWith(u'.') || name == u"intermediates"_s; };
        ArchiveFolderWatch watch(folder, options);
        QSignalSpy failures(&watch, &ArchiveFolderWatch::watchFailed);
        watch.start();
        QTRY_VERIFY(!watch.isArming());
        QCOMPARE(failures.count(), 1);
        QCOMPARE(failures.first().at(1).toString(), u"要监视的文件夹超过 3 个"_s);
        QVERIFY(watch.hasWatchFailure());
        int below = 0;
        for (const QString &path : watch.watchedDirectories()) {
            QVERIFY2(!path.contains(u"/.gradle"_s) && !path.contains(u"/intermediates"_s), qPrintable(path));
            below += path.startsWith(folder) ? 1 : 0;
        }
        QCOMPARE(below, 3);

        // More folders, more refusals: still one report.
        QVERIFY(QDir().mkpath(folder + u"/d/y"_s));
        QTRY_VERIFY(watch.batchCount() >= 1);
        QTRY_VERIFY(!watch.isArming());
        QCOMPARE(failures.count(), 1);
    }

    void aHugeFolderIsListedInSteps()
    {
        const QString folder = m_root + u"/huge"_s;
        QVERIFY(QDir().mkpath(folder));
        for (int i = 0; i < 3000; ++i)
            QVERIFY(QDir().mkdir(folder + u"/d%1"_s.arg(i)));
        ArchiveFolderWatch watch(folder, kLatency);
        watch.start();
        auto listed = [&] { return watch.watchedDirectories().filter(folder + u"/d"_s).size(); };
        // One pass of the event loop runs one step: the step returns before all of it is listed.
        for (int pass = 0; pass < 1000 && listed() == 0; ++pass)
            QCoreApplication::processEvents();
        QVERIFY(listed() > 0);
        QVERIFY2(listed() < 3000, "the whole folder was listed in one step");
        QVERIFY(watch.isArming());
        QTRY_VERIFY(!watch.isArming());
        QCOMPARE(listed(), 3000);
    }

    void thePathToTheFolderIsWatched()
    {
        const QString folder = m_root + u"/Library/Developer/Xcode/Archives"_s;
        ArchiveFolderWatch watch(folder, kLatency);
        QSignalSpy batches(&watch, &ArchiveFolderWatch::changed);
        watch.start();
        QVERIFY(watch.watchedDirectories().contains(m_root));

        // Unrelated entries beside the path are not changes of it.
        touchFile(m_root + u"/.bash_history"_s);
        QVERIFY(QDir().mkpath(m_root + u"/Documents"_s));
        settle();
        QCOMPARE(batches.count(), 0);

        // The folder created later, all levels at once.
        QVERIFY(QDir().mkpath(folder));
        QTRY_COMPARE(batches.count(), 1);
        QTRY_VERIFY(watch.watchedDirectories().contains(folder));
        QVERIFY(QDir().mkpath(folder + u"/2024-05-02"_s));
        QTRY_COMPARE(batches.count(), 2);

        // Moved away: a change, and nothing of the old tree stays watched under its name.
        const QString aside = m_root + u"/Library/Developer/Xcode/Archives-old"_s;
        QVERIFY(QDir().rename(folder, aside));
        QTRY_COMPARE(batches.count(), 3);
        QTRY_VERIFY(!watch.watchedDirectories().contains(folder + u"/2024-05-02"_s));
        touchFile(aside + u"/2024-05-02/x"_s); // now outside the watched path
        settle();
        QCOMPARE(batches.count(), 3);

        // Moved back, then a parent of it replaced by another folder.
        QVERIFY(QDir().rename(aside, folder));
        QTRY_COMPARE(batches.count(), 4);
        QTRY_VERIFY(watch.watchedDirectories().contains(folder + u"/2024-05-02"_s));
        QVERIFY(QDir().rename(m_root + u"/Library/Developer"_s, m_root + u"/Developer-old"_s));
        QVERIFY(QDir().mkpath(m_root + u"/Library/Developer/Xcode/Archives/fresh"_s));
        QTRY_VERIFY(batches.count() >= 5);
        QTRY_VERIFY(watch.watchedDirectories().contains(folder + u"/fresh"_s));
        QVERIFY(!watch.watchedDirectories().contains(folder + u"/2024-05-02"_s));
    }
};

QUILLO_TEST_MAIN(ArchiveFolderWatchTest)
#include "tst_archivefolderwatch.moc"
