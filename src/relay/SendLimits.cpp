#include "relay/SendLimits.h"

#include "relay/RelaySettings.h"
#include "relay/Spool.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <algorithm>

namespace swn {
namespace {

class ElapsedClock : public MonotonicClock {
public:
    ElapsedClock() { clock_.start(); }
    qint64 nowMs() const override { return clock_.elapsed(); }

private:
    QElapsedTimer clock_;
};

// First line of the note; each line after it is "<slice start, ms since 1970 UTC> <recipients>".
const char kNoteHeader[] = "swn-send-limits 1";

} // namespace

std::shared_ptr<const MonotonicClock> SteadyClock()
{
    static const auto clock = std::make_shared<const ElapsedClock>();
    return clock;
}

const QString SendLimits::kNoteName = QStringLiteral("send-limits");

SendLimits::SendLimits(QObject* parent)
    : QObject(parent), clock_(SteadyClock()), wall_([] { return QDateTime::currentMSecsSinceEpoch(); })
{
    saveTimer_.setSingleShot(true);
    connect(&saveTimer_, &QTimer::timeout, this, [this] { Save(); });
}

SendLimits::~SendLimits() { Save(); }

void SendLimits::SetTiming(const Timing& timing)
{
    std::lock_guard lock(mutex_);
    timing_ = timing;
    timing_.bucketMs = std::max<qint64>(1, timing_.bucketMs);
}

void SendLimits::SetClock(std::shared_ptr<const MonotonicClock> clock)
{
    std::lock_guard lock(mutex_);
    clock_ = clock ? std::move(clock) : SteadyClock();
    minute_.clear();
}

void SendLimits::SetWallClock(std::function<qint64()> msSinceEpoch)
{
    std::lock_guard lock(mutex_);
    if (msSinceEpoch)
        wall_ = std::move(msSinceEpoch);
}

qint64 SendLimits::wallNow() const { return wall_(); }

void SendLimits::Configure(int messagesPerMinute, qint64 recipientsPerDay)
{
    std::lock_guard lock(mutex_);
    perMinute_ = std::max(0, messagesPerMinute);
    perDay_ = std::max<qint64>(0, recipientsPerDay);
}

void SendLimits::ApplySettings(const RelaySettings& settings)
{
    const auto count = [&](const SettingKey& key) -> qint64 {
        const QString text = settings.Read(key).trimmed();
        bool ok = false;
        const qint64 value = text.toLongLong(&ok);
        if (text.isEmpty() || (ok && value >= 0))
            return ok ? std::min<qint64>(value, 1000000000) : 0;
        if (log_)
            log_(QStringLiteral("%1=%2 is no count of 0 or more: no such limit applies").arg(QLatin1String(key.name), text),
                 LogPriority::Warning);
        return 0;
    };
    Configure(int(count(setting::SMTPMessagesPerMinute)), count(setting::SMTPRecipientsPerDay));
}

bool SendLimits::Active() const
{
    std::lock_guard lock(mutex_);
    return perMinute_ > 0 || perDay_ > 0;
}

bool SendLimits::CountsRecipients() const
{
    std::lock_guard lock(mutex_);
    return perDay_ > 0;
}

QString SendLimits::Describe() const
{
    std::lock_guard lock(mutex_);
    QStringList parts;
    if (perMinute_ > 0)
        parts << QStringLiteral("%1 %2").arg(QLatin1String(setting::SMTPMessagesPerMinute.name)).arg(perMinute_);
    if (perDay_ > 0)
        parts << QStringLiteral("%1 %2").arg(QLatin1String(setting::SMTPRecipientsPerDay.name)).arg(perDay_);
    return parts.join(QStringLiteral(", "));
}

void SendLimits::SetSpool(std::shared_ptr<Spool> spool)
{
    if (!spool)
        return;
    {
        std::lock_guard lock(mutex_);
        if (spool_ == spool)
            return;
    }
    // What was counted for another spool stays written there.
    Save();
    load(*spool);
    std::lock_guard lock(mutex_);
    spool_ = std::move(spool);
}

void SendLimits::load(Spool& spool)
{
    const QString path = spool.notesDir() + QLatin1Char('/') + kNoteName;
    QFile file(path);
    if (!file.exists())
        return;
    const auto ignore = [&](const QString& why) {
        if (log_)
            log_(QStringLiteral("The count of recipients toward the mail server in %1 is ignored (%2): "
                                "the day is counted from this run's mail")
                     .arg(path, why),
                 LogPriority::Warning);
    };
    if (!file.open(QIODevice::ReadOnly)) {
        ignore(file.errorString());
        return;
    }
    // A whole day of minutes takes some 30 KB: anything much larger is no note of ours.
    const QByteArray text = file.read(1024 * 1024);
    const QList<QByteArray> lines = text.split('\n');
    if (lines.isEmpty() || lines.first().trimmed() != QByteArray(kNoteHeader)) {
        ignore(QStringLiteral("it does not start with \"%1\"").arg(QLatin1String(kNoteHeader)));
        return;
    }
    std::map<qint64, qint64> read;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split(' ');
        bool okStart = false, okCount = false;
        const qint64 start = fields.value(0).toLongLong(&okStart);
        const qint64 n = fields.value(1).toLongLong(&okCount);
        if (fields.size() != 2 || !okStart || !okCount || n < 0 || start < 0) {
            ignore(QStringLiteral("line %1 is no count").arg(i + 1));
            return;
        }
        read[start] += n;
    }
    std::lock_guard lock(mutex_);
    for (const auto& [start, n] : read)
        day_[start - start % timing_.bucketMs] += n;
    prune(wallNow());
}

void SendLimits::prune(qint64 wall)
{
    const qint64 slice = wall - wall % timing_.bucketMs;
    // Counted "later" than now: the clock went back. Counted now, so that the step neither
    // frees the day nor holds mail back beyond a day.
    qint64 ahead = 0;
    for (auto it = day_.upper_bound(slice); it != day_.end();) {
        ahead += it->second;
        it = day_.erase(it);
        dirty_ = true;
    }
    if (ahead > 0)
        day_[slice] += ahead;
    while (!day_.empty() && day_.begin()->first + timing_.bucketMs + timing_.dayMs <= wall) {
        day_.erase(day_.begin());
        dirty_ = true;
    }
}

SendLimits::Verdict SendLimits::Admit(int recipients)
{
    Verdict v;
    qint64 perDay = 0; // as the lock saw it, for the log line after it
    {
        std::lock_guard lock(mutex_);
        const qint64 t = clock_->nowMs();
        const qint64 wall = wallNow();
        const qint64 n = std::max(1, recipients);
        while (!minute_.empty() && minute_.front() + timing_.minuteMs <= t)
            minute_.pop_front();
        if (perMinute_ > 0 && qint64(minute_.size()) >= perMinute_) {
            // The mail that makes room is the one whose minute ends first.
            v.waitMs = minute_[minute_.size() - size_t(perMinute_)] + timing_.minuteMs - t;
            v.limit = QStringLiteral("%1 %2").arg(QLatin1String(setting::SMTPMessagesPerMinute.name)).arg(perMinute_);
        }
        if (perDay_ > 0) {
            prune(wall);
            qint64 sum = 0;
            for (const auto& [start, count] : day_)
                sum += count;
            qint64 dayWait = 0;
            if (n > perDay_) {
                // It can only go alone: on a day with nothing else counted.
                if (sum > 0)
                    dayWait = day_.rbegin()->first + timing_.bucketMs + timing_.dayMs - wall;
                else
                    v.aloneForTheDay = true;
            } else if (sum + n > perDay_) {
                for (const auto& [start, count] : day_) {
                    sum -= count;
                    if (sum + n <= perDay_) {
                        dayWait = start + timing_.bucketMs + timing_.dayMs - wall;
                        break;
                    }
                }
            }
            if (dayWait > 0 && dayWait > v.waitMs) {
                v.waitMs = dayWait;
                v.limit = QStringLiteral("%1 %2").arg(QLatin1String(setting::SMTPRecipientsPerDay.name)).arg(perDay_);
            }
        }
        if (v.waitMs > 0) {
            v.aloneForTheDay = false;
            return v;
        }
        v.waitMs = 0;
        if (perMinute_ > 0) {
            minute_.push_back(t);
            v.minuteAt = t;
        }
        if (perDay_ > 0) {
            v.daySlice = wall - wall % timing_.bucketMs;
            v.dayCount = n;
            day_[v.daySlice] += n;
            dirty_ = true;
        }
        perDay = perDay_;
    }
    if (v.aloneForTheDay && log_)
        log_(QStringLiteral("A mail to %1 recipients, more than %2 %3 allows in a day, goes alone on a day of no other mail")
                 .arg(recipients)
                 .arg(QLatin1String(setting::SMTPRecipientsPerDay.name))
                 .arg(perDay),
             LogPriority::Warning);
    saveSoon();
    return v;
}

void SendLimits::Refund(const Verdict& verdict)
{
    if (verdict.waitMs > 0)
        return;
    {
        std::lock_guard lock(mutex_);
        if (verdict.minuteAt >= 0) {
            const auto it = std::find(minute_.rbegin(), minute_.rend(), verdict.minuteAt);
            if (it != minute_.rend())
                minute_.erase(std::next(it).base());
        }
        if (verdict.dayCount > 0) {
            const auto it = day_.find(verdict.daySlice);
            if (it != day_.end()) {
                it->second -= std::min(it->second, verdict.dayCount);
                if (it->second == 0)
                    day_.erase(it);
                dirty_ = true;
            }
        }
    }
    saveSoon();
}

void SendLimits::saveSoon()
{
    {
        std::lock_guard lock(mutex_);
        if (!dirty_ || !spool_)
            return;
    }
    const auto arm = [this] {
        if (!saveTimer_.isActive())
            saveTimer_.start(int(std::clamp<qint64>(timing_.saveDelayMs, 0, 60000)));
    };
    if (QThread::currentThread() == thread())
        arm();
    else
        QMetaObject::invokeMethod(this, arm, Qt::QueuedConnection);
}

void SendLimits::Save()
{
    // One writer at a time, each writing the count as it is when it starts.
    std::lock_guard saving(saveMutex_);
    QByteArray text;
    std::shared_ptr<Spool> spool;
    {
        std::lock_guard lock(mutex_);
        if (!dirty_ || !spool_)
            return;
        prune(wallNow());
        text = QByteArray(kNoteHeader) + '\n';
        for (const auto& [start, count] : day_)
            text += QByteArray::number(start) + ' ' + QByteArray::number(count) + '\n';
        dirty_ = false;
        spool = spool_;
    }
    QString error;
    const bool ok = spool->writeNote(kNoteName, text, &error);
    std::lock_guard lock(mutex_);
    if (ok) {
        writeFailure_.clear();
        return;
    }
    // Tried again with the next change; told once while it fails for the same reason.
    dirty_ = true;
    if (std::exchange(writeFailure_, error) != error && log_)
        log_(QStringLiteral("The count of recipients toward the mail server cannot be kept in %1: %2")
                 .arg(spool->notesDir(), error),
             LogPriority::Warning);
}

} // namespace swn
