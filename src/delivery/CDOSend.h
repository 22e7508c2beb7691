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
    QByteArray host;
    int port = 25;
};

// "host" or "host:port"; an empty port part means 25. Throws DeliveryError (163) for a port part
// that is not a number from 1 to 65535.
SmtpServerAddress ParseSmtpServerText(const QString& serverText);

// Composes and sends one message. Header entries are "name::value" (the value is everything after
// the first "::"); attachment entries are "display name||file path", each file deleted as soon as
// it is opened. Every refused recipient, and a failure of the whole send, is logged (message 142)
// with the server's reply; a failure before sending throws DeliveryError. Every file named in
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
    Refused,      // a 5xx to its RCPT, to DATA or to the end of the data
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
// Recipients the server takes get the mail even when it refuses others.
SmtpSendResult SendSmtp(const SmtpServerAddress& server, const QByteArray& envelopeSender,
                        const QList<QByteArray>& envelopeRecipients, ComposedMessage& message,
                        const SmtpSecurity& security = {});

// How long a connection may take to open, and how long the server may stay silent. 30 s each;
// tests shorten them.
void SetSmtpTimeouts(int connectSeconds, int idleSeconds);

// True when the display name's extension makes the attachment an inline image of an HTML mail:
// exactly jpg, jpeg, gif, png or bmp, in any case.
bool IsImageAttachmentName(const QString& displayName);

} // namespace swn
