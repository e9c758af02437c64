#include "ui/MenuBarStatusItem.h"

#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

using namespace Qt::StringLiterals;

MenuBarStatusItem::MenuBarStatusItem(QMainWindow *window, QObject *parent)
    : StatusItem(parent)
    , m_window(window)
{ }

MenuBarStatusItem::~MenuBarStatusItem()
{
    if (m_window && m_shownMenu)
        m_window->menuBar()->removeAction(m_shownMenu->menuAction());
}

void MenuBarStatusItem::show()
{
    update();
}

bool MenuBarStatusItem::popUpMenu()
{
    if (!isEnabled() || !menu() || !m_window)
        return false;
    menu()->popup(m_window->mapToGlobal(QPoint(0, m_window->menuBar()->height())));
    return true;
}

void MenuBarStatusItem::update()
{
    if (!m_window)
        return;
    if (m_shownMenu != menu()) {
        if (m_shownMenu)
            m_window->menuBar()->removeAction(m_shownMenu->menuAction());
        m_shownMenu = menu();
        if (m_shownMenu) {
            m_shownMenu->setTitle(u"Quillo"_s);
            m_window->menuBar()->addMenu(m_shownMenu);
        }
    }
    if (m_shownMenu)
        m_shownMenu->menuAction()->setEnabled(isEnabled());
}
