#include "server/AttemptLimiter.h"

#include <QElapsedTimer>

namespace {

qint64 steadyMs()
{
    static QElapsedTimer started = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return started.elapsed();
}

constexpr int sweepEvery = 1024; // records between sweeps of keys whose failures have all expired

} // namespace

AttemptLimiter::AttemptLimiter(int maxFailures, qint64 windowSeconds, Clock clock)
    : m_maxFailures(maxFailures)
    , m_windowMs(windowSeconds * 1000)
    , m_clock(clock ? std::move(clock) : Clock(steadyMs))
{ }

void AttemptLimiter::prune(QList<qint64> &times, qint64 now) const
{
    while (!times.isEmpty() && times.constFirst() <= now - m_windowMs)
        times.removeFirst();
}

qint64 AttemptLimiter::blockedFor(const QString &key)
{
    std::lock_guard guard(m_lock);
    const auto it = m_failures.find(key);
    if (it == m_failures.end())
        return 0;
    const qint64 now = m_clock();
    prune(*it, now);
    if (it->size() < m_maxFailures)
        return 0;
    // Free again when the failure that filled the quota leaves the window.
    const qint64 freeAt = it->at(it->size() - m_maxFailures) + m_windowMs;
    return std::max<qint64>(1, (freeAt - now + 999) / 1000);
}

void AttemptLimiter::recordFailure(const QString &key)
{
    std::lock_guard guard(m_lock);
    const qint64 now = m_clock();
    QList<qint64> &times = m_failures[key];
    prune(times, now);
    times.append(now);
    // Kept bounded: only the newest failures decide, and expired keys go now and then.
    if (times.size() > m_maxFailures)
        times.remove(0, times.size() - m_maxFailures);
    if (++m_recordsSinceSweep >= sweepEvery) {
        m_recordsSinceSweep = 0;
        for (auto it = m_failures.begin(); it != m_failures.end();) {
            prune(*it, now);
            it = it->isEmpty() ? m_failures.erase(it) : std::next(it);
        }
    }
}

void AttemptLimiter::clear(const QString &key)
{
    std::lock_guard guard(m_lock);
    m_failures.remove(key);
}
