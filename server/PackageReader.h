#pragma once

#include <QByteArray>
#include <QString>

// What the service needs to know of an uploaded package, read through the project's own
// package inspection.
struct PackageInfo
{
    QString error;       // empty when the package was read
    QString platform;    // "ios" or "android"
    QString packageName; // bundle identifier or package name
    QString name;        // display name or label
    QString version;
    QString build;
    QByteArray icon;     // the icon image as stored in the package, may be empty
};

class PackageReader final
{
public:
    // Reads the package at path; fileName is the name it was uploaded under: one ending in "ipa"
    // is read as an iOS package, anything else as an Android one (the client's own rule). Safe to
    // call from any thread; nothing is unpacked to disk.
    static PackageInfo read(const QString &path, const QString &fileName);
};
