// The SMTP settings checked before any connection: the server text, the login and the EHLO name.
#include "delivery/smtp/SmtpInternal.h"

#include "delivery/DeliveryError.h"
#include "common/Catalogue.h"
#include "common/HostPort.h"

#include <QFile>

#include <utility>

namespace swn {

namespace {

// Two readings the server text has had since before the common reader, kept for the texts
// already in settings files: parts after the port are ignored ("mail:2525:x" is port 2525), and a
// ':' with no port after it means the default port. An IPv6 address without brackets is left
// whole, for the reader to say how to write it.
QString AsServerTextReads(const QString& text)
{
    QString t = text;
    if (t.startsWith(QLatin1Char('['))) {
        const qsizetype close = t.indexOf(QLatin1Char(']'));
        const QString rest = close < 0 ? QString() : t.mid(close + 1);
        if (rest.startsWith(QLatin1Char(':')) && rest.mid(1).trimmed().isEmpty())
            t.truncate(close + 1);
        return t;
    }
    if (IpLiteralVersion(t) == 6)
        return t;
    const qsizetype colon = t.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return t;
    const qsizetype second = t.indexOf(QLatin1Char(':'), colon + 1);
    if (second >= 0)
        t.truncate(second);
    if (t.mid(colon + 1).trimmed().isEmpty())
        t.truncate(colon);
    return t;
}

QString ServerTextProblem(const QString& serverText, SmtpSecurity::Mode mode, SmtpServerAddress& server)
{
    auto unreadable = [&](const QString& why) {
        return QStringLiteral("SMTPServer '%1' cannot be read (%2): write host, host:port, [IPv6 address] or "
                              "[IPv6 address]:port, with a port from 1 to 65535")
            .arg(serverText, why);
    };
    server = SmtpServerAddress();
    const QString text = AsServerTextReads(serverText.trimmed());
    if (text.trimmed().isEmpty())
        return unreadable(QStringLiteral("no host"));
    HostPort read;
    QString why;
    if (!ParseHostPort(text, &read, &why))
        return unreadable(why);
    // A name in another script is looked up, and named in URLs, in its ASCII form.
    if (read.ipVersion == 0 && smtp::AsciiHost(read.host.toUtf8()).isEmpty())
        return unreadable(QStringLiteral("not a valid international domain name"));
    server.host = read.host.toUtf8();
    server.ipv6 = read.ipVersion == 6;
    server.port = read.port != 0 ? read.port : mode == SmtpSecurity::Mode::Tls ? 465 : 25;
    return {};
}

} // namespace

namespace smtp {

QString LoginProblem(const SmtpSecurity& security)
{
    const OAuthLogin& oauth = security.oauth;
    const bool plain = security.mode == SmtpSecurity::Mode::None;
    if (oauth.Enabled()) {
        if (!oauth.tokenUrl.isEmpty() && !oauth.tokenCommand.isEmpty())
            return QStringLiteral("both SMTPOAuthTokenURL and SMTPOAuthTokenCommand are set: set one of them");
        if (!oauth.tokenUrl.isEmpty() && !oauth.tokenUrl.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
            return QStringLiteral("SMTPOAuthTokenURL must be an https:// address, so that the client secret and "
                                  "the token never travel in clear");
        if (!oauth.tokenUrl.isEmpty() && oauth.clientId.isEmpty())
            return QStringLiteral("SMTPOAuthTokenURL is set but SMTPOAuthClientID is not");
        if (security.user.isEmpty())
            return QStringLiteral("an OAuth2 login is set but SMTPUser is not: set SMTPUser to the mailbox the "
                                  "token logs in as");
        if (plain)
            return QStringLiteral("an OAuth2 login is set but SMTPSecurity is none, so the token would travel in "
                                  "clear: set SMTPSecurity to starttls or tls");
    }
    if (!security.clientKeyFile.isEmpty() && security.clientCertFile.isEmpty())
        return QStringLiteral("SMTPClientKeyFile is set but SMTPClientCertFile is not");
    if (!security.clientCertFile.isEmpty() && plain)
        return QStringLiteral("SMTPClientCertFile is presented only in TLS, but SMTPSecurity is none: set "
                              "SMTPSecurity to starttls or tls");
    if (security.user.isEmpty() || !plain)
        return {};
    return QStringLiteral("SMTPUser is set but SMTPSecurity is none, so the password would travel in clear: set "
                          "SMTPSecurity to starttls or tls, or clear SMTPUser");
}

} // namespace smtp

namespace {

// The servers of a text that lists several, separated by commas; the first problem found.
QString ServerListProblem(const QString& serverText, SmtpSecurity::Mode mode, QList<SmtpServerAddress>& servers)
{
    servers.clear();
    for (const QString& entry : serverText.split(QLatin1Char(','))) {
        SmtpServerAddress server;
        if (const QString problem = ServerTextProblem(entry, mode, server); !problem.isEmpty())
            return problem;
        servers.append(server);
    }
    return {};
}

} // namespace

SmtpServerAddress ParseSmtpServerText(const QString& serverText, SmtpSecurity::Mode mode)
{
    return ParseSmtpServerList(serverText, mode).constFirst();
}

QList<SmtpServerAddress> ParseSmtpServerList(const QString& serverText, SmtpSecurity::Mode mode)
{
    QList<SmtpServerAddress> servers;
    const QString problem = ServerListProblem(serverText, mode, servers);
    if (!problem.isEmpty())
        throw DeliveryError(BuildResourceMessage(msg::SmtpSettingsUnusable, {problem}), true);
    return servers;
}

QString SmtpClientCertificateProblem(const SmtpSecurity& security)
{
    for (const auto& [key, path] : {std::pair{"SMTPClientCertFile", security.clientCertFile},
                                    std::pair{"SMTPClientKeyFile", security.clientKeyFile}}) {
        if (path.isEmpty())
            continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.read(1).isEmpty())
            return QStringLiteral("%1 '%2' cannot be read: %3")
                .arg(QLatin1String(key), path,
                     file.error() == QFile::NoError ? QStringLiteral("the file is empty") : file.errorString());
    }
    return {};
}

QString SmtpConfigurationProblem(const QString& serverText, const SmtpSecurity& security)
{
    QStringList problems;
    QList<SmtpServerAddress> servers;
    problems << ServerListProblem(serverText, security.mode, servers) << smtp::LoginProblem(security);
    QString heloProblem;
    smtp::ConfiguredHeloName(security.heloName, &heloProblem);
    problems << heloProblem;
    problems.removeAll(QString());
    return problems.join(QStringLiteral("; "));
}

} // namespace swn
