// Upload throughput and memory: the upload transport against `curl -F file=@...`, both sending
// the same file to a loopback sink that discards it (upload_sink), alternating, several runs
// per size. Each client runs as a child process so that its peak RSS is its own.
//
//   bench_upload [--runs N] [--sizes MiB,MiB,...]       (default: 5 runs, 100 and 1024 MiB)
//   bench_upload --client <url> <file>                   (one upload; prints its seconds)

#include "api/UploadRequest.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

extern char **environ;

namespace {

struct RunResult
{
    double seconds = -1; // transfer time reported by the client
    long peakRssKiB = 0;
};

// Runs a program, returns its standard output, exit status and peak RSS.
RunResult runChild(const QStringList &arguments, QByteArray *output)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<QByteArray> storage;
    std::vector<char *> argv;
    for (const QString &argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return {};
    }
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        output->append(buffer, n);
    ::close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    RunResult result;
    result.peakRssKiB = usage.ru_maxrss;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        result.seconds = output->trimmed().toDouble();
    return result;
}

int clientMain(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString url = app.arguments().value(2);
    const QString path = app.arguments().value(3);
    UploadRequest upload(QUrl(url), {{u"_api_key"_s, u"bench"_s}}, path, u"file"_s, QFileInfo(path).fileName(),
                         u"application/octet-stream"_s);
    QElapsedTimer clock;
    int exitCode = 1;
    QObject::connect(&upload, &UploadRequest::finished, &app,
                     [&](int status, const QVariant &, const QString &error) {
                         const double seconds = double(clock.nsecsElapsed()) / 1e9;
                         if (status == 200 && error.isEmpty()) {
                             std::printf("%.4f\n", seconds);
                             exitCode = 0;
                         } else {
                             std::fprintf(stderr, "upload failed: %d %s\n", status, qPrintable(error));
                         }
                         app.quit();
                     });
    clock.start();
    upload.start();
    app.exec();
    return exitCode;
}

bool writeFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(4 * 1024 * 1024, Qt::Uninitialized);
    auto *words = reinterpret_cast<quint32 *>(block.data());
    QRandomGenerator random(42);
    random.fillRange(words, block.size() / 4);
    for (qint64 left = size; left > 0; left -= block.size()) {
        const qint64 n = std::min<qint64>(left, block.size());
        if (file.write(block.constData(), n) != n)
            return false;
    }
    return true;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 4 && std::string(argv[1]) == "--client")
        return clientMain(argc, argv);

    QCoreApplication app(argc, argv);
    int runs = 5;
    QList<qint64> sizesMiB{100, 1024};
    const QStringList arguments = app.arguments();
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i) == u"--runs"_s)
            runs = std::max(1, arguments.at(i + 1).toInt());
        else if (arguments.at(i) == u"--sizes"_s) {
            sizesMiB.clear();
            for (const QString &size : arguments.at(i + 1).split(u','))
                sizesMiB.append(size.toLongLong());
        }
    }
    const QString self = QCoreApplication::applicationFilePath();
    const QString sink = QFileInfo(self).absolutePath() + u"/upload_sink"_s;

    // The sink runs for the whole benchmark.
    int sinkOut[2];
    if (::pipe(sinkOut) != 0)
        return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sinkOut[1], STDOUT_FILENO);
    QByteArray sinkPath = sink.toLocal8Bit();
    char *sinkArgv[] = {sinkPath.data(), nullptr};
    pid_t sinkPid = 0;
    if (::posix_spawn(&sinkPid, sinkPath.constData(), &actions, nullptr, sinkArgv, environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", sinkPath.constData());
        return 1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(sinkOut[1]);
    char portText[16] = {};
    const ssize_t got = ::read(sinkOut[0], portText, sizeof portText - 1);
    const int port = got > 0 ? std::atoi(portText) : 0;
    const QString url = u"http://127.0.0.1:%1/apiv1/app/upload"_s.arg(port);
    // Straight to the sink, whatever proxy the machine has.
    qputenv("no_proxy", "127.0.0.1");

    QTemporaryDir dir;
    std::printf("upload to a discarding loopback sink, %d runs per size, alternating (medians)\n", runs);
    std::printf("%8s  %12s  %12s  %7s  %14s  %14s\n", "size", "ours MB/s", "curl MB/s", "ratio", "ours peak RSS",
                "curl peak RSS");
    int failures = 0;
    for (const qint64 sizeMiB : std::as_const(sizesMiB)) {
        const QString file = dir.filePath(u"package-%1.bin"_s.arg(sizeMiB));
        if (!writeFile(file, sizeMiB * 1024 * 1024)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
        std::vector<double> ours, theirs;
        long oursRss = 0, theirsRss = 0;
        for (int run = 0; run < runs; ++run) {
            QByteArray output;
            RunResult a = runChild({self, u"--client"_s, url, file}, &output);
            output.clear();
            RunResult b = runChild({u"curl"_s, u"-s"_s, u"-o"_s, u"/dev/null"_s, u"-w"_s, u"%{time_total}"_s,
                                    u"-F"_s, u"_api_key=bench"_s, u"-F"_s, u"file=@"_s + file + u";type=application/octet-stream"_s,
                                    url},
                                   &output);
            if (a.seconds <= 0 || b.seconds <= 0) {
                ++failures;
                continue;
            }
            ours.push_back(double(sizeMiB) * 1.048576 / a.seconds);
            theirs.push_back(double(sizeMiB) * 1.048576 / b.seconds);
            oursRss = std::max(oursRss, a.peakRssKiB);
            theirsRss = std::max(theirsRss, b.peakRssKiB);
        }
        QFile::remove(file);
        const double o = median(ours), t = median(theirs);
        std::printf("%5lld MiB  %12.0f  %12.0f  %7.3f  %10.1f MiB  %10.1f MiB\n", static_cast<long long>(sizeMiB), o, t,
                    t > 0 ? o / t : 0.0, double(oursRss) / 1024, double(theirsRss) / 1024);
        std::fflush(stdout);
    }
    ::kill(sinkPid, SIGTERM);
    ::waitpid(sinkPid, nullptr, 0);
    if (failures)
        std::fprintf(stderr, "%d runs failed\n", failures);
    return failures ? 1 : 0;
}
