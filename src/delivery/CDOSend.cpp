// The sender's entry: a request in, the message composed and sent, the outcome reported. The
// steps themselves are in smtp/.
#include "delivery/CDOSend.h"

#include "delivery/MimeComposer.h"
#include "delivery/smtp/SmtpInternal.h"

#include <memory>

namespace swn {

namespace {

// Removes the attachment files whatever way the send ends; files already opened were unlinked then.
struct AttachmentFiles {
    const QStringList& entries;
    ~AttachmentFiles()
    {
        for (const QString& entry : entries)
            DeleteStagedFiles(entry);
    }
};

} // namespace

DeliveryOutcome SendMailViaCDO(DeliveryContext& context, const MailRequest& request, DeliveryReport* report)
{
    AttachmentFiles files{request.attachmentEntries};
    DeliveryReport local;
    DeliveryReport& outcome = report ? *report : local;
    outcome = DeliveryReport();
    MimeMessageBuilder builder;
    smtp::ComposeMail(context, request, builder);

    // A mail without a sender the recipients can answer is never sent; no retry can mend it.
    if (const QString problem = builder.senderProblem(true); !problem.isEmpty())
        return smtp::RefuseMail(context, request, problem, outcome);
    const std::optional<QList<QByteArray>> recipients = smtp::EnvelopeRecipients(builder, request.onlyRecipients);
    // Everyone who still needed the mail has it: nothing is left to send.
    if (!recipients)
        return outcome.outcome;
    if (recipients->isEmpty())
        return smtp::RefuseMail(context, request, smtp::NoRecipientsText(), outcome);

    // Settings that cannot work keep the mail, untried, until they are corrected.
    const SmtpSecurity security = context.SmtpSecurityOptions();
    if (const QString problem = SmtpConfigurationProblem(request.serverText, security); !problem.isEmpty())
        return smtp::KeepForSettings(context, problem, *recipients, outcome);
    const QList<SmtpServerAddress> servers = ParseSmtpServerList(request.serverText, security.mode);
    const QByteArray sender = builder.envelopeSender();
    std::unique_ptr<ComposedMessage> message = builder.compose();

    const SmtpSendResult result = SendSmtp(servers, sender, *recipients, *message, security, &context,
                                           request.allOrNothing);
    return smtp::ReportSend(context, request, builder, result, outcome);
}

DeliveryOutcome SendMailViaCDO(DeliveryContext& context, const QString& fromAddr, const QStringList& toAddrs,
                               const QStringList& ccAddrs, const QStringList& bccAddrs, const QString& subject,
                               const QByteArray& body, bool isHTML, const QStringList& attachmentEntries,
                               const QStringList& headerEntries, const QString& serverText,
                               DeliveryReport* report, const QStringList& onlyRecipients)
{
    // The request holds copies: the caller may pass the `pending` of the very report this call fills.
    return SendMailViaCDO(context,
                          MailRequest{fromAddr, toAddrs, ccAddrs, bccAddrs, subject, body, isHTML, attachmentEntries,
                                      headerEntries, serverText, onlyRecipients},
                          report);
}

} // namespace swn
