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

// Ends the open connection at once. The client would otherwise say QUIT on it when it makes
// room for a new one, and wait for the answer as long as for any reply.
void DropOpenConnection(CURL* curl)
{
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD)
        ::shutdown(socket, SHUT_RDWR);
}

QByteArray SettingsDigest(const ConnectionOptions& o)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const SmtpSecurity& security = o.security;
    for (const QByteArray& part :
         {o.url, o.connectTo, QByteArray::number(int(security.mode)), security.user.toUtf8(),
          security.password.toUtf8(), QFile::encodeName(security.caFile), QFile::encodeName(security.clientCertFile),
          QFile::encodeName(security.clientKeyFile), o.bearer}) {
        hash.addData(QByteArray::number(part.size()) + ':');
        hash.addData(part);
    }
    return hash.result();
}

// The client's record of its connection follows the socket: curl closes it when the server has
// gone, when the connection ages out, or when the handle ends.
int CloseSocket(void* user, curl_socket_t socket)
{
    auto* client = static_cast<SmtpClient*>(user);
    if (client->socket == socket) {
        client->socket = CURL_SOCKET_BAD;
        client->inStep = false;
    }
    return ::close(socket);
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
    EndConnection(client);
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
    x.socket = &client.socket;
    if (plan.helo.isEmpty() && to.localLength > 0) {
        x.bindTo = &to.local;
        x.bindToLength = to.localLength;
    }
    x.started = x.waitSince = Clock::now();
    return x;
}

// Where the connection goes and how it is secured.
void SetServerOptions(CURL* curl, const ConnectionOptions& o, curl_slist* connectTo, SmtpClient& client)
{
    const SmtpSecurity& security = o.security;
    curl_easy_setopt(curl, CURLOPT_URL, o.url.constData());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, security.mode == SmtpSecurity::Mode::Tls ? "smtps" : "smtp");
    if (connectTo)
        curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connectTo);
    // Mail goes straight to the server named in the settings, whatever proxy the environment names.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, CloseSocket);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, &client);
    if (security.mode == SmtpSecurity::Mode::StartTls)
        curl_easy_setopt(curl, CURLOPT_USE_SSL, long(CURLUSESSL_ALL)); // never falls back to plain text
    if (security.mode == SmtpSecurity::Mode::None)
        return;
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    const QByteArray caFile = QFile::encodeName(security.caFile);
    if (!caFile.isEmpty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.constData());
    const QByteArray certFile = QFile::encodeName(security.clientCertFile);
    if (!certFile.isEmpty()) {
        const QByteArray keyFile = QFile::encodeName(security.clientKeyFile);
        curl_easy_setopt(curl, CURLOPT_SSLCERT, certFile.constData());
        curl_easy_setopt(curl, CURLOPT_SSLCERTTYPE, "PEM");
        curl_easy_setopt(curl, CURLOPT_SSLKEY, keyFile.isEmpty() ? certFile.constData() : keyFile.constData());
        curl_easy_setopt(curl, CURLOPT_SSLKEYTYPE, "PEM");
    }
    // Credentials only ever travel inside TLS.
    if (!security.user.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, security.user.toUtf8().constData());
        if (!o.bearer.isEmpty()) {
            // The client logs in with OAUTHBEARER where the server offers it, else XOAUTH2.
            curl_easy_setopt(curl, CURLOPT_XOAUTH2_BEARER, o.bearer.constData());
        } else {
            curl_easy_setopt(curl, CURLOPT_PASSWORD, security.password.toUtf8().constData());
        }
    }
}

// No connection is opened for a QUIT: only the one the client holds may take it.
curl_socket_t NoNewSocket(void*, curlsocktype, curl_sockaddr*)
{
    return CURL_SOCKET_BAD;
}

size_t DiscardReply(char*, size_t size, size_t count, void*)
{
    return size * count;
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
    const bool drop =
        x.outOfStep || (t.code != CURLE_OK && (unsettled || !x.timedOut.isEmpty() || !x.refusal.isEmpty()));
    if (drop)
        DropOpenConnection(curl);
    t.inStep = !drop && !unsettled && !x.quitting;
    // Drops the references to this call's lists, secrets and callbacks; the connection stays open.
    curl_easy_reset(curl);
}

} // namespace

void InitCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

SmtpClient::SmtpClient()
{
    InitCurl();
    curl = curl_easy_init();
}

SmtpClient::~SmtpClient()
{
    // Waiting for the answer to QUIT from a server that has stopped answering would hold up
    // the end of the process as long as any reply (the time-outs the client closes with are
    // those of the last transfer), so the connection is simply ended; EndConnection says QUIT.
    if (curl)
        DropOpenConnection(curl);
    curl_easy_cleanup(curl);
}

void EndConnection(SmtpClient& client)
{
    if (client.curl && client.socket != CURL_SOCKET_BAD && client.inStep) {
        // A QUIT of its own on the open connection, repeating what it was made with so that the
        // client takes it; never a new connection for it, and a few seconds for the reply at most.
        CURL* curl = client.curl;
        curl_easy_reset(curl);
        curl_slist* connectTo = client.options.connectTo.isEmpty()
            ? nullptr
            : curl_slist_append(nullptr, client.options.connectTo.constData());
        SetServerOptions(curl, client.options, connectTo, client);
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "QUIT");
        curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, NoNewSocket);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DiscardReply);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, 3L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
        curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, 1L);
        curl_easy_perform(curl);
        curl_slist_free_all(connectTo);
    }
    // The server closes its side after QUIT; the client would say QUIT once more on closing.
    if (client.curl)
        DropOpenConnection(client.curl);
    curl_easy_cleanup(client.curl);
    client.curl = curl_easy_init();
    client.socket = CURL_SOCKET_BAD;
    client.inStep = false;
    client.settings.clear();
    client.server.clear();
}

Transaction RunTransaction(SmtpClient& client, const SessionPlan& plan, const QList<QByteArray>& recipients)
{
    Transaction t;
    curl_slist* list = RecipientList(recipients);
    const SmtpTimeouts waits = CurrentSmtpTimeouts();
    const bool named = IpLiteralVersion(QString::fromUtf8(plan.server.host)) == 0;
    const QByteArray serverKey = ServerKey(plan.server);
    char errorBuffer[CURL_ERROR_SIZE] = {};
    size_t destination = client.preferred % client.destinations.size();
    size_t triedDestinations = 0;
    bool fresh = false, retriedStale = false;
    for (;;) {
        Destination& to = client.destinations[destination];
        ConnectionOptions options;
        options.url = SmtpUrl(plan.server, plan.security, HeloFor(plan.helo, to));
        // A name is looked up here, so that each of its addresses gets its own connect time.
        options.connectTo = named ? ConnectToEntry(to, plan.server.port) : QByteArray();
        options.security = plan.security;
        options.bearer = plan.bearer;
        const QByteArray settings = SettingsDigest(options);
        fresh = fresh || (!client.settings.isEmpty() && client.settings != settings);
        if (fresh && !RenewHandle(client)) {
            t.code = CURLE_FAILED_INIT;
            t.clientText = QString::fromUtf8(curl_easy_strerror(t.code));
            curl_slist_free_all(list);
            return t;
        }
        fresh = false;
        client.settings = settings;
        client.options = options;
        client.server = serverKey;

        CURL* curl = client.curl;
        t.exchange = NewExchange(client, plan, waits, to);
        Exchange& x = t.exchange;
        curl_slist* connectToList = named ? curl_slist_append(nullptr, options.connectTo.constData()) : nullptr;
        errorBuffer[0] = '\0';
        curl_easy_reset(curl); // options only: the open connection stays
        SetServerOptions(curl, options, connectToList, client);
        SetEnvelope(curl, plan.from, list, plan.allOrNothing);
        SetLimits(curl, waits);
        SetCallbacks(curl, x);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
        client.inStep = false;
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
    client.inStep = t.inStep && client.socket != CURL_SOCKET_BAD;
    curl_slist_free_all(list);
    return t;
}

} // namespace swn::smtp
