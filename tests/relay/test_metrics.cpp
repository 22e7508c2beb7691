// The metrics and their HTTP server, scraped by real clients (curl, Python's http.client, raw
// sockets) and read with Prometheus' own parser; the health checks beside them, of the server
// alone and of a relay put together as the service runs it.
#include "relay/Metrics.h"
#include "relay/MetricsServer.h"
#include "service/RelayService.h"
#include "tracker/UnavailableTracker.h"

#include "SmtpSink.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <csignal>
#include <latch>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace swn;
using namespace swn::test;

namespace {

// Runs a client while this thread's event loop serves it; its stdout.
QByteArray Run(const QString& program, const QStringList& args, const QByteArray& input = {})
{
    QProcess p;
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    if (!QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 60000)) {
        p.kill();
        p.waitForFinished();
    }
    const QByteArray err = p.readAllStandardError();
    if (!err.isEmpty())
        qWarning("%s: %s", qPrintable(program), err.constData());
    return p.readAllStandardOutput();
}

QJsonObject Python(const QStringList& args, const QByteArray& input = {})
{
    const QByteArray out =
        Run(SystemPython(), QStringList{TestSourceDir() + QStringLiteral("/relay/scrape_metrics.py")} + args, input);
    return QJsonDocument::fromJson(out).object();
}

// Sample name and labels ("name{k=v,...}", labels sorted) to value, from the parser's families.
struct Scrape {
    QMap<QString, double> values;
    QMap<QString, QString> types; // family name as the parser reports it, to its type
    QMap<QString, QStringList> familySamples;
    QString error;

    explicit Scrape(const QJsonObject& parsed)
    {
        error = parsed.value(QLatin1String("parse_error")).toString();
        if (!parsed.contains(QLatin1String("families")))
            error += QStringLiteral(" (nothing parsed)");
        for (const QJsonValue& f : parsed.value(QLatin1String("families")).toArray()) {
            const QJsonObject family = f.toObject();
            const QString name = family.value(QLatin1String("name")).toString();
            types.insert(name, family.value(QLatin1String("type")).toString());
            for (const QJsonValue& s : family.value(QLatin1String("samples")).toArray()) {
                const QJsonObject sample = s.toObject();
                QStringList labels;
                const QJsonObject l = sample.value(QLatin1String("labels")).toObject();
                for (auto it = l.begin(); it != l.end(); ++it)
                    labels << it.key() + QLatin1Char('=') + it.value().toString();
                QString key = sample.value(QLatin1String("name")).toString();
                familySamples[name] << key;
                if (!labels.isEmpty())
                    key += QLatin1Char('{') + labels.join(QLatin1Char(',')) + QLatin1Char('}');
                values.insert(key, sample.value(QLatin1String("value")).toString().toDouble());
            }
        }
    }
    double operator[](const QString& key) const { return values.value(key, -1); }
};

// What a raw client gets for the bytes it sends, until the server closes or `ms` pass.
QByteArray Exchange(quint16 port, const QByteArray& bytes, int ms = 10000)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    (void)QTest::qWaitFor([&] {
        return s.state() == QAbstractSocket::ConnectedState || s.state() == QAbstractSocket::UnconnectedState;
    }, ms);
    if (s.state() != QAbstractSocket::ConnectedState)
        return "<no connection>";
    s.write(bytes);
    QByteArray answer;
    (void)QTest::qWaitFor([&] {
        answer += s.readAll();
        return s.state() == QAbstractSocket::UnconnectedState;
    }, ms);
    return answer + s.readAll();
}

// curl's whole answer (status line, headers, body) to GET, or HEAD, of `path` on loopback.
QByteArray Curl(quint16 port, const QString& path, bool head = false)
{
    QStringList args{"-sS", "-i", "--max-time", "20"};
    if (head)
        args << QStringLiteral("-I");
    return Run(QStringLiteral("curl"), args << QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path));
}

QByteArray Body(const QByteArray& answer) { return answer.mid(answer.indexOf("\r\n\r\n") + 4); }

// The relay put together as the service runs it, in this process: settings file, spool and
// metrics address of its own.
struct ServiceRelay {
    QTemporaryDir dir;
    quint16 metricsPort = UnusedTcpPort();
    quint16 listenPort = UnusedTcpPort();
    std::unique_ptr<RelayService> relay;

    QString spoolDir() const { return dir.filePath(QStringLiteral("spool")); }

    // Started as RunHeadless starts it; "NETWORK" or "POSTOFFICE".
    bool start(const QByteArray& mode)
    {
        const QString path = dir.filePath(QStringLiteral("relay.ini"));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        // Nothing is sent: the SMTP server may be absent.
        f.write("[SwiftnoteRelay]\nRelayMode=" + mode + "\nTransportMode=CDO\nSMTPServer=127.0.0.1:" +
                QByteArray::number(UnusedTcpPort()) + "\nSTMPRelayListenerPort=" + QByteArray::number(listenPort) +
                "\nMetricsListen=127.0.0.1:" + QByteArray::number(metricsPort) + "\n");
        f.close();
        RelayServiceOptions options;
        options.settingsFile = path;
        options.trackerFactory = std::make_shared<UnavailableTrackerFactory>();
        options.deliveryThreads = 2;
        options.spoolDir = spoolDir();
        relay = std::make_unique<RelayService>(options);
        relay->core.LoadSettings();
        relay->core.CompleteStartUp();
        relay->ApplyMetricsListen();
        relay->core.StartAsService();
        return relay->core.IsRunning() && relay->metricsServer.IsListening();
    }

    ~ServiceRelay()
    {
        if (relay)
            relay->core.Shutdown();
    }
};

// A process-wide limit on the size of files written, under which every write of a byte fails
// for a reason of the host (as with a full disk), whoever the process runs as.
class NoRoomForFiles {
public:
    NoRoomForFiles()
    {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldSignal_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit none = old_;
        none.rlim_cur = 0;
        ::setrlimit(RLIMIT_FSIZE, &none);
    }
    ~NoRoomForFiles()
    {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldSignal_);
    }

private:
    rlimit old_ {};
    void (*oldSignal_)(int) = nullptr;
};

} // namespace

class TestMetrics : public QObject {
    Q_OBJECT

    Metrics metrics;
    std::unique_ptr<MetricsServer> server;
    quint16 port = 0;

    void listen()
    {
        server = std::make_unique<MetricsServer>(metrics);
        port = UnusedTcpPort();
        QString error;
        QVERIFY2(server->Listen(QStringLiteral("127.0.0.1:%1").arg(port), &error), qPrintable(error));
        QCOMPARE(server->Describe(), QStringLiteral("127.0.0.1:%1").arg(port));
    }

private Q_SLOTS:
    void initTestCase()
    {
        // Without anything counted yet: every series is there, at zero.
        const Scrape fresh(Python({QStringLiteral("parse")}, Metrics().Render()));
        QVERIFY2(fresh.error.isEmpty(), qPrintable(fresh.error));
        for (const char* c : {"2xx", "3xx", "4xx", "5xx"})
            QCOMPARE(fresh[QStringLiteral("swnrelay_smtp_replies_total{class=%1}").arg(QLatin1String(c))], 0.0);
        for (const char* g : {"swnrelay_spool_entries", "swnrelay_spool_failed_entries",
                              "swnrelay_spool_oldest_entry_age_seconds", "swnrelay_tracker_login_valid",
                              "swnrelay_connections_open", "swnrelay_delivery_duration_seconds_count"})
            QCOMPARE(fresh[QLatin1String(g)], 0.0);
        listen();
    }

    void scrapeReadsWhatWasCounted()
    {
        constexpr int kThreads = 4, kEach = 5000;
        std::latch go(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&] {
                go.arrive_and_wait();
                for (int i = 0; i < kEach; ++i) {
                    metrics.Add(Metrics::Counter::DocumentsDelivered);
                    metrics.Add(Metrics::Counter::DocumentsAccepted, 2);
                    metrics.SmtpReply(250);
                    metrics.ObserveDelivery(0.2);
                    metrics.ConnectionOpened();
                    metrics.ConnectionClosed();
                }
            });
        for (std::thread& t : threads)
            t.join();
        for (int code : {354, 451, 421, 550, 554, 553, 99, 600, 1250, -250})
            metrics.SmtpReply(code);
        for (double s : {0.01, -1.0, 700.0, std::nan(""), HUGE_VAL})
            metrics.ObserveDelivery(s);
        metrics.Add(Metrics::Counter::DocumentsKept, 3);
        metrics.Add(Metrics::Counter::DocumentsKept, 0);
        metrics.Add(Metrics::Counter::DocumentsKept, -5);
        metrics.Add(Metrics::Counter::DocumentsFailed);
        metrics.Add(Metrics::Counter::RecipientsRefused, 4);
        metrics.Add(Metrics::Counter::PostOfficeRecordsFound, 9);
        metrics.Add(Metrics::Counter::PostOfficeRecordsDelivered, 8);
        metrics.Add(Metrics::Counter::PostOfficeRecordsSetAside, 1);
        metrics.ConnectionOpened();
        metrics.ConnectionOpened();
        const Metrics::Refusal reasons[] = {Metrics::Refusal::NotAllowed, Metrics::Refusal::NoSlot,
                                            Metrics::Refusal::TooLarge,   Metrics::Refusal::BadRequest,
                                            Metrics::Refusal::Browser,    Metrics::Refusal::Timeout};
        for (int i = 0; i < 6; ++i)
            for (int n = 0; n <= i; ++n)
                metrics.ConnectionRefused(reasons[i]);
        metrics.SetTrackerLoginValid(true);
        metrics.SetSpoolProbe([] { return Metrics::SpoolStats{7, 42.5, 2}; });

        const QJsonObject result =
            Python({QStringLiteral("scrape"), QStringLiteral("127.0.0.1"), QString::number(port)});
        QCOMPARE(result.value(QLatin1String("status")).toInt(), 200);
        const Scrape m(result);
        QVERIFY2(m.error.isEmpty(), qPrintable(m.error));

        QCOMPARE(m["swnrelay_documents_delivered_total"], double(kThreads * kEach));
        QCOMPARE(m["swnrelay_documents_accepted_total"], double(2 * kThreads * kEach));
        QCOMPARE(m["swnrelay_documents_kept_total"], 3.0);
        QCOMPARE(m["swnrelay_documents_failed_total"], 1.0);
        QCOMPARE(m["swnrelay_recipients_refused_total"], 4.0);
        QCOMPARE(m["swnrelay_smtp_replies_total{class=2xx}"], double(kThreads * kEach));
        QCOMPARE(m["swnrelay_smtp_replies_total{class=3xx}"], 1.0);
        QCOMPARE(m["swnrelay_smtp_replies_total{class=4xx}"], 2.0);
        QCOMPARE(m["swnrelay_smtp_replies_total{class=5xx}"], 3.0);
        QCOMPARE(m["swnrelay_spool_entries"], 7.0);
        QCOMPARE(m["swnrelay_spool_failed_entries"], 2.0);
        QCOMPARE(m["swnrelay_spool_oldest_entry_age_seconds"], 42.5);
        QCOMPARE(m["swnrelay_connections_open"], 2.0);
        const char* labels[] = {"not_allowed", "no_slot", "too_large", "bad_request", "browser", "timeout"};
        for (int i = 0; i < 6; ++i)
            QCOMPARE(m[QStringLiteral("swnrelay_connections_refused_total{reason=%1}").arg(QLatin1String(labels[i]))],
                     double(i + 1));
        QCOMPARE(m["swnrelay_postoffice_records_found_total"], 9.0);
        QCOMPARE(m["swnrelay_postoffice_records_delivered_total"], 8.0);
        QCOMPARE(m["swnrelay_postoffice_records_set_aside_total"], 1.0);
        QCOMPARE(m["swnrelay_tracker_login_valid"], 1.0);

        // 0.01 and the clamped -1 in the first bucket, the 20000 of 0.2 from 0.25 on, 700 only in +Inf.
        const QStringList bounds{"0.01", "0.05", "0.1", "0.25", "0.5", "1", "2.5", "5", "10",
                                 "30", "60", "120", "300", "600", "+Inf"};
        double previous = 0;
        for (const QString& le : bounds) {
            const double n = m[QStringLiteral("swnrelay_delivery_duration_seconds_bucket{le=%1}").arg(le)];
            QVERIFY2(n >= previous, qPrintable(le));
            previous = n;
            QCOMPARE(n, le == QLatin1String("+Inf")  ? 20003.0
                        : le.toDouble() >= 0.25       ? 20002.0
                                                      : 2.0);
        }
        QCOMPARE(m["swnrelay_delivery_duration_seconds_count"], 20003.0);
        QVERIFY(std::abs(m["swnrelay_delivery_duration_seconds_sum"] - (20000 * 0.2 + 0.01 + 700)) < 1e-6);

        // Names: the parser drops a counter family's _total, its samples keep it.
        for (auto it = m.familySamples.begin(); it != m.familySamples.end(); ++it)
            for (const QString& name : it.value()) {
                QVERIFY2(name.startsWith(QLatin1String("swnrelay_")), qPrintable(name));
                if (m.types.value(it.key()) == QLatin1String("counter"))
                    QVERIFY2(name.endsWith(QLatin1String("_total")), qPrintable(name));
            }
        const QString text = result.value(QLatin1String("body")).toString();
        for (const QString& line : text.split(QLatin1Char('\n')))
            if (line.startsWith(QLatin1String("# TYPE ")))
                QCOMPARE(line.section(QLatin1Char(' '), 2, 2).endsWith(QLatin1String("_total")),
                         line.endsWith(QLatin1String(" counter")));
        QCOMPARE(text.count(QLatin1String("# HELP ")), text.count(QLatin1String("# TYPE ")));

        // curl gets the same text, with the format's content type.
        const QByteArray curl = Run(QStringLiteral("curl"), {"-sS", "-i", "--max-time", "20",
                                                             QStringLiteral("http://127.0.0.1:%1/metrics").arg(port)});
        QVERIFY2(curl.startsWith("HTTP/1.1 200 OK\r\n"), curl.constData());
        QVERIFY(curl.contains("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
        QVERIFY(curl.contains("\r\nConnection: close\r\n"));
        QCOMPARE(curl.mid(curl.indexOf("\r\n\r\n") + 4), metrics.Render());

        // A spool that cannot be read is unknown, not empty.
        metrics.SetSpoolProbe([]() -> Metrics::SpoolStats { throw std::runtime_error("unreadable"); });
        const Scrape unknown(Python({QStringLiteral("parse")}, metrics.Render()));
        QVERIFY(std::isnan(unknown["swnrelay_spool_entries"]));
        metrics.SetSpoolProbe({});
        QCOMPARE(Scrape(Python({QStringLiteral("parse")}, metrics.Render()))["swnrelay_spool_entries"], 0.0);
    }

    void answersOnlyItsResource()
    {
        const QJsonObject r = Python({QStringLiteral("protocol"), QStringLiteral("127.0.0.1"), QString::number(port)});
        const QJsonObject get = r.value(QLatin1String("get")).toObject();
        const QJsonObject head = r.value(QLatin1String("head")).toObject();
        QCOMPARE(get.value(QLatin1String("status")).toInt(), 200); // with a query string
        QCOMPARE(get.value(QLatin1String("type")).toString(),
                 QStringLiteral("text/plain; version=0.0.4; charset=utf-8"));
        QCOMPARE(get.value(QLatin1String("length")).toString().toInt(), get.value(QLatin1String("body_bytes")).toInt());
        QCOMPARE(head.value(QLatin1String("status")).toInt(), 200);
        QCOMPARE(head.value(QLatin1String("length")).toString(), get.value(QLatin1String("length")).toString());
        QCOMPARE(head.value(QLatin1String("body_bytes")).toInt(), 0);
        QCOMPARE(r.value(QLatin1String("not_found")).toInt(), 404);
        const QJsonObject post = r.value(QLatin1String("post")).toObject();
        QCOMPARE(post.value(QLatin1String("status")).toInt(), 405);
        QCOMPARE(post.value(QLatin1String("headers")).toObject().value(QLatin1String("allow")).toString(),
                 QStringLiteral("GET, HEAD"));
        QCOMPARE(r.value(QLatin1String("put")).toInt(), 405);
        QCOMPARE(r.value(QLatin1String("too_large")).toInt(), 431);
        const QString http10 = r.value(QLatin1String("http10")).toString();
        QVERIFY2(http10.startsWith(QLatin1String("HTTP/1.1 200 OK\r\n")) &&
                     http10.endsWith(QLatin1String("swnrelay_tracker_login_valid 1\n")),
                 qPrintable(http10.left(200)));

        // Malformed requests, byte for byte.
        const QList<QPair<QByteArray, QByteArray>> cases{
            {QByteArrayLiteral("\r\n\r\n"), "400"},
            {QByteArrayLiteral("GET /metrics\r\n\r\n"), "400"},
            {QByteArrayLiteral("GET  /metrics HTTP/1.1\r\n\r\n"), "400"},
            {QByteArrayLiteral("GET /metrics HTTP/2.0\r\n\r\n"), "400"},
            {QByteArrayLiteral("G\x00T /metrics HTTP/1.1\r\n\r\n"), "400"},
            {QByteArrayLiteral("GET /metrics\x00 HTTP/1.1\r\n\r\n"), "404"},
            {QByteArrayLiteral("get /metrics HTTP/1.1\r\n\r\n"), "405"},
            {QByteArrayLiteral("GET /metrics/ HTTP/1.1\r\n\r\n"), "404"},
            {QByteArrayLiteral("\r\nGET /metrics HTTP/1.1\nHost: x\n\n"), "200"},
        };
        for (const auto& [request, status] : cases) {
            const QByteArray answer = Exchange(port, request);
            QVERIFY2(answer.startsWith("HTTP/1.1 " + status + ' '),
                     (request.toPercentEncoding() + " -> " + answer.left(60)).constData());
        }
        QCOMPARE(Exchange(port, QByteArray(9000, 'A')).left(13), QByteArray("HTTP/1.1 431 "));
    }

    void healthBesideTheMetrics()
    {
        QByteArray a = Curl(port, QStringLiteral("/healthz"));
        QVERIFY2(a.startsWith("HTTP/1.1 200 OK\r\n"), a.constData());
        QVERIFY(a.contains("\r\nContent-Type: text/plain; charset=utf-8\r\n"));
        QVERIFY(a.contains("\r\nConnection: close\r\n"));
        QCOMPARE(Body(a), QByteArray("ok\n"));
        a = Curl(port, QStringLiteral("/healthz"), true);
        QVERIFY2(a.startsWith("HTTP/1.1 200 OK\r\n"), a.constData());
        QVERIFY(a.contains("\r\nContent-Length: 3\r\n"));
        QCOMPARE(Body(a), QByteArray());

        // Without a readiness probe, nothing says the relay is not ready.
        a = Curl(port, QStringLiteral("/readyz"));
        QVERIFY2(a.startsWith("HTTP/1.1 200 OK\r\n"), a.constData());
        QCOMPARE(Body(a), QByteArray("ready\n"));

        QString why = QStringLiteral("the relay is stopped");
        server->SetReadinessProbe([&] { return why; });
        a = Curl(port, QStringLiteral("/readyz"));
        QVERIFY2(a.startsWith("HTTP/1.1 503 Service Unavailable\r\n"), a.constData());
        QVERIFY(a.contains("\r\nContent-Type: text/plain; charset=utf-8\r\n"));
        QCOMPARE(Body(a), QByteArray("not ready: the relay is stopped\n"));
        a = Curl(port, QStringLiteral("/readyz"), true);
        QVERIFY2(a.startsWith("HTTP/1.1 503 "), a.constData());
        QVERIFY(a.contains("\r\nContent-Length: 32\r\n"));
        QCOMPARE(Body(a), QByteArray());
        // The liveness answer does not depend on readiness.
        QVERIFY(Curl(port, QStringLiteral("/healthz")).startsWith("HTTP/1.1 200 OK\r\n"));

        // One line, whatever the reason holds.
        why = QStringLiteral("cannot write into /tmp/a\nb\r: Permission denied");
        QCOMPARE(Body(Curl(port, QStringLiteral("/readyz"))),
                 QByteArray("not ready: cannot write into /tmp/a b : Permission denied\n"));
        server->SetReadinessProbe([]() -> QString { throw std::runtime_error("no answer"); });
        a = Curl(port, QStringLiteral("/readyz"));
        QVERIFY2(a.startsWith("HTTP/1.1 503 "), a.constData());
        QCOMPARE(Body(a), QByteArray("not ready: readiness cannot be checked: no answer\n"));
        why.clear();
        server->SetReadinessProbe([&] { return why; });
        QCOMPARE(Body(Curl(port, QStringLiteral("/readyz?verbose"))), QByteArray("ready\n"));

        // The same rules as for /metrics; other paths are unknown as before.
        const QList<QPair<QByteArray, QByteArray>> cases{
            {QByteArrayLiteral("GET /healthz?x=1 HTTP/1.1\r\n\r\n"), "200"},
            {QByteArrayLiteral("HEAD /readyz HTTP/1.0\r\n\r\n"), "200"},
            {QByteArrayLiteral("POST /healthz HTTP/1.1\r\nContent-Length: 0\r\n\r\n"), "405"},
            {QByteArrayLiteral("DELETE /readyz HTTP/1.1\r\n\r\n"), "405"},
            {QByteArrayLiteral("GET /healthz/ HTTP/1.1\r\n\r\n"), "404"},
            {QByteArrayLiteral("GET /health HTTP/1.1\r\n\r\n"), "404"},
            {QByteArrayLiteral("GET /READYZ HTTP/1.1\r\n\r\n"), "404"},
            {QByteArrayLiteral("GET / HTTP/1.1\r\n\r\n"), "404"},
        };
        for (const auto& [request, status] : cases) {
            const QByteArray answer = Exchange(port, request);
            QVERIFY2(answer.startsWith("HTTP/1.1 " + status + ' '),
                     (request.toPercentEncoding() + " -> " + answer.left(60)).constData());
        }
        QCOMPARE(Body(Exchange(port, "GET /health HTTP/1.1\r\n\r\n")), QByteArray("Not Found: metrics are at /metrics\n"));
        server->SetReadinessProbe({});
    }

    void readinessOfARunningNetworkRelay()
    {
        ServiceRelay s;
        QVERIFY(s.start("NETWORK"));
        RelayService& relay = *s.relay;
        QVERIFY(relay.network.ListeningPort() != 0);
        QCOMPARE(Body(Curl(s.metricsPort, QStringLiteral("/healthz"))), QByteArray("ok\n"));
        QByteArray a = Curl(s.metricsPort, QStringLiteral("/readyz"));
        QVERIFY2(a.startsWith("HTTP/1.1 200 OK\r\n"), a.constData());
        QCOMPARE(Body(a), QByteArray("ready\n"));

        relay.core.Stop();
        a = Curl(s.metricsPort, QStringLiteral("/readyz"));
        QVERIFY2(a.startsWith("HTTP/1.1 503 "), a.constData());
        QCOMPARE(Body(a), QByteArray("not ready: the relay is stopped\n"));
        QVERIFY(Curl(s.metricsPort, QStringLiteral("/healthz")).startsWith("HTTP/1.1 200 OK\r\n"));
        relay.core.Start();
        QVERIFY(relay.core.IsRunning());
        QCOMPARE(Body(Curl(s.metricsPort, QStringLiteral("/readyz"))), QByteArray("ready\n"));

        // A folder of the spool gone is seen whoever the relay runs as.
        const Spool* spool = relay.network.SpoolFolder();
        QVERIFY(spool);
        QCOMPARE(spool->dir(), s.spoolDir());
        QVERIFY(QDir().rename(spool->notesDir(), spool->notesDir() + QStringLiteral(".away")));
        a = Curl(s.metricsPort, QStringLiteral("/readyz"));
        QVERIFY2(a.startsWith("HTTP/1.1 503 "), a.constData());
        QVERIFY2(Body(a).startsWith("not ready: cannot write into " + QFile::encodeName(spool->notesDir()) + ": "),
                 a.constData());
        QVERIFY(QDir().rename(spool->notesDir() + QStringLiteral(".away"), spool->notesDir()));
        QCOMPARE(Body(Curl(s.metricsPort, QStringLiteral("/readyz"))), QByteArray("ready\n"));
    }

    void notReadyWhileTheSpoolCannotBeWritten()
    {
        // A write that fails for a reason of the host (here a limit on file sizes, as a full disk
        // would): the folders' permissions look fine, only a write tells.
        ServiceRelay s;
        QVERIFY(s.start("NETWORK"));
        Spool* spool = s.relay->network.SpoolFolder();
        QVERIFY(spool);
        QString error;
        {
            NoRoomForFiles full;
            QVERIFY(spool->store("<mail/>", &error).isEmpty());
            QVERIFY(!error.isEmpty());
            // A raw client: curl would run under the same limit.
            const QByteArray a = Exchange(s.metricsPort, "GET /readyz HTTP/1.1\r\n\r\n");
            QVERIFY2(a.startsWith("HTTP/1.1 503 "), a.constData());
            QVERIFY2(Body(a).startsWith("not ready: " + error.toUtf8() + "; writing into "), a.constData());
            QCOMPARE(Body(a).count('\n'), 1);
        }
        // Room again: the relay finds out by itself, without waiting for mail.
        QCOMPARE(Body(Curl(s.metricsPort, QStringLiteral("/readyz"))), QByteArray("ready\n"));
        QCOMPARE(Body(Curl(s.metricsPort, QStringLiteral("/readyz"))), QByteArray("ready\n"));
        // The trial writes leave nothing behind.
        for (const QString& folder : {spool->dir(), spool->failedDir(), spool->notesDir()})
            QVERIFY2(QDir(folder).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".tmp")).isEmpty(),
                     qPrintable(folder));

        // A note that cannot be written (the post office's) counts as well, and so does the next
        // write that succeeds.
        {
            NoRoomForFiles full;
            QVERIFY(!spool->writeNote(QStringLiteral("record-1"), "noted\n", &error));
        }
        QVERIFY(spool->writeNote(QStringLiteral("record-1"), "noted\n", &error));
        QCOMPARE(spool->unwritable(), QString());
        QCOMPARE(Body(Curl(s.metricsPort, QStringLiteral("/readyz"))), QByteArray("ready\n"));
    }

    void notReadyWhileTheSpoolFolderIsReadOnly()
    {
        if (::geteuid() == 0)
            QSKIP("root writes into read-only folders; the failed write above stands in for this");
        ServiceRelay s;
        QVERIFY(s.start("NETWORK"));
        const Spool* spool = s.relay->network.SpoolFolder();
        QVERIFY(spool);
        for (const QString& folder : {spool->dir(), spool->failedDir(), spool->notesDir()}) {
            QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0500) == 0);
            const QByteArray a = Curl(s.metricsPort, QStringLiteral("/readyz"));
            QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0700) == 0);
            QVERIFY2(a.startsWith("HTTP/1.1 503 "), a.constData());
            QVERIFY2(Body(a).startsWith("not ready: cannot write into " + QFile::encodeName(folder) + ": "), a.constData());
            QCOMPARE(Body(Curl(s.metricsPort, QStringLiteral("/readyz"))), QByteArray("ready\n"));
        }
    }

    void readinessOfAPostOfficeRelay()
    {
        // Running, but without a valid tracker login nothing can be polled.
        ServiceRelay s;
        QVERIFY(s.start("POSTOFFICE"));
        QVERIFY(!s.relay->postOffice.LoginValid());
        const QByteArray a = Curl(s.metricsPort, QStringLiteral("/readyz"));
        QVERIFY2(a.startsWith("HTTP/1.1 503 "), a.constData());
        QCOMPARE(Body(a), QByteArray("not ready: the tracker login is not valid\n"));
        QCOMPARE(Body(Curl(s.metricsPort, QStringLiteral("/healthz"))), QByteArray("ok\n"));
    }

    void neverHurtByGarbage()
    {
        server->SetTimeouts(200, 2000);
        QRandomGenerator random(19);
        for (int batch = 0; batch < 20; ++batch) {
            QVERIFY(QTest::qWaitFor([&] { return server->OpenConnections() == 0; }, 5000));
            std::vector<std::unique_ptr<QTcpSocket>> sockets;
            QList<QByteArray> answers;
            QList<bool> complete; // a header that ended, or one too large: answered, not timed out
            for (int i = 0; i < 12; ++i) {
                QByteArray junk(random.bounded(0, 12000), Qt::Uninitialized);
                // Mostly noise, with the letters of a request mixed in.
                for (char& c : junk)
                    c = char(random.bounded(0, 4) ? random.bounded(0, 256)
                                                  : "GET /metrics HTTP/1.1\r\n"[random.bounded(0, 23)]);
                if (random.bounded(0, 3))
                    junk += "\r\n\r\n";
                const QByteArray head = junk.left(MetricsServer::kMaxHeaderBytes);
                complete << (junk.size() >= MetricsServer::kMaxHeaderBytes || head.contains("\n\n") ||
                             head.contains("\r\n\r\n"));
                auto s = std::make_unique<QTcpSocket>();
                s->connectToHost(QHostAddress::LocalHost, port);
                s->write(junk);
                sockets.push_back(std::move(s));
                answers << QByteArray();
            }
            QVERIFY(QTest::qWaitFor([&] {
                bool allClosed = true;
                for (size_t i = 0; i < sockets.size(); ++i) {
                    answers[qsizetype(i)] += sockets[i]->readAll();
                    allClosed = allClosed && sockets[i]->state() == QAbstractSocket::UnconnectedState;
                }
                return allClosed;
            }, 20000));
            for (qsizetype i = 0; i < answers.size(); ++i)
                QVERIFY2(complete[i] ? QRegularExpression(QStringLiteral("\\AHTTP/1\\.1 (200|400|404|405|431) "))
                                           .match(QString::fromLatin1(answers[i].left(20))).hasMatch()
                                     : answers[i].isEmpty(),
                         answers[i].left(40).constData());
        }
        QVERIFY(QTest::qWaitFor([&] { return server->OpenConnections() == 0; }, 5000));
        QVERIFY(Exchange(port, "GET /metrics HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200 OK\r\n"));
    }

    void cutsOffSilentSlowAndSurplusClients()
    {
        server->SetTimeouts(10000, 30000);
        QVERIFY(QTest::qWaitFor([&] { return server->OpenConnections() == 0; }, 5000));
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < MetricsServer::kMaxConnections; ++i) {
            held.push_back(std::make_unique<QTcpSocket>());
            held.back()->connectToHost(QHostAddress::LocalHost, port);
        }
        QVERIFY(QTest::qWaitFor([&] { return server->OpenConnections() == MetricsServer::kMaxConnections; }, 10000));
        // One more is closed at once, and the others are still there.
        QCOMPARE(Exchange(port, "GET /metrics HTTP/1.1\r\n\r\n", 5000), QByteArray());
        QCOMPARE(server->OpenConnections(), MetricsServer::kMaxConnections);
        for (const auto& s : held)
            QCOMPARE(s->state(), QAbstractSocket::ConnectedState);
        held.clear();
        QVERIFY(QTest::qWaitFor([&] { return server->OpenConnections() == 0; }, 10000));

        server->SetTimeouts(300, 1500);
        QTcpSocket silent;
        silent.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(QTest::qWaitFor([&] { return silent.state() == QAbstractSocket::UnconnectedState; }, 10000));
        QCOMPARE(silent.readAll(), QByteArray());

        // One byte every 100 ms is never silent for long, but never done either.
        QTcpSocket slow;
        slow.connectToHost(QHostAddress::LocalHost, port);
        QTimer drip;
        slow.write("GET /metrics HTTP/1.1\r\nX-Slow: ");
        connect(&drip, &QTimer::timeout, &slow, [&] { slow.write("a"); });
        drip.start(100);
        QVERIFY(QTest::qWaitFor([&] { return slow.state() == QAbstractSocket::UnconnectedState; }, 20000));
        drip.stop();
        QCOMPARE(slow.readAll(), QByteArray());
        server->SetTimeouts(10000, 30000);
    }

    void refusesAddressesItCannotUse()
    {
        MetricsServer other(metrics);
        QString error;
        const QStringList bad{"", "9469", ":9469", "127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                              "127.0.0.1:-1", "127.0.0.1:+80", "127.0.0.1:80x", "127.0.0.1:123456", "::1:9469",
                              "[::1]", "[::1]9469", "[::1:9469", "[127.0.0.1]:9469", "[nonsense]:9469",
                              "256.1.1.1:9469", "127.1:9469", "1.2.3.4.5:9469", "my host:9469", "exa_mple:9469",
                              "-lead.example:9469", "http://127.0.0.1:9469", "127.0.0.1:9469/metrics"};
        for (const QString& text : bad) {
            error.clear();
            QVERIFY2(!other.Listen(text, &error), qPrintable(text));
            QVERIFY2(error.contains(QLatin1Char('\'') + text.trimmed() + QLatin1Char('\'')), qPrintable(error));
            QVERIFY(!other.IsListening());
        }
        // Well formed, but taken, or not an address of this host.
        QVERIFY(!other.Listen(QStringLiteral("127.0.0.1:%1").arg(port), &error));
        QVERIFY2(error.contains(QStringLiteral("127.0.0.1:%1").arg(port)), qPrintable(error));
        QVERIFY(!other.Listen(QStringLiteral("192.0.2.1:9469"), &error));
        QVERIFY2(error.startsWith(QLatin1String("cannot listen on 192.0.2.1:9469")), qPrintable(error));
        QVERIFY(!other.IsListening());

        // Listening again moves; an address that fails leaves the old one serving.
        const quint16 a = UnusedTcpPort();
        QVERIFY2(other.Listen(QStringLiteral("127.0.0.1:%1").arg(a), &error), qPrintable(error));
        const quint16 b = UnusedTcpPort();
        QVERIFY2(other.Listen(QStringLiteral(" 127.0.0.1:%1 ").arg(b), &error), qPrintable(error));
        QCOMPARE(other.Describe(), QStringLiteral("127.0.0.1:%1").arg(b));
        QCOMPARE(Exchange(a, "GET /metrics HTTP/1.1\r\n\r\n"), QByteArray("<no connection>"));
        QVERIFY(Exchange(b, "GET /metrics HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200 OK\r\n"));
        QVERIFY(!other.Listen(QStringLiteral("127.0.0.1:%1").arg(port), &error));
        QVERIFY2(error.endsWith(QStringLiteral("still serving on 127.0.0.1:%1").arg(b)), qPrintable(error));
        QVERIFY(!other.Listen(QStringLiteral("bad"), &error));
        QVERIFY(Exchange(b, "GET /metrics HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200 OK\r\n"));
        QVERIFY(other.Listen(QStringLiteral("127.0.0.1:%1").arg(b), &error));
        other.Close();
        QVERIFY(!other.IsListening());
        QCOMPARE(Exchange(b, "GET /metrics HTTP/1.1\r\n\r\n"), QByteArray("<no connection>"));

        // localhost is the loopback addresses this host has; IPv6 literals go in brackets.
        QVERIFY2(other.Listen(QStringLiteral("LocalHost:%1").arg(a), &error), qPrintable(error));
        QVERIFY2(other.Describe().startsWith(QStringLiteral("127.0.0.1:%1").arg(a)), qPrintable(other.Describe()));
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHostIPv6))
            QSKIP("no IPv6 loopback here");
        QCOMPARE(other.Describe(), QStringLiteral("127.0.0.1:%1, [::1]:%1").arg(a));
        QVERIFY2(other.Listen(QStringLiteral("[::1]:%1").arg(b), &error), qPrintable(error));
        QCOMPARE(other.Describe(), QStringLiteral("[::1]:%1").arg(b));
        const QByteArray curl = Run(QStringLiteral("curl"), {"-sS", "-i", "-g", "--max-time", "20",
                                                             QStringLiteral("http://[::1]:%1/metrics").arg(b)});
        QVERIFY2(curl.startsWith("HTTP/1.1 200 OK\r\n"), curl.constData());
    }
    void wildcardIsReachableFromOtherHosts()
    {
        // A wildcard serves every interface: the relay must be able to say so.
        MetricsServer other(metrics);
        QString error;
        const quint16 a = UnusedTcpPort();
        QVERIFY2(other.Listen(QStringLiteral("127.0.0.1:%1").arg(a), &error), qPrintable(error));
        QVERIFY(!other.ReachableFromOtherHosts());
        QVERIFY2(other.Listen(QStringLiteral("0.0.0.0:%1").arg(a), &error), qPrintable(error));
        QVERIFY(other.ReachableFromOtherHosts());
        QVERIFY(Exchange(a, "GET /metrics HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200 OK\r\n"));
        QVERIFY2(other.Listen(QStringLiteral("localhost:%1").arg(a), &error), qPrintable(error));
        QVERIFY(!other.ReachableFromOtherHosts());
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHostIPv6))
            QSKIP("no IPv6 here");
        QVERIFY2(other.Listen(QStringLiteral("[::]:%1").arg(a), &error), qPrintable(error));
        QVERIFY(other.ReachableFromOtherHosts());
        other.Close();
        QVERIFY(!other.ReachableFromOtherHosts());
        // A scoped link-local address is read as one (whether this host has it is another matter).
        error.clear();
        other.Listen(QStringLiteral("[fe80::1%lo]:%1").arg(a), &error);
        QVERIFY2(!error.contains(QLatin1String("is not an address to listen on")), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestMetrics)
#include "test_metrics.moc"
