// The mail document, attachment staging and both transports, against a real SMTP server.
#include "FakeContext.h"
#include "MailDocBuilder.h"
#include "MailReaders.h"
#include "MimeReader.h"
#include "SmtpSink.h"

#include "delivery/Base64.h"
#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "delivery/HtmlText.h"
#include "delivery/MailDocument.h"
#include "delivery/MimeComposer.h"
#include "delivery/Staging.h"
#include "delivery/TextEncoding.h"

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
#include <cerrno>
#include <fcntl.h>
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

// What no mail may hold: a CR or LF outside CRLF, or a line over 998 octets. Empty when clean.
QString WireFaults(const QByteArray& mail)
{
    qsizetype line = 0;
    for (qsizetype i = 0; i < mail.size(); ++i) {
        const char c = mail[i];
        if (c == '\r' && (i + 1 >= mail.size() || mail[i + 1] != '\n'))
            return QStringLiteral("bare CR at byte %1").arg(i);
        if (c == '\n' && (i == 0 || mail[i - 1] != '\r'))
            return QStringLiteral("bare LF at byte %1").arg(i);
        if (c == '\r' || c == '\n') {
            line = 0;
            continue;
        }
        if (++line > 998)
            return QStringLiteral("line over 998 octets ending after byte %1").arg(i);
    }
    return {};
}

// A composed message, read whole.
QByteArray Compose(MimeMessageBuilder& builder)
{
    return builder.compose()->readAll();
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
    // A sendmail of our own that keeps what it is given in `input` and succeeds.
    FakeContext sendmailContext(const QString& name, QString& input)
    {
        input = scratch.filePath(name + QStringLiteral(".in"));
        const QString program = scratch.filePath(name);
        QFile script(program);
        if (script.open(QIODevice::WriteOnly))
            script.write(QStringLiteral("#!/bin/sh\ncat > '%1'\n").arg(input).toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        FakeContext ctx;
        ctx.sendmail = program;
        return ctx;
    }
    QByteArray submitted(const QString& input)
    {
        QFile in(input);
        if (!in.open(QIODevice::ReadOnly))
            return {};
        const QByteArray bytes = in.readAll();
        produced << bytes;
        return bytes;
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

        // A port that is not a number: the settings are at fault, not the mail, which is kept
        // untried. A missing AttachmentList, a bad attachment body: errors, counted already.
        // Nothing sent, no file left.
        FakeContext port = context();
        port.smtpHost = QStringLiteral("127.0.0.1:smtp");
        MailDocBuilder withFile;
        withFile.attachments = {{"a.txt", "data"}};
        QCOMPARE(DeliverXMLMailMsgViaCDO(port, withFile.build(), list), DeliveryOutcome::ServerUnavailable);
        QCOMPARE(port.log.filter(QStringLiteral("The SMTP settings cannot be used")).size(), 1);
        QCOMPARE(port.relays, 1);
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
        try {
            ParseSmtpServerText(QStringLiteral("mail:70000"));
            QFAIL("port 70000 was taken");
        } catch (const DeliveryError& e) {
            QVERIFY(e.temporary());
        }
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

    void richHtmlMailReadsCleanEverywhere()
    {
        FakeContext ctx = context();
        MailDocBuilder doc;
        doc.from = QStringLiteral("Bug Tracker <tracker@bt.example.org>");
        doc.to = {QStringLiteral("山田 太郎 <yamada@example.jp>"), "alice@example.org"};
        doc.contentType = QStringLiteral("text/html");
        doc.subject = QStringLiteral("障害番号四十二番が更新されました。担当者は山田太郎です。優先度は高で、期限は来週の金曜日です。"
                                     "詳しくは添付の報告書をご覧ください。");
        doc.body = QStringLiteral(
            "<html><head><title>Defect 42</title><style>.logo { background: url(\"logo.png\") }</style>"
            "<script>var hidden = \"<b>script text</b>\";</script></head>\n"
            "<body background=\"logo.png\"><h1>Defect&nbsp;42 was resolved</h1>\n"
            "<p>Priority: <b>high</b> &amp; owner: 山田 &lt;yamada&gt;</p>"
            "<p>First line<br>Second line</p><!-- a comment -->\n"
            "<ul><li>Build 7 fixed it</li><li>Verified &#x2714;</li></ul>"
            "<p>See <a href=\"https://bt.example.org/defects/42\">the defect</a>.</p>\n"
            "<img src=\"logo.png\" alt=\"logo\"><img src='%E3%83%AD%E3%82%B4.gif'>"
            "<div style=\"background-image:url(logo.png)\">footer</div></body></html>");
        doc.headers = {{"X-Link-Local", "fe80::1"}, {"X-Defect-Id", "42"}};
        const QByteArray logo = RandomBytes(2000);
        const QByteArray gif = RandomBytes(500);
        doc.attachments = {{"logo.png", logo},
                           {QStringLiteral("ロゴ.gif"), gif},
                           {"data.g", "generic data"},
                           {"report.", "no extension"},
                           {"a.mp", "two letters"},
                           {"x.jp", "two letters as well"},
                           {"notes.txt", QStringLiteral("メモ: UTF-8 text\n").toUtf8()}};
        const ReceivedMail got = deliverOne(doc, ctx);
        QVERIFY2(!got.content.isEmpty(), qPrintable(ctx.joinedLog()));

        const PythonReading mail = ReadMailWithPython(got.content);
        QVERIFY2(mail.error.isEmpty(), qPrintable(mail.error));
        QVERIFY2(mail.defects.isEmpty(), qPrintable(mail.defects.join(QLatin1Char('\n'))));
        // Message-ID in the sender's domain.
        QVERIFY2(QRegularExpression(QStringLiteral("^<[0-9a-f]+@bt\\.example\\.org>$"))
                     .match(mail.header("Message-ID"))
                     .hasMatch(),
                 qPrintable(mail.header("Message-ID")));
        // No empty header lines, no Cc at all, the header value whole.
        for (const auto& [name, value] : mail.headers)
            QVERIFY2(!value.trimmed().isEmpty(), qPrintable(name));
        for (const QString& line : HeaderLines(got.content))
            QVERIFY2(!QRegularExpression(QStringLiteral("^[!-9;-~]+:\\s*$")).match(line).hasMatch(), qPrintable(line));
        QCOMPARE(mail.headerCount("Cc"), 0);
        QCOMPARE(mail.header("X-Link-Local"), QStringLiteral("fe80::1"));
        QCOMPARE(mail.header("Subject"), doc.subject);
        QVERIFY2(mail.longestEncodedWord <= 75, qPrintable(QString::number(mail.longestEncodedWord)));
        QVERIFY2(mail.longestHeaderLine <= 78, qPrintable(QString::number(mail.longestHeaderLine)));
        QVERIFY(mail.header("To").contains(QStringLiteral("山田 太郎 <yamada@example.jp>")));

        QCOMPARE(mail.tree, QStringLiteral("multipart/mixed(multipart/related(multipart/alternative(text/plain,text/html),"
                                           "image/png,image/gif),application/octet-stream,application/octet-stream,%1,%2,"
                                           "text/plain)")
                                .arg(mail.part("1.4").value("type").toString(), mail.part("1.5").value("type").toString()));
        // The text alternative: what a reader sees, without markup, scripts or styles.
        const QString text = Text(mail.part("1.1.1.1"));
        for (const QString& expected :
             {QStringLiteral("Defect 42 was resolved"), QStringLiteral("Priority: high & owner: 山田 <yamada>"),
              QStringLiteral("First line\nSecond line"), QStringLiteral("- Build 7 fixed it\n- Verified ✔"),
              QStringLiteral("the defect <https://bt.example.org/defects/42>."), QStringLiteral("footer")})
            QVERIFY2(text.contains(expected), qPrintable(expected + QStringLiteral("\n---\n") + text));
        for (const QString& absent : {QStringLiteral("<b>"), QStringLiteral("&amp;"), QStringLiteral("&nbsp;"),
                                      QStringLiteral("script text"), QStringLiteral(".logo"), QStringLiteral("a comment"),
                                      QStringLiteral("<img"), QStringLiteral("Defect 42\n")})
            QVERIFY2(!text.contains(absent), qPrintable(absent + QStringLiteral("\n---\n") + text));
        QVERIFY(text.contains(QStringLiteral("Defect 42 was resolved\n\nPriority")));

        // Every reference to an image by its display name now names its Content-ID.
        const QJsonObject png = mail.part("1.1.2");
        const QJsonObject gifPart = mail.part("1.1.3");
        QCOMPARE(png.value("content_location").toString(), QStringLiteral("logo.png"));
        QCOMPARE(gifPart.value("content_location").toString(), QStringLiteral("%E3%83%AD%E3%82%B4.gif"));
        QCOMPARE(gifPart.value("filename").toString(), QStringLiteral("ロゴ.gif"));
        QCOMPARE(QByteArray::fromBase64(png.value("base64").toString().toLatin1()), logo);
        QCOMPARE(QByteArray::fromBase64(gifPart.value("base64").toString().toLatin1()), gif);
        const QString pngId = png.value("content_id").toString().remove('<').remove('>');
        const QString gifId = gifPart.value("content_id").toString().remove('<').remove('>');
        QVERIFY(pngId.endsWith(QStringLiteral("@bt.example.org")) && pngId != gifId);
        const QString html = Text(mail.part("1.1.1.2"));
        QCOMPARE(html.count(QStringLiteral("cid:") + pngId), 4);
        QCOMPARE(html.count(QStringLiteral("cid:") + gifId), 1);
        QVERIFY2(html.contains(QStringLiteral("<img src=\"cid:%1\" alt=\"logo\">").arg(pngId)), qPrintable(html));
        QVERIFY2(html.contains(QStringLiteral("<body background=\"cid:%1\">").arg(pngId)), qPrintable(html));
        QVERIFY(!html.contains(QStringLiteral("logo.png")) && !html.contains(QStringLiteral("%E3%83%AD")));

        // Only true image extensions are inline; everything else is an attachment under its name.
        const QStringList attachments{"data.g", "report.", "a.mp", "x.jp", "notes.txt"};
        for (int i = 0; i < attachments.size(); ++i) {
            const QJsonObject part = mail.part(QStringLiteral("1.%1").arg(i + 2));
            QCOMPARE(part.value("disposition").toString(), QStringLiteral("attachment"));
            QCOMPARE(part.value("filename").toString(), attachments[i]);
            QCOMPARE(part.value("parent").toString(), QStringLiteral("multipart/mixed"));
        }
        QCOMPARE(mail.part("1.2").value("base64").toString(), QString::fromLatin1(QByteArray("generic data").toBase64()));
        QCOMPARE(mail.part("1.6").value("charset").toString(), QStringLiteral("utf-8"));
        QCOMPARE(Text(mail.part("1.6")), QStringLiteral("メモ: UTF-8 text\n"));

        const ReformimeReading reformime = ReadMailWithReformime(got.content);
        QVERIFY2(reformime.problems.isEmpty(), qPrintable(reformime.problems));
        QCOMPARE(reformime.contentIds.size(), 2);
        QVERIFY(reformime.contentIds.contains(QLatin1Char('<') + pngId + QLatin1Char('>')));
        QVERIFY2(reformime.fileNames.contains(QStringLiteral("data.g")), qPrintable(reformime.fileNames.join(',')));

        // SpamAssassin's local tests find no fault with the header or the MIME structure.
        QString error;
        const QStringList rules = SpamAssassinRules(got.content, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        const QStringList defectRules{
            "MISSING_MID", "INVALID_MSGID", "MSGID_NOFQDN1", "MSGID_SHORT", "MSGID_HDR_MALF", "MISSING_DATE",
            "INVALID_DATE", "MISSING_FROM", "MISSING_HEADERS", "MISSING_SUBJECT", "MISSING_HB_SEP",
            "MISSING_MIME_HB_SEP", "MIME_HTML_ONLY", "MIME_HTML_ONLY_MULTI", "MIME_HTML_MOSTLY",
            "MIME_HEADER_CTYPE_ONLY", "MIME_BASE64_TEXT", "MIME_QP_LONG_LINE", "MIME_BAD_ISO_CHARSET",
            "BASE64_LENGTH_78_79", "BASE64_LENGTH_79_INF", "BAD_ENC_HEADER", "SUBJECT_NEEDS_ENCODING", "HEAD_LONG",
            "NONEXISTENT_CHARSET", "MPART_ALT_DIFF", "MPART_ALT_DIFF_COUNT", "HTML_MIME_NO_HTML_TAG",
            "HTML_MISSING_CTYPE", "EMPTY_MESSAGE", "TO_MALFORMED", "BOGUS_MIME_VERSION", "DSN_NO_MIMEVERSION",
            "FROM_ADDR_WS", "FROM_WSP_TRAIL", "CORRUPT_FROM_LINE_IN_HDRS", "T_TVD_MIME_NO_HEADERS", "T_TVD_MIME_EPI",
            "TBIRD_SUSP_MIME_BDRY", "MIMEPART_LIMIT_EXCEEDED"};
        for (const QString& rule : rules)
            QVERIFY2(!defectRules.contains(rule), qPrintable(QStringLiteral("%1 fired: %2").arg(rule, rules.join(','))));
        QVERIFY(StagedFiles().isEmpty());
    }

    void headerRules()
    {
        QString list;
        // A from address that cannot stand in a mail: never sent, a clear reason, a final answer.
        for (const QString& from : {QString(), QStringLiteral("   "), QStringLiteral("not an address"),
                                    QStringLiteral("tracker"), QStringLiteral("a@example.org, b@example.org")}) {
            FakeContext ctx = context();
            MailDocBuilder doc;
            doc.from = from;
            doc.attachments = {{"a.txt", "data"}};
            const int before = sink.count();
            QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, doc.build(), list), DeliveryOutcome::FailedPermanently);
            QCOMPARE(sink.count(), before);
            QCOMPARE(ctx.log.size(), 2);
            QVERIFY2(ctx.log[0].startsWith(QStringLiteral("Send Failed:")) &&
                         ctx.log[0].contains(QStringLiteral("the from address")),
                     qPrintable(ctx.log[0]));
            QVERIFY(StagedFiles().isEmpty());
        }

        // Only Bcc recipients: the To line names nobody rather than standing empty. A valid
        // Message-ID and Date of the document are kept; invalid ones are replaced.
        FakeContext ctx = context();
        MailDocBuilder doc;
        doc.to.clear();
        doc.bcc = {"hidden@example.org"};
        doc.subject = QStringLiteral("x").repeated(200) + QStringLiteral(" tail ") + QStringLiteral("ü").repeated(60);
        doc.headers = {{"Message-ID", "<keep.this@tracker.example.org>"}, {"Date", "Tue, 1 Dec 2026 10:00:00 +0100"},
                       {"X-Long", QStringLiteral("word ").repeated(60).trimmed()}, {"X-Empty", ""},
                       {"Reply-To", QStringLiteral("Ünïcode Support <support@example.org>")}};
        ReceivedMail got = deliverOne(doc, ctx);
        QVERIFY2(!got.content.isEmpty(), qPrintable(ctx.joinedLog()));
        QCOMPARE(got.recipients, QStringList{"hidden@example.org"});
        PythonReading mail = ReadMailWithPython(got.content);
        QVERIFY2(mail.defects.isEmpty(), qPrintable(mail.defects.join('\n')));
        QCOMPARE(mail.header("To"), QStringLiteral("undisclosed-recipients:;"));
        QCOMPARE(mail.header("Message-ID"), QStringLiteral("<keep.this@tracker.example.org>"));
        QCOMPARE(mail.header("Date"), QStringLiteral("Tue, 01 Dec 2026 10:00:00 +0100"));
        QCOMPARE(mail.header("Subject"), doc.subject);
        QCOMPARE(mail.header("X-Long"), QStringLiteral("word ").repeated(60).trimmed());
        QCOMPARE(mail.header("Reply-To"), QStringLiteral("Ünïcode Support <support@example.org>"));
        QCOMPARE(mail.headerCount("X-Empty"), 0);
        QVERIFY(!got.content.contains("hidden@example.org"));
        QVERIFY(mail.longestEncodedWord <= 75);

        doc.headers = {{"Message-ID", "no id at all"}, {"Date", "yesterday"}};
        got = deliverOne(doc, ctx);
        mail = ReadMailWithPython(got.content);
        QVERIFY2(mail.defects.isEmpty(), qPrintable(mail.defects.join('\n')));
        QVERIFY(mail.header("Message-ID").endsWith(QStringLiteral("@example.org>")));
        QVERIFY(mail.header("Date") != QStringLiteral("yesterday"));
        QCOMPARE(mail.headerCount("Date"), 1);
    }

    void documentsInTheirOwnEncodings()
    {
        struct Case {
            const char* declared;
            const char* python;
            QString subject;
            QString body;
        };
        const QString japanese = QStringLiteral("障害 42 の担当者が変わりました");
        const QList<Case> cases{
            {"Shift_JIS", "shift_jis", japanese, QStringLiteral("本文: ソース「テスト」の不具合。\n二行目。")},
            {"EUC-JP", "euc_jp", japanese, QStringLiteral("本文: 表示の不具合。\n二行目。")},
            {"ISO-2022-JP", "iso2022_jp", japanese, QStringLiteral("本文: 漢字とかな。")},
            {"GB18030", "gb18030", QStringLiteral("缺陷 42 已解决"), QStringLiteral("正文：请查看附件。€")},
            {"GBK", "gbk", QStringLiteral("缺陷 42 已更新"), QStringLiteral("正文")},
            {"Big5", "big5", QStringLiteral("缺陷 42 已更新"), QStringLiteral("內文：請查看。")},
            {"ISO-8859-1", "latin-1", QStringLiteral("Défaut 42 résolu"), QStringLiteral("Größe: 3 µm")},
            {"ISO-8859-15", "iso8859_15", QStringLiteral("Prix 42 €"), QStringLiteral("Œuvre")},
            {"windows-1252", "cp1252", QStringLiteral("“Defect” 42 – fixed"), QStringLiteral("Price: 5 €")},
            {"windows-1251", "cp1251", QStringLiteral("Дефект 42 исправлен"), QStringLiteral("Текст")},
            {"UTF-16", "utf-16", QStringLiteral("障害 42 · UTF-16"), QStringLiteral("本文 ✔")},
        };
        for (const Case& c : cases) {
            FakeContext ctx = context();
            MailDocBuilder doc;
            doc.declaredEncoding = QString::fromLatin1(c.declared);
            doc.subject = c.subject;
            doc.body = c.body;
            doc.to = {QStringLiteral("Yamada <yamada@example.jp>")};
            const QByteArray bytes = EncodeWithPython(doc.build(), QString::fromLatin1(c.python));
            QVERIFY2(!bytes.isEmpty(), c.declared);
            QString list;
            const int before = sink.count();
            QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, bytes, list), DeliveryOutcome::Delivered);
            QCOMPARE(sink.count(), before + 1);
            const PythonReading mail = ReadMailWithPython(sink.messages().last().content);
            QCOMPARE(mail.header("Subject"), c.subject);
            QCOMPARE(Text(mail.part("1")).trimmed(), c.body);
        }

        // Bytes that are not valid in the declared encoding, or in UTF-8 without a declaration:
        // refused with the encoding and the place, nothing sent, nothing counted, by both transports.
        MailDocBuilder doc;
        doc.declaredEncoding = QStringLiteral("Shift_JIS");
        doc.subject = QStringLiteral("BROKEN");
        doc.attachments = {{"a.txt", "data"}};
        QByteArray sjis = EncodeWithPython(doc.build(), QStringLiteral("shift_jis"));
        const qsizetype broken = sjis.indexOf("BROKEN");
        sjis[broken] = char(0x82);
        sjis[broken + 1] = char(0xFF); // a lead byte with no trail byte of Shift_JIS after it
        MailDocBuilder utf8Doc;
        utf8Doc.subject = QStringLiteral("BROKEN");
        QByteArray badUtf8 = utf8Doc.build();
        badUtf8[badUtf8.indexOf("BROKEN")] = char(0xC3);
        badUtf8[badUtf8.indexOf("ROKEN")] = char(0x28);
        MailDocBuilder unknown;
        unknown.declaredEncoding = QStringLiteral("x-no-such-encoding");
        const struct {
            QByteArray bytes;
            QString encoding;
        } refused[] = {{sjis, QStringLiteral("Shift_JIS")}, {badUtf8, QStringLiteral("UTF-8")},
                       {unknown.build(), QStringLiteral("x-no-such-encoding")}};
        for (const auto& r : refused) {
            const int before = sink.count();
            FakeContext ctx = context();
            QString list;
            QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, r.bytes, list), DeliveryOutcome::FailedPermanently);
            QCOMPARE(ctx.log.size(), 1);
            QVERIFY2(ctx.log[0].startsWith(QStringLiteral("XML Stream Failed to Load.  Error: ")), qPrintable(ctx.log[0]));
            QVERIFY2(ctx.log[0].contains(r.encoding), qPrintable(ctx.log[0]));
            QCOMPARE(ctx.relays, 0);

            FakeContext viaComponent;
            viaComponent.sendmail = QStringLiteral("/bin/true");
            QCOMPARE(DeliverXMLMailMsgViaZorvix(viaComponent, r.bytes), DeliveryOutcome::FailedPermanently);
            QCOMPARE(viaComponent.log, ctx.log);
            QCOMPARE(viaComponent.relays, 0);
            QCOMPARE(sink.count(), before);
        }
        FakeContext ctx = context();
        QString list;
        DeliverXMLMailMsgViaCDO(ctx, sjis, list);
        QVERIFY2(ctx.log[0].contains(QStringLiteral("byte offset %1 (line 2)").arg(broken)), qPrintable(ctx.log[0]));
        QVERIFY(StagedFiles().isEmpty());
    }

    void lineEndsAndLongLinesOnTheWire()
    {
        // References to CR and LF, alone or together, and a line far over 998 octets: in plain and
        // HTML mail, through both transports, every line ends in CRLF and none is too long.
        const QString longLine = QStringLiteral("0123456789").repeated(250);
        const QString bodyXml =
            QStringLiteral("x&#13;.&#13;&#10;MAIL FROM:&lt;ceo@corp&gt;&#13;&#10;RCPT TO:&lt;a@b&gt;"
                           "&#10;lone LF&#13;lone CR&#13;&#13;two CRs\n") +
            longLine + QStringLiteral("\nend");
        const QString expected =
            QStringLiteral("x\n.\nMAIL FROM:<ceo@corp>\nRCPT TO:<a@b>\nlone LF\nlone CR\n\ntwo CRs\n") + longLine +
            QStringLiteral("\nend");
        FakeContext ctx = context();
        MailDocBuilder plain;
        plain.bodyXml = bodyXml;
        const ReceivedMail got = deliverOne(plain, ctx);
        QVERIFY2(!got.content.isEmpty(), qPrintable(ctx.joinedLog()));
        QVERIFY2(WireFaults(got.content).isEmpty(), qPrintable(WireFaults(got.content)));
        const PythonReading mail = ReadMailWithPython(got.content);
        QCOMPARE(mail.part("1").value("cte").toString(), QStringLiteral("quoted-printable"));
        QCOMPARE(Text(mail.part("1")).trimmed(), expected);

        MailDocBuilder html;
        html.contentType = QStringLiteral("text/html");
        html.bodyXml = QStringLiteral("&lt;p&gt;") + bodyXml +
            QStringLiteral("&lt;/p&gt;&lt;pre&gt;a&#13;b&#13;&#10;c&lt;/pre&gt;");
        const ReceivedMail rich = deliverOne(html, ctx);
        QVERIFY2(WireFaults(rich.content).isEmpty(), qPrintable(WireFaults(rich.content)));
        const PythonReading richMail = ReadMailWithPython(rich.content);
        QVERIFY(Text(richMail.part("1.1")).contains(QStringLiteral("a\nb\nc")));
        QVERIFY(Text(richMail.part("1.2")).contains(QStringLiteral("lone LF\nlone CR\n\ntwo CRs\n") + longLine));

        // The mail component composes the same way.
        QString input;
        FakeContext viaComponent = sendmailContext(QStringLiteral("sendmail-lines"), input);
        QCOMPARE(DeliverXMLMailMsgViaZorvix(viaComponent, plain.build()), DeliveryOutcome::Delivered);
        const QByteArray handed = submitted(input);
        QVERIFY2(WireFaults(handed).isEmpty(), qPrintable(WireFaults(handed)));
        QCOMPARE(Text(ReadMailWithPython(handed).part("1")).trimmed(), expected);

        // Short ASCII lines stay 7bit; mostly non-ASCII text goes in base64.
        MailDocBuilder ascii;
        auto encodingOf = [&](const MailDocBuilder& doc) {
            return ReadMailWithPython(deliverOne(doc, ctx).content).part("1").value("cte").toString();
        };
        ascii.body = QStringLiteral("short\nlines");
        QCOMPARE(encodingOf(ascii), QStringLiteral("7bit"));
        ascii.body = QStringLiteral("障害の内容\n二行目");
        QCOMPARE(encodingOf(ascii), QStringLiteral("base64"));
    }

    void longHeaderNamesAndValues()
    {
        // A name no line can hold is refused and logged; display names and values of 1,200
        // characters fold or travel encoded, and read back whole.
        const QString longName = QStringLiteral("X-") + QStringLiteral("N").repeated(1198);
        const QString atoms = QStringLiteral("Tracker").repeated(170);              // one word of 1,190 letters
        const QString quoted = QStringLiteral("Q\"u,o(t)e;d ").repeated(100).trimmed(); // needs quoting
        const QString japanese = QStringLiteral("山田").repeated(600);
        const QString word = QStringLiteral("v").repeated(1500);
        FakeContext ctx = context();
        MailDocBuilder doc;
        doc.from = atoms + QStringLiteral(" <tracker@example.org>");
        doc.to = {QStringLiteral("\"%1\" <alice@example.org>").arg(QString(quoted).replace('"', "\\\"")),
                  japanese + QStringLiteral(" <yamada@example.jp>")};
        doc.subject = word;
        const QString longestTaken = QStringLiteral("X-").append(QString(900, 'M'));
        doc.headers = {{longName, "refused"}, {"X-Word", word}, {longestTaken, "kept"}, {"X Blank", "refused too"}};
        const ReceivedMail got = deliverOne(doc, ctx);
        QVERIFY2(!got.content.isEmpty(), qPrintable(ctx.joinedLog()));
        QVERIFY2(WireFaults(got.content).isEmpty(), qPrintable(WireFaults(got.content)));
        const QStringList refusals = ctx.log.filter(QStringLiteral("refused:"));
        QCOMPARE(refusals.size(), 2);
        QVERIFY2(refusals[0].startsWith(QStringLiteral("Header '%1' refused: ").arg(longName)) &&
                     refusals[0].contains(QStringLiteral("1200")),
                 qPrintable(refusals[0].right(120)));
        QVERIFY2(refusals[1].startsWith(QStringLiteral("Header 'X Blank' refused: ")), qPrintable(refusals[1]));
        QVERIFY(!got.content.contains("refused"));

        const PythonReading mail = ReadMailWithPython(got.content);
        QVERIFY2(mail.defects.isEmpty(), qPrintable(mail.defects.join('\n')));
        QCOMPARE(mail.header("Subject"), word);
        QCOMPARE(mail.header("X-Word"), word);
        QCOMPARE(mail.header(longestTaken), QStringLiteral("kept"));
        const ParsedMail parsed = ParseMail(got.content);
        QCOMPARE(parsed.fromNames, QStringList{atoms});
        QCOMPARE(parsed.sender, QStringList{"tracker@example.org"});
        QCOMPARE(parsed.toNames, (QStringList{quoted, japanese}));
        QCOMPARE(parsed.to, (QStringList{"alice@example.org", "yamada@example.jp"}));
        QCOMPARE(got.recipients, (QStringList{"alice@example.org", "yamada@example.jp"}));

        // The composer's own rule, as the log gives it.
        QVERIFY(MimeMessageBuilder::HeaderRefusal(QStringLiteral("X-").append(QString(994, 'n')), "v").isEmpty());
        QVERIFY(!MimeMessageBuilder::HeaderRefusal(QStringLiteral("X-").append(QString(995, 'n')), "v").isEmpty());
        QVERIFY(MimeMessageBuilder::HeaderRefusal("X-A", "line\r\nbreak").contains(QStringLiteral("line break")));

        // Through the mail component: the same From, folded the same way.
        QString input;
        FakeContext viaComponent = sendmailContext(QStringLiteral("sendmail-headers"), input);
        QCOMPARE(DeliverXMLMailMsgViaZorvix(viaComponent, doc.build()), DeliveryOutcome::Delivered);
        const QByteArray handed = submitted(input);
        QVERIFY2(WireFaults(handed).isEmpty(), qPrintable(WireFaults(handed)));
        QCOMPARE(ParseMail(handed).fromNames, QStringList{atoms});
    }

    void deeplyNestedLinks()
    {
        // Links inside links: each ends where the next begins, as in a browser, and every target
        // stands after its own text; the image inside them all is still linked.
        constexpr int kDepth = 3000;
        QString html;
        for (int i = 0; i < kDepth; ++i)
            html += QStringLiteral("<a href=\"https://bt.example.org/d/%1\">defect %1 ").arg(i);
        html += QStringLiteral("<img src=\"logo.png\">");
        for (int i = 0; i < kDepth; ++i)
            html += QStringLiteral("</a>");
        const QString text = HtmlToPlainText(html);
        qsizetype at = 0;
        for (int i = 0; i < kDepth; ++i) {
            const QString expected = QStringLiteral("defect %1 <https://bt.example.org/d/%1>").arg(i);
            const qsizetype found = text.indexOf(expected, at);
            QVERIFY2(found == at || (i > 0 && found == at + 1), qPrintable(expected));
            at = found + expected.size();
        }
        // A link whose text shows its target gets no second copy of it.
        QCOMPARE(HtmlToPlainText(QStringLiteral("<a href=\"https://x.example/\">see https://x.example/</a> "
                                                "<a href=\"mailto:a@example.org\">a@example.org</a>")),
                 QStringLiteral("see https://x.example/ a@example.org\n"));
        QHash<QString, QString> ids{{QStringLiteral("logo.png"), QStringLiteral("logo@example.org")}};
        QString linked = html;
        QCOMPARE(LinkInlineImages(linked, ids), 1);
        QCOMPARE(linked.size(), html.size() - 10 + 22);
        QVERIFY(linked.contains(QStringLiteral("<img src=\"cid:logo@example.org\">")));
        // CSS that never closes its url( still links the one that does.
        QString css = QStringLiteral("<p style=\"background: url(url(url(x; color: url('a) url(logo.png)\">") +
            QStringLiteral("url(\"").repeated(500) + QStringLiteral("</p>");
        QCOMPARE(LinkInlineImages(css, ids), 1);
        QVERIFY(css.contains(QStringLiteral("url(cid:logo@example.org)")));

        // The whole mail: the text alternative is one long line, and travels encoded.
        FakeContext ctx = context();
        MailDocBuilder doc;
        doc.contentType = QStringLiteral("text/html");
        doc.body = html;
        doc.attachments = {{"logo.png", RandomBytes(300)}};
        const ReceivedMail got = deliverOne(doc, ctx);
        QVERIFY2(!got.content.isEmpty(), qPrintable(ctx.joinedLog()));
        const PythonReading mail = ReadMailWithPython(got.content);
        QCOMPARE(Text(mail.part("1.1.1")).trimmed(), text.trimmed());
        QVERIFY(Text(mail.part("1.1.2")).contains(QStringLiteral("src=\"cid:")));
    }

    void textFormDocumentsReadAsTheirCharacters()
    {
        // A payload of the tracker's store is text: its declaration named the encoding of a file
        // it no longer is. Read as what it holds, by both transports.
        struct Case {
            const char* declared;
            QString subject;
        };
        const QList<Case> cases{{"Shift_JIS", QStringLiteral("障害 42「テスト」が更新されました")},
                                {"ISO-8859-1", QStringLiteral("Café 42 résolu")},
                                {"GB18030", QStringLiteral("缺陷 42 已解决 €")}};
        for (const Case& c : cases) {
            MailDocBuilder doc;
            doc.declaredEncoding = QString::fromLatin1(c.declared);
            doc.subject = c.subject;
            doc.body = c.subject + QStringLiteral("\n本文");
            FakeContext ctx = context();
            ctx.networkRelay = false;
            QString list;
            const int before = sink.count();
            QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, doc.build(), list, nullptr, {}, DocumentForm::Text),
                     DeliveryOutcome::Delivered);
            QCOMPARE(sink.count(), before + 1);
            const PythonReading mail = ReadMailWithPython(sink.messages().last().content);
            QCOMPARE(mail.header("Subject"), c.subject);
            QCOMPARE(Text(mail.part("1")).trimmed(), doc.body);

            QString input;
            FakeContext viaComponent = sendmailContext(QStringLiteral("sendmail-text"), input);
            QCOMPARE(DeliverXMLMailMsgViaZorvix(viaComponent, doc.build(), nullptr, DocumentForm::Text),
                     DeliveryOutcome::Delivered);
            QCOMPARE(ReadMailWithPython(submitted(input)).header("Subject"), c.subject);
        }
        // With a byte order mark, and refused when the bytes are not UTF-8 after all.
        MailDocBuilder doc;
        doc.declaredEncoding = QStringLiteral("Shift_JIS");
        LoadedMailDocument withMark = LoadMailDocument("\xEF\xBB\xBF" + doc.build(), DocumentForm::Text);
        QCOMPARE(ReadElementText(withMark.root, "Subject"), doc.subject);
        LoadedMailDocument notText = LoadMailDocument(EncodeWithPython(doc.build(), QStringLiteral("utf-16")),
                                                      DocumentForm::Text);
        QVERIFY2(!notText.loaded() && notText.failureReason.contains(QStringLiteral("UTF-8")),
                 qPrintable(notText.failureReason));
        // The same text as bytes keeps today's rule: the declaration tells the encoding.
        doc.declaredEncoding = QStringLiteral("ISO-8859-1");
        doc.subject = QStringLiteral("Café");
        QCOMPARE(ReadElementText(LoadMailDocument(doc.build()).root, "Subject"), QStringLiteral("CafÃ©"));
        // The declaration in the forms XML allows: either quote, blanks around "=".
        const DecodedDocument latin = DecodeDocument("<?xml version='1.0'\n encoding = 'ISO-8859-1'?><a>\xE9</a>");
        QCOMPARE(latin.encoding, QStringLiteral("ISO-8859-1"));
        QCOMPARE(latin.utf8, QByteArray("<?xml version='1.0'\n encoding = 'ISO-8859-1'?><a>\xC3\xA9</a>"));
        QCOMPARE(DecodeDocument("<?xml version=\"1.0\" xencoding=\"latin1\"?><a/>").encoding, QStringLiteral("UTF-8"));
    }

    void disallowedCharacterReferences()
    {
        // Every reference XML does not allow reads as U+FFFD and the text goes on; allowed ones,
        // and anything inside CDATA, stay as they are.
        const struct {
            QString xml;
            QString text;
            QString first; // named in the log
        } cases[] = {
            {"before&#0;after", QStringLiteral("before\uFFFDafter"), "&#0;"},
            {"x&#xD800;y&#xDFFF;z", QStringLiteral("x\uFFFDy\uFFFDz"), "&#xD800;"},
            {"a&#1;b&#x1F;c&#8;d", QStringLiteral("a\uFFFDb\uFFFDc\uFFFDd"), "&#1;"},
            {"&#xFFFE;&#xFFFF;&#65533;", QStringLiteral("\uFFFD\uFFFD\uFFFD"), "&#xFFFE;"},
            {"&#x110000;&#99999999999999999999;&#x10FFFF;",
             QStringLiteral("\uFFFD\uFFFD") + QChar(0xDBFF) + QChar(0xDFFF), "&#x110000;"},
            {"t&#9;&#10;&#13;&#x41;&#66;&amp;&lt;&gt;&apos;&quot;&unknown;&#;&#x;&#12&#X41;",
             "t\t\n\rAB&<>'\"&unknown;&#;&#x;&#12&#X41;", ""},
            {"<![CDATA[&#0;]]>&#0;<![CDATA[&amp;]]>", QStringLiteral("&#0;\uFFFD&amp;"), "&#0;"},
        };
        for (const auto& c : cases) {
            LoadedMailDocument doc = LoadMailDocument("<BT_mail_Msg><Body>" + c.xml.toUtf8() +
                                                      "</Body><!-- &#0; --></BT_mail_Msg>");
            QVERIFY2(doc.loaded(), qPrintable(doc.failureReason));
            QCOMPARE(ReadElementText(doc.root, "Body"), c.text);
            QVERIFY(IsValidUtf8(ReadElementTextUtf8(doc.root, "Body")));
            QCOMPARE(doc.replacedReference, c.first);
        }

        // Delivered whole and as valid UTF-8, with one log line naming the first reference.
        FakeContext ctx = context();
        MailDocBuilder doc;
        doc.bodyXml = QStringLiteral("before&#0;after x&#xD800;y");
        doc.subject = QStringLiteral("s");
        QString list;
        const ReceivedMail got = deliverOne(doc, ctx);
        QVERIFY2(!got.content.isEmpty(), qPrintable(ctx.joinedLog()));
        const QString expected = QStringLiteral("before\uFFFDafter x\uFFFDy");
        QCOMPARE(Text(ReadMailWithPython(got.content).part("1")).trimmed(), expected);
        QCOMPARE(ctx.log.filter(QStringLiteral("character reference")).size(), 1);
        QCOMPARE(ctx.log.first(), BuildResourceMessage(msg::CharacterReferenceReplaced, {QStringLiteral("&#0;")}));

        QString input;
        FakeContext viaComponent = sendmailContext(QStringLiteral("sendmail-references"), input);
        QCOMPARE(DeliverXMLMailMsgViaZorvix(viaComponent, doc.build()), DeliveryOutcome::Delivered);
        QCOMPARE(Text(ReadMailWithPython(submitted(input)).part("1")).trimmed(), expected);
        QCOMPARE(viaComponent.log, QStringList{ctx.log.first()});
    }

    void attachedMessages()
    {
        // A message goes as message/rfc822 in 7bit or 8bit, its line ends made CRLF; one whose
        // lines do not allow that goes as plain bytes in base64; never a message in base64.
        const QByteArray ascii = "From: Alice <alice@example.org>\r\nTo: bob@example.org\r\nSubject: Forwarded\r\n"
                                 "Message-ID: <1@example.org>\r\n\r\nThe original text.\r\n";
        const QByteArray eightBit = QStringLiteral("From: 山田 <yamada@example.jp>\nSubject: 転送\n"
                                                   "Date: Tue, 1 Dec 2026 10:00:00 +0900\nMIME-Version: 1.0\n"
                                                   "Content-Type: text/plain; charset=utf-8\n\n本文です。\rCR only\n")
                                        .toUtf8();
        const QByteArray longLine = "From: a@example.org\r\nSubject: Long\r\n\r\n" + QByteArray(1200, 'x') + "\r\n";
        const QByteArray binary = QByteArray("From: a@example.org\r\nSubject: Nul\r\n\r\na\0b", 40);
        FakeContext ctx = context();
        MailDocBuilder doc;
        doc.attachments = {{"note.eml", ascii}, {"reply.EML", eightBit}, {"forwarded", ascii},
                           {"long.eml", longLine}, {"nul.eml", binary}, {"notes", "From here on\r\nnothing"},
                           {"empty.eml", ""}, {"text.eml", "no header at all\r\n"}};
        const ReceivedMail got = deliverOne(doc, ctx);
        QVERIFY2(!got.content.isEmpty(), qPrintable(ctx.joinedLog()));
        QVERIFY2(WireFaults(got.content).isEmpty(), qPrintable(WireFaults(got.content)));
        const PythonReading mail = ReadMailWithPython(got.content);
        QVERIFY2(mail.defects.isEmpty(), qPrintable(mail.defects.join('\n')));
        QCOMPARE(mail.tree, QStringLiteral("multipart/mixed(text/plain,message/rfc822,message/rfc822,message/rfc822,"
                                           "application/octet-stream,application/octet-stream,"
                                           "application/octet-stream,application/octet-stream,"
                                           "application/octet-stream)"));
        const QJsonObject note = mail.part("1.2");
        QCOMPARE(note.value("cte").toString(), QStringLiteral("7bit"));
        QCOMPARE(note.value("filename").toString(), QStringLiteral("note.eml"));
        QCOMPARE(note.value("disposition").toString(), QStringLiteral("attachment"));
        QCOMPARE(note.value("message_subject").toString(), QStringLiteral("Forwarded"));
        QCOMPARE(note.value("message_body").toString().replace("\r\n", "\n"), QStringLiteral("The original text.\n"));
        const QJsonObject reply = mail.part("1.3");
        QCOMPARE(reply.value("cte").toString(), QStringLiteral("8bit"));
        QCOMPARE(reply.value("message_subject").toString(), QStringLiteral("転送"));
        QCOMPARE(reply.value("message_body").toString().replace("\r\n", "\n"), QStringLiteral("本文です。\nCR only\n"));
        QCOMPARE(mail.part("1.4").value("message_subject").toString(), QStringLiteral("Forwarded"));
        for (const auto& [path, name, bytes] :
             {std::tuple{"1.5", "long.eml", longLine}, std::tuple{"1.6", "nul.eml", binary},
              std::tuple{"1.8", "empty.eml", QByteArray()},
              std::tuple{"1.9", "text.eml", QByteArray("no header at all\r\n")}}) {
            const QJsonObject part = mail.part(QString::fromLatin1(path));
            QCOMPARE(part.value("cte").toString(), QStringLiteral("base64"));
            QCOMPARE(part.value("filename").toString(), QString::fromLatin1(name));
            QCOMPARE(QByteArray::fromBase64(part.value("base64").toString().toLatin1()), bytes);
        }
        // reformime and GMime read the same structure; the attached message is there whole.
        const ReformimeReading reformime = ReadMailWithReformime(got.content);
        QVERIFY2(reformime.problems.isEmpty(), qPrintable(reformime.problems));
        QVERIFY2(reformime.sections.contains(QStringLiteral("1.2.1")), qPrintable(reformime.sections.join(',')));
        QVERIFY2(reformime.fileNames.contains(QStringLiteral("note.eml")), qPrintable(reformime.fileNames.join(',')));
        const ParsedMail parsed = ParseMail(got.content);
        QCOMPARE(parsed.leaves[1].contentType, QStringLiteral("message/rfc822"));
        QCOMPARE(parsed.leaves[1].transferEncoding, QStringLiteral("7bit"));
        QVERIFY(parsed.leaves[1].content.contains("The original text."));
        QVERIFY(StagedFiles().isEmpty());
    }

    void hostFaultsWhileStagingAreTemporary()
    {
        // A temporary folder that cannot be used, or a disk that fills: the host's fault, so the
        // caller keeps the mail; no file is left behind. A body that is not base64 stays the
        // document's fault.
        MailDocBuilder doc;
        doc.attachments = {{"a.txt", "first"}, {"b.bin", RandomBytes(5000)}};
        const QByteArray document = doc.build();
        auto attempt = [&](const QString& expected) -> QString {
            FakeContext ctx = context();
            QString list;
            const int before = sink.count();
            try {
                DeliverXMLMailMsgViaCDO(ctx, document, list);
            } catch (const DeliveryError& e) {
                if (!e.temporary())
                    return QStringLiteral("permanent: ") + e.text();
                if (!e.text().contains(expected))
                    return QStringLiteral("not naming the cause: ") + e.text();
                if (sink.count() != before)
                    return QStringLiteral("sent all the same");
                return {};
            }
            return QStringLiteral("no error");
        };
        const QByteArray savedTmp = qgetenv("TMPDIR");
        const QString folder = StagingFolder();
        QVERIFY(StagedFiles().isEmpty());
        QVERIFY(QDir().rmdir(folder)); // made again when next needed, under TMPDIR as it is then
        QFile notAFolder(scratch.filePath(QStringLiteral("tmpdir-file")));
        QVERIFY(notAFolder.open(QIODevice::WriteOnly));
        notAFolder.close();
        qputenv("TMPDIR", QFile::encodeName(notAFolder.fileName()));
        QString failure = attempt(QString::fromLocal8Bit(std::strerror(ENOTDIR)));
        qputenv("TMPDIR", QFile::encodeName(scratch.filePath(QStringLiteral("missing"))));
        const QString missing = attempt(QString::fromLocal8Bit(std::strerror(ENOENT)));
        qputenv("TMPDIR", savedTmp);
        if (savedTmp.isNull())
            qunsetenv("TMPDIR");
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QVERIFY2(missing.isEmpty(), qPrintable(missing));

        // A full disk and a failing one, half way through the attachments.
        for (int error : {ENOSPC, EDQUOT, EIO}) {
            SetStagingWriteError(error);
            failure = attempt(QString::fromLocal8Bit(std::strerror(error)));
            SetStagingWriteError(0);
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
            QVERIFY(StagedFiles().isEmpty());
        }
        // Everything works again once the host does.
        FakeContext ctx = context();
        QString list;
        QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, document, list), DeliveryOutcome::Delivered);
        QVERIFY(StagedFiles().isEmpty());

        // The document's own faults stay permanent.
        QByteArray bad = document;
        bad.replace(QByteArray("first").toBase64(), "@@@@");
        try {
            DeliverXMLMailMsgViaCDO(ctx, bad, list);
            QFAIL("a body that is not base64 was taken");
        } catch (const DeliveryError& e) {
            QVERIFY(!e.temporary());
        }
        MailDocBuilder noList;
        noList.withAttachmentList = false;
        try {
            DeliverXMLMailMsgViaCDO(ctx, noList.build(), list);
            QFAIL("a document without AttachmentList was taken");
        } catch (const DeliveryError& e) {
            QVERIFY(!e.temporary());
        }
        QVERIFY(StagedFiles().isEmpty());
    }

    void stagingFoldersOfKilledRelaysAreRemoved()
    {
        // A relay killed before it could remove its staging folder leaves it behind; the next
        // one to make its own removes such folders, and nothing else.
        auto startTime = [](qint64 pid) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            if (!stat.open(QIODevice::ReadOnly))
                return QByteArray();
            const QByteArray text = stat.readAll();
            return text.mid(text.lastIndexOf(')') + 1).simplified().split(' ').value(22 - 3);
        };
        QProcess ended;
        ended.start(QStringLiteral("/bin/true"));
        QVERIFY(ended.waitForStarted());
        const qint64 deadPid = ended.processId();
        QVERIFY(ended.waitForFinished());
        QProcess running;
        running.start(QStringLiteral("/bin/sleep"), {QStringLiteral("600")});
        QVERIFY(running.waitForStarted());
        const qint64 livePid = running.processId();
        const QByteArray liveStart = startTime(livePid);
        QVERIFY(!liveStart.isEmpty());

        struct stat nsStat {};
        QCOMPARE(::stat("/proc/self/ns/pid", &nsStat), 0);
        const QString ns = QString::number(nsStat.st_ino);
        QTemporaryDir tmp;
        QDir parent(tmp.path());
        auto folder = [&](const QString& name) {
            parent.mkdir(name);
            QFile file(parent.filePath(name + QStringLiteral("/staged.tmp")));
            file.open(QIODevice::WriteOnly);
            file.write("left over");
            return name;
        };
        const QString dead = folder(QStringLiteral("swnrelay-%1-4711-%2-aB3xYz").arg(deadPid).arg(ns));
        // The same pid, now of another process that started later.
        const QString reused = folder(QStringLiteral("swnrelay-%1-%2-%3-Qw9e7r").arg(livePid).arg(liveStart.toULongLong() + 1).arg(ns));
        const QString live = folder(QStringLiteral("swnrelay-%1-%2-%3-Zx8c6v").arg(livePid).arg(QString::fromLatin1(liveStart)).arg(ns));
        const QString liveWithoutStart = folder(QStringLiteral("swnrelay-%1-0-%2-Kj2h4g").arg(livePid).arg(ns));
        const QString notOurs = folder(QStringLiteral("swnrelay-Ab12Cd"));
        // A dead pid of another pid namespace may be a live relay in a container.
        const QString otherNamespace = folder(QStringLiteral("swnrelay-%1-4711-%2-Cn7t4r").arg(deadPid).arg(nsStat.st_ino + 1));
        // What a link leads to stays, named in the folder or as the folder itself.
        QTemporaryDir elsewhere;
        const QString kept = elsewhere.filePath(QStringLiteral("kept.txt"));
        QFile keptFile(kept);
        QVERIFY(keptFile.open(QIODevice::WriteOnly));
        keptFile.close();
        QVERIFY(QFile::link(kept, parent.filePath(dead + QStringLiteral("/link.tmp"))));
        const QString linked = QStringLiteral("swnrelay-%1-4711-%2-Ln5k3j").arg(deadPid).arg(ns);
        QVERIFY(QFile::link(elsewhere.path(), parent.filePath(linked)));

        // Made anew under this temporary folder, as after a change of TMPDIR.
        const QByteArray savedTmp = qgetenv("TMPDIR");
        QVERIFY(StagedFiles().isEmpty());
        QVERIFY(QDir().rmdir(StagingFolder()));
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        const QString own = StagingFolder();
        qputenv("TMPDIR", savedTmp);
        if (savedTmp.isNull())
            qunsetenv("TMPDIR");
        QCOMPARE(QFileInfo(own).absolutePath(), QFileInfo(tmp.path()).absoluteFilePath());
        QVERIFY2(QFileInfo(own).fileName().startsWith(QStringLiteral("swnrelay-%1-").arg(QCoreApplication::applicationPid())),
                 qPrintable(own));
        QStringList left = parent.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
        left.sort();
        QStringList expected{QFileInfo(own).fileName(), live, liveWithoutStart, notOurs, otherNamespace, linked};
        expected.sort();
        QCOMPARE(left, expected);
        QVERIFY(QFile::exists(parent.filePath(live + QStringLiteral("/staged.tmp"))));
        QVERIFY(QFile::exists(kept));
        QVERIFY(QFileInfo(parent.filePath(linked)).isSymLink());

        // A later relay of another pid finds this one running.
        RemoveDeadStagingFolders(tmp.path());
        QVERIFY(QFileInfo(own).isDir());
        QVERIFY(QFileInfo(parent.filePath(live)).isDir());
        // Once its owner is gone, its folder goes too.
        running.kill();
        QVERIFY(running.waitForFinished());
        RemoveDeadStagingFolders(tmp.path());
        QVERIFY(!QFileInfo::exists(parent.filePath(live)));
        QVERIFY(!QFileInfo::exists(parent.filePath(liveWithoutStart)));
        QVERIFY(QDir().rmdir(own)); // the next use makes it again under the usual folder
    }

    void fiftyThousandRecipients()
    {
        // Each address once in the envelope, in order, each from the first list naming it, and the
        // To and Cc lines folded into lines readers accept.
        constexpr int kCount = 50000;
        QStringList to, cc, bcc;
        for (int i = 0; i < kCount; ++i)
            (i % 3 == 0 ? to : i % 3 == 1 ? cc : bcc) << QStringLiteral("user%1@example.org").arg(i);
        cc << to.mid(0, 100); // listed twice: the first list counts
        bcc << QStringLiteral("Büro <buero@bücher.example>") << QStringLiteral("x@xn--bcher-kva.example");
        MimeMessageBuilder builder;
        builder.setFrom(QStringLiteral("tracker@example.org"), true);
        builder.setRecipients(RecipientKind::To, to);
        builder.setRecipients(RecipientKind::Cc, cc);
        builder.setRecipients(RecipientKind::Bcc, bcc);
        builder.setSubject(QStringLiteral("many"));
        builder.setBody("body", false);
        const QList<QByteArray> envelope = builder.envelopeRecipients();
        QCOMPARE(envelope.size(), kCount + 2);
        QCOMPARE(envelope.first(), QByteArray("user0@example.org"));
        QCOMPARE(envelope[qsizetype(to.size())], QByteArray("user1@example.org"));
        QCOMPARE(envelope.last(), QByteArray("x@xn--bcher-kva.example")); // ASCII stays as written
        QCOMPARE(envelope[envelope.size() - 2], QByteArray("buero@xn--bcher-kva.example"));
        int kinds[3] = {0, 0, 0};
        for (const QByteArray& address : envelope)
            ++kinds[int(builder.kindOf(address))];
        QCOMPARE(kinds[0], int(to.size()));
        QCOMPARE(kinds[1], int(cc.size()) - 100);
        QCOMPARE(kinds[2], int(bcc.size()));
        const QByteArray mail = Compose(builder);
        QVERIFY2(WireFaults(mail).isEmpty(), qPrintable(WireFaults(mail)));
        const QByteArray head = mail.left(mail.indexOf("\r\n\r\n"));
        QCOMPARE(head.count("@example.org"), int(to.size() + cc.size()) + 3); // From, Sender and Message-ID too
        QVERIFY(!head.contains("buero"));
    }

    void recipientsTheServerTakesGetTheMail()
    {
        // Three recipients, one refused: the other two get the mail; the refusal is logged with
        // the server's reply to that recipient, and no retry is due.
        FakeContext ctx = context();
        MailDocBuilder doc;
        doc.to = {"alice@example.org", "refused-bob@example.org"};
        doc.cc = {"carol@example.org"};
        QString list;
        DeliveryReport report;
        int before = sink.count();
        QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, doc.build(), list, &report), DeliveryOutcome::Delivered);
        QCOMPARE(sink.count(), before + 1);
        QCOMPARE(sink.messages().last().recipients, (QStringList{"alice@example.org", "carol@example.org"}));
        QCOMPARE(report.delivered, (QStringList{"alice@example.org", "carol@example.org"}));
        QCOMPARE(report.refused, QStringList{"refused-bob@example.org"});
        QVERIFY(report.pending.isEmpty());
        QCOMPARE(ctx.log.filter(QStringLiteral("Send Failed:")).size(), 1);
        QVERIFY2(ctx.log[0].contains(QStringLiteral("550 5.1.1 <refused-bob@example.org>: Recipient address rejected")) &&
                     ctx.log[0].contains(QStringLiteral("RCPT TO:<refused-bob@example.org>")),
                 qPrintable(ctx.log[0]));

        // A temporary refusal of one recipient: the others get it now, that one later, alone.
        sink.setFaults({"rcpt=carol@example.org 451"});
        FakeContext later = context();
        before = sink.count();
        doc.to = {"alice@example.org", "dave@example.org"};
        QCOMPARE(DeliverXMLMailMsgViaCDO(later, doc.build(), list, &report), DeliveryOutcome::RetryLater);
        QCOMPARE(report.pending, QStringList{"carol@example.org"});
        QCOMPARE(report.delivered, (QStringList{"alice@example.org", "dave@example.org"}));
        QVERIFY2(later.log[0].contains(QStringLiteral("451")) && later.log[0].contains(QStringLiteral("CC Addressees: carol")),
                 qPrintable(later.log[0]));
        sink.setFaults({});
        QCOMPARE(DeliverXMLMailMsgViaCDO(later, doc.build(), list, &report, report.pending), DeliveryOutcome::Delivered);
        QCOMPARE(sink.count(), before + 2);
        QCOMPARE(sink.messages().last().recipients, QStringList{"carol@example.org"});
        // The retry is the same mail: the same headers, the recipient lists unchanged.
        const PythonReading retried = ReadMailWithPython(sink.messages().last().content);
        QCOMPARE(retried.header("To"), QStringLiteral("alice@example.org, dave@example.org"));

        // Every recipient refused for good: a permanent failure.
        FakeContext none = context();
        doc.to = {"refused-1@example.org", "refused-2@example.org"};
        doc.cc.clear();
        before = sink.count();
        QCOMPARE(DeliverXMLMailMsgViaCDO(none, doc.build(), list, &report), DeliveryOutcome::FailedPermanently);
        QCOMPARE(sink.count(), before);
        QCOMPARE(report.refused.size(), 2);
        QCOMPARE(none.log.filter(QStringLiteral("Send Failed:")).size(), 2);

        // A server that takes two recipients per transaction: the rest go in further ones.
        sink.setFaults({"max-rcpt 2"});
        FakeContext many = context();
        doc.to = {"r1@example.org", "r2@example.org", "r3@example.org"};
        doc.cc = {"r4@example.org"};
        doc.bcc = {"r5@example.org"};
        before = sink.count();
        QCOMPARE(DeliverXMLMailMsgViaCDO(many, doc.build(), list, &report), DeliveryOutcome::Delivered);
        QVERIFY2(many.log.filter(QStringLiteral("Send Failed")).isEmpty(), qPrintable(many.joinedLog()));
        QCOMPARE(sink.count(), before + 3);
        QStringList reached;
        QSet<QString> ids;
        for (const ReceivedMail& m : sink.messages().mid(before)) {
            QVERIFY(m.recipients.size() <= 2);
            reached += m.recipients;
            ids.insert(ReadMailWithPython(m.content).header("Message-ID"));
        }
        QCOMPARE(reached, (QStringList{"r1@example.org", "r2@example.org", "r3@example.org", "r4@example.org",
                                      "r5@example.org"}));
        QCOMPARE(ids.size(), 1);
        QCOMPARE(report.delivered.size(), 5);

        // The older reply to a recipient over the limit postpones it like the newer one.
        sink.setFaults({"max-rcpt 2 552"});
        before = sink.count();
        QCOMPARE(DeliverXMLMailMsgViaCDO(many, doc.build(), list, &report), DeliveryOutcome::Delivered);
        QCOMPARE(sink.count(), before + 3);
        QCOMPARE(report.delivered.size(), 5);
        sink.setFaults({});

        // An address longer than any path a server takes is refused here; the others get the mail.
        FakeContext longer = context();
        const QString overlong = QString(250, QLatin1Char('x')) + QStringLiteral("@example.org");
        doc.to = {"r1@example.org", overlong};
        doc.cc.clear();
        doc.bcc.clear();
        before = sink.count();
        QCOMPARE(DeliverXMLMailMsgViaCDO(longer, doc.build(), list, &report), DeliveryOutcome::Delivered);
        QCOMPARE(sink.count(), before + 1);
        QCOMPARE(sink.messages().last().recipients, QStringList{"r1@example.org"});
        QCOMPARE(report.refused, QStringList{overlong});
        QVERIFY2(longer.joinedLog().contains(QStringLiteral("longer than 254 octets")), qPrintable(longer.joinedLog()));
    }

    void whatTheServerRefusesDecidesTheOutcome()
    {
        struct Case {
            QString fault;
            DeliveryOutcome outcome;
            QString logged; // in the reason of message 142
        };
        SetSmtpTimeouts(3, 3);
        const QList<Case> cases{
            {"connect close", DeliveryOutcome::ServerUnavailable, {}},
            {"greeting 554", DeliveryOutcome::ServerUnavailable, "554"},
            {"greeting hang", DeliveryOutcome::ServerUnavailable, "greeting"},
            {"ehlo 421", DeliveryOutcome::ServerUnavailable, "421"},
            {"mail 530", DeliveryOutcome::ServerUnavailable, "530 5.0.0 Refused at mail (test switch) (reply to MAIL FROM)"},
            {"mail 451", DeliveryOutcome::ServerUnavailable, "451 4.0.0 Refused at mail (test switch) (reply to MAIL FROM)"},
            {"mail hang", DeliveryOutcome::ServerUnavailable, "no reply to MAIL FROM"},
            // A sender refused for good fails this mail alone, not the server for every mail.
            {"mail 553", DeliveryOutcome::FailedPermanently, "553 5.0.0 Refused at mail (test switch) (reply to MAIL FROM)"},
            {"rcpt 550", DeliveryOutcome::FailedPermanently, "550"},
            {"rcpt 450", DeliveryOutcome::RetryLater, "450"},
            {"rcpt hang", DeliveryOutcome::ServerUnavailable, "RCPT TO"},
            {"data 554", DeliveryOutcome::FailedPermanently, "554 5.0.0 Refused at data (test switch) (reply to DATA)"},
            {"data 451", DeliveryOutcome::RetryLater, "(reply to DATA)"},
            {"enddata 552", DeliveryOutcome::FailedPermanently, "(reply to the end of the message data)"},
            {"enddata 451", DeliveryOutcome::RetryLater, "(reply to the end of the message data)"},
            {"enddata hang", DeliveryOutcome::ServerUnavailable, "no reply to the end of the message data"},
            {"enddata close", DeliveryOutcome::ServerUnavailable, {}},
            {"midmessage close", DeliveryOutcome::ServerUnavailable, {}},
        };
        for (const Case& c : cases) {
            // A server of its own for each case: a connection kept from an earlier mail would
            // skip the greeting and EHLO.
            SmtpSink faulty;
            QVERIFY(faulty.start(0, {QStringLiteral("--fault"), c.fault}));
            FakeContext ctx = context();
            ctx.smtpHost = faulty.hostText();
            MailDocBuilder doc;
            doc.to = {"alice@example.org", "bob@example.org"};
            doc.attachments = {{"a.txt", "data"}};
            QString list;
            DeliveryReport report;
            const DeliveryOutcome outcome = DeliverXMLMailMsgViaCDO(ctx, doc.build(), list, &report);
            QVERIFY2(outcome == c.outcome, qPrintable(c.fault + QStringLiteral(": ") + ctx.joinedLog()));
            QCOMPARE(faulty.count(), 0);
            const QString failures = ctx.log.filter(QStringLiteral("Send Failed:")).join(QLatin1Char('\n'));
            QVERIFY2(!failures.isEmpty() && failures.contains(c.logged), qPrintable(c.fault + QStringLiteral(": ") + failures));
            // Never the reply to the QUIT that followed.
            QVERIFY2(!failures.contains(QStringLiteral("221")), qPrintable(failures));
            QCOMPARE(report.outcome, c.outcome);
            if (IsTemporary(c.outcome))
                QCOMPARE(report.pending, (QStringList{"alice@example.org", "bob@example.org"}));
            else
                QCOMPARE(report.refused, (QStringList{"alice@example.org", "bob@example.org"}));
            QCOMPARE(ctx.log.last(), QStringLiteral("Instigator: tester # Recipients = 2"));
            QVERIFY(StagedFiles().isEmpty());
        }
        SetSmtpTimeouts(5, 5);
        // Switches set while the server runs take effect at the next command.
        FakeContext ctx = context();
        QString list;
        sink.setFaults({"data 554"});
        QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, MailDocBuilder().build(), list), DeliveryOutcome::FailedPermanently);
        sink.setFaults({});
        QCOMPARE(DeliverXMLMailMsgViaCDO(ctx, MailDocBuilder().build(), list), DeliveryOutcome::Delivered);
    }

    void transportSecurityAndAuthentication()
    {
        // A certificate of our own for 127.0.0.1, and a second one nobody trusts.
        auto makeCertificate = [&](const QString& name) {
            QProcess openssl;
            openssl.start(QStringLiteral("openssl"),
                          {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                           "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout",
                           scratch.filePath(name + ".key"), "-out", scratch.filePath(name + ".pem")});
            return openssl.waitForFinished(60000) && openssl.exitCode() == 0;
        };
        QVERIFY(makeCertificate(QStringLiteral("server")));
        QVERIFY(makeCertificate(QStringLiteral("stranger")));
        const QStringList tlsArguments{"--tls-cert", scratch.filePath("server.pem"), "--tls-key",
                                       scratch.filePath("server.key")};
        SmtpSink guarded;
        QVERIFY(guarded.start(0, tlsArguments + QStringList{"--require-starttls", "--auth", "relay:s3cret!pw"}));

        auto attempt = [&](const SmtpSink& server, SmtpSecurity security, DeliveryOutcome expected) {
            FakeContext ctx = context();
            ctx.smtpHost = server.hostText();
            ctx.security = security;
            QString list;
            const DeliveryOutcome outcome = DeliverXMLMailMsgViaCDO(ctx, MailDocBuilder().build(), list);
            // Whatever happens, the password never reaches the log.
            for (const QString& line : ctx.log)
                if (line.contains(QStringLiteral("s3cret")))
                    return QStringLiteral("password in the log: ") + line;
            if (outcome != expected)
                return QStringLiteral("outcome %1: %2").arg(int(outcome)).arg(ctx.joinedLog());
            return ctx.log.filter(QRegularExpression(QStringLiteral("^(Send Failed:|The SMTP settings)")))
                .join(QLatin1Char('\n'));
        };
        SmtpSecurity security;
        security.mode = SmtpSecurity::Mode::StartTls;
        security.user = QStringLiteral("relay");
        security.password = QStringLiteral("s3cret!pw");
        security.caFile = scratch.filePath("server.pem");
        // STARTTLS and AUTH: the mail arrives encrypted and authenticated.
        QString failures = attempt(guarded, security, DeliveryOutcome::Delivered);
        QVERIFY2(failures.isEmpty(), qPrintable(failures));
        QCOMPARE(guarded.count(), 1);
        QVERIFY(guarded.messages().last().overTls);
        QCOMPARE(guarded.messages().last().authUser, QStringLiteral("relay"));
        produced << guarded.messages().last().content;

        // A wrong password: refused with the server's reply, and the server is to blame.
        SmtpSecurity wrong = security;
        wrong.password = QStringLiteral("s3cret-but-wrong");
        failures = attempt(guarded, wrong, DeliveryOutcome::ServerUnavailable);
        QVERIFY2(failures.contains(QStringLiteral("535")), qPrintable(failures));
        // A certificate that does not verify: nothing is sent.
        SmtpSecurity untrusted = security;
        untrusted.caFile = scratch.filePath("stranger.pem");
        failures = attempt(guarded, untrusted, DeliveryOutcome::ServerUnavailable);
        QVERIFY2(failures.contains(QStringLiteral("certificate"), Qt::CaseInsensitive), qPrintable(failures));
        // A login without TLS is a setting to correct: the mail is kept, no password travels.
        SmtpSecurity plain = security;
        plain.mode = SmtpSecurity::Mode::None;
        failures = attempt(guarded, plain, DeliveryOutcome::ServerUnavailable);
        QVERIFY2(failures.contains(QStringLiteral("The SMTP settings cannot be used")), qPrintable(failures));
        QCOMPARE(guarded.count(), 1);

        // A server that offers no STARTTLS gets nothing at all.
        const int before = sink.count();
        SmtpSecurity startTls;
        startTls.mode = SmtpSecurity::Mode::StartTls;
        failures = attempt(sink, startTls, DeliveryOutcome::ServerUnavailable);
        QVERIFY2(failures.contains(QStringLiteral("STARTTLS")), qPrintable(failures));
        QCOMPARE(sink.count(), before);

        // TLS from the first byte.
        SmtpSink implicit;
        QVERIFY(implicit.start(0, tlsArguments + QStringList{"--implicit-tls", "--auth", "relay:s3cret!pw"}));
        SmtpSecurity tls = security;
        tls.mode = SmtpSecurity::Mode::Tls;
        failures = attempt(implicit, tls, DeliveryOutcome::Delivered);
        QVERIFY2(failures.isEmpty(), qPrintable(failures));
        QCOMPARE(implicit.count(), 1);
        QVERIFY(implicit.messages().last().overTls);
        QCOMPARE(implicit.messages().last().authUser, QStringLiteral("relay"));
        produced << implicit.messages().last().content;
    }

    void proxySettingsOfTheEnvironmentAreIgnored()
    {
        const QByteArray nowhere = "socks5h://127.0.0.1:" + QByteArray::number(UnusedTcpPort());
        const QList<QByteArray> names{"ALL_PROXY", "all_proxy", "SMTP_PROXY", "smtp_proxy", "http_proxy"};
        // A server of its own: a connection kept from an earlier mail would never ask for a proxy.
        SmtpSink fresh;
        QVERIFY(fresh.start());
        for (const QByteArray& name : names)
            qputenv(name.constData(), nowhere);
        FakeContext ctx = context();
        ctx.smtpHost = fresh.hostText();
        QString list;
        const DeliveryOutcome outcome = DeliverXMLMailMsgViaCDO(ctx, MailDocBuilder().build(), list);
        for (const QByteArray& name : names)
            qunsetenv(name.constData());
        QVERIFY2(outcome == DeliveryOutcome::Delivered, qPrintable(ctx.joinedLog()));
        QCOMPARE(fresh.count(), 1);
        produced << fresh.messages().first().content;
    }

    void deliveriesOnSeveralThreadsAtOnce()
    {
        // Worker threads deliver side by side; each mail arrives whole and reads clean.
        constexpr int kThreads = 4;
        constexpr int kEach = 5;
        const int before = sink.count();
        std::atomic<int> delivered{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                FakeContext ctx;
                ctx.smtpHost = sink.hostText();
                for (int i = 0; i < kEach; ++i) {
                    MailDocBuilder doc;
                    doc.contentType = QStringLiteral("text/html");
                    doc.subject = QStringLiteral("スレッド %1 の %2 通目").arg(t).arg(i);
                    doc.body = QStringLiteral("<p>mail %1/%2</p><img src=\"logo.png\">").arg(t).arg(i);
                    doc.attachments = {{"logo.png", RandomBytes(100 + i)}, {"data.g", "x"}};
                    QString list;
                    try {
                        if (DeliverXMLMailMsgViaCDO(ctx, doc.build(), list) == DeliveryOutcome::Delivered)
                            ++delivered;
                    } catch (const DeliveryError&) {
                    }
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        QCOMPARE(delivered.load(), kThreads * kEach);
        QVERIFY(sink.waitForCount(before + kThreads * kEach));
        QSet<QString> subjects;
        for (const ReceivedMail& m : sink.messages().mid(before))
            subjects.insert(ReadMailWithPython(m.content).header("Subject"));
        QCOMPARE(subjects.size(), kThreads * kEach);
        QVERIFY(StagedFiles().isEmpty());
    }

    void mailComponentReportsWhatTheProgramSaid()
    {
        const QString program = scratch.filePath(QStringLiteral("noisy-sendmail"));
        const QString input = scratch.filePath(QStringLiteral("noisy.in"));
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        // Seven lines of complaint, one of them very long, then a flood, then a failing status.
        script.write(QStringLiteral("#!/bin/sh\ncat > '%1'\nfor i in 1 2 3 4 5 6 7; do echo \"complaint $i\" >&2; done\n"
                                    "head -c 300000 /dev/zero | tr '\\\\0' x >&2\nexit 67\n")
                         .arg(input)
                         .toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        FakeContext ctx;
        ctx.sendmail = program;
        MailDocBuilder doc;
        QCOMPARE(DeliverXMLMailMsgViaZorvix(ctx, doc.build()), DeliveryOutcome::FailedPermanently);
        QCOMPARE(ctx.log.size(), 1);
        QVERIFY2(ctx.log[0].startsWith(QStringLiteral("BT Mail Delivery fail : Code 67 (complaint 1 | complaint 2 | "
                                                      "complaint 3 | complaint 4 | complaint 5)")),
                 qPrintable(ctx.log[0].left(300)));
        QVERIFY(!ctx.log[0].contains(QStringLiteral("complaint 6")));
        QVERIFY(ctx.log[0].size() < 1100);
        QFile in(input);
        QVERIFY(in.open(QIODevice::ReadOnly));
        produced << in.readAll();
        in.close();

        // A long single line is cut short.
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\ncat > /dev/null\nhead -c 5000 /dev/zero | tr '\\0' y >&2\nexit 70\n");
        script.close();
        ctx.log.clear();
        QCOMPARE(DeliverXMLMailMsgViaZorvix(ctx, doc.build()), DeliveryOutcome::FailedPermanently);
        QVERIFY2(ctx.log[0].startsWith(QStringLiteral("BT Mail Delivery fail : Code 70 (yyyy")), qPrintable(ctx.log[0].left(80)));
        QVERIFY2(ctx.log[0].size() < 1100, qPrintable(QString::number(ctx.log[0].size())));

        // An empty sender is never handed to the program.
        QFile::remove(input);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\ncat > '%1'\n").arg(input).toUtf8());
        script.close();
        ctx.log.clear();
        doc.from.clear();
        QCOMPARE(DeliverXMLMailMsgViaZorvix(ctx, doc.build()), DeliveryOutcome::FailedPermanently);
        QVERIFY2(ctx.log[0].startsWith(QStringLiteral("BT Mail Delivery fail : Code 65 (the from address is empty)")),
                 qPrintable(ctx.log[0]));
        QVERIFY(!QFile::exists(input));
        // A local user name is enough for it: the program adds the domain.
        doc.from = QStringLiteral("tracker");
        ctx.log.clear();
        QCOMPARE(DeliverXMLMailMsgViaZorvix(ctx, doc.build()), DeliveryOutcome::Delivered);
        QVERIFY(in.open(QIODevice::ReadOnly));
        const QByteArray submitted = in.readAll();
        produced << submitted;
        const PythonReading mail = ReadMailWithPython(submitted);
        QVERIFY2(!mail.header("Message-ID").contains(QStringLiteral("(none)")) &&
                     mail.header("Message-ID").contains(QLatin1Char('.')),
                 qPrintable(mail.header("Message-ID")));
    }
};

QTEST_GUILESS_MAIN(DeliveryTest)
#include "test_delivery.moc"
