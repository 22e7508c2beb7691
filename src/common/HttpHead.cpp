#include "common/HttpHead.h"

namespace swn::http {

bool IsToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text)
        if (!IsTokenChar(c))
            return false;
    return true;
}

QByteArrayView TrimBlanks(QByteArrayView v)
{
    while (!v.isEmpty() && IsBlank(v.front()))
        v = v.sliced(1);
    while (!v.isEmpty() && IsBlank(v.back()))
        v.chop(1);
    return v;
}

bool SameName(QByteArrayView a, const char* b)
{
    const qsizetype n = qsizetype(std::strlen(b));
    return a.size() == n && qstrnicmp(a.data(), b, n) == 0;
}

bool IsVersionField(QByteArrayView field)
{
    // Three digits a side are plenty and keep a reply line short.
    if (!field.startsWith("HTTP/"))
        return false;
    qsizetype at = 5;
    const auto digits = [&] {
        const qsizetype start = at;
        while (at < field.size() && field.at(at) >= '0' && field.at(at) <= '9')
            ++at;
        return at - start >= 1 && at - start <= 3;
    };
    if (!digits() || at >= field.size() || field.at(at) != '.')
        return false;
    ++at;
    return digits() && at == field.size();
}

QByteArray SafeVersionField(QByteArrayView requestLine)
{
    // The line ends at the first LF whatever precedes it: what follows a bare LF is another
    // header line and must never reach a reply.
    const qsizetype lf = requestLine.indexOf('\n');
    if (lf >= 0)
        requestLine = requestLine.first(lf);
    // Fields are split at every single blank, so two blanks in a row make an empty field.
    qsizetype start = 0;
    for (int field = 1; field < 3; ++field) {
        const qsizetype blank = requestLine.indexOf(' ', start);
        if (blank < 0)
            return QByteArrayLiteral("HTTP/1.0");
        start = blank + 1;
    }
    qsizetype stop = requestLine.indexOf(' ', start);
    if (stop < 0)
        stop = requestLine.size();
    QByteArrayView field = requestLine.sliced(start, stop - start);
    if (field.endsWith('\r'))
        field.chop(1);
    return IsVersionField(field) ? field.toByteArray() : QByteArrayLiteral("HTTP/1.0");
}

bool ParseRequestLine(QByteArrayView line, RequestLine* out)
{
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    const qsizetype first = line.indexOf(' ');
    if (first < 0)
        return false;
    const qsizetype second = line.indexOf(' ', first + 1);
    if (second < 0 || line.indexOf(' ', second + 1) >= 0)
        return false;
    RequestLine r{line.first(first), line.sliced(first + 1, second - first - 1), line.sliced(second + 1)};
    if (!IsToken(r.method) || r.target.isEmpty() || !IsVersionField(r.version))
        return false;
    if (out)
        *out = r;
    return true;
}

qsizetype FindHeadEnd(QByteArrayView bytes, qsizetype from, bool bareLf)
{
    from = qBound<qsizetype>(0, from, bytes.size());
    if (!bareLf) {
        const qsizetype found = bytes.indexOf("\r\n\r\n", from);
        return found < 0 ? -1 : found + 4;
    }
    for (qsizetype at = bytes.indexOf('\n', from); at >= 0; at = bytes.indexOf('\n', at + 1)) {
        if (at + 1 < bytes.size() && bytes.at(at + 1) == '\n')
            return at + 2;
        if (at + 2 < bytes.size() && bytes.at(at + 1) == '\r' && bytes.at(at + 2) == '\n')
            return at + 3;
    }
    return -1;
}

const char* ReasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 417: return "Expectation Failed";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: break;
    }
    if (status >= 500)
        return "Server Error";
    if (status >= 400)
        return "Client Error";
    return "Unknown";
}

} // namespace swn::http
