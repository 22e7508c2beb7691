#include "BenchSupport.h"

#include "MailDocBuilder.h"
#include "SmtpSink.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <curl/curl.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <thread>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace swn::bench {

bool CountingSink::start()
{
    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_->start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral(SWN_SOURCE_DIR "/tests/support/smtp_sink.py"), QStringLiteral("--count-only")});
    if (!process_->waitForStarted(10000) || !process_->waitForReadyRead(15000))
        return false;
    port_ = quint16(process_->readLine().trimmed().toUInt());
    return port_ != 0;
}

int CountingSink::stop()
{
    if (!process_)
        return 0;
    process_->closeWriteChannel();
    process_->waitForFinished(10000);
    const int count = process_->readAll().trimmed().toInt();
    process_.reset();
    return count;
}

QString FindTool(const char* name)
{
    const QString found = QStandardPaths::findExecutable(QString::fromLatin1(name));
    if (!found.isEmpty())
        return found;
    return QStandardPaths::findExecutable(QString::fromLatin1(name), {QStringLiteral("/usr/sbin")});
}

bool SmtpSinkTool::start()
{
    const QString tool = FindTool("smtp-sink");
    if (tool.isEmpty())
        return false;
    for (int attempt = 0; attempt < 5 && !port_; ++attempt) {
        const quint16 port = test::UnusedTcpPort();
        QStringList args{QStringLiteral("-m"), QStringLiteral("512")};
        if (::geteuid() == 0)
            args << QStringLiteral("-u") << QStringLiteral("nobody");
        args << QStringLiteral("127.0.0.1:%1").arg(port) << QStringLiteral("512");
        process_ = std::make_unique<QProcess>();
        process_->start(tool, args);
        if (process_->waitForStarted() && WaitForPort(port, 5000))
            port_ = port;
    }
    return port_ != 0;
}

void SmtpSinkTool::stop()
{
    if (!process_)
        return;
    process_->terminate();
    process_->waitForFinished(5000);
    process_.reset();
    port_ = 0;
}

double ProcessCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // Fields 14 and 15 of the line; the list starts at field 3.
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

long ProcessKb(qint64 pid, const char* field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field) + 1).trimmed().split(' ').value(0).toLong();
    return 0;
}

QByteArray Ask(quint16 port, const QByteArray& request)
{
    const int fd = ConnectLoopback(port);
    if (fd < 0)
        return {};
    // Only against a relay that hangs for good: every answer, 200 or not, comes much sooner.
    timeval timeout{120, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (!SendAll(fd, request)) {
        ::close(fd);
        return {};
    }
    QByteArray reply;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, n);
    ::close(fd);
    return reply;
}

bool PostRequest(quint16 port, const QByteArray& request)
{
    return Ask(port, request).startsWith("HTTP/1.1 200 ");
}

QList<int> SizesFrom(int argc, char** argv, const QList<int>& defaults)
{
    QList<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes << std::max(100, std::atoi(argv[i]));
    return sizes.isEmpty() ? defaults : sizes;
}

QByteArray TwoKilobyteDocument()
{
    test::MailDocBuilder doc;
    doc.to = {"alice@example.org"};
    doc.body = QString(2048 - 400, QLatin1Char('x'));
    return doc.build();
}

bool WaitForPort(quint16 port, int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        const int fd = ConnectLoopback(port);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        QThread::msleep(20);
    }
    return false;
}

double PostConcurrently(quint16 port, const QByteArray& request, int mails, int clients, int* failures,
                        std::vector<double>* latenciesMs)
{
    std::atomic<int> next{0}, failed{0};
    if (latenciesMs)
        latenciesMs->assign(size_t(mails), 0);
    QElapsedTimer clock;
    clock.start();
    std::vector<std::thread> pool;
    for (int t = 0; t < clients; ++t)
        pool.emplace_back([&] {
            for (int i = next++; i < mails; i = next++) {
                QElapsedTimer one;
                one.start();
                if (!PostRequest(port, request))
                    ++failed;
                if (latenciesMs)
                    (*latenciesMs)[size_t(i)] = one.nsecsElapsed() / 1e6;
            }
        });
    for (auto& th : pool)
        th.join();
    if (failures)
        *failures = failed;
    return (mails - failed) / (clock.nsecsElapsed() / 1e9);
}

QByteArray PostOf(const QByteArray& document)
{
    return "POST / HTTP/1.1\r\nHost: relay\r\nContent-Length: " + QByteArray::number(document.size()) + "\r\n\r\n" +
        document;
}

bool RelayProcess::start(const QString& executable, const QStringList& arguments, const QString& workDir)
{
    static int started = 0;
    logPath_ = workDir + QStringLiteral("/relay%1.log").arg(++started);
    process_.setWorkingDirectory(workDir);
    process_.setStandardErrorFile(logPath_, QIODevice::Append);
    process_.start(executable, QStringList{QStringLiteral("--headless")} + arguments);
    return process_.waitForStarted();
}

bool RelayProcess::waitForLog(const QByteArray& text, int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QFile log(logPath_);
        if (log.open(QIODevice::ReadOnly) && log.readAll().contains(text))
            return true;
        if (process_.state() == QProcess::NotRunning)
            return false;
        QThread::msleep(20);
    }
    return false;
}

void RelayProcess::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    process_.waitForFinished(60000);
}

void RelayProcess::kill()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.kill();
    process_.waitForFinished(10000);
}

bool RelayProcess::terminate(int ms)
{
    if (process_.state() == QProcess::NotRunning)
        return false;
    process_.terminate();
    if (!process_.waitForFinished(ms))
        return false;
    return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
}

long StatusKb(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    return -1;
}

bool ResetPeak()
{
    FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (!f)
        return false;
    const bool written = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && written;
}

int ConnectLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const QByteArray& bytes)
{
    qsizetype at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += n;
    }
    return true;
}

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
    return values[at];
}

namespace {
struct Reader {
    const QByteArray* bytes;
    qsizetype at = 0;
};
size_t Read(char* buffer, size_t size, size_t count, void* user)
{
    auto* r = static_cast<Reader*>(user);
    const size_t n = std::min(size * count, size_t(r->bytes->size() - r->at));
    std::memcpy(buffer, r->bytes->constData() + r->at, n);
    r->at += qsizetype(n);
    return n;
}
} // namespace

bool BareSend(const QString& hostText, const QByteArray& sender, const QList<QByteArray>& recipients,
              const QByteArray& message)
{
    CURL* curl = curl_easy_init();
    const QByteArray url = "smtp://" + hostText.toUtf8();
    const QByteArray from = '<' + sender + '>';
    curl_slist* rcpt = nullptr;
    for (const QByteArray& r : recipients)
        rcpt = curl_slist_append(rcpt, ('<' + r + '>').constData());
    Reader reader{&message};
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, Read);
    curl_easy_setopt(curl, CURLOPT_READDATA, &reader);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(message.size()));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    const bool ok = curl_easy_perform(curl) == CURLE_OK;
    curl_easy_cleanup(curl);
    curl_slist_free_all(rcpt);
    return ok;
}

} // namespace swn::bench
