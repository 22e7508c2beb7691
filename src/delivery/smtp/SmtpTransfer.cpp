// One transaction through the client: the connection kept between mails or a new one, each of the
// server's addresses in turn, the options libcurl is given, and the message as it reads it.
#include "delivery/smtp/SmtpInternal.h"

#include "delivery/MimeComposer.h"
#include "common/HostPort.h"

#include <QCryptographicHash>
#include <QFile>

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace swn::smtp {

namespace {

void InitCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Ends the open connection at once. The client would otherwise say QUIT on it when it makes
// room for a new one, and wait for the answer as long as for any reply.
void DropOpenConnection(CURL* curl)
{
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD)
        ::shutdown(socket, SHUT_RDWR);
}

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


curl_slist* RecipientList(const QList<QByteArray>& recipients)
{
    curl_slist* list = nullptr;
    for (const QByteArray& address : recipients)
        list = curl_slist_append(list, ('<' + address + '>').constData());
    return list;
}

// A handle of its own: closing the old connection inside the next transfer would leave that
// close's failure (a broken pipe) as the transfer's error text.
bool RenewHandle(SmtpClient& client)
{
    DropOpenConnection(client.curl);
    curl_easy_cleanup(client.curl);
    client.curl = curl_easy_init();
    return client.curl != nullptr;
}

Exchange NewExchange(SmtpClient& client, const SessionPlan& plan, const SmtpTimeouts& waits, const Destination& to)
{
    Exchange x;
    x.curl = client.curl;
    x.message = &plan.message;
    x.context = plan.context;
    x.waits = waits;
    x.generation = plan.generation;
    x.loginRequired = !plan.security.user.isEmpty();
    x.kept = &client.facts;
    if (plan.helo.isEmpty() && to.localLength > 0) {
        x.bindTo = &to.local;
        x.bindToLength = to.localLength;
    }
    x.started = x.waitSince = Clock::now();
    return x;
}

// Where the connection goes and how it is secured.
void SetServerOptions(CURL* curl, const QByteArray& url, curl_slist* connectTo, const SmtpSecurity& security)
{
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, security.mode == SmtpSecurity::Mode::Tls ? "smtps" : "smtp");
    if (connectTo)
        curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connectTo);
    // Mail goes straight to the server named in the settings, whatever proxy the environment names.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    if (security.mode == SmtpSecurity::Mode::StartTls)
        curl_easy_setopt(curl, CURLOPT_USE_SSL, long(CURLUSESSL_ALL)); // never falls back to plain text
    if (security.mode == SmtpSecurity::Mode::None)
        return;
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    const QByteArray caFile = QFile::encodeName(security.caFile);
    if (!caFile.isEmpty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.constData());
    // Credentials only ever travel inside TLS.
    if (!security.user.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, security.user.toUtf8().constData());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, security.password.toUtf8().constData());
    }
}

void SetEnvelope(CURL* curl, const QByteArray& from, curl_slist* recipients, bool allOrNothing)
{
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
    // Recipients the server takes get the mail even when it refuses others; all or nothing, the
    // client ends the transaction (QUIT, no DATA) at the first one it does not take.
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT_ALLLOWFAILS, allOrNothing ? 0L : 1L);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    // No size: the client would stop reading once it had that many octets, and the repair of
    // line ends may add some. The server's SIZE is checked before MAIL FROM instead.
}

void SetLimits(CURL* curl, const SmtpTimeouts& waits)
{
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // The client's own limits only catch what the watch of the waits lets pass: its connect
    // time-out spans the greeting, EHLO, STARTTLS and AUTH, its reply time-out every reply.
    const int longest = std::max({waits.greetingSeconds, waits.mailSeconds, waits.rcptSeconds, waits.dataSeconds,
                                  waits.blockSeconds, waits.finalSeconds});
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, long(waits.connectSeconds) + 6L * waits.greetingSeconds + 5);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(longest) + 5);
    curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN, kMaxConnectionAgeSeconds);
    // One connection per client: the facts kept with it are those of the only one.
    curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, 1L);
}

// Every callback of the transfer gets the exchange.
void SetCallbacks(CURL* curl, Exchange& x)
{
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadMessage);
    curl_easy_setopt(curl, CURLOPT_READDATA, &x);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, WatchWaits);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &x);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &x);
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, BeforeMail);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, &x);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, Trace);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &x);
}

// Nobody answered at the address tried.
bool Unreachable(const Transaction& t)
{
    return t.exchange.steps.empty() && (t.code == CURLE_COULDNT_CONNECT || t.exchange.connectTimedOut);
}

// A kept connection the server has dropped meanwhile fails at once; once, and only while not a
// byte of the mail has gone out, it is worth a new connection.
bool WorthNewConnection(const Transaction& t, CURL* curl)
{
    const Exchange& x = t.exchange;
    long newConnections = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &newConnections);
    const bool reused = !x.greeted && newConnections == 0 && !x.steps.empty();
    return (reused || x.unknownConnection) && x.bytesRead == 0 && !x.sawRefusal && x.timedOut.isEmpty() &&
           (x.refusal.isEmpty() || x.unknownConnection);
}

// The transaction's last reply code and the client's own text, and the connection closed when it
// cannot serve the next mail.
void FinishTransaction(CURL* curl, Transaction& t, const char* errorBuffer)
{
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
}

} // namespace

SmtpClient::SmtpClient()
{
    InitCurl();
    curl = curl_easy_init();
}

SmtpClient::~SmtpClient()
{
    // Waiting for the answer to QUIT from a server that has stopped answering would hold up
    // the end of the process as long as any reply (the time-outs the client closes with are
    // those of the last transfer), so the connection is simply ended.
    if (curl)
        DropOpenConnection(curl);
    curl_easy_cleanup(curl);
}

Transaction RunTransaction(SmtpClient& client, const SessionPlan& plan, const QList<QByteArray>& recipients)
{
    Transaction t;
    curl_slist* list = RecipientList(recipients);
    const SmtpTimeouts waits = CurrentSmtpTimeouts();
    const bool named = IpLiteralVersion(QString::fromUtf8(plan.server.host)) == 0;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    size_t destination = client.preferred % client.destinations.size();
    size_t triedDestinations = 0;
    bool fresh = false, retriedStale = false;
    for (;;) {
        Destination& to = client.destinations[destination];
        const QByteArray url = SmtpUrl(plan.server, plan.security, HeloFor(plan.helo, to));
        // A name is looked up here, so that each of its addresses gets its own connect time.
        const QByteArray connectTo = named ? ConnectToEntry(to, plan.server.port) : QByteArray();
        const QByteArray settings = SettingsDigest(url, connectTo, plan.security);
        fresh = fresh || (!client.settings.isEmpty() && client.settings != settings);
        client.settings = settings;
        if (fresh && !RenewHandle(client)) {
            t.code = CURLE_FAILED_INIT;
            t.clientText = QString::fromUtf8(curl_easy_strerror(t.code));
            curl_slist_free_all(list);
            return t;
        }
        fresh = false;

        CURL* curl = client.curl;
        t.exchange = NewExchange(client, plan, waits, to);
        Exchange& x = t.exchange;
        curl_slist* connectToList = named ? curl_slist_append(nullptr, connectTo.constData()) : nullptr;
        errorBuffer[0] = '\0';
        curl_easy_reset(curl); // options only: the open connection stays
        SetServerOptions(curl, url, connectToList, plan.security);
        SetEnvelope(curl, plan.from, list, plan.allOrNothing);
        SetLimits(curl, waits);
        SetCallbacks(curl, x);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
        t.code = curl_easy_perform(curl);
        curl_slist_free_all(connectToList);
        if (x.bindFailed)
            client.resolvedUntil = Clock::now();
        if (t.code == CURLE_OK) {
            client.preferred = destination;
            break;
        }
        if (Unreachable(t)) {
            // The next address, if the name has another.
            if (++triedDestinations < client.destinations.size()) {
                destination = (destination + 1) % client.destinations.size();
                continue;
            }
            client.resolvedUntil = Clock::now(); // the name may point elsewhere by now
        }
        if (!retriedStale && WorthNewConnection(t, curl)) {
            retriedStale = fresh = true;
            continue;
        }
        break;
    }
    FinishTransaction(client.curl, t, errorBuffer);
    curl_slist_free_all(list);
    return t;
}

} // namespace swn::smtp
