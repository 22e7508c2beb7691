#include "common/Files.h"

#include <QDateTime>
#include <QFile>
#include <QSysInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace swn {

bool WriteFully(int fd, const char* data, qsizetype length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, size_t(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        data += n;
        length -= n;
    }
    return true;
}

int TryLockFile(const QString& path, QString* holder, int* error)
{
    if (holder)
        holder->clear();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (error)
            *error = errno;
        return -2;
    }
    int rc;
    do
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int e = errno;
        if (e == EWOULDBLOCK) {
            if (holder) {
                char text[512];
                const ssize_t n = ::pread(fd, text, sizeof text, 0);
                *holder = n > 0 ? QString::fromUtf8(text, int(n)).trimmed() : QString();
                if (holder->isEmpty())
                    *holder = QStringLiteral("another process (it has not said which)");
            }
            ::close(fd);
            return -1;
        }
        ::close(fd);
        if (error)
            *error = e;
        return -2;
    }
    // Only for the administrator's eyes: a failure to say who we are does not cost the lock.
    const QByteArray who = QStringLiteral("process %1 on host %2 since %3\n")
                               .arg(qint64(::getpid()))
                               .arg(QSysInfo::machineHostName(), QDateTime::currentDateTimeUtc().toString(Qt::ISODate))
                               .toUtf8();
    if (::ftruncate(fd, 0) == 0)
        (void)!::pwrite(fd, who.constData(), size_t(who.size()), 0);
    return fd;
}

} // namespace swn
