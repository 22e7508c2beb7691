#include "delivery/MailDocument.h"

#include "delivery/DeliveryError.h"
#include "delivery/TextEncoding.h"
#include "common/Catalogue.h"

#include <algorithm>
#include <cstring>
#include <limits>

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

} // namespace

LoadedMailDocument LoadMailDocument(const QByteArray& text)
{
    LoadedMailDocument loaded;
    // The parser takes UTF-8 only; anything else is converted first, and bytes that are not valid
    // in the document's own encoding refuse the whole document rather than travel on garbled.
    DecodedDocument decoded = DecodeDocument(text);
    if (!decoded.error.isEmpty()) {
        loaded.failureReason = decoded.error;
        return loaded;
    }
    const QByteArray& utf8 = decoded.utf8;
    auto document = std::make_unique<pugi::xml_document>();
    // parse_default: no comments, no processing instructions, no DOCTYPE node and no custom
    // entities; white-space-only text between elements is dropped, so it is never a list entry.
    const pugi::xml_parse_result result =
        document->load_buffer(utf8.constData(), size_t(utf8.size()), pugi::parse_default, pugi::encoding_utf8);
    if (!result) {
        loaded.failureReason = QStringLiteral("%1 (%2)").arg(QString::fromUtf8(result.description()),
                                                             PlaceInText(utf8, result.offset));
        return loaded;
    }
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
