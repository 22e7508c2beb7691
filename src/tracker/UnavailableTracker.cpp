#include "tracker/UnavailableTracker.h"

namespace swn {
namespace {

class UnavailableSession : public BTSession {
public:
    explicit UnavailableSession(QString reason) : reason_(std::move(reason)) {}
    [[noreturn]] void fail() const { throw TrackerError(tracker_errors::Unavailable, reason_); }
    void LogOn(const QString&, const QString&, const QString&, int, const QString&) override { fail(); }
    QStringList RecordTypeNames() override { fail(); }
    std::unique_ptr<BTQuery> NewQuery(const QString&) override { fail(); }
    bool IsReplicated() override { fail(); }
    QString LocalSiteName() override { fail(); }
    std::unique_ptr<BTResultSet> OpenResultSet(BTQuery&) override { fail(); }
    std::unique_ptr<BTRecord> RecordByKey(const QString&, const QVariant&) override { fail(); }
    void DeleteRecord(BTRecord&, const QString&) override { fail(); }
    QList<qint64> DeleteRecordsByKey(const QString&, const QList<qint64>&) override { fail(); }
    QStringList ListDatabaseSets() override { fail(); }
    std::optional<std::vector<BTDatabaseInfo>> ListDatabases(const QString&, QString&, const QString&) override { fail(); }
    bool TryLockQueue(QString*) override { fail(); }
    void ParkRecord(BTRecord&, const QString&) override { fail(); }
    // A setting, not a call to the tracker: there is nothing to refuse.
    void SetBusyTimeout(int) override {}
private:
    QString reason_;
};

class UnavailableAdminSession : public BTAdminSession {
public:
    explicit UnavailableAdminSession(QString reason) : reason_(std::move(reason)) {}
    void AdminLogOn(const QString&, const QString&, const QString&) override
    {
        throw TrackerError(tracker_errors::Unavailable, reason_);
    }
    QString AdminUserName() override { throw TrackerError(tracker_errors::Unavailable, reason_); }
private:
    QString reason_;
};

} // namespace

UnavailableTrackerFactory::UnavailableTrackerFactory(QString reason) : reason_(std::move(reason)) {}

std::unique_ptr<BTSession> UnavailableTrackerFactory::CreateSession()
{
    return std::make_unique<UnavailableSession>(reason_);
}

std::unique_ptr<BTAdminSession> UnavailableTrackerFactory::CreateAdminSession()
{
    return std::make_unique<UnavailableAdminSession>(reason_);
}

} // namespace swn
