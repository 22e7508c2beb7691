#include "ui/RelayApplication.h"

#include "common/Catalogue.h"
#include "service/ServiceRun.h"
#include "ui/Form1.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace swn {
namespace {

// Where a window could be shown at all: without any of these the widget stack aborts.
bool DisplayAvailable()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
        !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

} // namespace

int RunRelayApplication(int& argc, char** argv, RelayServiceOptions options)
{
    // The service, the queue verbs, --help and --version need no display: the widget stack is
    // never started. Without a display the relay runs as the service does rather than abort.
    const EarlyArguments early = ScanArguments(argc, argv);
    const bool noDisplay = !early.headless && !DisplayAvailable();
    const bool headless = early.headless || noDisplay;
    const bool noWindow = headless || early.steering || early.informational;
    std::unique_ptr<QCoreApplication> app;
    if (noWindow)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    PrepareApplication(QStringLiteral("SWNRelay"));

    const ServiceCommandLine line = ParseServiceCommandLine(*app, options, true);
    if (early.steering)
        return RunCommandLineVerb(line, options);
    UseTrackerFiles(options, line);
    if (!InstallSignalPipe())
        return 1;

    RelayService relay(options);
    if (headless)
        return RunHeadless(relay, noDisplay ? QStringLiteral("no display was found")
                                            : QStringLiteral("started with --headless"));

    RelayCore& core = relay.core;
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
    QSocketNotifier notifier(SignalPipe(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &form, [&] {
        for (const int signo : TakeReceivedSignals()) {
            if (signo == SIGHUP) {
                relay.Reload();
                continue;
            }
            // Closing saves the window's settings, as Exit does.
            core.AddLogText(BuildResourceMessage(msg::StoppingOnSignal, {signo}));
            form.close();
        }
    });
    form.Form_Load();
    relay.ApplyMetricsListen();
    // A signal or Exit handled while start-up ran its events has already ended the window.
    if (form.IsUnloading() && !core.IsShuttingDown())
        return 0;
    return FinishRelay(core, app->exec());
}

} // namespace swn
