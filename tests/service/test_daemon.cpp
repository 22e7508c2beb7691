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
        QByteArray out;
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--queue")}, &out), 0);
        QCOMPARE(out, QByteArray());
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
        QByteArray err;
        QCOMPARE(RunToEnd(Daemon, {QStringLiteral("--spool"), spool, QStringLiteral("--flush")}, &out, &err), 1);
        QVERIFY2(err.contains("no relay runs on the spool"), err.constData());
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
