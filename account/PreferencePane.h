#pragma once

#include <QIcon>
#include <QString>

class QWidget;

// What a preferences window asks of each of its panes.
class PreferencePane
{
public:
    virtual ~PreferencePane() = default;

    // Unique within one window.
    virtual QString identifier() const = 0;
    virtual QString toolbarItemLabel() const = 0;
    virtual QIcon toolbarItemImage() const = 0;
    // The pane's widget; the window takes it over.
    virtual QWidget *view() = 0;
    // Every time the pane is about to be shown: as the window opens with it in front, and when
    // its toolbar item is chosen.
    virtual void viewWillAppear() {}
};
