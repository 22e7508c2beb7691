#include "delivery/DeliveryNotice.h"

#include "delivery/MailDocument.h"
#include "delivery/MimeComposer.h"
#include "delivery/smtp/SmtpSession.h"
#include "delivery/smtp/SmtpSettings.h"

#include <QLocale>
#include <QRegularExpression>

#include <gmime/gmime.h>

#include <mutex>

namespace swn {

namespace {

void InitMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

// Report fields are ASCII lines: what a server or a document said must neither break a line
// nor bring 8-bit bytes into them.
QByteArray Ascii(const QString& text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        out += u < 0x20 || u == 0x7f ? ' ' : u > 0x7e ? '?' : char(u);
    }
    return out.simplified();
}

// One field, folded at blanks so that no line grows much beyond 78 characters.
QByteArray Field(const char* name, const QByteArray& value)
{
    QByteArray out = QByteArray(name) + ':';
    qsizetype lineLength = out.size();
    for (const QByteArray& word : value.split(' ')) {
        if (word.isEmpty())
            continue;
        if (lineLength + 1 + word.size() > 78 && lineLength > qsizetype(qstrlen(name)) + 1) {
            out += "\n";
            lineLength = 0;
        }
        out += ' ' + word;
        lineLength += 1 + word.size();
    }
    return out + '\n';
}

QByteArray MailDate(const QDateTime& when)
{
    const QDateTime utc = (when.isValid() ? when : QDateTime::currentDateTimeUtc()).toUTC();
    return QLocale::c().toString(utc, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss")).toLatin1() + " +0000";
}

// The server's reply within a reason ("550 5.1.1 no such user (to RCPT TO)"), from its code on;
// null when the reason holds none, being the relay's own text.
QByteArray ServerReply(const QString& reason)
{
    static const QRegularExpression code(QStringLiteral("(?<![0-9.])[2-5][0-9][0-9](?=[ -]|$)"));
    const QRegularExpressionMatch m = code.match(reason);
    return m.hasMatch() ? Ascii(reason.mid(m.capturedStart())) : QByteArray();
}

GDateTime* GDate(const QDateTime& when)
{
    const QDateTime utc = (when.isValid() ? when : QDateTime::currentDateTimeUtc()).toUTC();
    return g_date_time_new_from_unix_utc(utc.toSecsSinceEpoch());
}

void AddAddresses(GMimeMessage* message, GMimeAddressType type, const QStringList& entries)
{
    InternetAddressList* target = g_mime_message_get_addresses(message, type);
    for (const QString& entry : entries) {
        const QByteArray utf8 = entry.simplified().toUtf8();
        if (utf8.isEmpty())
            continue;
        if (InternetAddressList* parsed = internet_address_list_parse(nullptr, utf8.constData())) {
            internet_address_list_append(target, parsed);
            g_object_unref(parsed);
        }
    }
}

GMimePart* FixedPart(const char* type, const char* subtype, const QByteArray& content)
{
    GMimePart* part = g_mime_part_new_with_type(type, subtype);
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(content.constData(), size_t(content.size()));
    GMimeDataWrapper* wrapper = g_mime_data_wrapper_new_with_stream(stream, GMIME_CONTENT_ENCODING_DEFAULT);
    g_mime_part_set_content(part, wrapper);
    g_object_unref(wrapper);
    g_object_unref(stream);
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_7BIT);
    return part;
}

GMimeTextPart* TextPart(const QString& text)
{
    GMimeTextPart* part = g_mime_text_part_new_with_subtype("plain");
    QString body = text;
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (!body.endsWith(QLatin1Char('\n')))
        body += QLatin1Char('\n');
    g_mime_text_part_set_text(part, body.toUtf8().constData());
    g_mime_part_set_content_encoding(
        GMIME_PART(part), g_mime_part_get_best_content_encoding(GMIME_PART(part), GMIME_ENCODING_CONSTRAINT_7BIT));
    return part;
}

// A message with the marks of an automatic reply, around `body`.
QByteArray Written(const QString& to, const QString& from, const QString& subject, GMimeObject* body)
{
    GMimeMessage* message = g_mime_message_new(TRUE);
    AddAddresses(message, GMIME_ADDRESS_TYPE_FROM, {from});
    AddAddresses(message, GMIME_ADDRESS_TYPE_TO, {to});
    g_mime_message_set_subject(message, subject.simplified().toUtf8().constData(), "utf-8");
    GDateTime* now = GDate({});
    g_mime_message_set_date(message, now);
    g_date_time_unref(now);
    char* id = g_mime_utils_generate_message_id(HostDomain().constData());
    g_mime_message_set_message_id(message, id);
    g_free(id);
    // RFC 3834: mail programs and other systems answer none of this.
    g_mime_object_set_header(GMIME_OBJECT(message), "Auto-Submitted", "auto-replied", nullptr);
    g_mime_message_set_mime_part(message, body);
    g_object_unref(body);

    GMimeStream* out = g_mime_stream_mem_new();
    GMimeFormatOptions* options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    g_mime_object_write_to_stream(GMIME_OBJECT(message), options, out);
    g_mime_format_options_free(options);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
    QByteArray result(reinterpret_cast<const char*>(bytes->data), qsizetype(bytes->len));
    g_object_unref(out);
    g_object_unref(message);
    // The writer keeps a lone LF of a part's content as it is.
    result.replace("\r\n", "\n");
    result.replace("\r", "\n");
    result.replace("\n", "\r\n");
    return result;
}

// The header of the mail as it would have gone out: its addresses, subject, date and id.
QByteArray OriginalHeaders(const NoticedMail& mail, const QDateTime& arrival)
{
    GMimeMessage* message = g_mime_message_new(TRUE);
    AddAddresses(message, GMIME_ADDRESS_TYPE_FROM, {mail.from});
    AddAddresses(message, GMIME_ADDRESS_TYPE_TO, mail.to);
    AddAddresses(message, GMIME_ADDRESS_TYPE_CC, mail.cc);
    g_mime_message_set_subject(message, mail.subject.simplified().toUtf8().constData(), "utf-8");
    if (!mail.date.trimmed().isEmpty()) {
        g_mime_object_set_header(GMIME_OBJECT(message), "Date", Ascii(mail.date).constData(), nullptr);
    } else {
        GDateTime* date = GDate(arrival);
        g_mime_message_set_date(message, date);
        g_date_time_unref(date);
    }
    const QByteArray id = Ascii(mail.messageId).replace('<', "").replace('>', "").trimmed();
    if (!id.isEmpty())
        g_mime_message_set_message_id(message, id.constData());
    GMimeFormatOptions* options = g_mime_format_options_new();
    char* text = g_mime_object_get_headers(GMIME_OBJECT(message), options);
    QByteArray headers(text ? text : "");
    g_free(text);
    g_mime_format_options_free(options);
    g_object_unref(message);
    // Only the fields the mail had: an empty one says nothing.
    QByteArray kept;
    for (const QByteArray& line : headers.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || (trimmed.endsWith(':') && !trimmed.contains(' ')))
            continue;
        kept += line + '\n';
    }
    return kept;
}

QByteArray StatusFields(const DeliveryNotice& notice)
{
    QByteArray out = Field("Reporting-MTA", "dns; " + Ascii(QString::fromLatin1(notice.reportingHost)));
    out += Field("Arrival-Date", MailDate(notice.arrival));
    for (const NoticeRecipient& r : notice.recipients) {
        out += '\n';
        out += Field("Final-Recipient", "rfc822; " + Ascii(r.address));
        out += Field("Action", r.action == NoticeAction::Failed ? "failed" : "delayed");
        out += Field("Status", NoticeStatus(r).toLatin1());
        const QByteArray reply = ServerReply(r.reason);
        if (!reply.isEmpty())
            out += Field("Diagnostic-Code", "smtp; " + reply);
        else if (!r.reason.trimmed().isEmpty())
            out += Field("Diagnostic-Code", "X-Swiftnote-Relay; " + Ascii(r.reason));
        if (r.action == NoticeAction::Delayed && notice.willRetryUntil.isValid())
            out += Field("Will-Retry-Until", MailDate(notice.willRetryUntil));
    }
    return out;
}

// A message read back from memory, for the SMTP client.
class BytesMessage final : public ComposedMessage {
public:
    explicit BytesMessage(QByteArray bytes) : bytes_(std::move(bytes)) {}
    qint64 read(char* buffer, qint64 size) override
    {
        const qint64 n = std::min(size, qint64(bytes_.size()) - at_);
        memcpy(buffer, bytes_.constData() + at_, size_t(n));
        at_ += n;
        return n;
    }
    qint64 size() const override { return bytes_.size(); }
    bool rewind() override
    {
        at_ = 0;
        return true;
    }

private:
    QByteArray bytes_;
    qint64 at_ = 0;
};

} // namespace

NoticedMail ReadNoticedMail(const QByteArray& document, DocumentForm form)
{
    NoticedMail mail;
    LoadedMailDocument loaded;
    try {
        loaded = LoadMailDocument(document, form);
    } catch (const std::exception&) {
        return mail;
    }
    if (!loaded.loaded() || !loaded.root)
        return mail;
    mail.readable = true;
    const pugi::xml_node root = loaded.root;
    // Each element on its own: a notice about a document that lacks one still says what it can.
    auto text = [&](const char* name) {
        try {
            return ReadElementText(root, name);
        } catch (const std::exception&) {
            return QString();
        }
    };
    auto list = [&](const char* name) {
        try {
            return ReadAddressList(root, name);
        } catch (const std::exception&) {
            return QStringList();
        }
    };
    mail.from = text("from_addr").trimmed();
    mail.to = list("ToList");
    mail.cc = list("CCList");
    mail.bcc = list("BCCList");
    mail.subject = text("Subject");
    mail.admin = text("BTMailAdmin").trimmed();
    const QString contentType = text("ContentType");
    mail.automatic = contentType.contains(QLatin1String("multipart/report"), Qt::CaseInsensitive);
    QStringList headers;
    try {
        headers = ReadHeaderEntries(root);
    } catch (const std::exception&) {
    }
    for (const QString& entry : headers) {
        const qsizetype split = entry.indexOf(QLatin1String("::"));
        const QString name = entry.left(split).trimmed();
        const QString value = entry.mid(split + 2).trimmed();
        if (name.compare(QLatin1String("Date"), Qt::CaseInsensitive) == 0)
            mail.date = value;
        else if (name.compare(QLatin1String("Message-ID"), Qt::CaseInsensitive) == 0)
            mail.messageId = value;
        else if (name.compare(QLatin1String("Auto-Submitted"), Qt::CaseInsensitive) == 0 &&
                 value.section(QLatin1Char(';'), 0, 0).trimmed().compare(QLatin1String("no"), Qt::CaseInsensitive) != 0)
            mail.automatic = true;
        else if (name.compare(QLatin1String("Content-Type"), Qt::CaseInsensitive) == 0 &&
                 value.contains(QLatin1String("multipart/report"), Qt::CaseInsensitive))
            mail.automatic = true;
    }
    return mail;
}

QString NoticeStatus(const NoticeRecipient& recipient)
{
    const QChar wanted = recipient.action == NoticeAction::Failed ? QLatin1Char('5') : QLatin1Char('4');
    if (!recipient.expired) {
        static const QRegularExpression enhanced(QStringLiteral("(?<![0-9.])([245])\\.([0-9]{1,3})\\.([0-9]{1,3})(?![0-9.])"));
        const QRegularExpressionMatch m = enhanced.match(recipient.reason);
        if (m.hasMatch() && m.captured(1).front() == wanted)
            return m.captured(0);
    }
    if (recipient.action == NoticeAction::Delayed)
        return QStringLiteral("4.0.0");
    return recipient.expired ? QStringLiteral("5.4.7") : QStringLiteral("5.0.0");
}

QByteArray ComposeDeliveryNotice(const DeliveryNotice& notice)
{
    InitMime();
    GMimeMultipart* report = g_mime_multipart_new_with_subtype("report");
    g_mime_object_set_content_type_parameter(GMIME_OBJECT(report), "report-type", "delivery-status");
    GMimeTextPart* text = TextPart(notice.text);
    g_mime_multipart_add(report, GMIME_OBJECT(text));
    g_object_unref(text);
    GMimePart* status = FixedPart("message", "delivery-status", StatusFields(notice));
    g_mime_multipart_add(report, GMIME_OBJECT(status));
    g_object_unref(status);
    GMimePart* headers = FixedPart("text", "rfc822-headers", OriginalHeaders(notice.mail, notice.arrival));
    g_mime_multipart_add(report, GMIME_OBJECT(headers));
    g_object_unref(headers);
    return Written(notice.to, notice.from, notice.subject, GMIME_OBJECT(report));
}

QByteArray ComposePlainNotice(const QString& to, const QString& from, const QString& subject, const QString& text)
{
    InitMime();
    return Written(to, from, subject, GMIME_OBJECT(TextPart(text)));
}

QString NoticeAddress(const QString& text)
{
    QString address = text.trimmed();
    const qsizetype open = address.indexOf(QLatin1Char('<'));
    if (open >= 0) {
        const qsizetype close = address.indexOf(QLatin1Char('>'), open);
        if (close < 0 || address.indexOf(QLatin1Char('<'), open + 1) >= 0)
            return {};
        address = address.mid(open + 1, close - open - 1).trimmed();
    }
    static const QRegularExpression mailbox(
        QStringLiteral("^[A-Za-z0-9!#$%&'*+/=?^_`{|}~.-]+@[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?"
                       "(?:\\.[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?)*$"));
    return mailbox.match(address).hasMatch() ? address : QString();
}

QString SendNotice(const QString& serverText, const SmtpSecurity& security, const QString& to,
                   const QByteArray& message)
{
    if (const QString problem = SmtpConfigurationProblem(serverText, security); !problem.isEmpty())
        return problem;
    QList<SmtpServerAddress> servers;
    try {
        servers = ParseSmtpServerList(serverText, security.mode);
    } catch (const DeliveryError& e) {
        return e.text();
    }
    BytesMessage bytes(message);
    // The empty envelope sender: whatever becomes of a notice, nothing is sent back about it.
    const SmtpSendResult result = SendSmtp(servers, QByteArray(), {to.toUtf8()}, bytes, security, nullptr);
    if (result.sent)
        return {};
    if (!result.errorText.isEmpty())
        return result.errorText;
    return result.recipients.isEmpty() ? QStringLiteral("not sent") : result.recipients.front().reason;
}

} // namespace swn
