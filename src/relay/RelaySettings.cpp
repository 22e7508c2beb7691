#include "relay/RelaySettings.h"

namespace swn {

RelaySettings::RelaySettings(QString filePath, QObject* parent) : QObject(parent), ini_(std::move(filePath))
{
    smtpServer_ = QString::fromLatin1(setting::SMTPServer.defaultValue);
    listenPort_ = QString::fromLatin1(setting::ListenerPort.defaultValue);
    pollInterval_ = QString::fromLatin1(setting::POPollInterval.defaultValue);
    maxLogSize_ = QString::fromLatin1(setting::MaxLogSize.defaultValue);
}

QString RelaySettings::Read(const SettingKey& key) const
{
    return ini_.ReadIniValue(QString::fromLatin1(IniServices::Section), QString::fromLatin1(key.name),
                             QString::fromUtf8(key.defaultValue));
}

QString RelaySettings::Read(const SettingKey& key, bool* cut) const
{
    return ini_.ReadIniValue(QString::fromLatin1(IniServices::Section), QString::fromLatin1(key.name),
                             QString::fromUtf8(key.defaultValue), cut);
}

bool RelaySettings::Write(const SettingKey& key, const QString& value) const
{
    return ini_.WriteIniValue(QString::fromLatin1(IniServices::Section), QString::fromLatin1(key.name), value);
}

template <typename T>
void RelaySettings::assign(T& field, const T& value)
{
    if (field == value)
        return;
    field = value;
    Q_EMIT changed();
}

void RelaySettings::Load()
{
    listenPort_ = Read(setting::ListenerPort);
    smtpServer_ = Read(setting::SMTPServer);
    const QString transport = Read(setting::TransportMode);
    transport_ = transport == QLatin1String("CDO")      ? Transport::Smtp
               : transport == QLatin1String("BTMAIL") ? Transport::Sendmail
                                                        : Transport::None;
    btId_ = Read(setting::BTLoginID);
    db_ = Read(setting::BTDB);
    dbSet_ = Read(setting::BTDbset);
    // The relay only writes 0 or 1; anything else that is not a number counts as unchecked.
    bool ok = false;
    const int autoStart = Read(setting::AutoStart).trimmed().toInt(&ok);
    autoStart_ = !ok || autoStart == 0 ? 0 : autoStart == 2 ? 2 : 1;
    const QString mode = Read(setting::RelayMode);
    mode_ = mode == QLatin1String("POSTOFFICE") ? RelayMode::PostOffice
          : mode == QLatin1String("NETWORK")    ? RelayMode::Network
                                                : RelayMode::None;
    pollInterval_ = Read(setting::POPollInterval);
    maxLogSize_ = Read(setting::MaxLogSize);
    Q_EMIT changed();
}

bool RelaySettings::SaveWindowKeys() const
{
    bool ok = true;
    auto put = [&](const SettingKey& key, const QString& value) { ok = Write(key, value) && ok; };
    // With no mode or transport selected the stored value stays as it was.
    if (mode_ != RelayMode::None)
        put(setting::RelayMode, QLatin1String(mode_ == RelayMode::Network ? "NETWORK" : "POSTOFFICE"));
    put(setting::SMTPServer, smtpServer_);
    put(setting::ListenerPort, listenPort_);
    if (transport_ != Transport::None)
        put(setting::TransportMode, QLatin1String(transport_ == Transport::Smtp ? "CDO" : "BTMAIL"));
    put(setting::AutoStart, QString::number(autoStart_));
    put(setting::POPollInterval, pollInterval_);
    put(setting::MaxLogSize, maxLogSize_);
    return ok;
}

bool RelaySettings::SaveCredentials(const QString& login, const QString& password, const QString& database,
                                    const QString& databaseSet)
{
    bool ok = Write(setting::BTLoginID, login);
    ok = Write(setting::BTDB, database) && ok;
    ok = Write(setting::BTDbset, databaseSet) && ok;
    ok = Write(setting::BTPassword, password) && ok;
    btId_ = login;
    db_ = database;
    dbSet_ = databaseSet;
    Q_EMIT changed();
    return ok;
}

void RelaySettings::SetMode(RelayMode mode) { assign(mode_, mode); }
void RelaySettings::SetTransport(Transport transport) { assign(transport_, transport); }
void RelaySettings::SetSMTPServer(const QString& text) { assign(smtpServer_, text); }
void RelaySettings::SetListenerPort(const QString& text) { assign(listenPort_, text); }
void RelaySettings::SetMaxLogSize(const QString& text) { assign(maxLogSize_, text); }
void RelaySettings::SetAutoStart(int state) { assign(autoStart_, state); }

void RelaySettings::SetPOPollInterval(const QString& text)
{
    if (pollInterval_ == text)
        return;
    pollInterval_ = text;
    Q_EMIT changed();
    Q_EMIT pollIntervalEdited();
}

SmtpSecurity RelaySettings::SmtpSecurityOptions() const
{
    SmtpSecurity security;
    const QString mode = Read(setting::SMTPSecurity).trimmed().toLower();
    // A value the relay does not know must not quietly mean plain text: it asks for STARTTLS,
    // which fails with a clear reason where the server has none.
    security.mode = mode.isEmpty() || mode == QLatin1String("none") ? SmtpSecurity::Mode::None
                  : mode == QLatin1String("tls")                    ? SmtpSecurity::Mode::Tls
                                                                    : SmtpSecurity::Mode::StartTls;
    security.user = Read(setting::SMTPUser);
    security.password = Read(setting::SMTPPassword);
    security.caFile = Read(setting::SMTPCAFile);
    security.heloName = Read(setting::SMTPHeloName).trimmed();
    security.oauth.tokenUrl = Read(setting::SMTPOAuthTokenURL).trimmed();
    security.oauth.clientId = Read(setting::SMTPOAuthClientID).trimmed();
    security.oauth.clientSecret = Read(setting::SMTPOAuthClientSecret);
    security.oauth.scope = Read(setting::SMTPOAuthScope).trimmed();
    security.oauth.tokenCommand = Read(setting::SMTPOAuthTokenCommand).trimmed();
    security.clientCertFile = Read(setting::SMTPClientCertFile).trimmed();
    security.clientKeyFile = Read(setting::SMTPClientKeyFile).trimmed();
    return security;
}

} // namespace swn
