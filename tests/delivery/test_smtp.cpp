// The SMTP exchange as servers see it: every byte the relay sends is recorded by a scripted
// server (raw_smtp.py) or checked by a real one (aiosmtpd).
#include "FakeContext.h"
#include "MailDocBuilder.h"
#include "RawSmtp.h"
#include "SmtpSink.h"

#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "delivery/MimeComposer.h"
#include "delivery/Transport.h"

#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <clocale>
#include <thread>

using namespace swn;
using namespace swn::test;

namespace {

DeliveryRequest DocumentRequest(const QByteArray& document)
{
    DeliveryRequest request;
    request.document = document;
    return request;
}

class BytesMessage : public ComposedMessage {
public:
    explicit BytesMessage(QByteArray bytes) : bytes_(std::move(bytes)) {}
    qint64 read(char* buffer, qint64 size) override
    {
        const qint64 n = qMin(size, bytes_.size() - at_);
        std::memcpy(buffer, bytes_.constData() + at_, size_t(n));
        at_ += n;
        return n;
    }
    qint64 size() const override { return bytes_.size(); }
    bool rewind() override { return !(at_ = 0); }

private:
    QByteArray bytes_;
    qint64 at_ = 0;
};

// Why the bytes are not fit for the wire: a CR or LF outside a CRLF, or a line over 998 octets.
QString WireFault(const QByteArray& data)
{
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < data.size(); ++i) {
        const bool crlf = data[i] == '\r' && i + 1 < data.size() && data[i + 1] == '\n';
        if ((data[i] == '\r' && !crlf) || (data[i] == '\n' && (i == 0 || data[i - 1] != '\r')))
            return QStringLiteral("bare CR or LF at %1: %2").arg(i).arg(QString::fromLatin1(data.mid(i - 20, 40)));
        if (crlf || i + 1 == data.size()) {
            if (i - lineStart > 998)
                return QStringLiteral("line of %1 octets: %2")
                    .arg(i - lineStart)
                    .arg(QString::fromLatin1(data.mid(lineStart, 60)));
            lineStart = i + 2;
        }
    }
    return {};
}

QByteArray CommandsOf(const QByteArray& session)
{
    return RawSmtp::Commands(session).join('\n');
}

} // namespace

class SmtpTest : public QObject {
    Q_OBJECT
    QTemporaryDir scratch;

    FakeContext contextFor(const QString& host, const SmtpSecurity& security = {})
    {
        return FakeContext::For(host, security);
    }
    DeliveryOutcome deliver(FakeContext& ctx, const MailDocBuilder& doc, DeliveryReport* report = nullptr)
    {
        QString list;
        return DeliverXMLMailMsgViaCDO(ctx, doc.build(), list, report);
    }
    QString failures(const FakeContext& ctx, LogPriority priority) const
    {
        QStringList lines;
        for (qsizetype i = 0; i < ctx.log.size(); ++i)
            if (ctx.priorities[i] == priority)
                lines << ctx.log[i];
        return lines.join(QLatin1Char('\n'));
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The waits the program keeps are RFC 5321's.
        const SmtpTimeouts shipped = CurrentSmtpTimeouts();
        QCOMPARE(shipped, (SmtpTimeouts{30, 300, 300, 300, 120, 180, 600}));
        QCOMPARE(shipped, SmtpTimeouts{});
        SetSmtpTimeouts(5, 5);
        QCOMPARE(CurrentSmtpTimeouts(), (SmtpTimeouts{5, 5, 5, 5, 5, 5, 5}));
        QVERIFY(MakeTestCertificate(scratch.filePath("server.pem"), scratch.filePath("server.key")));
    }

    void cleanup() { SetSmtpTimeouts(5, 5); }

    void onlyCrlfLinesReachTheWire()
    {
        RawSmtp raw;
        QVERIFY(raw.start());
        FakeContext ctx = contextFor(raw.hostText());
        // Bodies with character references for CR and LF, plain and HTML, long lines and parts.
        QList<MailDocBuilder> docs(4);
        docs[0].body = QStringLiteral("one\rtwo\nthree\r\n.\rfour\n.\nfive\r");
        docs[1].contentType = QStringLiteral("text/html");
        docs[1].body = QStringLiteral("<p>a\rb</p>\n.\r<p>\rc</p>");
        docs[2].body = QString(3000, QLatin1Char('x')) + QStringLiteral("\n") + QString(1500, QChar(0x00E9));
        docs[2].subject = QString(400, QLatin1Char('s'));
        docs[2].attachments = {{"data.bin", QByteArray(5000, '\n')}, {"notes.txt", "a\rb\nc"}};
        docs[3].contentType = QStringLiteral("text/html");
        docs[3].body = QStringLiteral("<img src=\"logo.png\">") + QString(2000, QLatin1Char('y'));
        docs[3].attachments = {{"logo.png", QByteArray(3000, '\r')}};
        for (const MailDocBuilder& doc : docs)
            QVERIFY2(deliver(ctx, doc) == DeliveryOutcome::Delivered, qPrintable(ctx.joinedLog()));

        // What the composer hands over unrepaired is repaired on the way out; lines that start
        // with "." are doubled.
        BytesMessage bare("Subject: bare\r\n\r\nlone\rcr\nlf\r\n.dot\n.\r\r\nend\r");
        const SmtpSendResult sent =
            SendSmtp(ParseSmtpServerText(raw.hostText()), "tracker@example.org", {"alice@example.org"}, bare);
        QVERIFY2(sent.sent, qPrintable(sent.errorText));

        const QList<QByteArray> sessions = raw.sessions();
        QCOMPARE(sessions.size(), 1); // one connection kept for all
        const QList<QByteArray> data = RawSmtp::MessageData(sessions[0]);
        QCOMPARE(data.size(), docs.size() + 1);
        QCOMPARE(raw.accepted(), docs.size() + 1);
        for (const QByteArray& message : data)
            QVERIFY2(WireFault(message + "\r\n").isEmpty(), qPrintable(WireFault(message + "\r\n")));
        QCOMPARE(data.last(), QByteArray("Subject: bare\r\n\r\nlone\r\ncr\r\nlf\r\n..dot\r\n..\r\n\r\nend"));
    }

    void ehloNamesTheHostFully()
    {
        // Without a name of its own the host gives the address it connects from, never a bare label.
        const QByteArray own = HostDomain();
        const bool hasDomain = own != "localhost.localdomain" && !own.startsWith("localhost.");
        RawSmtp v4, v6;
        QVERIFY(v4.start());
        QVERIFY(v6.start({"--host", "::1"}));
        FakeContext ctx = contextFor(v4.hostText());
        QCOMPARE(deliver(ctx, MailDocBuilder()), DeliveryOutcome::Delivered);
        ctx.smtpHost = v6.hostText();
        QCOMPARE(deliver(ctx, MailDocBuilder()), DeliveryOutcome::Delivered);
        // The configured name wins; it takes a connection of its own.
        ctx.smtpHost = v4.hostText();
        ctx.security.heloName = QStringLiteral("relay.example.org");
        QCOMPARE(deliver(ctx, MailDocBuilder()), DeliveryOutcome::Delivered);
        ctx.security.heloName = QStringLiteral("[192.0.2.7]");
        QCOMPARE(deliver(ctx, MailDocBuilder()), DeliveryOutcome::Delivered);

        const QList<QByteArray> sessions = v4.sessions() + v6.sessions();
        QCOMPARE(sessions.size(), 4);
        QCOMPARE(RawSmtp::Commands(sessions[0]).first(), "EHLO " + (hasDomain ? own : QByteArray("[127.0.0.1]")));
        QCOMPARE(RawSmtp::Commands(sessions[1]).first(), "EHLO relay.example.org");
        QCOMPARE(RawSmtp::Commands(sessions[2]).first(), "EHLO [192.0.2.7]");
        QCOMPARE(RawSmtp::Commands(sessions[3]).first(), "EHLO " + (hasDomain ? own : QByteArray("[IPv6:::1]")));
    }

    void tooLargeFailsForGoodAtOnce()
    {
        struct Case {
            QStringList server;
            QString logged;
        };
        const QList<Case> cases{
            {{"--ehlo", "SIZE 1000"}, "(SIZE 1000)"},
            {{"--reply", "mail=552 5.3.4 Message size exceeds fixed maximum message size"}, "552 5.3.4"},
            {{"--reply", "mail=554 5.3.4 Message too big for system"}, "554 5.3.4"},
            {{"--reply", "enddata=552 Too much mail data"}, "(reply to the end of the message data)"},
        };
        MailDocBuilder big;
        big.to = {"alice@example.org", "bob@example.org"};
        big.body = QString(3000, QLatin1Char('b'));
        for (const Case& c : cases) {
            RawSmtp raw;
            QVERIFY(raw.start(c.server));
            FakeContext ctx = contextFor(raw.hostText());
            DeliveryReport report;
            QCOMPARE(deliver(ctx, big, &report), DeliveryOutcome::FailedPermanently);
            QCOMPARE(report.refused, big.to);
            QVERIFY(report.pending.isEmpty());
            QVERIFY2(report.reason.contains(c.logged), qPrintable(report.reason));
            const QString errors = failures(ctx, LogPriority::Error);
            QVERIFY2(errors.startsWith(QStringLiteral("Send Failed:")) && errors.contains(c.logged),
                     qPrintable(ctx.joinedLog()));
            QCOMPARE(raw.accepted(), 0);
            // A mail the server announced it would not take never reaches MAIL FROM.
            if (c.server.contains(QStringLiteral("SIZE 1000")))
                QVERIFY2(!CommandsOf(raw.sessions().value(0)).contains("MAIL FROM"),
                         raw.sessions().value(0).constData());
            // The server is fine for mail it takes.
            QCOMPARE(deliver(ctx, MailDocBuilder()), c.server.contains(QStringLiteral("SIZE 1000"))
                                                         ? DeliveryOutcome::Delivered
                                                         : DeliveryOutcome::FailedPermanently);
        }
    }

    void eachWaitIsItsOwn()
    {
        // Connecting has its own limit, and it does not cut the greeting short.
        RawSmtp stalled, slowGreeting;
        QVERIFY(stalled.start({"--stall"}));
        QVERIFY(slowGreeting.start({"--delay", "greeting=2"}));
        SetSmtpTimeouts(SmtpTimeouts{1, 4, 1, 1, 1, 1, 1});
        FakeContext ctx = contextFor(stalled.hostText());
        DeliveryReport report;
        QCOMPARE(deliver(ctx, MailDocBuilder(), &report), DeliveryOutcome::ServerUnavailable);
        QVERIFY2(report.reason.contains(QStringLiteral("no connection within 1 seconds")), qPrintable(report.reason));
        ctx.smtpHost = slowGreeting.hostText();
        QVERIFY2(deliver(ctx, MailDocBuilder()) == DeliveryOutcome::Delivered, qPrintable(ctx.joinedLog()));

        // The reply to the final "." has its own wait, longer than the server's delay while every
        // other wait is shorter.
        RawSmtp raw;
        QVERIFY(raw.start({"--delay", "enddata=3"}));
        ctx.smtpHost = raw.hostText();
        SetSmtpTimeouts(SmtpTimeouts{5, 2, 2, 2, 2, 2, 8});
        QCOMPARE(deliver(ctx, MailDocBuilder()), DeliveryOutcome::Delivered);
        QCOMPARE(raw.accepted(), 1);

        // Given up on, the mail is kept; the connection is closed, and the next mail takes a new one.
        SetSmtpTimeouts(SmtpTimeouts{5, 2, 2, 2, 2, 2, 1});
        QCOMPARE(deliver(ctx, MailDocBuilder(), &report), DeliveryOutcome::ServerUnavailable);
        QVERIFY2(report.reason.contains(QStringLiteral("no reply to the end of the message data")),
                 qPrintable(report.reason));
        QVERIFY(failures(ctx, LogPriority::Warning).contains(QStringLiteral("timed out after 1 seconds")));
        SetSmtpTimeouts(SmtpTimeouts{5, 2, 2, 2, 2, 2, 8});
        QCOMPARE(deliver(ctx, MailDocBuilder()), DeliveryOutcome::Delivered);
        const QList<QByteArray> sessions = raw.sessions();
        QCOMPARE(sessions.size(), 2);
        QCOMPARE(CommandsOf(sessions[0]).count("MAIL FROM"), 2);
        QCOMPARE(CommandsOf(sessions[1]).count("MAIL FROM"), 1);

        // Transfers under way can be ended at once (at shutdown); the mail is kept. The cancel
        // comes while the client waits for the reply the server holds back.
        const int acceptedBefore = raw.accepted();
        std::thread canceller([&raw, acceptedBefore] {
            const QDeadlineTimer deadline(10000);
            while (raw.accepted() == acceptedBefore && !deadline.hasExpired())
                QThread::msleep(20);
            CancelSmtpTransfers();
        });
        QCOMPARE(deliver(ctx, MailDocBuilder(), &report), DeliveryOutcome::ServerUnavailable);
        canceller.join();
        QVERIFY2(report.reason.contains(QStringLiteral("cancelled")), qPrintable(report.reason));
        QCOMPARE(deliver(ctx, MailDocBuilder()), DeliveryOutcome::Delivered);

        // Once the relay stops, an exchange that has not begun never begins: a mail that went
        // out after the stop's cut would be sent again at the next start.
        const int sessionsBefore = int(raw.sessions().size());
        const int acceptedNow = raw.accepted();
        ctx.stopping = true;
        QCOMPARE(deliver(ctx, MailDocBuilder(), &report), DeliveryOutcome::ServerUnavailable);
        QVERIFY2(report.reason.contains(QStringLiteral("the relay was stopping")), qPrintable(report.reason));
        QCOMPARE(raw.accepted(), acceptedNow);
        QCOMPARE(int(raw.sessions().size()), sessionsBefore);
        ctx.stopping = false;
    }

    void loginsNeverTravelInClear()
    {
        SmtpSecurity login;
        login.user = QStringLiteral("relay");
        login.password = QStringLiteral("s3cret!pw");
        login.caFile = scratch.filePath("server.pem");
        const QStringList tls{"--tls-cert", scratch.filePath("server.pem"), "--tls-key",
                              scratch.filePath("server.key")};
        auto noPassword = [](const FakeContext& ctx) { return !ctx.joinedLog().contains(QStringLiteral("s3cret")); };

        // A login without TLS is a setting to correct: nothing is sent, the mail is kept.
        RawSmtp plain;
        QVERIFY(plain.start({"--ehlo", "AUTH PLAIN"}));
        FakeContext clear = contextFor(plain.hostText(), login);
        DeliveryReport report;
        QCOMPARE(deliver(clear, MailDocBuilder(), &report), DeliveryOutcome::ServerUnavailable);
        QCOMPARE(report.pending, QStringList{"alice@example.org"});
        const QString unusable = failures(clear, LogPriority::Error);
        QVERIFY2(unusable.startsWith(QStringLiteral("The SMTP settings cannot be used:")) &&
                     unusable.contains(QStringLiteral("set SMTPSecurity to starttls or tls")),
                 qPrintable(clear.joinedLog()));
        QVERIFY(noPassword(clear));
        QVERIFY(plain.sessions().isEmpty());

        // A server that offers no login after STARTTLS gets no mail; with one, the mail goes
        // authenticated, and the login only ever after STARTTLS. The name is checked against the
        // certificate.
        login.mode = SmtpSecurity::Mode::StartTls;
        RawSmtp withoutAuth, withAuth;
        QVERIFY(withoutAuth.start(tls));
        QVERIFY(withAuth.start(tls + QStringList{"--ehlo", "AUTH PLAIN"}));
        FakeContext refused = contextFor(QStringLiteral("localhost:%1").arg(withoutAuth.port()), login);
        QCOMPARE(deliver(refused, MailDocBuilder(), &report), DeliveryOutcome::ServerUnavailable);
        QVERIFY2(report.reason.contains(QStringLiteral("no AUTH")), qPrintable(refused.joinedLog()));
        QVERIFY(failures(refused, LogPriority::Warning).contains(QStringLiteral("no AUTH")));
        QVERIFY(CommandsOf(withoutAuth.sessions().value(0)).startsWith("EHLO [127.0.0.1]\nSTARTTLS\nEHLO [127.0.0.1]"));
        QVERIFY2(!CommandsOf(withoutAuth.sessions().value(0)).contains("MAIL FROM"),
                 withoutAuth.sessions().value(0).constData());
        QVERIFY(noPassword(refused));

        FakeContext accepted = contextFor(QStringLiteral("localhost:%1").arg(withAuth.port()), login);
        QVERIFY2(deliver(accepted, MailDocBuilder()) == DeliveryOutcome::Delivered, qPrintable(accepted.joinedLog()));
        const QByteArray commands = CommandsOf(withAuth.sessions().value(0));
        QVERIFY2(commands.indexOf("AUTH PLAIN") > commands.indexOf("STARTTLS") && commands.indexOf("STARTTLS") > 0,
                 commands.constData());
        QCOMPARE(withAuth.accepted(), 1);
    }

    void serverTextForms()
    {
        struct Form {
            QString text;
            SmtpSecurity::Mode mode;
            QByteArray host;
            int port;
            bool ipv6;
        };
        const QList<Form> forms{
            {"mail.example.org", SmtpSecurity::Mode::None, "mail.example.org", 25, false},
            {" mail.example.org:2525 ", SmtpSecurity::Mode::StartTls, "mail.example.org", 2525, false},
            {"mail.example.org", SmtpSecurity::Mode::Tls, "mail.example.org", 465, false},
            {"[::1]", SmtpSecurity::Mode::None, "::1", 25, true},
            {"[2001:db8::25]:2525", SmtpSecurity::Mode::None, "2001:db8::25", 2525, true},
            {"[::1]:", SmtpSecurity::Mode::Tls, "::1", 465, true},
            {"[fe80::1%eth0]:25", SmtpSecurity::Mode::None, "fe80::1%eth0", 25, true},
            // Parts after the port have always been ignored, and a ':' without a port is the default.
            {"mail.example.org:2525:x", SmtpSecurity::Mode::None, "mail.example.org", 2525, false},
            {"mail.example.org::2525", SmtpSecurity::Mode::None, "mail.example.org", 25, false},
            {"mail.example.org :", SmtpSecurity::Mode::Tls, "mail.example.org", 465, false},
            {"192.0.2.25:587", SmtpSecurity::Mode::None, "192.0.2.25", 587, false},
            {"[192.0.2.25]", SmtpSecurity::Mode::None, "192.0.2.25", 25, false},
            // A name in another script is kept as written; it is looked up in its ASCII form.
            {"b\u00FCcher.example:26", SmtpSecurity::Mode::None, "b\xC3\xBC" "cher.example", 26, false},
        };
        for (const Form& f : forms) {
            SmtpSecurity security;
            security.mode = f.mode;
            QVERIFY2(SmtpConfigurationProblem(f.text, security).isEmpty(), qPrintable(f.text));
            const SmtpServerAddress server = ParseSmtpServerText(f.text, f.mode);
            QCOMPARE(server.host, f.host);
            QCOMPARE(server.port, f.port);
            QCOMPARE(server.ipv6, f.ipv6);
        }
        for (const char* text : {"", "::1", "2001:db8::1", "[::1", "[::1]x", "[mail]:25", "mail:0", "mail:smtp",
                                    "two words:25", "mail/x:25", "user@mail:25"}) {
            const QString problem = SmtpConfigurationProblem(QString::fromLatin1(text), {});
            QVERIFY2(problem.startsWith(QStringLiteral("SMTPServer '%1' cannot be read").arg(QLatin1String(text))),
                     qPrintable(problem));
            try {
                ParseSmtpServerText(QString::fromLatin1(text));
                QFAIL(text);
            } catch (const DeliveryError& e) {
                QVERIFY(e.temporary());
            }
        }
        // The reason in the parentheses says what to mend.
        const QList<QPair<QString, QString>> reasons{
            {"", "no host"},
            {" : ", "no host"},
            {":25", "no host"},
            {"2001:db8::1", "an IPv6 address goes in brackets, as in [2001:db8::1]:25"},
            {"[::1", "no closing bracket"},
            {"[::1] :25", "text after the closing bracket"},
            {"[mail]:25", "no IP address in the brackets"},
            {"[fe80::1%eth/0]", "no IP address in the brackets"},
            {"mail:70000", "no valid port"},
            {"[::1]:x", "no valid port"},
            {"mail/x:25", "'/' cannot stand in a host name"},
            {"10:25", "'10' is not an IPv4 address"},
            {"192.0.2.300", "'192.0.2.300' is not an IPv4 address"},
            {"b\u00FCcher..example", "not a valid international domain name"},
        };
        for (const auto& [text, reason] : reasons) {
            const QString problem = SmtpConfigurationProblem(text, {});
            QVERIFY2(problem.startsWith(QStringLiteral("SMTPServer '%1' cannot be read (%2): ").arg(text, reason)),
                     qPrintable(problem));
        }
        SmtpSecurity names;
        for (const char* helo : {"relay", "relay..example.org", "-relay.example.org", "[192.0.2.300]", "[::1]"}) {
            names.heloName = QString::fromLatin1(helo);
            const QString problem = SmtpConfigurationProblem(QStringLiteral("mail:25"), names);
            QVERIFY2(problem.contains(QStringLiteral("SMTPHeloName")), helo);
        }
        names.heloName = QStringLiteral("[IPv6:2001:db8::7]");
        QVERIFY(SmtpConfigurationProblem(QStringLiteral("mail:25"), names).isEmpty());

        // An unreadable text keeps the mail, untried.
        FakeContext broken = contextFor(QStringLiteral("[::1"));
        DeliveryReport report;
        QCOMPARE(deliver(broken, MailDocBuilder(), &report), DeliveryOutcome::ServerUnavailable);
        QCOMPARE(report.pending, QStringList{"alice@example.org"});
        QCOMPARE(broken.log.size(), 2);
        QVERIFY(broken.log[0].startsWith(QStringLiteral("The SMTP settings cannot be used: SMTPServer '[::1'")));
        QCOMPARE(broken.priorities[0], LogPriority::Error);

        // An IPv6 server in brackets takes the mail.
        SmtpSink v6;
        QVERIFY(v6.start(0, {"--host", "::1"}));
        FakeContext ctx = contextFor(QStringLiteral("[::1]:%1").arg(v6.port()));
        QVERIFY2(deliver(ctx, MailDocBuilder()) == DeliveryOutcome::Delivered, qPrintable(ctx.joinedLog()));
        QCOMPARE(v6.count(), 1);
    }


    void theRequestAndItsValuesSendAlike()
    {
        // The entry takes a request, or the same values one by one; a retry may pass the report's
        // own `pending` as the recipients still to reach.
        RawSmtp raw;
        QVERIFY(raw.start({"--reply", "rcpt=bob@example.org=450 4.2.1 Try later"}));
        FakeContext ctx = contextFor(raw.hostText());
        const MailRequest request{.fromAddr = QStringLiteral("tracker@example.org"),
                                  .to = {QStringLiteral("alice@example.org"), QStringLiteral("bob@example.org")},
                                  .subject = QStringLiteral("both shapes"),
                                  .body = "hello",
                                  .serverText = raw.hostText()};
        DeliveryReport report;
        QCOMPARE(SendMailViaCDO(ctx, request, &report), DeliveryOutcome::RetryLater);
        QCOMPARE(report.delivered, QStringList{"alice@example.org"});
        QCOMPARE(report.pending, QStringList{"bob@example.org"});
        QCOMPARE(SendMailViaCDO(ctx, request.fromAddr, request.to, request.cc, request.bcc, request.subject,
                                request.body, request.isHTML, request.attachmentEntries, request.headerEntries,
                                request.serverText, &report, report.pending),
                 DeliveryOutcome::RetryLater);
        QVERIFY(report.delivered.isEmpty());
        QCOMPARE(report.pending, QStringList{"bob@example.org"});
        QCOMPARE(raw.accepted(), 1);
        QByteArray commands;
        for (const QByteArray& session : raw.sessions())
            commands += CommandsOf(session) + '\n';
        QCOMPARE(commands.count("RCPT TO:<alice@example.org>"), 1);
        QCOMPARE(commands.count("RCPT TO:<bob@example.org>"), 2);
        QVERIFY2(failures(ctx, LogPriority::Warning).contains(QStringLiteral("450 4.2.1 Try later")),
                 qPrintable(ctx.joinedLog()));
    }

    void allOrNothingSendsNoDataAfterOnePutOff()
    {
        // A sender that cannot keep the mail for a recipient put off sends it to all or to none:
        // one RCPT answered 451 ends the transaction before DATA, and everyone still waits.
        RawSmtp raw;
        QVERIFY(raw.start({"--reply", "rcpt=bob@example.org=451 4.2.1 Try later",
                           "--reply", "rcpt=carol@example.org=550 5.1.1 No such user"}));
        FakeContext ctx = contextFor(raw.hostText());
        MailRequest request{.fromAddr = QStringLiteral("tracker@example.org"),
                            .to = {QStringLiteral("alice@example.org"), QStringLiteral("bob@example.org"),
                                   QStringLiteral("dave@example.org")},
                            .subject = QStringLiteral("all or nothing"),
                            .body = "hello",
                            .serverText = raw.hostText(),
                            .allOrNothing = true};
        DeliveryReport report;
        QCOMPARE(SendMailViaCDO(ctx, request, &report), DeliveryOutcome::RetryLater);
        QVERIFY(report.delivered.isEmpty());
        QVERIFY(report.refused.isEmpty());
        QCOMPARE(report.pending, (QStringList{"alice@example.org", "bob@example.org", "dave@example.org"}));
        QVERIFY2(report.reason.contains(QStringLiteral("451 4.2.1 Try later")), qPrintable(report.reason));
        QCOMPARE(raw.accepted(), 0);
        QByteArray commands;
        for (const QByteArray& session : raw.sessions())
            commands += CommandsOf(session) + '\n';
        QVERIFY2(!commands.contains("DATA"), commands.constData());
        QVERIFY2(commands.contains("RCPT TO:<bob@example.org>"), commands.constData());

        // A refusal for good does not hold up the others: they get the mail in one transaction,
        // the only one with data.
        request.to = {QStringLiteral("alice@example.org"), QStringLiteral("carol@example.org"),
                      QStringLiteral("dave@example.org")};
        const int sessionsBefore = int(raw.sessions().size());
        QCOMPARE(SendMailViaCDO(ctx, request, &report), DeliveryOutcome::Delivered);
        QCOMPARE(report.delivered, (QStringList{"alice@example.org", "dave@example.org"}));
        QCOMPARE(report.refused, QStringList{"carol@example.org"});
        QVERIFY(report.pending.isEmpty());
        QCOMPARE(raw.accepted(), 1);
        commands.clear();
        for (const QByteArray& session : raw.sessions().mid(sessionsBefore))
            commands += CommandsOf(session) + '\n';
        QCOMPARE(commands.count("\nDATA"), 1);
        QCOMPARE(commands.count("RCPT TO:<carol@example.org>"), 1);

        // Without the option the same server gets the mail for those it took.
        request.to = {QStringLiteral("alice@example.org"), QStringLiteral("bob@example.org")};
        request.allOrNothing = false;
        QCOMPARE(SendMailViaCDO(ctx, request, &report), DeliveryOutcome::RetryLater);
        QCOMPARE(report.delivered, QStringList{"alice@example.org"});
        QCOMPARE(raw.accepted(), 2);

        // More recipients than one transaction takes: not sent at all.
        QList<QByteArray> many;
        for (int i = 0; i < 1001; ++i)
            many << "r" + QByteArray::number(i) + "@example.org";
        const int sessionsNow = int(raw.sessions().size());
        BytesMessage mail("Subject: many\r\n\r\nhello\r\n");
        const SmtpSendResult sent = SendSmtp(ParseSmtpServerText(raw.hostText()), "tracker@example.org", many, mail,
                                             {}, &ctx, true);
        QVERIFY(!sent.sent);
        QCOMPARE(sent.recipients.size(), 1001);
        for (const RecipientResult& r : sent.recipients)
            QCOMPARE(r.state, RecipientState::Deferred);
        QCOMPARE(int(raw.sessions().size()), sessionsNow);
        QCOMPARE(raw.accepted(), 2);
    }

    void noTransportStartsOnceTheRelayIsStopping()
    {
        // The mail component is one submission: all or nothing by itself. Once the relay stops,
        // neither transport begins anything, as a mail cut short goes again at the next start.
        QVERIFY(ChooseTransport(Transport::Sendmail)->allOrNothingByNature());
        QVERIFY(!ChooseTransport(Transport::Smtp)->allOrNothingByNature());
        const QString marker = scratch.filePath(QStringLiteral("sendmail-ran"));
        const QString program = scratch.filePath(QStringLiteral("sendmail.sh"));
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\ncat >/dev/null\ntouch '" + marker.toUtf8() + "'\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
        RawSmtp raw;
        QVERIFY(raw.start());
        FakeContext ctx = contextFor(raw.hostText());
        ctx.sendmail = program;
        ctx.stopping = true;
        for (const Transport choice : {Transport::Sendmail, Transport::Smtp}) {
            const DeliveryResult result =
                ChooseTransport(choice)->deliver(ctx, DocumentRequest(MailDocBuilder().build()));
            QCOMPARE(result.outcome, DeliveryOutcome::ServerUnavailable);
            QCOMPARE(result.report.reason, QStringLiteral("not tried: the relay was stopping"));
        }
        QVERIFY(!QFile::exists(marker));
        QCOMPARE(raw.sessions().size(), 0);
        ctx.stopping = false;
        QCOMPARE(ChooseTransport(Transport::Sendmail)->deliver(ctx, DocumentRequest(MailDocBuilder().build())).outcome,
                 DeliveryOutcome::Delivered);
        QVERIFY(QFile::exists(marker));
    }

    void repliesAreReadByTheirGrammar()
    {
        // Junk and continuation lines before the reply end nothing: an accepted recipient stays
        // accepted and gets one copy. Refusals are errors, postponements warnings.
        RawSmtp raw;
        QVERIFY(raw.start({"--reply",
                           "rcpt=alice@example.org=this is junk\\n250-first line\\n25x neither\\n250 2.1.5 OK",
                           "--reply", "rcpt=dave@example.org=550 5.1.1 No such user",
                           "--reply", "rcpt=erin@example.org=450 4.2.1 Try later"}));
        FakeContext ctx = contextFor(raw.hostText());
        MailDocBuilder doc;
        doc.to = {"alice@example.org", "bob@example.org"};
        doc.cc = {"dave@example.org", "erin@example.org"};
        DeliveryReport report;
        QCOMPARE(deliver(ctx, doc, &report), DeliveryOutcome::RetryLater);
        QCOMPARE(report.delivered, (QStringList{"alice@example.org", "bob@example.org"}));
        QCOMPARE(report.refused, QStringList{"dave@example.org"});
        QCOMPARE(report.pending, QStringList{"erin@example.org"});
        QVERIFY2(report.reason.contains(QStringLiteral("550 5.1.1")), qPrintable(report.reason));
        QVERIFY(failures(ctx, LogPriority::Error)
                    .contains(QStringLiteral("550 5.1.1 No such user (reply to RCPT TO:<dave@example.org>)")));
        QVERIFY(failures(ctx, LogPriority::Warning).contains(QStringLiteral("450 4.2.1 Try later")));
        QVERIFY2(raw.accepted() == 1, qPrintable(ctx.joinedLog()));
        // Every complete reply reaches the metrics: greeting, EHLO, MAIL, four RCPT, DATA, end.
        QCOMPARE(ctx.replyCodes, (QList<int>{220, 250, 250, 250, 250, 550, 450, 354, 250}));

        // Under a UTF-8 locale the client writes an international domain in ASCII form; the
        // recipient's outcome still counts, and no retry sends it a second copy.
        const QByteArray locale = setlocale(LC_CTYPE, nullptr);
        setlocale(LC_CTYPE, "C.UTF-8");
        BytesMessage mail("Subject: idn\r\n\r\nhello\r\n");
        const SmtpSendResult sent = SendSmtp(ParseSmtpServerText(raw.hostText()), "tracker@example.org",
                                             {"carol@b\xC3\xBC" "cher.example", "alice@example.org"}, mail);
        setlocale(LC_CTYPE, locale.constData());
        QVERIFY2(sent.sent, qPrintable(sent.errorText));
        QCOMPARE(raw.accepted(), 2);
        QVERIFY(CommandsOf(raw.sessions().value(0)).contains("RCPT TO:<carol@xn--bcher-kva.example>"));
    }
};

QTEST_GUILESS_MAIN(SmtpTest)
#include "test_smtp.moc"
