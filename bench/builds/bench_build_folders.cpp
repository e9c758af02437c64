// The build folders as the recent-builds screen runs them, over a tree of 50,000 files holding
// 200 packages (Gradle-like projects: sources, intermediates, outputs): the first scan (aapt for
// every package, as many at a time as there are cores), a rescan with the cache, the longest
// time the main thread is held while they run, and the inotify watches held.
//
//     build-dir/bin/bench_build_folders [files] [packages]
//
// Runs on the offscreen platform in a temporary home; prints its figures, nothing else.
#include "app/Config.h"
#include "bench/builds/BenchShell.h"
#include "bench/builds/InotifyCount.h"
#include "builds/BuildFolderCatalog.h"
#include "builds/BuildFolders.h"
#include "builds/PackageScan.h"
#include "builds/QDMenuViewController.h"
#include "builds/QDWelcomeViewController.h"
#include "builds/ShellServices.h"
#include "tests/support/ArchiveTree.h"
#include "tests/support/Fixtures.h"
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
#include <cstdio>
#include <functional>

#include <time.h>

using namespace Qt::StringLiterals;

namespace {

using BenchBuilds::BenchShell;
using BenchBuilds::ms;
using BenchBuilds::printRow;
using BenchBuilds::threadCpuNs;

// Runs the event loop until done() with a 1 ms timer; returns the longest gap between its ticks
// (wall clock) and the main thread's own work in the busiest gap.
struct Blocks
{
    qint64 longestWall = 0;
    qint64 longestCpu = 0;
};
Blocks runLoop(const std::function<bool()> &done)
{
    Blocks blocks;
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    qint64 lastCpu = threadCpuNs();
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, &tick, [&] {
        const qint64 now = clock.nsecsElapsed();
        const qint64 cpu = threadCpuNs();
        blocks.longestWall = std::max(blocks.longestWall, now - last);
        blocks.longestCpu = std::max(blocks.longestCpu, cpu - lastCpu);
        last = now;
        lastCpu = cpu;
    });
    tick.start();
    while (!done())
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    return blocks;
}

void fill(const QString &path)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("x");
}

// Makes the tree: projects with their sources (deeper than the scan goes), intermediates (skipped),
// resources and outputs (walked), the packages in the outputs and in a CI drop folder.
bool makeTree(const QString &root, int files, int packages, const QStringList &sources)
{
    const int projects = 20;
    const QDateTime base = QDateTime::currentDateTime().addDays(-2);
    for (int i = 0; i < packages; ++i) {
        const QString source = sources.at(i % sources.size());
        const QString path = source.endsWith(u".ipa"_s)
            ? root + u"/ci/build-%1/App-%1.ipa"_s.arg(i)
            : root + u"/Project%1/app/build/outputs/apk/variant%2/app-variant%2.apk"_s.arg(i % projects).arg(i);
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (!QFile::copy(source, path) || !ArchiveTree::setModified(path, base.addSecs(i * 60)))
            return false;
    }
    const int rest = files - packages;
    for (int i = 0; i < rest; ++i) {
        const int project = i % projects;
        QString folder;
        switch (i % 5) {
        case 0:
        case 1: // sources, nine levels down
            folder = u"/Project%1/app/src/main/java/com/example/m%2"_s.arg(project).arg(i % 40);
            break;
        case 2:
        case 3: // Gradle's intermediates
            folder = u"/Project%1/app/build/intermediates/dex/d%2"_s.arg(project).arg(i % 60);
            break;
        default: // resources, walked
            folder = u"/Project%1/app/src/main/res/drawable-%2"_s.arg(project).arg(i % 6);
        }
        QDir().mkpath(root + folder);
        fill(root + folder + u"/f%1.txt"_s.arg(i));
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // figures as they come, also into a file
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TestEnvironment::setUp();
    QApplication app(argc, argv);
    Alert::setTestMode(true);
    Browser::setTestMode(true);
    const int files = argc > 1 ? QByteArray(argv[1]).toInt() : 50000;
    const int packages = argc > 2 ? QByteArray(argv[2]).toInt() : 200;

    QStringList sources;
    for (int i = 0; i < 4; ++i) {
        Fixtures::Apk apk;
        apk.package = u"com.example.bench%1"_s.arg(i);
        apk.label = u"Bench%1"_s.arg(i);
        const QString path = TestEnvironment::path(u"sources/bench%1.apk"_s.arg(i));
        if (!Fixtures::makeApk(path, apk)) {
            std::fprintf(stderr, "cannot make a package: %s\n", qPrintable(Fixtures::lastError()));
            return 1;
        }
        sources.append(path);
    }
    sources.append(TestEnvironment::path(u"sources/bench.ipa"_s));
    if (!Fixtures::makeIpa(sources.last())) {
        std::fprintf(stderr, "cannot make a package: %s\n", qPrintable(Fixtures::lastError()));
        return 1;
    }
    const QString root = TestEnvironment::path(u"builds"_s);
    QElapsedTimer clock;
    clock.start();
    if (!makeTree(root, files, packages, sources)) {
        std::fprintf(stderr, "cannot make the tree below %s\n", qPrintable(root));
        return 1;
    }
    std::printf("build folder of %d files holding %d packages (made in %.1f s), %d cores, offscreen\n", files, packages,
        double(clock.elapsed()) / 1000, QThread::idealThreadCount());

    // The same loop with nothing to do, for comparison: what the machine itself costs.
    QElapsedTimer idleClock;
    idleClock.start();
    const Blocks idle = runLoop([&] { return idleClock.elapsed() > 1500; });
    std::printf(
        "  %-44s %8.1f ms (the machine's own noise)\n", "longest block of an idle event loop", ms(idle.longestWall));

    BuildFolders::setFolders({ root });
    BenchShell shell;
    QWidget window;
    window.resize(640, 520);
    const int watchesBefore = inotifyWatchesHeld();
    clock.restart();
    auto *screen = new QDWelcomeViewController(&shell, &window);
    window.show();
    BuildFolderCatalog *catalogue = screen->buildFolderCatalog();
    const qint64 startup = clock.nsecsElapsed();
    qint64 firstScan = 0;
    // Until the first scan is in and the folders' watch is armed.
    const Blocks first = runLoop([&] {
        if (catalogue->scanCount() < 1)
            return false;
        if (firstScan == 0)
            firstScan = clock.nsecsElapsed();
        for (ArchiveFolderWatch *watch : catalogue->watches()) {
            if (watch->isArming())
                return false;
        }
        return true;
    });
    int byAapt = 0;
    for (const BuildPackage &package : catalogue->packages())
        byAapt += package.appType == 2 ? 1 : 0;
    std::printf(
        "  %-44s %8.1f ms (archives scanned, the build folders' scan started)\n", "screen start-up", ms(startup));
    std::printf("  %-44s %8.1f ms (%d packages listed, %d read, %d of them by aapt)\n", "first scan, empty cache",
        ms(firstScan), int(catalogue->packages().size()), catalogue->inspectionCount(), byAapt);
    std::printf("  %-44s %8.1f ms (main thread busy %.1f ms at most between two ticks)\n",
        "  longest main-thread block meanwhile", ms(first.longestWall), ms(first.longestCpu));
    qsizetype watched = 0;
    for (ArchiveFolderWatch *watch : catalogue->watches())
        watched += watch->watchedDirectories().size();
    std::printf("  %-44s %8lld folders; %d inotify watches held by the screen in all\n", "build folder watch",
        static_cast<long long>(watched), inotifyWatchesHeld() - watchesBefore);

    QList<qint64> rescans;
    Blocks rescanBlocks;
    for (int run = 0; run < 9; ++run) {
        const int before = catalogue->scanCount();
        clock.restart();
        catalogue->rescan();
        const Blocks blocks = runLoop([&] { return catalogue->scanCount() > before; });
        rescans.append(clock.nsecsElapsed());
        rescanBlocks.longestWall = std::max(rescanBlocks.longestWall, blocks.longestWall);
        rescanBlocks.longestCpu = std::max(rescanBlocks.longestCpu, blocks.longestCpu);
    }
    printRow("rescan with the cache, as the screen runs it", rescans);
    std::printf("  %-44s %8.1f ms (main thread busy %.1f ms at most between two ticks)\n",
        "  longest main-thread block meanwhile", ms(rescanBlocks.longestWall), ms(rescanBlocks.longestCpu));

    QList<qint64> direct;
    PackageScan::Options options;
    for (int run = 0; run < 9; ++run) {
        clock.restart();
        const PackageScan::Result result = PackageScan::run({ root }, options);
        direct.append(clock.nsecsElapsed());
        if (result.inspected != 0 || result.packages.size() != packages) {
            std::fprintf(stderr, "a rescan read %d packages and listed %lld\n", result.inspected,
                static_cast<long long>(result.packages.size()));
            return 1;
        }
    }
    printRow("  of which the walk and the cache alone", direct);
    std::printf("  %-44s %8d\n", "packages read by the rescans", catalogue->inspectionCount() - packages);
    return 0;
}
