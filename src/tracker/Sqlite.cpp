#include "tracker/Sqlite.h"

#include <QFile>
#include <QFileInfo>

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
        d.exec("PRAGMA synchronous=NORMAL");
    } catch (const TrackerError& e) {
        throw TrackerError(errorNumber, e.description());
    }
    return d;
}

Database::Database(Database&& other) noexcept : db_(other.db_), path_(std::move(other.path_)) { other.db_ = nullptr; }

Database& Database::operator=(Database&& other) noexcept
{
    if (this != &other) {
        sqlite3_close_v2(db_);
        db_ = other.db_;
        path_ = std::move(other.path_);
        other.db_ = nullptr;
    }
    return *this;
}

Database::~Database() { sqlite3_close_v2(db_); }

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

qint64 Database::lastInsertId() const { return sqlite3_last_insert_rowid(db_); }
int Database::changes() const { return sqlite3_changes(db_); }

Statement::~Statement() { sqlite3_finalize(stmt_); }

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

Transaction::Transaction(Database& db) : db_(db) { db_.exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction()
{
    if (!done_) {
        try {
            db_.exec("ROLLBACK");
        } catch (...) {
        }
    }
}

void Transaction::commit()
{
    db_.exec("COMMIT");
    done_ = true;
}

} // namespace swn::tracker
