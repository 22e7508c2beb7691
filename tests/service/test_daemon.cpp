// swnrelayd, the relay as a service without the widget stack: the libraries it loads, a mail
// relayed through it and its queue verbs. Both programs run as a service (swnrelayd, and
// SWNRelay --headless) leave the settings file as the administrator wrote it, and take relative
// paths as meant where they were given.
#include "MailDocBuilder.h"
#include "PyMailReader.h"
#include "RelayProcess.h"
#include "SmtpSink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace swn::test;

namespace {

const QString Daemon = QStringLiteral(SWN_DAEMON_EXECUTABLE);
const QString Window = QStringLiteral(SWN_RELAY_EXECUTABLE);

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteAll(const QString& path, const QByteArray& content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

QByteArray NetworkSettings(quint16 port, const SmtpSink& sink)
{
    return "[SwiftnoteRelay]\nRelayMode=NETWORK\nSTMPRelayListenerPort=" + QByteArray::number(port) +
        "\nSMTPServer=" + sink.hostText().toUtf8() + "\n";
}

// The shared libraries `program` loads, by file name.
QStringList Libraries(const QString& program)
{
    QByteArray out;
    if (RunToEnd(QStringLiteral("ldd"), {program}, &out) != 0)
        return {};
    QStringList names;
    for (const QByteArray& line : out.split('\n')) {
        const QByteArray name = line.trimmed().split(' ').value(0);
        if (!name.isEmpty())
            names << QFileInfo(QString::fromUtf8(name)).fileName();
    }
    return names;
}

mode_t ModeOf(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : mode_t(-1);
}

bool SetMode(const QString& path, mode_t mode) { return ::chmod(QFile::encodeName(path).constData(), mode) == 0; }

bool Rename(const QString& from, const QString& to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// The one line the relay's control socket answers to `command`, asked by the other user.
QByteArray AskAsAnotherUser(const QString& socket, const QString& command)
{
    const QString script = QStringLiteral("import socket, sys\n"
                                          "c = socket.socket(socket.AF_UNIX)\n"
                                          "c.connect(sys.argv[1])\n"
                                          // A relay that turns the caller away answers and closes
                                          // without reading: the send may find it gone.
                                          "try:\n"
                                          "    c.sendall(sys.argv[2].encode() + b'\\n')\n"
                                          "except BrokenPipeError:\n"
                                          "    pass\n"
                                          "sys.stdout.write(c.recv(300).decode())\n");
    QByteArray out, err;
    RunToEnd(QStringLiteral("setpriv"),
             AsAnotherUser(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), script, socket, command}), &out, &err);
    return out + err;
}

// A relay program run as a service, its stderr kept for the test to read.
class Service {
public:
    QProcess process;

    bool start(const QString& program, const QStringList& arguments, const QProcessEnvironment& env,
               const QString& workingDir = QString())
    {
        process.setProcessEnvironment(env);
        process.setReadChannel(QProcess::StandardError);
        if (!workingDir.isEmpty())
            process.setWorkingDirectory(workingDir);
        process.start(program, arguments);
        return process.waitForStarted(10000) &&
            QTest::qWaitFor([&] { return log().contains("Listening on Port"); }, 20000);
    }
    QByteArray log() { return process.peek(1 << 22); }
    // SIGTERM, and true once it ended by itself, and well.
    bool stop()
    {
        ::kill(pid_t(process.processId()), SIGTERM);
        if (!process.waitForFinished(30000))
            return false;
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    ~Service()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

} // namespace

class DaemonTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    int n = 0;

    QString path(const QString& name) { return dir.filePath(QStringLiteral("%1-%2").arg(++n).arg(name)); }

private Q_SLOTS:
    void withoutTheDesktop()
    {
        const QStringList daemon = Libraries(Daemon);
        // ldd answered, and the check below has something to look at.
        QVERIFY2(daemon.contains(QStringLiteral("libQt6Core.so.6")), qPrintable(daemon.join(QLatin1Char(' '))));
        QVERIFY(daemon.contains(QStringLiteral("libQt6Network.so.6")));
        const QStringList desktop{"libQt6Widgets", "libQt6Gui", "libX11", "libEGL", "libGL", "libOpenGL", "libxcb",
                                  "libfontconfig", "libfreetype"};
        for (const QString& library : daemon)
            for (const QString& prefix : desktop)
                QVERIFY2(!library.startsWith(prefix), qPrintable(library)); // libGL: libGLX, libGLdispatch too
        // The window's program does load them: the names above are the ones ldd shows.
        const QStringList window = Libraries(Window);
        QVERIFY(window.contains(QStringLiteral("libQt6Widgets.so.6")));
        QVERIFY(window.contains(QStringLiteral("libQt6Gui.so.6")));
    }

    void helpAndVersion()
    {
        QByteArray out;
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--version")}, &out), 0);
        QVERIFY2(out.contains("swnrelayd 2.0.6"), out.constData());
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--help")}, &out), 0);
        for (const char* option : {"--settings", "--spool", "--tracker-root", "--queue", "--flush", "--delete", "--requeue"})
            QVERIFY2(out.contains(option), option);
        QByteArray err;
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--no-such-option")}, &out, &err), 1);
        QVERIFY2(err.contains("no-such-option"), err.constData());
    }

    void relaysAndAnswersTheQueueVerbs()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        const quint16 port = UnusedTcpPort();
        const QString settings = path(QStringLiteral("relay.ini"));
        const QString spool = path(QStringLiteral("spool"));
        QVERIFY(WriteAll(settings, NetworkSettings(port, sink)));
        // A display in the environment changes nothing: the daemon never shows a window.
        QProcessEnvironment env = EnvironmentWithoutDisplay();
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":0"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        Service relay;
        QVERIFY2(relay.start(Daemon, {QStringLiteral("--settings"), settings, QStringLiteral("--spool"), spool}, env),
                 relay.log().constData());
        QVERIFY2(relay.log().contains("Running as a service, without a window: started as swnrelayd"), relay.log().constData());
        QVERIFY2(relay.log().contains("Relaying in network relay mode: listening on port " + QByteArray::number(port)),
                 relay.log().constData());

        MailDocBuilder doc;
        doc.subject = QStringLiteral("through swnrelayd");
        QVERIFY(CurlPost(doc.build(), port, path(QStringLiteral("post.xml")))
                    .startsWith(QStringLiteral("HTTP/1.1 200 \r\nContent-Length: 0\r\n\r\n")));
        QVERIFY(sink.waitForCount(1));
        QCOMPARE(ReadWithPython(sink.messages().first().content).subject, QStringLiteral("through swnrelayd"));

        // The server refusing for now: the next one is kept, and --queue shows it; --flush sends it once it is back.
        QByteArray out, err;
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--queue")}, &out, &err), 0);
        QCOMPARE(out, QByteArray());
        // Which spool it is goes to stderr, named by the program that says it.
        QCOMPARE(err, "swnrelayd: using the spool " + spool.toUtf8() + "\n");
        sink.setTemporaryFailure(true);
        doc.subject = QStringLiteral("kept by swnrelayd");
        QVERIFY(CurlPost(doc.build(), port, path(QStringLiteral("post.xml"))).startsWith(QStringLiteral("HTTP/1.1 200 ")));
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--queue")}, &out), 0);
        const QStringList lines = QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        const QStringList fields = lines.first().split(QLatin1Char('\t'));
        QCOMPARE(fields.size(), 7);
        QCOMPARE(fields[1], QStringLiteral("kept"));
        QVERIFY2(fields[6].contains(QStringLiteral("451")), qPrintable(lines.first()));
        sink.setTemporaryFailure(false);
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--flush")}, &out), 0);
        QVERIFY(sink.waitForCount(2, 15000));
        QCOMPARE(PySubjects(sink.messages()).last(), QStringLiteral("kept by swnrelayd"));
        QVERIFY(QTest::qWaitFor([&] {
            return RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--queue")}, &out) == 0 && out.isEmpty();
        }, 10000));

        QVERIFY2(relay.stop(), relay.log().constData());
        QVERIFY2(relay.log().contains(" :: Stopping on signal 15\n"), relay.log().constData());
        // Without a relay running, --flush has nobody to ask.
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--flush")}, &out, &err), 1);
        QVERIFY2(err.contains("no relay runs on the spool"), err.constData());
    }

    void controlSocketStaysInTheSpool()
    {
        SmtpSink sink;
        QVERIFY(sink.start());
        const quint16 port = UnusedTcpPort();
        const QString settings = path(QStringLiteral("relay.ini"));
        QVERIFY(WriteAll(settings, NetworkSettings(port, sink)));
        // Longer than a socket address (108 bytes) can hold: reached all the same, never through
        // a shared folder.
        const QString spool = path(QStringLiteral("a-spool-folder-whose-path-is-longer-than-any-socket-address-may-be/"
                                                  "and-then-some-more/spool"));
        const QString socket = spool + QStringLiteral("/control.sock");
        QVERIFY(socket.size() > 120);
        {
            Service relay;
            QVERIFY2(relay.start(Daemon, {QStringLiteral("--settings"), settings, QStringLiteral("--spool"), spool},
                                 EnvironmentWithoutDisplay()),
                     relay.log().constData());
            QVERIFY2(QFileInfo(socket).exists(), relay.log().constData());
            QCOMPARE(ModeOf(socket), mode_t(0600));
            QCOMPARE(ModeOf(spool), mode_t(0700));
            QByteArray out, err;
            QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--flush")}, &out, &err), 0);
            QVERIFY2(err.startsWith("swnrelayd: using the spool " + spool.toUtf8() + "\n"), err.constData());
            QVERIFY2(relay.stop(), relay.log().constData());
            QVERIFY(!QFileInfo::exists(socket));
        }
        // Something in the socket's place: the relay says so in its log once the log has begun,
        // and the verbs that they cannot reach it.
        const QString blocked = path(QStringLiteral("spool"));
        QVERIFY(QDir().mkpath(blocked + QStringLiteral("/control.sock")));
        QVERIFY(SetMode(blocked, 0700));
        Service relay;
        QVERIFY2(relay.start(Daemon, {QStringLiteral("--settings"), settings, QStringLiteral("--spool"), blocked},
                             EnvironmentWithoutDisplay()),
                 relay.log().constData());
        const QByteArray said = "The control socket " + blocked.toUtf8() + "/control.sock" + " cannot be used: ";
        QVERIFY2(QTest::qWaitFor([&] { return relay.log().contains(said); }, 10000), relay.log().constData());
        QByteArray out, err;
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), blocked, QStringLiteral("--flush")}, &out, &err), 1);
        QVERIFY2(err.contains("swnrelayd: the relay on the spool " + blocked.toUtf8()) && err.contains("cannot be reached"),
                 err.constData());
        QVERIFY2(relay.stop(), relay.log().constData());
    }

    void anotherUsersSocketIsNeverBelieved()
    {
        if (!CanActAsAnotherUser())
            QSKIP("another user is needed: run as root");
        SmtpSink sink;
        QVERIFY(sink.start());
        const quint16 port = UnusedTcpPort();
        const QString settings = path(QStringLiteral("relay.ini"));
        QVERIFY(WriteAll(settings, NetworkSettings(port, sink)));
        // A folder the other user may pass through, to reach the socket once it is let in.
        QTemporaryDir open;
        QVERIFY(SetMode(open.path(), 0711));
        const QString spool = open.filePath(QStringLiteral("spool"));
        const QString socket = spool + QStringLiteral("/control.sock");
        Service relay;
        QVERIFY2(relay.start(Daemon, {QStringLiteral("--settings"), settings, QStringLiteral("--spool"), spool},
                             EnvironmentWithoutDisplay()),
                 relay.log().constData());
        sink.setTemporaryFailure(true);
        MailDocBuilder doc;
        doc.subject = QStringLiteral("kept while others knock");
        QVERIFY(CurlPost(doc.build(), port, path(QStringLiteral("post.xml"))).startsWith(QStringLiteral("HTTP/1.1 200 ")));
        QByteArray out, err;
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--queue")}, &out), 0);
        const QString id = QString::fromUtf8(out).section(QLatin1Char('\t'), 0, 0);
        QVERIFY2(!id.isEmpty(), out.constData());

        // The other user's socket where the verbs connect (the relay's own set aside).
        QVERIFY(Rename(socket, socket + QStringLiteral(".relay")));
        QTemporaryDir theirs;
        QVERIFY(::chown(QFile::encodeName(theirs.path()).constData(), kAnotherUser, kAnotherUser) == 0);
        QVERIFY(SetMode(theirs.path(), 0755));
        ControlStandIn stranger;
        QVERIFY(stranger.start(theirs.path(), true));
        QVERIFY(Rename(theirs.filePath(QStringLiteral("control.sock")), socket));
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--delete"), id}, &out, &err), 1);
        QVERIFY2(err.contains("swnrelayd: not asking the relay on the spool " + spool.toUtf8()) && err.contains("belongs to"),
                 err.constData());
        QCOMPARE(out, QByteArray());
        // The socket made to look like the relay's: the one answering is still the other user.
        QVERIFY(::lchown(QFile::encodeName(socket).constData(), 0, 0) == 0);
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--delete"), id}, &out, &err), 1);
        QVERIFY2(err.contains("runs as") && err.contains("not as the spool's owner"), err.constData());
        QCOMPARE(stranger.heard(), QByteArray());
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--queue")}, &out), 0);
        QVERIFY2(out.startsWith(id.toUtf8() + '\t'), out.constData());
        QVERIFY(QFile::remove(socket));
        QVERIFY(Rename(socket + QStringLiteral(".relay"), socket));

        // The relay itself answers only root and the spool's owner, even with the doors open.
        QVERIFY(SetMode(spool, 0711));
        QVERIFY(SetMode(socket, 0666));
        const QByteArray answer = AskAsAnotherUser(socket, QStringLiteral("delete ") + id);
        QVERIFY(SetMode(socket, 0600));
        QVERIFY(SetMode(spool, 0700));
        QVERIFY2(answer.startsWith("error only root and "), answer.constData());
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--queue")}, &out), 0);
        QVERIFY2(out.startsWith(id.toUtf8() + '\t'), out.constData());

        // Through the relay it goes as asked.
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--delete"), id}, &out, &err), 0);
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--queue")}, &out), 0);
        QCOMPARE(out, QByteArray());
        QVERIFY2(relay.stop(), relay.log().constData());
    }

    void verbsSayWhichSpoolTheyCannotRead()
    {
        if (!CanActAsAnotherUser())
            QSKIP("another user is needed: run as root");
        QTemporaryDir open;
        QVERIFY(SetMode(open.path(), 0711));
        const QString spool = open.filePath(QStringLiteral("spool"));
        QByteArray out, err;
        // A verb never makes a spool: a mistyped folder is said to be missing.
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--queue")}, &out, &err), 1);
        QVERIFY2(err.contains("cannot read the spool " + spool.toUtf8() + ": "), err.constData());
        QVERIFY(!QFileInfo::exists(spool));
        QVERIFY(QDir().mkpath(spool));
        QVERIFY(SetMode(spool, 0700));
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--queue")}, &out, &err), 0);
        QCOMPARE(ModeOf(spool), mode_t(0700));
        // A home of its own where a spool could be made: never used instead.
        QTemporaryDir home;
        QVERIFY(::chown(QFile::encodeName(home.path()).constData(), kAnotherUser, kAnotherUser) == 0);
        QProcessEnvironment env = EnvironmentWithoutDisplay();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        QCOMPARE(RunToEnd(QStringLiteral("setpriv"), AsAnotherUser(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--queue")}),
                          &out, &err, env),
                 1);
        QCOMPARE(out, QByteArray());
        QVERIFY2(err.contains("swnrelayd: using the spool " + spool.toUtf8() + "\n"), err.constData());
        QVERIFY2(err.contains("swnrelayd: cannot read the spool " + spool.toUtf8() + ": Permission denied\n"), err.constData());
        QCOMPARE(QDir(home.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());

        // Root steers the spool of the service's user as that user: it reads it, and what it
        // touches stays that user's.
        for (const QString& folder : {spool, spool + QStringLiteral("/failed"), spool + QStringLiteral("/notes")})
            QVERIFY(::chown(QFile::encodeName(folder).constData(), kAnotherUser, kAnotherUser) == 0);
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--queue")}, &out, &err), 0);
        QVERIFY2(!err.contains("cannot read"), err.constData());
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--flush")}, &out, &err), 1);
        QVERIFY2(err.contains("no relay runs"), err.constData());
        struct stat lock {};
        if (::stat(QFile::encodeName(spool + QStringLiteral("/lock")).constData(), &lock) == 0)
            QCOMPARE(lock.st_uid, uid_t(kAnotherUser));
    }

    void stopLeavesTheSettingsFileAlone_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("swnrelayd") << Daemon << QStringList();
        QTest::newRow("SWNRelay --headless") << Window << QStringList{QStringLiteral("--headless")};
    }

    void stopLeavesTheSettingsFileAlone()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        SmtpSink sink;
        QVERIFY(sink.start());
        const quint16 port = UnusedTcpPort();
        const QString settings = path(QStringLiteral("edited.ini"));
        QVERIFY(WriteAll(settings, NetworkSettings(port, sink)));
        Service relay;
        QVERIFY2(relay.start(program, arguments + QStringList{QStringLiteral("--settings"), settings, QStringLiteral("--spool"),
                                                              path(QStringLiteral("spool"))},
                             EnvironmentWithoutDisplay()),
                 relay.log().constData());
        // The administrator edits the file for the next start, without a reload.
        QByteArray edited = ReadAll(settings);
        edited.replace("STMPRelayListenerPort=" + QByteArray::number(port),
                       "STMPRelayListenerPort=" + QByteArray::number(UnusedTcpPort()));
        edited.replace("RelayMode=NETWORK\n", "RelayMode=POSTOFFICE\r\n");
        edited += "; polled from tomorrow on\nPOPollInterval=45\nMaxLogSize=77";
        QVERIFY(WriteAll(settings, edited));
        QVERIFY2(relay.stop(), relay.log().constData());
        QCOMPARE(ReadAll(settings), edited);
    }

    void relativePathsMeanTheFolderTheyWereGivenIn_data()
    {
        stopLeavesTheSettingsFileAlone_data();
    }

    void relativePathsMeanTheFolderTheyWereGivenIn()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        SmtpSink sink;
        QVERIFY(sink.start());
        const QString work = path(QStringLiteral("work"));
        QVERIFY(QDir().mkpath(work));
        const QString real = QFileInfo(work).canonicalFilePath();
        const quint16 port = UnusedTcpPort();
        QVERIFY(WriteAll(work + QStringLiteral("/relay.ini"), NetworkSettings(port, sink)));
        Service relay;
        QVERIFY2(relay.start(program,
                             arguments + QStringList{QStringLiteral("--settings"), QStringLiteral("relay.ini"),
                                                     QStringLiteral("--spool"), QStringLiteral("spool"),
                                                     QStringLiteral("--tracker-root"), QStringLiteral("tracker")},
                             EnvironmentWithoutDisplay(), work),
                 relay.log().constData());
        // Said with the folder they were given in, so nothing later takes them from anywhere else.
        const QByteArray summary = "; spool " + (real + QStringLiteral("/spool; settings ") + real +
                                                 QStringLiteral("/relay.ini\n")).toUtf8();
        QVERIFY2(relay.log().contains(summary), relay.log().constData());
        QVERIFY(QFileInfo(real + QStringLiteral("/spool")).isDir());
        MailDocBuilder doc;
        doc.subject = QStringLiteral("relative");
        QVERIFY(CurlPost(doc.build(), port, path(QStringLiteral("post.xml"))).startsWith(QStringLiteral("HTTP/1.1 200 ")));
        QVERIFY(sink.waitForCount(1));
        QVERIFY2(relay.stop(), relay.log().constData());
        // The queue verbs take a relative spool the same way.
        QByteArray out, err;
        QProcess verb;
        verb.setProcessEnvironment(EnvironmentWithoutDisplay());
        verb.setWorkingDirectory(work);
        verb.start(program, {QStringLiteral("--spool"), QStringLiteral("spool"), QStringLiteral("--flush")});
        QVERIFY(verb.waitForFinished(30000));
        err = verb.readAllStandardError();
        QCOMPARE(verb.exitCode(), 1);
        QVERIFY2(err.contains("no relay runs on the spool " + (real + QStringLiteral("/spool;")).toUtf8()), err.constData());
    }
};

QTEST_GUILESS_MAIN(DaemonTest)
#include "test_daemon.moc"
