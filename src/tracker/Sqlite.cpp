#include "tracker/Sqlite.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

#include <sqlite3.h>

namespace swn::tracker {

namespace {

// SQLite refuses a path with a symbolic link anywhere on it when asked not to follow links, so
// the folders are resolved first: a tracker folder reached through a link stays usable, while a
// database file that is itself a link is still refused.
QString ResolveFolders(const QString& path)
{
    const QFileInfo info(path);
    const QString folder = info.absolutePath();
    const QString real = QFileInfo(folder).canonicalFilePath();
    return (real.isEmpty() ? folder : real) + QLatin1Char('/') + info.fileName();
}

QString SystemReason(sqlite3* db)
{
    const int error = db ? sqlite3_system_errno(db) : 0;
    return error ? QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(std::strerror(error))) : QString();
}

} // namespace

Database Database::Open(const QString& path, bool create, int errorNumber)
{
    Database d;
    d.path_ = ResolveFolders(path);
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOFOLLOW;
    const int rc = sqlite3_open_v2(QFile::encodeName(d.path_).constData(), &d.db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        QString why;
        if (d.db_ && sqlite3_extended_errcode(d.db_) == SQLITE_CANTOPEN_SYMLINK)
            why = QStringLiteral("the database file is a symbolic link, which the tracker does not follow");
        else
            why = (d.db_ ? QString::fromUtf8(sqlite3_errmsg(d.db_)) : QString::fromUtf8(sqlite3_errstr(rc)))
                + SystemReason(d.db_);
        sqlite3_close(d.db_);
        d.db_ = nullptr;
        throw TrackerError(errorNumber, QStringLiteral("%1: %2").arg(d.path_, why));
    }
    sqlite3_extended_result_codes(d.db_, 1);
    sqlite3_busy_timeout(d.db_, DefaultTrackerBusyTimeoutMs);
    try {
        // WAL mode lets readers and one writer work at once; it stays with the file, and switching
        // needs the file to itself, so only its creator asks for it.
        if (create)
            d.exec("PRAGMA journal_mode=WAL");
        // Reading the schema also proves the file is a database at all.
        d.exec("SELECT count(*) FROM sqlite_master");
        d.exec("PRAGMA foreign_keys=ON");
        // FULL: every commit is on the disk before it returns. In WAL mode NORMAL survives a
        // killed process but can lose the last commits to a power cut, and then a queued mail
        // is gone, or a record the relay delivered and deleted (its notes forgotten) comes back
        // and goes out twice. The cost is one fsync per commit: many records are best queued
        // or deleted in one transaction (enqueueMany, DeleteRecordsByKey).
        d.exec("PRAGMA synchronous=FULL");
        // Where the library is built to overwrite everything it frees, a delivered record's
        // deletion writes each of its pages again; FAST still clears what it can without more
        // writes. The file is its owner's alone, and freed pages are soon used again.
        d.exec("PRAGMA secure_delete=FAST");
    } catch (const TrackerError& e) {
        throw TrackerError(errorNumber, e.description());
    }
    return d;
}

Database::Database(Database&& other) noexcept
    : db_(other.db_), path_(std::move(other.path_)), cache_(std::move(other.cache_))
{
    other.db_ = nullptr;
    other.cache_.clear();
}

Database& Database::operator=(Database&& other) noexcept
{
    if (this != &other) {
        finalizeCache();
        sqlite3_close_v2(db_);
        db_ = other.db_;
        path_ = std::move(other.path_);
        cache_ = std::move(other.cache_);
        other.db_ = nullptr;
        other.cache_.clear();
    }
    return *this;
}

Database::~Database()
{
    finalizeCache();
    sqlite3_close_v2(db_);
}

void Database::finalizeCache()
{
    for (auto& [sql, statements] : cache_)
        for (sqlite3_stmt* stmt : statements)
            sqlite3_finalize(stmt);
    cache_.clear();
}

void Database::setBusyTimeout(int ms) { sqlite3_busy_timeout(db_, ms); }

QString Database::reason(const char* message) const
{
    QString why = QString::fromUtf8(message ? message : sqlite3_errmsg(db_)) + SystemReason(db_);
    if ((sqlite3_extended_errcode(db_) & 0xff) == SQLITE_BUSY)
        why += QStringLiteral(" (another writer held it past the busy time-out)");
    return why;
}

void Database::fail(const char* what) const
{
    throw TrackerError(tracker_errors::StoreFailure,
                       QStringLiteral("%1: %2: %3").arg(path_, QString::fromUtf8(what).simplified().left(60), reason()));
}

void Database::exec(const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const QString why = reason(error);
        sqlite3_free(error);
        throw TrackerError(tracker_errors::StoreFailure,
                           QStringLiteral("%1: %2: %3").arg(path_, QString::fromUtf8(sql).simplified().left(60), why));
    }
}

Statement Database::prepare(const char* sql)
{
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK)
        fail(sql);
    return Statement(*this, stmt);
}

Statement Database::cached(const char* sql)
{
    const auto idle = cache_.find(sql);
    if (idle != cache_.end() && !idle->second.empty()) {
        sqlite3_stmt* stmt = idle->second.back();
        idle->second.pop_back();
        return Statement(*this, stmt, true);
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
        fail(sql);
    return Statement(*this, stmt, true);
}

void Database::giveBack(sqlite3_stmt* stmt) noexcept
{
    // Reset first: a statement left on a row would keep its read snapshot and hold up writers.
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    try {
        cache_[sqlite3_sql(stmt)].push_back(stmt);
    } catch (...) {
        sqlite3_finalize(stmt);
    }
}

bool Database::readBlob(const char* table, const char* column, qint64 rowid,
                        const std::function<void(const char* data, int size)>& sink)
{
    sqlite3_blob* blob = nullptr;
    if (sqlite3_blob_open(db_, "main", table, column, rowid, 0, &blob) != SQLITE_OK) {
        sqlite3_blob_close(blob);
        // The only way the call says the row is missing.
        if (std::strncmp(sqlite3_errmsg(db_), "no such rowid", 13) == 0)
            return false;
        fail("read");
    }
    struct Close {
        sqlite3_blob* blob;
        ~Close() { sqlite3_blob_close(blob); }
    } close{blob};
    const int size = sqlite3_blob_bytes(blob);
    QByteArray piece(std::min(size, 1 << 18), Qt::Uninitialized);
    for (int offset = 0; offset < size;) {
        const int n = std::min(int(piece.size()), size - offset);
        if (sqlite3_blob_read(blob, piece.data(), n, offset) != SQLITE_OK)
            fail("read");
        sink(piece.constData(), n);
        offset += n;
    }
    return true;
}

qint64 Database::lastInsertId() const { return sqlite3_last_insert_rowid(db_); }
int Database::changes() const { return sqlite3_changes(db_); }

Statement::~Statement()
{
    if (!stmt_)
        return;
    if (cached_)
        db_->giveBack(stmt_);
    else
        sqlite3_finalize(stmt_);
}

bool Statement::isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

Statement& Statement::bind(int index, const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    if (sqlite3_bind_text(stmt_, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        db_->fail("bind");
    return *this;
}

Statement& Statement::bind(int index, qint64 value)
{
    if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK)
        db_->fail("bind");
    return *this;
}

Statement& Statement::bindBlob(int index, const QByteArray& bytes)
{
    if (sqlite3_bind_blob64(stmt_, index, bytes.constData(), sqlite3_uint64(bytes.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        db_->fail("bind");
    return *this;
}

bool Statement::step()
{
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    db_->fail(sqlite3_sql(stmt_));
}

void Statement::run()
{
    while (step()) {
    }
}

qint64 Statement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }

QString Statement::text(int column) const
{
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return p ? QString::fromUtf8(p, sqlite3_column_bytes(stmt_, column)) : QString();
}

QByteArray Statement::blob(int column) const
{
    const void* p = sqlite3_column_blob(stmt_, column);
    return p ? QByteArray(static_cast<const char*>(p), sqlite3_column_bytes(stmt_, column)) : QByteArray();
}

Transaction::Transaction(Database& db) : db_(db) { db_.cached("BEGIN IMMEDIATE").run(); }

Transaction::~Transaction()
{
    if (!done_) {
        try {
            db_.cached("ROLLBACK").run();
        } catch (...) {
        }
    }
}

void Transaction::commit()
{
    db_.cached("COMMIT").run();
    done_ = true;
}

} // namespace swn::tracker
