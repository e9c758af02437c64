#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>

// Finds the packages (.apk and .ipa files, any case) below one build folder: a Gradle project,
// a CI drop folder. Toolkit-free and blocking; meant for a worker thread.
//
// The walk goes at most maxDepth levels down (a file directly in the folder is at depth 1), skips
// hidden entries and the folders of isSkippedFolderName(), and follows no symbolic link below the
// folder (the folder itself may be one): every step opens the next folder relative to the one
// before with O_NOFOLLOW, so a link, a link loop or a folder swapped for a link while the walk
// runs never leads it outside. A subfolder that cannot be opened is counted and left out; the walk
// goes on. At most maxEntries entries are looked at, so a huge tree ends the walk instead of
// holding it for minutes.
class PackageFinder final
{
public:
    struct Options
    {
        int maxDepth = 8;
        qint64 maxEntries = 2'000'000;
    };

    struct Found
    {
        QString path; // the folder's path as given, then the names below it
        qint64 size = 0;
        qint64 modifiedNs = 0; // nanoseconds since 1970 (UTC)
    };

    struct Result
    {
        bool readable = false; // the folder itself could be opened
        QString problem; // why not, for the user
        QList<Found> packages; // in walk order
        QStringList unreadableFolders; // subfolders that could not be opened
        qint64 entries = 0; // entries looked at
        bool truncated = false; // maxEntries was reached
        bool cancelled = false;
    };

    static Result find(const QString &folder);
    static Result find(const QString &folder, const Options &options, const std::atomic<bool> *cancel = nullptr);

    // ".apk" or ".ipa" at the end, any case, and not a hidden name.
    static bool isPackageName(const QString &name);
    // Hidden folders and build-internal ones that never hold a finished package but may hold
    // thousands of files: intermediates, generated, node_modules and the like.
    static bool isSkippedFolderName(const QString &name);
    // The reason a folder cannot be read, in the user's words ("文件夹不存在", "无法读取：…"),
    // or an empty text when it can. Touches the disk: may block on a slow mount.
    static QString folderProblem(const QString &folder);
};
