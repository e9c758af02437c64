#pragma once

#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <mutex>

// Counts failed attempts (at a password, say) per key, an address or an account, over a sliding
// window. Once a key has used up its failures it is refused until the oldest of them has left the
// window, whatever it tries. Thread-safe.
class AttemptLimiter final
{
public:
    using Clock = std::function<qint64()>; // milliseconds, steady

    AttemptLimiter(int maxFailures, qint64 windowSeconds, Clock clock = {});

    // Seconds until key may try again; 0 when it may now.
    qint64 blockedFor(const QString &key);
    void recordFailure(const QString &key);
    // Forgets key's failures (an account after a successful login).
    void clear(const QString &key);

private:
    void prune(QList<qint64> &times, qint64 now) const;

    int m_maxFailures;
    qint64 m_windowMs;
    Clock m_clock;
    QHash<QString, QList<qint64>> m_failures;
    int m_recordsSinceSweep = 0;
    std::mutex m_lock;
};
