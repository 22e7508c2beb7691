// Delivery cost: the relay's path (read the document, stage, compose, send) against a bare send
// of the same composed bytes (new connection per mail, and the relay's kept connection), to the
// same SMTP sink. Usage: bench_delivery [SMALL_COUNT] [LARGE_COUNT]
#include "BenchSupport.h"
#include "FakeContext.h"
#include "MailDocBuilder.h"

#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "delivery/MailDocument.h"
#include "delivery/Staging.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

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
    double relaySeconds = 0, bareSeconds = 0, keptSeconds = 0;
    int relayCount = 0, bareCount = 0, keptCount = 0;
};

// The relay's own transport call with the composed bytes: same kept connection, no document work.
bool KeptSend(const QString& host, const QByteArray& sender, const QList<QByteArray>& recipients,
              const QByteArray& composed)
{
    BytesMessage message(composed);
    return SendSmtp(ParseSmtpServerText(host), sender, recipients, message).sent;
}

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
        clock.restart();
        for (int i = 0; i < n; ++i) {
            if (KeptSend(host, sender, recipients, composed))
                ++t.keptCount;
        }
        t.keptSeconds += clock.nsecsElapsed() / 1e9;
    }
    return t;
}

double Rate(int count, double seconds)
{
    return seconds > 0 ? count / seconds : 0;
}

} // namespace

int main(int argc, char** argv)
{
    // The relay's staging folder outlives the process; a private temporary folder takes it along.
    QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/swn-bench-XXXXXX"));
    if (!tmp.isValid()) {
        std::fprintf(stderr, "bench_delivery: no temporary folder\n");
        return 1;
    }
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
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
    std::printf("  relay path                          %8.1f documents/s\n", Rate(s.relayCount, s.relaySeconds));
    std::printf("  bare send, new connection per mail  %8.1f documents/s   relay/bare time %.2f\n",
                Rate(s.bareCount, s.bareSeconds), Rate(s.bareCount, s.bareSeconds) / Rate(s.relayCount, s.relaySeconds));
    std::printf("  bare send, connection kept          %8.1f documents/s   relay/bare time %.2f\n",
                Rate(s.keptCount, s.keptSeconds), Rate(s.keptCount, s.keptSeconds) / Rate(s.relayCount, s.relaySeconds));
    std::printf("  aim: relay/bare time at most 1.30\n");

    test::MailDocBuilder large;
    QByteArray attachment(20 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < attachment.size(); ++i)
        attachment[i] = char((i * 2654435761u) >> 13);
    large.attachments = {{"big.bin", attachment}};
    const QByteArray document = large.build();
    attachment = QByteArray();
    const long baseline = StatusKb("VmRSS");
    const bool peakReset = ResetPeak();
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

    // The bare paths after the memory reading, so the composed bytes they hold do not count.
    QByteArray sender;
    QList<QByteArray> recipients;
    const QByteArray composed = Composed(large, sender, recipients);
    int bareSent = 0, keptSent = 0;
    clock.restart();
    for (int i = 0; i < largeCount; ++i)
        bareSent += BareSend(sink.hostText(), sender, recipients, composed) ? 1 : 0;
    const double bareSeconds = clock.nsecsElapsed() / 1e9;
    clock.restart();
    for (int i = 0; i < largeCount; ++i)
        keptSent += KeptSend(sink.hostText(), sender, recipients, composed) ? 1 : 0;
    const double keptSeconds = clock.nsecsElapsed() / 1e9;

    std::printf("20 MB attachment (document %.1f MB, message %.1f MB), %d each:\n", documentMb,
                composed.size() / 1048576.0, largeCount);
    std::printf("  relay path                          %8.2f documents/s\n", Rate(sent, seconds));
    std::printf("  bare send, new connection per mail  %8.2f documents/s   relay/bare time %.2f\n",
                Rate(bareSent, bareSeconds), Rate(bareSent, bareSeconds) / Rate(sent, seconds));
    std::printf("  bare send, connection kept          %8.2f documents/s   relay/bare time %.2f\n",
                Rate(keptSent, keptSeconds), Rate(keptSent, keptSeconds) / Rate(sent, seconds));
    std::printf("  peak memory of the relay path above the document held by the caller: %.1f MB = %.2f x the "
                "document (aim: under 4)%s\n", growthMb, growthMb / documentMb,
                peakReset ? "" : " [peak not reset: includes building the document]");
    std::printf("  process peak %.1f MB, document %.1f MB\n", peak / 1024.0, documentMb);

    const int received = sink.stop();
    const int expected = s.relayCount + s.bareCount + s.keptCount + sent + bareSent + keptSent;
    std::printf("sink received %d of %d messages\n", received, expected);
    return received == expected ? 0 : 1;
}
