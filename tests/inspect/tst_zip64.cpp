#include "RecordingDelegate.h"

#include "app/WorkFolder.h"
#include "inspect/PackageInspector.h"
#include "inspect/ZipReader.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 BigEntryBytes = 4100LL * 1024 * 1024; // past 4 GiB: zip64 sizes

qint64 bytesBelow(const QString &folder)
{
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        total += QFileInfo(it.next()).size();
    return total;
}

} // namespace

// A package with an entry larger than 4 GiB before the application's files, as test builds of
// games have. The entry holds zeros, so the package is a few megabytes on disk.
class TestZip64 : public QObject
{
    Q_OBJECT

    QString m_package;

private Q_SLOTS:
    void initTestCase()
    {
        m_package = Fixtures::cached(u"zip64-4100MiB.ipa"_s, [](const QString &path) {
            Fixtures::Entry big;
            big.name = u"Payload/Game.app/Data/level.bin"_s;
            big.zeroBytes = BigEntryBytes;
            big.first = true;
            Fixtures::App app;
            app.folder = u"Game.app"_s;
            app.info = Fixtures::infoPlist(u"com.example.game"_s, u"3.1"_s, u"301"_s, u"Big Game"_s);
            Fixtures::IpaOptions options;
            options.entries = {big};
            options.level = 1;
            return Fixtures::makeIpa(path, {app}, options);
        });
        QVERIFY2(!m_package.isEmpty(), qPrintable(Fixtures::lastError()));
        QVERIFY(QFileInfo(m_package).size() < 64 * 1024 * 1024);
    }

    void listsTheEntryWithItsFullSize()
    {
        ZipReader zip;
        QVERIFY2(zip.UnzipOpenFile(m_package), qPrintable(zip.errorString()));
        const ZipEntry *big = zip.entry(u"Payload/Game.app/Data/level.bin"_s);
        QVERIFY(big);
        QCOMPARE(big->size, quint64(BigEntryBytes));
        QVERIFY(zip.entry(u"Payload/Game.app/Info.plist"_s));
        // Too large for the caller's limit: refused from the directory's size, nothing written.
        const QString destination = TestEnvironment::path(u"limited"_s);
        QVERIFY(!zip.extractEntry(u"Payload/Game.app/Data/level.bin"_s, destination, true, 64 * 1024 * 1024));
        QCOMPARE(bytesBelow(destination), 0);
        bool ok = true;
        QVERIFY(zip.readEntry(u"Payload/Game.app/Data/level.bin"_s, 1024, &ok).isEmpty());
        QVERIFY(!ok);
    }

    void inspectionReadsTheEntriesAfterIt()
    {
        RecordingDelegate delegate;
        PackageInspector inspector(&delegate);
        inspector.ParseIPA(m_package);
        QCOMPARE(delegate.platforms, QStringList{u"ios"_s});
        QCOMPARE(delegate.record.value(u"packageName"_s), QVariant(u"com.example.game"_s));
        QCOMPARE(delegate.record.value(u"appVersion"_s), QVariant(u"3.1"_s));
        QCOMPARE(delegate.record.value(u"appBuild"_s), QVariant(u"301"_s));
        QCOMPARE(delegate.record.value(u"appName"_s), QVariant(u"Big Game"_s));
        QVERIFY(QFileInfo(delegate.record.value(u"iconPath"_s).toString()).isFile());
        // Only the two small files were unpacked.
        QVERIFY(bytesBelow(WorkFolder::path()) < 1024 * 1024);
    }
};

QUILLO_TEST_MAIN(TestZip64)
#include "tst_zip64.moc"
