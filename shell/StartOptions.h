#pragma once

#include <QString>
#include <QStringList>

// The desktop program's command line. It is read before the application object exists, so that
// --help and --version answer without a display; the toolkit's own options (-platform and the
// like) are left to the toolkit, and anything else is ignored with a log line.
struct StartOptions
{
    bool hidden = false; // --hidden: start in the status bar only (what the autostart entry runs)
    bool help = false;
    bool version = false;
    QStringList ignored;

    static StartOptions parse(const QStringList &arguments);
    static QString helpText();
    static QString versionText();

    // Hidden only where the status item can bring the window back: without a tray the status menu
    // lives in the main window's menu bar, and a hidden window would leave nothing to click.
    bool showsWindowAtStart(bool statusItemInTray) const { return !hidden || !statusItemInTray; }
};
