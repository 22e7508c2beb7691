// The mail document, attachment staging and both transports, against a real SMTP server.
#include "FakeContext.h"
#include "MailDocBuilder.h"
#include "MailReaders.h"
#include "MimeReader.h"
#include "SmtpSink.h"

#include "delivery/Base64.h"
#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "delivery/MailDocument.h"
#include "delivery/Staging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace swn;
using namespace swn::test;

namespace {

QStringList StagedFiles()
{
    return QDir(StagingFolder()).entryList(QDir::Files | QDir::Hidden);
}

QByteArray RandomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator rng(size);
    for (char& c : bytes)
        c = char(rng.bounded(256));
    return bytes;
}

// Every mail the tests make is read by Python's email package and by reformime: neither may find
// fault with any part or header.
void ExpectReadable(const QList<QByteArray>& mails)
{
    if (mails.isEmpty())
        return;
    const QList<PythonReading> readings = ReadMailWithPython(mails);
    for (qsizetype i = 0; i < mails.size(); ++i) {
        QVERIFY2(readings[i].error.isEmpty(), qPrintable(readings[i].error));
        QVERIFY2(readings[i].defects.isEmpty(),
                 qPrintable(readings[i].defects.join(QLatin1Char('\n')) + QStringLiteral("\n---\n") +
                            QString::fromUtf8(mails[i].left(4000))));
        const ReformimeReading reformime = ReadMailWithReformime(mails[i]);
        QVERIFY2(reformime.problems.isEmpty(), qPrintable(reformime.problems));
    }
}

// The header lines of a mail, unfolded, without the body.
QStringList HeaderLines(const QByteArray& mail)
{
    QString head = QString::fromLatin1(mail.left(mail.indexOf("\r\n\r\n")));
    head.replace(QRegularExpression(QStringLiteral("\r\n[ \t]")), QStringLiteral(" "));
    return head.split(QStringLiteral("\r\n"));
}

QString Text(const QJsonObject& part)
{
    return part.value(QStringLiteral("text")).toString().replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

QString Base64Element(const QString& text)
{
    return QStringLiteral("<BT_mail_Msg><AttachmentList><AttachmentContent><AttachmentName>a.bin</AttachmentName>"
                          "<AttachmentBody>%1</AttachmentBody></AttachmentContent></AttachmentList></BT_mail_Msg>")
        .arg(text);
}

} // namespace

class DeliveryTest : public QObject {
    Q_OBJECT
    SmtpSink sink;
    QTemporaryDir scratch;
    qsizetype checkedMails = 0;
    QList<QByteArray> produced; // mails that did not go through the sink

    FakeContext context()
    {
        FakeContext ctx;
        ctx.smtpHost = sink.hostText();
        return ctx;
    }
    ReceivedMail deliverOne(const MailDocBuilder& doc, FakeContext& ctx)
    {
        const int before = sink.count();
        QString list;
        const DeliveryOutcome outcome = DeliverXMLMailMsgViaCDO(ctx, doc.build(), list);
        if (outcome != DeliveryOutcome::Delivered)
            qWarning() << ctx.log;
        if (outcome != DeliveryOutcome::Delivered || sink.count() != before + 1)
            return {};
        return sink.messages().last();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(sink.start());
        SetSmtpTimeouts(5, 5);
    }

    void cleanup()
    {
        sink.setFaults({});
        const QList<ReceivedMail> all = sink.messages();
        QList<QByteArray> fresh = produced;
        produced.clear();
        for (qsizetype i = checkedMails; i < all.size(); ++i)
            fresh << all[i].content;
        checkedMails = all.size();
        ExpectReadable(fresh);
    }

    void documentReadingRules()
    {
        // Order free, unknown elements ignored, first element wins, text includes descendants.
        const QByteArray text =
            "<BT_mail_Msg><Extra>x</Extra><Subject>first <b>bold</b> part</Subject><Subject>second</Subject>"
            "<ToList>\n  <Addr>a@x</Addr>\n  <Addr></Addr>\n</ToList><CCList>direct@x</CCList><BCCList/>"
            "<ContentType>TEXT/HTML</ContentType></BT_mail_Msg>";
        LoadedMailDocument doc = LoadMailDocument(text);
        QVERIFY(doc.loaded());
        QCOMPARE(ReadElementText(doc.root, "Subject"), QStringLiteral("first bold part"));
        QCOMPARE(ReadAddressList(doc.root, "ToList"), (QStringList{"a@x", ""}));
        QCOMPARE(ReadAddressList(doc.root, "CCList"), QStringList{"direct@x"});
        QVERIFY(ReadAddressList(doc.root, "BCCList").isEmpty());
        QVERIFY(!ReadIsHTML(doc.root)); // compared case-sensitively
        QVERIFY_THROWS_EXCEPTION(DeliveryError, ReadElementText(doc.root, "Body"));

        // Another root element loads but has no root: the first read fails as a missing element.
        LoadedMailDocument other = LoadMailDocument("<Other><Subject>s</Subject></Other>");
        QVERIFY(other.loaded());
        QVERIFY_THROWS_EXCEPTION(DeliveryError, ReadElementText(other.root, "Subject"));

        // A header list child without its value is an error; "::" inside a value is kept.
        LoadedMailDocument headers = LoadMailDocument(
            "<BT_mail_Msg><HeaderList><Header><HeaderName>X-A</HeaderName><HeaderValue>1::2</HeaderValue></Header>"
            "</HeaderList></BT_mail_Msg>");
        QCOMPARE(ReadHeaderEntries(headers.root), QStringList{"X-A::1::2"});
        LoadedMailDocument broken = LoadMailDocument(
            "<BT_mail_Msg><HeaderList><Header><HeaderName>X-A</HeaderName></Header></HeaderList></BT_mail_Msg>");
        QVERIFY_THROWS_EXCEPTION(DeliveryError, ReadHeaderEntries(broken.root));
    }

    void parseFailuresAndEntities()
    {
        LoadedMailDocument bad = LoadMailDocument("<BT_mail_Msg>\n<Subject>open</BT_mail_Msg>");
        QVERIFY(!bad.loaded());
        QVERIFY2(bad.failureReason.contains(QStringLiteral("line 2")), qPrintable(bad.failureReason));

        // External and internal entities of a DOCTYPE are never expanded.
        QFile secret(scratch.filePath(QStringLiteral("secret.txt")));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("TOPSECRET");
        secret.close();
        const QByteArray xxe = "<?xml version=\"1.0\"?><!DOCTYPE BT_mail_Msg [<!ENTITY e SYSTEM \"file://" +
            QFile::encodeName(secret.fileName()) + "\"><!ENTITY big \"xxxxxxxx\">]>"
            "<BT_mail_Msg><Subject>&e;&big;&amp;&#x41;</Subject></BT_mail_Msg>";
        LoadedMailDocument doc = LoadMailDocument(xxe);
        if (doc.loaded()) {
            const QString subject = ReadElementText(doc.root, "Subject");
            QVERIFY(!subject.contains(QStringLiteral("TOPSECRET")));
            QVERIFY(!subject.contains(QStringLiteral("xxxxxxxx")));
        }
        QCOMPARE(ReadElementText(LoadMailDocument("<BT_mail_Msg><S>&lt;&#x41;&#66;</S></BT_mail_Msg>").root, "S"),
                 QStringLiteral("<AB"));
    }

    void strictBase64()
    {
        auto decode = [](const QByteArray& text, bool& ok) {
            Base64Decoder decoder;
            std::string out;
            ok = decoder.feed(text.constData(), size_t(text.size()), out) && decoder.finish(out);
            return QByteArray::fromStdString(out);
        };
        bool ok = false;
        QCOMPARE(decode("SGVs\r\n bG8=\n", ok), QByteArray("Hello"));
        QVERIFY(ok);
        QCOMPARE(decode("SGVsbG8", ok), QByteArray("Hello")); // unpadded tail is still whole bytes
        QVERIFY(ok);
        for (const QByteArray& bad : {QByteArray("SGVs*G8="), QByteArray("SGVsbG8=A"), QByteArray("S"),
                                     QByteArray("SG=A"), QByteArray("SGVsbG8==="), QByteArray("=SGV")}) {
            decode(bad, ok);
            QVERIFY2(!ok, bad.constData());
        }
        // Byte by byte gives the same as all at once.
        const QByteArray data = RandomBytes(1000);
        const QByteArray text = data.toBase64();
        Base64Decoder decoder;
        std::string out;
        for (char c : text)
            QVERIFY(decoder.feed(&c, 1, out));
        QVERIFY(decoder.finish(out));
        QCOMPARE(QByteArray::fromStdString(out), data);
    }

    void stagingFiles()
    {
        MailDocBuilder doc;
        doc.attachments = {{"same.txt", "one"}, {"same.txt", "two"}, {"photo.jpg", RandomBytes(5000)}};
        LoadedMailDocument loaded = LoadMailDocument(doc.build());
        const QString list = StageDocumentAttachments(loaded.root);
        QCOMPARE(list.count(QStringLiteral(":##:")), 2);
        const QStringList entries = SplitAttachmentList(list);
        QCOMPARE(entries.size(), 3);
        QStringList paths;
        for (const QString& entry : entries) {
            const QStringList parts = entry.split(QStringLiteral("||"));
            QCOMPARE(parts.size(), 2);
            paths << parts[1];
            QCOMPARE(QFileInfo(parts[1]).absolutePath(), StagingFolder());
            QCOMPARE(QFileInfo(parts[1]).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
        }
        QCOMPARE(entries[2].section(QStringLiteral("||"), 0, 0), QStringLiteral("photo.jpg"));
        QVERIFY(paths[0] != paths[1]);
        QFile third(paths[2]);
        QVERIFY(third.open(QIODevice::ReadOnly));
        QCOMPARE(third.readAll(), doc.attachments[2].second);
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(StagingFolder()).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0700);
        DeleteStagedFiles(list);
        QVERIFY(StagedFiles().isEmpty());

        // A bad body fails clearly and takes the files staged before it along.
        LoadedMailDocument bad = LoadMailDocument(
            "<BT_mail_Msg><AttachmentList><AttachmentContent><AttachmentName>ok.txt</AttachmentName>"
            "<AttachmentBody>b2s=</AttachmentBody></AttachmentContent><AttachmentContent>"
            "<AttachmentName>bad.txt</AttachmentName><AttachmentBody>!!notbase64!!</AttachmentBody>"
            "</AttachmentContent></AttachmentList></BT_mail_Msg>");
        try {
            StageDocumentAttachments(bad.root);
            QFAIL("bad base64 was accepted");
        } catch (const DeliveryError& e) {
            QVERIFY2(e.text().contains(QStringLiteral("bad.txt")), qPrintable(e.text()));
        }
        QVERIFY(StagedFiles().isEmpty());
        // An empty body is an empty file.
        const QString emptyList = StageDocumentAttachments(LoadMailDocument(Base64Element(QString()).toUtf8()).root);
        QCOMPARE(QFileInfo(emptyList.section(QStringLiteral("||"), 1)).size(), 0);
        DeleteStagedFiles(emptyList);

        // A display name cannot smuggle a path into the list, and only staged files are deleted.
        QFile victim(scratch.filePath(QStringLiteral("victim")));
        QVERIFY(victim.open(QIODevice::WriteOnly));
        victim.close();
        MailDocBuilder sly;
        sly.attachments = {{QStringLiteral("x||") + victim.fileName(), "data"}};
        const QString slyList = StageDocumentAttachments(LoadMailDocument(sly.build()).root);
        QCOMPARE(SplitAttachmentList(slyList).first().split(QStringLiteral("||")).size(), 2);
        for (const QString& name : {QStringLiteral("a|"), QStringLiteral("||"), QStringLiteral("x:##:|")}) {
            const QString entry = StagedDisplayName(name) + QStringLiteral("||/p");
            QCOMPARE(entry.split(QStringLiteral("||")), (QStringList{StagedDisplayName(name), "/p"}));
            QVERIFY(!StagedDisplayName(name).contains(QStringLiteral(":##:")));
        }
        DeleteStagedFiles(slyList);
        DeleteStagedFiles(QStringLiteral("n||") + victim.fileName());
        QVERIFY(victim.exists());
        QVERIFY(StagedFiles().isEmpty());
    }

    void plainMailWithEveryRecipientKind()
    {
        FakeContext ctx = context();
        MailDocBuilder doc;
        doc.from = QStringLiteral("Bug Tracker <tracker@example.org>");
        doc.to = {"alice@example.org", "Bob Builder <bob@example.org>"};
        doc.cc = {"carol@example.org"};
        doc.bcc = {"dave@example.org"};
        doc.headers = {{"X-Defect-Id", "42"}, {"X-Split", "left::right"}, {"X-Evil", "a\r\nBcc: mallory@example.org"},
                       {"X-Bad\nName", "v"}};
        doc.body = QStringLiteral("Line one\nLine two: ünïcödé\n.\nafter a lone dot");
        const ReceivedMail got = deliverOne(doc, ctx);
        QVERIFY(!got.content.isEmpty());
        QCOMPARE(got.mailFrom, QStringLiteral("tracker@example.org"));
        QCOMPARE(got.recipients, (QStringList{"alice@example.org", "bob@example.org", "carol@example.org",
                                              "dave@example.org"}));
        const ParsedMail mail = ParseMail(got.content);
        QVERIFY(mail.ok);
        QCOMPARE(mail.from, QStringList{"tracker@example.org"});
        QCOMPARE(mail.fromNames, QStringList{"Bug Tracker"});
        QCOMPARE(mail.sender, QStringList{"tracker@example.org"});
        QCOMPARE(mail.to, (QStringList{"alice@example.org", "bob@example.org"}));
        QCOMPARE(mail.cc, QStringList{"carol@example.org"});
        QVERIFY(mail.bcc.isEmpty());
        QVERIFY(!got.content.contains("dave@example.org"));
        QVERIFY(!got.content.contains("mallory"));
        QCOMPARE(mail.headerCount("Bcc"), 0);
        QCOMPARE(mail.header("X-Defect-Id"), QStringLiteral("42"));
        QCOMPARE(mail.header("X-Split"), QStringLiteral("left::right")); // everything after the first "::"
        QCOMPARE(mail.headerCount("X-Evil"), 0);
        QVERIFY(!mail.header("Date").isEmpty());
        QVERIFY(mail.header("Message-ID").contains(QLatin1Char('@')));
        QCOMPARE(mail.subject, doc.subject);
        QCOMPARE(mail.leaves.size(), 1);
        QCOMPARE(mail.leaves[0].contentType, QStringLiteral("text/plain"));
        QCOMPARE(mail.leaves[0].charset, QStringLiteral("utf-8"));
        QCOMPARE(QString::fromUtf8(mail.leaves[0].content).replace("\r\n", "\n").trimmed(), doc.body);

        QCOMPARE(ctx.log.filter(QStringLiteral("X-Evil")).size(), 1);
        QCOMPARE(ctx.log.filter(QStringLiteral("X-Bad")).size(), 1);
        QCOMPARE(ctx.log.last(), QStringLiteral("Instigator: tester # Recipients = 4"));
        QCOMPARE(ctx.copies, 4);
        QCOMPARE(ctx.relays, 1);
        QCOMPARE(ctx.shownCopies, 4);
        QVERIFY(StagedFiles().isEmpty());
    }

    void htmlMailWithImagesAndAttachments()
    {
        FakeContext ctx = context();
        MailDocBuilder doc;
        doc.contentType = QStringLiteral("text/html");
        doc.subject = QStringLiteral("障害 42 が更新されました");
        doc.to = {QStringLiteral("山田 太郎 <yamada@example.jp>")};
        doc.body = QStringLiteral("<html><body><p>見てください</p><img src=\"logo.PNG\"></body></html>");
        const QByteArray logo = RandomBytes(3000);
        const QByteArray report = RandomBytes(200000) + QByteArray(10, '\0');
        doc.attachments = {{"logo.PNG", logo}, {QStringLiteral("報告書.pdf"), report}, {"README", "plain"}};
        const ReceivedMail got = deliverOne(doc, ctx);
        QVERIFY(!got.content.isEmpty());
        const ParsedMail mail = ParseMail(got.content);
        QCOMPARE(mail.subject, doc.subject);
        QCOMPARE(mail.toNames, QStringList{QStringLiteral("山田 太郎")});
        QCOMPARE(mail.topType, QStringLiteral("multipart/mixed"));
        // mixed(related(alternative(text, html), logo), report, README)
        QCOMPARE(mail.leaves.size(), 5);
        QCOMPARE(mail.leaves[0].contentType, QStringLiteral("text/plain"));
        QCOMPARE(mail.leaves[0].parentType, QStringLiteral("multipart/alternative"));
        QCOMPARE(QString::fromUtf8(mail.leaves[0].content).trimmed(), QStringLiteral("見てください"));
        QCOMPARE(mail.leaves[1].contentType, QStringLiteral("text/html"));
        QCOMPARE(mail.leaves[1].parentType, QStringLiteral("multipart/alternative"));
        QCOMPARE(mail.leaves[2].parentType, QStringLiteral("multipart/related"));
        QCOMPARE(mail.leaves[2].contentLocation, QStringLiteral("logo.PNG"));
        QCOMPARE(mail.leaves[2].content, logo);
        // The HTML names the image by its Content-ID now.
        const QString html = QString::fromUtf8(mail.leaves[1].content);
        const qsizetype cid = html.indexOf(QStringLiteral("src=\"cid:"));
        QVERIFY2(cid > 0, qPrintable(html));
        QCOMPARE(html.left(cid), doc.body.left(doc.body.indexOf(QStringLiteral("src="))));
        QCOMPARE(mail.leaves[3].parentType, QStringLiteral("multipart/mixed"));
        QCOMPARE(mail.leaves[3].disposition, QStringLiteral("attachment"));
        QCOMPARE(mail.leaves[3].fileName, QStringLiteral("報告書.pdf"));
        QCOMPARE(mail.leaves[3].content, report);
        QCOMPARE(mail.leaves[4].fileName, QStringLiteral("README"));
        QCOMPARE(mail.leaves[4].content, QByteArray("plain"));
        // Header lines stay ASCII: the Japanese text travels encoded.
        const QByteArray head = got.content.left(got.content.indexOf("\r\n\r\n"));
        for (char c : head)
            QVERIFY(uchar(c) < 128);
        QVERIFY(StagedFiles().isEmpty());

        // The same image in a plain-text mail is an ordinary attachment.
        doc.contentType = QStringLiteral("text/HTML");
        doc.attachments = {{"logo.PNG", logo}};
        const ParsedMail plain = ParseMail(deliverOne(doc, ctx).content);
        QCOMPARE(plain.leaves.size(), 2);
        QCOMPARE(plain.leaves[0].contentType, QStringLiteral("text/plain"));
        QCOMPARE(plain.leaves[1].disposition, QStringLiteral("attachment"));
        QCOMPARE(plain.leaves[1].fileName, QStringLiteral("logo.PNG"));
    }

    void sendFailuresAreLoggedWithTheServersText()
    {
        // A refused recipient: the server's reply to it reaches the log; the others get the mail.
        FakeContext ctx = context();
        MailDocBuilder doc;
        doc.to = {"alice@example.org", "refused-bob@example.org"};
        doc.attachments = {{"a.txt", "data"}};
        QString list;
        const int before = sink.count();
        QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, doc.build(), list), DeliveryOutcome::Delivered);
        QCOMPARE(sink.count(), before + 1);
        QCOMPARE(sink.messages().last().recipients, QStringList{"alice@example.org"});
        QCOMPARE(ctx.log.size(), 2);
        QVERIFY2(ctx.log[0].startsWith(QStringLiteral("Send Failed:")), qPrintable(ctx.log[0]));
        QVERIFY2(ctx.log[0].contains(QStringLiteral("550 5.1.1 <refused-bob@example.org>")), qPrintable(ctx.log[0]));
        QVERIFY(ctx.log[0].contains(QStringLiteral("To Addressees: refused-bob@example.org\r\n")));
        QCOMPARE(ctx.log[1], QStringLiteral("Instigator: tester # Recipients = 2"));
        QCOMPARE(ctx.shownRelays, 1);
        QVERIFY(StagedFiles().isEmpty());

        // A temporary refusal is worth another try.
        sink.setTemporaryFailure(true);
        FakeContext busy = context();
        QCOMPARE(DeliverXMLMailMsgViaCDO(busy, MailDocBuilder().build(), list), DeliveryOutcome::RetryLater);
        sink.setTemporaryFailure(false);
        QVERIFY2(busy.log[0].contains(QStringLiteral("451")), qPrintable(busy.log[0]));

        // Nobody listening: a clear text, and the server, not the mail, is what failed.
        FakeContext down;
        down.smtpHost = QStringLiteral("127.0.0.1:%1").arg(UnusedTcpPort());
        QCOMPARE(DeliverXMLMailMsgViaCDO(down, doc.build(), list), DeliveryOutcome::ServerUnavailable);
        QVERIFY2(down.log[0].contains(QStringLiteral("onnect")), qPrintable(down.log[0]));
        QVERIFY(StagedFiles().isEmpty());

        // No recipients at all.
        FakeContext none = context();
        MailDocBuilder empty;
        empty.to.clear();
        QCOMPARE(DeliverXMLMailMsgViaCDO(none, empty.build(), list), DeliveryOutcome::FailedPermanently);
        QCOMPARE(none.log.size(), 2);
        QVERIFY(none.log[0].startsWith(QStringLiteral("Send Failed:")));
        QCOMPARE(none.log[1], QStringLiteral("Instigator: tester # Recipients = 0"));
        QCOMPARE(none.relays, 1);
        QCOMPARE(none.copies, 0);
    }

    void keptConnectionsStayUsable()
    {
        // After a refusal and after a temporary failure the next mail goes through, and a
        // server that went away and came back between two mails costs none of them.
        FakeContext ctx = context();
        QString list;
        MailDocBuilder refused;
        refused.to = {"refused@example.org"};
        MailDocBuilder good;
        good.subject = QStringLiteral("after");
        QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, refused.build(), list), DeliveryOutcome::FailedPermanently);
        QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, good.build(), list), DeliveryOutcome::Delivered);
        sink.setTemporaryFailure(true);
        QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, good.build(), list), DeliveryOutcome::RetryLater);
        sink.setTemporaryFailure(false);
        QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, good.build(), list), DeliveryOutcome::Delivered);
        const quint16 port = sink.port();
        const QList<ReceivedMail> kept = sink.messages();
        sink.stop();
        QVERIFY(sink.start(port));
        QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, good.build(), list), DeliveryOutcome::Delivered);
        QCOMPARE(sink.count(), kept.size() + 1);
        QCOMPARE(ParseMail(sink.messages().last().content).subject, QStringLiteral("after"));
    }

    void failuresBeforeSendingReachTheCaller()
    {
        QString list;
        // Not well-formed: message 134, nothing counted, nothing sent.
        FakeContext ctx = context();
        const int before = sink.count();
        QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, "<BT_mail_Msg><Subject>", list), DeliveryOutcome::FailedPermanently);
        QCOMPARE(ctx.log.size(), 1);
        QVERIFY(ctx.log[0].startsWith(QStringLiteral("XML Stream Failed to Load.  Error: ")));
        QCOMPARE(ctx.relays, 0);

        // A port that is not a number, a missing AttachmentList, a bad attachment body: errors,
        // counted already, nothing sent, no file left.
        FakeContext port = context();
        port.smtpHost = QStringLiteral("127.0.0.1:smtp");
        MailDocBuilder withFile;
        withFile.attachments = {{"a.txt", "data"}};
        QVERIFY_THROWS_EXCEPTION(DeliveryError, DeliverXMLMailMsgViaCDO(port, withFile.build(), list));
        QCOMPARE(port.relays, 1);
        QCOMPARE(port.shownRelays, 0);
        MailDocBuilder noList;
        noList.withAttachmentList = false;
        QVERIFY_THROWS_EXCEPTION(DeliveryError, DeliverXMLMailMsgViaCDO(ctx, noList.build(), list));
        MailDocBuilder badBody;
        badBody.attachments = {{"a.txt", "data"}, {"b.txt", "more"}};
        QByteArray text = badBody.build();
        text.replace(QByteArray("more").toBase64(), "@@@@");
        QVERIFY_THROWS_EXCEPTION(DeliveryError, DeliverXMLMailMsgViaCDO(ctx, text, list));
        QCOMPARE(sink.count(), before);
        QVERIFY(StagedFiles().isEmpty());

        // "host" and "host:" both mean port 25.
        QCOMPARE(ParseSmtpServerText(QStringLiteral("mail.example.org")).port, 25);
        QCOMPARE(ParseSmtpServerText(QStringLiteral("mail.example.org:")).port, 25);
        QCOMPARE(ParseSmtpServerText(QStringLiteral("mail:2525:x")).port, 2525);
        QVERIFY_THROWS_EXCEPTION(DeliveryError, ParseSmtpServerText(QStringLiteral("mail:70000")));
    }

    void postOfficeModeUsesTheCallersFiles()
    {
        FakeContext ctx = context();
        ctx.networkRelay = false;
        MailDocBuilder doc;
        doc.attachments = {{"ignored.txt", "in the document"}};
        QString path = NewStagedFilePath();
        SaveBinaryData(path, "from the record");
        QString list = QStringLiteral("record.txt||") + path;
        const ReceivedMail got = deliverOne(doc, ctx);
        Q_UNUSED(got);
        // deliverOne passes an empty list; now the caller's own.
        QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, doc.build(), list), DeliveryOutcome::Delivered);
        const ParsedMail mail = ParseMail(sink.messages().last().content);
        QCOMPARE(mail.leaves.size(), 2);
        QCOMPARE(mail.leaves[1].fileName, QStringLiteral("record.txt"));
        QCOMPARE(mail.leaves[1].content, QByteArray("from the record"));
        QVERIFY(!QFile::exists(path));
        QVERIFY(StagedFiles().isEmpty());
    }

    void mailComponentSubmitsThroughSendmail()
    {
        // A sendmail of our own that records its arguments and input, and exits as told.
        const QString record = scratch.filePath(QStringLiteral("sendmail.args"));
        const QString input = scratch.filePath(QStringLiteral("sendmail.in"));
        const QString status = scratch.filePath(QStringLiteral("sendmail.status"));
        const QString program = scratch.filePath(QStringLiteral("sendmail"));
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '%1'\ncat > '%2'\n"
                                    "exit $(cat '%3' 2>/dev/null || echo 0)\n")
                         .arg(record, input, status)
                         .toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        FakeContext ctx;
        ctx.sendmail = program;
        MailDocBuilder doc;
        doc.to = {"a@example.org", "b@example.org"};
        doc.cc = {"c@example.org"};
        doc.bcc = {"-oQ/tmp/evil;rm -rf x@example.org"};
        doc.subject = QStringLiteral("Ärger mit Defekt 7");
        doc.headers = {{"X-Ignored", "1"}};
        doc.attachments = {{"a.txt", "not sent this way"}};
        QCOMPARE(DeliverXMLMailMsgViaZorvix(ctx, doc.build()), DeliveryOutcome::Delivered);
        QVERIFY(ctx.log.isEmpty());
        QCOMPARE(ctx.copies, 4);
        QCOMPARE(ctx.shownRelays, 1);
        QFile args(record);
        QVERIFY(args.open(QIODevice::ReadOnly));
        const QStringList argv = QString::fromUtf8(args.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(argv.mid(0, 4), (QStringList{"-i", "-f", "tracker@example.org", "--"}));
        QCOMPARE(argv.mid(4, 3), (QStringList{"a@example.org", "b@example.org", "c@example.org"}));
        QCOMPARE(argv.size(), 8); // the odd Bcc entry is one argument, never a shell command
        QFile in(input);
        QVERIFY(in.open(QIODevice::ReadOnly));
        const QByteArray submitted = in.readAll();
        produced << submitted;
        const ParsedMail mail = ParseMail(submitted);
        QCOMPARE(mail.subject, doc.subject);
        QCOMPARE(mail.to, (QStringList{"a@example.org", "b@example.org"}));
        QVERIFY(mail.bcc.isEmpty());
        QCOMPARE(mail.headerCount("X-Ignored"), 0);
        QCOMPARE(mail.leaves.size(), 1);

        // A failing status is logged with its code and still counted.
        QFile code(status);
        QVERIFY(code.open(QIODevice::WriteOnly));
        code.write("67");
        code.close();
        QCOMPARE(DeliverXMLMailMsgViaZorvix(ctx, doc.build()), DeliveryOutcome::FailedPermanently);
        QCOMPARE(ctx.log.last(), QStringLiteral("BT Mail Delivery fail : Code 67"));
        QCOMPARE(ctx.relays, 2);
        // Exit status 1 must not read as delivered.
        QVERIFY(code.open(QIODevice::WriteOnly));
        code.write("1");
        code.close();
        QCOMPARE(DeliverXMLMailMsgViaZorvix(ctx, doc.build()), DeliveryOutcome::FailedPermanently);
        QCOMPARE(ctx.log.last(), QStringLiteral("BT Mail Delivery fail : Code 0"));

        // No program: -1, worth a retry. A malformed document: 134 and nothing counted.
        ctx.sendmail = scratch.filePath(QStringLiteral("missing"));
        QCOMPARE(DeliverXMLMailMsgViaZorvix(ctx, doc.build()), DeliveryOutcome::RetryLater);
        QCOMPARE(ctx.log.last(), QStringLiteral("BT Mail Delivery fail : Code -1"));
        const qint32 relays = ctx.relays;
        QCOMPARE(DeliverXMLMailMsgViaZorvix(ctx, "<BT_mail_Msg>"), DeliveryOutcome::FailedPermanently);
        QVERIFY(ctx.log.last().startsWith(QStringLiteral("XML Stream Failed to Load.")));
        QCOMPARE(ctx.relays, relays);
    }
};

QTEST_GUILESS_MAIN(DeliveryTest)
#include "test_delivery.moc"
