#pragma once
// What the benchmarks share: a counting SMTP sink, memory readings, a message held in memory.
#include "delivery/MimeComposer.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <algorithm>
#include <memory>
#include <vector>

namespace swn::bench {

// The test suite's SMTP server in counting mode: it keeps nothing, so only the exchange costs.
class CountingSink {
public:
    bool start();
    // Stops the server and returns how many messages it took.
    int stop();
    QString hostText() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }
    quint16 port() const { return port_; }

private:
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
};

// The mail system's own test server, smtp-sink, which keeps nothing and answers at once.
class SmtpSinkTool {
public:
    ~SmtpSinkTool() { stop(); }
    // False when smtp-sink is not installed or did not come up.
    bool start();
    void stop();
    quint16 port() const { return port_; }
    QString hostText() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }

private:
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
};

// A program of the mail system's test tools (smtp-sink, smtp-source), or empty.
QString FindTool(const char* name);
// User and system time of a running process, and lines of its /proc status ("VmRSS:", "VmHWM:").
double ProcessCpuSeconds(qint64 pid);
long ProcessKb(qint64 pid, const char* field);
// One request on a connection of its own, and the whole answer (empty when refused).
QByteArray Ask(quint16 port, const QByteArray& request);
// The same; true when the relay answered 200.
bool PostRequest(quint16 port, const QByteArray& request);
// The sizes given on the command line, or these.
QList<int> SizesFrom(int argc, char** argv, const QList<int>& defaults);
// The benchmarks' usual document: 2 KB of plain text to one recipient.
QByteArray TwoKilobyteDocument();
bool WaitForPort(quint16 port, int ms);
// `mails` requests posted from `clients` threads, each request on a connection of its own; the
// rate of 200 replies per second. `latenciesMs`, when given, gets each request's time.
double PostConcurrently(quint16 port, const QByteArray& request, int mails, int clients, int* failures,
                        std::vector<double>* latenciesMs = nullptr);
// An HTTP request that posts `document` with its length.
QByteArray PostOf(const QByteArray& document);

// The relay as the service runs it: SWNRelay --headless, a process of its own, its log in a file.
class RelayProcess {
public:
    ~RelayProcess() { stop(); }
    bool start(const QString& executable, const QStringList& arguments, const QString& workDir);
    // Waits until the log holds `text`.
    bool waitForLog(const QByteArray& text, int ms);
    qint64 pid() const { return process_.processId(); }
    void stop();
    // What the next start() runs with (by default this process's own environment).
    void setEnvironment(const QProcessEnvironment& environment) { process_.setProcessEnvironment(environment); }
    // SIGKILL, as a crash: nothing of the relay's own shutdown runs.
    void kill();
    bool running() const { return process_.state() != QProcess::NotRunning; }
    // SIGTERM and a wait of at most `ms`; true when it ended by itself with status 0.
    bool terminate(int ms);
    QString logPath() const { return logPath_; }

private:
    QProcess process_;
    QString logPath_;
};

// Kilobytes from /proc/self/status ("VmRSS", "VmHWM").
long StatusKb(const char* field);
// Starts a new peak: VmHWM is set back to the current resident size. False when the kernel
// refused, and VmHWM still holds the peak since the process started.
bool ResetPeak();

class BytesMessage final : public ComposedMessage {
public:
    explicit BytesMessage(QByteArray bytes) : bytes_(std::move(bytes)) {}
    qint64 read(char* buffer, qint64 size) override
    {
        const qint64 n = std::min(size, qint64(bytes_.size()) - at_);
        std::copy_n(bytes_.constData() + at_, n, buffer);
        at_ += n;
        return n;
    }
    qint64 size() const override { return bytes_.size(); }

private:
    QByteArray bytes_;
    qint64 at_ = 0;
};

// A blocking TCP connection to 127.0.0.1; -1 when refused.
int ConnectLoopback(quint16 port);
// Sends every byte (no SIGPIPE); false when the connection refused some.
bool SendAll(int fd, const QByteArray& bytes);

double Percentile(std::vector<double> values, double p);

// The least a program can do to send these bytes with libcurl: a new client and connection per
// mail, no error text, no time-outs.
bool BareSend(const QString& hostText, const QByteArray& sender, const QList<QByteArray>& recipients,
              const QByteArray& message);

} // namespace swn::bench
