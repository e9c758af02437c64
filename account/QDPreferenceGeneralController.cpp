#include "account/QDPreferenceGeneralController.h"

#include "account/PreferenceSwitch.h"
#include "app/NotificationCenter.h"
#include "app/Notifications.h"
#include "app/QSLoginModel.h"

#include <QCheckBox>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

QDPreferenceGeneralController::QDPreferenceGeneralController(QWidget *parent)
    : QWidget(parent)
    , m_autoCloseButton(new QCheckBox(u"上传完成后自动关闭上传窗口"_s, this))
    , m_logoutButton(new QPushButton(u"退出登录"_s, this))
{
    setObjectName(u"QDPreferenceGeneralController"_s);
    m_autoCloseButton->setObjectName(u"autoCloseButton"_s);
    m_logoutButton->setObjectName(u"logoutButton"_s);
    connect(m_autoCloseButton, &QCheckBox::clicked, this, &QDPreferenceGeneralController::autoCloseButtonClicked);
    connect(m_logoutButton, &QPushButton::clicked, this, &QDPreferenceGeneralController::logoutButtonClicked);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 24, 32, 24);
    layout->addWidget(m_autoCloseButton);
    layout->addSpacing(16);
    layout->addWidget(m_logoutButton, 0, Qt::AlignLeft);
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
