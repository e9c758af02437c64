#pragma once

#include <QString>
#include <QStringList>

class Console;

// builds: the recent builds as the desktop program lists them (archives and the packages of the
// build folders, newest first), and the list of build folders.
class BuildCommands final
{
public:
    static int builds(Console &console, const QStringList &arguments);
    static QString buildsHelp();
};
