#pragma once

#include <QPointer>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <memory>

class BusyIndicator;
class CloudClient;
class QAbstractButton;
class QCheckBox;
class QDView;
class QLabel;
class QLineEdit;
class QPushButton;

// The login screen: three panels taking turns in one place (login, registration, password
// recovery) and two shared buttons below them whose titles follow the panel in front.
//
// For the shell: build a new one each time the login screen is shown, make it the content of
// the main window and call setMainWindow() with that window (the message sheets go there).
// After a successful login the screen stores the session and calls
// QDLuncherController::openWelcomeController(), whose builder replaces (and may delete) it.
//
// Controls carry the object names used in the code below ("emailTextField", "finishButton"...).
// The registration and recovery panels join the screen's widget tree when first opened; until
// then they are reachable through registerView() and findPasswordView() only.
//
// Text fields report to controlTextDidChange() on every user edit (not on text set by the
// program) and to controlTextDidEndEditing() when Return is pressed in them or when they lose
// the keyboard focus while visible (not when only the window loses it). Buttons do not take the
// focus on a click, so pressing a button does not end the editing of a field.
class QDLoginViewController final : public QWidget
{
    Q_OBJECT
public:
    enum Status { LoginPanel = 1, FindPasswordPanel = 2, RegisterPanel = 3 };

    explicit QDLoginViewController(QWidget *parent = nullptr);
    ~QDLoginViewController() override;

    void setMainWindow(QWidget *window);
    QWidget *mainWindow() const { return m_mainWindow; }

    int loginStatus() const { return m_loginStatus; }
    bool registViewAdded() const { return m_registViewAdded; }
    bool findPasswordViewAdded() const { return m_findPasswordViewAdded; }
    bool emailAdressValide() const { return m_emailAdressValide; }
    bool nameValide() const { return m_nameValide; }
    bool passwordValide() const { return m_passwordValide; }
    bool confirmPasswordValide() const { return m_confirmPasswordValide; }
    // Which button Return presses now: loginButton, finishButton or none.
    QAbstractButton *returnKeyButton() const;
    CloudClient *cloudClient() const { return m_cloudClient.get(); }

    QDView *loginView() const { return m_loginView; }
    QDView *registerView() const { return m_registerView; }
    QDView *findPasswordView() const { return m_findPasswordView; }

    // The whole text must match the address pattern; a null text fails.
    static bool validateEmail(const QString &text);

    // Actions.
    void loginButtonClicked();
    void finishedButtonClicked();
    void cancelButtonClicked();
    void findPasswordClicked();
    void agreementButtonClicked();
    void mouseEntered();
    void mouseExited();

    void controlTextDidChange(QLineEdit *field);
    void controlTextDidEndEditing(QLineEdit *field);

    // Reply callbacks (invoked by the API client by name).
    Q_INVOKABLE void loginSuccess(const QVariant &data);
    Q_INVOKABLE void loginError(const QVariant &errorRecord);
    Q_INVOKABLE void registSuccess(const QVariant &data);
    Q_INVOKABLE void registError(const QVariant &errorRecord);
    Q_INVOKABLE void findPasswordSuccess(const QVariant &data);
    Q_INVOKABLE void findPasswordError(const QVariant &errorRecord);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void buildLoginView();
    void buildRegisterView();
    void buildFindPasswordView();
    void viewDidLoad();
    void placePanel(QDView *panel, std::unique_ptr<QDView> &owned, bool &added);
    void watchField(QLineEdit *field);
    void regist();
    void findPassword();
    void clearRegistInformation();
    void validFailed(const QString &message);
    void updateFinishButtonAfterEdit(bool disableOtherwise);
    void showSheet(const QString &text);
    QWidget *sheetWindow() const;

    QPointer<QWidget> m_mainWindow;
    int m_loginStatus = LoginPanel;
    bool m_registViewAdded = false;
    bool m_findPasswordViewAdded = false;
    bool m_emailAdressValide = false;
    bool m_nameValide = false;
    bool m_passwordValide = false;
    bool m_confirmPasswordValide = false;
    bool m_loginButtonHasReturnKey = false;
    bool m_finishButtonHasReturnKey = false;
    std::unique_ptr<CloudClient> m_cloudClient;

    QWidget *m_panelArea = nullptr;
    QDView *m_loginView = nullptr;
    QDView *m_registerView = nullptr;
    QDView *m_findPasswordView = nullptr;
    // The two lazily placed panels, owned here until they join the widget tree.
    std::unique_ptr<QDView> m_registerViewOwned;
    std::unique_ptr<QDView> m_findPasswordViewOwned;

    QLineEdit *m_emailTextField = nullptr;
    QLineEdit *m_passwordTextField = nullptr;
    QPushButton *m_loginButton = nullptr;
    BusyIndicator *m_loginIndicator = nullptr;
    QLabel *m_loginLabel = nullptr;
    QPushButton *m_findPasswordButton = nullptr;

    QLineEdit *m_registEmailTextField = nullptr;
    QLineEdit *m_nameTextField = nullptr;
    QLineEdit *m_registPasswordTextField = nullptr;
    QLineEdit *m_registConfirmPasswordTextField = nullptr;
    QLabel *m_emailInvalidImage = nullptr;
    QLabel *m_nameInvalidImage = nullptr;
    QLabel *m_passwordInvalidImage = nullptr;
    QLabel *m_confirmPasswrodInvalidImage = nullptr;
    QLabel *m_registCautionImage = nullptr;
    QLabel *m_registErrorTextField = nullptr;
    QCheckBox *m_agreementButton = nullptr;
    QPushButton *m_agreementLinkButton = nullptr;
    BusyIndicator *m_registIndicator = nullptr;

    QLineEdit *m_findPasswordEmailTextField = nullptr;
    QLabel *m_findPasswordImage = nullptr;
    QLabel *m_findPasswordResultTextField = nullptr;
    BusyIndicator *m_findPasswordindicator = nullptr;

    QPushButton *m_finishButton = nullptr;
    QPushButton *m_cancelButton = nullptr;
};
