// Network relay mode without a window: the relay's core and its listener on loopback, real
// clients (raw sockets, curl, Python's http.client) and real SMTP servers. Mail is read back with
// the system Python's email package.
#include "MailDocBuilder.h"
#include "PyMailReader.h"
#include "SlowSmtp.h"
#include "SmtpSink.h"

#include "common/ActivityLog.h"
#include "common/Catalogue.h"
#include "common/IniServices.h"
#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "netrelay/NetworkRelay.h"
#include "netrelay/SocketArray.h"
#include "relay/RelayCore.h"
#include "relay/RelaySettings.h"
#include "relay/Spool.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace swn;
using namespace swn::test;

namespace {

const QByteArray Ok11 = "HTTP/1.1 200 \r\nContent-Length: 0\r\n\r\n";

// A request framed by its terminator alone: no Content-Length.
QByteArray Bare(const QByteArray& document, const QByteArray& requestLine = "POST / HTTP/1.1")
{
    return requestLine + "\r\nHost: relay\r\n\r\n" + document;
}

QByteArray WithLength(const QByteArray& document, const QByteArray& extraHeaders = {})
{
    return "POST / HTTP/1.1\r\nHost: relay\r\n" + extraHeaders + "Content-Length: " +
           QByteArray::number(document.size()) + "\r\n\r\n" + document;
}

QByteArray Doc(const QString& subject, const QString& body = QStringLiteral("The defect was resolved."))
{
    MailDocBuilder doc;
    doc.subject = subject;
    doc.body = body;
    return doc.build();
}

// A raw client that writes what it is told and collects the reply until the relay closes.
struct RawClient {
    QTcpSocket socket;
    QByteArray reply;
    bool closed = false;
    explicit RawClient(quint16 port, const QHostAddress& from = {})
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { reply += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        QObject::connect(&socket, &QTcpSocket::errorOccurred, [this] { closed = true; });
        if (!from.isNull())
            socket.bind(from);
        socket.connectToHost(QHostAddress(QStringLiteral("127.0.0.1")), port);
    }
    // Takes over a connection made already (one the relay may not have taken yet).
    explicit RawClient(qintptr connected)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { reply += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        QObject::connect(&socket, &QTcpSocket::errorOccurred, [this] { closed = true; });
        socket.setSocketDescriptor(connected);
    }
    bool waitConnected() { return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000); }
    void send(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    bool waitClosed(int ms = 30000) { return QTest::qWaitFor([this] { return closed; }, ms); }
};

// The parts of network relay mode, as the service puts them together, without a window.
struct NetRelay {
    RelaySettings settings;
    RelayCore core;
    NetworkRelay net;
    quint16 port = 0;

    NetRelay(const QString& iniPath, const NetworkRelay::Limits& limits, const RelayCoreOptions& options = {})
        : settings(iniPath), core(settings, options), net(core)
    {
        core.LoadSettings();
        net.SetLimits(limits);
        port = quint16(settings.ListenerPort().toUInt());
    }
    int logCount(const QString& text) const { return int(core.LogText().count(text)); }
    bool waitLog(const QString& text, int n = 1, int ms = 20000) const
    {
        return QTest::qWaitFor([&] { return logCount(text) >= n; }, ms);
    }
};

NetworkRelay::Limits TestLimits()
{
    NetworkRelay::Limits limits;
    // Only real framing completes a request here, never the fallback for a quiet connection.
    limits.quietMs = 10 * 60 * 1000;
    return limits;
}

} // namespace

class NetRelayTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    SmtpSink sink;
    std::unique_ptr<NetRelay> relay;
    int n = 0;

    std::unique_ptr<NetRelay> makeRelay(const QString& smtp, const NetworkRelay::Limits& limits = TestLimits(),
                                        const QByteArray& extra = {}, quint16 port = 0,
                                        const RelayCoreOptions& options = {})
    {
        const QString path = dir.filePath(QStringLiteral("relay%1.ini").arg(++n));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write("[SwiftnoteRelay]\nRelayMode=NETWORK\nTransportMode=CDO\nMaxLogSize=65536\nSMTPServer=" + smtp.toUtf8() +
                "\nSTMPRelayListenerPort=" + QByteArray::number(port ? port : UnusedTcpPort()) + "\n" + extra);
        f.close();
        auto r = std::make_unique<NetRelay>(path, limits, options);
        r->core.Start();
        return r;
    }
    // A relay that keeps what it cannot deliver in `spoolDir`, with its retry times.
    std::unique_ptr<NetRelay> makeSpooledRelay(const QString& smtp, const QString& spoolDir,
                                               const RetryQueue::Timing& timing, const QByteArray& extra = {})
    {
        auto r = makeRelay(smtp, TestLimits(), extra);
        auto spool = std::make_shared<Spool>(spoolDir);
        QString error;
        if (!spool->open(&error))
            qWarning("%s", qPrintable(error));
        r->net.Queue().SetTiming(timing);
        r->net.SetSpool(spool);
        r->core.Start();
        return r;
    }
    QString writeFile(const QByteArray& bytes)
    {
        const QString file = dir.filePath(QStringLiteral("doc-%1.xml").arg(++n));
        QFile f(file);
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
        return file;
    }
    // Runs a client process while the relay (in this thread) keeps serving; stdout and stderr.
    QByteArray run(const QString& program, const QStringList& args, int ms = 60000)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        if (!QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, ms)) {
            p.kill();
            p.waitForFinished();
        }
        return p.readAll();
    }
    QByteArray curl(const QStringList& args, quint16 port)
    {
        return run(QStringLiteral("curl"), QStringList{"-sS", "-i", "--max-time", "60"} + args +
                                               QStringList{QStringLiteral("http://127.0.0.1:%1/").arg(port)});
    }
    // curl posting each file at once, side by side; `answers` waits for them all.
    struct Clients {
        std::vector<std::unique_ptr<QProcess>> processes;
        bool done() const
        {
            return std::all_of(processes.begin(), processes.end(), [](auto& p) { return p->state() == QProcess::NotRunning; });
        }
        QList<QByteArray> answers()
        {
            (void)QTest::qWaitFor([this] { return done(); }, 60000);
            QList<QByteArray> out;
            for (auto& p : processes)
                out << p->readAll();
            return out;
        }
    };
    std::unique_ptr<Clients> postTogether(const QStringList& files, quint16 port)
    {
        auto clients = std::make_unique<Clients>();
        for (const QString& file : files) {
            auto p = std::make_unique<QProcess>();
            p->start(QStringLiteral("curl"), {"-sS", "-i", "--max-time", "60", "--data-binary", "@" + file,
                                              QStringLiteral("http://127.0.0.1:%1/").arg(port)});
            clients->processes.push_back(std::move(p));
        }
        return clients;
    }
    QString referral(const QByteArray& document)
    {
        return QStringLiteral("Referral received from [127.0.0.1] : Stream length %1K")
            .arg(QString::number(double(QString::fromUtf8(document).size()) / 1024.0, 'f', 2));
    }

private Q_SLOTS:
    void initTestCase()
    {
        SetCatalogueLanguage(Language::English);
        QLocale::setDefault(QLocale::c());
        SetSmtpTimeouts(5, 5);
        QVERIFY(sink.start());
        relay = makeRelay(sink.hostText());
        QVERIFY(relay->core.IsRunning());
        QCOMPARE(relay->logCount(QStringLiteral("Listening on Port %1\r\n").arg(relay->port)), 1);
        QCOMPARE(relay->logCount(QStringLiteral("Any host that can reach port %1 may send mail through this relay").arg(relay->port)), 1);
    }

    void replyBytesAndWhatWasSent()
    {
        MailDocBuilder doc;
        doc.to = {QStringLiteral("raw@example.org")};
        doc.subject = QStringLiteral("raw client");
        doc.attachments = {{QStringLiteral("notes.txt"), "attached"}};
        const QByteArray document = doc.build();
        const int before = sink.count();
        for (const QByteArray& version : {QByteArray("HTTP/1.1"), QByteArray("HTTP/1.0")}) {
            RawClient client(relay->port);
            QVERIFY(client.waitConnected());
            client.send(Bare(document, "POST /mail " + version));
            QVERIFY(client.waitClosed());
            QCOMPARE(client.reply, version + " 200 \r\nContent-Length: 0\r\n\r\n");
        }
        QCOMPARE(Ok11.size(), 36);
        QVERIFY(sink.waitForCount(before + 2));
        const PyMail mail = ReadWithPython(sink.messages()[before].content);
        QVERIFY2(mail.ok, qPrintable(mail.error));
        QCOMPARE(mail.subject, QStringLiteral("raw client"));
        QCOMPARE(sink.messages()[before].recipients, QStringList{"raw@example.org"});
        QCOMPARE(mail.attachments.size(), 1);
        QCOMPARE(mail.attachments[0].second, QByteArray("attached"));
        QCOMPARE(relay->logCount(referral(document)), 2);
        QVERIFY(QTest::qWaitFor([] { return QDir(StagingFolder()).isEmpty(); }, 5000));
    }

    void requestLinesAndIpv6()
    {
        const QByteArray document = Doc(QStringLiteral("request line"));
        struct Case {
            QByteArray line, version;
        };
        // Only an HTTP version is ever repeated; anything else is answered as HTTP/1.0.
        for (const Case& c : {Case{"POST / X/9 extra", "HTTP/1.0"}, Case{"POST  HTTP/1.1", "HTTP/1.1"},
                              Case{"POST /", "HTTP/1.0"}, Case{"", "HTTP/1.0"}, Case{"POST / HTTP/1.0", "HTTP/1.0"}}) {
            RawClient client(relay->port);
            QVERIFY(client.waitConnected());
            client.send(Bare(document, c.line));
            QVERIFY(client.waitClosed());
            QCOMPARE(client.reply, c.version + " 200 \r\nContent-Length: 0\r\n\r\n");
        }
        // IPv6 clients reach the same listener.
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHostIPv6, relay->port);
        if (!probe.waitForConnected(2000))
            QSKIP("no IPv6 loopback here");
        probe.abort();
        const QByteArray out = run(QStringLiteral("curl"), {"-sS", "-i", "--max-time", "60", "--data-binary",
                                                            "@" + writeFile(document), QStringLiteral("http://[::1]:%1/").arg(relay->port)});
        QVERIFY2(out.startsWith(Ok11), out.constData());
        QVERIFY(relay->waitLog(QStringLiteral("Referral received from [::1] : Stream length ")));
    }

    void manyClientsInterleaved()
    {
        const int before = sink.count();
        std::vector<std::unique_ptr<RawClient>> clients;
        std::vector<QByteArray> requests;
        for (int i = 0; i < 25; ++i) {
            clients.push_back(std::make_unique<RawClient>(relay->port));
            requests.push_back(Bare(Doc(QStringLiteral("parallel %1").arg(i))));
        }
        for (auto& c : clients)
            QVERIFY(c->waitConnected());
        for (qsizetype at = 0; at < requests[0].size() + 200; at += 200)
            for (int i = 0; i < 25; ++i)
                if (at < requests[size_t(i)].size())
                    clients[size_t(i)]->send(requests[size_t(i)].mid(at, 200));
        for (auto& c : clients) {
            QVERIFY(c->waitClosed());
            QCOMPARE(c->reply, Ok11);
        }
        QVERIFY(sink.waitForCount(before + 25));
        QStringList subjects = PySubjects(sink.messages().mid(before));
        QCOMPARE(subjects.size(), 25);
        QCOMPARE(subjects.removeDuplicates(), 0);
        QVERIFY(relay->net.MaxSocket() <= 25 + 2);
    }

    void badDocumentsNextToGoodOnes()
    {
        const int before = sink.count();
        MailDocBuilder noList;
        noList.subject = QStringLiteral("no attachment list");
        noList.withAttachmentList = false;
        MailDocBuilder badBase64;
        badBase64.subject = QStringLiteral("bad base64");
        badBase64.attachments = {{QStringLiteral("x.bin"), "abc"}};
        QByteArray broken = badBase64.build();
        broken.replace(QByteArray("abc").toBase64(), "%%%%");
        const QList<QByteArray> docs{Doc(QStringLiteral("good 1")), "<BT_mail_Msg><Subject>never closed</BT_mail_Msg>\r\n",
                                     Doc(QStringLiteral("good 2")), noList.build(), broken, Doc(QStringLiteral("good 3"))};
        for (const QByteArray& doc : docs)
            QVERIFY(curl({"--data-binary", "@" + writeFile(doc)}, relay->port).startsWith(Ok11));
        QVERIFY(sink.waitForCount(before + 3));
        QTest::qWait(300);
        QCOMPARE(PySubjects(sink.messages().mid(before)), (QStringList{"good 1", "good 2", "good 3"}));
        QVERIFY(relay->core.LogText().contains(QStringLiteral("XML Stream Failed to Load.  Error: ")));
        QVERIFY(relay->core.LogText().contains(QStringLiteral("The mail document has no element 'AttachmentList'")));
        QVERIFY(relay->core.LogText().contains(QStringLiteral("Attachment 'x.bin' could not be staged: ")));
        QVERIFY(QDir(StagingFolder()).isEmpty());
    }

    void failedDeliveriesAndTheReply()
    {
        // The mail component with a program that refuses the mail for good: the log says so,
        // and the client gets its reply.
        RelayCoreOptions failing;
        failing.sendmailProgram = QStringLiteral("/bin/false");
        auto component = makeRelay(sink.hostText(), TestLimits(), {}, 0, failing);
        component->settings.SetTransport(Transport::Sendmail);
        QByteArray out = curl({"--data-binary", "@" + writeFile(Doc(QStringLiteral("component")))}, component->port);
        QVERIFY2(out.startsWith(Ok11), out.constData());
        QVERIFY2(component->waitLog(QStringLiteral("BT Mail Delivery fail : Code ")), qPrintable(component->core.LogText()));

        // A server that is away, and nowhere to keep the document: the client is not told that
        // its mail was taken.
        auto away = makeRelay(QStringLiteral("127.0.0.1:%1").arg(UnusedTcpPort()));
        out = curl({"--data-binary", "@" + writeFile(Doc(QStringLiteral("server away")))}, away->port);
        QVERIFY2(out.startsWith("HTTP/1.1 503 "), out.constData());
        QVERIFY(!out.contains(" 200 "));
    }

    void autoStartWithoutAWindow()
    {
        auto r = std::make_unique<NetRelay>(dir.filePath(QStringLiteral("auto.ini")), TestLimits());
        QVERIFY(!r->core.IsRunning()); // AutoStart unchecked: the start timer does nothing
        QTest::qWait(50);
        QVERIFY(!r->core.IsRunning());
        const quint16 port = UnusedTcpPort();
        QFile f(dir.filePath(QStringLiteral("auto2.ini")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[SwiftnoteRelay]\nRelayMode=NETWORK\nAutoStart=1\nSTMPRelayListenerPort=" + QByteArray::number(port) + "\n");
        f.close();
        NetRelay a(f.fileName(), TestLimits());
        QVERIFY(QTest::qWaitFor([&] { return a.core.IsRunning(); }, 5000));
        QCOMPARE(a.logCount(QStringLiteral(" :: Listening on Port %1\r\n").arg(port)), 1);
        QCOMPARE(a.net.Sockets().State(0), int(SocketArray::Listening));
    }

    void terminatorSplitAcrossReads()
    {
        const QByteArray request = Bare(Doc(QStringLiteral("split")), "POST / HTTP/1.0");
        const int before = sink.count();
        RawClient client(relay->port);
        QVERIFY(client.waitConnected());
        const qsizetype split = request.size() - 9; // inside "</BT_mail_Msg>\r\n"
        for (qsizetype at = 0; at < split; at += 97) {
            client.send(request.mid(at, qMin<qsizetype>(97, split - at)));
            QTest::qWait(2);
        }
        QTest::qWait(300);
        QVERIFY(!client.closed); // not complete yet
        QCOMPARE(sink.count(), before);
        client.send(request.mid(split, 5));
        QTest::qWait(100);
        client.send(request.mid(split + 5));
        QVERIFY(client.waitClosed());
        QCOMPARE(client.reply, QByteArray("HTTP/1.0 200 \r\nContent-Length: 0\r\n\r\n"));
        QVERIFY(sink.waitForCount(before + 1));
        QCOMPARE(ReadWithPython(sink.messages().last().content).subject, QStringLiteral("split"));
    }

    void terminatorTextInsideTheDocument()
    {
        // A body quoting the terminator, in a CDATA section, with the right length: the document
        // arrives whole even when the first piece ends right after the quoted terminator.
        const QByteArray quoted = "before </BT_mail_Msg>\r\n";
        QByteArray document = Doc(QStringLiteral("cdata"), QStringLiteral("@@BODY@@"));
        document.replace("@@BODY@@", "<![CDATA[" + quoted + "after the quote]]>");
        const QByteArray request = WithLength(document);
        const qsizetype cut = request.indexOf(quoted) + quoted.size();
        const int before = sink.count();
        RawClient client(relay->port);
        QVERIFY(client.waitConnected());
        client.send(request.left(cut));
        QTest::qWait(500);
        QVERIFY(!client.closed);
        client.send(request.mid(cut));
        QVERIFY(client.waitClosed());
        QCOMPARE(client.reply, Ok11);
        QVERIFY(sink.waitForCount(before + 1));
        const PyMail mail = ReadWithPython(sink.messages().last().content);
        QCOMPARE(mail.subject, QStringLiteral("cdata"));
        QVERIFY2(mail.body.contains(QStringLiteral("after the quote")), qPrintable(mail.body));
    }

    void curlPostsOfEveryKind()
    {
        // A file ending in a plain LF, with -d (which drops line ends) and --data-binary: the
        // length frames them, so no quiet spell is waited for.
        QByteArray lf = Doc(QStringLiteral("plain lf"));
        lf.chop(2);
        lf += "\n";
        const QString file = writeFile(lf);
        int before = sink.count();
        for (const QString& how : {QStringLiteral("-d"), QStringLiteral("--data-binary")}) {
            const QByteArray out = curl({how, "@" + file}, relay->port);
            QVERIFY2(out.startsWith(Ok11), out.constData());
        }
        QVERIFY(sink.waitForCount(before + 2));
        QCOMPARE(PySubjects(sink.messages().mid(before)), (QStringList{"plain lf", "plain lf"}));

        // 2 MB: curl asks whether to go on and is told to.
        before = sink.count();
        const QString big = writeFile(Doc(QStringLiteral("two megabytes"), QString(2 * 1024 * 1024, QLatin1Char('x'))));
        QByteArray out = curl({"--data-binary", "@" + big}, relay->port);
        QVERIFY2(out.startsWith("HTTP/1.1 100 Continue\r\n\r\n" + Ok11), out.left(200).constData());
        QVERIFY(sink.waitForCount(before + 1));

        // Chunked.
        before = sink.count();
        const QString chunked = writeFile(Doc(QStringLiteral("chunked")));
        out = curl({"-H", "Transfer-Encoding: chunked", "--data-binary", "@" + chunked}, relay->port);
        QVERIFY2(out.startsWith(Ok11), out.constData());
        QVERIFY(sink.waitForCount(before + 1));
        QCOMPARE(ReadWithPython(sink.messages().last().content).subject, QStringLiteral("chunked"));

        // Python's http.client.
        before = sink.count();
        const QString script = QStringLiteral(
            "import http.client,sys\n"
            "c=http.client.HTTPConnection('127.0.0.1',%1,timeout=60)\n"
            "c.request('POST','/',body=open(sys.argv[1],'rb').read(),headers={'Content-Type':'text/xml'})\n"
            "r=c.getresponse()\nprint(r.status, r.getheader('Content-Length'))\n").arg(relay->port);
        out = run(SystemPython(), {QStringLiteral("-c"), script, writeFile(Doc(QStringLiteral("from python")))});
        QCOMPARE(out.trimmed(), QByteArray("200 0"));
        QVERIFY(sink.waitForCount(before + 1));
        QCOMPARE(ReadWithPython(sink.messages().last().content).subject, QStringLiteral("from python"));
    }

    void refusedRequests()
    {
        const int before = sink.count();
        // From a browser: 403, nothing delivered.
        for (const QByteArray& header : {QByteArray("Origin: http://evil.example\r\n"), QByteArray("Sec-Fetch-Site: cross-site\r\n")}) {
            RawClient client(relay->port);
            QVERIFY(client.waitConnected());
            client.send(WithLength(Doc(QStringLiteral("from a page")), header));
            QVERIFY(client.waitClosed());
            QVERIFY2(client.reply.startsWith("HTTP/1.1 403"), client.reply.constData());
        }
        QCOMPARE(relay->logCount(QStringLiteral("Request from [127.0.0.1] refused with status 403: ")), 2);

        // Whatever follows a bare LF never makes its way into the reply.
        for (const QByteArray& line : {QByteArray("POST / HTTP/1.1\nSet-Cookie: stolen=1"),
                                       QByteArray("POST / HTTP/1.1\nSet-Cookie: stolen=1\r\nX: y"),
                                       QByteArray("POST / HTTP/1.1\rSet-Cookie: stolen=1")}) {
            RawClient client(relay->port);
            QVERIFY(client.waitConnected());
            client.send(Bare(Doc(QStringLiteral("bare lf")), line));
            QVERIFY(client.waitClosed());
            QVERIFY2(!client.reply.contains("Set-Cookie"), client.reply.constData());
            QVERIFY2(!client.reply.contains("stolen"), client.reply.constData());
        }
        QTest::qWait(200);
        QVERIFY(PySubjects(sink.messages().mid(before)).count(QStringLiteral("from a page")) == 0);
    }

    void aHeaderNameOfManyPlaceholders()
    {
        MailDocBuilder doc;
        doc.subject = QStringLiteral("placeholders");
        QString name;
        for (int i = 0; i < 50000; ++i)
            name += QStringLiteral("%s");
        doc.headers = {{name, QStringLiteral("value")}};
        const int before = sink.count();
        RawClient client(relay->port);
        QVERIFY(client.waitConnected());
        client.send(WithLength(doc.build()));
        QVERIFY(client.waitClosed(30000));
        QCOMPARE(client.reply, Ok11);
        const QString next = QStringLiteral("after placeholders");
        QVERIFY(curl({"--data-binary", "@" + writeFile(Doc(next))}, relay->port).startsWith(Ok11));
        QVERIFY(QTest::qWaitFor([&] { return PySubjects(sink.messages().mid(before)).contains(next); }, 20000));
    }

    void echoFilesArePrivate()
    {
        QTemporaryDir cwd;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(cwd.path());
        relay->core.ToggleEcho();
        QVERIFY(relay->core.EchoOn());
        const QByteArray one = Doc(QStringLiteral("echo one")), two = Doc(QStringLiteral("echo two"));
        QVERIFY(curl({"--data-binary", "@" + writeFile(one)}, relay->port).startsWith(Ok11));
        QVERIFY(curl({"--data-binary", "@" + writeFile(two)}, relay->port).startsWith(Ok11));
        relay->core.ToggleEcho();
        QVERIFY(!relay->core.EchoOn());
        QVERIFY(curl({"--data-binary", "@" + writeFile(one)}, relay->port).startsWith(Ok11));
        QDir::setCurrent(previous);
        const QStringList files = QDir(cwd.path()).entryList(QDir::Files);
        QCOMPARE(files.size(), 2);
        QSet<QByteArray> contents;
        for (const QString& name : files) {
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(cwd.filePath(name)).constData(), &st), 0);
            QCOMPARE(int(st.st_mode & 0777), 0600);
            QFile f(cwd.filePath(name));
            QVERIFY(f.open(QIODevice::ReadOnly));
            contents.insert(f.readAll());
        }
        QCOMPARE(contents, (QSet<QByteArray>{one, two}));
        QVERIFY(relay->core.LogText().contains(QStringLiteral("<Subject>echo two</Subject>")));
    }

    void halfCloseFreesTheSlot()
    {
        QTest::qWait(100);
        const int slots = relay->net.MaxSocket();
        // A client that sends part of a request and then shuts its sending side.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(relay->port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        const QByteArray part = "POST / HTTP/1.1\r\n\r\n<BT_mail_Msg><from_addr>half";
        QCOMPARE(::write(fd, part.constData(), size_t(part.size())), ssize_t(part.size()));
        QTest::qWait(200);
        QVERIFY(relay->net.BufferedBytes() > 0);
        ::shutdown(fd, SHUT_WR);
        QVERIFY(QTest::qWaitFor([&] { return relay->net.BufferedBytes() == 0; }, 10000));
        ::close(fd);
        const int before = sink.count();
        RawClient next(relay->port);
        QVERIFY(next.waitConnected());
        next.send(Bare(Doc(QStringLiteral("after half"))));
        QVERIFY(next.waitClosed());
        QCOMPARE(next.reply, Ok11);
        QVERIFY(sink.waitForCount(before + 1));
        QCOMPARE(relay->net.MaxSocket(), qMax(slots, 1)); // the freed slot was taken again
    }

    void halfCloseAfterACompleteRequest()
    {
        // Clients that send their request and then shut their sending side (as nc -N does) still
        // read the reply.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(relay->port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        const QByteArray request = Bare(Doc(QStringLiteral("sent then shut")));
        const int before = sink.count();
        QCOMPARE(::write(fd, request.constData(), size_t(request.size())), ssize_t(request.size()));
        ::shutdown(fd, SHUT_WR);
        QByteArray reply;
        QVERIFY(QTest::qWaitFor([&] {
            char buffer[256];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0)
                reply.append(buffer, got);
            return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        }, 20000));
        ::close(fd);
        QVERIFY(sink.waitForCount(before + 1));
        QCOMPARE(reply, Ok11);
    }

    void oversizeAndTheMemoryBudget()
    {
        NetworkRelay::Limits limits = TestLimits();
        limits.requestBytes = 1024 * 1024;
        limits.totalBytes = 600 * 1024;
        auto small = makeRelay(sink.hostText(), limits);
        const QString dropped = QStringLiteral("Request from [127.0.0.1] dropped: it grew beyond 1 MB");

        // One request beyond its own limit.
        RawClient hog(small->port);
        QVERIFY(hog.waitConnected());
        hog.send("POST / HTTP/1.1\r\n\r\n<BT_mail_Msg><Body>");
        const QByteArray chunk(256 * 1024, 'a');
        for (int i = 0; i < 8 && !hog.closed; ++i) {
            hog.send(chunk);
            QTest::qWait(20);
        }
        QVERIFY(hog.waitClosed());
        QVERIFY(!hog.reply.contains(" 200 "));
        QVERIFY(small->waitLog(dropped));
        QVERIFY(QTest::qWaitFor([&] { return small->net.BufferedBytes() == 0; }, 5000));

        // Three incomplete requests together beyond the budget: the later ones wait (their bytes
        // stay with the kernel) instead of being dropped, and go on once the first is gone.
        const int logged = small->logCount(dropped);
        RawClient large(small->port), mid(small->port), late(small->port);
        QVERIFY(large.waitConnected() && mid.waitConnected() && late.waitConnected());
        const QByteArray doc1 = Doc(QStringLiteral("budget one"), QString(150 * 1024, QLatin1Char('m')));
        const QByteArray doc2 = Doc(QStringLiteral("budget two"), QString(150 * 1024, QLatin1Char('l')));
        large.send(Bare("<BT_mail_Msg><Body>") + QByteArray(400 * 1024, 'b'));
        QVERIFY(QTest::qWaitFor([&] { return small->net.BufferedBytes() >= 400 * 1024; }, 5000));
        mid.send(Bare(doc1).left(100 * 1024));
        late.send(Bare(doc2).left(120 * 1024));
        QTest::qWait(500);
        QVERIFY(small->net.BufferedBytes() <= 600 * 1024);
        QVERIFY(!mid.closed && !late.closed && !large.closed);
        QCOMPARE(small->logCount(dropped), logged);
        large.socket.disconnectFromHost();
        const int before = sink.count();
        mid.send(Bare(doc1).mid(100 * 1024));
        late.send(Bare(doc2).mid(120 * 1024));
        QVERIFY(mid.waitClosed() && late.waitClosed());
        QCOMPARE(mid.reply, Ok11);
        QCOMPARE(late.reply, Ok11);
        QVERIFY(sink.waitForCount(before + 2));
        QStringList subjects = PySubjects(sink.messages().mid(before));
        subjects.sort();
        QCOMPARE(subjects, (QStringList{"budget one", "budget two"}));
    }

    void slotsAreSharedFairly()
    {
        NetworkRelay::Limits limits = TestLimits();
        auto full = makeRelay(sink.hostText(), limits);
        std::vector<std::unique_ptr<RawClient>> idle;
        for (int i = 0; i < NetworkRelay::MaxSlots; ++i)
            idle.push_back(std::make_unique<RawClient>(full->port));
        QVERIFY(QTest::qWaitFor([&] { return full->net.MaxSocket() == NetworkRelay::MaxSlots; }, 30000));
        // Further connections from the address that holds them all are told to come back later,
        // and 50 of them write only a line or two.
        std::vector<std::unique_ptr<RawClient>> refused;
        for (int i = 0; i < 50; ++i)
            refused.push_back(std::make_unique<RawClient>(full->port));
        for (auto& c : refused) {
            QVERIFY(c->waitClosed(10000));
            QVERIFY2(c->reply.startsWith("HTTP/1.1 503 Service Unavailable\r\n") && c->reply.contains("\r\nRetry-After: "),
                     c->reply.constData());
        }
        QVERIFY(full->logCount(QStringLiteral("Connection from [127.0.0.1] refused: no connection slot is free")) <= 2);
        QCOMPARE(full->net.MaxSocket(), NetworkRelay::MaxSlots);
        QCOMPARE(full->net.Sockets().upperBound(), NetworkRelay::MaxSlots);
        // Another address is served at once: one of the hoarder's connections makes room.
        const int before = sink.count();
        RawClient other(full->port, QHostAddress(QStringLiteral("127.0.0.2")));
        QVERIFY(other.waitConnected());
        other.send(Bare(Doc(QStringLiteral("fair share"))));
        QVERIFY(other.waitClosed());
        QCOMPARE(other.reply, Ok11);
        QVERIFY(sink.waitForCount(before + 1));
        QVERIFY(full->waitLog(QStringLiteral("Connection from [127.0.0.1] closed: its slot went to another client")));
        QCOMPARE(std::count_if(idle.begin(), idle.end(), [](auto& c) { return c->closed; }), 1);
        idle.clear();
    }

    void listenerFollowsStartStopAndItsSettings()
    {
        const quint16 port = UnusedTcpPort();
        auto r = makeRelay(sink.hostText(), TestLimits(), "ListenAddress=127.0.0.1\n", port);
        QVERIFY(r->core.IsRunning());
        QCOMPARE(r->logCount(QStringLiteral("Listening on 127.0.0.1, port %1").arg(port)), 1);
        auto answers = [](const QString& address, quint16 p) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress(address), p);
            return probe.waitForConnected(2000);
        };
        QVERIFY(answers(QStringLiteral("127.0.0.1"), port));
        QVERIFY(!answers(QStringLiteral("127.0.0.2"), port));
        // Stop stops: nothing is taken while the state says so.
        r->core.Stop();
        QVERIFY(!answers(QStringLiteral("127.0.0.1"), port));
        // Start opens it again with what the settings say now.
        const quint16 moved = UnusedTcpPort();
        r->settings.SetListenerPort(QString::number(moved));
        r->core.Start();
        QVERIFY(answers(QStringLiteral("127.0.0.1"), moved));
        QVERIFY(!answers(QStringLiteral("127.0.0.1"), port));
        QCOMPARE(r->logCount(QStringLiteral("Listening on 127.0.0.1, port %1").arg(moved)), 1);

        // No text, cut or not, admits an address the whole text does not list: a list that
        // reached the reader's limit admits nobody. Cut at 2047, 100.0.0.0/24 reads 100.0.0.0/2.
        QByteArray list;
        while (list.size() < 2047 - 12)
            list += "10.1.1.1, ";
        list = list.left(2047 - 11) + "100.0.0.0/24";
        auto cut = makeRelay(sink.hostText(), TestLimits(), "AllowedClients=" + list + "\n");
        QVERIFY(cut->waitLog(QStringLiteral("AllowedClients cannot be used: ")));
        RawClient refused(cut->port);
        QVERIFY(refused.waitClosed());
        QVERIFY(refused.reply.isEmpty());
        // A ListenAddress with nothing usable in it listens nowhere.
        auto nowhere = makeRelay(sink.hostText(), TestLimits(), "ListenAddress=localhost-ish, 300.1.1.1\n");
        QVERIFY(!nowhere->core.IsRunning());
        QVERIFY(nowhere->waitLog(QStringLiteral("ListenAddress cannot be used: ")));
        QCOMPARE(nowhere->logCount(QStringLiteral("Listening on Port")), 0);
        // An entry that is no address is ignored, and the log says so rather than that the
        // listener stays closed while it opens on the rest.
        const quint16 partPort = UnusedTcpPort();
        auto part = makeRelay(sink.hostText(), TestLimits(), "ListenAddress=127.0.0.1, bogus\n", partPort);
        QVERIFY(part->core.IsRunning());
        QCOMPARE(part->logCount(QStringLiteral("ListenAddress entry 'bogus' is not an address; it is ignored")), 1);
        QCOMPARE(part->logCount(QStringLiteral("stays closed")), 0);
        QCOMPARE(part->logCount(QStringLiteral("Listening on Port %1\r\n").arg(partPort)), 1);
        QCOMPARE(part->logCount(QStringLiteral("Listening on 127.0.0.1, port %1").arg(partPort)), 1);
        QVERIFY(answers(QStringLiteral("127.0.0.1"), partPort));
    }

    void reloadKeepsTheAddressesThatStay()
    {
        // ListenAddress alternates between 127.0.0.1 alone and with a second address while
        // clients post to 127.0.0.1: none of them is refused or reset.
        QTcpServer probe;
        const QString other = probe.listen(QHostAddress::LocalHostIPv6) ? QStringLiteral("::1") : QStringLiteral("127.0.0.2");
        probe.close();
        const quint16 port = UnusedTcpPort();
        auto r = makeRelay(sink.hostText(), TestLimits(), "ListenAddress=127.0.0.1\n", port);
        QVERIFY(r->core.IsRunning());
        const int before = sink.count();
        const IniServices ini(r->settings.filePath());
        std::vector<std::unique_ptr<RawClient>> clients;
        std::vector<QByteArray> requests;
        for (int round = 0; round < 6; ++round) {
            // One client with its request under way, one whose connection the relay has not taken yet.
            requests.push_back(Bare(Doc(QStringLiteral("reload %1 a").arg(round))));
            clients.push_back(std::make_unique<RawClient>(port));
            QVERIFY(clients.back()->waitConnected());
            clients.back()->send(requests.back().left(20));
            // A blocking connect returns once the kernel completed it: it waits in the backlog.
            requests.push_back(Bare(Doc(QStringLiteral("reload %1 b").arg(round))));
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in to {};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            QVERIFY(fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0);
            clients.push_back(std::make_unique<RawClient>(qintptr(fd)));
            const bool both = round % 2 == 0;
            QVERIFY(ini.WriteIniValue(QLatin1String(IniServices::Section), QStringLiteral("ListenAddress"),
                                      both ? QStringLiteral("127.0.0.1, ") + other : QStringLiteral("127.0.0.1")));
            r->core.Reload();
            QCOMPARE(r->net.Sockets().ListeningAddresses().size(), both ? 2 : 1);
            QCOMPARE(r->net.Sockets().ListeningPort(), port);
        }
        for (size_t i = 0; i < clients.size(); ++i) {
            QVERIFY(clients[i]->waitConnected());
            clients[i]->send(i % 2 == 0 ? requests[i].mid(20) : requests[i]);
        }
        for (size_t i = 0; i < clients.size(); ++i) {
            QVERIFY(clients[i]->waitClosed());
            QCOMPARE(clients[i]->reply, Ok11);
        }
        QVERIFY(sink.waitForCount(before + int(clients.size())));
        // Each reload said where it listens, once it did.
        QCOMPARE(r->logCount(QStringLiteral("Listening on Port %1\r\n").arg(port)), 7);
    }

    void everyLogEntryIsOneLine()
    {
        // A relay of its own: its log has not been cut, so its first line is whole too.
        auto relay = makeRelay(sink.hostText());
        const int before = sink.count();
        MailDocBuilder forged;
        forged.instigator = QStringLiteral("jsmith\n01/01/25 10:00:00 :: Kept document FORGED delivered");
        forged.attachments = {{QStringLiteral("a\r\n01/01/25 10:00:00 :: FORGED.txt"), "x"}};
        forged.subject = QStringLiteral("forged lines");
        MailDocBuilder badSender;
        badSender.from = QStringLiteral("nobody\n01/01/25 10:00:00 :: FORGED sender");
        for (const QByteArray& doc : {forged.build(), badSender.build()})
            QVERIFY(curl({"--data-binary", "@" + writeFile(doc)}, relay->port).startsWith(Ok11));
        QVERIFY(sink.waitForCount(before + 1));
        QVERIFY(relay->waitLog(QStringLiteral("FORGED sender")));
        // Every line of the log starts with the relay's own stamp.
        for (const QString& line : relay->core.LogText().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
            QVERIFY2(!line.startsWith(QStringLiteral("01/01/25")), qPrintable(line));
            QVERIFY2(line.indexOf(QStringLiteral(" :: ")) > 0 && line.indexOf(QStringLiteral(" :: ")) < 40, qPrintable(line));
        }
        QVERIFY(relay->core.LogText().contains(QStringLiteral("jsmith\\n01/01/25")));
    }

    void memoryBudgetMakesClientsWaitRatherThanDrop()
    {
        SlowSmtp slow;
        QVERIFY(slow.start());
        slow.delayData(1.5);
        NetworkRelay::Limits limits = TestLimits();
        limits.totalBytes = 700 * 1024;
        auto r = makeRelay(slow.hostText(), limits);
        // Five documents of 300 KiB at once: two fit, the rest wait until memory frees.
        QStringList files;
        for (int i = 0; i < 5; ++i)
            files << writeFile(Doc(QStringLiteral("budget %1").arg(i), QString(300 * 1024, QLatin1Char('b'))));
        auto clients = postTogether(files, r->port);
        qint64 most = 0;
        QVERIFY(QTest::qWaitFor([&] {
            most = std::max(most, r->net.BufferedBytes());
            return clients->done();
        }, 60000));
        for (const QByteArray& out : clients->answers())
            QVERIFY2(out.startsWith(Ok11), out.constData());
        QCOMPARE(slow.count(), 5);
        // The budget, and at most the one request that reads on alone when nothing else frees memory.
        QVERIFY2(most <= limits.totalBytes + 310 * 1024, QByteArray::number(most).constData());
        QCOMPARE(r->logCount(QStringLiteral("dropped")), 0);
    }

    void keptMailGoesOnceTheServerIsBack()
    {
        SmtpSink server;
        QVERIFY(server.start());
        QTemporaryDir spoolDir;
        // Kept long ago while the relay was down: tried before anything expires, then sent once.
        QVERIFY(QDir().mkpath(spoolDir.path()));
        const QString oldId = QStringLiteral("%1Z-00000000-0000beef")
                                  .arg(QDateTime::currentDateTimeUtc().addDays(-6).toString(QStringLiteral("yyyyMMdd'T'HHmmsszzz")));
        {
            QFile f(spoolDir.filePath(oldId + QStringLiteral(".xml")));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(Doc(QStringLiteral("six days old")));
        }
        // Back-offs far longer than the test: only the server's return can make the rest go.
        RetryQueue::Timing timing{60000, 60000, qint64(5) * 24 * 3600 * 1000, 1000};
        server.setFaults({QStringLiteral("greeting 421")});
        auto r = makeSpooledRelay(server.hostText(), spoolDir.path(), timing);
        // The old one was tried at once and failed: only now, after trying, does it expire.
        QVERIFY(r->waitLog(QStringLiteral("Kept document %1 could not be delivered for 5 days").arg(oldId)));
        QVERIFY(QFile::exists(spoolDir.filePath(QStringLiteral("failed/%1.xml").arg(oldId))));
        for (int i = 0; i < 3; ++i)
            QVERIFY(curl({"--data-binary", "@" + writeFile(Doc(QStringLiteral("kept %1").arg(i)))}, r->port).startsWith(Ok11));
        QVERIFY(r->net.Queue().KeptCount() >= 3);
        QCOMPARE(server.count(), 0);
        server.setFaults({});
        // The next document goes, and with it everything that waited for the server.
        QVERIFY(curl({"--data-binary", "@" + writeFile(Doc(QStringLiteral("live")))}, r->port).startsWith(Ok11));
        QVERIFY(server.waitForCount(4, 15000));
        QVERIFY(QTest::qWaitFor([&] { return r->net.Queue().KeptCount() == 0; }, 10000));
        QVERIFY(r->waitLog(QStringLiteral("The mail server takes mail again; ")));
        QStringList subjects = PySubjects(server.messages());
        subjects.sort();
        QCOMPARE(subjects, (QStringList{"kept 0", "kept 1", "kept 2", "live"}));

        // A second relay on the same spool does not start network relay mode on it.
        auto second = makeSpooledRelay(server.hostText(), spoolDir.path(), timing);
        QVERIFY(!second->core.IsRunning());
        QCOMPARE(second->logCount(QStringLiteral("The spool %1 is in use by process %2")
                                      .arg(spoolDir.path()).arg(QCoreApplication::applicationPid())),
                 1);

        // A six-day-old document with the server up is simply delivered.
        r.reset();
        server.setFaults({});
        const QString older = QStringLiteral("%1Z-00000000-0000cafe")
                                  .arg(QDateTime::currentDateTimeUtc().addDays(-6).toString(QStringLiteral("yyyyMMdd'T'HHmmsszzz")));
        QFile f(spoolDir.filePath(older + QStringLiteral(".xml")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(Doc(QStringLiteral("late but whole")));
        f.close();
        // Once the first has ended, Start takes the spool over, with what lies in it now.
        second->core.Start();
        QVERIFY(second->core.IsRunning());
        QVERIFY(server.waitForCount(5, 15000));
        QCOMPARE(PySubjects(server.messages().mid(4)), QStringList{"late but whole"});
        QVERIFY(QTest::qWaitFor([&] { return !QFile::exists(spoolDir.filePath(older + QStringLiteral(".xml"))); }, 5000));
    }

    void stoppingAnswersEveryClient()
    {
        SlowSmtp slow;
        QVERIFY(slow.start());
        slow.delayData(2);
        QTemporaryDir spoolDir;
        auto r = makeSpooledRelay(slow.hostText(), spoolDir.path(), RetryQueue::Timing{});
        auto clients = postTogether(QStringList(8, writeFile(Doc(QStringLiteral("stopping")))), r->port);
        // All eight are with the server, which takes two seconds over each.
        QVERIFY(QTest::qWaitFor([&] { return slow.maxConcurrentData() == 8; }, 20000));
        QSignalSpy ended(&r->core, &RelayCore::shutdownComplete);
        r->core.BeginShutdown(30000);
        // No new connection is taken meanwhile.
        QTcpSocket late;
        late.connectToHost(QHostAddress::LocalHost, r->port);
        QVERIFY(!late.waitForConnected(1000));
        QVERIFY(ended.wait(30000));
        for (const QByteArray& out : clients->answers())
            QVERIFY2(out.startsWith(Ok11), out.constData());
        QCOMPARE(slow.count(), 8);
    }

    void unknownTransportGoesThroughSmtp()
    {
        const QString path = dir.filePath(QStringLiteral("cdo.ini"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[SwiftnoteRelay]\nTransportMode=cdo\nMaxLogSize=65536\nSMTPServer=" + sink.hostText().toUtf8() +
                "\nSTMPRelayListenerPort=" + QByteArray::number(UnusedTcpPort()) + "\n");
        f.close();
        auto r = std::make_unique<NetRelay>(path, TestLimits());
        QCOMPARE(r->settings.TransportChoice(), Transport::None);
        r->core.Start();
        QCOMPARE(r->logCount(QStringLiteral("The transport setting 'cdo' is not known; mail goes through SMTP")), 1);
        const int before = sink.count();
        QVERIFY(curl({"--data-binary", "@" + writeFile(Doc(QStringLiteral("unknown transport")))}, r->port).startsWith(Ok11));
        QVERIFY(sink.waitForCount(before + 1));
        QCOMPARE(PySubjects(sink.messages().mid(before)), QStringList{"unknown transport"});
    }

    void timeOuts()
    {
        NetworkRelay::Limits limits = TestLimits();
        limits.idleMs = 1500;
        limits.requestMs = 3000;
        limits.steadyBytesPerSecond = 100;
        auto timed = makeRelay(sink.hostText(), limits);

        // A silent connection goes, logged with its peer; a slow but steady one stays.
        RawClient silent(timed->port);
        RawClient steady(timed->port);
        QVERIFY(silent.waitConnected() && steady.waitConnected());
        const QByteArray request = Bare(Doc(QStringLiteral("slow but steady"), QString(4000, QLatin1Char('s'))));
        qsizetype sent = 0;
        QElapsedTimer clock;
        clock.start();
        // About 200 bytes a second for five seconds, then the rest.
        while (clock.elapsed() < 5000) {
            steady.send(request.mid(sent, 60));
            sent += 60;
            QTest::qWait(300);
        }
        QVERIFY(silent.closed);
        QVERIFY(silent.reply.isEmpty());
        QVERIFY(timed->logCount(QStringLiteral("Connection from [127.0.0.1] closed: no data for ")) >= 1);
        QVERIFY(!steady.closed);
        const int before = sink.count();
        steady.send(request.mid(sent));
        QVERIFY(steady.waitClosed());
        QCOMPARE(steady.reply, Ok11);
        QVERIFY(sink.waitForCount(before + 1));

        // A connection that trickles too slowly is closed once the request time is up.
        RawClient trickle(timed->port);
        QVERIFY(trickle.waitConnected());
        QVERIFY(QTest::qWaitFor([&] {
            if (!trickle.closed)
                trickle.send("x");
            return trickle.closed;
        }, 15000));
        QVERIFY(timed->waitLog(QStringLiteral("closed: the request was still incomplete after ")));

        // 300 silent connections hold every slot until they time out; then an honest client is
        // served again.
        std::vector<std::unique_ptr<RawClient>> squatters;
        for (int i = 0; i < NetworkRelay::MaxSlots; ++i)
            squatters.push_back(std::make_unique<RawClient>(timed->port));
        QVERIFY(QTest::qWaitFor([&] {
            return std::all_of(squatters.begin(), squatters.end(), [](auto& c) { return c->closed; });
        }, 30000));
        const int honest = sink.count();
        QVERIFY(curl({"--data-binary", "@" + writeFile(Doc(QStringLiteral("honest")))}, timed->port).startsWith(Ok11));
        QVERIFY(sink.waitForCount(honest + 1));
    }

    void allowedClients()
    {
        auto only = makeRelay(sink.hostText(), TestLimits(), "AllowedClients=127.0.0.1\n");
        QVERIFY(only->core.IsRunning());
        QCOMPARE(only->logCount(QStringLiteral("may send mail through this relay")), 0);
        const int before = sink.count();
        RawClient listed(only->port, QHostAddress(QStringLiteral("127.0.0.1")));
        QVERIFY(listed.waitConnected());
        listed.send(Bare(Doc(QStringLiteral("listed"))));
        QVERIFY(listed.waitClosed());
        QCOMPARE(listed.reply, Ok11);

        RawClient other(only->port, QHostAddress(QStringLiteral("127.0.0.2")));
        QVERIFY(QTest::qWaitFor([&] { return other.socket.state() == QAbstractSocket::ConnectedState || other.closed; }, 5000));
        if (!other.closed)
            other.send(Bare(Doc(QStringLiteral("not listed"))));
        QVERIFY(other.waitClosed());
        QVERIFY(other.reply.isEmpty());
        QVERIFY(only->waitLog(QStringLiteral("Connection from [127.0.0.2] refused: the address is not in AllowedClients")));
        QVERIFY(sink.waitForCount(before + 1));
        QTest::qWait(300);
        QCOMPARE(PySubjects(sink.messages().mid(before)), QStringList{"listed"});

        // An entry that is no address is named and ignored.
        auto typo = makeRelay(sink.hostText(), TestLimits(), "AllowedClients=127.0.0.1, 10.0.0.300\n");
        QCOMPARE(typo->logCount(QStringLiteral("AllowedClients entry '10.0.0.300' is not an address or a prefix; it is ignored")), 1);
    }

    void deliveriesRunSideBySide()
    {
        SlowSmtp slow;
        QVERIFY(slow.start());
        slow.delayData(2);
        auto r = makeRelay(slow.hostText());
        auto clients = postTogether(QStringList(8, writeFile(Doc(QStringLiteral("side by side")))), r->port);
        for (const QByteArray& out : clients->answers())
            QVERIFY(out.startsWith(Ok11));
        QCOMPARE(slow.count(), 8);
        // The server was answering several of them at the same time, not one after another.
        QVERIFY2(slow.maxConcurrentData() >= 4, QByteArray::number(slow.maxConcurrentData()).constData());
    }

    void startTwiceAndListenerFailures()
    {
        const QString listening = QStringLiteral("Listening on Port %1\r\n").arg(relay->port);
        const int before = relay->logCount(listening);
        relay->core.Start();
        QCOMPARE(relay->logCount(listening), before + 1);
        QCOMPARE(relay->net.Sockets().State(0), int(SocketArray::Listening));
        QVERIFY(curl({"--data-binary", "@" + writeFile(Doc(QStringLiteral("still")))}, relay->port).startsWith(Ok11));

        // A relay whose port text is no port.
        const QString path = dir.filePath(QStringLiteral("badport.ini"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[SwiftnoteRelay]\nRelayMode=NETWORK\nSTMPRelayListenerPort=70000\n");
        f.close();
        NetRelay noPort(path, TestLimits());
        noPort.core.Start();
        QVERIFY(!noPort.core.IsRunning());
        QCOMPARE(noPort.logCount(QStringLiteral("Listener port '70000' is not a TCP port from 1 to 65535; the listener stays closed")), 1);
        QCOMPARE(noPort.logCount(QStringLiteral("Listening on Port")), 0);
        // A port another relay holds.
        auto taken = makeRelay(sink.hostText(), TestLimits(), {}, relay->port);
        QVERIFY(!taken->core.IsRunning());
        QCOMPARE(taken->logCount(QStringLiteral("Cannot listen on port %1: ").arg(relay->port)), 1);
        // Nothing claims it listens when it could not.
        QCOMPARE(taken->logCount(QStringLiteral("Listening on Port")), 0);
        QCOMPARE(taken->net.Sockets().State(0), int(SocketArray::Closed));
        QVERIFY(curl({"--data-binary", "@" + writeFile(Doc(QStringLiteral("first serves")))}, relay->port).startsWith(Ok11));
    }

    void cleanupTestCase()
    {
        relay.reset();
        QVERIFY(QDir(StagingFolder()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(NetRelayTest)
#include "test_netrelay.moc"
