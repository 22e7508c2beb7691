#pragma once
// The relay as a service, shared by SWNRelay and swnrelayd: their command line, SIGTERM, SIGINT
// and SIGHUP, the run without a window and the queue verbs. Nothing here needs a display.
#include "service/RelayService.h"

#include <QList>
#include <QString>

class QCoreApplication;

namespace swn {

// What the command line asks for, seen before any application object exists: a window needs an
// application of its own kind.
struct EarlyArguments {
    bool steering = false;      // --queue, --flush, --delete or --requeue
    bool headless = false;      // --headless
    bool informational = false; // --help or --version
};
EarlyArguments ScanArguments(int argc, char** argv);

// Before any application object exists: the process's environment as the relay wants it, and the
// settings file, mail program and spool this build was configured with.
RelayServiceOptions PrepareProcess();

// Names the program for --help, --version and its messages; a test build also applies its seams.
void PrepareApplication(const QString& name);

struct ServiceCommandLine {
    // The queue verb ("queue", "flush", "delete", "requeue") and its id; `verbs` counts those given.
    QString verb;
    QString id;
    int verbs = 0;
    QString trackerRoot;
};

// Parses the command line (--help, --version and unknown options end the process here) and puts
// the settings file and spool it names into `options`. Every path is made absolute against the
// current folder now, so that nothing later resolves it anywhere else. `windowed`: the program
// can show a window, which --headless declines.
ServiceCommandLine ParseServiceCommandLine(const QCoreApplication& app, RelayServiceOptions& options, bool windowed);

// The one verb the command line gave (--queue, --flush, --delete, --requeue) on the spool it
// names; returns the exit code.
int RunCommandLineVerb(const ServiceCommandLine& line, const RelayServiceOptions& options);

// The tracker's files the command line names, unless `options` brings a tracker of its own.
void UseTrackerFiles(RelayServiceOptions& options, const ServiceCommandLine& line);

// SIGTERM, SIGINT and SIGHUP go to a pipe that the event loop reads (SignalPipe()); SIGPIPE is
// ignored. False when the pipe could not be made.
bool InstallSignalPipe();
int SignalPipe();
// The signals that came since the last call, in order.
QList<int> TakeReceivedSignals();

// `code` once every delivery has ended; a delivery stuck after the stop ends the process.
int FinishRelay(RelayCore& core, int code);

// Runs the relay without a window until SIGTERM or SIGINT; SIGHUP reloads the settings. `why`
// completes the first line of the log. The settings file is only ever read: the service has no
// window whose values could have changed, and an administrator's edit must survive a restart.
int RunHeadless(RelayService& relay, const QString& why);

// swnrelayd: always headless, display or not. Returns the process exit code.
int RunServiceDaemon(int& argc, char** argv, RelayServiceOptions options);

} // namespace swn
