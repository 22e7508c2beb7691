// Network relay under load: N clients in parallel post 2 KB documents through the relay to an
// SMTP sink; beside it, the same number of bare SMTP sends with the same parallelism (a new
// connection per mail, and one kept per thread). Then 300 idle connections held open.
// Usage: bench_load [REQUESTS_PER_LEVEL]
#include "BenchSupport.h"
#include "MailDocBuilder.h"
#include "SmtpSink.h"

#include "delivery/CDOSend.h"
#include "ui/Form1.h"
#include "tracker/UnavailableTracker.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QEventLoop>
#include <QLineEdit>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace swn;
using namespace swn::bench;

namespace {

// One request: send it whole, read the reply until the relay closes. True on a 200 reply.
bool Post(quint16 port, const QByteArray& request)
{
    const int fd = ConnectLoopback(port);
    if (fd < 0)
        return false;
    const char* p = request.constData();
    qsizetype left = request.size();
    while (left > 0) {
        const ssize_t n = ::send(fd, p, size_t(left), MSG_NOSIGNAL);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        p += n;
        left -= n;
    }
    QByteArray reply;
    char buffer[256];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, n);
    ::close(fd);
    return reply.startsWith("HTTP/1.1 200 ");
}

// Runs `work` on `threads` threads while the relay's event loop keeps running here.
void RunClients(int threads, const std::function<void(int)>& work)
{
    std::atomic<int> done{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            work(t);
            ++done;
        });
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done == threads)
            loop.quit();
    });
    poll.start(2);
    loop.exec();
    for (auto& th : pool)
        th.join();
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Settings, the relay's staging folder and Qt's runtime folder all go with this one.
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/swn-bench-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench_load: no temporary folder\n");
        return 1;
    }
    qputenv("TMPDIR", QFile::encodeName(dir.path()));
    QApplication app(argc, argv);
    const int perLevel = argc > 1 ? std::atoi(argv[1]) : 1000;
    CountingSink sink;
    if (!sink.start()) {
        std::fprintf(stderr, "bench_load: the SMTP sink did not start\n");
        return 1;
    }
    Form1Options options;
    options.settingsFile = dir.filePath(QStringLiteral("relay.ini"));
    options.trackerFactory = std::make_shared<UnavailableTrackerFactory>();
    options.showMessage = [](const QString&, const QString&, QMessageBox::Icon) {};
    options.quitOnExit = false;
    Form1 form(std::move(options));
    form.Form_Load();
    const quint16 port = test::UnusedTcpPort();
    form.ListenPort->setText(QString::number(port));
    form.SMTPHost->setText(sink.hostText());
    form.MaxLogSize->setText(QStringLiteral("64"));
    form.cmdStart_Click();

    test::MailDocBuilder doc;
    doc.to = {"alice@example.org", "bob@example.org"};
    doc.cc = {"carol@example.org"};
    doc.body = QString(1500, QLatin1Char('x'));
    const QByteArray document = doc.build();
    const QByteArray request = "POST / HTTP/1.1\r\nHost: relay\r\nContent-Length: " +
        QByteArray::number(document.size()) + "\r\n\r\n" + document;

    MimeMessageBuilder builder;
    builder.setFrom(doc.from, true);
    builder.setRecipients(RecipientKind::To, doc.to);
    builder.setRecipients(RecipientKind::Cc, doc.cc);
    builder.setSubject(doc.subject);
    builder.setBody(doc.body.toUtf8(), false);
    const QByteArray sender = builder.envelopeSender();
    const QList<QByteArray> recipients = builder.envelopeRecipients();
    const QByteArray composed = builder.compose()->readAll();
    const SmtpServerAddress server = ParseSmtpServerText(sink.hostText());

    std::printf("%d requests of %lld bytes per level, relay on port %u\n", perLevel, qint64(request.size()), port);
    std::printf("bare sends: N threads, a new connection per mail / one connection kept per thread\n");
    std::printf("%7s %11s %8s %8s %8s %8s %11s %6s %11s %6s\n", "clients", "relay req/s", "p50 ms", "p90 ms",
                "p99 ms", "peak MB", "bare new/s", "ratio", "bare kept/s", "ratio");
    int expected = 0;
    for (int clients : {1, 10, 100}) {
        const int each = std::max(1, perLevel / clients);
        std::vector<std::vector<double>> latencies{size_t(clients)};
        std::atomic<int> failed{0};
        ResetPeak();
        QElapsedTimer clock;
        clock.start();
        RunClients(clients, [&](int t) {
            for (int i = 0; i < each; ++i) {
                const auto start = std::chrono::steady_clock::now();
                if (!Post(port, request))
                    ++failed;
                latencies[size_t(t)].push_back(
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            }
        });
        const double relaySeconds = clock.nsecsElapsed() / 1e9;
        const long peakKb = StatusKb("VmHWM");
        std::vector<double> all;
        for (auto& l : latencies)
            all.insert(all.end(), l.begin(), l.end());

        std::atomic<int> bareFailed{0};
        clock.restart();
        RunClients(clients, [&](int) {
            for (int i = 0; i < each; ++i) {
                if (!BareSend(sink.hostText(), sender, recipients, composed))
                    ++bareFailed;
            }
        });
        const double bareSeconds = clock.nsecsElapsed() / 1e9;

        std::atomic<int> keptFailed{0};
        clock.restart();
        RunClients(clients, [&](int) {
            for (int i = 0; i < each; ++i) {
                BytesMessage message(composed);
                if (!SendSmtp(server, sender, recipients, message).sent)
                    ++keptFailed;
            }
        });
        const double keptSeconds = clock.nsecsElapsed() / 1e9;

        const int total = each * clients;
        expected += 3 * total - failed - bareFailed - keptFailed;
        const double relayRate = (total - failed) / relaySeconds;
        const double bareRate = (total - bareFailed) / bareSeconds;
        const double keptRate = (total - keptFailed) / keptSeconds;
        std::printf("%7d %11.1f %8.2f %8.2f %8.2f %8.1f %11.1f %5.0f%% %11.1f %5.0f%%%s\n", clients, relayRate,
                    Percentile(all, 50), Percentile(all, 90), Percentile(all, 99), peakKb / 1024.0, bareRate,
                    100 * relayRate / bareRate, keptRate, 100 * relayRate / keptRate,
                    failed || bareFailed || keptFailed ? "  (failures!)" : "");
    }
    std::printf("aim: with 100 clients the relay keeps at least 70%% of the bare rate\n");

    // Idle connections cost no memory to speak of.
    QCoreApplication::processEvents();
    const long before = StatusKb("VmRSS");
    std::vector<int> idle;
    RunClients(1, [&](int) {
        for (int i = 0; i < Form1::MaxSlots; ++i)
            idle.push_back(ConnectLoopback(port));
    });
    QElapsedTimer settle;
    settle.start();
    while (form.MaxSocket() < Form1::MaxSlots && settle.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    for (int i = 0; i < 100; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const long held = StatusKb("VmRSS");
    for (int fd : idle)
        if (fd >= 0)
            ::close(fd);
    for (int i = 0; i < 50; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::printf("%d idle connections: resident %.1f MB before, %.1f MB while held (+%.2f MB), slots in use %d\n",
                Form1::MaxSlots, before / 1024.0, held / 1024.0, (held - before) / 1024.0, form.MaxSocket());

    const int received = sink.stop();
    std::printf("sink received %d of %d messages\n", received, expected);
    return received == expected ? 0 : 1;
}
