#pragma once

#include <QString>
#include <QtGlobal>

#include <deque>
#include <optional>

// Transfer rate and time remaining of one upload, from (bytes sent, time) samples.
//
// The rate is taken over a sliding window of the last few seconds, so that it follows a link
// whose speed changes but does not jump with every report; before the first half second it is
// unknown. Times are milliseconds on any monotonic clock chosen by the caller, so tests can feed
// exact values.
class TransferRateEstimator final
{
public:
    static constexpr qint64 kWindowMs = 3000;
    static constexpr qint64 kMinimumSpanMs = 500;

    void start(qint64 total, qint64 nowMs);
    void addSample(qint64 sent, qint64 total, qint64 nowMs);

    qint64 total() const { return m_total; }
    qint64 sent() const { return m_sent; }
    // Bytes per second, or nullopt while too little time has passed.
    std::optional<double> bytesPerSecond() const;
    // Whole seconds left at the current rate (rounded up), or nullopt while the rate is unknown
    // or zero.
    std::optional<qint64> secondsRemaining() const;

    // "850 B/s", "12.3 KB/s", "4.56 MB/s", "1.02 GB/s" (1 KB = 1024 B).
    static QString formatRate(double bytesPerSecond);
    // "0:07", "12:05", "1:02:03".
    static QString formatDuration(qint64 seconds);
    // "4.56 MB/s，剩余 0:42"; "正在计算速度…" while the rate is unknown.
    QString text() const;

private:
    struct Sample
    {
        qint64 ms;
        qint64 sent;
    };
    std::deque<Sample> m_samples;
    qint64 m_total = 0;
    qint64 m_sent = 0;
};
