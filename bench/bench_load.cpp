// Network relay under load, against the mail system's own test tools in the same run:
// smtp-source sends 2 KB mails one per connection, one after another, to smtp-sink; then 100
// clients post 2 KB documents through the relay (SWNRelay --headless, a process of its own) to
// the same sink. Printed: rates, and CPU time per mail of the relay and of smtp-source. Then the
// relay's memory with 300 idle connections held open.
// Usage: bench_load [MAILS]
#include "BenchSupport.h"
#include "MailDocBuilder.h"
#include "SmtpSink.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace swn;
using namespace swn::bench;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int mails = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
    constexpr int clients = 100;
    const QString sourceTool = FindTool("smtp-source");
    SmtpSinkTool sink;
    if (sourceTool.isEmpty() || !sink.start()) {
        std::fprintf(stderr, "bench_load: smtp-sink and smtp-source are needed (scripts/bench installs them)\n");
        return 1;
    }
    const quint16 sinkPort = sink.port();
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/swn-bench-XXXXXX"));

    // The reference: 2 KB mails, one per connection, one after another. A shell runs it and then
    // reads its own child times, which hold exactly smtp-source's CPU time.
    QProcess source;
    // Its allocator keeps what it frees: with the defaults, giving memory back after each
    // connection made its CPU per mail on a virtual machine swing threefold between runs.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("GLIBC_TUNABLES"),
               QStringLiteral("glibc.malloc.trim_threshold=67108864:glibc.malloc.top_pad=16777216"));
    source.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    source.start(QStringLiteral("/bin/sh"),
                 {QStringLiteral("-c"),
                  QStringLiteral("\"$0\" -s 1 -m \"$1\" -l 2048 -f tracker@example.org -t alice@example.org \"$2\" "
                                 "&& read -r stat < /proc/$$/stat && echo \"$stat\""),
                  sourceTool, QString::number(mails), QStringLiteral("127.0.0.1:%1").arg(sinkPort)});
    source.waitForFinished(-1);
    const double sourceSeconds = clock.nsecsElapsed() / 1e9;
    const QByteArray stat = source.readAllStandardOutput().trimmed();
    // Fields 16 and 17: the waited-for children's user and system time.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const double sourceCpu = (fields.value(13).toDouble() + fields.value(14).toDouble()) / double(::sysconf(_SC_CLK_TCK));
    if (source.exitCode() != 0 || sourceCpu <= 0) {
        std::fprintf(stderr, "bench_load: smtp-source failed: %s\n", source.readAllStandardError().constData());
        return 1;
    }

    // The relay, as the service runs it.
    const quint16 relayPort = test::UnusedTcpPort();
    QFile ini(dir.filePath(QStringLiteral("relay.ini")));
    ini.open(QIODevice::WriteOnly);
    ini.write(QStringLiteral("[SwiftnoteRelay]\nRelayMode=NETWORK\nTransportMode=CDO\nAutoStart=1\n"
                             "STMPRelayListenerPort=%1\nSMTPServer=127.0.0.1:%2\n")
                  .arg(relayPort)
                  .arg(sinkPort)
                  .toUtf8());
    ini.close();
    RelayProcess relay;
    if (!relay.start(QStringLiteral(SWN_RELAY_EXECUTABLE),
                     {QStringLiteral("--settings"), ini.fileName(), QStringLiteral("--tracker-root"),
                      dir.filePath(QStringLiteral("tracker")), QStringLiteral("--spool"), dir.filePath(QStringLiteral("spool"))},
                     dir.path()) ||
        !WaitForPort(relayPort, 10000)) {
        std::fprintf(stderr, "bench_load: the relay did not start\n");
        return 1;
    }

    const QByteArray request = PostOf(TwoKilobyteDocument());

    int failed = 0;
    std::vector<double> latencies;
    const double relayCpuBefore = ProcessCpuSeconds(relay.pid());
    clock.restart();
    PostConcurrently(relayPort, request, mails, clients, &failed, &latencies);
    const double relaySeconds = clock.nsecsElapsed() / 1e9;
    const double relayCpu = ProcessCpuSeconds(relay.pid()) - relayCpuBefore;

    const double sourceRate = mails / sourceSeconds, relayRate = (mails - failed) / relaySeconds;
    std::printf("%d mails of 2 KB to smtp-sink, same run\n", mails);
    std::printf("  smtp-source, one per connection, one at a time: %8.1f mails/s, CPU %6.1f us/mail\n", sourceRate,
                1e6 * sourceCpu / mails);
    std::printf("  relay, %d parallel clients:                    %8.1f mails/s, CPU %6.1f us/mail, p50 %.1f ms, p99 %.1f ms%s\n",
                clients, relayRate, 1e6 * relayCpu / mails, Percentile(latencies, 50), Percentile(latencies, 99),
                failed ? "  (failures!)" : "");
    std::printf("  rate ratio %.2f (aim: at least 1.0), CPU ratio %.2f (aim: at most 1.5)\n", relayRate / sourceRate,
                (relayCpu / mails) / (sourceCpu / mails));
    const int spooled = int(QDir(dir.filePath(QStringLiteral("spool"))).entryList({QStringLiteral("*.xml")}).size());
    if (spooled)
        std::printf("  %d documents went to the spool instead of the sink\n", spooled);

    // Idle connections cost no memory to speak of.
    const long before = ProcessKb(relay.pid(), "VmRSS:");
    std::vector<int> idle;
    for (int i = 0; i < 300; ++i)
        idle.push_back(ConnectLoopback(relayPort));
    QThread::msleep(1000);
    const long held = ProcessKb(relay.pid(), "VmRSS:");
    for (int fd : idle)
        if (fd >= 0)
            ::close(fd);
    std::printf("300 idle connections: relay resident %.1f MB before, %.1f MB while held (%+.2f MB)\n", before / 1024.0,
                held / 1024.0, (held - before) / 1024.0);

    relay.stop();
    sink.stop();
    return failed == 0 ? 0 : 1;
}
