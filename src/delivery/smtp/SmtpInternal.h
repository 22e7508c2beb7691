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
    curl_socket_t* socket = nullptr; // the client's record of its open connection's socket
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

// How a connection is made and secured: the options a transfer on it must repeat for the client
// to take it again.
struct ConnectionOptions {
    QByteArray url;
    QByteArray connectTo; // empty: to the URL's host
    SmtpSecurity security;
    QByteArray bearer;       // the OAuth2 token of the login; empty: a password login, if any
};

// One client, kept between sends in the pool of sessions: a mail that follows soon after another
// goes over the same connection, without a new greeting and EHLO.
struct SmtpClient {
    CURL* curl = nullptr;
    // What the open connection was made with. The client would reuse a connection upgraded by
    // STARTTLS even after the trusted authorities or the credentials changed; a change of any of
    // them takes a new connection.
    QByteArray settings;
    // Of the open connection, credentials included: the client takes a connection again only with
    // the very credentials it was made with, and QUIT is said on it after the mail that opened it.
    ConnectionOptions options;
    QByteArray server;         // host:port of the open connection's server
    // The open connection's socket; CURL_SOCKET_BAD once the client has closed it.
    curl_socket_t socket = CURL_SOCKET_BAD;
    // The connection is in step with the server (no reply outstanding): it may take a QUIT.
    bool inStep = false;
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

// Replies that say the server will take no mail from this client for a while (throttling, or a
// quota of mails or recipients), whatever code they carry: the server rests, the mail waits.
enum class Quota { None, Throttle, Daily };

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
    QByteArray bearer; // the OAuth2 token to log in with; empty: the password, if any
};

struct Transaction {
    CURLcode code = CURLE_OK;
    QString clientText;
    Exchange exchange;
    long replyCode = 0;
    bool inStep = false; // the connection is open and no reply is outstanding
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
// Refused for good only by a 5xx that is not a quota.
RecipientState StateOf(const Step& step);
Quota QuotaOf(const Step& step);
// The worst quota any reply of the transaction named.
Quota QuotaOf(const Exchange& exchange);
// The server refused the login as switched off for passwords: it takes tokens only.
bool IsPasswordLoginOff(const Step& auth);

// SmtpAddressing.cpp: the server's addresses, the local one and the EHLO name.
// host:port, the IPv6 address in brackets: how the log, the metrics and the rests name a server.
QByteArray ServerKey(const SmtpServerAddress& server);
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

// SmtpTransfer.cpp: libcurl's set-up, once for the process (the token store's requests too).
void InitCurl();
// SmtpTransfer.cpp: one transaction through the client, on its kept connection or a new one.
Transaction RunTransaction(SmtpClient& client, const SessionPlan& plan, const QList<QByteArray>& recipients);
// Ends the client's open connection: with QUIT while it is in step (waiting a few seconds at
// most), else at once. The client is ready for a new connection afterwards.
void EndConnection(SmtpClient& client);

// SmtpSessions.cpp: the clients kept between mails, and the servers' rests.
class ClientLease {
public:
    // A client for `server` (host:port): one whose connection is open to it when one is free, else
    // a new one while the limit of open sessions allows, else the first one to come free. Waits
    // while the relay runs; none when it stops meanwhile.
    ClientLease(const QByteArray& server, DeliveryContext* context, quint64 generation);
    ~ClientLease();
    ClientLease(const ClientLease&) = delete;
    ClientLease& operator=(const ClientLease&) = delete;
    SmtpClient* get() const { return client_; }

private:
    SmtpClient* client_ = nullptr;
    quint64 endGeneration_ = 0;
};
// How long a server rests now, and why; 0 when it does not. `quotaOnly`: rests after a quota only.
qint64 ServerRestMs(const QByteArray& server, bool quotaOnly, QString* reason = nullptr);
// A server failed (unreachable, temporary refusal) or named a quota: it rests, longer each time.
void ServerFailed(const QByteArray& server, Quota quota, const QString& reason);
// A server took mail: it no longer rests.
void ServerTookMail(const QByteArray& server);

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
