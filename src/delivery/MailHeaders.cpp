#include "delivery/MailHeaders.h"

#include <algorithm>

namespace swn {

namespace {

constexpr qsizetype kFoldColumn = 78;
// An encoded word is "=?UTF-8?B?" + base64 + "?=": 45 bytes of text make 60 characters of
// base64 and a word of 72, inside the limit of 75.
constexpr qsizetype kEncodedWordBytes = 45;
// A word longer than this cannot be folded into a line that readers must accept.
constexpr qsizetype kLongestPlainWord = 900;

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

bool IsDotAtom(const QByteArray& text)
{
    if (text.isEmpty())
        return false;
    for (const QByteArray& atom : text.split('.')) {
        if (atom.isEmpty())
            return false;
        for (char c : atom)
            if (!IsAtext(c))
                return false;
    }
    return true;
}

bool IsQuotedString(const QByteArray& text)
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

bool IsDomainLiteral(const QByteArray& text)
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

QByteArray Fold(const QByteArray& name, const QList<Token>& tokens)
{
    QByteArray out = name + ':';
    qsizetype column = out.size();
    bool first = true;
    for (const Token& token : tokens) {
        const QByteArray blank = token.before.isEmpty() ? QByteArray(" ") : token.before;
        if (!first && column + blank.size() + token.text.size() > kFoldColumn) {
            out += "\r\n";
            column = 0;
        }
        out += blank;
        out += token.text;
        column += blank.size() + token.text.size();
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
    QString blanks;
    QString current;
    for (QChar c : value) {
        if (IsBlank(c)) {
            if (!current.isEmpty()) {
                words.append({blanks, current});
                current.clear();
                blanks.clear();
            }
            blanks += c;
        } else {
            current += c;
        }
    }
    if (!current.isEmpty())
        words.append({blanks, current});
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
    const qsizetype at = addr.lastIndexOf('@');
    if (at <= 0 || at == addr.size() - 1)
        return false;
    const QByteArray local = addr.left(at);
    const QByteArray domain = addr.mid(at + 1);
    return (IsDotAtom(local) || IsQuotedString(local)) && (IsDotAtom(domain) || IsDomainLiteral(domain));
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
            if (!ascii) {
                for (const QByteArray& encoded : EncodedWords(display, tokens.isEmpty() ? FirstWordBytes(name)
                                                                                        : kEncodedWordBytes))
                    tokens.append({encoded, {}});
            } else if (atoms) {
                for (const Word& word : SplitWords(display))
                    tokens.append({word.text.toLatin1(), {}});
            } else {
                QByteArray quoted = display.toLatin1();
                quoted.replace('\\', "\\\\");
                quoted.replace('"', "\\\"");
                tokens.append({'"' + quoted + '"', {}});
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
    for (const Word& word : SplitWords(Simplified(QString::fromLatin1(value))))
        tokens.append({word.text.toLatin1(), word.before.toLatin1()});
    return Fold(name, tokens);
}

} // namespace swn
