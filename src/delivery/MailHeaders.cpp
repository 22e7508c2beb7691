#include "delivery/MailHeaders.h"

#include <algorithm>

namespace swn {

namespace {

constexpr qsizetype kFoldColumn = 78;
// An encoded word is "=?UTF-8?B?" + base64 + "?=": 45 bytes of text make 60 characters of
// base64 and a word of 72, inside the limit of 75.
constexpr qsizetype kEncodedWordBytes = 45;
// A word longer than this cannot be folded into a line that readers must accept.
constexpr qsizetype kLongestPlainWord = kLongestHeaderWord;
// Folding keeps the blanks between words; a run longer than this would fill a line of its own.
constexpr qsizetype kLongestBlankRun = 40;

bool IsAtext(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-': case '/':
    case '=': case '?': case '^': case '_': case '`': case '{': case '|': case '}': case '~':
        return true;
    default:
        return false;
    }
}

bool IsDotAtom(QByteArrayView text)
{
    bool atomStart = true; // an atom must begin here: at the start, or after a dot
    for (char c : text) {
        if (c == '.') {
            if (atomStart)
                return false;
            atomStart = true;
        } else if (IsAtext(c)) {
            atomStart = false;
        } else {
            return false;
        }
    }
    return !atomStart;
}

bool IsQuotedString(QByteArrayView text)
{
    if (text.size() < 2 || !text.startsWith('"') || !text.endsWith('"'))
        return false;
    for (qsizetype i = 1; i < text.size() - 1; ++i) {
        const char c = text[i];
        if (c < 0x20 || c > 0x7E)
            return false;
        if (c == '\\') {
            if (++i >= text.size() - 1)
                return false;
        } else if (c == '"') {
            return false;
        }
    }
    return true;
}

bool IsDomainLiteral(QByteArrayView text)
{
    if (text.size() < 3 || !text.startsWith('[') || !text.endsWith(']'))
        return false;
    for (qsizetype i = 1; i < text.size() - 1; ++i) {
        const char c = text[i];
        if (c < 33 || c > 126 || c == '[' || c == ']' || c == '\\')
            return false;
    }
    return true;
}

struct Token {
    QByteArray text;
    QByteArray before; // the blanks in front of it; folding happens there
};

// Tokens are at most kLongestPlainWord long, so a line that starts with one always ends in time.
QByteArray Fold(const QByteArray& name, const QList<Token>& tokens)
{
    QByteArray out;
    out.reserve(name.size() + 3 + tokens.size() * 24);
    out += name;
    out += ':';
    qsizetype column = out.size();
    bool first = true;
    for (const Token& token : tokens) {
        const QByteArrayView blank = token.before.isEmpty() || token.before.size() > kLongestBlankRun
            ? QByteArrayView(" ")
            : QByteArrayView(token.before);
        const qsizetype width = blank.size() + token.text.size();
        // Past 78 columns only where a line already holds a word; past 998 never, not even after
        // a long name: the first word then goes on a line of its own.
        if ((!first && column + width > kFoldColumn) || column + width > kLongestHeaderLine) {
            out += "\r\n";
            column = 0;
        }
        out += blank;
        out += token.text;
        column += width;
        first = false;
    }
    out += "\r\n";
    return out;
}

bool IsBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

bool NeedsEncoding(const QString& word)
{
    if (word.size() > kLongestPlainWord)
        return true;
    for (QChar c : word)
        if (c.unicode() < 0x20 || c.unicode() >= 0x7F)
            return true;
    // Text that reads like an encoded word would be decoded by the reader.
    return word.startsWith(QLatin1String("=?")) && word.contains(QLatin1String("?="));
}

struct Word {
    QString before;
    QString text;
};

// How much text an encoded word right after "Name: " may carry and still end by the fold column.
qsizetype FirstWordBytes(const QByteArray& name)
{
    const qsizetype room = kFoldColumn - (name.size() + 2) - 12;
    return room / 4 * 3;
}

QList<Word> SplitWords(const QString& value)
{
    QList<Word> words;
    const qsizetype size = value.size();
    qsizetype i = 0;
    while (i < size) {
        const qsizetype blanks = i;
        while (i < size && IsBlank(value[i]))
            ++i;
        const qsizetype start = i;
        while (i < size && !IsBlank(value[i]))
            ++i;
        if (i > start)
            words.append({value.mid(blanks, start - blanks), value.mid(start, i - start)});
    }
    return words;
}

QString Simplified(const QString& value)
{
    QString out = value;
    for (QChar& c : out)
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n'))
            c = QLatin1Char(' ');
    return out.trimmed();
}

} // namespace

bool IsHeaderAddress(const QByteArray& addr)
{
    if (addr.size() > kLongestHeaderWord)
        return false;
    const qsizetype at = addr.lastIndexOf('@');
    if (at <= 0 || at == addr.size() - 1)
        return false;
    const QByteArrayView local = QByteArrayView(addr).first(at);
    const QByteArrayView domain = QByteArrayView(addr).sliced(at + 1);
    return (IsDotAtom(local) || IsQuotedString(local)) && (IsDotAtom(domain) || IsDomainLiteral(domain));
}

bool IsPlainAddress(const QByteArray& addr)
{
    if (addr.size() > kLongestHeaderWord)
        return false;
    const qsizetype at = addr.indexOf('@');
    const QByteArrayView view(addr);
    return at > 0 && addr.indexOf('@', at + 1) < 0 && IsDotAtom(view.first(at)) && IsDotAtom(view.sliced(at + 1));
}

QByteArray DomainOf(const QByteArray& addr)
{
    return IsHeaderAddress(addr) ? addr.mid(addr.lastIndexOf('@') + 1) : QByteArray();
}

bool IsIdDomain(const QByteArray& domain)
{
    return IsDotAtom(domain) || IsDomainLiteral(domain);
}

QList<QByteArray> EncodedWords(const QString& text, qsizetype firstWordBytes)
{
    const QByteArray utf8 = text.toUtf8();
    qsizetype budget = std::clamp<qsizetype>(firstWordBytes, 4, kEncodedWordBytes);
    QList<QByteArray> words;
    qsizetype start = 0;
    qsizetype end = 0;
    auto emit = [&](qsizetype stop) {
        if (stop > start)
            words.append("=?UTF-8?B?" + utf8.mid(start, stop - start).toBase64() + "?=");
        start = stop;
    };
    while (end < utf8.size()) {
        qsizetype next = end + 1; // one whole character: the lead byte and its continuations
        while (next < utf8.size() && (uchar(utf8[next]) & 0xC0) == 0x80)
            ++next;
        if (next - start > budget && end > start) {
            emit(end);
            budget = kEncodedWordBytes;
        }
        end = next;
    }
    emit(end);
    return words;
}

QByteArray UnstructuredField(const QByteArray& name, const QString& value)
{
    const QList<Word> words = SplitWords(Simplified(value));
    QList<Token> tokens;
    for (qsizetype i = 0; i < words.size();) {
        if (!NeedsEncoding(words[i].text)) {
            tokens.append({words[i].text.toLatin1(), words[i].before.toLatin1()});
            ++i;
            continue;
        }
        // Neighbouring words that need encoding travel together, their blanks inside the encoded
        // text: blanks between two encoded words are not part of the text.
        QString run = words[i].text;
        qsizetype j = i + 1;
        while (j < words.size() && NeedsEncoding(words[j].text)) {
            run += words[j].before + words[j].text;
            ++j;
        }
        bool first = true;
        for (const QByteArray& encoded : EncodedWords(run, i == 0 ? FirstWordBytes(name) : kEncodedWordBytes)) {
            tokens.append({encoded, first ? words[i].before.toLatin1() : QByteArray(" ")});
            first = false;
        }
        i = j;
    }
    return Fold(name, tokens);
}

QByteArray AddressField(const QByteArray& name, const QList<Mailbox>& mailboxes)
{
    QList<const Mailbox*> shown;
    for (const Mailbox& mailbox : mailboxes)
        if (IsHeaderAddress(mailbox.addr))
            shown.append(&mailbox);
    if (shown.isEmpty())
        return {};
    QList<Token> tokens;
    for (qsizetype k = 0; k < shown.size(); ++k) {
        const Mailbox& mailbox = *shown[k];
        const QString display = Simplified(mailbox.name);
        if (!display.isEmpty()) {
            bool ascii = true;
            bool atoms = true;
            for (QChar c : display) {
                if (c.unicode() < 0x20 || c.unicode() >= 0x7F)
                    ascii = false;
                else if (!IsBlank(c) && !IsAtext(char(c.unicode())))
                    atoms = false;
            }
            QByteArray quoted;
            if (ascii && !atoms) {
                quoted = display.toLatin1();
                quoted.replace('\\', "\\\\");
                quoted.replace('"', "\\\"");
                quoted = '"' + quoted + '"';
            }
            bool longWord = quoted.size() > kLongestPlainWord;
            if (ascii && atoms)
                for (const Word& word : SplitWords(display))
                    longWord = longWord || word.text.size() > kLongestPlainWord;
            // A name that no line could hold travels in encoded words, which fold anywhere.
            if (!ascii || longWord) {
                for (const QByteArray& encoded : EncodedWords(display, tokens.isEmpty() ? FirstWordBytes(name)
                                                                                        : kEncodedWordBytes))
                    tokens.append({encoded, {}});
            } else if (atoms) {
                for (const Word& word : SplitWords(display))
                    tokens.append({word.text.toLatin1(), {}});
            } else {
                tokens.append({quoted, {}});
            }
            tokens.append({'<' + mailbox.addr + '>', {}});
        } else {
            tokens.append({mailbox.addr, {}});
        }
        if (k + 1 < shown.size())
            tokens.last().text += ',';
    }
    return Fold(name, tokens);
}

QByteArray VerbatimField(const QByteArray& name, const QByteArray& value)
{
    QList<Token> tokens;
    const qsizetype size = value.size();
    qsizetype i = 0;
    while (i < size) {
        const qsizetype blanks = i;
        while (i < size && (value[i] == ' ' || value[i] == '\t' || value[i] == '\r' || value[i] == '\n'))
            ++i;
        const qsizetype start = i;
        while (i < size && value[i] != ' ' && value[i] != '\t' && value[i] != '\r' && value[i] != '\n')
            ++i;
        if (i == start)
            break;
        QByteArray before = tokens.isEmpty() ? QByteArray() : value.mid(blanks, start - blanks);
        before.replace('\r', ' ').replace('\n', ' '); // a line break of the value is no fold of ours
        tokens.append({value.mid(start, i - start), before});
    }
    return Fold(name, tokens);
}

} // namespace swn
