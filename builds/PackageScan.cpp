#include "builds/PackageScan.h"

#include "builds/PackageFinder.h"
#include "inspect/PackageInspector.h"
#include "upload/AppInfoKeys.h"

#include <QDateTime>
#include <QFile>
#include <QSet>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <optional>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// A package found unreadable this soon after its last change may be one whose writer stalled and
// goes on writing in place, which no folder watch sees: the caller is told to look again.
constexpr qint64 kRecentChangeMs = 10'000;

struct Candidate
{
    PackageFinder::Found found;
    QString folder;
};

struct Inspection
{
    bool done = false;
    bool changed = false; // the file changed while it was read
    PackageInspector::Identity identity;
};

BuildPackage packageFrom(const PackageCache::Entry &entry, const QString &folder)
{
    BuildPackage package;
    package.path = entry.path;
    package.folder = folder;
    package.size = entry.size;
    package.modifiedNs = entry.modifiedNs;
    package.appType = entry.appType;
    package.packageName = entry.packageName;
    package.appName = entry.appName;
    package.version = entry.version;
    package.build = entry.build;
    package.icon = entry.icon;
    return package;
}

bool sameFile(const QString &path, const PackageFinder::Found &found)
{
    struct stat info = {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode)
        && qint64(info.st_size) == found.size
        && qint64(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec == found.modifiedNs;
}

bool isWritten(const PackageFinder::Found &found, const PackageScan::Options &options, qint64 nowMs,
    PackageScan::Observation *observation)
{
    observation->size = found.size;
    observation->modifiedNs = found.modifiedNs;
    observation->seenMs = nowMs;
    const auto earlier = options.earlier.constFind(found.path);
    if (earlier != options.earlier.cend() && earlier->size == found.size && earlier->modifiedNs == found.modifiedNs)
        observation->seenMs = earlier->seenMs;
    return nowMs - found.modifiedNs / 1'000'000 >= options.settleMs || nowMs - observation->seenMs >= options.settleMs;
}

Inspection inspectOne(const PackageFinder::Found &found, int aaptTimeoutMs)
{
    Inspection inspection;
    inspection.identity = PackageInspector::inspect(found.path, 0, QString(), aaptTimeoutMs);
    inspection.changed = !sameFile(found.path, found);
    inspection.done = true;
    return inspection;
}

// Reads the candidates, as many at a time as the options allow; a cancelled scan leaves the rest.
QList<Inspection> inspectAll(
    const QList<Candidate> &candidates, const PackageScan::Options &options, const std::atomic<bool> *cancel)
{
    QList<Inspection> inspections(candidates.size());
    if (candidates.isEmpty())
        return inspections;
    QThreadPool pool;
    pool.setMaxThreadCount(options.parallelism > 0 ? options.parallelism : QThread::idealThreadCount());
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        pool.start([&, i] {
            if (cancel && cancel->load())
                return;
            inspections[i] = inspectOne(candidates.at(i).found, options.aaptTimeoutMs);
        });
    }
    pool.waitForDone();
    return inspections;
}

PackageCache::Entry entryFrom(const PackageFinder::Found &found, const PackageInspector::Identity &identity)
{
    PackageCache::Entry entry;
    entry.path = found.path;
    entry.size = found.size;
    entry.modifiedNs = found.modifiedNs;
    entry.readable = identity.ok;
    entry.appType = identity.appType;
    if (identity.ok) {
        entry.packageName = identity.appInfo.value(AppInfoKey::packageName).toString();
        entry.appName = identity.appInfo.value(AppInfoKey::appName).toString();
        entry.version = identity.appInfo.value(AppInfoKey::appVersion).toString();
        entry.build = identity.appInfo.value(AppInfoKey::appBuild).toString();
        entry.icon = identity.icon;
    } else {
        entry.problem = identity.error;
    }
    return entry;
}

// Not the package's fault: try again next time.
bool isPassing(const PackageInspector::Identity &identity)
{
    return identity.failure
        && (*identity.failure == InspectionFailure::ToolMissing || *identity.failure == InspectionFailure::ToolFailed);
}

// Walks the folders; fills the folder states and observations, returns the written packages.
QList<Candidate> walk(const QStringList &folders, const PackageScan::Options &options, const std::atomic<bool> *cancel,
    PackageScan::Result &result)
{
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    PackageFinder::Options finderOptions;
    finderOptions.maxDepth = options.maxDepth;
    finderOptions.maxEntries = options.maxEntries;
    QList<Candidate> written;
    for (const QString &folder : folders) {
        const PackageFinder::Result found = PackageFinder::find(folder, finderOptions, cancel);
        result.folders.append({ folder, found.readable, found.problem, found.unreadableFolders, found.truncated });
        result.cancelled = result.cancelled || found.cancelled;
        for (const PackageFinder::Found &package : found.packages) {
            if (result.observations.contains(package.path))
                continue; // also below an earlier folder of the list
            PackageScan::Observation observation;
            if (isWritten(package, options, nowMs, &observation))
                written.append({ package, folder });
            else
                result.unsettled.append(package.path);
            result.observations.insert(package.path, observation);
        }
    }
    return written;
}

bool isRecent(const PackageFinder::Found &found)
{
    return QDateTime::currentMSecsSinceEpoch() - found.modifiedNs / 1'000'000 < kRecentChangeMs;
}

// The candidates the cache knows as they are now go to the result (or, known unreadable, nowhere);
// the others are returned, to be read.
QList<Candidate> takeKnown(
    const QList<Candidate> &written, const QHash<QString, PackageCache::Entry> &known, PackageScan::Result &result)
{
    QList<Candidate> unknown;
    for (const Candidate &candidate : written) {
        const auto entry = known.constFind(candidate.found.path);
        if (entry == known.cend() || entry->size != candidate.found.size
            || entry->modifiedNs != candidate.found.modifiedNs) {
            unknown.append(candidate);
        } else if (entry->readable) {
            result.packages.append(packageFrom(*entry, candidate.folder));
            ++result.fromCache;
        } else if (isRecent(candidate.found)) {
            result.unsettled.append(candidate.found.path);
        }
    }
    return unknown;
}

// Puts what the inspections found into the result; returns what the cache should keep.
QList<PackageCache::Entry> takeInspected(
    const QList<Candidate> &read, const QList<Inspection> &inspections, PackageScan::Result &result)
{
    QList<PackageCache::Entry> learnt;
    for (qsizetype i = 0; i < read.size(); ++i) {
        const Inspection &inspection = inspections.at(i);
        const PackageFinder::Found &found = read.at(i).found;
        if (!inspection.done) {
            result.cancelled = true;
            continue;
        }
        ++result.inspected;
        if (inspection.changed) {
            result.unsettled.append(found.path);
            continue;
        }
        const PackageCache::Entry entry = entryFrom(found, inspection.identity);
        if (entry.readable) {
            result.packages.append(packageFrom(entry, read.at(i).folder));
            learnt.append(entry);
        } else {
            const bool passing = isPassing(inspection.identity);
            result.failures.append({ found.path, inspection.identity.error, !passing });
            if (!passing)
                learnt.append(entry);
            if (isRecent(found))
                result.unsettled.append(found.path);
        }
    }
    return learnt;
}

// Keeps what was learnt, and forgets what has gone from the folders that were walked whole.
void keep(PackageCache &cache, const QList<PackageCache::Entry> &learnt, const PackageScan::Result &result)
{
    cache.store(learnt);
    if (result.cancelled)
        return;
    QSet<QString> present;
    for (auto it = result.observations.cbegin(); it != result.observations.cend(); ++it)
        present.insert(it.key());
    for (const PackageScan::FolderState &folder : result.folders) {
        if (folder.readable && !folder.truncated)
            cache.prune(folder.folder, present);
    }
}

} // namespace

PackageScan::Result PackageScan::run(const QStringList &folders)
{
    return run(folders, Options());
}

PackageScan::Result PackageScan::run(
    const QStringList &folders, const Options &options, const std::atomic<bool> *cancel)
{
    Result result;
    if (folders.isEmpty())
        return result;
    const QList<Candidate> written = walk(folders, options, cancel, result);
    if (result.cancelled)
        return result;

    std::optional<PackageCache> cache;
    if (!options.cachePath.isEmpty())
        cache.emplace(options.cachePath);
    const QList<Candidate> unknown
        = takeKnown(written, cache ? cache->entriesBelow(folders) : QHash<QString, PackageCache::Entry>(), result);
    const QList<Inspection> inspections = inspectAll(unknown, options, cancel);
    const QList<PackageCache::Entry> learnt = takeInspected(unknown, inspections, result);
    if (cache)
        keep(*cache, learnt, result);
    sortNewestFirst(result.packages);
    return result;
}

void PackageScan::sortNewestFirst(QList<BuildPackage> &packages)
{
    std::sort(packages.begin(), packages.end(), [](const BuildPackage &a, const BuildPackage &b) {
        if (a.modifiedNs != b.modifiedNs)
            return a.modifiedNs > b.modifiedNs;
        return a.path < b.path;
    });
}
