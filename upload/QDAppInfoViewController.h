#pragma once

#include <QVariantMap>
#include <QWidget>

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

// The form the upload window pushes once a package has been read and the service asked: the
// package's details (icon, name, identifier, version and build, size, date) and the publishing
// options (name, download-page suffix, install password, the two pop-ups, update description).
//
// It shows the upload controller's record by reference (not a copy), reads it once when built,
// and hands the settings back through getApplicationSetting(). Controls carry their names as
// objectNames. The layout is fixed, like a designed screen; for an Android package the
// publish-range row is hidden and the rows below it move up into its place, the description
// growing to fill the gap. Once filled, the form removes what the inspection unpacked (through
// the cleaner it is given).
class QDAppInfoViewController final : public QWidget
{
    Q_OBJECT
public:
    QDAppInfoViewController(
        QVariantMap &appInfo, int appType, std::function<void()> payloadCleaner = {}, QWidget *parent = nullptr);

    // publishRange, isPublishToPublic, name, shortcut, password, description: all strings.
    QVariantMap getApplicationSetting() const;

    const QVariantMap &appInfo() const { return *m_appInfo; }
    int appType() const { return m_appType; }
    bool uiAdjusted() const { return m_uiAdjusted; }

    // Steps of building the screen, in this order: adjustUI, then loadData.
    void adjustUI();
    // Moves a control up by space (a negative space moves it down); x and size stay.
    void moveUpUserControl(QWidget *control, float space);
    void loadData();
    void deletePayloadDirectory();

    QLabel *iconImageView() const { return m_iconImageView; }
    QLineEdit *appNameTextField() const { return m_appNameTextField; }
    QLineEdit *shortcutUrlTextField() const { return m_shortcutUrlTextField; }
    QLineEdit *installPasswordTextField() const { return m_installPasswordTextField; }
    QComboBox *publishToSquarePopup() const { return m_publishToSquarePopup; }
    QComboBox *publisRangePopup() const { return m_publisRangePopup; }
    QPlainTextEdit *applicationDescriptionTextField() const { return m_applicationDescriptionTextField; }
    QWidget *descriptionViewContainer() const { return m_descriptionViewContainer; }
    // True when the icon shown is the default image.
    bool showsDefaultIcon() const { return m_defaultIcon; }

    static constexpr QSize kFormSize { 600, 400 };

private:
    void buildView();

    QVariantMap *m_appInfo;
    int m_appType;
    bool m_uiAdjusted = false;
    bool m_defaultIcon = false;
    std::function<void()> m_payloadCleaner;

    QLabel *m_iconImageView = nullptr;
    QLineEdit *m_appNameTextField = nullptr;
    QLineEdit *m_identifierTextField = nullptr;
    QLineEdit *m_versionTextField = nullptr;
    QLineEdit *m_appSizeTextField = nullptr;
    QLineEdit *m_createdDateTextField = nullptr;
    QLabel *m_shortcutPrefixLabel = nullptr;
    QLineEdit *m_shortcutUrlTextField = nullptr;
    QLabel *m_installPasswordLabel = nullptr;
    QLineEdit *m_installPasswordTextField = nullptr;
    QLabel *m_publishToSquareLabel = nullptr;
    QComboBox *m_publishToSquarePopup = nullptr;
    QLabel *m_publishRangeLabel = nullptr;
    QComboBox *m_publisRangePopup = nullptr;
    QLabel *m_appDescriptionLabel = nullptr;
    QPlainTextEdit *m_applicationDescriptionTextField = nullptr;
    QWidget *m_descriptionViewContainer = nullptr;
};
