#include "tracker/TrackerStore.h"

#include "common/Files.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace swn::tracker {

namespace {

const char* const kSetSchema =
    "CREATE TABLE IF NOT EXISTS users(login TEXT PRIMARY KEY, salt BLOB NOT NULL, hash BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS databases(name TEXT PRIMARY KEY, replicated INTEGER NOT NULL, site TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS subscriptions(login TEXT NOT NULL REFERENCES users(login),"
    " database TEXT NOT NULL REFERENCES databases(name), PRIMARY KEY(login, database));";

const char* const kDatabaseSchema =
    "CREATE TABLE IF NOT EXISTS record_types(name TEXT PRIMARY KEY);"
    "CREATE TABLE IF NOT EXISTS records(dbid INTEGER PRIMARY KEY AUTOINCREMENT, type TEXT NOT NULL,"
    " payload TEXT NOT NULL, mastership TEXT NOT NULL, parked_at TEXT, parked_reason TEXT);"
    "CREATE TABLE IF NOT EXISTS attachments(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " dbid INTEGER NOT NULL REFERENCES records(dbid) ON DELETE CASCADE, field TEXT NOT NULL,"
    " description TEXT NOT NULL, content BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS attachments_by_record ON attachments(dbid, field, id);"
    "CREATE TABLE IF NOT EXISTS database_identity(id TEXT NOT NULL);";

// The queue the relay reads, in dbid order: all sites, or one site of a replicated database.
// Parked records are left out of them, and each holds every column the queue's queries read
// (parked_at too, or the planner goes to the table for it), so a poll never reads the records
// themselves, nor their payloads, to find its rows. An index of one of these names made from
// another text is made again.
const struct {
    const char* name;
    const char* sql;
} kQueueIndexes[] = {
    {"records_queued", "CREATE INDEX records_queued ON records(type, dbid, mastership, parked_at) WHERE parked_at IS NULL"},
    {"records_queued_by_site",
     "CREATE INDEX records_queued_by_site ON records(type, mastership, dbid, parked_at) WHERE parked_at IS NULL"},
};
// The index of the first layout, which could not tell parked records from queued ones.
const char* const kRetiredIndex = "records_by_type";

QByteArray Hash(const QByteArray& salt, const QString& password)
{
    return QCryptographicHash::hash(salt + password.toUtf8(), QCryptographicHash::Sha256);
}

[[noreturn]] void Fail(int number, const QString& text) { throw TrackerError(number, text); }

QString ErrnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// The store holds the users' password hashes: its files are for their owner only.
void MakePrivate(const QString& path)
{
    if (::chmod(QFile::encodeName(path).constData(), S_IRUSR | S_IWUSR) != 0) {
        const int error = errno;
        Fail(tracker_errors::StoreFailure, QStringLiteral("%1: cannot make it private: %2").arg(path, ErrnoText(error)));
    }
}

bool HasColumn(Database& db, const char* table, const char* column)
{
    Statement q = db.prepare("SELECT 1 FROM pragma_table_info(?) WHERE name = ?");
    q.bind(1, QLatin1String(table)).bind(2, QLatin1String(column));
    return q.step();
}

bool HasCurrentIndexes(Database& db)
{
    Statement q = db.prepare("SELECT name, sql FROM sqlite_master WHERE type = 'index' AND tbl_name = 'records'");
    size_t current = 0;
    while (q.step()) {
        const QString name = q.text(0);
        if (name == QLatin1String(kRetiredIndex))
            return false;
        for (const auto& index : kQueueIndexes)
            if (name == QLatin1String(index.name)) {
                if (q.text(1) != QLatin1String(index.sql))
                    return false;
                ++current;
            }
    }
    return current == std::size(kQueueIndexes);
}

// Within the caller's transaction.
void MakeQueueIndexes(Database& db)
{
    db.exec((QByteArray("DROP INDEX IF EXISTS ") + kRetiredIndex).constData());
    for (const auto& index : kQueueIndexes) {
        db.exec((QByteArray("DROP INDEX IF EXISTS ") + index.name).constData());
        db.exec(index.sql);
    }
}

bool HasIdentity(Database& db)
{
    Statement q = db.prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'database_identity'");
    if (!q.step())
        return false;
    Statement row = db.prepare("SELECT 1 FROM database_identity");
    return row.step();
}

// Within the caller's transaction. Random, so that a database made again under the same name
// (or restored by making it anew) never passes for the one before it.
void MakeIdentity(Database& db)
{
    quint32 random[4];
    QRandomGenerator::system()->fillRange(random);
    db.exec("CREATE TABLE IF NOT EXISTS database_identity(id TEXT NOT NULL)");
    db.prepare("INSERT INTO database_identity(id) VALUES(?)")
        .bind(1, QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex()))
        .run();
}

// Files of earlier layouts lack the columns of parked records, the queue's indexes or the
// database's identity; they are added on open, under the write lock and checked again under it,
// so that two processes opening such a file at once add them once.
void UpgradeLayout(Database& db)
{
    if (HasColumn(db, "records", "parked_at") && HasCurrentIndexes(db) && HasIdentity(db))
        return;
    Transaction t(db);
    if (!HasColumn(db, "records", "parked_at")) {
        db.exec("ALTER TABLE records ADD COLUMN parked_at TEXT");
        db.exec("ALTER TABLE records ADD COLUMN parked_reason TEXT");
    }
    if (!HasCurrentIndexes(db))
        MakeQueueIndexes(db);
    if (!HasIdentity(db))
        MakeIdentity(db);
    t.commit();
}

[[noreturn]] void NoRecord(const Database& db, qint64 dbid)
{
    Fail(tracker_errors::NoSuchRecord, QStringLiteral("no %1 record %2 in %3").arg(QLatin1String(PostOfficeRecordType)).arg(dbid).arg(db.path()));
}

} // namespace

TrackerStore::TrackerStore(QString root) : root_(std::move(root)) {}

bool TrackerStore::IsValidName(const QString& name)
{
    // \z, not $: $ also matches before a final line break.
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z0-9_-]{1,64}\\z"));
    return pattern.match(name).hasMatch();
}

void TrackerStore::requireName(const QString& name, const char* what) const
{
    if (!IsValidName(name))
        Fail(tracker_errors::InvalidArgument,
             QStringLiteral("invalid %1 name '%2': use letters, digits, '_' and '-' only").arg(QLatin1String(what), name));
}

QString TrackerStore::setPath(const QString& set) const { return root_ + QLatin1Char('/') + set + QStringLiteral(".btset"); }

QString TrackerStore::databasePath(const QString& set, const QString& database) const
{
    return root_ + QLatin1Char('/') + set + QLatin1Char('.') + database + QStringLiteral(".btdb");
}

QStringList TrackerStore::databaseSets() const
{
    QStringList sets;
    for (const QString& file : QDir(root_).entryList({QStringLiteral("*.btset")}, QDir::Files, QDir::Name)) {
        const QString name = file.chopped(6);
        if (IsValidName(name))
            sets << name;
    }
    return sets;
}

Database TrackerStore::openSet(const QString& set) const
{
    if (!IsValidName(set) || !QFileInfo::exists(setPath(set)))
        Fail(tracker_errors::NoSuchDatabaseSet, QStringLiteral("database set '%1' does not exist").arg(set));
    return Database::Open(setPath(set), false, tracker_errors::StoreFailure);
}

std::optional<DatabaseEntry> TrackerStore::findDatabase(Database& setDb, const QString& database) const
{
    Statement q = setDb.prepare("SELECT name, replicated, site FROM databases WHERE name = ?");
    q.bind(1, database);
    if (!q.step())
        return std::nullopt;
    return DatabaseEntry{q.text(0), q.integer(1) != 0, q.text(2)};
}

bool TrackerStore::CheckPassword(Database& setDb, const QString& login, const QString& password)
{
    Statement q = setDb.prepare("SELECT salt, hash FROM users WHERE login = ?");
    q.bind(1, login);
    return q.step() && Hash(q.blob(0), password) == q.blob(1);
}

bool TrackerStore::IsSubscribed(Database& setDb, const QString& login, const QString& database)
{
    Statement q = setDb.prepare("SELECT 1 FROM subscriptions WHERE login = ? AND database = ?");
    q.bind(1, login).bind(2, database);
    return q.step();
}

QStringList TrackerStore::Subscriptions(Database& setDb, const QString& login)
{
    Statement q = setDb.prepare("SELECT database FROM subscriptions WHERE login = ? ORDER BY database");
    q.bind(1, login);
    QStringList names;
    while (q.step())
        names << q.text(0);
    return names;
}

Database TrackerStore::openDatabase(const QString& set, const QString& database) const
{
    const QString path = databasePath(set, database);
    if (!QFileInfo(path).isFile())
        Fail(tracker_errors::DatabaseNotAccessible, QStringLiteral("%1: no such file").arg(path));
    Database db = Database::Open(path, false, tracker_errors::DatabaseNotAccessible);
    try {
        db.prepare("SELECT count(*) FROM record_types").run();
        UpgradeLayout(db);
    } catch (const TrackerError& e) {
        Fail(tracker_errors::DatabaseNotAccessible, e.description());
    }
    return db;
}

Database TrackerStore::openExisting(const QString& set, const QString& database) const
{
    Database setDb = openSet(set);
    if (!findDatabase(setDb, database))
        Fail(tracker_errors::NoSuchDatabase, QStringLiteral("database '%1' does not exist in '%2'").arg(database, set));
    return openDatabase(set, database);
}

QString TrackerStore::Identity(Database& db)
{
    Statement q = db.prepare("SELECT id FROM database_identity LIMIT 1");
    if (!q.step())
        Fail(tracker_errors::StoreFailure, QStringLiteral("%1 has no identity").arg(db.path()));
    return q.text(0);
}

QString TrackerStore::identity(const QString& set, const QString& database)
{
    Database db = openExisting(set, database);
    return Identity(db);
}

void TrackerStore::ParkRecord(Database& db, qint64 dbid, const QString& reason)
{
    Transaction t(db);
    db.cached("UPDATE records SET parked_at = ?, parked_reason = ? WHERE dbid = ? AND type = ?")
        .bind(1, QDateTime::currentDateTimeUtc().toString(Qt::ISODate)).bind(2, reason).bind(3, dbid)
        .bind(4, QLatin1String(PostOfficeRecordType))
        .run();
    if (db.changes() != 1)
        NoRecord(db, dbid);
    t.commit();
}

namespace {

// One record and its attachments; false when there is no such record of the type.
bool DeleteOne(Database& db, qint64 dbid, const QString& type)
{
    db.cached("DELETE FROM records WHERE dbid = ? AND type = ?").bind(1, dbid).bind(2, type).run();
    if (db.changes() != 1)
        return false;
    // The foreign key removes them as well, but only on connections that enforce it.
    db.cached("DELETE FROM attachments WHERE dbid = ?").bind(1, dbid).run();
    return true;
}

} // namespace

void TrackerStore::DeleteRecord(Database& db, qint64 dbid)
{
    // The record and its attachments go together or not at all.
    Transaction t(db);
    if (!DeleteOne(db, dbid, QLatin1String(PostOfficeRecordType)))
        NoRecord(db, dbid);
    t.commit();
}

QList<qint64> TrackerStore::DeleteRecords(Database& db, const QString& type, const QList<qint64>& dbids)
{
    QList<qint64> missing;
    if (dbids.isEmpty())
        return missing;
    QSet<qint64> seen;
    Transaction t(db);
    for (const qint64 dbid : dbids) {
        if (seen.contains(dbid))
            continue;
        seen.insert(dbid);
        if (!DeleteOne(db, dbid, type))
            missing << dbid;
    }
    t.commit();
    return missing;
}

QByteArray TrackerStore::QueuePageSql(const std::vector<const char*>& columns, const std::vector<const char*>& conditions,
                                      int pageSize)
{
    // The dbid comes first whatever the columns: the next page starts after the last one.
    QByteArray sql = "SELECT dbid";
    for (const char* column : columns)
        sql += QByteArray(", ") + column;
    sql += " FROM records WHERE type = ?1 AND parked_at IS NULL";
    for (size_t i = 0; i < conditions.size(); ++i)
        sql += " AND " + QByteArray(conditions[i]) + " = ?" + QByteArray::number(qsizetype(i) + 4);
    sql += " AND dbid > ?2 AND dbid <= ?3 ORDER BY dbid LIMIT " + QByteArray::number(pageSize);
    return sql;
}

QByteArray TrackerStore::QueueCountSql(const std::vector<const char*>& conditions)
{
    QByteArray sql = "SELECT count(*) FROM records WHERE type = ?1 AND parked_at IS NULL";
    for (size_t i = 0; i < conditions.size(); ++i)
        sql += " AND " + QByteArray(conditions[i]) + " = ?" + QByteArray::number(qsizetype(i) + 4);
    sql += " AND dbid > ?2 AND dbid <= ?3";
    return sql;
}

void TrackerStore::createDatabaseSet(const QString& set)
{
    requireName(set, "database set");
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(root_).toStdString(), error);
    if (error)
        Fail(tracker_errors::StoreFailure,
             QStringLiteral("cannot create the folder %1: %2").arg(root_, QString::fromLocal8Bit(error.message().c_str())));
    if (QFileInfo::exists(setPath(set)))
        Fail(tracker_errors::InvalidArgument, QStringLiteral("database set '%1' exists already").arg(set));
    Database db = Database::Open(setPath(set), true, tracker_errors::StoreFailure);
    MakePrivate(setPath(set));
    Transaction t(db);
    db.exec(kSetSchema);
    t.commit();
}

void TrackerStore::createDatabase(const QString& set, const QString& database, bool replicated, const QString& site)
{
    requireName(database, "database");
    Database setDb = openSet(set);
    if (findDatabase(setDb, database))
        Fail(tracker_errors::InvalidArgument, QStringLiteral("database '%1' exists already in '%2'").arg(database, set));
    if (replicated && site.trimmed().isEmpty())
        Fail(tracker_errors::InvalidArgument, QStringLiteral("a replicated database needs its site name"));
    {
        Database db = Database::Open(databasePath(set, database), true, tracker_errors::StoreFailure);
        MakePrivate(databasePath(set, database));
        Transaction t(db);
        db.exec(kDatabaseSchema);
        MakeQueueIndexes(db);
        MakeIdentity(db);
        t.commit();
    }
    Transaction t(setDb);
    setDb.prepare("INSERT INTO databases(name, replicated, site) VALUES(?, ?, ?)")
        .bind(1, database).bind(2, qint64(replicated ? 1 : 0)).bind(3, replicated ? site : QString())
        .run();
    t.commit();
}

void TrackerStore::addUser(const QString& set, const QString& login, const QString& password,
                           const QStringList& databases)
{
    if (login.isEmpty() || login.contains(QLatin1Char('\n')))
        Fail(tracker_errors::InvalidArgument, QStringLiteral("invalid login '%1'").arg(login));
    Database setDb = openSet(set);
    for (const QString& database : databases)
        if (!findDatabase(setDb, database))
            Fail(tracker_errors::NoSuchDatabase, QStringLiteral("database '%1' does not exist in '%2'").arg(database, set));
    QByteArray salt(16, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(salt.data()), salt.size() / 4);
    Transaction t(setDb);
    setDb.prepare("INSERT INTO users(login, salt, hash) VALUES(?1, ?2, ?3)"
                  " ON CONFLICT(login) DO UPDATE SET salt = ?2, hash = ?3")
        .bind(1, login).bindBlob(2, salt).bindBlob(3, Hash(salt, password))
        .run();
    for (const QString& database : databases)
        setDb.prepare("INSERT OR IGNORE INTO subscriptions(login, database) VALUES(?, ?)")
            .bind(1, login).bind(2, database)
            .run();
    t.commit();
}

void TrackerStore::enablePostOffice(const QString& set, const QString& database)
{
    Database setDb = openSet(set);
    if (!findDatabase(setDb, database))
        Fail(tracker_errors::NoSuchDatabase, QStringLiteral("database '%1' does not exist in '%2'").arg(database, set));
    Database db = openDatabase(set, database);
    db.prepare("INSERT OR IGNORE INTO record_types(name) VALUES(?)").bind(1, QLatin1String(PostOfficeRecordType)).run();
}

qint64 TrackerStore::enqueue(const QString& set, const QString& database, const QString& payload,
                             const QList<NewAttachment>& attachments, const std::optional<QString>& site)
{
    return enqueueMany(set, database, {NewRecord{payload, attachments, site}}).value(0);
}

QList<qint64> TrackerStore::enqueueMany(const QString& set, const QString& database, const QList<NewRecord>& records)
{
    Database setDb = openSet(set);
    const std::optional<DatabaseEntry> entry = findDatabase(setDb, database);
    if (!entry)
        Fail(tracker_errors::NoSuchDatabase, QStringLiteral("database '%1' does not exist in '%2'").arg(database, set));
    Database db = openDatabase(set, database);
    {
        // Finished before the write begins: a statement left on a row keeps a read snapshot,
        // and a write cannot start from a snapshot another writer has moved past.
        Statement type = db.prepare("SELECT 1 FROM record_types WHERE name = ?");
        type.bind(1, QLatin1String(PostOfficeRecordType));
        if (!type.step())
            Fail(tracker_errors::NoSuchRecordType,
                 QStringLiteral("database '%1' is not enabled for the post office (run enable-postoffice)").arg(database));
    }
    QList<qint64> dbids;
    dbids.reserve(records.size());
    Transaction t(db);
    for (const NewRecord& record : records) {
        db.cached("INSERT INTO records(type, payload, mastership) VALUES(?, ?, ?)")
            .bind(1, QLatin1String(PostOfficeRecordType)).bind(2, record.payload).bind(3, record.site.value_or(entry->site))
            .run();
        const qint64 dbid = db.lastInsertId();
        for (const NewAttachment& a : record.attachments)
            db.cached("INSERT INTO attachments(dbid, field, description, content) VALUES(?, ?, ?, ?)")
                .bind(1, dbid).bind(2, QLatin1String(AttachmentsField)).bind(3, a.description).bindBlob(4, a.content)
                .run();
        dbids << dbid;
    }
    t.commit();
    return dbids;
}

QList<QueuedRecord> TrackerStore::list(const QString& set, const QString& database)
{
    Database db = openExisting(set, database);
    Statement q = db.prepare(
        "SELECT r.dbid, r.mastership, length(CAST(r.payload AS BLOB)),"
        " (SELECT count(*) FROM attachments a WHERE a.dbid = r.dbid), r.parked_at IS NOT NULL"
        " FROM records r WHERE r.type = ? ORDER BY r.dbid");
    q.bind(1, QLatin1String(PostOfficeRecordType));
    QList<QueuedRecord> records;
    while (q.step())
        records.append({q.integer(0), q.text(1), q.integer(2), int(q.integer(3)), q.integer(4) != 0});
    return records;
}

RecordDetails TrackerStore::show(const QString& set, const QString& database, qint64 dbid)
{
    Database db = openExisting(set, database);
    RecordDetails r;
    {
        Statement q = db.prepare("SELECT mastership, parked_at, parked_reason, payload FROM records WHERE dbid = ? AND type = ?");
        q.bind(1, dbid).bind(2, QLatin1String(PostOfficeRecordType));
        if (!q.step())
            NoRecord(db, dbid);
        r.dbid = dbid;
        r.site = q.text(0);
        const QString parkedAt = q.text(1);
        r.parked = !parkedAt.isNull();
        if (r.parked)
            r.parkedAt = QDateTime::fromString(parkedAt, Qt::ISODate);
        r.parkedReason = q.text(2);
        r.payload = q.text(3);
    }
    Statement a = db.prepare("SELECT description, length(content) FROM attachments WHERE dbid = ? ORDER BY id");
    a.bind(1, dbid);
    while (a.step())
        r.attachments.append({a.text(0), a.integer(1)});
    return r;
}

void TrackerStore::deleteRecord(const QString& set, const QString& database, qint64 dbid)
{
    Database db = openExisting(set, database);
    DeleteRecord(db, dbid);
}

void TrackerStore::requeue(const QString& set, const QString& database, qint64 dbid)
{
    Database db = openExisting(set, database);
    Requeue(db, dbid);
}

void TrackerStore::Requeue(Database& db, qint64 dbid)
{
    Transaction t(db);
    {
        Statement q = db.prepare("SELECT parked_at IS NOT NULL FROM records WHERE dbid = ? AND type = ?");
        q.bind(1, dbid).bind(2, QLatin1String(PostOfficeRecordType));
        if (!q.step())
            NoRecord(db, dbid);
        if (q.integer(0) == 0)
            Fail(tracker_errors::InvalidArgument, QStringLiteral("record %1 is queued already, not parked").arg(dbid));
    }
    // The queue is read in dbid order, so clearing the mark puts the record back where it was.
    db.prepare("UPDATE records SET parked_at = NULL, parked_reason = NULL WHERE dbid = ?").bind(1, dbid).run();
    t.commit();
}

QList<BTParkedRecord> TrackerStore::Parked(Database& db, const QString& type, bool withPayloads)
{
    Statement q = db.prepare(withPayloads
                                 ? "SELECT dbid, parked_reason, parked_at, payload FROM records"
                                   " WHERE type = ? AND parked_at IS NOT NULL ORDER BY dbid"
                                 : "SELECT dbid, parked_reason, parked_at, NULL FROM records"
                                   " WHERE type = ? AND parked_at IS NOT NULL ORDER BY dbid");
    q.bind(1, type);
    QList<BTParkedRecord> records;
    while (q.step())
        records.append({q.integer(0), q.text(1), QDateTime::fromString(q.text(2), Qt::ISODate), q.text(3)});
    return records;
}

QueueLock::~QueueLock() { release(); }

QString QueueLock::PathFor(const QString& databasePath) { return databasePath + QStringLiteral(".lock"); }

void QueueLock::release()
{
    if (fd_ >= 0)
        ::close(fd_);  // drops the lock
    fd_ = -1;
    path_.clear();
}

bool QueueLock::tryLock(const QString& lockPath, QString* holder)
{
    if (holder)
        holder->clear();
    if (fd_ >= 0 && path_ == lockPath)
        return true;
    release();
    // A lock on the open file, not a row: it cannot outlive its process, and a second open of
    // the file (another session of this process) is refused just like another process.
    int error = 0;
    const int fd = TryLockFile(lockPath, holder, &error);
    if (fd == -1)
        return false;
    if (fd < 0)
        Fail(tracker_errors::StoreFailure, QStringLiteral("%1: cannot take the poll lock: %2").arg(lockPath, ErrnoText(error)));
    fd_ = fd;
    path_ = lockPath;
    return true;
}

} // namespace swn::tracker
