#pragma once
// The SMTP settings as the client reads them: the server text, and whether the settings can be
// used at all.
#include "delivery/DeliveryContext.h"
#include <QByteArray>
#include <QList>
#include <QString>

namespace swn {

struct SmtpServerAddress {
    QByteArray host;   // a name, or an address without brackets
    int port = 25;
    bool ipv6 = false; // the host is an IPv6 address (bracketed in the server text and in URLs)
};

// "host", "host:port", "[IPv6]" or "[IPv6]:port"; without a port 465 under implicit TLS, else 25.
// Throws DeliveryError (temporary, the text of message 188) for a text that cannot be read.
SmtpServerAddress ParseSmtpServerText(const QString& serverText,
                                      SmtpSecurity::Mode mode = SmtpSecurity::Mode::None);

// The same for a text that lists several servers separated by commas, in the order given; one
// server is a list of one. ParseSmtpServerText gives the first of them.
QList<SmtpServerAddress> ParseSmtpServerList(const QString& serverText,
                                             SmtpSecurity::Mode mode = SmtpSecurity::Mode::None);

// Empty when the client certificate and key (if set) can be read; else one line naming the file.
QString SmtpClientCertificateProblem(const SmtpSecurity& security);

// Empty when the server text and the security settings can be used; otherwise one line that
// says what is wrong and what to set (never the password), for message 188.
QString SmtpConfigurationProblem(const QString& serverText, const SmtpSecurity& security);

} // namespace swn
