#include "inspect/ZipReader.h"

#include "inspect/Logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <zip.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr quint32 TypeMask = 0170000;
constexpr quint32 TypeRegular = 0100000;
constexpr quint32 TypeFolder = 0040000;
constexpr quint32 TypeLink = 0120000;
constexpr quint32 DosFolderAttribute = 0x10;

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QString libzipError(int code)
{
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const QString text = QString::fromUtf8(zip_error_strerror(&error));
    zip_error_fini(&error);
    return text;
}

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

bool writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// Opens (making them as needed) the folders on the way below an open root, never following a
// link; returns the innermost one, or -1 with the reason. Folders made are appended to *made.
int openFolders(int rootFd, const QString &root, const QStringList &folders, QStringList *made, QString *error)
{
    FileDescriptor folder(::dup(rootFd));
    if (folder.get() < 0) {
        *error = systemError(errno);
        return -1;
    }
    QString current = root;
    for (const QString &component : folders) {
        const QByteArray native = QFile::encodeName(component);
        current += u'/' + component;
        if (::mkdirat(folder.get(), native.constData(), 0755) == 0)
            made->append(current);
        else if (errno != EEXIST) {
            *error = systemError(errno);
            return -1;
        }
        // O_NOFOLLOW: a link on the way (planted or left over) is never followed out of the folder.
        const int next = ::openat(folder.get(), native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            *error = u"%1 is not a folder: %2"_s.arg(current, systemError(errno));
            return -1;
        }
        folder.reset(next);
    }
    return folder.release();
}

// Makes name anew in an open folder: whatever is there (a file, a link) is removed first, so
// nothing is written through a link or a hard link. -1 with the reason when that cannot be done.
int createFresh(int folderFd, const QByteArray &name, QString *error)
{
    struct stat st {};
    if (::fstatat(folderFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) {
            *error = u"a folder of that name is in the way"_s;
            return -1;
        }
        if (::unlinkat(folderFd, name.constData(), 0) != 0) {
            *error = systemError(errno);
            return -1;
        }
    }
    const int fd = ::openat(folderFd, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        *error = systemError(errno);
    return fd;
}

} // namespace

ZipReader::ZipReader() = default;

ZipReader::~ZipReader()
{
    UnzipCloseFile();
}

QString ZipReader::safePath(const QString &name, QString *reason)
{
    auto refuse = [reason](const QString &why) {
        if (reason)
            *reason = why;
        return QString();
    };
    if (name.contains(QChar(u'\0')))
        return refuse(u"NUL in the name"_s);
    QString slashed = name;
    slashed.replace(u'\\', u'/');
    if (slashed.startsWith(u'/'))
        return refuse(u"absolute name"_s);
    if (slashed.size() >= 2 && slashed.at(1) == u':' && slashed.at(0).isLetter() && slashed.at(0).unicode() < 128)
        return refuse(u"drive letter"_s);
    QStringList components;
    for (const QString &component : slashed.split(u'/')) {
        if (component.isEmpty() || component == u"."_s)
            continue;
        if (component == u".."_s)
            return refuse(u"parent-folder component"_s);
        components.append(component);
    }
    if (components.isEmpty())
        return refuse(u"empty name"_s);
    return components.join(u'/');
}

bool ZipReader::UnzipOpenFile(const QString &path)
{
    UnzipCloseFile();
    m_error.clear();
    const QFileInfo info(path);
    if (!info.isFile()) {
        m_error = info.exists() ? u"not a regular file"_s : u"no such file"_s;
        return false;
    }
    int code = 0;
    m_zip = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &code);
    if (!m_zip) {
        m_error = libzipError(code);
        return false;
    }
    m_path = path;

    const zip_int64_t count = zip_get_num_entries(m_zip, 0);
    m_entries.reserve(static_cast<qsizetype>(qMax<zip_int64_t>(count, 0)));
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(m_zip, index, 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME))
            continue;
        ZipEntry entry;
        entry.index = index;
        const char *raw = zip_get_name(m_zip, index, ZIP_FL_ENC_RAW);
        entry.rawName = QByteArray(raw ? raw : "");
        entry.name = QString::fromUtf8(st.name);
        entry.name.replace(u'\\', u'/');
        entry.size = (st.valid & ZIP_STAT_SIZE) ? st.size : 0;

        zip_uint8_t opsys = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(m_zip, index, 0, &opsys, &attributes) == 0 && opsys == ZIP_OPSYS_UNIX)
            entry.unixMode = attributes >> 16;
        const quint32 type = entry.unixMode & TypeMask;
        entry.isLink = type == TypeLink;
        entry.isDirectory = entry.name.endsWith(u'/') || type == TypeFolder
                            || (opsys != ZIP_OPSYS_UNIX && (attributes & DosFolderAttribute));

        // The stored bytes are judged (each taken as one character, so separators stay what they
        // are), and so is the decoded name that becomes the path.
        QString reason;
        const bool rawSafe = !safePath(QString::fromLatin1(entry.rawName), &reason).isEmpty();
        const QString decoded = rawSafe ? safePath(entry.name, &reason) : QString();
        if (entry.isLink) {
            entry.unsafeReason = u"symbolic link"_s;
        } else if (type != 0 && type != TypeRegular && type != TypeFolder) {
            entry.unsafeReason = u"special file (mode %1)"_s.arg(entry.unixMode, 0, 8);
        } else if (decoded.isEmpty()) {
            entry.unsafeReason = reason;
        } else {
            entry.isSafe = true;
            entry.path = decoded;
        }
        if (entry.isSafe)
            m_byPath.insert(entry.path, m_entries.size());
        m_entries.append(entry);
    }
    return true;
}

bool ZipReader::UnzipCloseFile()
{
    m_entries.clear();
    m_byPath.clear();
    m_path.clear();
    if (!m_zip)
        return false;
    zip_discard(m_zip);
    m_zip = nullptr;
    return true;
}

const ZipEntry *ZipReader::entry(const QString &path) const
{
    const QString normalised = safePath(path);
    if (normalised.isEmpty())
        return nullptr;
    const auto it = m_byPath.constFind(normalised);
    return it == m_byPath.constEnd() ? nullptr : &m_entries.at(*it);
}

bool ZipReader::openDestination(const QString &destination, int *fd)
{
    if (!m_zip) {
        m_error = u"no archive is open"_s;
        return false;
    }
    QDir().mkpath(destination);
    *fd = ::open(QFile::encodeName(destination).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (*fd < 0) {
        m_error = u"cannot open %1: %2"_s.arg(destination, systemError(errno));
        return false;
    }
    return true;
}

bool ZipReader::UnzipFileTo(const QString &destination, bool overWrite)
{
    m_written.clear();
    int rootFd = -1;
    if (!openDestination(destination, &rootFd))
        return false;
    const FileDescriptor root(rootFd);
    const QString rootPath = QDir::cleanPath(QDir(destination).absolutePath());
    bool allWritten = true;
    for (const ZipEntry &entry : std::as_const(m_entries)) {
        if (!entry.isSafe) {
            qCWarning(lcInspect).noquote() << "Skipped zip entry" << entry.name << "-" << entry.unsafeReason;
            allWritten = false;
            continue;
        }
        if (!writeEntry(entry, root.get(), rootPath, overWrite, Unlimited))
            allWritten = false;
    }
    return allWritten;
}

bool ZipReader::extractEntry(const QString &path, const QString &destination, bool overWrite, quint64 maxBytes)
{
    m_written.clear();
    const ZipEntry *found = entry(path);
    if (!found) {
        m_error = u"no entry %1"_s.arg(path);
        return false;
    }
    if (found->size > maxBytes) {
        m_error = u"entry %1 is larger than %2 bytes"_s.arg(path).arg(maxBytes);
        qCWarning(lcInspect).noquote() << "Skipped zip entry" << found->name << "-" << m_error;
        return false;
    }
    int rootFd = -1;
    if (!openDestination(destination, &rootFd))
        return false;
    const FileDescriptor root(rootFd);
    return writeEntry(*found, root.get(), QDir::cleanPath(QDir(destination).absolutePath()), overWrite, maxBytes);
}

bool ZipReader::writeEntry(const ZipEntry &entry, int rootFd, const QString &root, bool overWrite, quint64 maxBytes)
{
    auto fail = [&](const QString &why) {
        m_error = u"%1: %2"_s.arg(entry.name, why);
        qCWarning(lcInspect).noquote() << "Cannot unpack zip entry" << m_error;
        return false;
    };

    QStringList folders = entry.path.split(u'/');
    const QString fileName = entry.isDirectory ? QString() : folders.takeLast();
    QString error;
    const FileDescriptor folder(openFolders(rootFd, root, folders, &m_written, &error));
    if (folder.get() < 0)
        return fail(error);
    if (entry.isDirectory)
        return true;

    const QByteArray native = QFile::encodeName(fileName);
    struct stat st {};
    if (!overWrite && ::fstatat(folder.get(), native.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    FileDescriptor file(createFresh(folder.get(), native, &error));
    if (file.get() < 0)
        return fail(error);
    const bool copied = copyData(entry, file.get(), maxBytes);
    const int closeResult = ::close(file.release());
    if (!copied || closeResult != 0) {
        const QString why = copied ? systemError(errno) : m_error;
        ::unlinkat(folder.get(), native.constData(), 0);
        return fail(why);
    }
    m_written.append(QString(folders.isEmpty() ? root : root + u'/' + folders.join(u'/')) + u'/' + fileName);
    return true;
}

bool ZipReader::writeFile(const QString &destination, const QString &relative, const QByteArray &bytes,
                          QStringList *written, QString *error)
{
    QString why;
    QStringList made;
    auto done = [&](bool ok) {
        if (written)
            *written += made;
        if (!ok && error)
            *error = u"%1: %2"_s.arg(relative, why);
        return ok;
    };
    QStringList folders = safePath(relative, &why).split(u'/', Qt::SkipEmptyParts);
    if (folders.isEmpty())
        return done(false);
    const QString fileName = folders.takeLast();
    QDir().mkpath(destination);
    const FileDescriptor root(::open(QFile::encodeName(destination).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0) {
        why = systemError(errno);
        return done(false);
    }
    const QString rootPath = QDir::cleanPath(QDir(destination).absolutePath());
    const FileDescriptor folder(openFolders(root.get(), rootPath, folders, &made, &why));
    if (folder.get() < 0)
        return done(false);
    const QByteArray native = QFile::encodeName(fileName);
    FileDescriptor file(createFresh(folder.get(), native, &why));
    if (file.get() < 0)
        return done(false);
    const bool ok = writeAll(file.get(), bytes.constData(), bytes.size());
    if (!ok)
        why = systemError(errno);
    if (::close(file.release()) != 0 || !ok) {
        why = ok ? systemError(errno) : why;
        ::unlinkat(folder.get(), native.constData(), 0);
        return done(false);
    }
    made.append(QString(folders.isEmpty() ? rootPath : rootPath + u'/' + folders.join(u'/')) + u'/' + fileName);
    return done(true);
}

QByteArray ZipReader::readEntryHead(const QString &path, qint64 count)
{
    const ZipEntry *found = entry(path);
    if (!found || found->isDirectory || count <= 0) {
        m_error = u"no file entry %1"_s.arg(path);
        return {};
    }
    zip_file_t *file = zip_fopen_index(m_zip, found->index, 0);
    if (!file) {
        m_error = QString::fromUtf8(zip_strerror(m_zip));
        return {};
    }
    QByteArray head(count, Qt::Uninitialized);
    qint64 total = 0;
    while (total < count) {
        const zip_int64_t n = zip_fread(file, head.data() + total, zip_uint64_t(count - total));
        if (n <= 0)
            break;
        total += n;
    }
    zip_fclose(file);
    head.truncate(total);
    return head;
}

bool ZipReader::copyData(const ZipEntry &entry, int fd, quint64 maxBytes)
{
    zip_file_t *file = zip_fopen_index(m_zip, entry.index, 0);
    if (!file) {
        m_error = QString::fromUtf8(zip_strerror(m_zip));
        return false;
    }
    std::array<char, 64 * 1024> buffer{};
    quint64 total = 0;
    bool ok = true;
    for (;;) {
        const zip_int64_t n = zip_fread(file, buffer.data(), buffer.size());
        if (n == 0)
            break;
        if (n < 0) {
            m_error = QString::fromUtf8(zip_file_strerror(file));
            ok = false;
            break;
        }
        total += static_cast<quint64>(n);
        if (total > maxBytes) {
            m_error = u"larger than %1 bytes"_s.arg(maxBytes);
            ok = false;
            break;
        }
        if (fd >= 0 && !writeAll(fd, buffer.data(), static_cast<qsizetype>(n))) {
            m_error = systemError(errno);
            ok = false;
            break;
        }
    }
    zip_fclose(file);
    return ok;
}

QByteArray ZipReader::readEntry(const QString &path, quint64 maxBytes, bool *ok)
{
    if (ok)
        *ok = false;
    const ZipEntry *found = entry(path);
    if (!found || found->isDirectory) {
        m_error = u"no file entry %1"_s.arg(path);
        return {};
    }
    const quint64 limit = qMin<quint64>(maxBytes, static_cast<quint64>(std::numeric_limits<qsizetype>::max() / 2));
    if (found->size > limit) {
        m_error = u"entry %1 is larger than %2 bytes"_s.arg(path).arg(limit);
        return {};
    }
    zip_file_t *file = zip_fopen_index(m_zip, found->index, 0);
    if (!file) {
        m_error = QString::fromUtf8(zip_strerror(m_zip));
        return {};
    }
    QByteArray data;
    data.reserve(static_cast<qsizetype>(found->size));
    std::array<char, 64 * 1024> buffer{};
    bool good = true;
    for (;;) {
        const zip_int64_t n = zip_fread(file, buffer.data(), buffer.size());
        if (n == 0)
            break;
        if (n < 0 || static_cast<quint64>(data.size()) + static_cast<quint64>(n) > limit) {
            m_error = n < 0 ? QString::fromUtf8(zip_file_strerror(file)) : u"larger than %1 bytes"_s.arg(limit);
            good = false;
            break;
        }
        data.append(buffer.data(), static_cast<qsizetype>(n));
    }
    zip_fclose(file);
    if (!good)
        return {};
    if (ok)
        *ok = true;
    return data;
}
