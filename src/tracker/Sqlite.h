#pragma once
// A thin owner of SQLite handles: every failure becomes a TrackerError with the store's own text.
#include "tracker/TrackerSession.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace swn::tracker {

class Statement;

class Database {
public:
    // `create`: make the file when it is missing. Opening sets WAL mode, a busy time-out and
    // foreign keys, so the relay and the admin tool can use the files at the same time. The file
    // itself must not be a symbolic link; the folders on its path may be.
    static Database Open(const QString& path, bool create, int errorNumber);
    Database() = default;
    Database(Database&& other) noexcept;
    Database& operator=(Database&& other) noexcept;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database();

    bool isOpen() const { return db_ != nullptr; }
    const QString& path() const { return path_; }
    // How long a statement waits for another writer before it fails with "database is locked".
    void setBusyTimeout(int ms);
    void exec(const char* sql);
    Statement prepare(const char* sql);
    // Like prepare, but the statement is kept when the Statement goes and handed out again for
    // the same text, reset and unbound: for the statements that run once per record.
    Statement cached(const char* sql);
    // Streams the blob in `column` of the row `rowid` of `table` to `sink` in pieces, so that
    // no more than one piece is in memory; `sink` may throw. False when there is no such row.
    bool readBlob(const char* table, const char* column, qint64 rowid,
                  const std::function<void(const char* data, int size)>& sink);
    qint64 lastInsertId() const;
    int changes() const;
    // Throws StoreFailure naming the file, the step and SQLite's reason (with errno text when
    // the system refused something).
    [[noreturn]] void fail(const char* what) const;
    // SQLite's text for the last failure (or `message`), with errno text and busy time-out note.
    QString reason(const char* message = nullptr) const;

private:
    friend class Statement;
    void giveBack(sqlite3_stmt* stmt) noexcept;
    void finalizeCache();

    sqlite3* db_ = nullptr;
    QString path_;
    // Idle prepared statements by their text; one in use is out of the map until it is given back.
    std::unordered_map<std::string, std::vector<sqlite3_stmt*>> cache_;
};

class Statement {
public:
    Statement(Database& db, sqlite3_stmt* stmt, bool cached = false) : db_(&db), stmt_(stmt), cached_(cached) {}
    Statement(Statement&& other) noexcept : db_(other.db_), stmt_(other.stmt_), cached_(other.cached_)
    {
        other.stmt_ = nullptr;
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement();

    Statement& bind(int index, const QString& text);
    Statement& bind(int index, qint64 value);
    Statement& bindBlob(int index, const QByteArray& bytes);
    // True while a row is available.
    bool step();
    // Runs a statement that returns no rows.
    void run();
    qint64 integer(int column) const;
    QString text(int column) const;
    QByteArray blob(int column) const;
    bool isNull(int column) const;

private:
    Database* db_;
    sqlite3_stmt* stmt_;
    bool cached_;
};

// BEGIN IMMEDIATE ... COMMIT; rolled back unless committed.
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();
    void commit();

private:
    Database& db_;
    bool done_ = false;
};

} // namespace swn::tracker
