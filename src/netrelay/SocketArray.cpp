#include "netrelay/SocketArray.h"

#include "netrelay/ClientAccess.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QHash>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace swn {
namespace {

// A refused connection after its reply: reads and discards what the client still sends until it
// closes, for a short while at most, then closes too. Closing over unread bytes sends a reset: the
// client's upload then fails with a broken pipe instead of ending with the reply, and some
// platforms throw away a reply that their client had not read yet.
class Lingerer : public QObject {
public:
    static constexpr int MaxLingering = 64;
    static constexpr int LingerMs = 3000;
    static constexpr qint64 MaxDiscardBytes = 256 * 1024;

    static void start(int fd)
    {
        // Only on a thread with an event loop of the application, and only a bounded number.
        QCoreApplication* app = QCoreApplication::instance();
        if (!app || QThread::currentThread() != app->thread() || !QAbstractEventDispatcher::instance() ||
            count_ >= MaxLingering) {
            ::close(fd);
            return;
        }
        new Lingerer(fd, app);
    }

    ~Lingerer() override
    {
        if (fd_ >= 0) {
            --count_;
            ::close(fd_);
        }
    }

private:
    Lingerer(int fd, QObject* parent) : QObject(parent), fd_(fd), notifier_(fd, QSocketNotifier::Read, this)
    {
        ++count_;
        connect(&notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
        QTimer::singleShot(LingerMs, this, [this] { finish(); });
    }

    void drain()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0 && (discarded_ += n) <= MaxDiscardBytes)
                continue;
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            finish(); // the client closed, failed, or sends more than a refused client should
            return;
        }
    }

    void finish()
    {
        if (fd_ < 0)
            return;
        notifier_.setEnabled(false);
        ::close(fd_);
        fd_ = -1;
        --count_;
        deleteLater();
    }

    static inline int count_ = 0;
    int fd_;
    qint64 discarded_ = 0;
    QSocketNotifier notifier_;
};

QString AddressText(const QHostAddress& address)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + address.toString() + u']' : address.toString();
}

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
    StopListening();
    for (auto& s : slots_) {
        if (s.socket)
            s.socket->abort();
        dropReplyFd(s);
    }
}

void SocketArray::dropReplyFd(Slot& s)
{
    if (s.replyFd >= 0)
        ::close(s.replyFd);
    s.replyFd = -1;
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
        return servers_.empty() ? Closed : Listening;
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

bool SocketArray::Listen(quint16 port, QString* error) { return Listen(port, {}, error); }

QTcpServer* SocketArray::open(const QHostAddress& address, quint16 port, bool named, QString* error)
{
    auto* l = new Listener(this);
    l->onIncoming = [this](qintptr d) { Q_EMIT ConnectionRequest(0, d); };
    // Room for a burst as large as the slot array: the kernel drops what does not fit.
    l->setListenBacklogSize(512);
    if (!l->listen(address, port)) {
        if (error)
            *error = named ? AddressText(address) + QStringLiteral(": ") + l->errorString() : l->errorString();
        delete l;
        return nullptr;
    }
    return l;
}

void SocketArray::close(QTcpServer* server)
{
    // Closed now, so the port is free at once; deleted later, as this may run inside its event.
    server->close();
    server->deleteLater();
}

bool SocketArray::Listen(quint16 port, const QList<QHostAddress>& addresses, QString* error)
{
    StopListening();
    // No address: one dual-stack socket for every local address, IPv4 and IPv6.
    const QList<QHostAddress> targets = addresses.isEmpty() ? QList<QHostAddress>{QHostAddress(QHostAddress::Any)} : addresses;
    for (const QHostAddress& address : targets) {
        QTcpServer* l = open(address, port, !addresses.isEmpty(), error);
        if (!l) {
            StopListening();
            return false;
        }
        // Port 0: every address on the port the system picked for the first.
        port = l->serverPort();
        servers_.push_back(l);
    }
    return true;
}

bool SocketArray::ChangeListening(quint16 port, const QList<QHostAddress>& addresses, QString* error)
{
    const quint16 current = ListeningPort();
    if (port == 0)
        port = current;
    if (port != current || servers_.empty())
        return Listen(port, addresses, error);
    const bool named = !addresses.isEmpty();
    const QList<QHostAddress> targets = named ? addresses : QList<QHostAddress>{QHostAddress(QHostAddress::Any)};
    std::vector<QTcpServer*> dropped;
    // What listens on each wanted address; the protocol tells every address from 0.0.0.0.
    const auto key = [](const QHostAddress& a) { return QString::number(int(a.protocol())) + a.toString(); };
    QHash<QString, QTcpServer*> byAddress;
    for (QTcpServer* server : servers_) {
        if (targets.contains(server->serverAddress()))
            byAddress.insert(key(server->serverAddress()), server);
        else
            dropped.push_back(server);
    }
    // The new ones open while the old ones still listen, so that nothing is closed for a change
    // that fails; only a new one the old ones stand in the way of (a wildcard holds the port on
    // every address) waits until they are closed.
    std::vector<QTcpServer*> opened;
    QList<QHostAddress> blocked;
    const auto openMissing = [&](const QList<QHostAddress>& wanted) {
        QList<QHostAddress> failed;
        for (const QHostAddress& address : wanted) {
            if (byAddress.contains(key(address)))
                continue;
            if (QTcpServer* l = open(address, port, named, error)) {
                byAddress.insert(key(address), l);
                opened.push_back(l);
            } else {
                failed.append(address);
            }
        }
        return failed;
    };
    blocked = openMissing(targets);
    QList<QHostAddress> closedAddresses;
    for (QTcpServer* server : dropped) {
        closedAddresses.append(server->serverAddress());
        close(server);
    }
    if (!blocked.isEmpty() && !openMissing(blocked).isEmpty()) {
        // Back to what listened before: the kept ones never closed, the closed ones open again.
        for (QTcpServer* server : opened)
            close(server);
        std::vector<QTcpServer*> before;
        for (QTcpServer* server : servers_)
            if (std::find(dropped.begin(), dropped.end(), server) == dropped.end())
                before.push_back(server);
        for (const QHostAddress& old : std::as_const(closedAddresses))
            if (QTcpServer* again = open(old, port, true, nullptr))
                before.push_back(again);
        servers_ = before;
        return false;
    }
    servers_.clear();
    for (const QHostAddress& address : targets)
        servers_.push_back(byAddress.value(key(address)));
    return true;
}

void SocketArray::StopListening()
{
    for (QTcpServer* server : servers_)
        close(server);
    servers_.clear();
}

QList<QHostAddress> SocketArray::ListeningAddresses() const
{
    QList<QHostAddress> addresses;
    for (const QTcpServer* server : servers_)
        addresses.append(server->serverAddress());
    return addresses;
}

quint16 SocketArray::ListeningPort() const { return servers_.empty() ? 0 : servers_.front()->serverPort(); }

void SocketArray::Refuse(qintptr requestId) { ::close(int(requestId)); }

void SocketArray::RefuseWith(qintptr requestId, const QByteArray& reply)
{
    const int fd = int(requestId);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        ::close(fd);
        return;
    }
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    // A fresh connection's send buffer takes a short reply whole; what does not fit is dropped.
    qsizetype sent = 0;
    while (sent < reply.size()) {
        const ssize_t n = ::send(fd, reply.constData() + sent, size_t(reply.size() - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        sent += n;
    }
    ::shutdown(fd, SHUT_WR);
    Lingerer::start(fd);
}

QHostAddress SocketArray::PeerOf(qintptr requestId)
{
    sockaddr_storage addr {};
    socklen_t len = sizeof addr;
    if (::getpeername(int(requestId), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return {};
    return PlainAddress(QHostAddress(reinterpret_cast<sockaddr*>(&addr)));
}

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
    dropReplyFd(s);
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(requestId)) {
        delete socket;
        ::close(int(requestId));
        s.socket = nullptr;
        return false;
    }
    socket->setReadBufferSize(ReadBufferBytes);
    s.replyFd = ::fcntl(int(requestId), F_DUPFD_CLOEXEC, 0);
    s.socket = socket;
    s.failed = false;
    // IPv4 peers of the dual-stack listener in their familiar form.
    s.remoteIp = PlainAddress(socket->peerAddress()).toString();
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

qint64 SocketArray::BytesAvailable(int index) const
{
    if (index <= 0 || index >= int(slots_.size()) || !slots_[size_t(index)].socket)
        return 0;
    return slots_[size_t(index)].socket->bytesAvailable();
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
    Slot& slot = slots_[size_t(index)];
    QTcpSocket* s = slot.socket;
    if (s->state() == QAbstractSocket::ConnectedState) {
        s->write(data);
        s->flush();
    } else if (s->state() == QAbstractSocket::UnconnectedState && slot.replyFd >= 0) {
        // Closed by the toolkit when the client shut its side; the client may still be reading.
        // A reply is a few dozen bytes: it fits the socket's buffer, or the client is gone.
        [[maybe_unused]] const ssize_t n =
            ::send(slot.replyFd, data.constData(), size_t(data.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
}

void SocketArray::Close(int index)
{
    if (index <= 0 || index >= int(slots_.size()))
        return;
    Slot& s = slots_[size_t(index)];
    s.failed = false;
    // The connection ends when the last descriptor closes: the toolkit's, once queued reply bytes
    // are written.
    dropReplyFd(s);
    if (!s.socket)
        return;
    if (s.socket->state() != QAbstractSocket::UnconnectedState)
        s.socket->disconnectFromHost();
}

} // namespace swn
