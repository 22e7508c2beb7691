#pragma once
// Header fields of outgoing mail written by hand, so that every reader takes them the same way:
// ASCII only, non-ASCII text in encoded words of at most 75 characters, lines folded at 78
// columns wherever the value has room to fold.
#include <QByteArray>
#include <QList>
#include <QString>

namespace swn {

struct Mailbox {
    QString name;     // display name, decoded
    QByteArray addr;  // address as given to the server (domain in its ASCII form)
};

// "local@domain" in the forms a header may carry: dot-atom or quoted local part, dot-atom
// domain or domain literal, ASCII only.
bool IsHeaderAddress(const QByteArray& addr);
// The domain of an address that IsHeaderAddress accepts; empty otherwise.
QByteArray DomainOf(const QByteArray& addr);
// True for a name that may stand on the right of "@" in a Message-ID or Content-ID.
bool IsIdDomain(const QByteArray& domain);

// "Name: value" CRLF, with non-ASCII words encoded and the line folded.
QByteArray UnstructuredField(const QByteArray& name, const QString& value);
// "Name: mailbox, mailbox" CRLF; mailboxes whose address IsHeaderAddress refuses are left out.
// Returns an empty array when no mailbox is left.
QByteArray AddressField(const QByteArray& name, const QList<Mailbox>& mailboxes);
// "Name: value" CRLF for a value that is ASCII already and must not be encoded (identifiers,
// dates), folded only at its blanks.
QByteArray VerbatimField(const QByteArray& name, const QByteArray& value);

// The text as encoded words ("=?UTF-8?B?...?="), each at most 75 characters, never splitting a
// character. The first carries at most `firstWordBytes` bytes of text (45 fill a word).
QList<QByteArray> EncodedWords(const QString& text, qsizetype firstWordBytes = 45);

} // namespace swn
