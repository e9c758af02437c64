#include "api/RetryPolicy.h"

#include <algorithm>

using namespace Qt::StringLiterals;

std::optional<QString> RetryPolicy::retryReason(TransferFailure transport, int httpStatus, bool envelope)
{
    switch (transport) {
    case TransferFailure::ConnectionRefused:
        return u"连接被拒绝"_s;
    case TransferFailure::ConnectionReset:
        return u"连接中断"_s;
    case TransferFailure::TimedOut:
        return u"超时，没有进展"_s;
    case TransferFailure::Other:
        return std::nullopt;
    case TransferFailure::None:
        break;
    }
    if (httpStatus >= 500 && httpStatus <= 599 && !envelope)
        return u"服务器出错（HTTP %1）"_s.arg(httpStatus);
    return std::nullopt;
}

std::chrono::milliseconds RetryPolicy::waitBefore(int retry, double jitter) const
{
    using std::chrono::milliseconds;
    if (retry < 1 || maxWait <= milliseconds::zero())
        return milliseconds::zero();
    // Doubling stops once past the cap, long before the count could overflow.
    milliseconds wait = std::max(firstWait, milliseconds::zero());
    for (int i = 1; i < retry && wait > milliseconds::zero() && wait < maxWait; ++i)
        wait *= 2;
    wait = std::min(wait, maxWait);
    const double scale = 0.5 + 0.5 * std::clamp(jitter, 0.0, 1.0);
    return milliseconds(qint64(double(wait.count()) * scale));
}
