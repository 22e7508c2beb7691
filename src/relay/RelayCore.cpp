#include "relay/RelayCore.h"

#include "common/Catalogue.h"
#include "common/Files.h"
#include "delivery/CDOSend.h"
#include "delivery/DeliveryError.h"
#include "delivery/smtp/OAuthTokens.h"
#include "delivery/smtp/SmtpSessions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace swn {
namespace {

// A delivery's view of the relay, fixed when it starts; log lines and counters go back to the
// core, which takes them from any thread.
class JobContext : public DeliveryContext {
public:
    JobContext(RelayCore& core, QString smtpHost, bool networkRelay, bool count, bool held, QString sendmail,
               SmtpSecurity security)
        : core_(core), smtpHost_(std::move(smtpHost)), networkRelay_(networkRelay), count_(count), held_(held),
          sendmail_(std::move(sendmail)), security_(std::move(security))
    {
    }
    void AddLogText(const QString& message, LogPriority priority = LogPriority::Info) override
    {
        if (held_)
            lines_.append({message, priority});
        else
            core_.AddLogText(message, priority);
    }
    QString SMTPHostText() const override { return smtpHost_; }
    bool IsNetworkRelayMode() const override { return networkRelay_; }
    void AdvanceCounters(qint32 copies, qint32 relays) override
    {
        if (!count_)
            return;
        // Full statistics are no reason to keep a mail back: the counters stay, the mail goes.
        try {
            core_.AdvanceCounters(copies, relays);
        } catch (const DeliveryError& e) {
            AddLogText(e.text());
        }
    }
    void AdvanceDisplayedCounters(qint32, qint32) override
    {
        if (held_)
            countersMoved_ = true;
        else
            QMetaObject::invokeMethod(&core_, [core = &core_] { core->ShowCounters(); }, Qt::QueuedConnection);
    }
    // A fresh context with the same fixed settings, its own lines and counter flag.
    JobContext copy(bool count) const
    {
        return JobContext(core_, smtpHost_, networkRelay_, count, held_, sendmail_, security_);
    }
    QString SendmailProgram() const override { return sendmail_; }
    bool Stopping() const override { return core_.IsShuttingDown(); }
    SmtpSecurity SmtpSecurityOptions() const override { return security_; }
    void SmtpReplyReceived(int code) override { core_.Stats().SmtpReply(code); }
    void SmtpServerTookMail(const QString& server) override { core_.SmtpServerTookMail(server); }

    QList<QPair<QString, LogPriority>> lines_;
    bool countersMoved_ = false;

private:
    RelayCore& core_;
    QString smtpHost_;
    bool networkRelay_;
    bool count_;
    bool held_;
    QString sendmail_;
    SmtpSecurity security_;
};

} // namespace

RelayCore::RelayCore(RelaySettings& settings, RelayCoreOptions options, QObject* parent)
    : QObject(parent), settings_(settings), options_(std::move(options))
{
    autoStartTimer_.setObjectName(QStringLiteral("Timer1"));
    stderrTimer_.setSingleShot(true);
    stderrTimer_.setInterval(0);
    connect(&stderrTimer_, &QTimer::timeout, this, [this] { flushStderr(); });
    autoStartTimer_.setSingleShot(true);
    connect(&autoStartTimer_, &QTimer::timeout, this, [this] { AutoStartDue(); });
    workers_.setMaxThreadCount(qMax(1, options_.deliveryThreads));
    // Threads stay, and with them their open SMTP connections.
    workers_.setExpiryTimeout(-1);
    sendLimits_.SetLog([this](const QString& text, LogPriority priority) { AddLogText(text, priority); });
    sendLimits_.ApplySettings(settings_);
}

RelayCore::~RelayCore()
{
    Shutdown();
    flushStderr();
}

namespace {

// The keys a running relay applies when the settings file is read again. The window's own keys
// are applied only when the file changed them: an edit in the window stays otherwise.
const SettingKey* const kReloadedKeys[] = {
    &setting::SMTPServer, &setting::ListenerPort, &setting::POPollInterval, &setting::SMTPSecurity,
    &setting::SMTPUser, &setting::SMTPPassword, &setting::SMTPCAFile, &setting::SMTPHeloName,
    &setting::BTLoginID, &setting::BTPassword, &setting::BTDB, &setting::BTDbset,
    &setting::AllowedClients, &setting::ListenAddress, &setting::FailedFolderLimitMB, &setting::MetricsListen,
    &setting::SMTPOAuthTokenURL, &setting::SMTPOAuthClientID, &setting::SMTPOAuthClientSecret,
    &setting::SMTPOAuthScope, &setting::SMTPOAuthTokenCommand, &setting::SMTPClientCertFile,
    &setting::SMTPClientKeyFile, &setting::SMTPMaxConnections, &setting::SMTPMessagesPerMinute,
    &setting::SMTPRecipientsPerDay, &setting::SMTPIdleSeconds,
};

// A token command may carry a secret among its arguments, a token address in its query.
bool IsSecret(const SettingKey& key)
{
    return &key == &setting::SMTPPassword || &key == &setting::BTPassword || &key == &setting::SMTPOAuthClientSecret ||
           &key == &setting::SMTPOAuthTokenCommand || &key == &setting::SMTPOAuthTokenURL;
}

} // namespace

void RelayCore::snapshotSettingsFile()
{
    fileSnapshot_.clear();
    for (const SettingKey* key : kReloadedKeys)
        fileSnapshot_.insert(QLatin1String(key->name), settings_.Read(*key));
}

QStringList RelayCore::Reload()
{
    QStringList changed, shown;
    for (const SettingKey* key : kReloadedKeys) {
        const QString name = QLatin1String(key->name);
        const QString value = settings_.Read(*key);
        if (fileSnapshot_.value(name) == value)
            continue;
        changed << name;
        shown << (IsSecret(*key) ? name : name + QLatin1Char('=') + value);
        if (key == &setting::SMTPServer)
            settings_.SetSMTPServer(value);
        else if (key == &setting::ListenerPort)
            settings_.SetListenerPort(value);
        else if (key == &setting::POPollInterval)
            settings_.SetPOPollInterval(value);
    }
    snapshotSettingsFile();
    smtpSecurity_ = settings_.SmtpSecurityOptions();
    if (changed.contains(QLatin1String(setting::SMTPMessagesPerMinute.name)) ||
        changed.contains(QLatin1String(setting::SMTPRecipientsPerDay.name)))
        sendLimits_.ApplySettings(settings_);
    applySmtpSessionSettings(changed);
    AddLogText(BuildResourceMessage(msg::SettingsReloaded,
                                    {settings_.filePath(), shown.isEmpty() ? QStringLiteral("nothing changed")
                                                                           : shown.join(QStringLiteral(", "))}));
    if (!changed.isEmpty()) {
        logSmtpProblem();
        for (RelayModeHandler* handler : {network_, postOffice_})
            if (handler)
                handler->Reloaded(changed);
    }
    return changed;
}

void RelayCore::applySmtpSessionSettings(const QStringList& changed)
{
    const auto number = [&](const SettingKey& key, int fallback) {
        const QString text = settings_.Read(key).trimmed();
        bool ok = false;
        const int value = text.toInt(&ok);
        if (ok && value >= 0)
            return value;
        if (!text.isEmpty())
            AddLogText(QStringLiteral("%1=%2 is not a number of 0 or more; the relay goes on as if it were not set")
                           .arg(QLatin1String(key.name), text),
                       LogPriority::Warning);
        return fallback;
    };
    SmtpSessionLimits limits;
    limits.maxConnections = number(setting::SMTPMaxConnections, 0);
    if (limits.maxConnections == 0)
        limits.maxConnections = workers_.maxThreadCount();
    limits.idleSeconds = number(setting::SMTPIdleSeconds, QByteArray(setting::SMTPIdleSeconds.defaultValue).toInt());
    ConfigureSmtpSessions(limits);
    // Sessions made with the old server or credentials say QUIT now rather than at their next use.
    const bool smtpChanged = std::any_of(changed.cbegin(), changed.cend(), [](const QString& key) {
        return key.startsWith(QLatin1String("SMTP")) && key != QLatin1String(setting::SMTPMessagesPerMinute.name) &&
               key != QLatin1String(setting::SMTPRecipientsPerDay.name);
    });
    if (smtpChanged) {
        EndSmtpSessions();
        // What a server said of the old login or address says nothing of the new one.
        ForgetSmtpServerRests();
    }
    if (std::any_of(changed.cbegin(), changed.cend(),
                    [](const QString& key) { return key.startsWith(QLatin1String("SMTPOAuth")); }))
        OAuthTokens::Shared().Forget();
}

void RelayCore::SmtpServerTookMail(const QString& server)
{
    metrics_.ServerTookMail(server);
    std::lock_guard lock(takerMutex_);
    if (server == lastTaker_)
        return;
    const bool first = lastTaker_.isEmpty();
    lastTaker_ = server;
    // One line when mail starts going through another server than before, not one a mail.
    if (!first || settings_.SMTPServer().contains(QLatin1Char(',')))
        AddLogText(QStringLiteral("Mail goes through the SMTP server %1").arg(server));
}

void RelayCore::logSmtpProblem()
{
    const QString problem = SmtpConfigurationProblem(settings_.SMTPServer(), smtpSecurity_);
    if (!problem.isEmpty())
        AddLogText(BuildResourceMessage(msg::SmtpSettingsUnusable, {problem}), LogPriority::Error);
}

void RelayCore::StartAsService()
{
    autoStartTimer_.stop();
    if (!IsRunning())
        Start();
}

void RelayCore::LoadSettings()
{
    settings_.Load();
    snapshotSettingsFile();
    smtpSecurity_ = settings_.SmtpSecurityOptions();
    state_ = RunState::Stopped;
    Q_EMIT runStateChanged(state_);
    {
        std::lock_guard lock(countersMutex_);
        totalCopiesCount_ = 0;
        totalRelaysCount_ = 0;
    }
    ShowCounters();
    autoStartTimer_.start(5);
    echoOn_ = false;
}

void RelayCore::CompleteStartUp()
{
    if (postOffice_)
        postOffice_->StartUp();
    if (settings_.Mode() == RelayMode::PostOffice && settings_.AutoStart() != 0)
        Start();
}

void RelayCore::SaveSettings()
{
    if (!settings_.SaveWindowKeys())
        AddLogText(BuildResourceMessage(msg::SettingsNotSaved, {settings_.filePath()}));
}

void RelayCore::AutoStartDue()
{
    autoStartTimer_.stop();
    if (settings_.AutoStart() == 1 && settings_.Mode() == RelayMode::Network && network_)
        network_->Start();
}

void RelayCore::Start()
{
    smtpSecurity_ = settings_.SmtpSecurityOptions();
    // Said once here rather than only with every mail that waits for it.
    if (settings_.TransportChoice() != Transport::Sendmail) {
        // A certificate that cannot be presented would fail every session; better not to start.
        if (const QString problem = SmtpClientCertificateProblem(smtpSecurity_); !problem.isEmpty()) {
            AddLogText(BuildResourceMessage(msg::SmtpSettingsUnusable, {problem}), LogPriority::Error);
            return;
        }
        logSmtpProblem();
    }
    applySmtpSessionSettings({});
    SetRunning();
    if (settings_.Mode() == RelayMode::Network) {
        if (network_)
            network_->Start();
    } else if (postOffice_) {
        postOffice_->Start();
    }
}

void RelayCore::SetRunning()
{
    state_ = RunState::Running;
    Q_EMIT runStateChanged(state_);
}

void RelayCore::SetStopped()
{
    state_ = RunState::Stopped;
    Q_EMIT runStateChanged(state_);
    EndSmtpSessions();
    if (postOffice_)
        postOffice_->Stopped();
    if (network_)
        network_->Stopped();
}

void RelayCore::AdvanceCounters(qint32 copies, qint32 relays)
{
    std::lock_guard lock(countersMutex_);
    qint32 c = 0, r = 0;
    if (__builtin_add_overflow(totalCopiesCount_, copies, &c) || __builtin_add_overflow(totalRelaysCount_, relays, &r))
        throw DeliveryError(LoadResourceString(msg::CounterOverflow));
    totalCopiesCount_ = c;
    totalRelaysCount_ = r;
}

qint32 RelayCore::TotalCopiesCount() const
{
    std::lock_guard lock(countersMutex_);
    return totalCopiesCount_;
}

qint32 RelayCore::TotalRelaysCount() const
{
    std::lock_guard lock(countersMutex_);
    return totalRelaysCount_;
}

void RelayCore::ShowCounters() { Q_EMIT countersChanged(TotalCopiesCount(), TotalRelaysCount()); }

void RelayCore::AddLogText(const QString& message, LogPriority priority)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, message, priority] { addLogTextHere(message, priority); },
                                  Qt::QueuedConnection);
        return;
    }
    addLogTextHere(message, priority);
}

void RelayCore::addLogTextHere(const QString& message, LogPriority priority)
{
    try {
        QString limit = settings_.MaxLogSize();
        const ActivityLog::Append a = log_.add(message, limit);
        if (a.limitCorrected)
            settings_.SetMaxLogSize(limit);
        if (logToStderr_) {
            QByteArray line = a.line.toUtf8();
            line.replace("\r\n", "\n");
            // The journal reads a leading "<N>" as the line's priority and drops it from the text.
            if (journalStream_)
                stderrPending_ += '<' + QByteArray::number(int(priority)) + '>';
            stderrPending_ += line;
            if (stderrPending_.size() > 64 * 1024)
                flushStderr();
            else if (!stderrTimer_.isActive())
                stderrTimer_.start();
        }
        Q_EMIT logAppended(a.line, a.cut);
    } catch (...) {
        // The log never fails its caller.
    }
}

void RelayCore::SetLogToStderr(bool on)
{
    logToStderr_ = on;
    journalStream_ = on && StderrIsJournal();
}

bool RelayCore::StderrIsJournal()
{
    // JOURNAL_STREAM names the device and inode of the stream the journal gave us; it is ours only
    // while stderr is still that stream (a redirect in between makes it someone else's).
    const QByteArray value = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = value.indexOf(':');
    if (colon <= 0)
        return false;
    bool okDev = false, okIno = false;
    const qulonglong dev = value.left(colon).toULongLong(&okDev);
    const qulonglong ino = value.mid(colon + 1).toULongLong(&okIno);
    struct stat st {};
    return okDev && okIno && ::fstat(STDERR_FILENO, &st) == 0 && qulonglong(st.st_dev) == dev &&
        qulonglong(st.st_ino) == ino;
}

void RelayCore::flushStderr()
{
    if (stderrPending_.isEmpty())
        return;
    std::fwrite(stderrPending_.constData(), 1, size_t(stderrPending_.size()), stderr);
    std::fflush(stderr);
    stderrPending_.clear();
}

void RelayCore::ShowMessage(const QString& text, const QString& title, bool warning, const QString& detail)
{
    const QString logged = detail.isEmpty() ? text : text + QStringLiteral(" (") + detail + QLatin1Char(')');
    if (messageSink_) {
        if (!detail.isEmpty())
            AddLogText(logged);
        messageSink_(text, title, warning);
        return;
    }
    // Nobody could dismiss a box: the text goes to the log (and with it to stderr when asked).
    AddLogText(logged);
}

void RelayCore::SaveEchoFile(const QByteArray& text)
{
    const QByteArray dir = QFile::encodeName(QDir::currentPath());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name = QStringLiteral("rad%1.tmp").arg(QRandomGenerator::global()->generate() & 0xFFFFF, 5, 16,
                                                             QLatin1Char('0'));
        const QByteArray path = dir + '/' + QFile::encodeName(name);
        // A whole mail, attachments included: readable by the relay's user only.
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            AddLogText(BuildResourceMessage(msg::EchoFileFailed, {QString::fromLocal8Bit(std::strerror(errno))}));
            return;
        }
        bool ok = WriteFully(fd, text.constData(), text.size());
        const int savedErrno = errno;
        if (::close(fd) != 0)
            ok = false;
        if (!ok) {
            ::unlink(path.constData());
            AddLogText(BuildResourceMessage(msg::EchoFileFailed, {QString::fromLocal8Bit(std::strerror(savedErrno))}));
        }
        return;
    }
    AddLogText(BuildResourceMessage(msg::EchoFileFailed, {QDir::currentPath()}));
}

std::unique_ptr<DeliveryContext> RelayCore::NewDeliveryContext(bool networkRelay, bool count, bool held)
{
    return std::make_unique<JobContext>(*this, settings_.SMTPServer(), networkRelay, count, held,
                                        options_.sendmailProgram, smtpSecurity_);
}

void RelayCore::TakeDeliveryReport(DeliveryContext& context, bool keepLines)
{
    auto* job = dynamic_cast<JobContext*>(&context);
    if (!job)
        return;
    const bool here = QThread::currentThread() == thread();
    if (keepLines)
        for (const auto& [line, priority] : std::as_const(job->lines_))
            here ? addLogTextHere(line, priority) : AddLogText(line, priority);
    job->lines_.clear();
    if (std::exchange(job->countersMoved_, false)) {
        if (here)
            ShowCounters();
        else
            QMetaObject::invokeMethod(this, [this] { ShowCounters(); }, Qt::QueuedConnection);
    }
}

std::unique_ptr<DeliveryContext> RelayCore::CopyDeliveryContext(const DeliveryContext& prototype, bool count)
{
    const auto* job = dynamic_cast<const JobContext*>(&prototype);
    if (!job)
        return nullptr;
    return std::make_unique<JobContext>(job->copy(count));
}

void RelayCore::StartOnWorker(std::function<void()> work, int priority)
{
    workers_.start(std::move(work), priority);
}

void RelayCore::RunOnWorker(std::function<void()> work, QObject* context, std::function<void()> done, int priority)
{
    workers_.start(
        [work = std::move(work), context, done = std::move(done)] {
            work();
            // Posted to `context`: dropped if it is gone by then.
            QMetaObject::invokeMethod(context, done, Qt::QueuedConnection);
        },
        priority);
}

void RelayCore::BeginShutdown(int graceMs)
{
    if (shuttingDown_)
        return;
    shuttingDown_ = true;
    autoStartTimer_.stop();
    int underWay = 0;
    for (RelayModeHandler* handler : {network_, postOffice_})
        if (handler)
            underWay += handler->WorkUnderWay();
    if (underWay > 0)
        AddLogText(BuildResourceMessage(msg::ShutdownWaiting, {graceMs / 1000, underWay}));
    for (RelayModeHandler* handler : {network_, postOffice_})
        if (handler)
            handler->BeginShutdown();
    graceTimer_.setSingleShot(true);
    connect(&graceTimer_, &QTimer::timeout, this, [this] {
        int left = 0;
        for (RelayModeHandler* handler : {network_, postOffice_})
            if (handler)
                left += handler->WorkUnderWay();
        if (left == 0)
            return;
        // What the server has not confirmed yet is kept and sent again at the next start.
        AddLogText(BuildResourceMessage(msg::ShutdownCutShort, {left}), LogPriority::Warning);
        CancelSmtpTransfers();
        // A delivery that ignores even that must not keep the relay from ending.
        hardStopTimer_.setSingleShot(true);
        connect(&hardStopTimer_, &QTimer::timeout, this, [this] {
            if (!std::exchange(shutdownSignalled_, true))
                Q_EMIT shutdownComplete();
        });
        hardStopTimer_.start(10000);
    });
    graceTimer_.start(graceMs);
    WorkFinished();
}

void RelayCore::WorkFinished()
{
    if (!shuttingDown_ || shutdownSignalled_)
        return;
    for (RelayModeHandler* handler : {network_, postOffice_})
        if (handler && handler->WorkUnderWay() > 0)
            return;
    graceTimer_.stop();
    hardStopTimer_.stop();
    shutdownSignalled_ = true;
    // After the replies have been queued: the event loop still writes them out.
    QTimer::singleShot(0, this, [this] { Q_EMIT shutdownComplete(); });
}

bool RelayCore::WaitForWorkers(int ms)
{
    const bool done = workers_.waitForDone(ms);
    flushStderr();
    return done;
}

void RelayCore::Shutdown()
{
    shuttingDown_ = true;
    workers_.waitForDone();
    FinishSmtpSessions();
    flushStderr();
}

} // namespace swn
