// Faults a relay meets in service, injected into the relay as it is shipped: SWNRelay run headless
// as the service runs it, a real SMTP server on loopback that refuses or hangs at each step of
// the exchange, a tracker database locked by another process, and SIGKILL in the middle of a
// delivery. Every scenario counts the mail accepted (200 replies, records queued), delivered
// (each mail known by its Subject, counted per envelope recipient as the server saw it),
// delivered twice, and lost. Nothing may be lost. Nothing may arrive twice either, except where
// the relay is killed after the server took a mail and before the relay could note that it did
// (postOfficeKilledAfterTheServerTookTheMail says why).
//
// The relay is restarted where its own wait before the next attempt (30 s at first) would only
// slow the test down: what an earlier run left is tried at once at start-up.
#include "MailDocBuilder.h"
#include "PyMailReader.h"
#include "SlowSmtp.h"
#include "SmtpSink.h"
#include "Waits.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <csignal>
#include <memory>
#include <vector>

using namespace swn::test;

namespace {

const QString DbSet = QStringLiteral("Repo");
const QString DbName = QStringLiteral("SAMPL");
constexpr int kSmtpTimeoutSeconds = 6;
constexpr int kLongWaitMs = 150 * 1000; // an SMTP time-out or two, and the restarts

QStringList Summary;

QByteArray RunTool(const QString& program, const QStringList& args, int* exitCode = nullptr)
{
    QProcess p;
    p.start(program, args);
    p.closeWriteChannel();
    const bool done = p.waitForFinished(60000);
    if (!done) {
        p.kill();
        p.waitForFinished();
    }
    if (exitCode)
        *exitCode = done && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return p.readAllStandardOutput();
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Connections open from anyone to `port` on loopback, as the kernel lists them.
int EstablishedTo(quint16 port)
{
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray suffix = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    int n = 0;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[2].endsWith(suffix) && fields[3] == "01")
            ++n;
    }
    return n;
}

// Hangs of the server that have begun at `step` ("end of data", ...), as it notes them.
int HangsAt(const SmtpSink& sink, const QString& step)
{
    QFile f(sink.folder() + QStringLiteral("/hangs"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return int(QString::fromUtf8(f.readAll()).split(QLatin1Char('\n')).count(step));
}

// Lines the server wrote into a file of its folder ("transactions", "delays", ...).
int LinesIn(const SmtpSink& sink, const QString& name)
{
    QFile f(sink.folder() + QLatin1Char('/') + name);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return int(f.readAll().count('\n'));
}

// Connections the server has had: ended ones and open ones, read until two reads agree (one may end
// between the two files).
int ConnectionsTo(const SmtpSink& sink)
{
    const auto read = [&] {
        const QStringList open = sink.lines(QStringLiteral("open_connections"));
        return LinesIn(sink, QStringLiteral("sessions_log")) + (open.isEmpty() ? 0 : open.constFirst().toInt());
    };
    for (int last = read();;) {
        const int now = read();
        if (now == last)
            return now;
        last = now;
    }
}

// One of the relay's verbs on a spool (--queue, --flush, --requeue ID), as an administrator runs it.
QByteArray SpoolVerb(const QString& spool, const QStringList& verb, int* exitCode)
{
    return RunTool(QStringLiteral(SWN_RELAY_EXECUTABLE), verb + QStringList{QStringLiteral("--spool"), spool}, exitCode);
}

// A small file system mounted for one scenario (root only), unmounted at its end.
struct SmallFileSystem {
    QString path;
    bool mounted = false;
    bool mount(const QString& where, const QString& size)
    {
        path = where;
        QDir().mkpath(path);
        mounted = QProcess::execute(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=" + size, "tmpfs", path}) == 0;
        return mounted;
    }
    // Fills what is left of it with one file.
    void fill() const
    {
        QFile f(path + QStringLiteral("/filler"));
        if (!f.open(QIODevice::WriteOnly))
            return;
        const QByteArray block(64 * 1024, 'f');
        while (f.write(block) == block.size() && f.flush()) {
        }
    }
    void empty() const { QFile::remove(path + QStringLiteral("/filler")); }
    ~SmallFileSystem()
    {
        if (mounted)
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), path});
    }
};

QByteArray Doc(const QString& subject, const QStringList& to = {QStringLiteral("alice@example.org")})
{
    MailDocBuilder d;
    d.subject = subject;
    d.to = to;
    d.body = QStringLiteral("Defect %1 was changed.").arg(subject);
    return d.build();
}

// One mail the relay took on, and the recipients the server should have taken it for.
struct Mail {
    QString subject;
    QStringList recipients;
};

struct Tally {
    int accepted = 0;
    int delivered = 0;
    int twice = 0;
    int lost = 0;
    int stray = 0; // received by someone it was not meant for, or unknown to the scenario
    QString detail;

    QString line(const QString& scenario) const
    {
        return QStringLiteral("%1: accepted %2, delivered %3, delivered twice %4, lost %5%6")
            .arg(scenario)
            .arg(accepted)
            .arg(delivered)
            .arg(twice)
            .arg(lost)
            .arg(stray ? QStringLiteral(", stray %1").arg(stray) : QString());
    }
};

// What the server received, read back by Python's email package: subject -> recipient -> count.
QHash<QString, QHash<QString, int>> Received(const QString& folder)
{
    static const QString script = QStringLiteral(
        "import email, email.policy, os, sys\n"
        "d = sys.argv[1]\n"
        "for n in sorted(os.listdir(d)):\n"
        "    if not n.endswith('.eml'):\n"
        "        continue\n"
        "    with open(os.path.join(d, n), 'rb') as f:\n"
        "        m = email.message_from_binary_file(f, policy=email.policy.default)\n"
        "    with open(os.path.join(d, n[:-4] + '.env'), encoding='utf-8') as f:\n"
        "        rcpts = [r for r in f.read().split('\\n')[1:] if r]\n"
        "    for r in rcpts:\n"
        "        sys.stdout.write('%s\\t%s\\n' % (m['subject'], r.lower()))\n");
    QHash<QString, QHash<QString, int>> received;
    int rc = -1;
    const QByteArray out = RunTool(SystemPython(), {QStringLiteral("-c"), script, folder}, &rc);
    if (rc != 0)
        qWarning("the mail reader failed on %s", qPrintable(folder));
    for (const QByteArray& line : out.split('\n')) {
        const qsizetype tab = line.indexOf('\t');
        if (tab > 0)
            ++received[QString::fromUtf8(line.left(tab))][QString::fromUtf8(line.mid(tab + 1))];
    }
    return received;
}

// `kept`: mails the relay still holds on purpose at this point (none at the end of a scenario).
Tally Count(const QString& sinkFolder, const QList<Mail>& accepted, int kept = 0)
{
    Tally t;
    t.accepted = int(accepted.size());
    QHash<QString, QHash<QString, int>> received = Received(sinkFolder);
    for (const Mail& mail : accepted) {
        QHash<QString, int> got = received.take(mail.subject);
        bool all = true, again = false;
        for (const QString& r : mail.recipients) {
            const int n = got.take(r.toLower());
            all = all && n > 0;
            again = again || n > 1;
            if (n != 1)
                t.detail += QStringLiteral("%1 to %2: %3 times; ").arg(mail.subject, r).arg(n);
        }
        for (auto it = got.cbegin(); it != got.cend(); ++it) {
            t.stray += it.value();
            t.detail += QStringLiteral("%1 reached %2, not meant for it; ").arg(mail.subject, it.key());
        }
        t.delivered += all ? 1 : 0;
        t.twice += again ? 1 : 0;
    }
    for (auto it = received.cbegin(); it != received.cend(); ++it) {
        for (const int n : it.value())
            t.stray += n;
        t.detail += QStringLiteral("unknown mail '%1'; ").arg(it.key());
    }
    t.lost = t.accepted - t.delivered - kept;
    return t;
}

void Report(const QString& scenario, const Tally& t)
{
    const QString line = t.line(scenario);
    Summary << line;
    if (t.detail.isEmpty())
        qInfo().noquote() << line;
    else
        qInfo().noquote() << line << QStringLiteral("\n   ") << t.detail;
}

int Btadmin(const QString& root, const QStringList& args, QByteArray* out = nullptr)
{
    int rc = -1;
    const QByteArray o = RunTool(QStringLiteral(SWN_BTADMIN), QStringList{QStringLiteral("--root"), root} + args, &rc);
    if (out)
        *out = o;
    return rc;
}

struct QueueState {
    int queued = 0;
    int parked = 0;
    bool read = false;
};

QueueState Queue(const QString& root)
{
    QueueState s;
    QByteArray out;
    s.read = Btadmin(root, {QStringLiteral("list"), DbSet, DbName}, &out) == 0;
    for (const QByteArray& line : out.split('\n')) {
        if (line.endsWith("\tqueued"))
            ++s.queued;
        else if (line.endsWith("\tparked"))
            ++s.parked;
    }
    return s;
}

int DocumentsIn(const QString& folder)
{
    return int(QDir(folder).entryList({QStringLiteral("*.xml")}, QDir::Files | QDir::Hidden).size());
}

// SWNRelay as the service runs it: no display, the log on stderr (kept in a file here).
class Relay {
public:
    QString settings, trackerRoot, spool, tmp, logPath;
    QHash<QString, QString> extraEnv;

    bool start()
    {
        process_ = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        // Its staging folder goes where the test can look at it.
        env.insert(QStringLiteral("TMPDIR"), tmp);
        // The server time-outs of a test build, shortened: every hang below waits one out.
        env.insert(QStringLiteral("SWN_TEST_SMTP_TIMEOUT"), QString::number(kSmtpTimeoutSeconds));
        for (auto it = extraEnv.cbegin(); it != extraEnv.cend(); ++it)
            env.insert(it.key(), it.value());
        process_->setProcessEnvironment(env);
        process_->setStandardOutputFile(logPath, QIODevice::Append);
        process_->setStandardErrorFile(logPath, QIODevice::Append);
        process_->start(QStringLiteral(SWN_RELAY_EXECUTABLE),
                        {QStringLiteral("--headless"), QStringLiteral("--settings"), settings,
                         QStringLiteral("--tracker-root"), trackerRoot, QStringLiteral("--spool"), spool});
        return process_->waitForStarted(10000);
    }
    bool running() const { return process_ && process_->state() != QProcess::NotRunning; }
    void kill()
    {
        if (!running())
            return;
        ::kill(pid_t(process_->processId()), SIGKILL);
        process_->waitForFinished(10000);
    }
    void terminate()
    {
        if (running())
            ::kill(pid_t(process_->processId()), SIGTERM);
    }
    bool signal(int signo) { return running() && ::kill(pid_t(process_->processId()), signo) == 0; }
    // After terminate(): true when it ended by itself, and well.
    bool waitEnded()
    {
        if (!process_)
            return true;
        if (process_->state() != QProcess::NotRunning && !process_->waitForFinished(90000))
            return false;
        return process_->exitStatus() == QProcess::NormalExit && process_->exitCode() == 0;
    }
    bool stop()
    {
        terminate();
        return waitEnded();
    }
    QString log() const
    {
        QFile f(logPath);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    int logCount(const QString& text) const { return int(log().count(text)); }
    ~Relay() { kill(); }

private:
    std::unique_ptr<QProcess> process_;
};

// A client posting one document with curl; its status is "200" when the relay took it.
class Post {
public:
    Post(quint16 port, const QString& file)
    {
        curl_.start(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                                             QStringLiteral("-w"), QStringLiteral("%{http_code}"),
                                             QStringLiteral("--max-time"), QStringLiteral("150"),
                                             QStringLiteral("--data-binary"), QLatin1Char('@') + file,
                                             QStringLiteral("http://127.0.0.1:%1/").arg(port)});
    }
    bool done() const { return curl_.state() == QProcess::NotRunning; }
    QByteArray status() { return curl_.readAllStandardOutput().trimmed(); }
    ~Post()
    {
        if (!done()) {
            curl_.kill();
            curl_.waitForFinished();
        }
    }

private:
    QProcess curl_;
};

// Another process holding the tracker database's write lock until it is told to let go.
class DatabaseLock {
public:
    bool take(const QString& file)
    {
        static const QString script = QStringLiteral(
            "import sqlite3, sys\n"
            "c = sqlite3.connect(sys.argv[1], timeout=30, isolation_level=None)\n"
            "c.execute('BEGIN IMMEDIATE')\n"
            "print('locked', flush=True)\n"
            "sys.stdin.read()\n"
            "c.execute('COMMIT')\n"
            "c.close()\n");
        p_.start(SystemPython(), {QStringLiteral("-c"), script, file});
        return p_.waitForStarted() && p_.waitForReadyRead(30000) && p_.readLine().trimmed() == "locked";
    }
    bool release()
    {
        p_.closeWriteChannel();
        return p_.waitForFinished(30000) && p_.exitStatus() == QProcess::NormalExit && p_.exitCode() == 0;
    }
    ~DatabaseLock()
    {
        if (p_.state() != QProcess::NotRunning) {
            p_.kill();
            p_.waitForFinished();
        }
    }

private:
    QProcess p_;
};

// One relay with its own SMTP server, settings, spool and tracker.
struct Rig {
    QString name;
    bool postOffice = false;
    QTemporaryDir dir;
    SmtpSink sink;
    Relay relay;
    quint16 listenPort = 0;
    QList<Mail> accepted;
    std::vector<std::unique_ptr<Post>> posts;
    int fileNumber = 0;

    QString path(const QString& name) const { return dir.filePath(name); }
    QString database() const { return relay.trackerRoot + QLatin1Char('/') + DbSet + QLatin1Char('.') + DbName + QStringLiteral(".btdb"); }

    // False, with the reason in `error`, when something the scenario needs did not come up.
    bool setUp(const QString& rigName, bool po, const QStringList& faults, QString* error)
    {
        name = rigName;
        postOffice = po;
        relay.settings = path(QStringLiteral("relay.ini"));
        relay.trackerRoot = path(QStringLiteral("tracker"));
        relay.spool = path(QStringLiteral("spool"));
        relay.tmp = path(QStringLiteral("tmp"));
        relay.logPath = path(QStringLiteral("relay.log"));
        QDir().mkpath(relay.trackerRoot);
        QDir().mkpath(relay.tmp);
        if (!sink.start()) {
            *error = QStringLiteral("the SMTP server did not start");
            return false;
        }
        sink.setFaults(faults);
        listenPort = UnusedTcpPort();
        const QString settings = QStringLiteral(
                                     "[SwiftnoteRelay]\nRelayMode=%1\nTransportMode=CDO\nSMTPServer=%2\n"
                                     "STMPRelayListenerPort=%3\nAutoStart=1\nPOPollInterval=1\nMaxLogSize=64\n"
                                     "BTLoginID=relay\nBTPassword=pw\nBTDB=%4\nBTDbset=%5\n")
                                     .arg(po ? QStringLiteral("POSTOFFICE") : QStringLiteral("NETWORK"), sink.hostText())
                                     .arg(listenPort)
                                     .arg(DbName, DbSet);
        if (!WriteFile(relay.settings, settings.toUtf8())) {
            *error = QStringLiteral("cannot write the settings");
            return false;
        }
        if (po) {
            const QList<QStringList> steps{{QStringLiteral("create-dbset"), DbSet},
                                           {QStringLiteral("create-db"), DbSet, DbName},
                                           {QStringLiteral("add-user"), DbSet, QStringLiteral("relay"), QStringLiteral("pw"),
                                            QStringLiteral("--db"), DbName},
                                           {QStringLiteral("enable-postoffice"), DbSet, DbName}};
            for (const QStringList& step : steps) {
                if (Btadmin(relay.trackerRoot, step) != 0) {
                    *error = QStringLiteral("btadmin %1 failed").arg(step.join(QLatin1Char(' ')));
                    return false;
                }
            }
        }
        return true;
    }

    QString writeDocument(const QByteArray& document)
    {
        const QString file = path(QStringLiteral("doc%1.xml").arg(++fileNumber));
        WriteFile(file, document);
        return file;
    }

    // Queues a record; it counts as accepted once the tracker has it.
    bool enqueue(const QString& subject, const QStringList& to = {QStringLiteral("alice@example.org")},
                 bool withAttachment = false)
    {
        QStringList args{QStringLiteral("enqueue"), DbSet, DbName, writeDocument(Doc(subject, to))};
        if (withAttachment) {
            const QString file = path(QStringLiteral("notes%1.txt").arg(fileNumber));
            WriteFile(file, QByteArray(2048, 'n'));
            args << QStringLiteral("--attach") << file + QStringLiteral("=notes.txt");
        }
        if (Btadmin(relay.trackerRoot, args) != 0)
            return false;
        accepted << Mail{subject, to};
        return true;
    }

    void post(const QString& subject, const QStringList& to = {QStringLiteral("alice@example.org")})
    {
        posts.push_back(std::make_unique<Post>(listenPort, writeDocument(Doc(subject, to))));
        accepted << Mail{subject, to};
    }
    bool postsDone() const
    {
        for (const auto& p : posts)
            if (!p->done())
                return false;
        return true;
    }
    // Statuses of the posts, in order; those not answered 200 are no longer counted as accepted.
    QList<QByteArray> postStatuses()
    {
        QList<QByteArray> statuses;
        const qsizetype first = accepted.size() - qsizetype(posts.size());
        QList<Mail> taken = accepted.mid(0, first);
        for (size_t i = 0; i < posts.size(); ++i) {
            statuses << posts[i]->status();
            if (statuses.last() == "200")
                taken << accepted[first + qsizetype(i)];
        }
        accepted = taken;
        posts.clear();
        return statuses;
    }

    bool listening() const
    {
        return QTest::qWaitFor([this] {
            QTcpSocket s;
            s.connectToHost(QStringLiteral("127.0.0.1"), listenPort);
            const bool up = s.waitForConnected(200);
            s.abort();
            return up;
        }, 20000);
    }
    int spooled() const { return DocumentsIn(relay.spool); }
    int failed() const { return DocumentsIn(relay.spool + QStringLiteral("/failed")); }
    // Files the relay staged for attachments and left in its temporary folder.
    int stagedFiles() const
    {
        int n = 0;
        QDirIterator it(relay.tmp, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            ++n;
        }
        return n;
    }
    int polls() const { return relay.logCount(QStringLiteral("Checked Postoffice - found")); }
    // Waits for `n` more poll rounds to end, so that a mail sent again would have shown.
    bool waitPolls(int n) const
    {
        const int target = polls() + n + 1;
        return QTest::qWaitFor([&] { return polls() >= target; }, 60000);
    }
    QString logTail() const { return relay.log().right(3000); }

    // What `folder` holds counted against what was accepted, `kept` of it still held on purpose:
    // nothing lost, nothing twice, nothing astray, and `delivered` mails arrived (when not -1).
    void expectCounted(const QString& folder, int kept, int delivered = -1)
    {
        const Tally t = Count(folder, accepted, kept);
        Report(name, t);
        QVERIFY2(t.lost == 0 && t.twice == 0 && t.stray == 0, qPrintable(t.line(name) + QStringLiteral(": ") + t.detail));
        if (delivered >= 0)
            QCOMPARE(t.delivered, delivered);
    }
    // The end of a network scenario: the relay stops, and every mail answered 200 arrived once.
    void expectEachOnce(int kept = 0)
    {
        QVERIFY(relay.stop());
        expectCounted(sink.folder(), kept);
    }
    // The server takes mail again and the relay starts anew: it drains its spool until `recipient`
    // has `subject`, and every mail went once.
    void restartUntilDrainedTo(const QString& subject, const QString& recipient)
    {
        sink.setFaults({});
        QVERIFY(relay.stop());
        QVERIFY(relay.start());
        QVERIFY2(QTest::qWaitFor([&] { return spooled() == 0 && Received(sink.folder()).value(subject).value(recipient) >= 1; },
                                 60000),
                 qPrintable(logTail()));
        expectEachOnce();
    }
    // The end of a post office scenario: two more poll rounds, so that a mail sent again would
    // have shown; the relay stops; `delivered` mails arrived, each once, and no record is left
    // queued or parked.
    void expectEachRecordOnce(int delivered)
    {
        QVERIFY(waitPolls(2));
        QVERIFY(relay.stop());
        const QueueState q = Queue(relay.trackerRoot);
        QVERIFY(q.read);
        expectCounted(sink.folder(), q.queued + q.parked, delivered);
        QCOMPARE(q.queued, 0);
        QCOMPARE(q.parked, 0);
    }
    // The relay's settings name another SMTP server; returns the settings text.
    QByteArray useServer(const QString& hostText)
    {
        QFile f(relay.settings);
        QByteArray ini;
        if (f.open(QIODevice::ReadOnly))
            ini = f.readAll().replace(sink.hostText().toUtf8(), hostText.toUtf8());
        f.close();
        WriteFile(relay.settings, ini);
        return ini;
    }
    // Documents kept in the spool as an earlier relay would have kept them.
    QStringList keepInSpool(int n, const QString& subject, qint64 ageMs = 0)
    {
        QDir().mkpath(relay.spool + QStringLiteral("/failed"));
        // As the relay makes its spool: its control socket lives only in a folder of its user alone.
        QFile::setPermissions(relay.spool, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QStringList ids;
        const QDateTime when = QDateTime::currentDateTimeUtc().addMSecs(-ageMs);
        for (int i = 0; i < n; ++i) {
            const QString id = QStringLiteral("%1Z-%2-0000feed")
                                   .arg(when.addMSecs(i).toString(QStringLiteral("yyyyMMdd'T'HHmmsszzz")))
                                   .arg(i, 8, 16, QLatin1Char('0'));
            const QString mailSubject = n == 1 ? subject : QStringLiteral("%1 #%2").arg(subject).arg(i + 1);
            WriteFile(relay.spool + QLatin1Char('/') + id + QStringLiteral(".xml"), Doc(mailSubject));
            accepted << Mail{mailSubject, {QStringLiteral("alice@example.org")}};
            ids << id;
        }
        return ids;
    }
};

struct StepFault {
    const char* fault;
    const char* why; // what the step looks like from the relay
};

// Every step of the exchange, refused for now, refused for the session, or hung.
const StepFault Steps[] = {
    {"connect close", "closed before the greeting"},
    {"connect hang", "silent after the connection"},
    {"greeting 421", "busy at the greeting"},
    {"greeting 554", "no service at the greeting"},
    {"greeting hang", "silent instead of the greeting"},
    {"ehlo 421", "closing at EHLO"},
    {"mail 451", "MAIL FROM refused for now"},
    {"mail 530", "MAIL FROM refused: authentication required"},
    {"mail hang", "silent after MAIL FROM"},
    {"rcpt 451", "every RCPT refused for now"},
    {"rcpt 452", "every RCPT: insufficient storage"},
    {"rcpt hang", "silent after RCPT"},
    {"data 451", "DATA refused for now"},
    {"data hang", "silent after DATA"},
    {"enddata 451", "the message refused for now after its data"},
    {"enddata hang", "silent after the message's data"},
    {"midmessage close", "connection closed in the middle of the message"},
};

} // namespace

class FaultsTest : public QObject {
    Q_OBJECT

    // Runs every step's fault at once, each against its own relay and server.
    void networkSteps(bool hangs)
    {
        std::vector<std::unique_ptr<Rig>> rigs;
        for (const StepFault& step : Steps) {
            if (QByteArray(step.fault).endsWith(" hang") != hangs)
                continue;
            auto rig = std::make_unique<Rig>();
            QString error;
            QVERIFY2(rig->setUp(QStringLiteral("network, %1").arg(QLatin1String(step.why)), false,
                                {QString::fromLatin1(step.fault)}, &error), qPrintable(error));
            QVERIFY(rig->relay.start());
            rigs.push_back(std::move(rig));
        }
        for (auto& rig : rigs) {
            QVERIFY2(rig->listening(), qPrintable(rig->name + QStringLiteral(": not listening\n") + rig->logTail()));
            const QString tag = QString::fromLatin1(QTest::currentTestFunction()) + QLatin1Char(' ') + rig->name;
            rig->post(tag + QStringLiteral(" #1"));
            rig->post(tag + QStringLiteral(" #2"));
        }
        QVERIFY(QTest::qWaitFor([&] {
            for (auto& rig : rigs)
                if (!rig->postsDone())
                    return false;
            return true;
        }, kLongWaitMs));
        for (auto& rig : rigs) {
            // The relay answers 200 only for what it delivered or keeps on disk.
            const QList<QByteArray> statuses = rig->postStatuses();
            QVERIFY2(statuses == (QList<QByteArray>{"200", "200"}),
                     qPrintable(rig->name + QStringLiteral(": answered ") + QString::fromLatin1(statuses.join(' '))));
            QVERIFY2(rig->spooled() == 2, qPrintable(rig->name + QStringLiteral(": %1 kept").arg(rig->spooled())));
            QVERIFY2(rig->sink.count() == 0, qPrintable(rig->name));
            rig->sink.setFaults({});
            rig->relay.terminate();
        }
        for (auto& rig : rigs) {
            QVERIFY2(rig->relay.waitEnded(), qPrintable(rig->name + QStringLiteral(": did not stop well\n") + rig->logTail()));
            QVERIFY(rig->relay.start());
        }
        // Started again, the relay tries what it kept at once.
        QVERIFY(QTest::qWaitFor([&] {
            for (auto& rig : rigs)
                if (rig->sink.count() < 2 || rig->spooled() != 0)
                    return false;
            return true;
        }, kLongWaitMs));
        for (auto& rig : rigs) {
            QVERIFY(rig->relay.stop());
            const Tally t = Count(rig->sink.folder(), rig->accepted, rig->spooled() + rig->failed());
            Report(rig->name, t);
            QCOMPARE(t.lost, 0);
            QCOMPARE(t.twice, 0);
            QCOMPARE(t.delivered, 2);
            QCOMPARE(t.stray, 0);
            QCOMPARE(rig->failed(), 0);
        }
    }

    void postOfficeSteps(bool hangs)
    {
        std::vector<std::unique_ptr<Rig>> rigs;
        for (const StepFault& step : Steps) {
            if (QByteArray(step.fault).endsWith(" hang") != hangs)
                continue;
            auto rig = std::make_unique<Rig>();
            QString error;
            QVERIFY2(rig->setUp(QStringLiteral("post office, %1").arg(QLatin1String(step.why)), true,
                                {QString::fromLatin1(step.fault)}, &error), qPrintable(error));
            const QString tag = QString::fromLatin1(QTest::currentTestFunction()) + QLatin1Char(' ') + rig->name;
            QVERIFY(rig->enqueue(tag + QStringLiteral(" #1")));
            QVERIFY(rig->enqueue(tag + QStringLiteral(" #2")));
            QVERIFY(rig->relay.start());
            rigs.push_back(std::move(rig));
        }
        // Until the first record's attempt has ended.
        QVERIFY(QTest::qWaitFor([&] {
            for (auto& rig : rigs)
                if (rig->relay.logCount(QStringLiteral("Post office record")) == 0)
                    return false;
            return true;
        }, kLongWaitMs));
        for (auto& rig : rigs) {
            const QueueState q = Queue(rig->relay.trackerRoot);
            QVERIFY(q.read);
            QVERIFY2(q.queued == 2 && q.parked == 0,
                     qPrintable(rig->name + QStringLiteral(": %1 queued, %2 parked\n").arg(q.queued).arg(q.parked) + rig->logTail()));
            QVERIFY2(rig->sink.count() == 0, qPrintable(rig->name));
            rig->sink.setFaults({});
            // Killed wherever it is: no attempt of it reached the server's acceptance.
            rig->relay.kill();
            QVERIFY(rig->relay.start());
        }
        QVERIFY(QTest::qWaitFor([&] {
            for (auto& rig : rigs)
                if (rig->sink.count() < 2 || Queue(rig->relay.trackerRoot).queued != 0)
                    return false;
            return true;
        }, kLongWaitMs));
        for (auto& rig : rigs) {
            rig->expectEachRecordOnce(2);
            if (QTest::currentTestFailed())
                return;
        }
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(QStringLiteral(SWN_RELAY_EXECUTABLE)), SWN_RELAY_EXECUTABLE);
        QVERIFY2(QFile::exists(QStringLiteral(SWN_BTADMIN)), SWN_BTADMIN);
        int rc = -1;
        RunTool(QStringLiteral("curl"), {QStringLiteral("--version")}, &rc);
        QVERIFY2(rc == 0, "curl is needed");
    }

    void cleanupTestCase()
    {
        std::printf("\nAccepted, delivered, twice and lost, scenario by scenario:\n");
        for (const QString& line : std::as_const(Summary))
            std::printf("  %s\n", qPrintable(line));
        std::fflush(stdout);
    }

    // Three documents arrive while the server is away: each is answered 200 because it is on
    // disk. The relay is killed, and killed again while it sends the first of them; once the
    // server is back, a fresh start delivers each of the three once and leaves the spool empty.
    void networkServerDownThenKilled()
    {
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("network, server down, relay killed twice"), false, {}, &error), qPrintable(error));
        const quint16 smtpPort = rig.sink.port();
        rig.sink.stop();
        QVERIFY(rig.relay.start());
        QVERIFY(rig.listening());
        for (int i = 1; i <= 3; ++i)
            rig.post(QStringLiteral("server down #%1").arg(i));
        QVERIFY(QTest::qWaitFor([&] { return rig.postsDone(); }, kLongWaitMs));
        QCOMPARE(rig.postStatuses(), (QList<QByteArray>{"200", "200", "200"}));
        QCOMPARE(rig.spooled(), 3);
        rig.relay.kill();

        // The server comes back, but swallows the first message's end without an answer.
        rig.sink.setFaults({QStringLiteral("enddata hang")});
        QVERIFY(rig.sink.start(smtpPort));
        QVERIFY(rig.relay.start());
        QVERIFY2(QTest::qWaitFor([&] { return EstablishedTo(smtpPort) >= 1; }, 30000), qPrintable(rig.logTail()));
        // The three are sent side by side: the server has each one's data and holds its end
        // unanswered. Killed earlier, the relay could leave a message whose end the server reads
        // only once it takes mail again.
        QVERIFY2(QTest::qWaitFor([&] { return HangsAt(rig.sink, QStringLiteral("end of data")) >= 3; }, 30000),
                 qPrintable(rig.logTail()));
        rig.relay.kill();
        QCOMPARE(rig.sink.count(), 0);
        QCOMPARE(rig.spooled(), 3);

        rig.sink.setFaults({});
        QVERIFY(rig.relay.start());
        // Out of the spool, a document cannot go again; one that went twice shows in the count
        // once the relay has stopped.
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 3 && rig.spooled() == 0; }, 60000), qPrintable(rig.logTail()));
        QVERIFY(rig.relay.stop());
        const Tally t = Count(rig.sink.folder(), rig.accepted, rig.spooled() + rig.failed());
        Report(rig.name, t);
        QCOMPARE(t.accepted, 3);
        QCOMPARE(t.delivered, 3);
        QCOMPARE(t.twice, 0);
        QCOMPARE(t.lost, 0);
        QCOMPARE(t.stray, 0);
        QCOMPARE(rig.spooled(), 0);
        QCOMPARE(rig.failed(), 0);
    }

    void networkEachStepRefused() { networkSteps(false); }
    void networkEachStepHung() { networkSteps(true); }
    void postOfficeEachStepRefused() { postOfficeSteps(false); }
    void postOfficeEachStepHung() { postOfficeSteps(true); }

    // One recipient of three refused for good: the other two get the mail, once, and nothing is
    // kept for the refused one. One refused for now: the other two get it at once and only the
    // third gets it later.
    void oneOfThreeRecipientsRefused_data()
    {
        QTest::addColumn<bool>("postOffice");
        QTest::addColumn<QString>("fault");
        QTest::newRow("network, 550") << false << QStringLiteral("550");
        QTest::newRow("network, 451") << false << QStringLiteral("451");
        QTest::newRow("post office, 550") << true << QStringLiteral("550");
        QTest::newRow("post office, 451") << true << QStringLiteral("451");
    }
    void oneOfThreeRecipientsRefused()
    {
        QFETCH(bool, postOffice);
        QFETCH(QString, fault);
        const bool forGood = fault.startsWith(QLatin1Char('5'));
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("%1, one of three recipients refused %2")
                               .arg(postOffice ? QStringLiteral("post office") : QStringLiteral("network"), fault),
                           postOffice, {QStringLiteral("rcpt=bob@example.org ") + fault}, &error),
                 qPrintable(error));
        const QStringList three{QStringLiteral("alice@example.org"), QStringLiteral("bob@example.org"),
                                QStringLiteral("carol@example.org")};
        const QString subject = QStringLiteral("three recipients, one refused ") + fault + (postOffice ? " (po)" : " (net)");
        if (postOffice)
            QVERIFY(rig.enqueue(subject, three));
        QVERIFY(rig.relay.start());
        if (!postOffice) {
            QVERIFY(rig.listening());
            rig.post(subject, three);
            QVERIFY(QTest::qWaitFor([&] { return rig.postsDone(); }, kLongWaitMs));
            QCOMPARE(rig.postStatuses(), QList<QByteArray>{"200"});
        }
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 1; }, 60000), qPrintable(rig.logTail()));
        // Nothing more may go for now: a post is answered once its delivery has ended and what
        // still waits is kept (its first retry is 30 s away); a record sent again would show
        // within a poll round.
        if (postOffice)
            QVERIFY(rig.waitPolls(2));
        QHash<QString, int> got = Received(rig.sink.folder()).value(subject);
        QCOMPARE(got.value(QStringLiteral("alice@example.org")), 1);
        QCOMPARE(got.value(QStringLiteral("carol@example.org")), 1);
        QCOMPARE(got.value(QStringLiteral("bob@example.org")), 0);
        const int held = postOffice ? Queue(rig.relay.trackerRoot).queued : rig.spooled();
        if (forGood) {
            // Nothing can reach the refused recipient: nothing waits for it.
            QCOMPARE(held, 0);
            if (postOffice)
                QCOMPARE(Queue(rig.relay.trackerRoot).parked, 0);
            else
                QCOMPARE(rig.failed(), 0);
            rig.accepted.first().recipients.removeAll(QStringLiteral("bob@example.org"));
        } else {
            // The mail waits for the third recipient only; a new start tries it at once.
            QCOMPARE(held, 1);
            rig.sink.setFaults({});
            QVERIFY(rig.relay.stop());
            QVERIFY(rig.relay.start());
            QVERIFY2(QTest::qWaitFor([&] { return Received(rig.sink.folder()).value(subject).value(QStringLiteral("bob@example.org")) >= 1; }, 60000),
                     qPrintable(rig.logTail()));
        }
        if (postOffice) {
            rig.expectEachRecordOnce(1);
            return;
        }
        // Sent to the third recipient, the document leaves the spool.
        QVERIFY2(QTest::qWaitFor([&] { return rig.spooled() == 0; }, 30000), qPrintable(rig.logTail()));
        QVERIFY(rig.relay.stop());
        const int left = rig.spooled();
        rig.expectCounted(rig.sink.folder(), left, 1);
        QCOMPARE(left, 0);
    }

    // A server that refuses the sender (530) ends every round with all records still queued, in
    // order; none is parked. Once it takes mail again, each goes once.
    void postOfficeSenderRefusedForAWhile()
    {
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("post office, MAIL FROM refused 530 for a while"), true,
                           {QStringLiteral("mail 530")}, &error), qPrintable(error));
        for (int i = 1; i <= 3; ++i)
            QVERIFY(rig.enqueue(QStringLiteral("sender refused #%1").arg(i)));
        QVERIFY(rig.relay.start());
        const QString kept = QStringLiteral("kept for the next poll");
        QVERIFY2(QTest::qWaitFor([&] { return rig.polls() >= 3; }, 60000), qPrintable(rig.logTail()));
        // Told once, not at every round while it lasts.
        QCOMPARE(rig.relay.logCount(kept), 1);
        QCOMPARE(rig.relay.logCount(QStringLiteral("The mail server is still unavailable")), 1);
        QueueState q = Queue(rig.relay.trackerRoot);
        QCOMPARE(q.queued, 3);
        QCOMPARE(q.parked, 0);
        QCOMPARE(rig.sink.count(), 0);

        rig.sink.setFaults({});
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 3 && Queue(rig.relay.trackerRoot).queued == 0; }, 60000),
                 qPrintable(rig.logTail()));
        rig.expectEachRecordOnce(3);
    }

    // The first record's only recipient is refused for now (452) at every attempt: the records
    // queued after it still go, and it stays queued, neither parked nor lost.
    void postOfficeStuckRecordDoesNotHoldUpOthers()
    {
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("post office, only recipient of the first record refused 452"), true,
                           {QStringLiteral("rcpt=stuck@example.org 452")}, &error), qPrintable(error));
        QVERIFY(rig.enqueue(QStringLiteral("stuck record"), {QStringLiteral("stuck@example.org")}));
        for (int i = 1; i <= 3; ++i)
            QVERIFY(rig.enqueue(QStringLiteral("behind the stuck one #%1").arg(i)));
        QVERIFY(rig.relay.start());
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 3; }, 60000), qPrintable(rig.logTail()));
        QVERIFY(rig.waitPolls(2));
        QueueState q = Queue(rig.relay.trackerRoot);
        QCOMPARE(q.queued, 1);
        QCOMPARE(q.parked, 0);
        QCOMPARE(Count(rig.sink.folder(), rig.accepted.mid(1)).delivered, 3);

        // The stuck record's own wait is 30 s; a new start tries it at once.
        rig.sink.setFaults({});
        QVERIFY(rig.relay.stop());
        QVERIFY(rig.relay.start());
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 4 && Queue(rig.relay.trackerRoot).queued == 0; }, 60000),
                 qPrintable(rig.logTail()));
        rig.expectEachRecordOnce(4);
    }

    // Another process holds the database's write lock while the relay delivers: the mails go,
    // their records cannot be deleted, and later rounds only try the deletion again. Once the
    // lock is gone the queue empties, and every record arrived exactly once.
    void postOfficeDeleteUnderLockedDatabase()
    {
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("post office, database locked by another process while records are deleted"),
                           true, {QStringLiteral("mail 530")}, &error), qPrintable(error));
        for (int i = 1; i <= 3; ++i)
            QVERIFY(rig.enqueue(QStringLiteral("locked database #%1").arg(i)));
        QVERIFY(rig.relay.start());
        // Logged in and polling, the server refusing for now.
        QVERIFY2(QTest::qWaitFor([&] { return rig.relay.logCount(QStringLiteral("kept for the next poll")) >= 1; }, 60000),
                 qPrintable(rig.logTail()));
        DatabaseLock lock;
        QVERIFY(lock.take(rig.database()));
        rig.sink.setFaults({});
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 3; }, 90000), qPrintable(rig.logTail()));
        QVERIFY2(QTest::qWaitFor([&] { return rig.relay.logCount(QStringLiteral("could not be removed from the queue")) >= 1; }, 30000),
                 qPrintable(rig.logTail()));
        QVERIFY(rig.waitPolls(2));
        QCOMPARE(Queue(rig.relay.trackerRoot).queued, 3);
        QCOMPARE(rig.sink.count(), 3);
        QVERIFY(lock.release());
        QVERIFY2(QTest::qWaitFor([&] { return Queue(rig.relay.trackerRoot).queued == 0; }, 60000), qPrintable(rig.logTail()));
        rig.expectEachRecordOnce(3);
    }

    // Killed while the server holds the first message's end unanswered: the server never took
    // it, so a new start sends each record once. Staged attachment files of the killed process
    // are counted, not asserted: nothing can remove them in the instant of a SIGKILL.
    void postOfficeKilledMidDelivery()
    {
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("post office, relay killed mid-delivery"), true,
                           {QStringLiteral("enddata hang")}, &error), qPrintable(error));
        for (int i = 1; i <= 3; ++i)
            QVERIFY(rig.enqueue(QStringLiteral("killed mid-delivery #%1").arg(i), {QStringLiteral("alice@example.org")}, true));
        QVERIFY(rig.relay.start());
        QVERIFY2(QTest::qWaitFor([&] { return EstablishedTo(rig.sink.port()) >= 1; }, 30000), qPrintable(rig.logTail()));
        // The server has the message's data and holds its end unanswered.
        QVERIFY2(QTest::qWaitFor([&] { return HangsAt(rig.sink, QStringLiteral("end of data")) >= 1; }, 30000),
                 qPrintable(rig.logTail()));
        rig.relay.kill();
        QCOMPARE(rig.sink.count(), 0);
        QCOMPARE(Queue(rig.relay.trackerRoot).queued, 3);
        const int leftByKill = rig.stagedFiles();

        rig.sink.setFaults({});
        QVERIFY(rig.relay.start());
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 3 && Queue(rig.relay.trackerRoot).queued == 0; }, 60000),
                 qPrintable(rig.logTail()));
        rig.expectEachRecordOnce(3);
        qInfo("staged files left by the killed relay: %d; after a clean stop of the next one: %d", leftByKill,
              rig.stagedFiles());
    }

    // Killed after the server took the mails but before their records could be deleted (another
    // process holds the database's lock, so the deletes wait). The relay notes each mail that went
    // before it deletes the record, so the next start only deletes. The one place left where a
    // mail may arrive twice is a kill between the server's acceptance and that note; deleting
    // first would trade such a duplicate for a loss.
    void postOfficeKilledAfterTheServerTookTheMail()
    {
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("post office, relay killed between the server's acceptance and the delete"),
                           true, {QStringLiteral("mail 530")}, &error), qPrintable(error));
        for (int i = 1; i <= 3; ++i)
            QVERIFY(rig.enqueue(QStringLiteral("killed before the delete #%1").arg(i)));
        QVERIFY(rig.relay.start());
        QVERIFY2(QTest::qWaitFor([&] { return rig.relay.logCount(QStringLiteral("kept for the next poll")) >= 1; }, 60000),
                 qPrintable(rig.logTail()));
        DatabaseLock lock;
        QVERIFY(lock.take(rig.database()));
        rig.sink.setFaults({});
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 3; }, 90000), qPrintable(rig.logTail()));
        // The server has each mail once its data is in; the relay knows only when the reply comes,
        // and notes it in its journal then. The kill falls after that, before any delete.
        const auto journaled = [&] {
            int lines = 0;
            const QDir notes(rig.relay.spool + QStringLiteral("/notes"));
            for (const QString& name : notes.entryList({QStringLiteral("delivered-*")}, QDir::Files)) {
                QFile f(notes.filePath(name));
                if (f.open(QIODevice::ReadOnly))
                    lines += int(f.readAll().count('\n'));
            }
            return lines;
        };
        QVERIFY2(QTest::qWaitFor([&] { return journaled() >= 3; }, 30000), qPrintable(rig.logTail()));
        rig.relay.kill();
        QVERIFY(lock.release());
        QCOMPARE(Queue(rig.relay.trackerRoot).queued, 3);

        QVERIFY(rig.relay.start());
        QVERIFY2(QTest::qWaitFor([&] { return Queue(rig.relay.trackerRoot).queued == 0; }, 60000), qPrintable(rig.logTail()));
        rig.expectEachRecordOnce(3);
    }

    // Faults of the relay's own host are no reason to drop mail: with its temporary folder
    // unusable, a document with an attachment is kept, and it goes once the folder is back.
    void temporaryFolderUnusable()
    {
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("network, temporary folder unusable, then back"), false, {}, &error), qPrintable(error));
        const QString good = rig.relay.tmp;
        rig.relay.tmp = rig.path(QStringLiteral("not-a-folder"));
        QVERIFY(WriteFile(rig.relay.tmp, "a file where the folder should be"));
        QVERIFY(rig.relay.start());
        QVERIFY(rig.listening());
        MailDocBuilder d;
        d.subject = QStringLiteral("attachment while the temporary folder is gone");
        d.attachments = {{QStringLiteral("report.txt"), QByteArray(4096, 'r')}};
        rig.posts.push_back(std::make_unique<Post>(rig.listenPort, rig.writeDocument(d.build())));
        rig.accepted << Mail{d.subject, {QStringLiteral("alice@example.org")}};
        QVERIFY(QTest::qWaitFor([&] { return rig.postsDone(); }, kLongWaitMs));
        QCOMPARE(rig.postStatuses(), QList<QByteArray>{"200"});
        QCOMPARE(rig.spooled(), 1);
        QCOMPARE(rig.failed(), 0);
        QVERIFY(rig.relay.stop());
        rig.relay.tmp = good;
        QVERIFY(rig.relay.start());
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 1 && rig.spooled() == 0; }, 30000), qPrintable(rig.logTail()));
        rig.expectEachOnce();
        QCOMPARE(rig.stagedFiles(), 0);
    }

    // A full disk under the temporary folder: the same, with the fault the kernel reports.
    void temporaryFolderFull()
    {
        if (::geteuid() != 0)
            QSKIP("mounting a small file system needs root");
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("network, temporary folder full, then roomy"), false, {}, &error), qPrintable(error));
        const QString small = rig.path(QStringLiteral("small-tmp"));
        QDir().mkpath(small);
        if (QProcess::execute(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=64k", "tmpfs", small}) != 0)
            QSKIP("no tmpfs can be mounted here");
        struct Unmount {
            QString path;
            ~Unmount() { QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), path}); }
        } unmount{small};
        const QString good = rig.relay.tmp;
        rig.relay.tmp = small;
        QVERIFY(rig.relay.start());
        QVERIFY(rig.listening());
        MailDocBuilder d;
        d.subject = QStringLiteral("large attachment on a full disk");
        d.attachments = {{QStringLiteral("big.bin"), QByteArray(512 * 1024, 'b')}};
        rig.posts.push_back(std::make_unique<Post>(rig.listenPort, rig.writeDocument(d.build())));
        rig.accepted << Mail{d.subject, {QStringLiteral("alice@example.org")}};
        QVERIFY(QTest::qWaitFor([&] { return rig.postsDone(); }, kLongWaitMs));
        QCOMPARE(rig.postStatuses(), QList<QByteArray>{"200"});
        QCOMPARE(rig.spooled(), 1);
        QVERIFY(rig.relay.stop());
        rig.relay.tmp = good;
        QVERIFY(rig.relay.start());
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 1 && rig.spooled() == 0; }, 30000), qPrintable(rig.logTail()));
        rig.expectEachOnce();
    }

    // A kept document whose mail went but which cannot be removed (immutable) is never sent
    // again: the relay remembers it on disk and only tries the removal, across restarts too.
    void deliveredEntryThatCannotBeRemoved()
    {
        if (::geteuid() != 0)
            QSKIP("making a file immutable needs root");
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("network, a delivered entry that cannot be removed"), false, {}, &error), qPrintable(error));
        const QStringList ids = rig.keepInSpool(1, QStringLiteral("immutable entry"));
        const QString file = rig.relay.spool + QLatin1Char('/') + ids[0] + QStringLiteral(".xml");
        if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), file}) != 0)
            QSKIP("this file system has no immutable files");
        struct Mutable {
            QString path;
            ~Mutable() { QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path}); }
        } mutableAgain{file};
        QVERIFY(rig.relay.start());
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 1; }, 30000), qPrintable(rig.logTail()));
        QVERIFY2(QTest::qWaitFor([&] { return rig.relay.logCount(QStringLiteral("was delivered but cannot be removed")) == 1; }, 10000),
                 qPrintable(rig.logTail()));
        // Restarts, and time: it stays sent once. The new run tries what it finds in the spool at
        // once, and for this entry it only tries the removal: when it says so again, it is past
        // the point where it would have sent the mail a second time.
        QVERIFY(rig.relay.stop());
        QVERIFY(rig.relay.start());
        QVERIFY(rig.listening());
        QVERIFY2(QuietUntil([&] { return rig.sink.count() == 1; },
                            [&] { return rig.relay.logCount(QStringLiteral("was delivered but cannot be removed")) >= 2; }, 30000),
                 qPrintable(rig.logTail()));
        QCOMPARE(rig.sink.count(), 1);
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), file});
        rig.expectEachOnce();
    }

    // A step of the wall clock six days forward, while the server is away: nothing expires
    // without the relay having tried it for its own five days, and once the server is back
    // everything goes.
    void clockStepForward()
    {
        const QString library = QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1");
        if (!QFile::exists(library))
            QSKIP("libfaketime is not installed");
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("network, the clock steps six days forward"), false,
                           {QStringLiteral("greeting 421")}, &error), qPrintable(error));
        const QString stamp = rig.path(QStringLiteral("faketime"));
        QVERIFY(WriteFile(stamp, "+0\n"));
        rig.relay.extraEnv = {{QStringLiteral("LD_PRELOAD"), library},
                              {QStringLiteral("FAKETIME_TIMESTAMP_FILE"), stamp},
                              {QStringLiteral("FAKETIME_NO_CACHE"), QStringLiteral("1")},
                              {QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1")}};
        QVERIFY(rig.relay.start());
        QVERIFY(rig.listening());
        rig.post(QStringLiteral("kept before the clock step"));
        QVERIFY(QTest::qWaitFor([&] { return rig.postsDone(); }, kLongWaitMs));
        QCOMPARE(rig.postStatuses(), QList<QByteArray>{"200"});
        QVERIFY(WriteFile(stamp, "+6d\n"));
        // Tried again (at the next probe) after the step, while still away: it stays kept.
        const int tried = rig.relay.logCount(QStringLiteral("Send Failed"));
        QVERIFY2(QTest::qWaitFor([&] { return rig.relay.logCount(QStringLiteral("Send Failed")) > tried; }, 60000), qPrintable(rig.logTail()));
        QCOMPARE(rig.failed(), 0);
        QCOMPARE(rig.spooled(), 1);
        rig.sink.setFaults({});
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 1 && rig.spooled() == 0; }, 60000), qPrintable(rig.logTail()));
        rig.expectEachOnce();
    }

    // Two relays started together on one spool of 60 kept documents: one works it, the other
    // says who holds it and stays stopped; each mail goes once.
    void twoRelaysOnOneSpool()
    {
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("network, two relays on one spool of 60"), false, {}, &error), qPrintable(error));
        rig.keepInSpool(60, QStringLiteral("shared spool"));
        Relay second;
        second.settings = rig.path(QStringLiteral("second.ini"));
        second.trackerRoot = rig.relay.trackerRoot;
        second.spool = rig.relay.spool;
        second.tmp = rig.relay.tmp;
        second.logPath = rig.path(QStringLiteral("second.log"));
        const quint16 secondPort = UnusedTcpPort();
        QVERIFY(WriteFile(second.settings, QStringLiteral("[SwiftnoteRelay]\nRelayMode=NETWORK\nSMTPServer=%1\n"
                                                          "STMPRelayListenerPort=%2\n")
                                               .arg(rig.sink.hostText())
                                               .arg(secondPort)
                                               .toUtf8()));
        QVERIFY(rig.relay.start());
        QVERIFY(second.start());
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 60 && rig.spooled() == 0; }, 60000), qPrintable(rig.logTail()));
        // The one that lost says so; a mail sent twice shows in the count once both have stopped.
        // It may find the lock taken before its holder has written its name there.
        QVERIFY2(QTest::qWaitFor([&] { return (rig.relay.logCount(QStringLiteral("is in use by ")) +
                                               second.logCount(QStringLiteral("is in use by "))) >= 1; }, 30000),
                 qPrintable(rig.logTail() + QStringLiteral("\n") + second.log().right(2000)));
        const bool firstWorks = rig.relay.logCount(QStringLiteral("is in use by")) == 0;
        const QString other = firstWorks ? second.log() : rig.relay.log();
        QVERIFY2(other.contains(QStringLiteral("is in use by ")), qPrintable(other.right(2000)));
        QVERIFY(second.stop());
        rig.expectEachOnce();
    }

    // SIGTERM while eight deliveries are with a slow server: each client gets its 200, each
    // mail arrives once, and the relay ends by itself.
    void stoppingWithDeliveriesUnderWay()
    {
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("network, SIGTERM with eight deliveries under way"), false, {}, &error), qPrintable(error));
        SlowSmtp slow;
        QVERIFY(slow.start());
        slow.delayData(3);
        rig.useServer(slow.hostText());
        QVERIFY(rig.relay.start());
        QVERIFY(rig.listening());
        for (int i = 1; i <= 8; ++i)
            rig.post(QStringLiteral("stopping #%1").arg(i));
        QVERIFY(QTest::qWaitFor([&] { return slow.maxConcurrentData() >= 8; }, 30000));
        rig.relay.terminate();
        QVERIFY(QTest::qWaitFor([&] { return rig.postsDone(); }, 60000));
        QCOMPARE(rig.postStatuses(), QList<QByteArray>(8, "200"));
        QVERIFY(rig.relay.waitEnded());
        QCOMPARE(slow.count(), 8);
        QCOMPARE(rig.spooled(), 0);
        QStringList subjects = PySubjects(slow.messages());
        subjects.sort();
        QCOMPARE(subjects.removeDuplicates(), 0);
        rig.expectCounted(slow.mailDir(), rig.spooled() + rig.failed(), 8);
    }

    // A full spool, and a server that takes the mail for alice but puts bob off: what the relay
    // cannot keep for bob it must not send to alice either. The client hears 200 only for what
    // is kept, 503 only when nothing went; its retry once the spool has room leaves each of
    // them with one copy.
    void spoolFullWhileOneRecipientIsPutOff()
    {
        if (::geteuid() != 0)
            QSKIP("mounting a small file system needs root");
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("network, spool full, bob put off"), false,
                           {QStringLiteral("rcpt=bob@example.org 451")}, &error),
                 qPrintable(error));
        SmallFileSystem small;
        if (!small.mount(rig.path(QStringLiteral("small-spool")), QStringLiteral("512k")))
            QSKIP("no tmpfs can be mounted here");
        rig.relay.spool = small.path + QStringLiteral("/spool");
        QVERIFY(rig.relay.start());
        QVERIFY(rig.listening());
        small.fill();
        const QStringList both{QStringLiteral("alice@example.org"), QStringLiteral("bob@example.org")};
        const QString subject = QStringLiteral("alice and bob on a full spool");
        rig.post(subject, both);
        QVERIFY(QTest::qWaitFor([&] { return rig.postsDone(); }, kLongWaitMs));
        const QList<QByteArray> statuses = rig.postStatuses();
        QCOMPARE(statuses.size(), 1);
        qInfo("the post on a full spool was answered %s", statuses[0].constData());
        if (statuses[0] == "200") {
            // Kept, for both: nothing went.
            QCOMPARE(rig.spooled(), 1);
        } else {
            QCOMPARE(statuses[0], QByteArray("503"));
            QCOMPARE(rig.spooled(), 0);
        }
        QVERIFY2(rig.sink.count() == 0, qPrintable(rig.logTail()));
        QVERIFY(LinesIn(rig.sink, QStringLiteral("transactions")) > 0); // tried, all or nothing

        // Room again, and the client retries what it was refused (a kept one goes at the start).
        small.empty();
        if (statuses[0] != "200") {
            rig.post(subject, both);
            QVERIFY(QTest::qWaitFor([&] { return rig.postsDone(); }, kLongWaitMs));
            QCOMPARE(rig.postStatuses(), QList<QByteArray>{"200"});
        }
        QVERIFY2(QTest::qWaitFor([&] { return Received(rig.sink.folder()).value(subject).value(both[0]) >= 1; }, 60000),
                 qPrintable(rig.logTail()));
        // Bob's copy is kept for him alone; the server takes it once it takes mail from him.
        rig.restartUntilDrainedTo(subject, both[1]);
    }

    // SIGTERM while 30 kept documents go to a server that takes 40 s to answer each final dot:
    // the deliveries under way end (cut short by the relay's own wait), nothing new begins, the
    // relay ends in the time it states, and a new start delivers everything; only what was cut
    // short may arrive twice.
    void stoppingWhileAKeptBacklogGoes()
    {
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("network, SIGTERM while 30 kept documents go to a slow server"), false,
                           {QStringLiteral("enddata delay 40")}, &error),
                 qPrintable(error));
        rig.keepInSpool(30, QStringLiteral("kept backlog at a stop"));
        QVERIFY(rig.relay.start());
        QVERIFY(rig.listening());
        // Every worker waits for a final reply.
        QVERIFY2(QTest::qWaitFor([&] { return LinesIn(rig.sink, QStringLiteral("delays")) >= 8; }, 30000),
                 qPrintable(rig.logTail()));
        int rc = -1;
        const QByteArray listed = SpoolVerb(rig.relay.spool, {QStringLiteral("--queue")}, &rc);
        QCOMPARE(rc, 0);
        QCOMPARE(int(listed.count("\tkept\t")), 30);
        SpoolVerb(rig.relay.spool, {QStringLiteral("--flush")}, &rc);
        QVERIFY2(rc == 0, qPrintable(rig.logTail()));
        // The workers are all held by the server: no exchange can begin before the signal lands.
        const int begunAtSignal = LinesIn(rig.sink, QStringLiteral("transactions"));
        const int storedAtSignal = rig.sink.count();
        const int underWay = begunAtSignal - storedAtSignal;
        QVERIFY2(underWay <= 8, qPrintable(QStringLiteral("%1 under way").arg(underWay)));
        rig.relay.terminate();
        // About 30 s for what is under way, then at most 10 s more for what ignores the cut.
        QVERIFY2(QTest::qWaitFor([&] { return !rig.relay.running(); }, 45000), qPrintable(rig.logTail()));
        QVERIFY(rig.relay.waitEnded());
        QCOMPARE(LinesIn(rig.sink, QStringLiteral("transactions")), begunAtSignal);
        const int storedAfterSignal = rig.sink.count() - storedAtSignal;
        QVERIFY2(storedAfterSignal <= underWay, qPrintable(rig.logTail()));
        const int cutShort = underWay - storedAfterSignal;

        rig.sink.setFaults({});
        QVERIFY(rig.relay.start());
        QVERIFY2(QTest::qWaitFor([&] { return rig.spooled() == 0 && rig.sink.count() >= 30; }, 60000),
                 qPrintable(rig.logTail()));
        QVERIFY(rig.relay.stop());
        const Tally t = Count(rig.sink.folder(), rig.accepted, rig.spooled() + rig.failed());
        Report(rig.name, t);
        QCOMPARE(t.accepted, 30);
        QCOMPARE(t.delivered, 30);
        QCOMPARE(t.lost, 0);
        QCOMPARE(t.stray, 0);
        QVERIFY2(t.twice <= cutShort, qPrintable(t.line(rig.name) + QStringLiteral(", cut short %1: ").arg(cutShort) + t.detail));
    }

    // A provider's quota, answered with a permanent code for a temporary state: the server rests,
    // nothing fails, and once it takes mail again a flush sends everything once.
    void quotaRepliesForASpell_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("submission quota") << QStringLiteral(
            "enddata 554 5.2.0 STOREDRV.Submission.Exception:SubmissionQuotaExceededException");
        QTest::newRow("daily quota") << QStringLiteral("mail 550 5.4.5 Daily user sending quota exceeded.");
    }
    void quotaRepliesForASpell()
    {
        QFETCH(QString, fault);
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("network, %1 for a spell").arg(QString::fromLatin1(QTest::currentDataTag())),
                           false, {fault}, &error),
                 qPrintable(error));
        QVERIFY(rig.relay.start());
        QVERIFY(rig.listening());
        for (int i = 1; i <= 6; ++i)
            rig.post(QStringLiteral("over the quota #%1").arg(i));
        QVERIFY(QTest::qWaitFor([&] { return rig.postsDone(); }, kLongWaitMs));
        QCOMPARE(rig.postStatuses(), QList<QByteArray>(6, "200"));
        QVERIFY2(QTest::qWaitFor([&] { return rig.spooled() == 6; }, 30000), qPrintable(rig.logTail()));
        // The server rests: what comes now is kept untried.
        const int connections = ConnectionsTo(rig.sink);
        for (int i = 7; i <= 9; ++i)
            rig.post(QStringLiteral("over the quota #%1").arg(i));
        QVERIFY(QTest::qWaitFor([&] { return rig.postsDone(); }, kLongWaitMs));
        QCOMPARE(rig.postStatuses(), QList<QByteArray>(3, "200"));
        QVERIFY2(QTest::qWaitFor([&] { return rig.spooled() == 9; }, 30000), qPrintable(rig.logTail()));
        QCOMPARE(ConnectionsTo(rig.sink), connections);
        QCOMPARE(rig.failed(), 0);

        rig.sink.setFaults({});
        int rc = -1;
        SpoolVerb(rig.relay.spool, {QStringLiteral("--flush")}, &rc);
        QCOMPARE(rc, 0);
        QVERIFY2(QTest::qWaitFor([&] { return rig.sink.count() >= 9 && rig.spooled() == 0; }, 30000),
                 qPrintable(rig.logTail()));
        rig.expectEachOnce();
        QCOMPARE(rig.failed(), 0);
    }

    // --requeue is for failed documents: a kept one whose mail went to alice and waits for bob
    // stays as it is, and after a restart bob gets his copy and alice no second one.
    void requeueOfAKeptDocumentAcrossARestart()
    {
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("network, --requeue of a kept document, then a restart"), false,
                           {QStringLiteral("rcpt=bob@example.org 451")}, &error),
                 qPrintable(error));
        QVERIFY(rig.relay.start());
        QVERIFY(rig.listening());
        const QStringList both{QStringLiteral("alice@example.org"), QStringLiteral("bob@example.org")};
        const QString subject = QStringLiteral("requeued while kept");
        rig.post(subject, both);
        QVERIFY(QTest::qWaitFor([&] { return rig.postsDone(); }, kLongWaitMs));
        QCOMPARE(rig.postStatuses(), QList<QByteArray>{"200"});
        QCOMPARE(Received(rig.sink.folder()).value(subject).value(both[0]), 1);
        const QStringList ids = QDir(rig.relay.spool).entryList({QStringLiteral("*.xml")}, QDir::Files);
        QCOMPARE(ids.size(), 1);
        const QString id = ids[0].chopped(4);
        QFile rcpt(rig.relay.spool + QLatin1Char('/') + id + QStringLiteral(".rcpt"));
        QVERIFY(rcpt.open(QIODevice::ReadOnly));
        QCOMPARE(rcpt.readAll().trimmed(), QByteArray("bob@example.org"));
        int rc = -1;
        SpoolVerb(rig.relay.spool, {QStringLiteral("--requeue"), id}, &rc);
        QCOMPARE(rc, 1);

        rig.restartUntilDrainedTo(subject, both[1]);
    }

    // The settings name another database while a round delivers: nothing of one database is
    // taken for the other's, and each record of both goes once.
    void postOfficeDatabaseSwitchedMidRound()
    {
        Rig rig;
        QString error;
        QVERIFY2(rig.setUp(QStringLiteral("post office, database switched during a delivery"), true, {}, &error), qPrintable(error));
        const QString other = QStringLiteral("OTHER");
        QCOMPARE(Btadmin(rig.relay.trackerRoot, {QStringLiteral("create-db"), DbSet, other}), 0);
        QCOMPARE(Btadmin(rig.relay.trackerRoot, {QStringLiteral("add-user"), DbSet, QStringLiteral("relay"), QStringLiteral("pw"),
                                                 QStringLiteral("--db"), DbName, QStringLiteral("--db"), other}), 0);
        QCOMPARE(Btadmin(rig.relay.trackerRoot, {QStringLiteral("enable-postoffice"), DbSet, other}), 0);
        SlowSmtp slow;
        QVERIFY(slow.start());
        slow.delayData(2);
        QByteArray ini = rig.useServer(slow.hostText());
        // Records with the same numbers in both databases.
        for (int i = 1; i <= 3; ++i)
            QVERIFY(rig.enqueue(QStringLiteral("first database #%1").arg(i)));
        for (int i = 1; i <= 3; ++i) {
            const QString subject = QStringLiteral("other database #%1").arg(i);
            QCOMPARE(Btadmin(rig.relay.trackerRoot, {QStringLiteral("enqueue"), DbSet, other, rig.writeDocument(Doc(subject))}), 0);
            rig.accepted << Mail{subject, {QStringLiteral("alice@example.org")}};
        }
        QVERIFY(rig.relay.start());
        QVERIFY(QTest::qWaitFor([&] { return slow.maxConcurrentData() >= 1; }, 30000));
        ini.replace("BTDB=" + DbName.toUtf8(), "BTDB=" + other.toUtf8());
        QVERIFY(WriteFile(rig.relay.settings, ini));
        QVERIFY(rig.relay.signal(SIGHUP));
        QVERIFY2(QTest::qWaitFor([&] { return slow.count() >= 6; }, 90000), qPrintable(rig.logTail()));
        // Every record of both databases deleted once its mail went; then two more rounds on the
        // other one, so that a mail sent again would have shown.
        const auto listed = [&](const QString& database) {
            QByteArray out;
            Btadmin(rig.relay.trackerRoot, {QStringLiteral("list"), DbSet, database}, &out);
            return out.trimmed();
        };
        QVERIFY2(QTest::qWaitFor([&] {
            const QueueState first = Queue(rig.relay.trackerRoot);
            return first.read && first.queued + first.parked == 0 && listed(other).isEmpty();
        }, 60000), qPrintable(rig.logTail()));
        QVERIFY(rig.waitPolls(2));
        QVERIFY(rig.relay.stop());
        const QByteArray out = listed(other);
        QVERIFY2(out.isEmpty(), out.constData());
        QStringList subjects = PySubjects(slow.messages());
        subjects.sort();
        QCOMPARE(subjects.size(), 6);
        QCOMPARE(subjects.removeDuplicates(), 0);
        const QueueState q = Queue(rig.relay.trackerRoot);
        QVERIFY(q.read);
        QCOMPARE(q.queued + q.parked, 0);
        // Both databases' records against what the server received.
        rig.expectCounted(slow.mailDir(), q.queued + q.parked, 6);
    }
};

QTEST_GUILESS_MAIN(FaultsTest)
#include "test_faults.moc"
