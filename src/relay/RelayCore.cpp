#include "relay/RelayCore.h"

#include "common/Catalogue.h"
#include "common/Files.h"
#include "delivery/DeliveryError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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
    QString SendmailProgram() const override { return sendmail_; }
    SmtpSecurity SmtpSecurityOptions() const override { return security_; }

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
}

RelayCore::~RelayCore()
{
    Shutdown();
    flushStderr();
}

void RelayCore::LoadSettings()
{
    settings_.Load();
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
    (void)priority;
    try {
        QString limit = settings_.MaxLogSize();
        const ActivityLog::Append a = log_.add(message, limit);
        if (a.limitCorrected)
            settings_.SetMaxLogSize(limit);
        if (logToStderr_) {
            QByteArray line = a.line.toUtf8();
            line.replace("\r\n", "\n");
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

void RelayCore::TakeDeliveryReport(DeliveryContext& context)
{
    auto* job = dynamic_cast<JobContext*>(&context);
    if (!job)
        return;
    for (const auto& [line, priority] : std::as_const(job->lines_))
        addLogTextHere(line, priority);
    job->lines_.clear();
    if (std::exchange(job->countersMoved_, false))
        ShowCounters();
}

void RelayCore::RunOnWorker(std::function<void()> work, QObject* context, std::function<void()> done)
{
    workers_.start([work = std::move(work), context, done = std::move(done)] {
        work();
        // Posted to `context`: dropped if it is gone by then.
        QMetaObject::invokeMethod(context, done, Qt::QueuedConnection);
    });
}

void RelayCore::Shutdown()
{
    shuttingDown_ = true;
    workers_.waitForDone();
    flushStderr();
}

} // namespace swn
