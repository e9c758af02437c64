#include "fuzz/FuzzSupport.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FuzzSupport {

namespace {

void discard(QtMsgType, const QMessageLogContext &, const QString &)
{ }

QString g_scratch;

void removeScratch()
{
    if (!g_scratch.isEmpty())
        removeTree(g_scratch);
}

bool removeAt(int parent, const char *name)
{
    struct stat st
    {
    };
    if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (S_ISDIR(st.st_mode)) {
        const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return false;
        DIR *dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return false;
        }
        bool ok = true;
        while (dirent *entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            ok = removeAt(::dirfd(dir), entry->d_name) && ok;
        }
        ::closedir(dir);
        return ::unlinkat(parent, name, AT_REMOVEDIR) == 0 && ok;
    }
    return ::unlinkat(parent, name, 0) == 0;
}

} // namespace

void silenceLogging()
{
    qInstallMessageHandler(discard);
}

QString scratchFolder()
{
    if (g_scratch.isEmpty()) {
        QByteArray base = qgetenv("TMPDIR");
        if (base.isEmpty())
            base = "/tmp";
        QByteArray pattern = base + "/quillo-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::fprintf(stderr, "cannot make a scratch folder: %s\n", std::strerror(errno));
            std::abort();
        }
        g_scratch = QFile::decodeName(pattern);
        std::atexit(removeScratch);
    }
    return g_scratch;
}

bool removeTree(const QString &path)
{
    return removeAt(AT_FDCWD, QFile::encodeName(path).constData());
}

bool isValidUtf8(const QByteArray &bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int length;
        uint32_t code;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + length > n)
            return false;
        for (int k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (p[i + k] & 0x3F);
        }
        if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF))
            || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

QByteArray printable(const QByteArray &bytes, qsizetype max)
{
    QByteArray out;
    for (qsizetype i = 0; i < bytes.size() && i < max; ++i) {
        const auto c = static_cast<unsigned char>(bytes.at(i));
        if (c >= 0x20 && c < 0x7F && c != '\\')
            out += char(c);
        else
            out += "\\x" + QByteArray::number(c, 16).rightJustified(2, '0');
    }
    if (bytes.size() > max)
        out += "...";
    return out;
}

QByteArray printable(const QString &text, qsizetype max)
{
    return printable(text.toUtf8(), max);
}

} // namespace FuzzSupport
