#pragma once
// The one reader of "host", "host:port", "[IPv6]" and "[IPv6]:port" texts (the SMTP server, the
// metrics address, listener entries). An IPv6 address may name its scope, as in fe80::1%eth0.
#include <QString>

namespace swn {

struct HostPort {
    QString host;      // a name, or an address without brackets (an IPv6 one with its scope)
    int port = 0;      // 0: the text named none
    int ipVersion = 0; // 4 or 6 when `host` is an address, 0 for a name
};

enum class PortRule { Optional, Required };

// False with `why` set (a few words, no text around them) when the text cannot be read. An IPv4
// address is a strict dotted quad (no "10" for 0.0.0.10, no octal); a name is checked only for
// characters that cannot stand in one (a name in another script is for the caller to convert).
bool ParseHostPort(const QString& text, HostPort* out, QString* why, PortRule rule = PortRule::Optional);

// 4 or 6 when `text` is an IPv4 or an IPv6 address (IPv6 with a scope when `scope` allows one);
// 0 otherwise.
int IpLiteralVersion(const QString& text, bool scope = true);

} // namespace swn
