#pragma once
// Reads a received mail back with GMime's parser, as a mail program would.
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace swn::test {

struct MimeLeaf {
    QString contentType;     // "type/subtype", lower case
    QString parentType;      // content type of the enclosing multipart, empty at the top
    QString disposition;     // "attachment", "inline" or empty
    QString fileName;        // decoded (RFC 2231 / 2047)
    QString contentLocation;
    QString charset;
    QString transferEncoding; // as the header names it, lower case; empty when it names none
    QByteArray content;      // decoded bytes; for an attached message, the message as written
};

struct ParsedMail {
    bool ok = false;
    QString subject;          // decoded
    QStringList from, sender, to, cc, bcc;  // addresses only
    QStringList fromNames, toNames;          // decoded display names
    QString topType;
    QList<QPair<QString, QString>> headers;  // raw names and decoded values, in order
    QList<MimeLeaf> leaves;
    QString header(const QString& name) const;  // first one, empty if none
    int headerCount(const QString& name) const;
};

ParsedMail ParseMail(const QByteArray& bytes);

} // namespace swn::test
