#pragma once
// A delivery context without a window: the log is a list, the counters plain numbers.
#include "delivery/DeliveryContext.h"
#include "delivery/DeliveryError.h"
#include "common/Catalogue.h"

#include <QStringList>
#include <limits>

namespace swn::test {

class FakeContext : public DeliveryContext {
public:
    QStringList log;
    QList<LogPriority> priorities; // one per line of `log`
    QString smtpHost = QStringLiteral("localhost:25");
    bool networkRelay = true;
    QString sendmail;
    SmtpSecurity security;
    qint32 copies = 0, relays = 0, shownCopies = 0, shownRelays = 0;
    QList<int> replyCodes; // every complete SMTP reply, in order
    bool stopping = false;

    void AddLogText(const QString& message, LogPriority priority = LogPriority::Info) override
    {
        log << message;
        priorities << priority;
    }
    QString SMTPHostText() const override { return smtpHost; }
    bool IsNetworkRelayMode() const override { return networkRelay; }
    void AdvanceCounters(qint32 c, qint32 r) override
    {
        if (qint64(copies) + c > std::numeric_limits<qint32>::max() ||
            qint64(relays) + r > std::numeric_limits<qint32>::max())
            throw DeliveryError(BuildResourceMessage(msg::CounterOverflow));
        copies += c;
        relays += r;
    }
    void AdvanceDisplayedCounters(qint32 c, qint32 r) override
    {
        shownCopies += c;
        shownRelays += r;
    }
    QString SendmailProgram() const override { return sendmail; }
    SmtpSecurity SmtpSecurityOptions() const override { return security; }
    void SmtpReplyReceived(int code) override { replyCodes << code; }
    bool Stopping() const override { return stopping; }
    QString joinedLog() const { return log.join(QLatin1Char('\n')); }

    // A context that sends to `host` (a server or a list of them) with `security`.
    static FakeContext For(const QString& host, const SmtpSecurity& security = {})
    {
        FakeContext ctx;
        ctx.smtpHost = host;
        ctx.security = security;
        return ctx;
    }
};

} // namespace swn::test
