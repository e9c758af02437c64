#include "app/NotificationCenter.h"

#include "app/Logging.h"

#include <QCoreApplication>
#include <QThread>

NotificationCenter &NotificationCenter::defaultCenter()
{
    static NotificationCenter *center = new NotificationCenter;
    return *center;
}

void NotificationCenter::addObserver(QObject *context, const QString &name, std::function<void()> handler)
{
    Q_ASSERT(context);
    const bool known = std::any_of(m_observers.cbegin(), m_observers.cend(),
                                   [context](const Observer &o) { return o.key == context; });
    if (!known)
        connect(context, &QObject::destroyed, this, [this, context] { forget(context); });
    m_observers.append({context, context, name, std::move(handler)});
}

void NotificationCenter::removeObserver(QObject *context, const QString &name)
{
    m_observers.removeIf([&](const Observer &o) {
        return o.key == context && (name.isEmpty() || o.name == name);
    });
}

void NotificationCenter::post(const QString &name)
{
    Q_ASSERT(!QCoreApplication::instance() || QThread::currentThread() == QCoreApplication::instance()->thread());
    qCDebug(lcApp) << "post" << name;
    // A handler may add or remove observers (even destroy its own context); work on a copy and
    // check that each context is still alive and still registered before calling it.
    const QList<Observer> snapshot = m_observers;
    for (const Observer &observer : snapshot) {
        if (observer.name != name || !observer.context)
            continue;
        const bool stillRegistered = std::any_of(m_observers.cbegin(), m_observers.cend(), [&](const Observer &o) {
            return o.key == observer.key && o.name == name;
        });
        if (stillRegistered && observer.handler)
            observer.handler();
    }
}

int NotificationCenter::observerCount(const QString &name) const
{
    return static_cast<int>(std::count_if(m_observers.cbegin(), m_observers.cend(),
                                          [&](const Observer &o) { return o.name == name && o.context; }));
}

void NotificationCenter::forget(QObject *context)
{
    m_observers.removeIf([context](const Observer &o) { return o.key == context; });
}
