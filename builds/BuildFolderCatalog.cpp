#include "builds/BuildFolderCatalog.h"

#include "app/Config.h"
#include "app/Preferences.h"
#include "builds/BuildFolders.h"
#include "builds/Logging.h"
#include "builds/PackageFinder.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMutex>
#include <QThreadPool>

#include <utility>

using namespace Qt::StringLiterals;

// What a scan on the worker thread shares with the catalogue: the way back, which the catalogue
// closes when it goes, and the request to stop.
struct BuildFolderCatalog::Ticket
{
    QMutex mutex;
    BuildFolderCatalog *owner = nullptr;
    std::atomic<bool> cancel { false };
};

BuildFolderCatalog::BuildFolderCatalog(QObject *parent)
    : BuildFolderCatalog(Options(), parent)
{ }

BuildFolderCatalog::BuildFolderCatalog(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
{
    m_settleTimer.setSingleShot(true);
    m_settleTimer.setInterval(int(m_options.scan.settleMs));
    connect(&m_settleTimer, &QTimer::timeout, this, &BuildFolderCatalog::rescan);
    m_packageChangeTimer.setSingleShot(true);
    m_packageChangeTimer.setInterval(m_options.latency);
    connect(&m_packageChangeTimer, &QTimer::timeout, this, &BuildFolderCatalog::rescan);
    connect(&m_packageFiles, &QFileSystemWatcher::fileChanged, this, [this] {
        if (!m_packageChangeTimer.isActive())
            m_packageChangeTimer.start();
    });
    m_preferenceTimer.setSingleShot(true);
    m_preferenceTimer.setInterval(200);
    connect(&m_preferenceTimer, &QTimer::timeout, this, &BuildFolderCatalog::preferenceFileChanged);
}

BuildFolderCatalog::~BuildFolderCatalog()
{
    // The scan may still run (a slow mount, aapt); it stops at its next look and finds no one.
    cancelScan();
}

void BuildFolderCatalog::cancelScan()
{
    if (!m_ticket)
        return;
    const QMutexLocker lock(&m_ticket->mutex);
    m_ticket->owner = nullptr;
    m_ticket->cancel = true;
    m_ticket.reset();
}

void BuildFolderCatalog::followPreference()
{
    connect(&BuildFolders::notifier(), &BuildFolders::changed, this, [this] { setFolders(BuildFolders::folders()); });
    // The store is replaced as a whole on every write, so its folder is what changes.
    m_preferenceWatch = new QFileSystemWatcher(this);
    m_preferenceWatch->addPath(QFileInfo(Config::settingsFile()).absolutePath());
    connect(m_preferenceWatch, &QFileSystemWatcher::directoryChanged, this, [this] { m_preferenceTimer.start(); });
    setFolders(BuildFolders::folders());
}

void BuildFolderCatalog::preferenceFileChanged()
{
    Preferences::flush(); // reads what the other process wrote
    const QStringList folders = BuildFolders::folders();
    if (folders != m_folders)
        setFolders(folders);
}

void BuildFolderCatalog::setFolders(const QStringList &folders)
{
    if (folders == m_folders && m_scanCount > 0)
        return;
    m_folders = folders;
    for (auto it = m_watches.begin(); it != m_watches.end();) {
        if (folders.contains(it.key())) {
            ++it;
            continue;
        }
        delete it.value();
        it = m_watches.erase(it);
    }
    // A removed folder's packages go at once; the scan below confirms the rest.
    const qsizetype before = m_packages.size();
    m_packages.removeIf([&](const BuildPackage &package) { return !folders.contains(package.folder); });
    if (m_packages.size() != before) {
        watchPackageFiles();
        emit packagesChanged();
    }
    cancelScan();
    m_rescanDue = false;
    launch();
}

void BuildFolderCatalog::watchAnswered(const PackageScan::Result &result)
{
    // A folder is watched once a scan has had an answer about it: a folder on a mount that hangs
    // holds up that scan's worker, never this thread.
    for (const PackageScan::FolderState &state : result.folders) {
        if (m_watches.contains(state.folder) || !m_folders.contains(state.folder))
            continue;
        ArchiveFolderWatch::Options watchOptions;
        watchOptions.latency = m_options.latency;
        watchOptions.maxDepth = m_options.scan.maxDepth - 1; // folders holding files at maxDepth
        watchOptions.maxFolders = m_options.maxWatchedFolders;
        watchOptions.skip = &PackageFinder::isSkippedFolderName;
        auto *watch = new ArchiveFolderWatch(state.folder, watchOptions, this);
        connect(watch, &ArchiveFolderWatch::changed, this, &BuildFolderCatalog::rescan);
        // What changed between that scan's walk and the watch is found by one more scan.
        connect(watch, &ArchiveFolderWatch::armed, this, &BuildFolderCatalog::rescan);
        connect(watch, &ArchiveFolderWatch::watchFailed, this, [this](const QString &directory, const QString &reason) {
            if (!std::exchange(m_reportedWatchFailure, true))
                emit watchFailed(directory, reason);
        });
        watch->start();
        m_watches.insert(state.folder, watch);
    }
}

void BuildFolderCatalog::rescan()
{
    if (m_ticket)
        m_rescanDue = true;
    else
        launch();
}

void BuildFolderCatalog::launch()
{
    m_settleTimer.stop();
    auto ticket = std::make_shared<Ticket>();
    ticket->owner = this;
    m_ticket = ticket;
    PackageScan::Options options = m_options.scan;
    options.earlier = m_observations;
    const QStringList folders = m_folders;
    QThreadPool::globalInstance()->start([ticket, folders, options] {
        PackageScan::Result result = PackageScan::run(folders, options, &ticket->cancel);
        const QMutexLocker lock(&ticket->mutex);
        if (BuildFolderCatalog *owner = ticket->owner) {
            // Queued to the catalogue: dropped with its other events if it goes before it runs.
            QMetaObject::invokeMethod(
                owner, [owner, ticket, result = std::move(result)] { owner->scanFinished(ticket, result); },
                Qt::QueuedConnection);
        }
    });
}

void BuildFolderCatalog::scanFinished(const std::shared_ptr<Ticket> &ticket, PackageScan::Result result)
{
    if (ticket != m_ticket)
        return; // superseded by a change of the folders
    m_ticket.reset();
    m_inspectionCount += result.inspected;
    logProblems(result);
    watchAnswered(result);
    if (!result.cancelled)
        takeIn(result);
    if (std::exchange(m_rescanDue, false))
        launch();
    else if (!result.unsettled.isEmpty())
        m_settleTimer.start();
}

void BuildFolderCatalog::takeIn(const PackageScan::Result &result)
{
    // As for archives: only a package later than the newest one known is news.
    const bool hadPackages = !m_packages.isEmpty();
    const qint64 newestBefore = hadPackages ? m_packages.first().modifiedNs : 0;
    QList<BuildPackage> arrivals;
    QSet<QString> known;
    for (const BuildPackage &package : result.packages) {
        const QString key = keyOf(package);
        known.insert(key);
        if (m_scanCount > 0 && !m_known.contains(key) && m_baseline.contains(package.folder))
            arrivals.append(package);
    }
    m_known = known;
    m_baseline.clear();
    for (const PackageScan::FolderState &state : result.folders) {
        if (state.readable)
            m_baseline.insert(state.folder);
    }
    m_observations = result.observations;
    m_folderStates = result.folders;
    m_packages = result.packages;
    watchPackageFiles();
    ++m_scanCount;
    emit packagesChanged();
    // Newest first, as the scan sorted them.
    if (!arrivals.isEmpty() && (!hadPackages || arrivals.first().modifiedNs > newestBefore))
        emit packageArrived(arrivals.first());
}

void BuildFolderCatalog::logProblems(const PackageScan::Result &result)
{
    for (const PackageScan::Failure &failure : result.failures) {
        if (!m_logged.contains(failure.path)) {
            m_logged.insert(failure.path);
            qCWarning(lcBuilds).noquote()
                << "Package left out of the recent builds:" << failure.path << "-" << failure.problem;
        }
    }
    for (const PackageScan::FolderState &state : result.folders) {
        const QString key = state.folder + u'\n' + state.problem;
        if (!state.readable && !m_logged.contains(key)) {
            m_logged.insert(key);
            qCWarning(lcBuilds).noquote() << "Build folder" << state.folder << "cannot be read:" << state.problem;
        }
        for (const QString &folder : state.unreadableFolders) {
            if (!m_logged.contains(folder)) {
                m_logged.insert(folder);
                qCInfo(lcBuilds).noquote() << "Folder left out of the build scan (cannot be read):" << folder;
            }
        }
        if (state.truncated && !m_logged.contains(state.folder + u"\ntruncated"_s)) {
            m_logged.insert(state.folder + u"\ntruncated"_s);
            qCWarning(lcBuilds).noquote()
                << "Build folder" << state.folder << "holds too many entries; the scan stops early";
        }
    }
}

void BuildFolderCatalog::watchPackageFiles()
{
    QSet<QString> wanted;
    for (const BuildPackage &package : std::as_const(m_packages)) {
        if (wanted.size() >= m_options.maxWatchedPackages)
            break;
        wanted.insert(package.path);
    }
    QStringList gone;
    const QStringList watched = m_packageFiles.files();
    for (const QString &path : watched) {
        if (!wanted.remove(path))
            gone.append(path);
    }
    if (!gone.isEmpty())
        m_packageFiles.removePaths(gone);
    if (!wanted.isEmpty())
        m_packageFiles.addPaths(QStringList(wanted.cbegin(), wanted.cend()));
}

QList<ArchiveFolderWatch *> BuildFolderCatalog::watches() const
{
    return m_watches.values();
}

QString BuildFolderCatalog::keyOf(const BuildPackage &package)
{
    return package.path + u'\n' + QString::number(package.size) + u'\n' + QString::number(package.modifiedNs);
}
