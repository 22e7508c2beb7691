#pragma once
// What a transport needs from the window that drives it. The main window implements it;
// tests implement it without a window.
#include "common/ActivityLog.h"

#include <QString>
#include <QtGlobal>

namespace swn {

// How a delivery ended, as far as the queue of the post office mode cares: only mail that was
// handed over, or that can never be delivered, may leave the queue.
enum class DeliveryOutcome {
    Delivered,          // the server (or the mail component) took the mail
    FailedPermanently,  // malformed document, permanent refusal: retrying cannot help
    RetryLater,         // a temporary refusal of this mail (4xx for the message or its recipients)
    ServerUnavailable,  // the server could not be reached, timed out, or refused the session or
                        // the sender: says nothing about the mail, and the next mail would fare the same
};

// An OAuth2 login (SASL XOAUTH2 or OAUTHBEARER): a token from the token endpoint's
// client-credentials grant, or the first line a command prints.
struct OAuthLogin {
    QString tokenUrl;      // https only
    QString clientId;
    QString clientSecret;
    QString scope;
    QString tokenCommand;  // run without a shell, instead of the endpoint
    bool Enabled() const { return !tokenUrl.isEmpty() || !tokenCommand.isEmpty(); }
};

// Transport security of the SMTP side, from the optional settings keys.
struct SmtpSecurity {
    enum class Mode { None, StartTls, Tls };
    Mode mode = Mode::None;
    QString user;      // authentication when not empty
    QString password;
    QString caFile;    // PEM file of trusted authorities; empty: the system's
    QString heloName;  // the EHLO argument; empty: the host's own name, or its address literal
    OAuthLogin oauth;  // enabled: the login is as `user` with a token, never with the password
    QString clientCertFile; // PEM certificate presented in TLS and STARTTLS; empty: none
    QString clientKeyFile;  // its PEM key; empty: in the certificate's file
};

// Why a mail was not tried: the relay began stopping before it started.
inline QString NotTriedWhileStopping() { return QStringLiteral("not tried: the relay was stopping"); }

inline bool IsTemporary(DeliveryOutcome o)
{
    return o == DeliveryOutcome::RetryLater || o == DeliveryOutcome::ServerUnavailable;
}

// Deliveries run on worker threads: every member may be called from any thread.
class DeliveryContext {
public:
    virtual ~DeliveryContext() = default;
    // One line of the activity log; never throws. A failed delivery is an error, a mail kept
    // for a later attempt or a refused client a warning, everything else information.
    virtual void AddLogText(const QString& message, LogPriority priority = LogPriority::Info) = 0;
    // Text of the SMTP server field, read afresh for every delivery ("host" or "host:port").
    virtual QString SMTPHostText() const = 0;
    // True when network relay mode is selected (the document then carries its attachments).
    virtual bool IsNetworkRelayMode() const = 0;
    // Adds to TotalCopiesCount / TotalRelaysCount; throws DeliveryError on 32-bit overflow.
    virtual void AdvanceCounters(qint32 copies, qint32 relays) = 0;
    // Adds to the numbers shown in the TotalCopies / TotalRelays fields.
    virtual void AdvanceDisplayedCounters(qint32 copies, qint32 relays) = 0;
    // Program of the system's sendmail interface, used by the mail component.
    virtual QString SendmailProgram() const = 0;
    // TLS and authentication towards the SMTP server.
    virtual SmtpSecurity SmtpSecurityOptions() const { return {}; }
    // Every complete reply the SMTP server gave, by its code, for the relay's metrics.
    virtual void SmtpReplyReceived(int code) { (void)code; }
    // The SMTP server (host:port) that took a mail, for the relay's metrics and log.
    virtual void SmtpServerTookMail(const QString& server) { (void)server; }
    // The relay is stopping: an exchange that has not begun must not begin, since a stop cuts
    // short what is under way and a mail cut short goes again at the next start. What would
    // have gone stays pending (kept, or left queued).
    virtual bool Stopping() const { return false; }
};

} // namespace swn
