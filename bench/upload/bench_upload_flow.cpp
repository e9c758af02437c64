// One large package through the whole upload window (inspection by aapt, prepare, suffix check,
// multipart upload with the progress bar and rate on screen) against the stand-in service on
// loopback, compared with `curl -F` of the same file to the same endpoint.
//
//   bench_upload_flow [--size MiB] [--runs N]        (defaults: 1024 MiB, 3 runs each, alternating)
//
// Each client runs as a child process, so its peak RSS is its own. For the window the child also
// reports the longest gap between two turns of its event loop while the upload ran (a 2 ms timer
// that should fire on time), how many progress reports reached the screen and how often the bar
// actually changed. Runs offscreen; builds its package with aapt and zip; removes what it made.

#include "app/QSLoginModel.h"
#include "ui/Alert.h"
#include "ui/Browser.h"
#include "upload/QDScreenStack.h"
#include "upload/QDUploadViewController.h"
#include "upload/QDUploadWindowController.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const char *const kApiKey = "7c1e4a90d25b3f86e0a9c4d71b2f5e38";

struct ChildResult
{
    bool ok = false;
    QByteArray output;
    double wallSeconds = 0;
    long peakRssKiB = 0;
};

// Runs a program to its end with the given environment; its output, wall time and peak RSS.
ChildResult runChild(const QString &program, const QStringList &arguments, const QProcessEnvironment &env)
{
    ChildResult result;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<QByteArray> storage;
    std::vector<char *> argv;
    storage.push_back(QFile::encodeName(program));
    for (const QString &argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> envStorage;
    std::vector<char *> envp;
    for (const QString &entry : env.toStringList())
        envStorage.push_back(entry.toLocal8Bit());
    for (QByteArray &entry : envStorage)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return result;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, n);
    ::close(pipeFds[0]);
    int status = 0;
    rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    result.wallSeconds = double(clock.nsecsElapsed()) / 1e9;
    result.peakRssKiB = usage.ru_maxrss;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

QByteArray post(const QString &url, const QByteArray &body)
{
    QProcess curl;
    curl.start(u"curl"_s, { u"-s"_s, u"--data-binary"_s, u"@-"_s, url });
    curl.write(body);
    curl.closeWriteChannel();
    curl.waitForFinished(30000);
    return curl.readAllStandardOutput();
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// The child: one upload through the window, as a user would do it.
class WindowCloser final : public QDUploadViewControllerDelegate
{
public:
    void closeUpdateWindow() override { closed = true; }
    bool closed = false;
};

int clientMain(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString package = args.value(2);
    const QString suffix = args.value(3);
    const QJsonObject login = QJsonDocument::fromJson(qgetenv("BENCH_LOGIN")).object();
    QSLoginModel::setLoginWithUId(login.value(u"userKey"_s).toString(), login.toVariantMap());
    Alert::setTestMode(true);
    Browser::setTestMode(true);
    Alert::setNextAnswer(1); // "取消" in the success question
    QDScreenStack::setAnimationDuration(0);

    WindowCloser closer;
    QDUploadViewController controller(u"0"_s);
    controller.setDelegate(&closer);
    QDUploadWindowController window;
    window.setContentViewController(&controller);
    window.showWindow();

    // Event-loop turns: a 2 ms timer; the longest interval between two firings.
    QElapsedTimer loopClock;
    qint64 last = -1;
    qint64 maxGapNs = 0;
    bool measuring = false;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(2);
    QObject::connect(&tick, &QTimer::timeout, &app, [&] {
        const qint64 now = loopClock.nsecsElapsed();
        if (measuring && last >= 0)
            maxGapNs = std::max(maxGapNs, now - last);
        last = now;
    });
    loopClock.start();
    tick.start();

    int progressReports = 0;
    int barChanges = 0;
    QObject::connect(controller.flow(), &UploadFlow::progressChanged, &app, [&] { ++progressReports; });
    QObject::connect(controller.uploadProgressBar(), &QProgressBar::valueChanged, &app, [&] { ++barChanges; });

    QElapsedTimer total;
    total.start();
    QElapsedTimer upload;
    bool failed = false;
    QObject::connect(controller.flow(), &UploadFlow::showApplicationInfo, &app, [&] {
        QTimer::singleShot(0, &app, [&] {
            QLineEdit *field = controller.appInfoViewController()->shortcutUrlTextField();
            field->setText(suffix);
            upload.start();
            measuring = true;
            last = -1;
            controller.uploadButton()->click();
        });
    });
    QObject::connect(controller.flow(), &UploadFlow::uploadFinished, &app, [&](const UploadFlow::Result &r) {
        measuring = false;
        failed = !r.success();
        if (failed)
            std::fprintf(stderr, "upload failed: %s\n", qPrintable(r.message));
        QTimer::singleShot(50, &app, &QCoreApplication::quit);
    });
    QObject::connect(controller.flow(), &UploadFlow::inspectionEnded, &app, [&] {
        failed = true;
        app.quit();
    });
    QTimer::singleShot(0, &app, [&] { controller.ParseAPK(package); });
    app.exec();
    if (failed || !upload.isValid())
        return 1;
    std::printf("%.3f %.3f %.2f %d %d\n", double(upload.nsecsElapsed()) / 1e9, double(total.nsecsElapsed()) / 1e9,
        double(maxGapNs) / 1e6, progressReports, barChanges);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--client") == 0)
        return clientMain(argc, argv);

    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int sizeMiB = args.contains(u"--size"_s) ? args.value(args.indexOf(u"--size"_s) + 1).toInt() : 1024;
    const int runs = args.contains(u"--runs"_s) ? args.value(args.indexOf(u"--runs"_s) + 1).toInt() : 3;
    const QString binDir = QCoreApplication::applicationDirPath();
    QTemporaryDir work;
    const QString dir = work.path();

    // The package: an .apk from aapt with a large stored asset (zip reads the sparse file as zeros).
    QDir().mkpath(dir + u"/src/assets"_s);
    {
        QFile manifest(dir + u"/src/AndroidManifest.xml"_s);
        if (!manifest.open(QIODevice::WriteOnly))
            return 1;
        manifest.write("<manifest xmlns:android=\"http://schemas.android.com/apk/res/android\" "
                       "package=\"com.example.large\" android:versionCode=\"1\" android:versionName=\"1.0\">"
                       "<application android:label=\"Large\"/></manifest>\n");
    }
    const QString apk = dir + u"/large.apk"_s;
    if (QProcess::execute(u"aapt"_s,
            { u"package"_s, u"-f"_s, u"-M"_s, dir + u"/src/AndroidManifest.xml"_s, u"-I"_s,
                u"/usr/share/android-framework-res/framework-res.apk"_s, u"-F"_s, apk })
        != 0) {
        std::fprintf(stderr, "aapt package failed\n");
        return 1;
    }
    {
        QFile filler(dir + u"/src/assets/filler.bin"_s);
        if (!filler.open(QIODevice::WriteOnly) || !filler.resize(qint64(sizeMiB) * 1024 * 1024))
            return 1;
    }
    QProcess zip;
    zip.setWorkingDirectory(dir + u"/src"_s);
    zip.start(u"zip"_s, { u"-q"_s, u"-0"_s, apk, u"assets/filler.bin"_s });
    zip.waitForFinished(-1);
    QFile::remove(dir + u"/src/assets/filler.bin"_s);
    const qint64 apkSize = QFileInfo(apk).size();

    // The stand-in service (lenient: curl's multipart differs from the client's).
    QProcess server;
    server.setProgram(binDir + u"/quillo-server"_s);
    server.setArguments({ u"--listen"_s, u"127.0.0.1:0"_s, u"--data"_s, dir + u"/data"_s, u"--max-upload-mb"_s,
        QString::number(sizeMiB + 64) });
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start();
    QString base;
    for (int i = 0; i < 200 && base.isEmpty(); ++i) {
        server.waitForReadyRead(100);
        const QByteArray line = server.readLine().trimmed();
        if (line.startsWith("listening on "))
            base = QString::fromLatin1(line.mid(13));
    }
    if (base.isEmpty()) {
        std::fprintf(stderr, "quillo-server did not start\n");
        return 1;
    }
    const QString host = QUrl(base).authority();
    const QByteArray common = QByteArray("&_uId=&_api_key=") + kApiKey + "&_token=";
    post(base + u"/apiv1/user/register"_s, "email=bench%40example.com&name=bench&password=bench123" + common);
    const QJsonObject loginReply = QJsonDocument::fromJson(
        post(base + u"/apiv1/user/login"_s, "email=bench%40example.com&password=bench123" + common))
                                       .object();
    const QJsonObject login = loginReply.value(u"data"_s).toObject();
    const QString uKey = login.value(u"userKey"_s).toString();
    if (uKey.isEmpty()) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"QUILLO_SERVICE_HOST"_s, host);
    env.insert(u"QUILLO_SETTINGS_FILE"_s, dir + u"/settings.json"_s);
    env.insert(u"QUILLO_WORK_DIR"_s, dir + u"/work"_s);
    env.insert(u"QUILLO_RESOURCE_DIR"_s, QDir(binDir + u"/../share/quillo/resources"_s).absolutePath());
    env.insert(u"BENCH_LOGIN"_s, QString::fromUtf8(QJsonDocument(login).toJson(QJsonDocument::Compact)));
    env.insert(u"QT_LOGGING_RULES"_s, u"quillo.*=false"_s);

    std::printf("package: %lld bytes (%d MiB asset), service %s\n", apkSize, sizeMiB, qPrintable(host));
    QList<double> flowUpload, flowTotal, flowGap, curlSeconds;
    QList<double> flowRss, curlRss;
    int reports = 0;
    int changes = 0;
    for (int run = 1; run <= runs; ++run) {
        const ChildResult flow = runChild(
            QCoreApplication::applicationFilePath(), { u"--client"_s, apk, u"bench-flow-%1"_s.arg(run) }, env);
        const QList<QByteArray> f = flow.output.trimmed().split(' ');
        if (!flow.ok || f.size() < 5) {
            std::fprintf(stderr, "window run %d failed\n", run);
            return 1;
        }
        flowUpload.append(f.at(0).toDouble());
        flowTotal.append(f.at(1).toDouble());
        flowGap.append(f.at(2).toDouble());
        reports = f.at(3).toInt();
        changes = f.at(4).toInt();
        flowRss.append(double(flow.peakRssKiB) / 1024.0);
        QDir(dir + u"/data/packages"_s).removeRecursively();

        const ChildResult curl = runChild(u"curl"_s,
            { u"-s"_s, u"-o"_s, u"/dev/null"_s, u"-w"_s, u"%{time_total}"_s, u"-F"_s,
                u"_api_key="_s + QLatin1StringView(kApiKey), u"-F"_s, u"isPublishToPublic=1"_s, u"-F"_s,
                u"name=Large"_s, u"-F"_s, u"password="_s, u"-F"_s, u"publishRange=2"_s, u"-F"_s,
                u"shortcut=bench-curl-%1"_s.arg(run), u"-F"_s, u"uKey="_s + uKey, u"-F"_s, u"updateDescription=bench"_s,
                u"-F"_s, u"file=@%1;type=application/vnd.android.package-archive"_s.arg(apk),
                base + u"/apiv1/app/upload"_s },
            env);
        if (!curl.ok) {
            std::fprintf(stderr, "curl run %d failed\n", run);
            return 1;
        }
        curlSeconds.append(curl.output.trimmed().toDouble());
        curlRss.append(double(curl.peakRssKiB) / 1024.0);
        QDir(dir + u"/data/packages"_s).removeRecursively();
        std::printf("run %d: window upload %.2f s (whole flow %.2f s, max loop gap %.1f ms, peak RSS %.0f MiB) | "
                    "curl -F %.2f s (peak RSS %.0f MiB)\n",
            run, flowUpload.last(), flowTotal.last(), flowGap.last(), flowRss.last(), curlSeconds.last(),
            curlRss.last());
        std::fflush(stdout);
    }
    const double mib = double(apkSize) / (1024.0 * 1024.0);
    std::printf(
        "median over %d runs: window upload %.2f s (%.0f MiB/s), whole flow %.2f s; curl -F %.2f s (%.0f MiB/s); "
        "window/curl %.2f\n",
        runs, median(flowUpload), mib / median(flowUpload), median(flowTotal), median(curlSeconds),
        mib / median(curlSeconds), median(flowUpload) / median(curlSeconds));
    std::printf("peak RSS: window client %.0f MiB, curl %.0f MiB; max event-loop gap during the upload %.1f ms (worst "
                "run %.1f ms); "
                "progress reports reaching the screen %d, bar changes %d (last run)\n",
        median(flowRss), median(curlRss), median(flowGap), *std::max_element(flowGap.cbegin(), flowGap.cend()), reports,
        changes);
    server.terminate();
    server.waitForFinished(10000);
    return 0;
}
