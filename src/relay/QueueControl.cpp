#include "relay/QueueControl.h"

#include "common/Catalogue.h"
#include "relay/RetryQueue.h"
#include "relay/Spool.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>
#include <QTimer>

#include <sys/stat.h>

namespace swn {

namespace {
constexpr qint64 kLongestCommand = 256;
constexpr int kClientTimeoutMs = 5000;

void Print(FILE* to, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    std::fputc('\n', to);
}
} // namespace

QueueControlServer::QueueControlServer(RetryQueue& queue, QObject* parent) : QObject(parent), queue_(queue) {}

QueueControlServer::~QueueControlServer() { Close(); }

bool QueueControlServer::Listen(const QString& path, QString* error)
{
    Close();
    server_ = new QLocalServer(this);
    // The folder is the relay's user's alone already; the socket says so too.
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(path);
    if (!server_->listen(path)) {
        if (error)
            *error = server_->errorString();
        delete server_;
        server_ = nullptr;
        return false;
    }
    ::chmod(QFile::encodeName(path).constData(), 0600);
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection())
            serve(socket);
    });
    return true;
}

void QueueControlServer::Close()
{
    if (!server_)
        return;
    const QString path = server_->fullServerName();
    server_->close();
    delete server_;
    server_ = nullptr;
    QFile::remove(path);
}

void QueueControlServer::serve(QLocalSocket* socket)
{
    QPointer<QLocalSocket> guard(socket);
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
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
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(qMin(timeoutMs, 2000))) {
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
    QStringList errors;
    std::shared_ptr<Spool> spool = OpenSpoolFolder(spoolDir, &errors);
    // Whoever asks must know which spool answers when it is not the one named.
    for (const QString& e : errors)
        Print(err, QStringLiteral("SWNRelay: ") + e);
    if (!spool)
        return 1;
    if (!errors.isEmpty())
        Print(err, QStringLiteral("SWNRelay: using the spool %1").arg(spool->dir()));
    if (verb == QLatin1String("queue")) {
        for (const QString& line : RetryQueue::List(*spool))
            Print(out, line);
        return 0;
    }
    // A running relay does it itself, so that nothing races its workers.
    QString reply;
    const QString command = id.isEmpty() ? verb : verb + QLatin1Char(' ') + id;
    switch (SendQueueCommand(spool->controlSocketPath(), command, &reply)) {
    case ControlResult::Done:
        Print(out, reply);
        return 0;
    case ControlResult::Refused:
        Print(err, QStringLiteral("SWNRelay: ") + reply);
        return 1;
    case ControlResult::NoRelay:
        break;
    }
    if (verb == QLatin1String("flush")) {
        Print(err, QStringLiteral("SWNRelay: no relay runs on the spool %1; its kept documents are tried when one starts")
                       .arg(spool->dir()));
        return 1;
    }
    QString holder, error;
    if (!spool->lock(&holder, &error)) {
        Print(err, QStringLiteral("SWNRelay: the spool %1 is held by %2, which does not answer on %3")
                       .arg(spool->dir(), holder.isEmpty() ? error : holder, spool->controlSocketPath()));
        return 1;
    }
    if (!Spool::IsValidId(id)) {
        Print(err, QStringLiteral("SWNRelay: '%1' is not a spool id (see --queue)").arg(id));
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
    Print(ok ? out : err, ok ? reply : QStringLiteral("SWNRelay: ") + reply);
    return ok ? 0 : 1;
}

} // namespace swn
