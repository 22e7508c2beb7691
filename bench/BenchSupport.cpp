#include "BenchSupport.h"

#include <QFile>

#include <curl/curl.h>

#include <arpa/inet.h>
#include <cstdio>
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
