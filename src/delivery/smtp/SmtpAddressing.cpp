// Where a connection goes and what it calls itself: the server's addresses, the local address a
// connection comes from, the EHLO name, and the URL the client is given.
#include "delivery/smtp/SmtpInternal.h"

#include "delivery/MimeComposer.h"
#include "common/HostPort.h"

#include <QUrl>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace swn::smtp {

namespace {

QByteArray NumericAddress(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return QByteArray(text);
}

// The local address a connection to `to` goes out from, as the system routes it.
bool LocalAddressFor(const Destination& to, sockaddr_storage& local, socklen_t& length)
{
    const int fd = ::socket(to.address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    length = sizeof local;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&to.address), to.length) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    ::close(fd);
    if (ok && local.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&local)->sin6_port = 0;
    else if (ok && local.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&local)->sin_port = 0;
    return ok;
}

QByteArray AddressLiteral(const sockaddr_storage& address)
{
    const QByteArray ip = NumericAddress(reinterpret_cast<const sockaddr*>(&address));
    return address.ss_family == AF_INET6 ? "[IPv6:" + ip + ']' : '[' + ip + ']';
}

} // namespace

// The host's name as the client looks it up and names it in URLs: IDN in ASCII form.
QByteArray AsciiHost(const QByteArray& host)
{
    for (char c : host)
        if (uchar(c) >= 0x80)
            return QUrl::toAce(QString::fromUtf8(host));
    return host;
}

QByteArray ServerKey(const SmtpServerAddress& server)
{
    const QByteArray host = server.ipv6 ? '[' + server.host + ']' : server.host;
    return host + ':' + QByteArray::number(server.port);
}

QString Resolve(SmtpClient& client, const SmtpServerAddress& server)
{
    const QByteArray key = server.host + ':' + QByteArray::number(server.port);
    if (client.resolvedFor == key && Clock::now() < client.resolvedUntil && !client.destinations.empty())
        return {};
    client.resolvedFor.clear();
    client.destinations.clear();
    client.preferred = 0;
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (IpLiteralVersion(QString::fromUtf8(server.host)) != 0)
        hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    const QByteArray host = AsciiHost(server.host);
    const int error = ::getaddrinfo(host.constData(), QByteArray::number(server.port).constData(), &hints, &found);
    if (error != 0 || !found)
        return QStringLiteral("Could not resolve host: %1 (%2)")
            .arg(QString::fromUtf8(server.host), QString::fromLocal8Bit(gai_strerror(error)));
    for (addrinfo* a = found; a && client.destinations.size() < kMaxDestinations; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Destination d;
        std::memcpy(&d.address, a->ai_addr, a->ai_addrlen);
        d.length = socklen_t(a->ai_addrlen);
        d.ip = NumericAddress(a->ai_addr);
        const bool known = std::any_of(client.destinations.begin(), client.destinations.end(),
                                       [&](const Destination& e) { return e.ip == d.ip; });
        if (!known)
            client.destinations.push_back(d);
    }
    ::freeaddrinfo(found);
    if (client.destinations.empty())
        return QStringLiteral("Could not resolve host: %1").arg(QString::fromUtf8(server.host));
    client.resolvedFor = key;
    client.resolvedUntil = Clock::now() + std::chrono::seconds(kMaxConnectionAgeSeconds);
    return {};
}

// The EHLO argument from the settings: a domain name (in ASCII form) or an address literal.
// Empty with `problem` set when it is neither; empty without one when none is set.
QByteArray ConfiguredHeloName(const QString& configured, QString* problem)
{
    const QString name = configured.trimmed();
    if (name.isEmpty())
        return {};
    auto refuse = [&] {
        if (problem)
            *problem = QStringLiteral("SMTPHeloName '%1' is not a fully qualified domain name or an address "
                                      "literal: set it to this host's full name, such as relay.example.org, or to "
                                      "its address in brackets, such as [192.0.2.7], or leave it empty")
                           .arg(configured);
        return QByteArray();
    };
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']'))) {
        const QString inner = name.mid(1, name.size() - 2);
        const bool v6 = inner.startsWith(QLatin1String("IPv6:"), Qt::CaseInsensitive);
        if (IpLiteralVersion(v6 ? inner.mid(5) : inner, false) != (v6 ? 6 : 4))
            return refuse();
        return name.toLatin1();
    }
    const QByteArray ace = AsciiHost(name.toUtf8());
    if (ace.isEmpty() || ace.size() > 253 || !ace.contains('.'))
        return refuse();
    for (const QByteArray& label : ace.split('.')) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith('-') || label.endsWith('-'))
            return refuse();
        for (char c : label)
            if (!std::isalnum(uchar(c)) && c != '-')
                return refuse();
    }
    return ace;
}

// The host's own name when it has a domain; empty when it has none.
QByteArray OwnDomainName()
{
    const QByteArray domain = HostDomain();
    return domain == "localhost.localdomain" || domain.startsWith("localhost.") ? QByteArray() : domain;
}

// Without a name of its own the host names itself by the address it connects from.
QByteArray HeloFor(const QByteArray& fixedHelo, Destination& to)
{
    if (!fixedHelo.isEmpty())
        return fixedHelo;
    if (!to.localLookedUp) {
        to.localLookedUp = true;
        if (!LocalAddressFor(to, to.local, to.localLength))
            to.localLength = 0;
    }
    return to.localLength > 0 ? AddressLiteral(to.local) : QByteArray("localhost.localdomain");
}

// The client's "connect to" entry that sends a connection for the server's name to one of its
// addresses: a name is looked up here, so that each address gets its own connect time.
QByteArray ConnectToEntry(const Destination& to, int port)
{
    return "::" + (to.address.ss_family == AF_INET6 ? '[' + to.ip + ']' : to.ip) + ':' + QByteArray::number(port);
}

// The URL the client is given: the server, and as its path the EHLO argument (percent-encoded;
// without a path the client names the host by its bare label).
QByteArray SmtpUrl(const SmtpServerAddress& server, const SmtpSecurity& security, const QByteArray& helo)
{
    QByteArray host = AsciiHost(server.host);
    if (server.ipv6)
        host = '[' + host.replace("%", "%25") + ']';
    return (security.mode == SmtpSecurity::Mode::Tls ? "smtps://" : "smtp://") + host + ':' +
           QByteArray::number(server.port) + '/' + QUrl::toPercentEncoding(QString::fromLatin1(helo));
}

// The socket of a new connection: not inherited by programs the relay starts, and bound to the
// address the EHLO names, so the name it gives is the connection's own.
curl_socket_t OpenSocket(void* user, curlsocktype, curl_sockaddr* address)
{
    auto* x = static_cast<Exchange*>(user);
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0)
        return CURL_SOCKET_BAD;
    if (x->socket)
        *x->socket = fd;
    if (x->bindTo && x->bindTo->ss_family == address->family) {
#ifdef IP_BIND_ADDRESS_NO_PORT
        const int one = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
#endif
        // Should the address be gone, the mail still goes; the next connection looks again.
        if (::bind(fd, reinterpret_cast<const sockaddr*>(x->bindTo), x->bindToLength) != 0)
            x->bindFailed = true;
    }
    return fd;
}

} // namespace swn::smtp
