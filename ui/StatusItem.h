#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>

#include <QMenu>
class QSystemTrayIcon;

// The status-bar item: an icon with a menu that lives while the program runs. It can be disabled,
// and then its menu cannot be opened. The menu is not owned.
//
// Two kinds, chosen in Platform::createStatusItem: an icon in the system tray (TrayStatusItem), or,
// where no tray exists, the menu in the main window's menu bar (MenuBarStatusItem).
class StatusItem : public QObject
{
    Q_OBJECT
public:
    explicit StatusItem(QObject *parent = nullptr);
    ~StatusItem() override;

    void setMenu(QMenu *menu);
    QMenu *menu() const { return m_menu; }

    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }

    // The normal image, and the one shown while the menu is open (highlight mode).
    void setImage(const QIcon &image);
    void setAlternateImage(const QIcon &image);
    void setHighlightMode(bool on);
    QIcon image() const { return m_image; }
    QIcon alternateImage() const { return m_alternateImage; }
    bool highlightMode() const { return m_highlightMode; }
    // True while the menu is open and highlight mode is on.
    bool isHighlighted() const { return m_highlighted; }

    // Makes the item appear.
    virtual void show() = 0;
    // The tray icon behind the item, for tray messages; null when the item is not in a tray.
    virtual QSystemTrayIcon *trayIcon() const { return nullptr; }
    // Opens the menu at the item, when it is enabled; false when it cannot be opened.
    virtual bool popUpMenu() = 0;

signals:
    // The item itself was clicked (not its menu): the user wants the program in front.
    void activated();

protected:
    // Brings the platform item up to date with the state above.
    virtual void update() = 0;
    QIcon currentImage() const;

private:
    void menuShown();
    void menuHidden();

    QPointer<QMenu> m_menu;
    QIcon m_image;
    QIcon m_alternateImage;
    bool m_enabled = true;
    bool m_highlightMode = false;
    bool m_highlighted = false;
};
