#pragma once

#include <QString>

class QCheckBox;

// The on/off settings of the preference panes: stored as the text of the check box state
// ("1" on, "0" off), read back by their integer value, of which only 1 counts as on.
namespace PreferenceSwitch {
void load(QCheckBox *box, const QString &key);
void store(const QCheckBox *box, const QString &key);
} // namespace PreferenceSwitch
