#include "relay/Spool.h"

#include "common/Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace swn {

namespace {

// <UTC receipt time to the millisecond>-<per-process sequence>-<random>: sorting the names sorts
// by receipt, the time survives restarts, and the name can hold nothing but these characters.
// \\z, not $: $ also matches before a final line break.
const char* const kIdPattern = "\\A[0-9]{8}T[0-9]{9}Z-[0-9a-f]{8}-[0-9a-f]{8}\\z";
const char* const kTimeFormat = "yyyyMMdd'T'HHmmsszzz";
const QLatin1String kDocumentSuffix(".xml");
const QLatin1String kReasonSuffix(".reason");
const QLatin1String kRecipientsSuffix(".rcpt");
const QLatin1String kFailedFolder("failed");

QString ErrnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

void SetError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

QByteArray Native(const QString& path) { return QFile::encodeName(path); }

QString NewId()
{
    static std::atomic<quint32> sequence{0};
    const QString time = QDateTime::currentDateTimeUtc().toString(QLatin1String(kTimeFormat));
    return QStringLiteral("%1Z-%2-%3")
        .arg(time)
        .arg(sequence.fetch_add(1) & 0xffffffffu, 8, 16, QLatin1Char('0'))
        .arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'));
}

// A new name is only durable once the folder that holds it is on disk.
bool SyncFolder(const QString& folder, QString* error)
{
    const int fd = ::open(Native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        const int e = errno;
        if (fd >= 0)
            ::close(fd);
        SetError(error, QStringLiteral("cannot flush the folder %1: %2").arg(folder, ErrnoText(e)));
        return false;
    }
    ::close(fd);
    return true;
}

// The name a file has while it is being written: hidden, and tagged with the writer's process so
// that open() can tell a crash's leftovers from another live process's work.
QString TempPath(const QString& folder, const QString& name)
{
    return folder + QStringLiteral("/.%1.%2.tmp").arg(name).arg(qint64(::getpid()));
}

// Writes `bytes` to folder/name through a temporary file: the final name holds either nothing
// or the whole content, and is on disk when this returns true. On failure nothing is left.
bool WriteDurably(const QString& folder, const QString& name, const QByteArray& bytes, QString* error)
{
    const QString temp = TempPath(folder, name);
    const QString final = folder + QLatin1Char('/') + name;
    const int fd = ::open(Native(temp).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        SetError(error, QStringLiteral("cannot create %1: %2").arg(temp, ErrnoText(errno)));
        return false;
    }
    int e = 0;
    if (!WriteFully(fd, bytes.constData(), bytes.size()) || ::fsync(fd) != 0)
        e = errno;
    if (::close(fd) != 0 && !e)
        e = errno;
    if (!e && ::rename(Native(temp).constData(), Native(final).constData()) != 0)
        e = errno;
    if (e) {
        ::unlink(Native(temp).constData());
        SetError(error, QStringLiteral("cannot write %1: %2").arg(final, ErrnoText(e)));
        return false;
    }
    if (!SyncFolder(folder, error)) {
        ::unlink(Native(final).constData());
        return false;
    }
    return true;
}

QByteArray ReadWhole(const QString& path, QString* error)
{
    const int fd = ::open(Native(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        SetError(error, QStringLiteral("cannot read %1: %2").arg(path, ErrnoText(errno)));
        return {};
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        SetError(error, QStringLiteral("cannot read %1: not a plain file").arg(path));
        return {};
    }
    QByteArray content;
    content.reserve(qsizetype(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            SetError(error, QStringLiteral("cannot read %1: %2").arg(path, ErrnoText(e)));
            return {};
        }
        if (n == 0)
            break;
        content.append(buffer, n);
    }
    ::close(fd);
    return content;
}

// Creates each missing folder of `path` with mode 0700.
bool MakeFolders(const QString& path, QString* error)
{
    const QString clean = QDir::cleanPath(path);
    qsizetype from = clean.startsWith(QLatin1Char('/')) ? 1 : 0;
    for (;;) {
        const qsizetype slash = clean.indexOf(QLatin1Char('/'), from);
        const QString prefix = slash < 0 ? clean : clean.left(slash);
        if (::mkdir(Native(prefix).constData(), 0700) != 0 && errno != EEXIST) {
            SetError(error, QStringLiteral("cannot create the folder %1: %2").arg(prefix, ErrnoText(errno)));
            return false;
        }
        if (slash < 0)
            return true;
        from = slash + 1;
    }
}

// A folder the spool may keep mail in: a folder (a link is followed), owned by us.
bool CheckFolder(const QString& path, bool linkAllowed, QString* error)
{
    struct stat st {};
    if (::lstat(Native(path).constData(), &st) != 0) {
        SetError(error, QStringLiteral("cannot use the spool folder %1: %2").arg(path, ErrnoText(errno)));
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        if (!linkAllowed) {
            SetError(error, QStringLiteral("refusing the spool folder %1: it is a symbolic link").arg(path));
            return false;
        }
        if (::stat(Native(path).constData(), &st) != 0) {
            SetError(error, QStringLiteral("refusing the spool folder %1: its link leads nowhere (%2)").arg(path, ErrnoText(errno)));
            return false;
        }
    }
    if (!S_ISDIR(st.st_mode)) {
        SetError(error, QStringLiteral("refusing the spool folder %1: it is not a folder").arg(path));
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        SetError(error, QStringLiteral("refusing the spool folder %1: it belongs to another user (uid %2)").arg(path).arg(st.st_uid));
        return false;
    }
    return true;
}

// Temporary files of a process that is gone (or of an earlier process with our number).
void RemoveLeftovers(const QString& folder)
{
    static const QRegularExpression temp(QStringLiteral("\\A\\..+\\.([0-9]+)\\.tmp\\z"));
    bool removed = false;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QRegularExpressionMatch m = temp.match(name);
        if (!m.hasMatch())
            continue;
        const qint64 pid = m.captured(1).toLongLong();
        const bool alive = pid > 0 && pid != qint64(::getpid()) && pid <= qint64(INT_MAX)
                           && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
        if (!alive && ::unlink(Native(folder + QLatin1Char('/') + name).constData()) == 0)
            removed = true;
    }
    if (removed)
        SyncFolder(folder, nullptr);
}

QStringList IdsIn(const QString& folder)
{
    QStringList ids;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::NoSymLinks)) {
        if (!name.endsWith(kDocumentSuffix))
            continue;
        const QString id = name.chopped(kDocumentSuffix.size());
        if (Spool::IsValidId(id))
            ids << id;
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

} // namespace

Spool::Spool(QString dir) : dir_(std::move(dir)) {}

QString Spool::failedDir() const { return dir_ + QLatin1Char('/') + kFailedFolder; }

bool Spool::IsValidId(const QString& id)
{
    static const QRegularExpression pattern(QString::fromLatin1(kIdPattern));
    return pattern.match(id).hasMatch();
}

QDateTime Spool::receivedAt(const QString& id)
{
    if (!IsValidId(id))
        return {};
    QDateTime t = QDateTime::fromString(id.left(18), QLatin1String(kTimeFormat));
    t.setTimeSpec(Qt::UTC);
    return t;
}

bool Spool::open(QString* error)
{
    open_ = false;
    if (dir_.isEmpty()) {
        SetError(error, QStringLiteral("no spool folder is set"));
        return false;
    }
    struct stat st {};
    if (::lstat(Native(dir_).constData(), &st) != 0) {
        if (errno != ENOENT) {
            SetError(error, QStringLiteral("cannot use the spool folder %1: %2").arg(dir_, ErrnoText(errno)));
            return false;
        }
        if (!MakeFolders(dir_, error))
            return false;
        SyncFolder(QFileInfo(QDir::cleanPath(dir_)).absolutePath(), nullptr);
    }
    if (!CheckFolder(dir_, true, error))
        return false;
    for (const QString& folder : {failedDir(), notesDir()}) {
        if (::mkdir(Native(folder).constData(), 0700) == 0)
            SyncFolder(dir_, nullptr);
        else if (errno != EEXIST) {
            SetError(error, QStringLiteral("cannot create the folder %1: %2").arg(folder, ErrnoText(errno)));
            return false;
        }
        if (!CheckFolder(folder, false, error))
            return false;
        RemoveLeftovers(folder);
    }
    RemoveLeftovers(dir_);
    open_ = true;
    return true;
}

QString Spool::notesDir() const { return dir_ + QStringLiteral("/notes"); }

bool Spool::IsValidNoteName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z0-9_-][A-Za-z0-9_.-]{0,199}\\z"));
    return pattern.match(name).hasMatch();
}

bool Spool::writeNote(const QString& name, const QByteArray& bytes, QString* error)
{
    if (!open_ || !IsValidNoteName(name)) {
        SetError(error, QStringLiteral("no note '%1' can be kept in %2").arg(name, dir_));
        return false;
    }
    return WriteDurably(notesDir(), name, bytes, error);
}

QByteArray Spool::readNote(const QString& name) const
{
    if (!IsValidNoteName(name))
        return {};
    return ReadWhole(notesDir() + QLatin1Char('/') + name, nullptr);
}

void Spool::removeNote(const QString& name)
{
    if (IsValidNoteName(name) && ::unlink(Native(notesDir() + QLatin1Char('/') + name).constData()) == 0)
        SyncFolder(notesDir(), nullptr);
}

QString Spool::store(const QByteArray& document, QString* error, const QStringList& recipients)
{
    if (!open_) {
        SetError(error, QStringLiteral("the spool %1 is not open").arg(dir_));
        return {};
    }
    const QString id = NewId();
    // The recipients first: a document found without them would go to everyone again.
    if (!recipients.isEmpty() && !setRecipients(id, recipients, error))
        return {};
    if (!WriteDurably(dir_, id + kDocumentSuffix, document, error)) {
        ::unlink(Native(dir_ + QLatin1Char('/') + id + kRecipientsSuffix).constData());
        return {};
    }
    return id;
}

QStringList Spool::recipients(const QString& id) const
{
    if (!IsValidId(id))
        return {};
    const QByteArray text = ReadWhole(dir_ + QLatin1Char('/') + id + kRecipientsSuffix, nullptr);
    return QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool Spool::setRecipients(const QString& id, const QStringList& recipients, QString* error)
{
    if (!IsValidId(id)) {
        SetError(error, QStringLiteral("'%1' is no spool id").arg(id));
        return false;
    }
    // An address is one envelope address; a line break in one would make two.
    for (const QString& r : recipients)
        if (r.contains(QLatin1Char('\n')) || r.contains(QLatin1Char('\r'))) {
            SetError(error, QStringLiteral("a recipient holds a line break"));
            return false;
        }
    return WriteDurably(dir_, id + kRecipientsSuffix, recipients.join(QLatin1Char('\n')).toUtf8() + '\n', error);
}

QStringList Spool::ids() const { return IdsIn(dir_); }

QStringList Spool::failedIds() const { return IdsIn(failedDir()); }

QByteArray Spool::read(const QString& id, QString* error) const
{
    if (!IsValidId(id)) {
        SetError(error, QStringLiteral("'%1' is no spool id").arg(id));
        return {};
    }
    return ReadWhole(dir_ + QLatin1Char('/') + id + kDocumentSuffix, error);
}

QByteArray Spool::readFailed(const QString& id, QString* error) const
{
    if (!IsValidId(id)) {
        SetError(error, QStringLiteral("'%1' is no spool id").arg(id));
        return {};
    }
    return ReadWhole(failedDir() + QLatin1Char('/') + id + kDocumentSuffix, error);
}

QString Spool::failedReason(const QString& id) const
{
    if (!IsValidId(id))
        return {};
    return QString::fromUtf8(ReadWhole(failedDir() + QLatin1Char('/') + id + kReasonSuffix, nullptr)).trimmed();
}

bool Spool::remove(const QString& id, QString* error)
{
    if (!IsValidId(id)) {
        SetError(error, QStringLiteral("'%1' is no spool id").arg(id));
        return false;
    }
    const QString path = dir_ + QLatin1Char('/') + id + kDocumentSuffix;
    if (::unlink(Native(path).constData()) != 0) {
        SetError(error, QStringLiteral("cannot remove %1: %2").arg(path, ErrnoText(errno)));
        return false;
    }
    // After the document: recipients left without it are harmless, the reverse is not.
    ::unlink(Native(dir_ + QLatin1Char('/') + id + kRecipientsSuffix).constData());
    return SyncFolder(dir_, error);
}

bool Spool::moveToFailed(const QString& id, const QString& reason, QString* error)
{
    if (!IsValidId(id)) {
        SetError(error, QStringLiteral("'%1' is no spool id").arg(id));
        return false;
    }
    const QString from = dir_ + QLatin1Char('/') + id + kDocumentSuffix;
    const QString failed = failedDir();
    struct stat st {};
    if (::lstat(Native(from).constData(), &st) != 0) {
        SetError(error, QStringLiteral("cannot move %1 to %2: %3").arg(from, failed, ErrnoText(errno)));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        SetError(error, QStringLiteral("cannot move %1 to %2: not a plain file").arg(from, failed));
        return false;
    }
    // The reason first: a failed document is never found without it.
    if (!WriteDurably(failed, id + kReasonSuffix, reason.toUtf8() + '\n', error))
        return false;
    const QString to = failed + QLatin1Char('/') + id + kDocumentSuffix;
    if (::rename(Native(from).constData(), Native(to).constData()) != 0) {
        const int e = errno;
        ::unlink(Native(failed + QLatin1Char('/') + id + kReasonSuffix).constData());
        SetError(error, QStringLiteral("cannot move %1 to %2: %3").arg(from, failed, ErrnoText(e)));
        return false;
    }
    ::unlink(Native(dir_ + QLatin1Char('/') + id + kRecipientsSuffix).constData());
    return SyncFolder(failed, error) && SyncFolder(dir_, error);
}

QString Spool::keepFailed(const QByteArray& document, const QString& reason, QString* error)
{
    if (!open_) {
        SetError(error, QStringLiteral("the spool %1 is not open").arg(dir_));
        return {};
    }
    const QString failed = failedDir();
    const QString id = NewId();
    if (!WriteDurably(failed, id + kReasonSuffix, reason.toUtf8() + '\n', error))
        return {};
    if (!WriteDurably(failed, id + kDocumentSuffix, document, error)) {
        ::unlink(Native(failed + QLatin1Char('/') + id + kReasonSuffix).constData());
        SyncFolder(failed, nullptr);
        return {};
    }
    return id;
}

} // namespace swn
