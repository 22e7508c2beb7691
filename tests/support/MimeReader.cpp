#include "MimeReader.h"

#include <gmime/gmime.h>
#include <mutex>

namespace swn::test {

namespace {

void Init()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

QString TypeOf(GMimeObject* object)
{
    GMimeContentType* type = g_mime_object_get_content_type(object);
    return QStringLiteral("%1/%2")
        .arg(QString::fromUtf8(g_mime_content_type_get_media_type(type)),
             QString::fromUtf8(g_mime_content_type_get_media_subtype(type)))
        .toLower();
}

void Addresses(InternetAddressList* list, QStringList& addresses, QStringList* names)
{
    if (!list)
        return;
    for (int i = 0; i < internet_address_list_length(list); ++i) {
        InternetAddress* address = internet_address_list_get_address(list, i);
        if (!INTERNET_ADDRESS_IS_MAILBOX(address))
            continue;
        addresses << QString::fromUtf8(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address)));
        if (names)
            *names << QString::fromUtf8(internet_address_get_name(address));
    }
}

void Walk(GMimeObject* object, const QString& parentType, QList<MimeLeaf>& leaves)
{
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        const QString type = TypeOf(object);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i)
            Walk(g_mime_multipart_get_part(multipart, i), type, leaves);
        return;
    }
    MimeLeaf leaf;
    leaf.contentType = TypeOf(object);
    leaf.parentType = parentType;
    if (const char* d = g_mime_object_get_disposition(object))
        leaf.disposition = QString::fromUtf8(d).toLower();
    if (const char* e = g_mime_object_get_header(object, "Content-Transfer-Encoding"))
        leaf.transferEncoding = QString::fromUtf8(e).trimmed().toLower();
    if (GMIME_IS_MESSAGE_PART(object)) {
        if (const char* f = g_mime_object_get_content_disposition_parameter(object, "filename"))
            leaf.fileName = QString::fromUtf8(f);
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (inner) {
            char* text = g_mime_object_to_string(GMIME_OBJECT(inner), nullptr);
            leaf.content = QByteArray(text);
            g_free(text);
        }
        leaves << leaf;
        return;
    }
    if (!GMIME_IS_PART(object))
        return;
    GMimePart* part = GMIME_PART(object);
    if (const char* f = g_mime_part_get_filename(part))
        leaf.fileName = QString::fromUtf8(f);
    if (const char* l = g_mime_object_get_header(object, "Content-Location"))
        leaf.contentLocation = QString::fromUtf8(l);
    if (const char* c = g_mime_object_get_content_type_parameter(object, "charset"))
        leaf.charset = QString::fromUtf8(c).toLower();
    GMimeStream* out = g_mime_stream_mem_new();
    if (GMimeDataWrapper* content = g_mime_part_get_content(part))
        g_mime_data_wrapper_write_to_stream(content, out);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
    leaf.content = QByteArray(reinterpret_cast<const char*>(bytes->data), int(bytes->len));
    g_object_unref(out);
    leaves << leaf;
}

} // namespace

QString ParsedMail::header(const QString& name) const
{
    for (const auto& [n, v] : headers)
        if (n.compare(name, Qt::CaseInsensitive) == 0)
            return v;
    return {};
}

int ParsedMail::headerCount(const QString& name) const
{
    int count = 0;
    for (const auto& entry : headers)
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            ++count;
    return count;
}

ParsedMail ParseMail(const QByteArray& bytes)
{
    Init();
    ParsedMail mail;
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(bytes.constData(), size_t(bytes.size()));
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    g_object_unref(parser);
    g_object_unref(stream);
    if (!message)
        return mail;
    mail.ok = true;
    if (const char* s = g_mime_message_get_subject(message))
        mail.subject = QString::fromUtf8(s);
    Addresses(g_mime_message_get_from(message), mail.from, &mail.fromNames);
    Addresses(g_mime_message_get_sender(message), mail.sender, nullptr);
    Addresses(g_mime_message_get_to(message), mail.to, &mail.toNames);
    Addresses(g_mime_message_get_cc(message), mail.cc, nullptr);
    Addresses(g_mime_message_get_bcc(message), mail.bcc, nullptr);
    GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message));
    for (int i = 0; i < g_mime_header_list_get_count(list); ++i) {
        GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
        char* decoded = g_mime_utils_header_decode_text(nullptr, g_mime_header_get_raw_value(header));
        mail.headers.append({QString::fromUtf8(g_mime_header_get_name(header)), QString::fromUtf8(decoded).trimmed()});
        g_free(decoded);
    }
    GMimeObject* top = g_mime_message_get_mime_part(message);
    if (top) {
        mail.topType = TypeOf(top);
        Walk(top, QString(), mail.leaves);
    }
    g_object_unref(message);
    return mail;
}

} // namespace swn::test
