// Delivery cost: the relay's path (read the document, stage, compose, send) against a bare send
// of the same composed bytes (new connection per mail, and the relay's kept connection), to the
// same SMTP sink; then the relay's own work without a server: reading and composing a document,
// many recipients, deeply nested HTML. Usage: bench_delivery [SMALL_COUNT] [LARGE_COUNT]
#include "BenchSupport.h"
#include "FakeContext.h"
#include "MailDocBuilder.h"

#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "delivery/HtmlText.h"
#include "delivery/MailDocument.h"
#include "delivery/MimeComposer.h"
#include "delivery/Staging.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>

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

// CPU time of the whole process (every thread), user plus system, in seconds.
double CpuSeconds()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Timing {
    double relaySeconds = 0, bareSeconds = 0, keptSeconds = 0;
    double relayCpuSeconds = 0; // of this process, over the relay path
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
        const double cpu = CpuSeconds();
        for (int i = 0; i < n; ++i) {
            QString list;
            if (DeliverXMLMailMsgViaCDO(ctx, document, list) == DeliveryOutcome::Delivered)
                ++t.relayCount;
        }
        t.relayCpuSeconds += CpuSeconds() - cpu;
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

// What the relay does with a document before the SMTP exchange: read it, compose the mail.
qint64 ReadAndCompose(const QByteArray& document)
{
    LoadedMailDocument loaded = LoadMailDocument(document);
    MimeMessageBuilder builder;
    builder.setFrom(ReadElementText(loaded.root, "from_addr"), true);
    builder.setRecipients(RecipientKind::To, ReadAddressList(loaded.root, "ToList"));
    builder.setRecipients(RecipientKind::Cc, ReadAddressList(loaded.root, "CCList"));
    builder.setRecipients(RecipientKind::Bcc, ReadAddressList(loaded.root, "BCCList"));
    builder.setSubject(ReadElementText(loaded.root, "Subject"));
    builder.setBody(ReadElementTextUtf8(loaded.root, "Body"), ReadIsHTML(loaded.root));
    const qsizetype recipients = builder.envelopeRecipients().size();
    return builder.compose()->size() + recipients;
}

// One mail to `count` recipients: the composer's share of the work, and every recipient's list
// looked up once, as the failure log does.
double RecipientSeconds(int count)
{
    QStringList to, cc;
    for (int i = 0; i < count; ++i)
        (i % 2 ? cc : to) << QStringLiteral("user%1@example.org").arg(i);
    QElapsedTimer clock;
    clock.start();
    MimeMessageBuilder builder;
    builder.setFrom(QStringLiteral("tracker@example.org"), true);
    builder.setRecipients(RecipientKind::To, to);
    builder.setRecipients(RecipientKind::Cc, cc);
    builder.setSubject(QStringLiteral("many"));
    builder.setBody("body", false);
    const QList<QByteArray> envelope = builder.envelopeRecipients();
    int ccCount = 0;
    for (const QByteArray& address : envelope)
        ccCount += builder.kindOf(address) == RecipientKind::Cc ? 1 : 0;
    const qint64 size = builder.compose()->size();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (envelope.size() != count || ccCount != count / 2 || size <= 0)
        std::printf("  (wrong envelope for %d recipients)\n", count);
    return seconds;
}

// `depth` links, each inside the one before, with distinct targets.
QString NestedLinks(int depth)
{
    QString html;
    html.reserve(depth * 48);
    for (int i = 0; i < depth; ++i)
        html += QStringLiteral("<a href=\"https://bt.example.org/d/%1\">defect %1 ").arg(i);
    html += QStringLiteral("<img src=\"logo.png\">");
    for (int i = 0; i < depth; ++i)
        html += QStringLiteral("</a>");
    return html;
}

void MeasureOwnWork(const QByteArray& smallDocument, int count)
{
    std::printf("the relay's own work, no server:\n");
    double cpu = CpuSeconds();
    QElapsedTimer clock;
    clock.start();
    qint64 sink = 0;
    for (int i = 0; i < count; ++i)
        sink += ReadAndCompose(smallDocument);
    cpu = CpuSeconds() - cpu;
    std::printf("  read and compose the small document  %8.1f us/document (CPU %.1f us)\n",
                clock.nsecsElapsed() / 1e3 / count, cpu * 1e6 / count);
    for (int n : {1000, 4000, 8000, 50000})
        std::printf("  one mail to %5d recipients         %8.3f s\n", n, RecipientSeconds(n));
    QHash<QString, QString> ids;
    ids.insert(QStringLiteral("logo.png"), QStringLiteral("logo@bt.example.org"));
    for (int depth : {40000, 80000}) {
        const QString html = NestedLinks(depth);
        clock.restart();
        sink += HtmlToPlainText(html).size();
        const double text = clock.nsecsElapsed() / 1e9;
        QString linked = html;
        clock.restart();
        sink += LinkInlineImages(linked, ids);
        const double link = clock.nsecsElapsed() / 1e9;
        std::printf("  %d nested links (%.1f MB of HTML): text %.3f s, image links %.3f s\n", depth,
                    html.size() * 2 / 1048576.0, text, link);
    }
    if (sink == 0)
        std::printf("  (nothing composed)\n");
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
    std::printf("  relay path CPU in this process      %8.1f us/document\n",
                s.relayCount ? s.relayCpuSeconds * 1e6 / s.relayCount : 0.0);
    MeasureOwnWork(small.build(), smallCount * 10);

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
