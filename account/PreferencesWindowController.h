#pragma once

#include <QList>
#include <QMainWindow>

#include "account/PreferencePane.h"

class QActionGroup;
class QStackedWidget;
class QToolBar;

// A preferences window: a toolbar with one item per pane (label and icon from the pane) that
// switches the pane shown. The first pane added is in front at first. The window owns the panes'
// widgets. Build it once and show it with showWindow() as often as needed; closing only hides it.
class PreferencesWindowController final : public QMainWindow
{
    Q_OBJECT
public:
    explicit PreferencesWindowController(const QString &title, QWidget *parent = nullptr);
    ~PreferencesWindowController() override;

    // Adds a pane and its toolbar item (object name "toolbarItem" + the pane's identifier).
    void addPane(PreferencePane *pane);

    // Shows the window in front (refreshing the pane in front) and makes it active.
    void showWindow();
    // Puts the pane with this identifier in front; false when there is none.
    bool selectPane(const QString &identifier);

    QString currentIdentifier() const;
    PreferencePane *pane(const QString &identifier) const;
    QList<PreferencePane *> panes() const { return m_panes; }
    QToolBar *toolbar() const { return m_toolbar; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    QToolBar *m_toolbar;
    QStackedWidget *m_stack;
    QActionGroup *m_items;
    QList<PreferencePane *> m_panes;
    int m_current = -1;
};
