// Post office relay mode without a window: the poller and the relay's core against a tracker held
// in memory and against real tracker files, with real SMTP servers on loopback. Mail is read back
// with the system Python's email package.
#include "MailDocBuilder.h"
#include "MemoryTracker.h"
#include "PyMailReader.h"
#include "SmtpSink.h"

#include "common/Catalogue.h"
#include "delivery/CDOSend.h"
#include "delivery/Delivery.h"
#include "delivery/smtp/SmtpSessions.h"
#include "postoffice/PostOfficePoller.h"
#include "relay/RelayCore.h"
#include "relay/RelaySettings.h"
#include "relay/Spool.h"
#include "tracker/SqliteTracker.h"
#include "tracker/TrackerStore.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

using namespace swn;
using namespace swn::test;

namespace {

QByteArray PoSettings(const QString& smtp, const QString& interval = QStringLiteral("360"),
                      const QString& db = QStringLiteral("SAMPL"), const QString& extra = {})
{
    return QStringLiteral("[SwiftnoteRelay]\nRelayMode=POSTOFFICE\nTransportMode=CDO\nPOPollInterval=%1\n"
                          "SMTPServer=%2\nBTLoginID=admin\nBTPassword=pw\nBTDB=%3\nBTDbset=Repo\n%4")
        .arg(interval, smtp, db, extra)
        .toUtf8();
}

QString Doc(const QString& subject, const QStringList& to = {QStringLiteral("po@example.org")})
{
    MailDocBuilder doc;
    doc.subject = subject;
    doc.to = to;
    return QString::fromUtf8(doc.build());
}

bool StagingEmpty()
{
    return QDir(StagingFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty();
}

// The parts of post office mode, as the service puts them together, without a window.
struct PoRelay {
    RelaySettings settings;
    RelayCore core;
    PostOfficePoller poller;
    QStringList boxes;

    PoRelay(const QString& iniPath, std::shared_ptr<TrackerFactory> factory)
        : settings(iniPath), core(settings, RelayCoreOptions{}), poller(core, std::move(factory))
    {
        core.SetMessageSink([this](const QString& text, const QString&, bool) { boxes << text; });
        poller.SetRetryDelays(100, 200);
        core.LoadSettings();
        core.CompleteStartUp();
    }
    ~PoRelay() { core.Shutdown(); }

    // One round, started as Start does it; false when none ran or it did not end in time.
    bool poll(int timeoutMs = 60000)
    {
        QSignalSpy done(&poller, &PostOfficePoller::roundFinished);
        core.Start();
        const bool ok = QTest::qWaitFor([&] { return done.count() > 0; }, timeoutMs);
        core.Stop();
        return ok;
    }
    int logCount(const QString& text) const { return int(core.LogText().count(text)); }
};

// A real store with database SAMPL in set Repo, ready for the relay's user admin/pw, holding
// `count` records whose subjects start with `subject`.
void QueueInRealStore(swn::tracker::TrackerStore& store, const QString& subject, int count)
{
    const QString set = QStringLiteral("Repo"), db = QStringLiteral("SAMPL");
    store.createDatabaseSet(set);
    store.createDatabase(set, db, false, {});
    store.addUser(set, QStringLiteral("admin"), QStringLiteral("pw"), {db});
    store.enablePostOffice(set, db);
    for (int i = 0; i < count; ++i)
        store.enqueue(set, db, Doc(QStringLiteral("%1 %2").arg(subject).arg(i)), {});
}

// A real tracker store and a spool for the relay's notes, in a folder of their own; relays made
// on them keep their notes there, as one relay after another would across restarts.
struct NotedStore {
    QTemporaryDir root;
    QString trackerRoot = root.filePath(QStringLiteral("tracker"));
    swn::tracker::TrackerStore store{trackerRoot};
    std::shared_ptr<Spool> spool = std::make_shared<Spool>(root.filePath(QStringLiteral("spool")));
    bool open()
    {
        QString error;
        const bool opened = spool->open(&error);
        if (!opened)
            qWarning("%s", qPrintable(error));
        return opened;
    }
};

// Another process holding a tracker database's write lock: the relay reads its queue and sends,
// but no removal commits.
struct HeldWriteLock {
    QProcess writer;
    bool take(const QString& databasePath)
    {
        writer.setProcessChannelMode(QProcess::MergedChannels);
        writer.start(QStringLiteral("sqlite3"), {databasePath});
        if (!writer.waitForStarted())
            return false;
        writer.write("BEGIN IMMEDIATE;\nCREATE TABLE IF NOT EXISTS held(x);\nSELECT 'holding';\n");
        return QTest::qWaitFor([&] { return writer.readAll().contains("holding"); }, 10000);
    }
    bool letGo()
    {
        writer.write("COMMIT;\n.quit\n");
        writer.closeWriteChannel();
        return writer.waitForFinished(10000);
    }
    ~HeldWriteLock()
    {
        if (writer.state() != QProcess::NotRunning) {
            writer.kill();
            writer.waitForFinished();
        }
    }
};

// The spool note in which the poll keeps the records of database SAMPL of set Repo that it
// delivered but has not removed yet.
QString JournalNote()
{
    return QStringLiteral("delivered-") +
        QString::fromLatin1(QCryptographicHash::hash("Repo/SAMPL", QCryptographicHash::Sha1).toHex());
}

} // namespace

class PostOfficeTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    SmtpSink sink;
    int n = 0;

    QString ini(const QByteArray& content)
    {
        const QString path = dir.filePath(QStringLiteral("relay%1.ini").arg(++n));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(content);
        return path;
    }
    // A relay on a store and spool of a NotedStore, sending to `smtp`.
    std::unique_ptr<PoRelay> relayOn(NotedStore& noted, const QString& smtp)
    {
        auto relay = std::make_unique<PoRelay>(ini(PoSettings(smtp)), std::make_shared<SqliteTrackerFactory>(noted.trackerRoot));
        relay->poller.SetNotes(noted.spool);
        return relay;
    }
    std::unique_ptr<PoRelay> memoryRelay(std::shared_ptr<MemoryTrackerFactory> tracker, const QString& smtp,
                                         const QString& interval = QStringLiteral("360"), const QString& extra = {})
    {
        return std::make_unique<PoRelay>(ini(PoSettings(smtp, interval, QStringLiteral("SAMPL"), extra)), tracker);
    }

private Q_SLOTS:
    void initTestCase()
    {
        SetCatalogueLanguage(Language::English);
        SetSmtpTimeouts(5, 5);
        QVERIFY(sink.start());
    }

    void loginErrorsAreNamed()
    {
        struct Case {
            int number;
            QString box;
        };
        const QList<Case> cases{
            {13224, QStringLiteral("Database 'SAMPL' does not exist")},
            {13285, QStringLiteral("Database 'SAMPL' is not accessible.  The physical database might have been "
                                   "deleted outside of Bugtrellis")},
            {18028, QStringLiteral("Bugtrellis User name and / or Password invalid for selected Database")},
            {4711, QStringLiteral("An Unknown error has occurred: 4711")},
            {-2147467259, QStringLiteral("An Unknown error has occurred: -2147467259")},
        };
        for (const Case& c : cases) {
            auto tracker = std::make_shared<MemoryTrackerFactory>();
            tracker->state->logOnError = c.number;
            auto relay = memoryRelay(tracker, sink.hostText());
            QCOMPARE(relay->boxes, QStringList{c.box});
            QVERIFY(!relay->poller.LoginValid());
        }

        // The record type is found whatever its letter case.
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        tracker->state->recordTypes = {QStringLiteral("Defect"), QStringLiteral("swiftnotepostOFFICE")};
        auto relay = memoryRelay(tracker, sink.hostText());
        QVERIFY(relay->boxes.isEmpty());
        QVERIFY(relay->poller.LoginValid());

        // A logon refused after a good check leaves the check as it was...
        tracker->state->with([](MemoryTrackerState& s) { s.logOnError = 18028; });
        QVERIFY(!relay->poller.Login());
        QVERIFY(relay->poller.LoginValid());
        // ...a database without the record type clears it.
        tracker->state->with([](MemoryTrackerState& s) {
            s.logOnError = 0;
            s.recordTypes = {QStringLiteral("Defect")};
        });
        QVERIFY(!relay->poller.Login());
        QVERIFY(!relay->poller.LoginValid());
        QCOMPARE(relay->boxes.last(),
                 QStringLiteral("The selected database doesn't appear to have been enabled for SWIFTNOTE !!"));
        // An empty type list is the same.
        tracker->state->with([](MemoryTrackerState& s) { s.recordTypes.clear(); });
        QVERIFY(!relay->poller.Login());
        QCOMPARE(relay->boxes.size(), 3);
    }

    void recordsGoInOrderWithTheirAttachments()
    {
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        auto& state = *tracker->state;
        state.replicated = true;
        state.localSite = QStringLiteral("tokyo");
        const QByteArray image = QByteArray(4000, 'i') + QByteArray(3, '\0');
        const QByteArray report(100000, 'r');
        state.add(Doc(QStringLiteral("first")));
        const qint32 paris = state.add(Doc(QStringLiteral("paris")), {}, QStringLiteral("paris"));
        state.add(Doc(QStringLiteral("second")), {{QStringLiteral("logo.png"), image}, {QStringLiteral("Bericht ü.pdf"), report}});
        state.add(Doc(QStringLiteral("third")));
        auto relay = memoryRelay(tracker, sink.hostText());
        QVERIFY(relay->poller.LoginValid());
        const int before = sink.count();
        QVERIFY(relay->poll());
        // Started in queue order, several at once: they may arrive in another.
        QStringList sent = PySubjects(sink.messages().mid(before));
        sent.sort();
        QCOMPARE(sent, (QStringList{"first", "second", "third"}));
        QCOMPARE(relay->logCount(QStringLiteral("Checked Postoffice - found 3  Mails to forward.")), 1);
        // Mastered elsewhere: neither sent nor deleted.
        QCOMPARE(state.queued(), QList<qint32>{paris});
        PyMail second;
        for (const ReceivedMail& m : sink.messages().mid(before))
            if (const PyMail read = ReadWithPython(m.content); read.subject == QLatin1String("second"))
                second = read;
        QVERIFY2(second.ok, qPrintable(second.error));
        QCOMPARE(second.attachments.size(), 2);
        QCOMPARE(second.attachments[0].first, QStringLiteral("logo.png"));
        QCOMPARE(second.attachments[0].second, image);
        QCOMPARE(second.attachments[1].first, QStringLiteral("Bericht ü.pdf"));
        QCOMPARE(second.attachments[1].second, report);
        QVERIFY(StagingEmpty());
        QCOMPARE(relay->core.TotalRelaysCount(), 3);

        // An empty queue at the local site: "0", nothing sent.
        QVERIFY(relay->poll());
        QCOMPARE(relay->logCount(QStringLiteral("Checked Postoffice - found 0  Mails to forward.")), 1);
        QCOMPARE(sink.count(), before + 3);
        // Not replicated: every site's record is ours.
        state.with([](MemoryTrackerState& s) { s.replicated = false; });
        QVERIFY(relay->poll());
        QCOMPARE(PySubjects(sink.messages().mid(before + 3)), QStringList{"paris"});
        QVERIFY(state.queued().isEmpty());
    }

    void aDeliveredNoteOfAnEarlierVersionIsHonoured()
    {
        // Such a note says the mail went and only the record's removal is left: it is removed
        // unsent, the journal takes the note over, and no note is left behind.
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        auto& state = *tracker->state;
        const qint32 sent = state.add(Doc(QStringLiteral("went before the upgrade")));
        auto spool = std::make_shared<Spool>(dir.filePath(QStringLiteral("legacy-notes")));
        QString error;
        QVERIFY2(spool->open(&error), qPrintable(error));
        const QString id = QString::fromLatin1(QCryptographicHash::hash("Repo/SAMPL", QCryptographicHash::Sha1).toHex());
        const QString note = QStringLiteral("record-%1-%2").arg(id).arg(sent);
        QVERIFY(spool->writeNote(note, "delivered\n", &error));
        auto relay = memoryRelay(tracker, sink.hostText());
        relay->poller.SetNotes(spool);
        const int before = sink.count();
        QVERIFY(relay->poll());
        QCOMPARE(sink.count(), before);
        QVERIFY(state.queued().isEmpty());
        QVERIFY(spool->readNote(note).isEmpty());
        QVERIFY(!QFile::exists(spool->notesDir() + QLatin1Char('/') + note));
    }

    void stagedFilesGoOnEveryPath()
    {
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        auto& state = *tracker->state;
        const QList<QPair<QString, QByteArray>> files{{QStringLiteral("a.txt"), "alpha"}, {QStringLiteral("b.txt"), "beta"}};
        // Malformed document, an attachment that cannot be read after one that could, and a
        // server that cannot be reached: each leaves the staging folder empty.
        const qint32 malformed = state.add(QStringLiteral("<BT_mail_Msg><Subject>x</BT_mail_Msg>"), files);
        const qint32 unreadable = state.add(Doc(QStringLiteral("unreadable")),
                                            {{QStringLiteral("ok.txt"), "ok"}, {QStringLiteral("bad.txt"), UnreadableAttachment}});
        auto relay = memoryRelay(tracker, sink.hostText());
        const int before = sink.count();
        QVERIFY(relay->poll());
        QVERIFY(StagingEmpty());
        QCOMPARE(sink.count(), before);
        QCOMPARE(state.parked(), QList<qint32>{malformed});
        QCOMPARE(state.queued(), QList<qint32>{unreadable}); // the tracker's failure: it stays
        QCOMPARE(relay->logCount(QStringLiteral("Post office record %1 stays queued: attachment content unreadable").arg(unreadable)), 1);
        // It waits its turn: the next poll neither tries it at once nor says it again.
        QVERIFY(relay->poll());
        QCOMPARE(relay->logCount(QStringLiteral("Post office record %1 stays queued").arg(unreadable)), 1);
        QCOMPARE(state.queued(), QList<qint32>{unreadable});

        state.with([&](MemoryTrackerState& s) { s.records.clear(); });
        state.add(Doc(QStringLiteral("offline")), files);
        relay->settings.SetSMTPServer(QStringLiteral("127.0.0.1:%1").arg(UnusedTcpPort()));
        QVERIFY(relay->poll());
        QVERIFY(StagingEmpty());
        QCOMPARE(state.queued().size(), 1);

        // Delivered, but the delete fails: the files are gone all the same.
        relay->settings.SetSMTPServer(sink.hostText());
        state.with([](MemoryTrackerState& s) { s.failDelete = true; });
        QVERIFY(relay->poll());
        QVERIFY(StagingEmpty());
        QCOMPARE(sink.count(), before + 1);
        const PyMail mail = ReadWithPython(sink.messages().last().content);
        QCOMPARE(mail.attachments.size(), 2);
        QCOMPARE(mail.attachments[1].second, QByteArray("beta"));
    }

    void intervalRules()
    {
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        auto relay = memoryRelay(tracker, sink.hostText(), QStringLiteral("7"));
        PostOfficePoller& p = relay->poller;
        p.ArmPollTimer();
        QCOMPARE(p.PollCountdown(), qint16(7));
        for (const QString& bad : {QStringLiteral("soon"), QStringLiteral("-1"), QStringLiteral("40000"), QString()}) {
            relay->settings.SetPOPollInterval(bad);
            QCOMPARE(relay->logCount(QStringLiteral("Poll interval '%1' is not a whole number from 0 to 32767; "
                                                    "the interval stays 7 seconds").arg(bad)), 1);
            QCOMPARE(p.PollCountdown(), qint16(7));
        }
        relay->settings.SetPOPollInterval(QStringLiteral("12"));
        QCOMPARE(p.PollCountdown(), qint16(12));
        QVERIFY(!p.PollTimer().isActive()); // not running: not armed

        // 0 and 1 poll on every tick of the one-second timer.
        for (const QString& every : {QStringLiteral("0"), QStringLiteral("1")}) {
            relay->settings.SetPOPollInterval(every);
            QSignalSpy rounds(&p, &PostOfficePoller::roundFinished);
            relay->core.Start();
            QVERIFY(QTest::qWaitFor([&] { return rounds.count() >= 3; }, 15000));
            QVERIFY(QTest::qWaitFor([&] { return p.PollTimer().isActive(); }, 5000));
            QCOMPARE(p.PollTimer().interval(), 1000);
            relay->core.Stop();
            QVERIFY(!p.PollTimer().isActive());
        }
    }

    void aDeliveredRecordWhoseDeleteFailsIsNeverSentAgain()
    {
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        auto& state = *tracker->state;
        const qint32 key = state.add(Doc(QStringLiteral("once only")));
        state.failDelete = true;
        auto relay = memoryRelay(tracker, sink.hostText());
        const int before = sink.count();
        QVERIFY(relay->poll());
        QVERIFY(relay->poll());
        QVERIFY(relay->poll());
        QCOMPARE(sink.count(), before + 1);
        QCOMPARE(state.with([](MemoryTrackerState& s) { return s.failedDeletes; }), 3);
        QCOMPARE(state.queued(), QList<qint32>{key});
        const QString notRemoved = QStringLiteral("Post office record %1 was delivered but could not be removed from "
                                                  "the queue: database is locked; only its removal will be retried").arg(key);
        QCOMPARE(relay->logCount(notRemoved), 1);
        state.with([](MemoryTrackerState& s) { s.failDelete = false; });
        QVERIFY(relay->poll());
        QVERIFY(state.queued().isEmpty());
        QCOMPARE(sink.count(), before + 1);
        QCOMPARE(relay->core.TotalRelaysCount(), 1);
    }

    void aServerRefusingTheSenderKeepsEveryRecord()
    {
        SmtpSink server;
        QVERIFY(server.start());
        server.setFaults({QStringLiteral("mail 530")});
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        auto& state = *tracker->state;
        for (const char* s : {"refused one", "refused two", "refused three"})
            state.add(Doc(QString::fromLatin1(s)), {{QStringLiteral("n.txt"), "note"}});
        auto relay = memoryRelay(tracker, server.hostText());
        QVERIFY(relay->poll());
        QVERIFY(relay->poll());
        QCOMPARE(state.queued().size(), 3);
        QCOMPARE(server.count(), 0);
        // An outage is told once, not again at every poll while it lasts.
        QCOMPARE(relay->logCount(QStringLiteral(" kept for the next poll: the mail server did not take it")), 1);
        QCOMPARE(relay->logCount(QStringLiteral("The mail server is still unavailable; further polls say nothing more")), 1);
        QVERIFY(StagingEmpty());

        server.setFaults({});
        QVERIFY(relay->poll());
        QVERIFY(relay->poll());
        QStringList sent = PySubjects(server.messages());
        sent.sort();
        QCOMPARE(sent, (QStringList{"refused one", "refused three", "refused two"}));
        QCOMPARE(relay->logCount(QStringLiteral("The mail server takes mail again; post office records go out again")), 1);
        QVERIFY(state.queued().isEmpty());
        QCOMPARE(relay->core.TotalRelaysCount(), 3); // counted once each, not at every attempt
    }

    void aFullMailboxDoesNotHoldUpTheRecordsBehindIt()
    {
        SmtpSink server;
        QVERIFY(server.start());
        server.setFaults({QStringLiteral("rcpt=full@example.org 452")});
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        auto& state = *tracker->state;
        const qint32 full = state.add(Doc(QStringLiteral("to a full box"), {QStringLiteral("full@example.org")}));
        state.add(Doc(QStringLiteral("behind one")));
        state.add(Doc(QStringLiteral("behind two")));
        auto relay = memoryRelay(tracker, server.hostText());
        QVERIFY(relay->poll());
        QStringList behind = PySubjects(server.messages());
        behind.sort();
        QCOMPARE(behind, (QStringList{"behind one", "behind two"}));
        QCOMPARE(state.queued(), QList<qint32>{full});
        QCOMPARE(relay->logCount(QStringLiteral("Post office record %1 kept for the next poll").arg(full)), 1);
        // Tried again at later polls (after its back-off), still without resending the others.
        QTest::qWait(300);
        QVERIFY(relay->poll());
        QCOMPARE(server.count(), 2);
        QCOMPARE(state.queued(), QList<qint32>{full});
        QVERIFY(StagingEmpty());
    }

    void aRetryReachesOnlyThoseStillWaiting()
    {
        SmtpSink server;
        QVERIFY(server.start());
        server.setFaults({QStringLiteral("rcpt=full@example.org 452")});
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        auto& state = *tracker->state;
        const qint32 key = state.add(Doc(QStringLiteral("half taken"), {QStringLiteral("ok@example.org"), QStringLiteral("full@example.org")}));
        auto relay = memoryRelay(tracker, server.hostText());
        QVERIFY(relay->poll());
        QCOMPARE(server.count(), 1);
        QCOMPARE(server.messages()[0].recipients, QStringList{"ok@example.org"});
        QCOMPARE(state.queued(), QList<qint32>{key}); // still owed to the full mailbox
        QTest::qWait(300);
        QVERIFY(relay->poll());
        int toOk = 0;
        for (const ReceivedMail& m : server.messages())
            toOk += int(m.recipients.count(QStringLiteral("ok@example.org")));
        QCOMPARE(toOk, 1);
    }

    void aMalformedRecordIsSetAsideOnce()
    {
        for (const bool parkable : {true, false}) {
            auto tracker = std::make_shared<MemoryTrackerFactory>();
            auto& state = *tracker->state;
            state.parkSupported = parkable;
            const qint32 bad = state.add(QStringLiteral("<BT_mail_Msg><Subject>broken</BT_mail_Msg>"));
            state.add(Doc(QStringLiteral("good after bad")));
            auto relay = memoryRelay(tracker, sink.hostText());
            const int before = sink.count();
            QVERIFY(relay->poll());
            QVERIFY(relay->poll());
            QVERIFY(relay->poll());
            QCOMPARE(PySubjects(sink.messages().mid(before)), QStringList{"good after bad"});
            QCOMPARE(relay->logCount(QStringLiteral("Post office record %1 set aside and not retried: ").arg(bad)), 1);
            QCOMPARE(relay->logCount(QStringLiteral("XML Stream Failed to Load.  Error: ")), 1);
            if (parkable) {
                QCOMPARE(state.parked(), QList<qint32>{bad});
                QVERIFY(state.queued().isEmpty());
            } else {
                QCOMPARE(state.queued(), QList<qint32>{bad}); // kept for the administrator
            }
        }
    }

    void aRecordSetAsideIsToldToItsAdministrator()
    {
        SmtpSink server;
        QVERIFY(server.start());
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        MailDocBuilder doc;
        doc.subject = QStringLiteral("refused record");
        doc.to = {QStringLiteral("refused.po@example.org")};
        doc.admin = QStringLiteral("admin@example.org");
        const qint32 key = tracker->state->add(QString::fromUtf8(doc.build()));
        auto relay = memoryRelay(tracker, server.hostText());
        QVERIFY(relay->poll());
        QCOMPARE(relay->logCount(QStringLiteral("Post office record %1 set aside and not retried: ").arg(key)), 1);
        QVERIFY(server.waitForCount(1));
        const ReceivedMail notice = server.messages().first();
        QCOMPARE(notice.mailFrom, QStringLiteral("<>")); // MAIL FROM:<>
        QCOMPARE(notice.recipients, QStringList{QStringLiteral("admin@example.org")});
        QVERIFY2(notice.content.contains("Final-Recipient: rfc822; refused.po@example.org"), notice.content.constData());
        QCOMPARE(ReadWithPython(notice.content).subject, QStringLiteral("Relay notice: mail not delivered: refused record"));
    }

    void aFailedLoginAtStartUpRecoversWhileRunning()
    {
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        auto& state = *tracker->state;
        state.logOnError = 13285;
        state.add(Doc(QStringLiteral("after recovery")));
        const int before = sink.count();
        auto relay = memoryRelay(tracker, sink.hostText(), QStringLiteral("1"), QStringLiteral("AutoStart=1\n"));
        QCOMPARE(relay->boxes.size(), 1);
        QVERIFY(relay->core.IsRunning()); // auto start does not wait for the login
        QVERIFY(!relay->poller.LoginValid());
        QSignalSpy rounds(&relay->poller, &PostOfficePoller::roundFinished);
        QVERIFY(QTest::qWaitFor([&] { return rounds.count() >= 3; }, 15000));
        const QString retrying = QStringLiteral("Tracker login failed: Database 'SAMPL' is not accessible.");
        QCOMPARE(relay->logCount(retrying), 1); // once, not at every poll
        QCOMPARE(sink.count(), before);

        state.with([](MemoryTrackerState& s) { s.logOnError = 0; });
        QVERIFY(sink.waitForCount(before + 1, 15000));
        QVERIFY(QTest::qWaitFor([&] { return relay->poller.LoginValid(); }, 5000));
        QCOMPARE(relay->logCount(QStringLiteral("Tracker login succeeded; polling database SAMPL")), 1);
        relay->core.Stop();
        QVERIFY(QTest::qWaitFor([&] { return !relay->poller.Polling(); }, 10000));
        QCOMPARE(sink.count(), before + 1);
    }

    void fullCountersDoNotKeepMailBack()
    {
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        auto& state = *tracker->state;
        const qint32 key = state.add(Doc(QStringLiteral("counted at the limit")));
        auto relay = memoryRelay(tracker, sink.hostText());
        constexpr qint32 max = std::numeric_limits<qint32>::max();
        relay->core.AdvanceCounters(max, max);
        const int before = sink.count();
        QVERIFY(relay->poll());
        QCOMPARE(relay->core.TotalRelaysCount(), max);
        QVERIFY(relay->core.LogText().contains(QStringLiteral("The statistics counters cannot count any further")));
        // A full statistics counter is no reason to keep the mail back.
        QCOMPARE(sink.count(), before + 1);
        QVERIFY(!state.parked().contains(key));
        QVERIFY(!state.queued().contains(key));
    }

    void twoPollersOnOneDatabase()
    {
        using namespace swn::tracker;
        QTemporaryDir root;
        TrackerStore store(root.filePath(QStringLiteral("tracker")));
        QueueInRealStore(store, QStringLiteral("shared"), 6);

        const int before = sink.count();
        auto first = std::make_unique<PoRelay>(ini(PoSettings(sink.hostText())), std::make_shared<SqliteTrackerFactory>(store.root()));
        auto second = std::make_unique<PoRelay>(ini(PoSettings(sink.hostText())), std::make_shared<SqliteTrackerFactory>(store.root()));
        QVERIFY(first->poller.LoginValid() && second->poller.LoginValid());
        // Both start at once; whichever takes the queue first keeps it.
        QSignalSpy firstDone(&first->poller, &PostOfficePoller::roundFinished);
        QSignalSpy secondDone(&second->poller, &PostOfficePoller::roundFinished);
        first->core.Start();
        second->core.Start();
        QVERIFY(QTest::qWaitFor([&] { return firstDone.count() > 0 && secondDone.count() > 0; }, 60000));
        QVERIFY(second->poll());
        QVERIFY(first->poll());
        QVERIFY(sink.waitForCount(before + 6));
        QStringList subjects = PySubjects(sink.messages().mid(before));
        subjects.sort();
        QCOMPARE(subjects.size(), 6);
        QCOMPARE(subjects.removeDuplicates(), 0);
        QVERIFY(store.list(QStringLiteral("Repo"), QStringLiteral("SAMPL")).isEmpty());
        const QString waiting = QStringLiteral("Another relay is polling database SAMPL (");
        const int waited = first->logCount(waiting) + second->logCount(waiting);
        QCOMPARE(waited, 1); // the one that waits says so once
        PoRelay* waiter = first->logCount(waiting) ? first.get() : second.get();

        // When the holder goes, the other takes over.
        (waiter == first.get() ? second : first).reset();
        store.enqueue(QStringLiteral("Repo"), QStringLiteral("SAMPL"), Doc(QStringLiteral("taken over")), {});
        QVERIFY(waiter->poll());
        QVERIFY(sink.waitForCount(before + 7));
        QCOMPARE(PySubjects(sink.messages().mid(before + 6)), QStringList{"taken over"});
    }

    void payloadsAreTheTextTheTrackerHolds()
    {
        // Trackers on Japanese and Chinese systems declare their code page; the store holds the
        // characters, which is what the relay reads, whatever the declaration says.
        using namespace swn::tracker;
        QTemporaryDir root;
        TrackerStore store(root.filePath(QStringLiteral("tracker")));
        QueueInRealStore(store, QStringLiteral("plain"), 0);
        const QList<QPair<QString, QString>> declared{{QStringLiteral("ISO-8859-1"), QStringLiteral("Café crème")},
                                                      {QStringLiteral("Shift_JIS"), QStringLiteral("障害 42 が変更されました")},
                                                      {QStringLiteral("GB18030"), QStringLiteral("缺陷 42 已更改 𠀀")}};
        QStringList expected;
        for (const auto& [encoding, subject] : declared) {
            MailDocBuilder doc;
            doc.subject = subject;
            doc.declaredEncoding = encoding;
            store.enqueue(QStringLiteral("Repo"), QStringLiteral("SAMPL"), QString::fromUtf8(doc.build()), {});
            expected << subject;
        }
        // A Shift_JIS file queued by the tracker's admin tool arrives the same.
        MailDocBuilder fileDoc;
        fileDoc.subject = QStringLiteral("ファイルから: 障害 7");
        fileDoc.declaredEncoding = QStringLiteral("Shift_JIS");
        const QString file = root.filePath(QStringLiteral("sjis.xml"));
        QProcess encode;
        encode.start(SystemPython(), {QStringLiteral("-c"),
                                      QStringLiteral("import sys; open(sys.argv[1], 'wb').write(sys.stdin.buffer.read().decode('utf-8').encode('shift_jis'))"),
                                      file});
        encode.write(fileDoc.build());
        encode.closeWriteChannel();
        QVERIFY(encode.waitForFinished(30000) && encode.exitCode() == 0);
        QProcess btadmin;
        btadmin.start(QStringLiteral(SWN_BTADMIN), {QStringLiteral("--root"), store.root(), QStringLiteral("enqueue"),
                                                    QStringLiteral("Repo"), QStringLiteral("SAMPL"), file});
        QVERIFY(btadmin.waitForFinished(30000));
        QVERIFY2(btadmin.exitCode() == 0, btadmin.readAllStandardError().constData());
        expected << fileDoc.subject;

        const int before = sink.count();
        auto relay = std::make_unique<PoRelay>(ini(PoSettings(sink.hostText())), std::make_shared<SqliteTrackerFactory>(store.root()));
        QVERIFY(relay->poll());
        QVERIFY(sink.waitForCount(before + 4));
        QStringList subjects = PySubjects(sink.messages().mid(before));
        subjects.sort();
        expected.sort();
        QCOMPARE(subjects, expected);
        QVERIFY(store.list(QStringLiteral("Repo"), QStringLiteral("SAMPL")).isEmpty());
    }

    void aDatabaseLockedByAnotherProcessWhileDeleting()
    {
        using namespace swn::tracker;
        QTemporaryDir root;
        TrackerStore store(root.filePath(QStringLiteral("tracker")));
        QueueInRealStore(store, QStringLiteral("locked"), 3);
        auto relay = std::make_unique<PoRelay>(ini(PoSettings(sink.hostText())), std::make_shared<SqliteTrackerFactory>(store.root()));
        QVERIFY(relay->poller.LoginValid());

        // Another writer holds the database while the records are deleted.
        HeldWriteLock writer;
        QVERIFY(writer.take(store.databasePath(QStringLiteral("Repo"), QStringLiteral("SAMPL"))));

        const int before = sink.count();
        QVERIFY(relay->poll());
        const int afterLocked = sink.count();
        // The deletes met the other writer's lock: the mail went, only the removal waits.
        QVERIFY(relay->logCount(QStringLiteral("was delivered but could not be removed from the queue: ")) >= 1);
        QVERIFY(writer.letGo());
        QVERIFY(relay->poll());
        QVERIFY(relay->poll());
        QStringList subjects = PySubjects(sink.messages().mid(before));
        subjects.sort();
        QCOMPARE(subjects, (QStringList{"locked 0", "locked 1", "locked 2"}));
        QVERIFY(afterLocked - before <= 3);
        QVERIFY(store.list(QStringLiteral("Repo"), QStringLiteral("SAMPL")).isEmpty());
    }

    void notesOfADatabaseMadeAgainDropNothing()
    {
        // A relay killed after its removals committed but before it trimmed its notes; then the
        // database is made again under the same name, and new records get the old keys.
        using namespace swn::tracker;
        NotedStore noted;
        QVERIFY(noted.open());
        const QString& trackerRoot = noted.trackerRoot;
        TrackerStore& store = noted.store;
        std::shared_ptr<Spool>& spool = noted.spool;
        QueueInRealStore(store, QStringLiteral("first life"), 3);
        const QString set = QStringLiteral("Repo"), db = QStringLiteral("SAMPL");
        QString error;
        const int before = sink.count();
        {
            auto relay = relayOn(noted, sink.hostText());
            HeldWriteLock writer;
            QVERIFY(writer.take(store.databasePath(set, db)));
            QVERIFY(relay->poll());
            QVERIFY(writer.letGo());
        }
        QVERIFY(sink.waitForCount(before + 3));
        QCOMPARE(spool->readNote(JournalNote()).count('\n'), 3);
        for (const QueuedRecord& r : store.list(set, db))
            store.deleteRecord(set, db, r.dbid);

        QVERIFY(QDir(trackerRoot).removeRecursively());
        QueueInRealStore(store, QStringLiteral("second life"), 3);
        auto relay = relayOn(noted, sink.hostText());
        QVERIFY(relay->poll());
        QVERIFY(sink.waitForCount(before + 6));
        QStringList subjects = PySubjects(sink.messages().mid(before + 3));
        subjects.sort();
        QCOMPARE(subjects, (QStringList{"second life 0", "second life 1", "second life 2"}));
        QVERIFY(store.list(set, db).isEmpty());
        QVERIFY(!QFile::exists(spool->notesDir() + QLatin1Char('/') + JournalNote()));
        QCOMPARE(relay->core.TotalRelaysCount(), 3);
    }

    void recipientsStillWaitingDoNotPassToADatabaseMadeAgain()
    {
        using namespace swn::tracker;
        SmtpSink server;
        QVERIFY(server.start());
        server.setFaults({QStringLiteral("rcpt=full@example.org 452")});
        NotedStore noted;
        QVERIFY(noted.open());
        const QString& trackerRoot = noted.trackerRoot;
        TrackerStore& store = noted.store;
        std::shared_ptr<Spool>& spool = noted.spool;
        const QString set = QStringLiteral("Repo"), db = QStringLiteral("SAMPL");
        const QStringList both{QStringLiteral("ok@example.org"), QStringLiteral("full@example.org")};
        QueueInRealStore(store, QString(), 0);
        const qint64 key = store.enqueue(set, db, Doc(QStringLiteral("half taken"), both), {});
        QString error;
        auto start = [&] { return relayOn(noted, server.hostText()); };
        auto relay = start();
        QVERIFY(relay->poll());
        QCOMPARE(server.count(), 1);
        QCOMPARE(server.messages()[0].recipients, QStringList{"ok@example.org"});
        relay.reset();

        // Made again, and a new record under the same key: it goes to all of its recipients.
        QVERIFY(QDir(trackerRoot).removeRecursively());
        QueueInRealStore(store, QString(), 0);
        QCOMPARE(store.enqueue(set, db, Doc(QStringLiteral("a new record"), both), {}), key);
        server.setFaults({});
        relay = start();
        QVERIFY(relay->poll());
        QVERIFY(server.waitForCount(2));
        QStringList recipients = server.messages()[1].recipients;
        recipients.sort();
        QCOMPARE(recipients, (QStringList{"full@example.org", "ok@example.org"}));
        QCOMPARE(PySubjects(server.messages().mid(1)), QStringList{"a new record"});
        QVERIFY(store.list(set, db).isEmpty());
        QVERIFY(QDir(spool->notesDir()).entryList(QDir::Files).isEmpty());
    }

    void notesOfRecordsNoLongerQueuedAreTrimmed()
    {
        using namespace swn::tracker;
        NotedStore noted;
        QVERIFY(noted.open());
        TrackerStore& store = noted.store;
        std::shared_ptr<Spool>& spool = noted.spool;
        QueueInRealStore(store, QStringLiteral("noted"), 2);
        const QString set = QStringLiteral("Repo"), db = QStringLiteral("SAMPL");
        QString error;
        const QString journal = spool->notesDir() + QLatin1Char('/') + JournalNote();
        auto start = [&] { return relayOn(noted, sink.hostText()); };
        // Sent, but the removals cannot commit: the journal keeps them.
        auto sendUnremoved = [&](PoRelay& relay) {
            HeldWriteLock writer;
            return writer.take(store.databasePath(set, db)) && relay.poll() && writer.letGo();
        };
        const int before = sink.count();
        auto relay = start();
        QVERIFY(sendUnremoved(*relay));
        QVERIFY(sink.waitForCount(before + 2));
        QCOMPARE(spool->readNote(JournalNote()).count('\n'), 2);

        // After a restart the journal is honoured: they are removed unsent, and the journal
        // goes with them.
        relay = start();
        store.enqueue(set, db, Doc(QStringLiteral("after the restart")), {});
        QVERIFY(relay->poll());
        QVERIFY(sink.waitForCount(before + 3));
        QCOMPARE(PySubjects(sink.messages().mid(before + 2)), QStringList{"after the restart"});
        QVERIFY(store.list(set, db).isEmpty());
        QVERIFY(!QFile::exists(journal));

        // Removed by someone else (or by this relay just before a crash): the next round drops
        // their lines, in the same run...
        store.enqueue(set, db, Doc(QStringLiteral("gone 1")), {});
        const qint64 stays = store.enqueue(set, db, Doc(QStringLiteral("stays noted")), {});
        QVERIFY(sendUnremoved(*relay));
        QVERIFY(sink.waitForCount(before + 5));
        QCOMPARE(spool->readNote(JournalNote()).count('\n'), 2);
        store.deleteRecord(set, db, store.list(set, db).first().dbid);
        {
            // (the one still queued keeps its line while its removal cannot commit)
            HeldWriteLock writer;
            QVERIFY(writer.take(store.databasePath(set, db)));
            QVERIFY(relay->poll());
            QCOMPARE(spool->readNote(JournalNote()).count('\n'), 1);
            QVERIFY(writer.letGo());
        }
        QCOMPARE(store.list(set, db).size(), 1);
        QCOMPARE(store.list(set, db).first().dbid, stays);
        store.deleteRecord(set, db, stays);
        QVERIFY(relay->poll());
        QVERIFY(!QFile::exists(journal));

        // ...and after a restart.
        store.enqueue(set, db, Doc(QStringLiteral("gone 2")), {});
        QVERIFY(sendUnremoved(*relay));
        QVERIFY(sink.waitForCount(before + 6));
        QCOMPARE(spool->readNote(JournalNote()).count('\n'), 1);
        store.deleteRecord(set, db, store.list(set, db).first().dbid);
        relay = start();
        QVERIFY(relay->poll());
        QVERIFY(!QFile::exists(journal));
        QCOMPARE(sink.count(), before + 6);

        // A note of recipients still waiting, left by a kill between a removal and the note's:
        // its record is gone, and so is the note after the next round.
        const QString orphan = JournalNote().replace(QStringLiteral("delivered-"), QStringLiteral("record-")) +
            QStringLiteral("-987654");
        QVERIFY2(spool->writeNote(orphan, "pending\nlate@example.org\n", &error), qPrintable(error));
        QVERIFY(relay->poll());
        QVERIFY(spool->readNote(orphan).isNull());
        QCOMPARE(sink.count(), before + 6);
    }

    void aMinuteLimitHoldsRecordsBackInTheirOrder()
    {
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        auto& state = *tracker->state;
        QList<qint32> keys;
        for (int i = 0; i < 5; ++i)
            keys << state.add(Doc(QStringLiteral("limited %1").arg(i)));
        auto relay = memoryRelay(tracker, sink.hostText(), QStringLiteral("360"), QStringLiteral("SMTPMessagesPerMinute=2\n"));
        // A shorter minute; long enough that one round cannot outlast it.
        SendLimits::Timing timing;
        timing.minuteMs = 3000;
        relay->core.Limits().SetTiming(timing);
        const int before = sink.count();
        QSignalSpy rounds(&relay->poller, &PostOfficePoller::roundFinished);
        relay->core.Start();
        // The first round takes the first two and leaves the rest queued, untouched.
        QVERIFY(QTest::qWaitFor([&] { return rounds.count() > 0; }, 60000));
        QCOMPARE(state.queued(), keys.mid(2));
        QCOMPARE(sink.count(), before + 2);
        // The poll comes back when the limit opens, not at the next interval.
        QVERIFY(QTest::qWaitFor([&] { return state.queued().isEmpty(); }, 60000));
        relay->core.Stop();
        QVERIFY(rounds.count() >= 3);
        QStringList sent = PySubjects(sink.messages().mid(before));
        QCOMPARE(sent.size(), 5);
        sent.sort();
        QCOMPARE(sent, (QStringList{"limited 0", "limited 1", "limited 2", "limited 3", "limited 4"}));
        QCOMPARE(relay->logCount(QStringLiteral("Post office records wait for the limit SMTPMessagesPerMinute 2")), 1);
        QVERIFY(StagingEmpty());
    }

    void aQuotaReplyHoldsTheRecordsUntilTheRestEnds()
    {
        SmtpSink server;
        QVERIFY(server.start());
        server.setFaults({QStringLiteral("mail 550 5.4.5 Daily user sending quota exceeded.")});
        auto tracker = std::make_shared<MemoryTrackerFactory>();
        auto& state = *tracker->state;
        const QList<qint32> keys{state.add(Doc(QStringLiteral("quota 0"))), state.add(Doc(QStringLiteral("quota 1")))};
        auto relay = memoryRelay(tracker, server.hostText());
        QVERIFY(relay->poll());
        QCOMPARE(state.queued(), keys);
        const QString kept = QStringLiteral(" kept for the next poll");
        const int told = relay->logCount(kept);
        QVERIFY2(told >= 1, qPrintable(relay->core.LogText()));
        // The server would take mail now, but it asked for a rest: no record is read or tried.
        server.setFaults({});
        QVERIFY(relay->poll());
        QCOMPARE(server.count(), 0);
        QCOMPARE(state.queued(), keys);
        QCOMPARE(relay->logCount(kept), told);
        // Another server: the rest was the old one's.
        SmtpSink other;
        QVERIFY(other.start());
        relay->settings.Write(setting::SMTPServer, other.hostText());
        relay->core.Reload();
        QVERIFY(relay->poll());
        QVERIFY(other.waitForCount(2));
        QVERIFY(state.queued().isEmpty());
        QCOMPARE(server.count(), 0);
        ForgetSmtpServerRests();
    }

    void cleanupTestCase() { QVERIFY(StagingEmpty()); }
};

QTEST_GUILESS_MAIN(PostOfficeTest)
#include "test_postoffice.moc"
