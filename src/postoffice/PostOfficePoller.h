#pragma once
// Post office relay mode: the tracker session and login, the poll timer, and the poll rounds,
// which run on a thread of their own so that neither a slow mail server nor a busy tracker
// database holds up the event loop.
#include "relay/RelayCore.h"
#include "relay/Spool.h"
#include "tracker/TrackerSession.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>

namespace swn {

class PostOfficePoller : public QObject, public RelayModeHandler {
    Q_OBJECT
public:
    PostOfficePoller(RelayCore& core, std::shared_ptr<TrackerFactory> factory, QObject* parent = nullptr);
    ~PostOfficePoller() override;

    // RelayModeHandler
    void Start() override;
    void StartUp() override;
    void Stopped() override;

    bool Login();
    void ArmPollTimer();
    void PollIntervalChanged() { ArmPollTimer(); }
    void PostOfficeModeSelected();
    void PollTick();
    static QString StageRecordAttachments(BTAttachmentField& field);

    bool LoginValid() const { return validBTDB_; }
    qint16 PollCountdown() const { return pollCountdown_; }
    QTimer& PollTimer() { return timer_; }
    // A round is under way on the poll thread.
    bool Polling() const { return roundRunning_; }

    // What the credentials dialog asks of the tracker.
    TrackerFactory& Tracker() { return *factory_; }
    QStringList ListDatabaseSets();
    std::optional<std::vector<BTDatabaseInfo>> ListDatabases(const QString& masterName, QString& userName,
                                                             const QString& databaseSet);

    // Where what the poll must not forget in a crash is kept: records whose mail went but
    // which could not be removed yet, and those that went to some of their recipients.
    void SetNotes(std::shared_ptr<Spool> notes) { notes_ = std::move(notes); }

    // First wait between attempts of a record the server refused for now; it doubles up to the
    // longest wait. Tests shorten them.
    void SetRetryDelays(qint64 firstMs, qint64 longestMs)
    {
        retryFirstMs_ = firstMs;
        retryLongestMs_ = longestMs;
    }

Q_SIGNALS:
    void loginValidChanged(bool valid);
    void roundFinished();

private:
    struct LoginResult {
        bool valid = false;
        bool loggedOn = false;   // the logon itself worked (the check may still have failed)
        QString message;         // the box text when it failed
        QString detail;          // a store failure's own reason
    };
    struct Retry {
        int attempts = 0;
        qint64 dueMs = 0;
    };
    struct RoundInput {
        Transport transport = Transport::CDO;
        bool echo = false;
        bool loginFirst = false;
        QString database; // names the notes of this database's records
        // Made on the event loop's thread, which owns the settings they are taken from.
        std::shared_ptr<DeliveryContext> firstAttempt, laterAttempt;
    };

    void EnsureSession();
    LoginResult tryLogin();
    void setValid(bool valid);
    void runRound(const RoundInput& input);
    // False when the round should end here.
    bool pollRecord(const RoundInput& input, qint32 key);
    void removeDelivered(qint32 key, BTRecord& record, const QString& database);
    // The notes of one record: "delivered", or "pending" and the recipients that still need it.
    QString noteName(const QString& database, qint32 key) const;
    void loadNote(const QString& database, qint32 key);
    void keepNote(const QString& database, qint32 key);
    void forget(const QString& database, qint32 key);
    template <typename F>
    auto withSession(F&& f);

    RelayCore& core_;
    std::shared_ptr<TrackerFactory> factory_;
    std::mutex sessionMutex_;
    std::unique_ptr<BTSession> btSession_;
    bool validBTDB_ = false;
    qint16 pollCountdown_ = 0;
    qint16 pollInterval_ = 360; // the last interval text that was a valid number
    QTimer timer_;
    bool roundRunning_ = false;
    std::atomic<bool> cancel_{false};
    // Counts logons: a round whose session logged on elsewhere meanwhile stops before its next record.
    std::atomic<int> logons_{0};
    QThreadPool pollThread_;

    // Kept between rounds; touched only by the poll thread.
    QSet<qint32> delivered_;       // handed over, but the record could not be removed yet
    QSet<qint32> counted_;         // counted at an earlier attempt
    QSet<qint32> setAside_;        // can never go, and the store cannot park it: logged once
    QHash<qint32, Retry> retries_; // refused for now: not tried again before its time
    QHash<qint32, QStringList> pending_; // the server took it for some: only these still need it
    std::shared_ptr<Spool> notes_;
    QSet<qint32> noted_; // keys whose note was read this run
    bool lockWaitLogged_ = false;
    QString lastLoginFailure_;
    qint64 retryFirstMs_ = 30 * 1000;
    qint64 retryLongestMs_ = 15 * 60 * 1000;
};

} // namespace swn
