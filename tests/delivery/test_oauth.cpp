// OAuth2 tokens for the SMTP login, from a real HTTPS token endpoint (token_endpoint.py) and from
// commands run without a shell; and the test SMTP server's bearer logins, driven by the real curl.
#include "FakeContext.h"
#include "SmtpSink.h"
#include "TokenEndpoint.h"

#include "delivery/smtp/OAuthTokens.h"
#include "delivery/smtp/SmtpTimeouts.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

#include <mutex>
#include <thread>

using namespace swn;
using namespace swn::test;

namespace {

// Workers log from their own threads.
class SharedContext : public FakeContext {
public:
    void AddLogText(const QString& message, LogPriority priority = LogPriority::Info) override
    {
        std::lock_guard lock(mutex_);
        FakeContext::AddLogText(message, priority);
    }

private:
    std::mutex mutex_;
};

// Runs `work(i)` on `n` threads at once and waits for all of them.
template <typename Work>
void OnThreads(int n, Work work)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&work, i] { work(i); });
    for (std::thread& t : threads)
        t.join();
}

bool WriteScript(const QString& path, const QByteArray& text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write("#!/bin/sh\n" + text);
    f.close();
    return f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Gone, or only a zombie waiting for its parent.
bool ProcessEnded(const QByteArray& pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(pid.trimmed())));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close > 0 && text.mid(close + 2, 1) == "Z";
}

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class OAuthTest : public QObject {
    Q_OBJECT
    QTemporaryDir scratch;
    TokenEndpoint endpoint;
    OAuthTokens& tokens = OAuthTokens::Shared();
    QList<QByteArray> seenTokens; // every token handed out, none of which may be logged

    OAuthToken take(DeliveryContext* ctx, const OAuthLogin& login, const QString& caFile)
    {
        OAuthToken t = tokens.Token(login, caFile, ctx);
        if (!t.token.isEmpty())
            seenTokens << t.token;
        return t;
    }
    OAuthToken take(DeliveryContext* ctx) { return take(ctx, endpoint.login(), endpoint.caFile()); }

    // Neither the client secret nor a token ever reaches the log.
    bool logIsClean(const FakeContext& ctx)
    {
        for (const QString& line : ctx.log) {
            if (line.contains(QString::fromUtf8(TokenEndpoint::ClientSecret)) || line.contains(QLatin1String("s3cr3t")))
                return false;
            for (const QByteArray& t : seenTokens + tokenList())
                if (line.contains(QString::fromUtf8(t)))
                    return false;
        }
        return true;
    }
    QList<QByteArray> tokenList() const
    {
        QList<QByteArray> list;
        for (const auto& [token, expiry] : endpoint.tokens())
            list << token;
        return list;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(endpoint.start()); }

    void cleanup()
    {
        endpoint.setFaults({});
        tokens.Forget();
        OAuthTokens::SetCommandTimeLimit(30000);
    }

    void sessionsShareOneRequest()
    {
        SharedContext ctx;
        const quint64 before = tokens.Requests();
        const qsizetype answered = endpoint.requests().size();
        // The answer is slow, so the callers pile up behind the one request.
        endpoint.setFaults({QStringLiteral("slow 0.5")});
        std::vector<OAuthToken> got(20);
        OnThreads(20, [&](int i) { got[i] = tokens.Token(endpoint.login(), endpoint.caFile(), &ctx); });
        QCOMPARE(tokens.Requests() - before, 1u);
        QCOMPARE(endpoint.requests().mid(answered), QStringList{QStringLiteral("200")});
        const QByteArray first = got[0].token;
        seenTokens << first;
        QVERIFY(first.startsWith("tok-"));
        for (const OAuthToken& t : got) {
            QCOMPARE(t.token, first);
            QVERIFY(t.failure.isEmpty());
        }
        QVERIFY(tokenList().contains(first));
        endpoint.setFaults({});

        // Eight sessions refused with that token: one new request, and all take the new token.
        OnThreads(8, [&](int i) {
            tokens.Refused(endpoint.login(), first);
            got[i] = tokens.Token(endpoint.login(), endpoint.caFile(), &ctx);
        });
        QCOMPARE(tokens.Requests() - before, 2u);
        const QByteArray second = got[0].token;
        seenTokens << second;
        QVERIFY(!second.isEmpty() && second != first);
        for (int i = 0; i < 8; ++i)
            QCOMPARE(got[i].token, second);
        // A late refusal of the old token leaves the new one held.
        tokens.Refused(endpoint.login(), first);
        QCOMPARE(take(&ctx).token, second);
        QCOMPARE(tokens.Requests() - before, 2u);

        // Changed settings take a token of their own.
        const QString otherCa = scratch.filePath(QStringLiteral("same-authority.pem"));
        QVERIFY(QFile::copy(endpoint.caFile(), otherCa));
        const QByteArray third = take(&ctx, endpoint.login(), otherCa).token;
        QVERIFY(!third.isEmpty() && third != second);
        QCOMPARE(tokens.Requests() - before, 3u);
        QCOMPARE(take(&ctx).token, second);
        QVERIFY(ctx.log.isEmpty());
    }

    void nearlySpentTokenIsRenewed()
    {
        FakeContext ctx;
        // A lifetime of three seconds, sent as a string: renewed once 2.7 s have gone.
        endpoint.setFaults({QStringLiteral("lifetime '3'")});
        const quint64 before = tokens.Requests();
        QElapsedTimer clock;
        clock.start();
        const QByteArray first = take(&ctx).token;
        QVERIFY(!first.isEmpty());
        QCOMPARE(take(&ctx).token, first);
        QCOMPARE(tokens.Requests() - before, 1u);
        QByteArray renewed;
        QVERIFY(QTest::qWaitFor([&] { return (renewed = take(&ctx).token) != first; }, 15000));
        QVERIFY(!renewed.isEmpty());
        QVERIFY2(clock.elapsed() >= 2700, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(tokens.Requests() - before, 2u);

        // Without expires_in a token is taken to last an hour.
        endpoint.setFaults({QStringLiteral("lifetime none")});
        tokens.Forget();
        const QByteArray lasting = take(&ctx).token;
        QCOMPARE(take(&ctx).token, lasting);
        QCOMPARE(tokens.Requests() - before, 3u);
        QVERIFY(ctx.log.isEmpty());
    }

    void endpointTroubleIsTemporaryAndLoggedOnce()
    {
        FakeContext ctx;
        const quint64 before = tokens.Requests();
        // Down: nothing listens on its port.
        endpoint.stop();
        for (int i = 0; i < 2; ++i) {
            const OAuthToken t = take(&ctx);
            QVERIFY(t.token.isEmpty());
            QVERIFY(!t.clientRefused);
            QVERIFY2(t.failure.contains(endpoint.url()), qPrintable(t.failure));
        }
        QCOMPARE(tokens.Requests() - before, 2u); // a failure is not held
        QCOMPARE(ctx.log.size(), 1);
        QCOMPARE(ctx.priorities[0], LogPriority::Warning);
        QVERIFY(ctx.log[0].contains(QLatin1String("could not be asked")));

        // Back on the same port: one line says so.
        QVERIFY(endpoint.start());
        QVERIFY(!take(&ctx).token.isEmpty());
        QCOMPARE(ctx.log.size(), 2);
        QCOMPARE(ctx.priorities[1], LogPriority::Info);
        QCOMPARE(ctx.log[1], QStringLiteral("OAuth tokens are obtained again from %1").arg(endpoint.url()));

        // Each kind of trouble is a line of its own, once.
        const struct {
            const char* fault;
            const char* text;
        } troubles[] = {
            {"status 503", "answered HTTP 503: temporarily_unavailable"},
            {"down", "could not be asked"},
            {"body this is no JSON", "without a usable access_token"},
            {"body {\"access_token\": \"two words\"}", "without a usable access_token"},
            {"big 70000", "more than 64 KiB"},
        };
        for (const auto& trouble : troubles) {
            tokens.Forget();
            endpoint.setFaults({QString::fromUtf8(trouble.fault)});
            const qsizetype lines = ctx.log.size();
            for (int i = 0; i < 2; ++i) {
                const OAuthToken t = take(&ctx);
                QVERIFY(t.token.isEmpty());
                QVERIFY(!t.clientRefused);
                QVERIFY2(t.failure.contains(QLatin1String(trouble.text)), qPrintable(t.failure));
            }
            QVERIFY2(ctx.log.size() == lines + 1, qPrintable(ctx.joinedLog()));
            QCOMPARE(ctx.priorities.last(), LogPriority::Warning);
        }
        QVERIFY(logIsClean(ctx));
    }

    void refusedClientMustChangeItsSettings()
    {
        FakeContext ctx;
        // The endpoint's description repeats the secret; it is not passed on.
        endpoint.setFaults({QStringLiteral("refuse invalid_client Client secret %1 has expired\x01 since May")
                                .arg(QString::fromUtf8(TokenEndpoint::ClientSecret))});
        OAuthToken t = take(&ctx);
        QVERIFY(t.token.isEmpty());
        QVERIFY(t.clientRefused);
        QVERIFY2(t.failure.contains(QLatin1String("invalid_client")) && t.failure.contains(QLatin1String("has expired")),
                 qPrintable(t.failure));
        QVERIFY(t.failure.contains(QLatin1String("since May")));
        QCOMPARE(ctx.log.size(), 1);
        QCOMPARE(ctx.priorities[0], LogPriority::Error);
        QCOMPARE(ctx.log[0], t.failure);
        endpoint.setFaults({});

        // The endpoint's own checks: a wrong secret, a scope it does not grant.
        OAuthLogin wrong = endpoint.login();
        wrong.clientSecret = QStringLiteral("s3cr3t-wrong");
        t = take(&ctx, wrong, endpoint.caFile());
        QVERIFY(t.clientRefused);
        QVERIFY2(t.failure.contains(QLatin1String("(HTTP 401): invalid_client: Client authentication failed")),
                 qPrintable(t.failure));
        wrong = endpoint.login();
        wrong.scope = QStringLiteral("everything");
        t = take(&ctx, wrong, endpoint.caFile());
        QVERIFY(t.clientRefused);
        QVERIFY(t.failure.contains(QLatin1String("invalid_scope")));
        QCOMPARE(ctx.log.size(), 3);
        QCOMPARE(ctx.priorities, (QList<LogPriority>{LogPriority::Error, LogPriority::Error, LogPriority::Error}));
        QVERIFY(logIsClean(ctx));
    }

    void onlyTrustedHttpsEndpointsAreAsked()
    {
        FakeContext ctx;
        const int answered = int(endpoint.requests().size());
        // Its certificate is its own: neither the system's authorities nor another's vouch for it.
        const QString stranger = scratch.filePath(QStringLiteral("stranger.pem"));
        QVERIFY(MakeTestCertificate(stranger, scratch.filePath(QStringLiteral("stranger.key"))));
        for (const QString& ca : {QString(), stranger}) {
            const OAuthToken t = take(&ctx, endpoint.login(), ca);
            QVERIFY(t.token.isEmpty());
            QVERIFY(!t.clientRefused);
            QVERIFY2(t.failure.contains(QLatin1String("certificate")), qPrintable(t.failure));
        }
        QCOMPARE(endpoint.requests().size(), answered);

        // Plain HTTP is never tried, nor any other scheme.
        QTcpServer plain;
        QVERIFY(plain.listen(QHostAddress::LocalHost));
        OAuthLogin login = endpoint.login();
        for (const QString& url : {QStringLiteral("http://127.0.0.1:%1/token?key=%2").arg(plain.serverPort()).arg(QLatin1String("s3cr3t-in-query")),
                                   QStringLiteral("ftp://127.0.0.1:%1/token").arg(plain.serverPort())}) {
            login.tokenUrl = url;
            const OAuthToken t = take(&ctx, login, endpoint.caFile());
            QVERIFY(t.token.isEmpty());
            QVERIFY2(t.failure.contains(QLatin1String("only https://")), qPrintable(t.failure));
            QVERIFY(!t.failure.contains(QLatin1String("s3cr3t")));
        }
        // Token() has returned: a connection it had made would be waiting now.
        QVERIFY(!plain.waitForNewConnection(0));
        QVERIFY(logIsClean(ctx));
    }

    void tokenCommandsRunWithoutAShell()
    {
        FakeContext ctx;
        const quint64 before = tokens.Requests();
        const QString args = scratch.filePath(QStringLiteral("args.sh"));
        QVERIFY(WriteScript(args, "for a in \"$@\"; do echo \"$a\"; done > \"$0.args\"\necho \"cmd-token-$#\"\necho second line\n"));
        OAuthLogin login;
        login.tokenCommand = QStringLiteral("%1 \"two words\" \"$HOME;true\" plain").arg(args);
        const OAuthToken t = take(&ctx, login, {});
        QCOMPARE(t.token, QByteArray("cmd-token-3"));
        QCOMPARE(ReadAll(args + QStringLiteral(".args")), QByteArray("two words\n$HOME;true\nplain\n"));
        // Held: the command is not run for every session.
        QCOMPARE(take(&ctx, login, {}).token, QByteArray("cmd-token-3"));
        QCOMPARE(tokens.Requests() - before, 1u);

        // Failures: an exit code, nothing printed, a program that is not there, a hang.
        const QString failing = scratch.filePath(QStringLiteral("failing.sh"));
        QVERIFY(WriteScript(failing, "echo cmd-token-unused\nprintf 'no credentials\\033[31m here\\n' >&2\nexit 3\n"));
        const QString silent = scratch.filePath(QStringLiteral("silent.sh"));
        QVERIFY(WriteScript(silent, "echo\necho cmd-token-late\n"));
        const QString hanging = scratch.filePath(QStringLiteral("hanging.sh"));
        const QString pids = scratch.filePath(QStringLiteral("hanging.pids"));
        QVERIFY(WriteScript(hanging, QStringLiteral("sleep 120 &\necho $! $$ > %1\nwait\n").arg(pids).toUtf8()));
        OAuthTokens::SetCommandTimeLimit(1000);
        const struct {
            QString command;
            const char* text;
        } failures[] = {
            {failing, "failed (exit code 3): no credentials [31m here"},
            {silent, "printed no token"},
            {scratch.filePath(QStringLiteral("absent.sh")), "not started"},
            {hanging, "did not finish within 1 s and was stopped"},
        };
        for (const auto& f : failures) {
            login.tokenCommand = f.command;
            const qsizetype lines = ctx.log.size();
            const OAuthToken failed = take(&ctx, login, {});
            QVERIFY(failed.token.isEmpty());
            QVERIFY(!failed.clientRefused);
            QVERIFY2(failed.failure.contains(QLatin1String(f.text)) && failed.failure.contains(f.command),
                     qPrintable(failed.failure));
            QCOMPARE(ctx.log.size(), lines + 1);
            QCOMPARE(ctx.priorities.last(), LogPriority::Warning);
        }
        // The hanging command and what it started were stopped.
        const QList<QByteArray> hung = ReadAll(pids).trimmed().split(' ');
        QCOMPARE(hung.size(), 2);
        QVERIFY(QTest::qWaitFor([&] { return ProcessEnded(hung[0]) && ProcessEnded(hung[1]); }, 10000));
        QVERIFY(!ctx.joinedLog().contains(QLatin1String("cmd-token")));
        QVERIFY(logIsClean(ctx));
    }

    // A relay that ends does not wait out a slow endpoint or a hanging command; what asks after
    // the end is answered as before.
    void relayEndCutsTokenRequestsShort()
    {
        SharedContext ctx;
        const QString hanging = scratch.filePath(QStringLiteral("hangs.sh"));
        const QString pid = scratch.filePath(QStringLiteral("hangs.pid"));
        QVERIFY(WriteScript(hanging, QStringLiteral("echo $$ > %1\nexec sleep 120\n").arg(pid).toUtf8()));
        OAuthLogin command;
        command.tokenCommand = hanging;
        endpoint.setFaults({QStringLiteral("slow 20")});
        for (const OAuthLogin& login : {endpoint.login(), command}) {
            std::atomic<bool> done {false};
            OAuthToken got;
            QElapsedTimer clock;
            clock.start();
            std::thread asking([&] {
                got = tokens.Token(login, login.tokenCommand.isEmpty() ? endpoint.caFile() : QString(), &ctx);
                done = true;
            });
            // Again and again: the request may begin after the first end is called.
            while (!done && clock.elapsed() < 15000) {
                QTest::qWait(100);
                CancelSmtpTransfers();
            }
            asking.join();
            QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
            QVERIFY(got.token.isEmpty());
            QVERIFY2(got.failure.contains(QLatin1String("the relay stops")), qPrintable(got.failure));
        }
        QVERIFY(QTest::qWaitFor([&] { return ProcessEnded(ReadAll(pid)); }, 5000));
        endpoint.setFaults({});
        tokens.Forget();
        QVERIFY(!take(&ctx).token.isEmpty());
        QVERIFY(logIsClean(ctx));
    }

    // What the relay's SMTP tests lean on: the server takes the bearer logins libcurl makes,
    // refuses spent tokens and passwords, and names the client's certificate.
    void sinkTakesBearerLogins()
    {
        const QString ca = scratch.filePath(QStringLiteral("ca.pem")), caKey = scratch.filePath(QStringLiteral("ca.key"));
        const QString cert = scratch.filePath(QStringLiteral("client.pem")), key = scratch.filePath(QStringLiteral("client.key"));
        QVERIFY(MakeTestAuthority(ca, caKey));
        QVERIFY(MakeSignedCertificate(ca, caKey, QStringLiteral("relay-client"), cert, key));
        const QString server = scratch.filePath(QStringLiteral("server.pem")), serverKey = scratch.filePath(QStringLiteral("server.key"));
        QVERIFY(MakeTestCertificate(server, serverKey));
        const QString tokenFile = scratch.filePath(QStringLiteral("bearer-tokens"));
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        QFile f(tokenFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("live-token %1\nspent-token %2\n").arg(now + 600).arg(now - 1).toUtf8());
        f.close();

        SmtpSink sink;
        auto sessionsEnded = [&](int n) {
            return QTest::qWaitFor([&] { return sink.lines(QStringLiteral("sessions_log")).size() == n; }, 10000);
        };
        auto send = [&](const QStringList& login, QByteArray* trace = nullptr) {
            QProcess curl;
            curl.start(QStringLiteral("curl"),
                       QStringList{"-sS", "-v", "--ssl-reqd", "--cacert", server, "--cert", cert, "--key", key,
                                   QStringLiteral("smtp://127.0.0.1:%1").arg(sink.port()), "--mail-from",
                                   "a@example.org", "--mail-rcpt", "b@example.org", "-T", "-"} + login);
            curl.write("Subject: bearer\r\n\r\nbody\r\n");
            curl.closeWriteChannel();
            curl.waitForFinished(30000);
            if (trace)
                *trace = curl.readAllStandardError();
            return curl.exitCode();
        };
        for (const QString& mechanisms : {QStringLiteral("XOAUTH2"), QStringLiteral("XOAUTH2,OAUTHBEARER")}) {
            QVERIFY(sink.start(0, {"--tls-cert", server, "--tls-key", serverKey, "--require-client-cert", ca,
                                   "--oauth-tokens", tokenFile, "--oauth-mechanisms", mechanisms,
                                   "--oauth-user", "user@example.org", "--password-off"}));
            QCOMPARE(send({"-u", "user@example.org:", "--oauth2-bearer", "live-token"}), 0);
            QByteArray trace;
            QVERIFY(send({"-u", "user@example.org:", "--oauth2-bearer", "spent-token"}, &trace) != 0);
            // libcurl gives up on XOAUTH2's challenge; it answers OAUTHBEARER's and is told 535.
            QVERIFY2(trace.contains("\n< 334 eyJ"), trace.constData());
            QCOMPARE(trace.contains("535 5.7.3 Authentication unsuccessful"), mechanisms.contains(QLatin1String("OAUTHBEARER")));
            QVERIFY(send({"-u", "someone@example.org:", "--oauth2-bearer", "live-token"}) != 0);
            QVERIFY(send({"-u", "user@example.org:password"}, &trace) != 0);
            QVERIFY2(trace.contains("535 5.7.139 Authentication unsuccessful, basic authentication is disabled."),
                     trace.constData());
            QVERIFY(sessionsEnded(mechanisms.contains(QLatin1String("OAUTHBEARER")) ? 8 : 4));
        }
        const QStringList oneRun{"ok user@example.org", "refused", "refused"};
        QCOMPARE(sink.lines(QStringLiteral("logins")), oneRun + oneRun);
        const QList<ReceivedMail> mails = sink.messages();
        QCOMPARE(mails.size(), 2);
        for (const ReceivedMail& mail : mails) {
            QCOMPARE(mail.authUser, QStringLiteral("user@example.org"));
            QCOMPARE(mail.clientCert, QStringLiteral("relay-client"));
        }
        // Every session ended, the delivered ones with QUIT; no certificate, no TLS.
        QCOMPARE(sink.lines(QStringLiteral("sessions_log")).first(), QStringLiteral("quit"));
        QCOMPARE(sink.lines(QStringLiteral("open_connections")), QStringList{QStringLiteral("0")});
        QCOMPARE(sink.lines(QStringLiteral("max_connections")), QStringList{QStringLiteral("1")});
        QProcess curl;
        curl.start(QStringLiteral("curl"), {"-sS", "--ssl-reqd", "--cacert", server, QStringLiteral("smtp://127.0.0.1:%1").arg(sink.port()),
                                            "--mail-from", "a@example.org", "--mail-rcpt", "b@example.org", "-T", "/dev/null"});
        QVERIFY(curl.waitForFinished(30000));
        QVERIFY(curl.exitCode() != 0);
        QCOMPARE(sink.count(), 2);
    }
};

QTEST_GUILESS_MAIN(OAuthTest)
#include "test_oauth.moc"
