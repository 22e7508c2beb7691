// Request framing and client access: the byte rules fed in every split, real clients' bytes
// captured on loopback, the address lists a listener checks its peers against and listens on,
// and the throttle of its refusal lines.
#include "MailDocBuilder.h"

#include "netrelay/ClientAccess.h"
#include "netrelay/HttpFraming.h"

#include <QFile>
#include <QNetworkInterface>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace swn;
using State = RequestFramer::State;

namespace {

const QByteArray Doc = "<?xml version=\"1.0\"?>\r\n<BT_mail_Msg><Subject>s</Subject></BT_mail_Msg>\r\n";

struct Run {
    State state = State::Incomplete;
    int completedAt = -1; // index of the piece after which the framer said Complete
    int refusedAt = -1;
    QByteArray document;
    QByteArray version;
    int continues = 0;
    int status = 0;
};

// Feeds the pieces one after the other, as arrivals on a connection, and checks that the state
// never goes back and Complete is announced once.
Run Feed(const QList<QByteArray>& pieces, bool quietAtEnd = false)
{
    Run run;
    RequestFramer framer;
    for (int i = 0; i < pieces.size(); ++i) {
        const State before = framer.state();
        const State now = framer.feed(pieces[i]);
        if (before != State::Incomplete && now != before)
            qFatal("the framer changed its mind after deciding");
        if (before == State::Incomplete && now == State::Complete)
            run.completedAt = i;
        if (before == State::Incomplete && now == State::Refused)
            run.refusedAt = i;
        if (framer.takeContinue())
            ++run.continues;
    }
    if (quietAtEnd && framer.quietSpell() == State::Complete && run.completedAt < 0)
        run.completedAt = int(pieces.size());
    run.state = framer.state();
    run.version = framer.versionField();
    run.status = framer.refusalStatus();
    if (run.state == State::Complete)
        run.document = framer.takeDocument();
    return run;
}

QList<QByteArray> SplitAt(const QByteArray& bytes, qsizetype at)
{
    return {bytes.first(at), bytes.sliced(at)};
}

QList<QByteArray> Bytewise(const QByteArray& bytes)
{
    QList<QByteArray> pieces;
    for (const char c : bytes)
        pieces.append(QByteArray(1, c));
    return pieces;
}

QByteArray WithLength(const QByteArray& body, const QByteArray& head = "POST / HTTP/1.1\r\nHost: relay\r\n")
{
    return head + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray Chunked(const QByteArray& body, qsizetype size, const QByteArray& extension = {},
                   const QByteArray& trailer = {}, const QByteArray& eol = "\r\n")
{
    QByteArray out;
    for (qsizetype at = 0; at < body.size(); at += size) {
        const QByteArray part = body.mid(at, size);
        out += QByteArray::number(part.size(), 16) + extension + eol + part + eol;
    }
    return out + "0" + extension + eol + trailer + eol;
}

// What the reception before the framer made of a request without a length: the oracle for the
// terminator rule.
QByteArray OldDocument(QByteArray request)
{
    const qsizetype at = request.indexOf("\r\n\r\n");
    return at >= 0 ? request.mid(at + 4) : request.mid(3);
}

// One captured exchange: what a real client sent, fed to a framer arrival by arrival and answered
// as the relay answers.
struct Exchange {
    QByteArray raw;
    QByteArray document;
    QByteArray version;
    State state = State::Incomplete;
    int continues = 0;
    int arrivals = 0;
};

class CaptureServer {
public:
    QTcpServer server;
    std::vector<std::shared_ptr<Exchange>> exchanges;

    bool listen()
    {
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                auto exchange = std::make_shared<Exchange>();
                auto framer = std::make_shared<RequestFramer>();
                exchanges.push_back(exchange);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, exchange, framer] {
                    const QByteArray piece = socket->readAll();
                    exchange->raw += piece;
                    ++exchange->arrivals;
                    if (framer->state() != State::Incomplete)
                        return;
                    framer->feed(piece);
                    if (framer->takeContinue()) {
                        ++exchange->continues;
                        socket->write("HTTP/1.1 100 Continue\r\n\r\n");
                    }
                    if (framer->state() == State::Incomplete)
                        return;
                    exchange->state = framer->state();
                    exchange->version = framer->versionField();
                    if (framer->state() == State::Complete) {
                        exchange->document = framer->takeDocument();
                        socket->write(BuildReply(exchange->version));
                    } else {
                        socket->write(BuildErrorReply(exchange->version, framer->refusalStatus()));
                    }
                    socket->disconnectFromHost();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        return server.listen(QHostAddress::LocalHost, 0);
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort()); }
};

// The process's peak resident memory since the last reset (the kernel's clear_refs "5"), so a test
// can see what one call cost at its worst, temporaries included.
struct PeakMemory {
    static qint64 statusKiB(const char* field)
    {
        QFile f(QStringLiteral("/proc/self/status"));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith(field))
                return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
        return -1;
    }
    bool reset()
    {
        QFile f(QStringLiteral("/proc/self/clear_refs"));
        if (!f.open(QIODevice::WriteOnly) || f.write("5") != 1)
            return false;
        f.close();
        startKiB = statusKiB("VmRSS:");
        return startKiB >= 0;
    }
    qint64 growthBytes() const { return (statusKiB("VmHWM:") - startKiB) * 1024; }
    qint64 startKiB = -1;
};

// Runs a client to its end while this thread's event loop serves it.
bool RunClient(const QString& program, const QStringList& arguments, QByteArray* output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return false;
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        qWarning("%s failed: %s", qPrintable(program), process.readAllStandardError().constData());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

const char* PythonClient = R"(
import http.client, sys
port, path, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3]
data = open(path, 'rb').read()
c = http.client.HTTPConnection('127.0.0.1', port, timeout=30)
if mode == 'chunked':
    c.request('POST', '/', body=iter([data[i:i + 777] for i in range(0, len(data), 777)]), encode_chunked=True)
else:
    c.request('POST', '/', body=data)
r = c.getresponse()
r.read()
sys.exit(0 if r.status == 200 else 1)
)";

} // namespace

class FramingTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // First, while the process is small: a header's parse must cost memory in proportion to it
    // with a small constant, whatever it holds (a list of commas, or a multitude of tiny fields).
    void headerParseMemoryIsSmall()
    {
#if defined(__SANITIZE_ADDRESS__)
        // The sanitizer's shadow memory and quarantine are what such a reading would measure.
        QSKIP("resident memory says nothing under AddressSanitizer");
#endif
        const qsizetype size = 16 * 1024 * 1024;
        const QList<QByteArray> headers{
            "POST / HTTP/1.1\r\nContent-Length: " + QByteArray(size, ',') + "\r\n\r\n",
            "POST / HTTP/1.1\r\nTransfer-Encoding: " + QByteArray(size, ',') + "chunked, x\r\n\r\n",
            "POST / HTTP/1.1\r\n" + QByteArray("a:\r\n").repeated(size / 4) + "\r\n",
            "POST / HTTP/1.1\r\nExpect: x\r\n" + QByteArray(" 1\r\n").repeated(size / 4) + "\r\n",
        };
        for (const QByteArray& header : headers) {
            // A framer that lets such a header through, so that it is parsed at all.
            RequestFramer framer(MaxRequestBytes, 2 * size);
            PeakMemory peak;
            if (!peak.reset())
                QSKIP("this kernel does not let a process reset its peak memory");
            const State state = framer.feed(header);
            const qint64 growth = peak.growthBytes();
            QVERIFY2(growth < header.size() + 16 * 1024 * 1024, qPrintable(QString::number(growth)));
            QVERIFY(state != State::Complete);
            QVERIFY(framer.headerComplete());
        }
    }

    void headerIsBounded()
    {
        // Exactly the bound, the empty line included, is taken; one byte more is refused at once.
        const auto padded = [](qsizetype headerSize) {
            const QByteArray head = "POST / HTTP/1.1\r\nContent-Length: " + QByteArray::number(Doc.size()) + "\r\nX-Pad: ";
            return head + QByteArray(headerSize - head.size() - 4, 'p') + "\r\n\r\n" + Doc;
        };
        const QByteArray fits = padded(MaxHeaderBytes);
        QCOMPARE(fits.indexOf("\r\n\r\n") + 4, MaxHeaderBytes);
        const QByteArray over = padded(MaxHeaderBytes + 1);
        for (qsizetype at : {qsizetype(0), qsizetype(1), qsizetype(17), MaxHeaderBytes - 1, MaxHeaderBytes,
                             MaxHeaderBytes + 1, fits.size()}) {
            const Run taken = Feed(SplitAt(fits, at));
            QCOMPARE(taken.state, State::Complete);
            QCOMPARE(taken.document, Doc);
            const Run refused = Feed(SplitAt(over, at));
            QCOMPARE(refused.state, State::Refused);
            QCOMPARE(refused.status, 431);
            QCOMPARE(refused.version, QByteArray("HTTP/1.1"));
        }
        // Byte by byte: refused with the byte past the bound, the end of the header unseen; with
        // a bare LF header, with a request line that never ends, and with a header that never ends.
        for (const QByteArray& request :
             {over, QByteArray("POST / HTTP/1.1\nX: " + QByteArray(MaxHeaderBytes, 'x') + "\n\n"),
              QByteArray("POST /" + QByteArray(MaxHeaderBytes, 'x')),
              QByteArray("GET / HTTP/1.0\r\n" + QByteArray(MaxHeaderBytes, 'x') + "</BT_mail_Msg>\r\n"),
              // A line that is no field does not lift the bound.
              QByteArray("POST / HTTP/1.1\r\n<BT_mail_Msg>" + QByteArray(MaxHeaderBytes, 'x') + "</BT_mail_Msg>\r\n")}) {
            const Run run = Feed(Bytewise(request));
            QCOMPARE(run.refusedAt, int(MaxHeaderBytes));
            QCOMPARE(run.status, 431);
        }
        RequestFramer framer;
        framer.feed(over);
        QVERIFY(framer.refusalReason().contains(QString::number(MaxHeaderBytes)));
        QCOMPARE(framer.bufferedBytes(), 0);
        QCOMPARE(BuildErrorReply("HTTP/1.1", 431),
                 QByteArray("HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"));

        // 20 MiB of commas as a socket hands them over: refused within two pieces, holding no more
        // than the bound and one piece at any time.
        const QByteArray huge = "POST / HTTP/1.1\r\nContent-Length: " + QByteArray(20 * 1024 * 1024, ',') + "\r\n\r\n";
        const qsizetype piece = 64 * 1024;
        RequestFramer pieces;
        qsizetype most = 0;
        int refusedAt = -1;
        for (qsizetype at = 0, i = 0; at < huge.size(); at += piece, ++i) {
            if (pieces.feed(QByteArrayView(huge).sliced(at, qMin(piece, huge.size() - at))) == State::Refused && refusedAt < 0)
                refusedAt = int(i);
            most = qMax(most, pieces.bufferedBytes());
        }
        QCOMPARE(refusedAt, 1);
        QCOMPARE(pieces.refusalStatus(), 431);
        QVERIFY(most <= MaxHeaderBytes);
    }

    void bareDocumentsKeepTheirSize()
    {
        // No request line: the old rule at any size up to the request limit.
        QByteArray large(300 * 1024, 'b');
        for (qsizetype i = 1000; i < large.size(); i += 1000)
            large[i] = i % 3000 ? ' ' : '\n';
        const QByteArray document = "<BT_mail_Msg><Body>" + large + "</Body></BT_mail_Msg>\r\n";
        const QByteArray xmlDeclaration = "<?xml version=\"1.0\"?>\r\n";
        for (const QByteArray& request :
             {QByteArray("<?x" + document), QByteArray("\xEF\xBB\xBF" + xmlDeclaration + document),
              QByteArray("abc" + document), QByteArray("xyz " + document), QByteArray("ab\n" + document),
              QByteArray(xmlDeclaration + document),
              // An empty line far into a bare document: the old rule cuts there, whatever the size.
              QByteArray("ab\n<BT_mail_Msg>" + large + "\r\n\r\n" + document),
              // First lines that are almost request lines.
              QByteArray("POST  HTTP/1.1\r\n" + document), QByteArray("POST / HTTP/1.1 x\r\n" + document),
              QByteArray("POST / FTP/1.1\r\n" + document)}) {
            for (qsizetype at : {qsizetype(0), qsizetype(2), qsizetype(5), MaxHeaderBytes, request.size() - 1}) {
                const Run run = Feed(SplitAt(request, at));
                QVERIFY2(run.state == State::Complete, request.left(20).constData());
                QCOMPARE(run.document, OldDocument(request));
            }
        }
        // Up to the request limit, and no further.
        RequestFramer bounded(1024 * 1024);
        QCOMPARE(bounded.feed("<?x" + document), State::Complete);
        RequestFramer tooLarge(200 * 1024);
        QCOMPARE(tooLarge.feed("<?x" + document), State::Refused);
        QCOMPARE(tooLarge.refusalStatus(), 413);
    }

    void onlyPostIsTaken()
    {
        // Refused as soon as the header is in (not before, so the reply is not lost to a reset
        // while the client still sends its header), whatever would follow.
        for (const QByteArray& method : {QByteArray("GET"), QByteArray("HEAD"), QByteArray("PUT"), QByteArray("OPTIONS"),
                                         QByteArray("POSTX"), QByteArray("P0ST")}) {
            for (const QByteArray& request :
                 {method + " / HTTP/1.1\r\nHost: relay\r\nAccept: */*\r\n\r\n",
                  method + " /mail?x=1 HTTP/1.0\nHost: relay\n\n",
                  method + " / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: " + QByteArray::number(Doc.size()) + "\r\n\r\n" + Doc}) {
                const qsizetype headerEnd = request.contains("\r\n\r\n") ? request.indexOf("\r\n\r\n") + 4 : request.indexOf("\n\n") + 2;
                for (qsizetype at = 0; at <= request.size(); ++at) {
                    const Run run = Feed(SplitAt(request, at));
                    QCOMPARE(run.state, State::Refused);
                    QCOMPARE(run.status, 405);
                    QCOMPARE(run.refusedAt, at < headerEnd ? 1 : 0);
                    QCOMPARE(run.continues, 0);
                }
            }
            RequestFramer framer;
            framer.feed(method + " / HTTP/1.1\r\n\r\n");
            QVERIFY(framer.isHttpRequest());
            QVERIFY(framer.refusalReason().contains(QString::fromLatin1(method)));
            QCOMPARE(BuildErrorReply(framer.versionField(), framer.refusalStatus()),
                     QByteArray("HTTP/1.1 405 Method Not Allowed\r\nAllow: POST\r\nContent-Length: 0\r\n"
                                "Connection: close\r\n\r\n"));
        }
        // POST in any case is taken, as the relay never looked at the method before.
        for (const QByteArray& method : {QByteArray("POST"), QByteArray("post"), QByteArray("Post")})
            QCOMPARE(Feed({WithLength(Doc, method + " / HTTP/1.1\r\n")}).document, Doc);
        // Lines that are no request line keep the old rules, whatever word they start with.
        for (const QByteArray& request : {QByteArray("GET\r\n\r\n" + Doc), QByteArray("GET  HTTP/1.1\r\n\r\n" + Doc),
                                          QByteArray("GET / HTTP/1.1 x\r\n\r\n" + Doc), QByteArray("GET <x> HTTP/1.1\r\n\r\n" + Doc)}) {
            RequestFramer framer;
            QCOMPARE(framer.feed(request), State::Complete);
            QVERIFY(!framer.isHttpRequest());
            QCOMPARE(framer.takeDocument(), Doc);
        }
    }

    void errorRepliesCarryExtraLines()
    {
        QCOMPARE(BuildErrorReply("HTTP/1.1", 503, "Retry-After: 30"),
                 QByteArray("HTTP/1.1 503 Service Unavailable\r\nRetry-After: 30\r\nContent-Length: 0\r\n"
                            "Connection: close\r\n\r\n"));
        QCOMPARE(BuildErrorReply("HTTP/1.0", 503, "Retry-After: 5\r\nX-Why: busy\r\n"),
                 QByteArray("HTTP/1.0 503 Service Unavailable\r\nRetry-After: 5\r\nX-Why: busy\r\nContent-Length: 0\r\n"
                            "Connection: close\r\n\r\n"));
        // Nothing the lines hold can end the header early or start a line of its own.
        for (const QByteArray& extra : {QByteArray("Retry-After: 5\r\n\r\nInjected"), QByteArray("\r\n\r\n"),
                                        QByteArray("Retry-After: 5\rSet-Cookie: a=b"), QByteArray("no colon"),
                                        QByteArray(": no name"), QByteArray("Bad Name: x"), QByteArray("X: a\0b")}) {
            const QByteArray reply = BuildErrorReply("HTTP/1.1", 503, extra);
            QCOMPARE(reply.indexOf("\r\n\r\n"), reply.size() - 4);
            QCOMPARE(reply.count('\r'), reply.count('\n'));
            QVERIFY(!reply.contains("Injected") && !reply.contains("Cookie") && !reply.contains("colon") &&
                    !reply.contains("name") && !reply.contains("Name") && !reply.contains('\0'));
            QVERIFY(reply.count("\r\n") <= 5);
        }
        // A 405 that names its methods itself says it once.
        QCOMPARE(BuildErrorReply("HTTP/1.1", 405, "allow: POST").count("llow:"), 1);
    }

    void terminatorRuleInEverySplit()
    {
        const QByteArray request = "POST /mail HTTP/1.1\r\nHost: relay\r\n\r\n" + Doc;
        for (qsizetype at = 0; at <= request.size(); ++at) {
            const Run run = Feed(SplitAt(request, at));
            QCOMPARE(run.state, State::Complete);
            QCOMPARE(run.completedAt, at < request.size() ? 1 : 0); // only once the last byte is there, terminator split or not
            QCOMPARE(run.document, Doc);
            QCOMPARE(run.document, OldDocument(request));
            QCOMPARE(run.version, QByteArray("HTTP/1.1"));
        }
        const Run bytewise = Feed(Bytewise(request));
        QCOMPARE(bytewise.completedAt, int(request.size() - 1));
        QCOMPARE(bytewise.document, Doc);

        // Text after the terminator in the same arrival: never complete by the terminator.
        const Run more = Feed({request + "\r\n"});
        QCOMPARE(more.state, State::Incomplete);
        // The terminator inside a piece, more text after it: the end is what counts.
        const Run inside = Feed({request + "<x/>", "</BT_mail_Msg>\r\n"});
        QCOMPARE(inside.completedAt, 1);
        QCOMPARE(inside.document, Doc + "<x/></BT_mail_Msg>\r\n");
        // Complete once; what comes after is not part of the request.
        const Run after = Feed({request, "GET / HTTP/1.1\r\n\r\n"});
        QCOMPARE(after.completedAt, 0);
        QCOMPARE(after.document, Doc);
        // A terminator that differs in case is no terminator.
        QCOMPARE(Feed({"POST / HTTP/1.1\r\n\r\n<BT_mail_Msg></bt_mail_msg>\r\n"}).state, State::Incomplete);
    }

    void requestWithoutHeaderKeepsTheOldRule()
    {
        // No empty line at all: the document starts at the fourth byte.
        for (const QByteArray& request : {QByteArray("abc" + Doc), QByteArray("ab\n<BT_mail_Msg>x</BT_mail_Msg>\r\n"),
                                          QByteArray("</BT_mail_Msg>\r\n")}) {
            for (qsizetype at = 0; at <= request.size(); ++at) {
                const Run run = Feed(SplitAt(request, at));
                QCOMPARE(run.state, State::Complete);
                QCOMPARE(run.document, OldDocument(request));
            }
        }
        // A document whose first line ends with a bare LF and that contains a blank line is no
        // header: its first line does not look like a request line.
        const QByteArray plain = "<?xml version=\"1.0\"?>\n<BT_mail_Msg>\n\n</BT_mail_Msg>\r\n";
        QCOMPARE(Feed({plain}).document, OldDocument(plain));
        QCOMPARE(Feed({plain}).version, QByteArray("HTTP/1.0"));
    }

    void contentLengthIsExact()
    {
        // The terminator text inside the document (CDATA) must not end the request early.
        const QByteArray inner = "<?xml version=\"1.0\"?>\r\n<BT_mail_Msg><Body><![CDATA[quoted </BT_mail_Msg>\r\n"
                                 "still the body]]></Body></BT_mail_Msg>\r\n";
        const QByteArray request = WithLength(inner);
        const qsizetype afterInner = request.indexOf("</BT_mail_Msg>\r\n") + RequestTerminatorLength;
        QVERIFY(afterInner < request.size() - RequestTerminatorLength);
        for (qsizetype at = 0; at <= request.size(); ++at) {
            const Run run = Feed(SplitAt(request, at));
            QCOMPARE(run.completedAt, at < request.size() ? 1 : 0);
            QCOMPARE(run.document, inner);
        }
        QCOMPARE(Feed({request.first(afterInner)}).state, State::Incomplete);
        QCOMPARE(Feed(Bytewise(request)).completedAt, int(request.size() - 1));

        // A file that ends with a plain LF, the length says where it stops.
        const QByteArray lfFile = "<BT_mail_Msg>\n<Subject>x</Subject>\n</BT_mail_Msg>\n";
        const QByteArray lfRequest = WithLength(lfFile);
        for (qsizetype at = 0; at <= lfRequest.size(); ++at) {
            const Run run = Feed(SplitAt(lfRequest, at));
            QCOMPARE(run.completedAt, at < lfRequest.size() ? 1 : 0);
            QCOMPARE(run.document, lfFile);
        }
        // Whatever it ends with, and whatever follows it.
        const QByteArray odd = "no document at all";
        const Run oddRun = Feed({WithLength(odd) + "trailing junk", "more junk"});
        QCOMPARE(oddRun.completedAt, 0);
        QCOMPARE(oddRun.document, odd);
        // An empty body.
        const Run empty = Feed({"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n"});
        QCOMPARE(empty.state, State::Complete);
        QCOMPARE(empty.document, QByteArray());
        // Repeated fields or a list of the same value are one length; names in any case.
        const Run repeated = Feed({"POST / HTTP/1.1\r\ncontent-length: 4\r\nCONTENT-LENGTH: 4, 4\r\n\r\nabcdEF"});
        QCOMPARE(repeated.document, QByteArray("abcd"));
        const Run spaced = Feed({"POST / HTTP/1.1\r\nContent-Length:\t 004 \r\n\r\nabcdEF"});
        QCOMPARE(spaced.document, QByteArray("abcd"));
    }

    void invalidContentLengthIsRefused()
    {
        for (const QByteArray& value : {QByteArray("12a"), QByteArray("-1"), QByteArray(""), QByteArray("+5"),
                                        QByteArray("0x10"), QByteArray("1 2"), QByteArray("5, 6"),
                                        QByteArray("1234567890123456789")}) {
            const QByteArray request = "POST / HTTP/1.1\r\nContent-Length: " + value + "\r\n\r\n" + Doc;
            for (qsizetype at : {qsizetype(0), request.indexOf("\r\n\r\n") + 4, request.size()}) {
                const Run run = Feed(SplitAt(request, at));
                QVERIFY2(run.state == State::Refused, value.constData());
                QCOMPARE(run.status, 400);
                QCOMPARE(run.version, QByteArray("HTTP/1.1"));
            }
        }
        // Two fields that disagree.
        const Run conflict = Feed({"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nabcdef"});
        QCOMPARE(conflict.state, State::Refused);
        QCOMPARE(conflict.status, 400);
        RequestFramer framer;
        framer.feed("POST / HTTP/1.0\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n");
        QVERIFY(framer.refusalReason().contains(QStringLiteral("Content-Length")));
        QCOMPARE(framer.bufferedBytes(), 0);
    }

    void lengthLongerThanSent()
    {
        // The client announced more than it sent: a document that visibly ended is taken after a
        // quiet spell, anything else waits for the owner's time-out.
        const QByteArray lfDoc = "<BT_mail_Msg><Subject>x</Subject></BT_mail_Msg>\n";
        const QByteArray head = "POST / HTTP/1.1\r\nContent-Length: " + QByteArray::number(lfDoc.size() + 100) + "\r\n\r\n";
        for (qsizetype at = 0; at <= head.size() + lfDoc.size(); ++at) {
            const Run run = Feed(SplitAt(head + lfDoc, at), true);
            QCOMPARE(run.state, State::Complete);
            QCOMPARE(run.completedAt, 2);
            QCOMPARE(run.document, lfDoc);
        }
        QCOMPARE(Feed({head + lfDoc.chopped(3)}, true).state, State::Incomplete);
        QCOMPARE(Feed({head + lfDoc + "x"}, true).state, State::Incomplete);

        // Huge: far more than any request may hold is refused at once, without buffering.
        RequestFramer huge;
        QCOMPARE(huge.feed("POST / HTTP/1.1\r\nContent-Length: 999999999999999999\r\n\r\n" + Doc), State::Refused);
        QCOMPARE(huge.refusalStatus(), 413);
        QCOMPARE(huge.bufferedBytes(), 0);
        // Within the bound but never sent: waits, holding only what came.
        RequestFramer large;
        QCOMPARE(large.feed("POST / HTTP/1.1\r\nContent-Length: 200000000\r\n\r\n<BT_mail_Msg>"), State::Incomplete);
        QCOMPARE(large.quietSpell(), State::Incomplete);
        QVERIFY(large.bufferedBytes() < 200);
    }

    void chunkedBodies()
    {
        const QByteArray body = "<BT_mail_Msg><Body><![CDATA[a </BT_mail_Msg>\r\n b]]>" + QByteArray(300, 'y') +
            "</Body></BT_mail_Msg>\r\n";
        const QByteArray head = "POST / HTTP/1.1\r\nHost: relay\r\nTransfer-Encoding: Chunked\r\n\r\n";
        const QList<QByteArray> requests{
            head + Chunked(body, 7),
            head + Chunked(body, 16, ";name=value;flag", "Checksum: abc\r\nOther:  x\r\n"),
            head + Chunked(body, 5, " ; ext=\"q;uoted\"", {}, "\n"),
            head + "A\r\n" + body.first(10) + "\r\nfF\r\n" + body.sliced(10, 255) + "\r\n" +
                Chunked(body.sliced(265), 3000),
            // A length beside the coding does not frame the body.
            "POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(body, 9),
        };
        for (const QByteArray& request : requests) {
            for (qsizetype at = 0; at <= request.size(); ++at) {
                const Run run = Feed(SplitAt(request, at));
                QVERIFY2(run.completedAt == (at < request.size() ? 1 : 0), request.constData());
                QCOMPARE(run.document, body);
            }
            QCOMPARE(Feed(Bytewise(request)).completedAt, int(request.size() - 1));
        }
        // The last chunk without its final empty line is taken after a quiet spell only.
        const QByteArray unfinished = head + Chunked(body, 10).chopped(2);
        QCOMPARE(Feed({unfinished}).state, State::Incomplete);
        const Run quiet = Feed({unfinished}, true);
        QCOMPARE(quiet.state, State::Complete);
        QCOMPARE(quiet.document, body);
        // In the middle of a chunk the quiet spell changes nothing.
        QCOMPARE(Feed({head + "10\r\n</BT_mail_Msg>\r\n"}, true).state, State::Incomplete);
        QCOMPARE(Feed({head + "20\r\n<BT_mail_Msg/>\r\n0123"}, true).state, State::Incomplete);
    }

    void badChunkingIsRefused()
    {
        const QByteArray head = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
        for (const QByteArray& chunks :
             {QByteArray("zz\r\nab\r\n0\r\n\r\n"), QByteArray("2\r\nabc\r\n0\r\n\r\n"), QByteArray("2\rab\r\n0\r\n\r\n"),
              QByteArray("2\r\nab\rX0\r\n\r\n"), QByteArray("1000000000000000\r\n"), QByteArray(";x\r\n"),
              QByteArray("-1\r\n"), QByteArray("0\r\n\rX"), QByteArray("2 x\r\nab\r\n"),
              QByteArray("1;" + QByteArray(9000, 'e') + "\r\n")}) {
            for (qsizetype at : {qsizetype(0), qsizetype(1), chunks.size()}) {
                const Run run = Feed({head + chunks.first(at), chunks.sliced(at)});
                QVERIFY2(run.state == State::Refused, chunks.left(40).constData());
                QCOMPARE(run.status, 400);
            }
        }
        // Codings it cannot undo.
        for (const QByteArray& coding : {QByteArray("gzip"), QByteArray("gzip, chunked"), QByteArray("identity"),
                                         QByteArray("chunked, deflate")}) {
            const Run run = Feed({"POST / HTTP/1.1\r\nTransfer-Encoding: " + coding + "\r\n\r\n"});
            QCOMPARE(run.state, State::Refused);
            QCOMPARE(run.status, 501);
        }
        QCOMPARE(Feed({"POST / HTTP/1.1\r\nTransfer-Encoding: chunked, chunked\r\n\r\n"}).status, 400);
        QCOMPARE(Feed({"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n\r\n"}).status, 501);
    }

    void continueIsOfferedOnce()
    {
        const QByteArray head = "POST / HTTP/1.1\r\nHost: relay\r\nExpect: 100-Continue\r\nContent-Length: " +
            QByteArray::number(Doc.size()) + "\r\n\r\n";
        // Header in any number of pieces, body later: exactly one invitation.
        for (qsizetype at = 0; at <= head.size(); ++at) {
            const Run run = Feed({head.first(at), head.sliced(at), Doc.first(10), Doc.sliced(10)});
            QCOMPARE(run.continues, 1);
            QCOMPARE(run.document, Doc);
        }
        RequestFramer framer;
        framer.feed(head.chopped(1));
        QVERIFY(!framer.takeContinue()); // header not complete yet
        framer.feed(head.right(1));
        QVERIFY(framer.takeContinue());
        QVERIFY(!framer.takeContinue());
        // Everything already there: nothing to invite.
        QCOMPARE(Feed({head + Doc}).continues, 0);
        // Without the field, or with another expectation, never.
        QCOMPARE(Feed({WithLength(Doc).first(40), WithLength(Doc).sliced(40)}).continues, 0);
        QCOMPARE(Feed({"POST / HTTP/1.1\r\nExpect: something\r\nContent-Length: 5\r\n\r\n", "abcde"}).continues, 0);
        // Chunked bodies are invited too.
        QCOMPARE(Feed({"POST / HTTP/1.1\r\nexpect: 100-continue\r\nTransfer-Encoding: chunked\r\n\r\n", "0\r\n\r\n"}).continues, 1);
    }

    void browserRequestsAreRecognised()
    {
        struct Case { QByteArray field; bool browser; };
        for (const Case& c : {Case{"Origin: http://intranet.example", true}, Case{"Sec-Fetch-Site: cross-site", true},
                              Case{"origin: null", true}, Case{"sec-fetch-site:", true}, Case{"X-Origin: a", false},
                              Case{"Referer: http://a/", false}}) {
            const QByteArray request = WithLength(Doc, "POST / HTTP/1.1\r\n" + c.field + "\r\n");
            RequestFramer framer;
            framer.feed(request.first(request.indexOf("\r\n\r\n") + 4));
            QCOMPARE(framer.fromBrowser(), c.browser);
            framer.feed(request.sliced(request.indexOf("\r\n\r\n") + 4));
            QCOMPARE(framer.state(), State::Complete);
        }
        // A browser's "Expect" is not answered: such a request gets no body invitation.
        RequestFramer framer;
        framer.feed("POST / HTTP/1.1\r\nOrigin: x\r\nExpect: 100-continue\r\nContent-Length: 9\r\n\r\n");
        QVERIFY(framer.fromBrowser());
        QVERIFY(!framer.takeContinue());
    }

    void versionFieldNeverCarriesAnythingElse()
    {
        struct Case { QByteArray line; QByteArray version; };
        for (const Case& c : {Case{"POST / HTTP/1.1", "HTTP/1.1"}, Case{"POST / HTTP/2.0", "HTTP/2.0"},
                              Case{"POST / HTTP/1.0", "HTTP/1.0"}, Case{"POST / HTTP/1.1x", "HTTP/1.0"},
                              Case{"POST / http/1.1", "HTTP/1.0"}, Case{"", "HTTP/1.0"}, Case{"POST /", "HTTP/1.0"},
                              Case{"POST  HTTP/1.1", "HTTP/1.1"}, Case{"POST / HTTP/1.1 extra", "HTTP/1.1"},
                              Case{"POST / X/9", "HTTP/1.0"}, Case{"POST / HTTP/1.", "HTTP/1.0"},
                              Case{"POST / HTTP/.1", "HTTP/1.0"}, Case{"POST / HTTP/1.1\t", "HTTP/1.0"},
                              Case{"POST / HTTP/1.1\rSet-Cookie: a=b", "HTTP/1.0"},
                              Case{"POST / HTTP/1234.1", "HTTP/1.0"}, Case{"POST\t/\tHTTP/1.1", "HTTP/1.0"}}) {
            const QByteArray request = c.line + "\r\nHost: x\r\n\r\n" + Doc;
            const Run run = Feed({request});
            QVERIFY2(run.version == c.version, c.line.constData());
            QCOMPARE(SafeVersionField(request), c.version);
            QCOMPARE(BuildReply(run.version), c.version + " 200 \r\nContent-Length: 0\r\n\r\n");
        }
        // A request line ended by a bare LF: what follows is another line and never reaches the reply.
        for (const QByteArray& request :
             {QByteArray("POST / HTTP/1.1\nSet-Cookie: a=b\r\n\r\n" + Doc), QByteArray("POST / HTTP/1.1\nSet-Cookie: a=b\n\n" + Doc),
              QByteArray("POST /\nSet-Cookie: a=b HTTP/1.1\r\n\r\n" + Doc),
              QByteArray("POST / HTTP/1.1\nSet-Cookie: a=b")}) {
            for (qsizetype at = 0; at <= request.size(); ++at) {
                RequestFramer framer;
                framer.feed(request.first(at));
                framer.feed(request.sliced(at));
                framer.quietSpell();
                const QByteArray version = framer.versionField();
                QVERIFY2(version == "HTTP/1.1" || version == "HTTP/1.0", version.constData());
                QVERIFY(!BuildReply(version).contains("Cookie"));
                QVERIFY(!BuildErrorReply(version, 403).contains("Cookie"));
            }
            QVERIFY(!SafeVersionField(request).contains("Cookie"));
        }
        // The reply builders refuse to repeat anything that is not a version.
        QCOMPARE(BuildReply("HTTP/1.1\r\nSet-Cookie: a=b"), QByteArray("HTTP/1.0 200 \r\nContent-Length: 0\r\n\r\n"));
        QCOMPARE(BuildReply("HTTP/1.1").size(), 36);
        QCOMPARE(BuildErrorReply("HTTP/1.1", 400),
                 QByteArray("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"));
        QCOMPARE(BuildErrorReply("x y", 403),
                 QByteArray("HTTP/1.0 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"));
        QVERIFY(BuildErrorReply("HTTP/1.1", 501).startsWith("HTTP/1.1 501 Not Implemented\r\n"));
        QVERIFY(BuildErrorReply("HTTP/1.1", 413).startsWith("HTTP/1.1 413 "));
    }

    void bareLfHeaders()
    {
        const QList<QByteArray> requests{
            "POST / HTTP/1.1\nHost: relay\nContent-Length: " + QByteArray::number(Doc.size()) + "\n\n" + Doc,
            "POST / HTTP/1.1\nContent-Length: " + QByteArray::number(Doc.size()) + "\n\r\n" + Doc,
            "POST / HTTP/1.1\nHost: relay\n\n" + Doc,
            "POST / HTTP/1.1\nTransfer-Encoding: chunked\n\n" + Chunked(Doc, 11, {}, {}, "\n"),
        };
        for (const QByteArray& request : requests)
            for (qsizetype at = 0; at <= request.size(); ++at) {
                const Run run = Feed(SplitAt(request, at));
                QVERIFY2(run.completedAt == (at < request.size() ? 1 : 0), request.constData());
                QCOMPARE(run.document, Doc);
                QCOMPARE(run.version, QByteArray("HTTP/1.1"));
            }
        // With a CR LF request line, only CR LF CR LF ends the header.
        const QByteArray strict = "POST / HTTP/1.1\r\nContent-Length: 3\n\n" + Doc;
        QCOMPARE(Feed({strict}).document, OldDocument(strict));
    }

    void quietSpellRules()
    {
        const QByteArray head = "POST / HTTP/1.1\r\nHost: relay\r\n\r\n";
        const QByteArray tag = "<BT_mail_Msg>x</BT_mail_Msg>";
        struct Case { QByteArray tail; bool complete; };
        for (const Case& c : {Case{"\n", true}, Case{"", true}, Case{" \t\r\n\n  ", true}, Case{"\r", true},
                              Case{"\nx", false}, Case{"\r\n\r\n", true}, Case{"</", false}}) {
            const QByteArray request = head + tag + c.tail;
            for (qsizetype at = 0; at <= request.size(); ++at) {
                const Run run = Feed(SplitAt(request, at), true);
                if (request.first(at).endsWith(RequestTerminator)) {
                    // The terminator ended an arrival: complete then, by the classic rule.
                    QCOMPARE(run.completedAt, 0);
                    QCOMPARE(run.document, request.first(at).sliced(head.size()));
                    continue;
                }
                QVERIFY2((run.state == State::Complete) == c.complete, c.tail.toHex().constData());
                if (c.complete) {
                    QCOMPARE(run.completedAt, 2); // at the quiet spell, not before
                    QCOMPARE(run.document, tag + c.tail);
                }
            }
        }
        // Without any header end: the old rule's document, from the fourth byte.
        const Run headerless = Feed({"xx\n" + tag + "\n"}, true);
        QCOMPARE(headerless.state, State::Complete);
        QCOMPARE(headerless.document, tag + "\n");
        // Half a header, or nothing at all, stays as it is.
        QCOMPARE(Feed({"POST / HTTP/1.1\r\nHost"}, true).state, State::Incomplete);
        QCOMPARE(Feed({}, true).state, State::Incomplete);
        QCOMPARE(Feed({head}, true).state, State::Incomplete);
        // A decision stands: a quiet spell after a refusal or completion changes nothing.
        RequestFramer done;
        done.feed(head + Doc);
        QCOMPARE(done.quietSpell(), State::Complete);
        QCOMPARE(done.takeDocument(), Doc);
    }

    void memoryIsAccountedAndBounded()
    {
        RequestFramer framer(1024);
        framer.feed("POST / HTTP/1.1\r\n\r\n");
        const qsizetype before = framer.bufferedBytes();
        framer.feed(QByteArray(500, 'a'));
        QCOMPARE(framer.bufferedBytes(), before + 500);
        QCOMPARE(framer.feed(QByteArray(600, 'a')), State::Refused);
        QCOMPARE(framer.refusalStatus(), 413);
        QCOMPARE(framer.bufferedBytes(), 0);

        RequestFramer headerless(1024);
        QCOMPARE(headerless.feed(QByteArray(1025, 'h')), State::Refused);
        RequestFramer chunked(1024);
        QCOMPARE(chunked.feed("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n401\r\n"), State::Refused);
        QCOMPARE(chunked.refusalStatus(), 413);
        RequestFramer announced(1024);
        QCOMPARE(announced.feed("POST / HTTP/1.1\r\nContent-Length: 1025\r\n\r\n"), State::Refused);
        RequestFramer fits(1024);
        QCOMPARE(fits.feed("POST / HTTP/1.1\r\nContent-Length: 1024\r\n\r\n" + QByteArray(1024, 'x')), State::Complete);
        QCOMPARE(fits.takeDocument().size(), 1024);
        QCOMPARE(fits.bufferedBytes(), qsizetype(qstrlen("POST / HTTP/1.1\r\nContent-Length: 1024\r\n\r\n")));
    }

    // Sizes where a rescan of the buffer per arrival would run for hours: ctest's time-out catches
    // quadratic work without any clock here.
    void largeRequestsFedOneByteAtATime()
    {
        const qsizetype size = 16 * 1024 * 1024;
        QByteArray filler(size, 'x');
        for (qsizetype i = 4096; i < size; i += 4096)
            filler[i] = '\n'; // lines, so line searches have something to find
        const QByteArray document = "<BT_mail_Msg><Body>" + filler + "</Body></BT_mail_Msg>\r\n";
        const QByteArray head = "POST / HTTP/1.1\r\nHost: relay\r\n";
        const QList<QByteArray> requests{
            head + "\r\n" + document,
            WithLength(document, head),
            head + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(document, 4000, ";e=1"),
            "<x HTTP/1.1\n" + document,             // a bare LF header of a bare document, never ending
            "<?x" + document,                        // no header at all
        };
        for (const QByteArray& request : requests) {
            RequestFramer framer;
            qsizetype at = 0;
            for (; at < request.size() && framer.state() == State::Incomplete; ++at)
                framer.feed(QByteArrayView(request.constData() + at, 1));
            QCOMPARE(at, request.size());
            QCOMPARE(framer.state(), State::Complete);
            const QByteArray got = framer.takeDocument();
            QVERIFY(got.endsWith(document));
            QVERIFY(got.size() - document.size() < 20);
        }
        // A quiet spell between any two bytes of a request that ends in ever more white space.
        const QByteArray blanks(4 * 1024 * 1024, ' ');
        for (const QByteArray& start : {QByteArray("<?x<BT_mail_Msg>"), QByteArray("POST / HTTP/1.1\r\n\r\n<x>")}) {
            RequestFramer framer;
            framer.feed(start);
            bool waited = true;
            for (qsizetype at = 0; at < blanks.size(); ++at) {
                framer.feed(QByteArrayView(blanks.constData() + at, 1));
                waited = framer.quietSpell() == State::Incomplete && waited;
            }
            QVERIFY(waited);
            framer.feed("</BT_mail_Msg>\n\n");
            QCOMPARE(framer.quietSpell(), State::Complete);
            QVERIFY(framer.takeDocument().endsWith(blanks + "</BT_mail_Msg>\n\n"));
        }
    }

    void realClientsOnLoopback()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        test::MailDocBuilder builder;
        builder.body = QStringLiteral("Line one\r\nLine two with </BT_mail_Msg> quoted");
        const QByteArray document = builder.build();
        QVERIFY(document.endsWith("</BT_mail_Msg>\r\n"));
        const QString small = dir.filePath(QStringLiteral("small.xml"));
        test::MailDocBuilder bigBuilder;
        bigBuilder.attachments.append({QStringLiteral("big.bin"), QByteArray(1536 * 1024, '\x5a')});
        const QByteArray bigDocument = bigBuilder.build();
        QVERIFY(bigDocument.size() > 2 * 1000 * 1000);
        const QString big = dir.filePath(QStringLiteral("big.xml"));
        for (const auto& [path, bytes] : {std::pair{small, document}, std::pair{big, bigDocument}}) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }
        QByteArray stripped = document;
        stripped.replace("\r", "").replace("\n", "");

        struct Client { QString program; QStringList arguments; QByteArray expected; bool bigOne; };
        const QString curl = QStringLiteral("curl");
        const QString python = QStringLiteral("/usr/bin/python3");
        CaptureServer server;
        QVERIFY(server.listen());
        const QList<Client> clients{
            {curl, {"-sS", "--max-time", "30", "--data-binary", "@" + small, server.url()}, document, false},
            // -d drops line ends from the file: the length frames what is left.
            {curl, {"-sS", "--max-time", "30", "-d", "@" + small, server.url()}, stripped, false},
            {curl, {"-sS", "--max-time", "30", "-H", "Transfer-Encoding: chunked", "--data-binary", "@" + small, server.url()},
             document, false},
            {curl, {"-sS", "--max-time", "30", "--data-binary", "@" + big, server.url()}, bigDocument, true},
            {curl, {"-sS", "--max-time", "30", "-H", "Transfer-Encoding: chunked", "--data-binary", "@" + big, server.url()},
             bigDocument, true},
            {python, {"-c", PythonClient, QString::number(server.server.serverPort()), small, "length"}, document, false},
            {python, {"-c", PythonClient, QString::number(server.server.serverPort()), small, "chunked"}, document, false},
            {python, {"-c", PythonClient, QString::number(server.server.serverPort()), big, "chunked"}, bigDocument, false},
        };
        for (const Client& client : clients) {
            const size_t before = server.exchanges.size();
            const QString what = client.program + u' ' + client.arguments.mid(0, client.arguments.size() - 1).join(u' ');
            QVERIFY2(RunClient(client.program, client.arguments), qPrintable(what));
            QCOMPARE(server.exchanges.size(), before + 1);
            const Exchange& exchange = *server.exchanges.back();
            QVERIFY2(exchange.state == State::Complete, qPrintable(what));
            QVERIFY2(exchange.document == client.expected, qPrintable(what));
            QCOMPARE(exchange.version, QByteArray("HTTP/1.1"));
            if (client.bigOne) // a large curl post asks before sending its body
                QVERIFY2(exchange.continues == 1 && exchange.raw.contains("\r\nExpect: 100-continue\r\n"), qPrintable(what));
            // The same bytes cut anywhere else give the same document.
            if (exchange.raw.size() < 4096) {
                for (qsizetype at = 0; at <= exchange.raw.size(); ++at)
                    QCOMPARE(Feed(SplitAt(exchange.raw, at)).document, client.expected);
                QCOMPARE(Feed(Bytewise(exchange.raw)).document, client.expected);
            }
        }
    }

    void allowedClientsParsing()
    {
        QStringList invalid;
        const AllowedClients open = AllowedClients::parse(QStringLiteral("  \t "), &invalid);
        QVERIFY(open.isOpen());
        QVERIFY(open.allows(QHostAddress(QStringLiteral("203.0.113.9"))));
        QVERIFY(open.allows(QHostAddress(QStringLiteral("2001:db8::1"))));
        QVERIFY(invalid.isEmpty());
        QCOMPARE(open.describe(), QStringLiteral("any client"));

        // Commas, blanks, tabs and line ends all separate.
        const AllowedClients list =
            AllowedClients::parse(QStringLiteral("10.1.2.0/24, 192.168.7.7 ,,2001:db8::/32\t::1\n172.16.0.0/12"), &invalid);
        QVERIFY(invalid.isEmpty());
        QVERIFY(!list.isOpen());
        QCOMPARE(list.entryCount(), 5);
        QCOMPARE(list.describe(), QStringLiteral("10.1.2.0/24, 192.168.7.7/32, 2001:db8::/32, ::1/128, 172.16.0.0/12"));

        // Entries that do not parse are named and left out; the rest still apply.
        invalid.clear();
        const AllowedClients mixed = AllowedClients::parse(
            QStringLiteral("10 010.1.2.3 1.2.3.4/33 ::1/129 host.example 1.2.3.4/ 1.2.3.256 fe80::1% 127.0.0.1%lo "
                           "fe80::1%a%b 1.2.3.4/-1 ::ffff:1.2.3 1.2.3.4/8x 127.0.0.1"),
            &invalid);
        QCOMPARE(invalid, QStringList({"10", "010.1.2.3", "1.2.3.4/33", "::1/129", "host.example", "1.2.3.4/", "1.2.3.256",
                                       "fe80::1%", "127.0.0.1%lo", "fe80::1%a%b", "1.2.3.4/-1", "::ffff:1.2.3", "1.2.3.4/8x"}));
        QCOMPARE(mixed.describe(), QStringLiteral("127.0.0.1/32"));
        QVERIFY(mixed.allows(QHostAddress::LocalHost));
        QVERIFY(!mixed.allows(QHostAddress(QStringLiteral("0.0.0.10"))));

        // A link-local address names its link; a peer on another link is not it.
        invalid.clear();
        const AllowedClients scoped = AllowedClients::parse(QStringLiteral("fe80::1%eth0 fe80::/64%lo"), &invalid);
        QCOMPARE(invalid, QStringList{QStringLiteral("fe80::/64%lo")});
        QCOMPARE(scoped.describe(), QStringLiteral("fe80::1%eth0/128"));
        QVERIFY(scoped.allows(QHostAddress(QStringLiteral("fe80::1%eth0"))));
        QVERIFY(!scoped.allows(QHostAddress(QStringLiteral("fe80::1%eth1"))));
        QVERIFY(!scoped.allows(QHostAddress(QStringLiteral("fe80::2%eth0"))));
        const AllowedClients scopedPrefix = AllowedClients::parse(QStringLiteral("fe80::%lo/64"), &invalid);
        QVERIFY(scopedPrefix.allows(QHostAddress(QStringLiteral("fe80::99%lo"))));
        QVERIFY(AllowedClients::parse(scopedPrefix.describe()).allows(QHostAddress(QStringLiteral("fe80::99%lo"))));
        // A peer whose link is not known is not on the entry's link; the link may be written by
        // its number, as the peer's is reported by name.
        QVERIFY(!scopedPrefix.allows(QHostAddress(QStringLiteral("fe80::99"))));
        const QString loIndex = QString::number(QNetworkInterface::interfaceIndexFromName(QStringLiteral("lo")));
        const AllowedClients byIndex = AllowedClients::parse(QStringLiteral("fe80::%") + loIndex + QStringLiteral("/64"));
        QVERIFY(byIndex.allows(QHostAddress(QStringLiteral("fe80::99%lo"))));

        // Every entry wrong: nobody, not everybody.
        invalid.clear();
        const AllowedClients closed = AllowedClients::parse(QStringLiteral("localhost, 300.1.1.1"), &invalid);
        QCOMPARE(invalid.size(), 2);
        QVERIFY(!closed.isOpen());
        QVERIFY(!closed.allows(QHostAddress::LocalHost));
        QVERIFY(!closed.allows(QHostAddress::LocalHostIPv6));
        QVERIFY(closed.admitsNobody());
        QCOMPARE(closed.describe(), QStringLiteral("no client: no entry is a valid address or prefix"));
        QVERIFY(!AllowedClients::parse(QStringLiteral(","), nullptr).allows(QHostAddress::LocalHost));
    }

    void allowedClientsThatMayHaveBeenCut()
    {
        // A list the settings reader cut at its limit (2047 characters), its last entry with it.
        QString full;
        for (int i = 1; full.size() < 2030; ++i)
            full += QStringLiteral("10.0.%1.%2, ").arg(i / 250).arg(i % 250 + 1);
        full += QStringLiteral("100.0.0.0/24, 192.0.2.7");
        const int cutAt = int(full.indexOf(QStringLiteral("100.0.0.0/24")) + qstrlen("100.0.0.0/2"));
        full.prepend(QString(2047 - cutAt, u' '));
        const QString cut = full.left(2047);
        QVERIFY(cut.endsWith(QStringLiteral("100.0.0.0/2")));
        const QHostAddress unlisted(QStringLiteral("127.0.0.1"));
        QVERIFY(!AllowedClients::parse(full).allows(unlisted));
        // What the flag guards against: read as if whole, the cut entry admits a quarter of IPv4.
        QVERIFY(AllowedClients::parse(cut).allows(unlisted));

        QStringList invalid;
        const AllowedClients maybeCut = AllowedClients::parse(cut, &invalid, true);
        QVERIFY(invalid.isEmpty());
        QVERIFY(!maybeCut.isOpen() && maybeCut.admitsNobody() && maybeCut.mayHaveBeenCut());
        for (const char* peer : {"127.0.0.1", "10.0.0.2", "100.0.0.1", "::1", "::ffff:10.0.0.2"})
            QVERIFY2(!maybeCut.allows(QHostAddress(QString::fromLatin1(peer))), peer);
        QVERIFY(maybeCut.describe().startsWith(QStringLiteral("no client: ")));
        QVERIFY(maybeCut.describe().contains(QStringLiteral("cut")));
        // Whatever the text: an empty one, a short one, one that parses in full.
        for (const QString& text : {QString(), QStringLiteral("127.0.0.1"), QStringLiteral("0.0.0.0/0 ::/0")}) {
            const AllowedClients c = AllowedClients::parse(text, nullptr, true);
            QVERIFY(!c.allows(QHostAddress::LocalHost) && !c.allows(QHostAddress::LocalHostIPv6) && !c.isOpen());
        }
        // Invalid entries are still named, so the log can say what was wrong besides.
        invalid.clear();
        AllowedClients::parse(QStringLiteral("127.0.0.1 bogus 10.0.0.0/4"), &invalid, true);
        QCOMPARE(invalid, QStringList{QStringLiteral("bogus")});
    }

    void listenAddresses()
    {
        QStringList invalid;
        const ListenAddresses every = ListenAddresses::parse(QStringLiteral(" \t"), &invalid);
        QVERIFY(every.everyInterface() && every.addresses().isEmpty() && !every.nowhere() && every.usable());
        QCOMPARE(every.describe(), QStringLiteral("every interface"));

        // Commas and blanks separate; repeats and the IPv4-mapped form of an address listed already go.
        const ListenAddresses some =
            ListenAddresses::parse(QStringLiteral("127.0.0.1, ::1 127.0.0.1,::ffff:127.0.0.1\n192.0.2.10"), &invalid);
        QVERIFY(invalid.isEmpty());
        QCOMPARE(some.addresses(), (QList<QHostAddress>{QHostAddress(QStringLiteral("127.0.0.1")),
                                                      QHostAddress(QStringLiteral("::1")),
                                                      QHostAddress(QStringLiteral("192.0.2.10"))}));
        QCOMPARE(some.addresses()[0].protocol(), QAbstractSocket::IPv4Protocol);
        QCOMPARE(some.describe(), QStringLiteral("127.0.0.1, ::1, 192.0.2.10"));
        QVERIFY(!some.everyInterface() && !some.nowhere() && some.usable());
        // The same strict syntax as the client list, and no prefixes.
        const ListenAddresses mixed = ListenAddresses::parse(
            QStringLiteral("10.0.0.0/8 localhost 010.0.0.1 127.1 fe80::1% fe80::1%lo ::1 0.0.0.0 ::"), &invalid);
        QCOMPARE(invalid, (QStringList{"10.0.0.0/8", "localhost", "010.0.0.1", "127.1", "fe80::1%"}));
        // A link-local address with its scope is an address like any other.
        QCOMPARE(mixed.addresses(), (QList<QHostAddress>{QHostAddress(QStringLiteral("fe80::1%lo")), QHostAddress::LocalHostIPv6,
                                                       QHostAddress(QHostAddress::AnyIPv4), QHostAddress(QHostAddress::AnyIPv6)}));
        QCOMPARE(mixed.addresses().first().scopeId(), QStringLiteral("lo"));
        QVERIFY(mixed.describe().startsWith(QStringLiteral("fe80::1%lo, ")));
        // Nothing valid, or maybe cut: nowhere, never everywhere.
        invalid.clear();
        const ListenAddresses none = ListenAddresses::parse(QStringLiteral("localhost, 127.0.0.1/8"), &invalid);
        QCOMPARE(invalid.size(), 2);
        QVERIFY(none.nowhere() && !none.usable() && !none.everyInterface());
        QCOMPARE(none.describe(), QStringLiteral("nowhere: no entry is a valid address"));
        for (const QString& text : {QStringLiteral("127.0.0.1"), QString()}) {
            const ListenAddresses cut = ListenAddresses::parse(text, nullptr, true);
            QVERIFY(cut.nowhere() && cut.mayHaveBeenCut() && cut.addresses().isEmpty());
            QVERIFY(cut.describe().startsWith(QStringLiteral("nowhere: ")) && cut.describe().contains(QStringLiteral("cut")));
        }
    }

    void allowedClientsMatching()
    {
        struct Case { QString list; QString peer; bool allowed; };
        for (const Case& c : {
                 Case{"10.1.2.0/24", "10.1.2.0", true}, Case{"10.1.2.0/24", "10.1.2.255", true},
                 Case{"10.1.2.0/24", "10.1.3.0", false}, Case{"10.1.2.0/24", "10.1.1.255", false},
                 Case{"10.1.2.77/24", "10.1.2.1", true}, // host bits in the entry are ignored
                 Case{"0.0.0.0/0", "198.51.100.7", true}, Case{"0.0.0.0/0", "2001:db8::1", false},
                 Case{"192.168.1.5/32", "192.168.1.5", true}, Case{"192.168.1.5/32", "192.168.1.4", false},
                 Case{"192.168.1.5", "192.168.1.6", false}, Case{"128.0.0.0/1", "127.255.255.255", false},
                 Case{"128.0.0.0/1", "128.0.0.0", true}, Case{"10.0.0.0/31", "10.0.0.1", true},
                 Case{"10.0.0.0/31", "10.0.0.2", false},
                 Case{"::/0", "2001:db8::5", true}, Case{"::1/128", "::1", true}, Case{"::1/128", "::2", false},
                 Case{"::1", "127.0.0.1", false}, Case{"2001:db8:1::/48", "2001:db8:1:ffff::1", true},
                 Case{"2001:db8:1::/48", "2001:db8:2::1", false}, Case{"2001:db8::/33", "2001:db8:7fff::1", true},
                 Case{"2001:db8::/33", "2001:db8:8000::1", false}, Case{"fe80::/10", "febf::1", true},
                 Case{"fe80::/10", "fec0::1", false},
                 // A dual-stack listener reports IPv4 clients in mapped form.
                 Case{"10.1.2.0/24", "::ffff:10.1.2.3", true}, Case{"10.1.2.0/24", "::ffff:10.1.3.3", false},
                 Case{"127.0.0.1", "::ffff:127.0.0.1", true},
                 Case{"::ffff:10.1.2.0/120", "10.1.2.200", true}, Case{"::ffff:10.1.2.0/120", "::ffff:10.1.2.200", true},
                 Case{"::ffff:10.1.2.0/120", "10.1.3.1", false}, Case{"::ffff:10.1.2.3", "10.1.2.3", true},
                 Case{"::ffff:0.0.0.0/96", "8.8.8.8", true},
                 // Only the mapped form is IPv4: "::" and "::5" are IPv6 addresses.
                 Case{"0.0.0.0/8", "::5", false}, Case{"0.0.0.0/8", "::", false}, Case{"::/112", "0.0.0.5", false},
                 Case{"::/112", "::5", true},
             }) {
            const AllowedClients allowed = AllowedClients::parse(c.list, nullptr);
            QVERIFY2(allowed.allows(QHostAddress(c.peer)) == c.allowed, qPrintable(c.list + u' ' + c.peer));
        }
        // Addresses as a listener hands them over from real connections.
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::Any, 0));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(server.waitForNewConnection(5000));
        std::unique_ptr<QTcpSocket> accepted(server.nextPendingConnection());
        QVERIFY(AllowedClients::parse(QStringLiteral("127.0.0.0/8"), nullptr).allows(accepted->peerAddress()));
        QVERIFY(!AllowedClients::parse(QStringLiteral("10.0.0.0/8 ::1"), nullptr).allows(accepted->peerAddress()));
    }

    void logThrottle()
    {
        // One line per key and interval; every line says how many events it stands for.
        LogThrottle throttle;
        const QString a = QStringLiteral("10.0.0.1");
        QCOMPARE(throttle.note(a, 1000), 1);
        QCOMPARE(throttle.note(a, 1001), 0);
        QCOMPARE(throttle.note(a, 60999), 0);
        QCOMPARE(throttle.note(QStringLiteral("10.0.0.2"), 2000), 1);
        QVERIFY(throttle.takeDue(60999).isEmpty()); // the key's minute is not over
        QCOMPARE(throttle.note(a, 61000), 3);       // its minute is over: this event and the two held
        QCOMPARE(throttle.heldBack(), 0);
        QVERIFY(throttle.takeDue(200000).isEmpty());

        // A burst of 50 refusals: two lines, the second from the sweep once the minute is over.
        LogThrottle burst;
        qint64 reported = 0;
        int lines = 0;
        for (int i = 0; i < 50; ++i)
            if (const qint64 n = burst.note(a, 10 * i)) {
                reported += n;
                ++lines;
            }
        for (qint64 t = 0; t <= 130000; t += 250)
            for (const LogThrottle::Line& line : burst.takeDue(t)) {
                QCOMPARE(line.key, a);
                QCOMPARE(t, 60000);
                reported += line.count;
                ++lines;
            }
        QCOMPARE(lines, 2);
        QCOMPARE(reported, 50);
        QCOMPARE(burst.heldBack(), 0);
        // A clock that went back counts as a new interval rather than a silence without end.
        QCOMPARE(burst.note(a, 500), 1);

        // A scan over many addresses: memory and lines stay bounded, and every event is reported
        // by a key's line or the summary.
        LogThrottle scan(60000, 1024, 100);
        qint64 total = 0;
        int scanLines = 0;
        int summaries = 0;
        const auto count = [&](qint64 n) {
            if (n > 0) {
                total += n;
                ++scanLines;
            }
        };
        for (int i = 0; i < 100000; ++i) {
            count(scan.note(QStringLiteral("peer %1").arg(i % 5000), i)); // 100 s, one event per ms
            if (i % 250 == 0) {
                for (const LogThrottle::Line& line : scan.takeDue(i))
                    count(line.count);
                if (const qint64 n = scan.takeSuppressed(i)) {
                    total += n;
                    ++summaries;
                }
            }
            QVERIFY(scan.keyCount() <= 1024);
        }
        QCOMPARE(scanLines, 100 * 2); // 100 in the first minute, 100 in the next 40 s
        QCOMPARE(summaries, 2);       // at most one summary per minute
        QCOMPARE(total + scan.heldBack(), 100000);
        for (qint64 t = 100000; scan.heldBack() > 0 && t < 100000 + 3600 * 1000; t += 60000) {
            for (const LogThrottle::Line& line : scan.takeDue(t))
                total += line.count;
            total += scan.takeSuppressed(t);
        }
        QCOMPARE(total, 100000);

        // The key forgotten first is one with nothing held back; one that held events gives them
        // to the summary.
        LogThrottle small(60000, 2, 1000);
        QCOMPARE(small.note(QStringLiteral("a"), 0), 1);
        QCOMPARE(small.note(QStringLiteral("b"), 10), 1);
        QCOMPARE(small.note(QStringLiteral("b"), 15), 0);
        QCOMPARE(small.note(QStringLiteral("c"), 20), 1); // "a" goes, "b" keeps its held event
        QCOMPARE(small.keyCount(), 2);
        QCOMPARE(small.note(QStringLiteral("b"), 30), 0);
        QCOMPARE(small.note(QStringLiteral("d"), 40), 1); // "c" goes: it holds nothing
        QCOMPARE(small.takeSuppressed(40), 0);
        QCOMPARE(small.note(QStringLiteral("d"), 45), 0);
        QCOMPARE(small.note(QStringLiteral("e"), 50), 1); // both hold events: "b", logged longest ago, goes
        QCOMPARE(small.heldBack(), 3);
        QCOMPARE(small.takeSuppressed(50), 2);
        QCOMPARE(small.takeSuppressed(51), 0);
        QCOMPARE(small.heldBack(), 1);
        // When the relay ends, whatever is held back is told at once, minute over or not.
        qint64 told = -1;
        QVERIFY(!small.shouldLog(QStringLiteral("e"), 52, &told));
        QCOMPARE(told, 0);
        QCOMPARE(small.note(QStringLiteral("f"), 53), 1); // "d" goes, its event to the summary
        QVERIFY(small.takeDue(54).isEmpty());
        const QList<LogThrottle::Line> last = small.takeDue(54, true);
        QCOMPARE(last.size(), 1);
        QCOMPARE(last[0].key, QStringLiteral("e"));
        QCOMPARE(last[0].count, 1);
        QCOMPARE(small.takeSuppressed(55), 0); // a summary was written within the minute...
        QCOMPARE(small.takeSuppressed(55, true), 1); // ...but not when the relay ends
        QCOMPARE(small.heldBack(), 0);
    }
};

QTEST_GUILESS_MAIN(FramingTest)
#include "test_framing.moc"
