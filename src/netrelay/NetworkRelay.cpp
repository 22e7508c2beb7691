#include "netrelay/NetworkRelay.h"

#include "common/Catalogue.h"
#include "netrelay/SocketArray.h"
#include "relay/Metrics.h"

#include <QElapsedTimer>
#include <QHostAddress>

#include <algorithm>
#include <limits>

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

} // namespace

NetworkRelay::NetworkRelay(RelayCore& core, QObject* parent) : QObject(parent), core_(core), queue_(core)
{
    sock_ = new SocketArray(this);
    sock_->setObjectName(QStringLiteral("sock"));
    connect(sock_, &SocketArray::ConnectionRequest, this, [this](int i, qintptr id) { OnConnectionRequest(i, id); });
    connect(sock_, &SocketArray::DataArrival, this, [this](int i, qint64 n) { OnDataArrival(i, n); });
    connect(sock_, &SocketArray::CloseEvent, this, [this](int i) { OnPeerClosed(i); });
    connect(sock_, &SocketArray::ErrorEvent, this, [this](int i, int n, const QString& d) { OnSocketError(i, n, d); });
    sweepTimer_.setInterval(250);
    connect(&sweepTimer_, &QTimer::timeout, this, [this] { sweep(); });
    connect(&queue_, &RetryQueue::retryEnded, this, [this] { checkIdle(); });
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
    const QString portText = core_.Settings().ListenerPort();
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
    core_.AddLogText(BuildResourceMessage(msg::ListeningOnPort, {portText}));
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
    queue_.Reloaded(changedKeys);
    if (listenerChanged && core_.IsRunning() && core_.Settings().Mode() == RelayMode::Network && !shuttingDown_)
        StartListener();
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
    // A slot whose document is being delivered keeps its state, and its connection, until the
    // reply step: a client that shut only its sending side still reads the reply.
    if (index > 0 && index <= MaxSlots && slots_[size_t(index)].delivering)
        return;
    // A request cut off by its client can never complete; its bytes go at once.
    sock_->Close(index);
    if (index > 0 && index <= MaxSlots)
        clearSlot(index);
}

void NetworkRelay::OnSocketError(int index, int /*number*/, const QString& description)
{
    core_.AddLogText(BuildResourceMessage(msg::SocketError, {index, description}), LogPriority::Warning);
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

    core_.AddLogText(BuildResourceMessage(msg::DocumentReceived, {peer, StreamLengthText(CharacterCount(document))}));
    if (core_.EchoOn()) {
        core_.AddLogText(QString::fromUtf8(document));
        core_.SaveEchoFile(document);
    }
    deliverAndReply(index, document, peer, version);
}

void NetworkRelay::deliverAndReply(int index, const QByteArray& document, const QString& peer,
                                   const QByteArray& version)
{
    // The slot stays taken until the reply step, so no new connection is accepted onto it.
    Slot& s = slots_[size_t(index)];
    s.delivering = true;
    sock_->SetReserved(index, true);
    core_.Stats().Add(Metrics::Counter::DocumentsAccepted);
    const qint64 bytes = document.size();
    queuedBytes_ += bytes;
    ++deliveriesInFlight_;
    queue_.Submit(document, peer, [this, index, version, bytes](bool taken) {
        queuedBytes_ -= bytes;
        --deliveriesInFlight_;
        // Neither delivered nor kept: the client must not be told that it was taken.
        const QByteArray reply = taken ? BuildReply(version) : BuildErrorReply(version, 503);
        slots_[size_t(index)].delivering = false;
        sock_->SetReserved(index, false);
        finishRequest(index, reply);
        resumePaused();
        checkIdle();
    });
}

void NetworkRelay::SetSpool(std::shared_ptr<Spool> spool)
{
    spool_ = std::move(spool);
    spoolOwned_ = false;
    spoolHolder_.clear();
    if (spool_) {
        QString error;
        spoolOwned_ = spool_->lock(&spoolHolder_, &error);
        if (!spoolOwned_ && spoolHolder_.isEmpty())
            spoolHolder_ = error;
    }
    // Only the relay that holds the lock works the spool.
    queue_.SetSpool(spoolOwned_ ? spool_ : nullptr);
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
    queue_.BeginShutdown();
    flushRefusals(true);
    // Requests still arriving are not answered: their clients never finished sending them.
    for (int i = 1; i <= maxSocket_; ++i)
        if (slots_[size_t(i)].framer && !slots_[size_t(i)].delivering)
            dropRequest(i);
    checkIdle();
}

int NetworkRelay::WorkUnderWay() const { return deliveriesInFlight_ + queue_.RetriesUnderWay(); }

void NetworkRelay::checkIdle()
{
    if (shuttingDown_ && WorkUnderWay() == 0)
        core_.WorkFinished();
}

} // namespace swn
