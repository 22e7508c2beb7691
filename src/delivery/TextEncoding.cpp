#include "delivery/TextEncoding.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace swn {

bool Utf8Validator::feed(const char* data, size_t length)
{
    if (failed_)
        return false;
    for (size_t i = 0; i < length; ++i) {
        // Runs of ASCII, most of any document, are passed over eight bytes at a time.
        if (pending_ == 0) {
            quint64 word;
            while (i + 8 <= length) {
                std::memcpy(&word, data + i, 8);
                if ((word & 0x8080808080808080ULL) != 0)
                    break;
                i += 8;
            }
            if (i >= length)
                break;
        }
        const auto c = static_cast<unsigned char>(data[i]);
        if (pending_ > 0) {
            if (c < low_ || c > high_) {
                failed_ = true;
                offset_ = sequenceStart_;
                return false;
            }
            low_ = 0x80;
            high_ = 0xBF;
            --pending_;
            continue;
        }
        sequenceStart_ = offset_ + qint64(i);
        if (c < 0x80)
            continue;
        ascii_ = false;
        if (c >= 0xC2 && c <= 0xDF) {
            pending_ = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            pending_ = 2;
            if (c == 0xE0)
                low_ = 0xA0; // no overlong forms
            else if (c == 0xED)
                high_ = 0x9F; // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            pending_ = 3;
            if (c == 0xF0)
                low_ = 0x90;
            else if (c == 0xF4)
                high_ = 0x8F; // nothing beyond U+10FFFF
        } else {
            failed_ = true;
            offset_ = sequenceStart_;
            return false;
        }
    }
    offset_ += qint64(length);
    return true;
}

bool IsValidUtf8(const QByteArray& bytes)
{
    Utf8Validator validator;
    return validator.feed(bytes.constData(), size_t(bytes.size())) && validator.finish();
}

namespace {

int LineOf(const char* text, qint64 length)
{
    int line = 1;
    for (qint64 i = 0; i < length; ++i)
        if (text[i] == '\n')
            ++line;
    return line;
}

QString InvalidBytes(const QString& encoding, qint64 offset, int line)
{
    return QStringLiteral("the document's bytes are not valid %1 at byte offset %2 (line %3)")
        .arg(encoding)
        .arg(offset)
        .arg(line);
}

// Encodings whose names documents use for what is in practice a larger set: the larger set reads
// every valid byte sequence of the smaller one the same way, and the characters senders'
// systems add as well.
QByteArray ConverterName(const QString& label)
{
    const QString name = label.trimmed().toLower();
    static const struct { const char* label; const char* converter; } kWider[] = {
        {"shift_jis", "CP932"}, {"shift-jis", "CP932"}, {"sjis", "CP932"}, {"x-sjis", "CP932"},
        {"ms_kanji", "CP932"}, {"csshiftjis", "CP932"}, {"windows-31j", "CP932"},
        {"gb2312", "GBK"}, {"csgb2312", "GBK"}, {"x-gbk", "GBK"}, {"cp936", "GBK"},
        {"x-euc-jp", "EUC-JP"}, {"cseucpkdfmtjapanese", "EUC-JP"},
    };
    for (const auto& wider : kWider)
        if (name == QLatin1String(wider.label))
            return wider.converter;
    return name.toLatin1();
}

bool IsUtf8Label(const QString& label)
{
    const QString name = label.trimmed().toLower();
    return name == QLatin1String("utf-8") || name == QLatin1String("utf8");
}

bool IsWideLabel(const QString& label)
{
    const QString name = label.trimmed().toLower();
    return name.startsWith(QLatin1String("utf-16")) || name.startsWith(QLatin1String("utf-32")) ||
        name.startsWith(QLatin1String("ucs-2")) || name.startsWith(QLatin1String("ucs-4")) ||
        name == QLatin1String("unicode");
}

bool IsXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsAsciiLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsEncodingNameChar(char c)
{
    return IsAsciiLetter(c) || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == ':' || c == '-';
}

// The encoding named in the XML declaration, read from bytes in an ASCII-compatible layout:
// a blank, "encoding", optional blanks around "=", and a name in matching quotes. Scanned by hand:
// it runs for every document.
QString DeclaredEncoding(const char* data, qsizetype size)
{
    if (size < 5 || std::memcmp(data, "<?xml", 5) != 0)
        return {};
    const qsizetype limit = std::min<qsizetype>(size, 1024);
    qsizetype end = -1;
    for (qsizetype i = 5; i + 1 < limit; ++i) {
        if (data[i] == '?' && data[i + 1] == '>') {
            end = i;
            break;
        }
    }
    if (end < 0)
        return {};
    constexpr char kKey[] = "encoding";
    constexpr qsizetype kKeyLength = sizeof kKey - 1;
    for (qsizetype i = 1; i + kKeyLength <= end; ++i) {
        if (!IsXmlSpace(data[i - 1]) || std::memcmp(data + i, kKey, kKeyLength) != 0)
            continue;
        qsizetype j = i + kKeyLength;
        while (j < end && IsXmlSpace(data[j]))
            ++j;
        if (j >= end || data[j] != '=')
            continue;
        ++j;
        while (j < end && IsXmlSpace(data[j]))
            ++j;
        if (j >= end || (data[j] != '"' && data[j] != '\''))
            continue;
        const char quote = data[j++];
        const qsizetype nameStart = j;
        if (j >= end || !IsAsciiLetter(data[j]))
            continue;
        while (j < end && IsEncodingNameChar(data[j]))
            ++j;
        if (j < end && data[j] == quote)
            return QString::fromLatin1(data + nameStart, j - nameStart);
    }
    return {};
}

struct Converted {
    QByteArray utf8;
    bool unknownEncoding = false;
    bool invalid = false;
    qint64 offset = 0; // of the first byte that could not be converted
};

Converted Convert(const QByteArray& converterName, const char* data, size_t size)
{
    Converted result;
    iconv_t cd = iconv_open("UTF-8", converterName.constData());
    if (cd == iconv_t(-1)) {
        result.unknownEncoding = true;
        return result;
    }
    QByteArray out;
    out.resize(qsizetype(size) * 2 + 64);
    size_t used = 0;
    char* in = const_cast<char*>(data);
    size_t inLeft = size;
    bool flushing = false;
    for (;;) {
        char* outPtr = out.data() + used;
        size_t outLeft = size_t(out.size()) - used;
        // A last call without input returns a stateful encoding (ISO-2022-JP) to its first state.
        const size_t r = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                  : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        const int error = errno;
        used = size_t(outPtr - out.data());
        if (r == size_t(-1)) {
            if (error == E2BIG) {
                out.resize(out.size() * 2);
                continue;
            }
            // EILSEQ: a byte sequence the encoding does not have; EINVAL: the text stops inside one.
            result.invalid = true;
            result.offset = qint64(in - data);
            out.resize(qsizetype(used));
            result.utf8 = out;
            iconv_close(cd);
            return result;
        }
        if (flushing)
            break;
        flushing = true;
    }
    iconv_close(cd);
    out.resize(qsizetype(used));
    result.utf8 = out;
    return result;
}

} // namespace

DecodedDocument DecodeDocument(const QByteArray& bytes)
{
    DecodedDocument decoded;
    const auto* u = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype size = bytes.size();
    auto startsWith = [&](std::initializer_list<unsigned char> prefix) {
        if (size < qsizetype(prefix.size()))
            return false;
        qsizetype i = 0;
        for (unsigned char c : prefix)
            if (u[i++] != c)
                return false;
        return true;
    };

    // Byte order marks first, then the layout of "<?" in the wide encodings.
    QString wide;
    qsizetype skip = 0;
    if (startsWith({0x00, 0x00, 0xFE, 0xFF})) {
        wide = QStringLiteral("UTF-32BE");
        skip = 4;
    } else if (startsWith({0xFF, 0xFE, 0x00, 0x00})) {
        wide = QStringLiteral("UTF-32LE");
        skip = 4;
    } else if (startsWith({0xFE, 0xFF})) {
        wide = QStringLiteral("UTF-16BE");
        skip = 2;
    } else if (startsWith({0xFF, 0xFE})) {
        wide = QStringLiteral("UTF-16LE");
        skip = 2;
    } else if (startsWith({0x00, 0x00, 0x00, 0x3C})) {
        wide = QStringLiteral("UTF-32BE");
    } else if (startsWith({0x3C, 0x00, 0x00, 0x00})) {
        wide = QStringLiteral("UTF-32LE");
    } else if (startsWith({0x00, 0x3C, 0x00, 0x3F})) {
        wide = QStringLiteral("UTF-16BE");
    } else if (startsWith({0x3C, 0x00, 0x3F, 0x00})) {
        wide = QStringLiteral("UTF-16LE");
    }

    if (!wide.isEmpty()) {
        // The bytes themselves show the encoding; a declaration inside can only repeat it.
        decoded.encoding = wide;
        const Converted converted = Convert(wide.toLatin1(), bytes.constData() + skip, size_t(size - skip));
        if (converted.invalid) {
            decoded.error = InvalidBytes(wide, converted.offset + skip,
                                         LineOf(converted.utf8.constData(), converted.utf8.size()));
            return decoded;
        }
        decoded.utf8 = converted.utf8;
        return decoded;
    }

    const bool utf8Bom = startsWith({0xEF, 0xBB, 0xBF});
    skip = utf8Bom ? 3 : 0;
    QString label = DeclaredEncoding(bytes.constData() + skip, size - skip);
    // A declaration of a wide encoding over 8-bit bytes is left over from text that was converted
    // to UTF-8 after it was written; the bytes, not the declaration, tell what they are.
    if (label.isEmpty() || utf8Bom || IsWideLabel(label))
        label = QStringLiteral("UTF-8");
    decoded.encoding = label;

    if (IsUtf8Label(label)) {
        Utf8Validator validator;
        validator.feed(bytes.constData() + skip, size_t(size - skip));
        if (!validator.finish()) {
            const qint64 offset = validator.failed() ? validator.offset() : qint64(size - skip);
            decoded.error = InvalidBytes(label, offset + skip, LineOf(bytes.constData(), offset + skip));
            return decoded;
        }
        decoded.utf8 = skip ? bytes.mid(skip) : bytes;
        return decoded;
    }

    Converted converted = Convert(ConverterName(label), bytes.constData(), size_t(size));
    if (converted.unknownEncoding)
        converted = Convert(label.toLatin1(), bytes.constData(), size_t(size));
    if (converted.unknownEncoding) {
        decoded.error = QStringLiteral("the document declares the encoding %1, which this system cannot read").arg(label);
        return decoded;
    }
    if (converted.invalid) {
        decoded.error = InvalidBytes(label, converted.offset, LineOf(converted.utf8.constData(), converted.utf8.size()));
        return decoded;
    }
    decoded.utf8 = std::move(converted.utf8);
    return decoded;
}

DecodedDocument DecodeTextDocument(const QByteArray& utf8)
{
    DecodedDocument decoded;
    decoded.encoding = QStringLiteral("UTF-8");
    const qsizetype skip = utf8.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    Utf8Validator validator;
    validator.feed(utf8.constData() + skip, size_t(utf8.size() - skip));
    if (!validator.finish()) {
        const qint64 offset = (validator.failed() ? validator.offset() : qint64(utf8.size() - skip)) + skip;
        decoded.error = InvalidBytes(decoded.encoding, offset, LineOf(utf8.constData(), offset));
        return decoded;
    }
    decoded.utf8 = skip ? utf8.mid(skip) : utf8;
    return decoded;
}

} // namespace swn
