// Delivery cost: the relay's path (read the document, stage, compose, send) against a bare send
// of the same composed bytes, to the same SMTP sink. Usage: bench_delivery [SMALL_COUNT] [LARGE_COUNT]
#include "BenchSupport.h"
#include "FakeContext.h"
#include "MailDocBuilder.h"

#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "delivery/MailDocument.h"
#include "delivery/Staging.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <fcntl.h>

using namespace swn;
using namespace swn::bench;

namespace {

// The message the relay would compose for `doc`, attachments read from staged files.
QByteArray Composed(const test::MailDocBuilder& doc, QByteArray& sender, QList<QByteArray>& recipients)
{
    LoadedMailDocument loaded = LoadMailDocument(doc.build());
    MimeMessageBuilder builder;
    builder.setFrom(doc.from, true);
    builder.setRecipients(RecipientKind::To, doc.to);
    builder.setRecipients(RecipientKind::Cc, doc.cc);
    builder.setRecipients(RecipientKind::Bcc, doc.bcc);
    builder.setSubject(doc.subject);
    builder.setBody(doc.body.toUtf8(), false);
    const QString list = StageDocumentAttachments(loaded.root);
    for (const QString& entry : SplitAttachmentList(list)) {
        const QString path = entry.section(QStringLiteral("||"), 1);
        builder.addAttachment(entry.section(QStringLiteral("||"), 0, 0),
                              ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    }
    sender = builder.envelopeSender();
    recipients = builder.envelopeRecipients();
    const QByteArray bytes = builder.compose()->readAll();
    DeleteStagedFiles(list);
    return bytes;
}

struct Timing {
    double relaySeconds = 0, bareSeconds = 0;
    int relayCount = 0, bareCount = 0;
};

Timing Measure(const test::MailDocBuilder& doc, int count, const QString& host)
{
    const QByteArray document = doc.build();
    QByteArray sender;
    QList<QByteArray> recipients;
    const QByteArray composed = Composed(doc, sender, recipients);
    test::FakeContext ctx;
    ctx.smtpHost = host;
    Timing t;
    // Alternate the two paths in rounds so that drift in the machine's load hits both alike.
    const int rounds = std::min(count, 5);
    for (int round = 0; round < rounds; ++round) {
        const int n = count / rounds + (round < count % rounds ? 1 : 0);
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < n; ++i) {
            QString list;
            if (DeliverXMLMailMsgViaCDO(ctx, document, list) == DeliveryOutcome::Delivered)
                ++t.relayCount;
        }
        t.relaySeconds += clock.nsecsElapsed() / 1e9;
        clock.restart();
        for (int i = 0; i < n; ++i) {
            if (BareSend(host, sender, recipients, composed))
                ++t.bareCount;
        }
        t.bareSeconds += clock.nsecsElapsed() / 1e9;
    }
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int smallCount = argc > 1 ? std::atoi(argv[1]) : 300;
    const int largeCount = argc > 2 ? std::atoi(argv[2]) : 3;
    CountingSink sink;
    if (!sink.start()) {
        std::fprintf(stderr, "bench_delivery: the SMTP sink did not start\n");
        return 1;
    }

    test::MailDocBuilder small;
    small.to = {"alice@example.org", "bob@example.org"};
    small.cc = {"carol@example.org"};
    small.body = QString(1500, QLatin1Char('x'));
    const Timing s = Measure(small, smallCount, sink.hostText());
    std::printf("small document (%lld bytes, 3 recipients), %d each:\n", qint64(small.build().size()), smallCount);
    std::printf("  relay path  %8.1f documents/s\n", s.relayCount / s.relaySeconds);
    std::printf("  bare send   %8.1f documents/s\n", s.bareCount / s.bareSeconds);
    std::printf("  relay/bare time ratio %.2f (aim: at most 1.30)\n",
                (s.relaySeconds / s.relayCount) / (s.bareSeconds / s.bareCount));

    test::MailDocBuilder large;
    QByteArray attachment(20 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < attachment.size(); ++i)
        attachment[i] = char((i * 2654435761u) >> 13);
    large.attachments = {{"big.bin", attachment}};
    const QByteArray document = large.build();
    attachment = QByteArray();
    const long baseline = StatusKb("VmRSS");
    ResetPeak();
    test::FakeContext ctx;
    ctx.smtpHost = sink.hostText();
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    for (int i = 0; i < largeCount; ++i) {
        QString list;
        if (DeliverXMLMailMsgViaCDO(ctx, document, list) == DeliveryOutcome::Delivered)
            ++sent;
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    const long peak = StatusKb("VmHWM");
    const double growthMb = (peak - baseline) / 1024.0;
    const double documentMb = document.size() / 1048576.0;
    std::printf("20 MB attachment (document %.1f MB), %d deliveries:\n", documentMb, largeCount);
    std::printf("  relay path  %8.2f documents/s\n", sent / seconds);
    std::printf("  peak memory above the document held by the caller: %.1f MB = %.2f x the document "
                "(aim: under 4)\n", growthMb, growthMb / documentMb);

    const int received = sink.stop();
    const int expected = s.relayCount + s.bareCount + sent;
    std::printf("sink received %d of %d messages\n", received, expected);
    return received == expected ? 0 : 1;
}
