#include "delivery/Transport.h"

#include <QElapsedTimer>

#include <new>

namespace swn {

DeliveryResult MailTransport::deliver(DeliveryContext& context, const DeliveryRequest& request) const
{
    DeliveryResult result;
    QElapsedTimer timer;
    timer.start();
    // A stop cuts short what is under way, and a mail cut short goes again at the next start:
    // nothing new begins once it has begun.
    if (context.Stopping()) {
        result.outcome = result.report.outcome = DeliveryOutcome::ServerUnavailable;
        result.report.reason = NotTriedWhileStopping();
        DeleteStagedFiles(request.attachments);
        return result;
    }
    try {
        result.outcome = send(context, request, &result.report);
    } catch (const DeliveryError& e) {
        // The document's own faults can never be mended by trying again; the host's can.
        result.outcome = e.temporary() ? DeliveryOutcome::RetryLater : DeliveryOutcome::FailedPermanently;
        result.error = e.text();
    } catch (const std::bad_alloc&) {
        result.outcome = DeliveryOutcome::RetryLater;
        result.error = QStringLiteral("out of memory");
    } catch (const std::exception& e) {
        result.outcome = DeliveryOutcome::RetryLater;
        result.error = QString::fromUtf8(e.what());
    }
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    return result;
}

DeliveryOutcome SmtpTransport::send(DeliveryContext& context, const DeliveryRequest& request, DeliveryReport* report) const
{
    QString attachments = request.attachments;
    return DeliverXMLMailMsgViaCDO(context, request.document, attachments, report, request.onlyRecipients, request.form,
                                   request.allOrNothing);
}

DeliveryOutcome SendmailTransport::send(DeliveryContext& context, const DeliveryRequest& request,
                                        DeliveryReport* report) const
{
    return DeliverXMLMailMsgViaZorvix(context, request.document, report, request.form);
}

std::shared_ptr<const MailTransport> ChooseTransport(Transport choice)
{
    // Neither keeps state of its own: one of each serves every thread.
    static const auto smtp = std::make_shared<const SmtpTransport>();
    static const auto sendmail = std::make_shared<const SendmailTransport>();
    if (choice == Transport::Sendmail)
        return sendmail;
    return smtp;
}

DeliveryResult DeliverDocument(Transport choice, DeliveryContext& context, const DeliveryRequest& request)
{
    return ChooseTransport(choice)->deliver(context, request);
}

} // namespace swn
