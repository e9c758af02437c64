// A package as it arrives: listing, guarded unpacking of every entry, capped reading of single
// entries, and the .ipa inspection that unpacks Info.plist and Icon.png into a work folder.
//
// Each run unpacks into <box>/root while <box> also holds a sentinel file and an empty folder
// "outside"; in every other run <box>/root/Payload is planted as a link to "outside". Afterwards
// nothing may have changed outside <box>/root: the sentinel is whole, "outside" is empty, and no
// link or special file exists below root but the planted one. File sizes are capped by
// RLIMIT_FSIZE so a zip bomb ends in a write error instead of filling the disk.

#include "fuzz/FuzzSupport.h"
#include "inspect/PackageInspector.h"
#include "inspect/PackageRecord.h"
#include "inspect/ZipReader.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr rlim_t kMaxFileBytes = 4 * 1024 * 1024;
const QByteArray kSentinel = "sentinel: must stay as it is\n";

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Every path below folder (relative), with its lstat mode.
void walk(const QString &folder, const QString &relative, QList<std::pair<QString, mode_t>> *out)
{
    const QString here = relative.isEmpty() ? folder : folder + u'/' + relative;
    DIR *dir = ::opendir(QFile::encodeName(here).constData());
    if (!dir)
        return;
    while (dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name == u"."_s || name == u".."_s)
            continue;
        const QString child = relative.isEmpty() ? name : relative + u'/' + name;
        struct stat st
        {
        };
        if (::lstat(QFile::encodeName(folder + u'/' + child).constData(), &st) != 0)
            continue;
        out->append({ child, st.st_mode });
        if (S_ISDIR(st.st_mode))
            walk(folder, child, out);
    }
    ::closedir(dir);
}

void checkEntry(const ZipEntry &entry)
{
    if (!entry.isSafe) {
        FUZZ_CHECK(
            entry.path.isEmpty(), "an unsafe entry has a path: %s", FuzzSupport::printable(entry.path).constData());
        return;
    }
    const QString &path = entry.path;
    FUZZ_CHECK(!path.isEmpty() && !path.startsWith(u'/') && !path.endsWith(u'/') && !path.contains(QChar(0))
            && !path.contains(u'\\') && !entry.isLink,
        "a safe entry with path %s", FuzzSupport::printable(path).constData());
    for (const QString &component : path.split(u'/'))
        FUZZ_CHECK(!component.isEmpty() && component != u"."_s && component != u".."_s,
            "a safe path with component '%s'", FuzzSupport::printable(component).constData());
    FUZZ_CHECK(ZipReader::safePath(path) == path, "a safe path that safePath changes");
}

// Nothing outside root changed, and below root only folders and plain files (and the planted link).
void checkBox(const QString &box, bool planted)
{
    QFile sentinel(box + u"/sentinel"_s);
    FUZZ_CHECK(sentinel.open(QIODevice::ReadOnly) && sentinel.readAll() == kSentinel, "the sentinel changed");
    QList<std::pair<QString, mode_t>> found;
    walk(box, QString(), &found);
    for (const auto &[path, mode] : std::as_const(found)) {
        if (path == u"sentinel"_s || path == u"outside"_s || path == u"root"_s)
            continue;
        FUZZ_CHECK(path.startsWith(u"root/"_s), "written outside the destination: %s",
            FuzzSupport::printable(path).constData());
        if (planted && path == u"root/Payload"_s) {
            FUZZ_CHECK(S_ISLNK(mode), "the planted link was replaced by something else");
            continue;
        }
        FUZZ_CHECK(S_ISDIR(mode) || S_ISREG(mode), "a link or special file was made: %s (mode %o)",
            FuzzSupport::printable(path).constData(), unsigned(mode));
        FUZZ_CHECK((mode & 07000) == 0, "set-id or sticky bits on %s", FuzzSupport::printable(path).constData());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit { kMaxFileBytes, kMaxFileBytes };
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::umask(022);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString scratch = FuzzSupport::scratchFolder();
    const QString package = scratch + u"/package.ipa"_s;
    const QString box = scratch + u"/box"_s;
    const QString root = box + u"/root"_s;
    const QString work = scratch + u"/work"_s;
    FuzzSupport::removeTree(box);
    FuzzSupport::removeTree(work);
    FUZZ_CHECK(QDir().mkpath(root) && QDir().mkpath(box + u"/outside"_s) && QDir().mkpath(work), "no scratch folders");
    FUZZ_CHECK(writeFile(box + u"/sentinel"_s, kSentinel), "no sentinel");
    const bool planted = size % 2 == 1;
    if (planted)
        FUZZ_CHECK(::symlink("../outside", QFile::encodeName(root + u"/Payload"_s).constData()) == 0, "no link");
    FUZZ_CHECK(writeFile(package, QByteArray(reinterpret_cast<const char *>(data), qsizetype(size))), "no package");

    {
        ZipReader zip;
        if (zip.UnzipOpenFile(package)) {
            for (const ZipEntry &entry : zip.entries())
                checkEntry(entry);
            zip.UnzipFileTo(root, true);
            for (const QString &written : zip.writtenPaths())
                FUZZ_CHECK(written.startsWith(root + u'/'), "reported as written outside: %s",
                    FuzzSupport::printable(written).constData());
            checkBox(box, planted);

            int read = 0;
            for (const ZipEntry &entry : zip.entries()) {
                if (!entry.isSafe || entry.isDirectory || ++read > 16)
                    continue;
                bool ok = false;
                const QByteArray bytes = zip.readEntry(entry.path, 64 * 1024, &ok);
                FUZZ_CHECK(bytes.size() <= 64 * 1024, "readEntry returned more than its cap");
                FUZZ_CHECK(ok || bytes.isEmpty(), "a failed read returned bytes");
            }
            const QString app = PackageRecord::applicationFolder(zip.entries());
            FUZZ_CHECK(app.isEmpty() || (app.endsWith(u".app"_s) && !app.contains(u'/') && app != u".."_s),
                "application folder %s", FuzzSupport::printable(app).constData());
        }
    }

    // The inspection as the desktop program runs it, unpacking into a work folder.
    const PackageInspector::Identity identity = PackageInspector::inspect(package, 1, work);
    FUZZ_CHECK(identity.appInfo.size() == 7, "the record has %d keys", int(identity.appInfo.size()));
    FUZZ_CHECK(identity.appInfo.value(u"iconPath"_s).toString().startsWith(work + u"/Payload/"_s), "icon path %s",
        FuzzSupport::printable(identity.appInfo.value(u"iconPath"_s).toString()).constData());
    QList<std::pair<QString, mode_t>> unpacked;
    walk(work, QString(), &unpacked);
    for (const auto &[path, mode] : std::as_const(unpacked)) {
        FUZZ_CHECK(path.startsWith(u"Payload"_s), "the inspection wrote %s", FuzzSupport::printable(path).constData());
        FUZZ_CHECK(S_ISDIR(mode) || S_ISREG(mode), "the inspection made a link or special file");
    }
    return 0;
}
