#include "upload/TransferRateEstimator.h"

#include <cmath>

using namespace Qt::StringLiterals;

void TransferRateEstimator::start(qint64 total, qint64 nowMs)
{
    m_samples.clear();
    m_total = total;
    m_sent = 0;
    m_samples.push_back({ nowMs, 0 });
}

void TransferRateEstimator::addSample(qint64 sent, qint64 total, qint64 nowMs)
{
    if (total > 0)
        m_total = total;
    if (!m_samples.empty() && nowMs < m_samples.back().ms)
        nowMs = m_samples.back().ms; // a clock that went back counts as no time
    m_sent = sent;
    m_samples.push_back({ nowMs, sent });
    // Keep one sample at or before the window's start, so the span covers the whole window.
    while (m_samples.size() > 2 && m_samples[1].ms <= nowMs - kWindowMs)
        m_samples.pop_front();
}

std::optional<double> TransferRateEstimator::bytesPerSecond() const
{
    if (m_samples.size() < 2)
        return std::nullopt;
    const Sample &first = m_samples.front();
    const Sample &last = m_samples.back();
    const qint64 span = last.ms - first.ms;
    if (span < kMinimumSpanMs)
        return std::nullopt;
    return std::max<double>(0.0, double(last.sent - first.sent) * 1000.0 / double(span));
}

std::optional<qint64> TransferRateEstimator::secondsRemaining() const
{
    const std::optional<double> rate = bytesPerSecond();
    if (!rate || *rate <= 0.0)
        return std::nullopt;
    const qint64 left = std::max<qint64>(0, m_total - m_sent);
    return qint64(std::ceil(double(left) / *rate));
}

QString TransferRateEstimator::formatRate(double bytesPerSecond)
{
    if (bytesPerSecond < 1024.0)
        return u"%1 B/s"_s.arg(qint64(bytesPerSecond));
    static const char *const units[] = { "KB/s", "MB/s", "GB/s" };
    double value = bytesPerSecond / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 2) {
        value /= 1024.0;
        ++unit;
    }
    const int decimals = value < 10.0 ? 2 : (value < 100.0 ? 1 : 0);
    return QString::number(value, 'f', decimals) + u' ' + QLatin1StringView(units[unit]);
}

QString TransferRateEstimator::formatDuration(qint64 seconds)
{
    seconds = std::max<qint64>(0, seconds);
    const qint64 h = seconds / 3600;
    const qint64 m = (seconds % 3600) / 60;
    const qint64 s = seconds % 60;
    if (h > 0)
        return u"%1:%2:%3"_s.arg(h).arg(m, 2, 10, QChar(u'0')).arg(s, 2, 10, QChar(u'0'));
    return u"%1:%2"_s.arg(m).arg(s, 2, 10, QChar(u'0'));
}

QString TransferRateEstimator::text() const
{
    const std::optional<double> rate = bytesPerSecond();
    if (!rate)
        return u"正在计算速度…"_s;
    const std::optional<qint64> left = secondsRemaining();
    if (!left)
        return formatRate(*rate);
    return formatRate(*rate) + u"，剩余 "_s + formatDuration(*left);
}
