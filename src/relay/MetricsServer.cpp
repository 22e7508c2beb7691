#include "relay/MetricsServer.h"

#include <QHostInfo>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#include <sys/socket.h>

namespace swn {
namespace {

// Where the header of a request ends (after its empty line), or -1; the search starts at `from`.
// A bare LF is taken for CR LF.
qsizetype HeaderEnd(const QByteArray& buffer, qsizetype from)
{
    const qsizetype crlf = buffer.indexOf("\r\n\r\n", from);
    const qsizetype lf = buffer.indexOf("\n\n", from);
    if (crlf >= 0 && (lf < 0 || crlf + 2 <= lf))
        return crlf + 4;
    return lf >= 0 ? lf + 2 : -1;
}

bool IsToken(const QByteArray& text)
{
    static const QByteArray extra("!#$%&'*+-.^_`|~");
    if (text.isEmpty())
        return false;
    for (const char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || extra.contains(c)))
            return false;
    return true;
}

QByteArray Reply(int status, const char* reason, const QByteArray& body, bool headOnly = false,
                 const char* contentType = "text/plain; charset=utf-8", const char* extraHeaders = "")
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Type: " + contentType +
                     "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n" +
                     extraHeaders + "\r\n";
    if (!headOnly)
        out += body;
    return out;
}

QByteArray Answer(const QByteArray& head, const Metrics& metrics)
{
    qsizetype start = 0;
    // A client may send empty lines before its request.
    while (start < head.size() && (head[start] == '\r' || head[start] == '\n'))
        ++start;
    const qsizetype eol = head.indexOf('\n', start);
    QByteArray line = head.mid(start, eol < 0 ? -1 : eol - start);
    if (line.endsWith('\r'))
        line.chop(1);
    const QList<QByteArray> parts = line.split(' ');
    static const QRegularExpression version(QStringLiteral("\\AHTTP/1\\.[0-9]\\z"));
    if (parts.size() != 3 || !IsToken(parts[0]) || parts[1].isEmpty() ||
        !version.match(QLatin1String(parts[2])).hasMatch())
        return Reply(400, "Bad Request", "Bad Request\n");
    const qsizetype query = parts[1].indexOf('?');
    if ((query < 0 ? parts[1] : parts[1].left(query)) != "/metrics")
        return Reply(404, "Not Found", "Not Found: metrics are at /metrics\n");
    const QByteArray& method = parts[0];
    if (method != "GET" && method != "HEAD")
        return Reply(405, "Method Not Allowed", "Method Not Allowed\n", false, "text/plain; charset=utf-8",
                     "Allow: GET, HEAD\r\n");
    return Reply(200, "OK", metrics.Render(), method == "HEAD", "text/plain; version=0.0.4; charset=utf-8");
}

// One scrape: one request read, one answer, then the connection ends. Its own timers bound how
// long it may take.
class Connection : public QObject {
public:
    Connection(QTcpSocket* socket, const Metrics& metrics, int idleMs, int totalMs, QObject* parent)
        : QObject(parent), socket_(socket), metrics_(metrics)
    {
        socket_->setParent(this);
        // Qt stops reading once this much waits, so a client cannot make the relay buffer more.
        socket_->setReadBufferSize(MetricsServer::kMaxHeaderBytes);
        idle_.setSingleShot(true);
        idle_.setInterval(idleMs);
        total_.setSingleShot(true);
        connect(&idle_, &QTimer::timeout, this, [this] { Drop(); });
        connect(&total_, &QTimer::timeout, this, [this] { Drop(); });
        connect(socket_, &QTcpSocket::readyRead, this, [this] { OnReadyRead(); });
        connect(socket_, &QTcpSocket::bytesWritten, this, [this] { ShutdownWhenSent(); });
        connect(socket_, &QTcpSocket::disconnected, this, [this] { Drop(); });
        connect(socket_, &QTcpSocket::errorOccurred, this, [this] { Drop(); });
        idle_.start();
        total_.start(totalMs);
    }

private:
    void OnReadyRead()
    {
        if (dropped_)
            return;
        if (answered_) {
            // Whatever else the client sends is read and forgotten: closing on unread bytes would
            // reset the connection and could destroy the answer before the client read it.
            socket_->readAll();
            return;
        }
        idle_.start();
        // Only the new bytes, and the three before them, can complete the empty line.
        const qsizetype from = std::max<qsizetype>(0, buffer_.size() - 3);
        buffer_ += socket_->read(MetricsServer::kMaxHeaderBytes - buffer_.size());
        const qsizetype end = HeaderEnd(buffer_, from);
        if (end >= 0)
            Send(Answer(buffer_.left(end), metrics_));
        else if (buffer_.size() >= MetricsServer::kMaxHeaderBytes)
            Send(Reply(431, "Request Header Fields Too Large", "Request Header Fields Too Large\n"));
    }

    void Send(const QByteArray& response)
    {
        answered_ = true;
        buffer_.clear();
        socket_->readAll();
        socket_->write(response);
        socket_->flush();
        // The client closes once it has read the answer; a silent one is closed by the timer.
        idle_.start();
        ShutdownWhenSent();
    }

    // Ends our side once everything is written, so that the client sees the end of the answer
    // while the rest of what it sends is still read.
    void ShutdownWhenSent()
    {
        if (!answered_ || shutDown_ || dropped_ || socket_->bytesToWrite() > 0)
            return;
        shutDown_ = true;
        ::shutdown(int(socket_->socketDescriptor()), SHUT_WR);
    }

    void Drop()
    {
        if (dropped_)
            return;
        dropped_ = true;
        idle_.stop();
        total_.stop();
        socket_->abort();
        deleteLater();
    }

    QTcpSocket* socket_;
    const Metrics& metrics_;
    QByteArray buffer_;
    QTimer idle_, total_;
    bool answered_ = false;
    bool shutDown_ = false;
    bool dropped_ = false;
};

bool IsDottedQuad(const QString& text)
{
    static const QRegularExpression quad(
        QStringLiteral("\\A([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})\\z"));
    const QRegularExpressionMatch m = quad.match(text);
    if (!m.hasMatch())
        return false;
    for (int i = 1; i <= 4; ++i)
        if (m.captured(i).toInt() > 255)
            return false;
    return true;
}

bool IsHostName(const QString& text)
{
    QString name = text;
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    static const QRegularExpression label(QStringLiteral("\\A[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?\\z"));
    if (name.isEmpty() || name.size() > 253)
        return false;
    for (const QString& part : name.split(QLatin1Char('.')))
        if (!label.match(part).hasMatch())
            return false;
    return true;
}

} // namespace

MetricsServer::MetricsServer(Metrics& metrics, QObject* parent) : QObject(parent), metrics_(metrics) {}

MetricsServer::~MetricsServer() { Close(); }

bool MetricsServer::ParseHostPort(const QString& text, QString* host, quint16* port, QString* error)
{
    auto fail = [&](const QString& why) {
        if (error)
            *error = QStringLiteral("'%1' is not an address to listen on: %2 (write host:port, [IPv6]:port or "
                                    "localhost:port, for example 127.0.0.1:9469)")
                         .arg(text, why);
        return false;
    };
    const QString t = text.trimmed();
    if (t.isEmpty())
        return fail(QStringLiteral("it is empty"));
    if (t.contains(QLatin1Char('/')))
        return fail(QStringLiteral("it takes no scheme and no path"));
    QString hostPart, portPart;
    if (t.startsWith(QLatin1Char('['))) {
        const qsizetype close = t.indexOf(QLatin1Char(']'));
        if (close < 0)
            return fail(QStringLiteral("the ']' after the IPv6 address is missing"));
        if (close + 1 >= t.size() || t[close + 1] != QLatin1Char(':'))
            return fail(QStringLiteral("the port after the IPv6 address is missing"));
        hostPart = t.mid(1, close - 1);
        portPart = t.mid(close + 2);
        QHostAddress address;
        if (!address.setAddress(hostPart) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return fail(QStringLiteral("'%1' is not an IPv6 address").arg(hostPart));
    } else {
        const qsizetype colon = t.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return fail(QStringLiteral("the port is missing"));
        hostPart = t.left(colon);
        portPart = t.mid(colon + 1);
        if (hostPart.contains(QLatin1Char(':')))
            return fail(QStringLiteral("an IPv6 address goes in brackets"));
        if (hostPart.isEmpty())
            return fail(QStringLiteral("the host is missing"));
        static const QRegularExpression digitsAndDots(QStringLiteral("\\A[0-9.]+\\z"));
        if (digitsAndDots.match(hostPart).hasMatch()) {
            if (!IsDottedQuad(hostPart))
                return fail(QStringLiteral("'%1' is not an IPv4 address").arg(hostPart));
        } else if (!IsHostName(hostPart)) {
            return fail(QStringLiteral("'%1' is not a host name").arg(hostPart));
        }
    }
    static const QRegularExpression digits(QStringLiteral("\\A[0-9]{1,5}\\z"));
    const int number = digits.match(portPart).hasMatch() ? portPart.toInt() : -1;
    if (number < 1 || number > 65535)
        return fail(portPart.isEmpty() ? QStringLiteral("the port is missing")
                                       : QStringLiteral("'%1' is not a port (1 to 65535)").arg(portPart));
    *host = hostPart;
    *port = quint16(number);
    return true;
}

bool MetricsServer::Listen(const QString& hostPort, QString* error)
{
    QString host;
    quint16 port = 0;
    if (!ParseHostPort(hostPort, &host, &port, error))
        return false;
    QList<Endpoint> wanted;
    bool literal = true;
    if (host.contains(QLatin1Char(':')) || IsDottedQuad(host)) {
        wanted.append({QHostAddress(host), port});
    } else if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
               host.compare(QLatin1String("localhost."), Qt::CaseInsensitive) == 0) {
        // Always the loopback addresses, whatever a resolver might say.
        literal = false;
        wanted = {{QHostAddress(QHostAddress::LocalHost), port}, {QHostAddress(QHostAddress::LocalHostIPv6), port}};
    } else {
        literal = false;
        const QHostInfo info = QHostInfo::fromName(host);
        for (const QHostAddress& a : info.addresses())
            if ((a.protocol() == QAbstractSocket::IPv4Protocol || a.protocol() == QAbstractSocket::IPv6Protocol) &&
                !wanted.contains(Endpoint{a, port}))
                wanted.append({a, port});
        if (wanted.isEmpty()) {
            if (error)
                *error = QStringLiteral("cannot find the address of '%1': %2")
                             .arg(host, info.error() != QHostInfo::NoError ? info.errorString()
                                                                           : QStringLiteral("it has none"));
            return false;
        }
    }
    const QList<Endpoint> old = Endpoints();
    if (old == wanted)
        return true;

    // The old servers go first, since one of them may hold the new address (a wildcard on the
    // same port, or the same address).
    qDeleteAll(servers_);
    servers_.clear();
    QStringList failures;
    Bind(wanted, &failures);
    // A literal address is bound exactly; a name is served on those of its addresses this host has.
    if (servers_.isEmpty() || (literal && !failures.isEmpty())) {
        qDeleteAll(servers_);
        servers_.clear();
        QStringList restoreFailures;
        Bind(old, &restoreFailures);
        if (error)
            *error = QStringLiteral("cannot listen on %1 (%2); %3")
                         .arg(hostPort.trimmed(), failures.join(QLatin1String("; ")),
                              servers_.isEmpty() ? QStringLiteral("metrics are not served")
                                                 : QStringLiteral("still serving on %1").arg(Describe()));
        return false;
    }
    return true;
}

void MetricsServer::Bind(const QList<Endpoint>& endpoints, QStringList* failures)
{
    for (const Endpoint& endpoint : endpoints) {
        auto* server = new QTcpServer(this);
        if (!server->listen(endpoint.address, endpoint.port)) {
            failures->append(QStringLiteral("%1: %2").arg(EndpointText(endpoint), server->errorString()));
            delete server;
            continue;
        }
        connect(server, &QTcpServer::newConnection, this, [this, server] { OnNewConnection(server); });
        servers_.append(server);
    }
}

void MetricsServer::OnNewConnection(QTcpServer* server)
{
    connections_.removeAll(nullptr);
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        if (connections_.size() >= kMaxConnections) {
            socket->abort();
            delete socket;
            continue;
        }
        connections_.append(new Connection(socket, metrics_, idleMs_, totalMs_, this));
    }
}

void MetricsServer::Close()
{
    qDeleteAll(servers_);
    servers_.clear();
    for (const QPointer<QObject>& c : std::as_const(connections_))
        delete c.data();
    connections_.clear();
}

bool MetricsServer::IsListening() const { return !servers_.isEmpty(); }

QString MetricsServer::EndpointText(const Endpoint& endpoint)
{
    const QString address = endpoint.address.toString();
    return (endpoint.address.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + address + QLatin1Char(']')
                                                                         : address) +
           QLatin1Char(':') + QString::number(endpoint.port);
}

QList<MetricsServer::Endpoint> MetricsServer::Endpoints() const
{
    QList<Endpoint> endpoints;
    for (const QTcpServer* server : servers_)
        endpoints.append({server->serverAddress(), server->serverPort()});
    return endpoints;
}

QString MetricsServer::Describe() const
{
    QStringList texts;
    for (const Endpoint& endpoint : Endpoints())
        texts << EndpointText(endpoint);
    return texts.join(QLatin1String(", "));
}

void MetricsServer::SetTimeouts(int idleMs, int totalMs)
{
    idleMs_ = idleMs;
    totalMs_ = totalMs;
}

int MetricsServer::OpenConnections() const
{
    int n = 0;
    for (const QPointer<QObject>& c : connections_)
        n += c ? 1 : 0;
    return n;
}

} // namespace swn
