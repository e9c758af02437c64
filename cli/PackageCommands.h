#pragma once

#include <QString>
#include <QStringList>

class Console;

// inspect, archives and export: the package inspection, the recent-builds scan and the export
// runner of the desktop program, printed instead of shown.
class PackageCommands final
{
public:
    static int inspect(Console &console, const QStringList &arguments);
    static int archives(Console &console, const QStringList &arguments);
    static int exportArchive(Console &console, const QStringList &arguments);

    static QString inspectHelp();
    static QString archivesHelp();
    static QString exportHelp();

    // False, with the error printed, when path is not a readable regular file.
    static bool checkReadableFile(Console &console, const QString &path);
    // Writes the icon of inspect --icon; nothing (and a note) for an empty one.
    static bool writeIcon(Console &console, const QString &path, const QByteArray &png);
};
