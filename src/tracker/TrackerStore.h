#pragma once
// The tracker stand-in's files: a database set is one SQLite file in the root folder holding its
// users and its databases; each database is an SQLite file of its own holding record types,
// records and their attachments. This class is the tracker's side (the admin tool); the relay's
// side is SqliteTrackerFactory.
#include "tracker/TrackerSession.h"
#include "tracker/Sqlite.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace swn::tracker {

inline constexpr const char* PostOfficeRecordType = "SwiftnotePostOffice";
inline constexpr const char* AttachmentsField = "Attachments";

struct NewAttachment {
    QString description;
    QByteArray content;
};

// One record to queue. Without a site, the database's own site (empty when it is not replicated).
struct NewRecord {
    NewRecord() = default;
    NewRecord(QString payload, QList<NewAttachment> attachments = {}, std::optional<QString> site = std::nullopt)
        : payload(std::move(payload)), attachments(std::move(attachments)), site(std::move(site)) {}
    QString payload;
    QList<NewAttachment> attachments;
    std::optional<QString> site;
};

struct QueuedRecord {
    qint64 dbid = 0;
    QString site;
    qint64 payloadBytes = 0;
    int attachments = 0;
    bool parked = false;
};

struct AttachmentInfo {
    QString description;
    qint64 bytes = 0;
};

struct RecordDetails {
    qint64 dbid = 0;
    QString site;
    bool parked = false;
    QString parkedReason;
    QDateTime parkedAt;  // UTC
    QList<AttachmentInfo> attachments;
    QString payload;
};

// The advisory poll lock of one database: a lock on a file beside the database file, so the
// system drops it with the process that held it. Each object is one holder; two objects in
// one process exclude each other as two processes do.
class QueueLock {
public:
    QueueLock() = default;
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;
    ~QueueLock();
    static QString PathFor(const QString& databasePath);
    // True when this object holds the lock (now or already); false with `holder` (may be null)
    // telling who holds it. StoreFailure when the lock file cannot be opened.
    bool tryLock(const QString& lockPath, QString* holder);
    void release();
    bool held() const { return fd_ >= 0; }
    const QString& path() const { return path_; }

private:
    int fd_ = -1;
    QString path_;
};

struct DatabaseEntry {
    QString name;
    bool replicated = false;
    QString site;
};

class TrackerStore {
public:
    explicit TrackerStore(QString root);
    const QString& root() const { return root_; }

    // Names of sets and databases: letters, digits, '_' and '-', at most 64, so that no name can
    // reach outside the root folder or make two names share a file.
    static bool IsValidName(const QString& name);
    QString setPath(const QString& set) const;
    QString databasePath(const QString& set, const QString& database) const;

    void createDatabaseSet(const QString& set);
    void createDatabase(const QString& set, const QString& database, bool replicated, const QString& site);
    // Adds the user, or changes the password of one already there, and subscribes it to `databases`.
    void addUser(const QString& set, const QString& login, const QString& password, const QStringList& databases);
    void enablePostOffice(const QString& set, const QString& database);
    // Queues one record with its attachments in one transaction; returns its dbid. Without a
    // site, the database's own site (empty when it is not replicated).
    qint64 enqueue(const QString& set, const QString& database, const QString& payload,
                   const QList<NewAttachment>& attachments, const std::optional<QString>& site = std::nullopt);
    // Queues the records with their attachments in one transaction (one commit for all of them,
    // and none queued on a failure); returns their dbids in the order given.
    QList<qint64> enqueueMany(const QString& set, const QString& database, const QList<NewRecord>& records);
    QList<QueuedRecord> list(const QString& set, const QString& database);
    // One record of the post office queue, queued or parked (NoSuchRecord).
    RecordDetails show(const QString& set, const QString& database, qint64 dbid);
    // Deletes a record with its attachments, in one transaction (NoSuchRecord).
    void deleteRecord(const QString& set, const QString& database, qint64 dbid);
    // The database's identity: a random text made with it, which a database made again under
    // the same name does not share. A file older than identities gets one when first opened.
    QString identity(const QString& set, const QString& database);
    // A parked record is queued again at its old place (NoSuchRecord, InvalidArgument when it
    // is not parked).
    void requeue(const QString& set, const QString& database, qint64 dbid);

    // Shared with the sessions.
    QStringList databaseSets() const;
    Database openSet(const QString& set) const;                    // NoSuchDatabaseSet
    std::optional<DatabaseEntry> findDatabase(Database& setDb, const QString& database) const;
    static bool CheckPassword(Database& setDb, const QString& login, const QString& password);
    static bool IsSubscribed(Database& setDb, const QString& login, const QString& database);
    static QStringList Subscriptions(Database& setDb, const QString& login);
    // DatabaseNotAccessible. Brings a file of an older layout up to date.
    Database openDatabase(const QString& set, const QString& database) const;
    static QString Identity(Database& db);  // of a database opened with openDatabase
    static void ParkRecord(Database& db, qint64 dbid, const QString& reason);  // NoSuchRecord
    static void DeleteRecord(Database& db, qint64 dbid);                        // NoSuchRecord
    // Queues a parked record again (NoSuchRecord, InvalidArgument when it is not parked).
    static void Requeue(Database& db, qint64 dbid);
    // The parked records of `type`, in dbid order.
    static QList<BTParkedRecord> Parked(Database& db, const QString& type, bool withPayloads);
    // Deletes the records of `type` with these dbids and their attachments in one transaction:
    // all of them or, on a failure (StoreFailure), none. Returns the dbids that named no record.
    static QList<qint64> DeleteRecords(Database& db, const QString& type, const QList<qint64>& dbids);
    // The queue's queries, as the sessions run them: one page of the records of type ?1 that are
    // not parked, with dbid above ?2 and up to ?3, where each of `conditions` (column names)
    // equals ?4, ?5, ...; in dbid order, the dbid first and then `columns`. And their number.
    static QByteArray QueuePageSql(const std::vector<const char*>& columns, const std::vector<const char*>& conditions,
                                   int pageSize);
    static QByteArray QueueCountSql(const std::vector<const char*>& conditions);

private:
    void requireName(const QString& name, const char* what) const;
    Database openExisting(const QString& set, const QString& database) const;
    QString root_;
};

} // namespace swn::tracker
