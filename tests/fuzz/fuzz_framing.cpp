// Request framing as a listener drives it: arbitrary bytes in arbitrary pieces, quiet spells in
// between, and the address list parsed from the same bytes.
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

void CheckReplies(const QByteArray& version, int status)
{
    const QByteArray reply = swn::BuildReply(version);
    Check(reply == version + " 200 \r\nContent-Length: 0\r\n\r\n");
    const QByteArray refusal = swn::BuildErrorReply(version, status);
    Check(refusal.startsWith(version + ' ' + QByteArray::number(status) + ' '));
    Check(refusal.indexOf("\r\n\r\n") == refusal.size() - 4);
    Check(refusal.endsWith("\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // Byte 0 seeds the piece sizes, byte 1 chooses quiet spells and a small memory bound.
    quint32 seed = data[0] * 2654435761u + 1;
    const uint8_t flags = data[1];
    const QByteArrayView input(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));
    const qsizetype bound = (flags & 1) ? 512 : swn::MaxRequestBytes;

    swn::RequestFramer framer(bound);
    qsizetype fed = 0;
    int completions = 0;
    int continues = 0;
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
        last = now;
        Check(framer.bufferedBytes() <= fed);
        if (framer.takeContinue()) {
            ++continues;
            Check(framer.headerComplete() && now == swn::RequestFramer::State::Incomplete);
        }
    }
    if (flags & 8)
        last = framer.quietSpell();
    Check(completions <= 1 && continues <= 1);
    Check(WellFormedVersion(framer.versionField()));
    if (last == swn::RequestFramer::State::Refused) {
        const int status = framer.refusalStatus();
        Check(status == 400 || status == 413 || status == 501);
        Check(!framer.refusalReason().isEmpty());
        Check(framer.bufferedBytes() == 0);
        CheckReplies(framer.versionField(), status);
    } else {
        CheckReplies(framer.versionField(), 400);
    }
    if (framer.bufferedBytes() > bound + 64 * 1024)
        std::abort();
    const QByteArray document = framer.takeDocument();
    Check(document.size() <= fed);
    Check(swn::CharacterCount(document) <= document.size());

    // The same bytes as an address list.
    QStringList invalid;
    const QString text = QString::fromLatin1(input.first(qMin<qsizetype>(input.size(), 4096)));
    const swn::AllowedClients allowed = swn::AllowedClients::parse(text, &invalid);
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
