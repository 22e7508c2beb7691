#include "delivery/HtmlText.h"

#include <QUrl>

#include <algorithm>
#include <vector>

namespace swn {

namespace {

struct NamedEntity {
    const char* name;
    char32_t code;
};

// The references HTML mails use in practice; an unknown one stays as it was written.
constexpr NamedEntity kEntities[] = {
    {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", 0xA0},
    {"copy", 0xA9}, {"reg", 0xAE}, {"trade", 0x2122}, {"hellip", 0x2026}, {"mdash", 0x2014},
    {"ndash", 0x2013}, {"lsquo", 0x2018}, {"rsquo", 0x2019}, {"sbquo", 0x201A}, {"ldquo", 0x201C},
    {"rdquo", 0x201D}, {"bdquo", 0x201E}, {"laquo", 0xAB}, {"raquo", 0xBB}, {"lsaquo", 0x2039},
    {"rsaquo", 0x203A}, {"bull", 0x2022}, {"middot", 0xB7}, {"deg", 0xB0}, {"plusmn", 0xB1},
    {"times", 0xD7}, {"divide", 0xF7}, {"euro", 0x20AC}, {"pound", 0xA3}, {"yen", 0xA5},
    {"cent", 0xA2}, {"sect", 0xA7}, {"para", 0xB6}, {"shy", 0xAD}, {"iexcl", 0xA1},
    {"iquest", 0xBF}, {"micro", 0xB5}, {"frac12", 0xBD}, {"frac14", 0xBC}, {"frac34", 0xBE},
    {"sup1", 0xB9}, {"sup2", 0xB2}, {"sup3", 0xB3}, {"ordf", 0xAA}, {"ordm", 0xBA},
    {"larr", 0x2190}, {"uarr", 0x2191}, {"rarr", 0x2192}, {"darr", 0x2193}, {"harr", 0x2194},
    {"ensp", 0x2002}, {"emsp", 0x2003}, {"thinsp", 0x2009}, {"zwnj", 0x200C}, {"zwj", 0x200D},
    {"dagger", 0x2020}, {"Dagger", 0x2021}, {"permil", 0x2030}, {"prime", 0x2032},
    {"Auml", 0xC4}, {"Ouml", 0xD6}, {"Uuml", 0xDC}, {"auml", 0xE4}, {"ouml", 0xF6},
    {"uuml", 0xFC}, {"szlig", 0xDF}, {"eacute", 0xE9}, {"egrave", 0xE8}, {"ecirc", 0xEA},
    {"Eacute", 0xC9}, {"aacute", 0xE1}, {"agrave", 0xE0}, {"acirc", 0xE2}, {"ccedil", 0xE7},
    {"Ccedil", 0xC7}, {"iacute", 0xED}, {"oacute", 0xF3}, {"uacute", 0xFA}, {"ntilde", 0xF1},
    {"Ntilde", 0xD1}, {"oslash", 0xF8}, {"aring", 0xE5}, {"Aring", 0xC5}, {"aelig", 0xE6},
    {"AElig", 0xC6},
};

bool IsAsciiAlnum(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
        (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

bool IsHtmlSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r') ||
        c == QLatin1Char('\f');
}

void AppendCodePoint(QString& out, char32_t code)
{
    // Nothing a reader could show, or that a text must not carry, becomes the replacement character.
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        code = 0xFFFD;
    const char32_t one[1] = {code};
    out += QString::fromUcs4(one, 1);
}

// Decodes the reference at text[pos] == '&'; returns the length consumed, 0 when it is none.
qsizetype DecodeReference(const QString& text, qsizetype pos, QString& out)
{
    const qsizetype size = text.size();
    qsizetype i = pos + 1;
    if (i < size && text[i] == QLatin1Char('#')) {
        ++i;
        const bool hex = i < size && (text[i] == QLatin1Char('x') || text[i] == QLatin1Char('X'));
        if (hex)
            ++i;
        const qsizetype digitsStart = i;
        auto digitValue = [hex](QChar c) -> int {
            const char16_t u = c.unicode();
            if (u >= '0' && u <= '9')
                return u - '0';
            if (hex && u >= 'a' && u <= 'f')
                return u - 'a' + 10;
            if (hex && u >= 'A' && u <= 'F')
                return u - 'A' + 10;
            return -1;
        };
        char32_t code = 0;
        for (int digit; i < size && (digit = digitValue(text[i])) >= 0; ++i) {
            if (code <= 0x10FFFF) // beyond that it is invalid whatever follows
                code = code * (hex ? 16 : 10) + char32_t(digit);
        }
        if (i == digitsStart)
            return 0;
        if (i < size && text[i] == QLatin1Char(';'))
            ++i;
        AppendCodePoint(out, code);
        return i - pos;
    }
    const qsizetype nameStart = i;
    while (i < size && IsAsciiAlnum(text[i]) && i - nameStart < 10)
        ++i;
    if (i == nameStart)
        return 0;
    const QStringView name = QStringView(text).mid(nameStart, i - nameStart);
    const bool terminated = i < size && text[i] == QLatin1Char(';');
    for (const NamedEntity& entity : kEntities) {
        if (name != QLatin1String(entity.name))
            continue;
        // Old documents leave the semicolon off the most common ones.
        if (!terminated && entity.code > 0xFF)
            return 0;
        AppendCodePoint(out, entity.code);
        return i - pos + (terminated ? 1 : 0);
    }
    return 0;
}

struct Attribute {
    QString name;      // lower case
    QString rawValue;  // as written, quotes removed
    qsizetype valueStart = -1; // position of the value in the text, its quotes included
    qsizetype valueEnd = -1;   // one past it
    bool hasValue = false;
};

struct Tag {
    QString name; // lower case, without "/"
    bool closing = false;
    qsizetype end = 0; // one past the ">"
    std::vector<Attribute> attributes;

    const Attribute* attribute(QLatin1String wanted) const
    {
        for (const Attribute& a : attributes)
            if (a.name == wanted)
                return &a;
        return nullptr;
    }
};

// Reads the tag starting at html[pos] == '<'; false when what follows is not a tag.
bool ReadTag(const QString& html, qsizetype pos, Tag& tag)
{
    const qsizetype size = html.size();
    qsizetype i = pos + 1;
    tag = Tag();
    if (i < size && html[i] == QLatin1Char('/')) {
        tag.closing = true;
        ++i;
    }
    if (i >= size || !html[i].isLetter())
        return false;
    const qsizetype nameStart = i;
    while (i < size && !IsHtmlSpace(html[i]) && html[i] != QLatin1Char('>') && html[i] != QLatin1Char('/'))
        ++i;
    tag.name = html.mid(nameStart, i - nameStart).toLower();
    while (i < size) {
        while (i < size && (IsHtmlSpace(html[i]) || html[i] == QLatin1Char('/')))
            ++i;
        if (i >= size)
            break;
        if (html[i] == QLatin1Char('>')) {
            tag.end = i + 1;
            return true;
        }
        Attribute attribute;
        const qsizetype attrStart = i;
        while (i < size && !IsHtmlSpace(html[i]) && html[i] != QLatin1Char('>') && html[i] != QLatin1Char('=') &&
               !(html[i] == QLatin1Char('/') && i > attrStart))
            ++i;
        attribute.name = html.mid(attrStart, i - attrStart).toLower();
        qsizetype j = i;
        while (j < size && IsHtmlSpace(html[j]))
            ++j;
        if (j < size && html[j] == QLatin1Char('=')) {
            ++j;
            while (j < size && IsHtmlSpace(html[j]))
                ++j;
            attribute.hasValue = true;
            attribute.valueStart = j;
            if (j < size && (html[j] == QLatin1Char('"') || html[j] == QLatin1Char('\''))) {
                const QChar quote = html[j];
                const qsizetype close = html.indexOf(quote, j + 1);
                const qsizetype stop = close < 0 ? size : close;
                attribute.rawValue = html.mid(j + 1, stop - j - 1);
                i = close < 0 ? size : close + 1;
            } else {
                qsizetype k = j;
                while (k < size && !IsHtmlSpace(html[k]) && html[k] != QLatin1Char('>'))
                    ++k;
                attribute.rawValue = html.mid(j, k - j);
                i = k;
            }
            attribute.valueEnd = i;
        }
        tag.attributes.push_back(std::move(attribute));
    }
    tag.end = size; // a tag left open runs to the end
    return true;
}

// Elements whose content is never shown as text.
bool IsHiddenContent(const QString& name)
{
    return name == QLatin1String("script") || name == QLatin1String("style") || name == QLatin1String("title") ||
        name == QLatin1String("head") || name == QLatin1String("template") || name == QLatin1String("noscript");
}

int BreaksFor(const QString& name)
{
    static constexpr const char* kParagraphs[] = {"p", "h1", "h2", "h3", "h4", "h5", "h6", "table", "blockquote",
                                                  "pre", "hr", "ul", "ol", "dl", "address", "figure", "fieldset"};
    static constexpr const char* kLines[] = {"div", "li", "tr", "dt", "dd", "caption", "section", "article",
                                             "header", "footer", "nav", "aside", "main", "form", "center",
                                             "body", "html", "tbody", "thead", "tfoot", "figcaption", "legend"};
    for (const char* p : kParagraphs)
        if (name == QLatin1String(p))
            return 2;
    for (const char* l : kLines)
        if (name == QLatin1String(l))
            return 1;
    return 0;
}

class TextWriter {
public:
    void text(const QString& decoded, bool preformatted)
    {
        for (QChar c : decoded) {
            // A CR is a line end of its own, or the first half of CRLF.
            const bool afterCr = lastWasCr_;
            lastWasCr_ = c == QLatin1Char('\r');
            if (c == QLatin1Char('\n') && afterCr)
                continue;
            if (c == QLatin1Char('\r'))
                c = QLatin1Char('\n');
            if (!preformatted && IsHtmlSpace(c)) {
                space_ = true;
                continue;
            }
            if (preformatted && c == QLatin1Char('\n')) {
                flush();
                out_ += QLatin1Char('\n');
                continue;
            }
            flush();
            if (space_ && !out_.isEmpty() && !out_.endsWith(QLatin1Char('\n')))
                out_ += QLatin1Char(' ');
            space_ = false;
            out_ += c == QChar(0xA0) ? QLatin1Char(' ') : c;
        }
    }
    void breaks(int n) { breaks_ = std::max(breaks_, n); space_ = false; lastWasCr_ = false; }
    void lineBreak() { ++breaks_; space_ = false; lastWasCr_ = false; }
    void separator() { space_ = true; lastWasCr_ = false; }
    qsizetype position() const { return out_.size(); }
    QStringView since(qsizetype position) const { return QStringView(out_).mid(position); }

    QString result() const
    {
        QStringList lines = out_.split(QLatin1Char('\n'));
        for (QString& line : lines) {
            while (line.endsWith(QLatin1Char(' ')))
                line.chop(1);
        }
        return lines.join(QLatin1Char('\n')).trimmed() + QLatin1Char('\n');
    }

private:
    void flush()
    {
        if (breaks_ > 0 && !out_.isEmpty()) {
            qsizetype have = 0;
            while (have < out_.size() && out_[out_.size() - 1 - have] == QLatin1Char('\n'))
                ++have;
            for (qsizetype i = have; i < breaks_; ++i)
                out_ += QLatin1Char('\n');
            space_ = false;
        }
        breaks_ = 0;
    }

    QString out_;
    int breaks_ = 0;
    bool space_ = false;
    bool lastWasCr_ = false;
};

// Whether `needle` occurs in `haystack`, in time proportional to both (Knuth, Morris, Pratt):
// a link's text is searched for its target, and neither is ours to choose.
bool ContainsText(QStringView haystack, QStringView needle)
{
    const qsizetype m = needle.size();
    if (m == 0)
        return true;
    if (m > haystack.size())
        return false;
    std::vector<qsizetype> fallback(size_t(m), 0);
    for (qsizetype i = 1, k = 0; i < m; ++i) {
        while (k > 0 && needle[i] != needle[k])
            k = fallback[size_t(k - 1)];
        if (needle[i] == needle[k])
            ++k;
        fallback[size_t(i)] = k;
    }
    for (qsizetype i = 0, k = 0; i < haystack.size(); ++i) {
        while (k > 0 && haystack[i] != needle[k])
            k = fallback[size_t(k - 1)];
        if (haystack[i] == needle[k] && ++k == m)
            return true;
    }
    return false;
}

bool IsShownLink(const QString& href)
{
    const QString lower = href.trimmed().toLower();
    return lower.startsWith(QLatin1String("http://")) || lower.startsWith(QLatin1String("https://")) ||
        lower.startsWith(QLatin1String("mailto:")) || lower.startsWith(QLatin1String("ftp://"));
}

QString LookUpImage(const QString& rawValue, bool decodeEntities, const QHash<QString, QString>& contentIds)
{
    QString value = (decodeEntities ? DecodeHtmlEntities(rawValue) : rawValue).trimmed();
    if (value.startsWith(QLatin1String("./")))
        value = value.mid(2);
    const auto direct = contentIds.constFind(value);
    if (direct != contentIds.constEnd())
        return direct.value();
    if (value.contains(QLatin1Char('%'))) {
        const auto decoded = contentIds.constFind(QUrl::fromPercentEncoding(value.toUtf8()));
        if (decoded != contentIds.constEnd())
            return decoded.value();
    }
    return {};
}

bool IsCssSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r') ||
        c == QLatin1Char('\f');
}

// Rewrites the url() references of a piece of CSS ("url(" blanks, a quoted or bare target,
// blanks, ")"); returns how many. One pass: no character is looked at more than a few times,
// however the text is made.
int LinkCssUrls(QString& css, const QHash<QString, QString>& contentIds)
{
    const qsizetype size = css.size();
    int count = 0;
    QString out;
    qsizetype last = 0;
    // Where the next quote of each kind stands, from where it was last looked for: a target in
    // quotes ends at the next quote of its kind, and every try after a failed one looks further on.
    qsizetype quoteFrom[2] = {-1, -1}, quoteAt[2] = {-1, -1};
    auto nextQuote = [&](int kind, qsizetype from) {
        if (quoteFrom[kind] < 0 || from < quoteFrom[kind] || (quoteAt[kind] >= 0 && from > quoteAt[kind])) {
            quoteAt[kind] = css.indexOf(kind ? QLatin1Char('\'') : QLatin1Char('"'), from);
            quoteFrom[kind] = from;
        }
        return quoteAt[kind];
    };
    auto skipSpace = [&](qsizetype i) {
        while (i < size && IsCssSpace(css[i]))
            ++i;
        return i;
    };
    qsizetype i = 0;
    while (i + 4 <= size) {
        const qsizetype start = css.indexOf(QLatin1String("url("), i, Qt::CaseInsensitive);
        if (start < 0)
            break;
        qsizetype j = skipSpace(start + 4);
        QStringView target;
        qsizetype end = -1;
        if (j < size && (css[j] == QLatin1Char('"') || css[j] == QLatin1Char('\''))) {
            const qsizetype close = nextQuote(css[j] == QLatin1Char('\'') ? 1 : 0, j + 1);
            if (close >= 0) {
                const qsizetype k = skipSpace(close + 1);
                if (k < size && css[k] == QLatin1Char(')')) {
                    target = QStringView(css).mid(j + 1, close - j - 1);
                    end = k + 1;
                }
            }
            if (end < 0) {
                i = start + 4;
                continue;
            }
        } else {
            qsizetype k = j;
            while (k < size && css[k] != QLatin1Char(')') && !IsCssSpace(css[k]) && css[k] != QLatin1Char('"') &&
                   css[k] != QLatin1Char('\''))
                ++k;
            const qsizetype close = skipSpace(k);
            if (close >= size || css[close] != QLatin1Char(')')) {
                // Every "url(" up to here ends at the same place and fails the same way.
                i = std::max(k, start + 4);
                continue;
            }
            target = QStringView(css).mid(j, k - j);
            end = close + 1;
        }
        i = end;
        const QString id = LookUpImage(target.toString(), false, contentIds);
        if (id.isEmpty())
            continue;
        out += QStringView(css).mid(last, start - last);
        out += QStringLiteral("url(cid:%1)").arg(id);
        last = end;
        ++count;
    }
    if (count) {
        out += QStringView(css).mid(last);
        css = out;
    }
    return count;
}

QString AttributeEscaped(QString value)
{
    value.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    value.replace(QLatin1Char('"'), QLatin1String("&quot;"));
    return value;
}

} // namespace

QString DecodeHtmlEntities(const QString& text)
{
    if (!text.contains(QLatin1Char('&')))
        return text;
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size();) {
        if (text[i] == QLatin1Char('&')) {
            const qsizetype used = DecodeReference(text, i, out);
            if (used > 0) {
                i += used;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

QString HtmlToPlainText(const QString& html)
{
    TextWriter writer;
    const qsizetype size = html.size();
    int preDepth = 0;
    QString hiddenUntil; // the element whose content is being skipped
    struct OpenLink {
        QString href;
        qsizetype textStart = 0;
        bool open = false;
    } link;
    // A link's target follows its text unless the text shows it already.
    auto closeLink = [&] {
        if (!link.open)
            return;
        link.open = false;
        QString target = link.href;
        if (target.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive))
            target = target.mid(7);
        if (IsShownLink(link.href) && !ContainsText(writer.since(link.textStart), target))
            writer.text(QStringLiteral(" <%1>").arg(link.href), false);
    };
    qsizetype i = 0;
    while (i < size) {
        if (html[i] != QLatin1Char('<')) {
            qsizetype next = html.indexOf(QLatin1Char('<'), i);
            if (next < 0)
                next = size;
            if (hiddenUntil.isEmpty())
                writer.text(DecodeHtmlEntities(html.mid(i, next - i)), preDepth > 0);
            i = next;
            continue;
        }
        if (QStringView(html).mid(i, 4) == QLatin1String("<!--")) {
            const qsizetype close = html.indexOf(QLatin1String("-->"), i + 4);
            i = close < 0 ? size : close + 3;
            continue;
        }
        if (i + 1 < size && (html[i + 1] == QLatin1Char('!') || html[i + 1] == QLatin1Char('?'))) {
            const qsizetype close = html.indexOf(QLatin1Char('>'), i + 2);
            i = close < 0 ? size : close + 1;
            continue;
        }
        Tag tag;
        if (!ReadTag(html, i, tag)) {
            if (hiddenUntil.isEmpty())
                writer.text(QStringLiteral("<"), preDepth > 0);
            ++i;
            continue;
        }
        i = tag.end;
        if (!hiddenUntil.isEmpty()) {
            if (tag.closing && tag.name == hiddenUntil)
                hiddenUntil.clear();
            // A body opened without closing the head ends the head all the same.
            else if (hiddenUntil == QLatin1String("head") && tag.name == QLatin1String("body") && !tag.closing)
                hiddenUntil.clear();
            continue;
        }
        if (!tag.closing && IsHiddenContent(tag.name)) {
            hiddenUntil = tag.name;
            continue;
        }
        if (tag.name == QLatin1String("br")) {
            writer.lineBreak();
            continue;
        }
        if (tag.name == QLatin1String("pre"))
            preDepth = std::max(0, preDepth + (tag.closing ? -1 : 1));
        if (tag.name == QLatin1String("td") || tag.name == QLatin1String("th")) {
            writer.separator();
            continue;
        }
        if (tag.name == QLatin1String("a")) {
            // Links do not nest: a new one ends the one still open, as browsers have it. So every
            // piece of text belongs to one link at most, and is searched once.
            closeLink();
            if (!tag.closing) {
                const Attribute* href = tag.attribute(QLatin1String("href"));
                link.href = href ? DecodeHtmlEntities(href->rawValue).trimmed() : QString();
                link.textStart = writer.position();
                link.open = true;
            }
            continue;
        }
        const int breaks = BreaksFor(tag.name);
        if (breaks > 0)
            writer.breaks(breaks);
        if (tag.name == QLatin1String("li") && !tag.closing)
            writer.text(QStringLiteral("- "), true);
    }
    return writer.result();
}

int LinkInlineImages(QString& html, const QHash<QString, QString>& contentIds)
{
    if (contentIds.isEmpty())
        return 0;
    struct Edit {
        qsizetype start, end;
        QString replacement;
    };
    std::vector<Edit> edits;
    int count = 0;
    const qsizetype size = html.size();
    qsizetype i = 0;
    bool inStyle = false;
    qsizetype styleStart = 0;
    while (i < size) {
        const qsizetype lt = html.indexOf(QLatin1Char('<'), i);
        if (lt < 0)
            break;
        if (QStringView(html).mid(lt, 4) == QLatin1String("<!--")) {
            const qsizetype close = html.indexOf(QLatin1String("-->"), lt + 4);
            i = close < 0 ? size : close + 3;
            continue;
        }
        Tag tag;
        if (!ReadTag(html, lt, tag)) {
            i = lt + 1;
            continue;
        }
        i = tag.end;
        if (inStyle) {
            if (tag.closing && tag.name == QLatin1String("style")) {
                QString css = html.mid(styleStart, lt - styleStart);
                const int n = LinkCssUrls(css, contentIds);
                if (n) {
                    edits.push_back({styleStart, lt, css});
                    count += n;
                }
                inStyle = false;
            }
            continue;
        }
        if (tag.closing)
            continue;
        if (tag.name == QLatin1String("style")) {
            inStyle = true;
            styleStart = tag.end;
            continue;
        }
        for (const Attribute& attribute : tag.attributes) {
            if (!attribute.hasValue)
                continue;
            if (attribute.name == QLatin1String("src") || attribute.name == QLatin1String("background")) {
                const QString id = LookUpImage(attribute.rawValue, true, contentIds);
                if (!id.isEmpty()) {
                    edits.push_back({attribute.valueStart, attribute.valueEnd, QStringLiteral("\"cid:%1\"").arg(id)});
                    ++count;
                }
            } else if (attribute.name == QLatin1String("style")) {
                QString css = DecodeHtmlEntities(attribute.rawValue);
                const int n = LinkCssUrls(css, contentIds);
                if (n) {
                    edits.push_back({attribute.valueStart, attribute.valueEnd,
                                     QLatin1Char('"') + AttributeEscaped(css) + QLatin1Char('"')});
                    count += n;
                }
            }
        }
    }
    if (edits.empty())
        return count;
    // One copy of the text with every edit in place (they come in order); replacing one after
    // another would move the rest of the text each time.
    QString out;
    out.reserve(size + qsizetype(edits.size()) * 64);
    qsizetype last = 0;
    for (const Edit& edit : edits) {
        out += QStringView(html).mid(last, edit.start - last);
        out += edit.replacement;
        last = edit.end;
    }
    out += QStringView(html).mid(last);
    html = std::move(out);
    return count;
}

} // namespace swn
