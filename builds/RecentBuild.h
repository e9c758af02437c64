#pragma once

#include "builds/BuildPackage.h"
#include "inspect/QDArchiveModel.h"

#include <QDateTime>
#include <QList>
#include <QString>

// One entry of the recent-builds list: an Xcode archive (exported before it is uploaded) or a
// package from a build folder (uploaded as it is). A plain value.
class RecentBuild final
{
public:
    enum class Kind { Archive, Package };

    static RecentBuild fromArchive(const QDArchiveModel &archive);
    static RecentBuild fromPackage(const BuildPackage &package);

    Kind kind() const { return m_kind; }
    bool isArchive() const { return m_kind == Kind::Archive; }
    const QDArchiveModel &archive() const { return m_archive; }
    const BuildPackage &package() const { return m_package; }

    // The archive's folder time, or the package file's time.
    QDateTime date() const;
    QString path() const;
    // "ios" or "android" (an archive is an iOS build).
    QString platform() const;
    // Bundle identifier or package name.
    QString identifier() const;
    QString appName() const;
    QString version() const;
    QString build() const;
    // "kind" of quillo builds --json: "archive" or "package".
    QString kindName() const;

    // Archives (newest first, as the archive scan sorts them) and packages in one list, newest
    // first; an archive goes before a package of the same time, and the archives keep their order.
    static QList<RecentBuild> merge(const QList<QDArchiveModel> &sortedArchives, const QList<BuildPackage> &packages);

private:
    Kind m_kind = Kind::Archive;
    QDArchiveModel m_archive;
    BuildPackage m_package;
};
