#pragma once

#include <memory>

class DesktopNotifier;
class QMainWindow;
class StatusItem;

// The one place where the platform bindings are chosen.
//
// The status item goes into the system tray when the desktop has one, otherwise into the main
// window's menu bar; QUILLO_STATUS_ITEM=tray or =menubar forces either. Desktop notifications
// go to the freedesktop notification service on the session bus, and fall back to tray
// messages (given the status item's tray icon) where that service does not answer.
namespace Platform {
std::unique_ptr<StatusItem> createStatusItem(QMainWindow *window);
std::unique_ptr<DesktopNotifier> createDesktopNotifier(StatusItem *statusItem);
} // namespace Platform
