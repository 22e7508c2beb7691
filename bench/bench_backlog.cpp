// A backlog in the spool: documents kept while the server was away, found by a relay that
// starts again. Printed, in one run against one smtp-sink: the live rate of 100 clients posting
// 2 KB documents; then, for each backlog size, how long the relay takes to listen, its resident
// memory once it listens and at its peak, how fast it drains the backlog against that live rate,
// and whether documents posted meanwhile still go at once.
// Usage: bench_backlog [ENTRIES...]   (default: 20000 100000)
#include "BenchSupport.h"
#include "MailDocBuilder.h"
#include "SmtpSink.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <sys/socket.h>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace swn;
using namespace swn::bench;

namespace {

// The spool's depth as the relay's metrics tell it: reading a folder of 100,000 names every
// moment would cost the machine more than the relay's own work. -1 when it cannot be read.
int SpoolEntries(quint16 metricsPort)
{
    const QByteArray reply = Ask(metricsPort, "GET /metrics HTTP/1.0\r\n\r\n");
    for (const QByteArray& line : reply.split('\n'))
        if (line.startsWith("swnrelay_spool_entries "))
            return int(line.mid(23).trimmed().toDouble());
    return -1;
}

// What an earlier run would have kept, written straight into the folder (no flush: the
// benchmark measures the relay, not the disk that filled it).
bool FillSpool(const QString& folder, int entries, const QByteArray& document)
{
    if (!QDir().mkpath(folder + QStringLiteral("/failed")))
        return false;
    const QDateTime base = QDateTime::currentDateTimeUtc().addSecs(-3600);
    for (int i = 0; i < entries; ++i) {
        const QString id = QStringLiteral("%1Z-%2-%3")
                               .arg(base.addMSecs(i / 10).toString(QStringLiteral("yyyyMMdd'T'HHmmsszzz")))
                               .arg(i, 8, 16, QLatin1Char('0'))
                               .arg(0xbacc0000u + unsigned(i), 8, 16, QLatin1Char('0'));
        const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + id + QStringLiteral(".xml"));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, document.constData(), size_t(document.size())) != document.size()) {
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        ::close(fd);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QList<int> sizes = SizesFrom(argc, argv, {20000, 100000});

    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/swn-bench-XXXXXX"));
    SmtpSinkTool sink;
    if (!sink.start()) {
        std::fprintf(stderr, "bench_backlog: smtp-sink is needed (scripts/bench installs it)\n");
        return 1;
    }
    const QByteArray document = TwoKilobyteDocument();
    const QByteArray request = PostOf(document);

    int status = 0;
    for (const int entries : sizes) {
        const QString work = dir.filePath(QStringLiteral("run%1").arg(entries));
        QDir().mkpath(work);
        const quint16 port = test::UnusedTcpPort();
        const QString ini = work + QStringLiteral("/relay.ini");
        QFile f(ini);
        f.open(QIODevice::WriteOnly);
        const quint16 metricsPort = test::UnusedTcpPort();
        f.write(QStringLiteral("[SwiftnoteRelay]\nRelayMode=NETWORK\nMaxLogSize=64\nSTMPRelayListenerPort=%1\nSMTPServer=%2\n"
                               "MetricsListen=127.0.0.1:%3\n")
                    .arg(port)
                    .arg(sink.hostText())
                    .arg(metricsPort)
                    .toUtf8());
        f.close();

        // The live rate, in this run, on an empty spool.
        const int liveMails = std::min(entries, 5000);
        int failures = 0;
        double liveRate = 0;
        long emptyKb = 0; // an empty relay's resident memory, after the same work
        {
            RelayProcess live;
            if (!live.start(QStringLiteral(SWN_RELAY_EXECUTABLE),
                            {QStringLiteral("--settings"), ini, QStringLiteral("--spool"), work + QStringLiteral("/live-spool")},
                            work) ||
                !live.waitForLog("Listening on Port", 20000)) {
                std::fprintf(stderr, "bench_backlog: the relay did not start\n");
                return 1;
            }
            liveRate = PostConcurrently(port, request, liveMails, 100, &failures);
            emptyKb = ProcessKb(live.pid(), "VmRSS:");
        }

        const QString spool = work + QStringLiteral("/spool");
        QElapsedTimer clock;
        clock.start();
        if (!FillSpool(spool, entries, document)) {
            std::fprintf(stderr, "bench_backlog: cannot fill %s\n", qPrintable(spool));
            return 1;
        }
        const double fillSeconds = clock.nsecsElapsed() / 1e9;
        ::sync();

        RelayProcess relay;
        clock.restart();
        if (!relay.start(QStringLiteral(SWN_RELAY_EXECUTABLE), {QStringLiteral("--settings"), ini, QStringLiteral("--spool"), spool},
                         work) ||
            !relay.waitForLog("Listening on Port", 120000)) {
            std::fprintf(stderr, "bench_backlog: the relay did not start on the backlog\n");
            return 1;
        }
        const double startSeconds = clock.nsecsElapsed() / 1e9;
        const long listeningKb = ProcessKb(relay.pid(), "VmRSS:");
        // Posted while the backlog drains: each is answered and goes at once.
        int livePosted = 0, liveFailed = 0;
        double worstLiveMs = 0;
        int left = entries;
        while (left > 0 && clock.elapsed() < 30 * 60 * 1000) {
            QElapsedTimer one;
            one.start();
            if (PostRequest(port, request))
                ++livePosted;
            else
                ++liveFailed;
            worstLiveMs = std::max(worstLiveMs, one.nsecsElapsed() / 1e6);
            QThread::msleep(200);
            const int entries = SpoolEntries(metricsPort);
            if (entries >= 0)
                left = entries;
        }
        const double drainSeconds = clock.nsecsElapsed() / 1e9 - startSeconds;
        const long peakKb = ProcessKb(relay.pid(), "VmHWM:");
        relay.stop();
        const double drainRate = (entries - left) / drainSeconds;

        std::printf("backlog of %d kept documents of 2 KB (written in %.1f s)\n", entries, fillSeconds);
        std::printf("  listening after        %6.2f s (aim: under 3 s), resident %.1f MB, peak %.1f MB\n", startSeconds,
                    listeningKb / 1024.0, peakKb / 1024.0);
        std::printf("  memory per entry       %6.0f bytes above an empty relay's %.1f MB (the documents are 2 KB)\n",
                    entries ? (listeningKb - emptyKb) * 1024.0 / entries : 0.0, emptyKb / 1024.0);
        std::printf("  drained at             %8.1f documents/s (%d left)\n", drainRate, left);
        std::printf("  live, 100 clients      %8.1f documents/s (%d of %d failed)\n", liveRate, failures, liveMails);
        std::printf("  drain/live             %8.2f (aim: at least 0.80)\n", drainRate / liveRate);
        std::printf("  posted while draining  %d answered, %d not, slowest answer %.1f ms\n", livePosted, liveFailed,
                    worstLiveMs);
        if (left > 0 || failures || liveFailed)
            status = 1;
    }
    sink.stop();
    return status;
}
