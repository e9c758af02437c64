#pragma once

#include "account/PreferencePane.h"

#include <QWidget>

class QCheckBox;
class QPushButton;

// The General pane: the switch that makes the upload window close itself once an upload has
// finished ("autoCloseUploadWindow"), and the logout button. Logging out stores the session as
// ended and posts Notifications::DisplayLoginWindow, on which the shell shows a new login
// screen and closes the preferences window.
class QDPreferenceGeneralController final : public QWidget, public PreferencePane
{
    Q_OBJECT
public:
    static inline const QString kAutoCloseKey = QStringLiteral("autoCloseUploadWindow");

    explicit QDPreferenceGeneralController(QWidget *parent = nullptr);

    QString identifier() const override;
    QString toolbarItemLabel() const override;
    QIcon toolbarItemImage() const override;
    QWidget *view() override { return this; }
    // Loads the switch from the settings and enables the logout button exactly when logged in.
    void viewWillAppear() override;

    QCheckBox *autoCloseButton() const { return m_autoCloseButton; }
    QPushButton *logoutButton() const { return m_logoutButton; }

    void autoCloseButtonClicked();
    void logoutButtonClicked();

private:
    QCheckBox *m_autoCloseButton;
    QPushButton *m_logoutButton;
};
