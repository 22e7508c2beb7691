#include "relay/MetricsServer.h"

#include "common/HttpHead.h"

#include <QHostInfo>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <utility>

#include <sys/socket.h>

namespace swn {
namespace {

QByteArray Reply(int status, const QByteArray& body, bool headOnly = false,
                 const char* contentType = "text/plain; charset=utf-8", const char* extraHeaders = "")
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + http::ReasonPhrase(status) +
                     "\r\nContent-Type: " + contentType + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                     "\r\nConnection: close\r\n" + extraHeaders + "\r\n";
    if (!headOnly)
        out += body;
    return out;
}

// /readyz: 200, or 503 with the probe's reason on one line.
QByteArray Readiness(const MetricsServer::ReadinessProbe& probe, bool headOnly)
{
    QString why;
    try {
        if (probe)
            why = probe();
    } catch (const std::exception& e) {
        why = QStringLiteral("readiness cannot be checked: %1").arg(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        why = QStringLiteral("readiness cannot be checked");
    }
    if (why.isEmpty())
        return Reply(200, "ready\n", headOnly);
    // A path in the reason may hold a line break; the answer is one line.
    for (QChar& c : why)
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    return Reply(503, "not ready: " + why.toUtf8() + '\n', headOnly);
}

QByteArray Answer(const QByteArray& head, const Metrics& metrics, const MetricsServer::ReadinessProbe& readiness)
{
    qsizetype start = 0;
    // A client may send empty lines before its request.
    while (start < head.size() && (head[start] == '\r' || head[start] == '\n'))
        ++start;
    const qsizetype eol = head.indexOf('\n', start);
    QByteArray line = head.mid(start, eol < 0 ? -1 : eol - start);
    if (line.endsWith('\r'))
        line.chop(1);
    http::RequestLine request;
    // Only HTTP/1.x: a client speaking another version would not understand the answer.
    if (!http::ParseRequestLine(line, &request) || request.version.size() != 8 || !request.version.startsWith("HTTP/1."))
        return Reply(http::BadRequest.status, QByteArray(http::BadRequest.reason) + '\n');
    const qsizetype query = request.target.indexOf('?');
    const QByteArrayView path = query < 0 ? request.target : request.target.first(query);
    if (path != "/metrics" && path != "/healthz" && path != "/readyz")
        return Reply(404, "Not Found: metrics are at /metrics\n");
    const QByteArrayView method = request.method;
    if (method != "GET" && method != "HEAD")
        return Reply(405, "Method Not Allowed\n", false, "text/plain; charset=utf-8", "Allow: GET, HEAD\r\n");
    const bool headOnly = method == "HEAD";
    if (path == "/healthz")
        return Reply(200, "ok\n", headOnly);
    if (path == "/readyz")
        return Readiness(readiness, headOnly);
    return Reply(200, metrics.Render(), headOnly, "text/plain; version=0.0.4; charset=utf-8");
}

// One scrape: one request read, one answer, then the connection ends. Its own timers bound how
// long it may take.
class Connection : public QObject {
public:
    Connection(QTcpSocket* socket, const Metrics& metrics, const MetricsServer::ReadinessProbe& readiness, int idleMs,
               int totalMs, QObject* parent)
        : QObject(parent), socket_(socket), metrics_(metrics), readiness_(readiness)
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
        // A bare LF is taken for CR LF.
        const qsizetype end = http::FindHeadEnd(buffer_, from, true);
        if (end >= 0)
            Send(Answer(buffer_.left(end), metrics_, readiness_));
        else if (buffer_.size() >= MetricsServer::kMaxHeaderBytes)
            Send(Reply(http::HeadTooLarge.status, QByteArray(http::HeadTooLarge.reason) + '\n'));
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
    const MetricsServer::ReadinessProbe& readiness_; // the server's, which outlives its connections
    QByteArray buffer_;
    QTimer idle_, total_;
    bool answered_ = false;
    bool shutDown_ = false;
    bool dropped_ = false;
};

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

bool MetricsServer::Parse(const QString& text, HostPort* where, QString* error)
{
    auto fail = [&](const QString& why) {
        if (error)
            *error = QStringLiteral("'%1' is not an address to listen on: %2 (write host:port, [IPv6]:port or "
                                    "localhost:port, for example 127.0.0.1:9469)")
                         .arg(text, why);
        return false;
    };
    const QString t = text.trimmed();
    if (t.contains(QLatin1Char('/')))
        return fail(QStringLiteral("it takes no scheme and no path"));
    QString why;
    if (!ParseHostPort(t, where, &why, PortRule::Required))
        return fail(why);
    // Brackets are for IPv6 only; a name must be one a resolver can be asked for.
    if (t.startsWith(QLatin1Char('[')) && where->ipVersion != 6)
        return fail(QStringLiteral("'%1' is not an IPv6 address").arg(where->host));
    if (where->ipVersion == 0 && !IsHostName(where->host))
        return fail(QStringLiteral("'%1' is not a host name").arg(where->host));
    return true;
}

bool MetricsServer::Listen(const QString& hostPort, QString* error)
{
    HostPort where;
    if (!Parse(hostPort, &where, error))
        return false;
    const QString& host = where.host;
    const quint16 port = quint16(where.port);
    QList<Endpoint> wanted;
    bool literal = true;
    if (where.ipVersion != 0) {
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
        connections_.append(new Connection(socket, metrics_, readiness_, idleMs_, totalMs_, this));
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

bool MetricsServer::ReachableFromOtherHosts() const
{
    for (const QTcpServer* server : servers_)
        if (!server->serverAddress().isLoopback())
            return true;
    return false;
}

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

void MetricsServer::SetReadinessProbe(ReadinessProbe probe) { readiness_ = std::move(probe); }

int MetricsServer::OpenConnections() const
{
    int n = 0;
    for (const QPointer<QObject>& c : connections_)
        n += c ? 1 : 0;
    return n;
}

} // namespace swn
