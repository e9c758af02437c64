#include "builds/PackageText.h"

#include "builds/BuildPackage.h"
#include "inspect/PackageFormat.h"

#include <QLocale>

using namespace Qt::StringLiterals;

QString PackageText::title(const BuildPackage &package)
{
    return u"%1 %2 (%3)"_s.arg(package.appName, package.version, package.build);
}

QString PackageText::date(const BuildPackage &package)
{
    return PackageFormat::date(package.modified(), QLocale());
}

QString PackageText::kindMark(const BuildPackage &package)
{
    return package.appType == 1 ? u"iOS"_s : u"Android"_s;
}

QPixmap PackageText::icon(const BuildPackage &package, int size)
{
    QPixmap pixmap;
    if (!package.icon.isEmpty())
        pixmap.loadFromData(package.icon);
    if (pixmap.isNull())
        pixmap.load(u":/images/DefaultIcon.png"_s);
    return pixmap.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}
