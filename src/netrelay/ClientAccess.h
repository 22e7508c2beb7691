#pragma once
// Which clients may hand documents to the relay, and a throttle that keeps refusals from
// flooding the activity log.
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

namespace swn {

class AllowedClients {
public:
    // Addresses and prefixes ("10.0.0.0/8", "::1", "fd00::/8") separated by commas and/or blanks.
    // Entries that do not parse are listed in invalidEntries and ignored; a text whose every
    // entry is invalid admits nobody.
    static AllowedClients parse(const QString& text, QStringList* invalidEntries = nullptr);

    // No restriction was given: any client.
    bool isOpen() const { return open_; }
    bool allows(const QHostAddress& peer) const;
    // "any client", "no client", or the accepted entries in canonical form.
    QString describe() const;
    int entryCount() const { return int(entries_.size()); }

private:
    struct Entry {
        QHostAddress network;
        int prefix = 0;
    };
    bool open_ = true;
    QList<Entry> entries_;
};

// At most one log line per key (for instance a peer address) per interval, with a bounded number
// of keys and a bound on lines across all keys, so a scan cannot flood the log or the memory.
class LogThrottle {
public:
    explicit LogThrottle(qint64 intervalMs = 60000, int maxKeys = 1024, int maxLinesPerInterval = 100);

    // nowMs is a monotonic clock reading.
    bool shouldLog(const QString& key, qint64 nowMs);
    // Lines held back since the last call, for one summary line.
    qint64 takeSuppressed() { return std::exchange(suppressed_, 0); }
    int keyCount() const { return int(last_.size()); }

private:
    qint64 intervalMs_;
    int maxKeys_;
    int maxLines_;
    QHash<QString, qint64> last_;
    qint64 windowStart_ = 0;
    bool windowStarted_ = false;
    int linesInWindow_ = 0;
    qint64 suppressed_ = 0;
};

} // namespace swn
