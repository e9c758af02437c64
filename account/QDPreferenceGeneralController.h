#pragma once

#include "account/PreferencePane.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

// The General pane: the switch that makes the upload window close itself once an upload has
// finished ("autoCloseUploadWindow"), and the logout button. Logging out stores the session as
// ended and posts Notifications::DisplayLoginWindow, on which the shell shows a new login
// screen and closes the preferences window. Below them, the start-at-login switch: on writes the
// desktop program's autostart entry, off removes it (Autostart); it always shows whether the entry
// is there, and a failure is explained in the label under it.
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
    // Loads the switches (the start-at-login one from the autostart entry) and enables the logout
    // button exactly when logged in.
    void viewWillAppear() override;

    QCheckBox *autoCloseButton() const { return m_autoCloseButton; }
    QPushButton *logoutButton() const { return m_logoutButton; }
    QCheckBox *launchAtLoginButton() const { return m_launchAtLoginButton; }
    QLabel *launchAtLoginMessage() const { return m_launchAtLoginMessage; }

    void autoCloseButtonClicked();
    void logoutButtonClicked();
    void launchAtLoginButtonClicked();

private:
    void showLaunchAtLogin(const QString &message);

    QCheckBox *m_autoCloseButton;
    QPushButton *m_logoutButton;
    QCheckBox *m_launchAtLoginButton;
    QLabel *m_launchAtLoginMessage;
};
