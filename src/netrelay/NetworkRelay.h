#pragma once
// Network relay mode: the listener, its connection slots, one request per connection, and the
// reply once the retry queue has delivered or kept the request's document.
#include "netrelay/ClientAccess.h"
#include "netrelay/HttpFraming.h"
#include "relay/RelayCore.h"
#include "relay/RetryQueue.h"
#include "relay/Spool.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <array>
#include <memory>

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
    // Where every complete document goes, and what the administrator's verbs steer.
    RetryQueue& Queue() { return queue_; }

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

    void completeRequest(int index);
    void deliverAndReply(int index, const QByteArray& document, const QString& peer, const QByteArray& version);
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
    RetryQueue queue_;
    SocketArray* sock_ = nullptr;
    int maxSocket_ = 0;
    std::array<Slot, MaxSlots + 1> slots_;
    QHash<QString, int> perPeer_; // open connections per client address
    qint64 bufferedTotal_ = 0;
    qint64 queuedBytes_ = 0;      // complete documents with the queue, until it answers
    Limits limits_;
    AllowedClients allowed_;
    LogThrottle refusedLog_;
    LogThrottle slotLog_;
    QTimer sweepTimer_;
    std::shared_ptr<Spool> spool_;
    bool spoolOwned_ = false;  // this relay holds the spool's lock
    QString spoolHolder_;
    int deliveriesInFlight_ = 0;
    bool shuttingDown_ = false;
    bool resuming_ = false;
    QString transportWarned_;
};

} // namespace swn
