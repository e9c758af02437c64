#pragma once

#include <QString>
#include <QStringList>

class Console;

// devicelog and check-update.
class ToolCommands final
{
public:
    static int deviceLog(Console &console, const QStringList &arguments);
    static int checkUpdate(Console &console, const QStringList &arguments);

    static QString deviceLogHelp();
    static QString checkUpdateHelp();
};
