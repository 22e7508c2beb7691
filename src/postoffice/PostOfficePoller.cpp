#include "postoffice/PostOfficePoller.h"

#include "common/Catalogue.h"
#include "delivery/Delivery.h"
#include "delivery/DeliveryNotice.h"
#include "delivery/MailDocument.h"
#include "delivery/Staging.h"
#include "delivery/Transport.h"
#include "tracker/UnavailableTracker.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <optional>

namespace swn {
namespace {

const QString PostOfficeType = QStringLiteral("SwiftnotePostOffice");
// A busy tracker database fails an operation after this long instead of holding up the round
// (and any login waiting for the session) for the store's own, longer time-out.
constexpr int kTrackerBusyMs = 2000;

qint64 NowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

QString ErrorText(const std::exception& e)
{
    if (const auto* d = dynamic_cast<const DeliveryError*>(&e))
        return d->text();
    if (const auto* t = dynamic_cast<const TrackerError*>(&e))
        return t->description();
    return QString::fromUtf8(e.what());
}

} // namespace

PostOfficePoller::PostOfficePoller(RelayCore& core, std::shared_ptr<TrackerFactory> factory, QObject* parent)
    : QObject(parent), core_(core), factory_(std::move(factory)),
      notifier_(std::make_unique<Notifier>(core, [] { return NowMs(); }))
{
    if (!factory_)
        factory_ = std::make_shared<UnavailableTrackerFactory>();
    timer_.setObjectName(QStringLiteral("PostOfficePollInterval"));
    connect(&timer_, &QTimer::timeout, this, [this] { PollTick(); });
    connect(&core_.Settings(), &RelaySettings::pollIntervalEdited, this, [this] { PollIntervalChanged(); });
    pollThread_.setMaxThreadCount(1);
    pollThread_.setExpiryTimeout(-1);
    comeBackTimer_.setSingleShot(true);
    connect(&comeBackTimer_, &QTimer::timeout, this, [this] {
        if (!core_.IsRunning() || roundRunning_ || core_.IsShuttingDown())
            return;
        pollCountdown_ = 1;
        PollTick();
    });
    core_.RegisterPostOffice(this);
}

PostOfficePoller::~PostOfficePoller()
{
    cancel_ = true;
    pollThread_.waitForDone();
    core_.RegisterPostOffice(nullptr);
}

template <typename F>
auto PostOfficePoller::withSession(F&& f)
{
    std::lock_guard lock(sessionMutex_);
    return f(*btSession_);
}

void PostOfficePoller::EnsureSession()
{
    std::lock_guard lock(sessionMutex_);
    if (btSession_)
        return;
    try {
        btSession_ = factory_->CreateSession();
    } catch (const std::exception& e) {
        core_.AddLogText(BuildResourceMessage(msg::SessionNotCreated, {ErrorText(e)}));
    }
    if (!btSession_)
        btSession_ = UnavailableTrackerFactory().CreateSession();
    btSession_->SetBusyTimeout(kTrackerBusyMs);
}

void PostOfficePoller::StartUp()
{
    EnsureSession();
    if (core_.Settings().Mode() == RelayMode::PostOffice)
        Login();
}

void PostOfficePoller::Start()
{
    PollIntervalChanged();
    pollCountdown_ = 1;
    PollTick();
}

void PostOfficePoller::Stopped()
{
    timer_.stop();
    comeBackTimer_.stop();
}

void PostOfficePoller::Reloaded(const QStringList& changedKeys)
{
    static const QStringList loginKeys{QLatin1String(setting::BTLoginID.name), QLatin1String(setting::BTPassword.name),
                                       QLatin1String(setting::BTDB.name), QLatin1String(setting::BTDbset.name)};
    const bool loginChanged = std::any_of(changedKeys.cbegin(), changedKeys.cend(),
                                          [](const QString& k) { return loginKeys.contains(k); });
    // The next round logs in with the new credentials (and says if they do not work).
    if (loginChanged && core_.Settings().Mode() == RelayMode::PostOffice)
        setValid(false);
    // Other server settings: the rest the old ones asked for is theirs.
    if (std::any_of(changedKeys.cbegin(), changedKeys.cend(), [](const QString& k) {
            return k.startsWith(QLatin1String("SMTP")) && k != QLatin1String(setting::SMTPMessagesPerMinute.name) &&
                k != QLatin1String(setting::SMTPRecipientsPerDay.name);
        }))
        restUntilMs_ = 0;
    // Changed limits are weighed afresh at once by the records that wait for one.
    if (comeBackTimer_.isActive() && (changedKeys.contains(QLatin1String(setting::SMTPMessagesPerMinute.name)) ||
                                      changedKeys.contains(QLatin1String(setting::SMTPRecipientsPerDay.name))))
        comeBackTimer_.start(0);
}

void PostOfficePoller::BeginShutdown()
{
    timer_.stop();
    comeBackTimer_.stop();
    cancel_ = true; // the round stops before its next record; what is under way finishes
}

void PostOfficePoller::setValid(bool valid)
{
    if (validBTDB_ == valid)
        return;
    validBTDB_ = valid;
    Q_EMIT loginValidChanged(valid);
}

PostOfficePoller::LoginResult PostOfficePoller::tryLogin()
{
    const RelaySettings& settings = core_.Settings();
    LoginResult result;
    try {
        const QString login = settings.Read(setting::BTLoginID);
        const QString password = settings.Read(setting::BTPassword);
        const QString database = settings.Read(setting::BTDB);
        const QString databaseSet = settings.Read(setting::BTDbset);
        EnsureSession();
        std::lock_guard lock(sessionMutex_);
        ++logons_;
        loggedOnDatabase_.clear();
        btSession_->LogOn(login, password, database, 2, databaseSet);
        loggedOnDatabase_ = databaseSet + QLatin1Char('/') + database;
        result.loggedOn = true;
        for (const QString& name : btSession_->RecordTypeNames()) {
            if (name.toLower() == PostOfficeType.toLower()) {
                result.valid = true;
                return result;
            }
        }
        result.message = LoadResourceString(msg::DatabaseNotEnabled);
    } catch (const TrackerError& e) {
        switch (e.number()) {
        case tracker_errors::NoSuchDatabase:
            result.message = BuildResourceMessage(msg::DatabaseNotFound, {settings.Read(setting::BTDB)});
            break;
        case tracker_errors::DatabaseNotAccessible:
            result.message = BuildResourceMessage(msg::DatabaseNotAccessible, {settings.Read(setting::BTDB)});
            break;
        case tracker_errors::BadCredentials:
            result.message = BuildResourceMessage(msg::DatabaseLoginInvalid);
            break;
        default:
            result.message = BuildResourceMessage(msg::UnknownError, {e.number()});
            result.detail = e.description();
            break;
        }
    } catch (const std::exception& e) {
        result.message = BuildResourceMessage(msg::UnknownError, {tracker_errors::StoreFailure});
        result.detail = ErrorText(e);
    }
    return result;
}

bool PostOfficePoller::Login()
{
    const LoginResult result = tryLogin();
    if (result.valid) {
        setValid(true);
        return true;
    }
    // The box says what the tracker's number means; the log keeps the store's own reason.
    core_.ShowMessage(result.message, QString(), false, result.detail);
    // A failed logon leaves the check as it was; a database without the record type clears it.
    if (result.loggedOn)
        setValid(false);
    return false;
}

void PostOfficePoller::ArmPollTimer()
{
    const QString text = core_.Settings().POPollInterval();
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (ok && value >= 0 && value <= 32767)
        pollInterval_ = qint16(value);
    else
        core_.AddLogText(BuildResourceMessage(msg::InvalidPollInterval, {text, pollInterval_}));
    pollCountdown_ = pollInterval_;
    timer_.setInterval(1000);
    if (core_.IsRunning())
        timer_.start();
    else
        timer_.stop();
}

void PostOfficePoller::PostOfficeModeSelected()
{
    Login();
    ArmPollTimer();
    if (core_.IsRunning())
        timer_.start();
    else
        timer_.stop();
}

void PostOfficePoller::PollTick()
{
    --pollCountdown_;
    if (pollCountdown_ > 0)
        return;
    timer_.stop();
    if (core_.Settings().Mode() != RelayMode::PostOffice || roundRunning_ || core_.IsShuttingDown())
        return;
    RoundInput input;
    // A relay running as a service must recover by itself when the tracker was away at start-up.
    if (!validBTDB_) {
        if (!core_.IsRunning())
            return;
        input.loginFirst = true;
    }
    input.transport = core_.Settings().TransportChoice();
    input.echo = core_.EchoOn();
    input.prototype = core_.NewDeliveryContext(false, true, true);
    roundRunning_ = true;
    cancel_ = false;
    pollThread_.start([this, input] {
        runRound(input);
        QMetaObject::invokeMethod(
            this,
            [this] {
                roundRunning_ = false;
                if (core_.IsShuttingDown()) {
                    core_.WorkFinished();
                    return;
                }
                ArmPollTimer();
                if (roundWaitMs_ > 0 && core_.IsRunning())
                    comeBackTimer_.start(int(std::min<qint64>(roundWaitMs_, 24 * 3600 * 1000)));
                Q_EMIT roundFinished();
            },
            Qt::QueuedConnection);
    });
}

// One record handed to a delivery worker, and what came of it.
struct PostOfficePoller::Delivery {
    qint32 key = 0;
    QByteArray payload;
    QString attachments;
    std::unique_ptr<DeliveryContext> context;
    DeliveryOutcome outcome = DeliveryOutcome::RetryLater;
    DeliveryReport report;
    QString error;        // a failure before sending
    double seconds = 0;
    NoticedMail noticed;  // read for a notice, when one may be due
};

struct PostOfficePoller::Round {
    explicit Round(const RoundInput& in) : input(in) {}
    const RoundInput& input;
    QString database;            // "set/database" of the logon the keys came from
    QString identity;            // and the identity of that database
    DatabaseState* state = nullptr;
    int logons = 0;
    std::mutex mutex;            // the fields below, shared with the workers
    std::condition_variable changed;
    int inFlight = 0;
    std::deque<std::unique_ptr<Delivery>> done;
    // Touched by the poll thread only.
    QList<qint32> toDelete;
    bool stop = false;           // the server cannot be reached: nothing more starts
    bool journalTouched = false;
    QString limit;               // the limit toward the server the next record waits for
    qint64 limitWaitMs = 0;      // until it opens
};

void PostOfficePoller::runRound(const RoundInput& input)
{
    if (input.loginFirst) {
        const LoginResult login = tryLogin();
        if (!login.valid) {
            const QString failure = login.detail.isEmpty() ? login.message : login.message + QStringLiteral(" (") + login.detail + QLatin1Char(')');
            // Once per failure, not at every poll.
            if (failure != lastLoginFailure_)
                core_.AddLogText(BuildResourceMessage(msg::LoginRetrying, {failure}), LogPriority::Warning);
            lastLoginFailure_ = failure;
            return;
        }
        lastLoginFailure_.clear();
        core_.AddLogText(BuildResourceMessage(msg::LoginRecovered, {core_.Settings().Read(setting::BTDB)}));
        QMetaObject::invokeMethod(this, [this] { setValid(true); }, Qt::QueuedConnection);
    }
    Round round{input};
    roundWaitMs_ = 0;
    try {
        QString holder;
        bool locked = false;
        withSession([&](BTSession& s) {
            locked = s.TryLockQueue(&holder);
            // The keys below belong to this logon's database, and so does everything remembered of them.
            round.database = loggedOnDatabase_;
            round.logons = logons_;
            if (locked)
                round.identity = s.DatabaseIdentity();
        });
        if (!locked) {
            if (!lockWaitLogged_)
                core_.AddLogText(BuildResourceMessage(msg::QueueLockedElsewhere, {round.database.section(QLatin1Char('/'), 1), holder}),
                                 LogPriority::Warning);
            lockWaitLogged_ = true;
            return;
        }
        lockWaitLogged_ = false;
        round.state = &databases_[round.database];
        // A database made anew under the same name reuses the keys of the one before it.
        if (round.state->journalRead && round.state->identity != round.identity)
            *round.state = DatabaseState{};
        readJournal(round);
        trimJournal(round);

        std::unique_ptr<BTResultSet> rows;
        qint64 rowCount = 0;
        withSession([&](BTSession& session) {
            std::unique_ptr<BTQuery> query = session.NewQuery(PostOfficeType);
            if (session.IsReplicated()) {
                const QString site = session.LocalSiteName();
                query->AddFilterGroup(1).AddCondition(QStringLiteral("tavo_mastership"), 1, site);
            }
            query->AddColumn(QStringLiteral("dbid"));
            rows = session.OpenResultSet(*query);
            rows->RequestRowCount();
            rows->Run();
            rowCount = rows->RowCount();
        });
        core_.AddLogText(BuildResourceMessage(msg::PostOfficeChecked, {QString::number(qint32(rowCount))}));
        core_.Stats().Add(Metrics::Counter::PostOfficeRecordsFound, rowCount);

        const int most = std::max(1, core_.DeliveryThreads());
        for (;;) {
            // Records are read a page at a time as the round goes, never all at once.
            qint32 key = 0;
            const bool more = withSession([&](BTSession&) {
                if (rows->NextRow() != 1)
                    return false;
                key = qint32(rows->CellValue(1).toInt());
                return true;
            });
            if (!more)
                break;
            // Settle what came back, and wait for a free worker.
            settleFinished(round, most);
            if (round.toDelete.size() >= 64)
                flushDeletes(round);
            // The keys belong to the database this round logged into.
            if (cancel_ || round.stop || logons_ != round.logons)
                break;
            if (!startRecord(round, key))
                break;
        }
    } catch (const std::exception& e) {
        core_.AddLogText(BuildResourceMessage(msg::PollFailed, {ErrorText(e)}), LogPriority::Error);
    }
    // Whatever is under way ends before the round does, and what went is removed.
    settleFinished(round, 1);
    // Told once while records wait for a limit, not at every round that finds them waiting.
    if (!round.limit.isEmpty() && !std::exchange(limitSpell_, true))
        core_.AddLogText(QStringLiteral("Post office records wait for the limit %1 toward the mail server; they go "
                                        "as soon as the limit allows, in their order")
                             .arg(round.limit),
                         LogPriority::Warning);
    else if (round.limit.isEmpty() && !round.stop)
        limitSpell_ = false;
    const qint64 rest = restUntilMs_ - NowMs();
    roundWaitMs_ = !round.limit.isEmpty() ? round.limitWaitMs : rest > 0 ? rest : 0;
    if (!round.state)
        return;
    flushDeletes(round);
    if (round.journalTouched)
        rewriteJournal(round.database, *round.state);
}

void PostOfficePoller::settleFinished(Round& round, int most)
{
    std::unique_lock lock(round.mutex);
    for (;;) {
        round.changed.wait(lock, [&] { return !round.done.empty() || round.inFlight < most; });
        if (round.done.empty())
            return;
        std::unique_ptr<Delivery> d = std::move(round.done.front());
        round.done.pop_front();
        lock.unlock();
        settle(round, *d);
        lock.lock();
    }
}

bool PostOfficePoller::startRecord(Round& round, qint32 key)
{
    DatabaseState& state = *round.state;
    if (state.setAside.contains(key))
        return true;
    loadPending(round, key);
    if (state.delivered.contains(key)) {
        // The mail went at an earlier attempt: only the removal is left, never the send.
        if (!round.toDelete.contains(key))
            round.toDelete << key;
        return true;
    }
    const auto retry = state.retries.constFind(key);
    if (retry != state.retries.constEnd() && retry->dueMs > NowMs())
        return true;
    // The server asked for a rest: no record goes before its end, and they keep their order.
    if (restUntilMs_ > NowMs())
        return false;
    auto d = std::make_unique<Delivery>();
    d->key = key;
    // What the limits counted for it, given back when nothing of it went.
    std::optional<SendLimits::Verdict> admitted;
    try {
        std::unique_ptr<BTRecord> record = withSession([&](BTSession& s) {
            if (logons_ != round.logons)
                throw TrackerError(tracker_errors::NotLoggedOn, QStringLiteral("the session logged on elsewhere"));
            return s.RecordByKey(PostOfficeType, key);
        });
        // The tracker holds the payload as text; the relay hands it on as such.
        d->payload = withSession([&](BTSession&) { return record->FieldObject(QStringLiteral("Payload"))->getValue().toUtf8(); });
        // Over a limit toward the server it stays queued, and so do those behind it, untouched.
        SendLimits& limits = core_.Limits();
        if (round.input.transport != Transport::Sendmail && limits.Active()) {
            const QStringList only = state.pending.value(key);
            const int n = !limits.CountsRecipients() ? 1
                        : !only.isEmpty()           ? int(only.size())
                                                    : int(ReadNoticedMail(d->payload, DocumentForm::Text).recipients().size());
            const SendLimits::Verdict verdict = limits.Admit(n);
            if (verdict.waitMs > 0) {
                round.limit = verdict.limit;
                round.limitWaitMs = verdict.waitMs;
                return false;
            }
            admitted = verdict;
        }
        if (round.input.transport != Transport::Sendmail) {
            d->attachments = withSession([&](BTSession&) {
                return StageRecordAttachments(record->AttachmentFieldSet().Item(QStringLiteral("Attachments")));
            });
        }
    } catch (const std::exception& e) {
        DeleteStagedFiles(d->attachments);
        if (admitted)
            core_.Limits().Refund(*admitted);
        // Waits with its own back-off, like a mail the server postponed: a fault of this host (a
        // full temporary folder) would otherwise repeat for every record at every poll.
        Retry& r = postpone(state, key);
        const QString text = ErrorText(e);
        if (std::exchange(r.lastError, text) != text)
            core_.AddLogText(BuildResourceMessage(msg::RecordStaysQueued, {key, text}), LogPriority::Warning);
        return true;
    }
    try {
        if (round.input.echo) {
            core_.AddLogText(QString::fromUtf8(d->payload));
            core_.SaveEchoFile(d->payload);
        }
        // A record tried again counts once.
        d->context = core_.CopyDeliveryContext(*round.input.prototype, !state.counted.contains(key));
    } catch (const std::exception& e) {
        DeleteStagedFiles(d->attachments);
        if (admitted)
            core_.Limits().Refund(*admitted);
        postpone(state, key);
        core_.AddLogText(BuildResourceMessage(msg::RecordStaysQueued, {key, ErrorText(e)}), LogPriority::Warning);
        return true;
    }
    state.counted.insert(key);
    const QStringList only = state.pending.value(key);
    const Transport transport = round.input.transport;
    {
        std::lock_guard lock(round.mutex);
        ++round.inFlight;
    }
    Delivery* raw = d.release();
    core_.StartOnWorker([this, raw, only, transport, admitted, &round] {
        std::unique_ptr<Delivery> d(raw);
        // A document the transport cannot take apart fails for good; a fault of this host leaves
        // the record queued.
        DeliveryResult result =
            DeliverDocument(transport, *d->context, DeliveryRequest{d->payload, DocumentForm::Text, d->attachments, only, false});
        if (admitted && IsTemporary(result.outcome) && result.report.delivered.isEmpty())
            core_.Limits().Refund(*admitted);
        d->outcome = result.outcome;
        d->error = std::move(result.error);
        d->report = std::move(result.report);
        d->seconds = result.seconds;
        // What a notice tells of the mail, read while the payload is still here.
        if (d->outcome == DeliveryOutcome::FailedPermanently || !d->report.refused.isEmpty())
            d->noticed = ReadNoticedMail(d->payload, DocumentForm::Text);
        // Noted at once, not when the round gets to it: a crash in between must not send it again.
        if (d->outcome == DeliveryOutcome::Delivered)
            journalDelivered(round.database, d->key);
        DeleteStagedFiles(d->attachments); // the transport removed them; a failure before it may not have
        d->attachments.clear();
        d->payload.clear();
        std::lock_guard lock(round.mutex);
        round.done.push_back(std::move(d));
        --round.inFlight;
        round.changed.notify_all();
    });
    return true;
}

PostOfficePoller::Retry& PostOfficePoller::postpone(DatabaseState& state, qint32 key)
{
    Retry& r = state.retries[key];
    r.dueMs = NowMs() + std::min(retryLongestMs_, retryFirstMs_ << std::min(r.attempts, 20));
    ++r.attempts;
    return r;
}

void PostOfficePoller::settle(Round& round, Delivery& d)
{
    DatabaseState& state = *round.state;
    const qint32 key = d.key;
    const DeliveryOutcome outcome = d.outcome;
    Metrics& metrics = core_.Stats();
    metrics.ObserveDelivery(d.seconds);
    metrics.Add(Metrics::Counter::RecipientsRefused, d.report.refused.size());
    QString reason = !d.error.isEmpty() ? d.error : d.report.reason;

    // An outage already told is not told again at every round: its lines go unsaid.
    const bool quiet = outcome == DeliveryOutcome::ServerUnavailable && !outageLogged_.isEmpty() && outageLogged_ == reason;
    core_.TakeDeliveryReport(*d.context, !quiet);
    if (IsTemporary(outcome) && !d.report.delivered.isEmpty()) {
        state.pending[key] = d.report.pending;
        keepPending(round, key);
    }
    // Those refused for good while others got it (or will) are told about once.
    if (outcome != DeliveryOutcome::FailedPermanently && !d.report.refused.isEmpty())
        notifier_->Notify(Notifier::Failure(QString::number(key), d.noticed, d.report.refused, d.report.reason,
                                            QDateTime::currentDateTimeUtc()));
    switch (outcome) {
    case DeliveryOutcome::Delivered: {
        if (!outageLogged_.isEmpty()) {
            outageLogged_.clear();
            core_.AddLogText(BuildResourceMessage(msg::ServerBack, {QStringLiteral("post office records go out again")}));
        }
        metrics.Add(Metrics::Counter::PostOfficeRecordsDelivered);
        // The worker noted it in the journal; remembered here before the removal, too.
        state.delivered.insert(key);
        round.journalTouched = true;
        round.toDelete << key;
        return;
    }
    case DeliveryOutcome::FailedPermanently: {
        if (reason.isEmpty())
            reason = QStringLiteral("the mail cannot be delivered");
        bool parked = false;
        try {
            withSession([&](BTSession& s) {
                if (logons_ != round.logons)
                    throw TrackerError(tracker_errors::NotLoggedOn, QStringLiteral("the session logged on elsewhere"));
                std::unique_ptr<BTRecord> record = s.RecordByKey(PostOfficeType, key);
                s.ParkRecord(*record, reason);
            });
            parked = true;
        } catch (const std::exception&) {
            // Not parked: it is skipped for this run, and who still waits for it is not forgotten.
            state.setAside.insert(key);
        }
        if (parked)
            forget(round.database, state, key);
        metrics.Add(Metrics::Counter::PostOfficeRecordsSetAside);
        core_.AddLogText(BuildResourceMessage(msg::RecordSetAside, {key, reason}), LogPriority::Error);
        notifier_->Notify(Notifier::Failure(QString::number(key), d.noticed, d.report.refused, reason,
                                            QDateTime::currentDateTimeUtc()));
        return;
    }
    case DeliveryOutcome::RetryLater: {
        // This mail waits with its own back-off; the records behind it still go.
        postpone(state, key);
        if (!d.error.isEmpty())
            core_.AddLogText(BuildResourceMessage(msg::RecordStaysQueued, {key, d.error}), LogPriority::Warning);
        else
            core_.AddLogText(BuildResourceMessage(msg::RecordKeptForRetry, {key}), LogPriority::Warning);
        return;
    }
    case DeliveryOutcome::ServerUnavailable:
        // The records behind it would meet the same outage: they stay queued, in order.
        round.stop = true;
        if (d.report.serverRestMs > 0)
            restUntilMs_ = std::max<qint64>(restUntilMs_, NowMs() + d.report.serverRestMs);
        if (quiet)
            return;
        core_.AddLogText(BuildResourceMessage(msg::RecordKeptForRetry, {key}), LogPriority::Warning);
        if (outageLogged_ != reason && !reason.isEmpty()) {
            outageLogged_ = reason;
            core_.AddLogText(BuildResourceMessage(msg::ServerStillAway), LogPriority::Warning);
        }
        return;
    }
}

void PostOfficePoller::flushDeletes(Round& round)
{
    if (round.toDelete.isEmpty())
        return;
    DatabaseState& state = *round.state;
    QList<qint64> keys;
    for (const qint32 key : std::as_const(round.toDelete))
        keys << key;
    try {
        withSession([&](BTSession& s) {
            // Never by key in a database the session has logged into since.
            if (logons_ != round.logons)
                throw TrackerError(tracker_errors::NotLoggedOn, QStringLiteral("the session logged on elsewhere"));
            s.DeleteRecordsByKey(PostOfficeType, keys);
        });
        for (const qint32 key : std::as_const(round.toDelete))
            forget(round.database, state, key);
        // At once: a journal that outlived the commit would name records that are gone.
        rewriteJournal(round.database, state);
        round.journalTouched = false;
    } catch (const std::exception& e) {
        // The mail went: only the removal is tried again, never the send, even after a restart.
        for (const qint32 key : std::as_const(round.toDelete))
            if (!state.removalLogged.contains(key)) {
                state.removalLogged.insert(key);
                core_.AddLogText(BuildResourceMessage(msg::RecordNotRemoved, {key, ErrorText(e)}), LogPriority::Error);
            }
    }
    round.toDelete.clear();
}

QString PostOfficePoller::databaseId(const QString& database) const
{
    return QString::fromLatin1(QCryptographicHash::hash(database.toUtf8(), QCryptographicHash::Sha1).toHex());
}

QString PostOfficePoller::journalName(const QString& database) const
{
    return QStringLiteral("delivered-%1").arg(databaseId(database));
}

QString PostOfficePoller::pendingNoteName(const QString& database, qint32 key) const
{
    return QStringLiteral("record-%1-%2").arg(databaseId(database)).arg(key);
}

void PostOfficePoller::readJournal(Round& round)
{
    DatabaseState& state = *round.state;
    if (state.journalRead)
        return;
    state.journalRead = true;
    state.identity = round.identity;
    QSet<qint32> keys;
    bool stale = false;
    if (notes_) {
        QList<QByteArray> lines = notes_->readNote(journalName(round.database)).split('\n');
        // What follows the last line break is a line whose writing was cut off: not a note.
        if (!lines.isEmpty() && !lines.takeLast().isEmpty())
            stale = true;
        for (const QByteArray& text : std::as_const(lines)) {
            const QByteArray line = text.trimmed();
            if (line.isEmpty())
                continue;
            // "identity key"; a line of an earlier version has the key alone and is taken for
            // this database, the only one it knew by this name.
            const qsizetype space = line.indexOf(' ');
            bool ok = false;
            const qint32 key = line.mid(space + 1).toInt(&ok);
            if (!ok || (space >= 0 && QString::fromLatin1(line.left(space)) != round.identity)) {
                stale = true;
                continue;
            }
            keys.insert(key);
            if (space < 0 && !round.identity.isEmpty())
                stale = true; // written again with the identity
        }
    }
    state.delivered += keys;
    {
        std::lock_guard lock(journalMutex_);
        Journal& journal = journals_[round.database];
        journal.identity = round.identity;
        journal.keys = keys;
    }
    if (stale)
        round.journalTouched = true;
}

void PostOfficePoller::trimJournal(Round& round)
{
    DatabaseState& state = *round.state;
    QList<qint32> gone;
    // The notes of recipients still waiting are checked with the journal: a kill between a
    // removal and its note's would leave the note for good.
    QSet<qint32> candidates = state.delivered;
    if (notes_) {
        const QString prefix = pendingNoteName(round.database, 0).chopped(1);
        const QStringList names = QDir(notes_->notesDir()).entryList({prefix + QLatin1Char('*')}, QDir::Files);
        for (const QString& name : names) {
            bool ok = false;
            const qint32 key = name.mid(prefix.size()).toInt(&ok);
            if (ok)
                candidates.insert(key);
        }
    }
    for (const qint32 key : std::as_const(candidates)) {
        const std::optional<bool> queued = withSession([&](BTSession& s) -> std::optional<bool> {
            // Never by key in a database the session has logged into since.
            if (logons_ != round.logons)
                return std::nullopt;
            try {
                s.RecordByKey(PostOfficeType, key);
                return true;
            } catch (const TrackerError& e) {
                if (e.number() != tracker_errors::NoSuchRecord)
                    throw;
                return false;
            }
        });
        if (!queued)
            return;
        // Removed, by this relay before a crash or by anyone since: the note has done its work.
        if (!*queued)
            gone << key;
    }
    for (const qint32 key : std::as_const(gone)) {
        forget(round.database, state, key);
        if (notes_)
            notes_->removeNote(pendingNoteName(round.database, key));
    }
    if (!gone.isEmpty() || round.journalTouched) {
        rewriteJournal(round.database, state);
        round.journalTouched = false;
    }
}

bool PostOfficePoller::journalDelivered(const QString& database, qint32 key)
{
    if (!notes_)
        return false;
    QByteArray line = QByteArray::number(key) + '\n';
    {
        // Known before the line is written: a rewrite meanwhile keeps it, and the line then
        // goes to the file the rewrite made.
        std::lock_guard lock(journalMutex_);
        Journal& journal = journals_[database];
        journal.keys.insert(key);
        if (!journal.identity.isEmpty())
            line.prepend(journal.identity.toLatin1() + ' ');
    }
    QString error;
    if (notes_->appendNote(journalName(database), line, &error))
        return true;
    core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {notes_->notesDir(), error}), LogPriority::Error);
    return false;
}

void PostOfficePoller::rewriteJournal(const QString& database, const DatabaseState& state)
{
    if (!notes_)
        return;
    std::lock_guard lock(journalMutex_);
    Journal& journal = journals_[database];
    // With what the workers noted since and the round has not settled yet.
    journal.keys += state.delivered;
    if (journal.keys.isEmpty()) {
        notes_->removeNote(journalName(database));
        return;
    }
    QList<qint32> keys = journal.keys.values();
    std::sort(keys.begin(), keys.end());
    const QByteArray prefix = journal.identity.isEmpty() ? QByteArray() : journal.identity.toLatin1() + ' ';
    QByteArray text;
    for (const qint32 key : keys)
        text += prefix + QByteArray::number(key) + '\n';
    QString error;
    if (!notes_->writeNote(journalName(database), text, &error))
        core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {notes_->notesDir(), error}), LogPriority::Error);
}

void PostOfficePoller::loadPending(Round& round, qint32 key)
{
    DatabaseState& state = *round.state;
    if (!notes_ || state.noted.contains(key))
        return;
    state.noted.insert(key);
    const QString name = pendingNoteName(round.database, key);
    const QStringList lines = QString::fromUtf8(notes_->readNote(name)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QString head = lines.value(0);
    if (head == QLatin1String("delivered")) {
        // A note of an earlier version: the journal holds it from now on.
        state.delivered.insert(key);
        if (journalDelivered(round.database, key))
            notes_->removeNote(name);
    } else if (head.startsWith(QLatin1String("pending"))) {
        // "pending identity"; an earlier version's "pending" knew only this database by its name.
        const QString identity = head.mid(8);
        if (head != QLatin1String("pending") && (head.at(7) != QLatin1Char(' ') || identity != round.identity))
            notes_->removeNote(name); // of a record of another database under this name
        else if (lines.size() > 1)
            state.pending[key] = lines.mid(1);
    }
}

void PostOfficePoller::keepPending(Round& round, qint32 key)
{
    DatabaseState& state = *round.state;
    if (!notes_ || !state.pending.contains(key))
        return;
    QByteArray head = "pending";
    if (!round.identity.isEmpty())
        head += ' ' + round.identity.toLatin1();
    const QByteArray text = head + '\n' + state.pending.value(key).join(QLatin1Char('\n')).toUtf8() + '\n';
    QString error;
    if (!notes_->writeNote(pendingNoteName(round.database, key), text, &error))
        core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {notes_->notesDir(), error}), LogPriority::Error);
}

void PostOfficePoller::forget(const QString& database, DatabaseState& state, qint32 key)
{
    state.delivered.remove(key);
    state.counted.remove(key);
    state.retries.remove(key);
    state.noted.remove(key);
    state.removalLogged.remove(key);
    {
        std::lock_guard lock(journalMutex_);
        journals_[database].keys.remove(key);
    }
    if (state.pending.remove(key) && notes_)
        notes_->removeNote(pendingNoteName(database, key));
}

QString PostOfficePoller::StageRecordAttachments(BTAttachmentField& field)
{
    QString list;
    if (field.AttachmentItems()->Count() <= 0)
        return list;
    std::unique_ptr<BTAttachmentItems> items = field.AttachmentItems();
    try {
        const int count = items->Count();
        for (int i = 0; i < count; ++i) {
            BTAttachment& attachment = items->Item(i);
            const QString path = NewStagedFilePath();
            QString entry;
            try {
                attachment.Load(path);
                entry = StagedDisplayName(attachment.Description()) + QStringLiteral("||") + path;
            } catch (...) {
                QFile::remove(path);
                throw;
            }
            if (!list.isEmpty())
                list += QStringLiteral(":##:");
            list += entry;
        }
    } catch (...) {
        DeleteStagedFiles(list);
        throw;
    }
    return list;
}

QStringList PostOfficePoller::ListDatabaseSets()
{
    EnsureSession();
    return withSession([](BTSession& s) { return s.ListDatabaseSets(); });
}

std::optional<std::vector<BTDatabaseInfo>> PostOfficePoller::ListDatabases(const QString& masterName, QString& userName,
                                                                          const QString& databaseSet)
{
    EnsureSession();
    return withSession([&](BTSession& s) { return s.ListDatabases(masterName, userName, databaseSet); });
}

QList<PostOfficePoller::SetAsideRecord> PostOfficePoller::SetAsideRecords()
{
    EnsureSession();
    QList<BTParkedRecord> parked;
    try {
        parked = withSession([](BTSession& s) { return s.ParkedRecords(PostOfficeType, true); });
    } catch (const std::exception&) {
        return {};
    }
    QList<SetAsideRecord> records;
    for (const BTParkedRecord& p : parked) {
        SetAsideRecord r;
        r.key = p.key;
        r.reason = p.reason;
        r.setAsideAt = p.parkedAt;
        try {
            LoadedMailDocument document = LoadMailDocument(p.payload.toUtf8(), DocumentForm::Text);
            if (document.loaded()) {
                r.subject = ReadElementText(document.root, "Subject");
                for (const char* list : {"ToList", "CCList", "BCCList"})
                    if (document.root.child(list))
                        r.recipients += ReadAddressList(document.root, list);
            } else {
                r.subject = document.failureReason;
            }
        } catch (const std::exception& e) {
            r.subject = ErrorText(e);
        }
        records << r;
    }
    setAsideCount_ = int(records.size());
    return records;
}

void PostOfficePoller::CountSetAside()
{
    if (setAsideCounting_.exchange(true))
        return;
    EnsureSession();
    pollThread_.start([this] {
        int count = -1;
        if (!cancel_) {
            try {
                count = withSession([](BTSession& s) { return int(s.ParkedRecords(PostOfficeType, false).size()); });
            } catch (const std::exception&) {
            }
        }
        setAsideCount_ = count;
        setAsideCounting_ = false;
        QMetaObject::invokeMethod(this, [this, count] { Q_EMIT setAsideCounted(count); }, Qt::QueuedConnection);
    });
}

bool PostOfficePoller::RequeueSetAside(qint64 key, QString* reply)
{
    EnsureSession();
    try {
        withSession([&](BTSession& s) {
            std::unique_ptr<BTRecord> record = s.RecordByKey(PostOfficeType, key);
            s.RequeueRecord(*record);
        });
    } catch (const std::exception& e) {
        *reply = ErrorText(e);
        return false;
    }
    *reply = QStringLiteral("record %1 is queued again").arg(key);
    CountSetAside();
    return true;
}

bool PostOfficePoller::DeleteSetAside(qint64 key, QString* reply)
{
    EnsureSession();
    try {
        withSession([&](BTSession& s) {
            // Only a record set aside: a queued one may be on its way right now.
            const QList<BTParkedRecord> parked = s.ParkedRecords(PostOfficeType, false);
            if (std::none_of(parked.cbegin(), parked.cend(), [key](const BTParkedRecord& p) { return p.key == key; }))
                throw TrackerError(tracker_errors::InvalidArgument, QStringLiteral("record %1 is not set aside").arg(key));
            std::unique_ptr<BTRecord> record = s.RecordByKey(PostOfficeType, key);
            s.DeleteRecord(*record, QStringLiteral("Delete"));
        });
    } catch (const std::exception& e) {
        *reply = ErrorText(e);
        return false;
    }
    *reply = QStringLiteral("record %1 deleted").arg(key);
    CountSetAside();
    return true;
}

} // namespace swn
