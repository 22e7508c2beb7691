#include "delivery/CDOSend.h"

#include "delivery/Delivery.h"
#include "delivery/DeliveryError.h"
#include "delivery/MimeComposer.h"
#include "delivery/Staging.h"
#include "common/Catalogue.h"

#include <QCryptographicHash>
#include <QFile>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace swn {

namespace {

std::atomic<int> connectTimeoutSeconds{30};
std::atomic<int> idleTimeoutSeconds{30};

const char* const kImageExtensions[] = {"jpg", "jpeg", "gif", "png", "bmp"};

// One command of the SMTP dialogue and the server's reply to it, as the client's trace shows them.
struct Step {
    enum Kind { Greeting, Hello, StartTls, Auth, Mail, Rcpt, Data, EndOfData, Quit, Other };
    Kind kind = Other;
    bool helo = false;  // HELO rather than EHLO
    QByteArray address; // of a RCPT
    std::string reply;  // every line of the reply, joined by blanks
    int code = 0;
    bool complete = false;
};

struct Exchange {
    ComposedMessage* message = nullptr;
    std::vector<Step> steps;
    bool sawRefusal = false; // the server answered 4xx or 5xx to something
    qint64 bytesRead = 0;    // of the message, handed to the client
};

size_t ReadMessage(char* buffer, size_t size, size_t count, void* user)
{
    auto* exchange = static_cast<Exchange*>(user);
    const qint64 n = exchange->message->read(buffer, qint64(size * count));
    if (n > 0)
        exchange->bytesRead += n;
    return n < 0 ? CURL_READFUNC_ABORT : size_t(n);
}

std::string WithoutLineEnd(const char* data, size_t size)
{
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

// Pairs every reply with the command it answers. Only the command's verb and a recipient's
// address are kept: the lines of an authentication carry credentials and never leave here.
int Trace(CURL*, curl_infotype type, char* data, size_t size, void* user)
{
    auto* exchange = static_cast<Exchange*>(user);
    auto& steps = exchange->steps;
    if (type == CURLINFO_HEADER_OUT) {
        const std::string line = WithoutLineEnd(data, size);
        // An answer to a 334 challenge belongs to the AUTH it continues.
        if (!steps.empty() && steps.back().kind == Step::Auth && steps.back().complete && steps.back().code == 334) {
            steps.back().complete = false;
            steps.back().reply.clear();
            steps.back().code = 0;
            return 0;
        }
        std::string verb = line.substr(0, line.find(' '));
        for (char& c : verb)
            c = char(toupper(uchar(c)));
        Step step;
        if (verb.empty() || verb == ".")
            return 0;
        if (verb == "EHLO" || verb == "HELO") {
            step.kind = Step::Hello;
            step.helo = verb == "HELO";
        }
        else if (verb == "STARTTLS")
            step.kind = Step::StartTls;
        else if (verb == "AUTH")
            step.kind = Step::Auth;
        else if (verb == "MAIL")
            step.kind = Step::Mail;
        else if (verb == "RCPT") {
            step.kind = Step::Rcpt;
            const size_t open = line.find('<');
            const size_t close = line.rfind('>');
            if (open != std::string::npos && close != std::string::npos && close > open)
                step.address = QByteArray::fromStdString(line.substr(open + 1, close - open - 1));
        } else if (verb == "DATA")
            step.kind = Step::Data;
        else if (verb == "QUIT")
            step.kind = Step::Quit;
        steps.push_back(step);
        return 0;
    }
    if (type != CURLINFO_HEADER_IN)
        return 0;
    const std::string line = WithoutLineEnd(data, size);
    // Replies come in order: only the newest command can still be waiting for one.
    Step* step = !steps.empty() && !steps.back().complete ? &steps.back() : nullptr;
    if (!step) {
        steps.push_back(Step());
        steps.back().kind = steps.size() == 1 ? Step::Greeting : Step::Other;
        step = &steps.back();
    }
    if (!step->reply.empty())
        step->reply += ' ';
    step->reply += line;
    // "250-..." continues a reply, "250 ..." ends it.
    if (line.size() < 4 || line[3] != '-') {
        step->complete = true;
        step->code = line.size() >= 3 ? std::atoi(line.substr(0, 3).c_str()) : 0;
        if (step->code >= 400)
            exchange->sawRefusal = true;
        if (step->kind == Step::Data && step->code == 354) {
            Step end;
            end.kind = Step::EndOfData;
            steps.push_back(end);
        }
    }
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
    case Step::Quit: return QStringLiteral("QUIT");
    case Step::Other: break;
    }
    return QStringLiteral("a command");
}

QString ReplyText(const Step& step)
{
    return QStringLiteral("%1 (reply to %2)").arg(QString::fromStdString(step.reply), Label(step));
}

void InitCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

QString Joined(const QStringList& entries)
{
    return entries.join(QLatin1Char(','));
}

// Removes the attachment files whatever way the send ends; files already opened were unlinked then.
struct AttachmentFiles {
    const QStringList& entries;
    ~AttachmentFiles()
    {
        for (const QString& entry : entries)
            DeleteStagedFiles(entry);
    }
};

// One client per thread, kept between sends: a mail that follows soon after another goes over
// the same connection, without a new greeting and EHLO. The client closes connections that
// have been idle for a while, and says QUIT when the thread ends.
struct SmtpClient {
    CURL* curl = nullptr;
    // What the open connection was made with. The client would reuse a connection upgraded by
    // STARTTLS even after the trusted authorities or the credentials changed; a change of any of
    // them takes a new connection. A digest, so no password outlives its send here.
    QByteArray settings;
    SmtpClient() { InitCurl(); curl = curl_easy_init(); }
    ~SmtpClient()
    {
        // Saying QUIT to a server that has stopped answering must not hold up the end of the process.
        if (curl)
            curl_easy_setopt(curl, CURLOPT_TIMEOUT, 3L);
        curl_easy_cleanup(curl);
    }
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;
};

constexpr long kMaxConnectionAgeSeconds = 60;

struct Transaction {
    CURLcode code = CURLE_OK;
    QString clientText;
    Exchange exchange;
    long replyCode = 0;
};

QByteArray SettingsDigest(const QByteArray& url, const SmtpSecurity& security)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QByteArray& part : {url, QByteArray::number(int(security.mode)), security.user.toUtf8(),
                                   security.password.toUtf8(), QFile::encodeName(security.caFile)}) {
        hash.addData(QByteArray::number(part.size()) + ':');
        hash.addData(part);
    }
    return hash.result();
}

Transaction RunTransaction(SmtpClient& client, const QByteArray& url, const QByteArray& from,
                           const QList<QByteArray>& recipients, ComposedMessage& message,
                           const SmtpSecurity& security)
{
    CURL* curl = client.curl;
    const QByteArray settings = SettingsDigest(url, security);
    const bool settingsChanged = !client.settings.isEmpty() && client.settings != settings;
    client.settings = settings;
    Transaction t;
    curl_slist* list = nullptr;
    for (const QByteArray& address : recipients)
        list = curl_slist_append(list, ('<' + address + '>').constData());
    const QByteArray user = security.user.toUtf8();
    const QByteArray password = security.password.toUtf8();
    const QByteArray caFile = QFile::encodeName(security.caFile);
    char errorBuffer[CURL_ERROR_SIZE] = {};
    for (int attempt = 0; attempt < 2; ++attempt) {
        t.exchange = Exchange();
        t.exchange.message = &message;
        errorBuffer[0] = '\0';
        curl_easy_reset(curl); // options only: the open connection stays
        curl_easy_setopt(curl, CURLOPT_URL, url.constData());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, security.mode == SmtpSecurity::Mode::Tls ? "smtps" : "smtp");
        // Mail goes straight to the server named in the settings, whatever proxy the
        // environment names.
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
        if (security.mode == SmtpSecurity::Mode::StartTls)
            curl_easy_setopt(curl, CURLOPT_USE_SSL, long(CURLUSESSL_ALL)); // never falls back to plain text
        if (security.mode != SmtpSecurity::Mode::None) {
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
            if (!caFile.isEmpty())
                curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.constData());
        }
        if (!user.isEmpty()) {
            curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
            curl_easy_setopt(curl, CURLOPT_PASSWORD, password.constData());
        }
        curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.constData());
        curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, list);
        // Recipients the server takes get the mail even when it refuses others.
        curl_easy_setopt(curl, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadMessage);
        curl_easy_setopt(curl, CURLOPT_READDATA, &t.exchange);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(message.size()));
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, long(connectTimeoutSeconds));
        curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(idleTimeoutSeconds));
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, long(idleTimeoutSeconds));
        curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN, kMaxConnectionAgeSeconds);
        curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, attempt > 0 || settingsChanged ? 1L : 0L);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, Trace);
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &t.exchange);
        t.code = curl_easy_perform(curl);
        long newConnections = 0;
        curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &newConnections);
        // A kept connection the server has dropped meanwhile fails at once; once, and only
        // while not a byte of the mail has gone out, it is worth a new connection.
        if (t.code == CURLE_OK || newConnections > 0 || t.exchange.bytesRead > 0 || t.exchange.sawRefusal)
            break;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &t.replyCode);
    if (t.code != CURLE_OK)
        t.clientText = QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(t.code));
    // Drops the references to this call's lists and secrets; the connection itself stays open.
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(curl, CURLOPT_USERNAME, nullptr);
    curl_easy_setopt(curl, CURLOPT_PASSWORD, nullptr);
    curl_slist_free_all(list);
    return t;
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
    // The QUIT the client says while it closes a failed session tells nothing about the failure.
    std::vector<Step> steps = t.exchange.steps;
    while (!steps.empty() && steps.back().kind == Step::Quit)
        steps.pop_back();
    const Step* unanswered = !steps.empty() && !steps.back().complete ? &steps.back() : nullptr;
    // A refusal says more than the broken connection that may follow it (a client that falls
    // back from EHLO to HELO after a 421 finds the connection closed).
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
        if (it->complete && it->code >= 400) {
            if (unanswered && !t.clientText.isEmpty())
                return QStringLiteral("%1; then %2 (no reply to %3)").arg(ReplyText(*it), t.clientText, Label(*unanswered));
            return ReplyText(*it);
        }
    }
    if (unanswered && !t.clientText.isEmpty())
        return QStringLiteral("%1 (no reply to %2)").arg(t.clientText, Label(*unanswered));
    if (steps.empty() && t.code == CURLE_OPERATION_TIMEDOUT)
        return QStringLiteral("%1 (no greeting)").arg(t.clientText);
    return t.clientText.isEmpty() ? QStringLiteral("the server ended the session") : t.clientText;
}

bool IsPositive(const Step* step, int hundreds)
{
    return step && step->complete && step->code / 100 == hundreds;
}

RecipientState StateOf(int code)
{
    return code >= 500 ? RecipientState::Refused : RecipientState::Deferred;
}

} // namespace

void SetSmtpTimeouts(int connectSeconds, int idleSeconds)
{
    connectTimeoutSeconds = connectSeconds;
    idleTimeoutSeconds = idleSeconds;
}

bool IsImageAttachmentName(const QString& displayName)
{
    const qsizetype dot = displayName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return false;
    const QString extension = displayName.mid(dot + 1).toLower();
    for (const char* image : kImageExtensions)
        if (extension == QLatin1String(image))
            return true;
    return false;
}

SmtpServerAddress ParseSmtpServerText(const QString& serverText)
{
    const QStringList parts = (serverText + QLatin1Char(':')).split(QLatin1Char(':'));
    SmtpServerAddress server;
    server.host = parts[0].trimmed().toUtf8();
    const QString portText = parts[1].trimmed();
    if (!portText.isEmpty()) {
        bool ok = false;
        const uint port = portText.toUInt(&ok);
        if (!ok || port < 1 || port > 65535)
            throw DeliveryError(BuildResourceMessage(msg::InvalidSmtpPort, {serverText}));
        server.port = int(port);
    }
    return server;
}

SmtpSendResult SendSmtp(const SmtpServerAddress& server, const QByteArray& envelopeSender,
                        const QList<QByteArray>& envelopeRecipients, ComposedMessage& message,
                        const SmtpSecurity& security)
{
    SmtpSendResult result;
    for (const QByteArray& address : envelopeRecipients)
        result.recipients.append({address, RecipientState::Unconfirmed, {}});
    if (envelopeRecipients.isEmpty()) {
        // Without recipients the client would not send a mail at all but still report success.
        result.errorText = QStringLiteral("At least one recipient is required, but none were found.");
        return result;
    }
    thread_local SmtpClient client;
    if (!client.curl) {
        result.sessionFailed = true;
        result.errorText = QString::fromUtf8(curl_easy_strerror(CURLE_FAILED_INIT));
        for (RecipientResult& r : result.recipients)
            r.reason = result.errorText;
        return result;
    }
    const QByteArray scheme = security.mode == SmtpSecurity::Mode::Tls ? "smtps://" : "smtp://";
    const QByteArray url = scheme + server.host + ':' + QByteArray::number(server.port);
    const QByteArray from = '<' + envelopeSender + '>';

    auto find = [&](const QByteArray& address) -> RecipientResult* {
        for (RecipientResult& r : result.recipients)
            if (r.address == address && r.state == RecipientState::Unconfirmed)
                return &r;
        return nullptr;
    };
    QList<QByteArray> pending = envelopeRecipients;
    bool firstTransaction = true;
    while (!pending.isEmpty()) {
        if (!firstTransaction && !message.rewind()) {
            // A message that cannot be read twice: the rest wait for a later attempt.
            for (const QByteArray& address : pending)
                if (RecipientResult* r = find(address))
                    r->state = RecipientState::Deferred;
            break;
        }
        firstTransaction = false;
        for (const QByteArray& address : pending)
            if (RecipientResult* r = find(address))
                r->reason.clear(); // what an earlier transaction said no longer applies
        const Transaction t = RunTransaction(client, url, from, pending, message, security);
        result.replyCode = t.replyCode;
        const Step* mail = FindStep(t.exchange, Step::Mail);
        if (!IsPositive(mail, 2)) {
            // The greeting, EHLO, TLS, authentication or the sender failed: nothing about the mail.
            result.sessionFailed = true;
            result.errorText = SessionFailure(t);
            for (const QByteArray& address : pending)
                if (RecipientResult* r = find(address))
                    r->reason = result.errorText;
            break;
        }
        QList<QByteArray> accepted, tooMany;
        for (const Step& step : t.exchange.steps) {
            if (step.kind != Step::Rcpt)
                continue;
            RecipientResult* r = find(step.address);
            if (!r || !pending.contains(step.address))
                continue;
            if (!step.complete) {
                r->reason = SessionFailure(t);
                continue;
            }
            if (step.code / 100 == 2) {
                accepted.append(step.address);
            } else if (step.code == 452) {
                // The server's limit of recipients per mail: the rest go in a further transaction.
                tooMany.append(step.address);
                r->reason = ReplyText(step);
            } else {
                r->state = StateOf(step.code);
                r->reason = ReplyText(step);
            }
        }
        // Recipients whose RCPT never went out stay unconfirmed, with the reason the session ended.
        for (const QByteArray& address : pending)
            if (RecipientResult* r = find(address); r && r->reason.isEmpty() && !accepted.contains(address) &&
                                                   !tooMany.contains(address))
                r->reason = SessionFailure(t);

        bool delivered = false;
        if (!accepted.isEmpty()) {
            const Step* data = FindStep(t.exchange, Step::Data);
            const Step* end = FindStep(t.exchange, Step::EndOfData);
            RecipientState state = RecipientState::Unconfirmed;
            QString reason;
            if (!data || !data->complete) {
                reason = SessionFailure(t);
            } else if (data->code != 354) {
                state = StateOf(data->code);
                reason = ReplyText(*data);
            } else if (!end || !end->complete) {
                reason = SessionFailure(t);
            } else if (end->code / 100 == 2) {
                state = RecipientState::Delivered;
                delivered = true;
            } else {
                state = StateOf(end->code);
                reason = ReplyText(*end);
            }
            if (state == RecipientState::Unconfirmed)
                result.sessionFailed = true;
            if (!reason.isEmpty())
                result.errorText = reason;
            for (const QByteArray& address : accepted) {
                if (RecipientResult* r = find(address)) {
                    r->state = state;
                    r->reason = reason;
                }
            }
        }
        if (!delivered || tooMany.isEmpty()) {
            // No progress with the recipients over the limit: they wait for a later attempt.
            for (const QByteArray& address : tooMany)
                if (RecipientResult* r = find(address))
                    r->state = RecipientState::Deferred;
            break;
        }
        pending = tooMany;
    }
    result.sent = true;
    for (const RecipientResult& r : result.recipients)
        if (r.state != RecipientState::Delivered)
            result.sent = false;
    return result;
}

DeliveryOutcome SendMailViaCDO(DeliveryContext& context, const QString& fromAddr, const QStringList& toAddrs,
                               const QStringList& ccAddrs, const QStringList& bccAddrs, const QString& subject,
                               const QByteArray& body, bool isHTML, const QStringList& attachmentEntries,
                               const QStringList& headerEntries, const QString& serverText,
                               DeliveryReport* report, const QStringList& onlyRecipientsGiven)
{
    AttachmentFiles files{attachmentEntries};
    // A copy: the caller may pass the `pending` of the very report this call fills.
    const QStringList onlyRecipients = onlyRecipientsGiven;
    DeliveryReport local;
    DeliveryReport& outcome = report ? *report : local;
    outcome = DeliveryReport();
    MimeMessageBuilder builder;
    builder.setFrom(fromAddr, true);
    builder.setRecipients(RecipientKind::To, toAddrs);
    builder.setRecipients(RecipientKind::Cc, ccAddrs);
    builder.setRecipients(RecipientKind::Bcc, bccAddrs);

    const QLatin1String headerSeparator("::");
    for (const QString& entry : headerEntries) {
        if (entry.isEmpty())
            continue;
        // The value is everything after the first "::": values such as IPv6 addresses hold "::".
        const qsizetype split = entry.indexOf(headerSeparator);
        const QString name = split < 0 ? entry : entry.left(split);
        const QString value = split < 0 ? QString() : entry.mid(split + 2);
        // A line break would let the entry write header lines of its own into the mail.
        if (!builder.addHeader(name, value))
            context.AddLogText(BuildResourceMessage(msg::HeaderRefused, {MimeMessageBuilder::WithoutLineBreaks(name)}));
    }
    builder.setSubject(subject);
    builder.setBody(body, isHTML);

    for (const QString& entry : attachmentEntries) {
        const QStringList parts = entry.split(QLatin1String(kNamePathSeparator));
        if (parts.size() < 2)
            throw DeliveryError(BuildResourceMessage(msg::AttachmentNotStaged,
                                                     {entry, QString::fromLocal8Bit(std::strerror(EINVAL))}));
        const QString& displayName = parts[0];
        const QByteArray path = QFile::encodeName(parts[1]);
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw DeliveryError(BuildResourceMessage(msg::AttachmentNotStaged,
                                                     {displayName, QString::fromLocal8Bit(std::strerror(errno))}));
        // The part reads from the open descriptor; the name is gone before the message is sent.
        ::unlink(path.constData());
        if (isHTML && IsImageAttachmentName(displayName))
            builder.addRelatedImage(displayName, fd);
        else
            builder.addAttachment(displayName, fd);
    }

    const SmtpServerAddress server = ParseSmtpServerText(serverText);
    auto logFailure = [&](const QString& reason, const QStringList& to, const QStringList& cc, const QStringList& bcc) {
        context.AddLogText(BuildResourceMessage(142, {reason, fromAddr, Joined(to), Joined(cc), Joined(bcc)}));
    };

    // A mail without a sender the recipients can answer is never sent; no retry can mend it.
    const QString senderProblem = builder.senderProblem(true);
    if (!senderProblem.isEmpty()) {
        logFailure(senderProblem, toAddrs, ccAddrs, bccAddrs);
        outcome.outcome = DeliveryOutcome::FailedPermanently;
        return outcome.outcome;
    }

    QList<QByteArray> recipients = builder.envelopeRecipients();
    if (!onlyRecipients.isEmpty()) {
        QList<QByteArray> wanted;
        for (const QByteArray& address : recipients)
            for (const QString& only : onlyRecipients)
                if (QString::fromUtf8(address).compare(only.trimmed(), Qt::CaseInsensitive) == 0 &&
                    !wanted.contains(address))
                    wanted.append(address);
        // Everyone who still needed the mail has it: nothing is left to send.
        if (wanted.isEmpty())
            return outcome.outcome;
        recipients = wanted;
    }
    const QByteArray sender = builder.envelopeSender();
    std::unique_ptr<ComposedMessage> message = builder.compose();

    const SmtpSendResult result = SendSmtp(server, sender, recipients, *message, context.SmtpSecurityOptions());
    if (recipients.isEmpty()) {
        logFailure(result.errorText, toAddrs, ccAddrs, bccAddrs);
        outcome.outcome = DeliveryOutcome::FailedPermanently;
        return outcome.outcome;
    }

    // Each failure is logged with the recipients it concerns, in the lists they came from.
    auto listsOf = [&](const QList<QByteArray>& addresses, QStringList& to, QStringList& cc, QStringList& bcc) {
        for (const QByteArray& address : addresses) {
            const RecipientKind kind = builder.kindOf(address);
            (kind == RecipientKind::To ? to : kind == RecipientKind::Cc ? cc : bcc) << QString::fromUtf8(address);
        }
    };
    // Recipients that share a reason (a refused session, a refused message) share one line.
    QList<QPair<QString, QList<QByteArray>>> failures;
    bool unconfirmed = false, deferred = false;
    for (const RecipientResult& r : result.recipients) {
        const QString address = QString::fromUtf8(r.address);
        switch (r.state) {
        case RecipientState::Delivered:
            outcome.delivered << address;
            continue;
        case RecipientState::Refused:
            outcome.refused << address;
            break;
        case RecipientState::Deferred:
            outcome.pending << address;
            deferred = true;
            break;
        case RecipientState::Unconfirmed:
            outcome.pending << address;
            unconfirmed = true;
            break;
        }
        auto same = std::find_if(failures.begin(), failures.end(), [&](const auto& f) { return f.first == r.reason; });
        if (same == failures.end())
            failures.append({r.reason, {r.address}});
        else
            same->second.append(r.address);
    }
    for (const auto& [reason, addresses] : failures) {
        QStringList to, cc, bcc;
        listsOf(addresses, to, cc, bcc);
        logFailure(reason, to, cc, bcc);
    }
    if (unconfirmed || result.sessionFailed)
        outcome.outcome = outcome.pending.isEmpty() ? (outcome.delivered.isEmpty() ? DeliveryOutcome::FailedPermanently
                                                                                   : DeliveryOutcome::Delivered)
                                                    : DeliveryOutcome::ServerUnavailable;
    else if (deferred)
        outcome.outcome = DeliveryOutcome::RetryLater;
    else if (!outcome.delivered.isEmpty())
        outcome.outcome = DeliveryOutcome::Delivered;
    else
        outcome.outcome = DeliveryOutcome::FailedPermanently;
    return outcome.outcome;
}

} // namespace swn
