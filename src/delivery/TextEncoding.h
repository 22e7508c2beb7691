#pragma once
// Character encodings of incoming documents and attachments: strict UTF-8 checking, and the
// conversion of a mail document from the encoding it declares to UTF-8.
#include <QByteArray>
#include <QString>
#include <cstddef>

namespace swn {

// Checks UTF-8 piece by piece: shortest forms only, no surrogates, nothing beyond U+10FFFF.
class Utf8Validator {
public:
    // False once a byte cannot continue valid UTF-8; `offset()` then names that byte.
    bool feed(const char* data, size_t length);
    // True when the text did not stop inside a character.
    bool finish() const { return !failed_ && pending_ == 0; }
    bool failed() const { return failed_; }
    // Bytes fed before the first invalid byte (or all of them).
    qint64 offset() const { return offset_; }
    // True while every byte so far was ASCII.
    bool ascii() const { return ascii_; }

private:
    qint64 offset_ = 0;
    qint64 sequenceStart_ = 0;
    int pending_ = 0;       // continuation bytes still expected
    unsigned char low_ = 0x80, high_ = 0xBF; // range of the next continuation byte
    bool failed_ = false;
    bool ascii_ = true;
};

bool IsValidUtf8(const QByteArray& bytes);

// A mail document turned into UTF-8. `encoding` is the name the document goes by (declared, or
// found from its byte order mark or layout); `error` is set exactly when the bytes could not be
// taken as that encoding, and names the encoding and the place.
struct DecodedDocument {
    QByteArray utf8;
    QString encoding;
    QString error;
};

// Reads the byte order mark, the layout of the first characters and the XML declaration's
// encoding, and converts everything to UTF-8. Without a declaration the document must be UTF-8.
DecodedDocument DecodeDocument(const QByteArray& bytes);

// A document that is text already, handed over as UTF-8 (a payload of the tracker's store): read
// as the characters it holds, whatever encoding its declaration names. A UTF-8 byte order mark
// is dropped; bytes that are not UTF-8 are refused as DecodeDocument refuses them.
DecodedDocument DecodeTextDocument(const QByteArray& utf8);

} // namespace swn
