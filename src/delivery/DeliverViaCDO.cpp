#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "delivery/MailDocument.h"
#include "delivery/Staging.h"
#include "common/Catalogue.h"

namespace swn {

DeliveryOutcome DeliverXMLMailMsgViaCDO(DeliveryContext& context, const QByteArray& document, QString& attachmentList,
                                        DeliveryReport* report, const QStringList& onlyRecipients, DocumentForm form)
{
    // A copy: the caller may pass the `pending` of the very report this call fills.
    const QStringList only = onlyRecipients;
    if (report)
        *report = DeliveryReport();
    const bool networkRelay = context.IsNetworkRelayMode();
    // The files this delivery owns: the caller's in post office mode, the document's otherwise.
    // They are removed however the delivery ends, so no attachment lingers on disk.
    QString staged = networkRelay ? QString() : attachmentList;
    struct Cleanup {
        const QString& list;
        ~Cleanup() { DeleteStagedFiles(list); }
    } cleanup{staged};

    (void)form;
    LoadedMailDocument loaded = LoadMailDocument(document);
    if (!loaded.loaded()) {
        context.AddLogText(BuildResourceMessage(134, {loaded.failureReason}));
        if (report)
            report->outcome = DeliveryOutcome::FailedPermanently;
        return DeliveryOutcome::FailedPermanently;
    }
    const pugi::xml_node root = loaded.root;
    MailMsg mail;
    mail.Instigator = ReadElementText(root, "BTInstigator");
    mail.FromAddr = ReadElementText(root, "from_addr");
    mail.Subject = ReadElementText(root, "Subject");
    mail.Body = ReadElementTextUtf8(root, "Body");
    mail.IsHTML = ReadIsHTML(root);
    mail.ToAddrs = ReadAddressList(root, "ToList");
    mail.CCAddrs = ReadAddressList(root, "CCList");
    mail.BCCAddrs = ReadAddressList(root, "BCCList");
    mail.RecipientCount = CountRecipients(mail);

    // A document counts from here on, even if a later step fails.
    context.AdvanceCounters(mail.RecipientCount, 1);

    mail.HeaderEntries = ReadHeaderEntries(root);
    if (networkRelay) {
        attachmentList.clear();
        staged = StageDocumentAttachments(root);
        attachmentList = staged;
    }
    loaded.release(); // the attachment text is in files now; no need to hold the tree while sending

    const DeliveryOutcome outcome =
        SendMailViaCDO(context, mail.FromAddr, mail.ToAddrs, mail.CCAddrs, mail.BCCAddrs, mail.Subject, mail.Body,
                       mail.IsHTML, SplitAttachmentList(staged), mail.HeaderEntries, context.SMTPHostText(),
                       report, only);

    context.AddLogText(BuildResourceMessage(135, {mail.Instigator, mail.RecipientCount}));
    context.AdvanceDisplayedCounters(mail.RecipientCount, 1);
    return outcome;
}

} // namespace swn
