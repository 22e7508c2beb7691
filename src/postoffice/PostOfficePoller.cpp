#include "postoffice/PostOfficePoller.h"

#include "common/Catalogue.h"
#include "delivery/Delivery.h"
#include "delivery/Staging.h"
#include "delivery/Transport.h"
#include "tracker/UnavailableTracker.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <condition_variable>
#include <deque>

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
    : QObject(parent), core_(core), factory_(std::move(factory))
{
    if (!factory_)
        factory_ = std::make_shared<UnavailableTrackerFactory>();
    timer_.setObjectName(QStringLiteral("PostOfficePollInterval"));
    connect(&timer_, &QTimer::timeout, this, [this] { PollTick(); });
    connect(&core_.Settings(), &RelaySettings::pollIntervalEdited, this, [this] { PollIntervalChanged(); });
    pollThread_.setMaxThreadCount(1);
    pollThread_.setExpiryTimeout(-1);
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

void PostOfficePoller::Stopped() { timer_.stop(); }

void PostOfficePoller::Reloaded(const QStringList& changedKeys)
{
    static const QStringList loginKeys{QLatin1String(setting::BTLoginID.name), QLatin1String(setting::BTPassword.name),
                                       QLatin1String(setting::BTDB.name), QLatin1String(setting::BTDbset.name)};
    const bool loginChanged = std::any_of(changedKeys.cbegin(), changedKeys.cend(),
                                          [](const QString& k) { return loginKeys.contains(k); });
    // The next round logs in with the new credentials (and says if they do not work).
    if (loginChanged && core_.Settings().Mode() == RelayMode::PostOffice)
        setValid(false);
}

void PostOfficePoller::BeginShutdown()
{
    timer_.stop();
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
        result.message = LoadResourceString(128);
    } catch (const TrackerError& e) {
        switch (e.number()) {
        case tracker_errors::NoSuchDatabase:
            result.message = BuildResourceMessage(130, {settings.Read(setting::BTDB)});
            break;
        case tracker_errors::DatabaseNotAccessible:
            result.message = BuildResourceMessage(132, {settings.Read(setting::BTDB)});
            break;
        case tracker_errors::BadCredentials:
            result.message = BuildResourceMessage(129);
            break;
        default:
            result.message = BuildResourceMessage(133, {e.number()});
            result.detail = e.description();
            break;
        }
    } catch (const std::exception& e) {
        result.message = BuildResourceMessage(133, {tracker_errors::StoreFailure});
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
};

struct PostOfficePoller::Round {
    explicit Round(const RoundInput& in) : input(in) {}
    const RoundInput& input;
    QString database;            // "set/database" of the logon the keys came from
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
    try {
        QString holder;
        bool locked = false;
        withSession([&](BTSession& s) {
            locked = s.TryLockQueue(&holder);
            // The keys below belong to this logon's database, and so does everything remembered of them.
            round.database = loggedOnDatabase_;
            round.logons = logons_;
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
        readJournal(round.database, *round.state);

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
        core_.AddLogText(BuildResourceMessage(137, {QString::number(qint32(rowCount))}));
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
    loadPending(round.database, state, key);
    if (state.delivered.contains(key)) {
        // The mail went at an earlier attempt: only the removal is left, never the send.
        if (!round.toDelete.contains(key))
            round.toDelete << key;
        return true;
    }
    const auto retry = state.retries.constFind(key);
    if (retry != state.retries.constEnd() && retry->dueMs > NowMs())
        return true;
    auto d = std::make_unique<Delivery>();
    d->key = key;
    try {
        std::unique_ptr<BTRecord> record = withSession([&](BTSession& s) {
            if (logons_ != round.logons)
                throw TrackerError(tracker_errors::NotLoggedOn, QStringLiteral("the session logged on elsewhere"));
            return s.RecordByKey(PostOfficeType, key);
        });
        // The tracker holds the payload as text; the relay hands it on as such.
        d->payload = withSession([&](BTSession&) { return record->FieldObject(QStringLiteral("Payload"))->getValue().toUtf8(); });
        if (round.input.transport != Transport::BTMail) {
            d->attachments = withSession([&](BTSession&) {
                return StageRecordAttachments(record->AttachmentFieldSet().Item(QStringLiteral("Attachments")));
            });
        }
    } catch (const std::exception& e) {
        DeleteStagedFiles(d->attachments);
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
    core_.StartOnWorker([this, raw, only, transport, &round] {
        std::unique_ptr<Delivery> d(raw);
        // A document the transport cannot take apart fails for good; a fault of this host leaves
        // the record queued.
        DeliveryResult result =
            DeliverDocument(transport, *d->context, DeliveryRequest{d->payload, DocumentForm::Text, d->attachments, only});
        d->outcome = result.outcome;
        d->error = std::move(result.error);
        d->report = std::move(result.report);
        d->seconds = result.seconds;
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
        keepPending(round.database, state, key);
    }
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
        round.journalTouched = true;
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

void PostOfficePoller::readJournal(const QString& database, DatabaseState& state)
{
    if (!notes_ || state.journalRead)
        return;
    state.journalRead = true;
    const QList<QByteArray> lines = notes_->readNote(journalName(database)).split('\n');
    for (const QByteArray& line : lines) {
        bool ok = false;
        const qint32 key = line.trimmed().toInt(&ok);
        if (ok)
            state.delivered.insert(key);
    }
}

bool PostOfficePoller::journalDelivered(const QString& database, qint32 key)
{
    if (!notes_)
        return false;
    QString error;
    if (notes_->appendNote(journalName(database), QByteArray::number(key) + '\n', &error))
        return true;
    core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {notes_->notesDir(), error}), LogPriority::Error);
    return false;
}

void PostOfficePoller::rewriteJournal(const QString& database, const DatabaseState& state)
{
    if (!notes_)
        return;
    if (state.delivered.isEmpty()) {
        notes_->removeNote(journalName(database));
        return;
    }
    QList<qint32> keys = state.delivered.values();
    std::sort(keys.begin(), keys.end());
    QByteArray text;
    for (const qint32 key : keys)
        text += QByteArray::number(key) + '\n';
    QString error;
    if (!notes_->writeNote(journalName(database), text, &error))
        core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {notes_->notesDir(), error}), LogPriority::Error);
}

void PostOfficePoller::loadPending(const QString& database, DatabaseState& state, qint32 key)
{
    if (!notes_ || state.noted.contains(key))
        return;
    state.noted.insert(key);
    const QStringList lines = QString::fromUtf8(notes_->readNote(pendingNoteName(database, key))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.value(0) == QLatin1String("delivered")) {
        // A note of an earlier version: the journal holds it from now on.
        state.delivered.insert(key);
        if (journalDelivered(database, key))
            notes_->removeNote(pendingNoteName(database, key));
    } else if (lines.value(0) == QLatin1String("pending") && lines.size() > 1)
        state.pending[key] = lines.mid(1);
}

void PostOfficePoller::keepPending(const QString& database, DatabaseState& state, qint32 key)
{
    if (!notes_ || !state.pending.contains(key))
        return;
    const QByteArray text = "pending\n" + state.pending.value(key).join(QLatin1Char('\n')).toUtf8() + '\n';
    QString error;
    if (!notes_->writeNote(pendingNoteName(database, key), text, &error))
        core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {notes_->notesDir(), error}), LogPriority::Error);
}

void PostOfficePoller::forget(const QString& database, DatabaseState& state, qint32 key)
{
    state.delivered.remove(key);
    state.counted.remove(key);
    state.retries.remove(key);
    state.noted.remove(key);
    state.removalLogged.remove(key);
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

} // namespace swn
