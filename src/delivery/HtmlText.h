#pragma once
// What the mail composer needs to know about HTML bodies: a plain-text rendering for the text
// alternative, and the links to inline images.
#include <QHash>
#include <QString>

namespace swn {

// The text a reader would see: paragraphs and line breaks kept, list items on lines of their own,
// tags, comments, scripts and styles dropped, character references decoded, runs of blanks
// folded outside <pre>. Link targets follow their text in angle brackets.
QString HtmlToPlainText(const QString& html);

// Points every src, background and CSS url() that names one of `contentIds`' keys (as written,
// with character references or percent-encoding undone) at "cid:" and the key's Content-ID.
// Returns the number of references rewritten.
int LinkInlineImages(QString& html, const QHash<QString, QString>& contentIds);

// Character references of HTML (named, decimal, hexadecimal) decoded.
QString DecodeHtmlEntities(const QString& text);

} // namespace swn
