#include "delivery/Delivery.h"
#include "delivery/MailDocument.h"
#include "delivery/ZorvixMailMsg.h"
#include "common/Catalogue.h"

namespace swn {

DeliveryOutcome DeliverXMLMailMsgViaZorvix(DeliveryContext& context, const QByteArray& document,
                                           DeliveryReport* report, DocumentForm form)
{
    (void)report;
    (void)form;
    LoadedMailDocument loaded = LoadMailDocument(document);
    if (!loaded.loaded()) {
        context.AddLogText(BuildResourceMessage(134, {loaded.failureReason}));
        return DeliveryOutcome::FailedPermanently;
    }
    ZorvixMailMsg mail(context.SendmailProgram());
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
    if (status != 1) {
        // What the program said goes with its code: the code alone rarely tells the cause.
        const QString said = mail.ErrorOutput();
        context.AddLogText(BuildResourceMessage(
            152, {said.isEmpty() ? QString::number(status) : QStringLiteral("%1 (%2)").arg(status).arg(said)}));
    }
    context.AdvanceDisplayedCounters(recipientCount, 1);

    if (status == 1)
        return DeliveryOutcome::Delivered;
    return ZorvixMailMsg::IsTemporaryFailure(status) ? DeliveryOutcome::RetryLater
                                                     : DeliveryOutcome::FailedPermanently;
}

} // namespace swn
