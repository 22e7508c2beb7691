// The sessions kept between mails, and the servers' rests.
#include "delivery/smtp/SmtpSessions.h"

namespace swn {

void ConfigureSmtpSessions(const SmtpSessionLimits&) {}
void EndSmtpSessions() {}
void ForgetSmtpServerRests() {}
QStringList RestingSmtpServers() { return {}; }

} // namespace swn
