#pragma once
// Network relay mode: the listener, its connection slots, one request per connection, and the
// reply once the request's document has been delivered (on a worker, not on this thread).
// Documents that could not go for now wait in the spool and are tried again on the workers.
#include "netrelay/ClientAccess.h"
#include "netrelay/HttpFraming.h"
#include "relay/RelayCore.h"
#include "relay/Spool.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace swn {

class SocketArray;

class NetworkRelay : public QObject, public RelayModeHandler {
    Q_OBJECT
public:
    static constexpr int MaxSlots = 300;

    struct Limits {
        int idleMs = 60 * 1000;            // no byte for this long: the connection is closed
        int requestMs = 10 * 60 * 1000;    // a request still incomplete after this long...
        qint64 steadyBytesPerSecond = 1024; // ...is closed unless it arrives at least this fast
        int quietMs = 2000;                // after this long without bytes, a visibly ended document is taken
        qint64 requestBytes = MaxRequestBytes;
        qint64 totalBytes = qint64(1) << 30; // receive buffers and documents waiting for a worker together
        int retryAfterSeconds = 5;          // told to a client that finds no free slot
    };

    struct SpoolTiming {
        qint64 firstRetryMs = 30 * 1000;
        qint64 longestRetryMs = 15 * 60 * 1000;
        qint64 keepMs = qint64(5) * 24 * 3600 * 1000; // then, after one more failed try, failed/
        // While the server is away: how long new documents go straight to the spool, and how
        // often a kept one finds out whether it is back, whatever its own back-off says.
        qint64 probeMs = 30 * 1000;
    };

    explicit NetworkRelay(RelayCore& core, QObject* parent = nullptr);
    ~NetworkRelay() override;

    // RelayModeHandler
    void Start() override { StartListener(); }
    void Stopped() override;
    void Reloaded(const QStringList& changedKeys) override;
    void BeginShutdown() override;
    int WorkUnderWay() const override;

    // Opens the listener with the current port, ListenAddress and AllowedClients.
    void StartListener();
    int AllocateSocket();
    void OnConnectionRequest(int index, qintptr requestId);
    void OnPeerClosed(int index);
    void OnSocketError(int index, int number, const QString& description);
    void OnDataArrival(int index, qint64 bytesTotal);

    int MaxSocket() const { return maxSocket_; }
    SocketArray& Sockets() { return *sock_; }
    quint16 ListeningPort() const;
    void SetLimits(const Limits& limits) { limits_ = limits; }
    // Receive buffers and documents waiting for a worker, held now.
    qint64 BufferedBytes() const { return bufferedTotal_ + queuedBytes_; }

    // Documents whose delivery failed for now are kept in `spool` (already open) before their
    // client gets its reply; those already in it are tried at once. Only a relay that holds the
    // spool's lock works it; another one does not start network relay mode on it.
    void SetSpool(std::shared_ptr<Spool> spool);
    Spool* SpoolFolder() const { return spool_.get(); }
    void SetSpoolTiming(const SpoolTiming& timing) { spoolTiming_ = timing; }
    // Kept documents waiting now, and those of them due or under way.
    int KeptCount() const { return int(kept_.size()); }

    // What the administrator asks of a running relay: every kept document now; one removed
    // (kept or failed); a failed one back into the queue, tried at once. Texts for the asker.
    QString FlushKept();
    bool DeleteKept(const QString& id, QString* reply);
    bool RequeueFailed(const QString& id, QString* reply);

Q_SIGNALS:
    // The spool's lock, held by another relay at first, is this relay's now.
    void spoolTaken();

private:
    struct Slot {
        std::unique_ptr<RequestFramer> framer;
        QString peer;
        qint64 openedMs = 0;
        qint64 lastByteMs = 0;
        qint64 received = 0;
        bool delivering = false;
        bool paused = false; // not read while memory is short; the client waits
    };

    struct Kept {
        int attempts = 0;          // this run
        qint64 dueMs = 0;
        bool inFlight = false;
        bool delivered = false;    // the mail went: only the removal is left
        bool removalLogged = false;
        QString lastReason;
        // Its age when this run first saw it, and when (monotonic): a later step of the wall
        // clock does not make it older.
        qint64 ageAtSightMs = 0;
        qint64 sightMs = 0;
        // The recipients still waiting, as this run learnt them (the file may not have kept them).
        QStringList pending;
        bool pendingKnown = false;
    };
    struct Outcome;

    void completeRequest(int index);
    void deliverAndReply(int index, const QByteArray& document, const QString& peer, const QByteArray& version);
    bool serverKnownDown() const;
    void serverAnswered(bool unavailable, const QString& reason);
    qint64 retryDelay(int attempts) const;
    void keep(const QString& id, qint64 dueMs);
    void setDue(const QString& id, qint64 dueMs);
    void scheduleSpool();
    void retryKept();
    void retryOne(const QString& id);
    // Counts a removal that has not been flushed, and flushes the folder when one is due.
    void flushRemovalsIfDue(bool removed);
    void logEvicted();
    void finishRequest(int index, const QByteArray& reply);
    void refuseRequest(int index, int status, const QString& reason);
    // Frees the slot's buffer and closes its connection without a reply.
    void dropRequest(int index);
    void clearSlot(int index);
    bool makeRoom(int index, qint64 incoming);
    int leader() const;
    void resumePaused();
    void readSlot(int index, qint64 bytes);
    int evictForFairness(const QString& peer);
    void sweep();
    void flushRefusals(bool all);
    void closeListener();
    void checkIdle();

    RelayCore& core_;
    SocketArray* sock_ = nullptr;
    int maxSocket_ = 0;
    std::array<Slot, MaxSlots + 1> slots_;
    QHash<QString, int> perPeer_; // open connections per client address
    qint64 bufferedTotal_ = 0;
    qint64 queuedBytes_ = 0;      // complete documents waiting for, or with, a worker
    Limits limits_;
    AllowedClients allowed_;
    LogThrottle refusedLog_;
    LogThrottle slotLog_;
    QTimer sweepTimer_;
    std::shared_ptr<Spool> spool_;
    bool spoolOwned_ = false;  // this relay holds the spool's lock
    QString spoolHolder_;
    SpoolTiming spoolTiming_;
    std::map<QString, Kept> kept_;             // by id: in the order the documents came
    qint64 nextProbeMs_ = 0;
    std::set<std::pair<qint64, QString>> due_; // entries not under way, by due time, then arrival
    int retriesInFlight_ = 0;
    int removalsSinceFlush_ = 0;
    int deliveriesInFlight_ = 0;
    qint64 serverDownUntilMs_ = 0;
    bool serverFailed_ = false;
    QString lastServerFailure_;    // the last answer was "unavailable": the next success brings back the rest
    QTimer spoolTimer_;
    bool shuttingDown_ = false;
    bool resuming_ = false;
    QString transportWarned_;
};

} // namespace swn
