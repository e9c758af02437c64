#pragma once

#include <QString>

// The broadcast notifications between screens. Each is posted on the main thread without
// payload; see NotificationCenter.
namespace Notifications {
inline const QString NewArchive = QStringLiteral("QD_NEW_ARCHIVE_NOTIFICATION");
inline const QString DisableBuildItem = QStringLiteral("QD_DISABLE_BUILD_ITEM_NOTIFICATION");
inline const QString EnableBuildItem = QStringLiteral("QD_ENABLE_BUILD_ITEM_NOTIFICATION");
inline const QString DisplayLoginWindow = QStringLiteral("QD_DISPLAY_LOGIN_WINDOW_NOTIFICATION");
inline const QString CloseDeviceLogWindow = QStringLiteral("QD_CLOSE_DEVICE_LOG_WINDOW_NOTIFICATION");
} // namespace Notifications
