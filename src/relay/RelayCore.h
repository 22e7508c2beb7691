#pragma once
// The relay without its window: run state, counters, activity log, echo switch, start-up and
// Start/Stop, and the workers that deliver documents off the event loop's thread.
#include "common/ActivityLog.h"
#include "delivery/DeliveryContext.h"
#include "relay/Metrics.h"
#include "relay/RelaySettings.h"
#include "relay/SendLimits.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace swn {

enum class RunState { Stopped, Running };

// What Start does in each mode; the network relay and the post office register themselves.
class RelayModeHandler {
public:
    virtual ~RelayModeHandler() = default;
    // Start pressed (the state is already Running).
    virtual void Start() = 0;
    // Start-up, after the window (if any) is shown.
    virtual void StartUp() {}
    // The state went to Stopped.
    virtual void Stopped() {}
    // The settings file was read again; `changedKeys` names the keys whose values changed.
    virtual void Reloaded(const QStringList& changedKeys) { (void)changedKeys; }
    // The relay is ending: take no new work, let what is under way finish or be kept, and
    // call RelayCore::WorkFinished when WorkUnderWay() has come down to 0.
    virtual void BeginShutdown() {}
    virtual int WorkUnderWay() const { return 0; }
};

struct RelayCoreOptions {
    QString sendmailProgram;
    // Worker threads for network relay mode; each keeps its own SMTP connection.
    int deliveryThreads = 8;
};

class RelayCore : public QObject {
    Q_OBJECT
public:
    RelayCore(RelaySettings& settings, RelayCoreOptions options, QObject* parent = nullptr);
    ~RelayCore() override;

    RelaySettings& Settings() { return settings_; }
    void RegisterNetworkRelay(RelayModeHandler* handler) { network_ = handler; }
    void RegisterPostOffice(RelayModeHandler* handler) { postOffice_ = handler; }

    // Start-up: the settings, the Stopped state, zero counters, the one-shot start timer.
    void LoadSettings();
    // The rest of start-up: the tracker session, the login and auto start in post office mode.
    void CompleteStartUp();
    void AutoStartDue();
    QTimer& AutoStartTimer() { return autoStartTimer_; }
    // A service has no window to press Start in: it relays from the start whatever AutoStart says.
    void StartAsService();

    // Reads the settings file again and applies what the relay uses while it runs (SMTP server
    // and security, tracker login, listener, poll interval, metrics); logs what changed, never a
    // password. Returns the keys that changed.
    QStringList Reload();

    // Writes the window's settings; a failure is logged.
    void SaveSettings();

    // Run control.
    void Start();
    void Stop() { SetStopped(); }
    void SetRunning();
    void SetStopped();
    bool IsRunning() const { return state_ == RunState::Running; }
    RunState State() const { return state_; }

    // Counters. AdvanceCounters may be called from any thread and throws DeliveryError when a
    // counter would pass 32 bits; ShowCounters tells the window the totals.
    void AdvanceCounters(qint32 copies, qint32 relays);
    qint32 TotalCopiesCount() const;
    qint32 TotalRelaysCount() const;
    void ShowCounters();

    // The activity log; may be called from any thread, and never fails its caller.
    void AddLogText(const QString& message, LogPriority priority = LogPriority::Info);
    const QString& LogText() const { return log_.text(); }
    // Every line also goes to stderr as one stamped line, for the journal; when stderr is the
    // journal's own stream, each line starts with its priority.
    void SetLogToStderr(bool on);
    static bool StderrIsJournal();

    // Echo switch, and the file every echoed document is saved to.
    bool EchoOn() const { return echoOn_; }
    void ToggleEcho() { echoOn_ = !echoOn_; }
    void SaveEchoFile(const QByteArray& text);

    // Message boxes: the window shows them; without one they become log lines.
    using MessageSink = std::function<void(const QString& text, const QString& title, bool warning)>;
    void SetMessageSink(MessageSink sink) { messageSink_ = std::move(sink); }
    // `detail`, when given, is what the log keeps beside the text (a box shows the text alone).
    void ShowMessage(const QString& text, const QString& title = QString(), bool warning = false,
                     const QString& detail = QString());

    // What a delivery needs of its caller, fixed when the delivery starts so that it can run on
    // any thread while the window changes.
    // `count`: false for a mail that was counted at an earlier attempt. `held`: its log lines
    // and counters wait for TakeDeliveryReport, so that one delivery wakes this thread once.
    std::unique_ptr<DeliveryContext> NewDeliveryContext(bool networkRelay, bool count = true, bool held = false);
    // After a held delivery: its log lines (dropped when `keepLines` is false), then the
    // counters. From any thread.
    void TakeDeliveryReport(DeliveryContext& context, bool keepLines = true);
    // A held context like `prototype` (made on this object's thread), for one delivery of a poll
    // round; may be called from any thread. `count`: as for NewDeliveryContext.
    std::unique_ptr<DeliveryContext> CopyDeliveryContext(const DeliveryContext& prototype, bool count);
    // Runs `work` on a delivery worker and nothing afterwards.
    void StartOnWorker(std::function<void()> work, int priority = 0);
    // Runs `work` on a delivery worker, then `done` on this object's thread. Nothing runs after
    // `context` is gone. Work of a higher `priority` starts before queued work of a lower one.
    void RunOnWorker(std::function<void()> work, QObject* context, std::function<void()> done, int priority = 0);
    int DeliveryThreads() const { return options_.deliveryThreads; }
    // The graceful end (SIGTERM, SIGINT, Exit): no new work; each delivery under way finishes or
    // is kept and its client answered; after `graceMs` what is still under way is cut short and
    // kept. shutdownComplete() follows, then the caller saves the settings and ends.
    void BeginShutdown(int graceMs = 30000);
    // A mode handler's work under way came down to 0.
    void WorkFinished();
    // Waits for every delivery under way; no new ones are started afterwards.
    void Shutdown();
    // Waits at most `ms` for the delivery threads; false when one is still busy.
    bool WaitForWorkers(int ms);
    bool IsShuttingDown() const { return shuttingDown_; }

    Metrics& Stats() { return metrics_; }
    // The limits toward the mail server, shared by both modes and kept with the spool.
    SendLimits& Limits() { return sendLimits_; }
    // A mail went through this SMTP server (host:port): counted, and logged when the server changes.
    void SmtpServerTookMail(const QString& server);

Q_SIGNALS:
    void runStateChanged(swn::RunState state);
    void countersChanged(qint32 copies, qint32 relays);
    void shutdownComplete();
    // A line was added (`cut`: the log was cut and must be shown afresh).
    void logAppended(const QString& line, bool cut);

private:
    void addLogTextHere(const QString& message, LogPriority priority);
    void snapshotSettingsFile();
    void logSmtpProblem();
    // The limits of the SMTP sessions from the settings; sessions end when their settings changed.
    void applySmtpSessionSettings(const QStringList& changedKeys);
    void flushStderr();

    RelaySettings& settings_;
    RelayCoreOptions options_;
    RelayModeHandler* network_ = nullptr;
    RelayModeHandler* postOffice_ = nullptr;
    RunState state_ = RunState::Stopped;
    mutable std::mutex countersMutex_;
    qint32 totalCopiesCount_ = 0;
    qint32 totalRelaysCount_ = 0;
    ActivityLog log_;
    bool logToStderr_ = false;
    bool journalStream_ = false;
    QByteArray stderrPending_; // written once per pass of the event loop
    QTimer stderrTimer_;
    bool echoOn_ = false;
    std::atomic<bool> shuttingDown_{false};
    bool shutdownSignalled_ = false;
    QTimer graceTimer_;
    QTimer hardStopTimer_;
    Metrics metrics_;
    std::mutex takerMutex_;
    QString lastTaker_; // the SMTP server that took the last mail
    MessageSink messageSink_;
    SmtpSecurity smtpSecurity_; // read from the file at start-up and at every Start
    QHash<QString, QString> fileSnapshot_; // the reloaded keys as the file held them last
    QTimer autoStartTimer_;
    QThreadPool workers_;
    SendLimits sendLimits_; // gone before the workers: they have ended by then
};

} // namespace swn
