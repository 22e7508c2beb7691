#pragma once
// Shared by the SMTP client's files and by nothing else: the exchange one transfer keeps while
// libcurl runs it, the client kept per thread, and the helpers the files call in one another.
#include "delivery/Delivery.h"
#include "delivery/DeliveryContext.h"
#include "delivery/smtp/MailRequest.h"
#include "delivery/smtp/SmtpSession.h"
#include "delivery/smtp/SmtpSettings.h"
#include "delivery/smtp/SmtpTimeouts.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <curl/curl.h>

#include <sys/socket.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace swn {
class ComposedMessage;
class MimeMessageBuilder;
} // namespace swn

namespace swn::smtp {

using Clock = std::chrono::steady_clock;

constexpr long kMaxConnectionAgeSeconds = 60;
// A name with many addresses costs a connect time-out for each one that does not answer.
constexpr size_t kMaxDestinations = 5;
// The client takes at most 300 KB of replies in one transfer; a mail to more recipients goes
// in several transactions.
constexpr size_t kMaxRecipientsPerTransaction = 1000;

inline QString NoRecipientsText()
{
    return QStringLiteral("At least one recipient is required, but none were found.");
}

// One command of the SMTP dialogue and the server's reply to it, as the client's trace shows them.
struct Step {
    enum Kind { Greeting, Hello, StartTls, Auth, Mail, Rcpt, Data, EndOfData, Other };
    Kind kind = Other;
    bool helo = false;  // HELO rather than EHLO
    int index = 0;      // of a RCPT: its place among the RCPTs of the transaction
    QByteArray address; // of a RCPT, as it went out
    std::string reply;  // every line of the reply, joined by blanks
    int code = 0;
    bool complete = false;
};

// What the EHLO of one connection offered, and whether the client logged in on it. Kept with the
// client, as a connection outlives the transfer that opened it.
struct ConnectionFacts {
    std::string localIp;
    long localPort = -1;
    bool authOffered = false;
    bool authenticated = false;
    qint64 sizeLimit = 0; // the SIZE the server announced; 0 for none
};

// What one transfer learns while libcurl runs it; every callback of the transfer gets it.
struct Exchange {
    CURL* curl = nullptr;
    ComposedMessage* message = nullptr;
    DeliveryContext* context = nullptr;
    SmtpTimeouts waits;
    quint64 generation = 0;
    bool loginRequired = false;
    ConnectionFacts* kept = nullptr; // the client's facts of its open connection
    const sockaddr_storage* bindTo = nullptr; // the local address the EHLO names, when it names one
    socklen_t bindToLength = 0;
    bool bindFailed = false;

    std::vector<Step> steps;
    int rcpts = 0;
    bool greeted = false;    // this transfer opened its connection and had the greeting
    ConnectionFacts opened;  // of that connection
    bool sawRefusal = false; // the server answered 4xx or 5xx to something
    bool outOfStep = false;  // a reply came that no command asked for
    bool quitting = false;   // a QUIT went out (to close a connection) and waits for its reply
    bool unknownConnection = false;
    bool tooLarge = false;
    QString refusal;         // why the client itself stopped before MAIL FROM
    QString timedOut;        // why the client stopped waiting
    bool timedOutInData = false;
    bool connectTimedOut = false;

    // The message as handed to the client: a lone CR or LF goes out as CRLF.
    qint64 bytesRead = 0;
    bool lastWasCR = false;
    bool readDone = false;

    // The wait under way: since when, and for how many seconds at most.
    Clock::time_point started, waitSince, readDoneAt;
    int waitLimit = 0;
    bool connected = false;
    bool inData = false;
    curl_off_t uploaded = 0;
};

// One address the server's name stands for, and the local address a connection to it comes from.
struct Destination {
    sockaddr_storage address {};
    socklen_t length = 0;
    QByteArray ip; // numeric
    sockaddr_storage local {};
    socklen_t localLength = 0; // 0 until looked up, or when that failed
    bool localLookedUp = false;
};

// One client per thread, kept between sends: a mail that follows soon after another goes over
// the same connection, without a new greeting and EHLO. The client closes connections that
// have been idle for a while, and ends its connection when the thread ends.
struct SmtpClient {
    CURL* curl = nullptr;
    // What the open connection was made with. The client would reuse a connection upgraded by
    // STARTTLS even after the trusted authorities or the credentials changed; a change of any of
    // them takes a new connection. A digest, so no password outlives its send here.
    QByteArray settings;
    ConnectionFacts facts;
    // The server's addresses, looked up again once a connection would have aged out; the one
    // that answered last is tried first.
    QByteArray resolvedFor;
    std::vector<Destination> destinations;
    Clock::time_point resolvedUntil;
    size_t preferred = 0;

    SmtpClient();
    ~SmtpClient();
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;
};

// What every transaction of one session is sent with.
struct SessionPlan {
    const SmtpServerAddress& server;
    QByteArray helo; // the configured or the host's own name; empty: the address of each connection
    QByteArray from; // in angle brackets
    ComposedMessage& message;
    const SmtpSecurity& security;
    DeliveryContext* context = nullptr;
    quint64 generation = 0; // of the cancellations, when the session began
    // The client stops at the first RCPT not taken, and so never sends DATA after one.
    bool allOrNothing = false;
};

struct Transaction {
    CURLcode code = CURLE_OK;
    QString clientText;
    Exchange exchange;
    long replyCode = 0;
};

// SmtpTimeouts.cpp: the waits, and the cancellations so far.
quint64 CancelGeneration();
int WaitFor(const Exchange& x, Step::Kind kind);
int WatchWaits(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded);

// SmtpReplies.cpp: the client's trace read as commands and replies, and what the replies mean.
int Trace(CURL*, curl_infotype type, char* data, size_t size, void* user);
QString Label(const Step& step);
QString ReplyText(const Step& step);
bool IsSizeRefusal(const Step& step);
bool IsTooManyRecipients(const Step& step);
const Step* FindStep(const Exchange& exchange, Step::Kind kind);
QString SessionFailure(const Transaction& t);
bool IsPositive(const Step* step, int hundreds);
bool IsSessionRefusal(const Step& mail);
RecipientState StateOf(int code);

// SmtpAddressing.cpp: the server's addresses, the local one and the EHLO name.
QByteArray AsciiHost(const QByteArray& host);
QString Resolve(SmtpClient& client, const SmtpServerAddress& server);
QByteArray ConfiguredHeloName(const QString& configured, QString* problem);
QByteArray OwnDomainName();
QByteArray HeloFor(const QByteArray& fixedHelo, Destination& to);
QByteArray ConnectToEntry(const Destination& to, int port);
QByteArray SmtpUrl(const SmtpServerAddress& server, const SmtpSecurity& security, const QByteArray& helo);
curl_socket_t OpenSocket(void* user, curlsocktype, curl_sockaddr* address);

// SmtpSettings.cpp
QString LoginProblem(const SmtpSecurity& security);

// SmtpTransfer.cpp: one transaction through the client, on its kept connection or a new one.
Transaction RunTransaction(SmtpClient& client, const SessionPlan& plan, const QList<QByteArray>& recipients);

// SmtpMessage.cpp: the message and the envelope from a request.
void ComposeMail(DeliveryContext& context, const MailRequest& request, MimeMessageBuilder& builder);
// The envelope recipients, only those of `onlyRecipients` when it is not empty; nothing when
// every one of those already has the mail.
std::optional<QList<QByteArray>> EnvelopeRecipients(const MimeMessageBuilder& builder,
                                                    const QStringList& onlyRecipients);

// SmtpOutcome.cpp: the report and the log lines. Each returns the outcome it set in `report`.
DeliveryOutcome RefuseMail(DeliveryContext& context, const MailRequest& request, const QString& reason,
                           DeliveryReport& report);
DeliveryOutcome KeepForSettings(DeliveryContext& context, const QString& problem,
                                const QList<QByteArray>& recipients, DeliveryReport& report);
DeliveryOutcome ReportSend(DeliveryContext& context, const MailRequest& request, const MimeMessageBuilder& builder,
                           const SmtpSendResult& result, DeliveryReport& report);

} // namespace swn::smtp
