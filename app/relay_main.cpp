#include "ui/RelayApplication.h"

int main(int argc, char** argv)
{
    swn::RelayServiceOptions options;
    options.settingsFile = QStringLiteral(SWN_SETTINGS_FILE);
    options.sendmailProgram = QStringLiteral(SWN_SENDMAIL);
    options.spoolDir = QStringLiteral(SWN_SPOOL_DIR);
    return swn::RunRelayApplication(argc, argv, std::move(options));
}
