#include "ui/RelayApplication.h"

#include <cstdlib>

int main(int argc, char** argv)
{
    // Without TZ the C library looks at /etc/localtime again for every time it converts, which
    // every mail does several times; naming the file lets it read it once.
    ::setenv("TZ", ":/etc/localtime", 0);
    // Qt's own event dispatcher wakes its thread once for a burst of posted events, where the
    // GLib one writes its wake-up descriptor for each; a busy relay posts several per mail.
    ::setenv("QT_NO_GLIB", "1", 0);
    swn::RelayServiceOptions options;
    options.settingsFile = QStringLiteral(SWN_SETTINGS_FILE);
    options.sendmailProgram = QStringLiteral(SWN_SENDMAIL);
    options.spoolDir = QStringLiteral(SWN_SPOOL_DIR);
    return swn::RunRelayApplication(argc, argv, std::move(options));
}
