// Network relay mode end to end: the window offscreen, real clients, a real SMTP server.
#include "MailDocBuilder.h"
#include "MimeReader.h"
#include "SmtpSink.h"

#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "common/Catalogue.h"
#include "ui/Form1.h"
#include "netrelay/RequestAssembly.h"
#include "netrelay/SocketArray.h"
#include "tracker/UnavailableTracker.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using namespace swn;
using namespace swn::test;

namespace {

QByteArray Request(const QByteArray& document, const QByteArray& requestLine = "POST / HTTP/1.1")
{
    return requestLine + "\r\nHost: relay\r\nContent-Length: " + QByteArray::number(document.size()) + "\r\n\r\n" +
        document;
}

// A raw client that writes what it is told and collects the reply until the relay closes.
struct RawClient {
    QTcpSocket socket;
    QByteArray reply;
    bool closed = false;
    explicit RawClient(quint16 port, const QHostAddress& address = QHostAddress::LocalHost)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { reply += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(address, port);
    }
    bool waitConnected() { return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000); }
    void send(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    bool waitClosed(int ms = 20000) { return QTest::qWaitFor([this] { return closed; }, ms); }
};

} // namespace

class NetRelayTest : public QObject {
    Q_OBJECT
    SmtpSink sink;
    QTemporaryDir dir;
    std::unique_ptr<Form1> form;
    quint16 port = 0;

    std::unique_ptr<Form1> makeForm(const QByteArray& settings = {})
    {
        const QString path = dir.filePath(QStringLiteral("relay-%1.ini").arg(QRandomGenerator::global()->generate()));
        if (!settings.isEmpty()) {
            QFile f(path);
            f.open(QIODevice::WriteOnly);
            f.write(settings);
        }
        Form1Options options;
        options.settingsFile = path;
        options.trackerFactory = std::make_shared<UnavailableTrackerFactory>();
        options.showMessage = [](const QString& text, const QString&, QMessageBox::Icon) { qWarning() << "box" << text; };
        options.quitOnExit = false;
        auto f = std::make_unique<Form1>(std::move(options));
        f->Form_Load();
        return f;
    }
    int logCount(const QString& needle) const { return int(form->LogText().count(needle)); }
    bool waitLog(const QString& needle, int n = 1) const
    {
        return QTest::qWaitFor([&] { return logCount(needle) >= n; }, 20000);
    }
    QByteArray curlPost(const QByteArray& document, const QString& host = QStringLiteral("127.0.0.1"))
    {
        const QString file = dir.filePath(QStringLiteral("doc-%1.xml").arg(QRandomGenerator::global()->generate()));
        QFile f(file);
        f.open(QIODevice::WriteOnly);
        f.write(document);
        f.close();
        QProcess curl;
        curl.start(QStringLiteral("curl"), {"-sS", "-i", "--max-time", "30", "--data-binary", "@" + file,
                                            QStringLiteral("http://%1:%2/").arg(host).arg(port)});
        // The relay runs in this thread: keep its events flowing while curl waits for it.
        if (!QTest::qWaitFor([&] { return curl.state() == QProcess::NotRunning; }, 40000))
            curl.kill();
        QFile::remove(file);
        return curl.readAllStandardOutput();
    }

private Q_SLOTS:
    void initTestCase()
    {
        SetCatalogueLanguage(Language::English);
        QVERIFY(sink.start());
        SetSmtpTimeouts(5, 5);
        form = makeForm();
        port = UnusedTcpPort();
        form->ListenPort->setText(QString::number(port));
        form->SMTPHost->setText(sink.hostText());
        form->cmdStart_Click();
        QVERIFY(form->IsRunning());
        QVERIFY(form->LogText().contains(QStringLiteral("Listening on Port %1").arg(port)));
    }

    void curlIsRelayedAndAnswered()
    {
        MailDocBuilder doc;
        doc.to = {"curl@example.org"};
        doc.attachments = {{"notes.txt", "attached"}};
        const int before = sink.count();
        const QByteArray reply = curlPost(doc.build());
        QVERIFY2(reply.startsWith("HTTP/1.1 200 \r\nContent-Length: 0\r\n\r\n"), reply.constData());
        QCOMPARE(sink.count(), before + 1);
        const ParsedMail mail = ParseMail(sink.messages().last().content);
        QCOMPARE(mail.to, QStringList{"curl@example.org"});
        QCOMPARE(mail.leaves.last().content, QByteArray("attached"));
        QVERIFY(form->LogText().contains(QStringLiteral("Referral received from [127.0.0.1] : Stream length ")));
        QCOMPARE(form->TotalRelays->text(), QString::number(form->TotalRelaysCount()));
        QVERIFY(QDir(StagingFolder()).isEmpty());

        // IPv6 clients reach the same listener.
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHostIPv6, port);
        if (probe.waitForConnected(2000)) {
            probe.abort();
            QVERIFY(curlPost(doc.build(), QStringLiteral("[::1]")).startsWith("HTTP/1.1 200 "));
            QVERIFY(waitLog(QStringLiteral("Referral received from [::1]")));
        }
    }

    void requestInPiecesWithTheTerminatorSplit()
    {
        const QByteArray request = Request(MailDocBuilder().build(), "POST /mail HTTP/1.0");
        const int before = sink.count();
        RawClient client(port);
        QVERIFY(client.waitConnected());
        const qsizetype split = request.size() - 9; // inside "</BT_mail_Msg>\r\n"
        for (qsizetype at = 0; at < split; at += 97) {
            client.send(request.mid(at, qMin<qsizetype>(97, split - at)));
            QTest::qWait(2);
        }
        QTest::qWait(100);
        QCOMPARE(sink.count(), before); // not complete yet
        QVERIFY(!client.closed);
        client.send(request.mid(split));
        QVERIFY(client.waitClosed());
        QCOMPARE(client.reply, QByteArray("HTTP/1.0 200 \r\nContent-Length: 0\r\n\r\n"));
        QCOMPARE(sink.count(), before + 1);
    }

    void requestLineFields()
    {
        const QByteArray document = MailDocBuilder().build();
        struct Case { QByteArray line, version; };
        for (const Case& c : {Case{"POST / X/9 extra", "X/9"}, Case{"POST  HTTP/1.1", "HTTP/1.1"},
                              Case{"POST /", "HTTP/1.0"}, Case{"", "HTTP/1.0"}}) {
            RawClient client(port);
            QVERIFY(client.waitConnected());
            client.send(Request(document, c.line));
            QVERIFY(client.waitClosed());
            QCOMPARE(client.reply, c.version + " 200 \r\nContent-Length: 0\r\n\r\n");
        }
        // "POST  HTTP/1.1": two blanks make an empty second field, so the third is the version.
    }

    void severalClientsAtOnce()
    {
        const int before = sink.count();
        std::vector<std::unique_ptr<RawClient>> clients;
        for (int i = 0; i < 25; ++i) {
            MailDocBuilder doc;
            doc.subject = QStringLiteral("parallel %1").arg(i);
            clients.push_back(std::make_unique<RawClient>(port));
        }
        for (auto& c : clients)
            QVERIFY(c->waitConnected());
        // Interleave the pieces of every request.
        std::vector<QByteArray> requests;
        for (int i = 0; i < 25; ++i) {
            MailDocBuilder doc;
            doc.subject = QStringLiteral("parallel %1").arg(i);
            requests.push_back(Request(doc.build()));
        }
        for (qsizetype at = 0; at < requests[0].size() + 200; at += 200)
            for (int i = 0; i < 25; ++i)
                if (at < requests[size_t(i)].size())
                    clients[size_t(i)]->send(requests[size_t(i)].mid(at, 200));
        for (auto& c : clients) {
            QVERIFY(c->waitClosed());
            QVERIFY(c->reply.startsWith("HTTP/1.1 200 "));
        }
        QVERIFY(sink.waitForCount(before + 25));
        QStringList subjects;
        for (const ReceivedMail& m : sink.messages().mid(before))
            subjects << ParseMail(m.content).subject;
        subjects.sort();
        QCOMPARE(subjects.size(), 25);
        QCOMPARE(subjects.removeDuplicates(), 0);
        QVERIFY(form->MaxSocket() <= 25);
    }

    void halfwayCloseThenSlotReusedClean()
    {
        QTest::qWait(50);
        const int slotsBefore = form->MaxSocket();
        {
            RawClient quitter(port);
            QVERIFY(quitter.waitConnected());
            quitter.send("POST / HTTP/1.1\r\n\r\n<BT_mail_Msg><from_addr>half");
            QTest::qWait(50);
            quitter.socket.disconnectFromHost();
            QTest::qWait(100);
        }
        const int before = sink.count();
        RawClient next(port);
        QVERIFY(next.waitConnected());
        next.send(Request(MailDocBuilder().build()));
        QVERIFY(next.waitClosed());
        QVERIFY(next.reply.startsWith("HTTP/1.1 200 "));
        QCOMPARE(sink.count(), before + 1); // the leftovers did not spoil the next request
        QCOMPARE(form->MaxSocket(), qMax(slotsBefore, 1));
    }

    void badDocumentsNextToGoodOnes()
    {
        const int before = sink.count();
        MailDocBuilder noList;
        noList.withAttachmentList = false;
        const QByteArray malformed = "<BT_mail_Msg><Subject>never closed</BT_mail_Msg>\r\n";
        MailDocBuilder badBase64;
        badBase64.attachments = {{"x.bin", "abc"}};
        QByteArray broken = badBase64.build();
        broken.replace(QByteArray("abc").toBase64(), "%%%%");
        const QList<QByteArray> docs{MailDocBuilder().build(), malformed, MailDocBuilder().build(), noList.build(),
                                     broken, MailDocBuilder().build()};
        for (const QByteArray& doc : docs)
            QVERIFY(curlPost(doc).startsWith("HTTP/1.1 200 "));
        QCOMPARE(sink.count(), before + 3);
        QVERIFY(form->LogText().contains(QStringLiteral("XML Stream Failed to Load.  Error: ")));
        QVERIFY(form->LogText().contains(QStringLiteral("AttachmentList")));
        QVERIFY(form->LogText().contains(QStringLiteral("x.bin")));
        QVERIFY(QDir(StagingFolder()).isEmpty());
    }

    void echoWritesEveryDocumentToItsOwnFile()
    {
        QTemporaryDir cwd;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(cwd.path());
        form->Picture1_DblClick();
        QVERIFY(form->EchoXML());
        MailDocBuilder one, two;
        one.subject = QStringLiteral("echo one");
        two.subject = QStringLiteral("echo two");
        QVERIFY(curlPost(one.build()).startsWith("HTTP/1.1 200 "));
        QVERIFY(curlPost(two.build()).startsWith("HTTP/1.1 200 "));
        form->Picture1_DblClick();
        QVERIFY(!form->EchoXML());
        QVERIFY(curlPost(one.build()).startsWith("HTTP/1.1 200 "));
        QDir::setCurrent(previous);
        const QStringList files = QDir(cwd.path()).entryList(QDir::Files);
        QCOMPARE(files.size(), 2);
        QSet<QByteArray> contents;
        for (const QString& name : files) {
            QFile f(cwd.filePath(name));
            QVERIFY(f.open(QIODevice::ReadOnly));
            contents.insert(f.readAll());
        }
        QCOMPARE(contents, (QSet<QByteArray>{one.build(), two.build()}));
        QVERIFY(form->LogText().contains(QStringLiteral("<Subject>echo two</Subject>")));
    }

    void startTwiceAndListenerFailures()
    {
        const int before = logCount(QStringLiteral("Listening on Port %1").arg(port));
        form->cmdStart_Click();
        QCOMPARE(logCount(QStringLiteral("Listening on Port %1").arg(port)), before + 1);
        QVERIFY(curlPost(MailDocBuilder().build()).startsWith("HTTP/1.1 200 "));

        // A port text that is no port, and a port already taken: logged, and Stopped.
        auto other = makeForm();
        other->ListenPort->setText(QStringLiteral("70000"));
        other->cmdStart_Click();
        QVERIFY(!other->IsRunning());
        QVERIFY(other->LogText().contains(QStringLiteral("70000")));
        other->ListenPort->setText(QString::number(port));
        other->cmdStart_Click();
        QVERIFY(!other->IsRunning());
        QCOMPARE(other->sock().State(0), int(SocketArray::Closed));
        QVERIFY(curlPost(MailDocBuilder().build()).startsWith("HTTP/1.1 200 ")); // the first still serves
    }

    void autoStartListensShortlyAfterStartUp()
    {
        const quint16 autoPort = UnusedTcpPort();
        auto autoForm = makeForm("[SwiftnoteRelay]\nRelayMode=NETWORK\nAutoStart=1\nSTMPRelayListenerPort=" +
                                 QByteArray::number(autoPort) + "\n");
        QVERIFY(QTest::qWaitFor([&] { return autoForm->IsRunning(); }, 5000));
        QVERIFY(autoForm->LogText().contains(QStringLiteral("Listening on Port %1").arg(autoPort)));
        QCOMPARE(autoForm->sock().State(0), int(SocketArray::Listening));
    }

    void transportFailureStillReplies()
    {
        // The mail component with a program that fails: the log says so before the reply.
        form->BTMail->setChecked(true);
        QVERIFY(curlPost(MailDocBuilder().build()).startsWith("HTTP/1.1 200 "));
        QVERIFY(form->LogText().contains(QStringLiteral("BT Mail Delivery fail : Code ")));
        form->CDOMail->setChecked(true);
    }

    void allSlotsBusyRefusesTheNextConnection()
    {
        std::vector<std::unique_ptr<RawClient>> idle;
        for (int i = 0; i < Form1::MaxSlots; ++i)
            idle.push_back(std::make_unique<RawClient>(port));
        QVERIFY(QTest::qWaitFor([&] {
            return std::all_of(idle.begin(), idle.end(), [](auto& c) { return c->socket.state() == QAbstractSocket::ConnectedState; });
        }, 20000));
        QVERIFY(QTest::qWaitFor([&] { return form->MaxSocket() == Form1::MaxSlots; }, 20000));
        RawClient extra(port);
        QVERIFY(extra.waitClosed(10000));
        QVERIFY(waitLog(QString::number(Form1::MaxSlots)));
        QCOMPARE(form->MaxSocket(), Form1::MaxSlots);
        QCOMPARE(form->sock().upperBound(), Form1::MaxSlots);
        // Once one leaves, a new client is served on its slot.
        idle.front()->socket.disconnectFromHost();
        QTest::qWait(200);
        QVERIFY(curlPost(MailDocBuilder().build()).startsWith("HTTP/1.1 200 "));
        idle.clear();
        QTest::qWait(200);
    }

    void oversizedRequestIsDropped()
    {
        RawClient hog(port);
        QVERIFY(hog.waitConnected());
        hog.send("POST / HTTP/1.1\r\n\r\n<BT_mail_Msg><Body>");
        const QByteArray chunk(4 << 20, 'a');
        qint64 sent = 0;
        while (!hog.closed && sent <= MaxRequestBytes) {
            hog.socket.write(chunk);
            sent += chunk.size();
            if (!QTest::qWaitFor([&] { return hog.socket.bytesToWrite() < chunk.size() || hog.closed; }, 10000))
                break;
        }
        QVERIFY(hog.waitClosed());
        QVERIFY(hog.reply.isEmpty());
        QVERIFY(waitLog(QStringLiteral("256")));
        QVERIFY(curlPost(MailDocBuilder().build()).startsWith("HTTP/1.1 200 "));
    }

    void cleanupTestCase()
    {
        form.reset();
        QVERIFY(QDir(StagingFolder()).isEmpty());
    }
};

QTEST_MAIN(NetRelayTest)
#include "test_netrelay.moc"
