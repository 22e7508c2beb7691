#include "common/ActivityLog.h"

#include "common/Catalogue.h"

#include <QLocale>

#include <algorithm>

namespace swn {

QString ActivityLog::stamp(const QDateTime& when)
{
    const QLocale locale = QLocale::system();
    return locale.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ')
         + locale.toString(when.time(), QLocale::LongFormat);
}

ActivityLog::Append ActivityLog::add(const QString& message, QString& maxLogSizeText, const QDateTime& now)
{
    return append(message, maxLogSizeText, stamp(now));
}

ActivityLog::Append ActivityLog::add(const QString& message, QString& maxLogSizeText)
{
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (second != stampSecond_) {
        stampSecond_ = second;
        stampText_ = stamp(QDateTime::fromSecsSinceEpoch(second));
    }
    return append(message, maxLogSizeText, stampText_);
}

QString ActivityLog::OneLine(const QString& message)
{
    // Most messages hold nothing to change: they are taken as they are.
    const auto plain = [](QChar c) {
        const char16_t u = c.unicode();
        return u >= 0x20 && !(u >= 0x7F && u <= 0x9F) && u != 0x2028 && u != 0x2029;
    };
    if (std::all_of(message.cbegin(), message.cend(), plain))
        return message;
    // Messages several lines long by design are joined; anything else that could break a line or
    // rewrite the terminal is shown escaped.
    QString joined;
    joined.reserve(message.size());
    for (qsizetype i = 0; i < message.size(); ++i) {
        const QChar c = message[i];
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            if (c == QLatin1Char('\r') && i + 1 < message.size() && message[i + 1] == QLatin1Char('\n'))
                ++i;
            if (!joined.isEmpty() && !joined.endsWith(QLatin1Char(' ')))
                joined += QLatin1Char(' ');
            continue;
        }
        joined += c;
    }
    while (joined.endsWith(QLatin1Char(' ')))
        joined.chop(1);
    return EscapeControls(joined);
}

ActivityLog::Append ActivityLog::append(const QString& message, QString& maxLogSizeText, const QString& stampText)
{
    Append result;
    bool ok = false;
    const int parsed = maxLogSizeText.trimmed().toShort(&ok);
    int limit = ok ? parsed : 0;
    if (limit < SmallestLimitKB) {
        limit = SmallestLimitKB;
        maxLogSizeText = QStringLiteral("16");
        result.limitCorrected = true;
    }
    result.line = stampText + QStringLiteral(" :: ") + OneLine(message) + QStringLiteral("\r\n");
    text_ += result.line;
    if (text_.size() > qint64(limit) * 1024) {
        text_ = text_.right(CutLength);
        result.cut = true;
    }
    return result;
}

} // namespace swn
