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
    // Listens on `path`, an absolute path in a folder of this process's user that no one else
    // may enter (a stale socket of a relay that is gone is replaced: the caller holds the spool's
    // lock). A path too long for a socket address is reached through the open folder, never
    // through a shared one. False with `error` set when it cannot. Only root and the folder's
    // owner are answered.
    bool Listen(const QString& path, QString* error);
    void Close();

private:
    void serve(QLocalSocket* socket);
    QString answer(const QString& command);

    RetryQueue& queue_;
    QLocalServer* server_ = nullptr;
    int folderFd_ = -1;   // the socket's folder, held open so that Close() removes only ours
    QByteArray name_;     // the socket's name in it
    quint64 inode_ = 0;
    unsigned owner_ = 0;  // the folder's owner
};

enum class ControlResult { Done, Refused, NoRelay, Untrusted };

// Sends one command to the relay that runs on the spool whose control socket is `path`.
// NoRelay when nothing listens there; `reply` is the relay's answer without "ok "/"error ".
// Untrusted, with `reply` saying why, when the socket or its folder could be someone else's (not
// owned by the folder's owner, or writable by others) or the process answering runs as another
// user: nothing is sent then.
ControlResult SendQueueCommand(const QString& path, const QString& command, QString* reply, int timeoutMs = 10000);

// The configured spool, or the user's own when it cannot be used (a desktop session without
// rights to the system's folder); null when neither works, with the reasons in `errors`. For a
// relay only: the verbs never guess which spool was meant.
std::shared_ptr<Spool> OpenSpoolFolder(const QString& dir, QStringList* errors);

// One verb of the command line: "queue" lists the kept and failed documents; "flush", "delete"
// and "requeue" (with `id`) go to the relay running on the spool, or, for delete and requeue,
// are done on the folder when none runs. Texts go to `out`, complaints (and which spool is used)
// to `err`, each after the application's name; the exit code.
int RunQueueVerb(const QString& spoolDir, const QString& verb, const QString& id, FILE* out, FILE* err);
// One line of the verbs' output.
void PrintLine(FILE* to, const QString& text);

} // namespace swn
