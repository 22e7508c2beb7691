// The spool of network relay mode on real folders: what it keeps, in which order, across a
// restart and a crash, and what it refuses.
#include "relay/QueueControl.h"
#include "relay/Spool.h"
#include "RelayProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace swn;

namespace {

constexpr uid_t kNobody = 65534;

QString Errno(int e) { return QString::fromLocal8Bit(std::strerror(e)); }

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

mode_t ModeOf(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : mode_t(-1);
}

// Everything in a folder and below it, hidden files included.
QStringList Contents(const QString& folder)
{
    QStringList names;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        names << QDir(folder).relativeFilePath(it.next());
    names.sort();
    return names;
}

// spool_tool in another process; as an ordinary user when this test runs as root, since root
// writes into read-only folders.
struct Tool {
    int exitCode = -1;
    QByteArray out, err;
    int run(const QStringList& args, const QByteArray& input = {})
    {
        QProcess p;
        if (::geteuid() == 0)
            p.start(QStringLiteral("setpriv"), QStringList{QStringLiteral("--reuid=%1").arg(kNobody), QStringLiteral("--regid=%1").arg(kNobody),
                                                          QStringLiteral("--clear-groups"), QStringLiteral(SWN_SPOOL_TOOL)} + args);
        else
            p.start(QStringLiteral(SWN_SPOOL_TOOL), args);
        p.write(input);
        p.closeWriteChannel();
        p.waitForFinished(30000);
        out = p.readAllStandardOutput();
        err = p.readAllStandardError();
        exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return exitCode;
    }
};

// A folder the tool's user owns, inside a folder it can reach.
bool GiveToToolUser(const QString& path)
{
    if (::geteuid() != 0)
        return true;
    return ::chown(QFile::encodeName(path).constData(), kNobody, kNobody) == 0;
}

// The number of a process that has ended.
qint64 DeadPid()
{
    QProcess p;
    p.start(QStringLiteral("/bin/true"), {});
    const qint64 pid = p.processId();
    p.waitForFinished();
    return pid;
}

} // namespace

class SpoolTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void roundTripInArrivalOrder()
    {
        QTemporaryDir tmp;
        const QString folder = tmp.filePath("a/b/spool");
        Spool spool(folder);
        QString error;
        QVERIFY(spool.store("early", &error).isEmpty());
        QVERIFY(error.contains("not open"));
        QVERIFY2(spool.open(&error), qPrintable(error));
        QCOMPARE(ModeOf(folder), mode_t(0700));
        QCOMPARE(ModeOf(tmp.filePath("a")), mode_t(0700));
        QCOMPARE(ModeOf(folder + "/failed"), mode_t(0700));
        QVERIFY(spool.ids().isEmpty());

        const QByteArray binary("<BT_mail_Msg>\0\xff\r\n</BT_mail_Msg>\r\n", 33);
        const QList<QByteArray> documents{"<BT_mail_Msg>first</BT_mail_Msg>", binary, QByteArray(), QByteArray(3 << 20, 'x')};
        const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
        QStringList stored;
        for (const QByteArray& d : documents) {
            const QString id = spool.store(d, &error);
            QVERIFY2(!id.isEmpty(), qPrintable(error));
            QVERIFY(Spool::IsValidId(id));
            stored << id;
        }
        const QDateTime after = QDateTime::currentDateTimeUtc().addMSecs(1);
        QCOMPARE(spool.ids(), stored);
        for (int i = 0; i < documents.size(); ++i) {
            QCOMPARE(spool.read(stored[i], &error), documents[i]);
            const QDateTime at = Spool::receivedAt(stored[i]);
            QVERIFY2(at >= before && at <= after, qPrintable(at.toString(Qt::ISODateWithMs)));
            QCOMPARE(at.timeSpec(), Qt::UTC);
        }
        // Only the documents, each for its owner only.
        for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden)) {
            QVERIFY2(name.endsWith(".xml"), qPrintable(name));
            QCOMPARE(ModeOf(folder + '/' + name), mode_t(0600));
        }

        QVERIFY(spool.remove(stored[1]));
        QCOMPARE(spool.ids(), (QStringList{stored[0], stored[2], stored[3]}));
        QVERIFY(!spool.remove(stored[1], &error));
        QVERIFY2(error.contains(stored[1]) && error.contains(Errno(ENOENT)), qPrintable(error));
        error.clear();
        QVERIFY(spool.read(stored[1], &error).isEmpty());
        QVERIFY2(error.contains(stored[1]) && error.contains(Errno(ENOENT)), qPrintable(error));
    }

    void restartFindsWhatWasKept()
    {
        QTemporaryDir tmp;
        QString error;
        QStringList kept;
        {
            Spool first(tmp.path());
            QVERIFY(first.open(&error));
            kept << first.store("one", &error) << first.store("two", &error);
            QVERIFY(first.moveToFailed(kept[0], "550 no such user"));
        }
        Spool second(tmp.path());
        QVERIFY2(second.open(&error), qPrintable(error));
        QCOMPARE(second.ids(), QStringList{kept[1]});
        QCOMPARE(second.read(kept[1], &error), QByteArray("two"));
        QCOMPARE(second.failedIds(), QStringList{kept[0]});
        QCOMPARE(second.failedReason(kept[0]), QStringLiteral("550 no such user"));

        // Another process keeps a document in the same folder: the ids are read once, at open.
        QProcess other;
        other.start(QStringLiteral(SWN_SPOOL_TOOL), {QStringLiteral("store"), tmp.path()});
        other.write("three");
        other.closeWriteChannel();
        QVERIFY(other.waitForFinished(30000));
        QCOMPARE(other.exitCode(), 0);
        const QString third = QString::fromUtf8(other.readAllStandardOutput().trimmed());
        QCOMPARE(second.ids(), QStringList{kept[1]});
        Spool third_(tmp.path());
        QVERIFY(third_.open(&error));
        QCOMPARE(third_.ids(), (QStringList{kept[1], third}));
        QCOMPARE(third_.read(third, &error), QByteArray("three"));
    }

    void oneRelayPerSpool()
    {
        QTemporaryDir tmp;
        QString error, holder;
        Spool spool(tmp.path());
        QVERIFY(spool.open(&error));
        QVERIFY2(spool.lock(&holder, &error), qPrintable(error));
        // Another process finds it held, and by whom; a second holder in this process too.
        auto lockElsewhere = [&](QByteArray* err) {
            QProcess other;
            other.start(QStringLiteral(SWN_SPOOL_TOOL), {QStringLiteral("lock"), tmp.path()});
            other.waitForFinished(30000);
            *err = other.readAllStandardError();
            return other.exitCode();
        };
        QByteArray err;
        QCOMPARE(lockElsewhere(&err), 1);
        QVERIFY2(err.contains(QByteArray::number(QCoreApplication::applicationPid())), err.constData());
        Spool again(tmp.path());
        QVERIFY(again.open(&error));
        QVERIFY(!again.lock(&holder, &error));
        QVERIFY(holder.contains(QString::number(QCoreApplication::applicationPid())));
        spool.unlock();
        QCOMPARE(lockElsewhere(&err), 0);
        QVERIFY(again.lock(&holder, &error));
    }

    void failedFolderStaysUnderItsLimit()
    {
        QTemporaryDir tmp;
        QString error;
        QStringList failed;
        {
            Spool spool(tmp.path());
            QVERIFY(spool.open(&error));
            const QString waiting = spool.store(QByteArray(5000, 'w'), &error);
            spool.setFailedLimit(3 * 1100);
            for (int i = 0; i < 5; ++i)
                failed << spool.keepFailed(QByteArray(1000, char('a' + i)), QStringLiteral("malformed"), &error);
            // The oldest failed ones made room; the waiting document is never touched.
            QCOMPARE(spool.failedIds(), failed.mid(2));
            QCOMPARE(spool.takeEvicted(), failed.mid(0, 2));
            QVERIFY(spool.takeEvicted().isEmpty());
            QVERIFY(spool.failedBytes() <= 3 * 1100);
            QCOMPARE(spool.ids(), QStringList{waiting});
            QVERIFY(!QFile::exists(spool.failedDir() + '/' + failed[0] + ".reason"));
            // A document moved there makes room the same way.
            QVERIFY(spool.moveToFailed(waiting, QStringLiteral("too old")));
            QCOMPARE(spool.failedIds(), QStringList{waiting});
        }
        Spool reopened(tmp.path());
        QVERIFY(reopened.open(&error));
        QCOMPARE(reopened.failedCount(), 1);
        QVERIFY(reopened.failedBytes() > 5000);
    }

    void steeringKeepsWhoAlreadyHasTheMail()
    {
        QTemporaryDir tmp;
        QString error;
        QString id;
        {
            Spool spool(tmp.path());
            QVERIFY(spool.open(&error));
            id = spool.store("doc", &error, {QStringLiteral("bob@example.org")}, QStringLiteral("451 later"));
            spool.noteAttempt(id, 3, QDateTime::currentDateTimeUtc().addSecs(600), QStringLiteral("421 busy\nagain"));
            const Spool::Entry e = spool.entries().value(0);
            QCOMPARE(e.id, id);
            QCOMPARE(e.attempts, 3);
            QCOMPARE(e.reason, QStringLiteral("421 busy again"));
            QVERIFY(e.nextTry > QDateTime::currentDateTimeUtc());
            QCOMPARE(e.recipients, QStringList{QStringLiteral("bob@example.org")});
            // Failed and back: those who have it already do not get it again.
            QVERIFY(spool.moveToFailed(id, QStringLiteral("gave up"), &error));
            QCOMPARE(spool.entries().value(0).recipients, QStringList{QStringLiteral("bob@example.org")});
            QVERIFY2(spool.requeue(id, &error), qPrintable(error));
            QCOMPARE(spool.recipients(id), QStringList{QStringLiteral("bob@example.org")});
            QVERIFY(!spool.requeue(id, &error));
            QVERIFY(error.contains(id));
            // Sent, but not removable: remembered across a restart.
            QVERIFY(spool.markDelivered(id, &error));
        }
        Spool spool(tmp.path());
        QVERIFY(spool.open(&error));
        QVERIFY(spool.isMarkedDelivered(id));
        QVERIFY(spool.entries().value(0).delivered);
        QVERIFY(spool.remove(id, &error));
        QVERIFY(Contents(tmp.path()).filter(id).isEmpty());
        const QString other = spool.keepFailed("bad", "malformed", &error);
        QVERIFY(spool.removeFailed(other, &error));
        QVERIFY(!spool.removeFailed(other, &error));
        QCOMPARE(spool.failedCount(), 0);
        // A note appended line by line reads back whole.
        QVERIFY(spool.appendNote("journal", "1\n", &error));
        QVERIFY(spool.appendNote("journal", "2\n", &error));
        QCOMPARE(spool.readNote("journal"), QByteArray("1\n2\n"));
    }

    void requeueOfAKeptDocumentLeavesItAsItWas()
    {
        QTemporaryDir tmp;
        QString error;
        Spool spool(tmp.path());
        QVERIFY(spool.open(&error));
        const QString id = spool.store("doc", &error, {QStringLiteral("carol@example.org")}, QStringLiteral("451 later"));
        QVERIFY2(!id.isEmpty(), qPrintable(error));
        // Kept, not failed: nothing to bring back, and who still needs it is not forgotten.
        QVERIFY(!spool.requeue(id, &error));
        QVERIFY2(error.contains(QStringLiteral("no failed document")), qPrintable(error));
        bool readable = false;
        QCOMPARE(spool.recipients(id, &readable), QStringList{QStringLiteral("carol@example.org")});
        QVERIFY(readable);
        QCOMPARE(spool.ids(), QStringList{id});
        QCOMPARE(spool.failedCount(), 0);
        QCOMPARE(spool.read(id, &error), QByteArray("doc"));
        // Across a restart too.
        Spool again(tmp.path());
        QVERIFY(again.open(&error));
        QCOMPARE(again.recipients(id), QStringList{QStringLiteral("carol@example.org")});
    }

    void crashLeftoversAreCleared()
    {
        QTemporaryDir tmp;
        QString error;
        const QString folder = tmp.filePath("spool");
        QString kept;
        {
            Spool spool(folder);
            QVERIFY(spool.open(&error));
            kept = spool.store("kept", &error);
        }
        // What a process killed while writing leaves behind, and what a live one is writing.
        QProcess live;
        live.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(live.waitForStarted());
        const QString name = "20260101T000000000Z-00000000-0badf00d.xml";
        const QString dead = QStringLiteral(".%1.%2.tmp").arg(name).arg(DeadPid());
        const QString mine = QStringLiteral(".%1.%2.tmp").arg(name).arg(QCoreApplication::applicationPid());
        const QString busy = QStringLiteral(".%1.%2.tmp").arg(name).arg(live.processId());
        for (const QString& f : {dead, mine, busy, QStringLiteral("notes.txt")})
            QVERIFY(WriteFile(folder + '/' + f, "partial"));
        QVERIFY(WriteFile(folder + "/failed/" + dead, "partial"));
        // A link named like a document is not one.
        QVERIFY(WriteFile(tmp.filePath("outside.xml"), "outside"));
        QVERIFY(QFile::link(tmp.filePath("outside.xml"), folder + "/20260101T000000000Z-00000000-00000001.xml"));

        Spool restarted(folder);
        QVERIFY2(restarted.open(&error), qPrintable(error));
        QVERIFY(!QFile::exists(folder + '/' + dead));
        QVERIFY(!QFile::exists(folder + '/' + mine));
        QVERIFY(!QFile::exists(folder + "/failed/" + dead));
        QVERIFY(QFile::exists(folder + '/' + busy));
        QVERIFY(QFile::exists(folder + "/notes.txt"));
        QCOMPARE(restarted.ids(), QStringList{kept});
        QCOMPARE(restarted.read(kept, &error), QByteArray("kept"));
        QVERIFY(restarted.read("20260101T000000000Z-00000000-00000001", &error).isEmpty());
        QVERIFY(!error.isEmpty());
        QCOMPARE(ReadFile(tmp.filePath("outside.xml")), QByteArray("outside"));
        live.kill();
        live.waitForFinished();

        // A kill in the middle of a removal or a move leaves files beside a document that is gone.
        // The relay that takes the lock clears them; one that only opens the folder (a verb, or a
        // second relay while a store may be putting a list in place) leaves them.
        restarted.noteAttempt(kept, 1, QDateTime::currentDateTimeUtc(), QStringLiteral("451 later"));
        const QString gone = "20260101T000000000Z-00000000-0badf00e";
        for (const char* suffix : {".rcpt", ".state", ".done"})
            QVERIFY(WriteFile(folder + '/' + gone + suffix, "left"));
        QVERIFY(WriteFile(folder + "/failed/" + gone + ".reason", "left"));
        Spool looker(folder);
        QVERIFY2(looker.open(&error), qPrintable(error));
        QVERIFY(QFile::exists(folder + '/' + gone + ".rcpt"));
        QString holder;
        QVERIFY2(looker.lock(&holder, &error), qPrintable(error));
        for (const char* suffix : {".rcpt", ".state", ".done"})
            QVERIFY2(!QFile::exists(folder + '/' + gone + suffix), suffix);
        QVERIFY(!QFile::exists(folder + "/failed/" + gone + ".reason"));
        QVERIFY(QFile::exists(folder + '/' + kept + ".state"));
        QCOMPARE(looker.read(kept, &error), QByteArray("kept"));
    }

    void removalsWithoutAFlushLeaveNothingBehind()
    {
        QTemporaryDir tmp;
        QString error;
        const QString folder = tmp.filePath("spool");
        QStringList ids;
        {
            Spool spool(folder);
            QVERIFY(spool.open(&error));
            // More than one batch of the threads that unlink, each with its state, some with recipients.
            for (int i = 0; i < 300; ++i)
                ids << spool.store("doc " + QByteArray::number(i), &error,
                                   i % 3 ? QStringList() : QStringList{"bob@example.org"}, QStringLiteral("451 later"));
            QVERIFY(!ids.contains(QString()));
            for (const QString& id : std::as_const(ids)) {
                bool gone = false;
                QVERIFY(spool.remove(id, &error, &gone, false));
                QVERIFY(gone);
                // Gone under its own names at once, whenever its blocks are freed.
                QVERIFY(spool.read(id, &error).isNull());
                QVERIFY(!QFile::exists(folder + '/' + id + ".xml"));
                QVERIFY(!QFile::exists(folder + '/' + id + ".rcpt"));
            }
            QCOMPARE(spool.count(), 0);
            spool.flushRemovals();
            QVERIFY(QTest::qWaitFor([&] { return Contents(folder) == QStringList{"failed", "notes"}; }, 20000));
            // The threads are idle, not gone: more removals still go.
            const QString late = spool.store("late", &error, {}, QStringLiteral("451 later"));
            QVERIFY(spool.remove(late, &error, nullptr, false));
        }
        // The spool's end waits for its threads.
        QCOMPARE(Contents(folder), (QStringList{"failed", "notes"}));

        // A removal cut short by a kill leaves a temporary of a process that is gone: the next
        // start removes it.
        const QString dead = QStringLiteral(".%1.xml.gone.%2.tmp").arg(ids.first()).arg(DeadPid());
        QVERIFY(WriteFile(folder + '/' + dead, "sent"));
        Spool restarted(folder);
        QVERIFY(restarted.open(&error));
        QCOMPARE(Contents(folder), (QStringList{"failed", "notes"}));
        QCOMPARE(restarted.ids(), QStringList());
        // An id whose date cannot be is no time.
        QVERIFY(!Spool::receivedAt("20261332T000000000Z-00000000-0badf00d").isValid());
        QCOMPARE(Spool::receivedAt("20261231T235959999Z-00000000-0badf00d"),
                 QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59, 999), Qt::UTC));
    }

    void failedDocumentsKeepTheirReason()
    {
        QTemporaryDir tmp;
        Spool spool(tmp.path());
        QString error;
        QVERIFY(spool.open(&error));
        const QString a = spool.store("<BT_mail_Msg>a</BT_mail_Msg>", &error);
        const QString b = spool.store("<BT_mail_Msg>b</BT_mail_Msg>", &error);
        QVERIFY(spool.moveToFailed(a, QStringLiteral("every recipient refused: 550 ünknown")));
        QCOMPARE(spool.ids(), QStringList{b});
        QCOMPARE(spool.failedIds(), QStringList{a});
        QCOMPARE(spool.readFailed(a, &error), QByteArray("<BT_mail_Msg>a</BT_mail_Msg>"));
        QCOMPARE(spool.failedReason(a), QStringLiteral("every recipient refused: 550 ünknown"));
        QCOMPARE(ReadFile(spool.failedDir() + '/' + a + ".reason"), QStringLiteral("every recipient refused: 550 ünknown\n").toUtf8());
        QVERIFY(!spool.moveToFailed(a, "again", &error));
        QVERIFY(error.contains(a));

        const QString c = spool.keepFailed("not xml at all", "malformed document", &error);
        QVERIFY2(!c.isEmpty(), qPrintable(error));
        QCOMPARE(spool.ids(), QStringList{b});
        QCOMPARE(spool.failedIds(), (QStringList{a, c}));
        QCOMPARE(spool.failedReason(c), QStringLiteral("malformed document"));
        QCOMPARE(ModeOf(spool.failedDir() + '/' + c + ".xml"), mode_t(0600));
        QCOMPARE(ModeOf(spool.failedDir() + '/' + c + ".reason"), mode_t(0600));
    }

    void idsCannotLeaveTheFolder()
    {
        QTemporaryDir tmp;
        const QString folder = tmp.filePath("spool");
        Spool spool(folder);
        QString error;
        QVERIFY(spool.open(&error));
        const QString good = spool.store("doc", &error);
        QVERIFY(WriteFile(tmp.filePath("victim.xml"), "victim"));
        QVERIFY(WriteFile(spool.failedDir() + "/victim.xml", "victim"));
        const QStringList hostile{
            "../victim", "../../victim", tmp.filePath("victim"), "", ".", "..", "failed/" + good, "failed/victim",
            good + "/../../victim", good + "\n", QString(good).replace(36, 1, u'A') /* upper-case hex */, good + ".xml", "../spool/" + good,
            QString(good).replace(0, 1, QChar(0x0661)) /* a digit, but not an ASCII one */};
        for (const QString& id : hostile) {
            QVERIFY2(!Spool::IsValidId(id), qPrintable(id));
            error.clear();
            QVERIFY(spool.read(id, &error).isEmpty());
            QVERIFY2(!error.isEmpty(), qPrintable(id));
            QVERIFY(spool.readFailed(id, &error).isEmpty());
            QVERIFY(spool.failedReason(id).isEmpty());
            QVERIFY(!spool.remove(id));
            QVERIFY(!spool.moveToFailed(id, "x"));
            QVERIFY(!Spool::receivedAt(id).isValid());
        }
        QCOMPARE(ReadFile(tmp.filePath("victim.xml")), QByteArray("victim"));
        QCOMPARE(ReadFile(spool.failedDir() + "/victim.xml"), QByteArray("victim"));
        QCOMPARE(spool.ids(), QStringList{good});
        QCOMPARE(spool.read(good, &error), QByteArray("doc"));
    }

    void foldersItRefuses()
    {
        QTemporaryDir tmp;
        QString error;
        // Not a folder.
        QVERIFY(WriteFile(tmp.filePath("file"), "x"));
        QVERIFY(!Spool(tmp.filePath("file")).open(&error));
        QVERIFY2(error.contains("not a folder"), qPrintable(error));
        QVERIFY(!Spool(tmp.filePath("file/below")).open(&error));
        QVERIFY2(error.contains(Errno(ENOTDIR)), qPrintable(error));
        // A link that leads nowhere.
        QVERIFY(QFile::link(tmp.filePath("nowhere"), tmp.filePath("dangling")));
        QVERIFY(!Spool(tmp.filePath("dangling")).open(&error));
        QVERIFY2(error.contains("leads nowhere"), qPrintable(error));
        QVERIFY(!QFileInfo::exists(tmp.filePath("nowhere")));
        // A link to a folder of another user.
        QString foreign = QStringLiteral("/");
        if (::geteuid() == 0) {
            QVERIFY(QDir().mkdir(tmp.filePath("foreign")));
            QVERIFY(::chown(QFile::encodeName(tmp.filePath("foreign")).constData(), kNobody, kNobody) == 0);
            foreign = tmp.filePath("foreign");
        }
        QVERIFY(QFile::link(foreign, tmp.filePath("to-foreign")));
        QVERIFY(!Spool(tmp.filePath("to-foreign")).open(&error));
        QVERIFY2(error.contains("belongs to another user"), qPrintable(error));
        QVERIFY(!QFileInfo::exists(foreign + "/failed"));
        // A link to a folder of our own is fine, and the documents land in that folder.
        QVERIFY(QDir().mkdir(tmp.filePath("own")));
        QVERIFY(QFile::link(tmp.filePath("own"), tmp.filePath("to-own")));
        Spool linked(tmp.filePath("to-own"));
        QVERIFY2(linked.open(&error), qPrintable(error));
        const QString id = linked.store("through the link", &error);
        QCOMPARE(ReadFile(tmp.filePath("own/" + id + ".xml")), QByteArray("through the link"));
        // failed/ must be a folder of its own, not a link out of the spool.
        QVERIFY(QDir().mkdir(tmp.filePath("third")));
        QVERIFY(QDir().mkdir(tmp.filePath("elsewhere")));
        QVERIFY(QFile::link(tmp.filePath("elsewhere"), tmp.filePath("third/failed")));
        QVERIFY(!Spool(tmp.filePath("third")).open(&error));
        QVERIFY2(error.contains("symbolic link"), qPrintable(error));
        QVERIFY(!Spool(QString()).open(&error));
        QVERIFY(!error.isEmpty());
    }

    void relativeFolderIsRefused()
    {
        QTemporaryDir tmp;
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(tmp.path()));
        QString error;
        const bool opened = Spool(QStringLiteral("spool")).open(&error);
        QString reply;
        const ControlResult sent = SendQueueCommand(QStringLiteral("spool/control.sock"), QStringLiteral("flush"), &reply);
        FILE* out = std::tmpfile();
        FILE* err = std::tmpfile();
        QVERIFY(out && err);
        const int code = RunQueueVerb(QStringLiteral("spool"), QStringLiteral("queue"), QString(), out, err);
        std::rewind(err);
        char buffer[4096];
        const QByteArray said(buffer, qsizetype(std::fread(buffer, 1, sizeof buffer, err)));
        std::fclose(out);
        std::fclose(err);
        QVERIFY(QDir::setCurrent(before));
        QVERIFY(!opened);
        QVERIFY2(error.contains("not an absolute path"), qPrintable(error));
        QCOMPARE(Contents(tmp.path()), QStringList());
        QCOMPARE(sent, ControlResult::Untrusted);
        QVERIFY2(reply.contains("not an absolute path"), qPrintable(reply));
        QCOMPARE(code, 1);
        QVERIFY2(said.contains(": cannot read the spool spool: the spool folder spool is not an absolute path"), said.constData());
    }

    // The verbs' side of the control socket: only the spool's owner is believed, and a path too
    // long for a socket address is reached all the same.
    void controlAnswersOnlyFromTheSpoolsOwner()
    {
        QTemporaryDir tmp;
        // Longer than a socket address (108 bytes) can hold.
        const QString dir = tmp.filePath(QStringLiteral("a-spool-folder-whose-path-is-longer-than-any-socket-address-"
                                                         "may-be/and-then-some-more/spool"));
        QVERIFY(QFile::encodeName(dir + QStringLiteral("/control.sock")).size() > 108);
        Spool spool(dir);
        QString error;
        QVERIFY2(spool.open(&error), qPrintable(error));
        const QString socket = spool.controlSocketPath();
        QCOMPARE(socket, dir + QStringLiteral("/control.sock"));
        QString reply;
        QCOMPARE(SendQueueCommand(socket, QStringLiteral("flush"), &reply), ControlResult::NoRelay);
        {
            swn::test::ControlStandIn own;
            QVERIFY(own.start(dir, false));
            QCOMPARE(SendQueueCommand(socket, QStringLiteral("flush"), &reply), ControlResult::Done);
            QCOMPARE(reply, QStringLiteral("deleted"));
            QCOMPARE(own.heard(), QByteArray("flush\n"));
        }
        QVERIFY(QFile::remove(socket));
        if (!swn::test::CanActAsAnotherUser())
            QSKIP("another user is needed: run as root");
        // Another user's socket, put where the relay's would be.
        QTemporaryDir theirs;
        QVERIFY(::chown(QFile::encodeName(theirs.path()).constData(), kNobody, kNobody) == 0);
        QVERIFY(::chmod(QFile::encodeName(theirs.path()).constData(), 0755) == 0);
        swn::test::ControlStandIn stranger;
        QVERIFY(stranger.start(theirs.path(), true));
        QVERIFY(::rename(QFile::encodeName(theirs.filePath(QStringLiteral("control.sock"))).constData(),
                         QFile::encodeName(socket).constData()) == 0);
        QCOMPARE(SendQueueCommand(socket, QStringLiteral("delete x"), &reply), ControlResult::Untrusted);
        QVERIFY2(reply.contains("belongs to") && reply.contains("not to the spool's owner"), qPrintable(reply));
        // Owned by the right user, but someone else answers.
        QVERIFY(::lchown(QFile::encodeName(socket).constData(), ::geteuid(), ::getegid()) == 0);
        QCOMPARE(SendQueueCommand(socket, QStringLiteral("delete x"), &reply), ControlResult::Untrusted);
        QVERIFY2(reply.contains("runs as") && reply.contains("not as the spool's owner"), qPrintable(reply));
        // A socket others may write to, or a folder others may write to.
        QVERIFY(::chmod(QFile::encodeName(socket).constData(), 0666) == 0);
        QCOMPARE(SendQueueCommand(socket, QStringLiteral("delete x"), &reply), ControlResult::Untrusted);
        QVERIFY2(reply.contains("may be written by others"), qPrintable(reply));
        QVERIFY(::chmod(QFile::encodeName(socket).constData(), 0600) == 0);
        QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0770) == 0);
        QCOMPARE(SendQueueCommand(socket, QStringLiteral("delete x"), &reply), ControlResult::Untrusted);
        QVERIFY2(reply.contains("may be written by others"), qPrintable(reply));
        QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0700) == 0);
        // It was never told anything.
        QCOMPARE(stranger.heard(), QByteArray());
    }

    void readOnlyFolderLeavesNothing()
    {
        QTemporaryDir tmp;
        QVERIFY(QFile::setPermissions(tmp.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther));
        const QString base = tmp.filePath("base");
        QVERIFY(QDir().mkdir(base));
        QVERIFY(GiveToToolUser(base));
        const QString folder = base + "/spool";
        Tool tool;
        QVERIFY2(tool.run({"open", folder}) == 0, tool.err.constData());
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0500) == 0);
        QCOMPARE(tool.run({"store", folder}, "<BT_mail_Msg/>"), 1);
        QVERIFY2(tool.err.contains(folder.toUtf8()) && tool.err.contains(Errno(EACCES).toUtf8()), tool.err.constData());
        QCOMPARE(Contents(folder), (QStringList{"failed", "notes"}));
        // A read-only folder without failed/ yet: said so, and nothing made.
        const QString fresh = base + "/fresh";
        QVERIFY(QDir().mkdir(fresh));
        QVERIFY(GiveToToolUser(fresh));
        QVERIFY(::chmod(QFile::encodeName(fresh).constData(), 0500) == 0);
        QCOMPARE(tool.run({"open", fresh}), 1);
        QVERIFY2(tool.err.contains((fresh + "/failed").toUtf8()) && tool.err.contains(Errno(EACCES).toUtf8()), tool.err.constData());
        QVERIFY(Contents(fresh).isEmpty());
        ::chmod(QFile::encodeName(folder).constData(), 0700);
        ::chmod(QFile::encodeName(fresh).constData(), 0700);
    }

    void manyThreadsAtOnce()
    {
        QTemporaryDir tmp;
        Spool spool(tmp.path());
        QString error;
        QVERIFY(spool.open(&error));
        constexpr int threads = 8;
        constexpr int each = 25;
        std::vector<QStringList> ids(threads);
        std::vector<QStringList> errors(threads);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                for (int i = 0; i < each; ++i) {
                    QString e;
                    const QString id = spool.store(QStringLiteral("doc %1/%2").arg(t).arg(i).toUtf8(), &e);
                    if (id.isEmpty())
                        errors[t] << e;
                    else
                        ids[t] << id;
                    // Every other one goes again at once, from this thread, beside the others' work.
                    if (i % 2 && !id.isEmpty() && !(i % 4 == 1 ? spool.remove(id, &e) : spool.moveToFailed(id, "gone", &e)))
                        errors[t] << e;
                }
            });
        for (std::thread& w : workers)
            w.join();
        QStringList waiting;
        int failed = 0;
        for (int t = 0; t < threads; ++t) {
            QVERIFY2(errors[t].isEmpty(), qPrintable(errors[t].join('\n')));
            QCOMPARE(ids[t].size(), each);
            for (int i = 0; i < each; ++i) {
                if (i % 2 == 0) {
                    waiting << ids[t][i];
                    QCOMPARE(spool.read(ids[t][i], &error), QStringLiteral("doc %1/%2").arg(t).arg(i).toUtf8());
                } else if (i % 4 == 3) {
                    ++failed;
                }
            }
        }
        QCOMPARE(QSet<QString>(waiting.begin(), waiting.end()).size(), waiting.size());
        waiting.sort();
        QCOMPARE(spool.ids(), waiting);
        QCOMPARE(spool.failedIds().size(), failed);
        QCOMPARE(Contents(tmp.path()).filter(".tmp"), QStringList());
    }
};

QTEST_GUILESS_MAIN(SpoolTest)
#include "test_spool.moc"
