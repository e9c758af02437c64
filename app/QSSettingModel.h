#pragma once

#include <QString>
#include <QVariant>

// A settings facade that keeps its values in the preferences store under "setting_<name>".
class QSSettingModel final
{
public:
    static QString getKey(const QString &name);
    static void setValue(const QVariant &value, const QString &name);
    static QVariant valueForKey(const QString &name);
    // Stores the value only when nothing is stored under the name yet; returns the given value.
    static QVariant setDefaultValueWith(const QVariant &value, const QString &name);
};
