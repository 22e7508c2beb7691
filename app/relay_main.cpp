#include "host/RelayApplication.h"
#include "postoffice/UnavailableTracker.h"

int main(int argc, char** argv)
{
    swn::Form1Options options;
    options.settingsFile = QStringLiteral(SWN_SETTINGS_FILE);
    options.sendmailProgram = QStringLiteral(SWN_SENDMAIL);
    options.trackerFactory = std::make_shared<swn::UnavailableTrackerFactory>();
    return swn::RunRelayApplication(argc, argv, std::move(options));
}
