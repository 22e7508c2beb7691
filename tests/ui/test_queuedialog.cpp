// The window's queue group and the Queue dialog offscreen, against a real SMTP server whose fault
// switches refuse mail for now or for good, a real spool folder and real tracker files: what the
// group shows after a delivery fails for now, the list, Retry now, Delete (asked first), Requeue,
// and the post office's records set aside.
#include "MailDocBuilder.h"
#include "RelayProcess.h"
#include "SmtpSink.h"

#include "common/Catalogue.h"
#include "delivery/CDOSend.h"
#include "tracker/SqliteTracker.h"
#include "tracker/TrackerStore.h"
#include "tracker/UnavailableTracker.h"
#include "ui/Form1.h"
#include "ui/QueueDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <csignal>

using namespace swn;
using namespace swn::test;

namespace {

struct Window {
    std::unique_ptr<RelayService> relay;
    std::unique_ptr<Form1> form;
    Form1* operator->() const { return form.get(); }
    RetryQueue& queue() const { return relay->network.Queue(); }
    Spool& spool() const { return *relay->network.SpoolFolder(); }
};

// Answers the next Delete question with `button` once it is shown, and keeps its text.
struct QuestionAnswerer {
    QString text;
    bool asked = false;
    void answerNext(QMessageBox::StandardButton button)
    {
        asked = false;
        auto* timer = new QTimer;
        timer->setInterval(10);
        QObject::connect(timer, &QTimer::timeout, timer, [this, timer, button] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (!box || !box->isVisible() || box->objectName() != QLatin1String("QueueDeleteQuestion"))
                    continue;
                text = box->text();
                asked = true;
                box->button(button)->click();
                timer->deleteLater();
                return;
            }
        });
        timer->start();
    }
};

} // namespace

class QueueDialogTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    int n = 0;
    QuestionAnswerer answerer;

    Window open(const QString& smtp, RelayMode mode = RelayMode::Network, std::shared_ptr<TrackerFactory> tracker = {},
               const QString& spoolDir = {})
    {
        const QString path = dir.filePath(QStringLiteral("q%1.ini").arg(++n));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        if (mode == RelayMode::Network)
            f.write(QStringLiteral("[SwiftnoteRelay]\nRelayMode=NETWORK\nTransportMode=CDO\nSMTPServer=%1\n").arg(smtp).toUtf8());
        else
            f.write(QStringLiteral("[SwiftnoteRelay]\nRelayMode=POSTOFFICE\nTransportMode=CDO\nPOPollInterval=360\n"
                                   "SMTPServer=%1\nBTLoginID=admin\nBTPassword=pw\nBTDB=SAMPL\nBTDbset=Repo\n")
                        .arg(smtp)
                        .toUtf8());
        f.close();
        RelayServiceOptions options;
        options.settingsFile = path;
        options.spoolDir = !spoolDir.isEmpty() ? spoolDir : dir.filePath(QStringLiteral("spool%1").arg(n));
        options.trackerFactory = tracker ? tracker : std::make_shared<UnavailableTrackerFactory>();
        Window w;
        w.relay = std::make_unique<RelayService>(options);
        // Only the dialog or a test makes a kept document due: no retry comes by itself meanwhile.
        RetryQueue::Timing timing;
        timing.firstRetryMs = timing.longestRetryMs = timing.probeMs = 3600 * 1000;
        w.queue().SetTiming(timing);
        Form1Options formOptions;
        formOptions.showMessage = [](const QString&, const QString&, QMessageBox::Icon) {};
        formOptions.quitOnExit = false;
        formOptions.codePage = 65001;
        w.form = std::make_unique<Form1>(*w.relay, std::move(formOptions));
        w.form->Form_Load();
        return w;
    }
    // What the client would hear: true for taken.
    static bool submit(Window& w, const QString& subject, const QStringList& to = {QStringLiteral("alice@example.org")})
    {
        MailDocBuilder doc;
        doc.subject = subject;
        doc.to = to;
        auto answer = std::make_shared<std::optional<bool>>();
        w.queue().Submit(doc.build(), QStringLiteral("192.0.2.7"), [answer](bool taken) { *answer = taken; });
        if (!QTest::qWaitFor([&] { return answer->has_value(); }, 20000))
            return false;
        return **answer;
    }
    static QueueDialog* dialogOf(Window& w)
    {
        w->QueueButton->click();
        return w->QueueView();
    }
    static QTreeWidgetItem* row(QueueDialog* d, int i) { return d->QueueList->topLevelItem(i); }

private Q_SLOTS:
    void initTestCase()
    {
        SetCatalogueLanguage(Language::English);
        SetSmtpTimeouts(5, 5);
    }

    void everyLanguageHasTheQueueTexts()
    {
        for (Language language : {Language::English, Language::Japanese, Language::SimplifiedChinese})
            for (int id = msg::QueueFirstId; id <= msg::QueueLastId; ++id) {
                const QString text = LoadResourceString(id, language);
                QVERIFY2(!text.isEmpty(), qPrintable(QString::number(id)));
                const QString english = LoadResourceString(id, Language::English);
                QCOMPARE(text.count(QStringLiteral("%s")), english.count(QStringLiteral("%s")));
                QCOMPARE(text.count(QStringLiteral("%n")), english.count(QStringLiteral("%n")));
            }
        for (Language language : {Language::English, Language::Japanese, Language::SimplifiedChinese}) {
            SetCatalogueLanguage(language);
            Window w = open(QStringLiteral("localhost:25"));
            QCOMPARE(w->QueueFrame->title(), LoadResourceString(msg::QueueFrameCaption, language));
            QCOMPARE(w->QueueButton->text(), LoadResourceString(msg::QueueButtonCaption, language));
            QCOMPARE(w->QueueKeptLabel->text(), LoadResourceString(msg::QueueKeptCaption, language));
            QueueDialog* d = dialogOf(w);
            QVERIFY(d && d->isVisible());
            QCOMPARE(d->windowTitle(), LoadResourceString(msg::QueueFrameCaption, language));
            QCOMPARE(d->RetryNowButton->text(), LoadResourceString(msg::QueueRetryNowCaption, language));
            QCOMPARE(d->QueueList->headerItem()->text(QueueDialog::SubjectColumn),
                     LoadResourceString(msg::QueueSubjectColumn, language));
        }
        SetCatalogueLanguage(Language::English);
    }

    void groupAndControlsByName()
    {
        Window w = open(QStringLiteral("localhost:25"));
        for (const char* name : {"QueueKeptLabel", "QueueKept", "QueueFailedLabel", "QueueFailed", "QueueReasonLabel",
                                 "QueueReason", "QueueNextLabel", "QueueNext", "QueueServerLabel", "QueueServer",
                                 "QueueButton"}) {
            QWidget* control = w->findChild<QWidget*>(QString::fromLatin1(name));
            QVERIFY2(control, name);
            QCOMPARE(control->parentWidget(), w->QueueFrame);
            QVERIFY2(control->isVisible(), name);
        }
        QVERIFY(w->QueueKept->isReadOnly());
        QCOMPARE(w->QueueKept->text(), QStringLiteral("0"));
        QCOMPARE(w->QueueFailed->text(), QStringLiteral("0"));
        QCOMPARE(w->QueueReason->text(), QStringLiteral("-"));
        QCOMPARE(w->QueueServer->text(), QStringLiteral("reachable"));
        QueueDialog* d = dialogOf(w);
        for (const char* name : {"QueueList", "RetryNowButton", "DeleteButton", "RequeueButton", "RefreshButton",
                                 "CloseButton", "QueueReply"})
            QVERIFY2(d->findChild<QWidget*>(QString::fromLatin1(name)), name);
        QCOMPARE(d->QueueList->topLevelItemCount(), 0);
        d->CloseButton->click();
        QVERIFY(!d->isVisible());
        w->QueueButton->click();
        QCOMPARE(w->QueueView(), d);
        QVERIFY(d->isVisible());
    }

    void keptDocumentShownListedAndRetriedNow()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        Window w = open(sink.hostText());
        sink.setTemporaryFailure(true);
        QVERIFY(submit(w, QStringLiteral("waits for the server"),
                       {QStringLiteral("alice@example.org"), QStringLiteral("bob@example.org")}));
        QCOMPARE(w.queue().KeptCount(), 1);
        const QString id = w.spool().ids().value(0);
        // The heartbeat brings the group up to date.
        QTRY_VERIFY_WITH_TIMEOUT(w->QueueKept->text().startsWith(QStringLiteral("1 (oldest ")), 5000);
        QVERIFY2(w->QueueReason->text().contains(QStringLiteral("451")), qPrintable(w->QueueReason->text()));
        QVERIFY2(w->QueueNext->text().startsWith(QStringLiteral("in ")), qPrintable(w->QueueNext->text()));
        QCOMPARE(w->QueueFailed->text(), QStringLiteral("0"));
        QCOMPARE(w->QueueServer->text(), QStringLiteral("reachable"));

        QueueDialog* d = dialogOf(w);
        QCOMPARE(d->QueueList->topLevelItemCount(), 1);
        QCOMPARE(row(d, 0)->text(QueueDialog::IdColumn), id);
        QCOMPARE(row(d, 0)->text(QueueDialog::StateColumn), QStringLiteral("kept"));
        QCOMPARE(row(d, 0)->text(QueueDialog::SubjectColumn), QStringLiteral("waits for the server"));
        QCOMPARE(row(d, 0)->text(QueueDialog::RecipientsColumn), QStringLiteral("alice@example.org, bob@example.org"));
        QVERIFY(row(d, 0)->text(QueueDialog::ReasonColumn).contains(QStringLiteral("451")));
        QVERIFY(!row(d, 0)->text(QueueDialog::AgeColumn).isEmpty());

        // Retry now, with nothing selected: every kept document, as --flush does.
        sink.setTemporaryFailure(false);
        d->RetryNowButton->click();
        QVERIFY(sink.waitForCount(1));
        QTRY_COMPARE_WITH_TIMEOUT(w.queue().KeptCount(), 0, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(d->QueueList->topLevelItemCount(), 0, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(w->QueueKept->text(), QStringLiteral("0"), 5000);
        QCOMPARE(sink.count(), 1);
        QVERIFY(d->QueueReply->text().contains(QStringLiteral("1 kept documents are tried now")));
        QVERIFY(w->LogText().contains(QStringLiteral("Kept document *: 1 kept documents are tried now")));
    }

    void retryNowTriesOnlyTheSelected()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        Window w = open(sink.hostText());
        sink.setTemporaryFailure(true);
        QVERIFY(submit(w, QStringLiteral("first")));
        QVERIFY(submit(w, QStringLiteral("second")));
        QCOMPARE(w.queue().KeptCount(), 2);
        sink.setTemporaryFailure(false);
        QueueDialog* d = dialogOf(w);
        QCOMPARE(d->QueueList->topLevelItemCount(), 2);
        QCOMPARE(row(d, 1)->text(QueueDialog::SubjectColumn), QStringLiteral("second"));
        row(d, 1)->setSelected(true);
        d->RetryNowButton->click();
        QVERIFY(sink.waitForCount(1));
        QTRY_COMPARE_WITH_TIMEOUT(w.queue().KeptCount(), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(d->QueueList->topLevelItemCount(), 1, 5000);
        QCOMPARE(row(d, 0)->text(QueueDialog::SubjectColumn), QStringLiteral("first"));
        QVERIFY(sink.messages().value(0).content.contains("second"));
    }

    void deleteAsksAndRemovesOnlyWhenConfirmed()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        Window w = open(sink.hostText());
        sink.setTemporaryFailure(true);
        QVERIFY(submit(w, QStringLiteral("to be deleted")));
        const QString id = w.spool().ids().value(0);
        QueueDialog* d = dialogOf(w);
        QCOMPARE(d->QueueList->topLevelItemCount(), 1);

        // Nothing selected: nothing asked, nothing deleted.
        d->DeleteButton->click();
        QCOMPARE(w.spool().count(), 1);

        row(d, 0)->setSelected(true);
        answerer.answerNext(QMessageBox::No);
        d->DeleteButton->click();
        QVERIFY(answerer.asked);
        QCOMPARE(answerer.text, QStringLiteral("Delete %1? Its mail will never be sent.").arg(id));
        QCOMPARE(w.spool().count(), 1);
        QCOMPARE(w.queue().KeptCount(), 1);
        QCOMPARE(d->QueueList->topLevelItemCount(), 1);

        QVERIFY(row(d, 0)->isSelected()); // a refresh keeps the selection
        answerer.answerNext(QMessageBox::Yes);
        d->DeleteButton->click();
        QVERIFY(answerer.asked);
        QCOMPARE(w.spool().count(), 0);
        QCOMPARE(w.queue().KeptCount(), 0);
        QCOMPARE(d->QueueList->topLevelItemCount(), 0);
        QCOMPARE(d->QueueReply->text(), QStringLiteral("%1 deleted").arg(id));
        QVERIFY(w->LogText().contains(QStringLiteral("Kept document %1: %1 deleted").arg(id)));
        w->ShowQueueState();
        QCOMPARE(w->QueueKept->text(), QStringLiteral("0"));
        QCOMPARE(sink.count(), 0);
    }

    void requeueBringsAFailedOneBack()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        Window w = open(sink.hostText());
        sink.setFaults({QStringLiteral("rcpt 550")});
        QVERIFY(submit(w, QStringLiteral("refused for good")));
        QCOMPARE(w.spool().failedCount(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(w->QueueFailed->text(), QStringLiteral("1"), 5000);
        QueueDialog* d = dialogOf(w);
        QCOMPARE(d->QueueList->topLevelItemCount(), 1);
        QCOMPARE(row(d, 0)->text(QueueDialog::StateColumn), QStringLiteral("failed"));
        QCOMPARE(row(d, 0)->text(QueueDialog::SubjectColumn), QStringLiteral("refused for good"));
        QVERIFY(row(d, 0)->text(QueueDialog::ReasonColumn).contains(QStringLiteral("550")));

        row(d, 0)->setSelected(true);
        sink.setFaults({});
        sink.setTemporaryFailure(true);
        d->RequeueButton->click();
        QVERIFY(d->QueueReply->text().contains(QStringLiteral("is back in the queue and tried now")));
        QTRY_COMPARE_WITH_TIMEOUT(w.queue().RetriesUnderWay(), 0, 20000);
        QCOMPARE(w.spool().failedCount(), 0);
        QCOMPARE(w.queue().KeptCount(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(row(d, 0)->text(QueueDialog::StateColumn), QStringLiteral("kept"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(row(d, 0)->text(QueueDialog::ReasonColumn).contains(QStringLiteral("451")), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(w->QueueKept->text().startsWith(QStringLiteral("1 (oldest ")), 5000);
        QCOMPARE(w->QueueFailed->text(), QStringLiteral("0"));

        // Once the server takes mail, it goes.
        sink.setTemporaryFailure(false);
        d->RetryNowButton->click();
        QVERIFY(sink.waitForCount(1));
        QTRY_COMPARE_WITH_TIMEOUT(w.queue().KeptCount(), 0, 20000);
    }

    void mailThatWaitsForALimitIsShown()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        Window w = open(sink.hostText());
        w.relay->core.Limits().Configure(1, 0);
        QVERIFY(submit(w, QStringLiteral("goes")));
        QVERIFY(sink.waitForCount(1));
        QVERIFY(submit(w, QStringLiteral("waits a minute")));
        QCOMPARE(w.queue().KeptCount(), 1);
        QCOMPARE(sink.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(w->QueueNext->text().endsWith(QStringLiteral(" (SMTPMessagesPerMinute 1)")), 5000);
        QCOMPARE(w->QueueServer->text(), QStringLiteral("reachable"));
    }

    void serverBelievedAway()
    {
        Window w = open(QStringLiteral("127.0.0.1:%1").arg(UnusedTcpPort()));
        QVERIFY(submit(w, QStringLiteral("nobody answers")));
        QCOMPARE(w.queue().KeptCount(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(w->QueueServer->text(), QStringLiteral("believed away"), 5000);
        QVERIFY(w->QueueReason->text() != QLatin1String("-"));
        QVERIFY(w.queue().Snapshot().serverAway);
    }

    void anotherRelayWorksTheSpool()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        sink.setTemporaryFailure(true);
        const QString spoolDir = dir.filePath(QStringLiteral("shared-spool"));
        QString id;
        {
            Spool earlier(spoolDir);
            QString error;
            QVERIFY2(earlier.open(&error), qPrintable(error));
            MailDocBuilder doc;
            doc.subject = QStringLiteral("kept by the other relay");
            id = earlier.store(doc.build(), &error, {}, QStringLiteral("451 earlier"));
            QVERIFY2(!id.isEmpty(), qPrintable(error));
        }
        const QString ini = dir.filePath(QStringLiteral("other.ini"));
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("[SwiftnoteRelay]\nRelayMode=NETWORK\nTransportMode=CDO\nSMTPServer=%1\n"
                               "STMPRelayListenerPort=%2\n")
                    .arg(sink.hostText())
                    .arg(UnusedTcpPort())
                    .toUtf8());
        f.close();
        QProcess other;
        other.setProcessEnvironment(EnvironmentWithoutDisplay());
        other.start(QStringLiteral(SWN_RELAY_EXECUTABLE),
                    {QStringLiteral("--headless"), QStringLiteral("--settings"), ini, QStringLiteral("--spool"), spoolDir});
        QVERIFY(other.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(spoolDir + QStringLiteral("/control.sock")); }, 20000));

        // This window's relay does not hold the spool: the group reads the folder's counts.
        Window w = open(sink.hostText(), RelayMode::Network, {}, spoolDir);
        QVERIFY(!w.queue().SpoolFolder());
        QTRY_VERIFY_WITH_TIMEOUT(w->QueueKept->text().startsWith(QStringLiteral("1 (oldest ")), 5000);
        QCOMPARE(w->QueueServer->text(), QStringLiteral("-"));
        QueueDialog* d = dialogOf(w);
        QCOMPARE(d->QueueList->topLevelItemCount(), 1);
        QCOMPARE(row(d, 0)->text(QueueDialog::IdColumn), id);
        QCOMPARE(row(d, 0)->text(QueueDialog::SubjectColumn), QStringLiteral("kept by the other relay"));

        // Delete goes to the relay that works the spool, through its control socket.
        row(d, 0)->setSelected(true);
        answerer.answerNext(QMessageBox::Yes);
        d->DeleteButton->click();
        QVERIFY(answerer.asked);
        QCOMPARE(d->QueueReply->text(), QStringLiteral("%1 deleted").arg(id));
        QVERIFY(!QFile::exists(spoolDir + QLatin1Char('/') + id + QStringLiteral(".xml")));
        QCOMPARE(d->QueueList->topLevelItemCount(), 0);

        ::kill(pid_t(other.processId()), SIGTERM);
        QVERIFY(other.waitForFinished(20000));
        QCOMPARE(sink.count(), 0);
    }

    void postOfficeRecordsSetAside()
    {
        tracker::TrackerStore store(dir.filePath(QStringLiteral("tracker")));
        store.createDatabaseSet(QStringLiteral("Repo"));
        store.createDatabase(QStringLiteral("Repo"), QStringLiteral("SAMPL"), false, {});
        store.addUser(QStringLiteral("Repo"), QStringLiteral("admin"), QStringLiteral("pw"), {"SAMPL"});
        store.enablePostOffice(QStringLiteral("Repo"), QStringLiteral("SAMPL"));
        MailDocBuilder doc;
        doc.subject = QStringLiteral("never deliverable");
        doc.to = {QStringLiteral("nobody@example.org")};
        const qint64 first = store.enqueue(QStringLiteral("Repo"), QStringLiteral("SAMPL"), QString::fromUtf8(doc.build()), {});
        doc.subject = QStringLiteral("still queued");
        const qint64 queued = store.enqueue(QStringLiteral("Repo"), QStringLiteral("SAMPL"), QString::fromUtf8(doc.build()), {});
        auto factory = std::make_shared<SqliteTrackerFactory>(store.root());
        auto park = [&](qint64 key) {
            std::unique_ptr<BTSession> s = factory->CreateSession();
            s->LogOn(QStringLiteral("admin"), QStringLiteral("pw"), QStringLiteral("SAMPL"), 2, QStringLiteral("Repo"));
            std::unique_ptr<BTRecord> record = s->RecordByKey(QStringLiteral("SwiftnotePostOffice"), key);
            s->ParkRecord(*record, QStringLiteral("550 no such user"));
        };
        park(first);

        Window w = open(QStringLiteral("localhost:25"), RelayMode::PostOffice, factory);
        QVERIFY(w->ValidBTDB->isChecked());
        QCOMPARE(w->QueueKeptLabel->text(), QStringLiteral("Set aside"));
        QVERIFY(!w->QueueServer->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(w->QueueKept->text(), QStringLiteral("1"), 5000);

        QueueDialog* d = dialogOf(w);
        QVERIFY(!d->RetryNowButton->isVisible());
        QCOMPARE(d->QueueList->topLevelItemCount(), 1);
        QCOMPARE(row(d, 0)->text(QueueDialog::IdColumn), QString::number(first));
        QCOMPARE(row(d, 0)->text(QueueDialog::StateColumn), QStringLiteral("set aside"));
        QCOMPARE(row(d, 0)->text(QueueDialog::SubjectColumn), QStringLiteral("never deliverable"));
        QCOMPARE(row(d, 0)->text(QueueDialog::RecipientsColumn), QStringLiteral("nobody@example.org"));
        QCOMPARE(row(d, 0)->text(QueueDialog::ReasonColumn), QStringLiteral("550 no such user"));

        // Requeue: queued again at its place, as btadmin requeue does it.
        row(d, 0)->setSelected(true);
        d->RequeueButton->click();
        QVERIFY(!store.show(QStringLiteral("Repo"), QStringLiteral("SAMPL"), first).parked);
        QCOMPARE(d->QueueList->topLevelItemCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(w->QueueKept->text(), QStringLiteral("0"), 5000);

        // Delete: asked first, and only a record set aside.
        park(first);
        d->Refresh();
        QCOMPARE(d->QueueList->topLevelItemCount(), 1);
        row(d, 0)->setSelected(true);
        answerer.answerNext(QMessageBox::No);
        d->DeleteButton->click();
        QVERIFY(answerer.asked);
        QCOMPARE(store.list(QStringLiteral("Repo"), QStringLiteral("SAMPL")).size(), 2);
        answerer.answerNext(QMessageBox::Yes);
        d->DeleteButton->click();
        QVERIFY(answerer.asked);
        const QList<tracker::QueuedRecord> left = store.list(QStringLiteral("Repo"), QStringLiteral("SAMPL"));
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].dbid, queued);
        QCOMPARE(d->QueueList->topLevelItemCount(), 0);
        QString reply;
        QVERIFY(!w.relay->postOffice.DeleteSetAside(queued, &reply));
        QCOMPARE(reply, QStringLiteral("record %1 is not set aside").arg(queued));
        QCOMPARE(store.list(QStringLiteral("Repo"), QStringLiteral("SAMPL")).size(), 1);
    }
};

QTEST_MAIN(QueueDialogTest)
#include "test_queuedialog.moc"
