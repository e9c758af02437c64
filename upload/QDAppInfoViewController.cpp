#include "upload/QDAppInfoViewController.h"

#include "app/Config.h"
#include "app/DataCheck.h"
#include "ui/QDView.h"
#include "upload/AppInfoKeys.h"
#include "upload/UploadFlow.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {
constexpr int kLabelX = 24;
constexpr int kLabelWidth = 104;
constexpr int kFieldX = 136;
constexpr int kRowHeight = 28;

QLabel *makeLabel(QWidget *parent, const QString &name, const QString &text, QRect geometry)
{
    auto *label = new QLabel(text, parent);
    if (!name.isEmpty())
        label->setObjectName(name);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setGeometry(geometry);
    return label;
}

QLineEdit *makeField(QWidget *parent, const QString &name, QRect geometry, bool displayOnly)
{
    auto *field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setGeometry(geometry);
    if (displayOnly) {
        field->setReadOnly(true);
        field->setFrame(false);
        field->setFocusPolicy(Qt::NoFocus);
        QPalette palette = field->palette();
        palette.setColor(QPalette::Base, Qt::transparent);
        field->setPalette(palette);
    }
    return field;
}
} // namespace

QDAppInfoViewController::QDAppInfoViewController(
    QVariantMap &appInfo, int appType, std::function<void()> payloadCleaner, QWidget *parent)
    : QWidget(parent)
    , m_appInfo(&appInfo)
    , m_appType(appType)
    , m_payloadCleaner(std::move(payloadCleaner))
{
    setObjectName(u"appInfoViewController"_s);
    buildView();
    m_publishToSquarePopup->setCurrentIndex(0);
    adjustUI();
    loadData();
}

void QDAppInfoViewController::buildView()
{
    setMinimumSize(kFormSize);

    // The package's details stand on a panel.
    auto *panel = new QDView(this);
    panel->setObjectName(u"packagePanel"_s);
    panel->setGeometry(12, 8, kFormSize.width() - 24, 108);

    m_iconImageView = new QLabel(this);
    m_iconImageView->setObjectName(u"iconImageView"_s);
    m_iconImageView->setGeometry(kLabelX + 16, 16, 88, 88);
    m_iconImageView->setAlignment(Qt::AlignCenter);

    // The package's details, beside the icon.
    const int infoLabelX = 136;
    const int infoFieldX = 200;
    makeLabel(this, {}, u"名称"_s, QRect(infoLabelX, 14, 56, kRowHeight));
    m_appNameTextField = makeField(this, u"appNameTextField"_s, QRect(infoFieldX, 14, 376, kRowHeight), false);
    m_appNameTextField->setPlaceholderText(u"应用名称"_s);
    makeLabel(this, {}, u"标识"_s, QRect(infoLabelX, 44, 56, 22));
    m_identifierTextField = makeField(this, u"identifierTextField"_s, QRect(infoFieldX, 44, 376, 22), true);
    makeLabel(this, {}, u"版本"_s, QRect(infoLabelX, 66, 56, 22));
    m_versionTextField = makeField(this, u"versionTextField"_s, QRect(infoFieldX, 66, 180, 22), true);
    makeLabel(this, {}, u"大小"_s, QRect(380, 66, 40, 22));
    m_appSizeTextField = makeField(this, u"appSizeTextField"_s, QRect(426, 66, 150, 22), true);
    makeLabel(this, {}, u"日期"_s, QRect(infoLabelX, 88, 56, 22));
    m_createdDateTextField = makeField(this, u"createdDateTextField"_s, QRect(infoFieldX, 88, 376, 22), true);

    // The publishing options, one row each.
    int y = 124;
    makeLabel(this, u"shortcutUrlLabel"_s, u"下载页网址"_s, QRect(kLabelX, y, kLabelWidth, kRowHeight));
    const QString prefix = Config::serviceUrl(QString());
    m_shortcutPrefixLabel = new QLabel(this);
    m_shortcutPrefixLabel->setObjectName(u"shortcutPrefixLabel"_s);
    m_shortcutPrefixLabel->setGeometry(kFieldX, y, 200, kRowHeight);
    m_shortcutPrefixLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_shortcutPrefixLabel->setText(m_shortcutPrefixLabel->fontMetrics().elidedText(prefix, Qt::ElideLeft, 196));
    m_shortcutPrefixLabel->setToolTip(prefix);
    m_shortcutUrlTextField
        = makeField(this, u"shortcutUrlTextField"_s, QRect(kFieldX + 204, y, 236, kRowHeight), false);
    m_shortcutUrlTextField->setPlaceholderText(u"网址后缀"_s);

    y += 36;
    m_publishRangeLabel
        = makeLabel(this, u"publishRangeLabel"_s, u"发布范围"_s, QRect(kLabelX, y, kLabelWidth, kRowHeight));
    m_publisRangePopup = new QComboBox(this);
    m_publisRangePopup->setObjectName(u"publisRangePopup"_s);
    m_publisRangePopup->addItems(UploadFlow::publishRangeTitles());
    m_publisRangePopup->setGeometry(kFieldX, y, 240, kRowHeight);

    y += 36;
    m_publishToSquareLabel
        = makeLabel(this, u"publishToSquareLabel"_s, u"应用广场"_s, QRect(kLabelX, y, kLabelWidth, kRowHeight));
    m_publishToSquarePopup = new QComboBox(this);
    m_publishToSquarePopup->setObjectName(u"publishToSquarePopup"_s);
    m_publishToSquarePopup->addItems(UploadFlow::publishToSquareTitles());
    m_publishToSquarePopup->setGeometry(kFieldX, y, 240, kRowHeight);

    y += 36;
    m_installPasswordLabel
        = makeLabel(this, u"installPasswordLabel"_s, u"安装密码"_s, QRect(kLabelX, y, kLabelWidth, kRowHeight));
    m_installPasswordTextField
        = makeField(this, u"installPasswordTextField"_s, QRect(kFieldX, y, 240, kRowHeight), false);
    m_installPasswordTextField->setPlaceholderText(u"不填则无需密码"_s);

    y += 36;
    m_appDescriptionLabel
        = makeLabel(this, u"appDescriptionLabel"_s, u"更新说明"_s, QRect(kLabelX, y, kLabelWidth, kRowHeight));
    m_descriptionViewContainer = new QWidget(this);
    m_descriptionViewContainer->setObjectName(u"descriptionViewContainer"_s);
    m_descriptionViewContainer->setGeometry(kFieldX, y, 440, kFormSize.height() - y - 16);
    auto *containerLayout = new QVBoxLayout(m_descriptionViewContainer);
    containerLayout->setContentsMargins(0, 0, 0, 0);
    m_applicationDescriptionTextField = new QPlainTextEdit(m_descriptionViewContainer);
    m_applicationDescriptionTextField->setObjectName(u"applicationDescriptionTextField"_s);
    m_applicationDescriptionTextField->setPlaceholderText(u"这个版本有哪些变化"_s);
    m_applicationDescriptionTextField->setTabChangesFocus(true);
    containerLayout->addWidget(m_applicationDescriptionTextField);

    setTabOrder(m_appNameTextField, m_shortcutUrlTextField);
    setTabOrder(m_shortcutUrlTextField, m_publisRangePopup);
    setTabOrder(m_publisRangePopup, m_publishToSquarePopup);
    setTabOrder(m_publishToSquarePopup, m_installPasswordTextField);
    setTabOrder(m_installPasswordTextField, m_applicationDescriptionTextField);
}

void QDAppInfoViewController::adjustUI()
{
    m_applicationDescriptionTextField->setFont(QFont(u"Helvetica"_s, 13));
    if (m_appType != 2 || m_uiAdjusted)
        return;
    // The distance from the publish-to-square row up to the publish-range row.
    const float distance = float(m_publishToSquareLabel->y() - m_publishRangeLabel->y());
    m_publishRangeLabel->hide();
    m_publisRangePopup->hide();
    for (QWidget *control : { static_cast<QWidget *>(m_publishToSquareLabel),
             static_cast<QWidget *>(m_publishToSquarePopup), static_cast<QWidget *>(m_installPasswordLabel),
             static_cast<QWidget *>(m_installPasswordTextField), static_cast<QWidget *>(m_appDescriptionLabel) })
        moveUpUserControl(control, distance);
    const int grow = int(std::lround(std::fabs(distance)));
    const QRect container = m_descriptionViewContainer->geometry();
    m_descriptionViewContainer->setGeometry(container.adjusted(0, -grow, 0, 0)); // the bottom edge stays
    m_uiAdjusted = true;
}

void QDAppInfoViewController::moveUpUserControl(QWidget *control, float space)
{
    control->move(control->x(), control->y() - int(std::lround(space)));
}

void QDAppInfoViewController::loadData()
{
    const QVariantMap &record = *m_appInfo;
    const QString iconPath = record.value(AppInfoKey::iconPath).toString();
    QPixmap icon;
    if (!iconPath.isEmpty() && QFile::exists(iconPath)) {
        icon.load(iconPath); // a file that cannot be decoded leaves the view empty
        // Qt reads "@2x"/"@3x" in a file name as a pixel ratio, which would shrink the icon.
        icon.setDevicePixelRatio(1.0);
        m_defaultIcon = false;
    } else {
        icon.load(u":/images/DefaultIcon.png"_s);
        m_defaultIcon = true;
    }
    m_iconImageView->setPixmap(icon.isNull()
            ? QPixmap()
            : icon.scaled(m_iconImageView->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));

    m_appSizeTextField->setText(record.value(AppInfoKey::fileSize).toString());
    m_versionTextField->setText(u"%1 (%2)"_s.arg(
        record.value(AppInfoKey::appVersion).toString(), record.value(AppInfoKey::appBuild).toString()));
    m_identifierTextField->setText(record.value(AppInfoKey::packageName).toString());
    m_createdDateTextField->setText(record.value(AppInfoKey::createdDate).toString());
    m_appNameTextField->setText(record.value(AppInfoKey::appName).toString());

    m_shortcutUrlTextField->setEnabled(DataCheck::intValue(record.value(AppInfoKey::urlCanbeModified)) == 1);
    if (DataCheck::isValidString(record.value(AppInfoKey::shortcutUrl)))
        m_shortcutUrlTextField->setText(record.value(AppInfoKey::shortcutUrl).toString());
    if (DataCheck::isValidString(record.value(AppInfoKey::password)))
        m_installPasswordTextField->setText(record.value(AppInfoKey::password).toString());
    if (DataCheck::isValidString(record.value(AppInfoKey::isPublishToPublic)))
        m_publishToSquarePopup->setCurrentIndex(UploadFlow::publishToSquareIndex(record));
    m_publisRangePopup->setCurrentIndex(UploadFlow::publishRangeIndex(record));

    deletePayloadDirectory();
}

void QDAppInfoViewController::deletePayloadDirectory()
{
    if (m_payloadCleaner)
        m_payloadCleaner();
}

QVariantMap QDAppInfoViewController::getApplicationSetting() const
{
    QVariantMap settings;
    settings.insert(SettingKey::publishRange, QString::number(qlonglong(m_publisRangePopup->currentIndex()) + 2));
    settings.insert(
        SettingKey::isPublishToPublic, QString::number(qlonglong(m_publishToSquarePopup->currentIndex()) + 1));
    settings.insert(SettingKey::name, m_appNameTextField->text());
    settings.insert(SettingKey::shortcut, m_shortcutUrlTextField->text());
    settings.insert(SettingKey::password, m_installPasswordTextField->text());
    settings.insert(SettingKey::description, m_applicationDescriptionTextField->toPlainText());
    return settings;
}
