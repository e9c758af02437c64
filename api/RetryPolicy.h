#pragma once

#include "api/HttpTransfer.h"

#include <QString>

#include <chrono>
#include <optional>

// Whether a call that failed on the way to the service deserves another try, and how long to
// wait before it. Only the transport's failures qualify: a refused, reset or stalled connection,
// a time-out, and an HTTP 5xx that is not the service's reply envelope. A refusal by the service
// (an envelope), a 4xx, and anything else (TLS, name resolution, a reply too large, a body that
// cannot be read) are final: trying again would meet the same answer.
//
// Waits grow 1 s, 2 s, 4 s … up to maxWait; each is scaled by a jitter between 0.5 and 1, so that
// many clients cut off by one outage do not all come back in the same second.
struct RetryPolicy
{
    static constexpr std::chrono::milliseconds kFirstWait { 1000 };
    static constexpr std::chrono::milliseconds kDefaultMaxWait { 30000 };

    int retries = 0; // tries after the first; 0: none
    std::chrono::milliseconds maxWait = kDefaultMaxWait;
    std::chrono::milliseconds firstWait = kFirstWait;

    // The reason to try again, for the user ("连接被重置"), or nothing when the failure is final.
    // httpStatus is 0 when no reply arrived; envelope tells whether the reply was the service's.
    static std::optional<QString> retryReason(TransferFailure transport, int httpStatus, bool envelope);
    // The wait before retry number retry (1 for the first); jitter in [0, 1].
    std::chrono::milliseconds waitBefore(int retry, double jitter) const;
};
