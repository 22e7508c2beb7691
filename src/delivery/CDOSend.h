#pragma once
// The SMTP sender: composes one message from plain values and sends it to the SMTP server,
// without authentication.
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

// Composes and sends one message. Header entries are "name::value"; attachment entries are
// "display name||file path", each file deleted as soon as it is opened. A send failure is logged
// (message 142) and reflected in the result; a failure before sending throws DeliveryError.
// Every file named in `attachmentEntries` is gone when the call returns.
DeliveryOutcome SendMailViaCDO(DeliveryContext& context, const QString& fromAddr, const QStringList& toAddrs,
                               const QStringList& ccAddrs, const QStringList& bccAddrs, const QString& subject,
                               const QByteArray& body, bool isHTML, const QStringList& attachmentEntries,
                               const QStringList& headerEntries, const QString& serverText);

// The SMTP exchange itself. On failure `errorText` holds the server's last reply (when it gave
// one) and the client's description.
struct SmtpSendResult {
    bool sent = false;
    long replyCode = 0;  // last SMTP reply code, 0 when the server never answered
    QString errorText;
};
SmtpSendResult SendSmtp(const SmtpServerAddress& server, const QByteArray& envelopeSender,
                        const QList<QByteArray>& envelopeRecipients, ComposedMessage& message);

// How long a connection may take to open, and how long the server may stay silent. 30 s each;
// tests shorten them.
void SetSmtpTimeouts(int connectSeconds, int idleSeconds);

// True when the display name's extension makes the attachment an inline image of an HTML mail.
bool IsImageAttachmentName(const QString& displayName);

} // namespace swn
