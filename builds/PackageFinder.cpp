#include "builds/PackageFinder.h"

#include <QFile>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

qint64 modifiedNs(const struct stat &info)
{
    return qint64(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
}

QString problemFor(int error)
{
    switch (error) {
    case ENOENT:
        return u"文件夹不存在"_s;
    case ENOTDIR:
        return u"不是文件夹"_s;
    default:
        return u"无法读取：%1"_s.arg(QString::fromLocal8Bit(std::strerror(error)));
    }
}

class Walk
{
public:
    Walk(const PackageFinder::Options &options, const std::atomic<bool> *cancel, PackageFinder::Result &result)
        : m_options(options)
        , m_cancel(cancel)
        , m_result(result)
    { }

    // Takes over the descriptor of an open folder at the given depth (the build folder is 0).
    void folder(int fd, const QString &path, int depth)
    {
        DIR *stream = ::fdopendir(fd);
        if (!stream) {
            ::close(fd);
            m_result.unreadableFolders.append(path);
            return;
        }
        while (const dirent *entry = ::readdir(stream)) {
            if (stopped())
                break;
            ++m_result.entries;
            const char *name = entry->d_name;
            if (name[0] == '.')
                continue; // ".", "..", and hidden entries
            unsigned char type = entry->d_type;
            struct stat info = {};
            bool haveInfo = false;
            if (type == DT_UNKNOWN) {
                if (::fstatat(::dirfd(stream), name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                haveInfo = true;
                type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_LNK;
            }
            if (type == DT_DIR)
                subfolder(stream, name, path, depth);
            else if (type == DT_REG)
                file(stream, name, path, haveInfo ? &info : nullptr);
        }
        ::closedir(stream);
    }

private:
    bool stopped()
    {
        if (m_cancel && m_cancel->load(std::memory_order_relaxed)) {
            m_result.cancelled = true;
            return true;
        }
        if (m_result.entries >= m_options.maxEntries) {
            m_result.truncated = true;
            return true;
        }
        return false;
    }

    void subfolder(DIR *stream, const char *name, const QString &parent, int depth)
    {
        // A folder at depth d holds files at depth d + 1.
        if (depth + 2 > m_options.maxDepth)
            return;
        const QString decoded = QFile::decodeName(name);
        if (PackageFinder::isSkippedFolderName(decoded))
            return;
        const QString path = parent + u'/' + decoded;
        const int fd = ::openat(::dirfd(stream), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            // A link reported as a folder by a file system without d_type is simply not followed.
            if (errno != ELOOP && errno != ENOTDIR && errno != ENOENT)
                m_result.unreadableFolders.append(path);
            return;
        }
        folder(fd, path, depth + 1);
    }

    void file(DIR *stream, const char *name, const QString &parent, const struct stat *known)
    {
        const QString decoded = QFile::decodeName(name);
        if (!PackageFinder::isPackageName(decoded))
            return;
        struct stat info = {};
        if (known) {
            info = *known;
        } else if (::fstatat(::dirfd(stream), name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
            return; // gone meanwhile, or replaced by something else
        }
        m_result.packages.append({ parent + u'/' + decoded, qint64(info.st_size), modifiedNs(info) });
    }

    const PackageFinder::Options &m_options;
    const std::atomic<bool> *m_cancel;
    PackageFinder::Result &m_result;
};

} // namespace

PackageFinder::Result PackageFinder::find(const QString &folder)
{
    return find(folder, Options());
}

PackageFinder::Result PackageFinder::find(
    const QString &folder, const Options &options, const std::atomic<bool> *cancel)
{
    Result result;
    // The build folder itself may be a link (to another disk, say); nothing below it is followed.
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        result.problem = problemFor(errno);
        return result;
    }
    result.readable = true;
    QString root = folder;
    while (root.endsWith(u'/'))
        root.chop(1); // "/" becomes "", so that names below it start with one slash
    Walk(options, cancel, result).folder(fd, root, 0);
    return result;
}

bool PackageFinder::isPackageName(const QString &name)
{
    return !name.startsWith(u'.')
        && (name.endsWith(u".apk"_s, Qt::CaseInsensitive) || name.endsWith(u".ipa"_s, Qt::CaseInsensitive));
}

bool PackageFinder::isSkippedFolderName(const QString &name)
{
    // Gradle's and the JavaScript and CocoaPods toolchains' own folders. ".gradle", ".git",
    // ".idea" and the like go as hidden names.
    static const QSet<QString> skipped { u"intermediates"_s, u"generated"_s, u"node_modules"_s, u"kotlin"_s, u"Pods"_s,
        u"DerivedData"_s, u"__pycache__"_s };
    return name.startsWith(u'.') || skipped.contains(name);
}

QString PackageFinder::folderProblem(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return problemFor(errno);
    // Some file systems let a folder be opened that then cannot be listed.
    DIR *stream = ::fdopendir(fd);
    if (!stream) {
        const int error = errno;
        ::close(fd);
        return problemFor(error);
    }
    errno = 0;
    ::readdir(stream);
    const int error = errno;
    ::closedir(stream);
    return error ? problemFor(error) : QString();
}
