#pragma once

#include "account/PreferencePane.h"

#include <QWidget>

class BuildFoldersEditor;
class QCheckBox;
class QPushButton;
class VersionCheck;

// The Advanced pane: the switch for a version check whenever the recent-builds screen loads
// ("isAutoUpdate") and a button that checks at once, with its sheets on the pane's window; below
// them the build folders ("buildFolders").
class QDPreferenceAdvanceController final : public QWidget, public PreferencePane
{
    Q_OBJECT
public:
    static inline const QString kAutoUpdateKey = QStringLiteral("isAutoUpdate");

    explicit QDPreferenceAdvanceController(QWidget *parent = nullptr);

    QString identifier() const override;
    QString toolbarItemLabel() const override;
    QIcon toolbarItemImage() const override;
    QWidget *view() override { return this; }
    // Loads the switch from the settings.
    void viewWillAppear() override;

    QCheckBox *autoUpdateButton() const { return m_autoUpdateButton; }
    QPushButton *checkUpdateButton() const { return m_checkUpdateButton; }
    BuildFoldersEditor *buildFoldersEditor() const { return m_buildFoldersEditor; }
    // The pane's version check (its API client and its newVersionURL).
    VersionCheck *versionCheck() const { return m_versionCheck; }

    void autoUpdateButtonChecked();
    void checkUpdateButtonClicked();

private:
    QCheckBox *m_autoUpdateButton;
    QPushButton *m_checkUpdateButton;
    VersionCheck *m_versionCheck;
    BuildFoldersEditor *m_buildFoldersEditor;
};
