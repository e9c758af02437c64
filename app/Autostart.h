#pragma once

#include <QByteArray>
#include <QString>

// Start at login: the desktop program's entry in the user's XDG autostart folder
// ("<configuration folder>/autostart/quillo.desktop"), which the desktop session reads at login.
// The entry is only ever written inside the user's configuration folder (Config::userConfigDir):
// the autostart folder is created there (0700) when missing, but a configuration folder that does
// not exist is reported, not made. Writing replaces the entry in one rename, so a session never
// reads half an entry, and never writes through a symbolic link left at the entry's name.
//
// Failures come back as a message for the user; nothing is thrown and nothing half-done is left.
class Autostart final
{
public:
    static QString entryPath();
    // True when the entry exists and the session would start the program from it: an entry with
    // "Hidden=true" or "X-GNOME-Autostart-enabled=false" (what a session's own settings write to
    // switch an entry off) does not count.
    static bool isEnabled();
    // Writes the entry with "Exec=<program> --hidden". False with *message when it cannot.
    static bool enable(const QString &program, QString *message);
    // Removes the entry; nothing to do when there is none. False with *message when it cannot.
    static bool disable(QString *message);

    // The entry's text for a program path.
    static QByteArray entryText(const QString &program);
    // One argument of an Exec line, quoted and escaped as desktop entries require.
    static QString execArgument(const QString &argument);
    // The desktop program beside the running one (the installed /usr/bin/quillo-desktop when the
    // package's programs run).
    static QString desktopProgram();
};
