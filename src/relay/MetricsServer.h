#pragma once
// A tiny HTTP server for a scraper on loopback and for the health checks of a load balancer:
// GET /metrics, /healthz and /readyz. Each connection gets one answer and is closed; slow, silent
// or oversized clients are cut off, and only a few connections are served at once, so that nobody
// can tie up the relay's loop.
#include "common/HostPort.h"
#include "relay/Metrics.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QTcpServer;

namespace swn {

// Serves GET /metrics over HTTP on the address of the optional settings key MetricsListen, and
// beside it /healthz (200 whenever the relay's loop answers at all: the answer is made on that
// loop's thread) and /readyz (200 while the relay can take mail, else 503 with the reason).
class MetricsServer : public QObject {
    Q_OBJECT
public:
    // Why the relay cannot take mail now, in a few words ("the relay is stopped"); empty while it
    // can. Asked on the server's thread for every /readyz.
    using ReadinessProbe = std::function<QString()>;

    static constexpr int kMaxConnections = 16;
    static constexpr int kMaxHeaderBytes = 8 * 1024;

    explicit MetricsServer(Metrics& metrics, QObject* parent = nullptr);
    ~MetricsServer() override;

    // "host:port", "[IPv6]:port", "localhost:port"; false with `error` set when the text cannot be
    // read or the address cannot be bound. Listening again replaces the old address; when the new
    // one cannot be bound the old one is served again.
    bool Listen(const QString& hostPort, QString* error);
    void Close();
    bool IsListening() const;
    QString Describe() const; // what it listens on, e.g. "127.0.0.1:9469"

    // Some address listened on is not a loopback one (a wildcard, or an interface's address):
    // anyone who can reach it reads the metrics, without any authentication.
    bool ReachableFromOtherHosts() const;

    // A client silent for `idleMs` is closed, and so is one still connected after `totalMs`.
    void SetTimeouts(int idleMs, int totalMs);
    // Connections being served now.
    int OpenConnections() const;

    // What /readyz asks; without one the relay counts as ready whenever it answers.
    void SetReadinessProbe(ReadinessProbe probe);

private:
    // Reads "host:port" strictly: an IPv4 literal, an IPv6 literal in brackets (with its scope, if
    // any) or a host name, and a port of 1 to 65535.
    static bool Parse(const QString& text, HostPort* where, QString* error);
    struct Endpoint {
        QHostAddress address;
        quint16 port = 0;
        bool operator==(const Endpoint&) const = default;
    };
    static QString EndpointText(const Endpoint& endpoint);
    QList<Endpoint> Endpoints() const;
    // Binds every endpoint it can; the failures are described in `failures`.
    void Bind(const QList<Endpoint>& endpoints, QStringList* failures);
    void OnNewConnection(QTcpServer* server);

    Metrics& metrics_;
    QList<QTcpServer*> servers_;
    QList<QPointer<QObject>> connections_;
    int idleMs_ = 10000;
    int totalMs_ = 30000;
    ReadinessProbe readiness_;
};

} // namespace swn
