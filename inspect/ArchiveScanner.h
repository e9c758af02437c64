#pragma once

#include "inspect/QDArchiveModel.h"

#include <QList>
#include <QString>

// Finds the archived builds below the archive folder the way the recent-builds list does, with
// nothing but QtCore and the archive model: usable by that screen, its status menu and the
// command line alike.
//
// The scan looks exactly two levels deep: the entries of the archive folder, and the entries
// inside each of them, both in the order the file system lists them; names beginning with "."
// are skipped at both levels. An entry of the second level is kept when its application names a
// bundle identifier (DataCheck::isValidString); nothing else filters (no extension check, no
// limit). A missing or unreadable folder, and a first-level entry that is not a readable folder,
// contribute nothing.
class ArchiveScanner final
{
public:
    struct Result
    {
        QList<QDArchiveModel> recentlyBuild; // in scan order
        QList<QDArchiveModel> sortedRecentlyBuild; // the same, newest first
    };

    static Result scan(const QString &archivesDir);
    // Sorted by lastModifiedDate, newest first; archives of equal time keep their order, and an
    // archive whose time cannot be read comes last.
    static QList<QDArchiveModel> newestFirst(QList<QDArchiveModel> archives);
};
