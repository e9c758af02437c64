#pragma once

#include <QString>

// Keys of the application-information record (`appInfo`). All values are strings, except the
// three copied from the prepare reply's parent application, which keep the type the reply gave
// them (a JSON number stays a number).
namespace AppInfoKey {
// Written by the inspection (every inspection removes every key first).
inline const QString fileSize = QStringLiteral("fileSize"); // "%.2fMB"
inline const QString createdDate = QStringLiteral("createdDate"); // "yyyy年MM月dd日 aHH:mm"
inline const QString packageName = QStringLiteral("packageName"); // bundle identifier or package name
inline const QString appVersion = QStringLiteral("appVersion");
inline const QString appBuild = QStringLiteral("appBuild");
inline const QString appName = QStringLiteral("appName");
inline const QString iconPath = QStringLiteral("iconPath"); // below the work folder; may not exist
// Written by the prepare reply, only when the reply carries them.
inline const QString shortcutUrl = QStringLiteral("shortcutUrl");
inline const QString isPublishToPublic = QStringLiteral("isPublishToPublic"); // 1 = first item
inline const QString password = QStringLiteral("password");
inline const QString publishRange = QStringLiteral("publishRange"); // 2 = first item
// "0" when the reply names a parent application, "1" otherwise; absent when the prepare call failed.
inline const QString urlCanbeModified = QStringLiteral("urlCanbeModified");
} // namespace AppInfoKey

// Keys of the settings map that the form hands back (all values strings).
namespace SettingKey {
inline const QString publishRange = QStringLiteral("publishRange"); // pop-up index + 2
inline const QString isPublishToPublic = QStringLiteral("isPublishToPublic"); // pop-up index + 1
inline const QString name = QStringLiteral("name");
inline const QString shortcut = QStringLiteral("shortcut");
inline const QString password = QStringLiteral("password");
inline const QString description = QStringLiteral("description");
} // namespace SettingKey
