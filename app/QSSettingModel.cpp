#include "app/QSSettingModel.h"

#include "app/Preferences.h"

using namespace Qt::StringLiterals;

QString QSSettingModel::getKey(const QString &name)
{
    return u"setting_"_s + name;
}

void QSSettingModel::setValue(const QVariant &value, const QString &name)
{
    Preferences::setValue(getKey(name), value);
    Preferences::flush();
}

QVariant QSSettingModel::valueForKey(const QString &name)
{
    return Preferences::value(getKey(name));
}

QVariant QSSettingModel::setDefaultValueWith(const QVariant &value, const QString &name)
{
    if (!valueForKey(name).isValid())
        setValue(value, name);
    return value;
}
