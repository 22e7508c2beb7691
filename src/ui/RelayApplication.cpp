#include "ui/RelayApplication.h"

#include "common/Catalogue.h"
#include "tracker/SqliteTracker.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace swn {
namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int signo)
{
    const unsigned char b = static_cast<unsigned char>(signo);
    // Only async-signal-safe work here; the window reacts on its own thread.
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &b, 1);
}

} // namespace

int RunRelayApplication(int& argc, char** argv, Form1Options options)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("SWNRelay"));
    QApplication::setApplicationVersion(QStringLiteral("2.0.6"));
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Relays the tracker's mail documents as Internet mail."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption settings(QStringLiteral("settings"),
                                      QStringLiteral("Settings file to use instead of %1.").arg(options.settingsFile),
                                      QStringLiteral("file"));
    parser.addOption(settings);
    const QCommandLineOption trackerRoot(QStringLiteral("tracker-root"),
                                         QStringLiteral("Folder of the tracker's files instead of %1.")
                                             .arg(QStringLiteral(SWN_TRACKER_DIR)),
                                         QStringLiteral("folder"));
    parser.addOption(trackerRoot);
    parser.process(app);
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

    options.quitOnExit = true;
    // Without a screen nobody can dismiss a message box: its text goes to the log and stderr.
    Form1* shown = nullptr;
    const QString platform = QGuiApplication::platformName();
    if (!options.showMessage && (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))) {
        options.showMessage = [&shown](const QString& text, const QString& caption, QMessageBox::Icon) {
            std::fprintf(stderr, "%s: %s\n", qUtf8Printable(caption), qUtf8Printable(text));
            if (shown)
                shown->AddLogText(text);
        };
    }
    Form1 form(std::move(options));
    shown = &form;
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &form, [&form] {
        unsigned char b = 0;
        while (::read(signalPipe[0], &b, 1) == 1) {
        }
        form.AddLogText(BuildResourceMessage(msg::StoppingOnSignal, {int(b)}));
        form.close();
    });
    form.Form_Load();
    // A signal or Exit handled while start-up ran its events has already ended the window.
    if (form.IsUnloading())
        return 0;
    return app.exec();
}

} // namespace swn
