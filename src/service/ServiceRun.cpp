#include "service/ServiceRun.h"

#include "common/Catalogue.h"
#include "delivery/CDOSend.h"
#include "relay/QueueControl.h"
#include "tracker/SqliteTracker.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <utility>
#include <unistd.h>

namespace swn {
namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int signo)
{
    const unsigned char b = static_cast<unsigned char>(signo);
    // Only async-signal-safe work here; the relay reacts on its own thread.
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &b, 1);
}

// An option as the parser reads it: "--name", or "--name=value" for one that takes a value.
bool HasArgument(int argc, char** argv, std::initializer_list<const char*> names)
{
    for (int i = 1; i < argc; ++i)
        for (const char* name : names) {
            const size_t n = std::strlen(name);
            if (std::strncmp(argv[i], name, n) == 0 && (argv[i][n] == '\0' || argv[i][n] == '='))
                return true;
        }
    return false;
}


#ifdef SWN_TEST_SEAMS
// Builds made for the tests only: the fault-injection suite waits out SMTP time-outs in seconds.
void ApplyTestSeams()
{
    const QByteArray seconds = qgetenv("SWN_TEST_SMTP_TIMEOUT");
    if (!seconds.isEmpty())
        SetSmtpTimeouts(5, seconds.toInt());
}
#endif

QString Absolute(const QString& path)
{
    return QFileInfo(path).absoluteFilePath();
}

} // namespace

EarlyArguments ScanArguments(int argc, char** argv)
{
    EarlyArguments early;
    early.steering = HasArgument(argc, argv, {"--queue", "--flush", "--delete", "--requeue"});
    early.headless = HasArgument(argc, argv, {"--headless"});
    early.informational = HasArgument(argc, argv, {"--help", "-h", "--help-all", "--version", "-v"});
    return early;
}

RelayServiceOptions PrepareProcess()
{
    // Without TZ the C library looks at /etc/localtime again for every time it converts, which
    // every mail does several times; naming the file lets it read it once.
    ::setenv("TZ", ":/etc/localtime", 0);
    // Qt's own event dispatcher wakes its thread once for a burst of posted events, where the
    // GLib one writes its wake-up descriptor for each; a busy relay posts several per mail.
    ::setenv("QT_NO_GLIB", "1", 0);
    RelayServiceOptions options;
    options.settingsFile = QStringLiteral(SWN_SETTINGS_FILE);
    options.sendmailProgram = QStringLiteral(SWN_SENDMAIL);
    options.spoolDir = QStringLiteral(SWN_SPOOL_DIR);
    return options;
}

void PrepareApplication(const QString& name)
{
    QCoreApplication::setApplicationName(name);
    QCoreApplication::setApplicationVersion(QStringLiteral("2.0.6"));
#ifdef SWN_TEST_SEAMS
    ApplyTestSeams();
#endif
}

ServiceCommandLine ParseServiceCommandLine(const QCoreApplication& app, RelayServiceOptions& options, bool windowed)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Relays the tracker's mail documents as Internet mail."));
    parser.addHelpOption();
    parser.addVersionOption();
    // The daemon takes it too, so that a command line written for SWNRelay runs unchanged.
    const QCommandLineOption headlessOption(QStringLiteral("headless"),
                                            windowed ? QStringLiteral("Run as a service: no window, the log on stderr.")
                                                     : QStringLiteral("Accepted as SWNRelay takes it; swnrelayd never "
                                                                      "shows a window and always logs on stderr."));
    parser.addOption(headlessOption);
    const QCommandLineOption settings(QStringLiteral("settings"),
                                      QStringLiteral("Settings file to use instead of %1.").arg(options.settingsFile),
                                      QStringLiteral("file"));
    parser.addOption(settings);
    const QCommandLineOption trackerRoot(QStringLiteral("tracker-root"),
                                         QStringLiteral("Folder of the tracker's files instead of %1.")
                                             .arg(QStringLiteral(SWN_TRACKER_DIR)),
                                         QStringLiteral("folder"));
    parser.addOption(trackerRoot);
    const QCommandLineOption spool(QStringLiteral("spool"),
                                   QStringLiteral("Folder for documents waiting to be delivered instead of %1.")
                                       .arg(options.spoolDir),
                                   QStringLiteral("folder"));
    parser.addOption(spool);
    const QCommandLineOption queue(QStringLiteral("queue"),
                                   QStringLiteral("List the kept documents and those in failed/, then end."));
    const QCommandLineOption flush(QStringLiteral("flush"),
                                   QStringLiteral("Make the running relay try every kept document now."));
    const QCommandLineOption remove(QStringLiteral("delete"), QStringLiteral("Remove a kept or failed document."),
                                    QStringLiteral("id"));
    const QCommandLineOption requeue(QStringLiteral("requeue"),
                                     QStringLiteral("Put a failed document back into the queue, tried at once."),
                                     QStringLiteral("id"));
    parser.addOptions({queue, flush, remove, requeue});
    parser.process(app);

    // The unit's WorkingDirectory, a script's cd: a relative path means the folder it was given in.
    if (parser.isSet(spool))
        options.spoolDir = Absolute(parser.value(spool));
    if (parser.isSet(settings))
        options.settingsFile = Absolute(parser.value(settings));
    ServiceCommandLine line;
    line.trackerRoot = parser.isSet(trackerRoot) ? Absolute(parser.value(trackerRoot)) : QStringLiteral(SWN_TRACKER_DIR);
    line.verbs = int(parser.isSet(queue)) + int(parser.isSet(flush)) + int(parser.isSet(remove)) + int(parser.isSet(requeue));
    line.verb = parser.isSet(queue) ? QStringLiteral("queue")
              : parser.isSet(flush) ? QStringLiteral("flush")
              : parser.isSet(remove) ? QStringLiteral("delete")
              : parser.isSet(requeue) ? QStringLiteral("requeue")
                                      : QString();
    line.id = parser.isSet(remove) ? parser.value(remove) : parser.value(requeue);
    return line;
}

int RunCommandLineVerb(const ServiceCommandLine& line, const RelayServiceOptions& options)
{
    if (line.verbs != 1) {
        PrintLine(stderr, QCoreApplication::applicationName() +
                          QStringLiteral(": give one of --queue, --flush, --delete ID, --requeue ID"));
        return 2;
    }
    return RunQueueVerb(options.spoolDir, line.verb, line.id, stdout, stderr);
}

void UseTrackerFiles(RelayServiceOptions& options, const ServiceCommandLine& line)
{
    if (!options.trackerFactory)
        options.trackerFactory = std::make_shared<SqliteTrackerFactory>(line.trackerRoot);
}

bool InstallSignalPipe()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    // A client that goes away mid-reply must not end the relay.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

int SignalPipe()
{
    return signalPipe[0];
}

QList<int> TakeReceivedSignals()
{
    QList<int> received;
    unsigned char b = 0;
    while (::read(signalPipe[0], &b, 1) == 1)
        received << b;
    return received;
}

int FinishRelay(RelayCore& core, int code)
{
    // The stop already cancelled what was under way and waited for it; a delivery stuck even so
    // (a tracker call, a mail component that never returns) must not keep the process alive.
    if (!core.WaitForWorkers(5000)) {
        std::fprintf(stderr, "%s: a delivery did not end after the stop; the relay ends without it\n",
                     qUtf8Printable(QCoreApplication::applicationName()));
        std::fflush(stderr);
        std::_Exit(code);
    }
    return code;
}

int RunHeadless(RelayService& relay, const QString& why)
{
    RelayCore& core = relay.core;
    QSocketNotifier notifier(SignalPipe(), QSocketNotifier::Read);
    core.SetLogToStderr(true);
    core.AddLogText(BuildResourceMessage(msg::RunningAsService, {why}));
    bool stopping = false;
    QObject::connect(&notifier, &QSocketNotifier::activated, &core, [&] {
        for (const int signo : TakeReceivedSignals()) {
            // A reload never ends the relay.
            if (signo == SIGHUP) {
                relay.Reload();
                continue;
            }
            if (std::exchange(stopping, true))
                continue;
            core.AddLogText(BuildResourceMessage(msg::StoppingOnSignal, {signo}));
            core.BeginShutdown();
        }
    });
    QObject::connect(&core, &RelayCore::shutdownComplete, &core, [] { QCoreApplication::exit(0); });
    core.LoadSettings();
    core.CompleteStartUp();
    relay.ApplyMetricsListen();
    // A service has no window to press Start in: it relays from the start.
    core.StartAsService();
    core.AddLogText(relay.Summary());
    return FinishRelay(core, QCoreApplication::exec());
}

int RunServiceDaemon(int& argc, char** argv, RelayServiceOptions options)
{
    QCoreApplication app(argc, argv);
    PrepareApplication(QStringLiteral("swnrelayd"));
    const ServiceCommandLine line = ParseServiceCommandLine(app, options, false);
    if (line.verbs > 0 || ScanArguments(argc, argv).steering)
        return RunCommandLineVerb(line, options);
    UseTrackerFiles(options, line);
    if (!InstallSignalPipe())
        return 1;
    RelayService relay(options);
    return RunHeadless(relay, QStringLiteral("started as swnrelayd"));
}

} // namespace swn
