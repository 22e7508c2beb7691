#include "relay/Spool.h"

#include "common/DurableFile.h"
#include "common/Files.h"

#include <QDir>
#include <QSet>
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
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

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
const QLatin1String kStateSuffix(".state");
const QLatin1String kDoneSuffix(".done");
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
    int e = 0;
    if (FlushFolder(folder, &e))
        return true;
    SetError(error, ReplaceFailure{ReplaceFailure::FolderFlush, e, folder}.describe());
    return false;
}

// The name a file has while it is being written: hidden, and tagged with the writer's process so
// that open() can tell a crash's leftovers from another live process's work.
QString TempPath(const QString& folder, const QString& name)
{
    return folder + QStringLiteral("/.%1.%2.tmp").arg(name).arg(qint64(::getpid()));
}

enum class OnFolderFlushFailure { Undo, Keep };

// Writes `bytes` to folder/name through a temporary file: the final name holds either nothing
// or the whole content, and is on disk when this returns true. When the content cannot be
// written, nothing is left and a file of that name keeps what it held. When only the folder
// cannot be flushed, the new file is in place but may not survive a crash: `Undo` removes a
// file that is new (a document a client must then be told was not kept), `Keep` leaves it
// (removing it would destroy what it replaced).
bool WriteDurably(const QString& folder, const QString& name, const QByteArray& bytes, QString* error,
                  OnFolderFlushFailure onFlushFailure = OnFolderFlushFailure::Undo)
{
    const QString final = folder + QLatin1Char('/') + name;
    ReplaceOptions options;
    options.temporary = TempPath(folder, name);
    ReplaceFailure failure;
    if (ReplaceFile(final, bytes, options, &failure))
        return true;
    SetError(error, failure.describe());
    if (failure.stage == ReplaceFailure::FolderFlush && onFlushFailure == OnFolderFlushFailure::Undo)
        ::unlink(Native(final).constData());
    return false;
}

// Replaces folder/name without making it durable: for what is only information.
void WriteQuietly(const QString& folder, const QString& name, const QByteArray& bytes)
{
    ReplaceOptions options;
    options.temporary = TempPath(folder, name);
    options.reuseTemporary = true;
    options.durable = false;
    ReplaceFile(folder + QLatin1Char('/') + name, bytes, options);
}

qint64 FileBytes(const QString& path)
{
    struct stat st {};
    return ::lstat(Native(path).constData(), &st) == 0 ? qint64(st.st_size) : 0;
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
    // Read straight into the result; one byte of room more tells a file that grew meanwhile.
    QByteArray content(qsizetype(st.st_size) + 1, Qt::Uninitialized);
    qsizetype used = 0;
    for (;;) {
        if (used == content.size())
            content.resize(content.size() * 2);
        const ssize_t n = ::read(fd, content.data() + used, size_t(content.size() - used));
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
        used += n;
    }
    ::close(fd);
    content.truncate(used);
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

// The names in a folder, read with one pass and nothing else asked of each: a spool of many
// documents is read at every start. `filesOnly`: neither folders nor links (nor other kinds).
QStringList NamesIn(const QString& folder, bool filesOnly = false)
{
    QStringList names;
    DIR* d = ::opendir(Native(folder).constData());
    if (!d)
        return names;
    while (const dirent* e = ::readdir(d)) {
        if (filesOnly ? e->d_type != DT_REG && e->d_type != DT_UNKNOWN : e->d_type == DT_DIR)
            continue;
        if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0')))
            continue;
        names << QFile::decodeName(e->d_name);
    }
    ::closedir(d);
    return names;
}

// Temporary files of a process that is gone (or of an earlier process with our number).
void RemoveLeftovers(const QString& folder)
{
    static const QRegularExpression temp(QStringLiteral("\\A\\..+\\.([0-9]+)\\.tmp\\z"));
    bool removed = false;
    for (const QString& name : NamesIn(folder)) {
        if (!name.startsWith(QLatin1Char('.')) || !name.endsWith(QLatin1String(".tmp")))
            continue;
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

// Files beside a document whose document is gone: left by a kill in the middle of a removal or a
// move (the document goes first, or is in its new place already). Only the relay that holds the
// spool may do this, since a store under way puts a recipients list in place before its document.
void RemoveOrphans(const QString& folder, std::initializer_list<QLatin1String> suffixes)
{
    const QStringList names = NamesIn(folder);
    const QSet<QString> present(names.cbegin(), names.cend());
    bool removed = false;
    for (const QString& name : names)
        for (const QLatin1String& suffix : suffixes)
            if (name.endsWith(suffix) && !present.contains(name.chopped(suffix.size()) + kDocumentSuffix) &&
                Spool::IsValidId(name.chopped(suffix.size())) &&
                ::unlink(Native(folder + QLatin1Char('/') + name).constData()) == 0)
                removed = true;
    if (removed)
        SyncFolder(folder, nullptr);
}

// The ids of the documents in a folder, read with one pass over its names.
QStringList IdsIn(const QString& folder)
{
    QStringList ids;
    for (const QString& name : NamesIn(folder, true)) {
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

Spool::~Spool()
{
    stopUnlinkers();
    flushRemovals();
    unlock();
}

namespace {
// Unlinks that may each wait for the disk run side by side; a backlog may make this many
// names wait before remove() unlinks its own files again.
constexpr int kUnlinkThreads = 4;
constexpr size_t kMostWaitingUnlinks = 16384;
// They are woken for this many names at once, or by flushRemovals(): not once per document.
constexpr size_t kUnlinkBatch = 128;

// Where remove() puts a file until it is unlinked: hidden, and tagged with this process like a
// temporary file, so that the next start removes what a crash left there.
QByteArray RemovedPath(const QString& folder, const QString& name)
{
    return Native(folder + QStringLiteral("/.%1.gone.%2.tmp").arg(name).arg(qint64(::getpid())));
}
} // namespace

bool Spool::unlinkLater(std::vector<QByteArray>& paths)
{
    std::lock_guard lock(unlinkMutex_);
    if (unlinkStop_ || toUnlink_.size() >= kMostWaitingUnlinks)
        return false;
    if (unlinkers_.empty())
        for (int i = 0; i < kUnlinkThreads; ++i)
            unlinkers_.emplace_back([this] { runUnlinker(); });
    for (QByteArray& path : paths)
        toUnlink_.push_back(std::move(path));
    if (toUnlink_.size() >= kUnlinkBatch && !unlinkNow_) {
        unlinkNow_ = true;
        unlinkWake_.notify_all();
    }
    return true;
}

void Spool::runUnlinker()
{
    std::unique_lock lock(unlinkMutex_);
    for (;;) {
        unlinkWake_.wait(lock, [this] { return unlinkStop_ || (unlinkNow_ && !toUnlink_.empty()); });
        if (toUnlink_.empty())
            return;
        const QByteArray path = std::move(toUnlink_.back());
        toUnlink_.pop_back();
        if (toUnlink_.empty())
            unlinkNow_ = false;
        lock.unlock();
        ::unlink(path.constData());
        lock.lock();
    }
}

void Spool::stopUnlinkers()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(unlinkMutex_);
        unlinkStop_ = true;
        threads.swap(unlinkers_);
    }
    unlinkWake_.notify_all();
    // They end once every name handed to them is gone.
    for (std::thread& t : threads)
        t.join();
}

QString Spool::failedDir() const { return dir_ + QLatin1Char('/') + kFailedFolder; }

QString Spool::notesDir() const { return dir_ + QStringLiteral("/notes"); }

QString Spool::controlSocketPath() const { return dir_ + QStringLiteral("/control.sock"); }

bool Spool::IsValidId(const QString& id)
{
    // By hand: this runs for every name of a large spool at start-up.
    // <8 digits>T<9 digits>Z-<8 hex>-<8 hex>
    if (id.size() != 37)
        return false;
    auto digit = [](QChar c) { return c >= u'0' && c <= u'9'; };
    auto hex = [&](QChar c) { return digit(c) || (c >= u'a' && c <= u'f'); };
    for (int i = 0; i < 37; ++i) {
        const QChar c = id[i];
        bool ok;
        if (i < 8 || (i > 8 && i < 18))
            ok = digit(c);
        else if (i == 8)
            ok = c == u'T';
        else if (i == 18)
            ok = c == u'Z';
        else if (i == 19 || i == 28)
            ok = c == u'-';
        else
            ok = hex(c);
        if (!ok)
            return false;
    }
    return true;
}

QDateTime Spool::receivedAt(const QString& id)
{
    if (!IsValidId(id))
        return {};
    // By hand: a restart asks this of every kept document, and parsing by format costs a
    // hundred times more. The digits are checked already; a date or time that does not exist
    // gives an invalid time, as parsing would.
    auto number = [&id](int from, int digits) {
        int n = 0;
        for (int i = from; i < from + digits; ++i)
            n = n * 10 + (id[i].unicode() - u'0');
        return n;
    };
    const QDate date(number(0, 4), number(4, 2), number(6, 2));
    const QTime time(number(9, 2), number(11, 2), number(13, 2), number(15, 3));
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, Qt::UTC);
}

bool Spool::open(QString* error)
{
    open_ = false;
    if (dir_.isEmpty()) {
        SetError(error, QStringLiteral("no spool folder is set"));
        return false;
    }
    // A relative folder would follow the process's current folder, and its control socket the
    // socket classes' choice of the shared temporary folder.
    if (!QDir::isAbsolutePath(dir_)) {
        SetError(error, QStringLiteral("the spool folder %1 is not an absolute path").arg(dir_));
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

    std::lock_guard guard(mutex_);
    waiting_.clear();
    failed_.clear();
    failedBytes_ = 0;
    for (const QString& id : IdsIn(dir_))
        waiting_.insert(id, 0);
    // One more pass for what lies beside them: markers of mail that went (only their removal is
    // left), recipients, states.
    DIR* d = ::opendir(Native(dir_).constData());
    while (d) {
        const dirent* e = ::readdir(d);
        if (!e)
            break;
        const QString name = QFile::decodeName(e->d_name);
        for (const auto& [suffix, bit] : {std::pair{kDoneSuffix, Done}, std::pair{kRecipientsSuffix, Recipients},
                                          std::pair{kStateSuffix, State}}) {
            if (!name.endsWith(suffix))
                continue;
            const auto it = waiting_.find(name.chopped(suffix.size()));
            if (it != waiting_.end())
                it.value() |= bit;
        }
    }
    if (d)
        ::closedir(d);
    for (const QString& id : IdsIn(failedDir())) {
        const qint64 bytes = FileBytes(failedDir() + QLatin1Char('/') + id + kDocumentSuffix) +
            FileBytes(failedDir() + QLatin1Char('/') + id + kReasonSuffix);
        failed_.insert(id, bytes);
        failedBytes_ += bytes;
    }
    open_ = true;
    return true;
}

bool Spool::lock(QString* holder, QString* error)
{
    if (holder)
        holder->clear();
    if (lockFd_ >= 0)
        return true;
    const QString path = dir_ + QStringLiteral("/lock");
    int e = 0;
    const int fd = TryLockFile(path, holder, &e);
    if (fd == -1) {
        SetError(error, QStringLiteral("the spool %1 is in use").arg(dir_));
        return false;
    }
    if (fd < 0) {
        SetError(error, QStringLiteral("cannot lock %1: %2").arg(path, ErrnoText(e)));
        return false;
    }
    lockFd_ = fd;
    RemoveOrphans(dir_, {kRecipientsSuffix, kStateSuffix, kDoneSuffix});
    RemoveOrphans(failedDir(), {kRecipientsSuffix, kReasonSuffix});
    return true;
}

void Spool::unlock()
{
    if (lockFd_ >= 0)
        ::close(lockFd_);
    lockFd_ = -1;
}

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
    return noteWrite(WriteDurably(notesDir(), name, bytes, error, OnFolderFlushFailure::Keep), error);
}

bool Spool::appendNote(const QString& name, const QByteArray& line, QString* error)
{
    if (!open_ || !IsValidNoteName(name)) {
        SetError(error, QStringLiteral("no note '%1' can be kept in %2").arg(name, dir_));
        return false;
    }
    const QString path = notesDir() + QLatin1Char('/') + name;
    const int fd = ::open(Native(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        SetError(error, QStringLiteral("cannot write %1: %2").arg(path, ErrnoText(errno)));
        return noteWrite(false, error);
    }
    struct stat st {};
    const bool created = ::fstat(fd, &st) == 0 && st.st_size == 0;
    int e = 0;
    if (!WriteFully(fd, line.constData(), line.size()) || ::fdatasync(fd) != 0)
        e = errno;
    ::close(fd);
    if (e) {
        SetError(error, QStringLiteral("cannot write %1: %2").arg(path, ErrnoText(e)));
        return noteWrite(false, error);
    }
    // A note the folder does not know yet is only durable once its name is.
    return noteWrite(!created || SyncFolder(notesDir(), error), error);
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

namespace {
QByteArray StateText(int attempts, const QDateTime& nextTry, const QString& reason)
{
    QString oneLine = reason;
    for (QChar& c : oneLine)
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    return QStringLiteral("attempts=%1\nnext=%2\nreason=%3\n")
        .arg(attempts)
        .arg(nextTry.isValid() ? nextTry.toUTC().toString(Qt::ISODate) : QString())
        .arg(oneLine)
        .toUtf8();
}
} // namespace

QString Spool::store(const QByteArray& document, QString* error, const QStringList& recipients, const QString& reason)
{
    if (!open_) {
        SetError(error, QStringLiteral("the spool %1 is not open").arg(dir_));
        return {};
    }
    const QString id = NewId();
    // The recipients first: a document found without them would go to everyone again.
    if (!recipients.isEmpty() && !setRecipients(id, recipients, error)) {
        ::unlink(Native(dir_ + QLatin1Char('/') + id + kRecipientsSuffix).constData());
        return {};
    }
    if (!noteWrite(WriteDurably(dir_, id + kDocumentSuffix, document, error), error)) {
        ::unlink(Native(dir_ + QLatin1Char('/') + id + kRecipientsSuffix).constData());
        return {};
    }
    if (!reason.isEmpty())
        WriteQuietly(dir_, id + kStateSuffix, StateText(1, {}, reason));
    std::lock_guard guard(mutex_);
    waiting_.insert(id, quint8((recipients.isEmpty() ? 0 : Recipients) | (reason.isEmpty() ? 0 : State)));
    return id;
}

QStringList Spool::recipients(const QString& id, bool* ok) const
{
    if (ok)
        *ok = true;
    if (!IsValidId(id))
        return {};
    {
        // Most documents go to all their recipients: no file to look for.
        std::lock_guard guard(mutex_);
        const auto it = waiting_.constFind(id);
        if (it != waiting_.constEnd() && !(it.value() & Recipients))
            return {};
    }
    const QString path = dir_ + QLatin1Char('/') + id + kRecipientsSuffix;
    struct stat st {};
    if (::lstat(Native(path).constData(), &st) != 0) {
        if (errno != ENOENT && ok)
            *ok = false;
        return {};
    }
    const QByteArray text = ReadWhole(path, nullptr);
    if (text.isNull() && ok)
        *ok = false;
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
    {
        std::lock_guard guard(mutex_);
        const auto it = waiting_.find(id);
        if (it != waiting_.end())
            it.value() |= Recipients;
    }
    return noteWrite(WriteDurably(dir_, id + kRecipientsSuffix, recipients.join(QLatin1Char('\n')).toUtf8() + '\n',
                                  error, OnFolderFlushFailure::Keep),
                     error);
}

QStringList Spool::ids() const
{
    std::lock_guard guard(mutex_);
    return waiting_.keys();
}

int Spool::count() const
{
    std::lock_guard guard(mutex_);
    return int(waiting_.size());
}

QString Spool::oldestId() const
{
    std::lock_guard guard(mutex_);
    return waiting_.isEmpty() ? QString() : waiting_.firstKey();
}

QStringList Spool::failedIds() const
{
    std::lock_guard guard(mutex_);
    return failed_.keys();
}

int Spool::failedCount() const
{
    std::lock_guard guard(mutex_);
    return int(failed_.size());
}

qint64 Spool::failedBytes() const
{
    std::lock_guard guard(mutex_);
    return failedBytes_;
}

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

bool Spool::remove(const QString& id, QString* error, bool* gone, bool sync)
{
    if (gone)
        *gone = false;
    if (!IsValidId(id)) {
        SetError(error, QStringLiteral("'%1' is no spool id").arg(id));
        return false;
    }
    const QString base = dir_ + QLatin1Char('/') + id;
    // Renamed rather than unlinked: the name is gone just as surely, and the blocks are freed
    // later, off the caller's thread.
    std::vector<QByteArray> renamed;
    const QByteArray document = Native(base + kDocumentSuffix);
    // Only a plain file: anything else must fail to go as an unlink would.
    struct stat plain {};
    if (!sync && ::lstat(document.constData(), &plain) == 0 && S_ISREG(plain.st_mode)) {
        QByteArray away = RemovedPath(dir_, id + kDocumentSuffix);
        if (::rename(document.constData(), away.constData()) == 0)
            renamed.push_back(std::move(away));
    }
    if (renamed.empty() && ::unlink(document.constData()) != 0) {
        const int e = errno;
        SetError(error, QStringLiteral("cannot remove %1: %2").arg(base + kDocumentSuffix, ErrnoText(e)));
        if (e == ENOENT) {
            if (gone)
                *gone = true;
            // What lay beside it goes too, unless a requeue (which holds the lock) brought the
            // document back meanwhile.
            std::lock_guard guard(mutex_);
            struct stat st {};
            if (::lstat(Native(base + kDocumentSuffix).constData(), &st) != 0) {
                waiting_.remove(id);
                for (const QLatin1String& suffix : {kRecipientsSuffix, kStateSuffix, kDoneSuffix})
                    ::unlink(Native(base + suffix).constData());
            }
        }
        return false;
    }
    if (gone)
        *gone = true;
    quint8 beside = 0;
    {
        std::lock_guard guard(mutex_);
        beside = waiting_.take(id);
    }
    // After the document: what lies beside it is harmless without it, the reverse is not. Its
    // state is only information, and the next start removes one left without its document.
    for (const auto& [suffix, bit] : {std::pair{kRecipientsSuffix, Recipients}, std::pair{kStateSuffix, State},
                                      std::pair{kDoneSuffix, Done}}) {
        if (!(beside & bit))
            continue;
        if (!renamed.empty() && bit == State)
            renamed.push_back(Native(base + suffix));
        else
            ::unlink(Native(base + suffix).constData());
    }
    if (!renamed.empty() && !unlinkLater(renamed))
        for (const QByteArray& path : renamed)
            ::unlink(path.constData());
    if (!sync) {
        ++unflushedRemovals_;
        return true;
    }
    return SyncFolder(dir_, error);
}

void Spool::flushRemovals()
{
    if (unflushedRemovals_.exchange(0) > 0)
        SyncFolder(dir_, nullptr);
    std::lock_guard lock(unlinkMutex_);
    if (!toUnlink_.empty() && !unlinkNow_) {
        unlinkNow_ = true;
        unlinkWake_.notify_all();
    }
}

bool Spool::markDelivered(const QString& id, QString* error)
{
    if (!IsValidId(id)) {
        SetError(error, QStringLiteral("'%1' is no spool id").arg(id));
        return false;
    }
    {
        std::lock_guard guard(mutex_);
        const auto it = waiting_.find(id);
        if (it != waiting_.end())
            it.value() |= Done;
    }
    return WriteDurably(dir_, id + kDoneSuffix, "delivered\n", error, OnFolderFlushFailure::Keep);
}

bool Spool::isMarkedDelivered(const QString& id) const
{
    std::lock_guard guard(mutex_);
    return waiting_.value(id, 0) & Done;
}

void Spool::noteAttempt(const QString& id, int attempts, const QDateTime& nextTry, const QString& reason)
{
    if (!IsValidId(id))
        return;
    {
        std::lock_guard guard(mutex_);
        const auto it = waiting_.find(id);
        if (it != waiting_.end())
            it.value() |= State;
    }
    WriteQuietly(dir_, id + kStateSuffix, StateText(attempts, nextTry, reason));
}

void Spool::setFailedLimit(qint64 bytes)
{
    std::lock_guard guard(mutex_);
    failedLimit_ = qMax<qint64>(0, bytes);
}

QStringList Spool::takeEvicted()
{
    std::lock_guard guard(mutex_);
    return std::exchange(evicted_, QStringList());
}

namespace {

// Moves an entry's document from one folder to the other with the list of who has the mail: the
// list is in place before the document is, so no crash leaves the document without it. 0, or
// the errno of the document's move.
int MoveWithRecipients(const QString& fromDir, const QString& toDir, const QString& id)
{
    const QByteArray fromList = Native(fromDir + QLatin1Char('/') + id + kRecipientsSuffix);
    const QByteArray toList = Native(toDir + QLatin1Char('/') + id + kRecipientsSuffix);
    ::unlink(toList.constData()); // a leftover would name the wrong recipients
    bool listInPlace = ::link(fromList.constData(), toList.constData()) == 0;
    if (!listInPlace && errno != ENOENT) {
        // A folder without hard links: a copy, in place before the document moves.
        QString ignored;
        const QByteArray list = ReadWhole(QFile::decodeName(fromList), &ignored);
        if (list.isNull() || !WriteDurably(toDir, id + kRecipientsSuffix, list, &ignored))
            return EIO;
        listInPlace = true;
    }
    if (::rename(Native(fromDir + QLatin1Char('/') + id + kDocumentSuffix).constData(),
                 Native(toDir + QLatin1Char('/') + id + kDocumentSuffix).constData()) != 0) {
        const int e = errno;
        if (listInPlace)
            ::unlink(toList.constData());
        return e;
    }
    if (listInPlace)
        ::unlink(fromList.constData());
    return 0;
}

} // namespace

// Called with the mutex held.
void Spool::evictFailed(qint64 incoming)
{
    if (failedLimit_ <= 0)
        return;
    while (!failed_.isEmpty() && failedBytes_ + incoming > failedLimit_) {
        const QString id = failed_.firstKey();
        const QString base = failedDir() + QLatin1Char('/') + id;
        // The document first: a reason without its document is only a leftover.
        if (::unlink(Native(base + kDocumentSuffix).constData()) != 0 && errno != ENOENT)
            break;
        ::unlink(Native(base + kReasonSuffix).constData());
        ::unlink(Native(base + kRecipientsSuffix).constData());
        failedBytes_ -= failed_.take(id);
        evicted_ << id;
    }
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
    const QByteArray reasonText = reason.toUtf8() + '\n';
    {
        std::lock_guard guard(mutex_);
        evictFailed(qint64(st.st_size) + reasonText.size());
    }
    // The reason first: a failed document is never found without it.
    if (!WriteDurably(failed, id + kReasonSuffix, reasonText, error))
        return false;
    // Those who have the mail already must not get it again if it is requeued.
    if (const int e = MoveWithRecipients(dir_, failed, id); e != 0) {
        ::unlink(Native(failed + QLatin1Char('/') + id + kReasonSuffix).constData());
        SetError(error, QStringLiteral("cannot move %1 to %2: %3").arg(from, failed, ErrnoText(e)));
        return false;
    }
    {
        std::lock_guard guard(mutex_);
        waiting_.remove(id);
        failed_.insert(id, qint64(st.st_size) + reasonText.size());
        failedBytes_ += qint64(st.st_size) + reasonText.size();
    }
    for (const QLatin1String& suffix : {kStateSuffix, kDoneSuffix})
        ::unlink(Native(dir_ + QLatin1Char('/') + id + suffix).constData());
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
    const QByteArray reasonText = reason.toUtf8() + '\n';
    const qint64 bytes = document.size() + reasonText.size();
    {
        std::lock_guard guard(mutex_);
        evictFailed(bytes);
    }
    if (!noteWrite(WriteDurably(failed, id + kReasonSuffix, reasonText, error), error))
        return {};
    if (!noteWrite(WriteDurably(failed, id + kDocumentSuffix, document, error), error)) {
        ::unlink(Native(failed + QLatin1Char('/') + id + kReasonSuffix).constData());
        SyncFolder(failed, nullptr);
        return {};
    }
    std::lock_guard guard(mutex_);
    failed_.insert(id, bytes);
    failedBytes_ += bytes;
    return id;
}

bool Spool::requeue(const QString& id, QString* error)
{
    if (!IsValidId(id)) {
        SetError(error, QStringLiteral("'%1' is no spool id").arg(id));
        return false;
    }
    const QString from = failedDir() + QLatin1Char('/') + id + kDocumentSuffix;
    {
        // Held throughout: making room in failed/ must not remove this entry's files under it.
        std::lock_guard guard(mutex_);
        // Only a failed document comes back: the move clears the recipients list where it goes,
        // and a kept document's own list says who has its mail already.
        struct stat failedDoc {};
        const int e = ::lstat(Native(from).constData(), &failedDoc) != 0 ? errno
                    : waiting_.contains(id)                              ? EEXIST
                                                                         : MoveWithRecipients(failedDir(), dir_, id);
        if (e != 0) {
            SetError(error, e == ENOENT ? QStringLiteral("no failed document %1 in %2").arg(id, failedDir())
                                        : QStringLiteral("cannot move %1 back into %2: %3").arg(from, dir_, ErrnoText(e)));
            return false;
        }
        ::unlink(Native(failedDir() + QLatin1Char('/') + id + kReasonSuffix).constData());
        struct stat st {};
        const bool recipients =
            ::lstat(Native(dir_ + QLatin1Char('/') + id + kRecipientsSuffix).constData(), &st) == 0;
        failedBytes_ -= failed_.take(id);
        waiting_.insert(id, recipients ? Recipients : 0);
    }
    return SyncFolder(dir_, error) && SyncFolder(failedDir(), error);
}

bool Spool::removeFailed(const QString& id, QString* error)
{
    if (!IsValidId(id)) {
        SetError(error, QStringLiteral("'%1' is no spool id").arg(id));
        return false;
    }
    const QString base = failedDir() + QLatin1Char('/') + id;
    if (::unlink(Native(base + kDocumentSuffix).constData()) != 0) {
        const int e = errno;
        SetError(error, e == ENOENT ? QStringLiteral("no failed document %1 in %2").arg(id, failedDir())
                                    : QStringLiteral("cannot remove %1: %2").arg(base + kDocumentSuffix, ErrnoText(e)));
        return false;
    }
    ::unlink(Native(base + kReasonSuffix).constData());
    ::unlink(Native(base + kRecipientsSuffix).constData());
    {
        std::lock_guard guard(mutex_);
        failedBytes_ -= failed_.take(id);
    }
    return SyncFolder(failedDir(), error);
}

QList<Spool::Entry> Spool::entries() const
{
    QList<Entry> list;
    QMap<QString, quint8> waiting;
    QMap<QString, qint64> failed;
    {
        std::lock_guard guard(mutex_);
        waiting = waiting_;
        failed = failed_;
    }
    for (auto it = waiting.cbegin(); it != waiting.cend(); ++it) {
        Entry e;
        e.id = it.key();
        e.delivered = it.value() & Done;
        e.received = receivedAt(e.id);
        e.recipients = recipients(e.id);
        e.bytes = FileBytes(dir_ + QLatin1Char('/') + e.id + kDocumentSuffix);
        const QStringList state =
            QString::fromUtf8(ReadWhole(dir_ + QLatin1Char('/') + e.id + kStateSuffix, nullptr)).split(QLatin1Char('\n'));
        for (const QString& line : state) {
            if (line.startsWith(QLatin1String("attempts=")))
                e.attempts = line.mid(9).toInt();
            else if (line.startsWith(QLatin1String("next=")))
                e.nextTry = QDateTime::fromString(line.mid(5), Qt::ISODate);
            else if (line.startsWith(QLatin1String("reason=")))
                e.reason = line.mid(7);
        }
        list << e;
    }
    for (auto it = failed.cbegin(); it != failed.cend(); ++it) {
        Entry e;
        e.id = it.key();
        e.failed = true;
        e.received = receivedAt(e.id);
        e.reason = failedReason(e.id);
        e.recipients = QString::fromUtf8(ReadWhole(failedDir() + QLatin1Char('/') + e.id + kRecipientsSuffix, nullptr))
                           .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        e.bytes = it.value();
        list << e;
    }
    return list;
}

namespace {
constexpr qint64 kRoomBlock = 4096;
constexpr qint64 kRoomMarginBytes = 256 * 1024;
constexpr qint64 kRoomMarginFiles = 64;
constexpr qint64 kFilesPerDocument = 6;

// The room a document needs: itself, a recipients list (never longer than the document) and its
// state, in whole blocks.
qint64 RoomFor(qint64 bytes)
{
    const qint64 rounded = (std::max<qint64>(bytes, 0) + kRoomBlock - 1) / kRoomBlock * kRoomBlock;
    return 2 * rounded + 4 * kRoomBlock;
}
} // namespace

void Spool::setFreeRoomSource(std::function<std::optional<FreeRoom>()> source)
{
    std::lock_guard lock(roomMutex_);
    freeRoom_ = std::move(source);
}

bool Spool::reserveRoom(qint64 bytes)
{
    std::function<std::optional<FreeRoom>()> source;
    {
        std::lock_guard lock(roomMutex_);
        source = freeRoom_;
    }
    std::optional<FreeRoom> free;
    if (source) {
        free = source();
    } else {
        struct statvfs fs {};
        if (::statvfs(Native(dir_).constData(), &fs) == 0) {
            const qint64 unit = qint64(fs.f_frsize ? fs.f_frsize : fs.f_bsize);
            // A file system without a count of files (f_files 0) sets no limit on them.
            free = FreeRoom{qint64(fs.f_bavail) * unit, fs.f_files == 0 ? LLONG_MAX / 2 : qint64(fs.f_favail)};
        }
    }
    if (!free)
        return false;
    const qint64 need = RoomFor(bytes);
    std::lock_guard lock(roomMutex_);
    if (free->bytes < reservedBytes_ + need + kRoomMarginBytes ||
        free->files < reservedFiles_ + kFilesPerDocument + kRoomMarginFiles)
        return false;
    reservedBytes_ += need;
    reservedFiles_ += kFilesPerDocument;
    return true;
}

void Spool::releaseRoom(qint64 bytes)
{
    std::lock_guard lock(roomMutex_);
    reservedBytes_ = std::max<qint64>(0, reservedBytes_ - RoomFor(bytes));
    reservedFiles_ = std::max<qint64>(0, reservedFiles_ - kFilesPerDocument);
}

bool Spool::noteWrite(bool ok, const QString* error) const
{
    std::lock_guard guard(writeMutex_);
    if (ok)
        writeFailure_.clear();
    else
        writeFailure_ = error && !error->isEmpty() ? *error : QStringLiteral("a write into %1 failed").arg(dir_);
    return ok;
}

QString Spool::unwritable() const
{
    if (!open_)
        return QStringLiteral("the spool %1 is not open").arg(dir_);
    const QString folders[] = {dir_, failedDir(), notesDir()};
    for (const QString& folder : folders)
        // The effective user's rights: those the relay's writes have.
        if (::faccessat(AT_FDCWD, Native(folder).constData(), W_OK | X_OK, AT_EACCESS) != 0)
            return QStringLiteral("cannot write into %1: %2").arg(folder, ErrnoText(errno));
    QString failure;
    {
        std::lock_guard guard(writeMutex_);
        failure = writeFailure_;
    }
    if (failure.isEmpty())
        return {};
    // Permissions say nothing of a full disk: only a write can tell that it has room again. A
    // block's worth, since a new file needs one.
    const QByteArray block(4096, 'x');
    for (const QString& folder : folders) {
        const QString path = TempPath(folder, QStringLiteral("trial"));
        const QByteArray native = Native(path);
        const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        int e = fd < 0 ? errno : 0;
        if (fd >= 0) {
            if (!WriteFully(fd, block.constData(), block.size()))
                e = errno ? errno : EIO;
            ::close(fd);
            ::unlink(native.constData());
        }
        if (e)
            return QStringLiteral("%1; writing into %2 still fails: %3").arg(failure, folder, ErrnoText(e));
    }
    std::lock_guard guard(writeMutex_);
    if (writeFailure_ == failure)
        writeFailure_.clear();
    return {};
}

} // namespace swn
