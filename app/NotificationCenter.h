#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

// The process-wide notification centre. Notifications carry a name and nothing else.
// Observers run synchronously inside post(), in the order they registered. An observer stays
// registered for as long as its context object exists and is dropped when it is destroyed, so a
// handler never runs for a destroyed object. Use it from the main thread only.
class NotificationCenter final : public QObject
{
    Q_OBJECT
public:
    static NotificationCenter &defaultCenter();

    void addObserver(QObject *context, const QString &name, std::function<void()> handler);
    // Removes the context's registrations for a name, or for every name when name is empty.
    void removeObserver(QObject *context, const QString &name = {});
    void post(const QString &name);

    int observerCount(const QString &name) const;

private:
    NotificationCenter() = default;
    void forget(QObject *context);

    struct Observer
    {
        QPointer<QObject> context;
        QObject *key = nullptr;
        QString name;
        std::function<void()> handler;
    };
    QList<Observer> m_observers;
};
