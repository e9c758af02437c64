// quillo-server: the local stand-in of the Quillo service.
#include "server/ApiService.h"
#include "server/HttpServer.h"
#include "server/Logging.h"
#include "server/ServerOptions.h"
#include "server/Store.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

void printLine(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString defaultDataDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/quillo-server"_s;
}

// Removes uploads that a previous run left half written (it was killed mid-upload).
void sweepTemporaryFiles(const QString &tempDir)
{
    QDir dir(tempDir);
    const QStringList leftovers = dir.entryList({u"upload-*.part"_s}, QDir::Files);
    for (const QString &name : leftovers) {
        if (dir.remove(name))
            qCInfo(lcServer) << "removed the unfinished upload" << name;
    }
}

// The options of the command line; nothing when the program is to end at once with *status
// (0 after --help, 2 after a usage error).
std::optional<ServerOptions> readOptions(const QStringList &arguments, int *status)
{
    QString error;
    std::optional<ServerOptions> parsed = ServerOptions::parse(arguments, &error);
    if (!parsed) {
        if (error.isEmpty()) {
            printLine(ServerOptions::usage());
            *status = 0;
        } else {
            std::fprintf(stderr, "quillo-server: %s\n\n%s", error.toLocal8Bit().constData(),
                         ServerOptions::usage().toLocal8Bit().constData());
            *status = 2;
        }
        return std::nullopt;
    }
    if (parsed->dataDir.isEmpty())
        parsed->dataDir = defaultDataDir();
    parsed->dataDir = QDir(parsed->dataDir).absolutePath();
    return parsed;
}

// The data folder (the owner's only) with its sub-folders; leftovers of cut uploads go.
bool prepareDataFolder(const QString &dataDir)
{
    if (!QDir().mkpath(dataDir)) {
        std::fprintf(stderr, "quillo-server: cannot create the data folder %s\n", dataDir.toLocal8Bit().constData());
        return false;
    }
    QFile::setPermissions(dataDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    for (const QString &sub : {ApiService::packagesDir(dataDir), ApiService::iconsDir(dataDir),
                               ApiService::outboxDir(dataDir), ApiService::tempDir(dataDir)})
        QDir().mkpath(sub);
    sweepTemporaryFiles(ApiService::tempDir(dataDir));
    return true;
}

// Serves until the server stops or SIGINT or SIGTERM arrives (blocked in every thread and taken
// here by a thread of its own).
int serve(QCoreApplication &app, HttpServer &server, const sigset_t &stopSignals)
{
    std::atomic<bool> finished{false};
    std::thread listener([&] {
        if (!server.run())
            qCWarning(lcServer) << "the server stopped with an error";
        finished = true;
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    std::thread signalWatcher([&] {
        const timespec poll{0, 200'000'000};
        while (!finished) {
            const int signal = sigtimedwait(&stopSignals, nullptr, &poll);
            if (signal == SIGINT || signal == SIGTERM) {
                qCInfo(lcServer) << "stopping on signal" << signal;
                server.stop();
                return;
            }
        }
    });
    const int status = QCoreApplication::exec();
    listener.join();
    finished = true;
    signalWatcher.join();
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    // SIGINT and SIGTERM are taken by a thread of their own; every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"quillo-server"_s);

    int status = 0;
    const std::optional<ServerOptions> options = readOptions(app.arguments().mid(1), &status);
    if (!options)
        return status;
    if (!prepareDataFolder(options->dataDir))
        return 1;

    QString error;
    Store store;
    if (!store.open(options->dataDir + u"/quillo.db"_s, &error)) {
        std::fprintf(stderr, "quillo-server: %s\n", error.toLocal8Bit().constData());
        return 1;
    }

    ApiService::Settings settings;
    settings.dataDir = options->dataDir;
    settings.newestVersion = options->newestVersion;
    settings.newestUrl = options->newestUrl;
    settings.maxUploadBytes = options->maxUploadBytes;
    ApiService api(store, settings);
    HttpServer server(*options, store, api);

    QString demoEmail;
    QString demoPassword;
    if (options->seedDemo && !api.seedDemo(&demoEmail, &demoPassword)) {
        std::fprintf(stderr, "quillo-server: cannot create the demo account\n");
        return 1;
    }

    if (!server.bind(&error)) {
        std::fprintf(stderr, "quillo-server: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    printLine(u"listening on http://%1:%2"_s.arg(options->urlHost()).arg(server.port()));
    if (options->seedDemo)
        printLine(u"demo account: %1 / %2"_s.arg(demoEmail, demoPassword));
    qCInfo(lcServer).noquote() << "data folder" << options->dataDir << (options->strict ? "(strict)" : "");
    qCInfo(lcServer).noquote() << "public address" << server.publicUrl();
    return serve(app, server, stopSignals);
}
