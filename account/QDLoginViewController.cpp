#include "account/QDLoginViewController.h"

#include "account/AccountMarks.h"
#include "account/Logging.h"
#include "api/CloudClient.h"
#include "app/Config.h"
#include "app/DataCheck.h"
#include "app/QSLoginModel.h"
#include "ui/Alert.h"
#include "ui/Browser.h"
#include "ui/BusyIndicator.h"
#include "ui/QDButton.h"
#include "ui/QDLuncherController.h"
#include "ui/QDView.h"

#include <QCheckBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

bool isValidText(const QString &text)
{
    return DataCheck::isValidString(QVariant(text));
}

// "More than 5", in UTF-16 code units.
bool isLongEnough(const QString &text)
{
    return text.size() > 5;
}

// The "message" of an error record, or the fallback when it has none.
QString messageOf(const QVariant &errorRecord, const QString &fallback)
{
    const QVariant message = errorRecord.toMap().value(u"message"_s);
    return DataCheck::isValidString(message) ? message.toString() : fallback;
}

QLabel *makeMark(QWidget *parent, const QString &name, const QPixmap &pixmap)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    label->setFixedSize(16, 16);
    label->setPixmap(pixmap);
    QSizePolicy policy = label->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    label->setSizePolicy(policy);
    label->hide();
    return label;
}

QLineEdit *makeField(QWidget *parent, const QString &name, const QString &placeholder, bool secure)
{
    auto *field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setPlaceholderText(placeholder);
    if (secure)
        field->setEchoMode(QLineEdit::Password);
    return field;
}

// Buttons take the focus from the keyboard only, so that clicking one does not end the editing
// of the field that has the focus.
QPushButton *makeButton(QWidget *parent, const QString &name, const QString &title)
{
    auto *button = new QPushButton(title, parent);
    button->setObjectName(name);
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

BusyIndicator *makeIndicator(QWidget *parent, const QString &name)
{
    auto *indicator = new BusyIndicator(parent);
    indicator->setObjectName(name);
    indicator->setFixedSize(16, 16);
    return indicator;
}

} // namespace

QDLoginViewController::QDLoginViewController(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(u"loginViewController"_s);
    setFocusPolicy(Qt::ClickFocus);

    m_panelArea = new QWidget(this);
    m_panelArea->setObjectName(u"panelArea"_s);
    m_panelArea->setMinimumSize(400, 250);
    m_panelArea->installEventFilter(this);

    buildLoginView();
    buildRegisterView();
    buildFindPasswordView();

    m_finishButton = makeButton(this, u"finishButton"_s, u"注册"_s);
    m_cancelButton = makeButton(this, u"cancelButton"_s, u"取消"_s);
    connect(m_finishButton, &QPushButton::clicked, this, &QDLoginViewController::finishedButtonClicked);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDLoginViewController::cancelButtonClicked);

    auto *logo = new QLabel(this);
    logo->setObjectName(u"logoImage"_s);
    logo->setPixmap(QIcon(u":/images/quillo"_s).pixmap(64, 64));
    logo->setAlignment(Qt::AlignCenter);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_cancelButton);
    buttons->addWidget(m_finishButton);

    auto *column = new QVBoxLayout;
    column->addWidget(logo);
    column->addWidget(m_panelArea, 1);
    column->addLayout(buttons);

    auto *outer = new QHBoxLayout(this);
    outer->addStretch();
    outer->addLayout(column, 4);
    outer->addStretch();

    viewDidLoad();
}

QDLoginViewController::~QDLoginViewController() = default;

void QDLoginViewController::buildLoginView()
{
    m_loginView = new QDView(m_panelArea);
    m_loginView->setObjectName(u"loginView"_s);

    m_emailTextField = makeField(m_loginView, u"emailTextField"_s, u"邮箱"_s, false);
    m_passwordTextField = makeField(m_loginView, u"passwordTextField"_s, u"密码"_s, true);
    m_loginButton = makeButton(m_loginView, u"loginButton"_s, u"登录"_s);
    m_loginIndicator = makeIndicator(m_loginView, u"loginIndicator"_s);
    m_loginLabel = new QLabel(m_loginView);
    m_loginLabel->setObjectName(u"loginLabel"_s);
    m_loginLabel->hide();
    m_findPasswordButton = makeButton(m_loginView, u"findPasswordButton"_s, u"忘记密码？"_s);
    m_findPasswordButton->setFlat(true);
    m_findPasswordButton->setAutoFillBackground(true);

    connect(m_loginButton, &QPushButton::clicked, this, &QDLoginViewController::loginButtonClicked);
    connect(m_findPasswordButton, &QPushButton::clicked, this, &QDLoginViewController::findPasswordClicked);

    auto *status = new QHBoxLayout;
    status->addWidget(m_loginIndicator);
    status->addWidget(m_loginLabel);
    status->addStretch();
    status->addWidget(m_findPasswordButton);
    status->addWidget(m_loginButton);

    auto *layout = new QGridLayout(m_loginView);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setRowStretch(0, 1);
    layout->addWidget(new QLabel(u"邮箱"_s, m_loginView), 1, 0);
    layout->addWidget(m_emailTextField, 1, 1);
    layout->addWidget(new QLabel(u"密码"_s, m_loginView), 2, 0);
    layout->addWidget(m_passwordTextField, 2, 1);
    layout->setRowStretch(3, 1);
    layout->addLayout(status, 4, 0, 1, 2);

    watchField(m_emailTextField);
    watchField(m_passwordTextField);
}

void QDLoginViewController::buildRegisterView()
{
    m_registerViewOwned = std::make_unique<QDView>();
    m_registerView = m_registerViewOwned.get();
    m_registerView->setObjectName(u"registerView"_s);
    QDView *view = m_registerView;

    m_registEmailTextField = makeField(view, u"registEmailTextField"_s, u"邮箱"_s, false);
    m_nameTextField = makeField(view, u"nameTextField"_s, u"姓名"_s, false);
    m_registPasswordTextField = makeField(view, u"registPasswordTextField"_s, u"密码（至少6位）"_s, true);
    m_registConfirmPasswordTextField = makeField(view, u"registConfirmPasswordTextField"_s, u"再次输入密码"_s, true);
    m_emailInvalidImage = makeMark(view, u"emailInvalidImage"_s, AccountMarks::invalid());
    m_nameInvalidImage = makeMark(view, u"nameInvalidImage"_s, AccountMarks::invalid());
    m_passwordInvalidImage = makeMark(view, u"passwordInvalidImage"_s, AccountMarks::invalid());
    m_confirmPasswrodInvalidImage = makeMark(view, u"confirmPasswrodInvalidImage"_s, AccountMarks::invalid());
    m_registCautionImage = makeMark(view, u"registCautionImage"_s, QPixmap());
    m_registErrorTextField = new QLabel(view);
    m_registErrorTextField->setObjectName(u"registErrorTextField"_s);
    m_registErrorTextField->setTextFormat(Qt::PlainText); // the service's messages
    m_registErrorTextField->hide();
    m_agreementButton = new QCheckBox(u"我已阅读并同意Quillo服务条款"_s, view);
    m_agreementButton->setObjectName(u"agreementButton"_s);
    m_agreementButton->setFocusPolicy(Qt::TabFocus);
    m_agreementLinkButton = makeButton(view, u"agreementLinkButton"_s, u"查看条款"_s);
    m_agreementLinkButton->setFlat(true);
    m_registIndicator = makeIndicator(view, u"registIndicator"_s);

    connect(m_agreementLinkButton, &QPushButton::clicked, this, &QDLoginViewController::agreementButtonClicked);

    auto *layout = new QGridLayout(view);
    layout->setContentsMargins(24, 16, 24, 16);
    const struct
    {
        const char16_t *title;
        QLineEdit *field;
        QLabel *mark;
    } rows[] = {{u"邮箱", m_registEmailTextField, m_emailInvalidImage},
                {u"姓名", m_nameTextField, m_nameInvalidImage},
                {u"密码", m_registPasswordTextField, m_passwordInvalidImage},
                {u"确认密码", m_registConfirmPasswordTextField, m_confirmPasswrodInvalidImage}};
    int row = 0;
    for (const auto &r : rows) {
        layout->addWidget(new QLabel(QString::fromUtf16(r.title), view), row, 0);
        layout->addWidget(r.field, row, 1);
        layout->addWidget(r.mark, row, 2);
        watchField(r.field);
        ++row;
    }
    auto *agreement = new QHBoxLayout;
    agreement->addWidget(m_agreementButton);
    agreement->addWidget(m_agreementLinkButton);
    agreement->addStretch();
    layout->addLayout(agreement, row++, 1, 1, 2);
    layout->setRowStretch(row++, 1);
    auto *message = new QHBoxLayout;
    message->addWidget(m_registCautionImage);
    message->addWidget(m_registErrorTextField, 1);
    message->addWidget(m_registIndicator);
    layout->addLayout(message, row, 0, 1, 3);
}

void QDLoginViewController::buildFindPasswordView()
{
    m_findPasswordViewOwned = std::make_unique<QDView>();
    m_findPasswordView = m_findPasswordViewOwned.get();
    m_findPasswordView->setObjectName(u"findPasswordView"_s);
    QDView *view = m_findPasswordView;

    auto *hint = new QLabel(u"请输入注册时使用的邮箱，我们会把重置密码的链接发送到这个邮箱。"_s, view);
    hint->setWordWrap(true);
    m_findPasswordEmailTextField = makeField(view, u"findPasswordEmailTextField"_s, u"邮箱"_s, false);
    m_findPasswordImage = makeMark(view, u"findPasswordImage"_s, QPixmap());
    m_findPasswordResultTextField = new QLabel(view);
    m_findPasswordResultTextField->setObjectName(u"findPasswordResultTextField"_s);
    m_findPasswordResultTextField->setTextFormat(Qt::PlainText); // the service's messages
    m_findPasswordindicator = makeIndicator(view, u"findPasswordindicator"_s);

    auto *result = new QHBoxLayout;
    result->addWidget(m_findPasswordImage);
    result->addWidget(m_findPasswordResultTextField, 1);
    result->addWidget(m_findPasswordindicator);

    auto *layout = new QVBoxLayout(view);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->addWidget(hint);
    layout->addWidget(m_findPasswordEmailTextField);
    layout->addLayout(result);
    layout->addStretch();

    watchField(m_findPasswordEmailTextField);
}

void QDLoginViewController::viewDidLoad()
{
    setWindowTitle(u"欢迎使用Quillo"_s);
    m_loginStatus = LoginPanel;
    m_findPasswordButton->installEventFilter(this);
    m_cancelButton->hide();
    m_loginIndicator->hide();
    QDButton::setTitleColor(m_agreementButton, Qt::blue);
    m_registCautionImage->setPixmap(AccountMarks::caution());
    m_loginButtonHasReturnKey = true;
}

void QDLoginViewController::watchField(QLineEdit *field)
{
    connect(field, &QLineEdit::textEdited, this, [this, field] { controlTextDidChange(field); });
    connect(field, &QLineEdit::returnPressed, this, [this, field] { controlTextDidEndEditing(field); });
    field->installEventFilter(this);
}

void QDLoginViewController::setMainWindow(QWidget *window)
{
    m_mainWindow = window;
}

QWidget *QDLoginViewController::sheetWindow() const
{
    return m_mainWindow ? m_mainWindow.data() : window();
}

void QDLoginViewController::showSheet(const QString &text)
{
    Alert::sheet(sheetWindow(), text);
}

bool QDLoginViewController::validateEmail(const QString &text)
{
    return DataCheck::isValidEmail(text);
}

QAbstractButton *QDLoginViewController::returnKeyButton() const
{
    // A button answers Return only while it is shown and enabled; the login panel's button only
    // while its panel is in front.
    if (m_finishButtonHasReturnKey && m_finishButton->isVisibleTo(this) && m_finishButton->isEnabled())
        return m_finishButton;
    if (m_loginButtonHasReturnKey && m_loginStatus == LoginPanel && m_loginView->isVisibleTo(this)
        && m_loginButton->isEnabled())
        return m_loginButton;
    return nullptr;
}

bool QDLoginViewController::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_panelArea && event->type() == QEvent::Resize) {
        m_loginView->setGeometry(m_panelArea->rect());
        if (m_registViewAdded)
            m_registerView->setGeometry(m_loginView->geometry());
        if (m_findPasswordViewAdded)
            m_findPasswordView->setGeometry(m_loginView->geometry());
    } else if (watched == m_findPasswordButton) {
        if (event->type() == QEvent::Enter)
            mouseEntered();
        else if (event->type() == QEvent::Leave)
            mouseExited();
    } else if (event->type() == QEvent::FocusOut) {
        auto *field = qobject_cast<QLineEdit *>(watched);
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        // A field hidden with its panel, or a window that only lost the focus, is not an end of editing.
        if (field && field->isVisible() && reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            controlTextDidEndEditing(field);
    }
    return QWidget::eventFilter(watched, event);
}

void QDLoginViewController::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (QAbstractButton *button = returnKeyButton()) {
            button->click();
            event->accept();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

void QDLoginViewController::placePanel(QDView *panel, std::unique_ptr<QDView> &owned, bool &added)
{
    if (added) {
        panel->show();
        return;
    }
    owned.release()->setParent(m_panelArea);
    panel->setGeometry(m_loginView->geometry());
    panel->raise();
    panel->show();
    added = true;
}

void QDLoginViewController::finishedButtonClicked()
{
    switch (m_loginStatus) {
    case LoginPanel:
        m_loginView->hide();
        placePanel(m_registerView, m_registerViewOwned, m_registViewAdded);
        m_cancelButton->setText(u"取消"_s);
        m_cancelButton->show();
        m_finishButton->setEnabled(false);
        m_finishButton->setText(u"注册"_s);
        m_finishButtonHasReturnKey = true;
        clearRegistInformation();
        m_loginStatus = RegisterPanel;
        break;
    case RegisterPanel:
        regist();
        break;
    case FindPasswordPanel:
        findPassword();
        break;
    default:
        break;
    }
}

void QDLoginViewController::findPasswordClicked()
{
    placePanel(m_findPasswordView, m_findPasswordViewOwned, m_findPasswordViewAdded);
    m_findPasswordindicator->stopAnimation();
    m_cancelButton->show();
    m_finishButton->setText(u"提交"_s);
    m_finishButtonHasReturnKey = true;
    m_loginStatus = FindPasswordPanel;
}

void QDLoginViewController::cancelButtonClicked()
{
    if (m_loginStatus == RegisterPanel)
        m_registerView->hide();
    else if (m_loginStatus == FindPasswordPanel)
        m_findPasswordView->hide();
    else
        return;
    m_finishButton->setText(u"注册"_s);
    m_loginView->show();
    m_cancelButton->hide();
    m_finishButton->setEnabled(true);
    m_finishButtonHasReturnKey = false;
    m_loginStatus = LoginPanel;
}

void QDLoginViewController::agreementButtonClicked()
{
    Browser::open(Config::serviceUrl(u"about/termofservice"_s));
}

void QDLoginViewController::mouseEntered()
{
    QPalette palette = m_findPasswordButton->palette();
    palette.setColor(m_findPasswordButton->backgroundRole(), Qt::blue);
    m_findPasswordButton->setPalette(palette);
}

void QDLoginViewController::mouseExited()
{
    QPalette palette = m_findPasswordButton->palette();
    palette.setColor(m_findPasswordButton->backgroundRole(), Qt::red);
    m_findPasswordButton->setPalette(palette);
}

void QDLoginViewController::clearRegistInformation()
{
    m_registErrorTextField->clear();
    m_nameTextField->clear();
    m_registPasswordTextField->clear();
    m_registConfirmPasswordTextField->clear();
    // The emptied fields no longer hold what was checked; the kept e-mail keeps its flag.
    m_nameValide = false;
    m_passwordValide = false;
    m_confirmPasswordValide = false;
}

void QDLoginViewController::validFailed(const QString &message)
{
    m_registErrorTextField->setText(message);
    m_registErrorTextField->show();
    m_registCautionImage->setPixmap(AccountMarks::caution());
    m_registCautionImage->show();
}

void QDLoginViewController::updateFinishButtonAfterEdit(bool disableOtherwise)
{
    if (m_emailAdressValide && m_nameValide && m_passwordValide && m_confirmPasswordValide) {
        m_finishButton->setEnabled(true);
        m_registCautionImage->hide();
        m_registErrorTextField->hide();
    } else if (disableOtherwise) {
        m_finishButton->setEnabled(false);
    }
}

void QDLoginViewController::controlTextDidChange(QLineEdit *field)
{
    const QString text = field->text();
    if (field == m_findPasswordEmailTextField) {
        m_findPasswordImage->hide();
        m_findPasswordResultTextField->clear();
        return;
    }
    if (field == m_registEmailTextField) {
        m_emailInvalidImage->hide();
        m_emailAdressValide = isValidText(text) && validateEmail(text);
    } else if (field == m_nameTextField) {
        m_nameInvalidImage->hide();
        m_nameValide = isValidText(text);
    } else if (field == m_registPasswordTextField) {
        const QString confirmation = m_registConfirmPasswordTextField->text();
        m_passwordInvalidImage->hide();
        if (!isValidText(confirmation))
            m_passwordValide = isValidText(text) && isLongEnough(text);
        else if (isValidText(text))
            m_passwordValide = text == confirmation && isLongEnough(text);
        else
            m_passwordValide = false;
        if (isValidText(confirmation) && text == confirmation) {
            m_confirmPasswordValide = isLongEnough(confirmation);
            if (m_confirmPasswordValide)
                m_confirmPasswrodInvalidImage->hide();
        } else {
            m_confirmPasswordValide = false;
        }
    } else if (field == m_registConfirmPasswordTextField) {
        const QString password = m_registPasswordTextField->text();
        m_confirmPasswrodInvalidImage->hide();
        m_confirmPasswordValide = isValidText(text) && text == password && isLongEnough(text);
        if (isValidText(password) && text == password) {
            m_passwordValide = isLongEnough(password);
            if (m_passwordValide)
                m_passwordInvalidImage->hide();
        } else {
            m_passwordValide = false;
        }
    } else {
        return; // the login panel's fields
    }
    if (m_loginStatus == RegisterPanel)
        updateFinishButtonAfterEdit(true);
}

void QDLoginViewController::controlTextDidEndEditing(QLineEdit *field)
{
    const QString text = field->text();
    bool *flag = nullptr;
    QLabel *mark = nullptr;
    QString failure;
    if (field == m_registEmailTextField) {
        flag = &m_emailAdressValide;
        mark = m_emailInvalidImage;
        if (!isValidText(text))
            failure = u"邮件地址不能为空"_s;
        else if (!validateEmail(text))
            failure = u"邮件地址非法"_s;
    } else if (field == m_nameTextField) {
        flag = &m_nameValide;
        mark = m_nameInvalidImage;
        if (!isValidText(text))
            failure = u"姓名不能为空"_s;
    } else if (field == m_registPasswordTextField || field == m_registConfirmPasswordTextField) {
        const bool confirmation = field == m_registConfirmPasswordTextField;
        flag = confirmation ? &m_confirmPasswordValide : &m_passwordValide;
        mark = confirmation ? m_confirmPasswrodInvalidImage : m_passwordInvalidImage;
        if (!isValidText(text))
            failure = u"密码不能为空"_s;
        else if (!isLongEnough(text))
            failure = u"密码长度必须大于6位"_s;
        else if (confirmation && text != m_registPasswordTextField->text())
            failure = u"两次输入密码不一致"_s;
    } else {
        return; // fields without end-of-editing checks
    }
    if (failure.isEmpty())
        *flag = true;
    else
        validFailed(failure);
    mark->setVisible(!*flag);
    updateFinishButtonAfterEdit(false);
}

void QDLoginViewController::loginButtonClicked()
{
    const QString email = m_emailTextField->text();
    m_findPasswordButton->hide();
    if (!isValidText(email)) {
        showSheet(u"请输入邮箱哦"_s);
        return;
    }
    const QString password = m_passwordTextField->text();
    if (!isValidText(password)) {
        showSheet(u"请输入密码哦"_s);
        return;
    }
    m_loginIndicator->show();
    m_loginIndicator->startAnimation();
    m_loginLabel->setText(u"正在登录..."_s);
    m_loginLabel->show();
    m_cloudClient = CloudClient::getInstance();
    m_cloudClient->loginWithEmail(email, password, this, u"loginSuccess:"_s, u"loginError:"_s);
}

void QDLoginViewController::loginSuccess(const QVariant &data)
{
    QSLoginModel::setLoginWithUId(data.toMap().value(u"userKey"_s), data);
    m_loginIndicator->stopAnimation();
    m_loginIndicator->hide();
    if (!QSLoginModel::isLogged()) {
        // A reply without a usable user key makes no session; going on would show the recent
        // builds to nobody.
        qCWarning(lcAccount) << "Login reply without a usable user key";
        m_loginLabel->hide();
        showSheet(u"登录失败：服务返回的用户信息不完整，请稍后重试"_s);
        return;
    }
    // The shell replaces this screen here and may delete it: nothing may follow.
    QDLuncherController::openWelcomeController();
}

void QDLoginViewController::loginError(const QVariant &errorRecord)
{
    m_loginIndicator->stopAnimation();
    m_loginLabel->hide();
    showSheet(messageOf(errorRecord, u"登录失败，请稍后重试"_s));
}

void QDLoginViewController::regist()
{
    if (!m_agreementButton->isChecked()) {
        showSheet(u"注册需同意Quillo服务条款"_s);
        return;
    }
    m_registIndicator->startAnimation();
    m_cloudClient = CloudClient::getInstance();
    m_cloudClient->registWithUserName(m_nameTextField->text(), m_registEmailTextField->text(),
                                      m_registPasswordTextField->text(), this, u"registSuccess:"_s,
                                      u"registError:"_s);
}

void QDLoginViewController::registSuccess(const QVariant &)
{
    m_registErrorTextField->setText(u"注册成功！"_s);
    m_registErrorTextField->show();
    m_cancelButton->setText(u"返回"_s);
    m_registCautionImage->setPixmap(AccountMarks::check());
    m_registCautionImage->show();
    m_registIndicator->stopAnimation();
    m_finishButtonHasReturnKey = false;
    QPointer<QDLoginViewController> self(this);
    Alert::sheet(window(), u"恭喜您，注册成功!"_s, {u"确定"_s}, [self](int returnCode) {
        if (self && returnCode == 0)
            self->cancelButtonClicked();
    });
}

void QDLoginViewController::registError(const QVariant &errorRecord)
{
    m_registCautionImage->setPixmap(AccountMarks::caution());
    m_registCautionImage->show();
    m_registErrorTextField->setText(messageOf(errorRecord, u"注册失败，请稍后重试"_s));
    m_registErrorTextField->show();
    m_registIndicator->stopAnimation();
}

void QDLoginViewController::findPassword()
{
    const QString email = m_findPasswordEmailTextField->text();
    if (!validateEmail(email)) {
        m_findPasswordImage->setPixmap(AccountMarks::caution());
        m_findPasswordImage->show();
        m_findPasswordResultTextField->setText(u"邮件地址非法！"_s);
        return;
    }
    m_findPasswordindicator->startAnimation();
    m_cloudClient = CloudClient::getInstance();
    m_cloudClient->findPasswordWithEmail(email, this, u"findPasswordSuccess:"_s, u"findPasswordError:"_s);
}

void QDLoginViewController::findPasswordSuccess(const QVariant &)
{
    m_findPasswordResultTextField->setText(u"邮件已成功发送！"_s);
    m_cancelButton->setText(u"返回"_s);
    m_findPasswordImage->setPixmap(AccountMarks::check());
    m_findPasswordImage->show();
    m_findPasswordindicator->stopAnimation();
}

void QDLoginViewController::findPasswordError(const QVariant &errorRecord)
{
    m_findPasswordResultTextField->setText(messageOf(errorRecord, u"邮件发送失败，请稍后重试"_s));
    m_findPasswordImage->setPixmap(AccountMarks::caution());
    m_findPasswordImage->show();
    m_findPasswordindicator->stopAnimation();
}
