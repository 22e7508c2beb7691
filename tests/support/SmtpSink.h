#pragma once
// A real SMTP server on loopback (tests/support/smtp_sink.py under the system's Python), with
// the messages it accepted read back from its folder.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace swn::test {

struct ReceivedMail {
    QString mailFrom;
    QStringList recipients;
    QByteArray content;
    bool overTls = false;  // the session was encrypted when the mail arrived
    QString authUser;      // who authenticated, empty without authentication
    QString clientCert;    // the common name of the client's certificate, empty without one
};

class SmtpSink {
public:
    SmtpSink();
    ~SmtpSink();
    // Starts the server; port 0 takes a free one. False when it did not come up. `arguments` are
    // further options of smtp_sink.py (TLS, authentication, fixed fault switches, --host ::1).
    bool start(quint16 port = 0, const QStringList& arguments = {});
    void stop();
    quint16 port() const { return port_; }
    QString hostText() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }
    // Messages accepted so far, in order of arrival.
    QList<ReceivedMail> messages() const;
    int count() const;
    // Waits (running the event loop) until at least `n` messages arrived.
    bool waitForCount(int n, int timeoutMs = 20000) const;
    // While set, every DATA is answered 451.
    void setTemporaryFailure(bool on);
    // Fault switches of smtp_sink.py ("mail 530", "rcpt=bob@example.org 451", "max-rcpt 2", ...),
    // replacing those set before; an empty list clears them.
    void setFaults(const QStringList& lines);
    QString folder() const { return dir_.path(); }
    // The lines of a file the server writes in its folder ("sessions_log", "logins",
    // "transactions", "open_connections", ...); empty when it has none yet.
    QStringList lines(const QString& name) const;

private:
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
};

QString SystemPython();
// Starts a server script of the tests under the system's Python and reads the port it prints
// first; null when it did not come up. The server ends when its standard input closes.
std::unique_ptr<QProcess> StartServerProcess(const QStringList& arguments, quint16& port);
void StopServerProcess(std::unique_ptr<QProcess>& process);
// A TCP port nothing listens on right now (the probe that found it is closed again).
quint16 UnusedTcpPort();
QString TestSourceDir();
// A self-signed certificate and its key (PEM) for 127.0.0.1, ::1 and localhost, made by openssl.
bool MakeTestCertificate(const QString& certPath, const QString& keyPath);
// A self-signed authority (PEM), and a client certificate with the subject `commonName` that it
// signs, for smtp_sink.py's --require-client-cert.
bool MakeTestAuthority(const QString& certPath, const QString& keyPath);
bool MakeSignedCertificate(const QString& authorityCert, const QString& authorityKey, const QString& commonName,
                           const QString& certPath, const QString& keyPath);

} // namespace swn::test
