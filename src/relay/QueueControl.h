#pragma once
// The administrator's way into a running relay's retry queue: a Unix socket in the spool folder
// that only the relay's own user can reach (never a network port). One command a connection, one
// line each way: "flush", "delete ID", "requeue ID"; the answer starts with "ok " or "error ".
// And the verbs' other end: the listing, and the commands sent there or done on the folder when
// no relay runs.
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <memory>

class QLocalServer;
class QLocalSocket;

namespace swn {

class RetryQueue;
class Spool;

class QueueControlServer : public QObject {
    Q_OBJECT
public:
    explicit QueueControlServer(RetryQueue& queue, QObject* parent = nullptr);
    ~QueueControlServer() override;
    // Listens on `path` (a stale socket of a relay that is gone is replaced: the caller holds the
    // spool's lock). False with `error` set when it cannot.
    bool Listen(const QString& path, QString* error);
    void Close();

private:
    void serve(QLocalSocket* socket);
    QString answer(const QString& command);

    RetryQueue& queue_;
    QLocalServer* server_ = nullptr;
};

enum class ControlResult { Done, Refused, NoRelay };

// Sends one command to the relay that runs on the spool whose control socket is `path`.
// NoRelay when nothing listens there; `reply` is the relay's answer without "ok "/"error ".
ControlResult SendQueueCommand(const QString& path, const QString& command, QString* reply, int timeoutMs = 10000);

// The configured spool, or the user's own when it cannot be used (a desktop session without
// rights to the system's folder); null when neither works, with the reasons in `errors`.
std::shared_ptr<Spool> OpenSpoolFolder(const QString& dir, QStringList* errors);

// One verb of the command line: "queue" lists the kept and failed documents; "flush", "delete"
// and "requeue" (with `id`) go to the relay running on the spool, or, for delete and requeue,
// are done on the folder when none runs. Texts go to `out`, complaints to `err`; the exit code.
int RunQueueVerb(const QString& spoolDir, const QString& verb, const QString& id, FILE* out, FILE* err);

} // namespace swn
