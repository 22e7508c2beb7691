#include "delivery/CDOSend.h"

#include "delivery/Delivery.h"
#include "delivery/DeliveryError.h"
#include "delivery/MimeComposer.h"
#include "delivery/Staging.h"
#include "common/ActivityLog.h"
#include "common/Catalogue.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QUrl>

#include <curl/curl.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace swn {

namespace {

using Clock = std::chrono::steady_clock;

std::mutex timeoutsMutex;
SmtpTimeouts timeouts;
// Advanced by CancelSmtpTransfers; an exchange begun under an older value ends.
std::atomic<quint64> cancelGeneration{0};

const char* const kImageExtensions[] = {"jpg", "jpeg", "gif", "png", "bmp"};

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

std::string WithoutLineEnd(const char* data, size_t size)
{
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

size_t ReadMessage(char* buffer, size_t size, size_t count, void* user)
{
    auto* x = static_cast<Exchange*>(user);
    const size_t room = size * count;
    if (room == 0 || x->readDone)
        return 0;
    // Under half the room: a message of nothing but lone line ends doubles when they go out as
    // CRLF, and a CR left from the last call may add one more (the client's buffer is 16 KiB at
    // the least). The bytes are read into a buffer each thread keeps, so no mail pays for its own.
    thread_local std::vector<char> chunk(32768);
    const size_t want = std::clamp<size_t>((room - 1) / 2, 1, chunk.size());
    const qint64 n = x->message->read(chunk.data(), qint64(want));
    if (n < 0)
        return CURL_READFUNC_ABORT;
    if (n == 0) {
        x->readDone = true;
        x->readDoneAt = Clock::now();
        if (!x->lastWasCR)
            return 0;
        x->lastWasCR = false;
        buffer[0] = '\n';
        return 1;
    }
    x->bytesRead += n;
    // The last guard against a lone CR or LF on the wire: a receiver that took one for a line
    // end would read lines (a "." among them) that the sender never wrote. Runs without a line
    // end are copied whole; only CR and LF are looked at one by one.
    const char* c = chunk.data();
    const size_t length = size_t(n);
    size_t out = 0, i = 0;
    while (i < length) {
        if (x->lastWasCR) {
            x->lastWasCR = false;
            buffer[out++] = '\n';
            if (c[i] == '\n')
                ++i;
            continue;
        }
        size_t j = i;
        while (j < length && c[j] != '\r' && c[j] != '\n')
            ++j;
        std::memcpy(buffer + out, c + i, j - i);
        out += j - i;
        if (j == length)
            break;
        if (c[j] == '\n') {
            buffer[out++] = '\r';
            buffer[out++] = '\n';
        } else {
            buffer[out++] = '\r';
            x->lastWasCR = true;
        }
        i = j + 1;
    }
    return out;
}

int WaitFor(const Exchange& x, Step::Kind kind)
{
    switch (kind) {
    case Step::Mail: return x.waits.mailSeconds;
    case Step::Rcpt: return x.waits.rcptSeconds;
    case Step::Data: return x.waits.dataSeconds;
    default: return x.waits.greetingSeconds;
    }
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

// The client has one limit for every reply; the waits of RFC 5321 differ by command, and the
// connection's own 30 s must not cut the greeting short. They are kept here.
int WatchWaits(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
{
    auto* x = static_cast<Exchange*>(user);
    if (x->generation != cancelGeneration.load()) {
        x->timedOut = QStringLiteral("the transfer was cancelled");
        return 1;
    }
    const Clock::time_point now = Clock::now();
    if (!x->connected) {
        curl_off_t connectTime = 0;
        curl_easy_getinfo(x->curl, CURLINFO_CONNECT_TIME_T, &connectTime);
        if (connectTime > 0) {
            x->connected = true;
            x->waitSince = now;
            x->waitLimit = x->waits.greetingSeconds;
        } else if (now - x->started > std::chrono::seconds(x->waits.connectSeconds)) {
            x->connectTimedOut = true;
            x->timedOut = QStringLiteral("no connection within %1 seconds").arg(x->waits.connectSeconds);
            return 1;
        } else {
            return 0;
        }
    }
    Clock::time_point since = x->waitSince;
    int limit = x->waitLimit;
    if (x->inData) {
        if (uploaded != x->uploaded) {
            x->uploaded = uploaded;
            x->waitSince = since = now;
        }
        if (x->readDone) {
            since = std::max(since, x->readDoneAt);
            limit = x->waits.finalSeconds;
        } else {
            limit = x->waits.blockSeconds;
        }
    }
    if (limit <= 0 || now - since <= std::chrono::seconds(limit))
        return 0;
    x->timedOut = QStringLiteral("timed out after %1 seconds").arg(limit);
    x->timedOutInData = x->inData && !x->readDone;
    if (x->timedOutInData)
        x->timedOut = QStringLiteral("the server took no message data for %1 seconds").arg(limit);
    return 1;
}

// The socket of a new connection: not inherited by programs the relay starts, and bound to the
// address the EHLO names, so the name it gives is the connection's own.
curl_socket_t OpenSocket(void* user, curlsocktype, curl_sockaddr* address)
{
    auto* x = static_cast<Exchange*>(user);
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0)
        return CURL_SOCKET_BAD;
    if (x->bindTo && x->bindTo->ss_family == address->family) {
#ifdef IP_BIND_ADDRESS_NO_PORT
        const int one = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
#endif
        // Should the address be gone, the mail still goes; the next connection looks again.
        if (::bind(fd, reinterpret_cast<const sockaddr*>(x->bindTo), x->bindToLength) != 0)
            x->bindFailed = true;
    }
    return fd;
}

// Runs once the session is open (after EHLO, STARTTLS and AUTH), before MAIL FROM. The client
// would go on without a login when the server offers none, and sends a mail of any size.
int BeforeMail(void* user, char*, char* localIp, int, int localPort)
{
    auto* x = static_cast<Exchange*>(user);
    ConnectionFacts& facts = *x->kept;
    if (x->greeted) {
        facts = x->opened;
        facts.localIp = localIp;
        facts.localPort = localPort;
    } else if (facts.localIp != localIp || facts.localPort != localPort) {
        // A connection this client knows nothing of: a new one will tell.
        x->unknownConnection = true;
        x->refusal = QStringLiteral("the open connection was not the one the client made");
        return CURL_PREREQFUNC_ABORT;
    }
    if (x->loginRequired && !facts.authenticated) {
        x->refusal = facts.authOffered
            ? QStringLiteral("the login (AUTH) did not complete; nothing was sent")
            : QStringLiteral("the server offers no login (no AUTH after EHLO) although SMTPUser is set; nothing "
                             "was sent");
        return CURL_PREREQFUNC_ABORT;
    }
    const qint64 size = x->message->size();
    if (facts.sizeLimit > 0 && size > facts.sizeLimit) {
        x->tooLarge = true;
        x->refusal = QStringLiteral("the message (%1 octets) is larger than the server takes (SIZE %2)")
                         .arg(size)
                         .arg(facts.sizeLimit);
        return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
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

// One address the server's name stands for, and the local address a connection to it comes from.
struct Destination {
    sockaddr_storage address {};
    socklen_t length = 0;
    QByteArray ip; // numeric
    sockaddr_storage local {};
    socklen_t localLength = 0; // 0 until looked up, or when that failed
    bool localLookedUp = false;
};

constexpr long kMaxConnectionAgeSeconds = 60;
// A name with many addresses costs a connect time-out for each one that does not answer.
constexpr size_t kMaxDestinations = 5;
// The client takes at most 300 KB of replies in one transfer; a mail to more recipients goes
// in several transactions.
constexpr size_t kMaxRecipientsPerTransaction = 1000;

// Ends the open connection at once. The client would otherwise say QUIT on it when it makes
// room for a new one, and wait for the answer as long as for any reply.
void DropOpenConnection(CURL* curl)
{
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD)
        ::shutdown(socket, SHUT_RDWR);
}

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

    SmtpClient() { InitCurl(); curl = curl_easy_init(); }
    ~SmtpClient()
    {
        // Waiting for the answer to QUIT from a server that has stopped answering would hold up
        // the end of the process as long as any reply (the time-outs the client closes with are
        // those of the last transfer), so the connection is simply ended.
        if (curl)
            DropOpenConnection(curl);
        curl_easy_cleanup(curl);
    }
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;
};

struct Transaction {
    CURLcode code = CURLE_OK;
    QString clientText;
    Exchange exchange;
    long replyCode = 0;
};

QByteArray SettingsDigest(const QByteArray& url, const QByteArray& connectTo, const SmtpSecurity& security)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QByteArray& part : {url, connectTo, QByteArray::number(int(security.mode)), security.user.toUtf8(),
                                   security.password.toUtf8(), QFile::encodeName(security.caFile)}) {
        hash.addData(QByteArray::number(part.size()) + ':');
        hash.addData(part);
    }
    return hash.result();
}

// 4 or 6 when `text` is an IPv4 or IPv6 address (IPv6 with a zone, as in fe80::1%eth0, when
// `zone` allows one); 0 otherwise.
int IpVersion(const QString& text, bool zone = true)
{
    QByteArray address = text.toLatin1();
    if (QString::fromLatin1(address) != text)
        return 0;
    const qsizetype percent = address.indexOf('%');
    if (percent >= 0) {
        const QByteArray scope = address.mid(percent + 1);
        if (!zone || scope.isEmpty() || scope.contains('%'))
            return 0;
        address.truncate(percent);
    }
    unsigned char bytes[sizeof(in6_addr)];
    if (percent < 0 && ::inet_pton(AF_INET, address.constData(), bytes) == 1)
        return 4;
    return ::inet_pton(AF_INET6, address.constData(), bytes) == 1 ? 6 : 0;
}

QByteArray NumericAddress(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return QByteArray(text);
}

// The host's name as the client looks it up and names it in URLs: IDN in ASCII form.
QByteArray AsciiHost(const QByteArray& host)
{
    for (char c : host)
        if (uchar(c) >= 0x80)
            return QUrl::toAce(QString::fromUtf8(host));
    return host;
}

QString Resolve(SmtpClient& client, const SmtpServerAddress& server)
{
    const QByteArray key = server.host + ':' + QByteArray::number(server.port);
    if (client.resolvedFor == key && Clock::now() < client.resolvedUntil && !client.destinations.empty())
        return {};
    client.resolvedFor.clear();
    client.destinations.clear();
    client.preferred = 0;
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (IpVersion(QString::fromUtf8(server.host)) != 0)
        hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    const QByteArray host = AsciiHost(server.host);
    const int error = ::getaddrinfo(host.constData(), QByteArray::number(server.port).constData(), &hints, &found);
    if (error != 0 || !found)
        return QStringLiteral("Could not resolve host: %1 (%2)")
            .arg(QString::fromUtf8(server.host), QString::fromLocal8Bit(gai_strerror(error)));
    for (addrinfo* a = found; a && client.destinations.size() < kMaxDestinations; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Destination d;
        std::memcpy(&d.address, a->ai_addr, a->ai_addrlen);
        d.length = socklen_t(a->ai_addrlen);
        d.ip = NumericAddress(a->ai_addr);
        const bool known = std::any_of(client.destinations.begin(), client.destinations.end(),
                                       [&](const Destination& e) { return e.ip == d.ip; });
        if (!known)
            client.destinations.push_back(d);
    }
    ::freeaddrinfo(found);
    if (client.destinations.empty())
        return QStringLiteral("Could not resolve host: %1").arg(QString::fromUtf8(server.host));
    client.resolvedFor = key;
    client.resolvedUntil = Clock::now() + std::chrono::seconds(kMaxConnectionAgeSeconds);
    return {};
}

// The local address a connection to `to` goes out from, as the system routes it.
bool LocalAddressFor(const Destination& to, sockaddr_storage& local, socklen_t& length)
{
    const int fd = ::socket(to.address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    length = sizeof local;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&to.address), to.length) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    ::close(fd);
    if (ok && local.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&local)->sin6_port = 0;
    else if (ok && local.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&local)->sin_port = 0;
    return ok;
}

QByteArray AddressLiteral(const sockaddr_storage& address)
{
    const QByteArray ip = NumericAddress(reinterpret_cast<const sockaddr*>(&address));
    return address.ss_family == AF_INET6 ? "[IPv6:" + ip + ']' : '[' + ip + ']';
}

// The EHLO argument from the settings: a domain name (in ASCII form) or an address literal.
// Empty with `problem` set when it is neither; empty without one when none is set.
QByteArray ConfiguredHeloName(const QString& configured, QString* problem)
{
    const QString name = configured.trimmed();
    if (name.isEmpty())
        return {};
    auto refuse = [&] {
        if (problem)
            *problem = QStringLiteral("SMTPHeloName '%1' is not a fully qualified domain name or an address "
                                      "literal: set it to this host's full name, such as relay.example.org, or to "
                                      "its address in brackets, such as [192.0.2.7], or leave it empty")
                           .arg(configured);
        return QByteArray();
    };
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']'))) {
        const QString inner = name.mid(1, name.size() - 2);
        const bool v6 = inner.startsWith(QLatin1String("IPv6:"), Qt::CaseInsensitive);
        if (IpVersion(v6 ? inner.mid(5) : inner, false) != (v6 ? 6 : 4))
            return refuse();
        return name.toLatin1();
    }
    const QByteArray ace = AsciiHost(name.toUtf8());
    if (ace.isEmpty() || ace.size() > 253 || !ace.contains('.'))
        return refuse();
    for (const QByteArray& label : ace.split('.')) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith('-') || label.endsWith('-'))
            return refuse();
        for (char c : label)
            if (!std::isalnum(uchar(c)) && c != '-')
                return refuse();
    }
    return ace;
}

// The host's own name when it has a domain; empty when it has none.
QByteArray OwnDomainName()
{
    const QByteArray domain = HostDomain();
    return domain == "localhost.localdomain" || domain.startsWith("localhost.") ? QByteArray() : domain;
}

QString ServerTextProblem(const QString& serverText, SmtpSecurity::Mode mode, SmtpServerAddress& server)
{
    auto unreadable = [&](const QString& why) {
        return QStringLiteral("SMTPServer '%1' cannot be read (%2): write host, host:port, [IPv6 address] or "
                              "[IPv6 address]:port, with a port from 1 to 65535")
            .arg(serverText, why);
    };
    const QString text = serverText.trimmed();
    QString host, portText;
    server = SmtpServerAddress();
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return unreadable(QStringLiteral("no closing bracket"));
        host = text.mid(1, close - 1).trimmed();
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            return unreadable(QStringLiteral("text after the closing bracket"));
        portText = rest.mid(1).trimmed();
        const int version = IpVersion(host);
        if (version == 0)
            return unreadable(QStringLiteral("no IP address in the brackets"));
        server.ipv6 = version == 6;
    } else {
        const QStringList parts = text.split(QLatin1Char(':'));
        if (parts.size() > 2 && IpVersion(text) == 6)
            return unreadable(QStringLiteral("an IPv6 address goes in brackets, as in [%1]:25").arg(text));
        // Parts after the port have always been ignored.
        host = parts[0].trimmed();
        portText = parts.size() > 1 ? parts[1].trimmed() : QString();
        if (host.isEmpty())
            return unreadable(QStringLiteral("no host"));
        for (QChar c : host)
            if (c.unicode() <= 0x20 || c.unicode() == 0x7F || QStringLiteral("/\\?#@[]%\"<>`{}|^").contains(c))
                return unreadable(QStringLiteral("'%1' cannot stand in a host name").arg(c));
        if (AsciiHost(host.toUtf8()).isEmpty())
            return unreadable(QStringLiteral("not a valid international domain name"));
    }
    server.host = host.toUtf8();
    server.port = mode == SmtpSecurity::Mode::Tls ? 465 : 25;
    if (!portText.isEmpty()) {
        bool ok = false;
        const uint port = portText.toUInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return unreadable(QStringLiteral("no valid port"));
        server.port = int(port);
    }
    return {};
}

QString LoginProblem(const SmtpSecurity& security)
{
    if (security.user.isEmpty() || security.mode != SmtpSecurity::Mode::None)
        return {};
    return QStringLiteral("SMTPUser is set but SMTPSecurity is none, so the password would travel in clear: set "
                          "SMTPSecurity to starttls or tls, or clear SMTPUser");
}

// The URL the client is given: the server, and as its path the EHLO argument (percent-encoded;
// without a path the client names the host by its bare label).
QByteArray SmtpUrl(const SmtpServerAddress& server, const SmtpSecurity& security, const QByteArray& helo)
{
    QByteArray host = AsciiHost(server.host);
    if (server.ipv6)
        host = '[' + host.replace("%", "%25") + ']';
    return (security.mode == SmtpSecurity::Mode::Tls ? "smtps://" : "smtp://") + host + ':' +
           QByteArray::number(server.port) + '/' + QUrl::toPercentEncoding(QString::fromLatin1(helo));
}

Transaction RunTransaction(SmtpClient& client, const SmtpServerAddress& server, const QByteArray& fixedHelo,
                           const QByteArray& from, const QList<QByteArray>& recipients, ComposedMessage& message,
                           const SmtpSecurity& security, DeliveryContext* context, quint64 generation)
{
    CURL* curl = client.curl;
    Transaction t;
    curl_slist* list = nullptr;
    for (const QByteArray& address : recipients)
        list = curl_slist_append(list, ('<' + address + '>').constData());
    const QByteArray user = security.user.toUtf8();
    const QByteArray password = security.password.toUtf8();
    const QByteArray caFile = QFile::encodeName(security.caFile);
    const SmtpTimeouts waits = CurrentSmtpTimeouts();
    const bool named = IpVersion(QString::fromUtf8(server.host)) == 0;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    size_t destination = client.preferred % client.destinations.size();
    size_t triedDestinations = 0;
    bool fresh = false, retriedStale = false;
    for (;;) {
        Destination& to = client.destinations[destination];
        // Without a name of its own the host names itself by the address it connects from.
        QByteArray helo = fixedHelo;
        if (helo.isEmpty()) {
            if (!to.localLookedUp) {
                to.localLookedUp = true;
                if (!LocalAddressFor(to, to.local, to.localLength))
                    to.localLength = 0;
            }
            helo = to.localLength > 0 ? AddressLiteral(to.local) : QByteArray("localhost.localdomain");
        }
        const QByteArray url = SmtpUrl(server, security, helo);
        // A name is looked up here, so that each of its addresses gets its own connect time.
        const QByteArray connectTo =
            named ? "::" + (to.address.ss_family == AF_INET6 ? '[' + to.ip + ']' : to.ip) + ':' +
                        QByteArray::number(server.port)
                  : QByteArray();
        curl_slist* connectToList = named ? curl_slist_append(nullptr, connectTo.constData()) : nullptr;
        const QByteArray settings = SettingsDigest(url, connectTo, security);
        fresh = fresh || (!client.settings.isEmpty() && client.settings != settings);
        client.settings = settings;
        if (fresh) {
            // A handle of its own: closing the old connection inside the next transfer would
            // leave that close's failure (a broken pipe) as the transfer's error text.
            DropOpenConnection(curl);
            curl_easy_cleanup(curl);
            client.curl = curl = curl_easy_init();
            if (!curl) {
                t.code = CURLE_FAILED_INIT;
                t.clientText = QString::fromUtf8(curl_easy_strerror(t.code));
                curl_slist_free_all(connectToList);
                curl_slist_free_all(list);
                return t;
            }
            fresh = false;
        }

        t.exchange = Exchange();
        Exchange& x = t.exchange;
        x.curl = curl;
        x.message = &message;
        x.context = context;
        x.waits = waits;
        x.generation = generation;
        x.loginRequired = !user.isEmpty();
        x.kept = &client.facts;
        if (fixedHelo.isEmpty() && to.localLength > 0) {
            x.bindTo = &to.local;
            x.bindToLength = to.localLength;
        }
        x.started = x.waitSince = Clock::now();
        errorBuffer[0] = '\0';
        curl_easy_reset(curl); // options only: the open connection stays
        curl_easy_setopt(curl, CURLOPT_URL, url.constData());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, security.mode == SmtpSecurity::Mode::Tls ? "smtps" : "smtp");
        if (connectToList)
            curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connectToList);
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
            // Credentials only ever travel inside TLS.
            if (!user.isEmpty()) {
                curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
                curl_easy_setopt(curl, CURLOPT_PASSWORD, password.constData());
            }
        }
        curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.constData());
        curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, list);
        // Recipients the server takes get the mail even when it refuses others.
        curl_easy_setopt(curl, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadMessage);
        curl_easy_setopt(curl, CURLOPT_READDATA, &x);
        // No size: the client would stop reading once it had that many octets, and the repair of
        // line ends may add some. The server's SIZE is checked before MAIL FROM instead.
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        // The client's own limits only catch what the watch below lets pass: its connect
        // time-out spans the greeting, EHLO, STARTTLS and AUTH, its reply time-out every reply.
        const int longest = std::max({waits.greetingSeconds, waits.mailSeconds, waits.rcptSeconds, waits.dataSeconds,
                                      waits.blockSeconds, waits.finalSeconds});
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, long(waits.connectSeconds) + 6L * waits.greetingSeconds + 5);
        curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(longest) + 5);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, WatchWaits);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &x);
        curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
        curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &x);
        curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, BeforeMail);
        curl_easy_setopt(curl, CURLOPT_PREREQDATA, &x);
        curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN, kMaxConnectionAgeSeconds);
        // One connection per client: the facts kept above are those of the only one.
        curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, 1L);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, Trace);
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &x);
        t.code = curl_easy_perform(curl);
        curl_slist_free_all(connectToList);
        if (x.bindFailed)
            client.resolvedUntil = Clock::now();
        long newConnections = 0;
        curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &newConnections);
        if (t.code == CURLE_OK) {
            client.preferred = destination;
            break;
        }
        // Nobody answered at this address: the next one, if the name has another.
        const bool unreachable = x.steps.empty() && (t.code == CURLE_COULDNT_CONNECT || x.connectTimedOut);
        if (unreachable && ++triedDestinations < client.destinations.size()) {
            destination = (destination + 1) % client.destinations.size();
            continue;
        }
        if (unreachable)
            client.resolvedUntil = Clock::now(); // the name may point elsewhere by now
        // A kept connection the server has dropped meanwhile fails at once; once, and only
        // while not a byte of the mail has gone out, it is worth a new connection.
        const bool reused = !x.greeted && newConnections == 0 && !x.steps.empty();
        if ((reused || x.unknownConnection) && !retriedStale && x.bytesRead == 0 && !x.sawRefusal &&
            x.timedOut.isEmpty() && (x.refusal.isEmpty() || x.unknownConnection)) {
            retriedStale = true;
            fresh = true;
            continue;
        }
        break;
    }
    const Exchange& x = t.exchange;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &t.replyCode);
    if (t.code != CURLE_OK && !x.timedOut.isEmpty())
        t.clientText = x.timedOut;
    else if (t.code != CURLE_OK && !x.refusal.isEmpty())
        t.clientText = x.refusal;
    else if (t.code != CURLE_OK)
        t.clientText = QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(t.code));
    // A connection that timed out, was given up or fell out of step is not used again: a late
    // reply would answer the next command. The client itself keeps a connection that failed
    // while it waited for the final reply.
    const bool unsettled = x.steps.empty() || !x.steps.back().complete;
    if (x.outOfStep || (t.code != CURLE_OK && (unsettled || !x.timedOut.isEmpty() || !x.refusal.isEmpty())))
        DropOpenConnection(curl);
    // Drops the references to this call's lists, secrets and callbacks; the connection stays open.
    curl_easy_reset(curl);
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
    if (mail.code / 100 != 5 || mail.code == 530)
        return true;
    const QByteArray reply = QByteArray::fromStdString(mail.reply).toLower();
    return reply.contains("5.7.0") && reply.contains("auth");
}

RecipientState StateOf(int code)
{
    return code >= 500 ? RecipientState::Refused : RecipientState::Deferred;
}

} // namespace

void SetSmtpTimeouts(const SmtpTimeouts& values)
{
    std::lock_guard lock(timeoutsMutex);
    timeouts = values;
}

SmtpTimeouts CurrentSmtpTimeouts()
{
    std::lock_guard lock(timeoutsMutex);
    return timeouts;
}

void CancelSmtpTransfers()
{
    ++cancelGeneration;
}

void SetSmtpTimeouts(int connectSeconds, int idleSeconds)
{
    SetSmtpTimeouts(SmtpTimeouts{connectSeconds, idleSeconds, idleSeconds, idleSeconds, idleSeconds, idleSeconds,
                                 idleSeconds});
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

SmtpServerAddress ParseSmtpServerText(const QString& serverText, SmtpSecurity::Mode mode)
{
    SmtpServerAddress server;
    const QString problem = ServerTextProblem(serverText, mode, server);
    if (!problem.isEmpty())
        throw DeliveryError(BuildResourceMessage(msg::SmtpSettingsUnusable, {problem}), true);
    return server;
}

QString SmtpConfigurationProblem(const QString& serverText, const SmtpSecurity& security)
{
    QStringList problems;
    SmtpServerAddress server;
    problems << ServerTextProblem(serverText, security.mode, server) << LoginProblem(security);
    QString heloProblem;
    ConfiguredHeloName(security.heloName, &heloProblem);
    problems << heloProblem;
    problems.removeAll(QString());
    return problems.join(QStringLiteral("; "));
}

SmtpSendResult SendSmtp(const SmtpServerAddress& server, const QByteArray& envelopeSender,
                        const QList<QByteArray>& envelopeRecipients, ComposedMessage& message,
                        const SmtpSecurity& security, DeliveryContext* context)
{
    SmtpSendResult result;
    result.recipients.reserve(envelopeRecipients.size());
    for (const QByteArray& address : envelopeRecipients)
        result.recipients.append({address, RecipientState::Unconfirmed, {}});
    if (envelopeRecipients.isEmpty()) {
        // Without recipients the client would not send a mail at all but still report success.
        result.errorText = QStringLiteral("At least one recipient is required, but none were found.");
        return result;
    }
    auto failSession = [&](const QString& text) {
        result.sessionFailed = true;
        result.errorText = text;
        for (RecipientResult& r : result.recipients)
            r.reason = text;
        return result;
    };
    if (const QString problem = LoginProblem(security); !problem.isEmpty())
        return failSession(problem);
    QString heloProblem;
    QByteArray fixedHelo = ConfiguredHeloName(security.heloName, &heloProblem);
    if (!heloProblem.isEmpty())
        return failSession(heloProblem);
    if (fixedHelo.isEmpty())
        fixedHelo = OwnDomainName();

    const quint64 generation = cancelGeneration.load();
    thread_local SmtpClient client;
    if (!client.curl)
        return failSession(QString::fromUtf8(curl_easy_strerror(CURLE_FAILED_INIT)));
    if (const QString failure = Resolve(client, server); !failure.isEmpty())
        return failSession(failure);
    // Longer than a path may be (256 octets with its brackets): servers refuse such a command as a
    // syntax error, or cut the address. Refused here, so the rest of the mail still goes.
    constexpr qsizetype kMaxPath = 254;
    if (envelopeSender.size() > kMaxPath) {
        result.errorText = QStringLiteral("the sender address is longer than %1 octets").arg(kMaxPath);
        for (RecipientResult& r : result.recipients) {
            r.state = RecipientState::Refused;
            r.reason = result.errorText;
        }
        return result;
    }
    for (RecipientResult& r : result.recipients) {
        if (r.address.size() > kMaxPath) {
            r.state = RecipientState::Refused;
            r.reason = QStringLiteral("the address is longer than %1 octets").arg(kMaxPath);
            result.errorText = r.reason;
        }
    }
    const QByteArray from = '<' + envelopeSender + '>';

    // Indexes into result.recipients; a RCPT is matched to its recipient by its place, so an
    // address the client wrote differently (an international domain in ASCII form) still finds it.
    const size_t count = size_t(envelopeRecipients.size());
    size_t next = 0;             // the first recipient no transaction has taken yet
    std::vector<qsizetype> over; // over the server's recipient limit in the last transaction
    // Those no transaction has taken get `state` and `reason`; those over the limit stay deferred.
    auto leftOver = [&](RecipientState state, const QString& reason) {
        for (qsizetype i : over)
            result.recipients[i].state = RecipientState::Deferred;
        over.clear();
        for (; next < count; ++next) {
            RecipientResult& r = result.recipients[qsizetype(next)];
            if (r.state == RecipientState::Refused)
                continue; // refused before any transaction
            r.state = state;
            r.reason = reason;
        }
    };
    bool firstTransaction = true;
    while (next < count || !over.empty()) {
        std::vector<qsizetype> pending = std::move(over);
        over.clear();
        while (pending.size() < kMaxRecipientsPerTransaction && next < count) {
            if (result.recipients[qsizetype(next)].state != RecipientState::Refused)
                pending.push_back(qsizetype(next));
            ++next;
        }
        if (pending.empty())
            break;
        if (!firstTransaction && !message.rewind()) {
            // A message that cannot be read twice: the rest wait for a later attempt.
            for (qsizetype i : pending)
                result.recipients[i].state = RecipientState::Deferred;
            leftOver(RecipientState::Deferred, QStringLiteral("the message could not be read again"));
            break;
        }
        firstTransaction = false;
        QList<QByteArray> addresses;
        addresses.reserve(qsizetype(pending.size()));
        for (qsizetype i : pending) {
            addresses.append(result.recipients[i].address);
            result.recipients[i].reason.clear(); // what an earlier transaction said no longer applies
        }
        const Transaction t =
            RunTransaction(client, server, fixedHelo, from, addresses, message, security, context, generation);
        result.replyCode = t.replyCode;
        const QString failure = SessionFailure(t);
        const Step* mail = FindStep(t.exchange, Step::Mail);
        if (t.exchange.tooLarge || (mail && mail->complete && mail->code / 100 != 2 && IsSizeRefusal(*mail))) {
            // Too large for this server: no later attempt can fare better.
            result.errorText = t.exchange.tooLarge ? t.exchange.refusal : ReplyText(*mail);
            for (qsizetype i : pending) {
                result.recipients[i].state = RecipientState::Refused;
                result.recipients[i].reason = result.errorText;
            }
            leftOver(RecipientState::Refused, result.errorText);
            break;
        }
        if (mail && mail->complete && mail->code / 100 != 2 && !IsSessionRefusal(*mail)) {
            // The server refused this sender for good: this mail fails, while other mail through
            // the same server goes on.
            result.errorText = ReplyText(*mail);
            for (qsizetype i : pending) {
                result.recipients[i].state = RecipientState::Refused;
                result.recipients[i].reason = result.errorText;
            }
            leftOver(RecipientState::Refused, result.errorText);
            break;
        }
        if (!IsPositive(mail, 2)) {
            // The greeting, EHLO, TLS or authentication failed: nothing about the mail.
            result.sessionFailed = true;
            result.errorText = failure;
            for (qsizetype i : pending)
                result.recipients[i].reason = failure;
            leftOver(RecipientState::Unconfirmed, failure);
            break;
        }
        std::vector<qsizetype> accepted;
        std::vector<char> answered(pending.size(), 0);
        for (const Step& step : t.exchange.steps) {
            if (step.kind != Step::Rcpt || size_t(step.index) >= pending.size() || !step.complete)
                continue;
            const qsizetype i = pending[size_t(step.index)];
            RecipientResult& r = result.recipients[i];
            answered[size_t(step.index)] = 1;
            if (step.code / 100 == 2) {
                accepted.push_back(i);
            } else if (IsTooManyRecipients(step)) {
                // The server's limit of recipients per mail: the rest go in a further transaction.
                over.push_back(i);
                r.reason = ReplyText(step);
            } else {
                r.state = StateOf(step.code);
                r.reason = ReplyText(step);
            }
        }
        // Recipients whose RCPT went unanswered, or never went out, stay unconfirmed, with the
        // reason the session ended.
        for (size_t k = 0; k < pending.size(); ++k)
            if (!answered[k])
                result.recipients[pending[k]].reason = failure;

        bool delivered = false;
        if (!accepted.empty()) {
            const Step* data = FindStep(t.exchange, Step::Data);
            const Step* end = FindStep(t.exchange, Step::EndOfData);
            RecipientState state = RecipientState::Unconfirmed;
            QString reason;
            if (!data || !data->complete) {
                reason = failure;
            } else if (data->code != 354) {
                state = StateOf(data->code);
                reason = ReplyText(*data);
            } else if (!end || !end->complete) {
                reason = failure;
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
            for (qsizetype i : accepted) {
                result.recipients[i].state = state;
                result.recipients[i].reason = reason;
            }
        }
        // A session that broke off leaves the rest unconfirmed, for a later attempt.
        const bool broken =
            std::find(answered.begin(), answered.end(), 0) != answered.end() ||
            (!accepted.empty() && result.recipients[accepted.front()].state == RecipientState::Unconfirmed);
        if (broken) {
            leftOver(RecipientState::Unconfirmed, failure);
            break;
        }
        if (!delivered && !over.empty()) {
            // No progress with the recipients over the limit: they, and those after them, wait
            // for a later attempt.
            leftOver(RecipientState::Deferred, result.recipients[over.front()].reason);
            break;
        }
    }
    result.sent = std::all_of(result.recipients.cbegin(), result.recipients.cend(),
                              [](const RecipientResult& r) { return r.state == RecipientState::Delivered; });
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

    // What the composer would refuse is logged with its reason and left out.
    for (const QString& entry : AcceptedHeaderEntries(context, headerEntries)) {
        // The value is everything after the first "::": values such as IPv6 addresses hold "::".
        const qsizetype split = entry.indexOf(QLatin1String("::"));
        builder.addHeader(split < 0 ? entry : entry.left(split), split < 0 ? QString() : entry.mid(split + 2));
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
        // Too many open files, permissions, a staged file gone: this host's fault, not the mail's.
        if (fd < 0)
            throw DeliveryError(BuildResourceMessage(msg::AttachmentNotStaged,
                                                     {displayName, QString::fromLocal8Bit(std::strerror(errno))}),
                                true);
        // The part reads from the open descriptor; the name is gone before the message is sent.
        ::unlink(path.constData());
        if (isHTML && IsImageAttachmentName(displayName))
            builder.addRelatedImage(displayName, fd);
        else
            builder.addAttachment(displayName, fd);
    }

    auto logFailure = [&](const QString& reason, const QStringList& to, const QStringList& cc, const QStringList& bcc,
                          LogPriority priority) {
        context.AddLogText(BuildResourceMessage(142, {reason, fromAddr, Joined(to), Joined(cc), Joined(bcc)}),
                           priority);
    };

    // A mail without a sender the recipients can answer is never sent; no retry can mend it.
    const QString senderProblem = builder.senderProblem(true);
    if (!senderProblem.isEmpty()) {
        logFailure(senderProblem, toAddrs, ccAddrs, bccAddrs, LogPriority::Error);
        outcome.outcome = DeliveryOutcome::FailedPermanently;
        outcome.reason = ActivityLog::OneLine(senderProblem);
        return outcome.outcome;
    }

    QList<QByteArray> recipients = builder.envelopeRecipients();
    if (!onlyRecipients.isEmpty()) {
        QSet<QString> only;
        for (const QString& address : onlyRecipients)
            only.insert(address.trimmed().toCaseFolded());
        QList<QByteArray> wanted;
        QSet<QString> taken;
        for (const QByteArray& address : recipients) {
            const QString folded = QString::fromUtf8(address).toCaseFolded();
            if (only.contains(folded) && !taken.contains(folded)) {
                taken.insert(folded);
                wanted.append(address);
            }
        }
        // Everyone who still needed the mail has it: nothing is left to send.
        if (wanted.isEmpty())
            return outcome.outcome;
        recipients = wanted;
    }
    if (recipients.isEmpty()) {
        const QString reason = QStringLiteral("At least one recipient is required, but none were found.");
        logFailure(reason, toAddrs, ccAddrs, bccAddrs, LogPriority::Error);
        outcome.outcome = DeliveryOutcome::FailedPermanently;
        outcome.reason = reason;
        return outcome.outcome;
    }

    // Settings that cannot work keep the mail, untried, until they are corrected.
    const SmtpSecurity security = context.SmtpSecurityOptions();
    if (const QString problem = SmtpConfigurationProblem(serverText, security); !problem.isEmpty()) {
        const QString line = BuildResourceMessage(msg::SmtpSettingsUnusable, {problem});
        context.AddLogText(line, LogPriority::Error);
        outcome.outcome = DeliveryOutcome::ServerUnavailable;
        outcome.reason = ActivityLog::OneLine(line);
        for (const QByteArray& address : recipients)
            outcome.pending << QString::fromUtf8(address);
        return outcome.outcome;
    }
    const SmtpServerAddress server = ParseSmtpServerText(serverText, security.mode);
    const QByteArray sender = builder.envelopeSender();
    std::unique_ptr<ComposedMessage> message = builder.compose();

    const SmtpSendResult result = SendSmtp(server, sender, recipients, *message, security, &context);

    // Recipients that share a reason (a refused session, a refused message) share one line: an
    // error when they are refused for good, a warning when the mail is kept for them.
    struct Failure {
        QString reason;
        bool permanent = false;
        QList<QByteArray> addresses;
    };
    std::vector<Failure> failures;
    QHash<QString, size_t> failureOf;
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
        const bool permanent = r.state == RecipientState::Refused;
        const QString key = (permanent ? QLatin1Char('E') : QLatin1Char('W')) + r.reason;
        const auto found = failureOf.constFind(key);
        if (found != failureOf.cend()) {
            failures[*found].addresses.append(r.address);
        } else {
            failureOf.insert(key, failures.size());
            failures.push_back({r.reason, permanent, {r.address}});
        }
    }
    for (const Failure& failure : failures) {
        QStringList to, cc, bcc;
        for (const QByteArray& address : failure.addresses) {
            const RecipientKind kind = builder.kindOf(address);
            (kind == RecipientKind::To ? to : kind == RecipientKind::Cc ? cc : bcc) << QString::fromUtf8(address);
        }
        logFailure(failure.reason, to, cc, bcc, failure.permanent ? LogPriority::Error : LogPriority::Warning);
    }
    if (!failures.empty()) {
        outcome.reason = ActivityLog::OneLine(failures.front().reason);
        if (failures.size() > 1)
            outcome.reason += QStringLiteral(" (and %1 more reasons)").arg(failures.size() - 1);
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
