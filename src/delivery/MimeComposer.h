#pragma once
// Composition of one Internet mail from plain values, shared by both transports. The MIME
// library stays behind this interface.
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>

namespace swn {

enum class RecipientKind { To, Cc, Bcc };

// The bytes of a composed message (CRLF line ends), read from the start.
class ComposedMessage {
public:
    virtual ~ComposedMessage() = default;
    // Up to `size` bytes; 0 at the end, -1 on a read failure.
    virtual qint64 read(char* buffer, qint64 size) = 0;
    virtual qint64 size() const = 0;
    // Back to the first byte, for sending the same message once more; false when it cannot.
    virtual bool rewind() { return false; }
    QByteArray readAll();
};

class MimeMessageBuilder {
public:
    MimeMessageBuilder();
    ~MimeMessageBuilder();
    MimeMessageBuilder(const MimeMessageBuilder&) = delete;
    MimeMessageBuilder& operator=(const MimeMessageBuilder&) = delete;

    // Each entry may hold one address or several separated by commas, with or without display
    // names. Line breaks in any text that reaches a header are turned into blanks.
    void setFrom(const QString& entry, bool alsoSender);
    void setRecipients(RecipientKind kind, const QStringList& entries);
    // An extra header line. Refused (false, nothing changes) for the reasons HeaderRefusal gives.
    // Address and subject fields replace what was set before; a Date or Message-ID that is not
    // valid is replaced by the composer's own; the message's own MIME fields are left to the
    // composer and ignored here.
    bool addHeader(const QString& name, const QString& value);
    void setSubject(const QString& subject);
    // Every line of the body ends in CRLF in the message, a lone CR or LF included; a body with
    // lines over 998 octets, or with bytes beyond ASCII, is transfer-encoded.
    void setBody(const QByteArray& utf8, bool html);
    // Parts read from the open file `fd` when the message is composed; the builder closes it.
    // An HTML body's src, background and url() references to the display name are pointed at
    // the image's Content-ID. An attachment that is a message (".eml", or content that begins
    // like one) goes as message/rfc822 in 7bit or 8bit when its lines allow, else in base64 as
    // application/octet-stream.
    void addRelatedImage(const QString& displayName, int fd);
    void addAttachment(const QString& displayName, int fd);

    // Empty when the from address can stand in a mail: exactly one mailbox, with a domain when
    // `requireDomain`. Otherwise why not, for the log.
    QString senderProblem(bool requireDomain) const;

    // Envelope of the message: the sender's address (empty for none) and every To, Cc and Bcc
    // address once, in order. Both this and kindOf take time in proportion to the recipients.
    QByteArray envelopeSender() const;
    QList<QByteArray> envelopeRecipients() const;
    // The list an envelope recipient came from (the first, when it is in several).
    RecipientKind kindOf(const QByteArray& address) const;

    // Writes the message. Small ones stay in memory; one with large parts goes to an unlinked
    // file in the staging folder. Throws DeliveryError, temporary, when that file cannot be made
    // or written or an attachment file cannot be read.
    std::unique_ptr<ComposedMessage> compose();

    // Why addHeader refuses a header, for the log (message 190); empty when it takes it. A line
    // break in the name or value, a name that is not a header field name, or one too long for
    // any header line.
    static QString HeaderRefusal(const QString& name, const QString& value);
    static bool IsHeaderFieldName(const QString& name);
    static QString WithoutLineBreaks(QString text);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The host's fully qualified name when it has one with a dot, else "localhost.localdomain".
QByteArray HostDomain();

} // namespace swn
