#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// A package found in a build folder, with the identity its inspection gave (the same inspection
// as an upload: Info.plist for an .ipa, aapt for an .apk). A plain value for any thread.
struct BuildPackage
{
    QString path;
    QString folder; // the build folder it was found below
    qint64 size = 0;
    qint64 modifiedNs = 0; // nanoseconds since 1970 (UTC)
    int appType = 0; // 1 iOS, 2 Android
    QString packageName;
    QString appName;
    QString version;
    QString build;
    QByteArray icon; // the icon file's bytes; empty when the package has none we could read

    // The package file's modification time: the list's date.
    QDateTime modified() const { return QDateTime::fromMSecsSinceEpoch(modifiedNs / 1'000'000); }
    // "ios" or "android", the words the service uses.
    QString platform() const { return appType == 1 ? QStringLiteral("ios") : QStringLiteral("android"); }
    // The same file as read before: same path, size and modification time.
    bool sameFileAs(const BuildPackage &other) const
    {
        return path == other.path && size == other.size && modifiedNs == other.modifiedNs;
    }
};
