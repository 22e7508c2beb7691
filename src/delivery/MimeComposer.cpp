#include "delivery/MimeComposer.h"

#include "delivery/Delivery.h"
#include "delivery/DeliveryError.h"
#include "delivery/Staging.h"
#include "common/Catalogue.h"

#include <QFile>
#include <QMimeDatabase>

#include <gmime/gmime.h>

#include <cerrno>
#include <cstring>
#include <mutex>
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

private:
    GMimeStream* stream_;
};

struct AddressList {
    InternetAddressList* list = internet_address_list_new();
    AddressList() = default;
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList() { g_object_unref(list); }
    void clear() { internet_address_list_clear(list); }
    bool empty() const { return internet_address_list_length(list) == 0; }
};

void AppendEntry(AddressList& target, const QString& entry)
{
    const QByteArray text = MimeMessageBuilder::WithoutLineBreaks(entry).trimmed().toUtf8();
    if (text.isEmpty())
        return; // an empty entry counts as a recipient but names nobody
    InternetAddressList* parsed = internet_address_list_parse(nullptr, text.constData());
    if (parsed && internet_address_list_length(parsed) > 0) {
        internet_address_list_append(target.list, parsed);
    } else {
        // Not an address the parser understands: hand it on as it is and let the server judge it.
        InternetAddress* mailbox = internet_address_mailbox_new(nullptr, text.constData());
        internet_address_list_add(target.list, mailbox);
        g_object_unref(mailbox);
    }
    if (parsed)
        g_object_unref(parsed);
}

void CollectMailboxes(InternetAddressList* list, QList<QByteArray>& out)
{
    for (int i = 0; i < internet_address_list_length(list); ++i) {
        InternetAddress* address = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(address)) {
            CollectMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out);
            continue;
        }
        const char* addr = internet_address_mailbox_get_idn_addr(INTERNET_ADDRESS_MAILBOX(address));
        if (addr && *addr)
            out.append(QByteArray(addr));
    }
}

struct FilePart {
    QString displayName;
    int fd = -1;
};

QByteArray MimeTypeFor(const QString& displayName)
{
    static const QMimeDatabase database;
    return database.mimeTypeForFile(displayName, QMimeDatabase::MatchExtension).name().toLatin1();
}

// A part whose content streams from an open file, base64 encoded while the message is written.
GMimePart* NewFilePart(FilePart& file, const char* disposition)
{
    const QByteArray type = MimeTypeFor(file.displayName);
    const qsizetype slash = type.indexOf('/');
    GMimePart* part = slash > 0
        ? g_mime_part_new_with_type(type.left(slash).constData(), type.mid(slash + 1).constData())
        : g_mime_part_new_with_type("application", "octet-stream");
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

qint64 FileSize(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? qint64(st.st_size) : 0;
}

} // namespace

struct MimeMessageBuilder::Impl {
    AddressList from, sender, to, cc, bcc;
    QByteArray subject;
    QByteArray body;
    bool html = false;
    QByteArray date, messageId;
    std::vector<std::pair<QByteArray, QByteArray>> headers;
    std::vector<FilePart> related, attachments;

    ~Impl()
    {
        for (auto* parts : {&related, &attachments})
            for (const FilePart& part : *parts)
                if (part.fd >= 0)
                    ::close(part.fd);
    }

    AddressList& list(RecipientKind kind)
    {
        return kind == RecipientKind::To ? to : kind == RecipientKind::Cc ? cc : bcc;
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
    d->from.clear();
    AppendEntry(d->from, entry);
    d->sender.clear();
    if (alsoSender)
        AppendEntry(d->sender, entry);
}

void MimeMessageBuilder::setRecipients(RecipientKind kind, const QStringList& entries)
{
    AddressList& list = d->list(kind);
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
        key == QLatin1String("cc") || key == QLatin1String("bcc")) {
        AddressList& list = key == QLatin1String("from") ? d->from
            : key == QLatin1String("sender")             ? d->sender
            : key == QLatin1String("to")                 ? d->to
            : key == QLatin1String("cc")                 ? d->cc
                                                         : d->bcc;
        list.clear();
        AppendEntry(list, value);
    } else if (key == QLatin1String("subject")) {
        d->subject = value.toUtf8();
    } else if (key == QLatin1String("date")) {
        d->date = value.toUtf8();
    } else if (key == QLatin1String("message-id")) {
        d->messageId = value.toUtf8();
    } else if (key == QLatin1String("mime-version") || key.startsWith(QLatin1String("content-"))) {
        // The structure of the message is the composer's; a second Content-Type would contradict it.
    } else {
        d->headers.emplace_back(name.toLatin1(), value.toUtf8());
    }
    return true;
}

void MimeMessageBuilder::setSubject(const QString& subject)
{
    d->subject = WithoutLineBreaks(subject).toUtf8();
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

QByteArray MimeMessageBuilder::envelopeSender() const
{
    QList<QByteArray> addresses;
    CollectMailboxes(d->sender.empty() ? d->from.list : d->sender.list, addresses);
    return addresses.isEmpty() ? QByteArray() : addresses.first();
}

QList<QByteArray> MimeMessageBuilder::envelopeRecipients() const
{
    QList<QByteArray> all;
    for (const AddressList* list : {&d->to, &d->cc, &d->bcc})
        CollectMailboxes(list->list, all);
    QList<QByteArray> unique;
    for (const QByteArray& address : all)
        if (!unique.contains(address))
            unique.append(address);
    return unique;
}

std::unique_ptr<ComposedMessage> MimeMessageBuilder::compose()
{
    GMimeMessage* message = g_mime_message_new(FALSE);
    GMimeObject* object = GMIME_OBJECT(message);
    internet_address_list_append(g_mime_message_get_from(message), d->from.list);
    internet_address_list_append(g_mime_message_get_sender(message), d->sender.list);
    internet_address_list_append(g_mime_message_get_to(message), d->to.list);
    internet_address_list_append(g_mime_message_get_cc(message), d->cc.list);
    // Bcc recipients are envelope recipients only; they never appear in the message.
    g_mime_message_set_subject(message, d->subject.constData(), "utf-8");
    if (!d->date.isEmpty()) {
        g_mime_object_set_header(object, "Date", d->date.constData(), "utf-8");
    } else {
        GDateTime* now = g_date_time_new_now_local();
        g_mime_message_set_date(message, now);
        g_date_time_unref(now);
    }
    if (!d->messageId.isEmpty()) {
        g_mime_object_set_header(object, "Message-ID", d->messageId.constData(), "utf-8");
    } else {
        char* id = g_mime_utils_generate_message_id(nullptr);
        g_mime_message_set_message_id(message, id);
        g_free(id);
    }
    for (const auto& [name, value] : d->headers)
        g_mime_object_append_header(object, name.constData(), value.constData(), "utf-8");

    qint64 partBytes = d->body.size();
    GMimeTextPart* text = g_mime_text_part_new_with_subtype(d->html ? "html" : "plain");
    // The body is UTF-8 already; g_mime_text_part_set_text would pick a narrower charset and recode it.
    GMimeStream* bodyStream = g_mime_stream_mem_new_with_buffer(d->body.constData(), size_t(d->body.size()));
    GMimeDataWrapper* bodyContent = g_mime_data_wrapper_new_with_stream(bodyStream, GMIME_CONTENT_ENCODING_DEFAULT);
    g_mime_part_set_content(GMIME_PART(text), bodyContent);
    g_object_unref(bodyContent);
    g_object_unref(bodyStream);
    g_mime_text_part_set_charset(text, "utf-8");
    g_mime_part_set_content_encoding(GMIME_PART(text),
        g_mime_part_get_best_content_encoding(GMIME_PART(text), GMIME_ENCODING_CONSTRAINT_7BIT));
    GMimeObject* body = GMIME_OBJECT(text);

    if (!d->related.empty()) {
        GMimeMultipart* related = g_mime_multipart_new_with_subtype("related");
        g_mime_object_set_content_type_parameter(GMIME_OBJECT(related), "type", d->html ? "text/html" : "text/plain");
        g_mime_multipart_add(related, body);
        g_object_unref(body);
        for (FilePart& image : d->related) {
            partBytes += FileSize(image.fd);
            GMimePart* part = NewFilePart(image, GMIME_DISPOSITION_INLINE);
            // The HTML body refers to the image by its display name.
            const QByteArray location = WithoutLineBreaks(image.displayName).toUtf8();
            g_mime_object_set_header(GMIME_OBJECT(part), "Content-Location", location.constData(), "utf-8");
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
    g_mime_message_set_mime_part(message, body);
    g_object_unref(body);

    GMimeStream* out = nullptr;
    if (partBytes > kInMemoryLimit) {
        QString path;
        int fd = -1;
        try {
            fd = CreateStagedFile(path);
        } catch (...) {
            g_object_unref(message);
            throw;
        }
        ::unlink(QFile::encodeName(path).constData()); // lives on only through the descriptor
        out = g_mime_stream_fs_new(fd);
    } else {
        out = g_mime_stream_mem_new();
    }
    GMimeFormatOptions* options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    const bool written = g_mime_object_write_to_stream(object, options, out) >= 0 && g_mime_stream_flush(out) == 0;
    const int error = errno;
    g_mime_format_options_free(options);
    g_object_unref(message); // closes the attachment files
    if (!written) {
        g_object_unref(out);
        throw DeliveryError(BuildResourceMessage(msg::AttachmentNotStaged,
                                                 {StagingFolder(), QString::fromLocal8Bit(std::strerror(error))}));
    }
    g_mime_stream_reset(out);
    return std::make_unique<StreamMessage>(out);
}

} // namespace swn
