#pragma once
// The XML mail document (root element BT_mail_Msg) and the rules by which its elements are read.
#include "delivery/Delivery.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <pugixml.hpp>

namespace swn {

inline constexpr const char* kMailRootName = "BT_mail_Msg";

// The values one reading of a document yields. Body stays UTF-8 bytes: it can be large.
struct MailMsg {
    QString Instigator;
    QString FromAddr;
    QStringList ToAddrs;
    QStringList CCAddrs;
    QStringList BCCAddrs;
    QString Subject;
    QByteArray Body;
    bool IsHTML = false;
    QStringList HeaderEntries;
    qint32 RecipientCount = 0;
};

// A parsed document. `root` is null when the document element is not BT_mail_Msg; reading from a
// null root fails as a missing element. `failureReason` is set exactly when parsing failed.
struct LoadedMailDocument {
    std::unique_ptr<pugi::xml_document> document;
    pugi::xml_node root;
    QString failureReason;
    // The first character reference that XML does not allow (as written, e.g. "&#0;"); every such
    // reference reads as U+FFFD. Empty when there was none.
    QString replacedReference;
    QByteArray buffer; // the UTF-8 text the tree was parsed in, and points into

    bool loaded() const { return document != nullptr; }
    // Frees the tree (and the text it lives in) once everything needed has been read.
    void release() { root = {}; document.reset(); buffer = QByteArray(); }
};

// Parses the document. As Bytes, the text is in the encoding its XML declaration names (UTF-8
// without one, or the UTF-16/32 its byte order mark or layout shows); as Text, it is UTF-8 and the
// declaration is not looked at. Only XML's predefined entities and character references are
// expanded; a DOCTYPE is skipped, never interpreted. The failure reason names the line and column,
// or for bytes invalid in the document's encoding, the encoding and byte offset. Throws
// std::bad_alloc when memory runs out: that is no fault of the document.
LoadedMailDocument LoadMailDocument(const QByteArray& text, DocumentForm form = DocumentForm::Bytes);

// The readers below throw DeliveryError (message 161 naming the element) for a missing element.

// The first child element `name` of `parent`.
pugi::xml_node RequireElement(pugi::xml_node parent, const char* name);
// Character data of a node and all its descendants, in document order, as UTF-8.
QByteArray NodeTextUtf8(pugi::xml_node node);
QString NodeText(pugi::xml_node node);
// Calls `f` with each piece of character data below `node`, in document order. Iterative, so
// deep nesting cannot overflow the stack.
template <typename F>
void ForEachTextChunk(pugi::xml_node node, F&& f)
{
    auto isText = [](const pugi::xml_node& n) {
        return n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata;
    };
    if (isText(node)) {
        f(node.value());
        return;
    }
    pugi::xml_node current = node.first_child();
    while (current && current != node) {
        if (isText(current))
            f(current.value());
        if (current.first_child()) {
            current = current.first_child();
            continue;
        }
        while (current != node && !current.next_sibling())
            current = current.parent();
        if (current != node)
            current = current.next_sibling();
    }
}

// Text of the first child element `name` of `parent`.
QString ReadElementText(pugi::xml_node parent, const char* name);
QByteArray ReadElementTextUtf8(pugi::xml_node parent, const char* name);
// One entry per child node of the list element (names unchecked), in document order.
QStringList ReadAddressList(pugi::xml_node root, const char* listName);
// "HeaderName::HeaderValue" per child of HeaderList.
QStringList ReadHeaderEntries(pugi::xml_node root);
// True exactly when the text of ContentType is "text/html".
bool ReadIsHTML(pugi::xml_node root);
// Number of entries of the three lists together; throws DeliveryError beyond 32 bits.
qint32 CountRecipients(const MailMsg& mail);

} // namespace swn
