// Soak: an hour's mixed traffic compressed into a few minutes, through both relay modes at once,
// against an SMTP server that refuses for a while and goes away now and then. Then the counts.
// Usage: bench_soak [SECONDS]
#include "BenchSupport.h"
#include "MailDocBuilder.h"
#include "SmtpSink.h"

#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "ui/Form1.h"
#include "tracker/UnavailableTracker.h"
#include "tracker/SqliteTracker.h"
#include "tracker/TrackerStore.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <atomic>
#include <malloc.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace swn;
using namespace swn::bench;

namespace {

std::atomic<bool> running{true};

bool SendAll(int fd, const QByteArray& bytes)
{
    qsizetype at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += n;
    }
    return true;
}

// Posts one request; true when the relay answered 200.
bool Post(quint16 port, const QByteArray& document)
{
    const int fd = ConnectLoopback(port);
    if (fd < 0)
        return false;
    const QByteArray request = "POST / HTTP/1.1\r\nContent-Length: " + QByteArray::number(document.size()) +
        "\r\n\r\n" + document;
    bool ok = SendAll(fd, request);
    QByteArray reply;
    char buffer[256];
    ssize_t n;
    while (ok && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, n);
    ::close(fd);
    return ok && reply.startsWith("HTTP/1.1 200 ");
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

QStringList Descriptors()
{
    QStringList all;
    for (const QFileInfo& fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::NoDotAndDotDot | QDir::System))
        all << fd.fileName() + QStringLiteral(" ") + fd.symLinkTarget().section(QLatin1Char('/'), -1);
    return all;
}

// Counts the send failures as they are logged: the log box itself keeps only its last lines.
class CountingForm : public Form1 {
public:
    using Form1::Form1;
    void AddLogText(const QString& message) override
    {
        if (message.startsWith(QStringLiteral("Send Failed:")))
            ++sendFailures;
        Form1::AddLogText(message);
    }
    int sendFailures = 0;
};

std::unique_ptr<CountingForm> Window(const QString& settings, std::shared_ptr<TrackerFactory> tracker)
{
    Form1Options options;
    options.settingsFile = settings;
    options.trackerFactory = std::move(tracker);
    options.showMessage = [](const QString& text, const QString&, QMessageBox::Icon) {
        std::fprintf(stderr, "box: %s\n", qUtf8Printable(text));
    };
    options.quitOnExit = false;
    auto form = std::make_unique<CountingForm>(std::move(options));
    form->Form_Load();
    return form;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 180;
    SetSmtpTimeouts(5, 5);
    QTemporaryDir dir;
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

    const QString netSettings = dir.filePath(QStringLiteral("net.ini"));
    const QString poSettings = dir.filePath(QStringLiteral("po.ini"));
    for (const auto& [path, body] : {std::pair{netSettings, QStringLiteral("RelayMode=NETWORK\n")},
                                     std::pair{poSettings, QStringLiteral("RelayMode=POSTOFFICE\nPOPollInterval=1\n"
                                                                          "BTLoginID=relay\nBTPassword=pw\nBTDB=SAMPL\n"
                                                                          "BTDbset=Repo\n")}}) {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(("[SwiftnoteRelay]\nSMTPServer=" + sink.hostText() + "\n" + body).toUtf8());
    }

    auto net = Window(netSettings, std::make_shared<UnavailableTrackerFactory>());
    const quint16 port = test::UnusedTcpPort();
    net->ListenPort->setText(QString::number(port));
    net->cmdStart_Click();
    auto po = Window(poSettings, std::make_shared<SqliteTrackerFactory>(store.root()));
    po->cmdStart_Click();

    // Warm up first, so that what lives as long as the process (the SMTP client, its kept
    // connection, the event loop's own descriptors) is in the baseline.
    store.enqueue(QStringLiteral("Repo"), QStringLiteral("SAMPL"),
                  QString::fromUtf8(Document(QStringLiteral("warm-up"), true)), {});
    std::thread warmUp([&] { Post(port, Document(QStringLiteral("warm-up"), true)); });
    while (sink.count() < 2)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    warmUp.join();
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const QStringList before = Descriptors();
    const int fdsBefore = int(before.size());
    const long rssBefore = StatusKb("VmRSS");
    const size_t heapBefore = mallinfo2().uordblks;

    std::atomic<int> goodSent{0}, goodReplied{0}, malformed{0}, stalled{0}, closedEarly{0}, enqueued{0};
    std::vector<std::thread> traffic;
    for (int t = 0; t < 4; ++t)
        traffic.emplace_back([&, t] {
            QRandomGenerator rng(quint32(t + 1));
            while (running) {
                const int n = goodSent++;
                if (Post(port, Document(QStringLiteral("net-%1").arg(n), n % 5 == 0)))
                    ++goodReplied;
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
        while (running) {
            const int n = enqueued;
            try {
                writer.enqueue(QStringLiteral("Repo"), QStringLiteral("SAMPL"),
                               QString::fromUtf8(Document(QStringLiteral("po-%1").arg(n), false)),
                               {{QStringLiteral("record.txt"), QByteArray(2000, 'r')}});
                ++enqueued;
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
    // The post office gets the time to send what waited out the server's absences.
    QElapsedTimer drain;
    drain.start();
    while (!store.list(QStringLiteral("Repo"), QStringLiteral("SAMPL")).isEmpty() && drain.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    for (int i = 0; i < 40; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 25);

    // Memory is read before the counting below reads every received mail back.
    const size_t heapAfter = mallinfo2().uordblks;
    const long rssAfter = StatusKb("VmRSS");
    int netReceived = 0, poReceived = 0;
    QSet<QString> poSeen;
    for (const test::ReceivedMail& m : sink.messages()) {
        const qsizetype at = m.content.indexOf("Subject: ");
        const QString subject = QString::fromUtf8(m.content.mid(at + 9, m.content.indexOf('\r', at) - at - 9));
        if (subject.startsWith(QStringLiteral("net-")))
            ++netReceived;
        else if (subject.startsWith(QStringLiteral("po-"))) {
            ++poReceived;
            poSeen.insert(subject);
        }
    }
    const int netFailed = net->sendFailures;
    const int netLost = goodReplied - netReceived - netFailed;
    const qsizetype poLeft = store.list(QStringLiteral("Repo"), QStringLiteral("SAMPL")).size();
    const int poLost = enqueued - int(poSeen.size()) - int(poLeft);
    const int staged = int(QDir(StagingFolder()).entryList(QDir::Files | QDir::Hidden).size());
    // The windows are still open, as they were at the baseline.
    const QStringList after = Descriptors();
    const int fdsAfter = int(after.size());
    if (fdsAfter > fdsBefore)
        std::fprintf(stderr, "descriptors before: %s\nafter: %s\n", qUtf8Printable(before.join(", ")),
                     qUtf8Printable(after.join(", ")));

    std::printf("soak of %d s: %d outages of the server, %d spells of refusal\n", seconds, outages, refusals);
    std::printf("network relay: %d good documents posted, %d answered 200, %d received by the server,\n"
                "  %d refused or unreachable (logged, as a network client is answered at once), lost %d (must be 0)\n",
                int(goodSent), int(goodReplied), netReceived, netFailed, netLost);
    std::printf("  beside them %d malformed documents, %d stalled clients, %d clients that closed at once\n",
                int(malformed), int(stalled), int(closedEarly));
    std::printf("post office: %d records queued, %d received (%d twice), %lld still queued, lost %d (must be 0)\n",
                int(enqueued), poReceived, poReceived - int(poSeen.size()), qint64(poLeft), poLost);
    std::printf("left behind: %d file descriptors (must be 0), %d staged files (must be 0)\n", fdsAfter - fdsBefore,
                staged);
    std::printf("memory: heap in use %.1f MB before, %.1f MB after (growth %.2f MB); resident %.1f MB before, "
                "%.1f MB after\n", heapBefore / 1048576.0, heapAfter / 1048576.0,
                (double(heapAfter) - double(heapBefore)) / 1048576.0, rssBefore / 1024.0, rssAfter / 1024.0);
    sink.stop();
    return netLost == 0 && poLost == 0 && poLeft == 0 && staged == 0 && fdsAfter <= fdsBefore ? 0 : 1;
}
