#pragma once

#include <QString>

// The icon of an archived build, as a file an image reader can show.
//
// Which file: Icon.png at the top of the application folder when present; otherwise the files
// that the archive's own Info.plist names (ApplicationProperties → IconPaths, relative to
// Products/); otherwise the rules of IconChoice inside the application folder. The largest by
// pixel area wins. An ordinary PNG is shown where it lies; a crushed one is decoded once into the
// work folder ("icon-cache/<hash of the archive's and the icon's paths>/<modification time>-<size>.png"),
// so that rescans find the copy instead of decoding again; a newer version replaces the older.
class ArchiveIcon final
{
public:
    // The file to show, or an empty string when the archive has no icon that can be shown.
    // appFolder is the application folder's name below Products/Applications.
    static QString find(const QString &archivePath, const QString &appFolder);
    // Where decoded copies are kept.
    static QString cacheFolder();
};
