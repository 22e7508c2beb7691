#include "common/IniServices.h"

#include "common/DurableFile.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace swn {
namespace {

struct Line {
    QByteArray raw;       // as in the file, without its line break
    bool hasBreak = false;
};

struct Document {
    QList<Line> lines;
    QByteArray lineBreak = "\n";
};

Document readDocument(const QString& path)
{
    Document doc;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return doc;
    const QByteArray all = f.readAll();
    qsizetype start = 0;
    bool sawBreak = false;
    while (start < all.size()) {
        qsizetype nl = all.indexOf('\n', start);
        Line line;
        if (nl < 0) {
            line.raw = all.mid(start);
            start = all.size();
        } else {
            line.raw = all.mid(start, nl - start);
            line.hasBreak = true;
            start = nl + 1;
            if (!sawBreak) {
                doc.lineBreak = line.raw.endsWith('\r') ? "\r\n" : "\n";
                sawBreak = true;
            }
        }
        // A last line without its LF loses its CR too: read and written alike, it is the same key.
        if (line.raw.endsWith('\r'))
            line.raw.chop(1);
        doc.lines.append(line);
    }
    return doc;
}

QString decoded(const QByteArray& bytes) { return QString::fromUtf8(bytes); }

bool isBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }

QString trimBlanks(const QString& s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && isBlank(s[b])) ++b;
    while (e > b && isBlank(s[e - 1])) --e;
    return s.mid(b, e - b);
}

// The section name of a "[name]" line, or a null string for any other line.
QString sectionName(const QString& line)
{
    const QString t = trimBlanks(line);
    if (!t.startsWith(QLatin1Char('[')))
        return {};
    const qsizetype close = t.indexOf(QLatin1Char(']'));
    if (close < 0)
        return {};
    return trimBlanks(t.mid(1, close - 1));
}

// Splits a key line; lines without '=' count as a key with an empty value.
void splitKey(const QString& line, QString& key, QString& value)
{
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq < 0) {
        key = trimBlanks(line);
        value.clear();
    } else {
        key = trimBlanks(line.left(eq));
        value = line.mid(eq + 1);
    }
}

bool sameName(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

QString cutToBuffer(QString s)
{
    const qsizetype max = IniServices::BufferSize - 1;
    if (s.size() > max) {
        qsizetype n = max;
        if (s[n - 1].isHighSurrogate())
            --n;  // never leave half a character behind
        s.truncate(n);
    }
    return s;
}

// Line index of the section header, or -1.
qsizetype findSection(const Document& doc, const QString& section)
{
    for (qsizetype i = 0; i < doc.lines.size(); ++i) {
        const QString name = sectionName(decoded(doc.lines[i].raw));
        if (!name.isNull() && sameName(name, section))
            return i;
    }
    return -1;
}

bool writeAtomically(const QString& path, const QByteArray& content)
{
    // A settings file that is a link stays one: the new content replaces the file it points to.
    ReplaceOptions options;
    options.mode = -1;
    ReplaceFailure failure;
    // Once renamed into place the new content is what readers get; a folder that cannot be
    // flushed does not make the write a failure.
    const QString target = ResolveLinks(path);
    if (target.isEmpty())
        return false;
    return ReplaceFile(target, content, options, &failure) || failure.stage == ReplaceFailure::FolderFlush;
}

// A line break inside a value would split it into lines of its own.
QString oneLine(QString s)
{
    s.replace(QLatin1Char('\r'), QLatin1Char(' '));
    s.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return s;
}

// The first line of `key` in the section that starts at line `header`, and the last key line of
// that section, after which a new key goes.
struct KeyLine {
    qsizetype index = -1;
    qsizetype lastKey = -1;
    QString key, value;
};

KeyLine findKey(const Document& doc, qsizetype header, const QString& key)
{
    KeyLine found;
    found.lastKey = header;
    if (header < 0)
        return found;
    for (qsizetype i = header + 1; i < doc.lines.size(); ++i) {
        const QString line = decoded(doc.lines[i].raw);
        if (!sectionName(line).isNull())
            break;
        if (trimBlanks(line).isEmpty())
            continue;
        found.lastKey = i;
        QString k, v;
        splitKey(line, k, v);
        if (sameName(k, key)) {
            found.index = i;
            found.key = k;
            found.value = v;
            break;
        }
    }
    return found;
}

} // namespace

IniServices::IniServices(QString filePath) : path_(std::move(filePath)) {}

QString IniServices::ReadIniValue(const QString& section, const QString& key, const QString& defaultValue,
                                  bool* mayBeCut) const
{
    const Document doc = readDocument(path_);
    const KeyLine found = findKey(doc, findSection(doc, section), key);
    QString v = defaultValue;
    if (found.index >= 0) {
        v = trimBlanks(found.value);
        if (v.size() >= 2 && (v.front() == QLatin1Char('"') || v.front() == QLatin1Char('\'')) && v.back() == v.front())
            v = v.mid(1, v.size() - 2);
    }
    if (mayBeCut)
        *mayBeCut = v.size() > BufferSize - 1;
    return cutToBuffer(v);
}

bool IniServices::WriteIniValue(const QString& section, const QString& key, const QString& value) const
{
    Document doc = readDocument(path_);
    const QByteArray entry = (oneLine(key) + QLatin1Char('=') + oneLine(value)).toUtf8();
    qsizetype header = findSection(doc, section);
    if (header < 0) {
        doc.lines.append(Line{('[' + oneLine(section) + ']').toUtf8(), true});
        doc.lines.append(Line{entry, true});
    } else {
        const KeyLine found = findKey(doc, header, key);
        if (found.index >= 0)
            // Keep the key as the file spells it; only the value changes.
            doc.lines[found.index].raw = (found.key + QLatin1Char('=') + oneLine(value)).toUtf8();
        else
            doc.lines.insert(found.lastKey + 1, Line{entry, true});
    }
    QByteArray out;
    for (qsizetype i = 0; i < doc.lines.size(); ++i) {
        out += doc.lines[i].raw;
        // A last line that had no break gets one once something follows it.
        if (doc.lines[i].hasBreak || i + 1 < doc.lines.size())
            out += doc.lineBreak;
    }
    return writeAtomically(path_, out);
}

} // namespace swn
