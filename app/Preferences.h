#pragma once

#include <QString>
#include <QVariant>

// The per-user preferences store: a persistent map from string keys to property-list values
// (strings, numbers, booleans, dictionaries, arrays), kept in one JSON file readable by the user
// only. Value types survive a restart: the string "1" and the number 1 read back as what they were.
// Writes are atomic (a new file is written beside the old one and moved over it), so a crash
// during a write leaves the previous file whole. A file that is corrupt, truncated or of the
// wrong shape reads as empty, with one log line, and the next flush replaces it.
//
// The store is used from the main thread; the command line and the desktop program share it.
class Preferences final
{
public:
    static QVariant value(const QString &key);
    static void setValue(const QString &key, const QVariant &value);
    static void remove(const QString &key);
    // Writes pending changes to disk and reloads what another process wrote. Returns false
    // when the file could not be written.
    static bool flush();
    // The integer value of a stored setting, by DataCheck::intValue.
    static int intValue(const QString &key);
    // Drops the open store so that the next access reopens Config::settingsFile() (for tests).
    static void reload();
    // On: the store lives in memory only and starts empty; the settings file is neither read nor
    // written (nor created) until it is turned off again, and what was set meanwhile is dropped.
    // For a session that must leave no trace, such as the command line's QUILLO_USER_KEY.
    static void setMemoryOnly(bool on);
    static bool isMemoryOnly();
};
