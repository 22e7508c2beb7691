#pragma once
// The relay's array of TCP sockets: element 0 listens, elements 1.. carry one client connection
// each. Every element reports its events tagged with its index, on the thread that owns it.
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace swn {

class SocketArray : public QObject {
    Q_OBJECT
public:
    // Socket states as the relay numbers them.
    enum State { Closed = 0, Open = 1, Listening = 2, Connected = 7, Closing = 8, Reserved = 9, Error = 10 };

    explicit SocketArray(QObject* parent = nullptr);
    ~SocketArray() override;

    // Highest element index that exists (0: only the listener).
    int upperBound() const { return int(slots_.size()) - 1; }
    // Creates element `index`, closed; elements are only ever added at upperBound() + 1.
    void Load(int index);

    int State(int index) const;
    // A reserved element counts as busy even when its socket is closed.
    void SetReserved(int index, bool reserved);

    // Each accepted connection buffers at most this much that the relay has not read: a relay
    // that stops reading a connection leaves the rest in the kernel, whose window then fills and
    // slows the client, instead of growing its own memory.
    static constexpr qint64 ReadBufferBytes = 64 * 1024;

    // Element 0 on every local address, IPv4 and IPv6 (one dual-stack socket).
    bool Listen(quint16 port, QString* error);
    // Element 0 on each of `addresses` (an empty list: every local address, as above), all on the
    // same port (port 0: the one the system picks for the first). All or nothing: on failure no
    // listening socket stays open and `error` names the address and the reason. Whatever listened
    // before is closed first, so a call listens on exactly what it is given.
    bool Listen(quint16 port, const QList<QHostAddress>& addresses, QString* error);
    // Element 0 on exactly `addresses` (empty: every local address) on `port` (0: the port listened
    // on now, or one the system picks), one socket per address, changing only what differs: a
    // socket on an address that stays is left open, so its clients, connected or still in its
    // backlog, never see a refusal or a reset; sockets on addresses no longer wanted close and the
    // new ones open. On failure what listened before listens again, as far as it can, and `error`
    // names the address and the reason.
    bool ChangeListening(quint16 port, const QList<QHostAddress>& addresses, QString* error);
    // Closes every listening socket; accepted connections stay open and keep their events.
    void StopListening();
    // The addresses listened on now (QHostAddress::Any for every local address); empty when not listening.
    QList<QHostAddress> ListeningAddresses() const;
    quint16 ListeningPort() const;
    // Takes a pending connection (the request identifier of ConnectionRequest) on element `index`.
    bool Accept(int index, qintptr requestId);
    // Closes a pending connection that no element takes.
    static void Refuse(qintptr requestId);
    // Writes `reply` (a few hundred bytes at most) to a pending connection that no element takes,
    // as far as it fits without waiting, and closes it. Never blocks and never raises SIGPIPE.
    // The connection lingers a little (bounded in time and number) reading and discarding what the
    // client still sends, so that closing over unread bytes does not reset the reply away.
    static void RefuseWith(qintptr requestId, const QByteArray& reply);
    // The peer of a pending connection, IPv4 clients as IPv4 addresses; null when it is gone.
    static QHostAddress PeerOf(qintptr requestId);

    QByteArray GetData(int index, qint64 maxBytes);
    // Bytes received on element `index` and not read yet. No new DataArrival comes for bytes that
    // are already here, so a relay that paused reading looks here when it resumes.
    qint64 BytesAvailable(int index) const;
    QString RemoteHostIP(int index) const;
    void SendData(int index, const QByteArray& data);
    void Close(int index);

Q_SIGNALS:
    void ConnectionRequest(int index, qintptr requestId);
    void DataArrival(int index, qint64 bytesTotal);
    void CloseEvent(int index);
    void ErrorEvent(int index, int number, const QString& description);

private:
    struct Slot {
        QPointer<QTcpSocket> socket;
        QString remoteIp;
        bool reserved = false;
        bool failed = false;
        // A second descriptor of the connection: the toolkit closes its own when the client shuts
        // its sending side, and a client that sent its request and then did so still gets its reply.
        int replyFd = -1;
    };
    static void dropReplyFd(Slot& s);
    void wire(int index, QTcpSocket* socket);
    // A listening socket on `address`, or null with `error` set.
    QTcpServer* open(const QHostAddress& address, quint16 port, bool named, QString* error);
    static void close(QTcpServer* server);

    std::vector<QTcpServer*> servers_;
    std::vector<Slot> slots_;
};

} // namespace swn
