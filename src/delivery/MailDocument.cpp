#include "delivery/MailDocument.h"

#include "delivery/DeliveryError.h"
#include "delivery/TextEncoding.h"
#include "common/Catalogue.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace swn {

namespace {

// Line and column (both from 1) of a byte offset, for a failure reason a person can act on.
QString PlaceInText(const QByteArray& text, ptrdiff_t offset)
{
    const qsizetype end = std::clamp<qsizetype>(qsizetype(offset), 0, text.size());
    qsizetype line = 1;
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < end; ++i) {
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    return QStringLiteral("line %1, column %2").arg(line).arg(end - lineStart + 1);
}

bool IsXmlChar(quint32 code)
{
    if (code < 0x20)
        return code == 0x09 || code == 0x0A || code == 0x0D;
    if (code >= 0xD800 && code <= 0xDFFF)
        return false;
    return code != 0xFFFE && code != 0xFFFF && code <= 0x10FFFF;
}

char* WriteUtf8(char* out, quint32 code)
{
    if (code < 0x80) {
        *out++ = char(code);
    } else if (code < 0x800) {
        *out++ = char(0xC0 | (code >> 6));
        *out++ = char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out++ = char(0xE0 | (code >> 12));
        *out++ = char(0x80 | ((code >> 6) & 0x3F));
        *out++ = char(0x80 | (code & 0x3F));
    } else {
        *out++ = char(0xF0 | (code >> 18));
        *out++ = char(0x80 | ((code >> 12) & 0x3F));
        *out++ = char(0x80 | ((code >> 6) & 0x3F));
        *out++ = char(0x80 | (code & 0x3F));
    }
    return out;
}

int DigitValue(char c, bool hex)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (hex && c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Length of the reference at text[0] == '&' and its character; 0 when it is none, and the '&'
// then stands for itself, as the parser leaves unknown entities.
size_t ReadReference(const char* text, const char* end, quint32& code, bool& allowed)
{
    const char* p = text + 1;
    allowed = true;
    if (p < end && *p == '#') {
        ++p;
        const bool hex = p < end && *p == 'x';
        if (hex)
            ++p;
        const char* digits = p;
        quint64 value = 0;
        for (int d; p < end && (d = DigitValue(*p, hex)) >= 0; ++p)
            value = std::min<quint64>(value * (hex ? 16 : 10) + quint64(d), 0x110000); // past the range stays past it
        if (p == digits || p >= end || *p != ';')
            return 0;
        code = quint32(value);
        allowed = IsXmlChar(code);
        return size_t(p + 1 - text);
    }
    static const struct { const char* name; size_t length; char c; } kPredefined[] = {
        {"lt;", 3, '<'}, {"gt;", 3, '>'}, {"amp;", 4, '&'}, {"apos;", 5, '\''}, {"quot;", 5, '"'},
    };
    for (const auto& entity : kPredefined) {
        if (size_t(end - p) >= entity.length && std::memcmp(p, entity.name, entity.length) == 0) {
            code = quint32(uchar(entity.c));
            return entity.length + 1;
        }
    }
    return 0;
}

// Expands the references of one piece of character data in place: none takes more room than it
// was written in. A reference to a character XML does not allow becomes U+FFFD, and the first
// one is kept in `firstReplaced`. Returns the new length.
size_t ExpandReferences(char* text, size_t length, QString& firstReplaced)
{
    const char* read = text;
    const char* end = text + length;
    char* out = text;
    while (read < end) {
        const char* amp = static_cast<const char*>(std::memchr(read, '&', size_t(end - read)));
        const char* stop = amp ? amp : end;
        if (out != read)
            std::memmove(out, read, size_t(stop - read));
        out += stop - read;
        read = stop;
        if (!amp)
            break;
        quint32 code = 0;
        bool allowed = true;
        const size_t used = ReadReference(read, end, code, allowed);
        if (used == 0) {
            *out++ = *read++;
            continue;
        }
        if (!allowed) {
            if (firstReplaced.isEmpty())
                firstReplaced = QString::fromLatin1(read, qsizetype(std::min<size_t>(used, 40)));
            code = 0xFFFD;
        }
        out = WriteUtf8(out, code);
        read += used;
    }
    return size_t(out - text);
}

// Expands the references of every piece of character data in the tree; CDATA sections are taken
// as written. Iterative, so deep nesting cannot overflow the stack.
void ExpandAllReferences(pugi::xml_node top, QString& firstReplaced)
{
    pugi::xml_node current = top.first_child();
    while (current && current != top) {
        if (current.type() == pugi::node_pcdata) {
            // The parser's own buffer: the tree owns it and the text only ever gets shorter.
            char* value = const_cast<char*>(current.value());
            if (const char* amp = std::strchr(value, '&')) {
                const size_t length = std::strlen(amp);
                const size_t kept = ExpandReferences(value + (amp - value), length, firstReplaced);
                value[(amp - value) + kept] = '\0';
            }
        }
        if (current.first_child()) {
            current = current.first_child();
            continue;
        }
        while (current != top && !current.next_sibling())
            current = current.parent();
        if (current != top)
            current = current.next_sibling();
    }
}

} // namespace

LoadedMailDocument LoadMailDocument(const QByteArray& text, DocumentForm form)
{
    LoadedMailDocument loaded;
    // The parser takes UTF-8 only; anything else is converted first, and bytes that are not valid
    // in the document's own encoding refuse the whole document rather than travel on garbled.
    DecodedDocument decoded = form == DocumentForm::Text ? DecodeTextDocument(text) : DecodeDocument(text);
    if (!decoded.error.isEmpty()) {
        loaded.failureReason = decoded.error;
        return loaded;
    }
    // Parsed where it lies: a converted text is the delivery's own already; the caller's bytes
    // are copied once, as the parser would have copied them.
    loaded.buffer = std::move(decoded.utf8);
    loaded.buffer.detach();
    auto document = std::make_unique<pugi::xml_document>();
    // No comments, no processing instructions, no DOCTYPE node and no custom entities; white-space-
    // only text between elements is dropped, so it is never a list entry. References are expanded
    // below rather than by the parser, which ends a text at "&#0;" and writes surrogates as bytes.
    const unsigned options = pugi::parse_cdata | pugi::parse_wconv_attribute | pugi::parse_eol;
    const pugi::xml_parse_result result = document->load_buffer_inplace(
        loaded.buffer.data(), size_t(loaded.buffer.size()), options, pugi::encoding_utf8);
    if (result.status == pugi::status_out_of_memory)
        throw std::bad_alloc(); // this host's fault, not the document's
    if (!result) {
        // The parse has rewritten the buffer; the place is counted in the text as it came.
        const QByteArray original =
            form == DocumentForm::Text ? DecodeTextDocument(text).utf8 : DecodeDocument(text).utf8;
        loaded.failureReason = QStringLiteral("%1 (%2)").arg(QString::fromUtf8(result.description()),
                                                             PlaceInText(original, result.offset));
        loaded.buffer = QByteArray();
        return loaded;
    }
    ExpandAllReferences(*document, loaded.replacedReference);
    pugi::xml_node element = document->document_element();
    if (element && std::strcmp(element.name(), kMailRootName) == 0)
        loaded.root = element;
    loaded.document = std::move(document);
    return loaded;
}

pugi::xml_node RequireElement(pugi::xml_node parent, const char* name)
{
    if (!parent)
        throw DeliveryError(BuildResourceMessage(msg::MissingElement, {QString::fromLatin1(kMailRootName)}));
    pugi::xml_node element = parent.child(name);
    if (!element)
        throw DeliveryError(BuildResourceMessage(msg::MissingElement, {QString::fromUtf8(name)}));
    return element;
}

QByteArray NodeTextUtf8(pugi::xml_node node)
{
    QByteArray text;
    ForEachTextChunk(node, [&](const char* chunk) { text.append(chunk); });
    return text;
}

QString NodeText(pugi::xml_node node)
{
    // Most elements hold one piece of text: read it straight, without gathering it first.
    const pugi::xml_node only = node.first_child();
    if (only && !only.next_sibling() && (only.type() == pugi::node_pcdata || only.type() == pugi::node_cdata))
        return QString::fromUtf8(only.value());
    if (!only && (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata))
        return QString::fromUtf8(node.value());
    return QString::fromUtf8(NodeTextUtf8(node));
}

QString ReadElementText(pugi::xml_node parent, const char* name)
{
    return NodeText(RequireElement(parent, name));
}

QByteArray ReadElementTextUtf8(pugi::xml_node parent, const char* name)
{
    return NodeTextUtf8(RequireElement(parent, name));
}

QStringList ReadAddressList(pugi::xml_node root, const char* listName)
{
    QStringList entries;
    for (pugi::xml_node child : RequireElement(root, listName).children())
        entries.append(NodeText(child));
    return entries;
}

QStringList ReadHeaderEntries(pugi::xml_node root)
{
    QStringList entries;
    for (pugi::xml_node child : RequireElement(root, "HeaderList").children()) {
        // A text node directly inside the list has no header elements and fails like any other child.
        const QString name = ReadElementText(child, "HeaderName");
        const QString value = ReadElementText(child, "HeaderValue");
        entries.append(name + QStringLiteral("::") + value);
    }
    return entries;
}

bool ReadIsHTML(pugi::xml_node root)
{
    return ReadElementTextUtf8(root, "ContentType") == "text/html";
}

qint32 CountRecipients(const MailMsg& mail)
{
    const qint64 count = qint64(mail.ToAddrs.size()) + mail.CCAddrs.size() + mail.BCCAddrs.size();
    if (count > std::numeric_limits<qint32>::max())
        throw DeliveryError(BuildResourceMessage(msg::CounterOverflow));
    return qint32(count);
}

} // namespace swn
