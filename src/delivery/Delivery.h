#pragma once
// The two mail transports and the staging area they share.
#include "delivery/DeliveryContext.h"
#include "delivery/DeliveryError.h"
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace swn {

// Who got a mail and who still needs it. A server may take a mail for some recipients and refuse
// or put off others; retrying the whole mail would send it twice to those who have it. The
// caller keeps `pending` with the document and passes it as `onlyRecipients` on the next attempt.
// Addresses are envelope addresses, as the server saw them.
struct DeliveryReport {
    DeliveryOutcome outcome = DeliveryOutcome::Delivered;
    QStringList delivered; // the server took the mail for these
    QStringList refused;   // refused for good (5xx): no retry can reach them
    QStringList pending;   // still need it; empty unless the outcome is RetryLater or ServerUnavailable
    QString reason;        // why it was not delivered (to everyone), one line for the log and failed/
    // The server (of those SMTPServer lists) that took the mail, as written there; empty for none.
    QString server;
    // Set when every server put the mail off with a quota or throttling reply (or rests after one):
    // not one of them is worth a try for this long, whatever the usual probe says. 0: no such wait.
    qint64 serverRestMs = 0;
};

// How a document's text is to be read. A document received over the network is bytes in the
// encoding its XML declaration names; a payload read from the tracker's store is text already
// (UTF-8 here), and the declaration it carries described a file before it became text.
enum class DocumentForm { Bytes, Text };

// SMTP transport. `document` is the XML mail document as bytes in its declared encoding, or with
// DocumentForm::Text as UTF-8 text whose declaration is not looked at. A character reference XML
// does not allow reads as U+FFFD and is logged once (message 189). A DeliveryError marked
// temporary is a fault of this host (temporary folder, disk, memory): keep the mail and retry.
// `attachmentList` is the staged attachment list: in network relay mode it is replaced by the list
// staged from the document, in post office relay mode it is used as passed. Every file named in
// the list is gone when the call returns, whatever the outcome. Throws DeliveryError for a failure
// before sending. `report`, when given, says who got the mail; `onlyRecipients`, when not empty,
// limits the envelope to those addresses (the report's `pending` of an earlier attempt).
// `allOrNothing`: the mail goes to all its recipients in one transaction or to none (MailRequest).
DeliveryOutcome DeliverXMLMailMsgViaCDO(DeliveryContext& context, const QByteArray& document,
                                        QString& attachmentList, DeliveryReport* report = nullptr,
                                        const QStringList& onlyRecipients = {},
                                        DocumentForm form = DocumentForm::Bytes, bool allOrNothing = false);

// Mail-component transport: the mail goes to the system's sendmail program (SendmailMessage).
// Throws DeliveryError for a document it cannot take apart; the document is read as for the SMTP
// transport.
DeliveryOutcome DeliverXMLMailMsgViaZorvix(DeliveryContext& context, const QByteArray& document,
                                           DeliveryReport* report = nullptr,
                                           DocumentForm form = DocumentForm::Bytes);

// Header entries ("name::value") the composer would refuse are logged with the reason (160 for a
// line break, 190 for anything else) and left out; the rest are returned in order.
QStringList AcceptedHeaderEntries(DeliveryContext& context, const QStringList& entries);

// The relay's private staging folder inside the system's temporary folder (mode 0700), made on
// first use and removed, with anything left in it, when the process exits.
QString StagingFolder();
// A new, empty file with a fresh random name in the staging folder (mode 0600); returns its path.
QString NewStagedFilePath();
// Deletes every file named in a staged attachment list; entries without a path are skipped.
void DeleteStagedFiles(const QString& attachmentList);

} // namespace swn
