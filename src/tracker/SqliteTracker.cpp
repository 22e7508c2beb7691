#include "tracker/SqliteTracker.h"

#include "common/Files.h"
#include "tracker/TrackerStore.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace swn {

using namespace tracker;

namespace {

[[noreturn]] void Fail(int number, const QString& text) { throw TrackerError(number, text); }

// The record fields a query may name, and their columns.
const char* ColumnOf(const QString& field)
{
    if (field == QLatin1String("dbid"))
        return "dbid";
    if (field == QLatin1String("tavo_mastership"))
        return "mastership";
    if (field == QLatin1String("Payload"))
        return "payload";
    Fail(tracker_errors::NoSuchField, QStringLiteral("no field '%1'").arg(field));
}

// Everything a logon hands out shares its connection, so a record outlives its session and never
// follows a later logon into another database.
using Connection = std::shared_ptr<Database>;

class FilterGroup final : public BTFilterGroup {
public:
    void AddCondition(const QString& fieldName, int comparison, const QVariant& value) override
    {
        if (comparison != 1)
            Fail(tracker_errors::InvalidArgument, QStringLiteral("comparison %1 is not supported").arg(comparison));
        conditions.push_back({ColumnOf(fieldName), value.toString()});
    }
    std::vector<std::pair<const char*, QString>> conditions;
};

class Query final : public BTQuery {
public:
    explicit Query(QString type) : type(std::move(type)) {}
    BTFilterGroup& AddFilterGroup(int op) override
    {
        if (op != 1)
            Fail(tracker_errors::InvalidArgument, QStringLiteral("operator %1 is not supported").arg(op));
        groups.push_back(std::make_unique<FilterGroup>());
        return *groups.back();
    }
    void AddColumn(const QString& fieldName) override { columns.push_back(ColumnOf(fieldName)); }

    QString type;
    std::vector<std::unique_ptr<FilterGroup>> groups;
    std::vector<const char*> columns;
};

// Rows are read whole when the query runs: the poll deletes records while it walks them. The
// query is copied, so changing or dropping it afterwards changes nothing here.
class ResultSet final : public BTResultSet {
public:
    ResultSet(Connection db, const Query& query) : db_(std::move(db)), type_(query.type), columns_(query.columns)
    {
        for (const auto& group : query.groups)
            conditions_.insert(conditions_.end(), group->conditions.begin(), group->conditions.end());
    }
    void RequestRowCount() override {}
    void Run() override
    {
        if (columns_.empty())
            Fail(tracker_errors::InvalidArgument, QStringLiteral("the query has no columns"));
        // Only column names from ColumnOf reach the text; values are bound.
        QByteArray sql = "SELECT ";
        for (size_t i = 0; i < columns_.size(); ++i)
            sql += (i ? ", " : "") + QByteArray(columns_[i]);
        // Parked records wait for the administrator, not for the next poll.
        sql += " FROM records WHERE type = ? AND parked_at IS NULL";
        for (const auto& condition : conditions_)
            sql += " AND " + QByteArray(condition.first) + " = ?";
        sql += " ORDER BY dbid";
        Statement q = db_->prepare(sql.constData());
        q.bind(1, type_);
        for (size_t i = 0; i < conditions_.size(); ++i)
            q.bind(int(i) + 2, conditions_[i].second);
        rows_.clear();
        while (q.step()) {
            QVariantList row;
            for (size_t c = 0; c < columns_.size(); ++c) {
                if (std::strcmp(columns_[c], "dbid") == 0)
                    row << QVariant(q.integer(int(c)));
                else
                    row << QVariant(q.text(int(c)));
            }
            rows_.push_back(row);
        }
        current_ = -1;
        ran_ = true;
    }
    qint64 RowCount() override
    {
        requireRun();
        return qint64(rows_.size());
    }
    int NextRow() override
    {
        requireRun();
        if (current_ + 1 >= qsizetype(rows_.size()))
            return 0;
        ++current_;
        return 1;
    }
    QVariant CellValue(int column) override
    {
        requireRun();
        if (current_ < 0 || current_ >= qsizetype(rows_.size()) || column < 1 || column > int(columns_.size()))
            Fail(tracker_errors::InvalidArgument, QStringLiteral("no cell %1 here").arg(column));
        return rows_[size_t(current_)][column - 1];
    }

private:
    void requireRun() const
    {
        if (!ran_)
            Fail(tracker_errors::InvalidArgument, QStringLiteral("the result set has not run"));
    }
    Connection db_;
    QString type_;
    std::vector<const char*> columns_;
    std::vector<std::pair<const char*, QString>> conditions_;
    std::vector<QVariantList> rows_;
    qsizetype current_ = -1;
    bool ran_ = false;
};

class FieldObject final : public BTFieldObject {
public:
    explicit FieldObject(QString value) : value_(std::move(value)) {}
    QString getValue() override { return value_; }

private:
    QString value_;
};

class Attachment final : public BTAttachment {
public:
    Attachment(Connection db, qint64 id, QString description)
        : db_(std::move(db)), id_(id), description_(std::move(description)) {}
    QString Description() override { return description_; }
    void Load(const QString& path) override
    {
        Statement q = db_->prepare("SELECT content FROM attachments WHERE id = ?");
        q.bind(1, id_);
        if (!q.step())
            Fail(tracker_errors::NoSuchRecord, QStringLiteral("attachment %1 is gone").arg(id_));
        const QByteArray content = q.blob(0);
        const QByteArray name = QFile::encodeName(path);
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            const int error = errno;
            Fail(tracker_errors::StoreFailure, QStringLiteral("cannot write the attachment to %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error))));
        }
        int error = WriteFully(fd, content.constData(), content.size()) ? 0 : errno;
        if (::close(fd) != 0 && !error)
            error = errno;
        if (error) {
            ::unlink(name.constData()); // never a file with part of the attachment
            Fail(tracker_errors::StoreFailure, QStringLiteral("cannot write the attachment to %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error))));
        }
    }

private:
    Connection db_;
    qint64 id_;
    QString description_;
};

class AttachmentItems final : public BTAttachmentItems {
public:
    std::vector<std::unique_ptr<Attachment>> items;
    int Count() override { return int(items.size()); }
    BTAttachment& Item(int index) override
    {
        if (index < 0 || index >= int(items.size()))
            Fail(tracker_errors::InvalidArgument, QStringLiteral("no attachment %1").arg(index));
        return *items[size_t(index)];
    }
};

class AttachmentField final : public BTAttachmentField {
public:
    AttachmentField(Connection db, qint64 dbid, QString name) : db_(std::move(db)), dbid_(dbid), name_(std::move(name)) {}
    std::unique_ptr<BTAttachmentItems> AttachmentItems() override
    {
        auto items = std::make_unique<class AttachmentItems>();
        Statement q = db_->prepare("SELECT id, description FROM attachments WHERE dbid = ? AND field = ? ORDER BY id");
        q.bind(1, dbid_).bind(2, name_);
        while (q.step())
            items->items.push_back(std::make_unique<Attachment>(db_, q.integer(0), q.text(1)));
        return items;
    }

private:
    Connection db_;
    qint64 dbid_;
    QString name_;
};

class AttachmentFieldSet final : public BTAttachmentFieldSet {
public:
    AttachmentFieldSet(Connection db, qint64 dbid) : db_(std::move(db)), dbid_(dbid) {}
    BTAttachmentField& Item(const QString& name) override
    {
        if (name != QLatin1String(AttachmentsField))
            Fail(tracker_errors::NoSuchField, QStringLiteral("no attachment field '%1'").arg(name));
        if (!field_)
            field_ = std::make_unique<AttachmentField>(db_, dbid_, name);
        return *field_;
    }

private:
    Connection db_;
    qint64 dbid_;
    std::unique_ptr<AttachmentField> field_;
};

class Record final : public BTRecord {
public:
    Record(Connection db, qint64 dbid, QString payload, QString mastership)
        : dbid(dbid), connection(db), payload_(std::move(payload)), mastership_(std::move(mastership)),
          attachments_(std::move(db), dbid) {}
    std::unique_ptr<BTFieldObject> FieldObject(const QString& fieldName) override
    {
        if (fieldName == QLatin1String("Payload"))
            return std::make_unique<class FieldObject>(payload_);
        if (fieldName == QLatin1String("tavo_mastership"))
            return std::make_unique<class FieldObject>(mastership_);
        if (fieldName == QLatin1String("dbid"))
            return std::make_unique<class FieldObject>(QString::number(dbid));
        Fail(tracker_errors::NoSuchField, QStringLiteral("no field '%1'").arg(fieldName));
    }
    BTAttachmentFieldSet& AttachmentFieldSet() override { return attachments_; }

    const qint64 dbid;
    const Connection connection;

private:
    QString payload_, mastership_;
    class AttachmentFieldSet attachments_;
};

class Session final : public BTSession {
public:
    explicit Session(QString root) : store_(std::move(root)) {}

    void LogOn(const QString& login, const QString& password, const QString& database, int,
               const QString& databaseSet) override
    {
        db_.reset();
        // Whatever happens below, the poll lock stays only with a logon to the same database.
        const QString lockPath = TrackerStore::IsValidName(databaseSet) && TrackerStore::IsValidName(database)
                                     ? QueueLock::PathFor(store_.databasePath(databaseSet, database))
                                     : QString();
        bool done = false;
        struct ReleaseUnlessDone {
            QueueLock& lock;
            const QString& path;
            bool& done;
            ~ReleaseUnlessDone()
            {
                if (!done || lock.path() != path)
                    lock.release();
            }
        } release{lock_, lockPath, done};

        Database setDb = store_.openSet(databaseSet);
        const std::optional<DatabaseEntry> entry = store_.findDatabase(setDb, database);
        if (!entry)
            Fail(tracker_errors::NoSuchDatabase, QStringLiteral("database '%1' does not exist").arg(database));
        if (!TrackerStore::CheckPassword(setDb, login, password) || !TrackerStore::IsSubscribed(setDb, login, database))
            Fail(tracker_errors::BadCredentials, QStringLiteral("login or password invalid for '%1'").arg(database));
        db_ = std::make_shared<Database>(store_.openDatabase(databaseSet, database));
        db_->setBusyTimeout(busyTimeoutMs_);
        entry_ = *entry;
        lockPath_ = lockPath;
        done = true;
    }
    QStringList RecordTypeNames() override
    {
        Statement q = db()->prepare("SELECT name FROM record_types ORDER BY name");
        QStringList names;
        while (q.step())
            names << q.text(0);
        return names;
    }
    std::unique_ptr<BTQuery> NewQuery(const QString& recordType) override
    {
        requireType(recordType);
        return std::make_unique<Query>(recordType);
    }
    bool IsReplicated() override
    {
        db();
        return entry_.replicated;
    }
    QString LocalSiteName() override
    {
        db();
        return entry_.site;
    }
    std::unique_ptr<BTResultSet> OpenResultSet(BTQuery& query) override
    {
        auto* ours = dynamic_cast<Query*>(&query);
        if (!ours)
            Fail(tracker_errors::InvalidArgument, QStringLiteral("a query of another session"));
        return std::make_unique<ResultSet>(db(), *ours);
    }
    std::unique_ptr<BTRecord> RecordByKey(const QString& recordType, const QVariant& key) override
    {
        requireType(recordType);
        bool ok = false;
        const qint64 dbid = key.toLongLong(&ok);
        if (!ok)
            Fail(tracker_errors::InvalidArgument, QStringLiteral("'%1' is not a record key").arg(key.toString()));
        Statement q = db()->prepare("SELECT payload, mastership FROM records WHERE dbid = ? AND type = ?");
        q.bind(1, dbid).bind(2, recordType);
        if (!q.step())
            Fail(tracker_errors::NoSuchRecord, QStringLiteral("no %1 record %2").arg(recordType).arg(dbid));
        return std::make_unique<Record>(db_, dbid, q.text(0), q.text(1));
    }
    void DeleteRecord(BTRecord& record, const QString& actionName) override
    {
        if (actionName != QLatin1String("Delete"))
            Fail(tracker_errors::InvalidArgument, QStringLiteral("no action '%1'").arg(actionName));
        const qint64 dbid = ours(record).dbid;  // first: it also checks the logon
        TrackerStore::DeleteRecord(*db_, dbid);
    }
    bool TryLockQueue(QString* holder) override
    {
        db();
        return lock_.tryLock(lockPath_, holder);
    }
    void ParkRecord(BTRecord& record, const QString& reason) override
    {
        const qint64 dbid = ours(record).dbid;
        TrackerStore::ParkRecord(*db_, dbid, reason);
    }
    void SetBusyTimeout(int ms) override
    {
        if (ms < 0)
            Fail(tracker_errors::InvalidArgument, QStringLiteral("a busy time-out of %1 ms").arg(ms));
        busyTimeoutMs_ = ms;
        if (db_)
            db_->setBusyTimeout(ms);
    }
    QStringList ListDatabaseSets() override { return store_.databaseSets(); }
    std::optional<std::vector<BTDatabaseInfo>> ListDatabases(const QString&, QString& userName,
                                                             const QString& databaseSet) override
    {
        Database setDb = store_.openSet(databaseSet);
        const QStringList names = TrackerStore::Subscriptions(setDb, userName);
        if (names.isEmpty())
            return std::nullopt;
        std::vector<BTDatabaseInfo> databases;
        for (const QString& name : names)
            databases.push_back({name});
        return databases;
    }

private:
    const Connection& db()
    {
        if (!db_)
            Fail(tracker_errors::NotLoggedOn, QStringLiteral("not logged on"));
        return db_;
    }
    // A record this logon handed out; records of another session or an earlier logon would
    // name rows of another database.
    Record& ours(BTRecord& record)
    {
        auto* mine = dynamic_cast<Record*>(&record);
        if (!mine || mine->connection != db())
            Fail(tracker_errors::InvalidArgument, QStringLiteral("a record of another session or logon"));
        return *mine;
    }
    void requireType(const QString& recordType)
    {
        if (!RecordTypeNames().contains(recordType))
            Fail(tracker_errors::NoSuchRecordType, QStringLiteral("no record type '%1'").arg(recordType));
    }

    TrackerStore store_;
    Connection db_;
    DatabaseEntry entry_;
    QString lockPath_;
    QueueLock lock_;
    int busyTimeoutMs_ = DefaultTrackerBusyTimeoutMs;
};

class AdminSession final : public BTAdminSession {
public:
    explicit AdminSession(QString root) : store_(std::move(root)) {}
    void AdminLogOn(const QString& login, const QString& password, const QString& databaseSet) override
    {
        user_.clear();
        Database setDb = store_.openSet(databaseSet);
        if (!TrackerStore::CheckPassword(setDb, login, password))
            Fail(tracker_errors::BadCredentials, QStringLiteral("login or password invalid for '%1'").arg(databaseSet));
        user_ = login;
    }
    QString AdminUserName() override
    {
        if (user_.isEmpty())
            Fail(tracker_errors::NotLoggedOn, QStringLiteral("not logged on"));
        return user_;
    }

private:
    TrackerStore store_;
    QString user_;
};

} // namespace

SqliteTrackerFactory::SqliteTrackerFactory(QString root) : root_(std::move(root)) {}

std::unique_ptr<BTSession> SqliteTrackerFactory::CreateSession() { return std::make_unique<Session>(root_); }

std::unique_ptr<BTAdminSession> SqliteTrackerFactory::CreateAdminSession()
{
    return std::make_unique<AdminSession>(root_);
}

} // namespace swn
