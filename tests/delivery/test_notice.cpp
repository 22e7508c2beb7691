// Delivery status notifications as other programs read them: Python's email package for the
// report's parts and fields, SpamAssassin for what a filter makes of them, a real SMTP server for
// the empty envelope sender.
#include "MailDocBuilder.h"
#include "MailReaders.h"
#include "SmtpSink.h"

#include "common/Catalogue.h"
#include "delivery/DeliveryNotice.h"
#include "delivery/MimeComposer.h"

#include <QtTest>

using namespace swn;
using namespace swn::test;

namespace {

// The delivery-status part's fields, one map per block (the message's first, then each recipient's).
QList<QMap<QString, QString>> StatusBlocks(const QString& text)
{
    QList<QMap<QString, QString>> blocks{{}};
    QString last;
    for (const QString& line : QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")).split(QLatin1Char('\n'))) {
        if (line.trimmed().isEmpty()) {
            if (!blocks.last().isEmpty())
                blocks.append(QMap<QString, QString>());
            continue;
        }
        if (line.front().isSpace()) {
            blocks.last()[last] += QLatin1Char(' ') + line.trimmed();
            continue;
        }
        last = line.section(QLatin1Char(':'), 0, 0).trimmed().toLower();
        blocks.last()[last] = line.section(QLatin1Char(':'), 1).trimmed();
    }
    if (blocks.last().isEmpty())
        blocks.removeLast();
    return blocks;
}

DeliveryNotice Sample()
{
    MailDocBuilder doc;
    doc.admin = QStringLiteral("admin@example.org");
    doc.to = {QStringLiteral("alice@example.org"), QStringLiteral("refused.bob@example.org")};
    doc.cc = {QStringLiteral("Carol <carol@example.org>")};
    doc.subject = QStringLiteral("Defect 42 changed: Überlauf im Zähler");
    doc.headers = {{QStringLiteral("Message-ID"), QStringLiteral("<defect42@tracker.example.org>")}};
    DeliveryNotice notice;
    notice.mail = ReadNoticedMail(doc.build());
    notice.to = QStringLiteral("admin@example.org");
    notice.from = QStringLiteral("MAILER-DAEMON@relay.example.org");
    notice.subject = QStringLiteral("Mail could not be delivered: Defect 42 changed");
    notice.text = QStringLiteral("The relay could not deliver the mail below to these recipients.\nrefused.bob@example.org");
    notice.reportingHost = "relay.example.org";
    notice.arrival = QDateTime(QDate(2026, 12, 8), QTime(9, 30), Qt::UTC);
    notice.recipients = {NoticeRecipient{QStringLiteral("refused.bob@example.org"), NoticeAction::Failed,
                                         QStringLiteral("550 5.1.1 <refused.bob@example.org>: no such user (to RCPT TO)")}};
    return notice;
}

} // namespace

class NoticeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyLanguageHasEveryNoticeText()
    {
        for (Language language : {Language::English, Language::Japanese, Language::SimplifiedChinese}) {
            for (int id = msg::FirstNoticeId; id <= msg::LastNoticeId; ++id) {
                const QString text = LoadResourceString(id, language);
                QVERIFY2(!text.isEmpty(), qPrintable(QString::number(id)));
                const QString english = LoadResourceString(id, Language::English);
                QCOMPARE(text.count(QStringLiteral("%s")), english.count(QStringLiteral("%s")));
                QCOMPARE(text.count(QStringLiteral("%n")), english.count(QStringLiteral("%n")));
            }
        }
    }

    void theDocumentIsReadForTheNotice()
    {
        MailDocBuilder doc;
        doc.admin = QStringLiteral("admin@example.org");
        doc.headers = {{QStringLiteral("Date"), QStringLiteral("Tue, 08 Dec 2026 09:30:00 +0000")}};
        NoticedMail mail = ReadNoticedMail(doc.build());
        QVERIFY(mail.readable);
        QCOMPARE(mail.admin, QStringLiteral("admin@example.org"));
        QCOMPARE(mail.from, QStringLiteral("tracker@example.org"));
        QCOMPARE(mail.subject, QStringLiteral("Defect 42 changed"));
        QCOMPARE(mail.date, QStringLiteral("Tue, 08 Dec 2026 09:30:00 +0000"));
        QVERIFY(!mail.automatic);
        // A report, or an automatic reply, is never noticed about.
        doc.contentType = QStringLiteral("multipart/report");
        QVERIFY(ReadNoticedMail(doc.build()).automatic);
        doc.contentType = QStringLiteral("text/plain");
        doc.headers = {{QStringLiteral("Auto-Submitted"), QStringLiteral("auto-replied")}};
        QVERIFY(ReadNoticedMail(doc.build()).automatic);
        doc.headers = {{QStringLiteral("Auto-Submitted"), QStringLiteral("no")}};
        QVERIFY(!ReadNoticedMail(doc.build()).automatic);
        QVERIFY(!ReadNoticedMail("not xml").readable);
    }

    void addressesAndStatusCodes()
    {
        QCOMPARE(NoticeAddress(QStringLiteral(" admin@example.org ")), QStringLiteral("admin@example.org"));
        QCOMPARE(NoticeAddress(QStringLiteral("Admin <admin@example.org>")), QStringLiteral("admin@example.org"));
        QVERIFY(NoticeAddress(QStringLiteral("nobody")).isEmpty());
        QVERIFY(NoticeAddress(QStringLiteral("a@b.org, c@d.org")).isEmpty());
        QVERIFY(NoticeAddress(QString()).isEmpty());
        NoticeRecipient r{QStringLiteral("a@b.org"), NoticeAction::Failed, QStringLiteral("550 5.1.1 unknown")};
        QCOMPARE(NoticeStatus(r), QStringLiteral("5.1.1"));
        r.reason = QStringLiteral("554 transaction failed");
        QCOMPARE(NoticeStatus(r), QStringLiteral("5.0.0"));
        r.reason = QStringLiteral("451 4.3.0 try later");
        r.expired = true;
        QCOMPARE(NoticeStatus(r), QStringLiteral("5.4.7"));
        r.action = NoticeAction::Delayed;
        r.expired = false;
        QCOMPARE(NoticeStatus(r), QStringLiteral("4.3.0"));
    }

    void aReportOtherProgramsRead()
    {
        const QByteArray message = ComposeDeliveryNotice(Sample());
        const PythonReading reading = ReadMailWithPython(message);
        QVERIFY2(reading.error.isEmpty(), qPrintable(reading.error));
        QVERIFY2(reading.defects.isEmpty(), qPrintable(reading.defects.join(QLatin1Char('\n'))));
        QCOMPARE(reading.tree, QStringLiteral("multipart/report(text/plain,message/delivery-status,text/rfc822-headers)"));
        QVERIFY(message.contains("report-type=delivery-status") || message.contains("report-type=\"delivery-status\""));
        QCOMPARE(reading.header(QStringLiteral("Auto-Submitted")), QStringLiteral("auto-replied"));
        QCOMPARE(reading.header(QStringLiteral("To")), QStringLiteral("admin@example.org"));
        QCOMPARE(reading.header(QStringLiteral("From")), QStringLiteral("MAILER-DAEMON@relay.example.org"));

        const QList<QJsonObject> texts = reading.partsOfType(QStringLiteral("text/plain"));
        QCOMPARE(texts.size(), 1);
        QVERIFY(texts.first().value(QLatin1String("text")).toString().contains(QLatin1String("refused.bob@example.org")));

        // The status part is a message/* leaf to the reader: its fields are read from the raw text.
        const qsizetype start = message.indexOf("Reporting-MTA:");
        QVERIFY(start > 0);
        const QList<QMap<QString, QString>> blocks =
            StatusBlocks(QString::fromLatin1(message.mid(start, message.indexOf("\r\n--", start) - start)));
        QCOMPARE(blocks.size(), 2);
        QCOMPARE(blocks[0].value(QStringLiteral("reporting-mta")), QStringLiteral("dns; relay.example.org"));
        QCOMPARE(blocks[0].value(QStringLiteral("arrival-date")), QStringLiteral("Tue, 08 Dec 2026 09:30:00 +0000"));
        QCOMPARE(blocks[1].value(QStringLiteral("final-recipient")), QStringLiteral("rfc822; refused.bob@example.org"));
        QCOMPARE(blocks[1].value(QStringLiteral("action")), QStringLiteral("failed"));
        QCOMPARE(blocks[1].value(QStringLiteral("status")), QStringLiteral("5.1.1"));
        QCOMPARE(blocks[1].value(QStringLiteral("diagnostic-code")),
                 QStringLiteral("smtp; 550 5.1.1 <refused.bob@example.org>: no such user (to RCPT TO)"));

        // The failed mail's header, as it would have gone out, read as a header of its own.
        const QList<QJsonObject> headerParts = reading.partsOfType(QStringLiteral("text/rfc822-headers"));
        QCOMPARE(headerParts.size(), 1);
        const QByteArray headers = headerParts.first().value(QLatin1String("text")).toString().toUtf8();
        const PythonReading original = ReadMailWithPython(headers + "\r\n");
        QCOMPARE(original.header(QStringLiteral("Subject")), QStringLiteral("Defect 42 changed: Überlauf im Zähler"));
        QVERIFY(original.header(QStringLiteral("To")).contains(QLatin1String("refused.bob@example.org")));
        QVERIFY(original.header(QStringLiteral("Cc")).contains(QLatin1String("carol@example.org")));
        QCOMPARE(original.header(QStringLiteral("Message-ID")), QStringLiteral("<defect42@tracker.example.org>"));
        QVERIFY(!original.header(QStringLiteral("Date")).isEmpty());
        QCOMPARE(original.header(QStringLiteral("From")), QStringLiteral("tracker@example.org"));
    }

    void aDelayWarningSaysUntilWhen()
    {
        DeliveryNotice notice = Sample();
        notice.recipients = {NoticeRecipient{QStringLiteral("alice@example.org"), NoticeAction::Delayed,
                                             QStringLiteral("451 4.3.0 try again later (to DATA)")}};
        notice.willRetryUntil = QDateTime(QDate(2026, 12, 13), QTime(9, 30), Qt::UTC);
        const QByteArray message = ComposeDeliveryNotice(notice);
        const qsizetype start = message.indexOf("Reporting-MTA:");
        const auto blocks = StatusBlocks(QString::fromLatin1(message.mid(start, message.indexOf("\r\n--", start) - start)));
        QCOMPARE(blocks.size(), 2);
        QCOMPARE(blocks[1].value(QStringLiteral("action")), QStringLiteral("delayed"));
        QCOMPARE(blocks[1].value(QStringLiteral("status")), QStringLiteral("4.3.0"));
        QCOMPARE(blocks[1].value(QStringLiteral("will-retry-until")), QStringLiteral("Sun, 13 Dec 2026 09:30:00 +0000"));
        QVERIFY(ReadMailWithPython(message).defects.isEmpty());
    }

    void noBounceRuleFires()
    {
        for (const QByteArray& message :
             {ComposeDeliveryNotice(Sample()),
              ComposePlainNotice(QStringLiteral("admin@example.org"), QStringLiteral("MAILER-DAEMON@relay.example.org"),
                                 QStringLiteral("12 more mails could not be delivered"), QStringLiteral("a\nb\n"))}) {
            QString error;
            const QStringList rules = SpamAssassinRules(message, &error);
            QVERIFY2(error.isEmpty(), qPrintable(error));
            for (const QString& rule : rules)
                QVERIFY2(!rule.contains(QLatin1String("BOUNCE")), qPrintable(rules.join(QLatin1Char(','))));
        }
    }

    void sentWithAnEmptyEnvelopeSender()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        const QByteArray message = ComposeDeliveryNotice(Sample());
        QCOMPARE(SendNotice(sink.hostText(), {}, QStringLiteral("admin@example.org"), message), QString());
        QVERIFY(sink.waitForCount(1));
        const ReceivedMail got = sink.messages().first();
        // The server keeps the null reverse path as it came: MAIL FROM:<>.
        QCOMPARE(got.mailFrom, QStringLiteral("<>"));
        QCOMPARE(got.recipients, QStringList{QStringLiteral("admin@example.org")});
        // A refused notice says why, and nothing else happens to it.
        QVERIFY(!SendNotice(sink.hostText(), {}, QStringLiteral("refused.admin@example.org"), message).isEmpty());
        QCOMPARE(sink.count(), 1);
    }
};

QTEST_GUILESS_MAIN(NoticeTest)
#include "test_notice.moc"
