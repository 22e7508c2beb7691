#pragma once
// Documents of network relay mode whose delivery failed for a temporary reason: kept on disk
// before the client gets its reply, delivered later. One file per document, named by its id
// (<id>.xml), with what belongs to it beside it: <id>.rcpt the recipients that still need it
// (absent: all of them), <id>.state what the last attempt said (for the administrator), and
// <id>.done when the mail went but the document could not be removed. failed/ holds those that
// can never go, each with its reason beside it (<id>.reason). notes/ keeps small notes of the
// post office poll.
//
// The ids are held in memory once the spool is open: nothing rescans the folder per document.
// Every call may run on several threads at once as long as they name different ids; open() and
// lock() run once, before the others.
#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace swn {

class Spool {
public:
    // What --queue shows of one entry.
    struct Entry {
        QString id;
        bool failed = false;     // in failed/
        bool delivered = false;  // the mail went; only the removal is left
        QDateTime received;      // UTC, from the id
        int attempts = 0;
        QDateTime nextTry;       // UTC; invalid: as soon as a relay runs
        QStringList recipients;  // still waiting; empty: all of the document's own
        QString reason;          // of the last attempt, or why it failed
        qint64 bytes = 0;
    };

    explicit Spool(QString dir);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    const QString& dir() const { return dir_; }
    // Creates the folder (mode 0700, with its parents), failed/ and notes/ in it; refuses a
    // relative path, and a folder that is no folder or belongs to another user, whether named
    // directly or through a link; removes temporary files a crashed process left behind; reads
    // the ids.
    bool open(QString* error);

    // One relay per spool: an advisory lock on the file "lock" in the folder, held until unlock()
    // or the end of the process. False when another process holds it, with `holder` saying which
    // (as it wrote itself into the file), or when the lock file cannot be used (`error`).
    bool lock(QString* holder, QString* error);
    void unlock();
    bool locked() const { return lockFd_ >= 0; }
    // The path of the running relay's control socket: in this spool itself, never elsewhere (a
    // path too long for a socket address is reached through the open folder).
    QString controlSocketPath() const;

    // Keeps the document durably and returns its id; on failure the empty id, `error` set, and
    // nothing left behind. `recipients`, when not empty, are the only ones that still need it
    // (the server took it for the others): kept beside it, so that a retry sends to them alone.
    // `reason`, when given, is why it was kept (its first attempt).
    QString store(const QByteArray& document, QString* error, const QStringList& recipients = {},
                  const QString& reason = {});
    // The recipients kept beside a document; empty: all of the document's own. `ok`, when
    // given, is false when a recipients file is there but cannot be read: sending to "all"
    // would then reach those who have the mail already.
    QStringList recipients(const QString& id, bool* ok = nullptr) const;
    // Replaces the recipients file; on failure the previous one stays as it was.
    bool setRecipients(const QString& id, const QStringList& recipients, QString* error);
    // Ids of the documents waiting, oldest first (from memory).
    QStringList ids() const;
    int count() const;
    // The oldest waiting document's id, or empty.
    QString oldestId() const;
    // When the document arrived, from its id (an invalid time for something that is no id).
    static QDateTime receivedAt(const QString& id);
    static bool IsValidId(const QString& id);
    QByteArray read(const QString& id, QString* error) const;
    // Removes a waiting document with everything beside it. False when there was no such
    // document or it could not be removed (`error` says which; `gone` tells the two apart).
    // Without `sync`, the removal is on disk only after a later flushRemovals(): a backlog's
    // removals share one flush of the folder. (Only a power loss in between, not a crash of
    // the process, could bring such a document back.) The document is then renamed out of the
    // way at once and unlinked, with its state, by the spool's own threads: freeing a file's
    // blocks may wait for the disk (a file system mounted with discard), which the caller need
    // not do.
    bool remove(const QString& id, QString* error = nullptr, bool* gone = nullptr, bool sync = true);
    void flushRemovals();

    // The mail of a waiting document went, but the document could not be removed: remembered
    // on disk (<id>.done) where the folder allows it, so that no restart sends it again.
    bool markDelivered(const QString& id, QString* error);
    bool isMarkedDelivered(const QString& id) const;

    // What an attempt said, for the administrator; not made durable (it is only information).
    void noteAttempt(const QString& id, int attempts, const QDateTime& nextTry, const QString& reason);

    // Moves a waiting document into failed/ with the reason beside it.
    bool moveToFailed(const QString& id, const QString& reason, QString* error = nullptr);
    // A document that can never go, written straight into failed/ for the administrator.
    QString keepFailed(const QByteArray& document, const QString& reason, QString* error);
    // failed/ is kept under this many bytes: keeping a document removes the oldest failed ones
    // first (never a waiting one). 0: no limit.
    void setFailedLimit(qint64 bytes);
    // Failed documents removed to stay under the limit since the last call, for the log.
    QStringList takeEvicted();
    QString failedDir() const;
    QStringList failedIds() const;
    int failedCount() const;
    qint64 failedBytes() const;
    QByteArray readFailed(const QString& id, QString* error) const;
    QString failedReason(const QString& id) const;
    // A failed document goes back into the queue (its recipients as they were).
    bool requeue(const QString& id, QString* error);
    // Removes a failed document and its reason.
    bool removeFailed(const QString& id, QString* error);

    // Every entry, waiting ones first, then failed/, each with what its files say.
    QList<Entry> entries() const;

    // Whether the folder's file system could still keep a document of `bytes` with its recipients
    // and its state beside it, over what documents under way hold already. A true answer holds
    // that room until releaseRoom(bytes); false when there is not enough, or no telling.
    // Asks the file system (no write, no flush), so it is cheap enough for every document.
    bool reserveRoom(qint64 bytes);
    void releaseRoom(qint64 bytes);
    // What the file system has free; a test may say instead (an empty answer: no telling).
    struct FreeRoom {
        qint64 bytes = 0;
        qint64 files = 0;
    };
    void setFreeRoomSource(std::function<std::optional<FreeRoom>()> source);

    // Small durable notes beside the documents, under names of letters, digits, '_', '-' and '.'
    // (for example, what the relay knows of a queued record that it must not forget in a crash).
    bool writeNote(const QString& name, const QByteArray& bytes, QString* error);
    QByteArray readNote(const QString& name) const; // null when there is none
    void removeNote(const QString& name);
    // Appends one line to a note and makes it durable with one flush of the file (no rename):
    // the cheap way to remember something per record.
    bool appendNote(const QString& name, const QByteArray& line, QString* error);
    QString notesDir() const;
    static bool IsValidNoteName(const QString& name);

    // Why documents and notes cannot be written now; empty when they can. Cheap while all is
    // well (the folders' permissions only). After a write that failed (a full disk, a quota, a
    // folder gone), a small trial write in each folder decides: its success, like that of any
    // later write, forgets the failure.
    QString unwritable() const;

private:
    void evictFailed(qint64 incoming);

    QString dir_;
    bool open_ = false;
    int lockFd_ = -1;
    mutable std::mutex mutex_;   // the in-memory index below
    // id -> which of its files lie beside the document, so that removing it touches only those.
    enum Beside : quint8 { Done = 1, Recipients = 2, State = 4 };
    QMap<QString, quint8> waiting_;
    QMap<QString, qint64> failed_; // id -> bytes of document and reason
    qint64 failedBytes_ = 0;
    qint64 failedLimit_ = 0;
    QStringList evicted_;
    std::atomic<int> unflushedRemovals_{0};
    // Files renamed away by remove() without sync, waiting to be unlinked.
    bool unlinkLater(std::vector<QByteArray>& paths);
    void runUnlinker();
    void stopUnlinkers();
    std::mutex unlinkMutex_;
    std::condition_variable unlinkWake_;
    std::vector<QByteArray> toUnlink_;
    bool unlinkStop_ = false;
    bool unlinkNow_ = false; // a batch is ready: the threads work until none is left
    std::vector<std::thread> unlinkers_;
    std::mutex roomMutex_;
    std::function<std::optional<FreeRoom>()> freeRoom_;
    qint64 reservedBytes_ = 0;
    qint64 reservedFiles_ = 0;
    // Records whether a write into the folders worked; returns `ok`.
    bool noteWrite(bool ok, const QString* error) const;
    mutable std::mutex writeMutex_;
    mutable QString writeFailure_; // why the last write failed; empty after a success
};

} // namespace swn
