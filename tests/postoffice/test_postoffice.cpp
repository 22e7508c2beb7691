// Post office relay mode end to end: a tracker made with the store btadmin uses, the window
// offscreen with its own settings, a real SMTP server.
#include "MailDocBuilder.h"
#include "MimeReader.h"
#include "SmtpSink.h"

#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "common/Catalogue.h"
#include "ui/Form1.h"
#include "ui/Form2.h"
#include "tracker/UnavailableTracker.h"
#include "tracker/SqliteTracker.h"
#include "tracker/TrackerStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace swn;
using namespace swn::test;
using namespace swn::tracker;

namespace {

struct Box {
    QString text, title;
    QMessageBox::Icon icon;
};

QByteArray Settings(const QString& smtp, const QString& db = QStringLiteral("SAMPL"),
                    const QString& password = QStringLiteral("pw"), const QString& set = QStringLiteral("Repo"))
{
    return QStringLiteral("[SwiftnoteRelay]\nRelayMode=POSTOFFICE\nTransportMode=CDO\nPOPollInterval=360\n"
                          "SMTPServer=%1\nBTLoginID=admin\nBTPassword=%2\nBTDB=%3\nBTDbset=%4\n")
        .arg(smtp, password, db, set)
        .toUtf8();
}

// A tracker whose admin session cannot tell the user's name, as some installations' cannot.
class NoAdminNameTracker : public SqliteTrackerFactory {
public:
    using SqliteTrackerFactory::SqliteTrackerFactory;
    std::unique_ptr<BTAdminSession> CreateAdminSession() override
    {
        struct Admin : BTAdminSession {
            std::unique_ptr<BTAdminSession> inner;
            void AdminLogOn(const QString& l, const QString& p, const QString& s) override { inner->AdminLogOn(l, p, s); }
            QString AdminUserName() override { throw TrackerError(tracker_errors::NotSupported, QStringLiteral("no such member")); }
        };
        auto admin = std::make_unique<Admin>();
        admin->inner = SqliteTrackerFactory::CreateAdminSession();
        return admin;
    }
};

} // namespace

class PostOfficeTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    SmtpSink sink;
    std::unique_ptr<TrackerStore> store;
    QList<Box> boxes;
    int n = 0;

    std::unique_ptr<Form1> open(const QByteArray& settings, std::shared_ptr<TrackerFactory> factory = {})
    {
        const QString path = dir.filePath(QStringLiteral("relay%1.ini").arg(++n));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(settings);
        f.close();
        Form1Options options;
        options.settingsFile = path;
        options.trackerFactory = factory ? factory : std::make_shared<SqliteTrackerFactory>(store->root());
        options.showMessage = [this](const QString& text, const QString& title, QMessageBox::Icon icon) {
            boxes.append({text, title, icon});
        };
        options.quitOnExit = false;
        boxes.clear();
        auto form = std::make_unique<Form1>(std::move(options));
        form->Form_Load();
        return form;
    }
    qint64 enqueue(const QString& subject, const QList<NewAttachment>& attachments = {},
                   const QString& db = QStringLiteral("SAMPL"), std::optional<QString> site = std::nullopt)
    {
        MailDocBuilder doc;
        doc.subject = subject;
        doc.to = {"po@example.org"};
        return store->enqueue("Repo", db, QString::fromUtf8(doc.build()), attachments, site);
    }
    QStringList receivedSubjects(int from)
    {
        QStringList subjects;
        for (const ReceivedMail& m : sink.messages().mid(from))
            subjects << ParseMail(m.content).subject;
        return subjects;
    }

private Q_SLOTS:
    void initTestCase()
    {
        SetCatalogueLanguage(Language::English);
        SetSmtpTimeouts(5, 5);
        QVERIFY(sink.start());
        store = std::make_unique<TrackerStore>(dir.filePath("tracker"));
        store->createDatabaseSet("Repo");
        for (const char* db : {"SAMPL", "NOPO", "GONE"})
            store->createDatabase("Repo", db, false, {});
        store->createDatabase("Repo", "REPL", true, "tokyo");
        store->addUser("Repo", "admin", "pw", {"SAMPL", "NOPO", "GONE", "REPL"});
        store->enablePostOffice("Repo", "SAMPL");
        store->enablePostOffice("Repo", "REPL");
        QFile::remove(store->databasePath("Repo", "GONE"));
    }

    void loginMessages()
    {
        struct Case { QByteArray settings; QString message; };
        const QString smtp = sink.hostText();
        const QList<Case> cases{
            {Settings(smtp, "NOSUCH"), "Database 'NOSUCH' does not exist"},
            {Settings(smtp, "GONE"), "Database 'GONE' is not accessible.  The physical database might have been "
                                     "deleted outside of Bugtrellis"},
            {Settings(smtp, "SAMPL", "wrong"), "Bugtrellis User name and / or Password invalid for selected Database"},
            {Settings(smtp, "NOPO"), "The selected database doesn't appear to have been enabled for SWIFTNOTE !!"},
            {Settings(smtp, "SAMPL", "pw", "NoSet"), "An Unknown error has occurred: 20007"},
        };
        for (const Case& c : cases) {
            auto form = open(c.settings);
            QCOMPARE(boxes.size(), 1);
            QCOMPARE(boxes[0].text, c.message);
            QVERIFY(!form->ValidBTDB->isChecked());
        }
        auto good = open(Settings(smtp));
        QVERIFY(boxes.isEmpty());
        QVERIFY(good->ValidBTDB->isChecked());
        QCOMPARE(good->BTID->text(), QStringLiteral("admin"));
        QCOMPARE(good->DB->text(), QStringLiteral("SAMPL"));
    }

    void recordsDeliveredInOrderAndDeleted()
    {
        const QByteArray image = QByteArray(4000, 'i') + QByteArray(3, '\0');
        const QByteArray report = QByteArray(100000, 'r');
        enqueue("first");
        enqueue("second", {{"logo.png", image}, {QStringLiteral("Bericht ü.pdf"), report}});
        enqueue("third");
        auto form = open(Settings(sink.hostText()));
        const int before = sink.count();
        form->cmdStart_Click(); // polls at once
        QCOMPARE(receivedSubjects(before), (QStringList{"first", "second", "third"}));
        QVERIFY(form->LogText().contains(QStringLiteral("Checked Postoffice - found 3  Mails to forward.")));
        QVERIFY(store->list("Repo", "SAMPL").isEmpty());
        const ParsedMail second = ParseMail(sink.messages()[before + 1].content);
        QCOMPARE(second.leaves.size(), 3);
        QCOMPARE(second.leaves[1].fileName, QStringLiteral("logo.png"));
        QCOMPARE(second.leaves[1].content, image);
        QCOMPARE(second.leaves[2].fileName, QStringLiteral("Bericht ü.pdf"));
        QCOMPARE(second.leaves[2].content, report);
        QVERIFY(QDir(StagingFolder()).isEmpty());
        QCOMPARE(form->TotalRelays->text(), QStringLiteral("3"));
        QVERIFY(form->PostOfficePollInterval()->isActive()); // re-armed for the next poll

        // An empty queue: "0", nothing sent, timer armed again.
        form->PostOfficePollInterval_Timer();
        form->POPollInterval->setText(QStringLiteral("1"));
        QVERIFY(QTest::qWaitFor([&] { return form->LogText().count(QStringLiteral("found 0  Mails")) >= 1; }, 5000));
        // The one-second timer takes a record queued while the relay runs.
        enqueue("while running");
        QVERIFY(sink.waitForCount(before + 4, 10000));
        QCOMPARE(receivedSubjects(before + 3), QStringList{"while running"});
        form->cmdStop_Click();
        QVERIFY(!form->PostOfficePollInterval()->isActive());
    }

    void onlyTheLocalSiteOfAReplicatedDatabase()
    {
        enqueue("tokyo one", {}, "REPL");
        enqueue("paris", {}, "REPL", QStringLiteral("paris"));
        enqueue("tokyo two", {}, "REPL");
        auto form = open(Settings(sink.hostText(), "REPL"));
        const int before = sink.count();
        form->cmdStart_Click();
        form->cmdStop_Click();
        QCOMPARE(receivedSubjects(before), (QStringList{"tokyo one", "tokyo two"}));
        const QList<QueuedRecord> left = store->list("Repo", "REPL");
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].site, QStringLiteral("paris"));
    }

    void anOutageKeepsTheQueue()
    {
        enqueue("outage one", {{"a.txt", "attached"}});
        enqueue("outage two");
        auto form = open(Settings(QStringLiteral("127.0.0.1:%1").arg(UnusedTcpPort())));
        const int before = sink.count();
        form->cmdStart_Click();
        form->cmdStop_Click();
        QCOMPARE(store->list("Repo", "SAMPL").size(), 2);
        QVERIFY(form->LogText().contains(QStringLiteral("kept for the next poll")));
        QVERIFY(QDir(StagingFolder()).isEmpty());

        // A server that refuses for a while keeps them too.
        form->SMTPHost->setText(sink.hostText());
        sink.setTemporaryFailure(true);
        form->cmdStart_Click();
        form->cmdStop_Click();
        sink.setTemporaryFailure(false);
        QCOMPARE(store->list("Repo", "SAMPL").size(), 2);
        QCOMPARE(sink.count(), before);

        // Back again: the next poll delivers both, in order, with the attachment.
        form->cmdStart_Click();
        form->cmdStop_Click();
        QCOMPARE(receivedSubjects(before), (QStringList{"outage one", "outage two"}));
        QCOMPARE(ParseMail(sink.messages()[before].content).leaves.last().content, QByteArray("attached"));
        QVERIFY(store->list("Repo", "SAMPL").isEmpty());
    }

    void aBadRecordDoesNotBlockTheOthers()
    {
        enqueue("before");
        const qint64 malformed = store->enqueue("Repo", "SAMPL", "<BT_mail_Msg><Subject>x</BT_mail_Msg>", {});
        MailDocBuilder incomplete;
        incomplete.subject = QStringLiteral("no body");
        QByteArray text = incomplete.build();
        text.replace("<Body>", "<Bodyx>").replace("</Body>", "</Bodyx>");
        const qint64 missing = store->enqueue("Repo", "SAMPL", QString::fromUtf8(text), {{"kept.txt", "x"}});
        enqueue("after");
        auto form = open(Settings(sink.hostText()));
        const int before = sink.count();
        form->cmdStart_Click();
        form->cmdStop_Click();
        QCOMPARE(receivedSubjects(before), (QStringList{"before", "after"}));
        QVERIFY(form->LogText().contains(QStringLiteral("XML Stream Failed to Load.  Error: ")));
        QVERIFY(form->LogText().contains(QString::number(missing)));
        // The malformed document can never be sent and leaves the queue; the one missing an
        // element stays for someone to mend.
        const QList<QueuedRecord> left = store->list("Repo", "SAMPL");
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].dbid, missing);
        QVERIFY(left[0].dbid != malformed);
        QVERIFY(QDir(StagingFolder()).isEmpty());
        std::unique_ptr<BTSession> s = SqliteTrackerFactory(store->root()).CreateSession();
        s->LogOn("admin", "pw", "SAMPL", 2, "Repo");
        s->DeleteRecord(*s->RecordByKey("SwiftnotePostOffice", missing), "Delete");
    }

    void credentialsDialogFlows()
    {
        auto form = open(Settings(sink.hostText(), "NOPO"));
        QCOMPARE(boxes.size(), 1); // the login at start-up: not enabled
        form->EditCredentials_Click();
        Form2* dialog = form->CredentialsDialog();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->BTLoginID->text(), QStringLiteral("admin"));
        QCOMPARE(dialog->BTPassword->text(), QStringLiteral("pw"));
        QCOMPARE(dialog->BTPassword->echoMode(), QLineEdit::Password);
        QCOMPARE(dialog->BTDBSet->currentText(), QStringLiteral("Repo"));
        QCOMPARE(dialog->BTDBSet->count(), 1);
        QCOMPARE(dialog->BTDatabase->currentText(), QStringLiteral("NOPO"));
        QCOMPARE(dialog->BTDatabase->count(), 0);

        // Entering the database box looks the list up and selects its first entry.
        dialog->BTDatabase_GotFocus();
        QCOMPARE(dialog->BTDatabase->count(), 4);
        QCOMPARE(dialog->BTDatabase->currentText(), QStringLiteral("GONE"));
        dialog->BTPassword_LostFocus();
        QCOMPARE(dialog->BTDatabase->count(), 0);

        // Wrong password: a warning per failing step, and the list stays empty.
        boxes.clear();
        dialog->BTPassword->setText(QStringLiteral("nope"));
        dialog->LoadDatabaseList();
        QVERIFY(!boxes.isEmpty());
        QCOMPARE(boxes[0].text, QStringLiteral("The User ID 'admin' is invalid, or the password is incorrect"));
        QCOMPARE(boxes[0].title, QStringLiteral("Invalid User Credentials"));
        QCOMPARE(boxes[0].icon, QMessageBox::Warning);
        QCOMPARE(dialog->BTDatabase->count(), 0);

        // OK with credentials the login rejects: stored and shown, but the dialog stays.
        boxes.clear();
        dialog->OKButton_Click();
        QVERIFY(dialog->isVisible());
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(form->Settings().ReadIniValue("SwiftnoteRelay", "BTPassword", {}), QStringLiteral("nope"));

        // Good ones: stored, shown, checked, and the dialog goes.
        dialog->BTPassword->setText(QStringLiteral("pw"));
        dialog->BTDatabase->setEditText(QStringLiteral("SAMPL"));
        boxes.clear();
        dialog->OKButton_Click();
        QVERIFY(boxes.isEmpty());
        QVERIFY(!dialog->isVisible());
        QVERIFY(form->ValidBTDB->isChecked());
        QCOMPARE(form->DB->text(), QStringLiteral("SAMPL"));
        QCOMPARE(form->Settings().ReadIniValue("SwiftnoteRelay", "BTDB", {}), QStringLiteral("SAMPL"));

        // Cancel after editing leaves the file as it was.
        form->EditCredentials_Click();
        dialog = form->CredentialsDialog();
        dialog->BTLoginID->setText(QStringLiteral("someone else"));
        dialog->CancelButton_Click();
        QCOMPARE(form->Settings().ReadIniValue("SwiftnoteRelay", "BTLoginID", {}), QStringLiteral("admin"));
        QTest::qWait(10); // the dialog is unloaded once its events have run
        QVERIFY(!form->CredentialsDialog());
    }

    void dialogWhenTheAdminSessionCannotNameTheUser()
    {
        auto form = open(Settings(sink.hostText()), std::make_shared<NoAdminNameTracker>(store->root()));
        form->EditCredentials_Click();
        Form2* dialog = form->CredentialsDialog();
        boxes.clear();
        dialog->BTDatabase_GotFocus();
        QVERIFY(boxes.isEmpty()); // the login name stands in for the user name
        QCOMPARE(dialog->BTDatabase->count(), 4);
    }

    void dialogWithoutATracker()
    {
        auto form = open(Settings(sink.hostText()), std::make_shared<UnavailableTrackerFactory>());
        QCOMPARE(boxes.size(), 1);
        QVERIFY(boxes[0].text.startsWith(QStringLiteral("An Unknown error has occurred: ")));
        form->EditCredentials_Click();
        Form2* dialog = form->CredentialsDialog();
        QVERIFY(dialog);
        QCOMPARE(dialog->BTDBSet->count(), 0);
        QCOMPARE(dialog->BTDBSet->currentText(), QStringLiteral("Repo"));
        dialog->LoadDatabaseList();
        QCOMPARE(dialog->BTDatabase->count(), 0);
        // The poll stays quiet without a valid login.
        form->cmdStart_Click();
        QVERIFY(!form->LogText().contains(QStringLiteral("Checked Postoffice")));
    }
};

QTEST_MAIN(PostOfficeTest)
#include "test_postoffice.moc"
