// Network relay mode: the listener, its connection slots, and one request per connection.
#include "delivery/Delivery.h"
#include "common/Catalogue.h"
#include "common/Files.h"
#include "ui/Form1.h"
#include "netrelay/RequestAssembly.h"
#include "netrelay/SocketArray.h"

#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QRadioButton>
#include <QCheckBox>
#include <QRandomGenerator>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace swn {
namespace {

QString PeerOfPending(qintptr descriptor)
{
    sockaddr_storage addr {};
    socklen_t len = sizeof addr;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return QStringLiteral("?");
    QHostAddress peer(reinterpret_cast<sockaddr*>(&addr));
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : peer.toString();
}

} // namespace

void Form1::StartListener()
{
    SetRunning();
    QCoreApplication::processEvents();
    AddLogText(BuildResourceMessage(144, {ListenPort->text()}));
    if (sock_->State(0) == SocketArray::Listening)
        return;
    bool ok = false;
    const int port = ListenPort->text().trimmed().toInt(&ok);
    if (!ok || port < 1 || port > 65535) {
        AddLogText(BuildResourceMessage(msg::InvalidListenPort, {ListenPort->text()}));
        SetStopped();
        return;
    }
    QString error;
    if (!sock_->Listen(quint16(port), &error)) {
        AddLogText(BuildResourceMessage(msg::ListenFailed, {port, error}));
        SetStopped();
    }
}

int Form1::AllocateSocket()
{
    const int bound = maxSocket_;
    for (int i = 1; i <= bound; ++i)
        if (sock_->State(i) == SocketArray::Closed)
            return i;
    if (maxSocket_ >= MaxSlots)
        return -1;
    ++maxSocket_;
    sock_->Load(maxSocket_);
    return maxSocket_;
}

void Form1::sock_ConnectionRequest(int index, qintptr requestId)
{
    if (index != 0)
        return;
    const int slot = AllocateSocket();
    if (slot < 0) {
        AddLogText(BuildResourceMessage(msg::SlotsExhausted, {PeerOfPending(requestId), MaxSlots}));
        SocketArray::Refuse(requestId);
        return;
    }
    ReceiveBuffer[size_t(slot)].clear();
    sock_->Accept(slot, requestId);
}

void Form1::sock_Close(int index)
{
    sock_->Close(index);
    // A request cut off by its client can never complete; its bytes need not wait for the next
    // connection on this slot to be dropped.
    if (index > 0 && index <= MaxSlots && sock_->State(index) != SocketArray::Reserved)
        ReceiveBuffer[size_t(index)] = QByteArray();
}

void Form1::sock_Error(int index, int /*number*/, const QString& description)
{
    AddLogText(BuildResourceMessage(138, {index, description}));
}

void Form1::Timer1_Timer()
{
    timer1_->stop();
    if (AutoStart->checkState() == Qt::Checked && SMTPRelayMode->isChecked())
        StartListener();
}

void Form1::sock_DataArrival(int index, qint64 bytesTotal)
{
    if (index <= 0 || index > MaxSlots)
        return;
    const QByteArray piece = sock_->GetData(index, bytesTotal);
    // A slot that is replying takes no further request: one request per connection.
    if (sock_->State(index) == SocketArray::Reserved)
        return;
    QByteArray& buffer = ReceiveBuffer[size_t(index)];
    if (buffer.size() + piece.size() > MaxRequestBytes) {
        AddLogText(BuildResourceMessage(msg::RequestTooLarge, {sock_->RemoteHostIP(index), MaxRequestBytes / (1024 * 1024)}));
        buffer = QByteArray();
        sock_->Close(index);
        return;
    }
    buffer += piece;
    if (!IsCompleteRequest(buffer))
        return;

    const QByteArray version = VersionField(buffer);
    TakeOffHeader(buffer);
    const QString peer = sock_->RemoteHostIP(index);
    AddLogText(BuildResourceMessage(139, {peer, StreamLengthText(CharacterCount(buffer))}));
    if (echoXML_) {
        AddLogText(QString::fromUtf8(buffer));
        SaveXML(buffer);
    }
    try {
        QString attachments;
        if (CDOMail->isChecked())
            DeliverXMLMailMsgViaCDO(*this, buffer, attachments);
        if (BTMail->isChecked())
            DeliverXMLMailMsgViaZorvix(*this, buffer);
    } catch (const DeliveryError& e) {
        AddLogText(BuildResourceMessage(msg::RequestFailed, {peer, e.text()}));
    } catch (const std::exception& e) {
        AddLogText(BuildResourceMessage(msg::RequestFailed, {peer, QString::fromUtf8(e.what())}));
    }

    sock_->SendData(index, BuildReply(version));
    // The slot stays reserved through the yield so that no new connection is accepted onto it.
    sock_->SetReserved(index, true);
    QCoreApplication::processEvents();
    sock_->SetReserved(index, false);
    sock_->Close(index);
    buffer = QByteArray();
    showCounters();
}

void Form1::SaveXML(const QByteArray& text)
{
    const QByteArray dir = QFile::encodeName(QDir::currentPath());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name = QStringLiteral("rad%1.tmp").arg(QRandomGenerator::global()->generate() & 0xFFFFF, 5, 16, QLatin1Char('0'));
        const QByteArray path = dir + '/' + QFile::encodeName(name);
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            AddLogText(BuildResourceMessage(msg::EchoFileFailed, {QString::fromLocal8Bit(std::strerror(errno))}));
            return;
        }
        bool ok = WriteFully(fd, text.constData(), text.size());
        const int savedErrno = errno;
        if (::close(fd) != 0)
            ok = false;
        if (!ok) {
            ::unlink(path.constData());
            AddLogText(BuildResourceMessage(msg::EchoFileFailed, {QString::fromLocal8Bit(std::strerror(savedErrno))}));
        }
        return;
    }
    AddLogText(BuildResourceMessage(msg::EchoFileFailed, {QDir::currentPath()}));
}

} // namespace swn
