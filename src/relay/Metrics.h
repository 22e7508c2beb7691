#pragma once
// What the relay has done, counted for a scraper in the Prometheus text format. Counting is a few
// atomic operations, so the delivery workers count as they go; rendering reads a snapshot.
#include <QByteArray>
#include <QString>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>

namespace swn {

// Counts what the relay does, for a scraper; every member may be called from any thread.
class Metrics {
public:
    enum class Counter { DocumentsAccepted, DocumentsDelivered, DocumentsKept, DocumentsFailed, RecipientsRefused,
                         PostOfficeRecordsFound, PostOfficeRecordsDelivered, PostOfficeRecordsSetAside };
    enum class Refusal { NotAllowed, NoSlot, TooLarge, BadRequest, Browser, Timeout };
    struct SpoolStats { qint64 entries = 0; double oldestAgeSeconds = 0; qint64 failedEntries = 0; };

    // Upper bounds of the delivery time histogram's buckets, in seconds (+Inf follows).
    static constexpr std::array<double, 14> kDeliveryBuckets{0.01, 0.05, 0.1, 0.25, 0.5, 1,   2.5,
                                                              5,    10,   30,  60,   120, 300, 600};

    // Counters only grow: n <= 0 is ignored.
    void Add(Counter counter, qint64 n = 1);
    void SmtpReply(int code);            // counted by class 2xx, 3xx, 4xx, 5xx; anything else ignored
    void ServerTookMail(const QString& server); // by server (host:port); at most kMaxServers of them
    void ObserveDelivery(double seconds); // one delivery attempt's duration; NaN and infinities are ignored
    void ConnectionOpened();
    void ConnectionClosed();
    void ConnectionRefused(Refusal why);
    void SetTrackerLoginValid(bool valid);
    // Called at scrape time on the scraping thread; must be cheap (the spool keeps an index in memory).
    void SetSpoolProbe(std::function<SpoolStats()> probe);
    QByteArray Render() const;           // Prometheus text exposition format 0.0.4

    static constexpr size_t kMaxServers = 32;

private:
    static constexpr int kCounters = int(Counter::PostOfficeRecordsSetAside) + 1;
    static constexpr int kRefusals = int(Refusal::Timeout) + 1;

    std::array<std::atomic<qint64>, kCounters> counters_{};
    std::array<std::atomic<qint64>, 4> replies_{}; // 2xx .. 5xx
    std::array<std::atomic<qint64>, kRefusals> refused_{};
    std::atomic<qint64> connectionsOpen_{0};
    std::atomic<bool> trackerLoginValid_{false};

    // The histogram's buckets, sum and count change together, so that a scrape never sees a
    // count that differs from its +Inf bucket.
    mutable std::mutex histogramMutex_;
    std::array<qint64, kDeliveryBuckets.size() + 1> bucketCounts_{}; // per bucket, not cumulative
    double durationSum_ = 0;
    qint64 durationCount_ = 0;

    mutable std::mutex serversMutex_;
    std::map<QByteArray, qint64> servers_;

    mutable std::mutex probeMutex_;
    std::function<SpoolStats()> probe_;
};

} // namespace swn
