#include "builds/QDMenuViewController.h"

#include "builds/ArchiveText.h"
#include "builds/BuildPackage.h"
#include "builds/PackageText.h"
#include "builds/QDMenuView.h"

#include <QAction>
#include <QGridLayout>
#include <QLabel>

using namespace Qt::StringLiterals;

namespace {
constexpr int kIconSize = 36;
}

QDMenuViewController::QDMenuViewController(const QDArchiveModel &archiveModel)
    : m_archiveModel(archiveModel)
{
    buildView();
    loadData(m_archiveModel);
}

QDMenuViewController::QDMenuViewController(const BuildPackage &package)
{
    buildView();
    loadPackage(package);
}

QDMenuViewController::~QDMenuViewController() = default;

std::unique_ptr<QDMenuView> QDMenuViewController::takeView()
{
    return std::move(m_view);
}

void QDMenuViewController::buildView()
{
    m_view = std::make_unique<QDMenuView>();
    m_applicationImageView = new QLabel(m_view.get());
    m_applicationImageView->setObjectName(u"applicationImageView"_s);
    m_applicationImageView->setFixedSize(kIconSize, kIconSize);
    m_appNameTextField = new QLabel(m_view.get());
    m_appNameTextField->setObjectName(u"appNameTextField"_s);
    m_appNameTextField->setProperty("tag", 0);
    QFont bold = m_appNameTextField->font();
    bold.setBold(true);
    m_appNameTextField->setFont(bold);
    m_applicationVersionTextField = new QLabel(m_view.get());
    m_applicationVersionTextField->setObjectName(u"applicationVersionTextField"_s);
    m_applicationVersionTextField->setProperty("tag", 1);
    m_lastModifiedTextField = new QLabel(m_view.get());
    m_lastModifiedTextField->setObjectName(u"lastModifiedTextField"_s);
    m_lastModifiedTextField->setProperty("tag", 1);
    m_lastModifiedTextField->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont small = m_lastModifiedTextField->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    m_lastModifiedTextField->setFont(small);
    m_applicationVersionTextField->setFont(small);

    auto *layout = new QGridLayout(m_view.get());
    layout->setContentsMargins(12, 5, 14, 5);
    layout->setHorizontalSpacing(10);
    layout->setVerticalSpacing(1);
    layout->addWidget(m_applicationImageView, 0, 0, 2, 1);
    layout->addWidget(m_appNameTextField, 0, 1);
    layout->addWidget(m_lastModifiedTextField, 0, 2);
    layout->addWidget(m_applicationVersionTextField, 1, 1, 1, 2);
    layout->setColumnStretch(1, 1);
    m_view->setMinimumWidth(300);
    // Names and versions come from the archives.
    for (QLabel *label : { m_appNameTextField, m_applicationVersionTextField, m_lastModifiedTextField })
        label->setTextFormat(Qt::PlainText);
    // Labels start in their resting colours.
    m_view->mouseExited();
}

void QDMenuViewController::loadData(const QDArchiveModel &archive)
{
    m_archiveModel = archive;
    m_applicationImageView->setPixmap(ArchiveText::icon(archive, kIconSize));
    if (archive.lastModifiedDate().isValid())
        m_lastModifiedTextField->setText(ArchiveText::date(archive));
    if (const std::optional<QString> name = archive.appName())
        m_appNameTextField->setText(*name);
    const std::optional<QString> version = archive.version();
    const std::optional<QString> build = archive.build();
    if (version && build)
        m_applicationVersionTextField->setText(u"Version %1 (%2)"_s.arg(*version, *build));
}

void QDMenuViewController::loadPackage(const BuildPackage &package)
{
    m_applicationImageView->setPixmap(PackageText::icon(package, kIconSize));
    m_lastModifiedTextField->setText(PackageText::date(package));
    if (!package.appName.isEmpty())
        m_appNameTextField->setText(package.appName);
    if (!package.version.isEmpty() && !package.build.isEmpty())
        m_applicationVersionTextField->setText(u"Version %1 (%2)"_s.arg(package.version, package.build));
}

bool QDMenuViewController::isBuildSlot(const QAction *action)
{
    return action && action->property(kBuildSlotProperty).toBool();
}

void QDMenuViewController::markBuildSlot(QAction *action)
{
    action->setProperty(kBuildSlotProperty, true);
}
