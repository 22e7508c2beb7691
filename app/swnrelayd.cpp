// The relay as a service only: no window and no widget stack, so that a server relays mail
// without a desktop installed.
#include "service/ServiceRun.h"

#include <cstdlib>

int main(int argc, char** argv)
{
    // As for SWNRelay: the time zone read once, and one wake-up for a burst of posted events.
    ::setenv("TZ", ":/etc/localtime", 0);
    ::setenv("QT_NO_GLIB", "1", 0);
    swn::RelayServiceOptions options;
    options.settingsFile = QStringLiteral(SWN_SETTINGS_FILE);
    options.sendmailProgram = QStringLiteral(SWN_SENDMAIL);
    options.spoolDir = QStringLiteral(SWN_SPOOL_DIR);
    return swn::RunServiceDaemon(argc, argv, std::move(options));
}
