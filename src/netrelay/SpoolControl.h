#pragma once
// The administrator's way into a running relay's spool: a Unix socket in the spool folder that
// only the relay's own user can reach (never a network port). One command a connection, one line
// each way: "flush", "delete ID", "requeue ID"; the answer starts with "ok " or "error ".
#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace swn {

class NetworkRelay;

class SpoolControlServer : public QObject {
    Q_OBJECT
public:
    SpoolControlServer(NetworkRelay& relay, QObject* parent = nullptr);
    ~SpoolControlServer() override;
    // Listens on `path` (a stale socket of a relay that is gone is replaced: the caller holds the
    // spool's lock). False with `error` set when it cannot.
    bool Listen(const QString& path, QString* error);
    void Close();

private:
    void serve(QLocalSocket* socket);
    QString answer(const QString& command);

    NetworkRelay& relay_;
    QLocalServer* server_ = nullptr;
};

enum class ControlResult { Done, Refused, NoRelay };

// Sends one command to the relay that runs on the spool whose control socket is `path`.
// NoRelay when nothing listens there; `reply` is the relay's answer without "ok "/"error ".
ControlResult SendSpoolCommand(const QString& path, const QString& command, QString* reply, int timeoutMs = 10000);

} // namespace swn
