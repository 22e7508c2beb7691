#pragma once
// The one reader of HTTP request heads (request line and header fields) for the relay's two
// listeners: where a head ends, what its request line says, its fields one by one, and the
// refusals a head can earn. No sockets and no buffering policy here: each listener keeps its own.
#include <QByteArray>
#include <QByteArrayView>

#include <cstring>

namespace swn::http {

// RFC 9110 token characters, as a method or a field name is spelt.
inline bool IsTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}
bool IsToken(QByteArrayView text);
inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }
// Blanks (SP, HTAB) trimmed from both ends.
QByteArrayView TrimBlanks(QByteArrayView v);
// Field names compare without regard to case.
bool SameName(QByteArrayView a, const char* b);

// "HTTP/" one to three digits "." one to three digits.
bool IsVersionField(QByteArrayView field);
// The version field of a request line (cut at its first LF), or "HTTP/1.0" when there is none.
QByteArray SafeVersionField(QByteArrayView requestLine);

// The three fields of a request line, split at single blanks: a token for a method, a target
// that is not empty and holds no blank, and a version field. False for anything else.
struct RequestLine {
    QByteArrayView method, target, version;
};
bool ParseRequestLine(QByteArrayView line, RequestLine* out);

// Where the head that starts at `start` ends (the first byte after its empty line), or -1.
// CR LF CR LF ends it; with `bareLf` a bare LF ends lines too (LF LF, LF CR LF). The search
// begins at `from`, a few bytes before where the last search stopped, so bytes are read once.
qsizetype FindHeadEnd(QByteArrayView bytes, qsizetype from, bool bareLf);

// Calls take(name, value) for each header field of `fields` (the lines after the request line,
// up to the empty line), blanks around the value trimmed. A line starting with a blank continues
// the previous field's value (obsolete folding) and is given as another value of that field; a
// line without a colon is no field and is skipped. Nothing is allocated.
template <typename F>
void ForEachField(QByteArrayView fields, F&& take)
{
    QByteArrayView name;
    bool haveField = false;
    qsizetype at = 0;
    while (at < fields.size()) {
        qsizetype lf = fields.indexOf('\n', at);
        if (lf < 0)
            lf = fields.size();
        QByteArrayView line = fields.sliced(at, lf - at);
        at = lf + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            return;
        if (IsBlank(line.front())) {
            if (haveField)
                take(name, TrimBlanks(line));
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        name = TrimBlanks(line.first(colon));
        haveField = true;
        take(name, TrimBlanks(line.sliced(colon + 1)));
    }
}

// The reason phrase of a status this system sends; a general one for any other.
const char* ReasonPhrase(int status);

// A head refused before anything else is read from it: the status and its reason phrase.
struct Refusal {
    int status = 0;
    const char* reason = "";
};
// The head outgrew what a listener keeps of it.
inline constexpr Refusal HeadTooLarge{431, "Request Header Fields Too Large"};
// The head is no request this reader can take.
inline constexpr Refusal BadRequest{400, "Bad Request"};

} // namespace swn::http
