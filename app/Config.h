#pragma once

#include <QString>

// Every place the program looks for something outside itself is read here, so that tests and
// the demo can point it elsewhere through the environment:
//   QUILLO_SERVICE_HOST   service host "host[:port]", or a base "http://host[:port]" / "https://host[:port]"
//   QUILLO_RESOURCE_DIR   folder in which aapt and deviceconsole are found by name
//   QUILLO_XCODEBUILD     the export tool (default /usr/bin/xcodebuild)
//   QUILLO_WORK_DIR       private folder for unpacked and exported packages
//   QUILLO_SETTINGS_FILE  the per-user preferences store
// The values are read on every call, so a test may change them between cases.
class Config final
{
public:
    // "host[:port]" as it goes into the Host header and into "http://%@/apiv1".
    static QString serviceHost();
    // "http" by default; "https" when the configured base names that scheme.
    static QString serviceScheme();
    // "http://%@/apiv1" filled with the service host (https when so configured).
    static QString apiBase();
    // Address of a page on the service host: "http://%@/%@" (path without leading slash).
    static QString serviceUrl(const QString &path);

    static QString resourceDir();
    // Path of a tool or file in the resource folder, looked up by name.
    static QString resourcePath(const QString &name);
    static QString xcodebuildPath();
    static QString settingsFile();
    // The work folder's configured path; WorkFolder checks and creates it.
    static QString workDirPath();
    // "%@/Library/Developer/Xcode/Archives" below the user's home folder.
    static QString archivesDir();
    // The user's cache folder (XDG on Linux).
    static QString userCacheDir();
    // The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute path (a relative
    // one is ignored, as the XDG rules say), otherwise ~/.config. Not created here.
    static QString userConfigDir();
    // The program's own short version string.
    static QString applicationVersion();
};
