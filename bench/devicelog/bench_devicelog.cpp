// Feeds the device log viewer a recorded stream of generated log lines through a pipe (a
// stand-in deviceconsole that cats the file) and prints: entries per second through cutting,
// rewriting and the model; the longest block of the event loop; memory per entry; the time of a
// search over all entries against `grep -F -c` on the same text; how many rows were measured.
//
//   bench_devicelog [lines]      (default 1000000; runs on any Qt platform, e.g. offscreen)

#include "devicelog/DeviceLogModel.h"
#include "devicelog/DeviceLogReader.h"
#include "devicelog/DeviceLogTableView.h"
#include "devicelog/DeviceLogText.h"
#include "devicelog/QDViewDeviceLogController.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>

using namespace Qt::StringLiterals;

namespace {

qint64 rssKiB()
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

// Lines in the layout of the device log tool, with a few multi-line messages and a rare word.
qint64 generate(const QString &path, int lines)
{
    static const char *const months[]
        = { "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
    static const char *const processes[]
        = { "SpringBoard", "kernel", "backboardd", "locationd", "mediaserverd", "CommCenter", "wifid", "assertiond",
              "searchd", "Preferences", "com.apple.WebKit.Networking", "MyApp", "runningboardd", "symptomsd" };
    static const char *const levels[] = { "<Notice>", "<Notice>", "<Notice>", "<Debug>", "<Warning>", "<Error>" };
    static const char *const words[] = { "connection", "state", "changed", "to", "active", "request", "finished",
        "with", "error", "domain", "code", "session", "timer", "fired", "for", "process", "assertion", "acquired",
        "released", "network", "path", "satisfied", "interface", "en0", "scene", "update", "无法", "连接" };
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return 0;
    QRandomGenerator random(7);
    QByteArray buffer;
    buffer.reserve(1 << 20);
    for (int i = 0; i < lines; ++i) {
        const int second = i / 200;
        char head[96];
        const int process = int(random.bounded(int(std::size(processes))));
        std::snprintf(head, sizeof head, "%s %2d %02d:%02d:%02d iPhone %s[%d] %s: ", months[(i / 50000) % 12],
            1 + (i / 20000) % 28, (second / 3600) % 24, (second / 60) % 60, second % 60, processes[process],
            100 + process * 37, levels[random.bounded(int(std::size(levels)))]);
        buffer += head;
        const int count = 4 + int(random.bounded(14));
        for (int w = 0; w < count; ++w) {
            buffer += words[random.bounded(int(std::size(words)))];
            buffer += ' ';
        }
        if (i % 1000 == 500)
            buffer += "needle ";
        buffer += QByteArray::number(i);
        if (i % 97 == 0)
            buffer += "\n    continued detail line without a timestamp";
        buffer += '\n';
        if (buffer.size() > (1 << 20) - 4096) {
            file.write(buffer);
            buffer.clear();
        }
    }
    file.write(buffer);
    return file.size();
}

double grepSeconds(const QString &keyword, const QString &path, qint64 *count)
{
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        QProcess grep;
        QElapsedTimer timer;
        timer.start();
        grep.start(u"grep"_s, { u"-F"_s, u"-c"_s, u"--"_s, keyword, path });
        grep.waitForFinished(-1);
        best = std::min(best, timer.nsecsElapsed() / 1e9);
        *count = grep.readAllStandardOutput().trimmed().toLongLong();
    }
    return best;
}

qint64 threadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Times every event the main thread handles (outermost dispatch only): wall clock, and the main
// thread's own CPU time, which a busy machine does not inflate.
class TimedApplication final : public QApplication
{
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override
    {
        if (!measuring || depth > 0)
            return QApplication::notify(receiver, event);
        ++depth;
        QElapsedTimer wall;
        wall.start();
        const qint64 cpu = threadCpuNs();
        const bool result = QApplication::notify(receiver, event);
        longestWall = std::max(longestWall, wall.nsecsElapsed());
        longestCpu = std::max(longestCpu, threadCpuNs() - cpu);
        --depth;
        return result;
    }
    bool measuring = false;
    int depth = 0;
    qint64 longestWall = 0;
    qint64 longestCpu = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    TimedApplication app(argc, argv);
    const int lines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000000;

    QTemporaryDir dir;
    const QString logPath = dir.filePath(u"device.log"_s);
    const qint64 bytes = generate(logPath, lines);
    {
        QFile script(dir.filePath(u"deviceconsole"_s));
        script.open(QIODevice::WriteOnly);
        script.write("#!/bin/sh\nexec cat '" + QFile::encodeName(logPath) + "'\n");
        script.close();
        script.setPermissions(script.permissions() | QFile::ExeOwner);
    }
    qputenv("QUILLO_RESOURCE_DIR", QFile::encodeName(dir.path()));
    std::printf("generated %d lines, %.1f MB\n", lines, bytes / 1e6);

    // Cutting and rewriting alone, one thread, 64 KiB chunks.
    {
        QFile file(logPath);
        file.open(QIODevice::ReadOnly);
        QElapsedTimer timer;
        timer.start();
        qint64 entries = 0;
        QByteArray carry;
        while (!file.atEnd())
            entries += DeviceLogText::entriesFromChunk(file.read(65536), &carry).size();
        const double seconds = timer.nsecsElapsed() / 1e9;
        std::printf("cutting alone:        %lld entries in %.2f s = %.0f entries/s (%.0f MB/s)\n", (long long)entries,
            seconds, entries / seconds, bytes / 1e6 / seconds);
    }

    const qint64 rssBefore = rssKiB();
    // The event loop's longest block: the largest gap between ticks of a 1 ms timer.
    QElapsedTimer clock;
    qint64 lastTick = 0;
    QList<qint64> gaps;
    gaps.reserve(200000);
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, &tick, [&] {
        const qint64 now = clock.nsecsElapsed();
        gaps.append(now - lastTick);
        lastTick = now;
    });

    QDViewDeviceLogController viewer;
    viewer.resize(900, 600);
    viewer.show();
    DeviceLogReader *reader = viewer.findChild<DeviceLogReader *>();
    bool done = false;
    qint64 endNs = 0;
    QObject::connect(reader, &DeviceLogReader::finished, &viewer, [&](DeviceLogReader::Outcome, int) {
        endNs = clock.nsecsElapsed();
        done = true;
    });
    // The main thread's share of each delivery: from the model's insertion to the end of the
    // viewer's handling (the table's update and scrolling included).
    qint64 batchStart = 0;
    qint64 longestBatch = 0;
    qint64 batches = 0;
    QObject::connect(viewer.logModel(), &QAbstractItemModel::rowsAboutToBeInserted, &viewer,
        [&] { batchStart = clock.nsecsElapsed(); });
    QObject::connect(reader, &DeviceLogReader::entriesArrived, &viewer, [&] {
        longestBatch = std::max(longestBatch, clock.nsecsElapsed() - batchStart);
        ++batches;
    });
    clock.start();
    tick.start();
    app.measuring = true;
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    tick.stop();
    app.measuring = false;
    QCoreApplication::processEvents();

    const qint64 entries = viewer.logModel()->logContentList().size();
    qint64 chars = 0;
    for (const QString &entry : viewer.logModel()->logContentList())
        chars += entry.size();
    const qint64 rssAfter = rssKiB();
    std::sort(gaps.begin(), gaps.end());
    const double seconds = endNs / 1e9;
    std::printf("viewer:               %lld entries in %.2f s = %.0f entries/s\n", (long long)entries, seconds,
        entries / seconds);
    std::printf("event loop:           longest block %.1f ms, 99.9th percentile %.1f ms (1 ms timer, %lld ticks)\n",
        gaps.isEmpty() ? 0.0 : gaps.last() / 1e6 - 1,
        gaps.isEmpty() ? 0.0 : gaps.at(gaps.size() * 999 / 1000) / 1e6 - 1, (long long)gaps.size());
    std::printf("longest event:        %.1f ms wall clock, %.1f ms of the main thread's CPU time\n",
        app.longestWall / 1e6, app.longestCpu / 1e6);
    std::printf("deliveries:           %lld, the longest taking %.1f ms on the main thread (model and table)\n",
        (long long)batches, longestBatch / 1e6);
    std::printf("memory:               %.0f bytes per entry (RSS %+.1f MB; entries average %.0f characters)\n",
        (rssAfter - rssBefore) * 1024.0 / std::max<qint64>(entries, 1), (rssAfter - rssBefore) / 1024.0,
        double(chars) / std::max<qint64>(entries, 1));
    std::printf(
        "rows measured:        %lld of %lld\n", (long long)viewer.logTable()->measuredRowCount(), (long long)entries);

    for (const QString &keyword : { u"needle"_s, u"<Error>"_s, u"SpringBoard"_s, u"iPhone"_s }) {
        viewer.logSearchField()->setText(keyword);
        QElapsedTimer timer;
        timer.start();
        viewer.searchLogWithKeyWord();
        QCoreApplication::processEvents();
        const double searchSeconds = timer.nsecsElapsed() / 1e9;
        const qint64 found = viewer.logModel()->rowCount();
        qint64 grepCount = 0;
        const double grep = grepSeconds(keyword, logPath, &grepCount);
        std::printf("search %-12s      %8lld entries in %6.1f ms; grep -F -c: %8lld lines in %6.1f ms\n",
            qPrintable(u'"' + keyword + u'"'), (long long)found, searchSeconds * 1e3, (long long)grepCount, grep * 1e3);
    }
    viewer.logSearchField()->clear();
    return 0;
}
