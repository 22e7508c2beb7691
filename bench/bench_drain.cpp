// Post office drain: queued records, each with a small attachment, drained through the relay's
// poll to an SMTP sink; beside it, the same deliveries without the tracker.
// Usage: bench_drain [RECORDS]
#include "BenchSupport.h"
#include "FakeContext.h"
#include "MailDocBuilder.h"

#include "delivery/Delivery.h"
#include "delivery/Staging.h"
#include "ui/Form1.h"
#include "tracker/SqliteTracker.h"
#include "tracker/TrackerStore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

using namespace swn;
using namespace swn::bench;

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int records = argc > 1 ? std::atoi(argv[1]) : 1000;
    CountingSink sink;
    if (!sink.start()) {
        std::fprintf(stderr, "bench_drain: the SMTP sink did not start\n");
        return 1;
    }
    QTemporaryDir dir;
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

    const QString settings = dir.filePath(QStringLiteral("relay.ini"));
    QFile f(settings);
    f.open(QIODevice::WriteOnly);
    f.write(QStringLiteral("[SwiftnoteRelay]\nRelayMode=POSTOFFICE\nTransportMode=CDO\nMaxLogSize=64\n"
                           "SMTPServer=%1\nBTLoginID=relay\nBTPassword=pw\nBTDB=SAMPL\nBTDbset=Repo\n")
                .arg(sink.hostText())
                .toUtf8());
    f.close();
    Form1Options options;
    options.settingsFile = settings;
    options.trackerFactory = std::make_shared<SqliteTrackerFactory>(store.root());
    options.showMessage = [](const QString& text, const QString&, QMessageBox::Icon) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(text));
    };
    options.quitOnExit = false;
    Form1 form(std::move(options));
    form.Form_Load();
    clock.restart();
    form.cmdStart_Click(); // the first poll runs at once and drains the queue
    const double drainSeconds = clock.nsecsElapsed() / 1e9;
    form.cmdStop_Click();
    const qsizetype left = store.list(QStringLiteral("Repo"), QStringLiteral("SAMPL")).size();

    // The same deliveries, each with its staged attachment, straight to the transport.
    test::FakeContext ctx;
    ctx.smtpHost = sink.hostText();
    ctx.networkRelay = false;
    int direct = 0;
    clock.restart();
    for (int i = 0; i < records; ++i) {
        const QString path = NewStagedFilePath();
        SaveBinaryData(path, attachment);
        QString list = QStringLiteral("notes.txt||") + path;
        if (DeliverXMLMailMsgViaCDO(ctx, document, list) == DeliveryOutcome::Delivered)
            ++direct;
    }
    const double directSeconds = clock.nsecsElapsed() / 1e9;

    std::printf("%d records with a %lld-byte attachment each (queued at %.0f records/s by the store)\n", records,
                qint64(attachment.size()), records / enqueueSeconds);
    std::printf("  drained by the poll   %8.1f records/s (%lld left in the queue)\n", (records - left) / drainSeconds,
                qint64(left));
    std::printf("  without the tracker   %8.1f deliveries/s\n", direct / directSeconds);
    std::printf("  poll/direct rate      %7.0f%%\n", 100.0 * ((records - left) / drainSeconds) / (direct / directSeconds));
    const int received = sink.stop();
    std::printf("sink received %d of %lld messages\n", received, qint64(records - left + direct));
    return received == records - left + direct ? 0 : 1;
}
