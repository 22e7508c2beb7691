#include "netrelay/ClientAccess.h"

#include "common/HostPort.h"

#include <QNetworkInterface>
#include <QRegularExpression>

#include <algorithm>
#include <limits>
#include <utility>

namespace swn {

namespace {

// The one strict reader of address literals: a dotted quad of four decimal numbers 0 to 255
// without leading zeros (the platform's looser parser also takes "10" for 0.0.0.10 and "010.1.2.3"
// as octal, which no one writing a list means), or an IPv6 address, which may name its scope
// (fe80::1%eth0), as a link-local address must.
bool ParseAddress(QStringView text, QHostAddress* address)
{
    const QString literal = text.toString();
    return IpLiteralVersion(literal) != 0 && address->setAddress(literal);
}

// A scope is written as an interface's name or its number; the platform reports a peer's by name.
bool SameLink(const QString& entryScope, const QString& peerScope)
{
    if (peerScope.isEmpty())
        return false;
    if (entryScope == peerScope)
        return true;
    const auto index = [](const QString& scope) {
        bool numeric = false;
        const int n = scope.toInt(&numeric);
        return numeric ? n : QNetworkInterface::interfaceIndexFromName(scope);
    };
    const int a = index(entryScope);
    return a > 0 && a == index(peerScope);
}

// A dual-stack listener reports IPv4 clients as ::ffff:a.b.c.d; they are IPv4 clients.
// Only ::ffff:0:0/96; the platform's conversion also turns "::" into 0.0.0.0.
bool IsMapped(const QHostAddress& address)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    const Q_IPV6ADDR a = address.toIPv6Address();
    for (int i = 0; i < 10; ++i)
        if (a[i] != 0)
            return false;
    return a[10] == 0xFF && a[11] == 0xFF;
}

QHostAddress Unmapped(const QHostAddress& address)
{
    if (!IsMapped(address))
        return address;
    const Q_IPV6ADDR a = address.toIPv6Address();
    return QHostAddress(quint32(a[12]) << 24 | quint32(a[13]) << 16 | quint32(a[14]) << 8 | quint32(a[15]));
}

quint32 Mask4(int prefix) { return prefix == 0 ? 0 : ~quint32(0) << (32 - prefix); }

bool SamePrefix6(const Q_IPV6ADDR& a, const Q_IPV6ADDR& b, int prefix)
{
    for (int i = 0; i < 16 && prefix > 0; ++i, prefix -= 8) {
        const quint8 mask = prefix >= 8 ? 0xFF : quint8(0xFF << (8 - prefix));
        if ((a[i] & mask) != (b[i] & mask))
            return false;
    }
    return true;
}

Q_IPV6ADDR Masked6(Q_IPV6ADDR a, int prefix)
{
    for (int i = 0; i < 16; ++i, prefix -= 8)
        a[i] &= prefix >= 8 ? 0xFF : prefix <= 0 ? 0 : quint8(0xFF << (8 - prefix));
    return a;
}

QStringList SplitEntries(const QString& text)
{
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    return text.split(separators, Qt::SkipEmptyParts);
}

const QString CutReason = QStringLiteral("the value reached the settings reader's length limit and may have been cut");

} // namespace

QHostAddress PlainAddress(const QHostAddress& address) { return Unmapped(address); }

AllowedClients AllowedClients::parse(const QString& text, QStringList* invalidEntries, bool mayBeCut)
{
    AllowedClients result;
    const QStringList entries = SplitEntries(text);
    if (text.trimmed().isEmpty() && !mayBeCut)
        return result;
    // Something was written: from here on only what parses is let in, possibly nobody.
    result.open_ = false;
    result.cut_ = mayBeCut;
    for (const QString& entry : entries) {
        const qsizetype slash = entry.indexOf(u'/');
        const QStringView addressText = slash < 0 ? QStringView(entry) : QStringView(entry).first(slash);
        QHostAddress address;
        bool ok = ParseAddress(addressText, &address);
        int prefix = address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
        if (ok && slash >= 0) {
            const QStringView prefixText = QStringView(entry).sliced(slash + 1);
            ok = !prefixText.isEmpty() && prefixText.size() <= 3 &&
                std::all_of(prefixText.begin(), prefixText.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
            if (ok) {
                const int value = prefixText.toInt();
                ok = value <= prefix;
                prefix = value;
            }
        }
        if (!ok) {
            if (invalidEntries)
                invalidEntries->append(entry);
            continue;
        }
        // An IPv4-mapped entry is an IPv4 entry; a prefix that ends inside the mapping prefix
        // covers every IPv4 client.
        if (IsMapped(address) && prefix >= 96) {
            address = Unmapped(address);
            prefix -= 96;
        }
        Entry e;
        e.prefix = prefix;
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            e.network = QHostAddress(address.toIPv4Address() & Mask4(prefix));
        } else {
            e.network = QHostAddress(Masked6(address.toIPv6Address(), prefix));
            e.network.setScopeId(address.scopeId());
        }
        result.entries_.append(e);
    }
    // The entries were still read, so that the invalid ones are named; none of them counts.
    if (mayBeCut)
        result.entries_.clear();
    return result;
}

bool AllowedClients::allows(const QHostAddress& peer) const
{
    if (open_)
        return true;
    const QHostAddress address = Unmapped(peer);
    for (const Entry& e : entries_) {
        if (e.network.protocol() != address.protocol())
            continue;
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            if ((address.toIPv4Address() & Mask4(e.prefix)) == e.network.toIPv4Address())
                return true;
        } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            // An entry that names a scope admits its addresses on that link only; a peer whose
            // link is not known is not on it.
            if (!e.network.scopeId().isEmpty() && !SameLink(e.network.scopeId(), address.scopeId()))
                continue;
            if (SamePrefix6(address.toIPv6Address(), e.network.toIPv6Address(), e.prefix))
                return true;
        }
    }
    return false;
}

QString AllowedClients::describe() const
{
    if (open_)
        return QStringLiteral("any client");
    if (cut_)
        return QStringLiteral("no client: ") + CutReason;
    if (entries_.isEmpty())
        return QStringLiteral("no client: no entry is a valid address or prefix");
    QStringList parts;
    for (const Entry& e : entries_)
        parts.append(e.network.toString() + u'/' + QString::number(e.prefix));
    return parts.join(QStringLiteral(", "));
}

ListenAddresses ListenAddresses::parse(const QString& text, QStringList* invalidEntries, bool mayBeCut)
{
    ListenAddresses result;
    if (text.trimmed().isEmpty() && !mayBeCut)
        return result;
    result.every_ = false;
    result.cut_ = mayBeCut;
    for (const QString& entry : SplitEntries(text)) {
        QHostAddress address;
        if (!ParseAddress(entry, &address)) {
            if (invalidEntries)
                invalidEntries->append(entry);
            continue;
        }
        // Listening on ::ffff:a.b.c.d means listening on a.b.c.d; twice on one address fails.
        address = Unmapped(address);
        if (!result.addresses_.contains(address))
            result.addresses_.append(address);
    }
    if (mayBeCut)
        result.addresses_.clear();
    return result;
}

QString ListenAddresses::describe() const
{
    if (every_)
        return QStringLiteral("every interface");
    if (cut_)
        return QStringLiteral("nowhere: ") + CutReason;
    if (addresses_.isEmpty())
        return QStringLiteral("nowhere: no entry is a valid address");
    QStringList parts;
    for (const QHostAddress& a : addresses_)
        parts.append(a.toString());
    return parts.join(QStringLiteral(", "));
}

LogThrottle::LogThrottle(qint64 intervalMs, int maxKeys, int maxLinesPerInterval)
    : intervalMs_(qMax<qint64>(1, intervalMs)), maxKeys_(qMax(1, maxKeys)), maxLines_(qMax(1, maxLinesPerInterval))
{
}

bool LogThrottle::quietFor(const Entry& e, qint64 nowMs) const
{
    // A clock that went back counts as a new interval rather than a silence without end.
    return !e.logged || nowMs < e.sinceMs || nowMs - e.sinceMs >= intervalMs_;
}

bool LogThrottle::spendLine(qint64 nowMs)
{
    if (!windowStarted_ || nowMs < windowStart_ || nowMs - windowStart_ >= intervalMs_) {
        windowStarted_ = true;
        windowStart_ = nowMs;
        linesInWindow_ = 0;
    }
    if (linesInWindow_ >= maxLines_)
        return false;
    ++linesInWindow_;
    return true;
}

qint64 LogThrottle::report(Entry& e, qint64 nowMs)
{
    const qint64 count = e.pending;
    heldInKeys_ -= count;
    e.pending = 0;
    e.logged = true;
    e.sinceMs = nowMs;
    return count;
}

void LogThrottle::makeRoom(qint64 nowMs)
{
    // Keys whose interval is over with nothing held back are not needed: a new event logs at once.
    keys_.removeIf([&](const auto& it) { return it.value().pending == 0 && quietFor(it.value(), nowMs); });
    if (keys_.size() < maxKeys_)
        return;
    // Else forget one: one with nothing held back if there is one, the longest-standing first;
    // the events it held go to the summary count. A linear pass over a bounded table.
    auto victim = keys_.begin();
    for (auto i = keys_.begin(); i != keys_.end(); ++i) {
        const bool better = (i->pending == 0) != (victim->pending == 0) ? i->pending == 0 : i->sinceMs < victim->sinceMs;
        if (better)
            victim = i;
    }
    heldInKeys_ -= victim->pending;
    suppressed_ += victim->pending;
    keys_.erase(victim);
}

qint64 LogThrottle::note(const QString& key, qint64 nowMs)
{
    auto it = keys_.find(key);
    if (it == keys_.end()) {
        if (keys_.size() >= maxKeys_)
            makeRoom(nowMs);
        it = keys_.insert(key, Entry{nowMs, 0, false});
    }
    ++it->pending;
    ++heldInKeys_;
    if (!quietFor(*it, nowMs) || !spendLine(nowMs))
        return 0;
    return report(*it, nowMs);
}

bool LogThrottle::shouldLog(const QString& key, qint64 nowMs, qint64* count)
{
    const qint64 n = note(key, nowMs);
    if (count)
        *count = n;
    return n > 0;
}

QList<LogThrottle::Line> LogThrottle::takeDue(qint64 nowMs, bool all)
{
    QList<Line> lines;
    if (heldInKeys_ == 0)
        return lines;
    QList<QHash<QString, Entry>::iterator> due;
    for (auto it = keys_.begin(); it != keys_.end(); ++it)
        if (it->pending > 0 && (all || quietFor(*it, nowMs)))
            due.append(it);
    // The longest waiting first, should the line bound stop the rest until the next interval.
    std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
        return a->sinceMs != b->sinceMs ? a->sinceMs < b->sinceMs : a.key() < b.key();
    });
    for (auto it : due) {
        if (!spendLine(nowMs) && !all)
            break;
        lines.append(Line{it.key(), report(*it, nowMs)});
    }
    return lines;
}

qint64 LogThrottle::takeSuppressed(qint64 nowMs, bool all)
{
    if (suppressed_ == 0)
        return 0;
    if (!all && summaryWritten_ && nowMs >= lastSummaryMs_ && nowMs - lastSummaryMs_ < intervalMs_)
        return 0;
    summaryWritten_ = true;
    lastSummaryMs_ = nowMs;
    return std::exchange(suppressed_, 0);
}

} // namespace swn
