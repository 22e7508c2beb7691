#include "delivery/CDOSend.h"

#include "delivery/Delivery.h"
#include "delivery/DeliveryError.h"
#include "delivery/MimeComposer.h"
#include "delivery/Staging.h"
#include "common/Catalogue.h"

#include <QFile>

#include <curl/curl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace swn {

namespace {

std::atomic<int> connectTimeoutSeconds{30};
std::atomic<int> idleTimeoutSeconds{30};

const char* const kImageExtensions[] = {"jpg", "jpeg", "gif", "png", "bmp"};

struct Exchange {
    ComposedMessage* message = nullptr;
    std::string lastReply;   // the server's reply to the last command, all its lines
    bool replyComplete = true;
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

// The server's replies arrive here line by line; the last complete reply is what a failure reports.
int Trace(CURL*, curl_infotype type, char* data, size_t size, void* user)
{
    auto* exchange = static_cast<Exchange*>(user);
    if (type == CURLINFO_HEADER_IN) {
        if (exchange->replyComplete) {
            exchange->lastReply.clear();
            exchange->replyComplete = false;
        }
        std::string line(data, size);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (!exchange->lastReply.empty())
            exchange->lastReply += ' ';
        exchange->lastReply += line;
        // "250-..." continues a reply, "250 ..." ends it.
        if (line.size() < 4 || line[3] != '-')
            exchange->replyComplete = true;
        if (!line.empty() && (line[0] == '4' || line[0] == '5'))
            exchange->sawRefusal = true;
    }
    return 0;
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

} // namespace

void SetSmtpTimeouts(int connectSeconds, int idleSeconds)
{
    connectTimeoutSeconds = connectSeconds;
    idleTimeoutSeconds = idleSeconds;
}

bool IsImageAttachmentName(const QString& displayName)
{
    const qsizetype dot = displayName.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot < 0 ? QStringLiteral("xxx") : displayName.mid(dot + 1).toLower();
    for (const char* image : kImageExtensions)
        if (QLatin1String(image).contains(extension))
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

namespace {

// One client per thread, kept between sends: a mail that follows soon after another goes over
// the same connection, without a new greeting and EHLO. The client closes connections that
// have been idle for a while, and says QUIT when the thread ends.
struct SmtpClient {
    CURL* curl = nullptr;
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

} // namespace

SmtpSendResult SendSmtp(const SmtpServerAddress& server, const QByteArray& envelopeSender,
                        const QList<QByteArray>& envelopeRecipients, ComposedMessage& message)
{
    SmtpSendResult result;
    if (envelopeRecipients.isEmpty()) {
        // Without recipients the client would not send a mail at all but still report success.
        result.errorText = QStringLiteral("At least one recipient is required, but none were found.");
        return result;
    }
    thread_local SmtpClient client;
    CURL* curl = client.curl;
    if (!curl) {
        result.errorText = QString::fromUtf8(curl_easy_strerror(CURLE_FAILED_INIT));
        return result;
    }
    const QByteArray url = "smtp://" + server.host + ':' + QByteArray::number(server.port);
    const QByteArray from = '<' + envelopeSender + '>';
    curl_slist* recipients = nullptr;
    for (const QByteArray& address : envelopeRecipients)
        recipients = curl_slist_append(recipients, ('<' + address + '>').constData());

    Exchange exchange;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    CURLcode code = CURLE_OK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        exchange = Exchange();
        exchange.message = &message;
        errorBuffer[0] = '\0';
        curl_easy_reset(curl); // options only: the open connection stays
        curl_easy_setopt(curl, CURLOPT_URL, url.constData());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp");
        curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.constData());
        curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadMessage);
        curl_easy_setopt(curl, CURLOPT_READDATA, &exchange);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(message.size()));
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, long(connectTimeoutSeconds));
        curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(idleTimeoutSeconds));
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, long(idleTimeoutSeconds));
        curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN, kMaxConnectionAgeSeconds);
        curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, attempt > 0 ? 1L : 0L);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, Trace);
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &exchange);
        code = curl_easy_perform(curl);
        long newConnections = 0;
        curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &newConnections);
        // A kept connection the server has dropped meanwhile fails at once; once, and only
        // while not a byte of the mail has gone out, it is worth a new connection.
        if (code == CURLE_OK || newConnections > 0 || exchange.bytesRead > 0 || exchange.sawRefusal)
            break;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.replyCode);
    result.sent = code == CURLE_OK;
    if (!result.sent) {
        const QString clientText = QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code));
        if (result.replyCode >= 400 && !exchange.lastReply.empty())
            result.errorText =
                QString::fromUtf8(exchange.lastReply) + QStringLiteral(" (") + clientText + QLatin1Char(')');
        else
            result.errorText = clientText;
    }
    // Drops the reference to this call's recipient list; the connection itself stays open.
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, nullptr);
    curl_slist_free_all(recipients);
    return result;
}

DeliveryOutcome SendMailViaCDO(DeliveryContext& context, const QString& fromAddr, const QStringList& toAddrs,
                               const QStringList& ccAddrs, const QStringList& bccAddrs, const QString& subject,
                               const QByteArray& body, bool isHTML, const QStringList& attachmentEntries,
                               const QStringList& headerEntries, const QString& serverText)
{
    AttachmentFiles files{attachmentEntries};
    MimeMessageBuilder builder;
    builder.setFrom(fromAddr, true);
    builder.setRecipients(RecipientKind::To, toAddrs);
    builder.setRecipients(RecipientKind::Cc, ccAddrs);
    builder.setRecipients(RecipientKind::Bcc, bccAddrs);

    const QLatin1String headerSeparator("::");
    for (const QString& entry : headerEntries) {
        if (entry.isEmpty())
            continue;
        const QStringList parts = entry.split(headerSeparator);
        const QString name = parts[0];
        const QString value = parts.size() > 1 ? parts[1] : QString();
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
    const QList<QByteArray> recipients = builder.envelopeRecipients();
    const QByteArray sender = builder.envelopeSender();
    std::unique_ptr<ComposedMessage> message = builder.compose();

    SmtpSendResult result = SendSmtp(server, sender, recipients, *message);
    if (result.sent)
        return DeliveryOutcome::Delivered;
    context.AddLogText(BuildResourceMessage(
        142, {result.errorText, fromAddr, Joined(toAddrs), Joined(ccAddrs), Joined(bccAddrs)}));
    if (recipients.isEmpty() || (result.replyCode >= 500 && result.replyCode < 600))
        return DeliveryOutcome::FailedPermanently;
    return DeliveryOutcome::RetryLater;
}

} // namespace swn
