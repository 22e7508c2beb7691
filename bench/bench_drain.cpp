// Post office drain against the network relay's live rate, in one run against one smtp-sink:
// 100 clients post 2 KB documents through the relay as the service runs it; then, for each
// queue size, that many records (a 2 KB document and a 2 KB attachment each) are drained by the
// same relay in post office relay mode. Printed: both rates, their ratio, and the relay's CPU
// time per mail.
// Usage: bench_drain [RECORDS...]   (default: 5000 20000)
#include "BenchSupport.h"
#include "MailDocBuilder.h"
#include "SmtpSink.h"

#include "tracker/TrackerStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using namespace swn;
using namespace swn::bench;

namespace {

const QString Set = QStringLiteral("Repo");
const QString Db = QStringLiteral("SAMPL");

bool WriteSettings(const QString& path, const QByteArray& text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QList<int> sizes = SizesFrom(argc, argv, {5000, 20000});
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/swn-bench-XXXXXX"));
    SmtpSinkTool sink;
    if (!sink.start()) {
        std::fprintf(stderr, "bench_drain: smtp-sink is needed (scripts/bench installs it)\n");
        return 1;
    }
    test::MailDocBuilder doc;
    doc.to = {"alice@example.org", "bob@example.org"};
    doc.cc = {"carol@example.org"};
    doc.body = QString(1500, QLatin1Char('x'));
    doc.withAttachmentList = false;
    const QByteArray document = doc.build();
    const QByteArray attachment(2048, 'a');

    // The live rate of the network relay, same sink, same document.
    const int liveMails = 5000;
    double liveRate = 0, liveCpu = 0;
    {
        const QString work = dir.filePath(QStringLiteral("live"));
        QDir().mkpath(work);
        const quint16 port = test::UnusedTcpPort();
        WriteSettings(work + QStringLiteral("/relay.ini"),
                      QStringLiteral("[SwiftnoteRelay]\nRelayMode=NETWORK\nMaxLogSize=64\nSTMPRelayListenerPort=%1\nSMTPServer=%2\n")
                          .arg(port)
                          .arg(sink.hostText())
                          .toUtf8());
        RelayProcess relay;
        if (!relay.start(QStringLiteral(SWN_RELAY_EXECUTABLE),
                         {QStringLiteral("--settings"), work + QStringLiteral("/relay.ini"), QStringLiteral("--spool"),
                          work + QStringLiteral("/spool")},
                         work) ||
            !WaitForPort(port, 20000)) {
            std::fprintf(stderr, "bench_drain: the relay did not start\n");
            return 1;
        }
        test::MailDocBuilder networkDoc = doc;
        networkDoc.withAttachmentList = true;
        networkDoc.attachments = {{QStringLiteral("notes.txt"), attachment}};
        const QByteArray body = networkDoc.build();
        const QByteArray request = PostOf(networkDoc.build());
        int failed = 0;
        const double cpuBefore = ProcessCpuSeconds(relay.pid());
        liveRate = PostConcurrently(port, request, liveMails, 100, &failed);
        liveCpu = (ProcessCpuSeconds(relay.pid()) - cpuBefore) / liveMails;
        if (failed)
            std::fprintf(stderr, "bench_drain: %d posts failed\n", failed);
    }
    std::printf("network relay, 100 clients, %d documents with a %lld-byte attachment: %8.1f mails/s, CPU %.0f us/mail\n",
                liveMails, qint64(attachment.size()), liveRate, liveCpu * 1e6);

    int status = 0;
    for (const int records : sizes) {
        const QString work = dir.filePath(QStringLiteral("po%1").arg(records));
        QDir().mkpath(work);
        tracker::TrackerStore store(work + QStringLiteral("/tracker"));
        store.createDatabaseSet(Set);
        store.createDatabase(Set, Db, false, {});
        store.addUser(Set, QStringLiteral("relay"), QStringLiteral("pw"), {Db});
        store.enablePostOffice(Set, Db);
        QList<tracker::NewRecord> batch;
        for (int i = 0; i < records; ++i)
            batch.append({QString::fromUtf8(document), {{QStringLiteral("notes.txt"), attachment}}});
        QElapsedTimer clock;
        clock.start();
        store.enqueueMany(Set, Db, batch);
        const double enqueueSeconds = clock.nsecsElapsed() / 1e9;
        WriteSettings(work + QStringLiteral("/relay.ini"),
                      QStringLiteral("[SwiftnoteRelay]\nRelayMode=POSTOFFICE\nMaxLogSize=64\nPOPollInterval=1\n"
                                     "SMTPServer=%1\nBTLoginID=relay\nBTPassword=pw\nBTDB=%2\nBTDbset=%3\n")
                          .arg(sink.hostText(), Db, Set)
                          .toUtf8());
        RelayProcess relay;
        clock.restart();
        if (!relay.start(QStringLiteral(SWN_RELAY_EXECUTABLE),
                         {QStringLiteral("--settings"), work + QStringLiteral("/relay.ini"), QStringLiteral("--tracker-root"),
                          store.root(), QStringLiteral("--spool"), work + QStringLiteral("/spool")},
                         work)) {
            std::fprintf(stderr, "bench_drain: the relay did not start\n");
            return 1;
        }
        qsizetype left = records;
        double cpu = 0;
        while (left > 0 && clock.elapsed() < 20 * 60 * 1000) {
            QThread::msleep(250);
            cpu = ProcessCpuSeconds(relay.pid());
            left = store.list(Set, Db).size();
        }
        const double seconds = clock.nsecsElapsed() / 1e9;
        relay.stop();
        const double rate = (records - left) / seconds;
        std::printf("post office, %d records queued (in %.1f s):\n", records, enqueueSeconds);
        std::printf("  drained at        %8.1f records/s (%lld left), CPU %.0f us/record\n", rate, qint64(left),
                    records > left ? cpu * 1e6 / double(records - left) : 0.0);
        std::printf("  drain/live        %8.2f (aim: at least 0.50)\n", rate / liveRate);
        if (left > 0)
            status = 1;
    }
    sink.stop();
    return status;
}
