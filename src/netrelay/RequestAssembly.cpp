#include "netrelay/RequestAssembly.h"

#include <QList>
#include <QLocale>

namespace swn {

bool IsCompleteRequest(const QByteArray& received)
{
    return received.endsWith(QByteArrayView(RequestTerminator, RequestTerminatorLength));
}

QByteArray VersionField(const QByteArray& request)
{
    qsizetype end = request.indexOf("\r\n");
    if (end < 0)
        end = request.size();
    // Fields are split at every single blank, so two blanks in a row make an empty field.
    qsizetype start = 0;
    for (int field = 1; field < 3; ++field) {
        const qsizetype blank = request.indexOf(' ', start);
        if (blank < 0 || blank >= end)
            return QByteArrayLiteral("HTTP/1.0");
        start = blank + 1;
    }
    qsizetype stop = request.indexOf(' ', start);
    if (stop < 0 || stop > end)
        stop = end;
    return request.mid(start, stop - start);
}

void TakeOffHeader(QByteArray& request)
{
    const qsizetype at = request.indexOf("\r\n\r\n");
    if (at >= 0)
        request.remove(0, at + 4);
    else
        request.remove(0, qMin<qsizetype>(3, request.size()));
}

QByteArray BuildReply(const QByteArray& versionField)
{
    return versionField + " 200 \r\nContent-Length: 0\r\n\r\n";
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

} // namespace swn
