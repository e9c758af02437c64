#include "builds/RecentBuild.h"

using namespace Qt::StringLiterals;

RecentBuild RecentBuild::fromArchive(const QDArchiveModel &archive)
{
    RecentBuild build;
    build.m_kind = Kind::Archive;
    build.m_archive = archive;
    return build;
}

RecentBuild RecentBuild::fromPackage(const BuildPackage &package)
{
    RecentBuild build;
    build.m_kind = Kind::Package;
    build.m_package = package;
    return build;
}

QDateTime RecentBuild::date() const
{
    return isArchive() ? m_archive.lastModifiedDate() : m_package.modified();
}

QString RecentBuild::path() const
{
    return isArchive() ? m_archive.archivePath() : m_package.path;
}

QString RecentBuild::platform() const
{
    return isArchive() ? u"ios"_s : m_package.platform();
}

QString RecentBuild::identifier() const
{
    return isArchive() ? m_archive.identifier().value_or(QString()) : m_package.packageName;
}

QString RecentBuild::appName() const
{
    return isArchive() ? m_archive.appName().value_or(QString()) : m_package.appName;
}

QString RecentBuild::version() const
{
    return isArchive() ? m_archive.version().value_or(QString()) : m_package.version;
}

QString RecentBuild::build() const
{
    return isArchive() ? m_archive.build().value_or(QString()) : m_package.build;
}

QString RecentBuild::kindName() const
{
    return isArchive() ? u"archive"_s : u"package"_s;
}

QList<RecentBuild> RecentBuild::merge(const QList<QDArchiveModel> &sortedArchives, const QList<BuildPackage> &packages)
{
    QList<RecentBuild> merged;
    merged.reserve(sortedArchives.size() + packages.size());
    qsizetype a = 0;
    qsizetype p = 0;
    while (a < sortedArchives.size() || p < packages.size()) {
        bool takeArchive = p >= packages.size();
        if (!takeArchive && a < sortedArchives.size()) {
            // An archive without a readable time sorts last among the archives; it goes after
            // every package too.
            const QDateTime archiveDate = sortedArchives.at(a).lastModifiedDate();
            takeArchive = archiveDate.isValid() && archiveDate >= packages.at(p).modified();
        }
        if (takeArchive)
            merged.append(fromArchive(sortedArchives.at(a++)));
        else
            merged.append(fromPackage(packages.at(p++)));
    }
    return merged;
}
