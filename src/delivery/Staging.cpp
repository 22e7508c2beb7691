#include "delivery/Staging.h"

#include "delivery/Base64.h"
#include "delivery/Delivery.h"
#include "delivery/DeliveryError.h"
#include "delivery/MailDocument.h"
#include "common/Catalogue.h"
#include "common/Files.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <limits>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace swn {

namespace {

QString ErrnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Every failure of the file system is this host's (a missing or full folder, permissions, too
// many open files) and passes with time or care: the mail is kept and tried again. Only an
// attachment that is not base64 is the document's own fault.
[[noreturn]] void ThrowNotStaged(const QString& displayName, const QString& reason, bool temporary = true)
{
    throw DeliveryError(BuildResourceMessage(msg::AttachmentNotStaged, {displayName, reason}), temporary);
}

std::atomic<int> injectedWriteError{0};

// Removes the files staged so far unless the staging completes.
struct PartialStaging {
    QString list;
    bool done = false;
    ~PartialStaging()
    {
        if (!done)
            DeleteStagedFiles(list);
    }
};

} // namespace

namespace {

std::mutex stagingMutex;
QByteArray stagingPath; // encoded, for the exit handler

// The folder goes with the process; anything still in it is an attachment nobody will send.
void RemoveStagingFolder()
{
    std::lock_guard lock(stagingMutex);
    if (stagingPath.isEmpty())
        return;
    QDir dir(QFile::decodeName(stagingPath));
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System))
        ::unlink(QFile::encodeName(dir.filePath(name)).constData());
    ::rmdir(stagingPath.constData());
    stagingPath.clear();
}

} // namespace

namespace {

// When the process with this pid started (clock ticks after boot, field 22 of /proc/PID/stat),
// so that a pid used again by another process is not taken for the one before. Nothing when it
// cannot be read, with `gone` telling whether the process does not run.
std::optional<quint64> ProcessStartTime(qint64 pid, bool* gone = nullptr)
{
    if (gone)
        *gone = false;
    const QByteArray path = "/proc/" + QByteArray::number(pid) + "/stat";
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // No entry in /proc is no proof where /proc is not what it should be: the system says.
        if (gone)
            *gone = ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
        return std::nullopt;
    }
    char buffer[1024];
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0)
        return std::nullopt;
    // The command name, in parentheses, may hold spaces and parentheses itself.
    const QByteArray text(buffer, n);
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = text.mid(close + 1).simplified().split(' ');
    // Field 3 (the state) comes first after the name.
    bool ok = false;
    const quint64 start = fields.value(22 - 3).toULongLong(&ok);
    return ok ? std::optional<quint64>(start) : std::nullopt;
}

// swnrelay-PID-START-NS-XXXXXX: the owner's pid and start time, the pid namespace they belong to,
// and mkdtemp's part.
const QRegularExpression& StagingFolderName()
{
    static const QRegularExpression pattern(
        QStringLiteral("\\Aswnrelay-([0-9]{1,10})-([0-9]{1,20})-([0-9]{1,20})-[A-Za-z0-9]{6}\\z"));
    return pattern;
}

// A relay in another pid namespace (a container sharing this temporary folder) has pids that
// mean other processes here: its folders are not this one's to judge. 0 when it cannot be read.
quint64 PidNamespace()
{
    struct stat st {};
    return ::stat("/proc/self/ns/pid", &st) == 0 ? quint64(st.st_ino) : 0;
}

// Removes the files of one folder, never following a link, and then the folder itself.
void RemoveFolder(int parentFd, const QByteArray& name, uid_t owner)
{
    const int fd = ::openat(parentFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_uid != owner) {
        ::close(fd);
        return;
    }
    const int listFd = ::dup(fd);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        ::close(fd);
        return;
    }
    // Listed first, removed after: a folder is not changed while it is being read.
    QList<QByteArray> names;
    while (const dirent* entry = ::readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names << QByteArray(entry->d_name);
    ::closedir(dir);
    for (const QByteArray& entry : std::as_const(names)) {
        // A link goes as a link; a folder (the relay makes none) only when empty.
        if (::unlinkat(fd, entry.constData(), 0) != 0 && (errno == EISDIR || errno == EPERM))
            ::unlinkat(fd, entry.constData(), AT_REMOVEDIR);
    }
    ::close(fd);
    ::unlinkat(parentFd, name.constData(), AT_REMOVEDIR);
}

} // namespace

void RemoveDeadStagingFolders(const QString& parent)
{
    const int parentFd = ::open(QFile::encodeName(parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0)
        return;
    const uid_t me = ::getuid();
    const qint64 self = ::getpid();
    const quint64 ns = PidNamespace();
    QList<QByteArray> dead;
    const int listFd = ::dup(parentFd);
    if (DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr) {
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strncmp(entry->d_name, "swnrelay-", 9) != 0)
                continue;
            const QRegularExpressionMatch match = StagingFolderName().match(QString::fromLatin1(entry->d_name));
            if (!match.hasMatch())
                continue;
            const qint64 pid = match.captured(1).toLongLong();
            const quint64 start = match.captured(2).toULongLong();
            if (pid <= 0 || pid > std::numeric_limits<pid_t>::max() || pid == self ||
                match.captured(3).toULongLong() != ns || ns == 0)
                continue;
            struct stat st {};
            if (::fstatat(parentFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != me)
                continue;
            bool gone = false;
            const std::optional<quint64> running = ProcessStartTime(pid, &gone);
            // A folder without its owner's start time goes only when its pid runs nothing.
            if (gone || (running && start != 0 && *running != start))
                dead << QByteArray(entry->d_name);
        }
        ::closedir(dir);
    } else if (listFd >= 0) {
        ::close(listFd);
    }
    for (const QByteArray& name : std::as_const(dead))
        RemoveFolder(parentFd, name, me);
    ::close(parentFd);
}

QString SystemTemporaryFolder()
{
    // Not QDir::tempPath(): for a TMPDIR that does not exist it gives the empty path, and the
    // staging folder would be made in the root folder.
    const QString tmp = qEnvironmentVariable("TMPDIR");
    return tmp.isEmpty() ? QStringLiteral("/tmp") : QDir::cleanPath(QDir(tmp).absolutePath());
}

QString StagingFolder()
{
    static QString folder;
    std::lock_guard lock(stagingMutex);
    // Made once; made again only if something outside the relay removed it meanwhile.
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        const QString parent = SystemTemporaryFolder();
        // The owner in the name: a relay that was killed leaves its folder, and the next one to
        // make its own removes it. Without a start time of its own (no /proc), 0.
        const qint64 pid = ::getpid();
        const quint64 start = ProcessStartTime(pid).value_or(0);
        QByteArray pattern = QFile::encodeName(
            parent + QStringLiteral("/swnrelay-%1-%2-%3-XXXXXX").arg(pid).arg(start).arg(PidNamespace()));
        if (::mkdtemp(pattern.data()) == nullptr) { // mode 0700 by definition
            const int error = errno;
            ThrowNotStaged(parent, ErrnoText(error));
        }
        RemoveDeadStagingFolders(parent);
        folder = QFile::decodeName(pattern);
        static const bool registered = std::atexit(RemoveStagingFolder) == 0;
        Q_UNUSED(registered);
        stagingPath = pattern;
    }
    return folder;
}

int CreateStagedFile(QString& path, const QString& displayName)
{
    const QString folder = StagingFolder();
    for (int attempt = 0; attempt < 16; ++attempt) {
        quint64 random[2];
        QRandomGenerator::system()->fillRange(random);
        const QString candidate = folder + QLatin1Char('/') +
            QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex()) +
            QStringLiteral(".tmp");
        const int fd = ::open(QFile::encodeName(candidate).constData(),
                              O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            path = candidate;
            return fd;
        }
        if (errno != EEXIST) {
            const int error = errno;
            ThrowNotStaged(displayName.isEmpty() ? folder : displayName, ErrnoText(error));
        }
    }
    ThrowNotStaged(displayName, ErrnoText(EEXIST));
}

QString NewStagedFilePath()
{
    QString path;
    ::close(CreateStagedFile(path));
    return path;
}

void SetStagingWriteError(int error)
{
    injectedWriteError = error;
}

bool WriteStagedData(int fd, const char* data, qsizetype length)
{
    if (const int error = injectedWriteError.load()) {
        errno = error;
        return false;
    }
    return WriteFully(fd, data, length);
}

void SaveBinaryData(const QString& path, const QByteArray& data)
{
    const QString name = QFileInfo(path).fileName();
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        const int error = errno;
        ThrowNotStaged(name, ErrnoText(error));
    }
    const bool written = WriteStagedData(fd, data.constData(), data.size());
    const int writeError = errno;
    if (::close(fd) != 0 || !written)
        ThrowNotStaged(name, ErrnoText(written ? errno : writeError));
}

QString StageDocumentAttachments(pugi::xml_node root)
{
    PartialStaging staging;
    const pugi::xml_node list = RequireElement(root, "AttachmentList");
    std::string decoded;
    for (pugi::xml_node child : list.children()) {
        const QString displayName = StagedDisplayName(ReadElementText(child, "AttachmentName"));
        const pugi::xml_node body = RequireElement(child, "AttachmentBody");

        QString path;
        const int fd = CreateStagedFile(path, displayName);
        const QString entry = displayName + QLatin1String(kNamePathSeparator) + path;
        if (!staging.list.isEmpty())
            staging.list += QLatin1String(kAttachmentSeparator);
        staging.list += entry;

        // The base64 text is decoded piece by piece straight from the parsed tree into the file.
        Base64Decoder decoder;
        bool valid = true;
        bool written = true;
        int error = 0;
        auto flush = [&] {
            if (written && !decoded.empty() && !WriteStagedData(fd, decoded.data(), qsizetype(decoded.size()))) {
                written = false;
                error = errno;
            }
            decoded.clear();
        };
        // Same walk as element text: the data of the element and of all its descendants.
        ForEachTextChunk(body, [&](const char* text) {
            size_t length = std::strlen(text);
            constexpr size_t kPiece = 1 << 20;
            while (valid && written && length > 0) {
                const size_t n = std::min(length, kPiece);
                valid = decoder.feed(text, n, decoded);
                flush();
                text += n;
                length -= n;
            }
        });
        if (valid)
            valid = decoder.finish(decoded);
        flush();
        const bool closed = ::close(fd) == 0;
        if (!valid)
            ThrowNotStaged(displayName, ErrnoText(EBADMSG), false); // the body is not base64
        if (!written || !closed)
            ThrowNotStaged(displayName, ErrnoText(written ? errno : error));
    }
    staging.done = true;
    return staging.list;
}

QString StagedDisplayName(QString name)
{
    while (name.contains(QLatin1String(kNamePathSeparator)) || name.contains(QLatin1String(kAttachmentSeparator))) {
        name.replace(QLatin1String(kNamePathSeparator), QLatin1String("|"));
        name.replace(QLatin1String(kAttachmentSeparator), QLatin1String(":#:"));
    }
    // A last "|" would join the "||" after the name and move the split into the path.
    while (name.endsWith(QLatin1Char('|')))
        name[name.size() - 1] = QLatin1Char('_');
    return name;
}

QStringList SplitAttachmentList(const QString& attachmentList)
{
    if (attachmentList.isEmpty())
        return {};
    return attachmentList.split(QLatin1String(kAttachmentSeparator));
}

void DeleteStagedFiles(const QString& attachmentList)
{
    if (attachmentList.isEmpty())
        return;
    QString folder;
    try {
        folder = StagingFolder();
    } catch (const DeliveryError&) {
        return; // no folder, so nothing of ours to remove; runs in destructors, must not throw
    }
    for (const QString& entry : SplitAttachmentList(attachmentList)) {
        const QStringList parts = entry.split(QLatin1String(kNamePathSeparator));
        if (parts.size() < 2 || parts[1].isEmpty())
            continue;
        // Only files the relay staged itself are ever removed, whatever a list says.
        if (QFileInfo(parts[1]).absolutePath() != folder)
            continue;
        ::unlink(QFile::encodeName(parts[1]).constData());
    }
}

} // namespace swn
