// Delivering through hosted smarthosts: several servers in order, the replies that mean "not now"
// whatever their code, the sessions kept open between mails and how they end, client
// certificates and token logins. Against the real SMTP server of the tests (aiosmtpd).
#include "FakeContext.h"
#include "MailDocBuilder.h"
#include "RawSmtp.h"
#include "SmtpSink.h"
#include "TokenEndpoint.h"
#include "Waits.h"

#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "delivery/smtp/OAuthTokens.h"
#include "delivery/smtp/SmtpSessions.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

using namespace swn;
using namespace swn::test;

namespace {

int SinkNumber(const SmtpSink& sink, const QString& name)
{
    const QStringList lines = sink.lines(name);
    return lines.isEmpty() ? 0 : lines.constFirst().trimmed().toInt();
}

// Sockets of this process to `port` that the server has closed and nobody has closed here.
int HalfClosedTo(quint16 port)
{
    int count = 0;
    for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (const QByteArray& line : lines) {
            const QList<QByteArray> f = line.simplified().split(' ');
            // remote address "ADDR:PORT" (hex), state 08 = CLOSE_WAIT
            if (f.size() > 3 && f[2].endsWith(':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0')) &&
                f[3] == "08")
                ++count;
        }
    }
    return count;
}

} // namespace

class SmarthostTest : public QObject {
    Q_OBJECT

    QTemporaryDir scratch;

    FakeContext contextFor(const QString& hosts, const SmtpSecurity& security = {})
    {
        return FakeContext::For(hosts, security);
    }
    DeliveryOutcome deliver(FakeContext& ctx, const QString& to = QStringLiteral("alice@example.org"),
                            DeliveryReport* report = nullptr)
    {
        QString list;
        MailDocBuilder doc;
        doc.to = {to};
        return DeliverXMLMailMsgViaCDO(ctx, doc.build(), list, report);
    }
    // Sends `count` mails from `threads` threads at once, each thread with its own context.
    int deliverAtOnce(const QString& hosts, int threads, int count)
    {
        std::atomic<int> delivered {0}, next {0};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&] {
                FakeContext ctx = contextFor(hosts);
                while (next.fetch_add(1) < count)
                    if (deliver(ctx) == DeliveryOutcome::Delivered)
                        ++delivered;
            });
        }
        for (std::thread& t : pool)
            t.join();
        return delivered;
    }

private Q_SLOTS:
    void initTestCase() { SetSmtpTimeouts(5, 5); }
    void init()
    {
        ForgetSmtpServerRests();
        ConfigureSmtpSessions({0, 5});
    }
    void cleanup() { FinishSmtpSessions(); }

    // A server that cannot be reached, or puts mail off, hands it to the next one; one that
    // refuses for good does not. The first server is tried first again once its rest ends.
    void fallbackServersInOrder()
    {
        SmtpSink second;
        QVERIFY(second.start());
        const quint16 firstPort = UnusedTcpPort();
        const QString hosts = QStringLiteral("127.0.0.1:%1, %2").arg(firstPort).arg(second.hostText());
        FakeContext ctx = contextFor(hosts);
        DeliveryReport report;
        QCOMPARE(deliver(ctx, QStringLiteral("alice@example.org"), &report), DeliveryOutcome::Delivered);
        QCOMPARE(report.server, second.hostText());
        QCOMPARE(second.count(), 1);
        QVERIFY(!RestingSmtpServers().isEmpty());

        // The first one rests: the next mails go straight to the second, without a try at the first.
        QCOMPARE(deliver(ctx), DeliveryOutcome::Delivered);
        QCOMPARE(second.count(), 2);

        SmtpSink first;
        QVERIFY(first.start(firstPort));
        ForgetSmtpServerRests();
        QCOMPARE(deliver(ctx, QStringLiteral("alice@example.org"), &report), DeliveryOutcome::Delivered);
        QCOMPARE(report.server, first.hostText());
        QCOMPARE(first.count(), 1);

        // Put off at the first (421 closes): the second takes it.
        first.setFaults({QStringLiteral("mail 421")});
        QCOMPARE(deliver(ctx, QStringLiteral("alice@example.org"), &report), DeliveryOutcome::Delivered);
        QCOMPARE(report.server, second.hostText());
        QCOMPARE(second.count(), 3);

        // Refused for good at the first: final, the second never sees it.
        ForgetSmtpServerRests();
        first.setFaults({});
        QCOMPARE(deliver(ctx, QStringLiteral("refused-bob@example.org"), &report), DeliveryOutcome::FailedPermanently);
        QCOMPARE(second.count(), 3);
        QCOMPARE(report.refused, QStringList{QStringLiteral("refused-bob@example.org")});
    }

    // Throttling and quota replies rest the server, whatever their code; the mail waits, it is not
    // failed. While the only server rests after a quota, mail is not even tried; a flush tries.
    void quotaRepliesRestTheServerNotTheMail_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<qint64>("atLeastMs");
        QTest::newRow("submission quota") << "enddata 554 5.2.0 STOREDRV.Submission.Exception:"
                                             "SubmissionQuotaExceededException; Failed to process message"
                                          << qint64(3600 * 1000 - 60000);
        QTest::newRow("daily quota") << "mail 550 5.4.5 Daily user sending quota exceeded."
                                     << qint64(3600 * 1000 - 60000);
        QTest::newRow("throttling") << "rcpt 421 4.7.0 Try again later, closing connection." << qint64(50000);
        QTest::newRow("throttling at DATA") << "data 451 4.7.500 Server busy. Please try again later."
                                            << qint64(50000);
    }
    void quotaRepliesRestTheServerNotTheMail()
    {
        QFETCH(QString, fault);
        QFETCH(qint64, atLeastMs);
        SmtpSink sink;
        QVERIFY(sink.start());
        sink.setFaults({fault});
        FakeContext ctx = contextFor(sink.hostText());
        DeliveryReport report;
        QCOMPARE(deliver(ctx, QStringLiteral("alice@example.org"), &report), DeliveryOutcome::ServerUnavailable);
        QCOMPARE(report.pending, QStringList{QStringLiteral("alice@example.org")});
        QVERIFY(report.refused.isEmpty());
        QVERIFY2(report.serverRestMs >= atLeastMs, qPrintable(QString::number(report.serverRestMs)));
        QCOMPARE(RestingSmtpServers().size(), 1);

        // Not tried while it rests: no new transaction reaches the server.
        const int transactions = sink.lines(QStringLiteral("transactions")).size();
        sink.setFaults({});
        QCOMPARE(deliver(ctx, QStringLiteral("alice@example.org"), &report), DeliveryOutcome::ServerUnavailable);
        QVERIFY(report.serverRestMs > 0);
        QCOMPARE(sink.lines(QStringLiteral("transactions")).size(), transactions);
        QCOMPARE(sink.count(), 0);

        ForgetSmtpServerRests();
        QCOMPARE(deliver(ctx), DeliveryOutcome::Delivered);
        QCOMPARE(sink.count(), 1);
    }

    // A session unused for SMTPIdleSeconds ends with QUIT; so does every session when the relay is
    // done with them; one the server closed is let go at once, not at its next use.
    void sessionsEndWithQuit()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        ConfigureSmtpSessions({0, 1});
        QCOMPARE(deliverAtOnce(sink.hostText(), 4, 12), 12);
        QVERIFY(sink.waitForCount(12));
        QVERIFY(QTest::qWaitFor([&] { return SinkNumber(sink, QStringLiteral("open_connections")) == 0; }, 10000));
        const QStringList ends = sink.lines(QStringLiteral("sessions_log"));
        QVERIFY(!ends.isEmpty());
        QVERIFY2(!ends.contains(QStringLiteral("noquit")), qPrintable(ends.join(QLatin1Char(','))));

        // Kept open for a minute, but the relay is done with them.
        ConfigureSmtpSessions({0, 60});
        QCOMPARE(deliverAtOnce(sink.hostText(), 3, 6), 6);
        QVERIFY(SinkNumber(sink, QStringLiteral("open_connections")) > 0);
        FinishSmtpSessions();
        // The server notes each end once the client has gone after the 221.
        QVERIFY(QTest::qWaitFor([&] { return SinkNumber(sink, QStringLiteral("open_connections")) == 0; }, 5000));
        QVERIFY(!sink.lines(QStringLiteral("sessions_log")).contains(QStringLiteral("noquit")));
    }

    // Sessions ended by a reload or a stop: those made afterwards carry one mail after another.
    void sessionsAfterAnEndAreKept()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        ConfigureSmtpSessions({0, 60});
        EndSmtpSessions();
        FakeContext ctx = contextFor(sink.hostText());
        for (int i = 0; i < 4; ++i)
            QCOMPARE(deliver(ctx), DeliveryOutcome::Delivered);
        FinishSmtpSessions();
        // The sink notes the count of open sessions before the end of each.
        QVERIFY(QTest::qWaitFor([&] { return SinkNumber(sink, QStringLiteral("open_connections")) == 0; }, 5000));
        QVERIFY(QTest::qWaitFor([&] { return !sink.lines(QStringLiteral("sessions_log")).isEmpty(); }, 5000));
        const QStringList ends = sink.lines(QStringLiteral("sessions_log"));
        QVERIFY2(ends == QStringList{QStringLiteral("quit")}, qPrintable(ends.join(QLatin1Char(','))));
    }

    // After a refusal too: every session a server saw ends with its QUIT.
    void refusedSessionsEndWithQuit_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::newRow("delivered") << QString();
        QTest::newRow("too large") << "enddata=552 5.3.4 Message size exceeds fixed limit";
        QTest::newRow("recipient refused") << "rcpt=550 5.1.1 No such user";
        QTest::newRow("sender refused") << "mail=553 5.7.1 Sender address rejected";
    }
    void refusedSessionsEndWithQuit()
    {
        QFETCH(QString, reply);
        RawSmtp raw;
        QVERIFY(raw.start(reply.isEmpty() ? QStringList() : QStringList{QStringLiteral("--reply"), reply}));
        ConfigureSmtpSessions({0, 60});
        FakeContext ctx = contextFor(raw.hostText());
        deliver(ctx);
        FinishSmtpSessions();
        QVERIFY(QTest::qWaitFor([&] { return !raw.sessions().isEmpty(); }, 5000));
        for (const QByteArray& session : raw.sessions())
            QVERIFY2(RawSmtp::Commands(session).constLast() == "QUIT", session.right(200).constData());
    }

    void serverClosedSessionIsLetGo()
    {
        SmtpSink sink;
        QVERIFY(sink.start(0, {QStringLiteral("--idle-timeout"), QStringLiteral("1")}));
        ConfigureSmtpSessions({0, 600});
        FakeContext ctx = contextFor(sink.hostText());
        QCOMPARE(deliver(ctx), DeliveryOutcome::Delivered);
        // The server's time-out closes the session: nothing of it is left half open here.
        QVERIFY(QTest::qWaitFor([&] { return SinkNumber(sink, QStringLiteral("open_connections")) == 0; }, 10000));
        QVERIFY(QTest::qWaitFor([&] { return HalfClosedTo(sink.port()) == 0; }, 5000));
        QCOMPARE(deliver(ctx), DeliveryOutcome::Delivered);
        QCOMPARE(sink.count(), 2);
    }

    // Never more sessions open at once than SMTPMaxConnections, however many mails go at once.
    void sessionLimitHolds()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        ConfigureSmtpSessions({2, 5});
        QCOMPARE(deliverAtOnce(sink.hostText(), 8, 24), 24);
        QCOMPARE(sink.count(), 24);
        QVERIFY2(SinkNumber(sink, QStringLiteral("max_connections")) <= 2,
                 qPrintable(sink.lines(QStringLiteral("max_connections")).join(QLatin1Char(','))));
    }

    // Password logins switched off: the relay logs in with a token from the endpoint, one token for
    // every session until it is spent or refused; an endpoint that is away keeps the mail.
    void tokenLogins()
    {
        TokenEndpoint endpoint;
        QVERIFY(endpoint.start());
        const QString cert = scratch.filePath(QStringLiteral("server.pem"));
        const QString key = scratch.filePath(QStringLiteral("server.key"));
        QVERIFY(MakeTestCertificate(cert, key));
        // One file of authorities for the mail server and the token endpoint.
        const QString bundle = scratch.filePath(QStringLiteral("authorities.pem"));
        {
            QFile out(bundle), a(cert), b(endpoint.caFile());
            QVERIFY(out.open(QIODevice::WriteOnly) && a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
            out.write(a.readAll() + '\n' + b.readAll());
        }
        SmtpSink sink;
        QVERIFY(sink.start(0, {QStringLiteral("--tls-cert"), cert, QStringLiteral("--tls-key"), key,
                               QStringLiteral("--require-starttls"), QStringLiteral("--oauth-tokens"),
                               endpoint.tokensFile(), QStringLiteral("--oauth-mechanisms"), QStringLiteral("XOAUTH2"),
                               QStringLiteral("--oauth-user"), QStringLiteral("tracker@example.org"),
                               QStringLiteral("--password-off")}));
        SmtpSecurity security;
        security.mode = SmtpSecurity::Mode::StartTls;
        security.caFile = bundle;
        security.user = QStringLiteral("tracker@example.org");
        security.oauth = endpoint.login();
        OAuthTokens& tokens = OAuthTokens::Shared();
        tokens.Forget();
        const auto requests = [&] { return endpoint.requests().size(); };

        std::atomic<int> delivered {0};
        std::vector<std::thread> threads;
        std::vector<FakeContext> contexts(4, contextFor(sink.hostText(), security));
        for (FakeContext& ctx : contexts)
            threads.emplace_back([&, c = &ctx] {
                for (int i = 0; i < 5; ++i)
                    delivered += deliver(*c) == DeliveryOutcome::Delivered;
            });
        for (std::thread& t : threads)
            t.join();
        QCOMPARE(delivered.load(), 20);
        QCOMPARE(requests(), 1);
        QVERIFY(!sink.lines(QStringLiteral("logins")).contains(QStringLiteral("refused")));

        // Revoked: the login is refused once, one new token, and the mail goes.
        QFile::remove(endpoint.tokensFile());
        EndSmtpSessions();
        FakeContext ctx = contextFor(sink.hostText(), security);
        QCOMPARE(deliver(ctx), DeliveryOutcome::Delivered);
        QCOMPARE(requests(), 2);

        // The endpoint away: the mail waits, nothing fails, the server does not rest for it.
        endpoint.setFaults({QStringLiteral("down")});
        tokens.Forget();
        EndSmtpSessions();
        DeliveryReport report;
        QCOMPARE(deliver(ctx, QStringLiteral("alice@example.org"), &report), DeliveryOutcome::ServerUnavailable);
        QCOMPARE(report.pending, QStringList{QStringLiteral("alice@example.org")});
        QVERIFY(RestingSmtpServers().isEmpty());
        endpoint.setFaults({});
        QCOMPARE(deliver(ctx), DeliveryOutcome::Delivered);
        QCOMPARE(sink.count(), 22);

        // A password login to such a server is told to need OAuth2, once.
        SmtpSecurity password = security;
        password.oauth = {};
        password.password = QStringLiteral("pw-Xy7");
        FakeContext old = contextFor(sink.hostText(), password);
        QVERIFY(deliver(old) != DeliveryOutcome::Delivered);
        QVERIFY(deliver(old) != DeliveryOutcome::Delivered);
        QCOMPARE(old.log.filter(QLatin1String("OAuth2")).size(), 1);

        // No token, secret or password in any line.
        QStringList secrets{QString::fromUtf8(TokenEndpoint::ClientSecret), password.password};
        for (const auto& [token, expiry] : endpoint.tokens())
            secrets << QString::fromUtf8(token);
        for (const FakeContext* c : {&ctx, &old, &contexts[0], &contexts[1], &contexts[2], &contexts[3]})
            for (const QString& line : c->log)
                for (const QString& secret : secrets)
                    QVERIFY2(!line.contains(secret), qPrintable(line));
    }

    // A server that takes only certified clients gets the mail from a client with the certificate;
    // a key that cannot be read is told before any session.
    void clientCertificate()
    {
        const QString serverCert = scratch.filePath(QStringLiteral("server.pem"));
        const QString serverKey = scratch.filePath(QStringLiteral("server.key"));
        const QString clientCert = scratch.filePath(QStringLiteral("client.pem"));
        const QString clientKey = scratch.filePath(QStringLiteral("client.key"));
        QVERIFY(MakeTestCertificate(serverCert, serverKey));
        QVERIFY(MakeTestCertificate(clientCert, clientKey));
        SmtpSink sink;
        QVERIFY(sink.start(0, {QStringLiteral("--tls-cert"), serverCert, QStringLiteral("--tls-key"), serverKey,
                               QStringLiteral("--require-client-cert"), clientCert}));
        SmtpSecurity security;
        security.mode = SmtpSecurity::Mode::StartTls;
        security.caFile = serverCert;
        FakeContext without = contextFor(sink.hostText(), security);
        QVERIFY(deliver(without) != DeliveryOutcome::Delivered);
        QCOMPARE(sink.count(), 0);

        security.clientCertFile = clientCert;
        security.clientKeyFile = clientKey;
        QVERIFY(SmtpClientCertificateProblem(security).isEmpty());
        FakeContext with = contextFor(sink.hostText(), security);
        QCOMPARE(deliver(with), DeliveryOutcome::Delivered);
        QCOMPARE(sink.count(), 1);

        security.clientKeyFile = scratch.filePath(QStringLiteral("missing.key"));
        QVERIFY(SmtpClientCertificateProblem(security).contains(QLatin1String("SMTPClientKeyFile")));
        security.mode = SmtpSecurity::Mode::None;
        QVERIFY(SmtpConfigurationProblem(sink.hostText(), security).contains(QLatin1String("SMTPClientCertFile")));
    }
};

QTEST_GUILESS_MAIN(SmarthostTest)
#include "test_smarthost.moc"
