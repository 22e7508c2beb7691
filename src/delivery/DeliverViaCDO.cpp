#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "delivery/MailDocument.h"
#include "delivery/MimeComposer.h"
#include "delivery/Staging.h"
#include "common/Catalogue.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace swn {

QStringList AcceptedHeaderEntries(DeliveryContext& context, const QStringList& entries)
{
    QStringList accepted;
    accepted.reserve(entries.size());
    for (const QString& entry : entries) {
        if (entry.isEmpty())
            continue;
        // The value is everything after the first "::", as the sender reads it.
        const qsizetype split = entry.indexOf(QLatin1String("::"));
        const QString name = split < 0 ? entry : entry.left(split);
        const QString value = split < 0 ? QString() : entry.mid(split + 2);
        const QString refusal = MimeMessageBuilder::HeaderRefusal(name, value);
        if (refusal.isEmpty()) {
            accepted.append(entry);
            continue;
        }
        const QString shown = MimeMessageBuilder::WithoutLineBreaks(name);
        // A line break has a text of its own in the catalogue; every other reason is named.
        const bool lineBreak = name.contains(QLatin1Char('\r')) || name.contains(QLatin1Char('\n')) ||
            value.contains(QLatin1Char('\r')) || value.contains(QLatin1Char('\n'));
        context.AddLogText(lineBreak ? BuildResourceMessage(msg::HeaderRefused, {shown})
                                     : BuildResourceMessage(msg::HeaderRefusedBecause, {shown, refusal}),
                           LogPriority::Warning);
    }
    return accepted;
}

namespace {

DeliveryOutcome Deliver(DeliveryContext& context, const QByteArray& document, QString& attachmentList,
                        DeliveryReport* report, const QStringList& only, DocumentForm form, bool allOrNothing)
{
    const bool networkRelay = context.IsNetworkRelayMode();
    // The files this delivery owns: the caller's in post office mode, the document's otherwise.
    // They are removed however the delivery ends, so no attachment lingers on disk.
    QString staged = networkRelay ? QString() : attachmentList;
    struct Cleanup {
        const QString& list;
        ~Cleanup() { DeleteStagedFiles(list); }
    } cleanup{staged};

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

    mail.HeaderEntries = AcceptedHeaderEntries(context, ReadHeaderEntries(root));
    if (networkRelay) {
        attachmentList.clear();
        staged = StageDocumentAttachments(root);
        attachmentList = staged;
    }
    loaded.release(); // the attachment text is in files now; no need to hold the tree while sending

    const DeliveryOutcome outcome = SendMailViaCDO(context,
                                                   MailRequest{.fromAddr = mail.FromAddr,
                                                               .to = mail.ToAddrs,
                                                               .cc = mail.CCAddrs,
                                                               .bcc = mail.BCCAddrs,
                                                               .subject = mail.Subject,
                                                               .body = mail.Body,
                                                               .isHTML = mail.IsHTML,
                                                               .attachmentEntries = SplitAttachmentList(staged),
                                                               .headerEntries = mail.HeaderEntries,
                                                               .serverText = context.SMTPHostText(),
                                                               .onlyRecipients = only,
                                                               .allOrNothing = allOrNothing},
                                                   report);

    context.AddLogText(BuildResourceMessage(msg::InstigatorAndRecipients, {mail.Instigator, mail.RecipientCount}));
    context.AdvanceDisplayedCounters(mail.RecipientCount, 1);
    return outcome;
}

} // namespace

DeliveryOutcome DeliverXMLMailMsgViaCDO(DeliveryContext& context, const QByteArray& document, QString& attachmentList,
                                        DeliveryReport* report, const QStringList& onlyRecipients, DocumentForm form,
                                        bool allOrNothing)
{
    // A copy: the caller may pass the `pending` of the very report this call fills.
    const QStringList only = onlyRecipients;
    if (report)
        *report = DeliveryReport();
    try {
        return Deliver(context, document, attachmentList, report, only, form, allOrNothing);
    } catch (const std::bad_alloc&) {
        // Memory is this host's to run out of, not the document's fault: the mail is kept.
        throw DeliveryError(QString::fromLocal8Bit(std::strerror(ENOMEM)), true);
    }
}

} // namespace swn
