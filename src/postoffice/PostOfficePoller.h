#pragma once
// Post office relay mode: the tracker session and login, the poll timer, and the poll rounds,
// which run on a thread of their own so that neither a slow mail server nor a busy tracker
// database holds up the event loop. A round walks the queue in order and hands several records
// at once to the delivery workers.
#include "relay/Notifier.h"
#include "relay/RelayCore.h"
#include "relay/Spool.h"
#include "tracker/TrackerSession.h"

#include <QDateTime>
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
    void Reloaded(const QStringList& changedKeys) override;
    void BeginShutdown() override;
    int WorkUnderWay() const override { return roundRunning_ ? 1 : 0; }

    // Logs into the tracker with the stored credentials; true when the database may be polled.
    bool Login();
    // Loads the countdown from the interval and runs the one-second tick while the relay runs.
    void ArmPollTimer();
    void PollIntervalChanged() { ArmPollTimer(); }
    void PostOfficeModeSelected();
    // One tick: counts down, and polls when the countdown runs out.
    void PollTick();
    // Writes a record's attachments to staged files; returns their list.
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
    // The limits toward the server keep their count there too, when this relay holds the spool.
    void SetNotes(std::shared_ptr<Spool> notes)
    {
        if (notes && notes->locked())
            core_.Limits().SetSpool(notes);
        notes_ = std::move(notes);
    }

    // Tells the administrator of records set aside and of recipients refused for good.
    Notifier& Notices() { return *notifier_; }

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
        QString lastError; // of reading or staging the record: told once while it stays so
    };
    // What the poll remembers of the records of one database: nothing carries over to another,
    // nor to a database made again under the same name.
    struct DatabaseState {
        QString identity;             // of the database the keys below belong to
        QSet<qint32> delivered;       // handed over, but the record is not removed yet
        QSet<qint32> counted;         // counted at an earlier attempt
        QSet<qint32> setAside;        // can never go, and the store cannot park it: logged once
        QHash<qint32, Retry> retries; // refused for now: not tried again before its time
        QHash<qint32, QStringList> pending; // the server took it for some: only these still need it
        QSet<qint32> noted;           // keys whose note was read this run
        QSet<qint32> removalLogged;   // the failed removal of a delivered record is told once
        bool journalRead = false;
    };
    struct RoundInput {
        Transport transport = Transport::Smtp;
        bool echo = false;
        bool loginFirst = false;
        // Made on the event loop's thread, which owns the settings it is taken from; each
        // delivery of the round works on a copy.
        std::shared_ptr<DeliveryContext> prototype;
    };
    struct Round;
    struct Delivery;

    void EnsureSession();
    LoginResult tryLogin();
    void setValid(bool valid);
    void runRound(const RoundInput& input);
    // Starts one record, or settles it from what is remembered; false when the round should end.
    bool startRecord(Round& round, qint32 key);
    void settle(Round& round, Delivery& delivery);
    // The record waits with its own back-off, longer at each attempt.
    Retry& postpone(DatabaseState& state, qint32 key);
    // Settles what the workers finished, until fewer than `most` deliveries are under way.
    void settleFinished(Round& round, int most);
    void flushDeletes(Round& round);
    // The notes of one database: its journal of delivered records, and the recipients still
    // waiting for a record the server took for some of them.
    QString databaseId(const QString& database) const;
    QString journalName(const QString& database) const;
    QString pendingNoteName(const QString& database, qint32 key) const;
    // Once per run and database identity; lines of another identity are dropped.
    void readJournal(Round& round);
    // Drops the noted keys whose records are no longer in the tracker, and writes the journal
    // again when that or anything else changed it.
    void trimJournal(Round& round);
    void loadPending(Round& round, qint32 key);
    void keepPending(Round& round, qint32 key);
    // On the workers' threads too.
    bool journalDelivered(const QString& database, qint32 key);
    void rewriteJournal(const QString& database, const DatabaseState& state);
    void forget(const QString& database, DatabaseState& state, qint32 key);
    template <typename F>
    auto withSession(F&& f);

    RelayCore& core_;
    std::shared_ptr<TrackerFactory> factory_;
    std::mutex sessionMutex_;
    std::unique_ptr<BTSession> btSession_;
    QString loggedOnDatabase_; // "set/database" of the last logon that worked (under sessionMutex_)
    bool validBTDB_ = false;
    qint16 pollCountdown_ = 0;
    qint16 pollInterval_ = 360; // the last interval text that was a valid number
    QTimer timer_;
    bool roundRunning_ = false;
    std::atomic<bool> cancel_{false};
    // Counts logons: a round whose session logged on elsewhere meanwhile stops before its next record.
    std::atomic<int> logons_{0};
    QThreadPool pollThread_;

    // What each database's journal holds, by database name. A worker adds its key here before
    // it writes the line, and a rewrite writes what is here: no line is lost between the two.
    struct Journal {
        QString identity;
        QSet<qint32> keys;
    };
    std::mutex journalMutex_;
    QHash<QString, Journal> journals_;

    // Kept between rounds; touched only by the poll thread.
    QHash<QString, DatabaseState> databases_;
    std::shared_ptr<Spool> notes_;
    bool lockWaitLogged_ = false;
    QString lastLoginFailure_;
    QString outageLogged_; // the reason of an outage already told: later rounds stay quiet about it
    // A limit toward the server or a rest the server asked for holds the records back: the poll
    // comes back when it ends rather than at the next interval.
    QTimer comeBackTimer_;
    std::atomic<qint64> restUntilMs_{0};
    // Of the last round, for the event loop's thread once it has ended.
    qint64 roundWaitMs_ = 0;
    bool limitSpell_ = false; // told that records wait for a limit (poll thread)
    qint64 retryFirstMs_ = 30 * 1000;
    qint64 retryLongestMs_ = 15 * 60 * 1000;
    std::unique_ptr<Notifier> notifier_;

public:
    // The records set aside (parked in the tracker), for the window. Each call takes the session
    // lock as a round does; a tracker that cannot say gives none.
    struct SetAsideRecord {
        qint64 key = 0;
        QString subject;
        QStringList recipients;
        QString reason;
        QDateTime setAsideAt; // UTC
    };
    QList<SetAsideRecord> SetAsideRecords();
    // How many there were when last counted; -1: not known. Counting runs on the poll thread,
    // after the rounds already waiting there, and setAsideCounted() tells the result.
    int SetAsideCount() const { return setAsideCount_; }
    void CountSetAside();
    // The administrator's verbs on one of them, as btadmin's requeue and delete do them.
    bool RequeueSetAside(qint64 key, QString* reply);
    bool DeleteSetAside(qint64 key, QString* reply);

Q_SIGNALS:
    void setAsideCounted(int count);

private:
    std::atomic<int> setAsideCount_{-1};
    std::atomic<bool> setAsideCounting_{false};
};

} // namespace swn
