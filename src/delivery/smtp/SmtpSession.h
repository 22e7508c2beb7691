#pragma once
// One SMTP session: a mail's envelope taken through as many transactions as the server needs,
// and what became of each recipient.
#include "delivery/DeliveryContext.h"
#include "delivery/smtp/SmtpSettings.h"
#include <QByteArray>
#include <QList>
#include <QString>

namespace swn {

class ComposedMessage;

// How the exchange ended for one envelope recipient.
enum class RecipientState {
    Delivered,    // the server took the mail for it
    Refused,      // a 5xx to its RCPT, to DATA or to the end of the data, or the mail is too large
    Deferred,     // a 4xx to the same
    Unconfirmed,  // no answer that settles it: server unreachable, silent, or it refused the session
};

struct RecipientResult {
    QByteArray address;
    RecipientState state = RecipientState::Unconfirmed;
    QString reason; // the server's reply that settled it and the command it answered, or the client's text
    // Unconfirmed after its data went out: the server may have the mail, so no other server gets it
    // in the same attempt.
    bool dataSent = false;
};

struct SmtpSendResult {
    bool sent = false;           // every recipient got the mail
    bool sessionFailed = false;  // unreachable, timed out, or the session or sender was refused
    long replyCode = 0;          // last SMTP reply code, 0 when the server never answered
    QString errorText;           // why the session or the message failed, when one did
    QList<RecipientResult> recipients; // one per envelope recipient, in the order given
    QString server;              // host:port of the first server that took the mail for anyone
    qint64 serverRestMs = 0;     // every server rests after a quota reply for at least this long
};

// The SMTP exchange itself, in as many transactions as the server's recipient limit needs.
// Recipients the server takes get the mail even when it refuses others. A login is never sent
// without TLS, nor the mail sent unauthenticated when a login is configured. `context`, when
// given, hears of every complete reply (SmtpReplyReceived). `allOrNothing`: one transaction,
// whose data goes only when every recipient not refused for good (5xx) was taken; a recipient put
// off (4xx) ends it before DATA, and every other one stays Deferred. A mail that needs more than
// one transaction is not sent.
SmtpSendResult SendSmtp(const SmtpServerAddress& server, const QByteArray& envelopeSender,
                        const QList<QByteArray>& envelopeRecipients, ComposedMessage& message,
                        const SmtpSecurity& security = {}, DeliveryContext* context = nullptr,
                        bool allOrNothing = false);
// The same through the first of `servers` that takes the mail. A server that cannot be reached
// or puts the mail off hands what it did not take to the next; a permanent refusal is final. A
// server that failed rests, and is passed over while another does not; one that named a quota is
// passed over until its rest ends, even when it is the only one.
SmtpSendResult SendSmtp(const QList<SmtpServerAddress>& servers, const QByteArray& envelopeSender,
                        const QList<QByteArray>& envelopeRecipients, ComposedMessage& message,
                        const SmtpSecurity& security = {}, DeliveryContext* context = nullptr,
                        bool allOrNothing = false);

} // namespace swn
