// The tracker stand-in: the session the relay uses, the store btadmin writes, and both at once.
#include "tracker/SqliteTracker.h"
#include "tracker/TrackerStore.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using namespace swn;
using namespace swn::tracker;

namespace {

int ErrorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const TrackerError& e) {
        return e.number();
    }
    return 0;
}

QByteArray Binary(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator rng{quint32(size)};
    for (char& c : bytes)
        c = char(rng.bounded(256));
    bytes[0] = '\0';
    return bytes;
}

struct Btadmin {
    QString root;
    int exitCode = -1;
    QByteArray out, err;
    int run(const QStringList& args)
    {
        QProcess p;
        p.start(QStringLiteral(SWN_BTADMIN), QStringList{QStringLiteral("--root"), root} + args);
        p.waitForFinished(30000);
        out = p.readAllStandardOutput();
        err = p.readAllStandardError();
        exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return exitCode;
    }
};

} // namespace

class TrackerTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<TrackerStore> store;
    std::unique_ptr<SqliteTrackerFactory> factory;

private Q_SLOTS:
    void initTestCase()
    {
        store = std::make_unique<TrackerStore>(dir.path());
        factory = std::make_unique<SqliteTrackerFactory>(dir.path());
        store->createDatabaseSet("Repo");
        store->createDatabase("Repo", "SAMPL", false, {});
        store->createDatabase("Repo", "MULTI", true, "tokyo");
        store->createDatabase("Repo", "PLAIN", false, {});
        store->addUser("Repo", "admin", "s3cret", {"SAMPL", "MULTI"});
        store->addUser("Repo", "guest", "guest", {});
        store->enablePostOffice("Repo", "SAMPL");
        store->enablePostOffice("Repo", "MULTI");
    }

    void logOnErrors()
    {
        auto s = factory->CreateSession();
        QCOMPARE(ErrorOf([&] { s->RecordTypeNames(); }), tracker_errors::NotLoggedOn);
        QCOMPARE(ErrorOf([&] { s->LogOn("admin", "s3cret", "NOPE", 2, "Repo"); }), tracker_errors::NoSuchDatabase);
        QCOMPARE(ErrorOf([&] { s->LogOn("admin", "wrong", "SAMPL", 2, "Repo"); }), tracker_errors::BadCredentials);
        QCOMPARE(ErrorOf([&] { s->LogOn("nobody", "s3cret", "SAMPL", 2, "Repo"); }), tracker_errors::BadCredentials);
        QCOMPARE(ErrorOf([&] { s->LogOn("guest", "guest", "SAMPL", 2, "Repo"); }), tracker_errors::BadCredentials);
        QCOMPARE(ErrorOf([&] { s->LogOn("admin", "s3cret", "SAMPL", 2, "Other"); }), tracker_errors::NoSuchDatabaseSet);
        QCOMPARE(ErrorOf([&] { s->LogOn("admin", "s3cret", "SAMPL", 2, "../Repo"); }), tracker_errors::NoSuchDatabaseSet);
        QCOMPARE(ErrorOf([&] { s->LogOn("admin", "s3cret", "SAMPL", 2, "Repo"); }), 0);
        QVERIFY(s->RecordTypeNames().contains("SwiftnotePostOffice"));
        QVERIFY(!s->IsReplicated());

        // A database whose file went missing, or is no database: 13285, and nothing is created.
        store->addUser("Repo", "admin", "s3cret", {"PLAIN"});
        const QString path = store->databasePath("Repo", "PLAIN");
        QVERIFY(QFile::rename(path, path + ".moved"));
        QCOMPARE(ErrorOf([&] { s->LogOn("admin", "s3cret", "PLAIN", 2, "Repo"); }), tracker_errors::DatabaseNotAccessible);
        QVERIFY(!QFile::exists(path));
        QFile junk(path);
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
        junk.close();
        QCOMPARE(ErrorOf([&] { s->LogOn("admin", "s3cret", "PLAIN", 2, "Repo"); }), tracker_errors::DatabaseNotAccessible);
        QFile::remove(path);
        QVERIFY(QFile::rename(path + ".moved", path));
        // The session that failed to log on is logged off, not left on the old database.
        QCOMPARE(ErrorOf([&] { s->RecordTypeNames(); }), tracker_errors::NotLoggedOn);
        // A database never enabled for the post office has no such record type to query.
        s->LogOn("admin", "s3cret", "PLAIN", 2, "Repo");
        QVERIFY(s->RecordTypeNames().isEmpty());
        QCOMPARE(ErrorOf([&] { s->NewQuery("SwiftnotePostOffice"); }), tracker_errors::NoSuchRecordType);
    }

    void recordsKeepTheirDatabase()
    {
        // Two databases whose rows have the same ids: what a logon handed out keeps reading its
        // own database after the session moves on, and outlives the session.
        QTemporaryDir root;
        TrackerStore other(root.path());
        other.createDatabaseSet("S");
        for (const char* db : {"A", "B"}) {
            other.createDatabase("S", db, false, {});
            other.enablePostOffice("S", db);
            other.enqueue("S", db, db, {{"d", QByteArray("from ") + db}});
        }
        other.addUser("S", "u", "p", {"A", "B"});
        auto s = SqliteTrackerFactory(root.path()).CreateSession();
        s->LogOn("u", "p", "A", 2, "S");
        std::unique_ptr<BTResultSet> rows;
        {
            auto query = s->NewQuery("SwiftnotePostOffice");
            query->AddColumn("dbid");
            rows = s->OpenResultSet(*query);
        }
        auto record = s->RecordByKey("SwiftnotePostOffice", 1);
        auto items = record->AttachmentFieldSet().Item("Attachments").AttachmentItems();
        s->LogOn("u", "p", "B", 2, "S");
        QCOMPARE(ErrorOf([&] { s->DeleteRecord(*record, "Delete"); }), tracker_errors::InvalidArgument);
        s.reset();
        rows->Run();
        QCOMPARE(rows->RowCount(), qint64(1));
        items->Item(0).Load(root.filePath("out"));
        QFile out(root.filePath("out"));
        QVERIFY(out.open(QIODevice::ReadOnly));
        QCOMPARE(out.readAll(), QByteArray("from A"));
        QCOMPARE(other.list("S", "A").size(), 1);
    }

    void queueQueriesAndDeletes()
    {
        const QByteArray big = Binary(3 << 20);
        const qint64 first = store->enqueue("Repo", "SAMPL", "<BT_mail_Msg>1</BT_mail_Msg>",
                                            {{"big.bin", big}, {"note.txt", "hello"}});
        const qint64 second = store->enqueue("Repo", "SAMPL", QStringLiteral("<BT_mail_Msg>ü</BT_mail_Msg>"), {});
        QVERIFY(second > first);
        auto s = factory->CreateSession();
        s->LogOn("admin", "s3cret", "SAMPL", 2, "Repo");
        auto query = s->NewQuery("SwiftnotePostOffice");
        query->AddColumn("dbid");
        auto rows = s->OpenResultSet(*query);
        rows->RequestRowCount();
        rows->Run();
        QCOMPARE(rows->RowCount(), qint64(2));
        QCOMPARE(rows->NextRow(), 1);
        QCOMPARE(rows->CellValue(1).toLongLong(), first);

        auto record = s->RecordByKey("SwiftnotePostOffice", rows->CellValue(1));
        QCOMPARE(record->FieldObject("Payload")->getValue(), QStringLiteral("<BT_mail_Msg>1</BT_mail_Msg>"));
        auto items = record->AttachmentFieldSet().Item("Attachments").AttachmentItems();
        QCOMPARE(items->Count(), 2);
        QCOMPARE(items->Item(0).Description(), QStringLiteral("big.bin"));
        QCOMPARE(items->Item(1).Description(), QStringLiteral("note.txt"));
        const QString out = dir.filePath("loaded.bin");
        items->Item(0).Load(out);
        QFile loaded(out);
        QVERIFY(loaded.open(QIODevice::ReadOnly));
        QCOMPARE(loaded.readAll(), big);
        QCOMPARE(loaded.permissions() & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());
        // An attachment that cannot be written leaves no file and says why.
        QVERIFY(ErrorOf([&] { items->Item(1).Load(dir.filePath("no/such/folder/x")); }) != 0);

        s->DeleteRecord(*record, "Delete");
        QCOMPARE(ErrorOf([&] { s->RecordByKey("SwiftnotePostOffice", first); }), tracker_errors::NoSuchRecord);
        QCOMPARE(ErrorOf([&] { s->DeleteRecord(*record, "Delete"); }), tracker_errors::NoSuchRecord);
        QVERIFY(ErrorOf([&] { s->DeleteRecord(*record, "Obliterate"); }) != 0);
        QCOMPARE(rows->NextRow(), 1);
        QCOMPARE(rows->CellValue(1).toLongLong(), second);
        QCOMPARE(s->RecordByKey("SwiftnotePostOffice", second)->FieldObject("Payload")->getValue(),
                 QStringLiteral("<BT_mail_Msg>ü</BT_mail_Msg>"));
        QCOMPARE(rows->NextRow(), 0);
        // The attachments went with the record.
        const QList<QueuedRecord> left = store->list("Repo", "SAMPL");
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].attachments, 0);
        s->DeleteRecord(*s->RecordByKey("SwiftnotePostOffice", second), "Delete");
    }

    void replicatedSitesFilter()
    {
        store->enqueue("Repo", "MULTI", "a", {});
        store->enqueue("Repo", "MULTI", "b", {}, QStringLiteral("paris"));
        store->enqueue("Repo", "MULTI", "c", {});
        auto s = factory->CreateSession();
        s->LogOn("admin", "s3cret", "MULTI", 2, "Repo");
        QVERIFY(s->IsReplicated());
        QCOMPARE(s->LocalSiteName(), QStringLiteral("tokyo"));
        auto query = s->NewQuery("SwiftnotePostOffice");
        query->AddFilterGroup(1).AddCondition("tavo_mastership", 1, s->LocalSiteName());
        query->AddColumn("dbid");
        auto rows = s->OpenResultSet(*query);
        rows->Run();
        QCOMPARE(rows->RowCount(), qint64(2));
        QStringList payloads;
        while (rows->NextRow() == 1)
            payloads << s->RecordByKey("SwiftnotePostOffice", rows->CellValue(1))->FieldObject("Payload")->getValue();
        QCOMPARE(payloads, (QStringList{"a", "c"}));
        QCOMPARE(ErrorOf([&] { s->NewQuery("Defect"); }), tracker_errors::NoSuchRecordType);
        QCOMPARE(ErrorOf([&] { query->AddColumn("Headline"); }), tracker_errors::NoSuchField);
    }

    void databaseListsAndAdminLogOn()
    {
        auto s = factory->CreateSession();
        QCOMPARE(s->ListDatabaseSets(), QStringList{"Repo"});
        QString user = QStringLiteral("admin");
        const auto dbs = s->ListDatabases("MASTR", user, "Repo");
        QVERIFY(dbs.has_value());
        QStringList names;
        for (const BTDatabaseInfo& db : *dbs)
            names << db.GetDatabaseName();
        QCOMPARE(names, (QStringList{"MULTI", "PLAIN", "SAMPL"}));
        QString guest = QStringLiteral("guest");
        QVERIFY(!s->ListDatabases("MASTR", guest, "Repo").has_value());
        QCOMPARE(ErrorOf([&] { s->ListDatabases("MASTR", user, "Nope"); }), tracker_errors::NoSuchDatabaseSet);

        auto admin = factory->CreateAdminSession();
        QCOMPARE(ErrorOf([&] { admin->AdminUserName(); }), tracker_errors::NotLoggedOn);
        QCOMPARE(ErrorOf([&] { admin->AdminLogOn("admin", "bad", "Repo"); }), tracker_errors::BadCredentials);
        admin->AdminLogOn("admin", "s3cret", "Repo");
        QCOMPARE(admin->AdminUserName(), QStringLiteral("admin"));
        QCOMPARE(SqliteTrackerFactory(dir.filePath("missing")).CreateSession()->ListDatabaseSets(), QStringList());
    }

    void btadminCommandsAndErrors()
    {
        QTemporaryDir root;
        Btadmin bt;
        bt.root = root.path();
        QCOMPARE(bt.run({"create-dbset", "Set1"}), 0);
        QCOMPARE(bt.run({"create-db", "Set1", "DB1", "--replicated", "--site", "north"}), 0);
        QCOMPARE(bt.run({"add-user", "Set1", "u", "p", "--db", "DB1"}), 0);
        QCOMPARE(bt.run({"enable-postoffice", "Set1", "DB1"}), 0);
        QFile payload(root.filePath("p.xml")), attach(root.filePath("a.bin"));
        QVERIFY(payload.open(QIODevice::WriteOnly) && attach.open(QIODevice::WriteOnly));
        payload.write("<BT_mail_Msg/>");
        attach.write(Binary(1000));
        payload.close();
        attach.close();
        QCOMPARE(bt.run({"enqueue", "Set1", "DB1", payload.fileName(), "--attach", attach.fileName() + "=A file.bin"}), 0);
        QCOMPARE(bt.out.trimmed(), QByteArray("1"));
        QCOMPARE(bt.run({"enqueue", "Set1", "DB1", payload.fileName(), "--site", "south"}), 0);
        QCOMPARE(bt.run({"list", "Set1", "DB1"}), 0);
        QCOMPARE(bt.out, QByteArray("1\tnorth\t14\t1\tqueued\n2\tsouth\t14\t0\tqueued\n"));

        // Repeated options: attachments keep the order given; a known user gains databases.
        QCOMPARE(bt.run({"enqueue", "Set1", "DB1", payload.fileName(), "--attach", payload.fileName() + "=first",
                         "--attach", attach.fileName() + "=second=with=equals", "--attach", payload.fileName() + "=third"}),
                 0);
        const QVariant third = bt.out.trimmed().toLongLong();
        QCOMPARE(bt.run({"create-db", "Set1", "DB3"}), 0);
        QCOMPARE(bt.run({"add-user", "Set1", "u", "p", "--db", "DB3", "--db", "DB1"}), 0);
        auto s = SqliteTrackerFactory(root.path()).CreateSession();
        QString user = QStringLiteral("u");
        QCOMPARE(s->ListDatabases("MASTR", user, "Set1")->size(), size_t(2));
        s->LogOn("u", "p", "DB1", 2, "Set1");
        auto items = s->RecordByKey("SwiftnotePostOffice", third)->AttachmentFieldSet().Item("Attachments").AttachmentItems();
        QStringList descriptions;
        for (int i = 0; i < items->Count(); ++i)
            descriptions << items->Item(i).Description();
        QCOMPARE(descriptions, (QStringList{"first", "second=with=equals", "third"}));
        QCOMPARE(bt.run({"enqueue", "Set1", "DB3", payload.fileName()}), 1);
        QVERIFY(bt.err.contains("enable-postoffice"));
        QCOMPARE(bt.run({"--help"}), 0);
        QVERIFY(bt.out.contains("enqueue SET DB PAYLOAD_FILE"));

        // Each mistake: a non-zero exit and a line that says what is wrong.
        struct Case { QStringList args; const char* says; };
        const QList<Case> cases{
            {{"frobnicate"}, "unknown command"},
            {{"create-dbset"}, "takes 1 arguments"},
            {{"create-dbset", "Set1"}, "exists already"},
            {{"create-dbset", "../escape"}, "invalid database set name"},
            {{"create-db", "Set1", "DB2", "--replicated"}, "site name"},
            {{"create-db", "NoSet", "DB"}, "does not exist"},
            {{"add-user", "Set1", "v", "p", "--db", "NODB"}, "does not exist"},
            {{"enqueue", "Set1", "DB1", root.filePath("missing.xml")}, "cannot read"},
            {{"enqueue", "Set1", "DB1", payload.fileName(), "--attach", "nodescription"}, "FILE=DESCRIPTION"},
            {{"enqueue", "Set1", "DB1", payload.fileName(), "--bogus"}, "unknown option"},
            {{"list", "Set1", "NODB"}, "does not exist"},
        };
        for (const Case& c : cases) {
            QVERIFY2(bt.run(c.args) != 0, qPrintable(c.args.join(' ')));
            QVERIFY2(bt.err.contains(c.says), bt.err.constData());
        }
        QVERIFY(!QFile::exists(root.filePath("..escape.btset")));
        QCOMPARE(bt.run({"list", "Set1", "DB1"}), 0);
        QCOMPARE(bt.out.count('\n'), 3); // the failed enqueues left nothing behind
    }

    void relayDrainsWhileTheTrackerEnqueues()
    {
        // btadmin in other processes enqueues while this session reads and deletes: every record
        // arrives once and whole.
        constexpr int perWriter = 40;
        constexpr int writers = 3;
        QFile payload(dir.filePath("drain.xml"));
        QVERIFY(payload.open(QIODevice::WriteOnly));
        payload.write(QByteArray(20000, 'p'));
        payload.close();
        QFile attach(dir.filePath("drain.bin"));
        QVERIFY(attach.open(QIODevice::WriteOnly));
        attach.write(Binary(50000));
        attach.close();
        std::vector<std::unique_ptr<QProcess>> procs;
        for (int w = 0; w < writers; ++w) {
            auto p = std::make_unique<QProcess>();
            QString script = QStringLiteral("for i in $(seq %1); do '%2' --root '%3' enqueue Repo SAMPL '%4' --attach '%5=d.bin' >/dev/null || exit 1; done")
                                 .arg(perWriter).arg(QStringLiteral(SWN_BTADMIN), dir.path(), payload.fileName(), attach.fileName());
            p->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
            procs.push_back(std::move(p));
        }
        auto s = factory->CreateSession();
        s->LogOn("admin", "s3cret", "SAMPL", 2, "Repo");
        int drained = 0;
        QElapsedTimer timer;
        timer.start();
        auto writing = [&] {
            return std::any_of(procs.begin(), procs.end(), [](auto& p) { return p->state() != QProcess::NotRunning; });
        };
        bool lastRound = false;
        while (drained < perWriter * writers && timer.elapsed() < 120000 && !lastRound) {
            lastRound = !writing(); // one more round after the writers are done, then stop

            auto query = s->NewQuery("SwiftnotePostOffice");
            query->AddColumn("dbid");
            auto rows = s->OpenResultSet(*query);
            rows->Run();
            while (rows->NextRow() == 1) {
                auto record = s->RecordByKey("SwiftnotePostOffice", rows->CellValue(1));
                QCOMPARE(record->FieldObject("Payload")->getValue().size(), 20000);
                auto items = record->AttachmentFieldSet().Item("Attachments").AttachmentItems();
                QCOMPARE(items->Count(), 1);
                items->Item(0).Load(dir.filePath("drained.bin"));
                QCOMPARE(QFileInfo(dir.filePath("drained.bin")).size(), 50000);
                s->DeleteRecord(*record, "Delete");
                ++drained;
            }
            QTest::qWait(5);
        }
        for (auto& p : procs) {
            QVERIFY(p->state() == QProcess::NotRunning || p->waitForFinished(60000));
            QCOMPARE(p->exitCode(), 0);
        }
        QCOMPARE(drained, perWriter * writers);
        QVERIFY(store->list("Repo", "SAMPL").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TrackerTest)
#include "test_tracker.moc"
