// Post office drain: queued records, each with a small attachment, drained through the relay's
// poll to an SMTP sink; beside it, the same deliveries without the tracker.
// Usage: bench_drain [RECORDS]
#include "BenchSupport.h"
#include "MailDocBuilder.h"

#include "delivery/Delivery.h"
#include "delivery/Staging.h"
#include "postoffice/PostOfficePoller.h"
#include "relay/RelayCore.h"
#include "relay/RelaySettings.h"
#include "tracker/SqliteTracker.h"
#include "tracker/TrackerStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

using namespace swn;
using namespace swn::bench;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int records = argc > 1 ? std::atoi(argv[1]) : 1000;
    QTemporaryDir dir;
    // The relay's staging folder goes with the private temporary folder.
    qputenv("TMPDIR", QFile::encodeName(dir.path()));
    CountingSink sink;
    if (!sink.start()) {
        std::fprintf(stderr, "bench_drain: the SMTP sink did not start\n");
        return 1;
    }
    tracker::TrackerStore store(dir.filePath(QStringLiteral("tracker")));
    store.createDatabaseSet(QStringLiteral("Repo"));
    store.createDatabase(QStringLiteral("Repo"), QStringLiteral("SAMPL"), false, {});
    store.addUser(QStringLiteral("Repo"), QStringLiteral("relay"), QStringLiteral("pw"), {QStringLiteral("SAMPL")});
    store.enablePostOffice(QStringLiteral("Repo"), QStringLiteral("SAMPL"));

    test::MailDocBuilder doc;
    doc.to = {"alice@example.org", "bob@example.org"};
    doc.cc = {"carol@example.org"};
    doc.body = QString(1500, QLatin1Char('x'));
    doc.withAttachmentList = false;
    const QByteArray document = doc.build();
    const QByteArray attachment(2048, 'a');
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < records; ++i)
        store.enqueue(QStringLiteral("Repo"), QStringLiteral("SAMPL"), QString::fromUtf8(document),
                      {{QStringLiteral("notes.txt"), attachment}});
    const double enqueueSeconds = clock.nsecsElapsed() / 1e9;

    const QString settingsFile = dir.filePath(QStringLiteral("relay.ini"));
    QFile f(settingsFile);
    if (!f.open(QIODevice::WriteOnly))
        return 1;
    // A long interval: only the poll that Start runs at once drains the queue.
    f.write(QStringLiteral("[SwiftnoteRelay]\nRelayMode=POSTOFFICE\nTransportMode=CDO\nMaxLogSize=64\n"
                           "POPollInterval=3600\nSMTPServer=%1\nBTLoginID=relay\nBTPassword=pw\nBTDB=SAMPL\n"
                           "BTDbset=Repo\n")
                .arg(sink.hostText())
                .toUtf8());
    f.close();

    RelaySettings settings(settingsFile);
    RelayCore core(settings, RelayCoreOptions{});
    core.SetMessageSink([](const QString& text, const QString&, bool) { std::fprintf(stderr, "%s\n", qUtf8Printable(text)); });
    PostOfficePoller poller(core, std::make_shared<SqliteTrackerFactory>(store.root()));
    core.LoadSettings();
    core.CompleteStartUp();
    if (!poller.LoginValid()) {
        std::fprintf(stderr, "bench_drain: the relay could not log into the tracker\n");
        return 1;
    }
    QEventLoop wait;
    QObject::connect(&poller, &PostOfficePoller::roundFinished, &wait, &QEventLoop::quit);
    clock.restart();
    core.Start(); // the first poll runs at once, on the poll thread
    wait.exec();
    const double drainSeconds = clock.nsecsElapsed() / 1e9;
    core.Stop();
    const qsizetype left = store.list(QStringLiteral("Repo"), QStringLiteral("SAMPL")).size();

    // The same deliveries, each with its staged attachment, straight to the transport with the
    // relay's own delivery context.
    std::unique_ptr<DeliveryContext> context = core.NewDeliveryContext(false);
    int direct = 0;
    clock.restart();
    for (int i = 0; i < records; ++i) {
        const QString path = NewStagedFilePath();
        SaveBinaryData(path, attachment);
        QString list = QStringLiteral("notes.txt||") + path;
        if (DeliverXMLMailMsgViaCDO(*context, document, list) == DeliveryOutcome::Delivered)
            ++direct;
    }
    const double directSeconds = clock.nsecsElapsed() / 1e9;

    const double drained = double(records - left);
    std::printf("%d records with a %lld-byte attachment each (queued at %.0f records/s by the store)\n", records,
                qint64(attachment.size()), records / enqueueSeconds);
    std::printf("  drained by the poll   %8.1f records/s (%lld left in the queue)\n", drained / drainSeconds,
                qint64(left));
    std::printf("  without the tracker   %8.1f deliveries/s\n", direct / directSeconds);
    std::printf("  poll/direct rate      %7.0f%%\n", 100.0 * (drained / drainSeconds) / (direct / directSeconds));
    const int received = sink.stop();
    std::printf("sink received %d of %lld messages\n", received, qint64(records - left + direct));
    return received == records - left + direct && left == 0 ? 0 : 1;
}
