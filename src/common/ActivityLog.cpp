#include "common/ActivityLog.h"

#include <QLocale>

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
    result.line = stampText + QStringLiteral(" :: ") + message + QStringLiteral("\r\n");
    text_ += result.line;
    if (text_.size() > qint64(limit) * 1024) {
        text_ = text_.right(CutLength);
        result.cut = true;
    }
    return result;
}

} // namespace swn
