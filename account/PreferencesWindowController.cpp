#include "account/PreferencesWindowController.h"

#include <QAction>
#include <QActionGroup>
#include <QShowEvent>
#include <QStackedWidget>
#include <QToolBar>

using namespace Qt::StringLiterals;

PreferencesWindowController::PreferencesWindowController(const QString &title, QWidget *parent)
    : QMainWindow(parent)
    , m_toolbar(new QToolBar(this))
    , m_stack(new QStackedWidget(this))
    , m_items(new QActionGroup(this))
{
    setObjectName(u"preferencesWindow"_s);
    setWindowTitle(title);
    m_toolbar->setObjectName(u"preferencesToolbar"_s);
    m_toolbar->setMovable(false);
    m_toolbar->setFloatable(false);
    m_toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_toolbar->setIconSize(QSize(32, 32));
    m_toolbar->toggleViewAction()->setEnabled(false);
    m_toolbar->toggleViewAction()->setVisible(false);
    addToolBar(Qt::TopToolBarArea, m_toolbar);
    setContextMenuPolicy(Qt::NoContextMenu);
    m_items->setExclusive(true);
    m_stack->setMinimumSize(440, 200);
    setCentralWidget(m_stack);
}

PreferencesWindowController::~PreferencesWindowController() = default;

void PreferencesWindowController::addPane(PreferencePane *pane)
{
    if (!pane || this->pane(pane->identifier()))
        return;
    m_panes.append(pane);
    m_stack->addWidget(pane->view());
    QAction *item = m_toolbar->addAction(pane->toolbarItemImage(), pane->toolbarItemLabel());
    item->setObjectName(u"toolbarItem"_s + pane->identifier());
    item->setCheckable(true);
    m_items->addAction(item);
    const QString identifier = pane->identifier();
    connect(item, &QAction::triggered, this, [this, identifier] { selectPane(identifier); });
    if (m_current < 0)
        selectPane(identifier);
}

bool PreferencesWindowController::selectPane(const QString &identifier)
{
    for (int i = 0; i < m_panes.size(); ++i) {
        PreferencePane *candidate = m_panes.at(i);
        if (candidate->identifier() != identifier)
            continue;
        // A hidden window refreshes its pane in front when it is shown.
        if (isVisible())
            candidate->viewWillAppear();
        m_current = i;
        m_stack->setCurrentWidget(candidate->view());
        m_items->actions().at(i)->setChecked(true);
        return true;
    }
    return false;
}

void PreferencesWindowController::showEvent(QShowEvent *event)
{
    // Only a real opening of the window refreshes the pane; a restore from minimised does not
    // count as the pane appearing.
    if (!event->spontaneous() && m_current >= 0)
        m_panes.at(m_current)->viewWillAppear();
    QMainWindow::showEvent(event);
}

void PreferencesWindowController::showWindow()
{
    show();
    raise();
    activateWindow();
}

QString PreferencesWindowController::currentIdentifier() const
{
    return m_current >= 0 ? m_panes.at(m_current)->identifier() : QString();
}

PreferencePane *PreferencesWindowController::pane(const QString &identifier) const
{
    for (PreferencePane *candidate : m_panes) {
        if (candidate->identifier() == identifier)
            return candidate;
    }
    return nullptr;
}
