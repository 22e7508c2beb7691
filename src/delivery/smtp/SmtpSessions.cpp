// The clients kept between mails, shared by every worker: at most so many sessions open at once,
// each ended with QUIT once unused for a few seconds, and noticed at once when the server ends it.
// And the servers' rests after a failure or a quota reply.
#include "delivery/smtp/SmtpSessions.h"

#include "delivery/smtp/SmtpInternal.h"

#include <QDateTime>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace swn {

namespace smtp {

namespace {

// A client waiting for a free session looks this often whether the relay stops meanwhile.
constexpr auto kWaitStep = std::chrono::milliseconds(200);
// An idle session is watched for the server's close once unused this long; the reaper looks at
// its sessions at least this often.
constexpr auto kWatchAfter = std::chrono::milliseconds(200);
constexpr auto kLongestSleep = std::chrono::milliseconds(1000);

struct Idle {
    std::unique_ptr<SmtpClient> client;
    Clock::time_point since;
};

// One pool for the process. The reaper thread ends idle sessions: with QUIT when they have been
// unused too long or the relay asked for it, at once when the server has closed its side.
class Pool {
public:
    static Pool& Instance()
    {
        // Never destroyed: workers of a relay that ends may still return clients.
        static Pool* pool = new Pool;
        return *pool;
    }

    std::unique_ptr<SmtpClient> borrow(const QByteArray& server, DeliveryContext* context, quint64 generation,
                                       quint64* endGeneration);
    void giveBack(std::unique_ptr<SmtpClient> client, quint64 endGeneration);
    void configure(const SmtpSessionLimits& limits);
    void endAll(bool wait);

private:
    Pool();
    void wake();
    void reap();
    // Ends sessions handed to the reaper; called without the lock.
    static void end(std::vector<std::unique_ptr<SmtpClient>>& clients);

    std::mutex mutex_;
    std::condition_variable freed_; // a session came free, or the count of open ones fell
    std::condition_variable ended_; // the reaper finished a round of endings
    SmtpSessionLimits limits_;
    int existing_ = 0;              // sessions held: clients lent out, idle, or ending
    std::vector<Idle> idle_;        // the most recently used last
    std::vector<std::unique_ptr<SmtpClient>> toEnd_;
    quint64 endGeneration_ = 0;     // EndSmtpSessions(): clients lent before it end on return
    int ending_ = 0;                // sessions the reaper is ending now
    int wakeFd_ = -1;
    std::thread reaper_;
};

Pool::Pool() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    reaper_ = std::thread([this] { reap(); });
    reaper_.detach();
}

void Pool::wake()
{
    const uint64_t one = 1;
    if (wakeFd_ >= 0)
        (void)!::write(wakeFd_, &one, sizeof one);
}

std::unique_ptr<SmtpClient> Pool::borrow(const QByteArray& server, DeliveryContext* context, quint64 generation,
                                         quint64* endGeneration)
{
    std::unique_lock lock(mutex_);
    for (;;) {
        // The session most recently used with this server: it is the likeliest to be open still.
        for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
            if (it->client->server == server) {
                std::unique_ptr<SmtpClient> client = std::move(it->client);
                idle_.erase(std::next(it).base());
                *endGeneration = endGeneration_;
                return client;
            }
        }
        const bool room = limits_.maxConnections <= 0 || existing_ < limits_.maxConnections;
        if (room) {
            ++existing_;
            *endGeneration = endGeneration_;
            lock.unlock();
            auto client = std::make_unique<SmtpClient>();
            return client;
        }
        if (!idle_.empty() && toEnd_.empty() && ending_ == 0) {
            // A session open to another server makes room: the longest unused one ends. One at a
            // time: it counts as open until it has said QUIT.
            toEnd_.push_back(std::move(idle_.front().client));
            idle_.erase(idle_.begin());
            wake();
        }
        if ((context && context->Stopping()) || CancelGeneration() != generation)
            return nullptr;
        freed_.wait_for(lock, kWaitStep);
    }
}

void Pool::giveBack(std::unique_ptr<SmtpClient> client, quint64 endGeneration)
{
    std::lock_guard lock(mutex_);
    const bool over = limits_.maxConnections > 0 && existing_ > limits_.maxConnections;
    const bool ends = endGeneration != endGeneration_ || over || limits_.idleSeconds <= 0;
    if (ends && (client->socket != CURL_SOCKET_BAD || over)) {
        toEnd_.push_back(std::move(client));
        // Only then: the reaper finds newly idle sessions by itself, so a busy relay does not wake
        // it with every mail.
        wake();
    } else {
        // Nothing open, or open and kept: the client stays, with what it learnt of the server.
        idle_.push_back({std::move(client), Clock::now()});
    }
    freed_.notify_one();
}

void Pool::configure(const SmtpSessionLimits& limits)
{
    std::lock_guard lock(mutex_);
    limits_ = limits;
    freed_.notify_all();
    wake();
}

void Pool::endAll(bool wait)
{
    std::unique_lock lock(mutex_);
    ++endGeneration_;
    for (Idle& idle : idle_)
        toEnd_.push_back(std::move(idle.client));
    idle_.clear();
    wake();
    if (wait) {
        // QUIT waits a few seconds at most for each reply; the reaper ends them one after another.
        ended_.wait_for(lock, std::chrono::seconds(10), [this] { return toEnd_.empty() && ending_ == 0; });
    }
}

void Pool::end(std::vector<std::unique_ptr<SmtpClient>>& clients)
{
    // Side by side: at the end of the process every session gets its few seconds for QUIT at
    // once, however many there are and however silent their server.
    std::vector<std::thread> quitting;
    for (size_t i = 1; i < clients.size(); ++i)
        quitting.emplace_back([client = clients[i].get()] { EndConnection(*client); });
    if (!clients.empty())
        EndConnection(*clients.front());
    for (std::thread& t : quitting)
        t.join();
    clients.clear();
}

void Pool::reap()
{
    std::vector<pollfd> fds;
    std::vector<SmtpClient*> watched;
    for (;;) {
        std::vector<std::unique_ptr<SmtpClient>> ending;
        int timeoutMs = 0;
        {
            std::unique_lock lock(mutex_);
            const auto now = Clock::now();
            const auto idleFor = std::chrono::seconds(std::max(0, limits_.idleSeconds));
            for (auto it = idle_.begin(); it != idle_.end();) {
                if (it->client->socket != CURL_SOCKET_BAD && now - it->since >= idleFor) {
                    ending.push_back(std::move(it->client));
                    it = idle_.erase(it);
                    continue;
                }
                ++it;
            }
            std::move(toEnd_.begin(), toEnd_.end(), std::back_inserter(ending));
            toEnd_.clear();
            ending_ += int(ending.size());
            fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
            watched.assign(1, nullptr);
            // Watched for the server's close once unused a moment: a socket watched while workers
            // take turns on it would wake this thread with every reply.
            auto until = now + kLongestSleep;
            for (const Idle& idle : idle_) {
                if (idle.client->socket == CURL_SOCKET_BAD)
                    continue;
                until = std::min(until, idle.since + idleFor);
                if (now - idle.since < kWatchAfter) {
                    until = std::min(until, idle.since + kWatchAfter);
                    continue;
                }
                fds.push_back(pollfd{idle.client->socket, POLLIN | POLLRDHUP, 0});
                watched.push_back(idle.client.get());
            }
            timeoutMs = int(std::max<qint64>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1));
        }
        if (!ending.empty()) {
            const int ended = int(ending.size());
            end(ending);
            std::lock_guard lock(mutex_);
            // Counted as open until they are closed, so that the limit holds on the wire.
            existing_ -= ended;
            ending_ = 0;
            freed_.notify_all();
            ended_.notify_all();
            continue;
        }
        const int ready = ::poll(fds.data(), nfds_t(fds.size()), timeoutMs);
        if (ready <= 0)
            continue;
        if (fds[0].revents) {
            uint64_t count = 0;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
        std::unique_lock lock(mutex_);
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            // The server spoke or closed while the session was idle: it ended the session (a 421
            // on its idle time-out, or a close). Only a client still idle, on the same socket,
            // is let go; without QUIT, as the server has gone.
            auto it = std::find_if(idle_.begin(), idle_.end(),
                                   [&](const Idle& idle) { return idle.client.get() == watched[i]; });
            if (it == idle_.end() || it->client->socket != fds[i].fd)
                continue;
            // Looked at again: the number may belong to a newer connection of the same client.
            pollfd again {fds[i].fd, POLLIN | POLLRDHUP, 0};
            if (::poll(&again, 1, 0) <= 0)
                continue;
            it->client->inStep = false;
            toEnd_.push_back(std::move(it->client));
            idle_.erase(it);
        }
    }
}

// Why and until when each server rests.
struct Rest {
    Clock::time_point until;
    Quota quota = Quota::None;
    int failures = 0;
    QString reason;
};

std::mutex restsMutex;
std::map<QByteArray, Rest>& Rests()
{
    static auto* rests = new std::map<QByteArray, Rest>;
    return *rests;
}

// Back-off after each further failure: a server away is looked at again within minutes; one
// that named its daily quota no sooner than an hour.
std::chrono::milliseconds RestFor(Quota quota, int failures)
{
    using namespace std::chrono;
    const int doublings = std::min(failures - 1, 8);
    switch (quota) {
    case Quota::Daily: return std::min<milliseconds>(hours(1) * (1 << std::min(doublings, 2)), hours(4));
    case Quota::Throttle: return std::min<milliseconds>(minutes(1) * (1 << doublings), minutes(15));
    case Quota::None: break;
    }
    return std::min<milliseconds>(seconds(30) * (1 << doublings), minutes(10));
}

} // namespace

ClientLease::ClientLease(const QByteArray& server, DeliveryContext* context, quint64 generation)
{
    // In the body: borrow() writes endGeneration_, which a member initialiser would overwrite.
    client_ = Pool::Instance().borrow(server, context, generation, &endGeneration_).release();
}

ClientLease::~ClientLease()
{
    if (client_)
        Pool::Instance().giveBack(std::unique_ptr<SmtpClient>(client_), endGeneration_);
}

qint64 ServerRestMs(const QByteArray& server, bool quotaOnly, QString* reason)
{
    std::lock_guard lock(restsMutex);
    const auto found = Rests().find(server);
    if (found == Rests().end() || (quotaOnly && found->second.quota == Quota::None))
        return 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(found->second.until - Clock::now());
    if (left.count() <= 0)
        return 0;
    if (reason)
        *reason = found->second.reason;
    return std::max<qint64>(1, left.count());
}

void ServerFailed(const QByteArray& server, Quota quota, const QString& reason)
{
    std::lock_guard lock(restsMutex);
    Rest& rest = Rests()[server];
    // A quota is not forgotten by a failure to connect meanwhile.
    const bool quotaHolds = rest.quota != Quota::None && Clock::now() < rest.until;
    if (quotaHolds && quota == Quota::None)
        return;
    // Counted once a rest: the mails that failed side by side in one spell are one failure.
    if (rest.failures > 0 && rest.quota == quota && Clock::now() < rest.until)
        return;
    rest.failures = rest.quota == quota ? rest.failures + 1 : 1;
    rest.quota = quota;
    rest.reason = reason;
    rest.until = Clock::now() + RestFor(quota, rest.failures);
}

void ServerTookMail(const QByteArray& server)
{
    std::lock_guard lock(restsMutex);
    Rests().erase(server);
}

} // namespace smtp

void ConfigureSmtpSessions(const SmtpSessionLimits& limits)
{
    smtp::Pool::Instance().configure(limits);
}

void EndSmtpSessions()
{
    smtp::Pool::Instance().endAll(false);
}

void FinishSmtpSessions()
{
    smtp::Pool::Instance().endAll(true);
}

void ForgetSmtpServerRests()
{
    std::lock_guard lock(smtp::restsMutex);
    smtp::Rests().clear();
}

QStringList RestingSmtpServers()
{
    QStringList lines;
    std::lock_guard lock(smtp::restsMutex);
    const auto now = smtp::Clock::now();
    for (const auto& [server, rest] : smtp::Rests()) {
        if (rest.until <= now)
            continue;
        const qint64 leftMs = std::chrono::duration_cast<std::chrono::milliseconds>(rest.until - now).count();
        const QString until = QDateTime::currentDateTime().addMSecs(leftMs).toString(QStringLiteral("HH:mm:ss"));
        lines << QStringLiteral("%1 until %2 (%3)").arg(QString::fromUtf8(server), until, rest.reason);
    }
    return lines;
}

} // namespace swn
