#pragma once

#include "builds/ArchiveFolderWatch.h"
#include "builds/BuildPackage.h"
#include "builds/PackageScan.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>

// The packages of the build folders, kept current for the recent-builds screen: each folder is
// watched (ArchiveFolderWatch, to the scan's depth, build-internal folders left out) and every
// batch of changes starts a scan (PackageScan) on a worker thread; its result comes back to this
// object's thread, where packages() is replaced and packagesChanged() emitted. The scan's walk,
// cache and inspections never run on this thread, and a folder's watch is set up only once a
// scan has come back from it (a mount that does not answer holds up a worker, not this thread).
//
// One scan runs at a time: a change during a scan asks for one more after it, and a change of the
// folder list cancels the running scan. A package still being written is looked at again settleMs
// later (a folder's watch does not see a file growing in place), and appears once its size holds.
// The listed packages are watched as files too, so that one rewritten in place (as incremental
// packaging does) is seen.
//
// packageArrived() announces a package that was not there at the previous scan (a new path, or a
// file rebuilt in place) when it is later than every package known before, as a new archive is
// announced; the newest one when several came at once. The first scan announces nothing, nor
// does the first scan of a folder just added to the list.
//
// Unreadable packages and folders that cannot be read are logged once each.
class BuildFolderCatalog final : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        std::chrono::milliseconds latency { 1000 };
        // Watches per build folder, at most.
        int maxWatchedFolders = 4096;
        // Package files watched, at most (the newest).
        int maxWatchedPackages = 1024;
        PackageScan::Options scan;
    };

    explicit BuildFolderCatalog(QObject *parent = nullptr);
    BuildFolderCatalog(Options options, QObject *parent = nullptr);
    ~BuildFolderCatalog() override;

    // Takes the folders from the preference "buildFolders" and follows its changes, those made
    // here (BuildFolders) and those another process (quillo builds --add) writes to the store.
    void followPreference();
    // Watches and scans these folders instead of the ones before.
    void setFolders(const QStringList &folders);
    QStringList folders() const { return m_folders; }
    // Asks for a scan now (after the running one, if any).
    void rescan();

    // Newest first; only packages that are written and readable.
    const QList<BuildPackage> &packages() const { return m_packages; }
    const QList<PackageScan::FolderState> &folderStates() const { return m_folderStates; }
    bool isScanning() const { return bool(m_ticket); }
    // Scans whose result has been taken in.
    int scanCount() const { return m_scanCount; }
    // Inspections run by the scans so far (cache misses).
    int inspectionCount() const { return m_inspectionCount; }
    QList<ArchiveFolderWatch *> watches() const;
    // The package files watched for changes in place.
    QStringList watchedPackages() const { return m_packageFiles.files(); }

signals:
    void packagesChanged();
    void packageArrived(const BuildPackage &package);
    // A folder could not be watched (too many folders, or the system's limit): reported once.
    void watchFailed(const QString &directory, const QString &reason);

private:
    struct Ticket;

    void launch();
    void scanFinished(const std::shared_ptr<Ticket> &ticket, PackageScan::Result result);
    void takeIn(const PackageScan::Result &result);
    void watchAnswered(const PackageScan::Result &result);
    void logProblems(const PackageScan::Result &result);
    void cancelScan();
    void preferenceFileChanged();
    void watchPackageFiles();
    static QString keyOf(const BuildPackage &package);

    Options m_options;
    QStringList m_folders;
    QHash<QString, ArchiveFolderWatch *> m_watches;
    QList<BuildPackage> m_packages;
    QList<PackageScan::FolderState> m_folderStates;
    QHash<QString, PackageScan::Observation> m_observations;
    QSet<QString> m_known; // keyOf() of the packages of the last scan
    QSet<QString> m_baseline; // folders the last scan could read
    QSet<QString> m_logged;
    std::shared_ptr<Ticket> m_ticket; // the running scan
    bool m_rescanDue = false;
    bool m_reportedWatchFailure = false;
    int m_scanCount = 0;
    int m_inspectionCount = 0;
    QTimer m_settleTimer;
    QFileSystemWatcher m_packageFiles;
    QTimer m_packageChangeTimer;
    QTimer m_preferenceTimer;
    QFileSystemWatcher *m_preferenceWatch = nullptr;
};
