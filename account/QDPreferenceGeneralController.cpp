#include "account/QDPreferenceGeneralController.h"

#include "account/PreferenceSwitch.h"
#include "app/Autostart.h"
#include "app/NotificationCenter.h"
#include "app/Notifications.h"
#include "app/QSLoginModel.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

QDPreferenceGeneralController::QDPreferenceGeneralController(QWidget *parent)
    : QWidget(parent)
    , m_autoCloseButton(new QCheckBox(u"上传完成后自动关闭上传窗口"_s, this))
    , m_logoutButton(new QPushButton(u"退出登录"_s, this))
    , m_launchAtLoginButton(new QCheckBox(u"登录时启动 Quillo"_s, this))
    , m_launchAtLoginMessage(new QLabel(this))
{
    setObjectName(u"QDPreferenceGeneralController"_s);
    m_autoCloseButton->setObjectName(u"autoCloseButton"_s);
    m_logoutButton->setObjectName(u"logoutButton"_s);
    connect(m_autoCloseButton, &QCheckBox::clicked, this, &QDPreferenceGeneralController::autoCloseButtonClicked);
    connect(m_logoutButton, &QPushButton::clicked, this, &QDPreferenceGeneralController::logoutButtonClicked);
    m_launchAtLoginButton->setObjectName(u"launchAtLoginButton"_s);
    m_launchAtLoginMessage->setObjectName(u"launchAtLoginMessage"_s);
    m_launchAtLoginMessage->setWordWrap(true);
    m_launchAtLoginMessage->setTextFormat(Qt::PlainText);
    m_launchAtLoginMessage->hide();
    connect(
        m_launchAtLoginButton, &QCheckBox::clicked, this, &QDPreferenceGeneralController::launchAtLoginButtonClicked);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 24, 32, 24);
    layout->addWidget(m_autoCloseButton);
    layout->addSpacing(16);
    layout->addWidget(m_logoutButton, 0, Qt::AlignLeft);
    layout->addSpacing(16);
    layout->addWidget(m_launchAtLoginButton);
    layout->addWidget(m_launchAtLoginMessage);
    layout->addStretch();
}

QString QDPreferenceGeneralController::identifier() const
{
    return u"GeneralPreferences"_s;
}

QString QDPreferenceGeneralController::toolbarItemLabel() const
{
    return u"通用"_s;
}

QIcon QDPreferenceGeneralController::toolbarItemImage() const
{
    return QIcon::fromTheme(u"preferences-system"_s, style()->standardIcon(QStyle::SP_ComputerIcon));
}

void QDPreferenceGeneralController::viewWillAppear()
{
    PreferenceSwitch::load(m_autoCloseButton, kAutoCloseKey);
    m_logoutButton->setEnabled(QSLoginModel::isLogged());
    showLaunchAtLogin(QString());
}

void QDPreferenceGeneralController::autoCloseButtonClicked()
{
    PreferenceSwitch::store(m_autoCloseButton, kAutoCloseKey);
}

void QDPreferenceGeneralController::logoutButtonClicked()
{
    QSLoginModel::setLogout();
    m_logoutButton->setEnabled(QSLoginModel::isLogged());
    NotificationCenter::defaultCenter().post(Notifications::DisplayLoginWindow);
}

void QDPreferenceGeneralController::launchAtLoginButtonClicked()
{
    QString message;
    if (m_launchAtLoginButton->isChecked())
        Autostart::enable(Autostart::desktopProgram(), &message);
    else
        Autostart::disable(&message);
    showLaunchAtLogin(message);
}

// The switch shows what is on disk, whatever was asked.
void QDPreferenceGeneralController::showLaunchAtLogin(const QString &message)
{
    m_launchAtLoginButton->setChecked(Autostart::isEnabled());
    m_launchAtLoginMessage->setText(message);
    m_launchAtLoginMessage->setVisible(!message.isEmpty());
}
