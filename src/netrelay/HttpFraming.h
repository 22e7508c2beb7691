#pragma once
// Framing of one network request: fed the bytes of a connection as they arrive, decides when the
// request is complete, what the reply may repeat and where the document is. No sockets here.
#include "common/HttpHead.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace swn {

// A request without a length is complete when the received bytes end with exactly these.
inline constexpr char RequestTerminator[] = "</BT_mail_Msg>\r\n";
inline constexpr qsizetype RequestTerminatorLength = 16;
// A request that grows beyond this is dropped: one client must not exhaust the machine's memory.
inline constexpr qsizetype MaxRequestBytes = qsizetype(256) * 1024 * 1024;
// What the request line and header of an HTTP request may hold together, the empty line that ends
// the header included; one byte more and the request is refused with 431 at once.
//
// Held to it is every request whose first line is an HTTP request line: a method of 1 to 32 token
// characters, one blank, a target of visible ASCII characters other than "<", one blank, "HTTP/"
// digits "." digits, and CR LF or a bare LF. While that line is still arriving, bytes that can
// still become such a line are held to it too, so a request line without an end is no way around
// the bound. Once the first line is a request line the bound stays, whatever the lines after it
// hold: a stray line that is no header field must not lift it.
// Anything else is a bare document as the oldest clients send it (it starts with "<", a byte order
// mark, or a few bytes and markup) and keeps the old rule at any size up to the request limit:
// complete on the terminator, the document after the first CR LF CR LF or from the fourth byte.
inline constexpr qsizetype MaxHeaderBytes = 64 * 1024;
// Longer than any method in use; a longer first word is no request line.
inline constexpr int MaxMethodLength = 32;

// "HTTP/" digits "." digits taken from the request line, or "HTTP/1.0": the only request bytes
// a reply ever repeats.
using http::IsVersionField;
using http::SafeVersionField;

// The success reply: version, " 200 ", CR LF, "Content-Length: 0", CR LF, CR LF.
QByteArray BuildReply(const QByteArray& versionField);
// A refusal: status line with its reason phrase, no body, and the connection closes. A 405 names
// the one method taken ("Allow: POST"). extraHeaderLines ("Retry-After: 30", several separated
// by CR LF) go in after the status line; a line that is not a plain "Name: value" is left out, so
// the header can never end early.
QByteArray BuildErrorReply(const QByteArray& versionField, int status, const QByteArray& extraHeaderLines = {});
// Characters of UTF-8 text (lead bytes only), as the logged stream length counts them.
qsizetype CharacterCount(const QByteArray& utf8);
// The document size for the arrival line: characters / 1024 with two decimals in the user's locale.
QString StreamLengthText(qsizetype characters);

class RequestFramer {
public:
    enum class State { Incomplete, Complete, Refused };

    // maxBytes bounds what one request may announce or hold; beyond it the request is refused (413).
    // maxHeaderBytes bounds the header of an HTTP request (431), see MaxHeaderBytes.
    explicit RequestFramer(qsizetype maxBytes = MaxRequestBytes, qsizetype maxHeaderBytes = MaxHeaderBytes);

    // Takes the next bytes of the connection. Work is proportional to the bytes given.
    State feed(QByteArrayView bytes);
    State state() const { return state_; }
    // The connection has been quiet for a while: a document that visibly ended, followed only by
    // white space, is taken as complete.
    State quietSpell();

    // True exactly once, when the client asked to be told to go on and its body is still to come.
    bool takeContinue();
    // The header carries fields only browsers send (Origin, Sec-Fetch-Site).
    bool fromBrowser() const { return fromBrowser_; }
    bool headerComplete() const { return headerEnd_ >= 0; }
    // The first line is an HTTP request line, or can still become one: its header is bounded.
    bool headerBounded() const { return line_ != Line::Other; }
    // The first line is a complete HTTP request line (see MaxHeaderBytes).
    bool isHttpRequest() const { return line_ == Line::Request; }
    QByteArray versionField() const;
    // The body, dechunked; for a request without a header end, the bytes from the fourth on.
    QByteArray takeDocument();

    int refusalStatus() const { return refusalStatus_; }
    QString refusalReason() const { return refusalReason_; }
    // Memory held for this request.
    qsizetype bufferedBytes() const { return head_.size() + body_.size(); }

private:
    enum class Body { Unknown, Terminator, Length, Chunked };
    enum class Chunk { Size, SizeSpace, Extension, SizeLf, Data, DataCr, DataLf, Trailer, TrailerLine, TrailerLf };
    // How far the first line matches an HTTP request line; Request and Other are final.
    enum class Line { Method, Target, Version, VersionLf, Request, Other };

    void classifyLine();
    void scanHeader();
    void chunkLineEnd();
    bool parseHeader();
    void feedBody(QByteArrayView bytes);
    void feedChunked(QByteArrayView bytes);
    void complete();
    void refuse(int status, const QString& reason);
    qsizetype trailingWhiteFrom(const QByteArray& bytes);

    qsizetype maxBytes_;
    qsizetype maxHeaderBytes_;
    State state_ = State::Incomplete;
    QByteArray head_; // the header, or everything received while no header end has been seen
    QByteArray body_;
    Line line_ = Line::Method;
    qsizetype lineScanned_ = 0;     // bytes of the first line classified so far
    qsizetype methodLength_ = 0;
    qsizetype versionStart_ = 0;
    qsizetype requestLineEnd_ = -1; // position of the first LF
    bool bareLf_ = false;           // the request line ended with a bare LF
    qsizetype headerEnd_ = -1;      // the first body byte
    qsizetype scanned_ = 0;         // header bytes already searched for the header end
    Body bodyKind_ = Body::Unknown;
    qsizetype remaining_ = 0; // body bytes still expected (Content-Length) or left in the chunk
    Chunk chunk_ = Chunk::Size;
    qsizetype chunkLine_ = 0;   // bytes of the current chunk-size or trailer line
    qsizetype trailerBytes_ = 0;
    int sizeDigits_ = 0;
    bool expectContinue_ = false;
    bool continueTaken_ = false;
    bool fromBrowser_ = false;
    QByteArray version_; // kept once the request line is known
    const QByteArray* whiteOf_ = nullptr; // the buffer whiteFrom_ describes, up to whiteScanned_
    qsizetype whiteScanned_ = 0;
    qsizetype whiteFrom_ = 0;
    int refusalStatus_ = 0;
    QString refusalReason_;
};

} // namespace swn
