#include "ui/QDButton.h"

#include <QAbstractButton>
#include <QPalette>

void QDButton::setTitleColor(QAbstractButton *button, const QColor &color)
{
    if (!button)
        return;
    QPalette palette = button->palette();
    // Push buttons draw their title with ButtonText, check boxes and radio buttons with WindowText.
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::ButtonText, color);
        palette.setColor(group, QPalette::WindowText, color);
    }
    button->setPalette(palette);
}
