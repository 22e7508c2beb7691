#include "netrelay/HttpFraming.h"

#include "common/HttpHead.h"

#include <QLocale>

#include <algorithm>
#include <cstring>
#include <utility>

namespace swn {

namespace {

constexpr QByteArrayView Terminator(RequestTerminator, RequestTerminatorLength);
constexpr QByteArrayView ClosingTag("</BT_mail_Msg>");
// A chunk-size line (with its extensions) or a trailer line longer than this is no honest client.
constexpr qsizetype MaxChunkLine = 8 * 1024;
constexpr qsizetype MaxTrailerBytes = 64 * 1024;
// Fifteen hex digits cannot overflow a 64-bit size.
constexpr int MaxChunkSizeDigits = 15;
// Eighteen decimal digits cannot overflow a 64-bit size either.
constexpr int MaxLengthDigits = 18;

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
using http::IsBlank;
using http::IsTokenChar;
using http::SameName;
bool IsVisible(char c) { return c > ' ' && c < 0x7F; }
// "HTTP/" three digits "." three digits.
constexpr qsizetype MaxVersionLength = 12;

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

const auto Trimmed = http::TrimBlanks;

// Calls take(part) for each comma-separated part of a field value, blanks trimmed, without
// building a list: a value of a million commas costs no memory.
template <typename F>
void ForEachListPart(QByteArrayView value, F&& take)
{
    qsizetype start = 0;
    for (;;) {
        const qsizetype comma = value.indexOf(',', start);
        take(Trimmed(value.sliced(start, (comma < 0 ? value.size() : comma) - start)));
        if (comma < 0)
            return;
        start = comma + 1;
    }
}

// The document visibly ended: the closing tag, then nothing but white space. whiteFrom is where
// the white space at the end of `bytes` begins.
bool EndsWithDocument(const QByteArray& bytes, qsizetype from, qsizetype whiteFrom)
{
    const qsizetype end = qMax(from, whiteFrom);
    return end - from >= ClosingTag.size() &&
        QByteArrayView(bytes.constData() + end - ClosingTag.size(), ClosingTag.size()) == ClosingTag;
}

using http::ReasonPhrase;

} // namespace

QByteArray BuildReply(const QByteArray& versionField)
{
    const QByteArray version = IsVersionField(versionField) ? versionField : QByteArrayLiteral("HTTP/1.0");
    return version + " 200 \r\nContent-Length: 0\r\n\r\n";
}

QByteArray BuildErrorReply(const QByteArray& versionField, int status, const QByteArray& extraHeaderLines)
{
    const QByteArray version = IsVersionField(versionField) ? versionField : QByteArrayLiteral("HTTP/1.0");
    if (status < 100 || status > 999)
        status = 500;
    QByteArray reply = version + ' ' + QByteArray::number(status) + ' ' + ReasonPhrase(status) + "\r\n";
    bool allow = false;
    for (const QByteArray& piece : extraHeaderLines.split('\n')) {
        QByteArrayView line = piece;
        if (line.endsWith('\r'))
            line.chop(1);
        // "Name: value" with a token for a name and no control character but a tab anywhere.
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !std::all_of(line.begin(), line.begin() + colon, IsTokenChar) ||
            std::any_of(line.begin(), line.end(), [](char c) { return (uchar(c) < ' ' && c != '\t') || c == 0x7F; }))
            continue;
        allow = allow || SameName(line.first(colon), "Allow");
        reply += line;
        reply += "\r\n";
    }
    if (status == 405 && !allow)
        reply += "Allow: POST\r\n";
    return reply + "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

qsizetype CharacterCount(const QByteArray& utf8)
{
    qsizetype n = 0;
    for (const char c : utf8)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++n;
    return n;
}

QString StreamLengthText(qsizetype characters)
{
    return QLocale::system().toString(double(characters) / 1024.0, 'f', 2);
}

RequestFramer::RequestFramer(qsizetype maxBytes, qsizetype maxHeaderBytes)
    : maxBytes_(maxBytes > 0 ? maxBytes : MaxRequestBytes),
      maxHeaderBytes_(maxHeaderBytes > 0 ? maxHeaderBytes : MaxHeaderBytes)
{
}

RequestFramer::State RequestFramer::feed(QByteArrayView bytes)
{
    if (state_ != State::Incomplete)
        return state_;
    if (headerEnd_ >= 0) {
        feedBody(bytes);
        return state_;
    }
    head_.append(bytes);
    classifyLine();
    scanHeader();
    const bool bounded = line_ != Line::Other;
    if (headerEnd_ < 0) {
        if (bounded && head_.size() > maxHeaderBytes_) {
            refuse(http::HeadTooLarge.status,
                   QStringLiteral("request line and header longer than %1 bytes").arg(maxHeaderBytes_));
            return state_;
        }
        if (head_.size() > maxBytes_) {
            refuse(413, QStringLiteral("request larger than %1 MiB").arg(maxBytes_ / (1024 * 1024)));
            return state_;
        }
        // No header end yet: the whole request is judged by its last bytes, as it always was.
        if (head_.endsWith(Terminator))
            complete();
        return state_;
    }
    if (bounded && headerEnd_ > maxHeaderBytes_) {
        refuse(http::HeadTooLarge.status,
               QStringLiteral("request line and header longer than %1 bytes").arg(maxHeaderBytes_));
        return state_;
    }
    if (line_ == Line::Request) {
        // Methods are case-sensitive, but the relay never looked at them: a client that spells
        // POST in small letters keeps working.
        const QByteArrayView method = QByteArrayView(head_).first(methodLength_);
        if (method.compare("POST", Qt::CaseInsensitive) != 0) {
            refuse(405, QStringLiteral("method %1 is not allowed").arg(QLatin1String(method)));
            return state_;
        }
    }
    // The header end arrived with this piece, so the rest is from this piece only.
    const QByteArray rest = head_.sliced(headerEnd_);
    head_.truncate(headerEnd_);
    head_.squeeze();
    if (parseHeader() && state_ == State::Incomplete)
        feedBody(rest);
    return state_;
}

void RequestFramer::classifyLine()
{
    // One pass over the first line, however it is cut into pieces.
    const char* data = head_.constData();
    for (; lineScanned_ < head_.size(); ++lineScanned_) {
        const char c = data[lineScanned_];
        switch (line_) {
        case Line::Method:
            if (IsTokenChar(c) && methodLength_ < MaxMethodLength)
                ++methodLength_;
            else
                line_ = c == ' ' && methodLength_ > 0 ? Line::Target : Line::Other;
            break;
        case Line::Target:
            if (c == ' ' && lineScanned_ > methodLength_ + 1) {
                line_ = Line::Version;
                versionStart_ = lineScanned_ + 1;
            } else if (!IsVisible(c) || c == '<') {
                // Markup is no target: a few bytes, a blank and markup are a bare document.
                line_ = Line::Other;
            }
            break;
        case Line::Version:
            if (c == '\r' || c == '\n') {
                const bool version = IsVersionField(QByteArrayView(data + versionStart_, lineScanned_ - versionStart_));
                line_ = !version ? Line::Other : c == '\r' ? Line::VersionLf : Line::Request;
            } else if (lineScanned_ - versionStart_ >= MaxVersionLength) {
                line_ = Line::Other;
            }
            break;
        case Line::VersionLf:
            line_ = c == '\n' ? Line::Request : Line::Other;
            break;
        case Line::Request:
        case Line::Other:
            return;
        }
    }
}

void RequestFramer::scanHeader()
{
    const qsizetype size = head_.size();
    const char* data = head_.constData();
    if (requestLineEnd_ < 0) {
        const void* lf = std::memchr(data + scanned_, '\n', size_t(size - scanned_));
        if (!lf) {
            scanned_ = size;
            return;
        }
        requestLineEnd_ = static_cast<const char*>(lf) - data;
        version_ = SafeVersionField(QByteArrayView(data, requestLineEnd_));
        // A bare LF after the request line: the client ends its lines that way, so an empty line
        // is LF LF (or LF CR LF). Only for something that looks like a request line; a document
        // sent without any header keeps the old rule.
        bareLf_ = (requestLineEnd_ == 0 || data[requestLineEnd_ - 1] != '\r') &&
            QByteArrayView(data, requestLineEnd_).indexOf("HTTP/") >= 0;
        scanned_ = requestLineEnd_;
    }
    // Starting a few bytes back catches an empty line split across pieces; with bare LFs every LF
    // from the request line's on is looked at.
    const qsizetype from = bareLf_ ? qMax(requestLineEnd_, scanned_ - 2) : qMax<qsizetype>(0, scanned_ - 3);
    const qsizetype end = http::FindHeadEnd(QByteArrayView(data, size), from, bareLf_);
    if (end >= 0) {
        headerEnd_ = end;
        return;
    }
    scanned_ = size;
}

bool RequestFramer::parseHeader()
{
    const QByteArrayView header = QByteArrayView(head_).first(headerEnd_);
    // Every field is judged as it is read, so parsing costs no memory that grows with the header.
    bool sawLength = false;
    qint64 length = -1;
    QString lengthError; // the first fault among the lengths, in the order given
    bool sawCoding = false;
    int codings = 0;
    bool otherCoding = false;
    const auto takeField = [&](QByteArrayView fieldName, QByteArrayView value) {
        if (SameName(fieldName, "Content-Length")) {
            ForEachListPart(value, [&](QByteArrayView text) {
                sawLength = true;
                if (!lengthError.isEmpty())
                    return;
                if (text.isEmpty() || text.size() > MaxLengthDigits || !std::all_of(text.begin(), text.end(), IsDigit)) {
                    lengthError = QStringLiteral("invalid Content-Length");
                    return;
                }
                qint64 number = 0;
                for (const char c : text)
                    number = number * 10 + (c - '0');
                if (length >= 0 && number != length)
                    lengthError = QStringLiteral("conflicting Content-Length values");
                length = number;
            });
        } else if (SameName(fieldName, "Transfer-Encoding")) {
            sawCoding = true;
            ForEachListPart(value, [&](QByteArrayView part) {
                const qsizetype semicolon = part.indexOf(';');
                if (semicolon >= 0)
                    part = Trimmed(part.first(semicolon));
                if (part.isEmpty())
                    return;
                ++codings;
                if (part.compare("chunked", Qt::CaseInsensitive) != 0)
                    otherCoding = true;
            });
        } else if (SameName(fieldName, "Expect")) {
            if (value.compare("100-continue", Qt::CaseInsensitive) == 0)
                expectContinue_ = true;
        } else if (SameName(fieldName, "Origin") || SameName(fieldName, "Sec-Fetch-Site")) {
            fromBrowser_ = true;
        }
    };
    // Obsolete line folding continues the previous field's value.
    http::ForEachField(header.sliced(requestLineEnd_ + 1), takeField);

    if (sawCoding && codings > 0) {
        // The transfer coding frames the body; a Content-Length beside it is ignored.
        if (otherCoding) {
            refuse(501, QStringLiteral("unsupported transfer coding"));
            return false;
        }
        if (codings > 1) {
            refuse(http::BadRequest.status, QStringLiteral("chunked transfer coding applied more than once"));
            return false;
        }
        bodyKind_ = Body::Chunked;
        chunk_ = Chunk::Size;
        return true;
    }
    if (!sawLength) {
        bodyKind_ = Body::Terminator;
        return true;
    }
    if (!lengthError.isEmpty()) {
        refuse(http::BadRequest.status, lengthError);
        return false;
    }
    if (length > maxBytes_) {
        refuse(413, QStringLiteral("announced body larger than %1 MiB").arg(maxBytes_ / (1024 * 1024)));
        return false;
    }
    bodyKind_ = Body::Length;
    remaining_ = qsizetype(length);
    if (remaining_ == 0)
        complete();
    return true;
}

void RequestFramer::feedBody(QByteArrayView bytes)
{
    switch (bodyKind_) {
    case Body::Terminator:
        if (body_.size() + bytes.size() > maxBytes_) {
            refuse(413, QStringLiteral("request larger than %1 MiB").arg(maxBytes_ / (1024 * 1024)));
            return;
        }
        body_.append(bytes);
        // The header ends with a line end and the terminator starts with '<', so the whole
        // request ends with the terminator exactly when the body does.
        if (body_.endsWith(Terminator))
            complete();
        return;
    case Body::Length: {
        const qsizetype take = qMin(remaining_, bytes.size());
        body_.append(bytes.first(take));
        remaining_ -= take;
        if (remaining_ == 0)
            complete();
        return;
    }
    case Body::Chunked:
        feedChunked(bytes);
        return;
    case Body::Unknown:
        return;
    }
}

void RequestFramer::chunkLineEnd()
{
    chunkLine_ = 0;
    sizeDigits_ = 0;
    if (remaining_ == 0) {
        chunk_ = Chunk::Trailer;
        return;
    }
    if (body_.size() + remaining_ > maxBytes_) {
        refuse(413, QStringLiteral("request larger than %1 MiB").arg(maxBytes_ / (1024 * 1024)));
        return;
    }
    chunk_ = Chunk::Data;
}

void RequestFramer::feedChunked(QByteArrayView bytes)
{
    const auto malformed = [this](const char* what) {
        refuse(http::BadRequest.status, QStringLiteral("malformed chunked body: %1").arg(QLatin1String(what)));
    };
    qsizetype at = 0;
    while (at < bytes.size() && state_ == State::Incomplete) {
        if (chunk_ == Chunk::Data) {
            const qsizetype take = qMin(remaining_, bytes.size() - at);
            body_.append(bytes.sliced(at, take));
            at += take;
            remaining_ -= take;
            if (remaining_ == 0)
                chunk_ = Chunk::DataCr;
            continue;
        }
        const char c = bytes.at(at++);
        if (chunk_ == Chunk::Size || chunk_ == Chunk::SizeSpace || chunk_ == Chunk::Extension) {
            if (++chunkLine_ > MaxChunkLine) {
                malformed("chunk-size line too long");
                return;
            }
        }
        switch (chunk_) {
        case Chunk::Size: {
            const int digit = HexValue(c);
            if (digit >= 0) {
                if (++sizeDigits_ > MaxChunkSizeDigits) {
                    malformed("chunk size too large");
                    return;
                }
                remaining_ = remaining_ * 16 + digit;
            } else if (sizeDigits_ == 0) {
                malformed("chunk size expected");
                return;
            } else if (c == ';') {
                chunk_ = Chunk::Extension;
            } else if (IsBlank(c)) {
                chunk_ = Chunk::SizeSpace;
            } else if (c == '\r') {
                chunk_ = Chunk::SizeLf;
            } else if (c == '\n') {
                chunkLineEnd();
            } else {
                malformed("bad character in chunk size");
                return;
            }
            break;
        }
        case Chunk::SizeSpace:
            if (c == ';')
                chunk_ = Chunk::Extension;
            else if (c == '\r')
                chunk_ = Chunk::SizeLf;
            else if (c == '\n')
                chunkLineEnd();
            else if (!IsBlank(c)) {
                malformed("bad character after chunk size");
                return;
            }
            break;
        case Chunk::Extension:
            // Extensions mean nothing here; skipped up to the line end.
            if (c == '\n')
                chunkLineEnd();
            break;
        case Chunk::SizeLf:
            if (c != '\n') {
                malformed("CR without LF after chunk size");
                return;
            }
            chunkLineEnd();
            break;
        case Chunk::DataCr:
            if (c == '\r')
                chunk_ = Chunk::DataLf;
            else if (c == '\n')
                chunk_ = Chunk::Size;
            else {
                malformed("chunk data longer than its size");
                return;
            }
            break;
        case Chunk::DataLf:
            if (c != '\n') {
                malformed("CR without LF after chunk data");
                return;
            }
            chunk_ = Chunk::Size;
            break;
        case Chunk::Trailer:
        case Chunk::TrailerLine:
            if (++trailerBytes_ > MaxTrailerBytes) {
                malformed("trailer section too long");
                return;
            }
            if (chunk_ == Chunk::Trailer && c == '\n') {
                complete();
                return;
            }
            if (chunk_ == Chunk::Trailer && c == '\r')
                chunk_ = Chunk::TrailerLf;
            else if (c == '\n')
                chunk_ = Chunk::Trailer;
            else
                chunk_ = Chunk::TrailerLine;
            break;
        case Chunk::TrailerLf:
            if (c != '\n') {
                malformed("CR without LF at the end of the trailer");
                return;
            }
            complete();
            return;
        case Chunk::Data:
            break;
        }
    }
}

RequestFramer::State RequestFramer::quietSpell()
{
    if (state_ != State::Incomplete)
        return state_;
    if (headerEnd_ < 0) {
        // No header at all: the document starts at the fourth byte, as with the terminator.
        if (EndsWithDocument(head_, qMin<qsizetype>(3, head_.size()), trailingWhiteFrom(head_)))
            complete();
        return state_;
    }
    switch (bodyKind_) {
    case Body::Terminator:
    case Body::Length:
        if (EndsWithDocument(body_, 0, trailingWhiteFrom(body_)))
            complete();
        break;
    case Body::Chunked:
        // The last chunk came but the final empty line did not.
        if (chunk_ == Chunk::Trailer || chunk_ == Chunk::TrailerLf)
            complete();
        break;
    case Body::Unknown:
        break;
    }
    return state_;
}

qsizetype RequestFramer::trailingWhiteFrom(const QByteArray& bytes)
{
    // Only what came since the last look is read: a request of nothing but blanks would otherwise
    // be read whole at every quiet spell.
    if (&bytes != whiteOf_ || bytes.size() < whiteScanned_) {
        whiteOf_ = &bytes;
        whiteScanned_ = 0;
        whiteFrom_ = 0;
    }
    qsizetype at = bytes.size();
    while (at > whiteScanned_ && IsWhite(bytes.at(at - 1)))
        --at;
    if (at > whiteScanned_)
        whiteFrom_ = at;
    whiteScanned_ = bytes.size();
    return whiteFrom_;
}

bool RequestFramer::takeContinue()
{
    if (!expectContinue_ || continueTaken_ || fromBrowser_ || headerEnd_ < 0 || state_ != State::Incomplete)
        return false;
    continueTaken_ = true;
    return true;
}

QByteArray RequestFramer::versionField() const
{
    if (requestLineEnd_ >= 0 || state_ != State::Incomplete)
        return version_.isEmpty() ? QByteArrayLiteral("HTTP/1.0") : version_;
    return SafeVersionField(head_);
}

QByteArray RequestFramer::takeDocument()
{
    if (headerEnd_ >= 0)
        return std::exchange(body_, QByteArray());
    QByteArray document = std::exchange(head_, QByteArray());
    document.remove(0, qMin<qsizetype>(3, document.size()));
    return document;
}

void RequestFramer::complete()
{
    if (requestLineEnd_ < 0)
        version_ = SafeVersionField(head_);
    state_ = State::Complete;
}

void RequestFramer::refuse(int status, const QString& reason)
{
    if (requestLineEnd_ < 0)
        version_ = SafeVersionField(head_);
    state_ = State::Refused;
    refusalStatus_ = status;
    refusalReason_ = reason;
    head_ = QByteArray();
    body_ = QByteArray();
}

} // namespace swn
