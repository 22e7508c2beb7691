#include "delivery/MimeComposer.h"

#include "delivery/Delivery.h"
#include "delivery/DeliveryError.h"
#include "delivery/HtmlText.h"
#include "delivery/MailHeaders.h"
#include "delivery/Staging.h"
#include "delivery/TextEncoding.h"
#include "common/Catalogue.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QLocale>
#include <QMimeDatabase>
#include <QRandomGenerator>
#include <QUrl>

#include <gmime/gmime.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace swn {

namespace {

void InitMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

// Messages whose parts add up to more than this are written to a file instead of memory.
constexpr qint64 kInMemoryLimit = 1 << 20;
// A Content-Location longer than this would make a header line no reader has to accept; the
// Content-ID links the image all the same.
constexpr qsizetype kLongestLocation = 900;

class StreamMessage final : public ComposedMessage {
public:
    explicit StreamMessage(GMimeStream* stream) : stream_(stream) {}
    ~StreamMessage() override { g_object_unref(stream_); }
    qint64 read(char* buffer, qint64 size) override
    {
        const ssize_t n = g_mime_stream_read(stream_, buffer, size_t(size));
        return n < 0 ? -1 : qint64(n);
    }
    qint64 size() const override { return g_mime_stream_length(stream_); }
    bool rewind() override { return g_mime_stream_reset(stream_) == 0; }

private:
    GMimeStream* stream_;
};

// Entries as the parser reads them: every mailbox of every entry, groups opened up. An entry the
// parser makes nothing of stays one mailbox with the text as its address, so that the server
// judges it (and its refusal is logged) instead of the recipient silently vanishing.
void AppendEntry(QList<Mailbox>& target, const QString& entry)
{
    const QByteArray text = MimeMessageBuilder::WithoutLineBreaks(entry).trimmed().toUtf8();
    if (text.isEmpty())
        return; // an empty entry counts as a recipient but names nobody
    InternetAddressList* parsed = internet_address_list_parse(nullptr, text.constData());
    QList<Mailbox> found;
    std::function<void(InternetAddressList*)> collect = [&](InternetAddressList* list) {
        for (int i = 0; i < internet_address_list_length(list); ++i) {
            InternetAddress* address = internet_address_list_get_address(list, i);
            if (INTERNET_ADDRESS_IS_GROUP(address)) {
                collect(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)));
                continue;
            }
            const char* addr = internet_address_mailbox_get_idn_addr(INTERNET_ADDRESS_MAILBOX(address));
            if (!addr || !*addr)
                continue;
            const char* name = internet_address_get_name(address);
            found.append({name ? QString::fromUtf8(name) : QString(), QByteArray(addr)});
        }
    };
    if (parsed) {
        collect(parsed);
        g_object_unref(parsed);
    }
    if (found.isEmpty())
        found.append({QString(), text});
    target.append(found);
}

struct FilePart {
    QString displayName;
    int fd = -1;
};

QByteArray MimeTypeFor(const QString& displayName)
{
    const QMimeDatabase database;
    return database.mimeTypeForFile(displayName, QMimeDatabase::MatchExtension).name().toLatin1();
}

// The charset of a text file when its bytes show it: ASCII, UTF-8, or UTF-16 with its mark.
QByteArray CharsetOfFile(int fd)
{
    Utf8Validator validator;
    char buffer[65536];
    off_t offset = 0;
    bool first = true;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0)
            return {};
        if (n == 0)
            break;
        if (first && n >= 2 &&
            ((uchar(buffer[0]) == 0xFF && uchar(buffer[1]) == 0xFE) ||
             (uchar(buffer[0]) == 0xFE && uchar(buffer[1]) == 0xFF)))
            return "utf-16";
        first = false;
        if (!validator.feed(buffer, size_t(n)))
            return {};
        offset += n;
    }
    if (!validator.finish())
        return {};
    return validator.ascii() ? "us-ascii" : "utf-8";
}

// A part whose content streams from an open file, base64 encoded while the message is written.
GMimePart* NewFilePart(FilePart& file, const char* disposition)
{
    const QByteArray type = MimeTypeFor(file.displayName);
    const qsizetype slash = type.indexOf('/');
    GMimePart* part = slash > 0
        ? g_mime_part_new_with_type(type.left(slash).constData(), type.mid(slash + 1).constData())
        : g_mime_part_new_with_type("application", "octet-stream");
    if (type.startsWith("text/")) {
        const QByteArray charset = CharsetOfFile(file.fd);
        if (!charset.isEmpty())
            g_mime_object_set_content_type_parameter(GMIME_OBJECT(part), "charset", charset.constData());
    }
    GMimeStream* stream = g_mime_stream_fs_new(file.fd); // owns the descriptor from here on
    file.fd = -1;
    GMimeDataWrapper* content = g_mime_data_wrapper_new_with_stream(stream, GMIME_CONTENT_ENCODING_DEFAULT);
    g_mime_part_set_content(part, content);
    g_object_unref(content);
    g_object_unref(stream);
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
    g_mime_object_set_disposition(GMIME_OBJECT(part), disposition);
    const QByteArray name = MimeMessageBuilder::WithoutLineBreaks(file.displayName).toUtf8();
    g_mime_part_set_filename(part, name.constData()); // RFC 2231 parameters for non-ASCII names
    return part;
}

// A text part in UTF-8, in the narrowest transfer encoding its bytes allow.
GMimeObject* NewTextPart(const char* subtype, const QByteArray& utf8)
{
    GMimeTextPart* text = g_mime_text_part_new_with_subtype(subtype);
    // The text is UTF-8 already; g_mime_text_part_set_text would pick a narrower charset and recode it.
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(utf8.constData(), size_t(utf8.size()));
    GMimeDataWrapper* content = g_mime_data_wrapper_new_with_stream(stream, GMIME_CONTENT_ENCODING_DEFAULT);
    g_mime_part_set_content(GMIME_PART(text), content);
    g_object_unref(content);
    g_object_unref(stream);
    g_mime_text_part_set_charset(text, "utf-8");
    g_mime_part_set_content_encoding(GMIME_PART(text),
        g_mime_part_get_best_content_encoding(GMIME_PART(text), GMIME_ENCODING_CONSTRAINT_7BIT));
    return GMIME_OBJECT(text);
}

qint64 FileSize(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? qint64(st.st_size) : 0;
}

// The left side of a Message-ID or Content-ID: random, so no two mails or parts ever share one.
QByteArray NewIdLeft()
{
    quint64 random[2];
    QRandomGenerator::system()->fillRange(random);
    return QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex();
}

// A URI reference for Content-Location: non-ASCII and the characters a URI cannot hold
// percent-encoded, everything a file name commonly holds left readable.
QByteArray LocationFor(const QString& displayName)
{
    return QUrl::toPercentEncoding(MimeMessageBuilder::WithoutLineBreaks(displayName), "!$&'()*+,;=:@/");
}

bool IsMessageId(const QByteArray& value)
{
    if (value.size() < 5 || !value.startsWith('<') || !value.endsWith('>'))
        return false;
    const QByteArray inner = value.mid(1, value.size() - 2);
    const qsizetype at = inner.lastIndexOf('@');
    if (at <= 0)
        return false;
    // id-left is a dot-atom like a local part; id-right like a domain.
    return IsHeaderAddress(inner) && IsIdDomain(inner.mid(at + 1)) && !inner.startsWith('"');
}

// "Mon, 07 Dec 2026 17:29:07 +0100", in English whatever the locale.
QByteArray MailDate(const QDateTime& when)
{
    const int offset = when.offsetFromUtc() / 60;
    const int magnitude = offset < 0 ? -offset : offset;
    return QLocale::c().toString(when, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss ")).toLatin1() +
        (offset < 0 ? '-' : '+') + QByteArray::number(magnitude / 60).rightJustified(2, '0') +
        QByteArray::number(magnitude % 60).rightJustified(2, '0');
}

bool IsAscii(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() >= 0x7F)
            return false;
    return true;
}

} // namespace

QByteArray HostDomain()
{
    static std::once_flag once;
    static QByteArray domain;
    std::call_once(once, [] {
        char name[256] = {};
        QByteArray host;
        if (::gethostname(name, sizeof name - 1) == 0)
            host = QByteArray(name);
        if (!host.isEmpty() && !host.contains('.')) {
            addrinfo hints {};
            hints.ai_flags = AI_CANONNAME;
            addrinfo* found = nullptr;
            if (::getaddrinfo(name, nullptr, &hints, &found) == 0 && found) {
                if (found->ai_canonname)
                    host = QByteArray(found->ai_canonname);
                ::freeaddrinfo(found);
            }
        }
        host = host.toLower();
        domain = host.contains('.') && IsIdDomain(host) ? host : QByteArray("localhost.localdomain");
    });
    return domain;
}

struct MimeMessageBuilder::Impl {
    QString fromEntry;
    QList<Mailbox> from, sender, to, cc, bcc, replyTo;
    QString subject;
    QByteArray body;
    bool html = false;
    QByteArray date, messageId;
    std::vector<std::pair<QByteArray, QString>> headers;
    std::vector<FilePart> related, attachments;

    ~Impl()
    {
        for (auto* parts : {&related, &attachments})
            for (const FilePart& part : *parts)
                if (part.fd >= 0)
                    ::close(part.fd);
    }

    QList<Mailbox>& list(RecipientKind kind)
    {
        return kind == RecipientKind::To ? to : kind == RecipientKind::Cc ? cc : bcc;
    }

    // Identifiers are made in the sender's domain; a sender without one uses the host's.
    QByteArray idDomain() const
    {
        if (from.size() == 1) {
            const QByteArray domain = DomainOf(from.first().addr).toLower();
            if (!domain.isEmpty() && IsIdDomain(domain))
                return domain;
        }
        return HostDomain();
    }
};

QByteArray ComposedMessage::readAll()
{
    QByteArray all;
    char buffer[65536];
    qint64 n;
    while ((n = read(buffer, sizeof buffer)) > 0)
        all.append(buffer, n);
    return all;
}

MimeMessageBuilder::MimeMessageBuilder()
{
    InitMime();
    d = std::make_unique<Impl>();
}

MimeMessageBuilder::~MimeMessageBuilder() = default;

QString MimeMessageBuilder::WithoutLineBreaks(QString text)
{
    for (QChar& c : text)
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n'))
            c = QLatin1Char(' ');
    return text;
}

bool MimeMessageBuilder::IsHeaderFieldName(const QString& name)
{
    if (name.isEmpty())
        return false;
    for (QChar c : name)
        if (c.unicode() < 33 || c.unicode() > 126 || c == QLatin1Char(':'))
            return false;
    return true;
}

void MimeMessageBuilder::setFrom(const QString& entry, bool alsoSender)
{
    d->fromEntry = entry;
    d->from.clear();
    AppendEntry(d->from, entry);
    d->sender.clear();
    if (alsoSender)
        AppendEntry(d->sender, entry);
}

void MimeMessageBuilder::setRecipients(RecipientKind kind, const QStringList& entries)
{
    QList<Mailbox>& list = d->list(kind);
    list.clear();
    for (const QString& entry : entries)
        AppendEntry(list, entry);
}

bool MimeMessageBuilder::addHeader(const QString& name, const QString& value)
{
    if (!IsHeaderFieldName(name) || value.contains(QLatin1Char('\r')) || value.contains(QLatin1Char('\n')))
        return false;
    const QString key = name.toLower();
    if (key == QLatin1String("from") || key == QLatin1String("sender") || key == QLatin1String("to") ||
        key == QLatin1String("cc") || key == QLatin1String("bcc") || key == QLatin1String("reply-to")) {
        QList<Mailbox>& list = key == QLatin1String("from") ? d->from
            : key == QLatin1String("sender")                ? d->sender
            : key == QLatin1String("to")                    ? d->to
            : key == QLatin1String("cc")                    ? d->cc
            : key == QLatin1String("bcc")                   ? d->bcc
                                                            : d->replyTo;
        list.clear();
        AppendEntry(list, value);
        if (key == QLatin1String("from"))
            d->fromEntry = value;
    } else if (key == QLatin1String("subject")) {
        d->subject = value;
    } else if (key == QLatin1String("date")) {
        // A date readers cannot take is worse than none: the composer's own stands instead.
        const QString trimmed = value.trimmed();
        d->date = IsAscii(trimmed) && QDateTime::fromString(trimmed, Qt::RFC2822Date).isValid() ? trimmed.toLatin1()
                                                                                                 : QByteArray();
    } else if (key == QLatin1String("message-id")) {
        QByteArray id = value.trimmed().toUtf8();
        if (!id.startsWith('<'))
            id = '<' + id + '>';
        d->messageId = IsMessageId(id) ? id : QByteArray();
    } else if (key == QLatin1String("mime-version") || key.startsWith(QLatin1String("content-"))) {
        // The structure of the message is the composer's; a second Content-Type would contradict it.
    } else {
        d->headers.emplace_back(name.toLatin1(), value);
    }
    return true;
}

void MimeMessageBuilder::setSubject(const QString& subject)
{
    d->subject = WithoutLineBreaks(subject);
}

void MimeMessageBuilder::setBody(const QByteArray& utf8, bool html)
{
    d->body = utf8;
    d->html = html;
}

void MimeMessageBuilder::addRelatedImage(const QString& displayName, int fd)
{
    d->related.push_back({displayName, fd});
}

void MimeMessageBuilder::addAttachment(const QString& displayName, int fd)
{
    d->attachments.push_back({displayName, fd});
}

QString MimeMessageBuilder::senderProblem(bool requireDomain) const
{
    const QString entry = WithoutLineBreaks(d->fromEntry).trimmed();
    if (d->from.isEmpty())
        return entry.isEmpty() ? QStringLiteral("the from address is empty")
                               : QStringLiteral("the from address '%1' is not an address").arg(entry);
    if (d->from.size() > 1)
        return QStringLiteral("the from address '%1' names more than one mailbox").arg(entry);
    const QByteArray addr = d->from.first().addr;
    if (IsHeaderAddress(addr))
        return {};
    // A local user name is enough for the system's own mail program, which adds the domain.
    const bool localName = !requireDomain && !addr.contains('@') && IsHeaderAddress(addr + "@localhost");
    if (localName)
        return {};
    return requireDomain ? QStringLiteral("the from address '%1' is not an address with a domain").arg(entry)
                         : QStringLiteral("the from address '%1' is not an address").arg(entry);
}

QByteArray MimeMessageBuilder::envelopeSender() const
{
    // A Sender line of the document that is no address must not put a bad MAIL FROM on the wire.
    if (!d->sender.isEmpty() && IsHeaderAddress(d->sender.first().addr))
        return d->sender.first().addr;
    return d->from.isEmpty() ? QByteArray() : d->from.first().addr;
}

QList<QByteArray> MimeMessageBuilder::envelopeRecipients() const
{
    QList<QByteArray> unique;
    for (const QList<Mailbox>* list : {&d->to, &d->cc, &d->bcc})
        for (const Mailbox& mailbox : *list)
            if (!unique.contains(mailbox.addr))
                unique.append(mailbox.addr);
    return unique;
}

RecipientKind MimeMessageBuilder::kindOf(const QByteArray& address) const
{
    for (RecipientKind kind : {RecipientKind::To, RecipientKind::Cc, RecipientKind::Bcc})
        for (const Mailbox& mailbox : d->list(kind))
            if (mailbox.addr == address)
                return kind;
    return RecipientKind::To;
}

std::unique_ptr<ComposedMessage> MimeMessageBuilder::compose()
{
    const QByteArray domain = d->idDomain();

    // Inline images get their Content-IDs first, so that the HTML can point at them.
    QHash<QString, QString> contentIds;
    std::vector<QByteArray> imageIds;
    for (const FilePart& image : d->related) {
        const QByteArray id = NewIdLeft() + '@' + domain;
        imageIds.push_back(id);
        if (!contentIds.contains(image.displayName))
            contentIds.insert(image.displayName, QString::fromLatin1(id));
    }
    GMimeObject* body = nullptr;
    if (d->html) {
        const QString html = QString::fromUtf8(d->body);
        QByteArray htmlBytes = d->body;
        if (!contentIds.isEmpty()) {
            QString linked = html;
            if (LinkInlineImages(linked, contentIds) > 0)
                htmlBytes = linked.toUtf8();
        }
        // Readers that show no HTML, and filters that weigh a mail by its text, get the same
        // words as plain text.
        GMimeMultipart* alternative = g_mime_multipart_new_with_subtype("alternative");
        GMimeObject* plain = NewTextPart("plain", HtmlToPlainText(html).toUtf8());
        GMimeObject* rich = NewTextPart("html", htmlBytes);
        g_mime_multipart_add(alternative, plain);
        g_mime_multipart_add(alternative, rich);
        g_object_unref(plain);
        g_object_unref(rich);
        body = GMIME_OBJECT(alternative);
    } else {
        body = NewTextPart("plain", d->body);
    }

    qint64 partBytes = d->body.size();
    if (!d->related.empty()) {
        GMimeMultipart* related = g_mime_multipart_new_with_subtype("related");
        g_mime_object_set_content_type_parameter(GMIME_OBJECT(related), "type",
                                                 d->html ? "multipart/alternative" : "text/plain");
        g_mime_multipart_add(related, body);
        g_object_unref(body);
        for (size_t i = 0; i < d->related.size(); ++i) {
            FilePart& image = d->related[i];
            partBytes += FileSize(image.fd);
            GMimePart* part = NewFilePart(image, GMIME_DISPOSITION_INLINE);
            g_mime_object_set_content_id(GMIME_OBJECT(part), imageIds[i].constData());
            // Readers that resolve images by location still find them under the display name.
            const QByteArray location = LocationFor(image.displayName);
            if (!location.isEmpty() && location.size() <= kLongestLocation)
                g_mime_object_set_header(GMIME_OBJECT(part), "Content-Location", location.constData(), nullptr);
            g_mime_multipart_add(related, GMIME_OBJECT(part));
            g_object_unref(part);
        }
        body = GMIME_OBJECT(related);
    }
    if (!d->attachments.empty()) {
        GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
        g_mime_multipart_add(mixed, body);
        g_object_unref(body);
        for (FilePart& attachment : d->attachments) {
            partBytes += FileSize(attachment.fd);
            GMimePart* part = NewFilePart(attachment, GMIME_DISPOSITION_ATTACHMENT);
            g_mime_multipart_add(mixed, GMIME_OBJECT(part));
            g_object_unref(part);
        }
        body = GMIME_OBJECT(mixed);
    }

    // The message's own header lines are written here rather than by the MIME library, whose
    // encoded words grow past the length readers accept.
    QByteArray head = AddressField("From", d->from);
    if (!d->sender.isEmpty())
        head += AddressField("Sender", d->sender.mid(0, 1));
    if (!d->replyTo.isEmpty())
        head += AddressField("Reply-To", d->replyTo);
    const QByteArray to = AddressField("To", d->to);
    const QByteArray cc = AddressField("Cc", d->cc);
    head += to + cc;
    // Bcc recipients are envelope recipients only; they never appear in the message.
    if (to.isEmpty() && cc.isEmpty())
        head += "To: undisclosed-recipients:;\r\n";
    if (!d->subject.trimmed().isEmpty())
        head += UnstructuredField("Subject", d->subject);
    head += VerbatimField("Date", d->date.isEmpty() ? MailDate(QDateTime::currentDateTime()) : d->date);
    head += VerbatimField("Message-ID", d->messageId.isEmpty() ? '<' + NewIdLeft() + '@' + domain + '>' : d->messageId);
    for (const auto& [name, value] : d->headers)
        if (!value.trimmed().isEmpty())
            head += UnstructuredField(name, value);
    head += "MIME-Version: 1.0\r\n";

    GMimeStream* out = nullptr;
    if (partBytes > kInMemoryLimit) {
        QString path;
        int fd = -1;
        try {
            fd = CreateStagedFile(path);
        } catch (...) {
            g_object_unref(body);
            throw;
        }
        ::unlink(QFile::encodeName(path).constData()); // lives on only through the descriptor
        out = g_mime_stream_fs_new(fd);
    } else {
        out = g_mime_stream_mem_new();
    }
    GMimeFormatOptions* options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    const bool written = g_mime_stream_write(out, head.constData(), size_t(head.size())) == ssize_t(head.size()) &&
        g_mime_object_write_to_stream(body, options, out) >= 0 && g_mime_stream_flush(out) == 0;
    const int error = errno;
    g_mime_format_options_free(options);
    g_object_unref(body); // closes the attachment files
    if (!written) {
        g_object_unref(out);
        throw DeliveryError(BuildResourceMessage(msg::AttachmentNotStaged,
                                                 {StagingFolder(), QString::fromLocal8Bit(std::strerror(error))}));
    }
    g_mime_stream_reset(out);
    return std::make_unique<StreamMessage>(out);
}

} // namespace swn
