#include "host/RelayApplication.h"

#include "host/Catalogue.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
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
    QApplication::setQuitOnLastWindowClosed(false);

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
    Form1 form(std::move(options));
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &form, [&form] {
        unsigned char b = 0;
        while (::read(signalPipe[0], &b, 1) == 1) {
        }
        form.AddLogText(BuildResourceMessage(msg::StoppingOnSignal, {int(b)}));
        form.close();
    });
    form.Form_Load();
    return app.exec();
}

} // namespace swn
