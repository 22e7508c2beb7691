// Crash soak: the relay's own executable, killed with SIGKILL every few seconds and started again
// on the same spool, while clients keep posting (network relay) or records keep being queued
// (post office relay) and the SMTP server goes away, refuses with 451 or closes with 421 now and
// then. At the end the server stays up and the relay drains what it kept; then every document is
// accounted for, and what the crashes left behind is counted.
// Usage: bench_crash [SECONDS=60] [--relay PATH] [--btadmin PATH] [--only network|postoffice] [--keep]
// SECONDS is the time of each mode's traffic; the drain after it has a bound of its own.
// The relay is SWN_RELAY, else swnrelayd beside SWNRelay where it was built, else SWNRelay;
// btadmin is SWN_BTADMIN, else the one built. The exit status is 1 when an accepted document was
// lost or something was left behind, so that the run also serves as a check.
#include "BenchSupport.h"
#include "MailDocBuilder.h"
#include "SmtpSink.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

using namespace swn;
using namespace swn::bench;

namespace {

constexpr int kDeliveryWorkers = 8;   // the relay's delivery threads: the most under way at a kill
constexpr int kDrainLimitMs = 180000; // the final drain's bound

struct Options {
    int seconds = 60;
    QString relay;
    QString btadmin;
    bool network = true;
    bool postOffice = true;
    bool keep = false;
};

QString DefaultRelay()
{
    const QString env = qEnvironmentVariable("SWN_RELAY");
    if (!env.isEmpty())
        return env;
    const QString built = QStringLiteral(SWN_RELAY_EXECUTABLE);
    const QString daemon = QFileInfo(built).absolutePath() + QStringLiteral("/swnrelayd");
    return QFileInfo(daemon).isExecutable() ? daemon : built;
}

QString DefaultBtadmin()
{
    const QString env = qEnvironmentVariable("SWN_BTADMIN");
    return env.isEmpty() ? QStringLiteral(SWN_BTADMIN) : env;
}

// One document on a connection of its own; true only when the relay answered 200. A relay killed
// meanwhile resets the connection, which is an answer too (not accepted).
bool Post(quint16 port, const QByteArray& document)
{
    return PostRequest(port, PostOf(document));
}

// Every document carries its number in a header of its own, so that each received mail names
// the document it came from; one in three has an attachment, so that crashes meet staged files.
QByteArray Document(const QString& number)
{
    test::MailDocBuilder doc;
    doc.subject = QStringLiteral("crash ") + number;
    doc.to = {QStringLiteral("crash@example.org")};
    doc.body = QString(600, QLatin1Char('c'));
    doc.headers = {{QStringLiteral("X-Crash-Number"), number}};
    if (qHash(number) % 3 == 0)
        doc.attachments = {{QStringLiteral("crash.bin"), QByteArray(4000, 'a')}};
    return doc.build();
}

QString NumberOfMail(const QByteArray& content)
{
    const qsizetype headerEnd = content.indexOf("\r\n\r\n");
    const qsizetype at = content.indexOf("\r\nX-Crash-Number: ");
    if (at < 0 || (headerEnd >= 0 && at > headerEnd))
        return {};
    const qsizetype from = at + qstrlen("\r\nX-Crash-Number: ");
    return QString::fromUtf8(content.mid(from, content.indexOf('\r', from) - from)).trimmed();
}

// btadmin with its tracker folder; the standard output, or a null array when it failed.
QByteArray Btadmin(const QString& program, const QString& root, const QStringList& arguments, QString* error = nullptr)
{
    QProcess p;
    p.start(program, QStringList{QStringLiteral("--root"), root} + arguments);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (error)
            *error = QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
        p.kill();
        p.waitForFinished();
        return {};
    }
    QByteArray out = p.readAllStandardOutput();
    return out.isNull() ? QByteArray("") : out;
}

// Records still in the database (queued or parked), by dbid; false when the listing failed.
bool ListRecords(const Options& o, const QString& root, QHash<qint64, QByteArray>* states)
{
    QString error;
    const QByteArray out = Btadmin(o.btadmin, root, {QStringLiteral("list"), QStringLiteral("Repo"), QStringLiteral("CRASH")}, &error);
    if (out.isNull()) {
        std::fprintf(stderr, "bench_crash: btadmin list: %s\n", qUtf8Printable(error));
        return false;
    }
    states->clear();
    for (const QByteArray& line : out.split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() >= 5)
            states->insert(fields[0].toLongLong(), fields[4].trimmed());
    }
    return true;
}

// The server's moods, each for a spell of 1 to 4 s: up about half of the time, otherwise away
// (stopped), answering DATA with 451, or greeting with 421 and closing.
class Moods {
public:
    enum Mood { Up, Away, Refusing451, Closing421 };
    // The first spell is an up one, so that the relay starts against a working server.
    Moods(test::SmtpSink& sink, quint16 port) : sink_(sink), port_(port) { until_ = rng_.bounded(1000, 4001); }

    void step(qint64 now)
    {
        if (now < until_)
            return;
        set(mood_ == Up ? Mood(1 + rng_.bounded(3)) : Up);
        until_ = now + rng_.bounded(1000, 4001);
    }
    void set(Mood mood)
    {
        if (mood == mood_)
            return;
        if (mood_ == Away && !sink_.start(port_))
            std::fprintf(stderr, "bench_crash: the SMTP server did not come back on port %u\n", port_);
        sink_.setTemporaryFailure(mood == Refusing451);
        sink_.setFaults(mood == Closing421 ? QStringList{QStringLiteral("greeting 421")} : QStringList{});
        if (mood == Away)
            sink_.stop();
        if (mood != Up)
            ++spells_[mood];
        mood_ = mood;
    }
    int spells(Mood mood) const { return spells_[mood]; }

private:
    test::SmtpSink& sink_;
    quint16 port_;
    QRandomGenerator rng_{20261208};
    Mood mood_ = Up;
    qint64 until_ = 0;
    int spells_[4] = {0, 0, 0, 0};
};

struct Leftovers {
    QStringList spoolFiles;  // relative to the spool, apart from its lock, control socket and notes/
    int staleNoteLines = 0;  // lines of notes/ about records no longer in the queue
    QStringList staleNotes;
    int stagingFolders = 0;  // swnrelay-* in the relay's TMPDIR
    int stagingFiles = 0;    // files inside them
    int total() const { return int(spoolFiles.size()) + staleNoteLines + stagingFolders + stagingFiles; }
};

Leftovers CountLeftovers(const QString& spool, const QString& tmp, const QSet<qint64>& stillQueued)
{
    Leftovers left;
    QDirIterator files(spool, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString relative = QDir(spool).relativeFilePath(files.next());
        if (relative == QLatin1String("lock") || relative == QLatin1String("control.sock"))
            continue;
        if (!relative.startsWith(QLatin1String("notes/"))) {
            left.spoolFiles << relative;
            continue;
        }
        // The delivered journal holds a dbid a line; a record's own note ends in its dbid.
        const QString name = relative.mid(6);
        QFile note(files.filePath());
        if (name.startsWith(QLatin1String("delivered-")) && note.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : note.readAll().split('\n')) {
                bool ok = false;
                const qint64 key = line.trimmed().toLongLong(&ok);
                if (ok && !stillQueued.contains(key)) {
                    ++left.staleNoteLines;
                    left.staleNotes << name.left(18) + QStringLiteral("..: ") + QString::number(key);
                }
            }
        } else {
            bool ok = false;
            const qint64 key = name.section(QLatin1Char('-'), -1).toLongLong(&ok);
            if (!ok || !stillQueued.contains(key)) {
                ++left.staleNoteLines;
                left.staleNotes << name;
            }
        }
    }
    for (const QFileInfo& staging : QDir(tmp).entryInfoList({QStringLiteral("swnrelay-*")}, QDir::AllEntries | QDir::Hidden | QDir::System)) {
        if (!staging.isDir()) {
            ++left.stagingFiles;
            continue;
        }
        ++left.stagingFolders;
        left.stagingFiles += int(QDir(staging.filePath()).entryList(QDir::Files | QDir::Hidden | QDir::System).size());
    }
    return left;
}

// Documents still waiting; failed/ is counted with what is left behind.
int DocumentsInSpool(const QString& spool)
{
    return int(QDir(spool).entryList({QStringLiteral("*.xml")}, QDir::Files).size());
}

struct Result {
    QString mode;
    int offered = 0;       // documents posted or records offered to btadmin
    int accepted = 0;
    int delivered = 0;     // accepted ones that arrived, counted once
    int twice = 0;         // accepted ones that arrived more than once
    int extraCopies = 0;   // the copies beyond the first
    int lost = 0;
    int notAcceptedArrived = 0; // not accepted, yet delivered: the relay had it when it was killed
    int kills = 0;
    int relayStarts = 0;
    int spells451 = 0, spells421 = 0, outages = 0;
    bool drained = false;
    double drainSeconds = 0;
    bool stoppedCleanly = false;
    int stillWaiting = 0;  // documents in the spool or records in the queue after the drain
    Leftovers left;
    bool ok() const { return lost == 0 && left.total() == 0 && drained; }
};

void Print(const Result& r, int seconds)
{
    std::printf("%s: %d s of traffic, %d kills (SIGKILL) and %d starts, server away %d times, 451 %d times, 421 %d times\n",
                qUtf8Printable(r.mode), seconds, r.kills, r.relayStarts, r.outages, r.spells451, r.spells421);
    std::printf("  offered %d, accepted %d, delivered %d (distinct), lost %d (must be 0)\n", r.offered, r.accepted,
                r.delivered, r.lost);
    std::printf("  twice %d (%d extra copies; at most %d deliveries under way per kill x %d kills = %d: %s)\n", r.twice,
                r.extraCopies, kDeliveryWorkers, r.kills, kDeliveryWorkers * r.kills,
                r.extraCopies <= kDeliveryWorkers * r.kills ? "within" : "BEYOND");
    std::printf("  not accepted but delivered %d (the relay had them when it was killed)\n", r.notAcceptedArrived);
    std::printf("  drain: %s in %.1f s, %d still waiting; stopped with SIGTERM %s\n", r.drained ? "done" : "NOT done",
                r.drainSeconds, r.stillWaiting, r.stoppedCleanly ? "cleanly" : "NOT cleanly");
    std::printf("  left behind: %lld files in the spool, %d notes/ lines of records no longer queued, "
                "%d staging folders and %d staged files in TMPDIR (all must be 0)\n",
                qint64(r.left.spoolFiles.size()), r.left.staleNoteLines, r.left.stagingFolders, r.left.stagingFiles);
    if (!r.left.spoolFiles.isEmpty()) {
        // By kind first (documents, what lay beside them, failed/), then the first few names.
        QMap<QString, int> kinds;
        for (const QString& name : r.left.spoolFiles)
            ++kinds[(name.startsWith(QLatin1String("failed/")) ? QStringLiteral("failed/*.") : QStringLiteral("*.")) +
                    name.section(QLatin1Char('.'), -1)];
        QStringList counts;
        for (auto it = kinds.cbegin(); it != kinds.cend(); ++it)
            counts << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
        std::printf("    spool: %s: %s%s\n", qUtf8Printable(counts.join(QStringLiteral(", "))),
                    qUtf8Printable(r.left.spoolFiles.mid(0, 5).join(QStringLiteral(", "))),
                    r.left.spoolFiles.size() > 5 ? ", ..." : "");
    }
    if (!r.left.staleNotes.isEmpty())
        std::printf("    notes: %s%s\n", qUtf8Printable(r.left.staleNotes.mid(0, 5).join(QStringLiteral(", "))),
                    r.left.staleNotes.size() > 5 ? ", ..." : "");
    std::fflush(stdout);
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// What a mode needs of its own: folders, settings, the relay's environment and command line.
struct Run {
    Run(const QString& base, const QString& name, const Options& o) : options(o)
    {
        folder = base + QLatin1Char('/') + name;
        for (const char* sub : {"spool", "tracker", "tmp", "work"})
            QDir().mkpath(folder + QLatin1Char('/') + QLatin1String(sub));
        spool = folder + QStringLiteral("/spool");
        tracker = folder + QStringLiteral("/tracker");
        tmp = folder + QStringLiteral("/tmp");
        work = folder + QStringLiteral("/work");
        settings = folder + QStringLiteral("/SwiftnoteRelay.ini");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), tmp);
        env.remove(QStringLiteral("JOURNAL_STREAM"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        relay.setEnvironment(env);
    }
    bool start()
    {
        ++starts;
        return relay.start(options.relay,
                           {QStringLiteral("--settings"), settings, QStringLiteral("--spool"), spool,
                            QStringLiteral("--tracker-root"), tracker},
                           work);
    }
    // The traffic phase: the relay killed every 2 to 5 s and started again, the server's moods
    // changing meanwhile, until `seconds` are over.
    void crashLoop(Moods& moods, int seconds)
    {
        QRandomGenerator rng(4242);
        QElapsedTimer clock;
        clock.start();
        qint64 nextKill = rng.bounded(2000, 5001);
        while (clock.elapsed() < seconds * 1000LL) {
            const qint64 now = clock.elapsed();
            if (now >= nextKill) {
                relay.kill();
                ++kills;
                if (!start())
                    std::fprintf(stderr, "bench_crash: the relay did not start again\n");
                nextKill = now + rng.bounded(2000, 5001);
            }
            moods.step(now);
            QThread::msleep(20);
        }
    }

    const Options& options;
    QString folder, spool, tracker, tmp, work, settings;
    RelayProcess relay;
    int kills = 0;
    int starts = 0;
};

QByteArray SettingsText(const QString& smtp, const QString& body)
{
    return ("[SwiftnoteRelay]\nTransportMode=CDO\nAutoStart=1\nMaxLogSize=256\nSMTPServer=" + smtp + "\n" + body).toUtf8();
}

// Waits for the relay's last run to empty its spool or queue; `remaining` says how much is left.
template<typename Remaining>
void Drain(Result& r, Remaining remaining)
{
    QElapsedTimer drain;
    drain.start();
    int left = remaining();
    while (left != 0 && drain.elapsed() < kDrainLimitMs) {
        QThread::msleep(250);
        left = remaining();
    }
    r.drained = left == 0;
    r.stillWaiting = std::max(0, left);
    r.drainSeconds = drain.elapsed() / 1000.0;
}

Result NetworkMode(const QString& base, const Options& o)
{
    Result r;
    r.mode = QStringLiteral("network relay");
    Run run(base, QStringLiteral("network"), o);
    test::SmtpSink sink;
    if (!sink.start()) {
        std::fprintf(stderr, "bench_crash: the SMTP server did not start\n");
        std::exit(2);
    }
    const quint16 port = test::UnusedTcpPort();
    WriteFile(run.settings, SettingsText(sink.hostText(), QStringLiteral("RelayMode=NETWORK\nSTMPRelayListenerPort=%1\n"
                                                                         "AllowedClients=127.0.0.1\nListenAddress=127.0.0.1\n")
                                                              .arg(port)));
    if (!run.start() || !WaitForPort(port, 20000)) {
        std::fprintf(stderr, "bench_crash: the relay did not listen (log: %s)\n", qUtf8Printable(run.relay.logPath()));
        std::exit(2);
    }

    std::atomic<bool> posting{true};
    std::atomic<int> next{0};
    std::mutex mutex;
    QSet<QString> accepted, offered;
    std::vector<std::thread> clients;
    for (int c = 0; c < 6; ++c)
        clients.emplace_back([&, c] {
            QRandomGenerator rng(quint32(c + 1));
            while (posting) {
                const QString number = QStringLiteral("net-%1").arg(next++);
                const bool ok = Post(port, Document(number));
                {
                    std::lock_guard lock(mutex);
                    offered.insert(number);
                    if (ok)
                        accepted.insert(number);
                }
                // A refused connection (the relay between a kill and its start) is tried again soon.
                QThread::msleep(ok ? rng.bounded(0, 15) : rng.bounded(20, 80));
            }
        });

    Moods moods(sink, sink.port());
    run.crashLoop(moods, o.seconds);
    posting = false;
    for (auto& t : clients)
        t.join();
    moods.set(Moods::Up);
    // The last crash, then one more start that is left to drain.
    run.relay.kill();
    ++run.kills;
    run.start();
    Drain(r, [&] { return DocumentsInSpool(run.spool); });
    r.stoppedCleanly = run.relay.terminate(60000);
    run.relay.kill();

    QHash<QString, int> received;
    for (const test::ReceivedMail& m : sink.messages())
        ++received[NumberOfMail(m.content)];
    for (const QString& number : std::as_const(accepted)) {
        const int n = received.value(number);
        r.delivered += n > 0 ? 1 : 0;
        r.twice += n > 1 ? 1 : 0;
        r.extraCopies += std::max(0, n - 1);
        r.lost += n == 0 ? 1 : 0;
    }
    for (auto it = received.cbegin(); it != received.cend(); ++it)
        if (!accepted.contains(it.key()) && offered.contains(it.key()))
            ++r.notAcceptedArrived;
    r.offered = int(offered.size());
    r.accepted = int(accepted.size());
    r.kills = run.kills;
    r.relayStarts = run.starts;
    r.outages = moods.spells(Moods::Away);
    r.spells451 = moods.spells(Moods::Refusing451);
    r.spells421 = moods.spells(Moods::Closing421);
    r.left = CountLeftovers(run.spool, run.tmp, {});
    sink.stop();
    return r;
}

Result PostOfficeMode(const QString& base, const Options& o)
{
    Result r;
    r.mode = QStringLiteral("post office relay");
    Run run(base, QStringLiteral("postoffice"), o);
    test::SmtpSink sink;
    if (!sink.start()) {
        std::fprintf(stderr, "bench_crash: the SMTP server did not start\n");
        std::exit(2);
    }
    const QList<QStringList> setUp{
        {QStringLiteral("create-dbset"), QStringLiteral("Repo")},
        {QStringLiteral("create-db"), QStringLiteral("Repo"), QStringLiteral("CRASH")},
        {QStringLiteral("add-user"), QStringLiteral("Repo"), QStringLiteral("relay"), QStringLiteral("crash-pw"),
         QStringLiteral("--db"), QStringLiteral("CRASH")},
        {QStringLiteral("enable-postoffice"), QStringLiteral("Repo"), QStringLiteral("CRASH")}};
    for (const QStringList& command : setUp) {
        QString error;
        if (Btadmin(o.btadmin, run.tracker, command, &error).isNull()) {
            std::fprintf(stderr, "bench_crash: btadmin %s: %s\n", qUtf8Printable(command.first()), qUtf8Printable(error));
            std::exit(2);
        }
    }
    WriteFile(run.settings, SettingsText(sink.hostText(), QStringLiteral("RelayMode=POSTOFFICE\nPOPollInterval=1\n"
                                                                         "BTLoginID=relay\nBTPassword=crash-pw\n"
                                                                         "BTDbset=Repo\nBTDB=CRASH\n")));
    if (!run.start()) {
        std::fprintf(stderr, "bench_crash: the relay did not start\n");
        std::exit(2);
    }

    // Two writers queue records as the tracker would, one btadmin call each, so that every record
    // carries a number of its own (--count N would queue N alike, which no count could tell
    // apart). A record is accepted when btadmin printed its dbid.
    std::atomic<bool> queueing{true};
    std::atomic<int> next{0}, refused{0};
    std::mutex mutex;
    QHash<QString, qint64> accepted; // number -> dbid
    QSet<QString> offered;
    QString lastRefusal;
    const QString attachment = run.folder + QStringLiteral("/attachment.bin");
    WriteFile(attachment, QByteArray(3000, 'r'));
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w)
        writers.emplace_back([&, w] {
            const QString payload = run.folder + QStringLiteral("/payload-%1.xml").arg(w);
            while (queueing) {
                const int n = next++;
                const QString number = QStringLiteral("po-%1").arg(n);
                WriteFile(payload, Document(number));
                QStringList args{QStringLiteral("enqueue"), QStringLiteral("Repo"), QStringLiteral("CRASH"), payload};
                if (n % 4 == 0)
                    args << QStringLiteral("--attach") << attachment + QStringLiteral("=record.bin");
                QString error;
                const QByteArray out = Btadmin(o.btadmin, run.tracker, args, &error);
                bool ok = false;
                const qint64 dbid = out.trimmed().toLongLong(&ok);
                std::lock_guard lock(mutex);
                offered.insert(number);
                if (ok)
                    accepted.insert(number, dbid);
                else {
                    ++refused;
                    lastRefusal = error;
                }
            }
        });

    Moods moods(sink, sink.port());
    run.crashLoop(moods, o.seconds);
    queueing = false;
    for (auto& t : writers)
        t.join();
    moods.set(Moods::Up);
    run.relay.kill();
    ++run.kills;
    run.start();
    QHash<qint64, QByteArray> states;
    Drain(r, [&] {
        if (!ListRecords(o, run.tracker, &states))
            return -1;
        int queued = 0;
        for (const QByteArray& state : std::as_const(states))
            queued += state == "queued" ? 1 : 0;
        return queued;
    });
    r.stoppedCleanly = run.relay.terminate(60000);
    run.relay.kill();

    ListRecords(o, run.tracker, &states);
    QSet<qint64> stillThere;
    int parked = 0;
    for (auto it = states.cbegin(); it != states.cend(); ++it) {
        stillThere.insert(it.key());
        parked += it.value() == "parked" ? 1 : 0;
    }
    QHash<QString, int> received;
    for (const test::ReceivedMail& m : sink.messages())
        ++received[NumberOfMail(m.content)];
    for (auto it = accepted.cbegin(); it != accepted.cend(); ++it) {
        const int n = received.value(it.key());
        r.delivered += n > 0 ? 1 : 0;
        r.twice += n > 1 ? 1 : 0;
        r.extraCopies += std::max(0, n - 1);
        r.lost += n == 0 ? 1 : 0;
    }
    for (auto it = received.cbegin(); it != received.cend(); ++it)
        if (!accepted.contains(it.key()) && offered.contains(it.key()))
            ++r.notAcceptedArrived;
    r.offered = int(offered.size());
    r.accepted = int(accepted.size());
    r.kills = run.kills;
    r.relayStarts = run.starts;
    r.outages = moods.spells(Moods::Away);
    r.spells451 = moods.spells(Moods::Refusing451);
    r.spells421 = moods.spells(Moods::Closing421);
    r.stillWaiting = int(states.size());
    r.left = CountLeftovers(run.spool, run.tmp, stillThere);
    if (refused > 0)
        std::fprintf(stderr, "bench_crash: btadmin refused %d records, the last: %s\n", int(refused),
                     qUtf8Printable(lastRefusal));
    if (parked > 0)
        std::fprintf(stderr, "bench_crash: %d records were parked\n", parked);
    sink.stop();
    return r;
}

Options Parse(int argc, char** argv)
{
    Options o;
    o.relay = DefaultRelay();
    o.btadmin = DefaultBtadmin();
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        if (a == "--relay" && i + 1 < argc)
            o.relay = QString::fromLocal8Bit(argv[++i]);
        else if (a == "--btadmin" && i + 1 < argc)
            o.btadmin = QString::fromLocal8Bit(argv[++i]);
        else if (a == "--only" && i + 1 < argc) {
            const QByteArray mode = argv[++i];
            o.network = mode == "network";
            o.postOffice = mode == "postoffice";
        } else if (a == "--keep")
            o.keep = true;
        else if (a.toInt() > 0)
            o.seconds = a.toInt();
        else {
            std::fprintf(stderr, "usage: bench_crash [SECONDS=60] [--relay PATH] [--btadmin PATH] "
                                 "[--only network|postoffice] [--keep]\n");
            std::exit(2);
        }
    }
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const Options o = Parse(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench_crash: no temporary folder\n");
        return 2;
    }
    std::printf("crash soak with %s, %d s per mode\n", qUtf8Printable(o.relay), o.seconds);
    std::fflush(stdout);
    QList<Result> results;
    if (o.network)
        Print(results.emplace_back(NetworkMode(dir.path(), o)), o.seconds);
    if (o.postOffice)
        Print(results.emplace_back(PostOfficeMode(dir.path(), o)), o.seconds);
    bool ok = true;
    for (const Result& r : results)
        ok = ok && r.ok();
    if (!ok || o.keep) {
        // The relay's logs and what it left, for whoever looks into it.
        dir.setAutoRemove(false);
        std::printf("folders kept in %s\n", qUtf8Printable(dir.path()));
    }
    std::printf("%s\n", ok ? "PASS: nothing lost, nothing left behind" : "FAIL: something lost or left behind");
    return ok ? 0 : 1;
}
