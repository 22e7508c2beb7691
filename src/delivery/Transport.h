#pragma once
// The way a document goes out, chosen once: both modes hand a document to a transport and get
// back one result, whatever the transport threw.
#include "delivery/Delivery.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

namespace swn {

// The transport setting: SMTP, or the mail component; None when the stored value is not known.
enum class Transport { None, Smtp, Sendmail };

// One document to deliver.
struct DeliveryRequest {
    QByteArray document;
    DocumentForm form = DocumentForm::Bytes;
    // The staged attachment list of a post office record (SMTP only); empty in network relay mode,
    // where the document carries its attachments.
    QString attachments;
    // Not empty: the only recipients that still need the mail.
    QStringList onlyRecipients;
    // The mail goes to every recipient or to none (those refused for good aside): for a sender
    // that could not keep it for the recipients a server puts off, since a later attempt would
    // reach the others twice.
    bool allOrNothing = false;
};

// How one delivery ended.
struct DeliveryResult {
    DeliveryOutcome outcome = DeliveryOutcome::Delivered;
    QString error;          // a failure before sending, for the log
    DeliveryReport report;  // who got it, and who still needs it
    double seconds = 0;     // spent in the transport
};

class MailTransport {
public:
    virtual ~MailTransport() = default;
    // Delivers, timed; whatever the transport throws becomes an outcome with its text. May run on
    // any thread.
    DeliveryResult deliver(DeliveryContext& context, const DeliveryRequest& request) const;
    // True when a mail can never go to some recipients and not to others (one submission):
    // the request's allOrNothing then changes nothing.
    virtual bool allOrNothingByNature() const { return false; }

protected:
    // The transport itself: may throw DeliveryError (temporary or not) or anything else.
    virtual DeliveryOutcome send(DeliveryContext& context, const DeliveryRequest& request,
                                 DeliveryReport* report) const = 0;
};

// SMTP through DeliverXMLMailMsgViaCDO.
class SmtpTransport : public MailTransport {
protected:
    DeliveryOutcome send(DeliveryContext& context, const DeliveryRequest& request, DeliveryReport* report) const override;
};

// The mail component through DeliverXMLMailMsgViaZorvix; it always sends to every recipient.
class SendmailTransport : public MailTransport {
public:
    bool allOrNothingByNature() const override { return true; }

protected:
    DeliveryOutcome send(DeliveryContext& context, const DeliveryRequest& request, DeliveryReport* report) const override;
};

// The transport for a setting; neither selected goes through SMTP, so no document is taken and
// then dropped.
std::shared_ptr<const MailTransport> ChooseTransport(Transport choice);
// ChooseTransport(choice)->deliver(context, request).
DeliveryResult DeliverDocument(Transport choice, DeliveryContext& context, const DeliveryRequest& request);

} // namespace swn
