#pragma once
// A tracker held in memory, for tests of the poll: queued records with payload and attachments,
// a replicated database with its local site, and switches that make the logon or a delete fail.
// The poll runs on a thread of its own, so every access goes through one mutex.
#include "tracker/TrackerSession.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <memory>
#include <mutex>

namespace swn::test {

struct MemoryRecord {
    qint32 dbid = 0;
    QString payload;
    // Description and content; an attachment whose content is UnreadableAttachment fails to load.
    QList<QPair<QString, QByteArray>> attachments;
    QString site;
    bool parked = false;
    QString parkedReason;
};

inline const QByteArray UnreadableAttachment = QByteArrayLiteral("<<unreadable>>");

class MemoryTrackerState {
public:
    mutable std::mutex mutex;
    QList<MemoryRecord> records;
    QStringList recordTypes{QStringLiteral("SwiftnotePostOffice")};
    int logOnError = 0;            // LogOn throws this number when not 0
    bool replicated = false;
    QString localSite = QStringLiteral("local");
    bool failDelete = false;       // DeleteRecord throws while set
    bool parkSupported = true;
    int logOns = 0, deletes = 0, failedDeletes = 0, queries = 0;
    QString lastLogOnDatabase;
    qint32 nextDbid = 33554433;

    qint32 add(const QString& payload, const QList<QPair<QString, QByteArray>>& attachments = {},
               const QString& site = {})
    {
        std::lock_guard lock(mutex);
        MemoryRecord r;
        r.dbid = nextDbid++;
        r.payload = payload;
        r.attachments = attachments;
        r.site = site.isNull() ? localSite : site;
        records.append(r);
        return r.dbid;
    }
    QList<qint32> queued() const
    {
        std::lock_guard lock(mutex);
        QList<qint32> keys;
        for (const MemoryRecord& r : records)
            if (!r.parked)
                keys << r.dbid;
        return keys;
    }
    QList<qint32> parked() const
    {
        std::lock_guard lock(mutex);
        QList<qint32> keys;
        for (const MemoryRecord& r : records)
            if (r.parked)
                keys << r.dbid;
        return keys;
    }
    template <typename F>
    auto with(F&& f)
    {
        std::lock_guard lock(mutex);
        return f(*this);
    }
};

namespace memory_tracker {

class Attachment : public BTAttachment {
public:
    Attachment(QString description, QByteArray content) : description_(std::move(description)), content_(std::move(content)) {}
    void Load(const QString& path) override
    {
        if (content_ == UnreadableAttachment)
            throw TrackerError(tracker_errors::StoreFailure, QStringLiteral("attachment content unreadable"));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content_) != content_.size())
            throw TrackerError(tracker_errors::StoreFailure, QStringLiteral("cannot write ") + path);
    }
    QString Description() override { return description_; }

private:
    QString description_;
    QByteArray content_;
};

class Items : public BTAttachmentItems {
public:
    explicit Items(const QList<QPair<QString, QByteArray>>& list)
    {
        for (const auto& [d, c] : list)
            items_.push_back(std::make_unique<Attachment>(d, c));
    }
    int Count() override { return int(items_.size()); }
    BTAttachment& Item(int index) override { return *items_.at(size_t(index)); }

private:
    std::vector<std::unique_ptr<Attachment>> items_;
};

class Field : public BTAttachmentField {
public:
    QList<QPair<QString, QByteArray>> list;
    std::unique_ptr<BTAttachmentItems> AttachmentItems() override { return std::make_unique<Items>(list); }
};

class FieldSet : public BTAttachmentFieldSet {
public:
    Field field;
    BTAttachmentField& Item(const QString& name) override
    {
        if (name != QLatin1String("Attachments"))
            throw TrackerError(tracker_errors::NoSuchField, name);
        return field;
    }
};

class Value : public BTFieldObject {
public:
    explicit Value(QString v) : v_(std::move(v)) {}
    QString getValue() override { return v_; }

private:
    QString v_;
};

class Record : public BTRecord {
public:
    qint32 dbid = 0;
    QString payload;
    FieldSet set;
    std::unique_ptr<BTFieldObject> FieldObject(const QString& name) override
    {
        if (name != QLatin1String("Payload"))
            throw TrackerError(tracker_errors::NoSuchField, name);
        return std::make_unique<Value>(payload);
    }
    BTAttachmentFieldSet& AttachmentFieldSet() override { return set; }
};

class Group : public BTFilterGroup {
public:
    QString site;
    bool filtered = false;
    void AddCondition(const QString& field, int comparison, const QVariant& value) override
    {
        if (field == QLatin1String("tavo_mastership") && comparison == 1) {
            filtered = true;
            site = value.toString();
        }
    }
};

class Query : public BTQuery {
public:
    QString type;
    std::vector<std::unique_ptr<Group>> groups;
    QStringList columns;
    BTFilterGroup& AddFilterGroup(int) override
    {
        groups.push_back(std::make_unique<Group>());
        return *groups.back();
    }
    void AddColumn(const QString& name) override { columns << name; }
};

class ResultSet : public BTResultSet {
public:
    QList<qint32> keys;
    int at = -1;
    void RequestRowCount() override {}
    void Run() override {}
    qint64 RowCount() override { return keys.size(); }
    int NextRow() override { return ++at < keys.size() ? 1 : 0; }
    QVariant CellValue(int column) override
    {
        if (column != 1 || at < 0 || at >= keys.size())
            throw TrackerError(tracker_errors::InvalidArgument, QStringLiteral("no such cell"));
        return keys[at];
    }
};

class Session : public BTSession {
public:
    explicit Session(std::shared_ptr<MemoryTrackerState> state) : state_(std::move(state)) {}

    void LogOn(const QString&, const QString&, const QString& database, int, const QString&) override
    {
        std::lock_guard lock(state_->mutex);
        ++state_->logOns;
        state_->lastLogOnDatabase = database;
        loggedOn_ = false;
        if (state_->logOnError != 0)
            throw TrackerError(state_->logOnError, QStringLiteral("logon refused"));
        loggedOn_ = true;
    }
    QStringList RecordTypeNames() override
    {
        std::lock_guard lock(state_->mutex);
        requireLogOn();
        return state_->recordTypes;
    }
    std::unique_ptr<BTQuery> NewQuery(const QString& type) override
    {
        requireLogOn();
        auto q = std::make_unique<Query>();
        q->type = type;
        return q;
    }
    bool IsReplicated() override
    {
        std::lock_guard lock(state_->mutex);
        return state_->replicated;
    }
    QString LocalSiteName() override
    {
        std::lock_guard lock(state_->mutex);
        return state_->localSite;
    }
    std::unique_ptr<BTResultSet> OpenResultSet(BTQuery& query) override
    {
        std::lock_guard lock(state_->mutex);
        requireLogOn();
        ++state_->queries;
        auto& q = static_cast<Query&>(query);
        auto rows = std::make_unique<ResultSet>();
        for (const MemoryRecord& r : state_->records) {
            if (r.parked)
                continue;
            bool match = true;
            for (const auto& g : q.groups)
                if (g->filtered && g->site != r.site)
                    match = false;
            if (match)
                rows->keys << r.dbid;
        }
        return rows;
    }
    std::unique_ptr<BTRecord> RecordByKey(const QString&, const QVariant& key) override
    {
        std::lock_guard lock(state_->mutex);
        requireLogOn();
        for (const MemoryRecord& r : state_->records) {
            if (r.dbid == key.toInt()) {
                auto rec = std::make_unique<Record>();
                rec->dbid = r.dbid;
                rec->payload = r.payload;
                rec->set.field.list = r.attachments;
                return rec;
            }
        }
        throw TrackerError(tracker_errors::NoSuchRecord, QStringLiteral("no record %1").arg(key.toInt()));
    }
    void DeleteRecord(BTRecord& record, const QString& action) override
    {
        std::lock_guard lock(state_->mutex);
        requireLogOn();
        if (action != QLatin1String("Delete"))
            throw TrackerError(tracker_errors::InvalidArgument, action);
        if (state_->failDelete) {
            ++state_->failedDeletes;
            throw TrackerError(tracker_errors::StoreFailure, QStringLiteral("database is locked"));
        }
        const qint32 dbid = static_cast<Record&>(record).dbid;
        const auto it = std::find_if(state_->records.begin(), state_->records.end(),
                                     [dbid](const MemoryRecord& r) { return r.dbid == dbid; });
        if (it == state_->records.end())
            throw TrackerError(tracker_errors::NoSuchRecord, QString::number(dbid));
        state_->records.erase(it);
        ++state_->deletes;
    }
    QStringList ListDatabaseSets() override { return {QStringLiteral("Repo")}; }
    std::optional<std::vector<BTDatabaseInfo>> ListDatabases(const QString&, QString&, const QString&) override
    {
        return std::vector<BTDatabaseInfo>{{QStringLiteral("SAMPL")}};
    }
    void ParkRecord(BTRecord& record, const QString& reason) override
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->parkSupported)
            throw TrackerError(tracker_errors::NotSupported, QStringLiteral("parking records is not supported"));
        const qint32 dbid = static_cast<Record&>(record).dbid;
        for (MemoryRecord& r : state_->records) {
            if (r.dbid == dbid) {
                r.parked = true;
                r.parkedReason = reason;
                return;
            }
        }
        throw TrackerError(tracker_errors::NoSuchRecord, QString::number(dbid));
    }

private:
    void requireLogOn() const
    {
        if (!loggedOn_)
            throw TrackerError(tracker_errors::NotLoggedOn, QStringLiteral("not logged on"));
    }
    std::shared_ptr<MemoryTrackerState> state_;
    bool loggedOn_ = false;
};

class Admin : public BTAdminSession {
public:
    void AdminLogOn(const QString&, const QString&, const QString&) override {}
    QString AdminUserName() override { return QStringLiteral("admin"); }
};

} // namespace memory_tracker

class MemoryTrackerFactory : public TrackerFactory {
public:
    std::shared_ptr<MemoryTrackerState> state = std::make_shared<MemoryTrackerState>();
    std::unique_ptr<BTSession> CreateSession() override { return std::make_unique<memory_tracker::Session>(state); }
    std::unique_ptr<BTAdminSession> CreateAdminSession() override { return std::make_unique<memory_tracker::Admin>(); }
};

} // namespace swn::test
