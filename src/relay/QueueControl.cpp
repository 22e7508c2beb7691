#include "relay/QueueControl.h"

#include "common/Catalogue.h"
#include "relay/RetryQueue.h"
#include "relay/Spool.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <grp.h>
#include <unistd.h>
#include <utility>

namespace swn {

namespace {
constexpr qint64 kLongestCommand = 256;
constexpr int kClientTimeoutMs = 5000;

} // namespace

void PrintLine(FILE* to, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    std::fputc('\n', to);
}

namespace {

// Complaints name the program they come from, whichever of the two it is.
void Complain(FILE* to, const QString& text)
{
    PrintLine(to, QCoreApplication::applicationName() + QStringLiteral(": ") + text);
}

QString ErrnoText(int e)
{
    return QString::fromLocal8Bit(std::strerror(e));
}

// Takes the identity of `uid` for good (a verb run by root on another user's spool).
bool ActAs(uid_t uid, gid_t gid, QString* error)
{
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0) {
        *error = ErrnoText(errno);
        return false;
    }
    return true;
}


QString UserName(uid_t uid)
{
    const passwd* pw = ::getpwuid(uid);
    return pw ? QStringLiteral("%1 (uid %2)").arg(QString::fromLocal8Bit(pw->pw_name)).arg(uid)
              : QStringLiteral("uid %1").arg(uid);
}

// The socket's folder, opened once: what is checked is what is used.
struct SocketFolder {
    int fd = -1;
    struct stat st {};
    QString path;
    QByteArray name;
    SocketFolder() = default;
    SocketFolder(const SocketFolder&) = delete;
    SocketFolder& operator=(const SocketFolder&) = delete;
    ~SocketFolder()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

bool OpenSocketFolder(const QString& socketPath, SocketFolder* folder, QString* error)
{
    // A relative name would be taken from wherever the process happens to be, or by the socket
    // classes from the shared temporary folder.
    if (!QDir::isAbsolutePath(socketPath)) {
        *error = QStringLiteral("the control socket %1 is not an absolute path").arg(socketPath);
        return false;
    }
    const QFileInfo info(QDir::cleanPath(socketPath));
    folder->path = info.absolutePath();
    folder->name = QFile::encodeName(info.fileName());
    folder->fd = ::open(QFile::encodeName(folder->path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder->fd < 0 || ::fstat(folder->fd, &folder->st) != 0) {
        *error = QStringLiteral("cannot open the folder %1: %2").arg(folder->path, ErrnoText(errno));
        return false;
    }
    return true;
}

// The address of the socket in the open folder: through the folder's descriptor, so that the
// path's length does not matter and nothing can swap the folder in between; the plain path only
// where /proc is missing and it fits.
bool SocketAddress(const SocketFolder& folder, sockaddr_un* addr, QString* error)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    QByteArray path = "/proc/self/fd/" + QByteArray::number(folder.fd);
    if (::access(path.constData(), F_OK) == 0)
        path += '/' + folder.name;
    else
        path = QFile::encodeName(folder.path) + '/' + folder.name;
    if (size_t(path.size()) >= sizeof addr->sun_path) {
        *error = QStringLiteral("the path of the control socket in %1 is too long").arg(folder.path);
        return false;
    }
    std::memcpy(addr->sun_path, path.constData(), size_t(path.size()));
    return true;
}

bool PeerUid(int fd, uid_t* uid)
{
    ucred cred {};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
        return false;
    *uid = cred.uid;
    return true;
}
} // namespace

QueueControlServer::QueueControlServer(RetryQueue& queue, QObject* parent) : QObject(parent), queue_(queue) {}

QueueControlServer::~QueueControlServer() { Close(); }

bool QueueControlServer::Listen(const QString& path, QString* error)
{
    Close();
    QString why;
    const auto fail = [&](const QString& text) {
        if (error)
            *error = text;
        return false;
    };
    SocketFolder folder;
    if (!OpenSocketFolder(path, &folder, &why))
        return fail(why);
    // Anyone who could enter the folder could put their own socket in its place.
    if (folder.st.st_uid != ::geteuid() || (folder.st.st_mode & 077) != 0)
        return fail(QStringLiteral("its folder %1 must belong to %2 alone (mode 0700), not to %3 with mode %4")
                        .arg(folder.path, UserName(::geteuid()), UserName(folder.st.st_uid))
                        .arg(folder.st.st_mode & 07777, 4, 8, QLatin1Char('0')));
    struct stat st {};
    if (::fstatat(folder.fd, folder.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return fail(QStringLiteral("something that is no socket is in its place"));
        // A stale socket of a relay that is gone: the caller holds the spool's lock.
        if (::unlinkat(folder.fd, folder.name.constData(), 0) != 0)
            return fail(QStringLiteral("cannot remove the old socket: %1").arg(ErrnoText(errno)));
    }
    sockaddr_un addr {};
    if (!SocketAddress(folder, &addr, &why))
        return fail(why);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(ErrnoText(errno));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int e = errno;
        ::close(fd);
        return fail(ErrnoText(e));
    }
    if (::fchmodat(folder.fd, folder.name.constData(), 0600, 0) != 0 ||
        ::fstatat(folder.fd, folder.name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || ::listen(fd, 16) != 0) {
        const int e = errno;
        ::close(fd);
        ::unlinkat(folder.fd, folder.name.constData(), 0);
        return fail(ErrnoText(e));
    }
    server_ = new QLocalServer(this);
    if (!server_->listen(qintptr(fd))) {
        const QString text = server_->errorString();
        ::close(fd);
        ::unlinkat(folder.fd, folder.name.constData(), 0);
        delete server_;
        server_ = nullptr;
        return fail(text);
    }
    inode_ = quint64(st.st_ino);
    owner_ = unsigned(folder.st.st_uid);
    name_ = folder.name;
    folderFd_ = folder.release();
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection())
            serve(socket);
    });
    return true;
}

void QueueControlServer::Close()
{
    if (server_) {
        server_->close();
        delete server_;
        server_ = nullptr;
    }
    if (folderFd_ < 0)
        return;
    // Only our own socket: the place may hold another relay's by now.
    struct stat st {};
    if (::fstatat(folderFd_, name_.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && quint64(st.st_ino) == inode_)
        ::unlinkat(folderFd_, name_.constData(), 0);
    ::close(folderFd_);
    folderFd_ = -1;
}

void QueueControlServer::serve(QLocalSocket* socket)
{
    QPointer<QLocalSocket> guard(socket);
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    uid_t uid = 0;
    if (!PeerUid(int(socket->socketDescriptor()), &uid) || (uid != 0 && uid != uid_t(owner_))) {
        socket->write(QStringLiteral("error only root and %1 may steer this relay\n").arg(UserName(owner_)).toUtf8());
        socket->disconnectFromServer();
        return;
    }
    // A client that says nothing must not keep its connection.
    QTimer::singleShot(kClientTimeoutMs, socket, [guard] {
        if (guard)
            guard->abort();
    });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > kLongestCommand)
                socket->abort();
            return;
        }
        // One command a connection: what follows the first line is never read.
        disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
        const QString command = QString::fromUtf8(socket->readLine(kLongestCommand + 1)).trimmed();
        socket->write(answer(command).toUtf8() + '\n');
        socket->disconnectFromServer();
    });
}

QString QueueControlServer::answer(const QString& command)
{
    const QString verb = command.section(QLatin1Char(' '), 0, 0);
    const QString argument = command.section(QLatin1Char(' '), 1).trimmed();
    QString reply;
    if (verb == QLatin1String("flush") && argument.isEmpty())
        return QStringLiteral("ok ") + queue_.Flush();
    if (verb == QLatin1String("status") && argument.isEmpty()) {
        // What only the running relay knows: a limit that holds mail back, servers that rest.
        const RetryQueue::State state = queue_.Snapshot();
        QStringList items;
        if (!state.limitWait.isEmpty())
            items << QStringLiteral("mail waits for %1 (%2 more)")
                         .arg(state.limitWait, RetryQueue::DurationText(state.limitOpensInMs));
        // Servers rest after any failure; they are told while the queue waits for a rest they asked for.
        if (state.restEndsInMs > 0)
            for (const QString& server : state.restingServers)
                items << QStringLiteral("resting: ") + server;
        for (QString& item : items)
            item = EscapeControls(item);
        return QStringLiteral("ok ") + items.join(QLatin1Char('\t'));
    }
    if ((verb == QLatin1String("delete") || verb == QLatin1String("requeue")) && Spool::IsValidId(argument)) {
        const bool ok = verb == QLatin1String("delete") ? queue_.Delete(argument, &reply)
                                                        : queue_.Requeue(argument, &reply);
        return (ok ? QStringLiteral("ok ") : QStringLiteral("error ")) + reply;
    }
    if (verb == QLatin1String("delete") || verb == QLatin1String("requeue"))
        return QStringLiteral("error '%1' is not a spool id").arg(argument.left(64));
    return QStringLiteral("error unknown command");
}

ControlResult SendQueueCommand(const QString& path, const QString& command, QString* reply, int timeoutMs)
{
    QString why;
    const auto untrusted = [&](const QString& text) {
        if (reply)
            *reply = text;
        return ControlResult::Untrusted;
    };
    SocketFolder folder;
    if (!OpenSocketFolder(path, &folder, &why)) {
        if (reply)
            *reply = why;
        return QDir::isAbsolutePath(path) ? ControlResult::NoRelay : ControlResult::Untrusted;
    }
    const uid_t owner = folder.st.st_uid;
    if ((folder.st.st_mode & 022) != 0)
        return untrusted(QStringLiteral("the folder %1 of the control socket may be written by others than %2")
                             .arg(folder.path, UserName(owner)));
    struct stat st {};
    if (::fstatat(folder.fd, folder.name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (reply)
            *reply = ErrnoText(errno);
        return ControlResult::NoRelay;
    }
    if (!S_ISSOCK(st.st_mode)) {
        if (reply)
            *reply = QStringLiteral("%1 is no socket").arg(path);
        return ControlResult::NoRelay;
    }
    if (st.st_uid != owner)
        return untrusted(QStringLiteral("the control socket %1 belongs to %2, not to the spool's owner %3")
                             .arg(path, UserName(st.st_uid), UserName(owner)));
    if ((st.st_mode & 022) != 0)
        return untrusted(QStringLiteral("the control socket %1 may be written by others than %2").arg(path, UserName(owner)));
    sockaddr_un addr {};
    if (!SocketAddress(folder, &addr, &why))
        return untrusted(why);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (reply)
            *reply = ErrnoText(errno);
        if (fd >= 0)
            ::close(fd);
        return ControlResult::NoRelay;
    }
    // Whoever answers must be the spool's owner: nothing is said to anyone else.
    uid_t peer = 0;
    if (!PeerUid(fd, &peer)) {
        ::close(fd);
        return untrusted(QStringLiteral("cannot tell who answers on %1").arg(path));
    }
    if (peer != owner) {
        ::close(fd);
        return untrusted(QStringLiteral("the process answering on %1 runs as %2, not as the spool's owner %3")
                             .arg(path, UserName(peer), UserName(owner)));
    }
    QLocalSocket socket;
    if (!socket.setSocketDescriptor(qintptr(fd))) {
        ::close(fd);
        if (reply)
            *reply = socket.errorString();
        return ControlResult::NoRelay;
    }
    socket.write(command.toUtf8() + '\n');
    socket.flush();
    QElapsedTimer timer;
    timer.start();
    QByteArray answer;
    while (!answer.contains('\n') && timer.elapsed() < timeoutMs) {
        if (!socket.waitForReadyRead(int(qMax<qint64>(1, timeoutMs - timer.elapsed()))) &&
            socket.state() != QLocalSocket::ConnectedState)
            break;
        answer += socket.readAll();
    }
    answer += socket.readAll();
    const QString text = QString::fromUtf8(answer).trimmed();
    if (text.startsWith(QLatin1String("ok"))) {
        if (reply)
            *reply = text.mid(2).trimmed();
        return ControlResult::Done;
    }
    if (reply)
        *reply = text.startsWith(QLatin1String("error")) ? text.mid(5).trimmed()
                                                         : QStringLiteral("the relay gave no answer");
    return ControlResult::Refused;
}

std::shared_ptr<Spool> OpenSpoolFolder(const QString& dir, QStringList* errors)
{
    QString error;
    auto spool = std::make_shared<Spool>(dir);
    if (spool->open(&error))
        return spool;
    if (errors)
        *errors << BuildResourceMessage(msg::SpoolUnusable, {dir, error});
    const QString own = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (own.isEmpty() || own == dir)
        return nullptr;
    spool = std::make_shared<Spool>(own + QStringLiteral("/spool"));
    if (spool->open(&error))
        return spool;
    if (errors)
        *errors << BuildResourceMessage(msg::SpoolUnusable, {spool->dir(), error});
    return nullptr;
}

int RunQueueVerb(const QString& spoolDir, const QString& verb, const QString& id, FILE* out, FILE* err)
{
    // Never a spool of the user's own instead: a listing of another folder would look like an
    // empty queue.
    Complain(err, QStringLiteral("using the spool %1").arg(spoolDir));
    auto spool = std::make_shared<Spool>(spoolDir);
    QString error;
    struct stat st {};
    const QByteArray native = QFile::encodeName(spoolDir);
    // A verb never makes a spool: a mistyped folder would list as an empty queue.
    if (!QDir::isAbsolutePath(spoolDir))
        error = QStringLiteral("the spool folder %1 is not an absolute path").arg(spoolDir);
    else if (::stat(native.constData(), &st) != 0)
        error = ErrnoText(errno);
    // Root steers a spool as the user who owns it, so that what it writes stays that user's and
    // the checks of the control socket are that user's.
    else if (::geteuid() == 0 && st.st_uid != 0 && !ActAs(st.st_uid, st.st_gid, &error))
        error = QStringLiteral("cannot act as its owner: %1").arg(error);
    else if (::access(native.constData(), R_OK | X_OK) != 0)
        error = ErrnoText(errno);
    else if (!spool->open(&error) && error.isEmpty())
        error = QStringLiteral("it cannot be opened");
    if (!error.isEmpty()) {
        Complain(err, QStringLiteral("cannot read the spool %1: %2").arg(spoolDir, error));
        return 1;
    }
    if (verb == QLatin1String("queue")) {
        for (const QString& line : RetryQueue::List(*spool))
            PrintLine(out, line);
        // A relay that runs on the spool tells what only it knows, beside the listing rather than
        // in it: a limit that holds mail back, servers that rest.
        QString status;
        if (SendQueueCommand(spool->controlSocketPath(), QStringLiteral("status"), &status, 2000) == ControlResult::Done &&
            !status.isEmpty())
            for (const QString& item : status.split(QLatin1Char('\t')))
                Complain(err, item);
        return 0;
    }
    // A running relay does it itself, so that nothing races its workers.
    QString reply;
    const QString command = id.isEmpty() ? verb : verb + QLatin1Char(' ') + id;
    switch (SendQueueCommand(spool->controlSocketPath(), command, &reply)) {
    case ControlResult::Done:
        PrintLine(out, reply);
        return 0;
    case ControlResult::Refused:
        Complain(err, reply);
        return 1;
    case ControlResult::Untrusted:
        Complain(err, QStringLiteral("not asking the relay on the spool %1: %2").arg(spool->dir(), reply));
        return 1;
    case ControlResult::NoRelay:
        break;
    }
    QString holder, lockError;
    if (!spool->lock(&holder, &lockError)) {
        Complain(err, QStringLiteral("the relay on the spool %1 (%2) cannot be reached on %3: %4")
                          .arg(spool->dir(), holder.isEmpty() ? lockError : holder, spool->controlSocketPath(), reply));
        return 1;
    }
    if (verb == QLatin1String("flush")) {
        Complain(err, QStringLiteral("no relay runs on the spool %1; its kept documents are tried when one starts")
                          .arg(spool->dir()));
        return 1;
    }
    if (!Spool::IsValidId(id)) {
        Complain(err, QStringLiteral("'%1' is not a spool id (see --queue)").arg(id));
        return 1;
    }
    bool ok = false;
    if (verb == QLatin1String("delete")) {
        ok = RetryQueue::DeleteFromSpool(*spool, id, &reply);
    } else {
        ok = RetryQueue::RequeueInSpool(*spool, id, &reply);
        if (ok)
            reply += QStringLiteral("; it is tried when a relay starts");
    }
    if (ok)
        PrintLine(out, reply);
    else
        Complain(err, reply);
    return ok ? 0 : 1;
}

} // namespace swn
