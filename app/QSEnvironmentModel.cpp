#include "app/QSEnvironmentModel.h"

#include <QMutex>
#include <QMutexLocker>

QSEnvironmentModel *QSEnvironmentModel::sharedEnvironment()
{
    static QMutex lock;
    static QSEnvironmentModel *instance = nullptr;
    QMutexLocker locker(&lock);
    if (!instance)
        instance = new QSEnvironmentModel;
    return instance;
}

void QSEnvironmentModel::setObject(const QVariant &value, const QString &key)
{
    if (!value.isValid() || key.isNull())
        return;
    m_data.insert(key, value);
}

QVariant QSEnvironmentModel::objectForKey(const QString &key) const
{
    return m_data.value(key);
}
