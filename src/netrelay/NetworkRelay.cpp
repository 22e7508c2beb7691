#include "netrelay/NetworkRelay.h"

#include "common/Catalogue.h"
#include "delivery/Delivery.h"
#include "netrelay/SocketArray.h"
#include "relay/Metrics.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>

#include <algorithm>
#include <limits>
#include <new>

namespace swn {
namespace {

// Shows IPv4 peers of the dual-stack listener in their familiar form.
QString PeerText(const QHostAddress& peer)
{
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : peer.isNull() ? QStringLiteral("?") : peer.toString();
}

qint64 NowMs()
{
    static QElapsedTimer clock; // monotonic: a step of the wall clock neither expires nor stalls anything
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

struct DeliveryResult {
    DeliveryOutcome outcome = DeliveryOutcome::Delivered;
    QString error;          // a failure before sending, for the log
    DeliveryReport report;  // who got it, and who still needs it
    double seconds = 0;
};

QString OutcomeReason(const DeliveryResult& result)
{
    if (!result.report.reason.isEmpty())
        return result.report.reason;
    if (!result.error.isEmpty())
        return result.error;
    return result.outcome == DeliveryOutcome::ServerUnavailable ? QStringLiteral("the mail server could not take it now")
                                                                : QStringLiteral("the mail server refused it for now");
}

QString FailureReason(const DeliveryResult& result)
{
    if (!result.error.isEmpty())
        return result.error;
    if (!result.report.reason.isEmpty())
        return result.report.reason;
    return QStringLiteral("the mail cannot be delivered");
}

// Neither transport selected: SMTP, as the post office does; no document is ever taken and dropped.
DeliveryResult Deliver(DeliveryContext& context, Transport transport, const QByteArray& document,
                       const QStringList& onlyRecipients = {})
{
    DeliveryResult result;
    QElapsedTimer timer;
    timer.start();
    try {
        QString attachments;
        if (transport == Transport::BTMail)
            result.outcome = DeliverXMLMailMsgViaZorvix(context, document, &result.report);
        else
            result.outcome = DeliverXMLMailMsgViaCDO(context, document, attachments, &result.report, onlyRecipients);
    } catch (const DeliveryError& e) {
        // The document's own faults can never be mended by trying again; the host's can.
        result.outcome = e.temporary() ? DeliveryOutcome::RetryLater : DeliveryOutcome::FailedPermanently;
        result.error = e.text();
    } catch (const std::bad_alloc&) {
        result.outcome = DeliveryOutcome::RetryLater;
        result.error = QStringLiteral("out of memory");
    } catch (const std::exception& e) {
        result.outcome = DeliveryOutcome::RetryLater;
        result.error = QString::fromUtf8(e.what());
    }
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    return result;
}

constexpr int kLivePriority = 1; // a client waits for these: they go before retries of kept mail

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
    const Transport transport = core_.Settings().TransportChoice();
    if (transport == Transport::None) {
        const QString stored = core_.Settings().Read(setting::TransportMode);
        if (stored != transportWarned_)
            core_.AddLogText(BuildResourceMessage(msg::UnknownTransport, {stored}), LogPriority::Warning);
        transportWarned_ = stored;
    }
    if (spool_ && !spoolOwned_) {
        // The relay that held it may have ended since: its kept documents are this one's now,
        // as the folder holds them now.
        QString holder, error;
        if (spool_->lock(&holder, &error)) {
            if (spool_->open(&error)) {
                SetSpool(spool_);
                Q_EMIT spoolTaken();
            } else {
                spool_->unlock();
                core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {spool_->dir(), error}), LogPriority::Error);
            }
        }
    }
    if (spool_ && !spoolOwned_) {
        // Two relays on one spool would each send every kept document.
        core_.AddLogText(BuildResourceMessage(msg::SpoolInUse, {spool_->dir(), spoolHolder_}), LogPriority::Error);
        closeListener();
        core_.SetStopped();
        return;
    }
    // A reload the listener cannot follow leaves it where it was: a mistyped setting must not take
    // a running relay off the network.
    const quint16 oldPort = sock_->State(0) == SocketArray::Listening ? sock_->ListeningPort() : 0;
    const QList<QHostAddress> oldAddresses = sock_->ListeningAddresses();
    const auto cannotListen = [&] {
        QString error;
        if (oldPort != 0 && (sock_->State(0) == SocketArray::Listening || sock_->Listen(oldPort, oldAddresses, &error))) {
            QStringList where;
            for (const QHostAddress& a : oldAddresses)
                where << (a == QHostAddress(QHostAddress::Any) ? QStringLiteral("every interface") : a.toString());
            core_.AddLogText(BuildResourceMessage(msg::ListeningOn, {where.join(QStringLiteral(", ")), oldPort}),
                             LogPriority::Warning);
            return;
        }
        closeListener();
        core_.SetStopped();
    };
    bool ok = false;
    const int port = portText.trimmed().toInt(&ok);
    if (!ok || port < 1 || port > 65535) {
        core_.AddLogText(BuildResourceMessage(msg::InvalidListenPort, {portText}), LogPriority::Error);
        cannotListen();
        return;
    }

    bool accessCut = false;
    const QString accessText = core_.Settings().Read(setting::AllowedClients, &accessCut);
    QStringList invalid;
    allowed_ = AllowedClients::parse(accessText, &invalid, accessCut);
    for (const QString& entry : invalid)
        core_.AddLogText(BuildResourceMessage(msg::AllowedClientsEntryIgnored, {entry}), LogPriority::Warning);
    if (!allowed_.isOpen() && allowed_.entryCount() == 0)
        core_.AddLogText(BuildResourceMessage(msg::AllowedClientsUnusable, {allowed_.describe()}), LogPriority::Error);

    bool addressCut = false;
    const QString addressText = core_.Settings().Read(setting::ListenAddress, &addressCut);
    QStringList badAddresses;
    const ListenAddresses addresses = ListenAddresses::parse(addressText, &badAddresses, addressCut);
    // An entry that is no address is left out; the listener opens on the rest, if any is left.
    for (const QString& entry : badAddresses)
        core_.AddLogText(BuildResourceMessage(msg::ListenAddressEntryIgnored, {entry}), LogPriority::Warning);
    if (!addresses.usable()) {
        core_.AddLogText(BuildResourceMessage(msg::ListenAddressUnusable, {addresses.describe()}), LogPriority::Error);
        cannotListen();
        return;
    }

    // Listening already on what the settings say: nothing to open again.
    const QList<QHostAddress> wanted =
        addresses.everyInterface() ? QList<QHostAddress>{QHostAddress(QHostAddress::Any)} : addresses.addresses();
    const bool same = sock_->State(0) == SocketArray::Listening && sock_->ListeningPort() == port &&
        sock_->ListeningAddresses() == wanted;
    if (!same) {
        // Only what changed closes or opens: a client of an address that stays is never refused.
        QString error;
        if (!sock_->ChangeListening(quint16(port), addresses.addresses(), &error)) {
            core_.AddLogText(BuildResourceMessage(msg::ListenFailed, {port, error}), LogPriority::Error);
            cannotListen();
            return;
        }
    }
    // Said once the listener is open, never before a failure.
    core_.AddLogText(BuildResourceMessage(144, {portText}));
    core_.AddLogText(BuildResourceMessage(msg::ListeningOn, {addresses.describe(), port}));
    if (allowed_.isOpen())
        core_.AddLogText(BuildResourceMessage(msg::OpenToAnyClient, {port}), LogPriority::Warning);
    sweepTimer_.start();
}

void NetworkRelay::closeListener()
{
    sock_->StopListening();
}

void NetworkRelay::Stopped()
{
    // Deliveries under way finish and are answered; no new connection is taken.
    closeListener();
}

void NetworkRelay::Reloaded(const QStringList& changedKeys)
{
    static const QStringList listenerKeys{QLatin1String(setting::ListenerPort.name),
                                          QLatin1String(setting::ListenAddress.name),
                                          QLatin1String(setting::AllowedClients.name)};
    const bool listenerChanged = std::any_of(changedKeys.cbegin(), changedKeys.cend(),
                                             [](const QString& k) { return listenerKeys.contains(k); });
    if (spool_) {
        bool ok = false;
        const qint64 mb = core_.Settings().Read(setting::FailedFolderLimitMB).trimmed().toLongLong(&ok);
        spool_->setFailedLimit(ok && mb > 0 ? mb * 1024 * 1024 : 0);
    }
    if (listenerChanged && core_.IsRunning() && core_.Settings().Mode() == RelayMode::Network && !shuttingDown_)
        StartListener();
    // A server that was away, or refused the relay's settings, may take mail now.
    static const QStringList smtpKeys{QLatin1String(setting::SMTPServer.name), QLatin1String(setting::SMTPSecurity.name),
                                      QLatin1String(setting::SMTPUser.name), QLatin1String(setting::SMTPPassword.name),
                                      QLatin1String(setting::SMTPCAFile.name), QLatin1String(setting::SMTPHeloName.name)};
    if (std::any_of(changedKeys.cbegin(), changedKeys.cend(), [](const QString& k) { return smtpKeys.contains(k); })) {
        serverDownUntilMs_ = 0;
        serverFailed_ = false;
        for (auto& [id, k] : kept_)
            if (!k.inFlight)
                setDue(id, std::min(k.dueMs, NowMs()));
        retryKept();
    }
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

int NetworkRelay::evictForFairness(const QString& peer)
{
    // When the slots run short, the address that holds the most gives one up (its connection
    // idle longest), unless the newcomer is that address: one client cannot keep out another.
    QString greediest;
    int most = 0;
    for (auto it = perPeer_.cbegin(); it != perPeer_.cend(); ++it)
        if (it.value() > most) {
            most = it.value();
            greediest = it.key();
        }
    if (greediest.isEmpty() || greediest == peer || perPeer_.value(peer) + 1 >= most)
        return -1;
    int victim = -1;
    qint64 oldest = std::numeric_limits<qint64>::max();
    for (int i = 1; i <= maxSocket_; ++i) {
        const Slot& s = slots_[size_t(i)];
        if (s.delivering || !s.framer || s.peer != greediest)
            continue;
        if (s.lastByteMs < oldest) {
            oldest = s.lastByteMs;
            victim = i;
        }
    }
    if (victim < 0)
        return -1;
    core_.AddLogText(BuildResourceMessage(msg::ConnectionClosed,
                                          {greediest, QStringLiteral("its slot went to another client")}),
                     LogPriority::Warning);
    finishRequest(victim, BuildErrorReply(slots_[size_t(victim)].framer->versionField(), 503,
                                          "Retry-After: " + QByteArray::number(limits_.retryAfterSeconds) + "\r\n"));
    return AllocateSocket();
}

void NetworkRelay::OnConnectionRequest(int index, qintptr requestId)
{
    if (index != 0)
        return;
    const QHostAddress address = SocketArray::PeerOf(requestId);
    const QString peer = PeerText(address);
    if (shuttingDown_) {
        SocketArray::RefuseWith(requestId, BuildErrorReply(QByteArrayLiteral("HTTP/1.1"), 503));
        return;
    }
    if (!allowed_.allows(address)) {
        qint64 count = 0;
        if (refusedLog_.shouldLog(peer, NowMs(), &count))
            core_.AddLogText(BuildResourceMessage(msg::ClientNotAllowed, {peer}), LogPriority::Warning);
        core_.Stats().ConnectionRefused(Metrics::Refusal::NotAllowed);
        SocketArray::Refuse(requestId);
        return;
    }
    int slot = AllocateSocket();
    if (slot < 0)
        slot = evictForFairness(peer);
    if (slot < 0) {
        qint64 count = 0;
        if (slotLog_.shouldLog(peer, NowMs(), &count))
            core_.AddLogText(BuildResourceMessage(msg::SlotRefused, {peer, count}), LogPriority::Warning);
        core_.Stats().ConnectionRefused(Metrics::Refusal::NoSlot);
        SocketArray::RefuseWith(requestId, BuildErrorReply(QByteArrayLiteral("HTTP/1.1"), 503,
                                                           "Retry-After: " + QByteArray::number(limits_.retryAfterSeconds) + "\r\n"));
        return;
    }
    clearSlot(slot);
    Slot& s = slots_[size_t(slot)];
    s.framer = std::make_unique<RequestFramer>(limits_.requestBytes);
    s.openedMs = s.lastByteMs = NowMs();
    s.peer = peer;
    ++perPeer_[peer];
    core_.Stats().ConnectionOpened();
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
    core_.AddLogText(BuildResourceMessage(138, {index, description}), LogPriority::Warning);
}

void NetworkRelay::clearSlot(int index)
{
    Slot& s = slots_[size_t(index)];
    if (s.framer)
        bufferedTotal_ -= s.framer->bufferedBytes();
    if (!s.peer.isEmpty()) {
        auto it = perPeer_.find(s.peer);
        if (it != perPeer_.end() && --it.value() <= 0)
            perPeer_.erase(it);
        core_.Stats().ConnectionClosed();
    }
    s.framer.reset();
    s.peer.clear();
    s.received = 0;
    s.paused = false;
    resumePaused();
}

void NetworkRelay::dropRequest(int index)
{
    clearSlot(index);
    sock_->Close(index);
}

int NetworkRelay::leader() const
{
    // The request that began first: when memory runs short it is the one that goes on.
    int first = -1;
    for (int i = 1; i <= maxSocket_; ++i) {
        const Slot& s = slots_[size_t(i)];
        if (s.framer && !s.delivering && s.framer->state() == RequestFramer::State::Incomplete &&
            (first < 0 || s.openedMs < slots_[size_t(first)].openedMs))
            first = i;
    }
    return first;
}

bool NetworkRelay::makeRoom(int index, qint64 incoming)
{
    const qint64 total = BufferedBytes();
    if (total + incoming <= limits_.totalBytes)
        return true;
    // Documents on their way to the server free their memory soon: the clients wait meanwhile,
    // their bytes with the kernel.
    if (queuedBytes_ > 0 || deliveriesInFlight_ > 0)
        return false;
    // Nothing would free memory by itself: the request that began first reads on alone, so
    // that documents keep completing; memory stays under the budget and one request.
    return index == leader() && total + incoming <= limits_.totalBytes + limits_.requestBytes;
}

void NetworkRelay::resumePaused()
{
    if (resuming_)
        return;
    resuming_ = true;
    // Oldest first: the order in which they would have read.
    QList<int> paused;
    for (int i = 1; i <= maxSocket_; ++i)
        if (slots_[size_t(i)].paused)
            paused << i;
    std::sort(paused.begin(), paused.end(),
              [this](int a, int b) { return slots_[size_t(a)].openedMs < slots_[size_t(b)].openedMs; });
    for (const int i : paused) {
        Slot& s = slots_[size_t(i)];
        if (!s.paused)
            continue;
        s.paused = false;
        const qint64 waiting = sock_->BytesAvailable(i);
        if (waiting > 0)
            readSlot(i, waiting);
    }
    resuming_ = false;
}

void NetworkRelay::OnDataArrival(int index, qint64 bytesTotal)
{
    if (index <= 0 || index > MaxSlots)
        return;
    Slot& s = slots_[size_t(index)];
    if (s.paused)
        return; // read when memory frees
    readSlot(index, bytesTotal);
}

void NetworkRelay::readSlot(int index, qint64 bytesTotal)
{
    Slot& s = slots_[size_t(index)];
    // One request per connection: what comes after it, or while it is delivered, is not read.
    if (s.delivering || !s.framer || s.framer->state() != RequestFramer::State::Incomplete) {
        sock_->GetData(index, bytesTotal);
        return;
    }
    if (!makeRoom(index, bytesTotal)) {
        if (slots_[size_t(index)].framer)
            s.paused = true; // its bytes stay with the socket, whose buffer is bounded
        return;
    }
    const QByteArray piece = sock_->GetData(index, bytesTotal);
    s.lastByteMs = NowMs();
    s.received += piece.size();
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
    if (status == 413) {
        core_.AddLogText(BuildResourceMessage(msg::RequestTooLarge, {peer, limits_.requestBytes / (1024 * 1024)}),
                         LogPriority::Warning);
        core_.Stats().ConnectionRefused(Metrics::Refusal::TooLarge);
    } else {
        core_.AddLogText(BuildResourceMessage(msg::RequestRefused, {peer, status, reason}), LogPriority::Warning);
        core_.Stats().ConnectionRefused(status == 403 ? Metrics::Refusal::Browser : Metrics::Refusal::BadRequest);
    }
    const QByteArray version = s.framer ? s.framer->versionField() : QByteArrayLiteral("HTTP/1.0");
    finishRequest(index, BuildErrorReply(version, status, status == 405 ? QByteArrayLiteral("Allow: POST\r\n") : QByteArray()));
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
    bool attempted = false; // false: kept at once (server known away, or the relay is stopping)
    QString keptId;         // kept in the spool for a later attempt
    QString keepError;      // it should have been kept, and could not be
    QString failError;      // it failed for good, and its copy for failed/ could not be written
};

void NetworkRelay::deliverAndReply(int index, const QByteArray& document, const QString& peer,
                                   const QByteArray& version)
{
    const Transport transport = core_.Settings().TransportChoice();
    // The slot stays taken until the reply step, so no new connection is accepted onto it.
    Slot& s = slots_[size_t(index)];
    s.delivering = true;
    sock_->SetReserved(index, true);
    core_.Stats().Add(Metrics::Counter::DocumentsAccepted);
    // While the server is known to be away, waiting out its time-out again helps nobody.
    const bool serverAway = spool_ && spoolOwned_ && serverKnownDown();
    const QString awayReason = QStringLiteral("not tried while the mail server is away (%1)").arg(lastServerFailure_);
    auto outcome = std::make_shared<Outcome>();
    std::shared_ptr<DeliveryContext> context = core_.NewDeliveryContext(true, true, true);
    std::shared_ptr<Spool> spool = spoolOwned_ ? spool_ : nullptr;
    const qint64 bytes = document.size();
    queuedBytes_ += bytes;
    ++deliveriesInFlight_;
    RelayCore* core = &core_;
    core_.RunOnWorker(
        [context, transport, document, outcome, spool, serverAway, awayReason, core] {
            // A relay that is stopping keeps what it has not begun, and answers at once.
            if (!serverAway && !core->IsShuttingDown()) {
                outcome->attempted = true;
                outcome->delivery = Deliver(*context, transport, document);
            } else {
                outcome->delivery.outcome = DeliveryOutcome::ServerUnavailable;
                outcome->delivery.report.reason = serverAway ? awayReason : QStringLiteral("not tried: the relay was stopping");
            }
            // Kept on disk before the client hears that its mail was taken.
            const DeliveryOutcome o = outcome->delivery.outcome;
            QString error;
            if (IsTemporary(o)) {
                // Those who got it already must not get it again.
                const DeliveryReport& report = outcome->delivery.report;
                const QStringList still = report.delivered.isEmpty() ? QStringList() : report.pending;
                outcome->keptId = spool ? spool->store(document, &error, still, OutcomeReason(outcome->delivery))
                                        : QString();
                if (outcome->keptId.isEmpty())
                    outcome->keepError = spool ? error : QStringLiteral("no spool folder");
            } else if (o == DeliveryOutcome::FailedPermanently && spool) {
                // Nothing will send it, but the administrator can see what was lost.
                if (spool->keepFailed(document, FailureReason(outcome->delivery), &error).isEmpty())
                    outcome->failError = error;
            }
        },
        this,
        [this, index, peer, version, outcome, context, bytes] {
            core_.TakeDeliveryReport(*context);
            queuedBytes_ -= bytes;
            --deliveriesInFlight_;
            const DeliveryResult& result = outcome->delivery;
            Metrics& metrics = core_.Stats();
            if (outcome->attempted)
                metrics.ObserveDelivery(result.seconds);
            metrics.Add(Metrics::Counter::RecipientsRefused, result.report.refused.size());
            if (!result.error.isEmpty())
                core_.AddLogText(BuildResourceMessage(msg::RequestFailed, {peer, result.error}),
                                 IsTemporary(result.outcome) ? LogPriority::Warning : LogPriority::Error);
            // A fault of this host says nothing about the server.
            if (outcome->attempted && (result.outcome != DeliveryOutcome::RetryLater || result.error.isEmpty()))
                serverAnswered(result.outcome == DeliveryOutcome::ServerUnavailable, OutcomeReason(result));
            QByteArray reply = BuildReply(version);
            if (!outcome->keptId.isEmpty()) {
                metrics.Add(Metrics::Counter::DocumentsKept);
                core_.AddLogText(BuildResourceMessage(msg::DocumentSpooled, {peer, OutcomeReason(result)}),
                                 LogPriority::Warning);
                keep(outcome->keptId, NowMs() + spoolTiming_.firstRetryMs);
                Kept& k = kept_[outcome->keptId];
                k.lastReason = OutcomeReason(result);
                if (!result.report.delivered.isEmpty()) {
                    k.pending = result.report.pending;
                    k.pendingKnown = true;
                }
                scheduleSpool();
            } else if (IsTemporary(result.outcome)) {
                // Neither delivered nor kept: the client must not be told that it was taken.
                core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable,
                                                      {spool_ ? spool_->dir() : QString(), outcome->keepError}),
                                 LogPriority::Error);
                reply = BuildErrorReply(version, 503);
            } else if (result.outcome == DeliveryOutcome::Delivered) {
                metrics.Add(Metrics::Counter::DocumentsDelivered);
            } else {
                metrics.Add(Metrics::Counter::DocumentsFailed);
                if (!outcome->failError.isEmpty())
                    core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {spool_->dir(), outcome->failError}),
                                     LogPriority::Error);
            }
            logEvicted();
            slots_[size_t(index)].delivering = false;
            sock_->SetReserved(index, false);
            finishRequest(index, reply);
            resumePaused();
            checkIdle();
        },
        kLivePriority);
}

bool NetworkRelay::serverKnownDown() const { return serverDownUntilMs_ != 0 && NowMs() < serverDownUntilMs_; }

void NetworkRelay::serverAnswered(bool unavailable, const QString& reason)
{
    if (unavailable) {
        lastServerFailure_ = reason;
        serverDownUntilMs_ = NowMs() + spoolTiming_.probeMs;
        if (!std::exchange(serverFailed_, true))
            nextProbeMs_ = NowMs() + spoolTiming_.probeMs;
        return;
    }
    serverDownUntilMs_ = 0;
    if (!std::exchange(serverFailed_, false))
        return;
    // The server is back: whatever waited for it is due now, in the order it came.
    int woken = 0;
    const qint64 now = NowMs();
    for (auto& [id, k] : kept_)
        if (!k.inFlight && !k.delivered && k.dueMs > now) {
            setDue(id, now);
            ++woken;
        }
    if (woken > 0)
        core_.AddLogText(BuildResourceMessage(msg::ServerBack, {QStringLiteral("%1 kept documents are due now").arg(woken)}));
    scheduleSpool();
}

qint64 NetworkRelay::retryDelay(int attempts) const
{
    return std::min(spoolTiming_.longestRetryMs, spoolTiming_.firstRetryMs << std::clamp(attempts, 0, 20));
}

void NetworkRelay::keep(const QString& id, qint64 dueMs)
{
    Kept k;
    k.dueMs = dueMs;
    k.sightMs = NowMs();
    k.ageAtSightMs = std::max<qint64>(0, Spool::receivedAt(id).msecsTo(QDateTime::currentDateTimeUtc()));
    kept_[id] = k;
    due_.insert({dueMs, id});
}

void NetworkRelay::setDue(const QString& id, qint64 dueMs)
{
    auto it = kept_.find(id);
    if (it == kept_.end())
        return;
    Kept& k = it->second;
    if (!k.inFlight)
        due_.erase({k.dueMs, id});
    k.dueMs = dueMs;
    if (!k.inFlight)
        due_.insert({dueMs, id});
}

void NetworkRelay::SetSpool(std::shared_ptr<Spool> spool)
{
    spool_ = std::move(spool);
    kept_.clear();
    due_.clear();
    spoolOwned_ = false;
    spoolHolder_.clear();
    if (!spool_)
        return;
    QString error;
    spoolOwned_ = spool_->lock(&spoolHolder_, &error);
    if (!spoolOwned_) {
        if (spoolHolder_.isEmpty())
            spoolHolder_ = error;
        return;
    }
    bool ok = false;
    const qint64 mb = core_.Settings().Read(setting::FailedFolderLimitMB).trimmed().toLongLong(&ok);
    spool_->setFailedLimit(ok && mb > 0 ? mb * 1024 * 1024 : 0);
    // What an earlier run kept is tried at once, oldest first; a relay that was down for days
    // tries everything once before anything expires.
    const qint64 now = NowMs();
    for (const QString& id : spool_->ids()) {
        keep(id, now);
        if (spool_->isMarkedDelivered(id))
            kept_[id].delivered = true;
    }
    scheduleSpool();
}

void NetworkRelay::scheduleSpool()
{
    if (kept_.empty() || shuttingDown_ || !spoolOwned_)
        return;
    qint64 next = due_.empty() ? std::numeric_limits<qint64>::max() : due_.begin()->first;
    if (serverFailed_)
        next = std::min(next, nextProbeMs_);
    if (next == std::numeric_limits<qint64>::max())
        return;
    const qint64 wait = std::clamp<qint64>(next - NowMs(), 0, 24 * 3600 * 1000);
    if (!spoolTimer_.isActive() || spoolTimer_.remainingTime() > wait)
        spoolTimer_.start(int(wait));
}

void NetworkRelay::retryKept()
{
    if (!spool_ || !spoolOwned_ || shuttingDown_ || core_.IsShuttingDown())
        return;
    const qint64 now = NowMs();
    if (serverFailed_) {
        // While the server is away, one kept document at a time finds out when it is back: the
        // one due first, or at least every probe interval the oldest, whatever its back-off says.
        if (retriesInFlight_ > 0)
            return;
        QString id;
        if (!due_.empty() && due_.begin()->first <= now) {
            id = due_.begin()->second;
        } else if (now >= nextProbeMs_) {
            for (const auto& [candidate, k] : kept_)
                if (!k.inFlight && !k.delivered) {
                    id = candidate;
                    break;
                }
        }
        if (!id.isEmpty()) {
            nextProbeMs_ = now + spoolTiming_.probeMs;
            due_.erase({kept_[id].dueMs, id});
            retryOne(id);
            return;
        }
        // Nothing to probe with now (only removals left): look again an interval later.
        if (now >= nextProbeMs_)
            nextProbeMs_ = now + spoolTiming_.probeMs;
        scheduleSpool();
        return;
    }
    // Every worker may carry a retry, and as many wait their turn so that none idles between
    // two; live documents go before them in the workers' queue.
    const int most = 2 * std::max(1, core_.DeliveryThreads());
    while (!due_.empty() && retriesInFlight_ < most) {
        const auto [dueMs, id] = *due_.begin();
        if (dueMs > now)
            break;
        due_.erase(due_.begin());
        retryOne(id);
        if (serverFailed_)
            break;
    }
    // With every place taken, the end of a retry calls again; a timer would only spin.
    if (retriesInFlight_ < most)
        scheduleSpool();
}

void NetworkRelay::retryOne(const QString& id)
{
    Kept& k = kept_[id];
    k.inFlight = true;
    ++retriesInFlight_;
    struct Retried {
        DeliveryResult delivery;
        bool removalOnly = false;
        bool gone = false;          // no longer in the spool
        bool expired = false;
        bool markedOnDisk = false;
        bool vanished = false;      // removed by someone else meanwhile: neither sent nor failed
        QString removeError;
        QString failError;
        QString recipientsError;    // the recipients still waiting could not be kept
    };
    auto retried = std::make_shared<Retried>();
    retried->removalOnly = k.delivered;
    // Who still waits, as this run knows it; the file beside the document otherwise.
    const std::optional<QStringList> known = k.pendingKnown ? std::optional<QStringList>(k.pending) : std::nullopt;
    std::shared_ptr<DeliveryContext> context = core_.NewDeliveryContext(true, false, true);
    std::shared_ptr<Spool> spool = spool_;
    const Transport transport = core_.Settings().TransportChoice();
    const bool old = k.ageAtSightMs + (NowMs() - k.sightMs) > spoolTiming_.keepMs;
    const QString keepDays = QString::number(spoolTiming_.keepMs / (24 * 3600 * 1000));
    core_.RunOnWorker(
        [id, context, transport, spool, retried, old, keepDays, known] {
            QString error;
            if (!retried->removalOnly) {
                const QByteArray document = spool->read(id, &error);
                if (document.isNull()) {
                    retried->vanished = !QFile::exists(spool->dir() + QLatin1Char('/') + id + QStringLiteral(".xml"));
                    retried->gone = retried->vanished;
                    retried->delivery.outcome = DeliveryOutcome::RetryLater;
                    retried->delivery.error = retried->vanished ? QString() : error;
                    return;
                }
                bool readable = true;
                const QStringList only = known ? *known : spool->recipients(id, &readable);
                if (!readable) {
                    // Sending to all would reach those who have the mail already.
                    retried->delivery.outcome = DeliveryOutcome::RetryLater;
                    retried->delivery.error = QStringLiteral("the recipients still waiting for it cannot be read");
                    return;
                }
                retried->delivery = Deliver(*context, transport, document, only);
                const DeliveryReport& report = retried->delivery.report;
                if (IsTemporary(retried->delivery.outcome) && !report.delivered.isEmpty() &&
                    !spool->setRecipients(id, report.pending, &error))
                    retried->recipientsError = error;
                if (retried->delivery.outcome == DeliveryOutcome::FailedPermanently) {
                    retried->gone = spool->moveToFailed(id, FailureReason(retried->delivery), &retried->failError);
                    return;
                }
                if (IsTemporary(retried->delivery.outcome)) {
                    // Older than its keep, and tried once more just now: it goes to failed/.
                    if (old) {
                        retried->expired = spool->moveToFailed(
                            id, QStringLiteral("not delivered in %1 days: %2").arg(keepDays, OutcomeReason(retried->delivery)),
                            &retried->failError);
                        retried->gone = retried->expired;
                    }
                    return;
                }
            }
            // Delivered (now or before): the document goes; if it cannot, what went is remembered.
            bool gone = false;
            if (spool->remove(id, &retried->removeError, &gone, false) || gone) {
                retried->gone = true;
                return;
            }
            retried->markedOnDisk = spool->markDelivered(id, nullptr);
        },
        this,
        [this, id, retried, context] {
            core_.TakeDeliveryReport(*context);
            --retriesInFlight_;
            auto it = kept_.find(id);
            if (it == kept_.end()) { // deleted by the administrator meanwhile
                flushRemovalsIfDue(false);
                retryKept();
                checkIdle();
                return;
            }
            Kept& k = it->second;
            k.inFlight = false;
            const DeliveryResult& result = retried->delivery;
            Metrics& metrics = core_.Stats();
            if (retried->vanished) {
                kept_.erase(it);
                flushRemovalsIfDue(false);
                retryKept();
                checkIdle();
                return;
            }
            // Those who got it now are not sent it again, whatever became of the file.
            if (IsTemporary(result.outcome) && !result.report.delivered.isEmpty()) {
                k.pending = result.report.pending;
                k.pendingKnown = true;
            }
            if (!retried->recipientsError.isEmpty())
                core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {spool_->dir(), retried->recipientsError}),
                                 LogPriority::Error);
            if (!retried->removalOnly) {
                ++k.attempts;
                metrics.ObserveDelivery(result.seconds);
                metrics.Add(Metrics::Counter::RecipientsRefused, result.report.refused.size());
                if (!result.error.isEmpty())
                    core_.AddLogText(BuildResourceMessage(msg::RequestFailed, {id, result.error}),
                                     IsTemporary(result.outcome) ? LogPriority::Warning : LogPriority::Error);
                if (result.outcome != DeliveryOutcome::RetryLater || result.error.isEmpty())
                    serverAnswered(result.outcome == DeliveryOutcome::ServerUnavailable, OutcomeReason(result));
            }
            if (retried->gone) {
                kept_.erase(it);
                if (retried->expired) {
                    metrics.Add(Metrics::Counter::DocumentsFailed);
                    core_.AddLogText(BuildResourceMessage(msg::SpooledExpired,
                                                          {id, spoolTiming_.keepMs / (24 * 3600 * 1000), spool_->failedDir()}),
                                     LogPriority::Error);
                } else if (result.outcome == DeliveryOutcome::FailedPermanently) {
                    metrics.Add(Metrics::Counter::DocumentsFailed);
                } else if (!retried->removalOnly) {
                    metrics.Add(Metrics::Counter::DocumentsDelivered);
                    core_.AddLogText(BuildResourceMessage(msg::SpooledDelivered, {id}));
                }
            } else if (result.outcome == DeliveryOutcome::Delivered) {
                // Sent, but still in the spool: never sent again, only its removal is retried.
                k.delivered = true;
                if (!retried->removalOnly)
                    metrics.Add(Metrics::Counter::DocumentsDelivered);
                if (!k.removalLogged) {
                    k.removalLogged = true;
                    QString reason = retried->removeError;
                    if (!retried->markedOnDisk)
                        reason += QStringLiteral(" (remembered for this run only)");
                    core_.AddLogText(BuildResourceMessage(msg::KeptNotRemoved, {id, reason}), LogPriority::Error);
                }
                k.dueMs = NowMs() + spoolTiming_.longestRetryMs;
                due_.insert({k.dueMs, id});
            } else {
                if (!retried->failError.isEmpty())
                    core_.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {spool_->dir(), retried->failError}),
                                     LogPriority::Error);
                k.lastReason = OutcomeReason(result);
                k.dueMs = NowMs() + retryDelay(k.attempts - 1);
                due_.insert({k.dueMs, id});
                spool_->noteAttempt(id, k.attempts, QDateTime::currentDateTimeUtc().addMSecs(k.dueMs - NowMs()),
                                    k.lastReason);
            }
            logEvicted();
            core_.ShowCounters();
            flushRemovalsIfDue(retried->gone);
            retryKept();
            checkIdle();
        });
}

void NetworkRelay::flushRemovalsIfDue(bool removed)
{
    // The removals of a draining backlog share one flush of the folder, made at the latest when
    // the last retry under way has ended, whatever became of it.
    if (removed)
        ++removalsSinceFlush_;
    if (removalsSinceFlush_ == 0 || (removalsSinceFlush_ < 64 && retriesInFlight_ > 0))
        return;
    removalsSinceFlush_ = 0;
    std::shared_ptr<Spool> spool = spool_;
    core_.StartOnWorker([spool] { spool->flushRemovals(); });
}

void NetworkRelay::logEvicted()
{
    if (!spool_)
        return;
    const QStringList evicted = spool_->takeEvicted();
    if (evicted.isEmpty())
        return;
    const QString limit = core_.Settings().Read(setting::FailedFolderLimitMB).trimmed();
    for (const QString& id : evicted)
        core_.AddLogText(BuildResourceMessage(msg::FailedEvicted, {id, spool_->failedDir(), limit}), LogPriority::Warning);
}

QString NetworkRelay::FlushKept()
{
    const qint64 now = NowMs();
    int n = 0;
    // Asked for everything now: not one probe at a time; a failure brings that back.
    serverDownUntilMs_ = 0;
    serverFailed_ = false;
    for (auto& [id, k] : kept_)
        if (!k.inFlight) {
            setDue(id, now);
            ++n;
        }
    retryKept();
    const QString text = QStringLiteral("%1 kept documents are tried now").arg(n);
    core_.AddLogText(BuildResourceMessage(msg::KeptDocumentSteered, {QStringLiteral("*"), text}));
    return text;
}

bool NetworkRelay::DeleteKept(const QString& id, QString* reply)
{
    if (!spool_) {
        *reply = QStringLiteral("this relay has no spool");
        return false;
    }
    auto it = kept_.find(id);
    if (it != kept_.end()) {
        if (it->second.inFlight) {
            *reply = QStringLiteral("%1 is being delivered right now; try again in a moment").arg(id);
            return false;
        }
        QString error;
        bool gone = false;
        if (!spool_->remove(id, &error, &gone) && !gone) {
            *reply = error;
            return false;
        }
        due_.erase({it->second.dueMs, id});
        kept_.erase(it);
        *reply = QStringLiteral("%1 deleted").arg(id);
    } else if (spool_->failedIds().contains(id)) {
        QString error;
        if (!spool_->removeFailed(id, &error)) {
            *reply = error;
            return false;
        }
        *reply = QStringLiteral("failed %1 deleted").arg(id);
    } else {
        *reply = QStringLiteral("no kept or failed document %1 in %2").arg(id, spool_->dir());
        return false;
    }
    core_.AddLogText(BuildResourceMessage(msg::KeptDocumentSteered, {id, *reply}));
    return true;
}

bool NetworkRelay::RequeueFailed(const QString& id, QString* reply)
{
    if (!spool_) {
        *reply = QStringLiteral("this relay has no spool");
        return false;
    }
    QString error;
    if (!spool_->requeue(id, &error)) {
        *reply = error;
        return false;
    }
    keep(id, NowMs());
    *reply = QStringLiteral("%1 is back in the queue and tried now").arg(id);
    core_.AddLogText(BuildResourceMessage(msg::KeptDocumentSteered, {id, *reply}));
    retryKept();
    return true;
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
    resumePaused();
    const qint64 now = NowMs();
    for (int i = 1; i <= maxSocket_; ++i) {
        Slot& s = slots_[size_t(i)];
        if (!s.framer || s.delivering || sock_->State(i) == SocketArray::Closed)
            continue;
        const qint64 quiet = now - s.lastByteMs;
        const qint64 age = now - s.openedMs;
        if (quiet >= limits_.quietMs && !s.paused && s.framer->state() == RequestFramer::State::Incomplete &&
            s.framer->quietSpell() == RequestFramer::State::Complete) {
            completeRequest(i);
            continue;
        }
        // A client we stopped reading is not idle: it waits for us.
        if (s.paused)
            continue;
        QString why;
        if (quiet >= limits_.idleMs)
            why = QStringLiteral("no data for %1 seconds").arg(quiet / 1000);
        else if (age >= limits_.requestMs && s.received * 1000 < limits_.steadyBytesPerSecond * age)
            why = QStringLiteral("the request was still incomplete after %1 seconds").arg(age / 1000);
        if (why.isEmpty())
            continue;
        core_.AddLogText(BuildResourceMessage(msg::ConnectionClosed, {sock_->RemoteHostIP(i), why}), LogPriority::Warning);
        core_.Stats().ConnectionRefused(Metrics::Refusal::Timeout);
        dropRequest(i);
    }
    flushRefusals(false);
}

void NetworkRelay::flushRefusals(bool all)
{
    // Refusals held back within their minute are told with their count once it is over.
    const qint64 now = NowMs();
    for (const auto& [peer, count] : slotLog_.takeDue(now, all))
        core_.AddLogText(BuildResourceMessage(msg::SlotRefused, {peer, count}), LogPriority::Warning);
    for (const auto& [peer, count] : refusedLog_.takeDue(now, all))
        core_.AddLogText(BuildResourceMessage(msg::ClientNotAllowed, {peer}) + QStringLiteral(" (%1)").arg(count),
                         LogPriority::Warning);
    // Addresses beyond the throttles' tables are told together.
    const QString others = QStringLiteral("other addresses");
    if (const qint64 n = slotLog_.takeSuppressed(now, all))
        core_.AddLogText(BuildResourceMessage(msg::SlotRefused, {others, n}), LogPriority::Warning);
    if (const qint64 n = refusedLog_.takeSuppressed(now, all))
        core_.AddLogText(BuildResourceMessage(msg::ClientNotAllowed, {others}) + QStringLiteral(" (%1)").arg(n),
                         LogPriority::Warning);
}

void NetworkRelay::BeginShutdown()
{
    shuttingDown_ = true;
    closeListener();
    spoolTimer_.stop();
    flushRefusals(true);
    // Requests still arriving are not answered: their clients never finished sending them.
    for (int i = 1; i <= maxSocket_; ++i)
        if (slots_[size_t(i)].framer && !slots_[size_t(i)].delivering)
            dropRequest(i);
    checkIdle();
}

int NetworkRelay::WorkUnderWay() const { return deliveriesInFlight_ + retriesInFlight_; }

void NetworkRelay::checkIdle()
{
    if (shuttingDown_ && WorkUnderWay() == 0)
        core_.WorkFinished();
}

} // namespace swn
