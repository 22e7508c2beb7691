#include "relay/RetryQueue.h"

#include "common/Catalogue.h"
#include "delivery/DeliveryNotice.h"
#include "delivery/smtp/SmtpSessions.h"
#include "relay/Metrics.h"
#include "relay/RelayCore.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <limits>
#include <optional>

namespace swn {
namespace {

// No recipient got the mail: what the limits counted for it was not used.
bool NothingWent(const DeliveryResult& result)
{
    return IsTemporary(result.outcome) && result.report.delivered.isEmpty();
}

QString OutcomeReason(const DeliveryResult& result)
{
    if (!result.report.reason.isEmpty())
        return result.report.reason;
    if (!result.error.isEmpty())
        return result.error;
    return result.outcome == DeliveryOutcome::ServerUnavailable ? QStringLiteral("the mail server could not take it now")
                                                                : QStringLiteral("the mail server refused it for now");
}

QString FailureReason(const DeliveryResult& result)
{
    if (!result.error.isEmpty())
        return result.error;
    if (!result.report.reason.isEmpty())
        return result.report.reason;
    return QStringLiteral("the mail cannot be delivered");
}

QString Age(const QDateTime& received)
{
    if (!received.isValid())
        return QStringLiteral("?");
    qint64 s = qMax<qint64>(0, received.secsTo(QDateTime::currentDateTimeUtc()));
    const qint64 d = s / 86400;
    s %= 86400;
    if (d > 0)
        return QStringLiteral("%1d%2h").arg(d).arg(s / 3600, 2, 10, QLatin1Char('0'));
    if (s >= 3600)
        return QStringLiteral("%1h%2m").arg(s / 3600).arg(s % 3600 / 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1m%2s").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

// Room in the spool reserved for one document until its attempt is settled.
struct HeldRoom {
    Spool* spool = nullptr;
    qint64 bytes = 0;
    HeldRoom(Spool* held, qint64 size) : spool(held), bytes(size) {}
    HeldRoom(const HeldRoom&) = delete;
    HeldRoom& operator=(const HeldRoom&) = delete;
    ~HeldRoom()
    {
        if (spool)
            spool->releaseRoom(bytes);
    }
};

constexpr int kLivePriority = 1; // a client waits for these: they go before retries of kept mail

// The spool note of the kept documents already warned about, one id a line.
const QString kWarnedNote = QStringLiteral("delay-warned");

// Worth reading the document for: it failed for good, or some of its recipients did.
bool MayNeedNotice(const DeliveryResult& result)
{
    return result.outcome == DeliveryOutcome::FailedPermanently || !result.report.refused.isEmpty();
}

} // namespace

RetryQueue::RetryQueue(RelayCore& core, std::shared_ptr<const MonotonicClock> clock, QObject* parent)
    : QObject(parent), core_(core), clock_(clock ? std::move(clock) : SteadyClock())
{
    notifier_ = std::make_unique<Notifier>(core_, [c = clock_] { return c->nowMs(); });
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { TryDue(); });
}

RetryQueue::~RetryQueue() = default;

std::shared_ptr<const MailTransport> RetryQueue::transport() const
{
    return transport_ ? transport_ : ChooseTransport(core_.Settings().TransportChoice());
}

void RetryQueue::applyFailedLimit()
{
    bool ok = false;
    const qint64 mb = core_.Settings().Read(setting::FailedFolderLimitMB).trimmed().toLongLong(&ok);
    spool_->setFailedLimit(ok && mb > 0 ? mb * 1024 * 1024 : 0);
}

void RetryQueue::Reloaded(const QStringList& changedKeys)
{
    if (spool_) {
        applyFailedLimit();
        applyDelayWarning();
        schedule();
    }
    // A server that was away, or refused the relay's settings, may take mail now.
    static const QStringList smtpKeys{QLatin1String(setting::SMTPServer.name), QLatin1String(setting::SMTPSecurity.name),
                                      QLatin1String(setting::SMTPUser.name), QLatin1String(setting::SMTPPassword.name),
                                      QLatin1String(setting::SMTPCAFile.name), QLatin1String(setting::SMTPHeloName.name)};
    // Changed limits are weighed afresh: a raised one may let mail go now.
    if (changedKeys.contains(QLatin1String(setting::SMTPMessagesPerMinute.name)) ||
        changedKeys.contains(QLatin1String(setting::SMTPRecipientsPerDay.name))) {
        limitOpenMs_ = 0;
        TryDue();
    }
    if (std::any_of(changedKeys.cbegin(), changedKeys.cend(), [](const QString& k) { return smtpKeys.contains(k); })) {
        serverDownUntilMs_ = 0;
        restUntilMs_ = 0;
        serverFailed_ = false;
        for (auto& [id, k] : kept_)
            if (!k.inFlight)
                setDue(id, std::min(k.dueMs, now()));
        TryDue();
    }
}

struct RetryQueue::Outcome {
    DeliveryResult delivery;
    bool attempted = false; // false: kept at once (server known away, or the relay is stopping)
    bool allOrNothing = false; // tried so, for want of room to keep it
    QString keptId;         // kept in the spool for a later attempt
    QString keepError;      // it should have been kept, and could not be
    QString failError;      // it failed for good, and its copy for failed/ could not be written
    QString failedId;       // its copy in failed/
    NoticedMail noticed;    // what a notice would tell of it
    QString limit;          // it waits for this limit toward the server
    qint64 limitWaitMs = -1; // until the limit opens; -1: it waits behind others
    int recipients = -1;
};

void RetryQueue::Submit(const QByteArray& document, const QString& peer, std::function<void(bool taken)> answered)
{
    // While the server is known to be away, waiting out its time-out again helps nobody.
    const bool serverAway = spool_ && serverKnownDown();
    const QString awayReason = QStringLiteral("not tried while the mail server is away (%1)").arg(lastServerFailure_);
    auto outcome = std::make_shared<Outcome>();
    std::shared_ptr<DeliveryContext> context = core_.NewDeliveryContext(true, true, true);
    std::shared_ptr<Spool> spool = spool_;
    std::shared_ptr<const MailTransport> mail = transport();
    RelayCore* core = &core_;
    // Limits toward the server: while mail waits for one, a new document waits behind it.
    SendLimits* limits = !serverAway && limitsApply() ? &core_.Limits() : nullptr;
    const QString waitingFor = limitHeld_;
    core_.RunOnWorker(
        [context, mail, document, outcome, spool, serverAway, awayReason, core, limits, waitingFor] {
            std::optional<SendLimits::Verdict> admitted;
            // Those who got a mail must not get it again: a mail that some recipients may get
            // while others are put off goes only while the spool has room to keep it for them.
            // Otherwise it goes to all or to none, and a failure leaves nothing sent. Kept at
            // once while the server is away only when it can be kept; else it is tried.
            const bool byNature = mail->allOrNothingByNature();
            const bool room = spool && !core->IsShuttingDown() && (serverAway || limits || !byNature) &&
                              spool->reserveRoom(document.size());
            const HeldRoom held{room ? spool.get() : nullptr, document.size()};
            if (limits && !core->IsShuttingDown()) {
                outcome->recipients = limits->CountsRecipients() ? int(ReadNoticedMail(document).recipients().size()) : 1;
                if (!waitingFor.isEmpty()) {
                    outcome->limit = waitingFor;
                } else {
                    const SendLimits::Verdict verdict = limits->Admit(outcome->recipients);
                    outcome->limit = verdict.limit;
                    outcome->limitWaitMs = verdict.waitMs;
                    if (verdict.waitMs <= 0)
                        admitted = verdict;
                }
            }
            const bool waits = !outcome->limit.isEmpty();
            if (waits && !room) {
                // Sent now, it would break the limit; the client may offer it again later.
                outcome->delivery.outcome = DeliveryOutcome::ServerUnavailable;
                outcome->delivery.report.reason = QStringLiteral("waits for %1").arg(outcome->limit);
                outcome->keepError = QStringLiteral("no room to keep a mail that waits for %1").arg(outcome->limit);
                return;
            }
            // A relay that is stopping keeps what it has not begun, and answers at once.
            if (!((serverAway || waits) && room) && !core->IsShuttingDown()) {
                outcome->attempted = true;
                outcome->allOrNothing = !room && !byNature;
                outcome->delivery = mail->deliver(
                    *context, DeliveryRequest{document, DocumentForm::Bytes, {}, {}, outcome->allOrNothing});
            } else {
                outcome->delivery.outcome = DeliveryOutcome::ServerUnavailable;
                outcome->delivery.report.reason = waits ? QStringLiteral("waits for %1").arg(outcome->limit)
                                                : serverAway ? awayReason : NotTriedWhileStopping();
            }
            if (admitted && (!outcome->attempted || NothingWent(outcome->delivery)))
                limits->Refund(*admitted);
            // Kept on disk before the client hears that its mail was taken.
            const DeliveryOutcome o = outcome->delivery.outcome;
            QString error;
            if (IsTemporary(o)) {
                // Those who got it already must not get it again.
                const DeliveryReport& report = outcome->delivery.report;
                const QStringList still = report.delivered.isEmpty() ? QStringList() : report.pending;
                outcome->keptId = spool ? spool->store(document, &error, still, OutcomeReason(outcome->delivery))
                                        : QString();
                if (outcome->keptId.isEmpty())
                    outcome->keepError = spool ? error : QStringLiteral("no spool folder");
            } else if (o == DeliveryOutcome::FailedPermanently && spool) {
                // Nothing will send it, but the administrator can see what was lost.
                outcome->failedId = spool->keepFailed(document, FailureReason(outcome->delivery), &error);
                if (outcome->failedId.isEmpty())
                    outcome->failError = error;
            }
            if (MayNeedNotice(outcome->delivery))
                outcome->noticed = ReadNoticedMail(document);
        },
        this,
        [this, peer, outcome, context, answered = std::move(answered)] {
            core_.TakeDeliveryReport(*context);
            const DeliveryResult& result = outcome->delivery;
            Metrics& metrics = core_.Stats();
            if (outcome->attempted)
                metrics.ObserveDelivery(result.seconds);
            metrics.Add(Metrics::Counter::RecipientsRefused, result.report.refused.size());
            if (!result.error.isEmpty())
                core_.AddLogText(BuildResourceMessage(msg::RequestFailed, {peer, result.error}),
                                 IsTemporary(result.outcome) ? LogPriority::Warning : LogPriority::Error);
            // A fault of this host says nothing about the server.
            if (outcome->attempted && (result.outcome != DeliveryOutcome::RetryLater || result.error.isEmpty()))
                serverAnswered(result.outcome == DeliveryOutcome::ServerUnavailable, OutcomeReason(result),
                               result.report.serverRestMs);
            bool taken = true;
            if (!outcome->keptId.isEmpty() && !outcome->attempted && !outcome->limit.isEmpty()) {
                // Waits for a limit toward the server: due as soon as it opens, in its turn; the
                // log tells of the wait once, not of every document.
                metrics.Add(Metrics::Counter::DocumentsKept);
                keep(outcome->keptId, now());
                kept_[outcome->keptId].recipients = outcome->recipients;
                holdForLimit(outcome->limit, outcome->limitWaitMs);
            } else if (!outcome->keptId.isEmpty()) {
                metrics.Add(Metrics::Counter::DocumentsKept);
                core_.AddLogText(BuildResourceMessage(msg::DocumentKept, {peer, OutcomeReason(result)}),
                                 LogPriority::Warning);
                keep(outcome->keptId, now() + timing_.firstRetryMs);
                Kept& k = kept_[outcome->keptId];
                k.recipients = outcome->recipients;
                k.lastReason = OutcomeReason(result);
                if (!result.report.delivered.isEmpty()) {
                    k.pending = result.report.pending;
                    k.pendingKnown = true;
                }
                schedule();
            } else if (IsTemporary(result.outcome)) {
                // Neither delivered nor kept: the client must not be told that it was taken.
                core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable,
                                                      {spool_ ? spool_->dir() : QString(), outcome->keepError}),
                                 LogPriority::Error);
                taken = false;
            } else if (result.outcome == DeliveryOutcome::Delivered) {
                metrics.Add(Metrics::Counter::DocumentsDelivered);
            } else {
                metrics.Add(Metrics::Counter::DocumentsFailed);
                if (!outcome->failError.isEmpty())
                    core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {spool_->dir(), outcome->failError}),
                                     LogPriority::Error);
            }
            // The administrator hears of a mail that failed for good, and of recipients refused
            // for good while others got it or still may.
            if (MayNeedNotice(result)) {
                const QString id = !outcome->failedId.isEmpty() ? outcome->failedId
                                 : !outcome->keptId.isEmpty()   ? outcome->keptId
                                                                : QStringLiteral("[%1]").arg(peer);
                notifier_->Notify(Notifier::Failure(id, outcome->noticed, result.report.refused,
                                                    result.outcome == DeliveryOutcome::FailedPermanently ? FailureReason(result)
                                                                                                       : result.report.reason,
                                                    QDateTime::currentDateTimeUtc()));
            }
            logEvicted();
            answered(taken);
        },
        kLivePriority);
}

bool RetryQueue::serverKnownDown() const { return serverDownUntilMs_ != 0 && now() < serverDownUntilMs_; }

void RetryQueue::serverAnswered(bool unavailable, const QString& reason, qint64 restMs)
{
    if (unavailable) {
        lastServerFailure_ = reason;
        // A server that asked for a rest is not probed before its end, however short the usual wait.
        const qint64 away = std::max(timing_.probeMs, restMs);
        serverDownUntilMs_ = now() + away;
        if (restMs > 0)
            restUntilMs_ = std::max(restUntilMs_, now() + restMs);
        if (!std::exchange(serverFailed_, true))
            nextProbeMs_ = now() + away;
        else if (restMs > 0)
            nextProbeMs_ = std::max(nextProbeMs_, now() + away);
        return;
    }
    serverDownUntilMs_ = 0;
    restUntilMs_ = 0;
    if (!std::exchange(serverFailed_, false))
        return;
    // The server is back: whatever waited for it is due now, in the order it came.
    int woken = 0;
    const qint64 t = now();
    for (auto& [id, k] : kept_)
        if (!k.inFlight && !k.delivered && k.dueMs > t) {
            setDue(id, t);
            ++woken;
        }
    if (woken > 0)
        core_.AddLogText(BuildResourceMessage(msg::ServerBack, {QStringLiteral("%1 kept documents are due now").arg(woken)}));
    schedule();
}

qint64 RetryQueue::retryDelay(int attempts) const
{
    return std::min(timing_.longestRetryMs, timing_.firstRetryMs << std::clamp(attempts, 0, 20));
}

void RetryQueue::keep(const QString& id, qint64 dueMs)
{
    Kept k;
    k.dueMs = dueMs;
    k.sightMs = now();
    k.ageAtSightMs = std::max<qint64>(0, Spool::receivedAt(id).msecsTo(QDateTime::currentDateTimeUtc()));
    kept_[id] = k;
    due_.insert({dueMs, id});
    warnAt(id, k);
}

void RetryQueue::warnAt(const QString& id, const Kept& k)
{
    if (delayWarningMs_ > 0 && !warned_.count(id))
        warnDue_.insert({k.sightMs + std::max<qint64>(0, delayWarningMs_ - k.ageAtSightMs), id});
}

void RetryQueue::applyDelayWarning()
{
    bool ok = false;
    const double hours = core_.Settings().Read(setting::DelayWarningHours).trimmed().toDouble(&ok);
    // A value that is no number keeps the default; 0 or less turns the warnings off.
    qint64 ms = 4 * 3600 * 1000;
    if (ok)
        ms = hours > 0 ? std::max<qint64>(1, qint64(std::min(hours, 1e6) * 3600 * 1000)) : 0;
    if (ms == delayWarningMs_)
        return;
    delayWarningMs_ = ms;
    warnDue_.clear();
    for (const auto& [id, k] : kept_)
        warnAt(id, k);
}

void RetryQueue::warnDelayed()
{
    if (!spool_ || delayWarningMs_ <= 0)
        return;
    struct Warning {
        QString id;
        qint64 waitedMs = 0;
        QString reason;
        std::optional<QStringList> pending;
        Notifier::Event event;
    };
    const qint64 t = now();
    auto warnings = std::make_shared<std::vector<Warning>>();
    while (!warnDue_.empty() && warnDue_.begin()->first <= t) {
        const QString id = warnDue_.begin()->second;
        warnDue_.erase(warnDue_.begin());
        auto it = kept_.find(id);
        if (it == kept_.end() || it->second.delivered || warned_.count(id))
            continue;
        const Kept& k = it->second;
        warned_.insert(id);
        Warning w;
        w.id = id;
        w.waitedMs = k.ageAtSightMs + (t - k.sightMs);
        w.reason = k.lastReason;
        if (k.pendingKnown)
            w.pending = k.pending;
        warnings->push_back(w);
    }
    if (warnings->empty())
        return;
    // Only those still kept are remembered: the note does not grow with every document ever warned about.
    QStringList remembered;
    for (const QString& id : warned_)
        if (kept_.count(id))
            remembered << id;
    std::shared_ptr<Spool> spool = spool_;
    std::shared_ptr<std::mutex> noteMutex = noteMutex_;
    const qint64 keepMs = timing_.keepMs;
    ++warningsReading_;
    core_.RunOnWorker(
        [spool, warnings, remembered, noteMutex, keepMs] {
            {
                std::lock_guard lock(*noteMutex);
                QString error;
                spool->writeNote(kWarnedNote, remembered.join(QLatin1Char('\n')).toUtf8(), &error);
            }
            for (Warning& w : *warnings) {
                QString error;
                const QByteArray document = spool->read(w.id, &error);
                if (document.isNull())
                    continue;
                w.event.id = w.id;
                w.event.mail = ReadNoticedMail(document);
                w.event.arrival = Spool::receivedAt(w.id);
                w.event.waitedMs = w.waitedMs;
                w.event.willRetryUntil = QDateTime::currentDateTimeUtc().addMSecs(std::max<qint64>(0, keepMs - w.waitedMs));
                bool readable = true;
                QStringList who = w.pending ? *w.pending : spool->recipients(w.id, &readable);
                if (who.isEmpty())
                    who = w.event.mail.recipients();
                if (who.isEmpty())
                    who << QStringLiteral("unknown");
                for (const QString& address : std::as_const(who)) {
                    const QString bare = NoticeAddress(address);
                    w.event.recipients << NoticeRecipient{bare.isEmpty() ? address.simplified() : bare,
                                                          NoticeAction::Delayed, w.reason};
                }
            }
        },
        this, [this, warnings] {
            --warningsReading_;
            for (const Warning& w : *warnings)
                if (!w.event.recipients.isEmpty())
                    notifier_->Notify(w.event);
        });
}

void RetryQueue::setDue(const QString& id, qint64 dueMs)
{
    auto it = kept_.find(id);
    if (it == kept_.end())
        return;
    Kept& k = it->second;
    if (!k.inFlight)
        due_.erase({k.dueMs, id});
    k.dueMs = dueMs;
    if (!k.inFlight)
        due_.insert({dueMs, id});
}

void RetryQueue::SetSpool(std::shared_ptr<Spool> spool)
{
    spool_ = std::move(spool);
    kept_.clear();
    due_.clear();
    if (!spool_)
        return;
    core_.Limits().SetSpool(spool_);
    applyFailedLimit();
    // Documents an earlier run warned about are not warned about again.
    warned_.clear();
    warnDue_.clear();
    delayWarningMs_ = -1;
    for (const QByteArray& line : spool_->readNote(kWarnedNote).split('\n'))
        if (!line.trimmed().isEmpty())
            warned_.insert(QString::fromUtf8(line.trimmed()));
    applyDelayWarning();
    // What an earlier run kept is tried at once, oldest first; a relay that was down for days
    // tries everything once before anything expires.
    const qint64 t = now();
    for (const QString& id : spool_->ids()) {
        keep(id, t);
        if (spool_->isMarkedDelivered(id))
            kept_[id].delivered = true;
    }
    schedule();
}

void RetryQueue::schedule()
{
    if (kept_.empty() || shuttingDown_ || !spool_)
        return;
    qint64 next = due_.empty() ? std::numeric_limits<qint64>::max() : due_.begin()->first;
    // Nothing is tried before a rest the server asked for, nor before a limit opens: the timer
    // is set to that moment, not spun until it.
    qint64 gate = restUntilMs_;
    if (!limitHeld_.isEmpty() && limitsApply())
        gate = std::max(gate, limitOpenMs_);
    next = std::max(next, gate);
    if (serverFailed_)
        next = std::min(next, std::max(nextProbeMs_, gate));
    if (!warnDue_.empty())
        next = std::min(next, warnDue_.begin()->first);
    if (next == std::numeric_limits<qint64>::max())
        return;
    const qint64 wait = std::clamp<qint64>(next - now(), 0, 24 * 3600 * 1000);
    if (!timer_.isActive() || timer_.remainingTime() > wait)
        timer_.start(int(wait));
}

void RetryQueue::TryDue()
{
    if (!spool_ || shuttingDown_ || core_.IsShuttingDown())
        return;
    warnDelayed();
    notifier_->TryDue();
    const qint64 t = now();
    const bool limited = limitsApply();
    if (!limited && !limitHeld_.isEmpty()) {
        limitHeld_.clear();
        limitOpenMs_ = 0;
    }
    if (t < restUntilMs_ || (limited && t < limitOpenMs_)) {
        schedule();
        return;
    }
    if (serverFailed_) {
        // While the server is away, one kept document at a time finds out when it is back: the
        // one due first, or at least every probe interval the oldest, whatever its back-off says.
        if (retriesInFlight_ > 0)
            return;
        QString id;
        if (!due_.empty() && due_.begin()->first <= t) {
            id = due_.begin()->second;
        } else if (t >= nextProbeMs_) {
            for (const auto& [candidate, k] : kept_)
                if (!k.inFlight && !k.delivered) {
                    id = candidate;
                    break;
                }
        }
        if (!id.isEmpty()) {
            if (limited && !admit(id))
                return;
            nextProbeMs_ = t + timing_.probeMs;
            due_.erase({kept_[id].dueMs, id});
            retryOne(id);
            return;
        }
        // Nothing to probe with now (only removals left): look again an interval later.
        if (t >= nextProbeMs_)
            nextProbeMs_ = t + timing_.probeMs;
        schedule();
        return;
    }
    // Every worker may carry a retry, and as many wait their turn so that none idles between
    // two; live documents go before them in the workers' queue.
    const int most = 2 * std::max(1, core_.DeliveryThreads());
    bool held = false;
    while (!due_.empty() && retriesInFlight_ < most) {
        const auto [dueMs, id] = limited ? firstDueByArrival(t) : *due_.begin();
        if (dueMs > t)
            break;
        if (limited && !admit(id)) {
            held = true;
            break;
        }
        due_.erase({dueMs, id});
        retryOne(id);
        if (serverFailed_)
            break;
    }
    // What waited for the limit has gone: the next wait is a new one, and told again.
    if (!held && !limitHeld_.isEmpty() && retriesInFlight_ < most && (due_.empty() || due_.begin()->first > t)) {
        limitHeld_.clear();
        limitOpenMs_ = 0;
    }
    // With every place taken, the end of a retry calls again; a timer would only spin.
    if (retriesInFlight_ < most)
        schedule();
}

bool RetryQueue::limitsApply() const
{
    return spool_ && core_.Settings().TransportChoice() != Transport::Sendmail && core_.Limits().Active();
}

void RetryQueue::holdForLimit(const QString& limit, qint64 waitMs)
{
    if (waitMs < 0 && limitHeld_.isEmpty()) {
        // The mail it queued behind has gone meanwhile: its turn is now.
        schedule();
        return;
    }
    if (waitMs >= 0)
        limitOpenMs_ = now() + waitMs;
    if (limitHeld_.isEmpty())
        core_.AddLogText(QStringLiteral("Mail to the mail server waits for the limit %1; it goes as soon as the limit "
                                        "allows, in the order it came")
                             .arg(limit),
                         LogPriority::Warning);
    limitHeld_ = limit;
    schedule();
}

std::pair<qint64, QString> RetryQueue::firstDueByArrival(qint64 t) const
{
    // Ids sort by arrival: among those due, the smallest came first.
    auto first = due_.begin();
    for (auto it = due_.begin(); it != due_.end() && it->first <= t; ++it)
        if (it->second < first->second)
            first = it;
    return *first;
}

bool RetryQueue::admit(const QString& id)
{
    Kept& k = kept_[id];
    if (k.delivered)
        return true; // only its removal is left: nothing goes to the server
    if (k.counting)
        return false;
    const bool counts = core_.Limits().CountsRecipients();
    if (counts && k.recipients < 0 && !(k.pendingKnown && !k.pending.isEmpty())) {
        countRecipients(id);
        return false;
    }
    const int n = k.pendingKnown && !k.pending.isEmpty() ? int(k.pending.size()) : std::max(1, k.recipients);
    const SendLimits::Verdict verdict = core_.Limits().Admit(n);
    if (verdict.waitMs <= 0) {
        k.admitted = verdict;
        return true;
    }
    // The listing tells why it waits, and until when.
    spool_->noteAttempt(id, k.attempts, QDateTime::currentDateTimeUtc().addMSecs(verdict.waitMs),
                        QStringLiteral("waits for %1").arg(verdict.limit));
    holdForLimit(verdict.limit, verdict.waitMs);
    return false;
}

void RetryQueue::countRecipients(const QString& id)
{
    kept_[id].counting = true;
    auto count = std::make_shared<int>(1);
    std::shared_ptr<Spool> spool = spool_;
    core_.RunOnWorker(
        [id, spool, count] {
            bool readable = true;
            const QStringList still = spool->recipients(id, &readable);
            if (!still.isEmpty()) {
                *count = int(still.size());
                return;
            }
            QString error;
            const QByteArray document = spool->read(id, &error);
            if (!document.isNull())
                *count = std::max(1, int(ReadNoticedMail(document).recipients().size()));
        },
        this,
        [this, id, count] {
            const auto it = kept_.find(id);
            if (it != kept_.end()) {
                it->second.counting = false;
                it->second.recipients = *count;
            }
            TryDue();
        });
}

void RetryQueue::retryOne(const QString& id)
{
    Kept& k = kept_[id];
    k.inFlight = true;
    ++retriesInFlight_;
    struct Retried {
        DeliveryResult delivery;
        bool removalOnly = false;
        bool gone = false;          // no longer in the spool
        bool expired = false;
        bool markedOnDisk = false;
        bool vanished = false;      // removed by someone else meanwhile: neither sent nor failed
        bool notTried = false;      // the relay began stopping before it started: nothing happened
        QString removeError;
        QString failError;
        QString recipientsError;    // the recipients still waiting could not be kept
        NoticedMail noticed;        // what a notice would tell of it
        QStringList tried;          // the recipients this attempt was for; empty: all of the mail's
    };
    auto retried = std::make_shared<Retried>();
    retried->removalOnly = k.delivered;
    // Who still waits, as this run knows it; the file beside the document otherwise.
    const std::optional<QStringList> known = k.pendingKnown ? std::optional<QStringList>(k.pending) : std::nullopt;
    std::shared_ptr<DeliveryContext> context = core_.NewDeliveryContext(true, false, true);
    std::shared_ptr<Spool> spool = spool_;
    std::shared_ptr<const MailTransport> mail = transport();
    const bool old = k.ageAtSightMs + (now() - k.sightMs) > timing_.keepMs;
    const QString keepDays = QString::number(timing_.keepMs / (24 * 3600 * 1000));
    core_.RunOnWorker(
        [id, context, mail, spool, retried, old, keepDays, known] {
            QString error;
            // Queued behind those under way at the stop: it starts nothing, and counts as no try.
            if (context->Stopping()) {
                retried->notTried = true;
                return;
            }
            if (!retried->removalOnly) {
                const QByteArray document = spool->read(id, &error);
                if (document.isNull()) {
                    retried->vanished = !QFile::exists(spool->dir() + QLatin1Char('/') + id + QStringLiteral(".xml"));
                    retried->gone = retried->vanished;
                    retried->delivery.outcome = DeliveryOutcome::RetryLater;
                    retried->delivery.error = retried->vanished ? QString() : error;
                    return;
                }
                bool readable = true;
                const QStringList only = known ? *known : spool->recipients(id, &readable);
                if (!readable) {
                    // Sending to all would reach those who have the mail already.
                    retried->delivery.outcome = DeliveryOutcome::RetryLater;
                    retried->delivery.error = QStringLiteral("the recipients still waiting for it cannot be read");
                    return;
                }
                // Who is put off now is written beside it; without room for that, all or nothing.
                const bool byNature = mail->allOrNothingByNature();
                const bool room = byNature || spool->reserveRoom(document.size());
                const HeldRoom held{room && !byNature ? spool.get() : nullptr, document.size()};
                retried->delivery =
                    mail->deliver(*context, DeliveryRequest{document, DocumentForm::Bytes, {}, only, !room});
                const DeliveryReport& report = retried->delivery.report;
                retried->tried = report.pending.isEmpty() ? only : report.pending;
                if (MayNeedNotice(retried->delivery) || (old && IsTemporary(retried->delivery.outcome)))
                    retried->noticed = ReadNoticedMail(document);
                if (IsTemporary(retried->delivery.outcome) && !report.delivered.isEmpty() &&
                    !spool->setRecipients(id, report.pending, &error))
                    retried->recipientsError = error;
                if (retried->delivery.outcome == DeliveryOutcome::FailedPermanently) {
                    retried->gone = spool->moveToFailed(id, FailureReason(retried->delivery), &retried->failError);
                    return;
                }
                if (IsTemporary(retried->delivery.outcome)) {
                    // Older than its keep, and tried once more just now: it goes to failed/. A try
                    // cut short by the stop is no such try.
                    if (old && !context->Stopping()) {
                        retried->expired = spool->moveToFailed(
                            id, QStringLiteral("not delivered in %1 days: %2").arg(keepDays, OutcomeReason(retried->delivery)),
                            &retried->failError);
                        retried->gone = retried->expired;
                    }
                    return;
                }
            }
            // Delivered (now or before): the document goes; if it cannot, what went is remembered.
            bool gone = false;
            if (spool->remove(id, &retried->removeError, &gone, false) || gone) {
                retried->gone = true;
                return;
            }
            retried->markedOnDisk = spool->markDelivered(id, nullptr);
        },
        this,
        [this, id, retried, context] {
            core_.TakeDeliveryReport(*context);
            --retriesInFlight_;
            auto it = kept_.find(id);
            if (it == kept_.end()) { // deleted by the administrator meanwhile
                flushRemovalsIfDue(false);
                TryDue();
                Q_EMIT retryEnded();
                return;
            }
            Kept& k = it->second;
            const DeliveryResult& result = retried->delivery;
            Metrics& metrics = core_.Stats();
            if (k.admitted && (retried->notTried || retried->vanished || retried->removalOnly || NothingWent(result)))
                core_.Limits().Refund(*k.admitted);
            k.admitted.reset();
            if (retried->notTried) {
                k.inFlight = false;
                due_.insert({k.dueMs, id});
                Q_EMIT retryEnded();
                return;
            }
            if (retried->vanished) {
                kept_.erase(it);
                flushRemovalsIfDue(false);
                TryDue();
                Q_EMIT retryEnded();
                return;
            }
            // Those who got it now are not sent it again, whatever became of the file.
            if (IsTemporary(result.outcome) && !result.report.delivered.isEmpty()) {
                k.pending = result.report.pending;
                k.pendingKnown = true;
            }
            if (!retried->recipientsError.isEmpty())
                core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {spool_->dir(), retried->recipientsError}),
                                 LogPriority::Error);
            if (!retried->removalOnly) {
                ++k.attempts;
                metrics.ObserveDelivery(result.seconds);
                metrics.Add(Metrics::Counter::RecipientsRefused, result.report.refused.size());
                if (!result.error.isEmpty())
                    core_.AddLogText(BuildResourceMessage(msg::RequestFailed, {id, result.error}),
                                     IsTemporary(result.outcome) ? LogPriority::Warning : LogPriority::Error);
                // Still under way for this: the server's return makes the others due, not this one,
                // whose own next time follows below.
                if (result.outcome != DeliveryOutcome::RetryLater || result.error.isEmpty())
                    serverAnswered(result.outcome == DeliveryOutcome::ServerUnavailable, OutcomeReason(result),
                                   result.report.serverRestMs);
            }
            k.inFlight = false;
            // The administrator hears of what failed for good: the whole mail, or some recipients.
            if (retried->expired) {
                notifier_->Notify(Notifier::Failure(id, retried->noticed, retried->tried,
                                                    QStringLiteral("not delivered in %1 days: %2")
                                                        .arg(timing_.keepMs / (24 * 3600 * 1000))
                                                        .arg(OutcomeReason(result)),
                                                    Spool::receivedAt(id), true));
            } else if (!retried->removalOnly && MayNeedNotice(result) &&
                       (result.outcome != DeliveryOutcome::FailedPermanently || retried->gone)) {
                notifier_->Notify(Notifier::Failure(id, retried->noticed, result.report.refused,
                                                    result.outcome == DeliveryOutcome::FailedPermanently
                                                        ? FailureReason(result) : result.report.reason,
                                                    Spool::receivedAt(id)));
            }
            if (retried->gone) {
                kept_.erase(it);
                if (retried->expired) {
                    metrics.Add(Metrics::Counter::DocumentsFailed);
                    core_.AddLogText(BuildResourceMessage(msg::KeptExpired,
                                                          {id, timing_.keepMs / (24 * 3600 * 1000), spool_->failedDir()}),
                                     LogPriority::Error);
                } else if (result.outcome == DeliveryOutcome::FailedPermanently) {
                    metrics.Add(Metrics::Counter::DocumentsFailed);
                } else if (!retried->removalOnly) {
                    metrics.Add(Metrics::Counter::DocumentsDelivered);
                    core_.AddLogText(BuildResourceMessage(msg::KeptDelivered, {id}));
                }
            } else if (result.outcome == DeliveryOutcome::Delivered) {
                // Sent, but still in the spool: never sent again, only its removal is retried.
                k.delivered = true;
                if (!retried->removalOnly)
                    metrics.Add(Metrics::Counter::DocumentsDelivered);
                if (!k.removalLogged) {
                    k.removalLogged = true;
                    QString reason = retried->removeError;
                    if (!retried->markedOnDisk)
                        reason += QStringLiteral(" (remembered for this run only)");
                    core_.AddLogText(BuildResourceMessage(msg::KeptNotRemoved, {id, reason}), LogPriority::Error);
                }
                k.dueMs = now() + timing_.longestRetryMs;
                due_.insert({k.dueMs, id});
            } else {
                if (!retried->failError.isEmpty())
                    core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {spool_->dir(), retried->failError}),
                                     LogPriority::Error);
                k.lastReason = OutcomeReason(result);
                k.dueMs = now() + retryDelay(k.attempts - 1);
                due_.insert({k.dueMs, id});
                spool_->noteAttempt(id, k.attempts, QDateTime::currentDateTimeUtc().addMSecs(k.dueMs - now()),
                                    k.lastReason);
            }
            logEvicted();
            core_.ShowCounters();
            flushRemovalsIfDue(retried->gone);
            TryDue();
            Q_EMIT retryEnded();
        });
}

void RetryQueue::flushRemovalsIfDue(bool removed)
{
    // The removals of a draining backlog share one flush of the folder, made at the latest when
    // the last retry under way has ended, whatever became of it.
    if (removed)
        ++removalsSinceFlush_;
    if (removalsSinceFlush_ == 0 || (removalsSinceFlush_ < 64 && retriesInFlight_ > 0))
        return;
    removalsSinceFlush_ = 0;
    std::shared_ptr<Spool> spool = spool_;
    core_.StartOnWorker([spool] { spool->flushRemovals(); });
}

void RetryQueue::logEvicted()
{
    if (!spool_)
        return;
    const QStringList evicted = spool_->takeEvicted();
    if (evicted.isEmpty())
        return;
    const QString limit = core_.Settings().Read(setting::FailedFolderLimitMB).trimmed();
    for (const QString& id : evicted)
        core_.AddLogText(BuildResourceMessage(msg::FailedEvicted, {id, spool_->failedDir(), limit}), LogPriority::Warning);
}

void RetryQueue::BeginShutdown()
{
    shuttingDown_ = true;
    timer_.stop();
}

QString RetryQueue::Flush()
{
    const qint64 t = now();
    int n = 0;
    // Asked for everything now: not one probe at a time, and no rest the server asked for; a
    // failure brings them back.
    ForgetSmtpServerRests();
    serverDownUntilMs_ = 0;
    restUntilMs_ = 0;
    serverFailed_ = false;
    for (auto& [id, k] : kept_)
        if (!k.inFlight) {
            setDue(id, t);
            ++n;
        }
    TryDue();
    const QString text = QStringLiteral("%1 kept documents are tried now").arg(n);
    core_.AddLogText(BuildResourceMessage(msg::KeptDocumentSteered, {QStringLiteral("*"), text}));
    return text;
}

bool RetryQueue::mayBeSteered(const QString& id, QString* reply) const
{
    if (!spool_) {
        *reply = QStringLiteral("this relay has no spool");
        return false;
    }
    // A retry under way owns its document until its end: it may be removing it or moving it to
    // failed/ right now.
    if (const auto it = kept_.find(id); it != kept_.end() && it->second.inFlight) {
        *reply = QStringLiteral("%1 is being delivered right now; try again in a moment").arg(id);
        return false;
    }
    return true;
}

bool RetryQueue::Delete(const QString& id, QString* reply)
{
    if (!mayBeSteered(id, reply) || !DeleteFromSpool(*spool_, id, reply))
        return false;
    if (const auto it = kept_.find(id); it != kept_.end()) {
        due_.erase({it->second.dueMs, id});
        kept_.erase(it);
    }
    core_.AddLogText(BuildResourceMessage(msg::KeptDocumentSteered, {id, *reply}));
    return true;
}

bool RetryQueue::Requeue(const QString& id, QString* reply)
{
    if (!mayBeSteered(id, reply) || !RequeueInSpool(*spool_, id, reply))
        return false;
    keep(id, now());
    *reply += QStringLiteral(" and tried now");
    core_.AddLogText(BuildResourceMessage(msg::KeptDocumentSteered, {id, *reply}));
    TryDue();
    return true;
}

QStringList RetryQueue::List(const Spool& spool)
{
    QStringList lines;
    for (const Spool::Entry& e : spool.entries()) {
        const QString next = e.failed ? QStringLiteral("-")
                           : e.delivered ? QStringLiteral("removal only")
                           : !e.nextTry.isValid() || e.nextTry <= QDateTime::currentDateTimeUtc()
                               ? QStringLiteral("now")
                               : e.nextTry.toLocalTime().toString(Qt::ISODate);
        QString reason = e.reason;
        reason.replace(QLatin1Char('\t'), QLatin1Char(' '));
        // Every value as the log shows it: what a file or a server said must not forge a line or
        // a field, nor steer the administrator's terminal.
        QStringList recipients;
        for (const QString& r : e.recipients)
            recipients << EscapeControls(r);
        lines << QStringList{EscapeControls(e.id), e.failed ? QStringLiteral("failed") : QStringLiteral("kept"),
                             Age(e.received), e.failed ? QStringLiteral("-") : QString::number(e.attempts), next,
                             recipients.isEmpty() ? QStringLiteral("all") : recipients.join(QLatin1Char(',')),
                             EscapeControls(reason)}
                     .join(QLatin1Char('\t'));
    }
    return lines;
}

bool RetryQueue::DeleteFromSpool(Spool& spool, const QString& id, QString* reply)
{
    QString error;
    if (spool.ids().contains(id)) {
        bool gone = false;
        if (!spool.remove(id, &error, &gone) && !gone) {
            *reply = error;
            return false;
        }
        *reply = QStringLiteral("%1 deleted").arg(id);
        return true;
    }
    if (spool.failedIds().contains(id)) {
        if (!spool.removeFailed(id, &error)) {
            *reply = error;
            return false;
        }
        *reply = QStringLiteral("failed %1 deleted").arg(id);
        return true;
    }
    *reply = QStringLiteral("no kept or failed document %1 in %2").arg(id, spool.dir());
    return false;
}

bool RetryQueue::RequeueInSpool(Spool& spool, const QString& id, QString* reply)
{
    QString error;
    if (!spool.requeue(id, &error)) {
        *reply = error;
        return false;
    }
    *reply = QStringLiteral("%1 is back in the queue").arg(id);
    return true;
}

RetryQueue::State RetryQueue::Snapshot() const
{
    State s;
    s.kept = KeptCount();
    s.failed = spool_ ? spool_->failedCount() : 0;
    s.serverAway = serverFailed_;
    const qint64 t = now();
    // Ids sort by arrival: the first is the oldest.
    if (!kept_.empty()) {
        const Kept& oldest = kept_.begin()->second;
        s.oldestAgeMs = oldest.ageAtSightMs + (t - oldest.sightMs);
    }
    if (!due_.empty())
        s.nextDueInMs = std::max<qint64>(0, due_.begin()->first - t);
    if (serverFailed_ && !kept_.empty())
        s.nextDueInMs = s.nextDueInMs < 0 ? std::max<qint64>(0, nextProbeMs_ - t)
                                          : std::min(s.nextDueInMs, std::max<qint64>(0, nextProbeMs_ - t));
    if (s.nextDueInMs >= 0)
        s.nextDueInMs = std::max({s.nextDueInMs, restUntilMs_ - t, limitHeld_.isEmpty() ? qint64(0) : limitOpenMs_ - t});
    s.limitWait = limitHeld_;
    if (!limitHeld_.isEmpty())
        s.limitOpensInMs = std::max<qint64>(0, limitOpenMs_ - t);
    s.restingServers = RestingSmtpServers();
    if (restUntilMs_ > t)
        s.restEndsInMs = restUntilMs_ - t;
    if (serverFailed_ && !lastServerFailure_.isEmpty()) {
        s.lastReason = lastServerFailure_;
        return s;
    }
    // A failed try sets the next one a back-off later, so the latest try is the one whose due
    // time, less its back-off, is latest; one kept at its first try was tried when first seen.
    qint64 latest = std::numeric_limits<qint64>::min();
    for (const auto& [id, k] : kept_) {
        if (k.lastReason.isEmpty() || k.delivered)
            continue;
        const qint64 tried = k.attempts > 0 ? k.dueMs - retryDelay(k.attempts - 1) : k.sightMs;
        if (tried >= latest) {
            latest = tried;
            s.lastReason = k.lastReason;
        }
    }
    return s;
}

QString RetryQueue::LastReason(const QString& id) const
{
    const auto it = kept_.find(id);
    return it == kept_.end() ? QString() : it->second.lastReason;
}

QString RetryQueue::DurationText(qint64 ms)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    return Age(now.addMSecs(-std::max<qint64>(0, ms)));
}

bool RetryQueue::Flush(const QString& id, QString* reply)
{
    const auto it = kept_.find(id);
    if (it == kept_.end()) {
        *reply = QStringLiteral("no kept document %1").arg(id);
        return false;
    }
    if (!it->second.inFlight) {
        // Asked for by name: not held back as one probe of an absent server, nor by its rest.
        ForgetSmtpServerRests();
        serverDownUntilMs_ = 0;
        restUntilMs_ = 0;
        serverFailed_ = false;
        setDue(id, now());
    }
    *reply = QStringLiteral("%1 is tried now").arg(id);
    core_.AddLogText(BuildResourceMessage(msg::KeptDocumentSteered, {id, *reply}));
    TryDue();
    return true;
}

} // namespace swn
