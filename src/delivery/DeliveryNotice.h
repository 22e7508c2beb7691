#pragma once
// Delivery status notifications for the administrator: what failed for good or still waits, as a
// multipart/report any mail program can read (text, delivery status, the mail's headers). The
// MIME library stays behind this interface.
#include "delivery/Delivery.h"
#include "delivery/DeliveryContext.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace swn {

// What a notice tells of the mail it is about, read from its document.
struct NoticedMail {
    bool readable = false;   // the document could be read at all
    QString from;            // from_addr; empty: the mail had no sender to tell
    QStringList to, cc, bcc;
    QString subject;
    QString date;            // a Date or Message-ID the document's headers carry, as given
    QString messageId;
    QString admin;           // BTMailAdmin
    // The mail is itself a report or an automatic reply: nobody is told about it, so that two
    // systems never answer each other's notices.
    bool automatic = false;
    // Every envelope address of the mail, To, Cc and Bcc.
    QStringList recipients() const { return to + cc + bcc; }
};

// Reads what a notice needs; a document that cannot be read gives `readable` false.
NoticedMail ReadNoticedMail(const QByteArray& document, DocumentForm form = DocumentForm::Bytes);

enum class NoticeAction { Failed, Delayed };

struct NoticeRecipient {
    QString address;
    NoticeAction action = NoticeAction::Failed;
    QString reason; // the server's reply, or the relay's own text
    bool expired = false; // failed because it waited too long, not because it was refused
};

struct DeliveryNotice {
    QString to;               // who is told
    QString from;             // the relay's own address
    QString subject;          // of the notice, in the relay's language
    QString text;             // the human-readable part, in the relay's language
    QByteArray reportingHost; // Reporting-MTA
    QDateTime arrival;        // when the relay took the mail
    QDateTime willRetryUntil; // for a delayed mail: when the relay gives up
    NoticedMail mail;
    QList<NoticeRecipient> recipients;
};

// The notice as it goes out, every line ending in CRLF, with "Auto-Submitted: auto-replied".
QByteArray ComposeDeliveryNotice(const DeliveryNotice& notice);
// A plain text notice (the hour's summary), with the same marks of an automatic mail.
QByteArray ComposePlainNotice(const QString& to, const QString& from, const QString& subject, const QString& text);

// The enhanced status code a notice gives: the server's own when the reason carries one of the
// right class, else a fitting default (5.4.7 for a mail that waited too long, 5.0.0 or 4.0.0).
QString NoticeStatus(const NoticeRecipient& recipient);

// Sends a composed notice to one address with an empty envelope sender (MAIL FROM:<>), through
// the SMTP client directly. Empty on success, else why not.
QString SendNotice(const QString& serverText, const SmtpSecurity& security, const QString& to,
                   const QByteArray& message);

// The bare address of a text that holds exactly one mailbox ("a@b", "Name <a@b>"); empty when
// it holds none a notice could go to.
QString NoticeAddress(const QString& text);

} // namespace swn
