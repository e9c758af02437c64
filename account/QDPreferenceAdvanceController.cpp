#include "account/QDPreferenceAdvanceController.h"

#include "account/BuildFoldersEditor.h"
#include "account/PreferenceSwitch.h"
#include "ui/VersionCheck.h"

#include <QCheckBox>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

QDPreferenceAdvanceController::QDPreferenceAdvanceController(QWidget *parent)
    : QWidget(parent)
    , m_autoUpdateButton(new QCheckBox(u"打开最近构建列表时自动检查新版本"_s, this))
    , m_checkUpdateButton(new QPushButton(u"立即检查更新"_s, this))
    , m_versionCheck(new VersionCheck(this, VersionCheck::UpToDate::Announce, this))
    , m_buildFoldersEditor(new BuildFoldersEditor(this))
{
    setObjectName(u"QDPreferenceAdvanceController"_s);
    m_autoUpdateButton->setObjectName(u"autoUpdateButton"_s);
    m_checkUpdateButton->setObjectName(u"checkUpdateButton"_s);
    connect(m_autoUpdateButton, &QCheckBox::clicked, this, &QDPreferenceAdvanceController::autoUpdateButtonChecked);
    connect(m_checkUpdateButton, &QPushButton::clicked, this, &QDPreferenceAdvanceController::checkUpdateButtonClicked);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 24, 32, 24);
    layout->addWidget(m_autoUpdateButton);
    layout->addSpacing(16);
    layout->addWidget(m_checkUpdateButton, 0, Qt::AlignLeft);
    layout->addSpacing(16);
    layout->addWidget(m_buildFoldersEditor, 1);
}

QString QDPreferenceAdvanceController::identifier() const
{
    return u"AdvancedPreferences"_s;
}

QString QDPreferenceAdvanceController::toolbarItemLabel() const
{
    return u"高级"_s;
}

QIcon QDPreferenceAdvanceController::toolbarItemImage() const
{
    return QIcon::fromTheme(u"preferences-other"_s, style()->standardIcon(QStyle::SP_FileDialogDetailedView));
}

void QDPreferenceAdvanceController::viewWillAppear()
{
    PreferenceSwitch::load(m_autoUpdateButton, kAutoUpdateKey);
    m_buildFoldersEditor->reload();
}

void QDPreferenceAdvanceController::autoUpdateButtonChecked()
{
    PreferenceSwitch::store(m_autoUpdateButton, kAutoUpdateKey);
}

void QDPreferenceAdvanceController::checkUpdateButtonClicked()
{
    m_versionCheck->check();
}
