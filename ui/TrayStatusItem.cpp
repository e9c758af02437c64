#include "ui/TrayStatusItem.h"

#include <QCursor>
#include <QMenu>

using namespace Qt::StringLiterals;

TrayStatusItem::TrayStatusItem(QObject *parent)
    : StatusItem(parent)
    , m_tray(new QSystemTrayIcon(this))
{
    m_tray->setToolTip(u"Quillo"_s);
    connect(m_tray, &QSystemTrayIcon::activated, this, &TrayStatusItem::trayActivated);
}

TrayStatusItem::~TrayStatusItem()
{
    // The menu is not ours; the tray must not reach it once we are gone.
    m_tray->setContextMenu(nullptr);
}

void TrayStatusItem::show()
{
    m_tray->show();
}

bool TrayStatusItem::popUpMenu()
{
    if (!isEnabled() || !menu())
        return false;
    const QRect where = m_tray->geometry();
    menu()->popup(where.isValid() ? where.bottomLeft() : QCursor::pos());
    return true;
}

void TrayStatusItem::update()
{
    m_tray->setIcon(currentImage());
    QMenu *wanted = isEnabled() ? menu() : nullptr;
    if (m_tray->contextMenu() != wanted)
        m_tray->setContextMenu(wanted);
}

void TrayStatusItem::trayActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
        emit activated();
}
