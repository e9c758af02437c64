#pragma once

#include <QDateTime>
#include <QString>

// Archive folders for the recent-builds tests and benchmark. The first archive of a process is
// made by the fixture scripts (tests/fixtures/make-archive.sh: icon, signed profile); every
// archive is a copy of it with its own Info.plist and modification time, so a hundred archives
// take a moment.
//
//     ArchiveTree::Layout fixture;                    // com.example.demo 1.2.3 (45) "Demo"
//     fixture.identifier = u"com.example.b"_s;
//     fixture.modified = QDateTime::currentDateTime().addSecs(-60);
//     QVERIFY2(ArchiveTree::make(Config::archivesDir() + u"/2024-05-01/B.xcarchive"_s, fixture),
//              qPrintable(ArchiveTree::lastError()));
namespace ArchiveTree {

struct Layout
{
    QString identifier = QStringLiteral("com.example.demo"); // empty: no CFBundleIdentifier
    QString name = QStringLiteral("Demo");
    QString version = QStringLiteral("1.2.3"); // empty: no CFBundleShortVersionString
    QString build = QStringLiteral("45"); // empty: no CFBundleVersion
    bool withIcon = true;
    QDateTime modified; // invalid: now
};

bool make(const QString &archiveDir, const Layout &fixture = Layout());
// Sets the modification (and access) time of a file or folder.
bool setModified(const QString &path, const QDateTime &when);
QString lastError();

} // namespace ArchiveTree
