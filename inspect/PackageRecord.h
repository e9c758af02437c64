#pragma once

#include "inspect/ZipReader.h"

#include <QList>
#include <QString>
#include <QVariantMap>

#include <optional>

// The application-information record as the inspection writes it, built from what was read.
// Pure functions: no disk access except the size and time of the package file.
class PackageRecord final
{
public:
    // The application folder of an .ipa: among the names directly below "Payload/" of the safe
    // entries (files and folders alike, as a full unpack would list them), the last one in name
    // order that ends with ".app". Empty when there is none.
    static QString applicationFolder(const QList<ZipEntry> &entries);

    // Empties record, then writes fileSize, createdDate, packageName, appVersion, appBuild, appName
    // and iconPath ("<workFolder>/Payload/<appFolder>/<iconFile>", iconFile "Icon.png" when empty).
    // info is the Info.plist (nothing when none could be read); identity values that are not
    // usable strings give "".
    static void fillIpaRecord(QVariantMap &record, const std::optional<QVariantMap> &info, const QString &appFolder,
                              const QString &packagePath, const QString &workFolder,
                              const QString &iconFile = QString());

    // Capture group 1 of the first match of pattern in info ("." does not cross line ends, case
    // matters); nothing when there is no match or the pattern is invalid.
    static std::optional<QString> getAPKPropertyWithInfo(const QString &info, const QString &pattern);

    // The icon entry named by badging output (greedy "application.*icon='(.*?)'"), as a safe
    // relative path; empty when there is no match or the name would lead outside the folder.
    static QString apkIconEntry(const QString &badging);

    // Empties record, then writes packageName, appVersion, appBuild, appName (each "" without a
    // match), iconPath ("<workFolder>/<iconEntry>"; with iconEntry empty the entry of
    // apkIconEntry, or "" as it gives), fileSize and createdDate.
    static void fillApkRecord(QVariantMap &record, const QString &badging, const QString &packagePath,
                              const QString &workFolder, const QString &iconEntry = QString());

    static const QString PackageNamePattern; // "package.*?name='(.*?)'"
    static const QString VersionNamePattern; // "versionName='(.*?)'"
    static const QString VersionCodePattern; // "versionCode='(.*?)'"
    static const QString LabelPattern; // "application-label:'(.*?)'"
    static const QString IconPattern; // "application.*icon='(.*?)'"
};
