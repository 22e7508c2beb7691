#include "ui/RelayApplication.h"

#include "common/Catalogue.h"
#include "delivery/CDOSend.h"
#include "relay/QueueControl.h"
#include "tracker/SqliteTracker.h"
#include "ui/Form1.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
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

bool HasArgument(int argc, char** argv, std::initializer_list<const char*> names)
{
    for (int i = 1; i < argc; ++i)
        for (const char* name : names)
            if (std::strcmp(argv[i], name) == 0)
                return true;
    return false;
}

// Where a window could be shown at all: without any of these the widget stack aborts.
bool DisplayAvailable()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
        !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

void Print(FILE* to, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    std::fputc('\n', to);
}

// --queue, --flush, --delete and --requeue: with or without a relay running on the spool.
int SteerSpool(const QString& spoolDir, const QString& verb, const QString& id)
{
    return RunQueueVerb(spoolDir, verb, id, stdout, stderr);
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

} // namespace

int RunRelayApplication(int& argc, char** argv, RelayServiceOptions options)
{
    // The service, the queue verbs, --help and --version need no display: the widget stack is
    // never started. Without a display the relay runs as the service does rather than abort.
    const bool steering = HasArgument(argc, argv, {"--queue", "--flush", "--delete", "--requeue"});
    const bool asked = HasArgument(argc, argv, {"--headless"});
    const bool noDisplay = !asked && !DisplayAvailable();
    const bool headless = asked || noDisplay;
    const bool noWindow = headless || steering || HasArgument(argc, argv, {"--help", "-h", "--help-all", "--version", "-v"});
    std::unique_ptr<QCoreApplication> app;
    if (noWindow)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("SWNRelay"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.0.6"));
#ifdef SWN_TEST_SEAMS
    ApplyTestSeams();
#endif

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Relays the tracker's mail documents as Internet mail."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption headlessOption(QStringLiteral("headless"),
                                            QStringLiteral("Run as a service: no window, the log on stderr."));
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
    parser.process(*app);
    if (parser.isSet(spool))
        options.spoolDir = parser.value(spool);
    if (parser.isSet(settings))
        options.settingsFile = parser.value(settings);

    if (steering) {
        const int verbs = int(parser.isSet(queue)) + int(parser.isSet(flush)) + int(parser.isSet(remove)) +
            int(parser.isSet(requeue));
        if (verbs != 1) {
            Print(stderr, QStringLiteral("SWNRelay: give one of --queue, --flush, --delete ID, --requeue ID"));
            return 2;
        }
        const QString verb = parser.isSet(queue) ? QStringLiteral("queue")
                           : parser.isSet(flush) ? QStringLiteral("flush")
                           : parser.isSet(remove) ? QStringLiteral("delete")
                                                  : QStringLiteral("requeue");
        const QString id = parser.isSet(remove) ? parser.value(remove) : parser.value(requeue);
        return SteerSpool(options.spoolDir, verb, id);
    }

    if (!options.trackerFactory)
        options.trackerFactory = std::make_shared<SqliteTrackerFactory>(
            parser.isSet(trackerRoot) ? parser.value(trackerRoot) : QStringLiteral(SWN_TRACKER_DIR));

    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    // A client that goes away mid-reply must not end the relay.
    ::signal(SIGPIPE, SIG_IGN);

    RelayService relay(options);
    RelayCore& core = relay.core;
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    // Which signals came, in order; a reload never ends the relay.
    auto signalsReceived = [] {
        QList<int> received;
        unsigned char b = 0;
        while (::read(signalPipe[0], &b, 1) == 1)
            received << b;
        return received;
    };

    // The stop already cancelled what was under way and waited for it; a delivery stuck even so
    // (a tracker call, a mail component that never returns) must not keep the process alive.
    const auto finish = [&core](int code) {
        if (!core.WaitForWorkers(5000)) {
            std::fprintf(stderr, "SWNRelay: a delivery did not end after the stop; the relay ends without it\n");
            std::fflush(stderr);
            std::_Exit(code);
        }
        return code;
    };

    if (headless) {
        core.SetLogToStderr(true);
        core.AddLogText(BuildResourceMessage(msg::RunningAsService,
                                             {noDisplay ? QStringLiteral("no display was found")
                                                        : QStringLiteral("started with --headless")}));
        bool stopping = false;
        QObject::connect(&notifier, &QSocketNotifier::activated, &core, [&] {
            for (const int signo : signalsReceived()) {
                if (signo == SIGHUP) {
                    relay.Reload();
                    continue;
                }
                if (std::exchange(stopping, true))
                    continue;
                core.AddLogText(BuildResourceMessage(msg::StoppingOnSignal, {signo}));
                core.SaveSettings();
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
        return finish(app->exec());
    }

    // The journal, or whoever reads the relay's stderr, sees what the window shows.
    if (!::isatty(STDERR_FILENO))
        core.SetLogToStderr(true);
    QApplication::setQuitOnLastWindowClosed(false);
    Form1Options formOptions;
    formOptions.quitOnExit = true;
    // Without a screen nobody can dismiss a message box: its text goes to the log and stderr.
    const QString platform = QGuiApplication::platformName();
    const bool offscreen = platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
    if (offscreen) {
        formOptions.showMessage = [&core](const QString& text, const QString& caption, QMessageBox::Icon) {
            std::fprintf(stderr, "%s: %s\n", qUtf8Printable(caption), qUtf8Printable(text));
            core.AddLogText(text);
        };
    }
    Form1 form(relay, std::move(formOptions));
    QObject::connect(&notifier, &QSocketNotifier::activated, &form, [&] {
        for (const int signo : signalsReceived()) {
            if (signo == SIGHUP) {
                relay.Reload();
                continue;
            }
            core.AddLogText(BuildResourceMessage(msg::StoppingOnSignal, {signo}));
            form.close();
        }
    });
    form.Form_Load();
    relay.ApplyMetricsListen();
    // A signal or Exit handled while start-up ran its events has already ended the window.
    if (form.IsUnloading() && !core.IsShuttingDown())
        return 0;
    return finish(app->exec());
}

} // namespace swn
