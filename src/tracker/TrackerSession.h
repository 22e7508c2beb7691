#pragma once
// The tracker's automation interface, as the relay uses it. Every operation may throw
// TrackerError; callers interpret its number.
#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace swn {

class TrackerError : public std::runtime_error {
public:
    TrackerError(int number, const QString& description)
        : std::runtime_error(description.toStdString()), number_(number), description_(description) {}
    int number() const { return number_; }
    const QString& description() const { return description_; }
private:
    int number_;
    QString description_;
};

// Error numbers the relay interprets.
namespace tracker_errors {
constexpr int NoSuchDatabase = 13224;
constexpr int DatabaseNotAccessible = 13285;
constexpr int BadCredentials = 18028;
constexpr int NotSupported = 438;
// Numbers of our own for everything else.
constexpr int NotLoggedOn = 20001;
constexpr int NoSuchRecord = 20002;
constexpr int NoSuchRecordType = 20003;
constexpr int StoreFailure = 20004;
constexpr int NoSuchField = 20005;
constexpr int InvalidArgument = 20006;
constexpr int NoSuchDatabaseSet = 20007;
constexpr int Unavailable = 20008;
} // namespace tracker_errors

// How long a tracker operation waits for another writer of the same store before it fails.
inline constexpr int DefaultTrackerBusyTimeoutMs = 10000;

class BTFilterGroup {
public:
    virtual ~BTFilterGroup() = default;
    // comparison code 1: equal
    virtual void AddCondition(const QString& fieldName, int comparison, const QVariant& value) = 0;
};

class BTQuery {
public:
    virtual ~BTQuery() = default;
    // operator code 1: and. The group belongs to the query.
    virtual BTFilterGroup& AddFilterGroup(int op) = 0;
    virtual void AddColumn(const QString& fieldName) = 0;
};

class BTResultSet {
public:
    virtual ~BTResultSet() = default;
    virtual void RequestRowCount() = 0;
    virtual void Run() = 0;
    virtual qint64 RowCount() = 0;
    // 1 when it moved to a further row.
    virtual int NextRow() = 0;
    // Column number from 1.
    virtual QVariant CellValue(int column) = 0;
};

class BTFieldObject {
public:
    virtual ~BTFieldObject() = default;
    virtual QString getValue() = 0;
};

class BTAttachment {
public:
    virtual ~BTAttachment() = default;
    // Writes the attachment's bytes into the file at `path`.
    virtual void Load(const QString& path) = 0;
    virtual QString Description() = 0;
};

class BTAttachmentItems {
public:
    virtual ~BTAttachmentItems() = default;
    virtual int Count() = 0;
    virtual BTAttachment& Item(int index) = 0;  // 0-based, in enumeration order
};

class BTAttachmentField {
public:
    virtual ~BTAttachmentField() = default;
    virtual std::unique_ptr<BTAttachmentItems> AttachmentItems() = 0;
};

class BTAttachmentFieldSet {
public:
    virtual ~BTAttachmentFieldSet() = default;
    virtual BTAttachmentField& Item(const QString& name) = 0;
};

class BTRecord {
public:
    virtual ~BTRecord() = default;
    virtual std::unique_ptr<BTFieldObject> FieldObject(const QString& fieldName) = 0;
    virtual BTAttachmentFieldSet& AttachmentFieldSet() = 0;
};

struct BTDatabaseInfo {
    QString name;
    QString GetDatabaseName() const { return name; }
};

// A record kept out of the relay's queries (ParkRecord), as the administrator sees it.
struct BTParkedRecord {
    qint64 key = 0;
    QString reason;
    QDateTime parkedAt; // UTC
    QString payload;    // only when asked for
};

class BTSession {
public:
    virtual ~BTSession() = default;
    virtual void LogOn(const QString& login, const QString& password, const QString& database,
                       int sessionKind, const QString& databaseSet) = 0;
    virtual QStringList RecordTypeNames() = 0;
    virtual std::unique_ptr<BTQuery> NewQuery(const QString& recordType) = 0;
    virtual bool IsReplicated() = 0;
    virtual QString LocalSiteName() = 0;
    virtual std::unique_ptr<BTResultSet> OpenResultSet(BTQuery& query) = 0;
    virtual std::unique_ptr<BTRecord> RecordByKey(const QString& recordType, const QVariant& key) = 0;
    virtual void DeleteRecord(BTRecord& record, const QString& actionName) = 0;
    // The first of the two reference variables: the names of the database sets.
    virtual QStringList ListDatabaseSets() = 0;
    // No value, or the databases open to `userName` in `databaseSet`.
    virtual std::optional<std::vector<BTDatabaseInfo>> ListDatabases(const QString& masterName, QString& userName,
                                                                     const QString& databaseSet) = 0;

    // The poll lock of the database this session is logged into: one poller per database, so
    // that two relays never send the same queued mail. True when this session holds it now
    // (or held it already); false when another process or session does, with `holder` (may be
    // null) saying who. Kept until the session logs on again to another database or is
    // destroyed; the system drops it when the process dies. Not logged on: NotLoggedOn.
    virtual bool TryLockQueue(QString* holder)
    {
        if (holder)
            holder->clear();
        return true;
    }
    // Deletes the records of `recordType` with these keys, with their attachments, all in one
    // transaction: afterwards either every one of them is gone or, on a failure (StoreFailure),
    // none was deleted. Keys that name no record (deleted already) are skipped and returned, in
    // the order given; a key given twice counts once. Lets a poller that delivered several
    // records remove them with one commit instead of one each. Not logged on: NotLoggedOn; a
    // type the database lacks: NoSuchRecordType.
    virtual QList<qint64> DeleteRecordsByKey(const QString& recordType, const QList<qint64>& keys)
    {
        QList<qint64> missing;
        QSet<qint64> seen;
        for (const qint64 key : keys) {
            if (seen.contains(key))
                continue;
            seen.insert(key);
            std::unique_ptr<BTRecord> record;
            try {
                record = RecordByKey(recordType, key);
            } catch (const TrackerError& e) {
                if (e.number() != tracker_errors::NoSuchRecord)
                    throw;
                missing << key;
                continue;
            }
            DeleteRecord(*record, QStringLiteral("Delete"));
        }
        return missing;
    }
    // Which database this session is logged into, beyond its name: a text made when the
    // database was created, which a database made again under the same name does not share, so
    // that what is remembered of its records (by key) never passes to another's. Empty when
    // the tracker keeps none. Not logged on: NotLoggedOn.
    virtual QString DatabaseIdentity() { return {}; }
    // Keeps a record that can never be sent out of the relay's queries without deleting it; its
    // reason and the time are kept for the administrator, who can requeue or delete it.
    virtual void ParkRecord(BTRecord& record, const QString& reason)
    {
        (void)record;
        (void)reason;
        throw TrackerError(tracker_errors::NotSupported, QStringLiteral("parking records is not supported"));
    }
    // The parked records of `recordType`, in key order. Not logged on: NotLoggedOn.
    virtual QList<BTParkedRecord> ParkedRecords(const QString& recordType, bool withPayloads)
    {
        (void)recordType;
        (void)withPayloads;
        throw TrackerError(tracker_errors::NotSupported, QStringLiteral("parking records is not supported"));
    }
    // A parked record is queued again at its old place (InvalidArgument when it is not parked).
    virtual void RequeueRecord(BTRecord& record)
    {
        (void)record;
        throw TrackerError(tracker_errors::NotSupported, QStringLiteral("parking records is not supported"));
    }
    // How long an operation waits for another writer (DefaultTrackerBusyTimeoutMs until set)
    // before it fails with StoreFailure.
    virtual void SetBusyTimeout(int ms) { (void)ms; }
};

class BTAdminSession {
public:
    virtual ~BTAdminSession() = default;
    virtual void AdminLogOn(const QString& login, const QString& password, const QString& databaseSet) = 0;
    // Throws TrackerError 438 where unsupported.
    virtual QString AdminUserName() = 0;
};

// Creates the tracker's objects; the relay asks it for "Bugtrellis.session" and
// "Bugtrellis.AdminSession". Tests hand the window a factory of their own.
class TrackerFactory {
public:
    virtual ~TrackerFactory() = default;
    virtual std::unique_ptr<BTSession> CreateSession() = 0;
    virtual std::unique_ptr<BTAdminSession> CreateAdminSession() = 0;
};

} // namespace swn
