#include "netrelay/SocketArray.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <unistd.h>

namespace swn {
namespace {

// Hands each pending connection to the relay instead of queueing a socket object for it, so the
// relay decides which element takes it (or refuses it).
class Listener : public QTcpServer {
public:
    explicit Listener(SocketArray* owner) : QTcpServer(owner) {}
    std::function<void(qintptr)> onIncoming;

protected:
    void incomingConnection(qintptr descriptor) override { onIncoming(descriptor); }
};

} // namespace

SocketArray::SocketArray(QObject* parent) : QObject(parent)
{
    slots_.resize(1);
}

SocketArray::~SocketArray()
{
    for (auto& s : slots_)
        if (s.socket)
            s.socket->abort();
}

void SocketArray::Load(int index)
{
    if (index == int(slots_.size()))
        slots_.emplace_back();
}

int SocketArray::State(int index) const
{
    if (index < 0 || index >= int(slots_.size()))
        return Closed;
    if (index == 0)
        return server_ && server_->isListening() ? Listening : Closed;
    const Slot& s = slots_[size_t(index)];
    if (s.reserved)
        return Reserved;
    if (!s.socket)
        return Closed;
    // A connection that failed and went down is free again; one still up after an error is busy.
    switch (s.socket->state()) {
    case QAbstractSocket::UnconnectedState:
        return Closed;
    case QAbstractSocket::ConnectedState:
        return s.failed ? Error : Connected;
    case QAbstractSocket::ClosingState:
        return Closing;
    default:
        return Open;
    }
}

void SocketArray::SetReserved(int index, bool reserved)
{
    if (index > 0 && index < int(slots_.size()))
        slots_[size_t(index)].reserved = reserved;
}

bool SocketArray::Listen(quint16 port, QString* error)
{
    if (!server_) {
        auto* l = new Listener(this);
        l->onIncoming = [this](qintptr d) { Q_EMIT ConnectionRequest(0, d); };
        // Room for a burst as large as the slot array: the kernel drops what does not fit.
        l->setListenBacklogSize(512);
        server_ = l;
    }
    if (server_->isListening())
        return true;
    if (server_->listen(QHostAddress::Any, port))
        return true;
    if (error)
        *error = server_->errorString();
    return false;
}

quint16 SocketArray::ListeningPort() const { return server_ ? server_->serverPort() : 0; }

void SocketArray::Refuse(qintptr requestId) { ::close(int(requestId)); }

bool SocketArray::Accept(int index, qintptr requestId)
{
    if (index <= 0 || index >= int(slots_.size()))
        return false;
    Slot& s = slots_[size_t(index)];
    if (s.socket) {
        s.socket->disconnect(this);
        s.socket->abort();
        s.socket->deleteLater();
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(requestId)) {
        delete socket;
        ::close(int(requestId));
        s.socket = nullptr;
        return false;
    }
    s.socket = socket;
    s.failed = false;
    s.remoteIp = socket->peerAddress().toString();
    // Show IPv4 peers of the dual-stack listener in their familiar form.
    bool isV4 = false;
    const quint32 v4 = socket->peerAddress().toIPv4Address(&isV4);
    if (isV4)
        s.remoteIp = QHostAddress(v4).toString();
    wire(index, socket);
    return true;
}

void SocketArray::wire(int index, QTcpSocket* socket)
{
    connect(socket, &QTcpSocket::readyRead, this, [this, index, socket] {
        if (slots_[size_t(index)].socket == socket)
            Q_EMIT DataArrival(index, socket->bytesAvailable());
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, index, socket] {
        if (slots_[size_t(index)].socket == socket)
            Q_EMIT CloseEvent(index);
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, index, socket](QAbstractSocket::SocketError e) {
        // A peer that closes is a close event, not an error.
        if (e == QAbstractSocket::RemoteHostClosedError || slots_[size_t(index)].socket != socket)
            return;
        slots_[size_t(index)].failed = true;
        Q_EMIT ErrorEvent(index, int(e), socket->errorString());
    });
}

QByteArray SocketArray::GetData(int index, qint64 maxBytes)
{
    if (index <= 0 || index >= int(slots_.size()) || !slots_[size_t(index)].socket)
        return {};
    return slots_[size_t(index)].socket->read(maxBytes);
}

QString SocketArray::RemoteHostIP(int index) const
{
    if (index <= 0 || index >= int(slots_.size()))
        return {};
    return slots_[size_t(index)].remoteIp;
}

void SocketArray::SendData(int index, const QByteArray& data)
{
    if (index <= 0 || index >= int(slots_.size()) || !slots_[size_t(index)].socket)
        return;
    QTcpSocket* s = slots_[size_t(index)].socket;
    if (s->state() == QAbstractSocket::ConnectedState) {
        s->write(data);
        s->flush();
    }
}

void SocketArray::Close(int index)
{
    if (index <= 0 || index >= int(slots_.size()))
        return;
    Slot& s = slots_[size_t(index)];
    s.failed = false;
    if (!s.socket)
        return;
    // Queued reply bytes still go out: the socket closes once they are written.
    if (s.socket->state() != QAbstractSocket::UnconnectedState)
        s.socket->disconnectFromHost();
}

} // namespace swn
