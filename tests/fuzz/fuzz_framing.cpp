// Request framing as a listener drives it: arbitrary bytes in arbitrary pieces, quiet spells in
// between, headers around the header bound, and the address lists parsed from the same bytes.
#include "netrelay/ClientAccess.h"
#include "netrelay/HttpFraming.h"

#include <cstdint>
#include <cstdlib>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// "HTTP/" digits "." digits, checked without the framer's own helper.
bool WellFormedVersion(const QByteArray& v)
{
    if (!v.startsWith("HTTP/"))
        return false;
    const qsizetype dot = v.indexOf('.', 5);
    if (dot <= 5 || dot == v.size() - 1)
        return false;
    for (qsizetype i = 5; i < v.size(); ++i)
        if (i != dot && (v[i] < '0' || v[i] > '9'))
            return false;
    return true;
}

bool Token(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
        (c != 0 && QByteArrayView("!#$%&'*+-.^_`|~").contains(c));
}

bool VersionDigits(QByteArrayView digits)
{
    if (digits.isEmpty() || digits.size() > 3)
        return false;
    for (const char c : digits)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// The first line's shape, checked without the framer's own code. `complete`: the line is there
// and is a request line; otherwise: the bytes so far may still become one.
struct FirstLine {
    bool complete = false;
    bool possible = false;
    QByteArray method;
};

FirstLine ReadFirstLine(const QByteArray& in)
{
    FirstLine result;
    const qsizetype lf = in.indexOf('\n');
    QByteArray line = lf < 0 ? in : in.first(lf);
    const qsizetype blank1 = line.indexOf(' ');
    const QByteArray method = blank1 < 0 ? line : line.first(blank1);
    if (method.isEmpty() ? blank1 >= 0 || lf >= 0 : method.size() > swn::MaxMethodLength)
        return result;
    for (const char c : method)
        if (!Token(c))
            return result;
    if (blank1 < 0) {
        result.possible = lf < 0;
        return result;
    }
    const qsizetype blank2 = line.indexOf(' ', blank1 + 1);
    const QByteArray target = line.mid(blank1 + 1, blank2 < 0 ? -1 : blank2 - blank1 - 1);
    for (const char c : target)
        if (c <= ' ' || c >= 0x7F || c == '<')
            return result;
    if (blank2 < 0) {
        result.possible = lf < 0;
        return result;
    }
    if (target.isEmpty())
        return result;
    QByteArray version = line.mid(blank2 + 1);
    const qsizetype cr = version.indexOf('\r');
    if (cr >= 0 && cr != version.size() - 1)
        return result; // a CR that does not end the line
    if (cr >= 0)
        version.chop(1);
    const qsizetype dot = version.indexOf('.');
    const bool wellFormed = version.startsWith("HTTP/") && dot > 0 && VersionDigits(version.sliced(5, dot - 5)) &&
        VersionDigits(version.sliced(dot + 1));
    if (lf < 0) {
        result.possible = cr >= 0 ? wellFormed : version.size() <= 12;
        return result;
    }
    result.complete = wellFormed;
    result.possible = wellFormed;
    result.method = method;
    return result;
}

void CheckReplies(const QByteArray& version, int status, const QByteArray& extra)
{
    const QByteArray reply = swn::BuildReply(version);
    Check(reply == version + " 200 \r\nContent-Length: 0\r\n\r\n");
    const QByteArray refusal = swn::BuildErrorReply(version, status);
    Check(refusal.startsWith(version + ' ' + QByteArray::number(status) + ' '));
    Check(refusal.indexOf("\r\n\r\n") == refusal.size() - 4);
    Check(refusal.endsWith("\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"));
    Check((status == 405) == refusal.contains("\r\nAllow: POST\r\n"));
    // Whatever extra lines are asked for, the header ends once, at the end, and every line end is CR LF.
    const QByteArray withExtra = swn::BuildErrorReply(version, 503, extra);
    Check(withExtra.indexOf("\r\n\r\n") == withExtra.size() - 4);
    Check(withExtra.count('\r') == withExtra.count('\n') && withExtra.count("\r\n") == withExtra.count('\n'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // Byte 0 seeds the piece sizes, byte 1 chooses quiet spells, a small memory bound, a small
    // header bound, or a filler that takes the input across the real header bound.
    quint32 seed = data[0] * 2654435761u + 1;
    const uint8_t flags = data[1];
    QByteArray expanded;
    QByteArrayView input(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));
    if ((flags & 32) && !input.isEmpty()) {
        const qsizetype at = qMin<qsizetype>(input.size(), data[0] % 64);
        const qsizetype length = swn::MaxHeaderBytes - 96 + (seed >> 8) % 128;
        expanded = input.first(at).toByteArray() + QByteArray(length, input.at(at == input.size() ? 0 : at)) +
            input.sliced(at).toByteArray();
        input = expanded;
    }
    const qsizetype bound = (flags & 1) ? 512 : swn::MaxRequestBytes;
    const qsizetype headerBound = (flags & 16) ? 96 : swn::MaxHeaderBytes;

    swn::RequestFramer framer(bound, headerBound);
    qsizetype fed = 0;
    int completions = 0;
    int continues = 0;
    qsizetype decidedAt = input.size(); // the bytes the framer had seen when it decided
    swn::RequestFramer::State last = swn::RequestFramer::State::Incomplete;
    for (qsizetype at = 0; at < input.size();) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype piece = qMin<qsizetype>(input.size() - at, 1 + (seed >> 16) % ((flags & 2) ? 3 : 97));
        auto now = framer.feed(input.sliced(at, piece));
        at += piece;
        fed += piece;
        if ((flags & 4) && (seed & 0x100))
            now = framer.quietSpell();
        if (last != swn::RequestFramer::State::Incomplete)
            Check(now == last); // a decision stands
        if (last == swn::RequestFramer::State::Incomplete && now == swn::RequestFramer::State::Complete)
            ++completions;
        if (last == swn::RequestFramer::State::Incomplete && now != last)
            decidedAt = fed;
        last = now;
        Check(framer.bufferedBytes() <= fed);
        if (now == swn::RequestFramer::State::Incomplete && !framer.headerComplete() && framer.headerBounded())
            Check(framer.bufferedBytes() <= headerBound);
        if (framer.takeContinue()) {
            ++continues;
            Check(framer.headerComplete() && now == swn::RequestFramer::State::Incomplete);
        }
    }
    if (flags & 8)
        last = framer.quietSpell();
    Check(completions <= 1 && continues <= 1);
    Check(WellFormedVersion(framer.versionField()));
    const QByteArray extra = input.first(qMin<qsizetype>(input.size(), 200)).toByteArray();
    const FirstLine line = ReadFirstLine(input.first(decidedAt).toByteArray());
    const bool otherMethod = line.complete && line.method.compare("POST", Qt::CaseInsensitive) != 0;
    if (framer.isHttpRequest())
        Check(line.complete);
    if (last == swn::RequestFramer::State::Incomplete)
        Check(framer.isHttpRequest() == line.complete && framer.headerBounded() == line.possible);
    if (last == swn::RequestFramer::State::Refused) {
        const int status = framer.refusalStatus();
        Check(status == 400 || status == 405 || status == 413 || status == 431 || status == 501);
        Check(!framer.refusalReason().isEmpty());
        Check(framer.bufferedBytes() == 0);
        Check(status != 431 || (line.possible && decidedAt > headerBound));
        Check(status != 405 || otherMethod);
        CheckReplies(framer.versionField(), status, extra);
    } else {
        CheckReplies(framer.versionField(), 400, extra);
    }
    // A method other than POST never gets past its header.
    if (otherMethod && framer.headerComplete())
        Check(last == swn::RequestFramer::State::Refused &&
              (framer.refusalStatus() == 405 || framer.refusalStatus() == 431));
    if (framer.bufferedBytes() > bound + 64 * 1024)
        std::abort();
    const QByteArray document = framer.takeDocument();
    Check(document.size() <= fed);
    Check(swn::CharacterCount(document) <= document.size());

    // The same bytes as an address list.
    QStringList invalid;
    const QString text = QString::fromLatin1(input.first(qMin<qsizetype>(input.size(), 4096)));
    const swn::AllowedClients allowed = swn::AllowedClients::parse(text, &invalid);
    // Maybe cut: nobody, whatever the text.
    const swn::AllowedClients cut = swn::AllowedClients::parse(text, nullptr, true);
    Check(cut.admitsNobody() && !cut.allows(QHostAddress::LocalHost) && !cut.allows(QHostAddress(QStringLiteral("::ffff:10.0.0.1"))));
    // Where to listen: every interface only for no text, nowhere for a cut one, never more than listed.
    QStringList invalidListen;
    const swn::ListenAddresses listen = swn::ListenAddresses::parse(text, &invalidListen);
    Check(listen.everyInterface() == text.trimmed().isEmpty() && listen.usable() != listen.nowhere());
    Check(listen.everyInterface() || listen.nowhere() || invalidListen.size() + listen.addresses().size() >= 1);
    for (const QHostAddress& a : listen.addresses())
        Check(!a.isNull() && swn::AllowedClients::parse(a.toString()).allows(a));
    Check(swn::ListenAddresses::parse(text, nullptr, true).nowhere());
    Check(allowed.isOpen() == text.trimmed().isEmpty());
    Check(!allowed.describe().isEmpty());
    if (allowed.isOpen())
        Check(invalid.isEmpty() && allowed.allows(QHostAddress(QStringLiteral("192.0.2.1"))));
    else if (allowed.entryCount() == 0)
        Check(!allowed.allows(QHostAddress(QStringLiteral("::ffff:127.0.0.1"))) && !allowed.allows(QHostAddress::AnyIPv6));
    for (const char* peer : {"127.0.0.1", "::1", "::ffff:10.0.0.1", "2001:db8::1", "0.0.0.0"})
        (void)allowed.allows(QHostAddress(QString::fromLatin1(peer)));
    // A canonical description parses to the same list.
    if (!allowed.isOpen() && allowed.entryCount() > 0) {
        QStringList again;
        const swn::AllowedClients reparsed = swn::AllowedClients::parse(allowed.describe(), &again);
        Check(again.isEmpty() && reparsed.describe() == allowed.describe());
    }
    return 0;
}
