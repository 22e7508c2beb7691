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

// The longest header line a reader must accept, without its CRLF; and the longest address, word
// or identifier the composer writes as it is (anything longer could not be folded into a line).
inline constexpr qsizetype kLongestHeaderLine = 998;
inline constexpr qsizetype kLongestHeaderWord = 900;
// A name cannot be folded: its line must still hold the colon and a blank.
inline constexpr qsizetype kLongestHeaderName = kLongestHeaderLine - 2;

// "local@domain" in the forms a header may carry: dot-atom or quoted local part, dot-atom
// domain or domain literal, ASCII only, at most kLongestHeaderWord characters.
bool IsHeaderAddress(const QByteArray& addr);
// "local@domain" of atoms only, the form most addresses take: it stands in a header as it is.
bool IsPlainAddress(const QByteArray& addr);
// The domain of an address that IsHeaderAddress accepts; empty otherwise.
QByteArray DomainOf(const QByteArray& addr);
// True for a name that may stand on the right of "@" in a Message-ID or Content-ID.
bool IsIdDomain(const QByteArray& domain);

// Every line these write ends in CRLF and holds at most kLongestHeaderLine characters: lines are
// folded at 78 columns where the value has room to fold, words too long for a line are encoded.
// `name` must be a field name of at most kLongestHeaderName characters.

// "Name: value" CRLF, with non-ASCII words encoded and the line folded.
QByteArray UnstructuredField(const QByteArray& name, const QString& value);
// "Name: mailbox, mailbox" CRLF; mailboxes whose address IsHeaderAddress refuses are left out.
// Returns an empty array when no mailbox is left.
QByteArray AddressField(const QByteArray& name, const QList<Mailbox>& mailboxes);
// "Name: value" CRLF for a value that is ASCII already and must not be encoded (identifiers,
// dates), folded only at its blanks; its words must not be longer than kLongestHeaderWord.
QByteArray VerbatimField(const QByteArray& name, const QByteArray& value);

// The text as encoded words ("=?UTF-8?B?...?="), each at most 75 characters, never splitting a
// character. The first carries at most `firstWordBytes` bytes of text (45 fill a word).
QList<QByteArray> EncodedWords(const QString& text, qsizetype firstWordBytes = 45);

} // namespace swn
