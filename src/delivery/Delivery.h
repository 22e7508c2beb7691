#pragma once
// The two mail transports and the staging area they share.
#include "delivery/DeliveryContext.h"
#include "delivery/DeliveryError.h"
#include <QByteArray>
#include <QString>

namespace swn {

// SMTP transport. `document` is the XML mail document as UTF-8 bytes. `attachmentList` is the
// staged attachment list: in network relay mode it is replaced by the list staged from the
// document, in post office relay mode it is used as passed. Every file named in the list is gone
// when the call returns, whatever the outcome. Throws DeliveryError for a failure before sending.
DeliveryOutcome DeliverXMLMailMsgViaCDO(DeliveryContext& context, const QByteArray& document,
                                        QString& attachmentList);

// Mail-component transport. Throws DeliveryError for a document it cannot take apart.
DeliveryOutcome DeliverXMLMailMsgViaZorvix(DeliveryContext& context, const QByteArray& document);

// The relay's private staging folder inside the system's temporary folder (mode 0700), made on
// first use and removed, with anything left in it, when the process exits.
QString StagingFolder();
// A new, empty file with a fresh random name in the staging folder (mode 0600); returns its path.
QString NewStagedFilePath();
// Deletes every file named in a staged attachment list; entries without a path are skipped.
void DeleteStagedFiles(const QString& attachmentList);

} // namespace swn
