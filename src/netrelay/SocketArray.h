#pragma once
// The relay's array of TCP sockets: element 0 listens, elements 1.. carry one client connection
// each. Every element reports its events tagged with its index, on the thread that owns it.
#include <QByteArray>
#include <QHostAddress>
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

    // Element 0 on every local address, IPv4 and IPv6. On failure `error` says why.
    bool Listen(quint16 port, QString* error);
    quint16 ListeningPort() const;
    // Takes a pending connection (the request identifier of ConnectionRequest) on element `index`.
    bool Accept(int index, qintptr requestId);
    // Closes a pending connection that no element takes.
    static void Refuse(qintptr requestId);

    QByteArray GetData(int index, qint64 maxBytes);
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
    };
    void wire(int index, QTcpSocket* socket);

    QTcpServer* server_ = nullptr;
    std::vector<Slot> slots_;
};

} // namespace swn
