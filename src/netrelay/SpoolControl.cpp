#include "netrelay/SpoolControl.h"

#include "netrelay/NetworkRelay.h"
#include "relay/Spool.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <sys/stat.h>

namespace swn {

namespace {
constexpr qint64 kLongestCommand = 256;
constexpr int kClientTimeoutMs = 5000;
} // namespace

SpoolControlServer::SpoolControlServer(NetworkRelay& relay, QObject* parent) : QObject(parent), relay_(relay) {}

SpoolControlServer::~SpoolControlServer() { Close(); }

bool SpoolControlServer::Listen(const QString& path, QString* error)
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

void SpoolControlServer::Close()
{
    if (!server_)
        return;
    const QString path = server_->fullServerName();
    server_->close();
    delete server_;
    server_ = nullptr;
    QFile::remove(path);
}

void SpoolControlServer::serve(QLocalSocket* socket)
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

QString SpoolControlServer::answer(const QString& command)
{
    const QString verb = command.section(QLatin1Char(' '), 0, 0);
    const QString argument = command.section(QLatin1Char(' '), 1).trimmed();
    QString reply;
    if (verb == QLatin1String("flush") && argument.isEmpty())
        return QStringLiteral("ok ") + relay_.FlushKept();
    if ((verb == QLatin1String("delete") || verb == QLatin1String("requeue")) && Spool::IsValidId(argument)) {
        const bool ok = verb == QLatin1String("delete") ? relay_.DeleteKept(argument, &reply)
                                                        : relay_.RequeueFailed(argument, &reply);
        return (ok ? QStringLiteral("ok ") : QStringLiteral("error ")) + reply;
    }
    if (verb == QLatin1String("delete") || verb == QLatin1String("requeue"))
        return QStringLiteral("error '%1' is not a spool id").arg(argument.left(64));
    return QStringLiteral("error unknown command");
}

ControlResult SendSpoolCommand(const QString& path, const QString& command, QString* reply, int timeoutMs)
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

} // namespace swn
