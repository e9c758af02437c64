#pragma once

#include <QPixmap>
#include <QString>

struct BuildPackage;

// How a package of a build folder is shown in the table, the status menu and the notification,
// the way ArchiveText shows an archive.
namespace PackageText {
// "%@ %@ (%@)" filled with appName, version and build.
QString title(const BuildPackage &package);
// The package file's time with the date pattern "yyyy年MM月dd日 aHH:mm" in the user's locale.
QString date(const BuildPackage &package);
// The small mark of its kind: "iOS" or "Android".
QString kindMark(const BuildPackage &package);
// The package's icon, or the image "DefaultIcon.png" when it has none that can be drawn.
QPixmap icon(const BuildPackage &package, int size);
} // namespace PackageText
