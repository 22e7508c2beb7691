// What became of a mail, in the report and in the log: message 142 for the recipients that did
// not get it (one line for each reason they share), message 188 for settings that cannot work.
#include "delivery/smtp/SmtpInternal.h"

#include "delivery/MimeComposer.h"
#include "common/ActivityLog.h"
#include "common/Catalogue.h"

#include <QHash>

#include <vector>

namespace swn::smtp {

namespace {

QString Joined(const QStringList& entries)
{
    return entries.join(QLatin1Char(','));
}

void LogSendFailure(DeliveryContext& context, const QString& reason, const QString& fromAddr, const QStringList& to,
                    const QStringList& cc, const QStringList& bcc, LogPriority priority)
{
    context.AddLogText(
        BuildResourceMessage(msg::SmtpSendFailed, {reason, fromAddr, Joined(to), Joined(cc), Joined(bcc)}), priority);
}

// Recipients that share a reason (a refused session, a refused message) share one line: an
// error when they are refused for good, a warning when the mail is kept for them.
struct Failure {
    QString reason;
    bool permanent = false;
    QList<QByteArray> addresses;
};

struct Sorted {
    std::vector<Failure> failures; // in the order their first recipient came
    bool unconfirmed = false;
    bool deferred = false;
};

// Puts every recipient in the report's lists and gathers those that did not get the mail by reason.
Sorted SortRecipients(const SmtpSendResult& result, DeliveryReport& report)
{
    Sorted sorted;
    QHash<QString, size_t> failureOf;
    for (const RecipientResult& r : result.recipients) {
        const QString address = QString::fromUtf8(r.address);
        switch (r.state) {
        case RecipientState::Delivered:
            report.delivered << address;
            continue;
        case RecipientState::Refused:
            report.refused << address;
            break;
        case RecipientState::Deferred:
            report.pending << address;
            sorted.deferred = true;
            break;
        case RecipientState::Unconfirmed:
            report.pending << address;
            sorted.unconfirmed = true;
            break;
        }
        const bool permanent = r.state == RecipientState::Refused;
        const QString key = (permanent ? QLatin1Char('E') : QLatin1Char('W')) + r.reason;
        const auto found = failureOf.constFind(key);
        if (found != failureOf.cend()) {
            sorted.failures[*found].addresses.append(r.address);
        } else {
            failureOf.insert(key, sorted.failures.size());
            sorted.failures.push_back({r.reason, permanent, {r.address}});
        }
    }
    return sorted;
}

void LogFailures(DeliveryContext& context, const QString& fromAddr, const MimeMessageBuilder& builder,
                 const std::vector<Failure>& failures)
{
    for (const Failure& failure : failures) {
        QStringList to, cc, bcc;
        for (const QByteArray& address : failure.addresses) {
            const RecipientKind kind = builder.kindOf(address);
            (kind == RecipientKind::To ? to : kind == RecipientKind::Cc ? cc : bcc) << QString::fromUtf8(address);
        }
        LogSendFailure(context, failure.reason, fromAddr, to, cc, bcc,
                       failure.permanent ? LogPriority::Error : LogPriority::Warning);
    }
}

QString ReasonOf(const std::vector<Failure>& failures)
{
    if (failures.empty())
        return {};
    QString reason = ActivityLog::OneLine(failures.front().reason);
    if (failures.size() > 1)
        reason += QStringLiteral(" (and %1 more reasons)").arg(failures.size() - 1);
    return reason;
}

DeliveryOutcome OutcomeOf(const DeliveryReport& report, const Sorted& sorted, bool sessionFailed)
{
    if (sorted.unconfirmed || sessionFailed)
        return report.pending.isEmpty() ? (report.delivered.isEmpty() ? DeliveryOutcome::FailedPermanently
                                                                      : DeliveryOutcome::Delivered)
                                        : DeliveryOutcome::ServerUnavailable;
    if (sorted.deferred)
        return DeliveryOutcome::RetryLater;
    if (!report.delivered.isEmpty())
        return DeliveryOutcome::Delivered;
    return DeliveryOutcome::FailedPermanently;
}

} // namespace

DeliveryOutcome RefuseMail(DeliveryContext& context, const MailRequest& request, const QString& reason,
                           DeliveryReport& report)
{
    LogSendFailure(context, reason, request.fromAddr, request.to, request.cc, request.bcc, LogPriority::Error);
    report.outcome = DeliveryOutcome::FailedPermanently;
    report.reason = ActivityLog::OneLine(reason);
    return report.outcome;
}

DeliveryOutcome KeepForSettings(DeliveryContext& context, const QString& problem,
                                const QList<QByteArray>& recipients, DeliveryReport& report)
{
    const QString line = BuildResourceMessage(msg::SmtpSettingsUnusable, {problem});
    context.AddLogText(line, LogPriority::Error);
    report.outcome = DeliveryOutcome::ServerUnavailable;
    report.reason = ActivityLog::OneLine(line);
    for (const QByteArray& address : recipients)
        report.pending << QString::fromUtf8(address);
    return report.outcome;
}

DeliveryOutcome ReportSend(DeliveryContext& context, const MailRequest& request, const MimeMessageBuilder& builder,
                           const SmtpSendResult& result, DeliveryReport& report)
{
    const Sorted sorted = SortRecipients(result, report);
    LogFailures(context, request.fromAddr, builder, sorted.failures);
    if (!sorted.failures.empty())
        report.reason = ReasonOf(sorted.failures);
    report.outcome = OutcomeOf(report, sorted, result.sessionFailed);
    report.server = result.server;
    report.serverRestMs = result.serverRestMs;
    // Every server rests after a quota: the mail waits with them rather than on its own back-off.
    if (result.serverRestMs > 0 && !report.pending.isEmpty())
        report.outcome = DeliveryOutcome::ServerUnavailable;
    return report.outcome;
}

} // namespace swn::smtp
