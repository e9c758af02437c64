#pragma once

#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

// Build folders for the build-folder tests: real packages (aapt-made .apk, zip-made .ipa, kept
// in the build tree's fixture cache) placed the way Gradle and CI leave them, and an aapt that
// counts its calls (tests/fixtures/counting-aapt.sh in front of the real one).
namespace BuildTree {

// The Gradle output of a project: <project>/app/build/outputs/apk/<variant>/app-<variant>.apk.
inline QString gradleOutput(const QString &project, const QString &variant = QStringLiteral("debug"))
{
    return project + QStringLiteral("/app/build/outputs/apk/%1/app-%1.apk").arg(variant);
}

// A real .apk (aapt package) for the package name, version code and label; made once per key.
inline QString apk(const QString &package = QStringLiteral("com.example.demo"),
    const QString &versionCode = QStringLiteral("42"), const QString &label = QStringLiteral("Demo"))
{
    return Fixtures::cached(QStringLiteral("build-%1-%2.apk").arg(package, versionCode), [&](const QString &path) {
        Fixtures::Apk fixture;
        fixture.package = package;
        fixture.versionCode = versionCode;
        fixture.label = label;
        return Fixtures::makeApk(path, fixture);
    });
}

// A real .ipa of Payload/Demo.app for the identifier.
inline QString ipa(const QString &identifier = QStringLiteral("com.example.ios"))
{
    return Fixtures::cached(QStringLiteral("build-%1.ipa").arg(identifier), [&](const QString &path) {
        Fixtures::App app;
        app.info
            = Fixtures::infoPlist(identifier, QStringLiteral("2.0"), QStringLiteral("7"), QStringLiteral("IosDemo"));
        return Fixtures::makeIpa(path, { app });
    });
}

// Copies a file, making its folders; the copy gets the given time (now when invalid).
inline bool place(const QString &from, const QString &to, const QDateTime &modified = QDateTime())
{
    QDir().mkpath(QFileInfo(to).absolutePath());
    QFile::remove(to);
    if (!QFile::copy(from, to))
        return false;
    QFile file(to);
    const QDateTime when = modified.isValid() ? modified : QDateTime::currentDateTime();
    return file.open(QIODevice::ReadWrite) && file.setFileTime(when, QFileDevice::FileModificationTime);
}

// A resource folder whose aapt notes each call in the log, then runs the real aapt.
struct CountingAapt
{
    QString folder;
    QString log;

    CountingAapt()
        : folder(TestEnvironment::path(QStringLiteral("counting-aapt/resources")))
        , log(TestEnvironment::path(QStringLiteral("counting-aapt/calls.log")))
    {
        QDir().mkpath(folder);
        QFile::remove(folder + QStringLiteral("/aapt"));
        QFile::link(Fixtures::script(QStringLiteral("counting-aapt.sh")), folder + QStringLiteral("/aapt"));
        QFile::remove(log);
        qputenv("QUILLO_AAPT_LOG", QFile::encodeName(log));
        qputenv("QUILLO_RESOURCE_DIR", QFile::encodeName(folder));
    }
    ~CountingAapt()
    {
        qunsetenv("QUILLO_AAPT_TOUCH");
        qputenv("QUILLO_RESOURCE_DIR", QFile::encodeName(TestEnvironment::resourceDir()));
    }
    // The packages aapt was asked about, in call order.
    QStringList calls() const
    {
        QFile file(log);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }
};

} // namespace BuildTree
