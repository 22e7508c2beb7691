#pragma once
// Tells the administrator of mail that failed for good or waits long: whom to tell (NotifyAddress,
// else the document's BTMailAdmin, else nobody), never about a notice, at most NotifyPerHour single
// notices in a rolling hour and one summary an hour of the rest. Notices go straight to the SMTP
// server on a worker, with an empty envelope sender; one that fails is logged and dropped.
#include "delivery/DeliveryNotice.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <deque>
#include <functional>

namespace swn {

class RelayCore;

class Notifier : public QObject {
    Q_OBJECT
public:
    // What happened to one mail.
    struct Event {
        QString id;           // the kept document's id, or the post office record's key
        NoticedMail mail;
        QList<NoticeRecipient> recipients;
        QDateTime arrival;
        QDateTime willRetryUntil; // for a delay warning
        qint64 waitedMs = 0;      // for a delay warning
    };

    // `now`: milliseconds of a clock that only goes forward (tests move their own).
    Notifier(RelayCore& core, std::function<qint64()> now, QObject* parent = nullptr);
    ~Notifier() override;

    // A mail that failed for good for `recipients` (all of the mail's when none is named), each
    // with `reason`; `expired`: it waited too long rather than being refused.
    static Event Failure(const QString& id, const NoticedMail& mail, const QStringList& recipients,
                         const QString& reason, const QDateTime& arrival, bool expired = false);

    // From any thread; the choice and the sending happen on this object's thread and a worker.
    void Notify(Event event);
    // Sends the summary when one is due (a timer calls it too).
    void TryDue();
    // Events handed over and notices on a worker, not finished yet.
    int UnderWay() const { return queued_ + underWay_; }

Q_SIGNALS:
    // A notice went, or was given up.
    void noticeEnded(bool sent);

private:
    struct Held {
        QString to;
        Event event;
    };
    void accept(const Event& event);
    void send(const QString& to, const QString& about, const QByteArray& message);
    void schedule();
    QString sender() const;

    RelayCore& core_;
    std::function<qint64()> now_;
    std::deque<qint64> window_;   // when the single notices of the last hour went
    QList<Held> held_;            // beyond the limit: for the next summary
    int heldBeyond_ = 0;          // beyond what a summary lists: only counted
    qint64 lastSummaryMs_ = -1;
    std::atomic<int> queued_{0};
    int underWay_ = 0;
    QTimer timer_;
};

} // namespace swn
