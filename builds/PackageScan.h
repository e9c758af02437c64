#pragma once

#include "builds/BuildPackage.h"
#include "store/PackageCache.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>

// One scan of the build folders: finds their packages (PackageFinder), takes the identity of each
// unchanged one from the cache (PackageCache) and inspects the others, as many at a time as there
// are cores (aapt for an .apk, the Info.plist for an .ipa), keeping what it learnt in the cache.
// Blocking: the desktop program runs it on a worker thread, quillo in its own.
//
// A package still being written is left out (and named in unsettled, so that the caller looks
// again): a package counts as written once its modification time lies settleMs in the past, or
// once an earlier scan saw the same size and time at least settleMs ago (which covers a clock
// that runs behind the file server's). A package that changed while it was inspected is left out
// the same way, and one found unreadable within seconds of its last change is named in unsettled
// too (its writer may have stalled and go on). An unreadable package is kept in the cache as such and not inspected
// again until it changes; a failure that is not the package's fault (aapt missing, stopped after its time limit) is not
// kept.
class PackageScan final
{
public:
    struct Observation
    {
        qint64 size = 0;
        qint64 modifiedNs = 0;
        qint64 seenMs = 0; // wall clock, milliseconds since 1970
    };

    struct Options
    {
        int maxDepth = 8;
        qint64 maxEntries = 2'000'000; // per folder
        int parallelism = 0; // 0: the number of cores
        qint64 settleMs = 1000;
        int aaptTimeoutMs = 60'000;
        QString cachePath = PackageCache::defaultPath(); // empty: no cache
        QHash<QString, Observation> earlier; // what the previous scan saw, by path
    };

    struct FolderState
    {
        QString folder;
        bool readable = false;
        QString problem; // why the folder cannot be read, for the user
        QStringList unreadableFolders; // subfolders left out
        bool truncated = false; // too many entries: the walk stopped early
    };

    struct Failure
    {
        QString path;
        QString problem;
        bool lasting = false; // the package's own fault, kept in the cache
    };

    struct Result
    {
        QList<BuildPackage> packages; // readable and written, newest first
        QList<FolderState> folders; // in the order given
        QStringList unsettled; // still being written, changed while inspected, or just found unreadable
        QList<Failure> failures; // inspected by this scan and found unreadable
        QHash<QString, Observation> observations; // every package file seen, for the next scan
        int inspected = 0; // packages read by this scan
        int fromCache = 0; // packages whose identity came from the cache
        bool cancelled = false;
    };

    static Result run(const QStringList &folders);
    static Result run(const QStringList &folders, const Options &options, const std::atomic<bool> *cancel = nullptr);

    // Newest first by modification time; equal times by path.
    static void sortNewestFirst(QList<BuildPackage> &packages);
};
