#include "BenchSupport.h"

#include <QFile>

#include <cstdio>
#include <cstring>

namespace swn::bench {

bool CountingSink::start()
{
    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_->start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral(SWN_SOURCE_DIR "/tests/common/smtp_sink.py"), QStringLiteral("--count-only")});
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

void ResetPeak()
{
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
    return values[at];
}

} // namespace swn::bench
