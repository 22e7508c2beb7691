#include "relay/Metrics.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace swn {
namespace {

struct CounterInfo {
    const char* name;
    const char* help;
};

// In the order of Metrics::Counter.
constexpr CounterInfo kCounterInfo[] = {
    {"swnrelay_documents_accepted_total", "Mail documents taken in for delivery."},
    {"swnrelay_documents_delivered_total", "Mail documents handed over to the mail server or the mail component."},
    {"swnrelay_documents_kept_total", "Mail documents kept in the spool for a later attempt."},
    {"swnrelay_documents_failed_total", "Mail documents that can never be delivered (moved to failed/)."},
    {"swnrelay_recipients_refused_total", "Recipients the mail server refused."},
    {"swnrelay_postoffice_records_found_total", "Queued post office records found by the polls."},
    {"swnrelay_postoffice_records_delivered_total", "Post office records delivered and removed from the queue."},
    {"swnrelay_postoffice_records_set_aside_total", "Post office records set aside because they can never be sent."},
};

// In the order of Metrics::Refusal.
constexpr const char* kRefusalLabel[] = {"not_allowed", "no_slot", "too_large", "bad_request", "browser", "timeout"};

constexpr const char* kReplyClass[] = {"2xx", "3xx", "4xx", "5xx"};

// The shortest text that reads back as the same double; the exposition format's spelling of the
// special values.
QByteArray Number(double value)
{
    if (std::isnan(value))
        return QByteArrayLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QByteArrayLiteral("+Inf") : QByteArrayLiteral("-Inf");
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return QByteArray(buffer, int(result.ptr - buffer));
}

QByteArray Number(qint64 value) { return QByteArray::number(value); }

void Family(QByteArray& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void Sample(QByteArray& out, const char* name, const QByteArray& value, const char* label = nullptr,
            const char* labelValue = nullptr)
{
    out += name;
    if (label) {
        out += '{';
        out += label;
        out += "=\"";
        out += labelValue;
        out += "\"}";
    }
    out += ' ';
    out += value;
    out += '\n';
}

} // namespace

void Metrics::Add(Counter counter, qint64 n)
{
    const int i = int(counter);
    if (n > 0 && i >= 0 && i < kCounters)
        counters_[size_t(i)].fetch_add(n, std::memory_order_relaxed);
}

void Metrics::SmtpReply(int code)
{
    if (code >= 200 && code <= 599)
        replies_[size_t(code / 100 - 2)].fetch_add(1, std::memory_order_relaxed);
}

void Metrics::ServerTookMail(const QString& server)
{
    const QByteArray name = server.toUtf8();
    std::lock_guard lock(serversMutex_);
    // Servers that left the settings stay counted; past the bound, new names are not (a label
    // per name would grow without end over many reloads).
    const auto found = servers_.find(name);
    if (found != servers_.end())
        ++found->second;
    else if (servers_.size() < kMaxServers)
        servers_.emplace(name, 1);
}

void Metrics::ObserveDelivery(double seconds)
{
    if (!std::isfinite(seconds))
        return;
    // A clock that stepped back must not make the sum shrink.
    seconds = std::max(seconds, 0.0);
    size_t bucket = 0;
    while (bucket < kDeliveryBuckets.size() && seconds > kDeliveryBuckets[bucket])
        ++bucket;
    std::lock_guard lock(histogramMutex_);
    ++bucketCounts_[bucket];
    durationSum_ += seconds;
    ++durationCount_;
}

void Metrics::ConnectionOpened() { connectionsOpen_.fetch_add(1, std::memory_order_relaxed); }

void Metrics::ConnectionClosed() { connectionsOpen_.fetch_sub(1, std::memory_order_relaxed); }

void Metrics::ConnectionRefused(Refusal why)
{
    const int i = int(why);
    if (i >= 0 && i < kRefusals)
        refused_[size_t(i)].fetch_add(1, std::memory_order_relaxed);
}

void Metrics::SetTrackerLoginValid(bool valid) { trackerLoginValid_.store(valid, std::memory_order_relaxed); }

void Metrics::SetSpoolProbe(std::function<SpoolStats()> probe)
{
    std::lock_guard lock(probeMutex_);
    probe_ = std::move(probe);
}

QByteArray Metrics::Render() const
{
    QByteArray out;
    out.reserve(6000);
    auto counter = [&](Counter c) {
        const CounterInfo& info = kCounterInfo[int(c)];
        Family(out, info.name, "counter", info.help);
        Sample(out, info.name, Number(counters_[size_t(c)].load(std::memory_order_relaxed)));
    };
    counter(Counter::DocumentsAccepted);
    counter(Counter::DocumentsDelivered);
    counter(Counter::DocumentsKept);
    counter(Counter::DocumentsFailed);
    counter(Counter::RecipientsRefused);

    Family(out, "swnrelay_smtp_replies_total", "counter", "Replies of the mail server, by class.");
    for (size_t i = 0; i < replies_.size(); ++i)
        Sample(out, "swnrelay_smtp_replies_total", Number(replies_[i].load(std::memory_order_relaxed)), "class",
               kReplyClass[i]);

    Family(out, "swnrelay_smtp_server_mails_total", "counter", "Mails each SMTP server took.");
    {
        std::lock_guard lock(serversMutex_);
        for (const auto& [name, count] : servers_) {
            QByteArray escaped = name;
            escaped.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
            Sample(out, "swnrelay_smtp_server_mails_total", Number(count), "server", escaped.constData());
        }
    }

    // The probe is called without a lock of ours held, so that a slow or re-entrant one blocks
    // nobody but this scrape.
    std::function<SpoolStats()> probe;
    {
        std::lock_guard lock(probeMutex_);
        probe = probe_;
    }
    const double unknown = std::numeric_limits<double>::quiet_NaN();
    double entries = 0, failed = 0, oldest = 0;
    if (probe) {
        try {
            const SpoolStats stats = probe();
            entries = double(stats.entries);
            failed = double(stats.failedEntries);
            oldest = std::isfinite(stats.oldestAgeSeconds) ? std::max(stats.oldestAgeSeconds, 0.0) : unknown;
        } catch (...) {
            // A spool that cannot be read is unknown, not empty.
            entries = failed = oldest = unknown;
        }
    }
    Family(out, "swnrelay_spool_entries", "gauge", "Documents kept in the spool for another attempt.");
    Sample(out, "swnrelay_spool_entries", Number(entries));
    Family(out, "swnrelay_spool_failed_entries", "gauge", "Documents in the spool's failed/ folder.");
    Sample(out, "swnrelay_spool_failed_entries", Number(failed));
    Family(out, "swnrelay_spool_oldest_entry_age_seconds", "gauge",
           "Age of the oldest document kept in the spool (0 when none is kept).");
    Sample(out, "swnrelay_spool_oldest_entry_age_seconds", Number(oldest));

    std::array<qint64, kDeliveryBuckets.size() + 1> buckets;
    double sum = 0;
    qint64 count = 0;
    {
        std::lock_guard lock(histogramMutex_);
        buckets = bucketCounts_;
        sum = durationSum_;
        count = durationCount_;
    }
    Family(out, "swnrelay_delivery_duration_seconds", "histogram", "Duration of each delivery attempt.");
    qint64 cumulative = 0;
    for (size_t i = 0; i < buckets.size(); ++i) {
        cumulative += buckets[i];
        const QByteArray le = i < kDeliveryBuckets.size() ? Number(kDeliveryBuckets[i]) : QByteArrayLiteral("+Inf");
        Sample(out, "swnrelay_delivery_duration_seconds_bucket", Number(cumulative), "le", le.constData());
    }
    Sample(out, "swnrelay_delivery_duration_seconds_sum", Number(sum));
    Sample(out, "swnrelay_delivery_duration_seconds_count", Number(count));

    Family(out, "swnrelay_connections_open", "gauge", "Client connections of network relay mode open now.");
    const qint64 open = connectionsOpen_.load(std::memory_order_relaxed);
    Sample(out, "swnrelay_connections_open", Number(std::max<qint64>(open, 0)));
    Family(out, "swnrelay_connections_refused_total", "counter",
           "Client connections refused or closed early, by reason.");
    for (size_t i = 0; i < refused_.size(); ++i)
        Sample(out, "swnrelay_connections_refused_total", Number(refused_[i].load(std::memory_order_relaxed)), "reason",
               kRefusalLabel[i]);

    counter(Counter::PostOfficeRecordsFound);
    counter(Counter::PostOfficeRecordsDelivered);
    counter(Counter::PostOfficeRecordsSetAside);

    Family(out, "swnrelay_tracker_login_valid", "gauge", "1 when the last tracker login succeeded, else 0.");
    const bool loginValid = trackerLoginValid_.load(std::memory_order_relaxed);
    Sample(out, "swnrelay_tracker_login_valid", Number(qint64(loginValid ? 1 : 0)));
    return out;
}

} // namespace swn
