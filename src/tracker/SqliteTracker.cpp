#include "tracker/SqliteTracker.h"

#include "common/Files.h"
#include "tracker/TrackerStore.h"

#include <QFile>
#include <QSet>

#include <algorithm>
#include <limits>
#include <mutex>

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
// follows a later logon into another database. Every use of the connection holds its lock: the
// relay may load a record's attachments on one thread while another walks the result set.
struct Link {
    explicit Link(Database database) : db(std::move(database)) {}
    Database db;
    std::mutex mutex;
};
using Connection = std::shared_ptr<Link>;
using Guard = std::lock_guard<std::mutex>;

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

// The rows are read a page at a time, in dbid order, through the queue's index, and each page's
// statement is done with before its rows are handed out: no read of the store stays open while
// the relay delivers, and the poll can delete the records it walks. The rows are the records
// queued when the query ran, less those deleted or parked before their page was read; records
// queued later wait for the next query. The query is copied, so changing or dropping it
// afterwards changes nothing here.
class ResultSet final : public BTResultSet {
public:
    ResultSet(Connection link, const Query& query) : link_(std::move(link)), type_(query.type), columns_(query.columns)
    {
        std::vector<const char*> conditionColumns;
        for (const auto& group : query.groups)
            for (const auto& condition : group->conditions) {
                conditionColumns.push_back(condition.first);
                values_ << condition.second;
            }
        // Payloads can be large: fewer of them at a time.
        const bool payloads = std::any_of(columns_.begin(), columns_.end(),
                                          [](const char* c) { return std::strcmp(c, "payload") == 0; });
        pageSize_ = payloads ? 32 : 500;
        // Only column names from ColumnOf reach the text; values are bound.
        pageSql_ = TrackerStore::QueuePageSql(columns_, conditionColumns, pageSize_);
        countSql_ = TrackerStore::QueueCountSql(conditionColumns);
    }
    void RequestRowCount() override { countRequested_ = true; }
    void Run() override
    {
        if (columns_.empty())
            Fail(tracker_errors::InvalidArgument, QStringLiteral("the query has no columns"));
        Guard lock(link_->mutex);
        {
            // Keys only grow (AUTOINCREMENT): nothing queued after this can fall below it.
            Statement last = link_->db.cached("SELECT max(dbid) FROM records");
            upTo_ = last.step() && !last.isNull(0) ? last.integer(0) : kNone;
        }
        after_ = kNone;
        cells_.clear();
        rows_ = 0;
        current_ = -1;
        exhausted_ = false;
        count_.reset();
        ran_ = true;
        if (countRequested_)
            count_ = countRows();
    }
    qint64 RowCount() override
    {
        requireRun();
        if (!count_) {
            Guard lock(link_->mutex);
            count_ = countRows();
        }
        return *count_;
    }
    int NextRow() override
    {
        requireRun();
        if (current_ + 1 < rows_) {
            ++current_;
            return 1;
        }
        current_ = -1;
        rows_ = 0;
        cells_.clear();
        if (exhausted_)
            return 0;
        readPage();
        if (rows_ == 0)
            return 0;
        current_ = 0;
        return 1;
    }
    QVariant CellValue(int column) override
    {
        requireRun();
        if (current_ < 0 || current_ >= rows_ || column < 1 || column > int(columns_.size()))
            Fail(tracker_errors::InvalidArgument, QStringLiteral("no cell %1 here").arg(column));
        return cells_[size_t(current_) * columns_.size() + size_t(column - 1)];
    }

private:
    static constexpr qint64 kNone = std::numeric_limits<qint64>::min();

    void bindQuery(Statement& q, qint64 after) const
    {
        q.bind(1, type_).bind(2, after).bind(3, upTo_);
        for (qsizetype i = 0; i < values_.size(); ++i)
            q.bind(int(i) + 4, values_[i]);
    }
    // With the connection's lock held.
    qint64 countRows()
    {
        Statement q = link_->db.cached(countSql_.constData());
        bindQuery(q, kNone);
        return q.step() ? q.integer(0) : 0;
    }
    void readPage()
    {
        Guard lock(link_->mutex);
        Statement q = link_->db.cached(pageSql_.constData());
        bindQuery(q, after_);
        cells_.reserve(size_t(pageSize_) * columns_.size());
        while (q.step()) {
            for (size_t c = 0; c < columns_.size(); ++c) {
                if (std::strcmp(columns_[c], "dbid") == 0)
                    cells_.emplace_back(q.integer(int(c) + 1));
                else
                    cells_.emplace_back(q.text(int(c) + 1));
            }
            after_ = q.integer(0);
            ++rows_;
        }
        exhausted_ = rows_ < pageSize_;
        // The statement goes back reset here, before the rows are worked on.
    }
    void requireRun() const
    {
        if (!ran_)
            Fail(tracker_errors::InvalidArgument, QStringLiteral("the result set has not run"));
    }

    Connection link_;
    QString type_;
    std::vector<const char*> columns_;
    QStringList values_;
    QByteArray pageSql_, countSql_;
    int pageSize_ = 500;
    qint64 after_ = kNone, upTo_ = kNone;
    std::vector<QVariant> cells_;  // the page's rows, one after another
    qsizetype rows_ = 0;
    qsizetype current_ = -1;
    std::optional<qint64> count_;
    bool countRequested_ = false;
    bool exhausted_ = false;
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
    Attachment(Connection link, qint64 id, QString description)
        : link_(std::move(link)), id_(id), description_(std::move(description)) {}
    QString Description() override { return description_; }
    void Load(const QString& path) override
    {
        const QByteArray name = QFile::encodeName(path);
        auto cannotWrite = [&](int error) {
            return TrackerError(tracker_errors::StoreFailure, QStringLiteral("cannot write the attachment to %1: %2")
                                                                  .arg(path, QString::fromLocal8Bit(std::strerror(error))));
        };
        Guard lock(link_->mutex);
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            const int error = errno;
            throw cannotWrite(error);
        }
        // Piece by piece from the store to the file: a large attachment is never whole in memory.
        int error = 0;
        bool found = false;
        try {
            found = link_->db.readBlob("attachments", "content", id_, [&](const char* data, int size) {
                if (!error && !WriteFully(fd, data, size))
                    error = errno;
            });
        } catch (...) {
            ::close(fd);
            ::unlink(name.constData());
            throw;
        }
        if (::close(fd) != 0 && !error)
            error = errno;
        if (found && !error)
            return;
        ::unlink(name.constData()); // never a file with part of the attachment
        if (!found)
            Fail(tracker_errors::NoSuchRecord, QStringLiteral("attachment %1 is gone").arg(id_));
        throw cannotWrite(error);
    }

private:
    Connection link_;
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
    AttachmentField(Connection link, qint64 dbid, QString name) : link_(std::move(link)), dbid_(dbid), name_(std::move(name)) {}
    std::unique_ptr<BTAttachmentItems> AttachmentItems() override
    {
        // Read once: callers ask for the count and then for the items.
        if (!listed_) {
            Guard lock(link_->mutex);
            Statement q = link_->db.cached("SELECT id, description FROM attachments WHERE dbid = ? AND field = ? ORDER BY id");
            q.bind(1, dbid_).bind(2, name_);
            while (q.step())
                list_.push_back({q.integer(0), q.text(1)});
            listed_ = true;
        }
        auto items = std::make_unique<class AttachmentItems>();
        for (const auto& [id, description] : list_)
            items->items.push_back(std::make_unique<Attachment>(link_, id, description));
        return items;
    }

private:
    Connection link_;
    qint64 dbid_;
    QString name_;
    std::vector<std::pair<qint64, QString>> list_;
    bool listed_ = false;
};

class AttachmentFieldSet final : public BTAttachmentFieldSet {
public:
    AttachmentFieldSet(Connection link, qint64 dbid) : link_(std::move(link)), dbid_(dbid) {}
    BTAttachmentField& Item(const QString& name) override
    {
        if (name != QLatin1String(AttachmentsField))
            Fail(tracker_errors::NoSuchField, QStringLiteral("no attachment field '%1'").arg(name));
        if (!field_)
            field_ = std::make_unique<AttachmentField>(link_, dbid_, name);
        return *field_;
    }

private:
    Connection link_;
    qint64 dbid_;
    std::unique_ptr<AttachmentField> field_;
};

class Record final : public BTRecord {
public:
    Record(Connection link, qint64 dbid, QString payload, QString mastership)
        : dbid(dbid), connection(link), payload_(std::move(payload)), mastership_(std::move(mastership)),
          attachments_(std::move(link), dbid) {}
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
        Connection link = std::make_shared<Link>(store_.openDatabase(databaseSet, database));
        link->db.setBusyTimeout(busyTimeoutMs_);
        identity_ = TrackerStore::Identity(link->db);
        db_ = std::move(link);
        knownTypes_.clear();
        entry_ = *entry;
        lockPath_ = lockPath;
        done = true;
    }
    QStringList RecordTypeNames() override
    {
        Guard lock(db()->mutex);
        Statement q = db_->db.cached("SELECT name FROM record_types ORDER BY name");
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
        Guard lock(db_->mutex);
        Statement q = db_->db.cached("SELECT payload, mastership FROM records WHERE dbid = ? AND type = ?");
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
        Guard lock(db_->mutex);
        TrackerStore::DeleteRecord(db_->db, dbid);
    }
    QList<qint64> DeleteRecordsByKey(const QString& recordType, const QList<qint64>& keys) override
    {
        requireType(recordType);  // first: it also checks the logon
        Guard lock(db_->mutex);
        return TrackerStore::DeleteRecords(db_->db, recordType, keys);
    }
    QString DatabaseIdentity() override
    {
        db();
        return identity_;
    }
    bool TryLockQueue(QString* holder) override
    {
        db();
        return lock_.tryLock(lockPath_, holder);
    }
    void ParkRecord(BTRecord& record, const QString& reason) override
    {
        const qint64 dbid = ours(record).dbid;
        Guard lock(db_->mutex);
        TrackerStore::ParkRecord(db_->db, dbid, reason);
    }
    QList<BTParkedRecord> ParkedRecords(const QString& recordType, bool withPayloads) override
    {
        requireType(recordType);  // first: it also checks the logon
        Guard lock(db_->mutex);
        return TrackerStore::Parked(db_->db, recordType, withPayloads);
    }
    void RequeueRecord(BTRecord& record) override
    {
        const qint64 dbid = ours(record).dbid;
        Guard lock(db_->mutex);
        TrackerStore::Requeue(db_->db, dbid);
    }
    void SetBusyTimeout(int ms) override
    {
        if (ms < 0)
            Fail(tracker_errors::InvalidArgument, QStringLiteral("a busy time-out of %1 ms").arg(ms));
        busyTimeoutMs_ = ms;
        if (db_) {
            Guard lock(db_->mutex);
            db_->db.setBusyTimeout(ms);
        }
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
    // Record types are only ever added: one found stays known for the logon.
    void requireType(const QString& recordType)
    {
        Guard lock(db()->mutex);
        if (knownTypes_.contains(recordType))
            return;
        Statement q = db_->db.cached("SELECT 1 FROM record_types WHERE name = ?");
        q.bind(1, recordType);
        if (!q.step())
            Fail(tracker_errors::NoSuchRecordType, QStringLiteral("no record type '%1'").arg(recordType));
        knownTypes_.insert(recordType);
    }

    TrackerStore store_;
    Connection db_;
    QSet<QString> knownTypes_;
    DatabaseEntry entry_;
    QString identity_;
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
