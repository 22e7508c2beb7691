#pragma once
// One mail for the SMTP sender, as plain values.
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace swn {

// Every member has an initializer, so a request may name only the members it sets.
struct MailRequest {
    QString fromAddr {};
    QStringList to {}, cc {}, bcc {};
    QString subject {};
    QByteArray body {};
    bool isHTML = false;
    // "display name||file path"; each file is deleted as soon as it is opened.
    QStringList attachmentEntries {};
    // "name::value"; the value is everything after the first "::".
    QStringList headerEntries {};
    QString serverText {};
    // Not empty: the mail goes to these envelope addresses only (headers unchanged), as a retry
    // after some recipients got it.
    QStringList onlyRecipients {};
    // The mail goes to all its recipients in one transaction or to none: no data is sent unless
    // the server took every recipient it did not refuse for good. For a sender that cannot keep
    // the mail for those put off, whose next attempt would reach the others twice.
    bool allOrNothing = false;
};

// True when the display name's extension makes the attachment an inline image of an HTML mail:
// exactly jpg, jpeg, gif, png or bmp, in any case.
bool IsImageAttachmentName(const QString& displayName);

} // namespace swn
