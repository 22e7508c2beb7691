#include "delivery/smtp/SmtpInternal.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace swn {

namespace {

std::mutex timeoutsMutex;
SmtpTimeouts timeouts;
// Advanced by CancelSmtpTransfers; an exchange begun under an older value ends.
std::atomic<quint64> cancelGeneration{0};

} // namespace

void SetSmtpTimeouts(const SmtpTimeouts& values)
{
    std::lock_guard lock(timeoutsMutex);
    timeouts = values;
}

SmtpTimeouts CurrentSmtpTimeouts()
{
    std::lock_guard lock(timeoutsMutex);
    return timeouts;
}

void CancelSmtpTransfers()
{
    ++cancelGeneration;
}

void SetSmtpTimeouts(int connectSeconds, int idleSeconds)
{
    SetSmtpTimeouts(SmtpTimeouts{connectSeconds, idleSeconds, idleSeconds, idleSeconds, idleSeconds, idleSeconds,
                                 idleSeconds});
}

namespace smtp {

quint64 CancelGeneration()
{
    return cancelGeneration.load();
}

int WaitFor(const Exchange& x, Step::Kind kind)
{
    switch (kind) {
    case Step::Mail: return x.waits.mailSeconds;
    case Step::Rcpt: return x.waits.rcptSeconds;
    case Step::Data: return x.waits.dataSeconds;
    default: return x.waits.greetingSeconds;
    }
}

// The client has one limit for every reply; the waits of RFC 5321 differ by command, and the
// connection's own 30 s must not cut the greeting short. They are kept here.
int WatchWaits(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
{
    auto* x = static_cast<Exchange*>(user);
    if (x->generation != cancelGeneration.load()) {
        x->timedOut = QStringLiteral("the transfer was cancelled");
        return 1;
    }
    const Clock::time_point now = Clock::now();
    if (!x->connected) {
        curl_off_t connectTime = 0;
        curl_easy_getinfo(x->curl, CURLINFO_CONNECT_TIME_T, &connectTime);
        if (connectTime > 0) {
            x->connected = true;
            x->waitSince = now;
            x->waitLimit = x->waits.greetingSeconds;
        } else if (now - x->started > std::chrono::seconds(x->waits.connectSeconds)) {
            x->connectTimedOut = true;
            x->timedOut = QStringLiteral("no connection within %1 seconds").arg(x->waits.connectSeconds);
            return 1;
        } else {
            return 0;
        }
    }
    Clock::time_point since = x->waitSince;
    int limit = x->waitLimit;
    if (x->inData) {
        if (uploaded != x->uploaded) {
            x->uploaded = uploaded;
            x->waitSince = since = now;
        }
        if (x->readDone) {
            since = std::max(since, x->readDoneAt);
            limit = x->waits.finalSeconds;
        } else {
            limit = x->waits.blockSeconds;
        }
    }
    if (limit <= 0 || now - since <= std::chrono::seconds(limit))
        return 0;
    x->timedOut = QStringLiteral("timed out after %1 seconds").arg(limit);
    x->timedOutInData = x->inData && !x->readDone;
    if (x->timedOutInData)
        x->timedOut = QStringLiteral("the server took no message data for %1 seconds").arg(limit);
    return 1;
}

} // namespace smtp

} // namespace swn
