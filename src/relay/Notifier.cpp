#include "relay/Notifier.h"

#include "common/Catalogue.h"
#include "delivery/MimeComposer.h"
#include "relay/RelayCore.h"
#include "relay/RelaySettings.h"

#include <QLocale>

#include <QHash>

#include <algorithm>
#include <numeric>
#include <limits>

namespace swn {
namespace {

constexpr qsizetype kMostListed = 1000;

constexpr qint64 kHourMs = 3600 * 1000;

// The values a log line or a notice's text names the mail by: its subject when it has one.
QString Named(const Notifier::Event& e)
{
    const QString subject = e.mail.subject.simplified();
    return subject.isEmpty() ? e.id : QStringLiteral("%1 (%2)").arg(e.id, subject);
}

QString RecipientLines(const Notifier::Event& e)
{
    QStringList lines;
    for (const NoticeRecipient& r : e.recipients)
        lines << QStringLiteral("  %1: %2").arg(EscapeControls(r.address), EscapeControls(r.reason.simplified()));
    return lines.join(QLatin1Char('\n'));
}

bool Delayed(const Notifier::Event& e)
{
    return !e.recipients.isEmpty() && e.recipients.front().action == NoticeAction::Delayed;
}

} // namespace

Notifier::Notifier(RelayCore& core, std::function<qint64()> now, QObject* parent)
    : QObject(parent), core_(core), now_(std::move(now))
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { TryDue(); });
}

Notifier::~Notifier() = default;

Notifier::Event Notifier::Failure(const QString& id, const NoticedMail& mail, const QStringList& recipients,
                                  const QString& reason, const QDateTime& arrival, bool expired)
{
    Event e;
    e.id = id;
    e.mail = mail;
    e.arrival = arrival;
    QStringList who = recipients.isEmpty() ? mail.recipients() : recipients;
    // A document without a recipient that could be read still tells the administrator it failed.
    if (who.isEmpty())
        who << QStringLiteral("unknown");
    for (const QString& address : std::as_const(who)) {
        const QString bare = NoticeAddress(address);
        e.recipients << NoticeRecipient{bare.isEmpty() ? address.simplified() : bare, NoticeAction::Failed, reason, expired};
    }
    return e;
}

void Notifier::Notify(Event event)
{
    ++queued_;
    QMetaObject::invokeMethod(
        this,
        [this, event = std::move(event)] {
            accept(event);
            --queued_;
        },
        Qt::QueuedConnection);
}

QString Notifier::sender() const
{
    return QStringLiteral("MAILER-DAEMON@") + QString::fromLatin1(HostDomain());
}

void Notifier::accept(const Event& event)
{
    if (event.recipients.isEmpty())
        return;
    // Two systems must never answer each other's notices: nothing about a mail without a sender,
    // nor about a report or an automatic reply.
    if (event.mail.automatic || (event.mail.readable && event.mail.from.isEmpty())) {
        core_.AddLogText(BuildResourceMessage(msg::NoticeAboutNotice, {Named(event)}));
        return;
    }
    QString to = NoticeAddress(core_.Settings().Read(setting::NotifyAddress));
    if (to.isEmpty())
        to = NoticeAddress(event.mail.admin);
    if (to.isEmpty()) {
        core_.AddLogText(BuildResourceMessage(msg::NoticeNobody, {Named(event)}));
        return;
    }
    bool ok = false;
    const int limit = std::max(0, core_.Settings().Read(setting::NotifyPerHour).trimmed().toInt(&ok));
    const qint64 t = now_();
    while (!window_.empty() && window_.front() <= t - kHourMs)
        window_.pop_front();
    if (int(window_.size()) >= (ok ? limit : 20)) {
        if (held_.isEmpty()) {
            schedule();
            const qint64 inMs = std::max<qint64>(0, timer_.isActive() ? timer_.remainingTime() : 0);
            core_.AddLogText(BuildResourceMessage(msg::NoticesHeldBack,
                                                  {ok ? limit : 20, QDateTime::currentDateTime().addMSecs(inMs).toString(Qt::ISODate)}),
                             LogPriority::Warning);
        }
        // A summary names a bounded number: a flood of failures must not fill memory meanwhile.
        if (held_.size() < kMostListed)
            held_.append({to, event});
        else
            ++heldBeyond_;
        schedule();
        return;
    }
    window_.push_back(t);

    DeliveryNotice notice;
    notice.to = to;
    notice.from = sender();
    notice.reportingHost = HostDomain();
    notice.arrival = event.arrival;
    notice.willRetryUntil = event.willRetryUntil;
    notice.mail = event.mail;
    notice.recipients = event.recipients;
    const QString about = event.mail.subject.simplified().isEmpty() ? event.id : event.mail.subject.simplified();
    if (Delayed(event)) {
        notice.subject = BuildResourceMessage(msg::NoticeDelayedSubject, {about});
        notice.text = BuildResourceMessage(msg::NoticeDelayedText,
                                           {event.id, QLocale::c().toString(double(event.waitedMs) / kHourMs, 'f', 1),
                                            QLocale().toString(event.willRetryUntil.toLocalTime(), QLocale::LongFormat)});
    } else {
        notice.subject = BuildResourceMessage(msg::NoticeFailedSubject, {about});
        notice.text = BuildResourceMessage(msg::NoticeFailedText, {event.id});
    }
    notice.text += QStringLiteral("\n\n") + RecipientLines(event) + QLatin1Char('\n');
    // Composed on the worker too: the MIME library stays off this thread.
    auto error = std::make_shared<QString>();
    const QString server = core_.Settings().SMTPServer();
    const SmtpSecurity security = core_.Settings().SmtpSecurityOptions();
    const QString name = Named(event);
    ++underWay_;
    core_.RunOnWorker(
        [notice, server, security, error] { *error = SendNotice(server, security, notice.to, ComposeDeliveryNotice(notice)); },
        this, [this, name, to, error] {
            --underWay_;
            if (error->isEmpty())
                core_.AddLogText(BuildResourceMessage(msg::NoticeSent, {name, to}));
            else
                core_.AddLogText(BuildResourceMessage(msg::NoticeNotSent, {name, to, *error}), LogPriority::Error);
            Q_EMIT noticeEnded(error->isEmpty());
        });
}

void Notifier::schedule()
{
    if (held_.isEmpty())
        return;
    // One summary an hour: once the hour of the single notices is over, and an hour after the last.
    qint64 due = window_.empty() ? now_() : window_.front() + kHourMs;
    if (lastSummaryMs_ >= 0)
        due = std::max(due, lastSummaryMs_ + kHourMs);
    const qint64 wait = std::clamp<qint64>(due - now_(), 0, std::numeric_limits<int>::max());
    timer_.start(int(wait));
}

void Notifier::TryDue()
{
    if (held_.isEmpty())
        return;
    const qint64 t = now_();
    const qint64 due = std::max(window_.empty() ? t : window_.front() + kHourMs,
                                lastSummaryMs_ >= 0 ? lastSummaryMs_ + kHourMs : t);
    if (t < due) {
        schedule();
        return;
    }
    lastSummaryMs_ = t;
    bool ok = false;
    const int limit = std::max(0, core_.Settings().Read(setting::NotifyPerHour).trimmed().toInt(&ok));
    // One summary for each address told.
    QStringList order;
    QHash<QString, QStringList> lines;
    for (const Held& h : std::as_const(held_)) {
        if (!lines.contains(h.to))
            order << h.to;
        const Event& e = h.event;
        const QString reason = e.recipients.isEmpty() ? QString() : e.recipients.front().reason.simplified();
        lines[h.to] << QStringLiteral("%1\t%2\t%3: %4 (%5)")
                           .arg(EscapeControls(e.id), EscapeControls(e.mail.subject.simplified()),
                                Delayed(e) ? QStringLiteral("delayed") : QStringLiteral("failed"),
                                EscapeControls(reason),
                                EscapeControls(std::accumulate(e.recipients.cbegin(), e.recipients.cend(), QString(),
                                                               [](QString all, const NoticeRecipient& r) {
                                                                   return all.isEmpty() ? r.address : all + QLatin1Char(',') + r.address;
                                                               })));
    }
    held_.clear();
    if (heldBeyond_ > 0 && !order.isEmpty())
        lines[order.front()] << QStringLiteral("(%1 more not listed)").arg(heldBeyond_);
    heldBeyond_ = 0;
    const QString server = core_.Settings().SMTPServer();
    const SmtpSecurity security = core_.Settings().SmtpSecurityOptions();
    for (const QString& to : order) {
        const QStringList& mine = lines[to];
        const QString subject = BuildResourceMessage(msg::NoticeSummarySubject, {mine.size()});
        const QString text = BuildResourceMessage(msg::NoticeSummaryText, {ok ? limit : 20}) + QStringLiteral("\n\n") +
                             mine.join(QLatin1Char('\n')) + QLatin1Char('\n');
        const QString from = sender();
        auto error = std::make_shared<QString>();
        ++underWay_;
        core_.RunOnWorker(
            [to, from, subject, text, server, security, error] {
                *error = SendNotice(server, security, to, ComposePlainNotice(to, from, subject, text));
            },
            this, [this, to, subject, error] {
                --underWay_;
                if (error->isEmpty())
                    core_.AddLogText(BuildResourceMessage(msg::NoticeSent, {subject, to}));
                else
                    core_.AddLogText(BuildResourceMessage(msg::NoticeNotSent, {subject, to, *error}), LogPriority::Error);
                Q_EMIT noticeEnded(error->isEmpty());
            });
    }
}

} // namespace swn
