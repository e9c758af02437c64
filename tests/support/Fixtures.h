#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <optional>

// Test packages made by the real tools, through the scripts in tests/fixtures/ (zip, plistutil,
// openssl cms, aapt package against android-framework-res, ImageMagick for icons). Every maker
// returns false on failure with the reason in lastError(), so a test writes
//
//     const QString ipa = TestEnvironment::path(u"pkg/demo.ipa"_s);
//     QVERIFY2(Fixtures::makeIpa(ipa), qPrintable(Fixtures::lastError()));
//
//     Fixtures::App app;                                   // Demo.app, com.example.demo 1.2.3 (45) "Demo"
//     app.info[u"CFBundleVersion"_s] = 7;                  // integers become <integer>
//     app.binaryPlist = true;                              // converted by plistutil
//     QVERIFY(Fixtures::makeIpa(ipa, {app}));
//
//     Fixtures::Apk apk;                                   // com.example.demo 42/1.2.3 "Demo", mdpi icon
//     apk.label = u"Bob's app"_s;  apk.densities = {u"mdpi"_s, u"hdpi"_s};
//     QVERIFY(Fixtures::makeApk(path, apk));
//
//     Fixtures::Archive archive;                           // Products/Applications/Demo.app + signed profile
//     QVERIFY(Fixtures::makeArchive(TestEnvironment::path(u"Archives/Demo.xcarchive"_s), archive));
//
//     qputenv("QUILLO_XCODEBUILD", QFile::encodeName(Fixtures::fakeXcodebuild()));   // see fake-xcodebuild.sh
//
// Scripts run with the test process's environment (LC_ALL=C.UTF-8 from TestEnvironment, so zip
// stores UTF-8 names). The same scripts serve shell use; each documents its options.
namespace Fixtures {

QString lastError();
// Hex SHA-256 of a file's bytes (empty when it cannot be read) and of bytes in memory: how tests
// check that a package arrived whole.
QString sha256Of(const QString &path);
QString sha256Of(const QByteArray &bytes);
// A file's bytes, empty when it cannot be read.
QByteArray readAll(const QString &path);
// Every file and folder below folder (hidden ones too), relative to it, sorted.
QStringList filesBelow(const QString &folder);
// Absolute path of a script in tests/fixtures/.
QString script(const QString &name);
// Runs a script of tests/fixtures/ with bash; false (and lastError) unless it exits with 0.
bool run(const QString &scriptName, const QStringList &arguments, const QString &workingDirectory = QString());

// A complete Info.plist for identifier, version (CFBundleShortVersionString), build
// (CFBundleVersion) and name (CFBundleDisplayName and CFBundleName).
QVariantMap infoPlist(const QString &identifier = QStringLiteral("com.example.demo"),
                      const QString &version = QStringLiteral("1.2.3"), const QString &build = QStringLiteral("45"),
                      const QString &name = QStringLiteral("Demo"));
// A property list with one dictionary: QString → <string>, integral numbers → <integer>, double →
// <real>, bool → <true/>/<false/>, QVariantList → <array>, QVariantMap → <dict> (nested values as
// strings, arrays and dictionaries). With binary, converted by plistutil.
bool makePlist(const QString &path, const QVariantMap &values, bool binary = false);
// A square PNG.
bool makeIcon(const QString &path, int size = 57, const QString &colour = QStringLiteral("red"));
// A square crushed PNG (make-crushed-icon.sh: a colour gradient under a radial alpha gradient),
// through the crusher of tests/fixtures/crush-png.cpp with its options ("--rgb", "--interlace",
// ...); with reference, the same picture as an ordinary RGBA PNG there.
bool makeCrushedIcon(const QString &path, int size, const QStringList &options = {},
                     const QString &reference = QString());

struct App
{
    QString folder = QStringLiteral("Demo.app"); // below Payload/ (or Products/Applications/)
    QVariantMap info = infoPlist();
    bool binaryPlist = false;
    bool withPlist = true;
    bool withIcon = true;
    // More files of the application folder: path relative to it → bytes.
    QMap<QString, QByteArray> files;
};

// An additional entry of an .ipa, stored as given.
struct Entry
{
    QString name; // relative, e.g. "Payload/Demo.app/extra.bin"
    QByteArray content;
    // A file of this many zero bytes made sparse (nothing on disk before zipping; zip reads zeros
    // fast and, compressed, stores them in a fraction of the size). Used instead of content when > 0.
    qint64 zeroBytes = 0;
    // A symbolic link pointing here instead of a file (stored as a link entry, mode 120000).
    QString linkTarget;
    // Unix permission bits of the file (setuid and the like included); 0 keeps 0644.
    int mode = 0;
    // Stored before the applications' files instead of after them.
    bool first = false;
};

struct IpaOptions
{
    QList<Entry> entries;
    // zip's compression level ("-0".."-9"); -1 for zip's default.
    int level = -1;
};

// An .ipa holding Payload/<folder>/{Info.plist,Icon.png} for every app, in the order given,
// plus extra entries. Entry names are what zip stores (folder entries included).
bool makeIpa(const QString &path, const QList<App> &apps = {App()}, const IpaOptions &options = IpaOptions());

struct Apk
{
    QString package = QStringLiteral("com.example.demo");
    QString versionCode = QStringLiteral("42");
    std::optional<QString> versionName = QStringLiteral("1.2.3"); // nullopt: no versionName attribute
    std::optional<QString> label = QStringLiteral("Demo"); // nullopt: no label at all
    QMap<QString, QString> localizedLabels; // locale ("zh", "fr") → label
    QStringList densities = {QStringLiteral("mdpi")}; // ldpi mdpi hdpi xhdpi xxhdpi xxxhdpi
    bool withIcon = true;
    bool webp = false; // density icons as WebP
    bool adaptive = false; // an adaptive launcher icon (XML over raster layers) as well, see make-apk.sh
};
// An .apk built by "aapt package".
bool makeApk(const QString &path, const Apk &apk = Apk());

enum class ProfileForm {
    Signed, // CMS container around the XML, as real profiles
    Bare, // the XML alone, beginning with "<plist"
    NoEnd, // signed, "</plist>" missing
    NoBegin, // signed, no "<plist"
    Garbled, // signed, tags present but not a property list
};
bool makeProfile(const QString &path, const QString &name, ProfileForm form = ProfileForm::Signed);

struct Archive
{
    App app;
    std::optional<QString> profileName = QStringLiteral("Demo Profile"); // nullopt: no embedded.mobileprovision
    ProfileForm profileForm = ProfileForm::Signed;
    // The archive's own Info.plist (ApplicationProperties and the like); nullopt: none.
    std::optional<QVariantMap> archiveInfo;
};
// An archive folder: dir/Products/Applications/<app.folder>/{Info.plist,Icon.png,embedded.mobileprovision}.
bool makeArchive(const QString &dir, const Archive &archive = Archive());

// Replaces bytes of stored entry names in a zip (same length; "\0" in to is a NUL byte): the way
// hostile names such as "../x" or "/x" are made from harmless ones like "AA/x" or "X/x".
bool renameEntry(const QString &zipPath, const QString &from, const QString &to);

// The stand-in build tool (tests/fixtures/fake-xcodebuild.sh): exports a real .ipa from the
// archive's application, or not. Mode "export" (default), "fail" or "sleep:SECONDS".
QString fakeXcodebuild();
// Points QUILLO_XCODEBUILD at the fake, sets its mode, and has it write its arguments to a log
// that fakeXcodebuildArguments() reads back.
void useFakeXcodebuild(const QString &mode = QStringLiteral("export"));
QStringList fakeXcodebuildArguments();
// The process ids of the fake's runs since useFakeXcodebuild(), in the order they started.
QList<qint64> fakeXcodebuildPids();

// A fixture kept between runs in the build tree (fixture-cache/), made by make(path) the first
// time; the key should name what make() builds. The cache is dropped whenever a script in
// tests/fixtures/ changes. Returns the path, or an empty string when make() failed.
QString cached(const QString &key, const std::function<bool(const QString &path)> &make);

} // namespace Fixtures
