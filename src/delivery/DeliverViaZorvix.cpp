#include "delivery/Delivery.h"
#include "delivery/MailDocument.h"
#include "delivery/SendmailMessage.h"
#include "common/Catalogue.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace swn {

namespace {

DeliveryOutcome Deliver(DeliveryContext& context, const QByteArray& document, DeliveryReport* report,
                        DocumentForm form)
{
    LoadedMailDocument loaded = LoadMailDocument(document, form);
    if (!loaded.loaded()) {
        context.AddLogText(BuildResourceMessage(msg::DocumentNotLoaded, {loaded.failureReason}), LogPriority::Error);
        if (report) {
            report->outcome = DeliveryOutcome::FailedPermanently;
            report->reason = loaded.failureReason;
        }
        return DeliveryOutcome::FailedPermanently;
    }
    if (!loaded.replacedReference.isEmpty())
        context.AddLogText(BuildResourceMessage(msg::CharacterReferenceReplaced, {loaded.replacedReference}),
                           LogPriority::Warning);
    SendmailMessage mail(context.SendmailProgram());
    const pugi::xml_node root = loaded.root;
    mail.SetSender(ReadElementText(root, "from_addr"));
    mail.SetSubjectLine(ReadElementText(root, "Subject"));
    mail.SetBodyText(ReadElementText(root, "Body"));
    MailMsg counted;
    counted.ToAddrs = ReadAddressList(root, "ToList");
    for (const QString& address : counted.ToAddrs)
        mail.AddRecipientTo(address);
    counted.CCAddrs = ReadAddressList(root, "CCList");
    for (const QString& address : counted.CCAddrs)
        mail.AddRecipientCc(address);
    counted.BCCAddrs = ReadAddressList(root, "BCCList");
    for (const QString& address : counted.BCCAddrs)
        mail.AddRecipientBcc(address);
    loaded.release();

    const qint32 recipientCount = CountRecipients(counted);
    context.AdvanceCounters(recipientCount, 1);
    const qint32 status = mail.SubmitMessage();
    const DeliveryOutcome outcome = status == 1 ? DeliveryOutcome::Delivered
        : SendmailMessage::IsTemporaryFailure(status) ? DeliveryOutcome::RetryLater
                                                      : DeliveryOutcome::FailedPermanently;
    if (status != 1) {
        // What the program said goes with its code: the code alone rarely tells the cause.
        const QString said = mail.ErrorOutput();
        const QString code = said.isEmpty() ? QString::number(status) : QStringLiteral("%1 (%2)").arg(status).arg(said);
        context.AddLogText(BuildResourceMessage(msg::SendmailFailed, {code}),
                           IsTemporary(outcome) ? LogPriority::Warning : LogPriority::Error);
    }
    context.AdvanceDisplayedCounters(recipientCount, 1);
    if (report)
        report->outcome = outcome;
    return outcome;
}

} // namespace

DeliveryOutcome DeliverXMLMailMsgViaZorvix(DeliveryContext& context, const QByteArray& document,
                                           DeliveryReport* report, DocumentForm form)
{
    if (report)
        *report = DeliveryReport();
    try {
        return Deliver(context, document, report, form);
    } catch (const std::bad_alloc&) {
        // Memory is this host's to run out of, not the document's fault: the mail is kept.
        throw DeliveryError(QString::fromLocal8Bit(std::strerror(ENOMEM)), true);
    }
}

} // namespace swn
