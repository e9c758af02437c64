#pragma once

class DesktopNotifier;
class QMenu;
class StatusItem;

// What the recent-builds screen reaches through the application delegate: the status item and
// its menu, the flag that the menu's left-over build slots are gone, and the desktop-notification
// centre. The delegate outlives every screen it builds.
class ShellServices
{
public:
    virtual ~ShellServices() = default;

    virtual StatusItem *statusItem() const = 0;
    // Its leading actions are the build slots (see QDMenuViewController::isBuildSlot), then the
    // fixed commands.
    virtual QMenu *statusMenu() const = 0;
    virtual bool redundantItemRemoved() const = 0;
    virtual void setRedundantItemRemoved(bool removed) = 0;
    virtual DesktopNotifier *notificationCenter() const = 0;
};
