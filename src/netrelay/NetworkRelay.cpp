#include "netrelay/NetworkRelay.h"

#include "common/Catalogue.h"
#include "delivery/Delivery.h"
#include "netrelay/SocketArray.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>

#include <algorithm>
#include <limits>

#include <sys/socket.h>
#include <unistd.h>

namespace swn {
namespace {

QHostAddress PeerOfPending(qintptr descriptor)
{
    sockaddr_storage addr {};
    socklen_t len = sizeof addr;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return {};
    return QHostAddress(reinterpret_cast<sockaddr*>(&addr));
}

// Shows IPv4 peers of the dual-stack listener in their familiar form.
QString PeerText(const QHostAddress& peer)
{
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : peer.isNull() ? QStringLiteral("?") : peer.toString();
}

qint64 NowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

struct DeliveryResult {
    DeliveryOutcome outcome = DeliveryOutcome::Delivered;
    QString error;
    DeliveryReport report; // who got it, and who still needs it
};

QString OutcomeReason(DeliveryOutcome outcome)
{
    return outcome == DeliveryOutcome::ServerUnavailable ? QStringLiteral("the mail server could not take it now")
                                                          : QStringLiteral("the mail server refused it for now");
}

DeliveryResult Deliver(DeliveryContext& context, Transport transport, const QByteArray& document,
                       const QStringList& onlyRecipients = {})
{
    DeliveryResult result;
    try {
        QString attachments;
        if (transport == Transport::CDO)
            result.outcome = DeliverXMLMailMsgViaCDO(context, document, attachments, &result.report, onlyRecipients);
        else if (transport == Transport::BTMail)
            result.outcome = DeliverXMLMailMsgViaZorvix(context, document);
    } catch (const DeliveryError& e) {
        result.outcome = DeliveryOutcome::FailedPermanently;
        result.error = e.text();
    } catch (const std::exception& e) {
        result.outcome = DeliveryOutcome::FailedPermanently;
        result.error = QString::fromUtf8(e.what());
    }
    return result;
}

} // namespace

NetworkRelay::NetworkRelay(RelayCore& core, QObject* parent) : QObject(parent), core_(core)
{
    sock_ = new SocketArray(this);
    sock_->setObjectName(QStringLiteral("sock"));
    connect(sock_, &SocketArray::ConnectionRequest, this, [this](int i, qintptr id) { OnConnectionRequest(i, id); });
    connect(sock_, &SocketArray::DataArrival, this, [this](int i, qint64 n) { OnDataArrival(i, n); });
    connect(sock_, &SocketArray::CloseEvent, this, [this](int i) { OnPeerClosed(i); });
    connect(sock_, &SocketArray::ErrorEvent, this, [this](int i, int n, const QString& d) { OnSocketError(i, n, d); });
    sweepTimer_.setInterval(250);
    connect(&sweepTimer_, &QTimer::timeout, this, [this] { sweep(); });
    spoolTimer_.setSingleShot(true);
    connect(&spoolTimer_, &QTimer::timeout, this, [this] { retryKept(); });
    core_.RegisterNetworkRelay(this);
}

NetworkRelay::~NetworkRelay()
{
    // Deliveries under way report back to this object: let them end first.
    core_.Shutdown();
    core_.RegisterNetworkRelay(nullptr);
}

quint16 NetworkRelay::ListeningPort() const { return sock_->ListeningPort(); }

void NetworkRelay::StartListener()
{
    core_.SetRunning();
    const QString portText = core_.Settings().ListenPort();
    core_.AddLogText(BuildResourceMessage(144, {portText}));
    if (sock_->State(0) == SocketArray::Listening)
        return;
    bool ok = false;
    const int port = portText.trimmed().toInt(&ok);
    if (!ok || port < 1 || port > 65535) {
        core_.AddLogText(BuildResourceMessage(msg::InvalidListenPort, {portText}));
        core_.SetStopped();
        return;
    }
    QStringList invalid;
    allowed_ = AllowedClients::parse(core_.Settings().Read(setting::AllowedClients), &invalid);
    for (const QString& entry : invalid)
        core_.AddLogText(BuildResourceMessage(msg::AllowedClientsEntryIgnored, {entry}));
    QString error;
    if (!sock_->Listen(quint16(port), &error)) {
        core_.AddLogText(BuildResourceMessage(msg::ListenFailed, {port, error}));
        core_.SetStopped();
        return;
    }
    if (allowed_.isOpen())
        core_.AddLogText(BuildResourceMessage(msg::OpenToAnyClient, {port}));
    sweepTimer_.start();
}

int NetworkRelay::AllocateSocket()
{
    const int bound = maxSocket_;
    for (int i = 1; i <= bound; ++i)
        if (sock_->State(i) == SocketArray::Closed && !slots_[size_t(i)].delivering)
            return i;
    if (maxSocket_ >= MaxSlots)
        return -1;
    ++maxSocket_;
    sock_->Load(maxSocket_);
    return maxSocket_;
}

void NetworkRelay::OnConnectionRequest(int index, qintptr requestId)
{
    if (index != 0)
        return;
    const QHostAddress peer = PeerOfPending(requestId);
    if (!allowed_.allows(peer)) {
        const QString text = PeerText(peer);
        if (refusedLog_.shouldLog(text, QDateTime::currentMSecsSinceEpoch()))
            core_.AddLogText(BuildResourceMessage(msg::ClientNotAllowed, {text}));
        SocketArray::Refuse(requestId);
        return;
    }
    const int slot = AllocateSocket();
    if (slot < 0) {
        core_.AddLogText(BuildResourceMessage(msg::SlotsExhausted, {PeerText(peer), MaxSlots}));
        SocketArray::Refuse(requestId);
        return;
    }
    clearSlot(slot);
    Slot& s = slots_[size_t(slot)];
    s.framer = std::make_unique<RequestFramer>(limits_.requestBytes);
    s.openedMs = s.lastByteMs = NowMs();
    sock_->Accept(slot, requestId);
}

void NetworkRelay::OnPeerClosed(int index)
{
    sock_->Close(index);
    // A request cut off by its client can never complete; its bytes go at once. A slot whose
    // document is being delivered keeps its state until the reply step.
    if (index > 0 && index <= MaxSlots && !slots_[size_t(index)].delivering)
        clearSlot(index);
}

void NetworkRelay::OnSocketError(int index, int /*number*/, const QString& description)
{
    core_.AddLogText(BuildResourceMessage(138, {index, description}));
}

void NetworkRelay::clearSlot(int index)
{
    Slot& s = slots_[size_t(index)];
    if (s.framer)
        bufferedTotal_ -= s.framer->bufferedBytes();
    s.framer.reset();
    s.received = 0;
}

void NetworkRelay::dropRequest(int index)
{
    clearSlot(index);
    sock_->Close(index);
}

bool NetworkRelay::makeRoom(int index, qint64 incoming)
{
    // All buffers together stay under the budget: the largest unfinished request goes first.
    while (bufferedTotal_ + incoming > limits_.totalBytes) {
        int largest = -1;
        qint64 largestBytes = -1;
        for (int i = 1; i <= maxSocket_; ++i) {
            const Slot& s = slots_[size_t(i)];
            if (s.framer && !s.delivering && s.framer->bufferedBytes() > largestBytes) {
                largest = i;
                largestBytes = s.framer->bufferedBytes();
            }
        }
        if (largest < 0)
            return false;
        core_.AddLogText(BuildResourceMessage(msg::RequestTooLarge,
                                              {sock_->RemoteHostIP(largest), limits_.requestBytes / (1024 * 1024)}));
        dropRequest(largest);
        if (largest == index)
            return false;
    }
    return true;
}

void NetworkRelay::OnDataArrival(int index, qint64 bytesTotal)
{
    if (index <= 0 || index > MaxSlots)
        return;
    const QByteArray piece = sock_->GetData(index, bytesTotal);
    Slot& s = slots_[size_t(index)];
    // One request per connection: what comes after it, or while it is delivered, is not read.
    if (s.delivering || !s.framer || s.framer->state() != RequestFramer::State::Incomplete)
        return;
    s.lastByteMs = NowMs();
    s.received += piece.size();
    if (!makeRoom(index, piece.size()))
        return;
    const qsizetype before = s.framer->bufferedBytes();
    const RequestFramer::State state = s.framer->feed(piece);
    bufferedTotal_ += s.framer->bufferedBytes() - before;
    if (s.framer->takeContinue())
        sock_->SendData(index, QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n"));
    if (state == RequestFramer::State::Complete)
        completeRequest(index);
    else if (state == RequestFramer::State::Refused)
        refuseRequest(index, s.framer->refusalStatus(), s.framer->refusalReason());
}

void NetworkRelay::refuseRequest(int index, int status, const QString& reason)
{
    Slot& s = slots_[size_t(index)];
    const QString peer = sock_->RemoteHostIP(index);
    if (status == 413)
        core_.AddLogText(BuildResourceMessage(msg::RequestTooLarge, {peer, limits_.requestBytes / (1024 * 1024)}));
    else
        core_.AddLogText(BuildResourceMessage(msg::RequestRefused, {peer, status, reason}));
    const QByteArray version = s.framer ? s.framer->versionField() : QByteArrayLiteral("HTTP/1.0");
    finishRequest(index, BuildErrorReply(version, status));
}

void NetworkRelay::completeRequest(int index)
{
    Slot& s = slots_[size_t(index)];
    const QString peer = sock_->RemoteHostIP(index);
    const QByteArray version = s.framer->versionField();
    if (s.framer->fromBrowser()) {
        // A web page can make a visitor's browser post here; nothing it sends is delivered.
        refuseRequest(index, 403, QStringLiteral("requests from web browsers are not accepted"));
        return;
    }
    const qsizetype held = s.framer->bufferedBytes();
    const QByteArray document = s.framer->takeDocument();
    bufferedTotal_ -= held;
    s.framer.reset();

    core_.AddLogText(BuildResourceMessage(139, {peer, StreamLengthText(CharacterCount(document))}));
    if (core_.EchoOn()) {
        core_.AddLogText(QString::fromUtf8(document));
        core_.SaveEchoFile(document);
    }
    deliverAndReply(index, document, peer, version);
}

struct NetworkRelay::Outcome {
    DeliveryResult delivery;
    bool attempted = false; // false: kept at once, the server being known to be down
    QString keptId;         // kept in the spool for a later attempt
    QString keepError;      // it should have been kept, and could not be
};

void NetworkRelay::deliverAndReply(int index, const QByteArray& document, const QString& peer,
                                   const QByteArray& version)
{
    const Transport transport = core_.Settings().TransportChoice();
    if (transport == Transport::None) {
        finishRequest(index, BuildReply(version));
        return;
    }
    // The slot stays taken until the reply step, so no new connection is accepted onto it.
    Slot& s = slots_[size_t(index)];
    s.delivering = true;
    sock_->SetReserved(index, true);
    // While the server is known to be away, waiting out its time-out again helps nobody.
    const bool attempt = !(spool_ && serverKnownDown());
    auto outcome = std::make_shared<Outcome>();
    std::shared_ptr<DeliveryContext> context = core_.NewDeliveryContext(true, true, true);
    std::shared_ptr<Spool> spool = spool_;
    core_.RunOnWorker(
        [context, transport, document, outcome, spool, attempt] {
            if (attempt) {
                outcome->attempted = true;
                outcome->delivery = Deliver(*context, transport, document);
            } else {
                outcome->delivery.outcome = DeliveryOutcome::ServerUnavailable;
            }
            // Kept on disk before the client hears that its mail was taken.
            const DeliveryOutcome o = outcome->delivery.outcome;
            QString error;
            if (IsTemporary(o)) {
                // Those who got it already must not get it again.
                const DeliveryReport& report = outcome->delivery.report;
                const QStringList still = report.delivered.isEmpty() ? QStringList() : report.pending;
                outcome->keptId = spool ? spool->store(document, &error, still) : QString();
                if (outcome->keptId.isEmpty())
                    outcome->keepError = spool ? error : QStringLiteral("no spool folder");
            } else if (o == DeliveryOutcome::FailedPermanently && spool) {
                // Nothing will send it, but the administrator can see what was lost.
                const QString reason = outcome->delivery.error.isEmpty()
                    ? QStringLiteral("the mail cannot be delivered") : outcome->delivery.error;
                spool->keepFailed(document, reason, &error);
            }
        },
        this,
        [this, index, peer, version, outcome, context] {
            core_.TakeDeliveryReport(*context);
            const DeliveryResult& result = outcome->delivery;
            if (!result.error.isEmpty())
                core_.AddLogText(BuildResourceMessage(msg::RequestFailed, {peer, result.error}));
            if (outcome->attempted && result.outcome == DeliveryOutcome::ServerUnavailable)
                serverDownUntilMs_ = NowMs() + spoolTiming_.firstRetryMs;
            else if (outcome->attempted)
                serverDownUntilMs_ = 0;
            QByteArray reply = BuildReply(version);
            if (!outcome->keptId.isEmpty()) {
                core_.AddLogText(BuildResourceMessage(msg::DocumentSpooled, {peer, OutcomeReason(result.outcome)}));
                kept_.insert(outcome->keptId, Kept{0, NowMs() + spoolTiming_.firstRetryMs});
                scheduleSpool();
            } else if (IsTemporary(result.outcome)) {
                // Neither delivered nor kept: the client must not be told that it was taken.
                core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable,
                                                      {spool_ ? spool_->dir() : QString(), outcome->keepError}));
                reply = BuildErrorReply(version, 503);
            }
            slots_[size_t(index)].delivering = false;
            sock_->SetReserved(index, false);
            finishRequest(index, reply);
        });
}

bool NetworkRelay::serverKnownDown() const { return serverDownUntilMs_ != 0 && NowMs() < serverDownUntilMs_; }

qint64 NetworkRelay::retryDelay(int attempts) const
{
    return std::min(spoolTiming_.longestRetryMs, spoolTiming_.firstRetryMs << std::min(attempts, 20));
}

void NetworkRelay::SetSpool(std::shared_ptr<Spool> spool)
{
    spool_ = std::move(spool);
    kept_.clear();
    if (!spool_)
        return;
    // What an earlier run kept is tried at once.
    for (const QString& id : spool_->ids())
        kept_.insert(id, Kept{0, 0});
    scheduleSpool();
}

void NetworkRelay::scheduleSpool()
{
    if (retrying_ || kept_.isEmpty() || core_.IsShuttingDown())
        return;
    qint64 due = std::numeric_limits<qint64>::max();
    for (const Kept& k : std::as_const(kept_))
        due = std::min(due, k.dueMs);
    spoolTimer_.start(int(std::clamp<qint64>(due - NowMs(), 0, 24 * 3600 * 1000)));
}

void NetworkRelay::retryKept()
{
    if (retrying_ || !spool_ || core_.IsShuttingDown())
        return;
    // The oldest document that is due goes first.
    QString id;
    const qint64 now = NowMs();
    for (auto it = kept_.cbegin(); it != kept_.cend(); ++it)
        if (it->dueMs <= now && (id.isEmpty() || it.key() < id))
            id = it.key();
    const Transport transport = core_.Settings().TransportChoice();
    if (id.isEmpty() || transport == Transport::None) {
        if (transport == Transport::None)
            for (Kept& k : kept_)
                k.dueMs = now + spoolTiming_.firstRetryMs;
        scheduleSpool();
        return;
    }
    retrying_ = true;
    struct Retried {
        DeliveryResult delivery;
        bool expired = false;
        bool gone = false;
    };
    auto retried = std::make_shared<Retried>();
    std::shared_ptr<DeliveryContext> context = core_.NewDeliveryContext(true, false, true);
    std::shared_ptr<Spool> spool = spool_;
    const qint64 keepMs = spoolTiming_.keepMs;
    core_.RunOnWorker(
        [id, context, transport, spool, retried, keepMs] {
            QString error;
            if (Spool::receivedAt(id).msecsTo(QDateTime::currentDateTimeUtc()) > keepMs) {
                retried->expired = spool->moveToFailed(id, QStringLiteral("not delivered in time"), &error);
                retried->gone = retried->expired;
                return;
            }
            const QByteArray document = spool->read(id, &error);
            if (document.isNull()) {
                retried->delivery.outcome = DeliveryOutcome::FailedPermanently;
                retried->delivery.error = error;
                retried->gone = !QFile::exists(spool->dir() + QLatin1Char('/') + id + QStringLiteral(".xml"));
                return;
            }
            retried->delivery = Deliver(*context, transport, document, spool->recipients(id));
            const DeliveryReport& report = retried->delivery.report;
            if (IsTemporary(retried->delivery.outcome) && !report.delivered.isEmpty())
                spool->setRecipients(id, report.pending, &error);
            if (retried->delivery.outcome == DeliveryOutcome::Delivered)
                retried->gone = spool->remove(id, &error);
            else if (retried->delivery.outcome == DeliveryOutcome::FailedPermanently)
                retried->gone = spool->moveToFailed(id, retried->delivery.error.isEmpty()
                                                            ? QStringLiteral("the mail cannot be delivered")
                                                            : retried->delivery.error, &error);
        },
        this,
        [this, id, retried, context] {
            core_.TakeDeliveryReport(*context);
            retrying_ = false;
            const DeliveryOutcome o = retried->delivery.outcome;
            if (retried->expired)
                core_.AddLogText(BuildResourceMessage(msg::SpooledExpired,
                                                      {id, spoolTiming_.keepMs / (24 * 3600 * 1000), spool_->failedDir()}));
            else if (!retried->delivery.error.isEmpty())
                core_.AddLogText(BuildResourceMessage(msg::RequestFailed, {id, retried->delivery.error}));
            if (retried->gone) {
                kept_.remove(id);
                if (o == DeliveryOutcome::Delivered && !retried->expired) {
                    core_.AddLogText(BuildResourceMessage(msg::SpooledDelivered, {id}));
                    // The server is back: whatever waited for it is due now.
                    serverDownUntilMs_ = 0;
                    for (Kept& k : kept_)
                        k.dueMs = std::min(k.dueMs, NowMs());
                }
            } else if (kept_.contains(id)) {
                Kept& k = kept_[id];
                k.dueMs = NowMs() + retryDelay(k.attempts);
                ++k.attempts;
                if (o == DeliveryOutcome::ServerUnavailable)
                    serverDownUntilMs_ = NowMs() + retryDelay(k.attempts - 1);
            }
            core_.ShowCounters();
            scheduleSpool();
        });
}

void NetworkRelay::finishRequest(int index, const QByteArray& reply)
{
    sock_->SendData(index, reply);
    sock_->Close(index);
    clearSlot(index);
    core_.ShowCounters();
}

void NetworkRelay::sweep()
{
    const qint64 now = NowMs();
    for (int i = 1; i <= maxSocket_; ++i) {
        Slot& s = slots_[size_t(i)];
        if (!s.framer || s.delivering || sock_->State(i) == SocketArray::Closed)
            continue;
        const qint64 quiet = now - s.lastByteMs;
        const qint64 age = now - s.openedMs;
        if (quiet >= limits_.quietMs && s.framer->state() == RequestFramer::State::Incomplete &&
            s.framer->quietSpell() == RequestFramer::State::Complete) {
            completeRequest(i);
            continue;
        }
        QString why;
        if (quiet >= limits_.idleMs)
            why = QStringLiteral("no data for %1 seconds").arg(quiet / 1000);
        else if (age >= limits_.requestMs && s.received * 1000 < limits_.steadyBytesPerSecond * age)
            why = QStringLiteral("the request was still incomplete after %1 seconds").arg(age / 1000);
        if (why.isEmpty())
            continue;
        core_.AddLogText(BuildResourceMessage(msg::ConnectionClosed, {sock_->RemoteHostIP(i), why}));
        dropRequest(i);
    }
}

} // namespace swn
