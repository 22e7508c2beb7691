#include "postoffice/PostOfficePoller.h"

#include "common/Catalogue.h"
#include "delivery/Delivery.h"
#include "delivery/Staging.h"
#include "tracker/UnavailableTracker.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>

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
        btSession_->LogOn(login, password, database, 2, databaseSet);
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
    input.database = core_.Settings().Read(setting::BTDbset) + QLatin1Char('/') + core_.Settings().Read(setting::BTDB);
    input.firstAttempt = core_.NewDeliveryContext(false, true);
    input.laterAttempt = core_.NewDeliveryContext(false, false);
    roundRunning_ = true;
    pollThread_.start([this, input] {
        runRound(input);
        QMetaObject::invokeMethod(
            this,
            [this] {
                roundRunning_ = false;
                ArmPollTimer();
                Q_EMIT roundFinished();
            },
            Qt::QueuedConnection);
    });
}

void PostOfficePoller::runRound(const RoundInput& input)
{
    if (input.loginFirst) {
        const LoginResult login = tryLogin();
        if (!login.valid) {
            const QString failure = login.detail.isEmpty() ? login.message : login.message + QStringLiteral(" (") + login.detail + QLatin1Char(')');
            // Once per failure, not at every poll.
            if (failure != lastLoginFailure_)
                core_.AddLogText(BuildResourceMessage(msg::LoginRetrying, {failure}));
            lastLoginFailure_ = failure;
            return;
        }
        lastLoginFailure_.clear();
        core_.AddLogText(BuildResourceMessage(msg::LoginRecovered, {core_.Settings().Read(setting::BTDB)}));
        QMetaObject::invokeMethod(this, [this] { setValid(true); }, Qt::QueuedConnection);
    }
    const int logons = logons_;
    try {
        QString holder;
        if (!withSession([&](BTSession& s) { return s.TryLockQueue(&holder); })) {
            if (!lockWaitLogged_)
                core_.AddLogText(BuildResourceMessage(msg::QueueLockedElsewhere, {core_.Settings().Read(setting::BTDB), holder}));
            lockWaitLogged_ = true;
            return;
        }
        lockWaitLogged_ = false;
        QList<qint32> keys;
        qint64 rowCount = 0;
        withSession([&](BTSession& session) {
            std::unique_ptr<BTQuery> query = session.NewQuery(PostOfficeType);
            if (session.IsReplicated()) {
                const QString site = session.LocalSiteName();
                query->AddFilterGroup(1).AddCondition(QStringLiteral("tavo_mastership"), 1, site);
            }
            query->AddColumn(QStringLiteral("dbid"));
            std::unique_ptr<BTResultSet> rows = session.OpenResultSet(*query);
            rows->RequestRowCount();
            rows->Run();
            rowCount = rows->RowCount();
            while (rows->NextRow() == 1)
                keys << qint32(rows->CellValue(1).toInt());
        });
        core_.AddLogText(BuildResourceMessage(137, {QString::number(qint32(rowCount))}));
        for (const qint32 key : keys) {
            // The keys belong to the database this round logged into.
            if (cancel_ || logons_ != logons || !pollRecord(input, key))
                break;
        }
    } catch (const std::exception& e) {
        core_.AddLogText(BuildResourceMessage(msg::PollFailed, {ErrorText(e)}));
    }
}

QString PostOfficePoller::noteName(const QString& database, qint32 key) const
{
    const QByteArray id = QCryptographicHash::hash(database.toUtf8(), QCryptographicHash::Sha1).toHex();
    return QStringLiteral("record-%1-%2").arg(QString::fromLatin1(id)).arg(key);
}

void PostOfficePoller::loadNote(const QString& database, qint32 key)
{
    if (!notes_ || noted_.contains(key))
        return;
    noted_.insert(key);
    const QStringList lines = QString::fromUtf8(notes_->readNote(noteName(database, key))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.value(0) == QLatin1String("delivered"))
        delivered_.insert(key);
    else if (lines.value(0) == QLatin1String("pending") && lines.size() > 1)
        pending_[key] = lines.mid(1);
}

void PostOfficePoller::keepNote(const QString& database, qint32 key)
{
    if (!notes_)
        return;
    QByteArray text;
    if (delivered_.contains(key))
        text = "delivered\n";
    else if (pending_.contains(key))
        text = "pending\n" + pending_.value(key).join(QLatin1Char('\n')).toUtf8() + '\n';
    else
        return;
    QString error;
    if (!notes_->writeNote(noteName(database, key), text, &error))
        core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {notes_->notesDir(), error}));
}

void PostOfficePoller::forget(const QString& database, qint32 key)
{
    delivered_.remove(key);
    counted_.remove(key);
    retries_.remove(key);
    pending_.remove(key);
    noted_.remove(key);
    if (notes_)
        notes_->removeNote(noteName(database, key));
}

void PostOfficePoller::removeDelivered(qint32 key, BTRecord& record, const QString& database)
{
    try {
        withSession([&](BTSession& s) { s.DeleteRecord(record, QStringLiteral("Delete")); });
        forget(database, key);
    } catch (const std::exception& e) {
        // The mail went: only the removal is tried again, never the send, even after a restart.
        if (!delivered_.contains(key)) {
            core_.AddLogText(BuildResourceMessage(msg::RecordNotRemoved, {key, ErrorText(e)}));
            delivered_.insert(key);
            keepNote(database, key);
        }
    }
}

bool PostOfficePoller::pollRecord(const RoundInput& input, qint32 key)
{
    if (setAside_.contains(key))
        return true;
    loadNote(input.database, key);
    const auto retry = retries_.constFind(key);
    if (retry != retries_.constEnd() && retry->dueMs > NowMs())
        return true;
    QString attachments;
    std::unique_ptr<BTRecord> record;
    try {
        record = withSession([&](BTSession& s) { return s.RecordByKey(PostOfficeType, key); });
        if (delivered_.contains(key)) {
            removeDelivered(key, *record, input.database);
            return true;
        }
        const QByteArray payload =
            withSession([&](BTSession&) { return record->FieldObject(QStringLiteral("Payload"))->getValue().toUtf8(); });
        if (input.transport == Transport::CDO) {
            attachments = withSession([&](BTSession&) {
                return StageRecordAttachments(record->AttachmentFieldSet().Item(QStringLiteral("Attachments")));
            });
        }
        if (input.echo) {
            core_.AddLogText(QString::fromUtf8(payload));
            core_.SaveEchoFile(payload);
        }
        // A record tried again counts once.
        DeliveryContext& context = counted_.contains(key) ? *input.laterAttempt : *input.firstAttempt;
        counted_.insert(key);
        DeliveryOutcome outcome;
        DeliveryReport report;
        QString reason;
        try {
            outcome = input.transport == Transport::BTMail
                ? DeliverXMLMailMsgViaZorvix(context, payload)
                : DeliverXMLMailMsgViaCDO(context, payload, attachments, &report, pending_.value(key));
        } catch (const DeliveryError& e) {
            // The document lacks what a mail needs: no later attempt can do better.
            DeleteStagedFiles(attachments);
            outcome = DeliveryOutcome::FailedPermanently;
            reason = e.text();
        }
        attachments.clear(); // the transport removed the files, whatever the outcome
        if (IsTemporary(outcome) && !report.delivered.isEmpty()) {
            pending_[key] = report.pending;
            keepNote(input.database, key);
        }
        switch (outcome) {
        case DeliveryOutcome::Delivered:
            // Noted before the removal: a crash in between must not send it again.
            delivered_.insert(key);
            keepNote(input.database, key);
            delivered_.remove(key);
            removeDelivered(key, *record, input.database);
            return true;
        case DeliveryOutcome::FailedPermanently:
            if (reason.isEmpty())
                reason = QStringLiteral("the mail cannot be delivered");
            try {
                withSession([&](BTSession& s) { s.ParkRecord(*record, reason); });
            } catch (const std::exception&) {
                setAside_.insert(key);
            }
            forget(input.database, key);
            core_.AddLogText(BuildResourceMessage(msg::RecordSetAside, {key, reason}));
            return true;
        case DeliveryOutcome::RetryLater: {
            // This mail waits with its own back-off; the records behind it still go.
            Retry& r = retries_[key];
            r.dueMs = NowMs() + std::min(retryLongestMs_, retryFirstMs_ << std::min(r.attempts, 20));
            ++r.attempts;
            core_.AddLogText(BuildResourceMessage(msg::RecordKeptForRetry, {key}));
            return true;
        }
        case DeliveryOutcome::ServerUnavailable:
            // The records behind it would meet the same outage: they stay queued, in order.
            core_.AddLogText(BuildResourceMessage(msg::RecordKeptForRetry, {key}));
            return false;
        }
    } catch (const std::exception& e) {
        DeleteStagedFiles(attachments);
        core_.AddLogText(BuildResourceMessage(msg::RecordStaysQueued, {key, ErrorText(e)}));
    }
    return true;
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
