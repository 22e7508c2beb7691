#pragma once
// The relay's settings: the keys of the settings file, and the values the window edits while
// the relay runs. Other parts read these values, never the widgets that show them.
#include "common/IniServices.h"
#include "delivery/DeliveryContext.h"
#include "delivery/Transport.h"

#include <QObject>
#include <QString>

namespace swn {

struct SettingKey {
    const char* name;
    const char* defaultValue;
};

// Every key of section SwiftnoteRelay, named once.
namespace setting {
inline constexpr SettingKey RelayMode{"RelayMode", "NETWORK"};
inline constexpr SettingKey SMTPServer{"SMTPServer", "localhost:25"};
inline constexpr SettingKey ListenerPort{"STMPRelayListenerPort", "36001"};
inline constexpr SettingKey TransportMode{"TransportMode", "CDO"};
inline constexpr SettingKey AutoStart{"AutoStart", "0"};
inline constexpr SettingKey POPollInterval{"POPollInterval", "360"};
inline constexpr SettingKey MaxLogSize{"MaxLogSize", "16"};
inline constexpr SettingKey BTLoginID{"BTLoginID", ""};
inline constexpr SettingKey BTPassword{"BTPassword", ""};
inline constexpr SettingKey BTDB{"BTDB", ""};
inline constexpr SettingKey BTDbset{"BTDbset", ""};
// Read by the relay, never written: the administrator sets them in the file.
inline constexpr SettingKey AllowedClients{"AllowedClients", ""};
inline constexpr SettingKey SMTPSecurity{"SMTPSecurity", "none"};
inline constexpr SettingKey SMTPUser{"SMTPUser", ""};
inline constexpr SettingKey SMTPPassword{"SMTPPassword", ""};
inline constexpr SettingKey SMTPCAFile{"SMTPCAFile", ""};
inline constexpr SettingKey SMTPHeloName{"SMTPHeloName", ""};
inline constexpr SettingKey SMTPOAuthTokenURL{"SMTPOAuthTokenURL", ""};
inline constexpr SettingKey SMTPOAuthClientID{"SMTPOAuthClientID", ""};
inline constexpr SettingKey SMTPOAuthClientSecret{"SMTPOAuthClientSecret", ""};
inline constexpr SettingKey SMTPOAuthScope{"SMTPOAuthScope", ""};
inline constexpr SettingKey SMTPOAuthTokenCommand{"SMTPOAuthTokenCommand", ""};
inline constexpr SettingKey SMTPClientCertFile{"SMTPClientCertFile", ""};
inline constexpr SettingKey SMTPClientKeyFile{"SMTPClientKeyFile", ""};
// Limits toward the server: open sessions (empty: one per worker), mails a minute and recipients in
// a rolling day (0: none), and how long a session may stay open unused.
inline constexpr SettingKey SMTPMaxConnections{"SMTPMaxConnections", ""};
inline constexpr SettingKey SMTPMessagesPerMinute{"SMTPMessagesPerMinute", "0"};
inline constexpr SettingKey SMTPRecipientsPerDay{"SMTPRecipientsPerDay", "0"};
inline constexpr SettingKey SMTPIdleSeconds{"SMTPIdleSeconds", "5"};
inline constexpr SettingKey ListenAddress{"ListenAddress", ""};
inline constexpr SettingKey FailedFolderLimitMB{"FailedFolderLimitMB", "1024"};
inline constexpr SettingKey MetricsListen{"MetricsListen", ""};
// Who hears of mail that failed for good or waits long (else the document's BTMailAdmin), at most
// how many single notices an hour, and after how many hours a kept document is warned about.
inline constexpr SettingKey NotifyAddress{"NotifyAddress", ""};
inline constexpr SettingKey NotifyPerHour{"NotifyPerHour", "20"};
inline constexpr SettingKey DelayWarningHours{"DelayWarningHours", "4"};
} // namespace setting

enum class RelayMode { None, Network, PostOffice };

class RelaySettings : public QObject {
    Q_OBJECT
public:
    explicit RelaySettings(QString filePath, QObject* parent = nullptr);

    const QString& filePath() const { return ini_.filePath(); }
    QString Read(const SettingKey& key) const;
    // The same, and whether the stored value was longer than a read returns it.
    QString Read(const SettingKey& key, bool* cut) const;
    bool Write(const SettingKey& key, const QString& value) const;

    // Takes the window's values from the file.
    void Load();
    // Writes the seven window keys; false (and nothing else) when the file could not be written.
    bool SaveWindowKeys() const;
    // Writes the four credential keys and refreshes the credential displays.
    bool SaveCredentials(const QString& login, const QString& password, const QString& database,
                         const QString& databaseSet);

    // Values the window shows and edits. A setter that changes a value emits changed().
    RelayMode Mode() const { return mode_; }
    Transport TransportChoice() const { return transport_; }
    const QString& SMTPServer() const { return smtpServer_; }
    const QString& ListenerPort() const { return listenPort_; }
    const QString& POPollInterval() const { return pollInterval_; }
    const QString& MaxLogSize() const { return maxLogSize_; }
    // 0 unchecked, 1 checked, 2 neither (a value written by hand).
    int AutoStart() const { return autoStart_; }
    const QString& LoginId() const { return btId_; }
    const QString& Database() const { return db_; }
    const QString& DatabaseSet() const { return dbSet_; }

    void SetMode(RelayMode mode);
    void SetTransport(Transport transport);
    void SetSMTPServer(const QString& text);
    void SetListenerPort(const QString& text);
    void SetPOPollInterval(const QString& text);
    void SetMaxLogSize(const QString& text);
    void SetAutoStart(int state);

    // The optional keys, read afresh from the file.
    SmtpSecurity SmtpSecurityOptions() const;

Q_SIGNALS:
    void changed();
    // Only the interval: editing it re-arms the poll.
    void pollIntervalEdited();

private:
    template <typename T>
    void assign(T& field, const T& value);

    IniServices ini_;
    RelayMode mode_ = RelayMode::Network;
    Transport transport_ = Transport::Smtp;
    QString smtpServer_, listenPort_, pollInterval_, maxLogSize_;
    int autoStart_ = 0;
    QString btId_, db_, dbSet_;
};

} // namespace swn
