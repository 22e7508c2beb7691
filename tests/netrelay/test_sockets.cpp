// The socket array on real loopback sockets: which addresses it listens on, listening stopped
// under open connections, refusals written to clients that get no slot, and the bounded read
// buffer that lets a paused connection slow its client down.
#include "Waits.h"
#include "netrelay/HttpFraming.h"
#include "netrelay/SocketArray.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace swn;

namespace {

const QHostAddress Loopback2(QStringLiteral("127.0.0.2"));

// A socket array as the relay drives it: every pending connection goes to the next element,
// or to `onRequest` when that is set.
struct Harness {
    SocketArray sock;
    QList<qintptr> requests;
    std::function<bool(qintptr)> onRequest; // true: taken care of

    Harness()
    {
        QObject::connect(&sock, &SocketArray::ConnectionRequest, [this](int index, qintptr id) {
            if (index != 0)
                return;
            requests.append(id);
            if (onRequest && onRequest(id))
                return;
            const int slot = sock.upperBound() + 1;
            sock.Load(slot);
            QVERIFY(sock.Accept(slot, id));
        });
    }
};

// Connects a raw client; true once the connection is up.
bool Connect(QTcpSocket& client, const QHostAddress& address, quint16 port)
{
    client.connectToHost(address, port);
    return QTest::qWaitFor([&] { return client.state() == QAbstractSocket::ConnectedState ||
                                        client.state() == QAbstractSocket::UnconnectedState; }, 5000) &&
        client.state() == QAbstractSocket::ConnectedState;
}

// True when nothing accepts connections there (the connection is refused).
bool Refused(const QHostAddress& address, quint16 port)
{
    QTcpSocket client;
    client.connectToHost(address, port);
    (void)QTest::qWaitFor([&] { return client.state() == QAbstractSocket::ConnectedState ||
                                 client.state() == QAbstractSocket::UnconnectedState; }, 5000);
    return client.state() == QAbstractSocket::UnconnectedState && client.error() == QAbstractSocket::ConnectionRefusedError;
}

// Everything the client receives until the other side closes.
QByteArray ReadToEnd(QTcpSocket& client)
{
    QByteArray got;
    (void)QTest::qWaitFor([&] {
        got += client.readAll();
        return client.state() == QAbstractSocket::UnconnectedState;
    }, 10000);
    return got + client.readAll();
}

// Sends the start of a request of the given size, waits for the relay's answer, sends the rest
// of it as a client still uploading would, and prints in hex what it received, whether the rest
// could be sent, and how the connection ended.
const char* RawClient = R"(
import socket, sys
port, size = int(sys.argv[1]), int(sys.argv[2])
s = socket.create_connection(('127.0.0.1', port), timeout=15)
s.sendall(b'POST / HTTP/1.1\r\n\r\n' + b'x' * (size // 2))
got, sent, end = s.recv(65536), 'sent', 'end'
try:
    s.sendall(b'x' * (size - size // 2))
except OSError:
    sent = 'broken'
while True:
    try:
        piece = s.recv(65536)
    except ConnectionResetError:
        end = 'reset'
        break
    if not piece:
        break
    got += piece
print(got.hex(), sent, end)
)";

} // namespace

class SocketsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void listensOnlyWhereAsked()
    {
        Harness h;
        QString error;
        QVERIFY(h.sock.Listen(0, {QHostAddress::LocalHost}, &error));
        const quint16 port = h.sock.ListeningPort();
        QVERIFY(port != 0);
        QCOMPARE(h.sock.State(0), int(SocketArray::Listening));
        QCOMPARE(h.sock.ListeningAddresses(), QList<QHostAddress>{QHostAddress::LocalHost});
        QTcpSocket client;
        QVERIFY(Connect(client, QHostAddress::LocalHost, port));
        QVERIFY(QTest::qWaitFor([&] { return h.requests.size() == 1; }, 5000));
        QVERIFY(Refused(Loopback2, port));
        QVERIFY(Refused(QHostAddress::LocalHostIPv6, port));

        // Several addresses share one port, the one the system picked for the first.
        QVERIFY(h.sock.Listen(0, {QHostAddress::LocalHost, Loopback2}, &error));
        const quint16 shared = h.sock.ListeningPort();
        QCOMPARE(h.sock.ListeningAddresses(), (QList<QHostAddress>{QHostAddress::LocalHost, Loopback2}));
        QTcpSocket first, second;
        QVERIFY(Connect(first, QHostAddress::LocalHost, shared));
        QVERIFY(Connect(second, Loopback2, shared));
        QVERIFY(QTest::qWaitFor([&] { return h.requests.size() == 3; }, 5000));
        QVERIFY(Refused(QHostAddress(QStringLiteral("127.0.0.3")), shared));
        // The connection of the listener before is still up: a new Listen closes listeners only.
        QCOMPARE(client.state(), QAbstractSocket::ConnectedState);

        // Every interface: one dual-stack socket, peers of both families, IPv4 ones as IPv4.
        h.onRequest = [](qintptr id) {
            const QHostAddress peer = SocketArray::PeerOf(id);
            SocketArray::RefuseWith(id, peer.toString().toLatin1());
            return true;
        };
        QVERIFY(h.sock.Listen(0, {}, &error));
        QCOMPARE(h.sock.ListeningAddresses(), QList<QHostAddress>{QHostAddress(QHostAddress::Any)});
        const quint16 any = h.sock.ListeningPort();
        for (const QHostAddress& address : {QHostAddress(QHostAddress::LocalHost), Loopback2, QHostAddress(QHostAddress::LocalHostIPv6)}) {
            QTcpSocket c;
            QVERIFY(c.bind(address)); // from that address too, not from the first of loopback
            QVERIFY(Connect(c, address, any));
            QCOMPARE(ReadToEnd(c), address.toString().toLatin1());
        }
        // Each family's wildcard side by side, as "0.0.0.0 ::" in the settings asks.
        QVERIFY2(h.sock.Listen(0, {QHostAddress(QStringLiteral("0.0.0.0")), QHostAddress(QStringLiteral("::"))}, &error),
                 qPrintable(error));
        for (const QHostAddress& address : {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)}) {
            QTcpSocket c;
            QVERIFY(Connect(c, address, h.sock.ListeningPort()));
            QCOMPARE(ReadToEnd(c), address.toString().toLatin1());
        }
    }

    void listenIsAllOrNothing()
    {
        // A port another socket holds on the second address: nothing stays open on the first.
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::LocalHost, 0));
        const quint16 port = other.serverPort();
        Harness h;
        QString error;
        QVERIFY(!h.sock.Listen(port, {Loopback2, QHostAddress::LocalHost}, &error));
        QVERIFY2(error.startsWith(QStringLiteral("127.0.0.1: ")), qPrintable(error));
        QCOMPARE(h.sock.State(0), int(SocketArray::Closed));
        QVERIFY(h.sock.ListeningAddresses().isEmpty());
        QCOMPARE(h.sock.ListeningPort(), quint16(0));
        QVERIFY(Refused(Loopback2, port));

        // An address this machine does not have (binding only; nothing is sent anywhere).
        error.clear();
        QVERIFY(!h.sock.Listen(0, {QHostAddress::LocalHost, QHostAddress(QStringLiteral("192.0.2.1"))}, &error));
        QVERIFY2(error.startsWith(QStringLiteral("192.0.2.1: ")), qPrintable(error));
        QCOMPARE(h.sock.State(0), int(SocketArray::Closed));
        error.clear();
        QVERIFY(!h.sock.Listen(0, {QHostAddress(QStringLiteral("2001:db8::1"))}, &error));
        QVERIFY2(error.startsWith(QStringLiteral("[2001:db8::1]: ")), qPrintable(error));

        // A failed Listen also closes what listened before.
        QVERIFY(h.sock.Listen(0, {QHostAddress::LocalHost}, &error));
        const quint16 before = h.sock.ListeningPort();
        QVERIFY(!h.sock.Listen(port, {QHostAddress::LocalHost}, &error));
        QVERIFY(Refused(QHostAddress::LocalHost, before));
    }

    void changeKeepsTheAddressesThatStay()
    {
        // Alternating "127.0.0.1" and "127.0.0.1, ::1" (127.0.0.2 without IPv6) while clients come
        // to 127.0.0.1: connected ones, and ones the kernel took into the backlog but the array
        // did not accept yet, are never refused or reset.
        QTcpServer probe;
        const QHostAddress other = probe.listen(QHostAddress::LocalHostIPv6) ? QHostAddress(QHostAddress::LocalHostIPv6) : Loopback2;
        probe.close();
        Harness h;
        QString error;
        QVERIFY2(h.sock.ChangeListening(0, {QHostAddress::LocalHost}, &error), qPrintable(error));
        const quint16 port = h.sock.ListeningPort();
        QTcpSocket connected;
        QVERIFY(Connect(connected, QHostAddress::LocalHost, port));
        QVERIFY(QTest::qWaitFor([&] { return h.requests.size() == 1; }, 5000));

        std::vector<int> clients;
        const auto closeAll = qScopeGuard([&] {
            for (const int fd : clients)
                ::close(fd);
        });
        for (int round = 0; round < 8; ++round) {
            // Blocking connects return once the kernel completed them: they wait in the backlog.
            for (int i = 0; i < 3; ++i) {
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                QVERIFY(fd >= 0);
                clients.push_back(fd);
                sockaddr_in to {};
                to.sin_family = AF_INET;
                to.sin_port = htons(port);
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
            }
            const QList<QHostAddress> wanted = round % 2 == 0 ? QList<QHostAddress>{QHostAddress::LocalHost, other}
                                                              : QList<QHostAddress>{QHostAddress::LocalHost};
            QVERIFY2(h.sock.ChangeListening(port, wanted, &error), qPrintable(error));
            QCOMPARE(h.sock.ListeningAddresses(), wanted);
            QCOMPARE(h.sock.ListeningPort(), port);
            if (round % 2 == 0) {
                QTcpSocket added;
                QVERIFY(Connect(added, other, port));
            } else {
                QVERIFY(Refused(other, port));
            }
        }
        // Every client got its element, and each one's bytes arrive.
        const qsizetype expected = 1 + qsizetype(clients.size()) + 4; // the added-address probes too
        QVERIFY2(QTest::qWaitFor([&] { return h.requests.size() == expected; }, 10000),
                 qPrintable(QString::number(h.requests.size())));
        for (const int fd : clients)
            QCOMPARE(::send(fd, "x", 1, MSG_NOSIGNAL), ssize_t(1));
        connected.write("x");
        const auto arrived = [&] {
            qint64 total = 0;
            for (int i = 1; i <= h.sock.upperBound(); ++i)
                total += h.sock.BytesAvailable(i);
            return total;
        };
        QVERIFY2(QTest::qWaitFor([&] { return arrived() == qint64(clients.size()) + 1; }, 10000),
                 qPrintable(QString::number(arrived())));
        for (const int fd : clients) {
            char c = 0;
            const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
            QVERIFY2(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK), qPrintable(QString::number(errno)));
        }
        QCOMPARE(connected.state(), QAbstractSocket::ConnectedState);

        // A change that cannot be made leaves what listened before.
        QTcpServer holder;
        QVERIFY(holder.listen(Loopback2, port));
        QVERIFY(!h.sock.ChangeListening(port, {Loopback2}, &error));
        QVERIFY2(error.startsWith(QStringLiteral("127.0.0.2: ")), qPrintable(error));
        QCOMPARE(h.sock.ListeningAddresses(), QList<QHostAddress>{QHostAddress::LocalHost});
        QTcpSocket after;
        QVERIFY(Connect(after, QHostAddress::LocalHost, port));
    }

    void stopListeningKeepsConnections()
    {
        Harness h;
        QString error;
        QVERIFY(h.sock.Listen(0, {QHostAddress::LocalHost}, &error));
        const quint16 port = h.sock.ListeningPort();
        QTcpSocket client;
        QVERIFY(Connect(client, QHostAddress::LocalHost, port));
        QVERIFY(QTest::qWaitFor([&] { return h.sock.State(1) == SocketArray::Connected; }, 5000));

        h.sock.StopListening();
        QCOMPARE(h.sock.State(0), int(SocketArray::Closed));
        QVERIFY(h.sock.ListeningAddresses().isEmpty());
        QVERIFY(Refused(QHostAddress::LocalHost, port));
        h.sock.StopListening(); // twice is harmless

        // The open connection still carries its request and its reply.
        client.write("POST / HTTP/1.1\r\n\r\n");
        QVERIFY(QTest::qWaitFor([&] { return h.sock.BytesAvailable(1) == 19; }, 5000));
        QCOMPARE(h.sock.GetData(1, 100), QByteArray("POST / HTTP/1.1\r\n\r\n"));
        h.sock.SendData(1, BuildReply("HTTP/1.1"));
        h.sock.Close(1);
        QCOMPARE(ReadToEnd(client), BuildReply("HTTP/1.1"));

        // And the same port opens again at once.
        QVERIFY2(h.sock.Listen(port, {QHostAddress::LocalHost}, &error), qPrintable(error));
        QTcpSocket again;
        QVERIFY(Connect(again, QHostAddress::LocalHost, port));
        QVERIFY(QTest::qWaitFor([&] { return h.requests.size() == 2; }, 5000));
    }

    void refusalReachesTheClient()
    {
        Harness h;
        const QByteArray reply = BuildErrorReply("HTTP/1.1", 503, "Retry-After: 30");
        qintptr pending = -1;
        h.onRequest = [&](qintptr id) {
            pending = id;
            return true;
        };
        QString error;
        QVERIFY(h.sock.Listen(0, {QHostAddress::LocalHost}, &error));
        const quint16 port = h.sock.ListeningPort();
        const auto readable = [&] {
            pollfd p{int(pending), POLLIN, 0};
            return ::poll(&p, 1, 0) == 1;
        };

        // A client that waits for the reply, and clients whose request (of some size) is there
        // before the refusal: unread bytes must not reset the reply away. The reply arrives whole,
        // then the end of the connection.
        for (const QByteArray& request : {QByteArray(), QByteArray("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde"),
                                          "POST / HTTP/1.1\r\n\r\n" + QByteArray(200 * 1024, 'x')}) {
            pending = -1;
            QTcpSocket client;
            QVERIFY(Connect(client, QHostAddress::LocalHost, port));
            QVERIFY(QTest::qWaitFor([&] { return pending >= 0; }, 5000));
            client.write(request);
            if (!request.isEmpty())
                QVERIFY(QTest::qWaitFor(readable, 5000));
            QCOMPARE(SocketArray::PeerOf(pending), QHostAddress(QHostAddress::LocalHost));
            SocketArray::RefuseWith(pending, reply);
            QCOMPARE(ReadToEnd(client), reply);
        }

        // A client still sending when it is refused can send on and reads the reply and then a plain
        // end of the connection, not a broken pipe or a reset (which makes some clients report a
        // send failure instead of the 503, and others discard the reply). With an independent client.
        for (const int size : {0, 10 * 1024, 200 * 1024}) {
            pending = -1;
            QProcess client;
            client.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromLatin1(RawClient),
                                                              QString::number(port), QString::number(size)});
            QVERIFY(client.waitForStarted(10000));
            QVERIFY(QTest::qWaitFor([&] { return pending >= 0 && readable(); }, 10000));
            SocketArray::RefuseWith(pending, reply);
            QVERIFY(QTest::qWaitFor([&] { return client.state() == QProcess::NotRunning; }, 20000));
            QCOMPARE(client.readAllStandardOutput(), reply.toHex() + " sent end\n");
        }

        // A client that is gone with a reset before its refusal: no signal, no harm.
        pending = -1;
        {
            QTcpSocket client;
            QVERIFY(Connect(client, QHostAddress::LocalHost, port));
            QVERIFY(QTest::qWaitFor([&] { return pending >= 0; }, 5000));
            const linger hard{1, 0}; // close with a reset
            QCOMPARE(::setsockopt(int(client.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
            client.abort();
        }
        QVERIFY(QTest::qWaitFor(readable, 5000));
        // The reset is reported once; from then on a write meets a broken pipe. The refusal runs
        // in a child with the default action for SIGPIPE, whatever this process does with it.
        QCOMPARE(::send(int(pending), "x", 1, MSG_NOSIGNAL), ssize_t(-1));
        const pid_t child = ::fork();
        if (child == 0) {
            ::signal(SIGPIPE, SIG_DFL);
            SocketArray::RefuseWith(pending, QByteArray(100 * 1024, 'r'));
            ::_exit(0);
        }
        int status = -1;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, qPrintable(QString::number(status)));
        SocketArray::RefuseWith(pending, QByteArray(100 * 1024, 'r'));
        QCOMPARE(SocketArray::PeerOf(-1), QHostAddress());
    }

    void pausedConnectionHoldsLittle()
    {
        Harness h;
        QString error;
        QVERIFY(h.sock.Listen(0, {QHostAddress::LocalHost}, &error));
        QTcpSocket client;
        QVERIFY(Connect(client, QHostAddress::LocalHost, h.sock.ListeningPort()));
        QVERIFY(QTest::qWaitFor([&] { return h.sock.State(1) == SocketArray::Connected; }, 5000));

        // Far more than the kernel buffers of both ends hold, in a pattern that shows order.
        QByteArray sent(32 * 1024 * 1024, '\0');
        for (qsizetype i = 0; i < sent.size(); ++i)
            sent[i] = char('a' + (i / 7) % 26);
        client.write(sent);

        // The relay does not read: the element fills its buffer and no more.
        QVERIFY(QTest::qWaitFor([&] { return h.sock.BytesAvailable(1) >= SocketArray::ReadBufferBytes; }, 10000));
        // That it takes no more is shown by bytes waiting in the kernel at its end, left there
        // through event loop passes that would have read them were it still reading.
        const int fd = int(h.requests.last());
        const auto inKernel = [fd] {
            char byte = 0;
            return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
        };
        QVERIFY(test::QuietUntil([&] { return h.sock.BytesAvailable(1) == SocketArray::ReadBufferBytes; },
                                 test::AndThenPasses(inKernel), 10000));
        QCOMPARE(h.sock.BytesAvailable(1), SocketArray::ReadBufferBytes);
        QVERIFY(client.bytesToWrite() > 0); // the client is held back

        // Reading resumes the flow: the bytes already here come without a new arrival, the rest
        // with arrivals as ever, in order and complete.
        // A loop of its own, as the relay's: a test wait would sleep between rounds.
        QByteArray received;
        qint64 most = 0;
        QEventLoop loop;
        QObject::connect(&h.sock, &SocketArray::DataArrival, &loop, [&](int index, qint64) {
            most = qMax(most, h.sock.BytesAvailable(index));
            received += h.sock.GetData(index, h.sock.BytesAvailable(index));
            if (received.size() == sent.size())
                loop.quit();
        });
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        received += h.sock.GetData(1, h.sock.BytesAvailable(1));
        loop.exec();
        QCOMPARE(received.size(), sent.size());
        QVERIFY(received == sent);
        QVERIFY(most <= SocketArray::ReadBufferBytes);
    }
};

QTEST_GUILESS_MAIN(SocketsTest)
#include "test_sockets.moc"
