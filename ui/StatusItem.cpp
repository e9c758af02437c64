#include "ui/StatusItem.h"

#include <QMenu>

StatusItem::StatusItem(QObject *parent)
    : QObject(parent)
{ }

StatusItem::~StatusItem() = default;

void StatusItem::setMenu(QMenu *menu)
{
    if (m_menu == menu)
        return;
    if (m_menu)
        disconnect(m_menu, nullptr, this, nullptr);
    m_menu = menu;
    if (menu) {
        connect(menu, &QMenu::aboutToShow, this, &StatusItem::menuShown);
        connect(menu, &QMenu::aboutToHide, this, &StatusItem::menuHidden);
    }
    update();
}

void StatusItem::setEnabled(bool enabled)
{
    if (m_enabled == enabled)
        return;
    m_enabled = enabled;
    if (!enabled && m_menu && m_menu->isVisible())
        m_menu->close();
    update();
}

void StatusItem::setImage(const QIcon &image)
{
    m_image = image;
    update();
}

void StatusItem::setAlternateImage(const QIcon &image)
{
    m_alternateImage = image;
    update();
}

void StatusItem::setHighlightMode(bool on)
{
    m_highlightMode = on;
    update();
}

QIcon StatusItem::currentImage() const
{
    if (m_highlighted && !m_alternateImage.isNull())
        return m_alternateImage;
    if (!m_enabled && !m_image.isNull()) {
        // A disabled item looks greyed out, as the platform draws disabled icons.
        QIcon disabled;
        for (const QSize &size : m_image.availableSizes())
            disabled.addPixmap(m_image.pixmap(size, QIcon::Disabled));
        return disabled.isNull() ? m_image : disabled;
    }
    return m_image;
}

void StatusItem::menuShown()
{
    if (m_highlightMode) {
        m_highlighted = true;
        update();
    }
}

void StatusItem::menuHidden()
{
    if (m_highlighted) {
        m_highlighted = false;
        update();
    }
}
