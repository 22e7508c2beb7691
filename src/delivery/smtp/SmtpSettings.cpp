// The SMTP settings checked before any connection: the server text, the login and the EHLO name.
#include "delivery/smtp/SmtpInternal.h"

#include "delivery/DeliveryError.h"
#include "common/Catalogue.h"

namespace swn {

namespace {

QString ServerTextProblem(const QString& serverText, SmtpSecurity::Mode mode, SmtpServerAddress& server)
{
    auto unreadable = [&](const QString& why) {
        return QStringLiteral("SMTPServer '%1' cannot be read (%2): write host, host:port, [IPv6 address] or "
                              "[IPv6 address]:port, with a port from 1 to 65535")
            .arg(serverText, why);
    };
    const QString text = serverText.trimmed();
    QString host, portText;
    server = SmtpServerAddress();
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return unreadable(QStringLiteral("no closing bracket"));
        host = text.mid(1, close - 1).trimmed();
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            return unreadable(QStringLiteral("text after the closing bracket"));
        portText = rest.mid(1).trimmed();
        const int version = smtp::IpVersion(host);
        if (version == 0)
            return unreadable(QStringLiteral("no IP address in the brackets"));
        server.ipv6 = version == 6;
    } else {
        const QStringList parts = text.split(QLatin1Char(':'));
        if (parts.size() > 2 && smtp::IpVersion(text) == 6)
            return unreadable(QStringLiteral("an IPv6 address goes in brackets, as in [%1]:25").arg(text));
        // Parts after the port have always been ignored.
        host = parts[0].trimmed();
        portText = parts.size() > 1 ? parts[1].trimmed() : QString();
        if (host.isEmpty())
            return unreadable(QStringLiteral("no host"));
        for (QChar c : host)
            if (c.unicode() <= 0x20 || c.unicode() == 0x7F || QStringLiteral("/\\?#@[]%\"<>`{}|^").contains(c))
                return unreadable(QStringLiteral("'%1' cannot stand in a host name").arg(c));
        if (smtp::AsciiHost(host.toUtf8()).isEmpty())
            return unreadable(QStringLiteral("not a valid international domain name"));
    }
    server.host = host.toUtf8();
    server.port = mode == SmtpSecurity::Mode::Tls ? 465 : 25;
    if (!portText.isEmpty()) {
        bool ok = false;
        const uint port = portText.toUInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return unreadable(QStringLiteral("no valid port"));
        server.port = int(port);
    }
    return {};
}

} // namespace

namespace smtp {

QString LoginProblem(const SmtpSecurity& security)
{
    if (security.user.isEmpty() || security.mode != SmtpSecurity::Mode::None)
        return {};
    return QStringLiteral("SMTPUser is set but SMTPSecurity is none, so the password would travel in clear: set "
                          "SMTPSecurity to starttls or tls, or clear SMTPUser");
}

} // namespace smtp

SmtpServerAddress ParseSmtpServerText(const QString& serverText, SmtpSecurity::Mode mode)
{
    SmtpServerAddress server;
    const QString problem = ServerTextProblem(serverText, mode, server);
    if (!problem.isEmpty())
        throw DeliveryError(BuildResourceMessage(msg::SmtpSettingsUnusable, {problem}), true);
    return server;
}

QString SmtpConfigurationProblem(const QString& serverText, const SmtpSecurity& security)
{
    QStringList problems;
    SmtpServerAddress server;
    problems << ServerTextProblem(serverText, security.mode, server) << smtp::LoginProblem(security);
    QString heloProblem;
    smtp::ConfiguredHeloName(security.heloName, &heloProblem);
    problems << heloProblem;
    problems.removeAll(QString());
    return problems.join(QStringLiteral("; "));
}

} // namespace swn
