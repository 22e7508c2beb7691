// The client's trace read as the SMTP dialogue: each command paired with the reply that answers
// it, and what those replies mean for the session and its recipients.
#include "delivery/smtp/SmtpInternal.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace swn::smtp {

namespace {

std::string WithoutLineEnd(const char* data, size_t size)
{
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

void Sent(Exchange& x, const char* data, size_t size)
{
    auto& steps = x.steps;
    x.connected = true;
    x.waitSince = Clock::now();
    // An answer to a 334 challenge belongs to the AUTH it continues.
    if (!steps.empty() && steps.back().kind == Step::Auth && steps.back().complete && steps.back().code == 334) {
        steps.back().complete = false;
        steps.back().reply.clear();
        steps.back().code = 0;
        x.waitLimit = x.waits.greetingSeconds;
        return;
    }
    const std::string line = WithoutLineEnd(data, size);
    std::string verb = line.substr(0, line.find(' '));
    for (char& c : verb)
        c = char(toupper(uchar(c)));
    if (verb.empty() || verb == ".")
        return;
    Step step;
    if (verb == "EHLO" || verb == "HELO") {
        step.kind = Step::Hello;
        step.helo = verb == "HELO";
        // A second EHLO (after STARTTLS) replaces what the first one learnt.
        x.opened.authOffered = false;
        x.opened.sizeLimit = 0;
    } else if (verb == "STARTTLS") {
        step.kind = Step::StartTls;
    } else if (verb == "AUTH") {
        step.kind = Step::Auth;
    } else if (verb == "MAIL") {
        step.kind = Step::Mail;
    } else if (verb == "RCPT") {
        step.kind = Step::Rcpt;
        step.index = x.rcpts++;
        const size_t open = line.find('<');
        const size_t close = line.rfind('>');
        if (open != std::string::npos && close != std::string::npos && close > open)
            step.address = QByteArray::fromStdString(line.substr(open + 1, close - open - 1));
    } else if (verb == "DATA") {
        step.kind = Step::Data;
    } else if (verb == "QUIT") {
        // Closing a connection, the mail's or an old one: its reply says nothing about the mail.
        x.quitting = true;
        return;
    }
    x.waitLimit = WaitFor(x, step.kind);
    steps.push_back(std::move(step));
}

// What an EHLO reply line offers, as far as the client cares here.
void LearnFromEhlo(Exchange& x, const std::string& line)
{
    if (line.size() < 5)
        return;
    std::string keyword = line.substr(4, line.find(' ', 4) == std::string::npos ? std::string::npos
                                                                                : line.find(' ', 4) - 4);
    for (char& c : keyword)
        c = char(toupper(uchar(c)));
    if (keyword == "AUTH" || keyword.rfind("AUTH=", 0) == 0)
        x.opened.authOffered = true;
    else if (keyword == "SIZE" && line.size() > 9)
        x.opened.sizeLimit = std::max<qint64>(0, std::strtoll(line.c_str() + 9, nullptr, 10));
}

// A reply ends exactly where the client takes it to end: three digits followed by a blank, or a
// line of five octets (three digits and the line end). Anything else, a "DDD-" line or a line of
// junk, ends nothing; reading it otherwise would pair later replies with the wrong commands.
bool EndsReply(const char* data, size_t size)
{
    const auto digit = [&](size_t i) { return data[i] >= '0' && data[i] <= '9'; };
    return size >= 4 && digit(0) && digit(1) && digit(2) && (data[3] == ' ' || size == 5);
}

int ReplyCode(const char* data, size_t size)
{
    char code[6] = {};
    std::memcpy(code, data, size == 5 ? 5 : 3);
    return int(std::strtol(code, nullptr, 10));
}

void Received(Exchange& x, const char* data, size_t size)
{
    auto& steps = x.steps;
    x.connected = true;
    // Replies come in order: only the newest command can still be waiting for one.
    Step* step = !steps.empty() && !steps.back().complete ? &steps.back() : nullptr;
    if (!step && x.quitting) {
        if (EndsReply(data, size)) {
            x.quitting = false;
            if (x.context)
                x.context->SmtpReplyReceived(ReplyCode(data, size));
        }
        return;
    }
    if (!step) {
        // Nothing but the greeting of a new connection comes unasked.
        if (!steps.empty())
            x.outOfStep = true;
        steps.emplace_back();
        steps.back().kind = steps.size() == 1 ? Step::Greeting : Step::Other;
        step = &steps.back();
        if (step->kind == Step::Greeting)
            x.greeted = true;
    }
    const std::string line = WithoutLineEnd(data, size);
    if (step->reply.size() < 4096) {
        if (!step->reply.empty())
            step->reply += ' ';
        step->reply += line;
    }
    if (step->kind == Step::Hello && !step->helo)
        LearnFromEhlo(x, line);
    if (!EndsReply(data, size))
        return;
    step->code = ReplyCode(data, size);
    step->complete = true;
    if (x.context)
        x.context->SmtpReplyReceived(step->code);
    if (step->code >= 400)
        x.sawRefusal = true;
    if (step->kind == Step::Auth && step->code == 235)
        x.opened.authenticated = true;
    x.waitSince = Clock::now();
    x.waitLimit = x.waits.greetingSeconds; // until the next command goes out
    if (step->kind == Step::EndOfData)
        x.inData = false;
    if (step->kind == Step::Data && step->code == 354) {
        steps.emplace_back();
        steps.back().kind = Step::EndOfData;
        x.inData = true;
        x.waitLimit = x.waits.blockSeconds;
    }
}

} // namespace

// Pairs every reply with the command it answers. Only the command's verb and a recipient's
// address are kept: the lines of an authentication carry credentials and never leave here.
int Trace(CURL*, curl_infotype type, char* data, size_t size, void* user)
{
    auto* x = static_cast<Exchange*>(user);
    if (type == CURLINFO_HEADER_OUT)
        Sent(*x, data, size);
    else if (type == CURLINFO_HEADER_IN)
        Received(*x, data, size);
    return 0;
}

QString Label(const Step& step)
{
    switch (step.kind) {
    case Step::Greeting: return QStringLiteral("the greeting");
    case Step::Hello: return step.helo ? QStringLiteral("HELO") : QStringLiteral("EHLO");
    case Step::StartTls: return QStringLiteral("STARTTLS");
    case Step::Auth: return QStringLiteral("AUTH");
    case Step::Mail: return QStringLiteral("MAIL FROM");
    case Step::Rcpt: return QStringLiteral("RCPT TO:<%1>").arg(QString::fromUtf8(step.address));
    case Step::Data: return QStringLiteral("DATA");
    case Step::EndOfData: return QStringLiteral("the end of the message data");
    case Step::Other: break;
    }
    return QStringLiteral("a command");
}

QString ReplyText(const Step& step)
{
    return QStringLiteral("%1 (reply to %2)").arg(QString::fromStdString(step.reply), Label(step));
}

// 552, or the enhanced code 5.3.4: the message is larger than the server takes.
bool IsSizeRefusal(const Step& step)
{
    if (step.code == 552)
        return true;
    return step.code / 100 == 5 && step.reply.size() >= 9 && step.reply.compare(4, 5, "5.3.4") == 0 &&
           (step.reply.size() == 9 || step.reply[9] == ' ');
}

// 452, or the older 552 and the enhanced code 5.5.3 some servers give to a RCPT over their limit
// of recipients per mail.
bool IsTooManyRecipients(const Step& step)
{
    if (step.code == 452 || step.code == 552)
        return true;
    return step.code / 100 == 5 && step.reply.size() >= 9 && step.reply.compare(4, 5, "5.5.3") == 0 &&
           (step.reply.size() == 9 || step.reply[9] == ' ');
}

const Step* FindStep(const Exchange& exchange, Step::Kind kind)
{
    for (const Step& step : exchange.steps)
        if (step.kind == kind)
            return &step;
    return nullptr;
}

// Why a transaction failed before the server settled any recipient: the reply that refused it,
// or, when the server said nothing that did, the client's own description.
QString SessionFailure(const Transaction& t)
{
    const std::vector<Step>& all = t.exchange.steps;
    const size_t end = all.size();
    if (t.exchange.timedOutInData || (!t.exchange.refusal.isEmpty() && t.code != CURLE_OK))
        return t.clientText;
    const Step* unanswered = end > 0 && !all[end - 1].complete ? &all[end - 1] : nullptr;
    // A refusal says more than the broken connection that may follow it (a client that falls
    // back from EHLO to HELO after a 421 finds the connection closed).
    for (size_t i = end; i-- > 0;) {
        const Step& step = all[i];
        if (step.complete && step.code >= 400) {
            if (unanswered && !t.clientText.isEmpty())
                return QStringLiteral("%1; then %2 (no reply to %3)")
                    .arg(ReplyText(step), t.clientText, Label(*unanswered));
            return ReplyText(step);
        }
    }
    if (unanswered && !t.clientText.isEmpty())
        return QStringLiteral("%1 (no reply to %2)").arg(t.clientText, Label(*unanswered));
    if (end == 0 && t.exchange.connected && (t.code == CURLE_OPERATION_TIMEDOUT || !t.exchange.timedOut.isEmpty()))
        return QStringLiteral("%1 (no greeting)").arg(t.clientText);
    return t.clientText.isEmpty() ? QStringLiteral("the server ended the session") : t.clientText;
}

bool IsPositive(const Step* step, int hundreds)
{
    return step && step->complete && step->code / 100 == hundreds;
}

// A refusal of MAIL FROM that may hold for any mail: a postponement (the server closing, short
// of resources), or a demand to log in. Only a lasting refusal of anything else is about this
// sender alone.
bool IsSessionRefusal(const Step& mail)
{
    if (mail.code / 100 != 5 || mail.code == 530 || QuotaOf(mail) != Quota::None)
        return true;
    const QByteArray reply = QByteArray::fromStdString(mail.reply).toLower();
    return reply.contains("5.7.0") && reply.contains("auth");
}

RecipientState StateOf(const Step& step)
{
    return step.code >= 500 && QuotaOf(step) == Quota::None ? RecipientState::Refused : RecipientState::Deferred;
}

namespace {

// The enhanced status code after the reply code ("5.2.0"), empty when the reply has none.
std::string EnhancedCode(const Step& step)
{
    const std::string& r = step.reply;
    size_t end = 4;
    while (end < r.size() && r[end] != ' ')
        ++end;
    const std::string code = r.size() > 4 ? r.substr(4, end - 4) : std::string();
    const int dots = int(std::count(code.begin(), code.end(), '.'));
    const bool digits = !code.empty() && std::all_of(code.begin(), code.end(), [](char c) {
        return c == '.' || (c >= '0' && c <= '9');
    });
    return dots == 2 && digits && (code[0] == '4' || code[0] == '5') ? code : std::string();
}

bool Mentions(const Step& step, const char* word)
{
    return QByteArray::fromStdString(step.reply).toLower().contains(word);
}

} // namespace

// The hosted servers' answers to a client over its quota or rate: "x.4.5" (congestion, given for a
// daily sending quota), "5.2.0" naming a submission quota, and throttling with "4.7.x" to the
// greeting, MAIL, DATA or the message (to a RCPT alone, unless it closes the session, 4.7.x is more
// often greylisting of that recipient). Listed in the manual page.
Quota QuotaOf(const Step& step)
{
    if (!step.complete || step.code < 400)
        return Quota::None;
    const std::string code = EnhancedCode(step);
    if (code.size() >= 4 && code.compare(1, 3, ".4.") == 0 && code.substr(4) == "5")
        return Quota::Daily;
    if (code == "5.2.0" && Mentions(step, "quota"))
        return Quota::Daily;
    // Not to STARTTLS or AUTH, where 4.7.x is the server's own trouble with TLS or logins.
    const bool whole = step.kind == Step::Greeting || step.kind == Step::Mail || step.kind == Step::Data ||
                       step.kind == Step::EndOfData || (step.kind == Step::Rcpt && step.code == 421);
    if (step.code / 100 == 4 && code.rfind("4.7.", 0) == 0 && whole)
        return Quota::Throttle;
    return Quota::None;
}

Quota QuotaOf(const Exchange& exchange)
{
    Quota worst = Quota::None;
    for (const Step& step : exchange.steps)
        worst = std::max(worst, QuotaOf(step));
    return worst;
}

bool IsPasswordLoginOff(const Step& auth)
{
    if (auth.kind != Step::Auth || !auth.complete || auth.code / 100 != 5)
        return false;
    const std::string code = EnhancedCode(auth);
    return code == "5.7.139" || code == "5.7.30" || Mentions(auth, "basic authentication") ||
           Mentions(auth, "application-specific password");
}

} // namespace swn::smtp
