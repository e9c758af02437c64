#include "CliRun.h"

#include "app/Config.h"
#include "app/Preferences.h"
#include "builds/BuildFolders.h"
#include "cli/BuildCommands.h"
#include "cli/Console.h"
#include "tests/builds/BuildTree.h"
#include "tests/support/ArchiveTree.h"
#include "tests/support/TestEnvironment.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace Qt::StringLiterals;

// quillo builds in-process: the list of build folders in the shared settings, and the recent
// builds (an archive and real packages) newest first, with the cache sparing aapt on a rerun.
class CliBuildsTest : public QObject
{
    Q_OBJECT

    static QDateTime minutesAgo(int minutes) { return QDateTime::currentDateTime().addSecs(-60 * minutes); }
    static QJsonArray array(const CliRun &run) { return QJsonDocument::fromJson(run.out.toUtf8()).array(); }

private slots:
    void init()
    {
        Preferences::remove(BuildFolders::kPreferenceKey);
        QDir(Config::archivesDir()).removeRecursively();
    }

    void addListAndRemove()
    {
        BuildTree::CountingAapt aapt;
        const QString project = TestEnvironment::path(u"projects/Demo"_s);
        const QString ci = TestEnvironment::path(u"ci drop"_s);
        const QString apk = BuildTree::gradleOutput(project);
        const QString ipa = ci + u"/IosDemo.ipa"_s;
        QVERIFY2(BuildTree::place(BuildTree::apk(), apk, minutesAgo(5)), qPrintable(Fixtures::lastError()));
        QVERIFY(BuildTree::place(BuildTree::ipa(), ipa, minutesAgo(10)));
        ArchiveTree::Layout fixture;
        fixture.name = u"演示"_s;
        fixture.identifier = u"com.example.archive"_s;
        fixture.modified = minutesAgo(7);
        const QString archive = Config::archivesDir() + u"/2024-05-01/Demo.xcarchive"_s;
        QVERIFY2(ArchiveTree::make(archive, fixture), qPrintable(ArchiveTree::lastError()));

        CliRun run = runQuillo({ u"builds"_s, u"--add"_s, project });
        QVERIFY2(run.status == 0 && run.err.contains(u"已加入构建文件夹"_s), describe(run).constData());
        run = runQuillo({ u"builds"_s, u"--add"_s, project + u"/"_s });
        QVERIFY2(run.status == 0 && run.err.contains(u"已在构建文件夹列表中"_s), describe(run).constData());
        run = runQuillo({ u"builds"_s, u"--add"_s, ci });
        QCOMPARE(run.status, 0);
        QCOMPARE(runQuillo({ u"builds"_s, u"--add"_s, project + u"/missing"_s }).status, 2);
        QCOMPARE(runQuillo({ u"builds"_s, u"--add"_s, ci, u"--json"_s }).status, 2);
        Preferences::reload(); // what reached the file
        QCOMPARE(BuildFolders::folders(), (QStringList { project, ci }));

        run = runQuillo({ u"builds"_s, u"--json"_s });
        QVERIFY2(run.status == 0, describe(run).constData());
        const QJsonArray builds = array(run);
        QCOMPARE(builds.size(), 3);
        const QJsonObject android = builds.at(0).toObject();
        QCOMPARE(android,
            (QJsonObject { { u"kind"_s, u"package"_s }, { u"path"_s, apk }, { u"platform"_s, u"android"_s },
                { u"packageName"_s, u"com.example.demo"_s }, { u"appName"_s, u"Demo"_s }, { u"version"_s, u"1.2.3"_s },
                { u"build"_s, u"42"_s }, { u"date"_s, QFileInfo(apk).lastModified().toUTC().toString(Qt::ISODate) } }));
        QCOMPARE(builds.at(1).toObject().value(u"kind"_s), u"archive"_s);
        QCOMPARE(builds.at(1).toObject().value(u"path"_s), archive);
        QCOMPARE(builds.at(1).toObject().value(u"packageName"_s), u"com.example.archive"_s);
        QCOMPARE(builds.at(1).toObject().value(u"platform"_s), u"ios"_s);
        QCOMPARE(
            QDateTime::fromString(builds.at(1).toObject().value(u"date"_s).toString(), Qt::ISODate).toSecsSinceEpoch(),
            QFileInfo(archive).lastModified().toSecsSinceEpoch());
        QCOMPARE(builds.at(2).toObject().value(u"path"_s), ipa);
        QCOMPARE(builds.at(2).toObject().value(u"platform"_s), u"ios"_s);
        QCOMPARE(builds.at(2).toObject().value(u"version"_s), u"2.0"_s);
        QCOMPARE(aapt.calls(), QStringList { apk });

        // Again, as plain lines: aligned columns, and aapt not run again.
        run = runQuillo({ u"builds"_s });
        QCOMPARE(run.status, 0);
        QCOMPARE(aapt.calls().size(), 1);
        const QStringList lines = run.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QList<int> identifierColumn;
        for (const QString &line : lines) {
            const qsizetype at = line.indexOf(u"com.example."_s);
            QVERIFY2(at > 0, qPrintable(line));
            identifierColumn.append(Console::displayWidth(line.left(at)));
        }
        QCOMPARE(identifierColumn.at(1), identifierColumn.at(0)); // the archive's name is wide
        QCOMPARE(identifierColumn.at(2), identifierColumn.at(0));
        QVERIFY(lines.at(1).contains(u"演示 1.2.3 (45)"_s) && lines.at(1).endsWith(archive));

        // Removing a folder takes its builds out.
        run = runQuillo({ u"builds"_s, u"--remove"_s, project });
        QVERIFY2(run.status == 0, describe(run).constData());
        run = runQuillo({ u"builds"_s, u"--json"_s });
        QCOMPARE(array(run).size(), 2);
        QVERIFY(!run.out.contains(apk));
        QCOMPARE(runQuillo({ u"builds"_s, u"--remove"_s, project }).status, 2);
    }

    void problemsAreToldAndTheListGoesOn()
    {
        const QString gone = TestEnvironment::path(u"gone"_s);
        QVERIFY(QDir().mkpath(gone));
        QFile broken(TestEnvironment::path(u"drop/broken.apk"_s));
        const QString drop = QFileInfo(broken).absolutePath();
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write(QByteArray(2048, 'z'));
        broken.close();
        QVERIFY(ArchiveTree::setModified(broken.fileName(), minutesAgo(3)));
        QVERIFY(BuildTree::place(BuildTree::ipa(), drop + u"/ok.ipa"_s, minutesAgo(4)));
        QCOMPARE(runQuillo({ u"builds"_s, u"--add"_s, gone }).status, 0);
        QCOMPARE(runQuillo({ u"builds"_s, u"--add"_s, drop }).status, 0);
        QVERIFY(QDir(gone).removeRecursively());

        const CliRun run = runQuillo({ u"builds"_s, u"--json"_s });
        QVERIFY2(run.status == 0, describe(run).constData());
        QCOMPARE(array(run).size(), 1);
        QVERIFY2(run.err.contains(u"无法读取构建文件夹“%1”：文件夹不存在"_s.arg(gone)), describe(run).constData());
        QVERIFY2(run.err.contains(u"无法读取安装包“%1”"_s.arg(broken.fileName())), describe(run).constData());
        // Found unreadable once: the next run knows it and stays quiet about it.
        QVERIFY(!runQuillo({ u"builds"_s }).err.contains(u"无法读取安装包"_s));
    }

    void displayWidthCountsWideCharacters()
    {
        QCOMPARE(Console::displayWidth(u"Demo"_s), 4);
        QCOMPARE(Console::displayWidth(u"演示 App"_s), 8);
        QCOMPARE(Console::displayWidth(u"ｱ"_s), 1); // half-width katakana
        QCOMPARE(Console::displayWidth(u"e\u0301"_s), 1); // e and a combining accent
    }
};

QUILLO_TEST_MAIN(CliBuildsTest)
#include "tst_clibuilds.moc"
