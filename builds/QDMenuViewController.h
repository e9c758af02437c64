#pragma once

#include "inspect/QDArchiveModel.h"

#include <QString>

#include <memory>

class QAction;
class QDMenuView;
class QLabel;
struct BuildPackage;

// Builds the view of one build entry of the status menu from an archive: its icon
// (applicationImageView), date (lastModifiedTextField), name (appNameTextField, tag 0: black)
// and "Version %@ (%@)" (applicationVersionTextField, tag 1: grey). A value the archive lacks
// leaves its label as built. The controller only fills the view; the menu item keeps the view
// (takeView) and the controller goes away after the fill.
class QDMenuViewController final
{
public:
    explicit QDMenuViewController(const QDArchiveModel &archiveModel);
    // An entry for a package of a build folder, filled the same way.
    explicit QDMenuViewController(const BuildPackage &package);
    ~QDMenuViewController();

    void loadData(const QDArchiveModel &archive);
    void loadPackage(const BuildPackage &package);

    const QDArchiveModel &archiveModel() const { return m_archiveModel; }
    QDMenuView *view() const { return m_view.get(); }
    std::unique_ptr<QDMenuView> takeView();

    QLabel *applicationImageView() const { return m_applicationImageView; }
    QLabel *appNameTextField() const { return m_appNameTextField; }
    QLabel *applicationVersionTextField() const { return m_applicationVersionTextField; }
    QLabel *lastModifiedTextField() const { return m_lastModifiedTextField; }

    // The status menu's build slots carry this property, placeholders and entries alike; the
    // fixed commands do not.
    static inline const char *const kBuildSlotProperty = "quilloBuildSlot";
    static bool isBuildSlot(const QAction *action);
    static void markBuildSlot(QAction *action);

private:
    void buildView();

    QDArchiveModel m_archiveModel;
    std::unique_ptr<QDMenuView> m_view;
    QLabel *m_applicationImageView = nullptr;
    QLabel *m_appNameTextField = nullptr;
    QLabel *m_applicationVersionTextField = nullptr;
    QLabel *m_lastModifiedTextField = nullptr;
};
