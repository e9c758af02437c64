#pragma once

#include "tests/support/Fixtures.h"

#include <QByteArray>
#include <QString>

// Real packages for the service's tests, made by the real tools: an .apk by aapt (against the
// Android framework resources), an .ipa by zip around an Info.plist written by plistutil.
// fillerBytes of random data make each package distinct and as large as wanted.
namespace Packages {

struct Identity
{
    QString id;       // package name or bundle identifier
    QString version;  // version name or short version string
    QString build;    // version code or bundle version
    QString name;     // label or display name
    qint64 fillerBytes = 0;
};

// The path of the made package, or empty with *error set.
QString makeApk(const QString &folder, const Identity &identity, QString *error);
QString makeIpa(const QString &folder, const Identity &identity, QString *error);
using Fixtures::sha256Of;

} // namespace Packages
