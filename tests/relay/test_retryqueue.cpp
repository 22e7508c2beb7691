// The retry queue of network relay mode without sockets or a mail server: a transport that does
// what each test scripts and remembers what it was asked, a clock the test moves, and the real
// spool and delivery workers. The administrator's notices go to a real SMTP server.
#include "MailDocBuilder.h"
#include "MailReaders.h"
#include "SmtpSink.h"
#include "Waits.h"

#include "common/Catalogue.h"
#include "delivery/Transport.h"
#include "relay/QueueControl.h"
#include "relay/RelayCore.h"
#include "relay/RelaySettings.h"
#include "relay/RetryQueue.h"
#include "relay/SendLimits.h"
#include "relay/Spool.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>

using namespace swn;

namespace {

constexpr qint64 kMinute = 60 * 1000;

class FakeClock : public MonotonicClock {
public:
    qint64 nowMs() const override { return now_; }
    void advance(qint64 ms) { now_ += ms; }

private:
    std::atomic<qint64> now_{1000};
};

// What one call of the transport does.
struct Step {
    DeliveryOutcome outcome = DeliveryOutcome::Delivered;
    QStringList delivered; // the report's lists, for a mail that went to some of its recipients
    QStringList pending;
    QStringList refused;
    QString reason;
    qint64 restMs = 0;             // the server asks for a rest this long
    bool hold = false;             // waits until the test lets it go
    std::function<void()> during;  // runs while the mail "goes", on the worker
};

struct Call {
    QByteArray document;
    QStringList onlyRecipients;
    bool allOrNothing = false;
    qint64 at = 0; // on the test's clock
};

class FakeTransport : public MailTransport {
public:
    void script(const Step& step)
    {
        std::lock_guard lock(mutex_);
        steps_.push_back(step);
    }
    QList<Call> calls() const
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    int callCount() const { return int(calls().size()); }
    QList<QByteArray> documents() const
    {
        QList<QByteArray> out;
        for (const Call& c : calls())
            out << c.document;
        return out;
    }
    bool holding() const
    {
        std::lock_guard lock(mutex_);
        return held_ > 0;
    }
    // Lets one held call go.
    void release()
    {
        std::lock_guard lock(mutex_);
        ++permits_;
        changed_.notify_all();
    }
    // Holds nothing any more.
    void open()
    {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    // Sends to every recipient or to none by itself, as the mail component does.
    bool byNature = false;
    bool allOrNothingByNature() const override { return byNature; }
    const FakeClock* clock = nullptr;

protected:
    DeliveryOutcome send(DeliveryContext&, const DeliveryRequest& request, DeliveryReport* report) const override
    {
        Step step;
        {
            std::unique_lock lock(mutex_);
            calls_ << Call{request.document, request.onlyRecipients, request.allOrNothing, clock ? clock->nowMs() : 0};
            if (!steps_.empty()) {
                step = steps_.front();
                steps_.pop_front();
            }
            if (step.hold) {
                ++held_;
                changed_.wait(lock, [this] { return open_ || permits_ > 0; });
                if (!open_)
                    --permits_;
                --held_;
            }
        }
        if (step.during)
            step.during();
        // All or nothing, as a transport does it: one put off, nobody got it.
        if (request.allOrNothing && IsTemporary(step.outcome)) {
            step.pending = step.delivered + step.pending;
            step.delivered.clear();
        }
        report->outcome = step.outcome;
        report->delivered = step.delivered;
        report->pending = step.pending;
        report->refused = step.refused;
        report->reason = step.reason;
        report->serverRestMs = step.restMs;
        return step.outcome;
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    mutable std::deque<Step> steps_;
    mutable QList<Call> calls_;
    mutable int held_ = 0;
    mutable int permits_ = 0;
    bool open_ = false;
};

Step Later(const QString& reason = QStringLiteral("451 try again later"))
{
    Step s;
    s.outcome = DeliveryOutcome::RetryLater;
    s.reason = reason;
    return s;
}

Step Away()
{
    Step s;
    s.outcome = DeliveryOutcome::ServerUnavailable;
    s.reason = QStringLiteral("421 closing down");
    return s;
}

Step Refused()
{
    Step s;
    s.outcome = DeliveryOutcome::FailedPermanently;
    s.reason = QStringLiteral("550 no such user");
    return s;
}

Step Held(Step s)
{
    s.hold = true;
    return s;
}

QByteArray Doc(const QString& name)
{
    return "<BT_mail_Msg><Subject>" + name.toUtf8() + "</Subject></BT_mail_Msg>\r\n";
}

// A queue on a spool in a temporary folder, its workers one thread so that retries go in the
// order they start.
struct Harness {
    QTemporaryDir dir;
    std::unique_ptr<RelaySettings> settings;
    std::unique_ptr<RelayCore> core;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    // The wall clock of the limits toward the server, which the test may step.
    std::shared_ptr<std::atomic<qint64>> wall =
        std::make_shared<std::atomic<qint64>>(QDateTime::currentMSecsSinceEpoch());
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    std::shared_ptr<Spool> spool;
    std::unique_ptr<RetryQueue> queue;
    RetryQueue::Timing timing;

    explicit Harness(const RetryQueue::Timing& queueTiming) : timing(queueTiming)
    {
        transport->clock = clock.get();
        const QString ini = dir.filePath(QStringLiteral("relay.ini"));
        QFile f(ini);
        if (f.open(QIODevice::WriteOnly))
            f.write("[SwiftnoteRelay]\nRelayMode=NETWORK\nTransportMode=CDO\nMaxLogSize=65536\n");
        f.close();
        settings = std::make_unique<RelaySettings>(ini);
        start();
    }
    void start()
    {
        core = std::make_unique<RelayCore>(*settings, RelayCoreOptions{QString(), 1});
        core->LoadSettings();
        core->Limits().SetClock(clock);
        core->Limits().SetWallClock([w = wall] { return w->load(); });
        spool = std::make_shared<Spool>(dir.filePath(QStringLiteral("spool")));
        QString error;
        if (!spool->open(&error))
            qWarning("%s", qPrintable(error));
        queue = makeQueue(timing);
    }
    // The relay ends and another starts on the same folder and settings.
    void restart()
    {
        transport->open();
        queue.reset();
        core->Shutdown();
        core.reset();
        start();
    }
    // The limits toward the server, as the settings file says them after a reload.
    void limit(int perMinute, qint64 perDay)
    {
        settings->Write(setting::SMTPMessagesPerMinute, QString::number(perMinute));
        settings->Write(setting::SMTPRecipientsPerDay, QString::number(perDay));
        queue->Reloaded(core->Reload());
    }
    std::unique_ptr<RetryQueue> makeQueue(const RetryQueue::Timing& timing)
    {
        auto q = std::make_unique<RetryQueue>(*core, clock);
        q->SetTransport(transport);
        q->SetTiming(timing);
        q->SetSpool(spool);
        return q;
    }
    ~Harness()
    {
        // Nothing may stay held, and nothing may report back to a queue that is gone.
        transport->open();
        core->Shutdown();
    }

    // What the client is told: true for 200, false for 503; nullopt when no answer came.
    std::optional<bool> submit(const QByteArray& document)
    {
        auto answer = std::make_shared<std::optional<bool>>();
        queue->Submit(document, QStringLiteral("192.0.2.7"), [answer](bool taken) { *answer = taken; });
        (void)QTest::qWaitFor([&] { return answer->has_value(); }, 20000);
        return *answer;
    }
    // Waits until no retry is under way.
    bool settled() { return QTest::qWaitFor([&] { return queue->RetriesUnderWay() == 0; }, 20000); }
    // Moves the clock and lets what is due start; the number of retries under way then.
    int tick(qint64 ms)
    {
        clock->advance(ms);
        queue->TryDue();
        return queue->RetriesUnderWay();
    }
    int log(const QString& text) const { return int(core->LogText().count(text)); }
    // Notices go to `sink`, and to `address` when it is given.
    void noticesTo(const test::SmtpSink& sink, const QString& address = QString(), const QString& delayHours = QStringLiteral("0"))
    {
        settings->SetSMTPServer(sink.hostText());
        settings->Write(setting::NotifyAddress, address);
        settings->Write(setting::DelayWarningHours, delayHours);
        queue->Reloaded({QLatin1String(setting::DelayWarningHours.name)});
    }
    // Waits until every notice handed over so far has gone or was given up.
    bool noticesDone() { return QTest::qWaitFor([&] { return queue->NoticesUnderWay() == 0; }, 20000); }

    // The spool's file system as the room check sees it; counts the checks.
    std::shared_ptr<std::atomic<int>> roomChecks = std::make_shared<std::atomic<int>>(0);
    void setRoom(bool room)
    {
        spool->setFreeRoomSource([room, checks = roomChecks]() -> std::optional<Spool::FreeRoom> {
            ++*checks;
            return room ? Spool::FreeRoom{qint64(1) << 40, qint64(1) << 30} : Spool::FreeRoom{4096, 3};
        });
    }
    // Nothing can be written in the spool any more, as on a full disk: a file where its folder was.
    bool breakSpool()
    {
        const QString folder = spool->dir();
        return QDir(folder).removeRecursively() && QFile(folder).open(QIODevice::WriteOnly);
    }
};

// A document as the tracker writes it, to the administrator admin@example.org.
QByteArray Mail(const QString& subject, const QStringList& to = {QStringLiteral("alice@example.org")})
{
    test::MailDocBuilder doc;
    doc.subject = subject;
    doc.to = to;
    doc.admin = QStringLiteral("admin@example.org");
    return doc.build();
}

// The fields of a notice's delivery-status part, the per-recipient ones after the first blank line.
QString StatusPart(const QByteArray& notice)
{
    const qsizetype start = notice.indexOf("Reporting-MTA:");
    return start < 0 ? QString() : QString::fromLatin1(notice.mid(start, notice.indexOf("\r\n--", start) - start));
}

RetryQueue::Timing Slow(qint64 first = 10 * kMinute, qint64 longest = 40 * kMinute)
{
    // Far longer than any test runs: only the fake clock makes anything due.
    RetryQueue::Timing t;
    t.firstRetryMs = first;
    t.longestRetryMs = longest;
    t.keepMs = 24 * 60 * kMinute;
    t.probeMs = 5 * kMinute;
    return t;
}

} // namespace

class RetryQueueTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        SetCatalogueLanguage(Language::English);
        QLocale::setDefault(QLocale::c());
    }

    void deliveredAtOnceIsNotKept()
    {
        Harness h(Slow());
        QCOMPARE(h.submit(Doc(QStringLiteral("at once"))), std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 1);
        QCOMPARE(h.queue->KeptCount(), 0);
        QCOMPARE(h.spool->count(), 0);
        // Refused for good: a copy in failed/, the client told it was taken, nothing kept.
        h.transport->script(Refused());
        QCOMPARE(h.submit(Doc(QStringLiteral("refused"))), std::optional<bool>(true));
        QCOMPARE(h.queue->KeptCount(), 0);
        QCOMPARE(h.spool->failedCount(), 1);
        QCOMPARE(h.spool->failedReason(h.spool->failedIds().value(0)), QStringLiteral("550 no such user"));
    }

    void withoutASpoolATemporaryFailureIsNotTaken()
    {
        Harness h(Slow());
        h.queue->SetSpool(nullptr);
        h.transport->script(Later());
        QCOMPARE(h.submit(Doc(QStringLiteral("nowhere to keep"))), std::optional<bool>(false));
        QCOMPARE(h.log(QStringLiteral("no spool folder")), 1);
        QCOMPARE(h.spool->count(), 0);
    }

    void backOffDoublesUpToItsCap()
    {
        Harness h(Slow(10 * kMinute, 40 * kMinute));
        for (int i = 0; i < 7; ++i)
            h.transport->script(Later());
        QCOMPARE(h.submit(Doc(QStringLiteral("backing off"))), std::optional<bool>(true));
        QCOMPARE(h.queue->KeptCount(), 1);
        QCOMPARE(h.log(QStringLiteral("Document from [192.0.2.7] kept for a later attempt: 451 try again later")), 1);
        // The first retry after the first interval; then each failure doubles the wait, up to the cap.
        const qint64 waits[] = {10, 10, 20, 40, 40, 40};
        int calls = 1;
        for (const qint64 wait : waits) {
            QCOMPARE(h.tick(wait * kMinute - 1), 0);
            QCOMPARE(h.tick(1), 1);
            QVERIFY(h.settled());
            QCOMPARE(h.transport->callCount(), ++calls);
        }
        const Spool::Entry e = h.spool->entries().value(0);
        QCOMPARE(e.attempts, 6);
        QCOMPARE(e.reason, QStringLiteral("451 try again later"));
        QCOMPARE(h.queue->KeptCount(), 1);
    }

    void probesOneAtATimeWhileTheServerIsAway()
    {
        RetryQueue::Timing timing = Slow(60 * kMinute, 60 * kMinute);
        timing.probeMs = kMinute;
        Harness h(timing);
        h.transport->script(Away());
        QCOMPARE(h.submit(Doc(QStringLiteral("a"))), std::optional<bool>(true));
        // The server is known to be away: the next ones are kept without waiting for it again.
        QCOMPARE(h.submit(Doc(QStringLiteral("b"))), std::optional<bool>(true));
        QCOMPARE(h.submit(Doc(QStringLiteral("c"))), std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 1);
        QCOMPARE(h.queue->KeptCount(), 3);
        QCOMPARE(h.log(QStringLiteral("not tried while the mail server is away (421 closing down)")), 2);

        // No probe before the interval is over; then one, the oldest, whatever its own back-off says.
        QCOMPARE(h.tick(kMinute - 1), 0);
        h.transport->script(Held(Away()));
        QCOMPARE(h.tick(1), 1);
        QVERIFY(QTest::qWaitFor([&] { return h.transport->holding(); }, 20000));
        // One at a time, however long it takes.
        QCOMPARE(h.tick(0), 1);
        QCOMPARE(h.tick(kMinute / 2), 1);
        h.transport->release();
        QVERIFY(h.settled());
        QCOMPARE(h.transport->documents(), (QList<QByteArray>{Doc("a"), Doc("a")}));
        // The next probe one interval after the last began.
        h.transport->script(Away());
        QCOMPARE(h.tick(kMinute / 2 - 1), 0);
        QCOMPARE(h.tick(1), 1);
        QVERIFY(h.settled());
        QCOMPARE(h.transport->callCount(), 3);
        QCOMPARE(h.tick(kMinute - 1), 0);
        QCOMPARE(h.queue->KeptCount(), 3);
        // Nothing was sent to the server that is away but the probes.
        QCOMPARE(h.transport->documents(), (QList<QByteArray>{Doc("a"), Doc("a"), Doc("a")}));
    }

    void theServerBackMakesAllDueInArrivalOrder()
    {
        RetryQueue::Timing timing = Slow(60 * kMinute, 60 * kMinute);
        timing.probeMs = kMinute;
        Harness h(timing);
        h.transport->script(Away());
        const QStringList names{"first", "second", "third", "fourth"};
        for (const QString& name : names)
            QCOMPARE(h.submit(Doc(name)), std::optional<bool>(true));
        QCOMPARE(h.queue->KeptCount(), 4);
        // The probe finds the server back: everything else goes now, hours before its own time.
        QCOMPARE(h.tick(kMinute), 1);
        QVERIFY(QTest::qWaitFor([&] { return h.queue->KeptCount() == 0; }, 20000));
        QVERIFY(h.settled());
        QList<QByteArray> expected{Doc("first")};
        for (const QString& name : names)
            expected << Doc(name);
        QCOMPARE(h.transport->documents(), expected);
        QVERIFY2(h.log(QStringLiteral("The mail server takes mail again; 3 kept documents are due now")) == 1,
                 qPrintable(h.core->LogText()));
        QCOMPARE(h.spool->count(), 0);
        // A live document goes straight to the server again.
        QCOMPARE(h.submit(Doc(QStringLiteral("live"))), std::optional<bool>(true));
        QCOMPARE(h.transport->documents().last(), Doc("live"));
    }

    void expiryOnlyAfterAFailedTryOfAnOldDocument()
    {
        RetryQueue::Timing timing = Slow(10 * kMinute, 10 * kMinute);
        timing.keepMs = 60 * kMinute;
        Harness h(timing);
        h.transport->script(Later());
        h.transport->script(Later());
        QCOMPARE(h.submit(Doc(QStringLiteral("young"))), std::optional<bool>(true));
        QCOMPARE(h.submit(Doc(QStringLiteral("old"))), std::optional<bool>(true));
        QCOMPARE(h.queue->KeptCount(), 2);
        // Not yet older than its keep: a failure keeps it.
        h.transport->script(Later());
        h.transport->script(Later());
        QCOMPARE(h.tick(10 * kMinute), 2);
        QVERIFY(h.settled());
        QCOMPARE(h.queue->KeptCount(), 2);
        QCOMPARE(h.spool->failedCount(), 0);
        // Older than its keep, but not tried since: still kept.
        h.clock->advance(2 * 60 * kMinute);
        QCOMPARE(h.queue->KeptCount(), 2);
        QCOMPARE(h.spool->failedCount(), 0);
        // Tried now: the one that goes is delivered, the one that fails once more goes to failed/.
        Step delivered;
        h.transport->script(delivered);
        h.transport->script(Later(QStringLiteral("452 mailbox full")));
        QCOMPARE(h.tick(0), 2);
        QVERIFY(h.settled());
        QCOMPARE(h.queue->KeptCount(), 0);
        QCOMPARE(h.spool->count(), 0);
        QCOMPARE(h.spool->failedCount(), 1);
        const QString failed = h.spool->failedIds().value(0);
        QCOMPARE(h.spool->readFailed(failed, nullptr), Doc("old"));
        QCOMPARE(h.spool->failedReason(failed), QStringLiteral("not delivered in 0 days: 452 mailbox full"));
        QCOMPARE(h.log(QStringLiteral("Kept document %1 could not be delivered for 0 days and was moved to %2")
                           .arg(failed, h.spool->failedDir())),
                 1);
    }

    // From the stop on nothing starts: a retry queued behind the one under way is no try, and an
    // old document cut short by the stop does not expire.
    void aStopStartsNoRetryAndExpiresNothing()
    {
        RetryQueue::Timing timing = Slow(10 * kMinute, 10 * kMinute);
        timing.keepMs = 60 * kMinute;
        Harness h(timing);
        h.transport->script(Later());
        h.transport->script(Later());
        QCOMPARE(h.submit(Doc(QStringLiteral("under way"))), std::optional<bool>(true));
        QCOMPARE(h.submit(Doc(QStringLiteral("queued behind"))), std::optional<bool>(true));
        h.clock->advance(2 * 60 * kMinute);
        h.transport->script(Held(Later()));
        QCOMPARE(h.tick(0), 2);
        QVERIFY(QTest::qWaitFor([&] { return h.transport->holding(); }, 20000));
        const int calls = h.transport->callCount();
        h.core->BeginShutdown();
        h.transport->release();
        QVERIFY(h.settled());
        QCOMPARE(h.transport->callCount(), calls);
        QCOMPARE(h.spool->failedCount(), 0);
        QCOMPARE(h.queue->KeptCount(), 2);
        QCOMPARE(h.spool->count(), 2);
    }

    // A retry that moves its document to failed/ settles it before a requeue can take it back.
    void requeueWaitsForTheRetryUnderWay()
    {
        Harness h(Slow());
        h.transport->script(Later());
        QCOMPARE(h.submit(Doc(QStringLiteral("refused on retry"))), std::optional<bool>(true));
        const QString id = h.spool->ids().value(0);
        h.transport->script(Refused());
        h.queue->Flush();
        // Moved by the worker; its end has not come back to the queue's thread yet.
        QDeadlineTimer deadline(20000);
        while (h.spool->failedCount() == 0 && !deadline.hasExpired())
            QThread::msleep(5);
        QCOMPARE(h.spool->failedCount(), 1);
        QString reply;
        QVERIFY(!h.queue->Requeue(id, &reply));
        QCOMPARE(reply, QStringLiteral("%1 is being delivered right now; try again in a moment").arg(id));
        QVERIFY(h.settled());
        QVERIFY2(h.queue->Requeue(id, &reply), qPrintable(reply));
        h.transport->script(Step());
        QVERIFY(h.settled());
        QVERIFY(QTest::qWaitFor([&] { return h.spool->count() + h.spool->failedCount() == 0; }, 20000));
        QCOMPARE(h.queue->KeptCount(), 0);
    }

    // A document goes to some recipients only while the spool has room to keep it for the others;
    // without room it goes to all or to none.
    void allOrNothingExactlyWhenTheSpoolHasNoRoom()
    {
        Harness h(Slow());
        h.setRoom(true);
        QCOMPARE(h.submit(Doc(QStringLiteral("roomy"))), std::optional<bool>(true));
        h.setRoom(false);
        QCOMPARE(h.submit(Doc(QStringLiteral("cramped"))), std::optional<bool>(true));
        h.setRoom(true);
        Step some = Later();
        some.delivered = QStringList{"alice@example.org"};
        some.pending = QStringList{"bob@example.org"};
        h.transport->script(some);
        QCOMPARE(h.submit(Doc(QStringLiteral("roomy, half sent"))), std::optional<bool>(true));
        const QList<Call> calls = h.transport->calls();
        QCOMPARE(calls.size(), 3);
        QCOMPARE(calls[0].allOrNothing, false);
        QCOMPARE(calls[1].allOrNothing, true);
        QCOMPARE(calls[2].allOrNothing, false);
        // With room, what went is not sent again: the spool keeps the one still waiting.
        QCOMPARE(h.spool->count(), 1);
        QCOMPARE(h.spool->recipients(h.spool->ids().value(0)), QStringList{"bob@example.org"});
        QCOMPARE(*h.roomChecks, 3);

        // A transport that sends to all or to none by itself needs no room for a live document.
        h.transport->byNature = true;
        QCOMPARE(h.submit(Doc(QStringLiteral("one submission"))), std::optional<bool>(true));
        QCOMPARE(*h.roomChecks, 3);
        QCOMPARE(h.transport->calls().last().allOrNothing, false);
    }

    void noRoomAndPutOffIs503WithNothingSent()
    {
        Harness h(Slow());
        h.setRoom(false);
        QVERIFY(h.breakSpool());
        Step some = Later(QStringLiteral("451 bob later"));
        some.delivered = QStringList{"alice@example.org"};
        some.pending = QStringList{"bob@example.org"};
        h.transport->script(some);
        QCOMPARE(h.submit(Doc(QStringLiteral("alice and bob"))), std::optional<bool>(false));
        QCOMPARE(h.transport->callCount(), 1);
        QVERIFY(h.transport->calls()[0].allOrNothing);
        QCOMPARE(h.queue->KeptCount(), 0);
        // Delivered all at once, it is taken.
        QCOMPARE(h.submit(Doc(QStringLiteral("alice and bob again"))), std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 2);
        QVERIFY(h.transport->calls()[1].allOrNothing);
        QCOMPARE(h.queue->KeptCount(), 0);
    }

    void noRoomWhileTheServerIsAwayTriesIt()
    {
        RetryQueue::Timing timing = Slow(60 * kMinute, 60 * kMinute);
        timing.probeMs = 10 * kMinute;
        Harness h(timing);
        h.transport->script(Away());
        QCOMPARE(h.submit(Doc(QStringLiteral("kept while away"))), std::optional<bool>(true));
        QCOMPARE(h.queue->KeptCount(), 1);
        // With room, the next one is kept without a try.
        QCOMPARE(h.submit(Doc(QStringLiteral("kept at once"))), std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 1);
        QCOMPARE(h.queue->KeptCount(), 2);
        // Without room it is tried, all or nothing; its success says that the server is back, and
        // what was kept goes at once, long before the next probe.
        h.setRoom(false);
        QCOMPARE(h.submit(Doc(QStringLiteral("no room to keep"))), std::optional<bool>(true));
        QVERIFY(QTest::qWaitFor([&] { return h.queue->KeptCount() == 0; }, 20000));
        QVERIFY(h.settled());
        const QList<Call> calls = h.transport->calls();
        QCOMPARE(calls.size(), 4);
        QCOMPARE(calls[1].document, Doc("no room to keep"));
        QVERIFY(calls[1].allOrNothing);
        QCOMPARE(h.transport->documents().mid(2), (QList<QByteArray>{Doc("kept while away"), Doc("kept at once")}));
        QCOMPARE(h.spool->count(), 0);
    }

    void aPartialDeliveryGoesOnlyToThoseStillWaiting()
    {
        Harness h(Slow());
        Step some = Later(QStringLiteral("452 too many recipients"));
        some.delivered = QStringList{"ann@example.org"};
        some.pending = QStringList{"bob@example.org", "cid@example.org"};
        h.transport->script(some);
        QCOMPARE(h.submit(Doc(QStringLiteral("to three"))), std::optional<bool>(true));
        const QString id = h.spool->ids().value(0);
        QCOMPARE(h.spool->recipients(id), (QStringList{"bob@example.org", "cid@example.org"}));
        Step fewer = Later(QStringLiteral("452 still too many"));
        fewer.delivered = QStringList{"bob@example.org"};
        fewer.pending = QStringList{"cid@example.org"};
        h.transport->script(fewer);
        QCOMPARE(h.tick(10 * kMinute), 1);
        QVERIFY(h.settled());
        QCOMPARE(h.spool->recipients(id), QStringList{"cid@example.org"});
        // A queue that starts afresh on the spool knows it from the file.
        h.queue = h.makeQueue(Slow());
        QVERIFY(h.settled());
        QVERIFY(QTest::qWaitFor([&] { return h.queue->KeptCount() == 0; }, 20000));
        const QList<Call> calls = h.transport->calls();
        QCOMPARE(calls.size(), 3);
        QCOMPARE(calls[0].onlyRecipients, QStringList());
        QCOMPARE(calls[1].onlyRecipients, (QStringList{"bob@example.org", "cid@example.org"}));
        QCOMPARE(calls[2].onlyRecipients, QStringList{"cid@example.org"});
        QCOMPARE(h.spool->count(), 0);
    }

    void deliveredButNotRemovableIsNeverSentAgain()
    {
        Harness h(Slow());
        h.transport->script(Later());
        QCOMPARE(h.submit(Doc(QStringLiteral("sticky"))), std::optional<bool>(true));
        const QString id = h.spool->ids().value(0);
        const QString path = h.spool->dir() + QLatin1Char('/') + id + QStringLiteral(".xml");
        // The mail goes, and meanwhile its document turns into something that cannot be unlinked.
        Step sent;
        sent.during = [path] {
            QFile::remove(path);
            QDir().mkpath(path + QStringLiteral("/inside"));
        };
        h.transport->script(sent);
        QCOMPARE(h.tick(10 * kMinute), 1);
        QVERIFY(h.settled());
        QCOMPARE(h.transport->callCount(), 2);
        QCOMPARE(h.queue->KeptCount(), 1);
        QVERIFY(h.spool->isMarkedDelivered(id));
        QCOMPARE(h.log(QStringLiteral("Kept document %1 was delivered but cannot be removed: ").arg(id)), 1);
        // Only its removal is tried again, at the longest interval; it still fails, told once.
        QCOMPARE(h.tick(40 * kMinute - 1), 0);
        QCOMPARE(h.tick(1), 1);
        QVERIFY(h.settled());
        QCOMPARE(h.transport->callCount(), 2);
        QCOMPARE(h.log(QStringLiteral("Kept document %1 was delivered but cannot be removed: ").arg(id)), 1);
        // Nor after a restart: the mark on disk says so.
        h.queue = h.makeQueue(Slow());
        QCOMPARE(h.queue->RetriesUnderWay(), 0);
        QCOMPARE(h.tick(0), 1);
        QVERIFY(h.settled());
        QCOMPARE(h.transport->callCount(), 2);
        QCOMPARE(h.queue->KeptCount(), 1);
        // Once it can go, it goes, and still nothing is sent.
        QVERIFY(QDir(path).removeRecursively());
        QCOMPARE(h.tick(40 * kMinute), 1);
        QVERIFY(h.settled());
        QCOMPARE(h.queue->KeptCount(), 0);
        QCOMPARE(h.spool->count(), 0);
        QCOMPARE(h.transport->callCount(), 2);
    }

    void flushDeleteAndRequeue()
    {
        Harness h(Slow());
        for (int i = 0; i < 3; ++i)
            h.transport->script(Later());
        for (const char* name : {"one", "two", "three"})
            QCOMPARE(h.submit(Doc(QString::fromLatin1(name))), std::optional<bool>(true));
        const QStringList ids = h.spool->ids();
        QCOMPARE(ids.size(), 3);
        QString reply;
        // Deleted: never sent.
        QVERIFY(h.queue->Delete(ids[1], &reply));
        QCOMPARE(reply, QStringLiteral("%1 deleted").arg(ids[1]));
        QCOMPARE(h.log(QStringLiteral("Kept document %1: %1 deleted").arg(ids[1])), 1);
        QVERIFY(!h.queue->Delete(ids[1], &reply));
        QCOMPARE(reply, QStringLiteral("no kept or failed document %1 in %2").arg(ids[1], h.spool->dir()));
        QCOMPARE(h.queue->KeptCount(), 2);
        // Flushed: the rest at once, long before their time.
        QCOMPARE(h.queue->Flush(), QStringLiteral("2 kept documents are tried now"));
        QVERIFY(h.settled());
        QCOMPARE(h.queue->KeptCount(), 0);
        QCOMPARE(h.transport->documents().mid(3), (QList<QByteArray>{Doc("one"), Doc("three")}));

        // One being delivered cannot be deleted under the worker's hands.
        h.transport->script(Later());
        QCOMPARE(h.submit(Doc(QStringLiteral("busy"))), std::optional<bool>(true));
        const QString busy = h.spool->ids().value(0);
        h.transport->script(Held(Step()));
        h.queue->Flush();
        QVERIFY(QTest::qWaitFor([&] { return h.transport->holding(); }, 20000));
        QVERIFY(!h.queue->Delete(busy, &reply));
        QCOMPARE(reply, QStringLiteral("%1 is being delivered right now; try again in a moment").arg(busy));
        QVERIFY(h.spool->ids().contains(busy));
        h.transport->release();
        QVERIFY(h.settled());
        QCOMPARE(h.spool->count(), 0);

        // A failed document comes back and is tried at once.
        h.transport->script(Refused());
        QCOMPARE(h.submit(Doc(QStringLiteral("refused first"))), std::optional<bool>(true));
        const QString failed = h.spool->failedIds().value(0);
        QVERIFY(!failed.isEmpty());
        const int before = h.transport->callCount();
        QVERIFY2(h.queue->Requeue(failed, &reply), qPrintable(reply));
        QCOMPARE(reply, QStringLiteral("%1 is back in the queue and tried now").arg(failed));
        QVERIFY(h.settled());
        QCOMPARE(h.transport->callCount(), before + 1);
        QCOMPARE(h.transport->documents().last(), Doc("refused first"));
        QCOMPARE(h.spool->count() + h.spool->failedCount(), 0);

        // A kept one is no failed one: requeue refuses it and leaves who still waits as it was.
        Step some = Later();
        some.delivered = QStringList{"ann@example.org"};
        some.pending = QStringList{"bob@example.org"};
        h.transport->script(some);
        QCOMPARE(h.submit(Doc(QStringLiteral("half sent"))), std::optional<bool>(true));
        const QString kept = h.spool->ids().value(0);
        QVERIFY(!h.queue->Requeue(kept, &reply));
        QVERIFY2(reply.contains(QStringLiteral("no failed document")), qPrintable(reply));
        QCOMPARE(h.spool->recipients(kept), QStringList{"bob@example.org"});
        QCOMPARE(h.queue->KeptCount(), 1);

        // A failed one deleted.
        h.transport->script(Refused());
        QCOMPARE(h.submit(Doc(QStringLiteral("refused again"))), std::optional<bool>(true));
        const QString gone = h.spool->failedIds().value(0);
        QVERIFY(h.queue->Delete(gone, &reply));
        QCOMPARE(reply, QStringLiteral("failed %1 deleted").arg(gone));
        QCOMPARE(h.spool->failedCount(), 0);
    }

    void theListingEscapesEveryValue()
    {
        Harness h(Slow());
        QString error;
        const QString kept = h.spool->store("doc", &error, {"tab\there@example.org", "esc\x1b[2J@example.org"},
                                            QStringLiteral("451 later"));
        QVERIFY2(!kept.isEmpty(), qPrintable(error));
        h.spool->noteAttempt(kept, 2, QDateTime::currentDateTimeUtc().addSecs(600), QStringLiteral("421 \x1b]0;owned\x07"));
        const QString failed = h.spool->keepFailed("bad", QStringLiteral("550 no\tsuch\nuser\rhere"), &error);
        QVERIFY2(!failed.isEmpty(), qPrintable(error));

        const QStringList lines = RetryQueue::List(*h.spool);
        QCOMPARE(lines.size(), 2);
        for (const QString& line : lines) {
            for (const QChar c : line)
                QVERIFY2(c == QLatin1Char('\t') || (c.unicode() >= 0x20 && (c.unicode() < 0x7F || c.unicode() > 0x9F)),
                         qPrintable(line));
            QCOMPARE(line.split(QLatin1Char('\t')).size(), 7);
        }
        const QStringList first = lines[0].split(QLatin1Char('\t'));
        QCOMPARE(first[0], kept);
        QCOMPARE(first[1], QStringLiteral("kept"));
        QCOMPARE(first[3], QStringLiteral("2"));
        QCOMPARE(first[5], QStringLiteral("tab\\there@example.org,esc\\u001b[2J@example.org"));
        QCOMPARE(first[6], QStringLiteral("421 \\u001b]0;owned\\u0007"));
        const QStringList second = lines[1].split(QLatin1Char('\t'));
        QCOMPARE(second[0], failed);
        QCOMPARE(second[1], QStringLiteral("failed"));
        QCOMPARE(second[5], QStringLiteral("all"));
        QVERIFY2(!second[6].contains(QLatin1Char('\n')) && second[6].contains(QStringLiteral("550 no such")),
                 qPrintable(second[6]));

        // --queue prints the same lines.
        FILE* out = std::tmpfile();
        FILE* err = std::tmpfile();
        QVERIFY(out && err);
        QCOMPARE(RunQueueVerb(h.spool->dir(), QStringLiteral("queue"), QString(), out, err), 0);
        std::rewind(out);
        QByteArray printed;
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
            printed.append(buffer, qsizetype(n));
        std::fclose(out);
        std::fclose(err);
        QCOMPARE(QString::fromUtf8(printed), lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    }

    void theVerbsWithoutARelay()
    {
        Harness h(Slow());
        h.queue->SetSpool(nullptr);
        QString error;
        const QString kept = h.spool->store("doc", &error, {"bob@example.org"});
        const QString failed = h.spool->keepFailed("bad", QStringLiteral("550 no such user"), &error);
        auto run = [&](const QString& verb, const QString& id, QByteArray* said) {
            FILE* out = std::tmpfile();
            FILE* err = std::tmpfile();
            const int code = RunQueueVerb(h.spool->dir(), verb, id, out, err);
            said->clear();
            for (FILE* f : {out, err}) {
                std::rewind(f);
                char buffer[4096];
                for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
                    said->append(buffer, qsizetype(n));
                std::fclose(f);
                // Every verb names its spool first, on stderr.
                const QByteArray named = (QCoreApplication::applicationName() + QStringLiteral(": using the spool ") +
                                           h.spool->dir() + QLatin1Char('\n')).toUtf8();
                if (f == err) {
                    const qsizetype at = said->indexOf(named);
                    if (at < 0)
                        return -2;
                    said->remove(at, named.size());
                }
            }
            return code;
        };
        QByteArray said;
        QCOMPARE(run(QStringLiteral("flush"), QString(), &said), 1);
        QVERIFY2(said.contains("no relay runs on the spool"), said.constData());
        // Requeue of a kept one is refused on the folder too, its list kept.
        QCOMPARE(run(QStringLiteral("requeue"), kept, &said), 1);
        QVERIFY2(said.contains("no failed document"), said.constData());
        QCOMPARE(h.spool->recipients(kept), QStringList{"bob@example.org"});
        QCOMPARE(run(QStringLiteral("requeue"), failed, &said), 0);
        QCOMPARE(said, QStringLiteral("%1 is back in the queue; it is tried when a relay starts\n").arg(failed).toUtf8());
        QCOMPARE(run(QStringLiteral("delete"), kept, &said), 0);
        QCOMPARE(said, QStringLiteral("%1 deleted\n").arg(kept).toUtf8());
        QCOMPARE(run(QStringLiteral("delete"), QStringLiteral("../../etc/passwd"), &said), 1);
        QVERIFY2(said.contains("is not a spool id"), said.constData());
    }

    void aDocumentRefusedForGoodIsToldToItsAdministrator()
    {
        test::SmtpSink sink;
        QVERIFY(sink.start());
        Harness h(Slow());
        h.noticesTo(sink);
        // The server itself refuses the mail's one recipient.
        h.queue->SetTransport(ChooseTransport(Transport::Smtp));
        QCOMPARE(h.submit(Mail(QStringLiteral("Defect 7 closed"), {QStringLiteral("refused.alice@example.org")})),
                 std::optional<bool>(true));
        QCOMPARE(h.spool->failedCount(), 1);
        QVERIFY(sink.waitForCount(1));
        QVERIFY(h.noticesDone());
        const test::ReceivedMail notice = sink.messages().first();
        QCOMPARE(notice.mailFrom, QStringLiteral("<>")); // MAIL FROM:<>
        QCOMPARE(notice.recipients, QStringList{QStringLiteral("admin@example.org")});
        const test::PythonReading reading = test::ReadMailWithPython(notice.content);
        QVERIFY2(reading.defects.isEmpty(), qPrintable(reading.defects.join(QLatin1Char('\n'))));
        QCOMPARE(reading.tree, QStringLiteral("multipart/report(text/plain,message/delivery-status,text/rfc822-headers)"));
        QCOMPARE(reading.header(QStringLiteral("Auto-Submitted")), QStringLiteral("auto-replied"));
        const QString status = StatusPart(notice.content);
        QVERIFY2(status.contains(QLatin1String("Final-Recipient: rfc822; refused.alice@example.org")), qPrintable(status));
        QVERIFY2(status.contains(QLatin1String("Action: failed")), qPrintable(status));
        QVERIFY2(status.contains(QLatin1String("Status: 5.")), qPrintable(status));
        QVERIFY2(status.contains(QLatin1String("Diagnostic-Code: smtp; 550")), qPrintable(status));
        const QList<QJsonObject> headers = reading.partsOfType(QStringLiteral("text/rfc822-headers"));
        QCOMPARE(headers.size(), 1);
        QVERIFY(headers.first().value(QLatin1String("text")).toString().contains(QLatin1String("Subject: Defect 7 closed")));
        QString error;
        const QStringList rules = test::SpamAssassinRules(notice.content, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        for (const QString& rule : rules)
            QVERIFY2(!rule.contains(QLatin1String("BOUNCE")), qPrintable(rules.join(QLatin1Char(','))));
        // Only one notice for it.
        QVERIFY(test::QuietUntil([&] { return sink.count() == 1; }, test::AndThenPasses([] { return true; }, 20), 20000));
    }

    void noNoticeAboutANoticeNorAboutARefusedNotice()
    {
        test::SmtpSink sink;
        QVERIFY(sink.start());
        Harness h(Slow());
        // The server refuses the notice address itself.
        h.noticesTo(sink, QStringLiteral("refused.admin@example.org"));
        h.transport->script(Refused());
        QCOMPARE(h.submit(Mail(QStringLiteral("Defect 8 closed"))), std::optional<bool>(true));
        QVERIFY(QTest::qWaitFor([&] { return h.log(QStringLiteral("could not be sent to refused.admin@example.org")) > 0; }, 20000));
        QVERIFY(h.noticesDone());
        // One attempt, nothing kept or failed for it, no notice about it.
        QVERIFY(test::QuietUntil([&] { return h.log(QStringLiteral("could not be sent to")) == 1; },
                                 test::AndThenPasses([] { return true; }, 20), 20000));
        QCOMPARE(h.spool->failedCount(), 1);
        QCOMPARE(h.spool->count(), 0);
        QCOMPARE(h.queue->KeptCount(), 0);
        QCOMPARE(sink.count(), 0);
        QCOMPARE(h.transport->callCount(), 1);

        // A document that is itself a report, or has no sender, is never noticed about.
        h.noticesTo(sink);
        test::MailDocBuilder report;
        report.admin = QStringLiteral("admin@example.org");
        report.contentType = QStringLiteral("multipart/report");
        test::MailDocBuilder auto_;
        auto_.admin = QStringLiteral("admin@example.org");
        auto_.headers = {{QStringLiteral("Auto-Submitted"), QStringLiteral("auto-replied")}};
        test::MailDocBuilder senderless;
        senderless.admin = QStringLiteral("admin@example.org");
        senderless.from = QString();
        for (const test::MailDocBuilder& doc : {report, auto_, senderless}) {
            h.transport->script(Refused());
            QCOMPARE(h.submit(doc.build()), std::optional<bool>(true));
        }
        QVERIFY(QTest::qWaitFor([&] { return h.log(QStringLiteral("it is itself a report or an automatic mail")) == 3; }, 20000));
        QVERIFY(h.noticesDone());
        QCOMPARE(sink.count(), 0);
    }

    void aHundredFailuresGiveTheLimitAndOneSummary()
    {
        test::SmtpSink sink;
        QVERIFY(sink.start());
        Harness h(Slow());
        h.noticesTo(sink);
        for (int i = 0; i < 100; ++i) {
            h.transport->script(Refused());
            QCOMPARE(h.submit(Mail(QStringLiteral("Failure %1").arg(i))), std::optional<bool>(true));
            h.clock->advance(500); // a hundred within a minute
        }
        QVERIFY(sink.waitForCount(20));
        QVERIFY(h.noticesDone());
        QCOMPARE(h.log(QStringLiteral("More than 20 notices in an hour")), 1);
        // Nothing more within the hour.
        h.clock->advance(50 * kMinute);
        h.queue->TryDue();
        QVERIFY(h.noticesDone());
        QCOMPARE(sink.count(), 20);
        // Then one summary of the other eighty.
        h.clock->advance(10 * kMinute);
        h.queue->TryDue();
        QVERIFY(sink.waitForCount(21));
        QVERIFY(h.noticesDone());
        QVERIFY(test::QuietUntil([&] { return sink.count() == 21; }, test::AndThenPasses([] { return true; }, 20), 20000));
        const test::PythonReading summary = test::ReadMailWithPython(sink.messages().last().content);
        QCOMPARE(summary.header(QStringLiteral("Auto-Submitted")), QStringLiteral("auto-replied"));
        const QString text = summary.parts.first().toObject().value(QLatin1String("text")).toString();
        QVERIFY2(text.contains(QLatin1String("Failure 20\t")) && text.contains(QLatin1String("Failure 99\t")), qPrintable(text));
        QVERIFY(!text.contains(QLatin1String("Failure 19\t")));
        QCOMPARE(text.count(QLatin1String("550 no such user")), 80);
        QCOMPARE(sink.messages().last().mailFrom, QStringLiteral("<>"));
    }

    void aLongWaitIsWarnedAboutOnce()
    {
        test::SmtpSink sink;
        QVERIFY(sink.start());
        Harness h(Slow(10 * kMinute, 10 * kMinute));
        h.noticesTo(sink, QString(), QStringLiteral("0.01")); // 36 seconds
        h.transport->script(Later(QStringLiteral("451 4.3.0 try again later")));
        QCOMPARE(h.submit(Mail(QStringLiteral("Slow one"))), std::optional<bool>(true));
        QCOMPARE(h.queue->KeptCount(), 1);
        h.queue->TryDue();
        QVERIFY(h.noticesDone());
        QCOMPARE(sink.count(), 0);
        h.clock->advance(kMinute);
        h.queue->TryDue();
        QVERIFY(sink.waitForCount(1));
        QVERIFY(h.noticesDone());
        const QString status = StatusPart(sink.messages().first().content);
        QVERIFY2(status.contains(QLatin1String("Action: delayed")), qPrintable(status));
        QVERIFY2(status.contains(QLatin1String("Status: 4.3.0")), qPrintable(status));
        QVERIFY2(status.contains(QLatin1String("Will-Retry-Until: ")), qPrintable(status));
        // A relay that starts again on the spool does not warn again about it; a second document
        // that waits long is warned about, which shows the check ran.
        for (int i = 0; i < 3; ++i)
            h.transport->script(Later(QStringLiteral("451 4.3.0 try again later")));
        h.queue = h.makeQueue(Slow(10 * kMinute, 10 * kMinute));
        QVERIFY(h.settled());
        QCOMPARE(h.submit(Mail(QStringLiteral("Second one"))), std::optional<bool>(true));
        QCOMPARE(h.queue->KeptCount(), 2);
        h.clock->advance(kMinute);
        h.queue->TryDue();
        QVERIFY(sink.waitForCount(2));
        QVERIFY(h.noticesDone());
        QVERIFY(test::QuietUntil([&] { return sink.count() == 2; }, test::AndThenPasses([] { return true; }, 20), 20000));
        QCOMPARE(test::ReadMailWithPython(sink.messages().last().content).header(QStringLiteral("Subject")),
                 QStringLiteral("Relay notice: mail delayed: Second one"));
    }

    void recipientsRefusedWhileOthersGotItAreTold()
    {
        test::SmtpSink sink;
        QVERIFY(sink.start());
        Harness h(Slow());
        h.noticesTo(sink, QStringLiteral("postmaster@example.org"));
        Step some;
        some.delivered = QStringList{"alice@example.org"};
        some.refused = QStringList{"bob@example.org"};
        some.reason = QStringLiteral("550 5.1.1 <bob@example.org>: no such user (to RCPT TO)");
        h.transport->script(some);
        QCOMPARE(h.submit(Mail(QStringLiteral("To two"), {QStringLiteral("alice@example.org"), QStringLiteral("bob@example.org")})),
                 std::optional<bool>(true));
        QVERIFY(sink.waitForCount(1));
        QVERIFY(h.noticesDone());
        QCOMPARE(sink.messages().first().recipients, QStringList{QStringLiteral("postmaster@example.org")});
        const QString status = StatusPart(sink.messages().first().content);
        QVERIFY2(status.contains(QLatin1String("Final-Recipient: rfc822; bob@example.org")), qPrintable(status));
        QVERIFY2(status.contains(QLatin1String("Status: 5.1.1")), qPrintable(status));
        QVERIFY(!status.contains(QLatin1String("alice@example.org")));
        QCOMPARE(h.spool->failedCount(), 0);
    }

    void anExpiredDocumentIsTold()
    {
        test::SmtpSink sink;
        QVERIFY(sink.start());
        RetryQueue::Timing timing = Slow(10 * kMinute, 10 * kMinute);
        timing.keepMs = 60 * kMinute;
        Harness h(timing);
        h.noticesTo(sink);
        h.transport->script(Later(QStringLiteral("452 4.2.2 mailbox full")));
        QCOMPARE(h.submit(Mail(QStringLiteral("Too late"))), std::optional<bool>(true));
        h.transport->script(Later(QStringLiteral("452 4.2.2 mailbox full")));
        h.clock->advance(2 * 60 * kMinute);
        QCOMPARE(h.tick(0), 1);
        QVERIFY(h.settled());
        QCOMPARE(h.spool->failedCount(), 1);
        QVERIFY(sink.waitForCount(1));
        const QString status = StatusPart(sink.messages().first().content);
        QVERIFY2(status.contains(QLatin1String("Action: failed")), qPrintable(status));
        QVERIFY2(status.contains(QLatin1String("Status: 5.4.7")), qPrintable(status));
    }

    void aMinuteLimitHoldsMailBackInArrivalOrder()
    {
        Harness h(Slow());
        h.limit(30, 0);
        QList<QByteArray> sent;
        auto answers = std::make_shared<QList<bool>>();
        const auto submit = [&](const QString& name) {
            sent << Doc(name);
            h.queue->Submit(sent.last(), QStringLiteral("192.0.2.7"), [answers](bool taken) { *answers << taken; });
        };
        for (int i = 0; i < 45; ++i)
            submit(QStringLiteral("mail %1").arg(i));
        QVERIFY(QTest::qWaitFor([&] { return answers->size() == 45; }, 20000));
        QVERIFY(!answers->contains(false));
        QCOMPARE(h.transport->callCount(), 30);
        QCOMPARE(h.queue->KeptCount(), 15);
        const QString told = QStringLiteral("waits for the limit SMTPMessagesPerMinute 30");
        QCOMPARE(h.log(told), 1);
        RetryQueue::State state = h.queue->Snapshot();
        QCOMPARE(state.limitWait, QStringLiteral("SMTPMessagesPerMinute 30"));
        QCOMPARE(state.limitOpensInMs, kMinute);
        QCOMPARE(state.nextDueInMs, kMinute);
        QVERIFY2(RetryQueue::List(*h.spool).first().endsWith(QLatin1String("\twaits for SMTPMessagesPerMinute 30")),
                 qPrintable(RetryQueue::List(*h.spool).first()));
        // One more while they wait: kept behind them, without asking the server.
        submit(QStringLiteral("late"));
        QVERIFY(QTest::qWaitFor([&] { return answers->size() == 46; }, 20000));
        QVERIFY(answers->last());
        QCOMPARE(h.queue->KeptCount(), 16);
        // Nothing goes before the minute is over, however often the queue looks.
        QCOMPARE(h.tick(kMinute - 1), 0);
        QCOMPARE(h.tick(0), 0);
        QCOMPARE(h.transport->callCount(), 30);
        h.tick(1);
        QVERIFY(QTest::qWaitFor([&] { return h.queue->KeptCount() == 0; }, 20000));
        QVERIFY(h.settled());
        // Every one once, in the order they came, never more than 30 in any minute.
        QCOMPARE(h.transport->documents(), sent);
        const QList<Call> calls = h.transport->calls();
        for (qsizetype i = 30; i < calls.size(); ++i)
            QVERIFY(calls[i].at - calls[i - 30].at >= kMinute);
        QCOMPARE(h.log(told), 1);
        QCOMPARE(h.spool->failedCount(), 0);
        QVERIFY(h.queue->Snapshot().limitWait.isEmpty());
    }

    void theRecipientsOfADayCountAcrossARestart()
    {
        Harness h(Slow());
        h.limit(0, 5);
        const auto to = [](int n, const QString& who) {
            QStringList list;
            for (int i = 0; i < n; ++i)
                list << QStringLiteral("%1%2@example.org").arg(who).arg(i);
            return list;
        };
        QCOMPARE(h.submit(Mail(QStringLiteral("three"), to(3, QStringLiteral("a")))), std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 1);
        // Written soon, without waiting for the end.
        QVERIFY(QTest::qWaitFor([&] { return h.spool->readNote(SendLimits::kNoteName).endsWith(" 3\n"); }, 20000));
        h.restart();
        h.limit(0, 5);
        QCOMPARE(h.submit(Mail(QStringLiteral("two"), to(2, QStringLiteral("b")))), std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 2);
        // The day's five are taken, counted by two relays: the next waits.
        QCOMPARE(h.submit(Mail(QStringLiteral("one more"), to(1, QStringLiteral("c")))), std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 2);
        QCOMPARE(h.log(QStringLiteral("waits for the limit SMTPRecipientsPerDay 5")), 1);
        // And after another restart, a day later by the wall clock, it goes.
        h.restart();
        h.limit(0, 5);
        *h.wall += 24 * 60 * kMinute + kMinute;
        // Its recipients are read from the spool first (this run did not see it come).
        h.queue->TryDue();
        QVERIFY(QTest::qWaitFor([&] { return h.transport->callCount() == 3; }, 20000));
        QVERIFY(h.settled());
        QCOMPARE(h.queue->KeptCount(), 0);
        // More recipients than a whole day allows: alone, on a day of nothing else.
        QCOMPARE(h.submit(Mail(QStringLiteral("six"), to(6, QStringLiteral("d")))), std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 3);
        *h.wall += 24 * 60 * kMinute + kMinute;
        h.clock->advance(24 * 60 * kMinute + kMinute);
        h.queue->TryDue();
        QVERIFY(QTest::qWaitFor([&] { return h.queue->KeptCount() == 0; }, 20000));
        QCOMPARE(h.transport->callCount(), 4);
        QCOMPARE(h.log(QStringLiteral("A mail to 6 recipients, more than SMTPRecipientsPerDay 5 allows in a day, goes alone")), 1);
        QCOMPARE(h.spool->failedCount(), 0);
    }

    // An attempt that sent nothing uses none of the day: an outage or a server that puts mail off
    // does not leave the limit spent when the server takes mail again.
    void attemptsThatSentNothingCountForNothing()
    {
        Harness h(Slow());
        h.limit(0, 3);
        const QStringList three{QStringLiteral("a@example.org"), QStringLiteral("b@example.org"),
                                QStringLiteral("c@example.org")};
        h.transport->script(Later());
        QCOMPARE(h.submit(Mail(QStringLiteral("put off"), three)), std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 1);
        // The day's three are still whole: the next mail of three goes at once.
        QCOMPARE(h.submit(Mail(QStringLiteral("goes"), three)), std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 2);
        // That one went, and counts: a third waits.
        QCOMPARE(h.submit(Mail(QStringLiteral("waits"), three)), std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 2);
        QCOMPARE(h.log(QStringLiteral("waits for the limit SMTPRecipientsPerDay 3")), 1);
        QCOMPARE(h.spool->failedCount(), 0);
    }

    void aCorruptCountIsLoggedAndIgnored()
    {
        Harness h(Slow());
        QString error;
        QVERIFY2(h.spool->writeNote(SendLimits::kNoteName, "swn-send-limits 1\n17 x\n", &error), qPrintable(error));
        h.restart();
        QCOMPARE(h.log(QStringLiteral("is ignored (line 2 is no count): the day is counted from this run's mail")), 1);
        h.limit(0, 2);
        QCOMPARE(h.submit(Mail(QStringLiteral("two"), {QStringLiteral("a@example.org"), QStringLiteral("b@example.org")})),
                 std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 1);
        // Written anew, as this run counted.
        QVERIFY(QTest::qWaitFor([&] { return h.spool->readNote(SendLimits::kNoteName).endsWith(" 2\n"); }, 20000));
        QVERIFY(h.spool->readNote(SendLimits::kNoteName).startsWith("swn-send-limits 1\n"));
        // Not ours at all.
        QVERIFY(h.spool->writeNote(SendLimits::kNoteName, QByteArray(64, '\xff'), &error));
        h.restart();
        QCOMPARE(h.log(QStringLiteral("is ignored (it does not start with \"swn-send-limits 1\")")), 1);
    }

    void aQuotaReplyRestsTheQueueUntilAFlush()
    {
        // The real SMTP client against a server that answers with a daily quota.
        test::SmtpSink sink;
        QVERIFY(sink.start());
        sink.setFaults({QStringLiteral("mail 550 5.4.5 Daily user sending quota exceeded.")});
        RetryQueue::Timing timing = Slow(kMinute, kMinute);
        timing.probeMs = kMinute;
        Harness h(timing);
        h.queue->SetTransport(nullptr);
        h.settings->SetSMTPServer(sink.hostText());
        QCOMPARE(h.submit(Mail(QStringLiteral("over quota"))), std::optional<bool>(true));
        QCOMPARE(h.queue->KeptCount(), 1);
        const RetryQueue::State state = h.queue->Snapshot();
        QVERIFY(state.serverAway);
        QVERIFY2(state.restingServers.filter(sink.hostText() + QStringLiteral(" until ")).size() == 1,
                 qPrintable(state.restingServers.join(QLatin1Char('|'))));
        QVERIFY2(state.nextDueInMs > 30 * kMinute, qPrintable(QString::number(state.nextDueInMs)));
        QCOMPARE(state.restEndsInMs, state.nextDueInMs);
        // Neither probe interval nor back-off brings a try while it rests.
        sink.setFaults({});
        QCOMPARE(h.tick(30 * kMinute), 0);
        QCOMPARE(sink.count(), 0);
        h.queue->Flush();
        QVERIFY(sink.waitForCount(1));
        QVERIFY(QTest::qWaitFor([&] { return h.queue->KeptCount() == 0; }, 20000));
        QVERIFY(h.queue->Snapshot().restingServers.filter(sink.hostText()).isEmpty());
        QCOMPARE(h.spool->failedCount(), 0);
    }

    void limitsHoldOnlySmtpAndBearAStepOfTheClock()
    {
        Harness h(Slow());
        h.limit(1, 0);
        // The mail component is no server that counts.
        h.settings->SetTransport(Transport::Sendmail);
        for (const char* name : {"x", "y", "z"})
            QCOMPARE(h.submit(Doc(QString::fromLatin1(name))), std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 3);
        QCOMPARE(h.queue->KeptCount(), 0);

        // The day's count, when the wall clock goes back ten days: neither freed nor held for ten.
        SendLimits& limits = h.core->Limits();
        limits.Configure(0, 5);
        QCOMPARE(limits.Admit(5).waitMs, 0);
        *h.wall -= 10 * 24 * 60 * kMinute;
        const SendLimits::Verdict held = limits.Admit(1);
        QCOMPARE(held.limit, QStringLiteral("SMTPRecipientsPerDay 5"));
        QVERIFY(held.waitMs > 24 * 60 * kMinute - kMinute && held.waitMs <= 24 * 60 * kMinute + kMinute);
        *h.wall += held.waitMs;
        QCOMPARE(limits.Admit(1).waitMs, 0);
        // Forward: what was counted is over.
        *h.wall += 24 * 60 * kMinute + kMinute;
        QCOMPARE(limits.Admit(5).waitMs, 0);
    }

    void aRestTheServerAskedForHoldsUntilItEndsOrAFlush()
    {
        RetryQueue::Timing timing = Slow(kMinute, kMinute);
        timing.probeMs = kMinute;
        Harness h(timing);
        Step quota = Away();
        quota.reason = QStringLiteral("451 4.7.0 hourly quota reached");
        quota.restMs = 30 * kMinute;
        h.transport->script(quota);
        QCOMPARE(h.submit(Doc(QStringLiteral("a"))), std::optional<bool>(true));
        QCOMPARE(h.submit(Doc(QStringLiteral("b"))), std::optional<bool>(true));
        QCOMPARE(h.transport->callCount(), 1);
        // Neither the probe interval nor a back-off brings a try before the rest is over.
        QCOMPARE(h.tick(30 * kMinute - 1), 0);
        QCOMPARE(h.transport->callCount(), 1);
        QCOMPARE(h.queue->Snapshot().nextDueInMs, 1);
        QVERIFY(h.queue->Snapshot().serverAway);
        // Then one probe; the server rests again.
        h.transport->script(quota);
        QCOMPARE(h.tick(1), 1);
        QVERIFY(h.settled());
        QCOMPARE(h.transport->callCount(), 2);
        QCOMPARE(h.tick(30 * kMinute - 1), 0);
        // A flush does not wait for it.
        h.queue->Flush();
        QVERIFY(QTest::qWaitFor([&] { return h.queue->KeptCount() == 0; }, 20000));
        QVERIFY(h.settled());
        QCOMPARE(h.transport->documents(), (QList<QByteArray>{Doc("a"), Doc("a"), Doc("a"), Doc("b")}));
        QCOMPARE(h.spool->failedCount(), 0);
        // Nor does a flush of one document.
        h.transport->script(quota);
        QCOMPARE(h.submit(Doc(QStringLiteral("c"))), std::optional<bool>(true));
        QCOMPARE(h.tick(kMinute), 0);
        QString reply;
        QVERIFY(h.queue->Flush(h.spool->ids().value(0), &reply));
        QVERIFY(QTest::qWaitFor([&] { return h.queue->KeptCount() == 0; }, 20000));
        QCOMPARE(h.transport->callCount(), 6);
        QCOMPARE(h.spool->failedCount(), 0);
    }
};

QTEST_GUILESS_MAIN(RetryQueueTest)
#include "test_retryqueue.moc"
