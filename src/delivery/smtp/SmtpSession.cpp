// One session for one mail: the checks before any connection, then as many transactions as the
// server's limit of recipients needs, and what each settled for every recipient.
#include "delivery/smtp/SmtpInternal.h"

#include "delivery/MimeComposer.h"
#include "delivery/smtp/OAuthTokens.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <vector>

namespace swn {

using namespace smtp;

namespace {

// Longer than a path may be (256 octets with its brackets): servers refuse such a command as a
// syntax error, or cut the address. Refused here, so the rest of the mail still goes.
constexpr qsizetype kMaxPath = 254;

SmtpSendResult Unsent(const QList<QByteArray>& envelopeRecipients)
{
    SmtpSendResult result;
    result.recipients.reserve(envelopeRecipients.size());
    for (const QByteArray& address : envelopeRecipients)
        result.recipients.append({address, RecipientState::Unconfirmed, {}});
    return result;
}

SmtpSendResult FailSession(SmtpSendResult& result, const QString& text)
{
    result.sessionFailed = true;
    result.errorText = text;
    for (RecipientResult& r : result.recipients)
        r.reason = text;
    return result;
}

// What would keep any mail from going with these settings; `helo` gets the name the EHLO gives,
// empty when each connection is to name itself by its address.
QString SettingsProblem(const SmtpSecurity& security, QByteArray* helo)
{
    if (const QString problem = LoginProblem(security); !problem.isEmpty())
        return problem;
    QString heloProblem;
    *helo = ConfiguredHeloName(security.heloName, &heloProblem);
    if (!heloProblem.isEmpty())
        return heloProblem;
    if (helo->isEmpty())
        *helo = OwnDomainName();
    return {};
}

// Refuses the addresses no server would take; false when that is the sender's, and so the mail.
bool RefuseOverlongPaths(SmtpSendResult& result, const QByteArray& envelopeSender)
{
    if (envelopeSender.size() > kMaxPath) {
        result.errorText = QStringLiteral("the sender address is longer than %1 octets").arg(kMaxPath);
        for (RecipientResult& r : result.recipients) {
            r.state = RecipientState::Refused;
            r.reason = result.errorText;
        }
        return false;
    }
    for (RecipientResult& r : result.recipients) {
        if (r.address.size() > kMaxPath) {
            r.state = RecipientState::Refused;
            r.reason = QStringLiteral("the address is longer than %1 octets").arg(kMaxPath);
            result.errorText = r.reason;
        }
    }
    return true;
}

// The recipients of one mail and what each transaction settled for them. Recipients are indexes
// into the result; a RCPT is matched to its recipient by its place, so an address the client
// wrote differently (an international domain in ASCII form) still finds it.
class Transactions {
public:
    Transactions(SmtpSendResult& result, bool allOrNothing)
        : result_(result), count_(size_t(result.recipients.size())), allOrNothing_(allOrNothing)
    {
    }

    // The recipients of the next transaction: those over the server's limit in the last one, then
    // those no transaction has taken, up to the client's own limit. Empty when none are left.
    std::vector<qsizetype> nextBatch();
    // What one transaction settled; false when the session ends with it.
    bool settle(const Transaction& t, const std::vector<qsizetype>& batch);
    // Those no transaction has taken get `state` and `reason`; those over the limit stay deferred.
    void settleRest(RecipientState state, const QString& reason);

private:
    void refuseAll(const std::vector<qsizetype>& batch, const QString& reason);
    // The reply to MAIL FROM, when it settles the whole transaction.
    bool settledByMail(const Transaction& t, const std::vector<qsizetype>& batch, const QString& failure);
    // Sorts the RCPT replies: `accepted` gets those taken; `answered` marks each that had a reply.
    void settleRcpts(const Transaction& t, const std::vector<qsizetype>& batch, std::vector<qsizetype>& accepted,
                     std::vector<char>& answered);
    // What DATA and the end of the data settled for the accepted recipients; true when delivered.
    bool settleData(const Transaction& t, const std::vector<qsizetype>& accepted, const QString& failure);
    // All or nothing, a RCPT that was not taken ended the transaction before DATA: whether the
    // session goes on. Empty when every RCPT was taken.
    std::optional<bool> settleStopped(const Transaction& t, const std::vector<qsizetype>& batch);

    SmtpSendResult& result_;
    const size_t count_;
    const bool allOrNothing_;
    size_t next_ = 0;             // the first recipient no transaction has taken yet
    std::vector<qsizetype> over_; // over the server's recipient limit in the last transaction
};

std::vector<qsizetype> Transactions::nextBatch()
{
    std::vector<qsizetype> batch = std::move(over_);
    over_.clear();
    while (batch.size() < kMaxRecipientsPerTransaction && next_ < count_) {
        if (result_.recipients[qsizetype(next_)].state != RecipientState::Refused)
            batch.push_back(qsizetype(next_));
        ++next_;
    }
    return batch;
}

void Transactions::settleRest(RecipientState state, const QString& reason)
{
    for (qsizetype i : over_)
        result_.recipients[i].state = RecipientState::Deferred;
    over_.clear();
    for (; next_ < count_; ++next_) {
        RecipientResult& r = result_.recipients[qsizetype(next_)];
        if (r.state == RecipientState::Refused)
            continue; // refused before any transaction
        r.state = state;
        r.reason = reason;
    }
}

void Transactions::refuseAll(const std::vector<qsizetype>& batch, const QString& reason)
{
    result_.errorText = reason;
    for (qsizetype i : batch) {
        result_.recipients[i].state = RecipientState::Refused;
        result_.recipients[i].reason = reason;
    }
    settleRest(RecipientState::Refused, reason);
}

bool Transactions::settledByMail(const Transaction& t, const std::vector<qsizetype>& batch, const QString& failure)
{
    const Step* mail = FindStep(t.exchange, Step::Mail);
    const bool refused = mail && mail->complete && mail->code / 100 != 2;
    if (t.exchange.tooLarge || (refused && IsSizeRefusal(*mail))) {
        // Too large for this server: no later attempt can fare better.
        refuseAll(batch, t.exchange.tooLarge ? t.exchange.refusal : ReplyText(*mail));
        return true;
    }
    if (refused && !IsSessionRefusal(*mail)) {
        // The server refused this sender for good: this mail fails, while other mail through
        // the same server goes on.
        refuseAll(batch, ReplyText(*mail));
        return true;
    }
    if (!IsPositive(mail, 2)) {
        // The greeting, EHLO, TLS or authentication failed: nothing about the mail.
        result_.sessionFailed = true;
        result_.errorText = failure;
        for (qsizetype i : batch)
            result_.recipients[i].reason = failure;
        settleRest(RecipientState::Unconfirmed, failure);
        return true;
    }
    return false;
}

void Transactions::settleRcpts(const Transaction& t, const std::vector<qsizetype>& batch,
                               std::vector<qsizetype>& accepted, std::vector<char>& answered)
{
    for (const Step& step : t.exchange.steps) {
        if (step.kind != Step::Rcpt || size_t(step.index) >= batch.size() || !step.complete)
            continue;
        const qsizetype i = batch[size_t(step.index)];
        RecipientResult& r = result_.recipients[i];
        answered[size_t(step.index)] = 1;
        if (step.code / 100 == 2) {
            accepted.push_back(i);
        } else if (IsTooManyRecipients(step)) {
            // The server's limit of recipients per mail: the rest go in a further transaction.
            over_.push_back(i);
            r.reason = ReplyText(step);
        } else {
            r.state = StateOf(step);
            r.reason = ReplyText(step);
        }
    }
}

bool Transactions::settleData(const Transaction& t, const std::vector<qsizetype>& accepted, const QString& failure)
{
    if (accepted.empty())
        return false;
    const Step* data = FindStep(t.exchange, Step::Data);
    const Step* end = FindStep(t.exchange, Step::EndOfData);
    RecipientState state = RecipientState::Unconfirmed;
    QString reason;
    if (!data || !data->complete) {
        reason = failure;
    } else if (data->code != 354) {
        state = StateOf(*data);
        reason = ReplyText(*data);
    } else if (!end || !end->complete) {
        reason = failure;
    } else if (end->code / 100 == 2) {
        state = RecipientState::Delivered;
    } else {
        state = StateOf(*end);
        reason = ReplyText(*end);
    }
    if (state == RecipientState::Unconfirmed)
        result_.sessionFailed = true;
    const bool dataSent = state == RecipientState::Unconfirmed && data && data->code == 354;
    if (!reason.isEmpty())
        result_.errorText = reason;
    for (qsizetype i : accepted) {
        result_.recipients[i].state = state;
        result_.recipients[i].reason = reason;
        result_.recipients[i].dataSent = dataSent;
    }
    return state == RecipientState::Delivered;
}

bool Transactions::settle(const Transaction& t, const std::vector<qsizetype>& batch)
{
    result_.replyCode = t.replyCode;
    const QString failure = SessionFailure(t);
    if (settledByMail(t, batch, failure))
        return false;
    if (allOrNothing_)
        if (const std::optional<bool> goesOn = settleStopped(t, batch))
            return *goesOn;
    std::vector<qsizetype> accepted;
    std::vector<char> answered(batch.size(), 0);
    settleRcpts(t, batch, accepted, answered);
    // Recipients whose RCPT went unanswered, or never went out, stay unconfirmed, with the
    // reason the session ended.
    for (size_t k = 0; k < batch.size(); ++k)
        if (!answered[k])
            result_.recipients[batch[k]].reason = failure;
    const bool delivered = settleData(t, accepted, failure);
    // A session that broke off leaves the rest unconfirmed, for a later attempt.
    const bool broken =
        std::find(answered.begin(), answered.end(), 0) != answered.end() ||
        (!accepted.empty() && result_.recipients[accepted.front()].state == RecipientState::Unconfirmed);
    if (broken) {
        settleRest(RecipientState::Unconfirmed, failure);
        return false;
    }
    if (!delivered && !over_.empty()) {
        // No progress with the recipients over the limit: they, and those after them, wait
        // for a later attempt.
        settleRest(RecipientState::Deferred, result_.recipients[over_.front()].reason);
        return false;
    }
    return true;
}

std::optional<bool> Transactions::settleStopped(const Transaction& t, const std::vector<qsizetype>& batch)
{
    const Step* stop = nullptr;
    for (const Step& step : t.exchange.steps) {
        if (step.kind == Step::Rcpt && step.complete && step.code / 100 != 2 && size_t(step.index) < batch.size()) {
            stop = &step;
            break;
        }
    }
    if (!stop)
        return std::nullopt;
    const qsizetype stopped = batch[size_t(stop->index)];
    const QString reply = ReplyText(*stop);
    result_.errorText = reply;
    if (stop->code / 100 == 5 && !IsTooManyRecipients(*stop) && QuotaOf(*stop) == Quota::None) {
        // Refused for good: no attempt can reach it, so the others go without it, in a new
        // transaction, since this one ended.
        result_.recipients[stopped].state = RecipientState::Refused;
        result_.recipients[stopped].reason = reply;
        for (qsizetype i : batch)
            if (i != stopped)
                over_.push_back(i);
        return true;
    }
    const QString why = QStringLiteral("not sent: %1 was put off (%2), and the mail was to go to all its recipients or "
                                       "to none")
                            .arg(QString::fromUtf8(result_.recipients[stopped].address), reply);
    for (qsizetype i : batch) {
        result_.recipients[i].state = RecipientState::Deferred;
        result_.recipients[i].reason = i == stopped ? reply : why;
    }
    settleRest(RecipientState::Deferred, why);
    return false;
}

// What the transactions of one session said about the server rather than the mail.
struct SessionSigns {
    Quota quota = Quota::None;
    QString quotaReply;
    bool loginRefused = false; // AUTH was answered with a refusal
    bool passwordOff = false;  // ... as a server that takes tokens only
    bool tokenFailed = false;  // no token to log in with: no server can be tried
};

void NoteSigns(const Transaction& t, SessionSigns& signs)
{
    for (const Step& step : t.exchange.steps) {
        const Quota quota = QuotaOf(step);
        if (quota > signs.quota) {
            signs.quota = quota;
            signs.quotaReply = ReplyText(step);
        }
        if (step.kind == Step::Auth && step.complete && step.code >= 500) {
            signs.loginRefused = true;
            signs.passwordOff = signs.passwordOff || IsPasswordLoginOff(step);
        }
    }
    // A refused XOAUTH2 token is answered with a challenge the client does not take up: it ends
    // the login there, without the final 535.
    if (t.code == CURLE_LOGIN_DENIED && FindStep(t.exchange, Step::Auth))
        signs.loginRefused = true;
}

void RunTransactions(SmtpClient& client, const SessionPlan& plan, SmtpSendResult& result, SessionSigns& signs)
{
    Transactions transactions(result, plan.allOrNothing);
    if (plan.allOrNothing) {
        // The data of a second transaction could fail after that of the first went.
        const auto open = std::count_if(result.recipients.cbegin(), result.recipients.cend(),
                                        [](const RecipientResult& r) { return r.state != RecipientState::Refused; });
        if (size_t(open) > kMaxRecipientsPerTransaction) {
            result.errorText = QStringLiteral("not sent: more than %1 recipients need more than one transaction, and "
                                              "the mail was to go to all its recipients or to none")
                                   .arg(kMaxRecipientsPerTransaction);
            transactions.settleRest(RecipientState::Deferred, result.errorText);
            return;
        }
    }
    bool first = true;
    for (;;) {
        // Checked before the next batch is taken, so that every recipient not yet tried says why.
        if (!first && plan.context && plan.context->Stopping()) {
            transactions.settleRest(RecipientState::Unconfirmed, NotTriedWhileStopping());
            return;
        }
        const std::vector<qsizetype> batch = transactions.nextBatch();
        if (batch.empty())
            return;
        if (!first && !plan.message.rewind()) {
            // A message that cannot be read twice: the rest wait for a later attempt.
            for (qsizetype i : batch)
                result.recipients[i].state = RecipientState::Deferred;
            transactions.settleRest(RecipientState::Deferred, QStringLiteral("the message could not be read again"));
            return;
        }
        first = false;
        QList<QByteArray> addresses;
        addresses.reserve(qsizetype(batch.size()));
        for (qsizetype i : batch) {
            addresses.append(result.recipients[i].address);
            result.recipients[i].reason.clear(); // what an earlier transaction said no longer applies
        }
        const Transaction t = RunTransaction(client, plan, addresses);
        NoteSigns(t, signs);
        if (!transactions.settle(t, batch))
            return;
    }
}

// Everything one server is tried with.
struct Attempt {
    const QByteArray& helo;
    const QByteArray& from;
    ComposedMessage& message;
    const SmtpSecurity& security;
    DeliveryContext* context;
    quint64 generation;
    bool allOrNothing;
};

bool StillOpen(const RecipientResult& r)
{
    return (r.state == RecipientState::Deferred || r.state == RecipientState::Unconfirmed) && !r.dataSent;
}

// Once for the life of the process: each mail's own failure says the rest.
void LogPasswordOff(DeliveryContext* context, const QByteArray& server)
{
    static std::atomic<bool> logged {false};
    if (!context || logged.exchange(true))
        return;
    context->AddLogText(QStringLiteral("The SMTP server %1 refused the password login as switched off: it takes "
                                       "OAuth2 logins only. Set SMTPOAuthTokenURL (or SMTPOAuthTokenCommand) for "
                                       "SMTPUser")
                            .arg(QString::fromUtf8(server)),
                        LogPriority::Error);
}

// One server, through a client of the pool, for the recipients of `result` it is to take: those
// `open` lists. A login refused with a token is tried once more with a new token.
void SendThrough(const SmtpServerAddress& server, const Attempt& a, SmtpSendResult& result, SessionSigns& signs)
{
    const QByteArray key = ServerKey(server);
    OAuthTokens& tokens = OAuthTokens::Shared();
    for (int login = 0; login < 2; ++login) {
        QByteArray bearer;
        if (a.security.oauth.Enabled()) {
            const OAuthToken token = tokens.Token(a.security.oauth, a.security.caFile, a.context);
            if (token.token.isEmpty()) {
                signs.tokenFailed = true;
                FailSession(result, token.failure);
                return;
            }
            bearer = token.token;
        }
        ClientLease lease(key, a.context, a.generation);
        SmtpClient* client = lease.get();
        if (!client) {
            FailSession(result, NotTriedWhileStopping());
            return;
        }
        if (!client->curl) {
            FailSession(result, QString::fromUtf8(curl_easy_strerror(CURLE_FAILED_INIT)));
            return;
        }
        if (const QString failure = Resolve(*client, server); !failure.isEmpty()) {
            FailSession(result, failure);
            return;
        }
        const SessionPlan plan{server, a.helo, a.from, a.message, a.security, a.context, a.generation, a.allOrNothing,
                               bearer};
        SessionSigns these;
        RunTransactions(*client, plan, result, these);
        signs.quota = std::max(signs.quota, these.quota);
        if (!these.quotaReply.isEmpty())
            signs.quotaReply = these.quotaReply;
        if (these.passwordOff && bearer.isEmpty())
            LogPasswordOff(a.context, key);
        if (!these.loginRefused || bearer.isEmpty())
            return;
        // The token was turned down (revoked, or spent sooner than it said): the next login takes
        // a new one. Tried again at once only while nothing of this mail can have gone: a later
        // transaction's new connection may be the one refused.
        tokens.Refused(a.security.oauth, bearer);
        const bool untouched = std::none_of(result.recipients.cbegin(), result.recipients.cend(),
                                            [](const RecipientResult& r) {
                                                return r.state == RecipientState::Delivered || r.dataSent;
                                            });
        if (login == 1 || !untouched || !a.message.rewind())
            return;
        for (RecipientResult& r : result.recipients) {
            if (r.state == RecipientState::Refused)
                continue;
            r.state = RecipientState::Unconfirmed;
            r.reason.clear();
        }
        result.sessionFailed = false;
        result.errorText.clear();
    }
}

// The servers in the order they are tried now: those not resting, in the order the settings give;
// when every one rests, those resting after a failure (the queue paces those tries), never one
// resting after a quota.
std::vector<qsizetype> ServerOrder(const QList<SmtpServerAddress>& servers, qint64* quotaRestMs, QString* quotaReason)
{
    std::vector<qsizetype> order;
    for (qsizetype i = 0; i < servers.size(); ++i)
        if (ServerRestMs(ServerKey(servers[i]), false) == 0)
            order.push_back(i);
    if (!order.empty())
        return order;
    qint64 shortest = 0;
    QString why;
    for (qsizetype i = 0; i < servers.size(); ++i) {
        QString reason;
        const qint64 rest = ServerRestMs(ServerKey(servers[i]), true, &reason);
        if (rest == 0) {
            order.push_back(i);
        } else if (shortest == 0 || rest < shortest) {
            shortest = rest;
            why = reason;
        }
    }
    // Only when no server may be tried is the wait the quota's.
    if (order.empty()) {
        *quotaRestMs = shortest;
        *quotaReason = why;
    }
    return order;
}

} // namespace

SmtpSendResult SendSmtp(const SmtpServerAddress& server, const QByteArray& envelopeSender,
                        const QList<QByteArray>& envelopeRecipients, ComposedMessage& message,
                        const SmtpSecurity& security, DeliveryContext* context, bool allOrNothing)
{
    return SendSmtp(QList<SmtpServerAddress>{server}, envelopeSender, envelopeRecipients, message, security, context,
                    allOrNothing);
}

SmtpSendResult SendSmtp(const QList<SmtpServerAddress>& servers, const QByteArray& envelopeSender,
                        const QList<QByteArray>& envelopeRecipients, ComposedMessage& message,
                        const SmtpSecurity& security, DeliveryContext* context, bool allOrNothing)
{
    SmtpSendResult result = Unsent(envelopeRecipients);
    if (envelopeRecipients.isEmpty()) {
        // Without recipients the client would not send a mail at all but still report success.
        result.errorText = NoRecipientsText();
        return result;
    }
    if (servers.isEmpty())
        return FailSession(result, QStringLiteral("no SMTP server is set"));
    QByteArray helo;
    if (const QString problem = SettingsProblem(security, &helo); !problem.isEmpty())
        return FailSession(result, problem);

    // The generation first: a stop sets its flag before it cancels, so an exchange that misses the
    // flag is still ended by the cancel.
    const quint64 generation = CancelGeneration();
    if (context && context->Stopping())
        return FailSession(result, NotTriedWhileStopping());
    if (!RefuseOverlongPaths(result, envelopeSender))
        return result;

    qint64 quotaRestMs = 0;
    QString quotaReason;
    const std::vector<qsizetype> order = ServerOrder(servers, &quotaRestMs, &quotaReason);
    if (order.empty()) {
        result.serverRestMs = quotaRestMs;
        return FailSession(result, QStringLiteral("not tried: every SMTP server rests after it refused mail for a "
                                                  "quota (%1)")
                                       .arg(quotaReason));
    }
    const QByteArray from = '<' + envelopeSender + '>';
    const Attempt attempt{helo, from, message, security, context, generation, allOrNothing};
    bool first = true;
    for (qsizetype index : order) {
        const SmtpServerAddress& server = servers[index];
        // Those this server is to take: every recipient not settled, nor perhaps sent, before.
        SmtpSendResult part;
        std::vector<qsizetype> map;
        for (qsizetype i = 0; i < result.recipients.size(); ++i) {
            if (result.recipients[i].state != RecipientState::Refused && StillOpen(result.recipients[i])) {
                part.recipients.append({result.recipients[i].address, RecipientState::Unconfirmed, {}});
                map.push_back(i);
            }
        }
        if (map.empty())
            break;
        if (!first && ((context && context->Stopping()) || !message.rewind()))
            break;
        first = false;
        SessionSigns signs;
        SendThrough(server, attempt, part, signs);
        bool took = false, left = false;
        for (size_t k = 0; k < map.size(); ++k) {
            result.recipients[map[k]] = part.recipients[qsizetype(k)];
            took = took || part.recipients[qsizetype(k)].state == RecipientState::Delivered;
            left = left || StillOpen(part.recipients[qsizetype(k)]);
        }
        result.replyCode = part.replyCode;
        if (!part.errorText.isEmpty())
            result.errorText = part.errorText;
        result.sessionFailed = part.sessionFailed;
        if (signs.tokenFailed)
            break;
        const QByteArray key = ServerKey(server);
        if (signs.quota != Quota::None)
            ServerFailed(key, signs.quota, signs.quotaReply);
        else if (!took && left && part.errorText != NotTriedWhileStopping())
            ServerFailed(key, Quota::None, part.errorText);
        if (took) {
            if (signs.quota == Quota::None)
                ServerTookMail(key);
            if (result.server.isEmpty())
                result.server = QString::fromUtf8(key);
            if (context)
                context->SmtpServerTookMail(result.server);
        }
        if (!left)
            break;
    }
    // Those left wait for a later attempt; when every server rests after a quota, not before then.
    if (std::any_of(result.recipients.cbegin(), result.recipients.cend(), StillOpen)) {
        qint64 rest = 0;
        QString reason;
        ServerOrder(servers, &rest, &reason);
        result.serverRestMs = rest;
    }
    result.sent = std::all_of(result.recipients.cbegin(), result.recipients.cend(),
                              [](const RecipientResult& r) { return r.state == RecipientState::Delivered; });
    return result;
}

} // namespace swn
