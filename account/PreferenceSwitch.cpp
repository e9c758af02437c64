#include "account/PreferenceSwitch.h"

#include "app/Preferences.h"

#include <QCheckBox>

void PreferenceSwitch::load(QCheckBox *box, const QString &key)
{
    box->setChecked(Preferences::intValue(key) == 1);
}

void PreferenceSwitch::store(const QCheckBox *box, const QString &key)
{
    const long state = box->isChecked() ? 1 : 0;
    Preferences::setValue(key, QString::number(state));
    Preferences::flush();
}
