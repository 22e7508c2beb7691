#include "ui/RelayApplication.h"

#include "common/Catalogue.h"
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

} // namespace

int RunRelayApplication(int& argc, char** argv, RelayServiceOptions options)
{
    // The service, --help and --version need no display: the widget stack is never started.
    const bool headless = HasArgument(argc, argv, {"--headless"});
    const bool noWindow = headless || HasArgument(argc, argv, {"--help", "-h", "--help-all", "--version", "-v"});
    std::unique_ptr<QCoreApplication> app;
    if (noWindow)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("SWNRelay"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.0.6"));

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
    parser.process(*app);
    if (parser.isSet(spool))
        options.spoolDir = parser.value(spool);
    if (parser.isSet(settings))
        options.settingsFile = parser.value(settings);
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
    // A client that goes away mid-reply must not end the relay.
    ::signal(SIGPIPE, SIG_IGN);

    RelayService relay(options);
    RelayCore& core = relay.core;
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    auto signalled = [&core] {
        unsigned char b = 0;
        int signo = 0;
        while (::read(signalPipe[0], &b, 1) == 1)
            signo = b;
        core.AddLogText(BuildResourceMessage(msg::StoppingOnSignal, {signo}));
    };

    if (headless) {
        core.SetLogToStderr(true);
        QObject::connect(&notifier, &QSocketNotifier::activated, &core, [&] {
            signalled();
            core.SaveSettings();
            QCoreApplication::exit(0);
        });
        core.LoadSettings();
        core.CompleteStartUp();
        return app->exec();
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
        signalled();
        form.close();
    });
    form.Form_Load();
    // A signal or Exit handled while start-up ran its events has already ended the window.
    if (form.IsUnloading())
        return 0;
    return app->exec();
}

} // namespace swn
