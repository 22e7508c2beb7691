#pragma once
// Limits toward the mail server: how many mails it is handed in any minute, and how many envelope
// recipients in any day. A provider counts the day across the relay's restarts, so the relay does
// too: the day's count is kept, by the minute, in a note of the spool, written at most once a
// second and at the end rather than with every mail.
#include "common/ActivityLog.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace swn {

class RelaySettings;
class Spool;

// Milliseconds that only go forward: a step of the wall clock neither expires nor stalls anything.
class MonotonicClock {
public:
    virtual ~MonotonicClock() = default;
    virtual qint64 nowMs() const = 0;
};
// The process's own monotonic clock.
std::shared_ptr<const MonotonicClock> SteadyClock();

class SendLimits : public QObject {
    Q_OBJECT
public:
    struct Timing {
        qint64 minuteMs = 60 * 1000;
        qint64 dayMs = qint64(24) * 3600 * 1000;
        qint64 bucketMs = 60 * 1000; // the day is counted in slices this long
        qint64 saveDelayMs = 1000;   // a change is written at most this long after it
    };
    // What a mail may do now.
    struct Verdict {
        qint64 waitMs = 0;          // 0: it goes now, and counts from now on
        QString limit;              // the limit it waits for, as the settings say it: "SMTPMessagesPerMinute 30"
        bool aloneForTheDay = false; // more recipients than a whole day allows: it went on a day of none
        // What it took, for a refund: the moment in the minute, the slice of the day and how many.
        qint64 minuteAt = -1;
        qint64 daySlice = 0;
        qint64 dayCount = 0;
    };
    using LogSink = std::function<void(const QString& text, LogPriority priority)>;

    explicit SendLimits(QObject* parent = nullptr);
    ~SendLimits() override;

    void SetLog(LogSink log) { log_ = std::move(log); }
    // For tests: a shorter minute and day, a clock they move, a wall clock they step.
    void SetTiming(const Timing& timing);
    void SetClock(std::shared_ptr<const MonotonicClock> clock);
    void SetWallClock(std::function<qint64()> msSinceEpoch);

    // 0: no such limit.
    void Configure(int messagesPerMinute, qint64 recipientsPerDay);
    // SMTPMessagesPerMinute and SMTPRecipientsPerDay from the settings file; a value that is no
    // count is logged and taken as no limit.
    void ApplySettings(const RelaySettings& settings);
    bool Active() const;
    // Whether a mail's recipients count toward a limit (else any count will do).
    bool CountsRecipients() const;
    // The limits as the log names them, for a mail that waits; empty without one.
    QString Describe() const;

    // The spool whose note keeps the day's count: what it holds counts from now on, and the count
    // is written there. The same spool again changes nothing. A note that cannot be read is logged
    // and the count starts from this run's mail.
    void SetSpool(std::shared_ptr<Spool> spool);

    // A mail with `recipients` envelope recipients: goes now (its place taken, whatever becomes of
    // the attempt) or waits. Any thread.
    Verdict Admit(int recipients);
    // The attempt a verdict let go sent nothing (the server was away, put it off, or it was not
    // tried): its place is free again, so that an outage does not use up the day. Any thread.
    void Refund(const Verdict& verdict);
    // Writes the day's count now if it changed since it was last written.
    void Save();

    // The note's name in the spool.
    static const QString kNoteName;

private:
    qint64 wallNow() const;
    void load(Spool& spool);
    void saveSoon();
    // Drops the slices of the day that are over; slices in the future (the wall clock went back)
    // count as now's.
    void prune(qint64 wall);

    mutable std::mutex mutex_;
    std::shared_ptr<const MonotonicClock> clock_;
    std::function<qint64()> wall_;
    Timing timing_;
    int perMinute_ = 0;
    qint64 perDay_ = 0;
    std::deque<qint64> minute_;       // when each mail of the last minute went (monotonic)
    std::map<qint64, qint64> day_;    // recipients by the wall-clock start of their slice
    bool dirty_ = false;
    std::shared_ptr<Spool> spool_;
    QString writeFailure_;            // told once while it stays so

    std::mutex saveMutex_;
    QTimer saveTimer_;
    LogSink log_;
};

} // namespace swn
