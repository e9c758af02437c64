#pragma once

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
    QString iconFile;    // a temporary icon file (removed by the caller), may be empty
};

class PackageReader final
{
public:
    // Reads the package at path; fileName is the name it was uploaded under (its ending tells
    // the kind). Safe to call from any thread: inspections run one at a time.
    static PackageInfo read(const QString &path, const QString &fileName);
};
