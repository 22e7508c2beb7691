#pragma once
// A real OAuth2 token endpoint over HTTPS on loopback (tests/support/token_endpoint.py under the
// system's Python), with its own certificate, steered and read through files of its folder.
#include "SmtpSink.h"

#include "delivery/DeliveryContext.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPair>
#include <QTemporaryDir>

#include <cstdio>

namespace swn::test {

class TokenEndpoint {
public:
    static constexpr const char* ClientId = "relay-client";
    static constexpr const char* ClientSecret = "s3cr3t-Qz8 &=+%";
    static constexpr const char* Scope = "https://mail.test/send";

    ~TokenEndpoint() { stop(); }

    // Starts the endpoint, checking the client with ClientId, ClientSecret and Scope; tokens live
    // `lifetimeSeconds`. `arguments` are further options of token_endpoint.py. False when it did
    // not come up.
    bool start(double lifetimeSeconds = 3600, const QStringList& arguments = {})
    {
        stop();
        if (!QFile::exists(caFile()) &&
            !MakeTestCertificate(caFile(), dir_.filePath(QStringLiteral("endpoint.key"))))
            return false;
        QDir(dir_.path()).mkpath(QStringLiteral("state"));
        process_ = StartServerProcess(
            QStringList{TestSourceDir() + QStringLiteral("/support/token_endpoint.py"), QStringLiteral("--state"),
                        stateDir(), QStringLiteral("--cert"), caFile(), QStringLiteral("--key"),
                        dir_.filePath(QStringLiteral("endpoint.key")), QStringLiteral("--client-id"),
                        QString::fromUtf8(ClientId), QStringLiteral("--client-secret"),
                        QString::fromUtf8(ClientSecret), QStringLiteral("--scope"), QString::fromUtf8(Scope),
                        QStringLiteral("--lifetime"), QString::number(lifetimeSeconds), QStringLiteral("--port"),
                        QString::number(port_)} +
                arguments,
            port_);
        return process_ != nullptr;
    }
    void stop() { StopServerProcess(process_); }

    quint16 port() const { return port_; }
    QString url() const { return QStringLiteral("https://127.0.0.1:%1/token").arg(port_); }
    // The endpoint's self-signed certificate: the authority to trust it by.
    QString caFile() const { return dir_.filePath(QStringLiteral("endpoint.pem")); }
    QString stateDir() const { return dir_.filePath(QStringLiteral("state")); }
    // "TOKEN EXPIRY_EPOCH" for every token still valid: smtp_sink.py's --oauth-tokens.
    QString tokensFile() const { return stateDir() + QStringLiteral("/tokens"); }

    // A login with the credentials the endpoint takes.
    OAuthLogin login() const
    {
        OAuthLogin l;
        l.tokenUrl = url();
        l.clientId = QString::fromUtf8(ClientId);
        l.clientSecret = QString::fromUtf8(ClientSecret);
        l.scope = QString::fromUtf8(Scope);
        return l;
    }

    // Fault switches of token_endpoint.py ("down", "slow 1", "status 503", "refuse invalid_client
    // TEXT", ...), replacing those set before; an empty list clears them.
    void setFaults(const QStringList& lines)
    {
        const QString path = stateDir() + QStringLiteral("/faults");
        if (lines.isEmpty()) {
            QFile::remove(path);
            return;
        }
        QFile part(path + QStringLiteral(".part"));
        if (part.open(QIODevice::WriteOnly)) {
            part.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n');
            part.close();
            // Renamed into place, so the endpoint never reads half a list.
            std::rename(QFile::encodeName(part.fileName()).constData(), QFile::encodeName(path).constData());
        }
    }

    // The answers given so far, one a request: their HTTP status, or "closed".
    QStringList requests() const { return fileLines(QStringLiteral("requests")); }
    // The tokens still valid with their expiry (seconds since the epoch).
    QList<QPair<QByteArray, double>> tokens() const
    {
        QList<QPair<QByteArray, double>> list;
        for (const QString& line : fileLines(QStringLiteral("tokens"))) {
            const QStringList parts = line.split(QLatin1Char(' '));
            if (parts.size() == 2)
                list.append({parts[0].toUtf8(), parts[1].toDouble()});
        }
        return list;
    }

private:
    QStringList fileLines(const QString& name) const
    {
        QFile f(stateDir() + QLatin1Char('/') + name);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
};

} // namespace swn::test
