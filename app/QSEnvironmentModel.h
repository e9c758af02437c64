#pragma once

#include <QString>
#include <QVariantMap>

// A process-wide, in-memory key/value map; never persisted. The map itself is used from the
// main thread only; creating the shared instance is safe from any thread.
class QSEnvironmentModel final
{
public:
    static QSEnvironmentModel *sharedEnvironment();

    // Does nothing when the value or the key is absent.
    void setObject(const QVariant &value, const QString &key);
    QVariant objectForKey(const QString &key) const;
    QVariantMap &data() { return m_data; }
    void setData(const QVariantMap &data) { m_data = data; }

private:
    QSEnvironmentModel() = default;
    QVariantMap m_data;
};
