#include "inspect/QDArchiveModel.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

QString archiveDir(const QString &name)
{
    return TestEnvironment::root() + u"/Archives/"_s + name + u".xcarchive"_s;
}

} // namespace

class TestArchiveModel : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void readsACompleteArchive_data()
    {
        QTest::addColumn<bool>("binary");
        QTest::newRow("xml Info.plist") << false;
        QTest::newRow("binary Info.plist") << true;
    }
    void readsACompleteArchive()
    {
        QFETCH(bool, binary);
        const QString dir = archiveDir(binary ? u"binary"_s : u"xml"_s);
        Fixtures::Archive archive;
        archive.app.folder = u"My App.app"_s;
        archive.app.binaryPlist = binary;
        archive.app.info = Fixtures::infoPlist(u"com.example.app"_s, u"2.0"_s, u"31"_s, u"我的应用"_s);
        archive.profileName = u"Ad Hoc 分发 – Demo"_s;
        QVERIFY2(Fixtures::makeArchive(dir, archive), qPrintable(Fixtures::lastError()));

        QDArchiveModel model;
        model.setArchivePath(dir);
        QCOMPARE(model.packageName(), u"My App.app"_s);
        QCOMPARE(model.iconPath(), dir + u"/Products/Applications/My App.app/Icon.png"_s);
        QCOMPARE(model.identifier(), u"com.example.app"_s);
        QCOMPARE(model.version(), u"2.0"_s);
        QCOMPARE(model.build(), u"31"_s);
        QCOMPARE(model.appName(), u"我的应用"_s);
        QCOMPARE(model.lastModifiedDate(), QFileInfo(dir).lastModified());
        QCOMPARE(model.provisionFileName(), u"Ad Hoc 分发 – Demo"_s);
    }

    void applicationFolderRule()
    {
        const QString dir = archiveDir(u"folders"_s);
        Fixtures::Archive archive;
        archive.app.folder = u"Alpha.app"_s;
        archive.app.info = Fixtures::infoPlist(u"com.example.alpha"_s);
        QVERIFY(Fixtures::makeArchive(dir, archive));
        archive.app.folder = u"My.apple"_s; // contains ".app" without ending in it, and sorts last
        archive.app.info = Fixtures::infoPlist(u"com.example.apple"_s);
        QVERIFY(Fixtures::makeArchive(dir, archive));
        QVERIFY(QDir().mkpath(dir + u"/Products/Applications/Zeta.framework"_s));

        const QDArchiveModel model(dir);
        QCOMPARE(model.packageName(), u"My.apple"_s);
        QCOMPARE(model.identifier(), u"com.example.apple"_s);
    }

    void displayNameRule_data()
    {
        QTest::addColumn<QVariantMap>("info");
        QTest::addColumn<QVariant>("appName");
        const QVariantMap base{{u"CFBundleIdentifier"_s, u"com.example"_s}};
        QVariantMap both = base;
        both.insert(u"CFBundleDisplayName"_s, u"Shown"_s);
        both.insert(u"CFBundleName"_s, u"Bundle"_s);
        QVariantMap emptyDisplay = both;
        emptyDisplay.insert(u"CFBundleDisplayName"_s, u""_s);
        QVariantMap onlyBundle = base;
        onlyBundle.insert(u"CFBundleName"_s, u"Bundle"_s);
        QTest::newRow("display name wins") << both << QVariant(u"Shown"_s);
        QTest::newRow("empty display name stays empty") << emptyDisplay << QVariant(u""_s);
        QTest::newRow("bundle name without display name") << onlyBundle << QVariant(u"Bundle"_s);
        QTest::newRow("neither") << base << QVariant();
    }
    void displayNameRule()
    {
        QFETCH(QVariantMap, info);
        QFETCH(QVariant, appName);
        const QString dir = archiveDir(u"names-"_s + QString::fromLatin1(QTest::currentDataTag()));
        Fixtures::Archive archive;
        archive.app.info = info;
        QVERIFY(Fixtures::makeArchive(dir, archive));
        const std::optional<QString> name = QDArchiveModel(dir).appName();
        QCOMPARE(name.has_value(), appName.isValid());
        if (name)
            QCOMPARE(*name, appName.toString());
    }

    void nonStringValuesCountAsAbsent()
    {
        const QString dir = archiveDir(u"numbers"_s);
        Fixtures::Archive archive;
        archive.app.info.insert(u"CFBundleVersion"_s, 45);
        QVERIFY(Fixtures::makeArchive(dir, archive));
        const QDArchiveModel model(dir);
        QCOMPARE(model.build(), std::nullopt);
        QCOMPARE(model.version(), u"1.2.3"_s);
    }

    // Found values are kept even when the file changes; absent ones are looked for again.
    void keptAfterFirstSuccessOnly()
    {
        const QString dir = archiveDir(u"kept"_s);
        Fixtures::Archive archive;
        archive.app.withPlist = false;
        QVERIFY(Fixtures::makeArchive(dir, archive));
        const QString plist = dir + u"/Products/Applications/Demo.app/Info.plist"_s;

        QDArchiveModel model(dir);
        QCOMPARE(model.identifier(), std::nullopt);
        QVERIFY(Fixtures::makePlist(plist, {{u"CFBundleIdentifier"_s, u"com.example.first"_s}}));
        QCOMPARE(model.identifier(), u"com.example.first"_s);
        QCOMPARE(model.version(), std::nullopt);

        QVERIFY(Fixtures::makePlist(plist, {{u"CFBundleIdentifier"_s, u"com.example.second"_s},
                                            {u"CFBundleShortVersionString"_s, u"9.9"_s}}));
        QCOMPARE(model.identifier(), u"com.example.first"_s);
        QCOMPARE(model.version(), u"9.9"_s);
        QCOMPARE(QDArchiveModel(dir).identifier(), u"com.example.second"_s);

        const QDateTime first = model.lastModifiedDate();
        QVERIFY(first.isValid());
        const struct timespec times[2] = {{978307200, 0}, {978307200, 0}}; // 2001-01-01
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(dir).constData(), times, 0), 0);
        QCOMPARE(QDArchiveModel(dir).lastModifiedDate(), QDateTime::fromSecsSinceEpoch(978307200));
        QCOMPARE(model.lastModifiedDate(), first);
    }

    void applicationFolderAppearingLaterIsFound()
    {
        const QString dir = archiveDir(u"late"_s);
        QVERIFY(QDir().mkpath(dir + u"/Products/Applications"_s));
        QDArchiveModel model(dir);
        QCOMPARE(model.packageName(), std::nullopt);
        QCOMPARE(model.iconPath(), std::nullopt);
        QCOMPARE(model.identifier(), std::nullopt);
        QVERIFY(Fixtures::makeArchive(dir));
        QCOMPARE(model.packageName(), u"Demo.app"_s);
        QCOMPARE(model.identifier(), u"com.example.demo"_s);
    }

    void missingArchiveGivesNothing()
    {
        QTest::failOnWarning(QRegularExpression(u".*"_s));
        const QDArchiveModel model(archiveDir(u"nowhere"_s));
        QCOMPARE(model.packageName(), std::nullopt);
        QCOMPARE(model.appName(), std::nullopt);
        QCOMPARE(model.provisionFileName(), std::nullopt);
        QVERIFY(!model.lastModifiedDate().isValid());
        QVERIFY(model.infoPlistPath().isEmpty());
    }

    void profileForms_data()
    {
        QTest::addColumn<Fixtures::ProfileForm>("form");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("log");
        QTest::newRow("signed") << Fixtures::ProfileForm::Signed << u"Demo Profile"_s << QString();
        QTest::newRow("begins with <plist") << Fixtures::ProfileForm::Bare << u"Demo Profile"_s << QString();
        QTest::newRow("no end") << Fixtures::ProfileForm::NoEnd << QString() << u"^unable to find end of plist$"_s;
        QTest::newRow("no beginning") << Fixtures::ProfileForm::NoBegin << QString()
                                      << u"^unable to find beginning of plist$"_s;
        QTest::newRow("garbled") << Fixtures::ProfileForm::Garbled << QString()
                                 << u"^error parsing extracted plist — \\S.*$"_s;
    }
    void profileForms()
    {
        QFETCH(Fixtures::ProfileForm, form);
        QFETCH(QString, name);
        QFETCH(QString, log);
        const QString dir = archiveDir(u"profile-"_s + QString::fromLatin1(QTest::currentDataTag()));
        Fixtures::Archive archive;
        archive.profileForm = form;
        QVERIFY2(Fixtures::makeArchive(dir, archive), qPrintable(Fixtures::lastError()));
        if (log.isEmpty())
            QTest::failOnWarning(QRegularExpression(u".*"_s));
        else
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(log));
        const std::optional<QString> read = QDArchiveModel(dir).provisionFileName();
        QCOMPARE(read.has_value(), !name.isEmpty());
        if (read)
            QCOMPARE(*read, name);
    }

    void profileIsReadAnewAndMissingOneLogsNothing()
    {
        const QString dir = archiveDir(u"profile-changes"_s);
        Fixtures::Archive archive;
        archive.profileName.reset();
        QVERIFY(Fixtures::makeArchive(dir, archive));
        const QDArchiveModel model(dir);
        {
            QTest::failOnWarning(QRegularExpression(u".*"_s));
            QCOMPARE(model.provisionFileName(), std::nullopt);
        }
        const QString profile = dir + u"/Products/Applications/Demo.app/embedded.mobileprovision"_s;
        QVERIFY(Fixtures::makeProfile(profile, u"First"_s));
        QCOMPARE(model.provisionFileName(), u"First"_s);
        QVERIFY(Fixtures::makeProfile(profile, u"Second"_s));
        QCOMPARE(model.provisionFileName(), u"Second"_s);
    }
};

QUILLO_TEST_MAIN(TestArchiveModel)
#include "tst_archivemodel.moc"
