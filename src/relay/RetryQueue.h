#pragma once
// The retry queue of network relay mode: a document a client sent is delivered on a worker, or
// kept in the spool before the client hears that it was taken; kept documents are tried again
// with a back-off, one at a time while the server is away, and go to failed/ once they are too
// old and fail once more. The administrator's verbs (list, flush, delete, requeue) work on it.
#include "delivery/Transport.h"
#include "relay/Notifier.h"
#include "relay/SendLimits.h"
#include "relay/Spool.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

namespace swn {

class RelayCore;

class RetryQueue : public QObject {
    Q_OBJECT
public:
    struct Timing {
        qint64 firstRetryMs = 30 * 1000;
        qint64 longestRetryMs = 15 * 60 * 1000;
        qint64 keepMs = qint64(5) * 24 * 3600 * 1000; // then, after one more failed try, failed/
        // While the server is away: how long new documents go straight to the spool, and how
        // often a kept one finds out whether it is back, whatever its own back-off says.
        qint64 probeMs = 30 * 1000;
    };

    explicit RetryQueue(RelayCore& core, std::shared_ptr<const MonotonicClock> clock = SteadyClock(),
                        QObject* parent = nullptr);
    ~RetryQueue() override;

    // Every delivery goes through `transport`; null: the one the settings choose at that moment.
    void SetTransport(std::shared_ptr<const MailTransport> transport) { transport_ = std::move(transport); }
    void SetTiming(const Timing& timing) { timing_ = timing; }
    // The spool it works, open and locked by the caller; what lies in it is tried at once, oldest
    // first. Null: none (a temporary failure is then answered with 503).
    void SetSpool(std::shared_ptr<Spool> spool);
    Spool* SpoolFolder() const { return spool_.get(); }

    // A document a client sent (`peer`, for the log): delivered on a worker, or kept (at once while
    // the server is known to be away), or copied to failed/ when it can never go. `answered` runs
    // on this object's thread once that is settled: true when the client may hear that its mail was
    // taken, false when it was neither delivered nor kept.
    void Submit(const QByteArray& document, const QString& peer, std::function<void(bool taken)> answered);

    // What is due by the clock goes now (the queue's timer calls it too).
    void TryDue();
    // The settings file was read again: the failed/ limit, and a server that was away (or refused
    // the relay's settings) may take mail now.
    void Reloaded(const QStringList& changedKeys);
    // No new retries; what is under way ends.
    void BeginShutdown();

    // Tells the administrator of documents that failed for good or wait long.
    Notifier& Notices() { return *notifier_; }
    // Notices being prepared or sent.
    int NoticesUnderWay() const { return warningsReading_ + notifier_->UnderWay(); }

    // Kept documents waiting now, and those of them due or under way.
    int KeptCount() const { return int(kept_.size()); }
    int RetriesUnderWay() const { return retriesInFlight_; }

    // The administrator's verbs on a running relay: every kept document now; one removed (kept or
    // failed; not while it is being delivered); a failed one back into the queue, tried at once.
    // Texts for the asker.
    QString Flush();
    bool Delete(const QString& id, QString* reply);
    bool Requeue(const QString& id, QString* reply);

    // The same verbs on the folder alone, as a running queue does them and as they are done when no
    // relay runs: one line per entry (tab-separated, control characters escaped); a kept or failed
    // document removed; a failed document moved back among the kept ones.
    static QStringList List(const Spool& spool);
    static bool DeleteFromSpool(Spool& spool, const QString& id, QString* reply);
    static bool RequeueInSpool(Spool& spool, const QString& id, QString* reply);

Q_SIGNALS:
    // A retry ended, whatever became of it.
    void retryEnded();

private:
    struct Kept {
        int attempts = 0;          // this run
        qint64 dueMs = 0;
        bool inFlight = false;
        bool delivered = false;    // the mail went: only the removal is left
        bool removalLogged = false;
        QString lastReason;
        // Its age when this run first saw it, and when (monotonic): a later step of the wall
        // clock does not make it older.
        qint64 ageAtSightMs = 0;
        qint64 sightMs = 0;
        // The recipients still waiting, as this run learnt them (the file may not have kept them).
        QStringList pending;
        bool pendingKnown = false;
        // Its envelope recipients, for a limit that counts them; -1: not read yet.
        int recipients = -1;
        bool counting = false;
        // What the limits counted for the retry under way, given back when nothing went.
        std::optional<SendLimits::Verdict> admitted;
    };
    struct Outcome;

    qint64 now() const { return clock_->nowMs(); }
    std::shared_ptr<const MailTransport> transport() const;
    void applyFailedLimit();
    bool serverKnownDown() const;
    // `restMs`: the server asked for a rest this long (a quota); no probe before its end.
    void serverAnswered(bool unavailable, const QString& reason, qint64 restMs = 0);
    // Whether the limits toward the server hold mail back now (SMTP only).
    bool limitsApply() const;
    // Mail waits for `limit`, which opens in `waitMs` (-1: when it opens for the mail before it).
    void holdForLimit(const QString& limit, qint64 waitMs);
    // Limits apply: the kept document due now that came first, so that none overtakes another.
    std::pair<qint64, QString> firstDueByArrival(qint64 t) const;
    // Admits a kept document to the server under the limits; false when it must wait.
    bool admit(const QString& id);
    void countRecipients(const QString& id);
    qint64 retryDelay(int attempts) const;
    // False, with the reason for the asker, while a verb may not touch the document.
    bool mayBeSteered(const QString& id, QString* reply) const;
    void keep(const QString& id, qint64 dueMs);
    void setDue(const QString& id, qint64 dueMs);
    void schedule();
    void retryOne(const QString& id);
    // Counts a removal that has not been flushed, and flushes the folder when one is due.
    void flushRemovalsIfDue(bool removed);
    void logEvicted();
    // DelayWarningHours, and when each kept document not warned about yet is due for its warning.
    void applyDelayWarning();
    void warnAt(const QString& id, const Kept& k);
    // Warns about the kept documents that have waited long enough.
    void warnDelayed();

    RelayCore& core_;
    std::shared_ptr<const MonotonicClock> clock_;
    std::shared_ptr<const MailTransport> transport_;
    std::shared_ptr<Spool> spool_;
    Timing timing_;
    std::map<QString, Kept> kept_;             // by id: in the order the documents came
    std::set<std::pair<qint64, QString>> due_; // entries not under way, by due time, then arrival
    qint64 nextProbeMs_ = 0;
    int retriesInFlight_ = 0;
    int removalsSinceFlush_ = 0;
    qint64 serverDownUntilMs_ = 0;
    bool serverFailed_ = false;
    QString lastServerFailure_;    // the last answer was "unavailable": the next success brings back the rest
    qint64 restUntilMs_ = 0;       // the server asked for a rest: nothing is tried before this
    QString limitHeld_;            // the limit mail waits for now; empty: none
    qint64 limitOpenMs_ = 0;       // when that limit lets the next mail go
    QTimer timer_;
    bool shuttingDown_ = false;

    std::unique_ptr<Notifier> notifier_;
    qint64 delayWarningMs_ = 0;                   // 0: no warnings
    std::set<std::pair<qint64, QString>> warnDue_; // by when, ids that may have gone meanwhile
    std::set<QString> warned_;                    // remembered in the spool's notes across restarts
    int warningsReading_ = 0;
    std::shared_ptr<std::mutex> noteMutex_ = std::make_shared<std::mutex>();
public:
    // What the window shows of the queue, from memory alone: no folder is read.
    struct State {
        int kept = 0;
        int failed = 0;
        qint64 oldestAgeMs = -1; // of the oldest kept document; -1: none kept
        QString lastReason;      // why the latest try that failed did so, as near as memory tells
        qint64 nextDueInMs = -1; // until the next try; 0: due now; -1: nothing waits for one
        bool serverAway = false; // believed away until a delivery goes
        QString limitWait;       // the limit toward the server that mail waits for ("SMTPMessagesPerMinute 30"); empty: none
        qint64 limitOpensInMs = -1;
        QStringList restingServers; // as the SMTP client tells them
        qint64 restEndsInMs = -1;   // the servers asked for a rest: nothing is tried before its end; -1: none
    };
    State Snapshot() const;
    // The reason this run last heard for a kept document; empty when it has none.
    QString LastReason(const QString& id) const;
    // An age or a wait as List() writes ages ("2h05m").
    static QString DurationText(qint64 ms);
    // One kept document now, as Flush() does for all of them.
    bool Flush(const QString& id, QString* reply);
};

} // namespace swn
