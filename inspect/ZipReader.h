#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <limits>

struct zip; // libzip's archive handle (zip_t)

// One entry of an opened archive, as its central directory describes it.
struct ZipEntry
{
    quint64 index = 0;
    // The stored name as libzip returns it unconverted (an embedded NUL already turned into a blank).
    QByteArray rawName;
    // The name decoded (UTF-8; CP437 when neither flagged nor valid UTF-8), back-slashes taken as slashes.
    QString name;
    // The relative path the entry would be written to: components joined by "/", without empty and
    // "." components or a trailing slash. Empty when the entry is not safe.
    QString path;
    quint64 size = 0; // uncompressed size
    quint32 unixMode = 0; // st_mode bits when the archive was made on Unix, else 0
    bool isDirectory = false;
    bool isLink = false;
    // False for absolute names, ".." components, drive letters, links and other special files:
    // such an entry is never written anywhere.
    bool isSafe = false;
    QString unsafeReason;
};

// Reads zip archives (zip64 included) with libzip and writes entries below a folder without ever
// writing outside it: unsafe entries are skipped with a log line, folders on the way are opened
// without following symbolic links, files are created anew (an existing file is unlinked first,
// so nothing is written through a link or a hard link), and modes from the archive are never
// applied (files 0644, folders 0755, less the umask).
//
// With several entries of the same path the last one in the central directory counts, both for
// entry() and for what a full unpack with overwriting leaves on disk.
//
// Not thread-safe; one reader per thread.
class ZipReader final
{
public:
    static constexpr quint64 Unlimited = std::numeric_limits<quint64>::max();

    ZipReader();
    ~ZipReader();
    ZipReader(const ZipReader &) = delete;
    ZipReader &operator=(const ZipReader &) = delete;

    // Opens a regular file read-only and reads its central directory. Closes an archive opened before.
    bool UnzipOpenFile(const QString &path);
    // Writes every safe entry below destination (created when missing), creating intermediate
    // folders; with overWrite an existing file is replaced, otherwise kept. False when nothing is
    // open or when any entry was skipped or failed; the others are still written.
    bool UnzipFileTo(const QString &destination, bool overWrite);
    bool UnzipCloseFile();

    bool isOpen() const { return m_zip != nullptr; }
    const QList<ZipEntry> &entries() const { return m_entries; }
    // The entry written to that relative path (as ZipEntry::path), or nullptr.
    const ZipEntry *entry(const QString &path) const;
    // Writes one entry below destination as UnzipFileTo would. An entry larger than maxBytes is
    // not written (nor is a partial file left behind).
    bool extractEntry(const QString &path, const QString &destination, bool overWrite, quint64 maxBytes = Unlimited);
    // An entry's bytes; empty with *ok false when missing, a folder, unsafe, larger than maxBytes or corrupt.
    QByteArray readEntry(const QString &path, quint64 maxBytes, bool *ok = nullptr);

    // The first count bytes of an entry (fewer when it is shorter), without reading the rest;
    // empty when it is missing, a folder or unreadable.
    QByteArray readEntryHead(const QString &path, qint64 count);

    // Writes bytes as destination/relative the way an entry is written: folders on the way are
    // made and opened without following links, whatever stands at the file's place is replaced,
    // mode 0644. relative is judged as safePath judges entry names. Files and folders made are
    // appended to *written (absolute); false with the reason when nothing was written.
    static bool writeFile(const QString &destination, const QString &relative, const QByteArray &bytes,
                          QStringList *written, QString *error = nullptr);

    // Absolute paths of the files written and the folders created by the last UnzipFileTo or
    // extractEntry, in the order they were made. Files kept because overWrite was off are not listed.
    const QStringList &writtenPaths() const { return m_written; }
    QString errorString() const { return m_error; }

    // Judges a name (back-slashes count as slashes): the relative path it would be written to, or an
    // empty string with the reason when it is absolute, has a drive letter, a ".." component or a NUL.
    static QString safePath(const QString &name, QString *reason = nullptr);

private:
    bool writeEntry(const ZipEntry &entry, int rootFd, const QString &root, bool overWrite, quint64 maxBytes);
    bool copyData(const ZipEntry &entry, int fd, quint64 maxBytes);
    bool openDestination(const QString &destination, int *fd);

    zip *m_zip = nullptr;
    QString m_path;
    QList<ZipEntry> m_entries;
    QHash<QString, qsizetype> m_byPath;
    QStringList m_written;
    QString m_error;
};
