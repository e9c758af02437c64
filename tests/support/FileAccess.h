#pragma once

#include <QString>

// Folders that cannot be read, for tests of what the program does with them. Permission bits do
// not stop root, who passes them by the capabilities CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH:
// dropPermissionOverride() gives them up for the rest of the process, so that a folder of mode
// 000 is unreadable to it whoever runs the tests. Call it first in main(): threads started
// before keep their own capabilities. Programs the test starts get theirs anew.
namespace FileAccess {
// True when permission bits now hold for this process (always for an ordinary user).
bool dropPermissionOverride();
// Sets a folder's mode (0 for unreadable, 0755 to restore).
bool setMode(const QString &path, int mode);
} // namespace FileAccess
