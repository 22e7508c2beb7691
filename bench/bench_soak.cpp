// Soak: an hour's mixed traffic compressed into a few minutes, through both relay modes at once,
// against an SMTP server that refuses for a while and goes away now and then. Then every mail
// is accounted for: accepted, delivered, delivered twice, lost, and what was left behind.
// Usage: bench_soak [SECONDS=180]
#include "BenchSupport.h"
#include "MailDocBuilder.h"
#include "SmtpSink.h"

#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "netrelay/NetworkRelay.h"
#include "postoffice/PostOfficePoller.h"
#include "relay/RelayCore.h"
#include "relay/RelaySettings.h"
#include "relay/Spool.h"
#include "tracker/SqliteTracker.h"
#include "tracker/TrackerStore.h"
#include "tracker/UnavailableTracker.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace swn;
using namespace swn::bench;

namespace {

std::atomic<bool> running{true};

// Posts one request; true when the relay answered 200.
bool Post(quint16 port, const QByteArray& document)
{
    return PostRequest(port, PostOf(document));
}

QByteArray Document(const QString& subject, bool withAttachment)
{
    test::MailDocBuilder doc;
    doc.subject = subject;
    doc.to = {"soak@example.org"};
    doc.cc = {"copy@example.org"};
    doc.body = QString(800, QLatin1Char('s'));
    if (withAttachment)
        doc.attachments = {{"soak.bin", QByteArray(3000, 'b')}};
    return doc.build();
}

QString SubjectOfMail(const QByteArray& content)
{
    const qsizetype at = content.indexOf("Subject: ");
    if (at < 0)
        return {};
    return QString::fromUtf8(content.mid(at + 9, content.indexOf('\r', at) - at - 9));
}

QString SubjectOfDocument(const QByteArray& document)
{
    const qsizetype at = document.indexOf("<Subject>");
    const qsizetype end = document.indexOf("</Subject>", at);
    return at < 0 || end < 0 ? QString() : QString::fromUtf8(document.mid(at + 9, end - at - 9));
}

QStringList Descriptors()
{
    QStringList all;
    for (const QFileInfo& fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::NoDotAndDotDot | QDir::System))
        all << fd.fileName() + QStringLiteral(" ") + fd.symLinkTarget().section(QLatin1Char('/'), -1);
    return all;
}

// One relay without a window, as the service puts it together: declared in the order they are
// made, they go in reverse, each waiting for its own work.
struct Relay {
    Relay(const QString& settingsFile, std::shared_ptr<TrackerFactory> tracker)
        : settings(settingsFile), core(settings, RelayCoreOptions{}), network(core), postOffice(core, std::move(tracker))
    {
        core.SetMessageSink([](const QString& text, const QString&, bool) { std::fprintf(stderr, "box: %s\n", qUtf8Printable(text)); });
        QObject::connect(&core, &RelayCore::logAppended, &core, [this](const QString& line, bool) {
            if (line.contains(QStringLiteral("Send Failed:")))
                ++sendFailures;
        });
    }
    void start()
    {
        core.LoadSettings();
        core.CompleteStartUp();
        core.Start();
    }

    RelaySettings settings;
    RelayCore core;
    NetworkRelay network;
    PostOfficePoller postOffice;
    std::atomic<int> sendFailures{0};
};

bool WriteSettings(const QString& path, const QString& smtp, const QString& body)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) &&
        f.write(("[SwiftnoteRelay]\nTransportMode=CDO\nAutoStart=0\nMaxLogSize=64\nSMTPServer=" + smtp + "\n" + body).toUtf8()) > 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 180;
    QTemporaryDir dir;
    // The staging folder goes with the private temporary folder.
    qputenv("TMPDIR", QFile::encodeName(dir.path()));
    SetSmtpTimeouts(5, 5);
    test::SmtpSink sink;
    if (!sink.start()) {
        std::fprintf(stderr, "bench_soak: the SMTP sink did not start\n");
        return 1;
    }
    const quint16 smtpPort = sink.port();

    tracker::TrackerStore store(dir.filePath(QStringLiteral("tracker")));
    store.createDatabaseSet(QStringLiteral("Repo"));
    store.createDatabase(QStringLiteral("Repo"), QStringLiteral("SAMPL"), false, {});
    store.addUser(QStringLiteral("Repo"), QStringLiteral("relay"), QStringLiteral("pw"), {QStringLiteral("SAMPL")});
    store.enablePostOffice(QStringLiteral("Repo"), QStringLiteral("SAMPL"));

    const quint16 port = test::UnusedTcpPort();
    const QString netSettings = dir.filePath(QStringLiteral("net.ini"));
    const QString poSettings = dir.filePath(QStringLiteral("po.ini"));
    if (!WriteSettings(netSettings, sink.hostText(), QStringLiteral("RelayMode=NETWORK\nSTMPRelayListenerPort=%1\n").arg(port)) ||
        !WriteSettings(poSettings, sink.hostText(),
                       QStringLiteral("RelayMode=POSTOFFICE\nPOPollInterval=1\nBTLoginID=relay\nBTPassword=pw\n"
                                      "BTDB=SAMPL\nBTDbset=Repo\n"))) {
        std::fprintf(stderr, "bench_soak: cannot write the settings\n");
        return 1;
    }

    Relay net(netSettings, std::make_shared<UnavailableTrackerFactory>());
    auto spool = std::make_shared<Spool>(dir.filePath(QStringLiteral("spool")));
    QString spoolError;
    if (!spool->open(&spoolError)) {
        std::fprintf(stderr, "bench_soak: the spool cannot be used: %s\n", qUtf8Printable(spoolError));
        return 1;
    }
    // Waits shortened to the soak's time scale: first retry after 2 s, at most 8 s apart.
    net.network.Queue().SetTiming({2000, 8000, qint64(5) * 24 * 3600 * 1000});
    net.network.SetSpool(spool);
    net.start();
    Relay po(poSettings, std::make_shared<SqliteTrackerFactory>(store.root()));
    po.postOffice.SetRetryDelays(2000, 8000);
    po.start();
    if (!net.core.IsRunning() || !po.postOffice.LoginValid()) {
        std::fprintf(stderr, "bench_soak: a relay did not start\n");
        return 1;
    }

    // Warm up first, so that what lives as long as the process (every delivery worker of both
    // relays with its event loop and its kept SMTP connection, the poll thread) is in the
    // baseline: more mail at once than either has workers.
    constexpr int warmUpPosts = 32, warmUpRecords = 32;
    QList<tracker::NewRecord> records;
    for (int i = 0; i < warmUpRecords; ++i)
        records.append(tracker::NewRecord{QString::fromUtf8(Document(QStringLiteral("warm-up"), true))});
    store.enqueueMany(QStringLiteral("Repo"), QStringLiteral("SAMPL"), records);
    std::vector<std::thread> warmUp;
    for (int i = 0; i < warmUpPosts; ++i)
        warmUp.emplace_back([&] { Post(port, Document(QStringLiteral("warm-up"), true)); });
    while (sink.count() < warmUpPosts + warmUpRecords)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    for (auto& t : warmUp)
        t.join();
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const QStringList before = Descriptors();
    const int fdsBefore = int(before.size());
    const long rssBefore = StatusKb("VmRSS");
    const size_t heapBefore = mallinfo2().uordblks;

    std::mutex acceptedMutex;
    QSet<QString> netAccepted, poAccepted;
    std::atomic<int> goodSent{0}, notAccepted{0}, malformed{0}, stalled{0}, closedEarly{0};
    std::vector<std::thread> traffic;
    for (int t = 0; t < 4; ++t)
        traffic.emplace_back([&, t] {
            QRandomGenerator rng(quint32(t + 1));
            while (running) {
                const int n = goodSent++;
                const QString subject = QStringLiteral("net-%1").arg(n);
                if (Post(port, Document(subject, n % 5 == 0))) {
                    std::lock_guard lock(acceptedMutex);
                    netAccepted.insert(subject);
                } else {
                    ++notAccepted;
                }
                QThread::msleep(rng.bounded(5, 40));
            }
        });
    traffic.emplace_back([&] {
        while (running) {
            QByteArray broken = Document(QStringLiteral("broken"), false);
            broken.replace("</Subject>", "</Subjec>");
            Post(port, broken);
            ++malformed;
            QThread::msleep(200);
        }
    });
    traffic.emplace_back([&] {
        QRandomGenerator rng(99);
        while (running) {
            const int fd = ConnectLoopback(port);
            if (fd >= 0) {
                if (rng.bounded(2) == 0) {
                    SendAll(fd, "POST / HTTP/1.1\r\n\r\n<BT_mail_Msg><Subject>stall");
                    QThread::msleep(rng.bounded(100, 1500)); // a client that stalls, then gives up
                    ++stalled;
                } else {
                    ++closedEarly;
                }
                ::close(fd);
            }
            QThread::msleep(100);
        }
    });
    traffic.emplace_back([&] {
        tracker::TrackerStore writer(store.root());
        int n = 0;
        while (running) {
            const QString subject = QStringLiteral("po-%1").arg(n);
            try {
                writer.enqueue(QStringLiteral("Repo"), QStringLiteral("SAMPL"), QString::fromUtf8(Document(subject, false)),
                               {{QStringLiteral("record.txt"), QByteArray(2000, 'r')}});
                std::lock_guard lock(acceptedMutex);
                poAccepted.insert(subject);
                ++n;
            } catch (const TrackerError& e) {
                std::fprintf(stderr, "enqueue: %s\n", qUtf8Printable(e.description()));
            }
            QThread::msleep(50);
        }
    });

    // The server's moods: every 20 s it goes away for 4 s; every 15 s it refuses for 3 s.
    QElapsedTimer clock;
    clock.start();
    int outages = 0, refusals = 0;
    qint64 downUntil = -1, refuseUntil = -1, nextDown = 10000, nextRefuse = 5000;
    while (clock.elapsed() < seconds * 1000LL) {
        const qint64 now = clock.elapsed();
        if (downUntil < 0 && now >= nextDown) {
            sink.stop();
            downUntil = now + 4000;
            nextDown = now + 20000;
            ++outages;
        } else if (downUntil >= 0 && now >= downUntil) {
            if (!sink.start(smtpPort))
                std::fprintf(stderr, "bench_soak: the SMTP sink did not come back\n");
            downUntil = -1;
        }
        if (downUntil < 0 && refuseUntil < 0 && now >= nextRefuse) {
            sink.setTemporaryFailure(true);
            refuseUntil = now + 3000;
            nextRefuse = now + 15000;
            ++refusals;
        } else if (refuseUntil >= 0 && now >= refuseUntil) {
            sink.setTemporaryFailure(false);
            refuseUntil = -1;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    running = false;
    // Keep serving until every client has its answer.
    std::atomic<bool> joined{false};
    std::thread joiner([&] {
        for (auto& t : traffic)
            t.join();
        joined = true;
    });
    while (!joined)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    joiner.join();
    if (downUntil >= 0)
        sink.start(smtpPort);
    sink.setTemporaryFailure(false);
    // Both relays get the time to send what waited out the server's moods.
    QElapsedTimer drain;
    drain.start();
    while ((!store.list(QStringLiteral("Repo"), QStringLiteral("SAMPL")).isEmpty() || !spool->ids().isEmpty()) &&
           drain.elapsed() < 90000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    for (int i = 0; i < 40; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 25);

    // Memory is read before the counting below reads every received mail back.
    const size_t heapAfter = mallinfo2().uordblks;
    const long rssAfter = StatusKb("VmRSS");

    // Network relay: every 200 reply is a mail the server received or the spool still holds.
    QHash<QString, int> received;
    for (const test::ReceivedMail& m : sink.messages())
        ++received[SubjectOfMail(m.content)];
    QSet<QString> netKept;
    for (const QString& id : spool->ids())
        netKept.insert(SubjectOfDocument(spool->read(id, nullptr)));
    int failedGood = 0, failedMalformed = 0;
    for (const QString& id : spool->failedIds()) {
        const QString subject = SubjectOfDocument(spool->readFailed(id, nullptr));
        if (subject.startsWith(QStringLiteral("net-"))) {
            netKept.insert(subject);
            ++failedGood;
        } else {
            ++failedMalformed;
        }
    }
    int netDelivered = 0, netTwice = 0, netLost = 0;
    for (const QString& subject : std::as_const(netAccepted)) {
        const int n = received.value(subject);
        netDelivered += n > 0 ? 1 : 0;
        netTwice += n > 1 ? 1 : 0;
        if (n == 0 && !netKept.contains(subject))
            ++netLost;
    }
    // Post office: every queued record reached the server or is still in the queue.
    const QList<tracker::QueuedRecord> left = store.list(QStringLiteral("Repo"), QStringLiteral("SAMPL"));
    int poParked = 0;
    for (const tracker::QueuedRecord& r : left)
        poParked += r.parked ? 1 : 0;
    int poDelivered = 0, poTwice = 0;
    for (const QString& subject : std::as_const(poAccepted)) {
        const int n = received.value(subject);
        poDelivered += n > 0 ? 1 : 0;
        poTwice += n > 1 ? 1 : 0;
    }
    const int poLost = int(poAccepted.size()) - poDelivered - int(left.size());

    const int staged = int(QDir(StagingFolder()).entryList(QDir::Files | QDir::Hidden).size());
    // The relays are still running, as they were at the baseline.
    const QStringList after = Descriptors();
    const int fdsAfter = int(after.size());
    if (fdsAfter > fdsBefore)
        std::fprintf(stderr, "descriptors before: %s\nafter: %s\n", qUtf8Printable(before.join(", ")),
                     qUtf8Printable(after.join(", ")));

    std::printf("soak of %d s: %d outages of the server, %d spells of refusal\n", seconds, outages, refusals);
    std::printf("network relay: %d good documents posted, %d accepted (200), %d not accepted; delivered %d, "
                "delivered twice %d, lost %d (must be 0)\n",
                int(goodSent), int(netAccepted.size()), int(notAccepted), netDelivered, netTwice, netLost);
    std::printf("  spool: %lld documents still waiting, %d good ones in failed/, %d malformed ones in failed/; "
                "%d send failures logged\n",
                qint64(spool->ids().size()), failedGood, failedMalformed, int(net.sendFailures));
    std::printf("  beside them %d malformed documents, %d stalled clients, %d clients that closed at once\n",
                int(malformed), int(stalled), int(closedEarly));
    std::printf("post office: %d records accepted (queued); delivered %d, delivered twice %d, lost %d (must be 0); "
                "%lld still queued, %d of them parked\n",
                int(poAccepted.size()), poDelivered, poTwice, poLost, qint64(left.size()), poParked);
    std::printf("left behind: %d file descriptors (must be 0), %d staged files (must be 0)\n", fdsAfter - fdsBefore,
                staged);
    std::printf("memory: heap in use %.1f MB before, %.1f MB after (growth %.2f MB); resident %.1f MB before, "
                "%.1f MB after\n", heapBefore / 1048576.0, heapAfter / 1048576.0,
                (double(heapAfter) - double(heapBefore)) / 1048576.0, rssBefore / 1024.0, rssAfter / 1024.0);
    net.core.Stop();
    po.core.Stop();
    sink.stop();
    return netLost == 0 && poLost == 0 ? 0 : 1;
}
