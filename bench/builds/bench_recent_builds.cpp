// The recent-builds screen over 1,000 archives: the rescan as the screen runs it (scan, sort,
// status menu, table), and the longest time the event loop is held up while 10,000 file-system
// changes arrive below the watched folder.
//
//     build-dir/bin/bench_recent_builds [archives] [changes]
//
// Runs on the offscreen platform in a temporary home; prints its figures, nothing else.
#include "app/Config.h"
#include "app/NotificationCenter.h"
#include "app/Notifications.h"
#include "bench/builds/BenchShell.h"
#include "bench/builds/InotifyCount.h"
#include "builds/ArchiveFolderWatch.h"
#include "builds/QDMenuViewController.h"
#include "builds/QDWelcomeViewController.h"
#include "builds/ShellServices.h"
#include "inspect/ArchiveScanner.h"
#include "tests/support/ArchiveTree.h"
#include "tests/support/TestEnvironment.h"
#include "ui/Alert.h"
#include "ui/Browser.h"
#include "ui/DesktopNotifier.h"
#include "ui/TrayStatusItem.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>

#include <time.h>

using namespace Qt::StringLiterals;

namespace {

using BenchBuilds::BenchShell;
using BenchBuilds::ms;
using BenchBuilds::printRow;
using BenchBuilds::threadCpuNs;

struct Gap
{
    qint64 wall;
    qint64 cpu;
    qint64 end;
};

// Runs the event loop for a while with a 1 ms timer and returns the gaps between its ticks.
QList<Gap> measureLoop(const std::function<bool()> &running, QElapsedTimer &clock)
{
    QList<Gap> gaps;
    qint64 last = clock.nsecsElapsed();
    qint64 lastCpu = threadCpuNs();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, &tick, [&] {
        const qint64 now = clock.nsecsElapsed();
        const qint64 cpu = threadCpuNs();
        gaps.append({ now - last, cpu - lastCpu, now });
        last = now;
        lastCpu = cpu;
    });
    tick.start();
    while (running())
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    return gaps;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TestEnvironment::setUp();
    QApplication app(argc, argv);
    Alert::setTestMode(true);
    Browser::setTestMode(true);
    const int archives = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    const int changes = argc > 2 ? QByteArray(argv[2]).toInt() : 10000;

    const QString root = Config::archivesDir();
    QElapsedTimer clock;
    clock.start();
    const QDateTime base = QDateTime::currentDateTime().addDays(-30);
    for (int i = 0; i < archives; ++i) {
        ArchiveTree::Layout fixture;
        fixture.identifier = u"com.example.bench%1"_s.arg(i);
        fixture.name = u"Bench%1"_s.arg(i);
        fixture.modified = base.addSecs(i * 37);
        // Like the build tool: one folder per day, a few dozen archives in each.
        const QString path = root + u"/2024-%1/Bench%2.xcarchive"_s.arg(i / 40, 2, 10, QChar(u'0')).arg(i);
        if (!ArchiveTree::make(path, fixture)) {
            std::fprintf(stderr, "cannot make archive %d: %s\n", i, qPrintable(ArchiveTree::lastError()));
            return 1;
        }
    }
    std::printf(
        "recent builds over %d archives (made in %.1f s), offscreen\n", archives, double(clock.elapsed()) / 1000);

    BenchShell shell;
    QWidget window;
    clock.restart();
    auto *screen = new QDWelcomeViewController(&shell, &window);
    const qint64 startup = clock.nsecsElapsed();
    window.resize(640, 520);
    window.show();
    QApplication::processEvents();
    std::printf("  %-44s %8.1f ms (first scan, menu, table, watch set up, launch report sent)\n", "screen start-up",
        ms(startup));
    // Let the watch arm the whole tree before measuring.
    while (screen->archiveFolderWatch()->isArming())
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    std::printf("  %-44s %8lld folders\n", "folders watched",
        static_cast<long long>(screen->archiveFolderWatch()->watchedDirectories().size()));
    // The kernel's count of what a watch of the archives holds, with today's reach (the folder
    // and its date folders) and with the previous one (every folder below it, archives inside).
    auto watchesOf = [&](ArchiveFolderWatch::Options options) {
        const int before = inotifyWatchesHeld();
        ArchiveFolderWatch watch(root, options);
        watch.start();
        while (watch.isArming())
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        return inotifyWatchesHeld() - before;
    };
    ArchiveFolderWatch::Options everyFolder;
    everyFolder.maxDepth = 64;
    everyFolder.maxFolders = 10'000'000;
    std::printf("  %-44s %8d\n", "inotify watches, date folders only", watchesOf(ArchiveFolderWatch::Options()));
    std::printf("  %-44s %8d\n", "inotify watches, every folder (previous reach)", watchesOf(everyFolder));

    QList<qint64> full;
    QList<qint64> scanOnly;
    for (int run = 0; run < 9; ++run) {
        clock.restart();
        screen->getRecentlyBuilds();
        full.append(clock.nsecsElapsed());
        clock.restart();
        const ArchiveScanner::Result result = ArchiveScanner::scan(root);
        scanOnly.append(clock.nsecsElapsed());
        if (result.sortedRecentlyBuild.size() != archives) {
            std::fprintf(
                stderr, "scan found %lld archives\n", static_cast<long long>(result.sortedRecentlyBuild.size()));
            return 1;
        }
    }
    printRow("rescan (scan, sort, status menu, table)", full);
    printRow("  of which scan and sort alone", scanOnly);

    // The burst: a writer thread makes `changes` entries (folders with files in them) below the
    // archive folder while a 1 ms timer on the main thread measures how late it comes.
    QList<std::pair<qint64, qint64>> rescans; // start, end on the clock below
    QElapsedTimer loopClock;
    loopClock.start();
    QObject marks;
    // Observers run in the order they registered: this pair brackets the screen's rescan.
    NotificationCenter::defaultCenter().removeObserver(screen, Notifications::NewArchive);
    NotificationCenter::defaultCenter().addObserver(&marks, Notifications::NewArchive, [&] {
        rescans.append({ loopClock.nsecsElapsed(), -1 });
    });
    NotificationCenter::defaultCenter().addObserver(
        screen, Notifications::NewArchive, [screen] { screen->archiveChangedHandler(); });
    QObject endMarks;
    NotificationCenter::defaultCenter().addObserver(
        &endMarks, Notifications::NewArchive, [&] { rescans.last().second = loopClock.nsecsElapsed(); });

    // The same loop without file-system events, for comparison: what the machine itself costs.
    const qint64 idleUntil = loopClock.nsecsElapsed() + 1'500'000'000LL;
    const QList<Gap> idle = measureLoop([&] { return loopClock.nsecsElapsed() < idleUntil; }, loopClock);

    std::atomic<bool> written { false };
    const qint64 writeStart = loopClock.nsecsElapsed();
    std::atomic<qint64> writeEnd { 0 };
    const int batchesBefore = screen->archiveFolderWatch()->batchCount();
    std::thread writer([&] {
        int made = 0;
        for (int folder = 0; made < changes; ++folder) {
            const QString dir = root + u"/burst/F%1"_s.arg(folder);
            QDir().mkpath(dir);
            ++made;
            for (int file = 0; file < 9 && made < changes; ++file, ++made) {
                QFile f(dir + u"/f%1"_s.arg(file));
                if (f.open(QIODevice::WriteOnly))
                    f.write("x");
            }
        }
        writeEnd = loopClock.nsecsElapsed();
        written = true;
    });
    // Until the writer is done and the watch has reported and rearmed.
    const QList<Gap> gaps = measureLoop(
        [&] {
            return !written || screen->archiveFolderWatch()->isArming()
                || loopClock.nsecsElapsed() < writeEnd + 2'500'000'000LL;
        },
        loopClock);
    writer.join();

    Gap longestOutside { 0, 0, 0 };
    Gap busiestOutside { 0, 0, 0 };
    Gap longestWithRescan { 0, 0, 0 };
    for (const Gap &gap : gaps) {
        const qint64 begin = gap.end - gap.wall;
        bool overlaps = false;
        for (const auto &[start, stop] : rescans)
            overlaps = overlaps || (begin <= stop && gap.end >= start);
        if (overlaps) {
            if (gap.wall > longestWithRescan.wall)
                longestWithRescan = gap;
        } else {
            if (gap.wall > longestOutside.wall)
                longestOutside = gap;
            if (gap.cpu > busiestOutside.cpu)
                busiestOutside = gap;
        }
    }
    Gap idleLongest { 0, 0, 0 };
    for (const Gap &gap : idle) {
        if (gap.wall > idleLongest.wall)
            idleLongest = gap;
    }
    qint64 longestRescan = 0;
    for (const auto &[start, stop] : rescans)
        longestRescan = std::max(longestRescan, stop - start);
    std::printf("burst of %d file-system changes (%.2f s to write), watch latency 1 s\n", changes,
        ms(writeEnd - writeStart) / 1000);
    std::printf("  %-44s %8d\n", "batches (rescans)", screen->archiveFolderWatch()->batchCount() - batchesBefore);
    std::printf("  %-44s %8lld folders\n", "folders watched afterwards",
        static_cast<long long>(screen->archiveFolderWatch()->watchedDirectories().size()));
    std::printf("  %-44s %8.1f ms (main thread busy %.1f ms of it)\n", "longest event-loop block, watch alone",
        ms(longestOutside.wall), ms(longestOutside.cpu));
    std::printf("  %-44s %8.1f ms\n", "most main-thread work between two ticks", ms(busiestOutside.cpu));
    std::printf("  %-44s %8.1f ms (main thread busy %.1f ms of it)\n", "longest event-loop block, with a rescan",
        ms(longestWithRescan.wall), ms(longestWithRescan.cpu));
    std::printf("  %-44s %8.1f ms (no file-system events; the machine's own noise)\n", "longest block of the idle loop",
        ms(idleLongest.wall));
    std::printf("  %-44s %8.1f ms\n", "longest rescan in the burst", ms(longestRescan));
    std::printf("  %-44s %8lld\n", "timer ticks measured", static_cast<long long>(gaps.size()));
    return 0;
}
