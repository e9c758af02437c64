#pragma once

#include "inspect/IconImage.h"

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <optional>

// Which file of a package or an archive is the application's icon. Pure rules over names; the
// callers read the files (from a zip or from the disk).
//
// iOS (an application folder): Icon.png at the folder's top when present; otherwise the names
// Info.plist gives, each matched with its variants; with none of them present, the AppIcon* and
// Icon* PNGs at the folder's top. Among the candidates the largest by pixel area wins.
//
// Android (badging output and the package's entries): the highest density among the
// application-icon-NNN lines that names a raster; when they name only XML (adaptive or vector
// icons), the rasters under res/ with the same resource name, largest first; without any such
// line, the file of the application line's icon='…'.
class IconChoice final
{
public:
    // Base names from Info.plist, in this order: CFBundleIcons and CFBundleIcons~ipad →
    // CFBundlePrimaryIcon → CFBundleIconFiles, then CFBundleIconFiles, then CFBundleIconFile.
    // Values that are not strings are skipped; each name once.
    static QStringList namesFromInfo(const QVariantMap &info);
    // The file names of a base name, in order: the name itself when it ends with ".png", then
    // base, base@2x, base@3x, base~ipad, base@2x~ipad, base@3x~ipad, each with ".png".
    static QStringList variants(const QString &base);
    // The icon candidates among files (paths relative to the application folder). A name that
    // leads outside the folder is dropped with one log line. Case is ignored where no file has the
    // exact name.
    static QStringList ipaCandidates(const QVariantMap &info, const QStringList &files);

    struct DensityLine
    {
        int density = 0;
        QString path;
    };
    // The application-icon-NNN:'path' lines, in the order printed.
    static QList<DensityLine> densityLines(const QString &badging);
    // Names a PNG or WebP file (by its ending, any case).
    static bool isRaster(const QString &path);
    // The icon candidates of an .apk, best first, as safe entry paths (see the class comment);
    // entries are the package's entry paths. sameName is set when the candidates are the rasters
    // that share the XML icon's resource name (to be ranked by area rather than taken in order).
    static QStringList apkCandidates(const QString &badging, const QStringList &entries, bool *sameName = nullptr);

    struct Choice
    {
        QString file;
        IconImage::Header header;
    };
    // Reads candidates' sizes (size() in bytes, head() the first IconImage::HeaderBytes) and
    // returns the one of the largest pixel area (the earlier one on a tie), or with firstUsable
    // the first one that is an image within the limits. Each candidate skipped is logged once.
    static std::optional<Choice> choose(const QStringList &candidates,
        const std::function<qint64(const QString &)> &size, const std::function<QByteArray(const QString &)> &head,
        bool firstUsable = false);
};
