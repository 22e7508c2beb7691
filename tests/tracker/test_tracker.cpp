// The tracker stand-in: the session the relay uses, the store btadmin writes, and both at once.
#include "tracker/SqliteTracker.h"
#include "tracker/TrackerStore.h"
#include "tracker/UnavailableTracker.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include <sqlite3.h>

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

// The error raised, or number 0 when nothing was.
TrackerError RaisedBy(const std::function<void()>& f)
{
    try {
        f();
    } catch (const TrackerError& e) {
        return e;
    }
    return TrackerError(0, QString());
}

// A connection of its own to a store file: another writer, or a file of an older layout.
struct RawDb {
    sqlite3* db = nullptr;
    QString error;
    explicit RawDb(const QString& path)
    {
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    }
    ~RawDb() { sqlite3_close_v2(db); }
    bool exec(const char* sql)
    {
        char* e = nullptr;
        const bool ok = sqlite3_exec(db, sql, nullptr, nullptr, &e) == SQLITE_OK;
        error = QString::fromUtf8(e ? e : "");
        sqlite3_free(e);
        return ok;
    }
    qint64 number(const char* sql)
    {
        sqlite3_stmt* q = nullptr;
        qint64 n = -1;
        if (sqlite3_prepare_v2(db, sql, -1, &q, nullptr) == SQLITE_OK && sqlite3_step(q) == SQLITE_ROW)
            n = sqlite3_column_int64(q, 0);
        sqlite3_finalize(q);
        return n;
    }
    QString text(const char* sql)
    {
        sqlite3_stmt* q = nullptr;
        QString t;
        if (sqlite3_prepare_v2(db, sql, -1, &q, nullptr) == SQLITE_OK && sqlite3_step(q) == SQLITE_ROW)
            t = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)));
        sqlite3_finalize(q);
        return t;
    }
    // What the planner does with a statement: one line per step of EXPLAIN QUERY PLAN.
    QStringList plan(const QByteArray& sql)
    {
        sqlite3_stmt* q = nullptr;
        QStringList steps;
        if (sqlite3_prepare_v2(db, "EXPLAIN QUERY PLAN " + sql, -1, &q, nullptr) != SQLITE_OK)
            return {QStringLiteral("cannot prepare: ") + QString::fromUtf8(sqlite3_errmsg(db))};
        while (sqlite3_step(q) == SQLITE_ROW)
            steps << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(q, 3)));
        sqlite3_finalize(q);
        return steps;
    }
};

// A store with one user `u`/`p` subscribed to each database, every one enabled for the post
// office; `replicated` databases are mastered at "tokyo".
std::unique_ptr<TrackerStore> NewStore(const QString& root, const QStringList& databases, const QStringList& replicated = {})
{
    auto st = std::make_unique<TrackerStore>(root);
    st->createDatabaseSet("S");
    for (const QString& db : databases + replicated) {
        st->createDatabase("S", db, replicated.contains(db), replicated.contains(db) ? "tokyo" : QString());
        st->enablePostOffice("S", db);
    }
    st->addUser("S", "u", "p", databases + replicated);
    return st;
}

QString WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// The dbids the relay's query returns, in its order; with a site, those mastered there.
QList<qint64> Queue(BTSession& s, const QString& site = {})
{
    auto query = s.NewQuery("SwiftnotePostOffice");
    if (!site.isEmpty())
        query->AddFilterGroup(1).AddCondition("tavo_mastership", 1, site);
    query->AddColumn("dbid");
    auto rows = s.OpenResultSet(*query);
    rows->Run();
    QList<qint64> ids;
    while (rows->NextRow() == 1)
        ids << rows->CellValue(1).toLongLong();
    return ids;
}

// btadmin holding a database's poll lock (and its write lock with --write) until it is told to
// let go or is killed.
struct LockHolder {
    QProcess process;
    bool start(const QString& root, const QStringList& args)
    {
        process.start(QStringLiteral(SWN_BTADMIN), QStringList{QStringLiteral("--root"), root, QStringLiteral("hold-lock")} + args);
        return process.waitForStarted() && process.waitForReadyRead(30000) && process.readLine() == "locked\n";
    }
    bool letGo()
    {
        process.closeWriteChannel();
        return process.waitForFinished(30000) && process.exitCode() == 0;
    }
    ~LockHolder()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
};

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
    explicit Btadmin(QString folder = {}) : root(std::move(folder)) {}
    QString root;
    int exitCode = -1;
    QByteArray out, err;
    int run(const QStringList& args)
    {
        QProcess p;
        p.start(QStringLiteral(SWN_BTADMIN), QStringList{QStringLiteral("--root"), root} + args);
        p.closeWriteChannel();
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
        const TrackerError loadError = RaisedBy([&] { items->Item(1).Load(dir.filePath("no/such/folder/x")); });
        QCOMPARE(loadError.number(), tracker_errors::StoreFailure);
        QVERIFY2(loadError.description().contains("no/such/folder/x") && loadError.description().contains(QString::fromLocal8Bit(std::strerror(ENOENT))),
                 qPrintable(loadError.description()));

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
            {{"create-dbset", "Set2\n"}, "invalid database set name"},
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

        // Output that cannot be written is a failure, not a listing cut short.
        QProcess full;
        full.setStandardOutputFile("/dev/full");
        full.start(QStringLiteral(SWN_BTADMIN), {"--root", root.path(), "list", "Set1", "DB1"});
        QVERIFY(full.waitForFinished(30000));
        QCOMPARE(full.exitCode(), 1);
        QVERIFY(full.readAllStandardError().contains("cannot write the output"));
    }

    void onePollerPerDatabase()
    {
        QCOMPARE(ErrorOf([&] { factory->CreateSession()->TryLockQueue(nullptr); }), tracker_errors::NotLoggedOn);
        QCOMPARE(ErrorOf([&] { UnavailableTrackerFactory().CreateSession()->TryLockQueue(nullptr); }),
                 tracker_errors::Unavailable);

        // Two sessions of one process exclude each other as two relays would.
        auto a = factory->CreateSession();
        auto b = factory->CreateSession();
        a->LogOn("admin", "s3cret", "SAMPL", 2, "Repo");
        b->LogOn("admin", "s3cret", "SAMPL", 2, "Repo");
        QString holder;
        QVERIFY(a->TryLockQueue(&holder));
        QVERIFY(holder.isEmpty());
        QVERIFY(a->TryLockQueue(&holder));
        QVERIFY(!b->TryLockQueue(&holder));
        QVERIFY2(holder.contains(QStringLiteral("process %1 ").arg(QCoreApplication::applicationPid())), qPrintable(holder));
        // Each database has its own lock.
        b->LogOn("admin", "s3cret", "MULTI", 2, "Repo");
        QVERIFY(b->TryLockQueue(nullptr));
        // A new logon to the same database keeps the lock; one to another database lets it go.
        a->LogOn("admin", "s3cret", "SAMPL", 2, "Repo");
        auto c = factory->CreateSession();
        c->LogOn("admin", "s3cret", "SAMPL", 2, "Repo");
        QVERIFY(!c->TryLockQueue(nullptr));
        a->LogOn("admin", "s3cret", "MULTI", 2, "Repo");
        QVERIFY(!a->TryLockQueue(nullptr));  // b polls MULTI
        QVERIFY(c->TryLockQueue(nullptr));
        // A failed logon, and a destroyed session, let go as well.
        QVERIFY(ErrorOf([&] { c->LogOn("admin", "wrong", "SAMPL", 2, "Repo"); }) != 0);
        b.reset();
        QVERIFY(a->TryLockQueue(nullptr));
        a.reset();
        c.reset();

        // Another process: btadmin holds the lock; the session waits its turn and learns who it is.
        auto s = factory->CreateSession();
        s->LogOn("admin", "s3cret", "SAMPL", 2, "Repo");
        {
            LockHolder other;
            QVERIFY(other.start(dir.path(), {"Repo", "SAMPL"}));
            QVERIFY(!s->TryLockQueue(&holder));
            QVERIFY2(holder.contains(QStringLiteral("process %1 ").arg(other.process.processId())), qPrintable(holder));
            QVERIFY(other.letGo());
            QVERIFY(s->TryLockQueue(nullptr));
        }
        // While the session holds it, a second process is refused and told who holds it.
        Btadmin bt{dir.path()};
        QCOMPARE(bt.run({"hold-lock", "Repo", "SAMPL"}), 1);
        QVERIFY2(bt.err.contains(QStringLiteral("held by process %1 ").arg(QCoreApplication::applicationPid()).toUtf8()),
                 bt.err.constData());
        s.reset();
        // A holder killed outright leaves no lock behind.
        {
            LockHolder killed;
            QVERIFY(killed.start(dir.path(), {"Repo", "SAMPL"}));
            auto t = factory->CreateSession();
            t->LogOn("admin", "s3cret", "SAMPL", 2, "Repo");
            QVERIFY(!t->TryLockQueue(nullptr));
            killed.process.kill();
            QVERIFY(killed.process.waitForFinished(30000));
            QVERIFY(t->TryLockQueue(nullptr));
        }
    }

    void trackerFolderThroughALink()
    {
        QTemporaryDir base;
        QVERIFY(QDir(base.path()).mkpath("real/tracker"));
        QVERIFY(QFile::link(base.filePath("real"), base.filePath("up")));
        QVERIFY(QFile::link(base.filePath("real/tracker"), base.filePath("link")));
        QFile payload(base.filePath("p.xml"));
        QVERIFY(payload.open(QIODevice::WriteOnly));
        payload.write("<BT_mail_Msg/>");
        payload.close();
        // The folder itself, and a folder above it, reached through links.
        for (const QString& root : {base.filePath("link"), base.filePath("up/tracker")}) {
            Btadmin bt{root};
            const QString set = root.endsWith("link") ? "S1" : "S2";
            QCOMPARE(bt.run({"create-dbset", set}), 0);
            QCOMPARE(bt.run({"create-db", set, "D"}), 0);
            QCOMPARE(bt.run({"add-user", set, "u", "p", "--db", "D"}), 0);
            QCOMPARE(bt.run({"enable-postoffice", set, "D"}), 0);
            QVERIFY2(bt.run({"enqueue", set, "D", payload.fileName()}) == 0, bt.err.constData());
            auto s = SqliteTrackerFactory(root).CreateSession();
            const TrackerError e = RaisedBy([&] { s->LogOn("u", "p", "D", 2, set); });
            QVERIFY2(e.number() == 0, qPrintable(e.description()));
            QVERIFY(s->TryLockQueue(nullptr));
            QCOMPARE(Queue(*s).size(), 1);
            s->DeleteRecord(*s->RecordByKey("SwiftnotePostOffice", 1), "Delete");
            QVERIFY(Queue(*s).isEmpty());
        }
        // A database file that is itself a link to somewhere else is still refused, and says so.
        const QString file = base.filePath("real/tracker/S1.D.btdb");
        QVERIFY(QFile::rename(file, base.filePath("elsewhere.btdb")));
        QVERIFY(QFile::link(base.filePath("elsewhere.btdb"), file));
        auto s = SqliteTrackerFactory(base.filePath("link")).CreateSession();
        const TrackerError e = RaisedBy([&] { s->LogOn("u", "p", "D", 2, "S1"); });
        QCOMPARE(e.number(), tracker_errors::DatabaseNotAccessible);
        QVERIFY2(e.description().contains("symbolic link") && e.description().contains("S1.D.btdb"), qPrintable(e.description()));
    }

    void storeFailuresSayWhy()
    {
        QTemporaryDir root;
        TrackerStore st(root.path());
        st.createDatabaseSet("S");
        st.createDatabase("S", "D", false, {});
        st.addUser("S", "u", "p", {"D"});
        // A set file that is no database.
        QFile junk(st.setPath("Bad"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
        junk.close();
        auto s = SqliteTrackerFactory(root.path()).CreateSession();
        TrackerError e = RaisedBy([&] { s->LogOn("u", "p", "D", 2, "Bad"); });
        QCOMPARE(e.number(), tracker_errors::StoreFailure);
        QVERIFY2(e.description().contains("Bad.btset") && e.description().contains("not a database"), qPrintable(e.description()));
        // A lock file that cannot be opened: the path and the system's reason.
        QVERIFY(QDir().mkdir(QueueLock::PathFor(st.databasePath("S", "D"))));
        s->LogOn("u", "p", "D", 2, "S");
        e = RaisedBy([&] { s->TryLockQueue(nullptr); });
        QCOMPARE(e.number(), tracker_errors::StoreFailure);
        QVERIFY2(e.description().contains("S.D.btdb.lock") && e.description().contains(QString::fromLocal8Bit(std::strerror(EISDIR))),
                 qPrintable(e.description()));
        // A set folder that cannot be made.
        QFile blocker(root.filePath("file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        e = RaisedBy([&] { TrackerStore(root.filePath("file/sub")).createDatabaseSet("S"); });
        QCOMPARE(e.number(), tracker_errors::StoreFailure);
        QVERIFY2(e.description().contains("file/sub") && e.description().contains(QString::fromLocal8Bit(std::strerror(ENOTDIR))),
                 qPrintable(e.description()));
    }

    void parkedRecordsWaitForTheAdministrator()
    {
        QTemporaryDir root;
        Btadmin bt{root.path()};
        QCOMPARE(bt.run({"create-dbset", "S"}), 0);
        QCOMPARE(bt.run({"create-db", "S", "D"}), 0);
        QCOMPARE(bt.run({"create-db", "S", "E"}), 0);
        QCOMPARE(bt.run({"add-user", "S", "u", "p", "--db", "D"}), 0);
        QCOMPARE(bt.run({"enable-postoffice", "S", "D"}), 0);
        QCOMPARE(bt.run({"enable-postoffice", "S", "E"}), 0);
        QFile payload(root.filePath("p.xml")), attach(root.filePath("a.bin"));
        QVERIFY(payload.open(QIODevice::WriteOnly) && attach.open(QIODevice::WriteOnly));
        payload.write("<BT_mail_Msg>\nnot closed");
        attach.write(Binary(1000));
        payload.close();
        attach.close();
        for (int i = 0; i < 3; ++i)
            QCOMPARE(bt.run({"enqueue", "S", "D", payload.fileName(), "--attach", attach.fileName() + "=a.bin"}), 0);

        auto s = SqliteTrackerFactory(root.path()).CreateSession();
        s->LogOn("u", "p", "D", 2, "S");
        QCOMPARE(Queue(*s), (QList<qint64>{1, 2, 3}));
        auto second = s->RecordByKey("SwiftnotePostOffice", 2);
        s->ParkRecord(*second, "every recipient refused: 550 no\nsuch user");
        QCOMPARE(Queue(*s), (QList<qint64>{1, 3}));
        // Not a record of this session's logon.
        auto other = SqliteTrackerFactory(root.path()).CreateSession();
        other->LogOn("u", "p", "D", 2, "S");
        QCOMPARE(ErrorOf([&] { other->ParkRecord(*second, "x"); }), tracker_errors::InvalidArgument);
        QVERIFY(ErrorOf([&] { other->LogOn("u", "wrong", "D", 2, "S"); }) != 0);
        QCOMPARE(ErrorOf([&] { other->ParkRecord(*second, "x"); }), tracker_errors::NotLoggedOn);
        QCOMPARE(ErrorOf([&] { other->DeleteRecord(*second, "Delete"); }), tracker_errors::NotLoggedOn);

        QCOMPARE(bt.run({"list", "S", "D"}), 0);
        QCOMPARE(bt.out, QByteArray("1\t\t24\t1\tqueued\n2\t\t24\t1\tparked\n3\t\t24\t1\tqueued\n"));
        QCOMPARE(bt.run({"show", "S", "D", "2"}), 0);
        const QString today = QDateTime::currentDateTimeUtc().toString("yyyy-MM-dd");
        QVERIFY2(bt.out.startsWith("dbid: 2\nstate: parked\nsite: \nparked at: " + today.toUtf8()), bt.out.constData());
        QVERIFY2(bt.out.contains("\nreason: every recipient refused: 550 no such user\n"
                                 "attachment: a.bin (1000 bytes)\npayload:\n<BT_mail_Msg>\nnot closed\n"),
                 bt.out.constData());
        QCOMPARE(bt.run({"show", "S", "D", "1"}), 0);
        QVERIFY(bt.out.startsWith("dbid: 1\nstate: queued\nsite: \nattachment: a.bin (1000 bytes)\npayload:\n"));

        // Requeued: back at its old place, ahead of the later record.
        QCOMPARE(bt.run({"requeue", "S", "D", "2"}), 0);
        QCOMPARE(Queue(*s), (QList<qint64>{1, 2, 3}));
        QCOMPARE(bt.run({"requeue", "S", "D", "2"}), 1);
        QVERIFY(bt.err.contains("not parked"));
        // Deleted: the record and its attachments.
        s->ParkRecord(*second, "again");
        QCOMPARE(bt.run({"delete", "S", "D", "2"}), 0);
        QCOMPARE(Queue(*s), (QList<qint64>{1, 3}));
        QCOMPARE(ErrorOf([&] { s->ParkRecord(*second, "gone"); }), tracker_errors::NoSuchRecord);
        {
            RawDb raw(TrackerStore(root.path()).databasePath("S", "D"));
            QCOMPARE(raw.number("SELECT count(*) FROM attachments WHERE dbid = 2"), qint64(0));
            QCOMPARE(raw.number("SELECT count(*) FROM attachments"), qint64(2));
        }

        QCOMPARE(bt.run({"--help"}), 0);
        for (const char* command : {"show SET DB DBID", "requeue SET DB DBID", "delete SET DB DBID"})
            QVERIFY2(bt.out.contains(command), command);
        struct Case { QStringList args; int exit; const char* says; };
        const QList<Case> cases{
            {{"show", "NoSet", "D", "1"}, 1, "database set 'NoSet' does not exist"},
            {{"show", "S", "NODB", "1"}, 1, "database 'NODB' does not exist"},
            {{"show", "S", "D", "abc"}, 2, "'abc' is not a record number"},
            {{"show", "S", "D", "99"}, 1, "no SwiftnotePostOffice record 99"},
            {{"show", "S", "E", "1"}, 1, "no SwiftnotePostOffice record 1"},
            {{"show", "S", "D"}, 2, "takes 3 arguments"},
            {{"requeue", "S", "D", "99"}, 1, "record 99"},
            {{"requeue", "S", "D", "1x"}, 2, "not a record number"},
            {{"delete", "S", "D", "2"}, 1, "no SwiftnotePostOffice record 2"},
            {{"delete", "S", "D", "-1"}, 2, "not a record number"},
            {{"delete", "S", "NODB", "1"}, 1, "does not exist"},
        };
        for (const Case& c : cases) {
            QVERIFY2(bt.run(c.args) == c.exit, qPrintable(c.args.join(' ') + ": " + QString::fromUtf8(bt.err)));
            QVERIFY2(bt.err.contains(c.says), bt.err.constData());
        }
        QCOMPARE(Queue(*s), (QList<qint64>{1, 3}));
    }

    void storeFilesOfTheEarlierLayoutKeepWorking()
    {
        // A database file as the previous version made it: no place for a parked mark.
        QTemporaryDir root;
        TrackerStore st(root.path());
        st.createDatabaseSet("S");
        st.createDatabase("S", "D", false, {});
        st.addUser("S", "u", "p", {"D"});
        const QString path = st.databasePath("S", "D");
        QVERIFY(QFile::remove(path));
        {
            RawDb raw(path);
            QVERIFY2(raw.exec("PRAGMA journal_mode=WAL;"
                              "CREATE TABLE record_types(name TEXT PRIMARY KEY);"
                              "CREATE TABLE records(dbid INTEGER PRIMARY KEY AUTOINCREMENT, type TEXT NOT NULL,"
                              " payload TEXT NOT NULL, mastership TEXT NOT NULL);"
                              "CREATE TABLE attachments(id INTEGER PRIMARY KEY AUTOINCREMENT,"
                              " dbid INTEGER NOT NULL REFERENCES records(dbid) ON DELETE CASCADE, field TEXT NOT NULL,"
                              " description TEXT NOT NULL, content BLOB NOT NULL);"
                              "CREATE INDEX records_by_type ON records(type, mastership, dbid);"
                              "CREATE INDEX attachments_by_record ON attachments(dbid, field, id);"
                              "INSERT INTO record_types VALUES('SwiftnotePostOffice');"
                              "INSERT INTO records(type, payload, mastership) VALUES('SwiftnotePostOffice', 'one', '');"
                              "INSERT INTO records(type, payload, mastership) VALUES('SwiftnotePostOffice', 'two', '');"
                              "INSERT INTO attachments(dbid, field, description, content) VALUES(2, 'Attachments', 'd', x'00ff');"),
                     qPrintable(raw.error));
        }
        // Several processes open the old file at once: each brings it up to date or finds it so.
        std::vector<std::unique_ptr<QProcess>> opening;
        for (int i = 0; i < 4; ++i) {
            opening.push_back(std::make_unique<QProcess>());
            opening.back()->start(QStringLiteral(SWN_BTADMIN), {"--root", root.path(), "list", "S", "D"});
        }
        for (auto& p : opening) {
            QVERIFY(p->waitForFinished(30000));
            QVERIFY2(p->exitCode() == 0, p->readAllStandardError().constData());
            QCOMPARE(p->readAllStandardOutput(), QByteArray("1\t\t3\t0\tqueued\n2\t\t3\t1\tqueued\n"));
        }
        {
            // The queue's indexes, and no longer the one that could not tell parked records.
            RawDb raw(path);
            QCOMPARE(raw.text("SELECT group_concat(name, ' ') FROM (SELECT name FROM sqlite_master WHERE type = 'index'"
                              " AND name LIKE 'records%' ORDER BY name)"),
                     QStringLiteral("records_queued records_queued_by_site"));
            // One identity, whichever of them made it.
            QCOMPARE(raw.number("SELECT count(*) FROM database_identity"), qint64(1));
        }
        Btadmin bt{root.path()};
        auto s = SqliteTrackerFactory(root.path()).CreateSession();
        s->LogOn("u", "p", "D", 2, "S");
        QCOMPARE(Queue(*s), (QList<qint64>{1, 2}));
        s->ParkRecord(*s->RecordByKey("SwiftnotePostOffice", 1), "bad document");
        QCOMPARE(Queue(*s), (QList<qint64>{2}));
        QCOMPARE(bt.run({"show", "S", "D", "1"}), 0);
        QVERIFY(bt.out.contains("reason: bad document\n"));
        RawDb raw(path);
        QCOMPARE(raw.number("SELECT count(*) FROM pragma_table_info('records') WHERE name LIKE 'parked%'"), qint64(2));
    }

    void eachDatabaseHasAnIdentityOfItsOwn()
    {
        // What the relay remembers of a database's records by key must never pass to another
        // database, not even one made again under the same name after the first was removed.
        auto identityOf = [](const QString& root, const QString& database) {
            auto s = SqliteTrackerFactory(root).CreateSession();
            s->LogOn("u", "p", database, 2, "S");
            return s->DatabaseIdentity();
        };
        QString first;
        {
            QTemporaryDir root;
            auto st = NewStore(root.path(), {"D", "E"});
            first = identityOf(root.path(), "D");
            QVERIFY2(QRegularExpression(QStringLiteral("\\A[0-9a-f]{32}\\z")).match(first).hasMatch(), qPrintable(first));
            QCOMPARE(identityOf(root.path(), "D"), first);
            QCOMPARE(st->identity("S", "D"), first);
            QVERIFY(identityOf(root.path(), "E") != first);
            auto s = SqliteTrackerFactory(root.path()).CreateSession();
            QCOMPARE(ErrorOf([&] { s->DatabaseIdentity(); }), tracker_errors::NotLoggedOn);

            // Made again under the same name: the same keys, another identity.
            const qint64 dbid = st->enqueue("S", "D", "<BT_mail_Msg/>", {});
            QVERIFY(QDir(root.path()).removeRecursively());
            st = NewStore(root.path(), {"D"});
            QCOMPARE(st->enqueue("S", "D", "<BT_mail_Msg/>", {}), dbid);
            const QString second = identityOf(root.path(), "D");
            QVERIFY(!second.isEmpty());
            QVERIFY(second != first);
        }

        // A file made before databases had identities gets one when first opened, by the admin
        // tool or by the relay, and keeps it.
        for (const bool byRelay : {false, true}) {
            QTemporaryDir root;
            auto st = NewStore(root.path(), {"D"});
            const QString path = st->databasePath("S", "D");
            {
                RawDb raw(path);
                QVERIFY2(raw.exec("DROP TABLE database_identity"), qPrintable(raw.error));
            }
            QString made;
            if (byRelay) {
                made = identityOf(root.path(), "D");
            } else {
                Btadmin bt{root.path()};
                QCOMPARE(bt.run({"list", "S", "D"}), 0);
                made = RawDb(path).text("SELECT id FROM database_identity");
            }
            QVERIFY(!made.isEmpty());
            QCOMPARE(RawDb(path).number("SELECT count(*) FROM database_identity"), qint64(1));
            QCOMPARE(identityOf(root.path(), "D"), made);
            QCOMPARE(st->identity("S", "D"), made);
        }
    }

    void deleteUnderAnotherWritersLock()
    {
        QTemporaryDir root;
        TrackerStore st(root.path());
        st.createDatabaseSet("S");
        st.createDatabase("S", "D", false, {});
        st.addUser("S", "u", "p", {"D"});
        st.enablePostOffice("S", "D");
        const qint64 dbid = st.enqueue("S", "D", "<BT_mail_Msg/>", {{"a", "1"}, {"b", "2"}});
        auto s = SqliteTrackerFactory(root.path()).CreateSession();
        QCOMPARE(ErrorOf([&] { s->SetBusyTimeout(-1); }), tracker_errors::InvalidArgument);
        s->SetBusyTimeout(100);  // before the logon: kept for it
        s->LogOn("u", "p", "D", 2, "S");
        auto record = s->RecordByKey("SwiftnotePostOffice", dbid);
        RawDb raw(st.databasePath("S", "D"));
        auto intact = [&] {
            return raw.number("SELECT count(*) FROM records") == 1 && raw.number("SELECT count(*) FROM attachments") == 2;
        };

        // Another connection of this process holds the write lock: a clear failure, not a wait.
        QVERIFY(raw.exec("BEGIN IMMEDIATE"));
        TrackerError e = RaisedBy([&] { s->DeleteRecord(*record, "Delete"); });
        QCOMPARE(e.number(), tracker_errors::StoreFailure);
        QVERIFY2(e.description().contains("database is locked") && e.description().contains("busy time-out")
                     && e.description().contains("S.D.btdb"),
                 qPrintable(e.description()));
        QCOMPARE(ErrorOf([&] { s->ParkRecord(*record, "x"); }), tracker_errors::StoreFailure);
        QVERIFY(raw.exec("ROLLBACK"));
        QVERIFY(intact());

        // Another process holds it.
        {
            LockHolder writer;
            QVERIFY(writer.start(root.path(), {"S", "D", "--write"}));
            QCOMPARE(ErrorOf([&] { s->DeleteRecord(*record, "Delete"); }), tracker_errors::StoreFailure);
            QVERIFY(writer.letGo());
        }
        QVERIFY(intact());

        // The record cannot go after its attachments went: nothing goes.
        QVERIFY(raw.exec("CREATE TRIGGER keep BEFORE DELETE ON records BEGIN SELECT RAISE(ABORT, 'kept by the test'); END"));
        e = RaisedBy([&] { s->DeleteRecord(*record, "Delete"); });
        QCOMPARE(e.number(), tracker_errors::StoreFailure);
        QVERIFY2(e.description().contains("kept by the test"), qPrintable(e.description()));
        QVERIFY(intact());
        QVERIFY(raw.exec("DROP TRIGGER keep"));
        s->DeleteRecord(*record, "Delete");
        QCOMPARE(raw.number("SELECT count(*) FROM records"), qint64(0));
        QCOMPARE(raw.number("SELECT count(*) FROM attachments"), qint64(0));
    }

    void btadminReadsPayloadsInTheirEncoding()
    {
        QTemporaryDir root;
        auto st = NewStore(root.path(), {"D"});
        Btadmin bt{root.path()};
        auto session = SqliteTrackerFactory(root.path()).CreateSession();
        session->LogOn("u", "p", "D", 2, "S");
        auto document = [](const QByteArray& encoding, const QByteArray& subject) {
            const QByteArray declaration = encoding.isEmpty() ? QByteArray() : "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>\n";
            return declaration + "<BT_mail_Msg><Subject>" + subject + "</Subject></BT_mail_Msg>\n";
        };
        auto text = [&](const QByteArray& encoding, const QString& subject) {
            return QString::fromLatin1(document(encoding, "%1")).arg(subject);
        };
        QStringEncoder toUtf16(QStringEncoder::Utf16LE);
        const QString wide = text("UTF-16", QStringLiteral(u"\u00DCn\u00EF \u65E5\u672C"));
        struct Case {
            const char* name;
            QByteArray bytes;
            QString stored;  // the declaration as it was, the characters the file meant
        };
        const QList<Case> cases{
            {"sjis.xml", document("Shift_JIS", QByteArray::fromHex("93fa967b8cea")),
             text("Shift_JIS", QStringLiteral(u"\u65E5\u672C\u8A9E"))},
            {"latin1.xml", document("ISO-8859-1", QByteArray::fromHex("436166e9")), text("ISO-8859-1", QStringLiteral(u"Caf\u00E9"))},
            {"gb18030.xml", document("GB18030", QByteArray::fromHex("d6d0cec4a2e39439fc36")),
             text("GB18030", QStringLiteral(u"\u4E2D\u6587\u20AC\U0001F600"))},
            {"utf16.xml", QByteArray::fromHex("fffe") + QByteArray(toUtf16(wide)), wide},
            // The byte order mark wins over the declaration, and is not kept.
            {"bom.xml", QByteArray::fromHex("efbbbf") + document("ISO-8859-1", QByteArray::fromHex("436166c3a9")),
             text("ISO-8859-1", QStringLiteral(u"Caf\u00E9"))},
            {"plain.xml", document({}, QByteArray::fromHex("436166c3a9")), text({}, QStringLiteral(u"Caf\u00E9"))},
        };
        for (const Case& c : cases) {
            const QString file = WriteFile(root.filePath(c.name), c.bytes);
            // The attachment is the same file, and stays its bytes.
            QVERIFY2(bt.run({"enqueue", "S", "D", file, "--attach", file + "=raw"}) == 0, bt.err.constData());
            const qint64 dbid = bt.out.trimmed().toLongLong();
            QCOMPARE(bt.run({"show", "S", "D", QString::number(dbid)}), 0);
            QCOMPARE(QString::fromUtf8(bt.out.mid(bt.out.indexOf("payload:\n") + 9)), c.stored);
            auto record = session->RecordByKey("SwiftnotePostOffice", dbid);
            QCOMPARE(record->FieldObject("Payload")->getValue(), c.stored);
            record->AttachmentFieldSet().Item("Attachments").AttachmentItems()->Item(0).Load(root.filePath("raw"));
            QFile raw(root.filePath("raw"));
            QVERIFY(raw.open(QIODevice::ReadOnly));
            QCOMPARE(raw.readAll(), c.bytes);
        }

        // Bytes the named encoding does not have: the encoding and the place, and nothing queued.
        QCOMPARE(bt.run({"list", "S", "D"}), 0);
        const QByteArray listed = bt.out;
        struct Bad {
            QByteArray bytes;
            QStringList says;
        };
        const QList<Bad> bad{
            {document("Shift_JIS", "ok " + QByteArray::fromHex("8120")), {"not valid Shift_JIS", "byte offset 68", "line 2"}},
            {document("Shift_JIS", QByteArray::fromHex("93fa93")), {"not valid Shift_JIS", "line 2"}},
            {document({}, "caf" + QByteArray::fromHex("e9")), {"not valid UTF-8", "byte offset 25", "line 1"}},
            {document("x-no-such-encoding", "x"), {"x-no-such-encoding", "cannot read"}},
        };
        for (const Bad& b : bad) {
            const QString file = WriteFile(root.filePath("bad.xml"), b.bytes);
            const int exit = bt.run({"enqueue", "S", "D", file, "--count", "3"});
            QVERIFY2(exit == 1, bt.err.constData());
            for (const QString& part : b.says + QStringList{file, "nothing was queued"})
                QVERIFY2(bt.err.contains(part.toUtf8()), bt.err.constData());
            QCOMPARE(bt.err.count('\n'), 1);
            QVERIFY(bt.out.isEmpty());
        }
        QCOMPARE(bt.run({"list", "S", "D"}), 0);
        QCOMPARE(bt.out, listed);

        // Many alike in one go, each one whole.
        QCOMPARE(bt.run({"enqueue", "S", "D", root.filePath("sjis.xml"), "--count", "3"}), 0);
        const QList<QByteArray> dbids = bt.out.trimmed().split('\n');
        QCOMPARE(dbids.size(), 3);
        for (const QByteArray& dbid : dbids)
            QCOMPARE(session->RecordByKey("SwiftnotePostOffice", dbid.toLongLong())->FieldObject("Payload")->getValue(),
                     cases[0].stored);
        for (const char* count : {"0", "-2", "many", "1000001"}) {
            QCOMPARE(bt.run({"enqueue", "S", "D", root.filePath("sjis.xml"), "--count", count}), 2);
            QVERIFY2(bt.err.contains("--count wants a number"), bt.err.constData());
        }
    }

    void resultSetsReadTheQueueInPages()
    {
        QTemporaryDir root;
        auto st = NewStore(root.path(), {"D"}, {"R"});
        // Well over two pages: every fifth mastered at another site, every seventh parked.
        QList<NewRecord> batch;
        for (int i = 1; i <= 1300; ++i)
            batch << NewRecord{QString::number(i), {}, i % 5 == 0 ? std::optional<QString>("paris") : std::nullopt};
        const QList<qint64> ids = st->enqueueMany("S", "R", batch);
        QCOMPARE(ids.size(), 1300);
        QCOMPARE(ids.first(), qint64(1));
        QCOMPARE(ids.last(), qint64(1300));
        RawDb raw(st->databasePath("S", "R"));
        QVERIFY(raw.exec("UPDATE records SET parked_at = '2024-05-01T00:00:00Z' WHERE dbid % 7 = 0"));
        QList<qint64> expected;
        for (qint64 i = 1; i <= 1300; ++i)
            if (i % 5 != 0 && i % 7 != 0)
                expected << i;

        auto s = SqliteTrackerFactory(root.path()).CreateSession();
        s->LogOn("u", "p", "R", 2, "S");
        auto query = s->NewQuery("SwiftnotePostOffice");
        query->AddFilterGroup(1).AddCondition("tavo_mastership", 1, "tokyo");
        query->AddColumn("dbid");
        query->AddColumn("tavo_mastership");
        auto rows = s->OpenResultSet(*query);
        rows->RequestRowCount();
        rows->Run();
        QCOMPARE(rows->RowCount(), qint64(expected.size()));
        QList<qint64> seen;
        while (rows->NextRow() == 1) {
            const qint64 dbid = rows->CellValue(1).toLongLong();
            QCOMPARE(rows->CellValue(2).toString(), QStringLiteral("tokyo"));
            seen << dbid;
            if (seen.size() == 100) {
                // Others change the records far beyond the page in hand: two queued, one
                // deleted and one parked.
                QCOMPARE(st->enqueueMany("S", "R", {NewRecord{"late"}, NewRecord{"late"}}), (QList<qint64>{1301, 1302}));
                st->deleteRecord("S", "R", 1201);
                QVERIFY(raw.exec("UPDATE records SET parked_at = '2024-05-01T00:00:00Z' WHERE dbid = 1202"));
                // Nothing reads the store between rows: a checkpoint takes the whole log.
                QCOMPARE(raw.number("PRAGMA wal_checkpoint(TRUNCATE)"), qint64(0));
            }
            // The relay removes each record it is on, after another writer moved the store on.
            s->DeleteRecord(*s->RecordByKey("SwiftnotePostOffice", dbid), "Delete");
        }
        QCOMPARE(rows->NextRow(), 0);
        QCOMPARE(ErrorOf([&] { rows->CellValue(1); }), tracker_errors::InvalidArgument);
        QCOMPARE(rows->RowCount(), qint64(expected.size()));  // as it was when the query ran
        expected.removeAll(1201);
        expected.removeAll(1202);
        QCOMPARE(seen, expected);
        // What was queued meanwhile comes with the next query; other sites and parked records stay.
        QCOMPARE(Queue(*s, "tokyo"), (QList<qint64>{1301, 1302}));
        QCOMPARE(raw.number("SELECT count(*) FROM records"), qint64(1300 - 1 + 2 - seen.size()));

        // All sites of a database that is not replicated; the count asked for after the run.
        QList<NewRecord> plain(1100, NewRecord{"p"});
        st->enqueueMany("S", "D", plain);
        RawDb rawPlain(st->databasePath("S", "D"));
        QVERIFY(rawPlain.exec("UPDATE records SET mastership = 'elsewhere' WHERE dbid % 3 = 0;"
                              "UPDATE records SET parked_at = 'x' WHERE dbid IN (1, 500, 501, 1100)"));
        s->LogOn("u", "p", "D", 2, "S");
        QList<qint64> all;
        for (qint64 i = 2; i < 1100; ++i)
            if (i != 500 && i != 501)
                all << i;
        QCOMPARE(Queue(*s), all);
        auto again = s->NewQuery("SwiftnotePostOffice");
        again->AddColumn("dbid");
        rows = s->OpenResultSet(*again);
        rows->Run();
        QCOMPARE(rows->RowCount(), qint64(all.size()));

        // A batch that fails on its last record queues none of them.
        QVERIFY(rawPlain.exec("CREATE TRIGGER refuse BEFORE INSERT ON records WHEN new.payload = 'bad'"
                              " BEGIN SELECT RAISE(ABORT, 'refused by the test'); END"));
        const TrackerError e = RaisedBy([&] { st->enqueueMany("S", "D", {NewRecord{"good"}, NewRecord{"bad"}}); });
        QCOMPARE(e.number(), tracker_errors::StoreFailure);
        QVERIFY2(e.description().contains("refused by the test"), qPrintable(e.description()));
        QCOMPARE(rawPlain.number("SELECT count(*) FROM records"), qint64(1100));
    }

    void queueQueriesUseTheirIndexes()
    {
        QTemporaryDir root;
        auto st = NewStore(root.path(), {"D"});
        st->enqueueMany("S", "D", QList<NewRecord>(50, NewRecord{"x", {{"a", "b"}}}));
        RawDb raw(st->databasePath("S", "D"));
        struct Case {
            QByteArray sql;
            QString index;
        };
        const QList<Case> cases{
            {TrackerStore::QueuePageSql({"dbid"}, {}, 500), "records_queued"},
            {TrackerStore::QueuePageSql({"dbid", "mastership"}, {}, 500), "records_queued"},
            {TrackerStore::QueuePageSql({"dbid"}, {"mastership"}, 500), "records_queued_by_site"},
            {TrackerStore::QueueCountSql({}), "records_queued"},
            {TrackerStore::QueueCountSql({"mastership"}), "records_queued_by_site"},
        };
        for (const Case& c : cases) {
            // One search of the index alone: no pass over the table, no sort.
            const QStringList plan = raw.plan(c.sql);
            QVERIFY2(plan.size() == 1 && plan[0].startsWith("SEARCH records USING COVERING INDEX " + c.index + " ("),
                     qPrintable(c.sql + "\n" + plan.join('\n')));
        }
    }

    void deleteRecordsByKeyAllOrNothing()
    {
        QTemporaryDir root;
        auto st = NewStore(root.path(), {"A", "B"});
        QList<NewRecord> five;
        for (int i = 1; i <= 5; ++i)
            five << NewRecord{QString::number(i), {{"x", "1"}, {"y", "2"}}};
        st->enqueueMany("S", "A", five);
        st->enqueueMany("S", "B", {NewRecord{"b1"}, NewRecord{"b2"}});
        RawDb a(st->databasePath("S", "A")), b(st->databasePath("S", "B"));
        auto records = [](RawDb& raw) { return raw.text("SELECT group_concat(dbid) FROM records"); };
        const QString type = QStringLiteral("SwiftnotePostOffice");

        auto s = SqliteTrackerFactory(root.path()).CreateSession();
        QCOMPARE(ErrorOf([&] { s->DeleteRecordsByKey(type, {1}); }), tracker_errors::NotLoggedOn);
        s->SetBusyTimeout(100);
        s->LogOn("u", "p", "A", 2, "S");
        QCOMPARE(ErrorOf([&] { s->DeleteRecordsByKey("Defect", {1}); }), tracker_errors::NoSuchRecordType);
        QVERIFY(s->DeleteRecordsByKey(type, {}).isEmpty());
        // Present, missing and repeated keys: the present ones go with their attachments.
        auto first = s->RecordByKey(type, 1);
        auto items = first->AttachmentFieldSet().Item("Attachments").AttachmentItems();
        QCOMPARE(s->DeleteRecordsByKey(type, {1, 99, 3, 1, -4}), (QList<qint64>{99, -4}));
        // An attachment of a record gone: said so, and no file left.
        QCOMPARE(ErrorOf([&] { items->Item(0).Load(root.filePath("gone")); }), tracker_errors::NoSuchRecord);
        QVERIFY(!QFile::exists(root.filePath("gone")));
        QCOMPARE(records(a), QStringLiteral("2,4,5"));
        QCOMPARE(a.number("SELECT count(*) FROM attachments"), qint64(6));
        QCOMPARE(Queue(*s), (QList<qint64>{2, 4, 5}));
        // Keys name records of the database logged into now, never of an earlier logon's.
        s->LogOn("u", "p", "B", 2, "S");
        QCOMPARE(s->DeleteRecordsByKey(type, {4, 5, 2}), (QList<qint64>{4, 5}));
        QCOMPARE(records(b), QStringLiteral("1"));
        QCOMPARE(records(a), QStringLiteral("2,4,5"));

        // Another process holds the write lock: a clear failure after the busy time-out, nothing gone.
        s->LogOn("u", "p", "A", 2, "S");
        {
            LockHolder writer;
            QVERIFY(writer.start(root.path(), {"S", "A", "--write"}));
            const TrackerError e = RaisedBy([&] { s->DeleteRecordsByKey(type, {2, 4}); });
            QCOMPARE(e.number(), tracker_errors::StoreFailure);
            QVERIFY2(e.description().contains("database is locked") && e.description().contains("busy time-out")
                         && e.description().contains("S.A.btdb"),
                     qPrintable(e.description()));
            QVERIFY(writer.letGo());
        }
        QCOMPARE(records(a), QStringLiteral("2,4,5"));
        // A failure at the last key takes back the ones before it.
        QVERIFY(a.exec("CREATE TRIGGER keep BEFORE DELETE ON records WHEN old.dbid = 5"
                       " BEGIN SELECT RAISE(ABORT, 'kept by the test'); END"));
        const TrackerError e = RaisedBy([&] { s->DeleteRecordsByKey(type, {2, 4, 5}); });
        QCOMPARE(e.number(), tracker_errors::StoreFailure);
        QVERIFY2(e.description().contains("kept by the test"), qPrintable(e.description()));
        QCOMPARE(records(a), QStringLiteral("2,4,5"));
        QCOMPARE(a.number("SELECT count(*) FROM attachments"), qint64(6));
        QVERIFY(a.exec("DROP TRIGGER keep"));
        QVERIFY(s->DeleteRecordsByKey(type, {2, 4, 5}).isEmpty());
        QCOMPARE(a.number("SELECT count(*) FROM records") + a.number("SELECT count(*) FROM attachments"), qint64(0));

        // A failed logon leaves the session logged off.
        QVERIFY(ErrorOf([&] { s->LogOn("u", "wrong", "B", 2, "S"); }) != 0);
        QCOMPARE(ErrorOf([&] { s->DeleteRecordsByKey(type, {1}); }), tracker_errors::NotLoggedOn);
        QCOMPARE(records(b), QStringLiteral("1"));
        QCOMPARE(ErrorOf([&] { UnavailableTrackerFactory().CreateSession()->DeleteRecordsByKey(type, {1}); }),
                 tracker_errors::Unavailable);
    }

    void recordsAreUsedOnTwoThreads()
    {
        // One thread walks the queue and fetches records, another writes their attachments out
        // and deletes them in batches, as delivery workers would.
        QTemporaryDir root;
        auto st = NewStore(root.path(), {"D"});
        QList<NewRecord> batch;
        for (int i = 1; i <= 700; ++i)
            batch << NewRecord{QString::number(i), {{"a", QByteArray::number(i).repeated(1000)}}};
        st->enqueueMany("S", "D", batch);
        auto s = SqliteTrackerFactory(root.path()).CreateSession();
        s->LogOn("u", "p", "D", 2, "S");
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<std::unique_ptr<BTRecord>> handed;
        bool walked = false;
        std::thread walker([&] {
            auto query = s->NewQuery("SwiftnotePostOffice");
            query->AddColumn("dbid");
            auto rows = s->OpenResultSet(*query);
            rows->Run();
            while (rows->NextRow() == 1) {
                auto record = s->RecordByKey("SwiftnotePostOffice", rows->CellValue(1));
                std::lock_guard lock(mutex);
                handed.push_back(std::move(record));
                ready.notify_one();
            }
            std::lock_guard lock(mutex);
            walked = true;
            ready.notify_one();
        });
        struct Join {
            std::thread& thread;
            ~Join() { thread.join(); }
        } join{walker};
        QList<qint64> delivered, batchKeys;
        int intact = 0;
        for (;;) {
            std::unique_ptr<BTRecord> record;
            {
                std::unique_lock lock(mutex);
                ready.wait(lock, [&] { return !handed.empty() || walked; });
                if (handed.empty())
                    break;
                record = std::move(handed.front());
                handed.pop_front();
            }
            const QString payload = record->FieldObject("Payload")->getValue();
            const QString file = root.filePath("staged");
            record->AttachmentFieldSet().Item("Attachments").AttachmentItems()->Item(0).Load(file);
            QFile staged(file);
            if (staged.open(QIODevice::ReadOnly) && staged.readAll() == payload.toUtf8().repeated(1000))
                ++intact;
            batchKeys << record->FieldObject("dbid")->getValue().toLongLong();
            if (batchKeys.size() == 64) {
                QVERIFY(s->DeleteRecordsByKey("SwiftnotePostOffice", batchKeys).isEmpty());
                delivered += batchKeys;
                batchKeys.clear();
            }
        }
        QVERIFY(s->DeleteRecordsByKey("SwiftnotePostOffice", batchKeys).isEmpty());
        delivered += batchKeys;
        QCOMPARE(intact, 700);
        QCOMPARE(delivered.size(), 700);
        QCOMPARE(delivered.last(), qint64(700));
        QVERIFY(Queue(*s).isEmpty());
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
