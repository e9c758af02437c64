#include "builds/ArchiveText.h"

#include "inspect/PackageFormat.h"
#include "inspect/QDArchiveModel.h"

#include <QFileInfo>
#include <QLocale>

using namespace Qt::StringLiterals;

QString ArchiveText::title(const QDArchiveModel &archive)
{
    return u"%1 %2 (%3)"_s.arg(archive.appName().value_or(QString()), archive.version().value_or(QString()),
        archive.build().value_or(QString()));
}

QString ArchiveText::date(const QDArchiveModel &archive)
{
    return PackageFormat::date(archive.lastModifiedDate(), QLocale());
}

bool ArchiveText::hasOwnIcon(const QDArchiveModel &archive)
{
    const std::optional<QString> path = archive.iconPath();
    return path && QFileInfo(*path).isFile();
}

QPixmap ArchiveText::icon(const QDArchiveModel &archive, int size)
{
    QPixmap pixmap;
    if (hasOwnIcon(archive))
        pixmap.load(*archive.iconPath());
    // Qt reads "@2x"/"@3x" in a file name as a pixel ratio, which would shrink the icon.
    pixmap.setDevicePixelRatio(1.0);
    if (pixmap.isNull())
        pixmap.load(u":/images/DefaultIcon.png"_s);
    return pixmap.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}
