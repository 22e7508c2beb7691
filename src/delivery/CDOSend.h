#pragma once
// The SMTP sender: composes one message from plain values and sends it to the SMTP server. Its
// parts are in smtp/; this is their public face.
#include "delivery/Delivery.h"
#include "delivery/DeliveryContext.h"
#include "delivery/smtp/MailRequest.h"
#include "delivery/smtp/SmtpSession.h"
#include "delivery/smtp/SmtpSettings.h"
#include "delivery/smtp/SmtpTimeouts.h"
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace swn {

// Composes and sends one message. Header entries are "name::value" (the value is everything after
// the first "::"); attachment entries are "display name||file path", each file deleted as soon as
// it is opened. Every refused recipient, and a failure of the whole send, is logged (message 142:
// an error when refused for good, a warning when kept for later) with the server's reply; unusable
// SMTP settings are logged with message 188 and keep the mail (ServerUnavailable) without a
// connection. A failure before sending throws DeliveryError. Every file named in the request's
// `attachmentEntries` is gone when the call returns. `report`, when given, says who got the mail.
DeliveryOutcome SendMailViaCDO(DeliveryContext& context, const MailRequest& request,
                               DeliveryReport* report = nullptr);

// The same with the mail's values one by one, in the order the sender has always taken them.
DeliveryOutcome SendMailViaCDO(DeliveryContext& context, const QString& fromAddr, const QStringList& toAddrs,
                               const QStringList& ccAddrs, const QStringList& bccAddrs, const QString& subject,
                               const QByteArray& body, bool isHTML, const QStringList& attachmentEntries,
                               const QStringList& headerEntries, const QString& serverText,
                               DeliveryReport* report = nullptr, const QStringList& onlyRecipients = {});

} // namespace swn
