#include "common/HostPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace swn {
namespace {

// inet_pton's IPv4 form is already strict: four decimal octets, no leading zeros.
bool IsIPv4(const QByteArray& text)
{
    in_addr a {};
    return ::inet_pton(AF_INET, text.constData(), &a) == 1;
}

bool IsIPv6(const QByteArray& text)
{
    in6_addr a {};
    return ::inet_pton(AF_INET6, text.constData(), &a) == 1;
}

bool ValidScope(const QByteArray& scope)
{
    if (scope.isEmpty() || scope.size() > 64)
        return false;
    for (const char c : scope)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
              c == '_'))
            return false;
    return true;
}

} // namespace

int IpLiteralVersion(const QString& text, bool scope)
{
    QByteArray address = text.toLatin1();
    if (QString::fromLatin1(address) != text || address.contains('\0'))
        return 0;
    const qsizetype percent = address.indexOf('%');
    if (percent >= 0) {
        if (!scope || !ValidScope(address.mid(percent + 1)))
            return 0;
        address.truncate(percent);
        return IsIPv6(address) ? 6 : 0;
    }
    if (IsIPv4(address))
        return 4;
    return IsIPv6(address) ? 6 : 0;
}

bool ParseHostPort(const QString& text, HostPort* out, QString* why, PortRule rule)
{
    auto fail = [why](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    const QString t = text.trimmed();
    HostPort result;
    QString portText;
    bool hasPort = false;
    if (t.isEmpty())
        return fail(QStringLiteral("it is empty"));
    if (t.startsWith(QLatin1Char('['))) {
        const qsizetype close = t.indexOf(QLatin1Char(']'));
        if (close < 0)
            return fail(QStringLiteral("no closing bracket"));
        result.host = t.mid(1, close - 1).trimmed();
        const QString rest = t.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            return fail(QStringLiteral("text after the closing bracket"));
        hasPort = !rest.isEmpty();
        portText = rest.mid(1).trimmed();
        result.ipVersion = IpLiteralVersion(result.host);
        if (result.ipVersion == 0)
            return fail(QStringLiteral("no IP address in the brackets"));
    } else {
        const qsizetype colon = t.indexOf(QLatin1Char(':'));
        if (colon >= 0 && t.indexOf(QLatin1Char(':'), colon + 1) >= 0)
            return fail(IpLiteralVersion(t) == 6
                            ? QStringLiteral("an IPv6 address goes in brackets, as in [%1]:25").arg(t)
                            : QStringLiteral("more than one ':'"));
        result.host = (colon < 0 ? t : t.left(colon)).trimmed();
        hasPort = colon >= 0;
        portText = colon < 0 ? QString() : t.mid(colon + 1).trimmed();
        if (result.host.isEmpty())
            return fail(QStringLiteral("no host"));
        for (const QChar c : result.host)
            if (c.unicode() <= 0x20 || c.unicode() == 0x7F || QStringLiteral("/\\?#@[]%\"<>`{}|^,;").contains(c))
                return fail(QStringLiteral("'%1' cannot stand in a host name").arg(c));
        result.ipVersion = IpLiteralVersion(result.host);
        bool digitsAndDots = true;
        for (const QChar c : result.host)
            digitsAndDots = digitsAndDots && ((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.'));
        if (digitsAndDots && result.ipVersion != 4)
            return fail(QStringLiteral("'%1' is not an IPv4 address").arg(result.host));
    }
    if (hasPort) {
        bool digits = !portText.isEmpty() && portText.size() <= 5;
        for (const QChar c : portText)
            digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        const int port = digits ? portText.toInt() : 0;
        if (port < 1 || port > 65535)
            return fail(QStringLiteral("no valid port"));
        result.port = port;
    } else if (rule == PortRule::Required) {
        return fail(QStringLiteral("the port is missing"));
    }
    if (out)
        *out = result;
    return true;
}

} // namespace swn
