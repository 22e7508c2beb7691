#include "netrelay/ClientAccess.h"

#include <QRegularExpression>

#include <limits>

namespace swn {

namespace {

// Strict dotted quad: four decimal numbers 0 to 255 without leading zeros. The platform parser
// also takes "10" (0.0.0.10) and "010.1.2.3" (octal), which no one writing a list means.
bool ParseIPv4(QStringView text, quint32* address)
{
    const QList<QStringView> parts = text.split(u'.');
    if (parts.size() != 4)
        return false;
    quint32 value = 0;
    for (QStringView part : parts) {
        if (part.isEmpty() || part.size() > 3 || (part.size() > 1 && part.front() == u'0'))
            return false;
        int octet = 0;
        for (const QChar c : part) {
            if (c < u'0' || c > u'9')
                return false;
            octet = octet * 10 + (c.unicode() - u'0');
        }
        if (octet > 255)
            return false;
        value = (value << 8) | quint32(octet);
    }
    if (address)
        *address = value;
    return true;
}

bool ParseAddress(QStringView text, QHostAddress* address)
{
    if (!text.contains(u':')) {
        quint32 v4 = 0;
        if (!ParseIPv4(text, &v4))
            return false;
        address->setAddress(v4);
        return true;
    }
    // IPv6: hex groups, colons and an optional dotted quad at the end; no zone index.
    for (const QChar c : text)
        if (!(c.isDigit() || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F') || c == u':' || c == u'.'))
            return false;
    const qsizetype lastColon = text.lastIndexOf(u':');
    const QStringView tail = text.sliced(lastColon + 1);
    if (tail.contains(u'.') && !ParseIPv4(tail, nullptr))
        return false;
    QHostAddress parsed;
    if (!parsed.setAddress(text.toString()) || parsed.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    *address = parsed;
    return true;
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

} // namespace

AllowedClients AllowedClients::parse(const QString& text, QStringList* invalidEntries)
{
    AllowedClients result;
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    const QStringList entries = text.split(separators, Qt::SkipEmptyParts);
    if (text.trimmed().isEmpty())
        return result;
    // Something was written: from here on only what parses is let in, possibly nobody.
    result.open_ = false;
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
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            e.network = QHostAddress(address.toIPv4Address() & Mask4(prefix));
        else
            e.network = QHostAddress(Masked6(address.toIPv6Address(), prefix));
        result.entries_.append(e);
    }
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
    if (entries_.isEmpty())
        return QStringLiteral("no client");
    QStringList parts;
    for (const Entry& e : entries_)
        parts.append(e.network.toString() + u'/' + QString::number(e.prefix));
    return parts.join(QStringLiteral(", "));
}

LogThrottle::LogThrottle(qint64 intervalMs, int maxKeys, int maxLinesPerInterval)
    : intervalMs_(qMax<qint64>(1, intervalMs)), maxKeys_(qMax(1, maxKeys)), maxLines_(qMax(1, maxLinesPerInterval))
{
}

bool LogThrottle::shouldLog(const QString& key, qint64 nowMs)
{
    const auto it = last_.constFind(key);
    // A clock that went back counts as a new interval rather than a silence without end.
    if (it != last_.cend() && nowMs >= it.value() && nowMs - it.value() < intervalMs_) {
        ++suppressed_;
        return false;
    }
    if (!windowStarted_ || nowMs < windowStart_ || nowMs - windowStart_ >= intervalMs_) {
        windowStarted_ = true;
        windowStart_ = nowMs;
        linesInWindow_ = 0;
    }
    if (linesInWindow_ >= maxLines_) {
        ++suppressed_;
        return false;
    }
    ++linesInWindow_;
    if (it == last_.cend() && last_.size() >= maxKeys_) {
        // Forget the key logged longest ago; a linear pass over a bounded table.
        auto oldest = last_.begin();
        for (auto i = last_.begin(); i != last_.end(); ++i)
            if (i.value() < oldest.value())
                oldest = i;
        last_.erase(oldest);
    }
    last_.insert(key, nowMs);
    return true;
}

} // namespace swn
