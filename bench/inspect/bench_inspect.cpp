// Figures for package inspection:
//  1. .ipa inspection of packages whose Info.plist lies after a large entry, against
//     "unzip -p PKG 'Payload/*.app/Info.plist'" (reading that one entry) and "unzip -o PKG -d DIR"
//     (what a full unpack costs), for several package sizes.
//  2. The archive scan: N archive folders read through QDArchiveModel (identifier, name, version,
//     build, date) against a plain loop parsing the same Info.plists with libplist; then the same
//     scan asking every archive for its icon (crushed, named by Info.plist): the first scan decodes
//     each into the work folder, later scans find the decoded copies.
//  3. Decoding a crushed 1024 x 1024 icon into an ordinary PNG.
//
// The packages of 1. hold a crushed AppIcon60x60@3x.png that their Info.plist names (no Icon.png),
// so the inspection chooses, unpacks and decodes it as well.
//
// usage: bench_inspect [--sizes 10,100,1024] [--runs 5] [--archives 1000] [--dir FOLDER] [--keep]
// Packages are made with the repository's fixture scripts (zip, plistutil, ImageMagick) in FOLDER
// (default: a temporary folder). A 1 GiB package needs about 2 GiB of free space while it runs.

#include "app/WorkFolder.h"
#include "inspect/ArchiveIcon.h"
#include "inspect/IconImage.h"
#include "inspect/InspectionDelegate.h"
#include "inspect/PackageInspector.h"
#include "inspect/QDArchiveModel.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <plist/plist.h>

#include <algorithm>
#include <optional>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

class NullDelegate final : public InspectionDelegate
{
public:
    QVariantMap &appInfo() override { return record; }
    void setFilePath(const QString &) override {}
    void setAppType(int) override {}
    void prepareUpload(const QString &) override { ++prepared; }
    QVariantMap record;
    int prepared = 0;
};

QString fixtureScript(const QString &name)
{
    return QStringLiteral(QUILLO_SOURCE_DIR) + u"/tests/fixtures/"_s + name;
}

bool runTool(const QString &program, const QStringList &arguments, bool quiet = true)
{
    QProcess process;
    if (quiet)
        process.setStandardOutputFile(QProcess::nullDevice());
    process.setProcessChannelMode(quiet ? QProcess::SeparateChannels : QProcess::ForwardedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), process.readAllStandardError().constData());
        return false;
    }
    return true;
}

// The CFBundleIcons entry of an Info.plist naming AppIcon60x60 (make-plist.sh syntax).
QString iconsEntry()
{
    return u"CFBundleIcons:xml=<dict><key>CFBundlePrimaryIcon</key><dict><key>CFBundleIconFiles</key>"
           "<array><string>AppIcon60x60</string></array></dict></dict>"_s;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

// Payload/Bench.app/Data/payload.bin (incompressible, stored) first, then the app's Info.plist and Icon.png.
QString makePackage(const QString &dir, qint64 mebibytes)
{
    const QString package = dir + u"/bench-%1MiB.ipa"_s.arg(mebibytes);
    if (QFileInfo::exists(package))
        return package;
    const QString stage = dir + u"/stage-%1"_s.arg(mebibytes);
    QDir().mkpath(stage + u"/Payload/Bench.app/Data"_s);
    QFile data(stage + u"/Payload/Bench.app/Data/payload.bin"_s);
    if (!data.open(QIODevice::WriteOnly))
        return {};
    QList<quint32> block(256 * 1024);
    for (qint64 written = 0; written < mebibytes; ++written) {
        QRandomGenerator::global()->fillRange(block.data(), block.size());
        data.write(reinterpret_cast<const char *>(block.constData()), block.size() * 4);
    }
    data.close();
    const QString app = stage + u"/Payload/Bench.app"_s;
    if (!runTool(u"bash"_s, {fixtureScript(u"make-plist.sh"_s), app + u"/Info.plist"_s,
                              u"CFBundleIdentifier=com.example.bench"_s, u"CFBundleShortVersionString=1.0"_s,
                              u"CFBundleVersion=1"_s, u"CFBundleDisplayName=Bench"_s, iconsEntry()})
        || !runTool(u"bash"_s, {fixtureScript(u"make-crushed-icon.sh"_s), app + u"/AppIcon60x60@3x.png"_s,
                                 u"180"_s})
        || !runTool(u"bash"_s, {fixtureScript(u"make-zip.sh"_s), u"-0"_s, package, stage, u"Payload"_s,
                                 u"Payload/Bench.app"_s, u"Payload/Bench.app/Data"_s,
                                 u"Payload/Bench.app/Data/payload.bin"_s, u"Payload/Bench.app/Info.plist"_s,
                                 u"Payload/Bench.app/AppIcon60x60@3x.png"_s})) {
        return {};
    }
    QDir(stage).removeRecursively();
    return package;
}

bool benchPackages(const QString &dir, const QList<qint64> &sizes, int runs)
{
    std::printf("== .ipa inspection, Info.plist after a large entry (median of %d runs, warm cache) ==\n", runs);
    std::printf("%10s %12s %14s %14s %14s %16s\n", "package", "inspect ms", "unzip -p ms", "unzip -o ms",
                "inspect/-p", "unzip -o/inspect");
    double smallest = 0;
    double largest = 0;
    bool withinTarget = true;
    for (qint64 size : sizes) {
        const QString package = makePackage(dir, size);
        if (package.isEmpty())
            return false;
        QList<double> inspect;
        QList<double> single;
        QList<double> full;
        for (int run = 0; run <= runs; ++run) { // run 0 warms the cache and is not counted
            NullDelegate delegate;
            PackageInspector inspector(&delegate);
            QElapsedTimer clock;
            clock.start();
            inspector.ParseIPA(package);
            const double inspectMs = clock.nsecsElapsed() / 1e6;
            if (delegate.prepared != 1 || delegate.record.value(u"packageName"_s) != u"com.example.bench"_s
                || !delegate.record.value(u"iconPath"_s).toString().endsWith(u"AppIcon60x60@3x.png"_s)
                || !QFileInfo(delegate.record.value(u"iconPath"_s).toString()).isFile()) {
                std::fprintf(stderr, "inspection gave a wrong record\n");
                return false;
            }
            inspector.removeUnpacked();

            clock.restart();
            runTool(u"unzip"_s, {u"-p"_s, package, u"Payload/*.app/Info.plist"_s});
            const double singleMs = clock.nsecsElapsed() / 1e6;

            const QString unpacked = dir + u"/unpacked"_s;
            clock.restart();
            runTool(u"unzip"_s, {u"-q"_s, u"-o"_s, package, u"-d"_s, unpacked});
            const double fullMs = clock.nsecsElapsed() / 1e6;
            QDir(unpacked).removeRecursively();
            if (run > 0) {
                inspect.append(inspectMs);
                single.append(singleMs);
                full.append(fullMs);
            }
        }
        const double i = median(inspect);
        const double p = median(single);
        const double o = median(full);
        std::printf("%7lld MiB %12.2f %14.2f %14.2f %13.2fx %15.0fx\n", static_cast<long long>(size), i, p, o, i / p,
                    o / i);
        withinTarget = withinTarget && i <= 2 * p;
        if (size == sizes.first())
            smallest = i;
        if (size == sizes.last())
            largest = i;
    }
    std::printf("largest/smallest package inspection time: %.2fx (flat means close to 1)\n", largest / smallest);
    std::printf("target (within 2x of unzip -p): %s\n\n", withinTarget ? "met" : "MISSED");
    return true;
}

// The scan again, each archive also asked for its icon: the first scan decodes every crushed icon
// into the work folder, the later ones find the copies.
bool benchArchiveIcons(const QStringList &archives, int runs, double scanMs)
{
    QDir(ArchiveIcon::cacheFolder()).removeRecursively();
    auto scan = [&archives]() {
        QElapsedTimer clock;
        clock.start();
        qsizetype decoded = 0;
        for (const QString &archive : archives) {
            const QDArchiveModel m(archive);
            decoded += m.identifier().has_value()
                       && m.iconPath().value_or(QString()).startsWith(ArchiveIcon::cacheFolder());
        }
        return decoded == archives.size() ? clock.nsecsElapsed() / 1e6 : -1.0;
    };
    const double cold = scan();
    QList<double> warm;
    for (int run = 0; run < runs; ++run)
        warm.append(scan());
    if (cold < 0 || *std::min_element(warm.cbegin(), warm.cend()) < 0) {
        std::fprintf(stderr, "archive icons missing\n");
        return false;
    }
    const double w = median(warm);
    std::printf("== archive scan with icons: %lld archives, crushed 180 x 180 icon each ==\n",
                static_cast<long long>(archives.size()));
    std::printf("first scan (decodes every icon into the work folder): %8.2f ms\n", cold);
    std::printf("rescan with cached icons (median of %d):              %8.2f ms  (%.2f ms per archive over the "
                "scan without icons)\n\n",
                runs, w, (w - scanMs) / archives.size());
    return true;
}

bool benchDecoding(const QString &dir, int runs)
{
    const QString crushed = dir + u"/crushed-1024.png"_s;
    if (!runTool(u"bash"_s, {fixtureScript(u"make-crushed-icon.sh"_s), crushed, u"1024"_s}))
        return false;
    QFile file(crushed);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    QList<double> times;
    for (int run = 0; run <= runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        const QByteArray png = IconImage::toPng(bytes);
        const double ms = clock.nsecsElapsed() / 1e6;
        if (png.isEmpty()) {
            std::fprintf(stderr, "the crushed icon was not decoded\n");
            return false;
        }
        if (run > 0)
            times.append(ms);
    }
    const double m = median(times);
    std::printf("== crushed 1024 x 1024 icon (%lld bytes) to an ordinary PNG (median of %d) ==\n%8.2f ms, %.1f "
                "Mpixel/s\n\n",
                static_cast<long long>(bytes.size()), runs, m, 1024.0 * 1024 / 1e6 / (m / 1000));
    return true;
}

bool benchArchives(const QString &dir, int count, int runs)
{
    const QString root = dir + u"/Archives"_s;
    const QString model = root + u"/model.xcarchive"_s;
    QDir(root).removeRecursively();
    // The top-level keys the build tool writes into an application's Info.plist (nested arrays
    // and dictionaries such as CFBundleIcons left out), about 1.5 KB of XML.
    const QStringList keys{u"CFBundleIdentifier=com.example.bench.NNNNN"_s,
                           u"CFBundleShortVersionString=1.0"_s,
                           u"CFBundleVersion=100"_s,
                           u"CFBundleDisplayName=Bench"_s,
                           u"CFBundleName=Bench"_s,
                           u"CFBundleDevelopmentRegion=en"_s,
                           u"CFBundleExecutable=Bench"_s,
                           u"CFBundleInfoDictionaryVersion=6.0"_s,
                           u"CFBundlePackageType=APPL"_s,
                           u"CFBundleSignature=????"_s,
                           u"BuildMachineOSBuild=23E224"_s,
                           u"DTCompiler=com.apple.compilers.llvm.clang.1_0"_s,
                           u"DTPlatformBuild=21E210"_s,
                           u"DTPlatformName=iphoneos"_s,
                           u"DTPlatformVersion=17.4"_s,
                           u"DTSDKBuild=21E210"_s,
                           u"DTSDKName=iphoneos17.4"_s,
                           u"DTXcode=1530"_s,
                           u"DTXcodeBuild=15E204a"_s,
                           u"LSRequiresIPhoneOS:true"_s,
                           u"MinimumOSVersion=12.0"_s,
                           u"UILaunchStoryboardName=LaunchScreen"_s,
                           u"UIMainStoryboardFile=Main"_s,
                           u"UIApplicationSupportsIndirectInputEvents:true"_s,
                           u"UIRequiresFullScreen:false"_s};
    if (!runTool(u"bash"_s, QStringList{fixtureScript(u"make-archive.sh"_s), u"--no-icon"_s, u"--app"_s, u"Bench.app"_s,
                                        model} + keys + QStringList{iconsEntry()})
        || !runTool(u"bash"_s, {fixtureScript(u"make-crushed-icon.sh"_s),
                                 model + u"/Products/Applications/Bench.app/AppIcon60x60@3x.png"_s, u"180"_s}))
        return false;
    const QString relative = u"/Products/Applications/Bench.app"_s;
    QFile templateFile(model + relative + u"/Info.plist"_s);
    if (!templateFile.open(QIODevice::ReadOnly))
        return false;
    const QByteArray plistTemplate = templateFile.readAll();
    QStringList archives;
    for (int i = 0; i < count; ++i) {
        const QString archive = root + u"/Bench %1.xcarchive"_s.arg(i, 5, 10, QChar(u'0'));
        const QString app = archive + relative;
        QDir().mkpath(app);
        QFile plist(app + u"/Info.plist"_s);
        plist.open(QIODevice::WriteOnly);
        plist.write(QByteArray(plistTemplate).replace("NNNNN", QByteArray::number(i).rightJustified(5, '0')));
        plist.close();
        QFile::copy(model + relative + u"/AppIcon60x60@3x.png"_s, app + u"/AppIcon60x60@3x.png"_s);
        QFile::copy(model + relative + u"/embedded.mobileprovision"_s, app + u"/embedded.mobileprovision"_s);
        archives.append(archive);
    }

    QList<double> modelTimes;
    QList<double> plainTimes;
    QList<double> bareTimes;
    for (int run = 0; run <= runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        qsizetype found = 0;
        for (const QString &archive : std::as_const(archives)) {
            const QDArchiveModel m(archive);
            found += m.identifier().has_value() + m.appName().has_value() + m.version().has_value()
                     + m.build().has_value() + m.lastModifiedDate().isValid();
        }
        const double modelMs = clock.nsecsElapsed() / 1e6;
        if (found != 5 * archives.size()) {
            std::fprintf(stderr, "archive model missed values\n");
            return false;
        }

        // The same parse of the same files, the file read once with QFile and once with bare
        // system calls; neither lists a folder, since it is told the application's name.
        double plainMs[2] = {0, 0};
        for (int variant = 0; variant < 2; ++variant) {
            clock.restart();
            qsizetype parsed = 0;
            for (const QString &archive : std::as_const(archives)) {
                const QString path = archive + relative + u"/Info.plist"_s;
                QByteArray bytes;
                if (variant == 0) {
                    QFile file(path);
                    if (!file.open(QIODevice::ReadOnly))
                        continue;
                    bytes = file.readAll();
                } else {
                    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
                    if (fd < 0)
                        continue;
                    bytes.resize(64 * 1024);
                    const ssize_t n = ::read(fd, bytes.data(), static_cast<size_t>(bytes.size()));
                    ::close(fd);
                    bytes.truncate(n > 0 ? n : 0);
                }
                plist_t info = nullptr;
                plist_from_xml(bytes.constData(), static_cast<uint32_t>(bytes.size()), &info);
                if (!info)
                    continue;
                for (const char *key : {"CFBundleIdentifier", "CFBundleShortVersionString", "CFBundleVersion",
                                        "CFBundleDisplayName"}) {
                    char *value = nullptr;
                    plist_get_string_val(plist_dict_get_item(info, key), &value);
                    parsed += value != nullptr;
                    std::free(value);
                }
                plist_free(info);
            }
            plainMs[variant] = clock.nsecsElapsed() / 1e6;
            if (parsed != 4 * archives.size()) {
                std::fprintf(stderr, "plain loop missed values\n");
                return false;
            }
        }
        if (run > 0) {
            modelTimes.append(modelMs);
            plainTimes.append(plainMs[0]);
            bareTimes.append(plainMs[1]);
        }
    }
    const double m = median(modelTimes);
    const double p = median(plainTimes);
    const double b = median(bareTimes);
    const double mMin = *std::min_element(modelTimes.cbegin(), modelTimes.cend());
    const double pMin = *std::min_element(plainTimes.cbegin(), plainTimes.cend());
    const double bMin = *std::min_element(bareTimes.cbegin(), bareTimes.cend());
    std::printf("== archive scan: %lld archives (%d runs, warm cache; median / fastest run) ==\n",
                static_cast<long long>(archives.size()), runs);
    std::printf("QDArchiveModel (identifier, name, version, build, date): %8.2f / %8.2f ms\n", m, mMin);
    std::printf("plain loop, QFile read + libplist parse:                %8.2f / %8.2f ms  ratio %.2fx / %.2fx\n", p,
                pMin, m / p, mMin / pMin);
    std::printf("plain loop, read(2) + libplist parse:                   %8.2f / %8.2f ms  ratio %.2fx / %.2fx\n", b,
                bMin, m / b, mMin / bMin);
    std::printf("target (within 1.5x of the plain loop, fastest runs): %s against QFile, %s against read(2)\n",
                mMin <= 1.5 * pMin ? "met" : "MISSED", mMin <= 1.5 * bMin ? "met" : "MISSED");
    return benchArchiveIcons(archives, runs, m);
}

QList<qint64> parseSizes(const QString &text)
{
    QList<qint64> sizes;
    for (const QString &part : text.split(u',', Qt::SkipEmptyParts))
        sizes.append(part.toLongLong());
    return sizes;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QList<qint64> sizes{10, 100, 1024};
    int runs = 5;
    int archives = 1000;
    QString dir;
    bool keep = false;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        const QString next = i + 1 < args.size() ? args.at(i + 1) : QString();
        if (arg == u"--sizes"_s)
            sizes = parseSizes(next), ++i;
        else if (arg == u"--runs"_s)
            runs = qMax(1, next.toInt()), ++i;
        else if (arg == u"--archives"_s)
            archives = qMax(1, next.toInt()), ++i;
        else if (arg == u"--dir"_s)
            dir = next, ++i;
        else if (arg == u"--keep"_s)
            keep = true;
        else {
            std::fprintf(stderr, "usage: bench_inspect [--sizes 10,100,1024] [--runs 5] [--archives 1000] "
                                 "[--dir FOLDER] [--keep]\n");
            return 2;
        }
    }
    std::optional<QTemporaryDir> temporary;
    if (dir.isEmpty()) {
        temporary.emplace(QDir::tempPath() + u"/bench_inspect-XXXXXX"_s);
        temporary->setAutoRemove(!keep);
        dir = temporary->path();
    }
    QDir().mkpath(dir);
    // Unpack into a work folder of the benchmark's own, never the user's.
    qputenv("QUILLO_WORK_DIR", QFile::encodeName(dir + u"/work"_s));
    qputenv("LC_ALL", "C.UTF-8");

    qputenv("QUILLO_CRUSH_PNG", QFile::encodeName(QCoreApplication::applicationDirPath() + u"/crush-png"_s));
    if (!benchDecoding(dir, runs))
        return 1;
    if (!sizes.isEmpty() && !benchPackages(dir, sizes, runs))
        return 1;
    if (!benchArchives(dir, archives, runs))
        return 1;
    return 0;
}
