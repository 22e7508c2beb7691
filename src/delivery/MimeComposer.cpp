#include "delivery/MimeComposer.h"

#include "delivery/Delivery.h"
#include "delivery/DeliveryError.h"
#include "delivery/HtmlText.h"
#include "delivery/MailHeaders.h"
#include "delivery/Staging.h"
#include "delivery/TextEncoding.h"
#include "common/Catalogue.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QMimeDatabase>
#include <QRandomGenerator>
#include <QSet>
#include <QUrl>

#include <gmime/gmime.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace swn {

namespace {

void InitMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

// Messages whose parts add up to more than this are written to a file instead of memory.
constexpr qint64 kInMemoryLimit = 1 << 20;
// A Content-Location longer than this would make a header line no reader has to accept; the
// Content-ID links the image all the same.
constexpr qsizetype kLongestLocation = 900;
// The longest line of a part sent as it is, without its CRLF.
constexpr qsizetype kLongestBodyLine = 998;

class StreamMessage final : public ComposedMessage {
public:
    explicit StreamMessage(GMimeStream* stream) : stream_(stream) {}
    ~StreamMessage() override { g_object_unref(stream_); }
    qint64 read(char* buffer, qint64 size) override
    {
        const ssize_t n = g_mime_stream_read(stream_, buffer, size_t(size));
        return n < 0 ? -1 : qint64(n);
    }
    qint64 size() const override { return g_mime_stream_length(stream_); }
    bool rewind() override { return g_mime_stream_reset(stream_) == 0; }

private:
    GMimeStream* stream_;
};

bool IsAsciiBytes(const char* text)
{
    for (; *text; ++text)
        if (uchar(*text) >= 0x80)
            return false;
    return true;
}

void CollectMailboxes(InternetAddressList* list, QList<Mailbox>& found)
{
    for (int i = 0; i < internet_address_list_length(list); ++i) {
        InternetAddress* address = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(address)) {
            CollectMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), found);
            continue;
        }
        InternetAddressMailbox* mailbox = INTERNET_ADDRESS_MAILBOX(address);
        // The domain's ASCII form is asked for only when there is another: the conversion is
        // the costliest step of reading an address.
        const char* addr = internet_address_mailbox_get_addr(mailbox);
        if (addr && !IsAsciiBytes(addr))
            addr = internet_address_mailbox_get_idn_addr(mailbox);
        if (!addr || !*addr)
            continue;
        const char* name = internet_address_get_name(address);
        found.append({name ? QString::fromUtf8(name) : QString(), QByteArray(addr)});
    }
}

// Entries as the parser reads them: every mailbox of every entry, groups opened up. An entry the
// parser makes nothing of stays one mailbox with the text as its address, so that the server
// judges it (and its refusal is logged) instead of the recipient silently vanishing.
void AppendEntry(QList<Mailbox>& target, const QString& entry)
{
    const QByteArray text = MimeMessageBuilder::WithoutLineBreaks(entry).trimmed().toUtf8();
    if (text.isEmpty())
        return; // an empty entry counts as a recipient but names nobody
    // The common entry, a bare address of atoms, is what the parser would make of it.
    if (IsPlainAddress(text)) {
        target.append({QString(), text});
        return;
    }
    InternetAddressList* parsed = internet_address_list_parse(nullptr, text.constData());
    QList<Mailbox> found;
    if (parsed) {
        CollectMailboxes(parsed, found);
        g_object_unref(parsed);
    }
    if (found.isEmpty())
        found.append({QString(), text});
    target.append(found);
}

struct FilePart {
    QString displayName;
    int fd = -1;
};

QByteArray MimeTypeFor(const QString& displayName)
{
    const QMimeDatabase database;
    return database.mimeTypeForFile(displayName, QMimeDatabase::MatchExtension).name().toLatin1();
}

// The charset of a text file when its bytes show it: ASCII, UTF-8, or UTF-16 with its mark.
QByteArray CharsetOfFile(int fd)
{
    Utf8Validator validator;
    char buffer[65536];
    off_t offset = 0;
    bool first = true;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0)
            return {};
        if (n == 0)
            break;
        if (first && n >= 2 &&
            ((uchar(buffer[0]) == 0xFF && uchar(buffer[1]) == 0xFE) ||
             (uchar(buffer[0]) == 0xFE && uchar(buffer[1]) == 0xFF)))
            return "utf-16";
        first = false;
        if (!validator.feed(buffer, size_t(n)))
            return {};
        offset += n;
    }
    if (!validator.finish())
        return {};
    return validator.ascii() ? "us-ascii" : "utf-8";
}

// What a text's bytes allow: the longest line (without its line end), bytes beyond ASCII, NUL.
struct TextShape {
    qsizetype longestLine = 0;
    qsizetype eightBit = 0;
    bool nul = false;
    bool loneLineEnds = false; // a CR or LF that is not part of a CRLF
    qsizetype lineEnds = 0;

    // Continues over the next piece; `lastWasCr` carries a CR at a piece's end into the next.
    void feed(const char* data, qsizetype size, qsizetype& line, bool& lastWasCr)
    {
        for (qsizetype i = 0; i < size; ++i) {
            // Eight bytes at a time while they are ASCII and none is below 0x0E (CR, LF, NUL).
            if (!lastWasCr) {
                constexpr quint64 kLow = 0x0E0E0E0E0E0E0E0EULL, kHigh = 0x8080808080808080ULL;
                quint64 word;
                while (i + 8 <= size) {
                    std::memcpy(&word, data + i, 8);
                    if (((word | ((word - kLow) & ~word)) & kHigh) != 0)
                        break;
                    line += 8;
                    i += 8;
                }
                if (i >= size)
                    break;
            }
            const uchar c = uchar(data[i]);
            if (c == '\n') {
                if (!lastWasCr) {
                    loneLineEnds = true;
                    longestLine = std::max(longestLine, line);
                    ++lineEnds;
                }
                line = 0;
                lastWasCr = false;
                continue;
            }
            if (lastWasCr)
                loneLineEnds = true; // a CR that no LF follows
            lastWasCr = false;
            if (c == '\r') {
                longestLine = std::max(longestLine, line);
                ++lineEnds;
                line = 0;
                lastWasCr = true;
                continue;
            }
            ++line;
            if (c >= 0x80)
                ++eightBit;
            else if (c == 0)
                nul = true;
        }
    }
    void finish(qsizetype line, bool lastWasCr)
    {
        if (lastWasCr)
            loneLineEnds = true;
        longestLine = std::max(longestLine, line);
    }
};

TextShape ShapeOf(const char* data, qsizetype size)
{
    TextShape shape;
    qsizetype line = 0;
    bool lastWasCr = false;
    shape.feed(data, size, line, lastWasCr);
    shape.finish(line, lastWasCr);
    return shape;
}

// The text with every line ending in CRLF: a lone CR or LF is a line break of its own.
GByteArray* CanonicalLineEnds(const char* data, qsizetype size, const TextShape& shape)
{
    // Every line end may grow by one byte; no more.
    GByteArray* out = g_byte_array_sized_new(guint(size + (shape.loneLineEnds ? shape.lineEnds : 0)));
    if (!shape.loneLineEnds) {
        g_byte_array_append(out, reinterpret_cast<const guint8*>(data), guint(size));
        return out;
    }
    g_byte_array_set_size(out, guint(size + shape.lineEnds));
    char* o = reinterpret_cast<char*>(out->data);
    for (qsizetype i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\r') {
            *o++ = '\r';
            *o++ = '\n';
            if (i + 1 < size && data[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            *o++ = '\r';
            *o++ = '\n';
        } else {
            *o++ = c;
        }
    }
    g_byte_array_set_size(out, guint(o - reinterpret_cast<char*>(out->data)));
    return out;
}

// The transfer encoding the bytes need to travel in any server: 7bit when they are short ASCII
// lines, else quoted-printable for mostly ASCII text and base64 for the rest.
GMimeContentEncoding TextEncodingFor(const TextShape& shape, qsizetype size)
{
    if (shape.nul)
        return GMIME_CONTENT_ENCODING_BASE64;
    if (shape.eightBit > 0)
        return shape.eightBit * 100 >= size * 17 ? GMIME_CONTENT_ENCODING_BASE64
                                                 : GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
    return shape.longestLine > kLongestBodyLine ? GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE : GMIME_CONTENT_ENCODING_7BIT;
}

[[noreturn]] void ThrowHostFault(const QString& what, int error)
{
    throw DeliveryError(
        BuildResourceMessage(msg::AttachmentNotStaged, {what, QString::fromLocal8Bit(std::strerror(error))}), true);
}

// The shape of a file's content, read in pieces.
bool ShapeOfFile(int fd, TextShape& shape)
{
    char buffer[65536];
    off_t offset = 0;
    qsizetype line = 0;
    bool lastWasCr = false;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        shape.feed(buffer, n, line, lastWasCr);
        offset += n;
    }
    shape.finish(line, lastWasCr);
    return true;
}

// True when the file begins like a mail: header lines ("Name: value", folded or not) and the
// empty line that ends them; for a file that does not say it is one, a From among at least two.
bool ReadsAsMessage(int fd, bool named)
{
    char buffer[65536];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
        return false;
    const QByteArrayView head(buffer, n);
    qsizetype start = 0;
    int fields = 0;
    bool from = false;
    while (start < head.size()) {
        qsizetype end = head.indexOf('\n', start);
        if (end < 0)
            return false; // the header does not end within the first piece
        QByteArrayView line = head.sliced(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        start = end + 1;
        if (line.isEmpty())
            return named ? fields >= 1 : from && fields >= 2;
        if (line.front() == ' ' || line.front() == '\t') {
            if (fields == 0)
                return false;
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return false;
        for (char c : line.first(colon))
            if (uchar(c) < 33 || uchar(c) > 126)
                return false;
        ++fields;
        from = from || line.first(colon).compare("from", Qt::CaseInsensitive) == 0;
    }
    return false;
}

// A copy of the file in an unlinked staged file, every line ending in CRLF; returns its descriptor.
int CanonicalCopy(int fd, const QString& displayName)
{
    QString path;
    const int copy = CreateStagedFile(path, displayName);
    ::unlink(QFile::encodeName(path).constData());
    char buffer[65536];
    QByteArray out;
    off_t offset = 0;
    bool pendingCr = false; // a CR at the end of the last piece, its LF perhaps in the next
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        const int readError = errno;
        if (n < 0) {
            ::close(copy);
            ThrowHostFault(displayName, readError);
        }
        out.clear();
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (pendingCr) {
                pendingCr = false;
                out += "\r\n";
                if (c == '\n')
                    continue;
            }
            if (c == '\r')
                pendingCr = true;
            else if (c == '\n')
                out += "\r\n";
            else
                out += c;
        }
        if (n == 0 && pendingCr)
            out += "\r\n";
        if (!WriteStagedData(copy, out.constData(), out.size())) {
            const int error = errno;
            ::close(copy);
            ThrowHostFault(displayName, error);
        }
        if (n == 0)
            break;
        offset += n;
    }
    ::lseek(copy, 0, SEEK_SET);
    return copy;
}

// A part whose content streams from an open file, base64 encoded while the message is written.
// A message goes as message/rfc822 in 7bit or 8bit, as the type requires, when its lines allow it
// (no NUL, none over 998 octets); otherwise as plain bytes in base64.
GMimePart* NewFilePart(FilePart& file, const char* disposition)
{
    QByteArray type = MimeTypeFor(file.displayName);
    GMimeContentEncoding encoding = GMIME_CONTENT_ENCODING_BASE64;
    const bool attachment = std::strcmp(disposition, GMIME_DISPOSITION_ATTACHMENT) == 0;
    const bool named = type == "message/rfc822";
    if (attachment && (named || type == "application/octet-stream") && ReadsAsMessage(file.fd, named)) {
        TextShape shape;
        if (!ShapeOfFile(file.fd, shape)) {
            const int error = errno;
            ThrowHostFault(file.displayName, error);
        }
        if (!shape.nul && shape.longestLine <= kLongestBodyLine) {
            type = "message/rfc822";
            encoding = shape.eightBit ? GMIME_CONTENT_ENCODING_8BIT : GMIME_CONTENT_ENCODING_7BIT;
            // The writer turns a lone LF into CRLF but would keep a lone CR.
            if (shape.loneLineEnds) {
                const int copy = CanonicalCopy(file.fd, file.displayName);
                ::close(file.fd);
                file.fd = copy;
            }
        } else {
            type = "application/octet-stream";
        }
    } else if (type.startsWith("message/")) {
        // Not a message after all, or a type that allows 7bit only: plain bytes are always right.
        type = "application/octet-stream";
    }
    const qsizetype slash = type.indexOf('/');
    GMimePart* part = slash > 0
        ? g_mime_part_new_with_type(type.left(slash).constData(), type.mid(slash + 1).constData())
        : g_mime_part_new_with_type("application", "octet-stream");
    if (type.startsWith("text/")) {
        const QByteArray charset = CharsetOfFile(file.fd);
        if (!charset.isEmpty())
            g_mime_object_set_content_type_parameter(GMIME_OBJECT(part), "charset", charset.constData());
    }
    GMimeStream* stream = g_mime_stream_fs_new(file.fd); // owns the descriptor from here on
    file.fd = -1;
    GMimeDataWrapper* content = g_mime_data_wrapper_new_with_stream(stream, GMIME_CONTENT_ENCODING_DEFAULT);
    g_mime_part_set_content(part, content);
    g_object_unref(content);
    g_object_unref(stream);
    g_mime_part_set_content_encoding(part, encoding);
    g_mime_object_set_disposition(GMIME_OBJECT(part), disposition);
    const QByteArray name = MimeMessageBuilder::WithoutLineBreaks(file.displayName).toUtf8();
    g_mime_part_set_filename(part, name.constData()); // RFC 2231 parameters for non-ASCII names
    return part;
}

// A text part in UTF-8, every line ending in CRLF, in the narrowest transfer encoding its bytes
// allow: a lone CR or LF (from "&#13;" or "&#10;") never reaches the wire, nor a line over 998.
GMimeObject* NewTextPart(const char* subtype, const char* utf8, qsizetype size)
{
    const TextShape shape = ShapeOf(utf8, size);
    GMimeTextPart* text = g_mime_text_part_new_with_subtype(subtype);
    // The text is UTF-8 already; g_mime_text_part_set_text would pick a narrower charset and recode it.
    GMimeStream* stream = g_mime_stream_mem_new_with_byte_array(CanonicalLineEnds(utf8, size, shape));
    GMimeDataWrapper* content = g_mime_data_wrapper_new_with_stream(stream, GMIME_CONTENT_ENCODING_DEFAULT);
    g_mime_part_set_content(GMIME_PART(text), content);
    g_object_unref(content);
    g_object_unref(stream);
    g_mime_text_part_set_charset(text, "utf-8");
    g_mime_part_set_content_encoding(GMIME_PART(text), TextEncodingFor(shape, size));
    return GMIME_OBJECT(text);
}

GMimeObject* NewTextPart(const char* subtype, const QByteArray& utf8)
{
    return NewTextPart(subtype, utf8.constData(), utf8.size());
}

qint64 FileSize(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? qint64(st.st_size) : 0;
}

// The left side of a Message-ID or Content-ID: random, so no two mails or parts ever share one.
QByteArray NewIdLeft()
{
    quint64 random[2];
    QRandomGenerator::system()->fillRange(random);
    return QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex();
}

// A URI reference for Content-Location: non-ASCII and the characters a URI cannot hold
// percent-encoded, everything a file name commonly holds left readable.
QByteArray LocationFor(const QString& displayName)
{
    return QUrl::toPercentEncoding(MimeMessageBuilder::WithoutLineBreaks(displayName), "!$&'()*+,;=:@/");
}

bool IsMessageId(const QByteArray& value)
{
    if (value.size() < 5 || value.size() > kLongestHeaderWord || !value.startsWith('<') || !value.endsWith('>'))
        return false;
    const QByteArray inner = value.mid(1, value.size() - 2);
    const qsizetype at = inner.lastIndexOf('@');
    if (at <= 0)
        return false;
    // id-left is a dot-atom like a local part; id-right like a domain.
    return IsHeaderAddress(inner) && IsIdDomain(inner.mid(at + 1)) && !inner.startsWith('"');
}

// "Mon, 07 Dec 2026 17:29:07 +0100", in English whatever the locale. Written by hand: the
// locale's formatter parses its pattern for every mail.
QByteArray MailDate(const QDateTime& when)
{
    static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate date = when.date();
    const QTime time = when.time();
    const int offset = when.offsetFromUtc() / 60;
    const int magnitude = offset < 0 ? -offset : offset;
    char text[40];
    const int n = std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d",
                                kDays[(date.dayOfWeek() + 6) % 7], date.day(), kMonths[(date.month() + 11) % 12],
                                date.year(), time.hour(), time.minute(), time.second(), offset < 0 ? '-' : '+',
                                magnitude / 60, magnitude % 60);
    return QByteArray(text, n);
}

bool IsAscii(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() >= 0x7F)
            return false;
    return true;
}

} // namespace

QByteArray HostDomain()
{
    static std::once_flag once;
    static QByteArray domain;
    std::call_once(once, [] {
        char name[256] = {};
        QByteArray host;
        if (::gethostname(name, sizeof name - 1) == 0)
            host = QByteArray(name);
        if (!host.isEmpty() && !host.contains('.')) {
            addrinfo hints {};
            hints.ai_flags = AI_CANONNAME;
            addrinfo* found = nullptr;
            if (::getaddrinfo(name, nullptr, &hints, &found) == 0 && found) {
                if (found->ai_canonname)
                    host = QByteArray(found->ai_canonname);
                ::freeaddrinfo(found);
            }
        }
        host = host.toLower();
        domain = host.contains('.') && IsIdDomain(host) ? host : QByteArray("localhost.localdomain");
    });
    return domain;
}

struct MimeMessageBuilder::Impl {
    QString fromEntry;
    QList<Mailbox> from, sender, to, cc, bcc, replyTo;
    QString subject;
    QByteArray body;
    bool html = false;
    QByteArray date, messageId;
    std::vector<std::pair<QByteArray, QString>> headers;
    std::vector<FilePart> related, attachments;
    // The list each envelope address came from first; made when first asked for.
    mutable QHash<QByteArray, RecipientKind> kinds;
    mutable bool kindsKnown = false;

    ~Impl()
    {
        for (auto* parts : {&related, &attachments})
            for (const FilePart& part : *parts)
                if (part.fd >= 0)
                    ::close(part.fd);
    }

    QList<Mailbox>& list(RecipientKind kind)
    {
        return kind == RecipientKind::To ? to : kind == RecipientKind::Cc ? cc : bcc;
    }

    // Identifiers are made in the sender's domain; a sender without one uses the host's.
    QByteArray idDomain() const
    {
        if (from.size() == 1) {
            const QByteArray domain = DomainOf(from.first().addr).toLower();
            if (!domain.isEmpty() && IsIdDomain(domain))
                return domain;
        }
        return HostDomain();
    }
};

QByteArray ComposedMessage::readAll()
{
    QByteArray all;
    char buffer[65536];
    qint64 n;
    while ((n = read(buffer, sizeof buffer)) > 0)
        all.append(buffer, n);
    return all;
}

MimeMessageBuilder::MimeMessageBuilder()
{
    InitMime();
    d = std::make_unique<Impl>();
}

MimeMessageBuilder::~MimeMessageBuilder() = default;

QString MimeMessageBuilder::WithoutLineBreaks(QString text)
{
    for (QChar& c : text)
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n'))
            c = QLatin1Char(' ');
    return text;
}

bool MimeMessageBuilder::IsHeaderFieldName(const QString& name)
{
    if (name.isEmpty())
        return false;
    for (QChar c : name)
        if (c.unicode() < 33 || c.unicode() > 126 || c == QLatin1Char(':'))
            return false;
    return true;
}

void MimeMessageBuilder::setFrom(const QString& entry, bool alsoSender)
{
    d->fromEntry = entry;
    d->from.clear();
    AppendEntry(d->from, entry);
    d->sender.clear();
    if (alsoSender)
        AppendEntry(d->sender, entry);
}

void MimeMessageBuilder::setRecipients(RecipientKind kind, const QStringList& entries)
{
    QList<Mailbox>& list = d->list(kind);
    list.clear();
    list.reserve(entries.size());
    for (const QString& entry : entries)
        AppendEntry(list, entry);
    d->kindsKnown = false;
}

QString MimeMessageBuilder::HeaderRefusal(const QString& name, const QString& value)
{
    auto hasLineBreak = [](const QString& text) {
        return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n'));
    };
    if (hasLineBreak(name) || hasLineBreak(value))
        return QStringLiteral("a header name or value must not contain a line break");
    if (!IsHeaderFieldName(name))
        return QStringLiteral("a header name must be printable ASCII without blanks or colons");
    // A name cannot be folded: no line a reader must accept could hold it.
    if (name.size() > kLongestHeaderName)
        return QStringLiteral("the name is %1 characters long; a header line holds at most %2")
            .arg(name.size())
            .arg(kLongestHeaderLine);
    return {};
}

bool MimeMessageBuilder::addHeader(const QString& name, const QString& value)
{
    if (!HeaderRefusal(name, value).isEmpty())
        return false;
    d->kindsKnown = false;
    const QString key = name.toLower();
    if (key == QLatin1String("from") || key == QLatin1String("sender") || key == QLatin1String("to") ||
        key == QLatin1String("cc") || key == QLatin1String("bcc") || key == QLatin1String("reply-to")) {
        QList<Mailbox>& list = key == QLatin1String("from") ? d->from
            : key == QLatin1String("sender")                ? d->sender
            : key == QLatin1String("to")                    ? d->to
            : key == QLatin1String("cc")                    ? d->cc
            : key == QLatin1String("bcc")                   ? d->bcc
                                                            : d->replyTo;
        list.clear();
        AppendEntry(list, value);
        if (key == QLatin1String("from"))
            d->fromEntry = value;
    } else if (key == QLatin1String("subject")) {
        d->subject = value;
    } else if (key == QLatin1String("date")) {
        // A date readers cannot take is worse than none: the composer's own stands instead.
        const QString trimmed = value.trimmed();
        d->date = IsAscii(trimmed) && QDateTime::fromString(trimmed, Qt::RFC2822Date).isValid() ? trimmed.toLatin1()
                                                                                                 : QByteArray();
    } else if (key == QLatin1String("message-id")) {
        QByteArray id = value.trimmed().toUtf8();
        if (!id.startsWith('<'))
            id = '<' + id + '>';
        d->messageId = IsMessageId(id) ? id : QByteArray();
    } else if (key == QLatin1String("mime-version") || key.startsWith(QLatin1String("content-"))) {
        // The structure of the message is the composer's; a second Content-Type would contradict it.
    } else {
        d->headers.emplace_back(name.toLatin1(), value);
    }
    return true;
}

void MimeMessageBuilder::setSubject(const QString& subject)
{
    d->subject = WithoutLineBreaks(subject);
}

void MimeMessageBuilder::setBody(const QByteArray& utf8, bool html)
{
    d->body = utf8;
    d->html = html;
}

void MimeMessageBuilder::addRelatedImage(const QString& displayName, int fd)
{
    d->related.push_back({displayName, fd});
}

void MimeMessageBuilder::addAttachment(const QString& displayName, int fd)
{
    d->attachments.push_back({displayName, fd});
}

QString MimeMessageBuilder::senderProblem(bool requireDomain) const
{
    const QString entry = WithoutLineBreaks(d->fromEntry).trimmed();
    if (d->from.isEmpty())
        return entry.isEmpty() ? QStringLiteral("the from address is empty")
                               : QStringLiteral("the from address '%1' is not an address").arg(entry);
    if (d->from.size() > 1)
        return QStringLiteral("the from address '%1' names more than one mailbox").arg(entry);
    const QByteArray addr = d->from.first().addr;
    if (IsHeaderAddress(addr))
        return {};
    // A local user name is enough for the system's own mail program, which adds the domain.
    const bool localName = !requireDomain && !addr.contains('@') && IsHeaderAddress(addr + "@localhost");
    if (localName)
        return {};
    return requireDomain ? QStringLiteral("the from address '%1' is not an address with a domain").arg(entry)
                         : QStringLiteral("the from address '%1' is not an address").arg(entry);
}

QByteArray MimeMessageBuilder::envelopeSender() const
{
    // A Sender line of the document that is no address must not put a bad MAIL FROM on the wire.
    if (!d->sender.isEmpty() && IsHeaderAddress(d->sender.first().addr))
        return d->sender.first().addr;
    return d->from.isEmpty() ? QByteArray() : d->from.first().addr;
}

QList<QByteArray> MimeMessageBuilder::envelopeRecipients() const
{
    const qsizetype total = d->to.size() + d->cc.size() + d->bcc.size();
    QList<QByteArray> unique;
    unique.reserve(total);
    QSet<QByteArray> seen;
    seen.reserve(total);
    for (const QList<Mailbox>* list : {&d->to, &d->cc, &d->bcc}) {
        for (const Mailbox& mailbox : *list) {
            const qsizetype before = seen.size();
            seen.insert(mailbox.addr);
            if (seen.size() != before)
                unique.append(mailbox.addr);
        }
    }
    return unique;
}

RecipientKind MimeMessageBuilder::kindOf(const QByteArray& address) const
{
    if (!d->kindsKnown) {
        d->kinds.clear();
        d->kinds.reserve(d->to.size() + d->cc.size() + d->bcc.size());
        for (RecipientKind kind : {RecipientKind::To, RecipientKind::Cc, RecipientKind::Bcc})
            for (const Mailbox& mailbox : d->list(kind))
                if (!d->kinds.contains(mailbox.addr)) // the first list an address is in counts
                    d->kinds.insert(mailbox.addr, kind);
        d->kindsKnown = true;
    }
    return d->kinds.value(address, RecipientKind::To);
}

std::unique_ptr<ComposedMessage> MimeMessageBuilder::compose()
{
    const QByteArray domain = d->idDomain();

    // Inline images get their Content-IDs first, so that the HTML can point at them.
    QHash<QString, QString> contentIds;
    std::vector<QByteArray> imageIds;
    for (const FilePart& image : d->related) {
        const QByteArray id = NewIdLeft() + '@' + domain;
        imageIds.push_back(id);
        if (!contentIds.contains(image.displayName))
            contentIds.insert(image.displayName, QString::fromLatin1(id));
    }
    // Owns the part being built, so that a failure half way leaves nothing open.
    struct Top {
        GMimeObject* object = nullptr;
        ~Top()
        {
            if (object)
                g_object_unref(object);
        }
        // Puts the current top inside `parent`, which becomes the top.
        void wrapIn(GMimeMultipart* parent)
        {
            g_mime_multipart_add(parent, object);
            g_object_unref(object);
            object = GMIME_OBJECT(parent);
        }
    } body;
    if (d->html) {
        const QString html = QString::fromUtf8(d->body);
        QByteArray linkedBytes;
        if (!contentIds.isEmpty()) {
            QString linked = html;
            if (LinkInlineImages(linked, contentIds) > 0)
                linkedBytes = linked.toUtf8();
        }
        const QByteArray& htmlBytes = linkedBytes.isNull() ? d->body : linkedBytes;
        // Readers that show no HTML, and filters that weigh a mail by its text, get the same
        // words as plain text.
        body.object = GMIME_OBJECT(g_mime_multipart_new_with_subtype("alternative"));
        GMimeObject* plain = NewTextPart("plain", HtmlToPlainText(html).toUtf8());
        g_mime_multipart_add(GMIME_MULTIPART(body.object), plain);
        g_object_unref(plain);
        GMimeObject* rich = NewTextPart("html", htmlBytes);
        g_mime_multipart_add(GMIME_MULTIPART(body.object), rich);
        g_object_unref(rich);
    } else {
        body.object = NewTextPart("plain", d->body);
    }

    qint64 partBytes = d->body.size();
    if (!d->related.empty()) {
        GMimeMultipart* related = g_mime_multipart_new_with_subtype("related");
        g_mime_object_set_content_type_parameter(GMIME_OBJECT(related), "type",
                                                 d->html ? "multipart/alternative" : "text/plain");
        body.wrapIn(related);
        for (size_t i = 0; i < d->related.size(); ++i) {
            FilePart& image = d->related[i];
            partBytes += FileSize(image.fd);
            GMimePart* part = NewFilePart(image, GMIME_DISPOSITION_INLINE);
            g_mime_object_set_content_id(GMIME_OBJECT(part), imageIds[i].constData());
            // Readers that resolve images by location still find them under the display name.
            const QByteArray location = LocationFor(image.displayName);
            if (!location.isEmpty() && location.size() <= kLongestLocation)
                g_mime_object_set_header(GMIME_OBJECT(part), "Content-Location", location.constData(), nullptr);
            g_mime_multipart_add(related, GMIME_OBJECT(part));
            g_object_unref(part);
        }
    }
    if (!d->attachments.empty()) {
        GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
        body.wrapIn(mixed);
        for (FilePart& attachment : d->attachments) {
            partBytes += FileSize(attachment.fd);
            GMimePart* part = NewFilePart(attachment, GMIME_DISPOSITION_ATTACHMENT);
            g_mime_multipart_add(mixed, GMIME_OBJECT(part));
            g_object_unref(part);
        }
    }

    // The message's own header lines are written here rather than by the MIME library, whose
    // encoded words grow past the length readers accept.
    QByteArray head = AddressField("From", d->from);
    if (!d->sender.isEmpty())
        head += AddressField("Sender", d->sender.mid(0, 1));
    if (!d->replyTo.isEmpty())
        head += AddressField("Reply-To", d->replyTo);
    const QByteArray to = AddressField("To", d->to);
    const QByteArray cc = AddressField("Cc", d->cc);
    head += to + cc;
    // Bcc recipients are envelope recipients only; they never appear in the message.
    if (to.isEmpty() && cc.isEmpty())
        head += "To: undisclosed-recipients:;\r\n";
    if (!d->subject.trimmed().isEmpty())
        head += UnstructuredField("Subject", d->subject);
    head += VerbatimField("Date", d->date.isEmpty() ? MailDate(QDateTime::currentDateTime()) : d->date);
    head += VerbatimField("Message-ID", d->messageId.isEmpty() ? '<' + NewIdLeft() + '@' + domain + '>' : d->messageId);
    for (const auto& [name, value] : d->headers)
        if (!value.trimmed().isEmpty())
            head += UnstructuredField(name, value);
    head += "MIME-Version: 1.0\r\n";

    GMimeStream* out = nullptr;
    if (partBytes > kInMemoryLimit) {
        QString path;
        const int fd = CreateStagedFile(path);
        ::unlink(QFile::encodeName(path).constData()); // lives on only through the descriptor
        out = g_mime_stream_fs_new(fd);
    } else {
        out = g_mime_stream_mem_new();
    }
    GMimeFormatOptions* options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    errno = 0;
    const bool written = g_mime_stream_write(out, head.constData(), size_t(head.size())) == ssize_t(head.size()) &&
        g_mime_object_write_to_stream(body.object, options, out) >= 0 && g_mime_stream_flush(out) == 0;
    const int error = errno ? errno : EIO;
    g_mime_format_options_free(options);
    g_object_unref(body.object); // closes the attachment files
    body.object = nullptr;
    if (!written) {
        // A full disk or a file that can no longer be read: this host's fault, not the mail's.
        g_object_unref(out);
        ThrowHostFault(SystemTemporaryFolder(), error);
    }
    g_mime_stream_reset(out);
    return std::make_unique<StreamMessage>(out);
}

} // namespace swn
