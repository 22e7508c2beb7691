#include "common/DurableFile.h"

#include "common/Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace swn {

QString ReplaceFailure::describe() const
{
    const QString why = QString::fromLocal8Bit(std::strerror(error));
    switch (stage) {
    case Create: return QStringLiteral("cannot create %1: %2").arg(path, why);
    case Write: return QStringLiteral("cannot write %1: %2").arg(path, why);
    case FolderFlush: return QStringLiteral("cannot flush the folder %1: %2").arg(path, why);
    case None: break;
    }
    return {};
}

bool FlushFolder(const QString& folder, int* error)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        const int e = errno;
        if (fd >= 0)
            ::close(fd);
        if (error)
            *error = e;
        return false;
    }
    ::close(fd);
    return true;
}

QString ResolveLinks(const QString& path)
{
    QString at = path;
    // As many hops as the system itself follows.
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo info(at);
        if (!info.isSymLink())
            return at;
        const QByteArray native = QFile::encodeName(at);
        QByteArray target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(native.constData(), target.data(), size_t(target.size()));
        if (n <= 0 || n >= target.size())
            return {};
        target.truncate(n);
        const QString next = QFile::decodeName(target);
        if (QDir::isAbsolutePath(next)) {
            at = next;
            continue;
        }
        // Taken from the folder as the system finds it: ".." after a linked folder is that
        // folder's parent on disk, not in the text.
        const QString folder = info.dir().canonicalPath();
        if (folder.isEmpty())
            return {};
        at = folder + QLatin1Char('/') + next;
    }
    return {};
}

bool ReplaceFile(const QString& path, const QByteArray& bytes, const ReplaceOptions& options, ReplaceFailure* failure)
{
    const auto fail = [failure](ReplaceFailure::Stage stage, int error, const QString& where) {
        if (failure)
            *failure = ReplaceFailure{stage, error, where};
        return false;
    };
    const QByteArray target = QFile::encodeName(path);
    mode_t mode = 0600;
    if (options.mode >= 0) {
        mode = mode_t(options.mode);
    } else {
        struct stat st {};
        if (::stat(target.constData(), &st) == 0)
            mode = st.st_mode & 07777;
    }
    QByteArray temporary;
    int fd = -1;
    if (options.temporary.isEmpty()) {
        temporary = target + ".XXXXXX";
        fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    } else {
        temporary = QFile::encodeName(options.temporary);
        const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (options.reuseTemporary ? O_TRUNC : O_EXCL);
        fd = ::open(temporary.constData(), flags, mode);
    }
    if (fd < 0)
        return fail(ReplaceFailure::Create, errno, QFile::decodeName(temporary));
    int e = 0;
    // The umask must not take from what was asked for, nor an old temporary keep its own mode.
    if (::fchmod(fd, mode) != 0 || !WriteFully(fd, bytes.constData(), bytes.size()) ||
        (options.durable && ::fsync(fd) != 0))
        e = errno;
    if (::close(fd) != 0 && !e)
        e = errno;
    if (!e && ::rename(temporary.constData(), target.constData()) != 0)
        e = errno;
    if (e) {
        ::unlink(temporary.constData());
        return fail(ReplaceFailure::Write, e, path);
    }
    if (!options.durable)
        return true;
    const QString folder = QFileInfo(path).path();
    if (!FlushFolder(folder, &e))
        return fail(ReplaceFailure::FolderFlush, e, folder);
    return true;
}

} // namespace swn
