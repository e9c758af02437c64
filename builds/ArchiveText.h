#pragma once

#include <QPixmap>
#include <QString>

class QDArchiveModel;

// How an archive is shown in the table, the status menu and the notification.
namespace ArchiveText {
// "%@ %@ (%@)" filled with appName, version and build (a missing value as an empty text).
QString title(const QDArchiveModel &archive);
// The date pattern "yyyy年MM月dd日 aHH:mm" in the user's locale; empty without a date.
QString date(const QDArchiveModel &archive);
// The icon file at iconPath when one exists there, otherwise the image "DefaultIcon.png".
QPixmap icon(const QDArchiveModel &archive, int size);
// True when the icon file at iconPath exists (and so icon() shows it).
bool hasOwnIcon(const QDArchiveModel &archive);
} // namespace ArchiveText
