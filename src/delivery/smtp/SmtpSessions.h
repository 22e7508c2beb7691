#pragma once
// What the SMTP client keeps between mails, as the relay steers it: the sessions it holds open to
// the servers, how many and for how long, and the servers that rest after a failure or a quota.
#include <QString>
#include <QStringList>

namespace swn {

struct SmtpSessionLimits {
    int maxConnections = 0; // sessions open at once, over all servers; 0: no limit
    int idleSeconds = 5;    // an unused session is ended with QUIT after this long
};

// Applies to sessions opened from now on; sessions over a lowered limit end as they come free.
void ConfigureSmtpSessions(const SmtpSessionLimits& limits);
// Every session not in use ends now with QUIT, every other one as soon as its mail is done: the
// relay stops, or the server settings changed.
void EndSmtpSessions();
// The same, waiting (a few seconds at most) until the unused ones have ended: the process ends.
void FinishSmtpSessions();
// Forgets why each server rests: the next mail tries every server again, in order (a flush).
void ForgetSmtpServerRests();
// The servers resting now, one line each ("host:port until 12:04:05 (reason)"), for the window and
// the queue listing.
QStringList RestingSmtpServers();

} // namespace swn
