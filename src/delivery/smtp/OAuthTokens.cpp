// Tokens for the SMTP login. Every worker asks the one store; it asks the endpoint (or runs the
// command) once for all of them, and keeps the answer until the token is nearly spent or a
// server refuses it. Secrets and tokens never reach a text that leaves this file.
#include "delivery/smtp/OAuthTokens.h"

#include "delivery/smtp/SmtpInternal.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

#include <curl/curl.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

extern char** environ;

namespace swn {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kConnectSeconds = 10;
constexpr long kRequestSeconds = 30;
constexpr qsizetype kLargestAnswer = 64 * 1024;
constexpr qsizetype kLargestErrorOutput = 4096;
constexpr qint64 kAssumedLifetime = 3600;        // an answer without expires_in
constexpr qint64 kLongestLifetime = 366 * 86400; // beyond this a number is nonsense
constexpr qint64 kCommandTokenSeconds = 300;     // a printed token says nothing of its lifetime
constexpr qint64 kLongestMargin = 300;
// A renewal that failed is tried again this soon while the old token still serves.
constexpr auto kRetryRenewal = std::chrono::seconds(30);
// A token turned down takes a new one at most this often.
constexpr auto kRefusalPause = std::chrono::seconds(60);

std::atomic<int> commandTimeLimitMs{30000};

// One printable line of at most `limit` characters, from text a remote party chose.
QString Clean(const QString& text, qsizetype limit)
{
    QString out;
    out.reserve(qMin(text.size(), limit + 1));
    for (const QChar c : text) {
        const bool control = c.category() == QChar::Other_Control || c.category() == QChar::Other_Format ||
                             c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
        out += control ? QLatin1Char(' ') : c;
        if (out.size() > limit * 2)
            break;
    }
    out = out.simplified();
    if (out.size() > limit) {
        out.truncate(limit);
        if (out.back().isHighSurrogate())
            out.chop(1);
        out += QStringLiteral("...");
    }
    return out;
}

// A remote party may echo what it was sent; what it echoes must not reach the log.
QString Scrub(QString text, const OAuthLogin& login)
{
    if (login.clientSecret.size() >= 3)
        text.replace(login.clientSecret, QStringLiteral("[hidden]"));
    return text;
}

// The endpoint as texts name it: no user, no query, no fragment.
QString EndpointName(const QString& url)
{
    const QUrl parsed(url.trimmed());
    if (!parsed.isValid() || parsed.host().isEmpty())
        return QStringLiteral("\"%1\"").arg(Clean(url.section(QLatin1Char('?'), 0, 0).section(QLatin1Char('@'), -1), 80));
    return parsed.adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment).toString();
}

bool UsableToken(const QByteArray& token)
{
    if (token.isEmpty())
        return false;
    // It goes into a SASL message between separators: no blanks, no controls, nothing beyond ASCII.
    return std::all_of(token.begin(), token.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

struct Answer {
    QByteArray token;
    qint64 lifetimeSeconds = 0;
    QString failure;
    bool clientRefused = false;
};

Answer Failed(const QString& text, bool clientRefused = false)
{
    Answer a;
    a.failure = text;
    a.clientRefused = clientRefused;
    return a;
}

// ---- the client-credentials grant

struct Received {
    QByteArray bytes;
    bool tooLarge = false;
};

size_t Collect(char* data, size_t size, size_t count, void* user)
{
    auto* received = static_cast<Received*>(user);
    const size_t n = size * count;
    if (received->bytes.size() + qsizetype(n) > kLargestAnswer) {
        received->tooLarge = true;
        return 0; // ends the transfer
    }
    received->bytes.append(data, qsizetype(n));
    return n;
}

QByteArray FormValue(const QString& value)
{
    return QUrl::toPercentEncoding(value);
}

qint64 LifetimeOf(const QJsonValue& value)
{
    bool ok = false;
    double seconds = 0;
    if (value.isDouble()) {
        seconds = value.toDouble();
        ok = true;
    } else if (value.isString()) {
        seconds = value.toString().trimmed().toDouble(&ok);
    }
    if (!ok || !std::isfinite(seconds))
        return kAssumedLifetime;
    return qBound<qint64>(0, qint64(seconds), kLongestLifetime);
}

Answer AskEndpoint(const OAuthLogin& login, const QString& caFile)
{
    const QString where = EndpointName(login.tokenUrl);
    const QUrl url(login.tokenUrl.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0 ||
        url.host().isEmpty())
        return Failed(QStringLiteral("OAuth token URL %1 not used: only https:// URLs are accepted").arg(where), true);

    smtp::InitCurl();
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl)
        return Failed(QStringLiteral("OAuth token endpoint %1 not asked: %2")
                          .arg(where, QString::fromUtf8(curl_easy_strerror(CURLE_FAILED_INIT))));

    QByteArray body = "grant_type=client_credentials&client_id=" + FormValue(login.clientId) +
                      "&client_secret=" + FormValue(login.clientSecret);
    if (!login.scope.isEmpty())
        body += "&scope=" + FormValue(login.scope);
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    headers = curl_slist_append(headers, "Accept: application/json");
    const QByteArray target = url.toEncoded();
    const QByteArray ca = QFile::encodeName(caFile);
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Received received;

    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, target.constData());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    // As for the SMTP server: the settings name the host to talk to, not a proxy of the environment.
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!ca.isEmpty())
        curl_easy_setopt(c, CURLOPT_CAINFO, ca.constData());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, kRequestSeconds);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, long(body.size()));
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "SWNRelay");
    // A relay that ends cuts the request short rather than wait out its 30 s.
    quint64 generation = smtp::CancelGeneration();
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &generation);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION,
                     +[](void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) -> int {
                         return smtp::CancelGeneration() != *static_cast<const quint64*>(user) ? 1 : 0;
                     });
    const CURLcode code = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    body.fill('\0');

    if (received.tooLarge)
        return Failed(QStringLiteral("OAuth token endpoint %1 answered with more than %2 KiB")
                          .arg(where).arg(kLargestAnswer / 1024));
    if (code == CURLE_ABORTED_BY_CALLBACK)
        return Failed(QStringLiteral("OAuth token endpoint %1 was not heard to the end: the relay stops").arg(where));
    if (code != CURLE_OK) {
        QString why = QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code));
        // A connection cut short reads differently from one try to the next (a reset, an end of
        // file in the handshake); one text for all, or a flapping endpoint fills the log.
        const bool cut = code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR || code == CURLE_GOT_NOTHING ||
                         code == CURLE_PARTIAL_FILE ||
                         (code == CURLE_SSL_CONNECT_ERROR &&
                          (why.contains(QLatin1String("SSL_ERROR_SYSCALL")) || why.contains(QLatin1String("reset by peer")) ||
                           why.contains(QLatin1String("unexpected eof"), Qt::CaseInsensitive)));
        if (cut)
            why = QStringLiteral("the connection was closed before an answer came");
        // The same failure must read the same each time, or it is logged each time.
        const QRegularExpression timing(
            QStringLiteral(" after \\d+ (ms|milliseconds)( with \\d+ (out of -?\\d+ )?bytes received)?"));
        why.remove(timing);
        return Failed(QStringLiteral("OAuth token endpoint %1 could not be asked: %2")
                          .arg(where, Scrub(Clean(why, 200), login)));
    }

    QJsonParseError parseError;
    const QJsonObject answer = QJsonDocument::fromJson(received.bytes, &parseError).object();
    if (status >= 200 && status < 300) {
        Answer a;
        a.token = answer.value(QLatin1String("access_token")).toString().toUtf8();
        if (!UsableToken(a.token))
            return Failed(QStringLiteral("OAuth token endpoint %1 gave an answer without a usable access_token (HTTP %2)")
                              .arg(where).arg(status));
        a.lifetimeSeconds = answer.contains(QLatin1String("expires_in"))
                                ? LifetimeOf(answer.value(QLatin1String("expires_in")))
                                : kAssumedLifetime;
        return a;
    }

    const QString error = Scrub(Clean(answer.value(QLatin1String("error")).toString(), 64), login);
    const QString description = Scrub(Clean(answer.value(QLatin1String("error_description")).toString(), 300), login);
    QString detail = error;
    if (!description.isEmpty())
        detail += (detail.isEmpty() ? QString() : QStringLiteral(": ")) + description;
    // These say that the client's settings are wrong: asking again as it is cannot help.
    static const QStringList clientErrors{QStringLiteral("invalid_client"), QStringLiteral("unauthorized_client"),
                                          QStringLiteral("invalid_grant"), QStringLiteral("invalid_scope")};
    const bool refused = (status == 400 || status == 401 || status == 403) && clientErrors.contains(error);
    if (refused || status == 401)
        return Failed(QStringLiteral("OAuth token endpoint %1 refused the client (HTTP %2)%3")
                          .arg(where).arg(status)
                          .arg(detail.isEmpty() ? QString() : QStringLiteral(": ") + detail),
                      true);
    return Failed(QStringLiteral("OAuth token endpoint %1 answered HTTP %2%3")
                      .arg(where).arg(status)
                      .arg(detail.isEmpty() ? QString() : QStringLiteral(": ") + detail));
}

// ---- the token command

class Pipe {
public:
    Pipe() { ok_ = ::pipe2(fd_, O_CLOEXEC) == 0; }
    ~Pipe() { closeRead(), closeWrite(); }
    bool ok() const { return ok_; }
    int read() const { return fd_[0]; }
    int write() const { return fd_[1]; }
    void closeRead() { close(0); }
    void closeWrite() { close(1); }

private:
    void close(int i)
    {
        if (ok_ && fd_[i] >= 0)
            ::close(fd_[i]);
        fd_[i] = -1;
    }
    int fd_[2] = {-1, -1};
    bool ok_ = false;
};

QString FirstLine(const QByteArray& bytes)
{
    for (const QByteArray& line : bytes.split('\n'))
        if (!line.trimmed().isEmpty())
            return Clean(QString::fromUtf8(line), 200);
    return {};
}

Answer RunCommand(const OAuthLogin& login)
{
    const QStringList parts = QProcess::splitCommand(login.tokenCommand);
    if (parts.isEmpty())
        return Failed(QStringLiteral("OAuth token command is empty"), true);
    // Only the program is named: its arguments may carry secrets.
    const QString name = Clean(parts.first(), 200);

    std::vector<QByteArray> arguments;
    for (const QString& part : parts)
        arguments.push_back(QFile::encodeName(part));
    std::vector<char*> argv;
    for (QByteArray& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    Pipe out, err;
    if (!out.ok() || !err.ok())
        return Failed(QStringLiteral("OAuth token command %1 not started: %2").arg(name, QString::fromLocal8Bit(std::strerror(errno))));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.write(), 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    // Its own group, so that a command that hangs is stopped with whatever it started.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    out.closeWrite();
    err.closeWrite();
    if (spawned != 0)
        return Failed(QStringLiteral("OAuth token command %1 not started: %2")
                          .arg(name, QString::fromLocal8Bit(std::strerror(spawned))));

    const int limitMs = commandTimeLimitMs.load();
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    // A relay that ends stops the command rather than wait out its time limit.
    const quint64 generation = smtp::CancelGeneration();
    const auto cancelled = [generation] { return smtp::CancelGeneration() != generation; };
    QByteArray printed, complaint;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || cancelled())
            break;
        pollfd fds[2];
        int n = 0;
        if (outOpen)
            fds[n++] = {out.read(), POLLIN, 0};
        if (errOpen)
            fds[n++] = {err.read(), POLLIN, 0};
        if (::poll(fds, nfds_t(n), int(qMin<qint64>(left, 1000))) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const bool isOut = fds[i].fd == out.read();
            char buffer[4096];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                // Read on past the cap, so that a talkative command does not block on a full pipe.
                QByteArray& into = isOut ? printed : complaint;
                const qsizetype cap = isOut ? kLargestAnswer : kLargestErrorOutput;
                into.append(buffer, qMin<qsizetype>(got, qMax<qsizetype>(0, cap - into.size())));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                (isOut ? outOpen : errOpen) = false;
            }
        }
    }

    int status = 0;
    bool ended = false;
    for (int pause = 1;; pause = qMin(pause * 2, 50)) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) {
            ended = r == pid;
            break;
        }
        if (Clock::now() >= deadline || cancelled())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    if (!ended) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        printed.fill('\0');
        if (cancelled())
            return Failed(QStringLiteral("OAuth token command %1 was stopped: the relay stops").arg(name));
        return Failed(QStringLiteral("OAuth token command %1 did not finish within %2 s and was stopped")
                          .arg(name).arg(limitMs / 1000.0));
    }

    // Its arguments, and what it printed, may be secrets that its complaint repeats.
    QString said = FirstLine(complaint);
    const qsizetype printedEnd = printed.indexOf('\n');
    const QByteArray firstLine = (printedEnd < 0 ? printed : printed.left(printedEnd)).trimmed();
    for (const QString& secret : parts.mid(1) + QStringList{QString::fromUtf8(firstLine)})
        if (secret.size() >= 3)
            said.replace(secret, QStringLiteral("[hidden]"));
    const QString saying = said.isEmpty() ? QString() : QStringLiteral(": ") + said;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        printed.fill('\0');
        const QString how = WIFEXITED(status) ? QStringLiteral("exit code %1").arg(WEXITSTATUS(status))
                                              : QStringLiteral("signal %1").arg(WTERMSIG(status));
        return Failed(QStringLiteral("OAuth token command %1 failed (%2)%3").arg(name, how, saying));
    }
    const qsizetype end = printed.indexOf('\n');
    Answer a;
    a.token = (end < 0 ? printed : printed.left(end)).trimmed();
    printed.fill('\0');
    if (a.token.isEmpty())
        return Failed(QStringLiteral("OAuth token command %1 printed no token%2").arg(name, saying));
    if (!UsableToken(a.token))
        return Failed(QStringLiteral("OAuth token command %1 printed a line that is no token (blanks or "
                                     "characters beyond ASCII)").arg(name));
    a.lifetimeSeconds = kCommandTokenSeconds;
    return a;
}

// A digest of every field that decides the token, so that changed settings take a new one.
QByteArray KeyOf(const OAuthLogin& login, const QString& caFile)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QString& part : {login.tokenUrl, login.clientId, login.clientSecret, login.scope, login.tokenCommand}) {
        const QByteArray bytes = part.toUtf8();
        hash.addData(QByteArray::number(bytes.size()) + ':');
        hash.addData(bytes);
    }
    return hash.result() + QCryptographicHash::hash(caFile.toUtf8(), QCryptographicHash::Sha256);
}

// The part of the key that the login's own fields make.
QByteArray LoginPart(const QByteArray& key)
{
    return key.left(32);
}

QString SourceName(const OAuthLogin& login)
{
    if (!login.tokenCommand.isEmpty()) {
        const QStringList parts = QProcess::splitCommand(login.tokenCommand);
        return QStringLiteral("the command %1").arg(parts.isEmpty() ? QString() : Clean(parts.first(), 200));
    }
    return EndpointName(login.tokenUrl);
}

// One login's token, and the last answer for those who waited for it.
struct Entry {
    QByteArray token;
    Clock::time_point renewAt;
    Clock::time_point expiresAt;
    // When a server last turned a token of this login down: a server that refuses every token
    // (a mailbox without SMTP logins) is not answered with a request for each mail.
    std::optional<Clock::time_point> refusedAt;
    quint64 answers = 0;
    OAuthToken last;
    QString logged; // the failure last logged, until a token comes again
};

} // namespace

struct OAuthTokens::Store {
    std::mutex mutex;
    std::condition_variable answered;
    std::map<QByteArray, std::shared_ptr<Entry>> entries;
    std::shared_ptr<Entry> asking; // the login a request is out for; one at a time
    quint64 requests = 0;
};

OAuthTokens::OAuthTokens() : store_(new Store) {}

OAuthTokens& OAuthTokens::Shared()
{
    static OAuthTokens tokens;
    return tokens;
}

void OAuthTokens::SetCommandTimeLimit(int milliseconds)
{
    commandTimeLimitMs = qMax(1, milliseconds);
}

OAuthToken OAuthTokens::Token(const OAuthLogin& login, const QString& caFile, DeliveryContext* context)
{
    if (!login.Enabled())
        return {{}, QStringLiteral("no OAuth token URL or command is set"), true};
    const QByteArray key = KeyOf(login, caFile);
    std::unique_lock lock(store_->mutex);
    std::shared_ptr<Entry> entry;
    for (;;) {
        std::shared_ptr<Entry>& slot = store_->entries[key];
        if (!slot)
            slot = std::make_shared<Entry>();
        entry = slot;
        if (!entry->token.isEmpty() && Clock::now() < entry->renewAt)
            return {entry->token, {}, false};
        if (!store_->asking)
            break;
        if (store_->asking == entry) {
            // Its answer, good or bad, is this caller's too: a failing endpoint is not asked
            // once for every session that waited.
            const quint64 seen = entry->answers;
            store_->answered.wait(lock, [&] { return entry->answers != seen; });
            return entry->last;
        }
        store_->answered.wait(lock, [&] { return !store_->asking; });
    }
    store_->asking = entry;
    ++store_->requests;
    lock.unlock();

    const auto started = Clock::now();
    Answer answer;
    try {
        answer = login.tokenCommand.isEmpty() ? AskEndpoint(login, caFile) : RunCommand(login);
    } catch (const std::exception& e) {
        answer = Failed(QStringLiteral("no OAuth token from %1: %2").arg(SourceName(login), QString::fromUtf8(e.what())));
    } catch (...) {
        // Those waiting must have an answer whatever happened.
        answer = Failed(QStringLiteral("no OAuth token from %1").arg(SourceName(login)));
    }

    lock.lock();
    OAuthToken result;
    QString logText;
    LogPriority priority = LogPriority::Info;
    if (!answer.token.isEmpty()) {
        entry->token = answer.token;
        // Counted from the moment it was asked for: the endpoint's clock ran from then at the latest.
        const qint64 lifeMs = answer.lifetimeSeconds * 1000;
        const qint64 marginMs = login.tokenCommand.isEmpty() ? qMin(lifeMs / 10, kLongestMargin * 1000) : 0;
        entry->renewAt = started + std::chrono::milliseconds(lifeMs - marginMs);
        entry->expiresAt = started + std::chrono::milliseconds(lifeMs);
        result.token = answer.token;
        if (!entry->logged.isEmpty() && context) {
            logText = QStringLiteral("OAuth tokens are obtained again from %1").arg(SourceName(login));
            entry->logged.clear();
        }
    } else {
        // A token not yet spent still serves; the endpoint is asked again a little later.
        if (!entry->token.isEmpty() && Clock::now() < entry->expiresAt) {
            result.token = entry->token;
            entry->renewAt = std::min(entry->expiresAt, Clock::now() + kRetryRenewal);
        } else {
            entry->token.clear();
        }
        result.failure = answer.failure;
        result.clientRefused = answer.clientRefused;
        if (context && answer.failure != entry->logged) {
            logText = answer.failure;
            priority = answer.clientRefused ? LogPriority::Error : LogPriority::Warning;
            entry->logged = answer.failure;
        }
    }
    entry->last = result;
    ++entry->answers;
    store_->asking.reset();
    lock.unlock();
    store_->answered.notify_all();
    if (!logText.isEmpty())
        context->AddLogText(logText, priority);
    return result;
}

void OAuthTokens::Refused(const OAuthLogin& login, const QByteArray& token)
{
    if (token.isEmpty())
        return;
    const QByteArray loginPart = LoginPart(KeyOf(login, {}));
    std::lock_guard lock(store_->mutex);
    // The authorities file is not known here: the token is dropped wherever this login holds it.
    // A newer token held instead stays.
    const auto now = Clock::now();
    for (auto& [key, entry] : store_->entries) {
        if (LoginPart(key) != loginPart || entry->token != token)
            continue;
        if (entry->refusedAt && now - *entry->refusedAt < kRefusalPause)
            continue;
        entry->refusedAt = now;
        entry->token.clear();
    }
}

quint64 OAuthTokens::Requests() const
{
    std::lock_guard lock(store_->mutex);
    return store_->requests;
}

void OAuthTokens::Forget()
{
    std::lock_guard lock(store_->mutex);
    store_->entries.clear();
}

} // namespace swn
