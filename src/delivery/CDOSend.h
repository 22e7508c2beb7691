#pragma once
// The SMTP sender: composes one message from plain values and sends it to the SMTP server.
#include "delivery/Delivery.h"
#include "delivery/DeliveryContext.h"
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace swn {

class ComposedMessage;

struct SmtpServerAddress {
    QByteArray host;   // a name, or an address without brackets
    int port = 25;
    bool ipv6 = false; // the host is an IPv6 address (bracketed in the server text and in URLs)
};

// "host", "host:port", "[IPv6]" or "[IPv6]:port"; without a port 465 under implicit TLS, else 25.
// Throws DeliveryError (temporary, the text of message 188) for a text that cannot be read.
SmtpServerAddress ParseSmtpServerText(const QString& serverText,
                                      SmtpSecurity::Mode mode = SmtpSecurity::Mode::None);

// Empty when the server text and the security settings can be used; otherwise one line that
// says what is wrong and what to set (never the password), for message 188.
QString SmtpConfigurationProblem(const QString& serverText, const SmtpSecurity& security);

// Composes and sends one message. Header entries are "name::value" (the value is everything after
// the first "::"); attachment entries are "display name||file path", each file deleted as soon as
// it is opened. Every refused recipient, and a failure of the whole send, is logged (message 142:
// an error when refused for good, a warning when kept for later) with the server's reply; unusable
// SMTP settings are logged with message 188 and keep the mail (ServerUnavailable) without a
// connection. A failure before sending throws DeliveryError. Every file named in
// `attachmentEntries` is gone when the call returns. With `onlyRecipients` not empty the mail goes
// to those envelope addresses only (headers unchanged): a retry after some recipients got it.
DeliveryOutcome SendMailViaCDO(DeliveryContext& context, const QString& fromAddr, const QStringList& toAddrs,
                               const QStringList& ccAddrs, const QStringList& bccAddrs, const QString& subject,
                               const QByteArray& body, bool isHTML, const QStringList& attachmentEntries,
                               const QStringList& headerEntries, const QString& serverText,
                               DeliveryReport* report = nullptr, const QStringList& onlyRecipients = {});

// How the exchange ended for one envelope recipient.
enum class RecipientState {
    Delivered,    // the server took the mail for it
    Refused,      // a 5xx to its RCPT, to DATA or to the end of the data, or the mail is too large
    Deferred,     // a 4xx to the same
    Unconfirmed,  // no answer that settles it: server unreachable, silent, or it refused the session
};

struct RecipientResult {
    QByteArray address;
    RecipientState state = RecipientState::Unconfirmed;
    QString reason; // the server's reply that settled it and the command it answered, or the client's text
};

struct SmtpSendResult {
    bool sent = false;           // every recipient got the mail
    bool sessionFailed = false;  // unreachable, timed out, or the session or sender was refused
    long replyCode = 0;          // last SMTP reply code, 0 when the server never answered
    QString errorText;           // why the session or the message failed, when one did
    QList<RecipientResult> recipients; // one per envelope recipient, in the order given
};

// The SMTP exchange itself, in as many transactions as the server's recipient limit needs.
// Recipients the server takes get the mail even when it refuses others. A login is never sent
// without TLS, nor the mail sent unauthenticated when a login is configured. `context`, when
// given, hears of every complete reply (SmtpReplyReceived).
SmtpSendResult SendSmtp(const SmtpServerAddress& server, const QByteArray& envelopeSender,
                        const QList<QByteArray>& envelopeRecipients, ComposedMessage& message,
                        const SmtpSecurity& security = {}, DeliveryContext* context = nullptr);

// How long the client waits, in seconds. The defaults are RFC 5321's (4.5.3.2): 5 minutes for the
// greeting, MAIL and RCPT (and for EHLO, STARTTLS and AUTH), 2 for the reply to DATA, 3 for each
// block of the message data to be taken, 10 for the reply to the final "."; 30 s to connect.
struct SmtpTimeouts {
    int connectSeconds = 30;
    int greetingSeconds = 300;
    int mailSeconds = 300;
    int rcptSeconds = 300;
    int dataSeconds = 120;
    int blockSeconds = 180;
    int finalSeconds = 600;
    bool operator==(const SmtpTimeouts&) const = default;
};

// A seam for tests; the program keeps the defaults.
void SetSmtpTimeouts(const SmtpTimeouts& timeouts);
SmtpTimeouts CurrentSmtpTimeouts();
// Shorthand: every wait for the server, the final reply included, becomes `idleSeconds`.
void SetSmtpTimeouts(int connectSeconds, int idleSeconds);

// Ends every SMTP exchange under way now, on any thread, within about a second, as if the server
// had stopped answering: what it has not confirmed stays pending (ServerUnavailable) and the
// connection is closed. Exchanges that begin later are not affected.
void CancelSmtpTransfers();

// True when the display name's extension makes the attachment an inline image of an HTML mail:
// exactly jpg, jpeg, gif, png or bmp, in any case.
bool IsImageAttachmentName(const QString& displayName);

} // namespace swn
