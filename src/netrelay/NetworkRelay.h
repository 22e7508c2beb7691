#pragma once
// Network relay mode: the listener, its connection slots, one request per connection, and the
// reply once the request's document has been delivered (on a worker, not on this thread).
#include "netrelay/ClientAccess.h"
#include "netrelay/HttpFraming.h"
#include "relay/RelayCore.h"
#include "relay/Spool.h"

#include <QHash>
#include <QObject>
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
        qint64 totalBytes = qint64(1) << 30; // all receive buffers together
    };

    struct SpoolTiming {
        qint64 firstRetryMs = 30 * 1000;
        qint64 longestRetryMs = 15 * 60 * 1000;
        qint64 keepMs = qint64(5) * 24 * 3600 * 1000; // then the document goes to failed/
    };

    explicit NetworkRelay(RelayCore& core, QObject* parent = nullptr);
    ~NetworkRelay() override;

    void Start() override { StartListener(); }

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
    // Receive buffers held now, all slots together.
    qint64 BufferedBytes() const { return bufferedTotal_; }

    // Documents whose delivery failed for now are kept in `spool` (already open) before their
    // client gets its reply; those already in it are tried at once.
    void SetSpool(std::shared_ptr<Spool> spool);
    Spool* SpoolFolder() const { return spool_.get(); }
    void SetSpoolTiming(const SpoolTiming& timing) { spoolTiming_ = timing; }

private:
    struct Slot {
        std::unique_ptr<RequestFramer> framer;
        qint64 openedMs = 0;
        qint64 lastByteMs = 0;
        qint64 received = 0;
        bool delivering = false;
    };

    struct Kept {
        int attempts = 0;
        qint64 dueMs = 0;
    };
    struct Outcome;

    void completeRequest(int index);
    void deliverAndReply(int index, const QByteArray& document, const QString& peer, const QByteArray& version);
    bool serverKnownDown() const;
    qint64 retryDelay(int attempts) const;
    void scheduleSpool();
    void retryKept();
    void finishRequest(int index, const QByteArray& reply);
    void refuseRequest(int index, int status, const QString& reason);
    // Frees the slot's buffer and closes its connection without a reply.
    void dropRequest(int index);
    void clearSlot(int index);
    bool makeRoom(int index, qint64 incoming);
    void sweep();

    RelayCore& core_;
    SocketArray* sock_ = nullptr;
    int maxSocket_ = 0;
    std::array<Slot, MaxSlots + 1> slots_;
    qint64 bufferedTotal_ = 0;
    Limits limits_;
    AllowedClients allowed_;
    LogThrottle refusedLog_;
    QTimer sweepTimer_;
    std::shared_ptr<Spool> spool_;
    SpoolTiming spoolTiming_;
    QHash<QString, Kept> kept_;
    bool retrying_ = false;
    qint64 serverDownUntilMs_ = 0;
    QTimer spoolTimer_;
};

} // namespace swn
