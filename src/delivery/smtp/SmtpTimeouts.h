#pragma once
// How long the SMTP client waits for the server, and the way to end every exchange under way.

namespace swn {

// How long the client waits, in seconds. The defaults are RFC 5321's (4.5.3.2): 5 minutes for the
// greeting, MAIL and RCPT (and for EHLO, STARTTLS and AUTH), 2 for the reply to DATA, 3 for each
// block of the message data to be taken, 10 for the reply to the final "."; 30 s to connect.
struct SmtpTimeouts {
    int connectSeconds = 30;
    int greetingSeconds = 300;
    int mailSeconds = 300;
    int rcptSeconds = 300;
    int dataSeconds = 120;
    int blockSeconds = 180;
    int finalSeconds = 600;
    bool operator==(const SmtpTimeouts&) const = default;
};

// A seam for tests; the program keeps the defaults.
void SetSmtpTimeouts(const SmtpTimeouts& timeouts);
SmtpTimeouts CurrentSmtpTimeouts();
// Shorthand: every wait for the server, the final reply included, becomes `idleSeconds`.
void SetSmtpTimeouts(int connectSeconds, int idleSeconds);

// Ends every SMTP exchange under way now, on any thread, within about a second, as if the server
// had stopped answering: what it has not confirmed stays pending (ServerUnavailable) and the
// connection is closed. Exchanges that begin later are not affected.
void CancelSmtpTransfers();

} // namespace swn
