#pragma once
// The activity log's text and its size rules, apart from the box that shows it.
#include <QDateTime>
#include <QString>

namespace swn {

// How much a log line matters, as syslog numbers it: the journal shows and filters by it.
enum class LogPriority { Error = 3, Warning = 4, Info = 6 };

class ActivityLog {
public:
    // Whatever the limit, a cut keeps this many characters.
    static constexpr qsizetype CutLength = 16384;
    static constexpr int SmallestLimitKB = 16;

    // Result of one append: whether the text was cut (the box must then be refilled) and the
    // text of the limit field when it had to be corrected.
    struct Append {
        QString line;          // the stamped line that was added, CR LF included
        bool cut = false;
        bool limitCorrected = false;
    };

    // Appends one stamped line. `maxLogSizeText` is the text of the limit field, read afresh on
    // every call; an unreadable or too small limit becomes "16".
    Append add(const QString& message, QString& maxLogSizeText, const QDateTime& now);
    // The same, stamped now. Formatting a time for the locale costs more than a short line, so
    // the stamp is made once per second.
    Append add(const QString& message, QString& maxLogSizeText);

    const QString& text() const { return text_; }
    void clear() { text_.clear(); }

    // The local date and time as the user's locale writes them: short date, then long time.
    static QString stamp(const QDateTime& when);
    // Every entry is one line: line breaks joined by a blank, other control characters escaped.
    static QString OneLine(const QString& message);

private:
    Append append(const QString& message, QString& maxLogSizeText, const QString& stamp);

    QString text_;
    qint64 stampSecond_ = -1;
    QString stampText_;
};

} // namespace swn
