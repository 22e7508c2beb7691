#pragma once
// Which clients may hand documents to the relay, where it listens, and a throttle that keeps
// refusals from flooding the activity log.
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

namespace swn {

// A dual-stack listener reports IPv4 peers as ::ffff:a.b.c.d; this gives them as IPv4 addresses,
// so one client has one form (for counting, matching and showing). Other addresses are unchanged.
QHostAddress PlainAddress(const QHostAddress& address);

class AllowedClients {
public:
    // Addresses and prefixes ("10.0.0.0/8", "::1", "fd00::/8") separated by commas and/or blanks.
    // A link-local entry may name its link ("fe80::1%eth0"); it then admits peers on that link only.
    // Entries that do not parse are listed in invalidEntries and ignored; a text whose every
    // entry is invalid admits nobody. mayBeCut: the settings reader says the value reached its
    // length limit, so its end may be missing; then the list admits nobody whatever it holds,
    // since a cut entry ("100.0.0.0/2" from "100.0.0.0/24") can admit what the full one does not.
    static AllowedClients parse(const QString& text, QStringList* invalidEntries = nullptr, bool mayBeCut = false);

    // No restriction was given: any client.
    bool isOpen() const { return open_; }
    bool allows(const QHostAddress& peer) const;
    // A list was given and admits nobody (it may have been cut, or no entry is valid).
    bool admitsNobody() const { return !open_ && entries_.isEmpty(); }
    bool mayHaveBeenCut() const { return cut_; }
    // "any client", the accepted entries in canonical form, or "no client: " and why.
    QString describe() const;
    int entryCount() const { return int(entries_.size()); }

private:
    struct Entry {
        QHostAddress network;
        int prefix = 0;
    };
    bool open_ = true;
    bool cut_ = false;
    QList<Entry> entries_;
};

// Where to listen: addresses (IPv4 and IPv6, with a scope where needed, no prefixes, the same
// strict syntax as above)
// separated by commas and/or blanks. No text: every interface. A text that may have been cut or
// that holds no valid entry: nowhere, so that a damaged value never opens more than was asked for.
class ListenAddresses {
public:
    static ListenAddresses parse(const QString& text, QStringList* invalidEntries = nullptr, bool mayBeCut = false);

    bool everyInterface() const { return every_; }
    // Text was given and nothing may be listened on.
    bool nowhere() const { return !every_ && addresses_.isEmpty(); }
    bool usable() const { return !nowhere(); }
    bool mayHaveBeenCut() const { return cut_; }
    // What SocketArray::Listen takes: the valid entries in the order given, each once, IPv4-mapped
    // ones as IPv4; empty for every interface (and when nowhere()).
    const QList<QHostAddress>& addresses() const { return addresses_; }
    // "every interface", the addresses ("127.0.0.1, ::1"), or "nowhere: " and why.
    QString describe() const;

private:
    bool every_ = true;
    bool cut_ = false;
    QList<QHostAddress> addresses_;
};

// At most one log line per key (for instance a peer address) per interval, and every line says how
// many events it stands for, so a burst is a line or two and no count is lost. The number of keys
// and the lines across all keys per interval are bounded, so a scan cannot flood the log or the
// memory; events of a key that had to be forgotten are kept as one count for a summary line.
class LogThrottle {
public:
    struct Line {
        QString key;
        qint64 count = 0; // events the line reports
    };

    explicit LogThrottle(qint64 intervalMs = 60000, int maxKeys = 1024, int maxLinesPerInterval = 100);

    // Notes one event of `key` (nowMs: a monotonic clock reading). Returns the number of events a
    // line written now reports (this one and the key's events held back since its last line), or
    // 0: the line is held back and its count waits for takeDue.
    qint64 note(const QString& key, qint64 nowMs);
    // The same as a yes or no; `count` (if given) gets what note() returns.
    bool shouldLog(const QString& key, qint64 nowMs, qint64* count = nullptr);
    // The lines now due: keys with events held back whose interval has passed since their last
    // line (or that never had a line), the longest waiting first, within the bound on lines. For a
    // periodic sweep; cheap while nothing is held back. all: every key with events held back, at
    // once and beyond the bound on lines (the table's bound still holds), as when the relay ends.
    QList<Line> takeDue(qint64 nowMs, bool all = false);
    // Events held back whose key had to be forgotten, for one summary line; at most once per
    // interval (unless all), 0 otherwise (the count then waits for a later call).
    qint64 takeSuppressed(qint64 nowMs, bool all = false);
    // Events noted and not yet reported by any line, summary included.
    qint64 heldBack() const { return heldInKeys_ + suppressed_; }
    int keyCount() const { return int(keys_.size()); }

private:
    struct Entry {
        qint64 sinceMs = 0;  // last line, or first event while there was none
        qint64 pending = 0;  // events held back
        bool logged = false; // a line was written within the key's life
    };
    bool quietFor(const Entry& e, qint64 nowMs) const;
    bool spendLine(qint64 nowMs);
    qint64 report(Entry& e, qint64 nowMs);
    void makeRoom(qint64 nowMs);

    qint64 intervalMs_;
    int maxKeys_;
    int maxLines_;
    QHash<QString, Entry> keys_;
    qint64 heldInKeys_ = 0;
    qint64 windowStart_ = 0;
    bool windowStarted_ = false;
    int linesInWindow_ = 0;
    qint64 suppressed_ = 0;
    qint64 lastSummaryMs_ = 0;
    bool summaryWritten_ = false;
};

} // namespace swn
