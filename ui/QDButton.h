#pragma once

#include <QColor>

class QAbstractButton;

// Title colouring of buttons: the whole title is drawn in the given colour.
namespace QDButton {
void setTitleColor(QAbstractButton *button, const QColor &color);
}
