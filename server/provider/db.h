#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace provider {

class DbError : public std::runtime_error
{
public:
    DbError(int code, const std::string &what) : std::runtime_error(what), code_(code) {}
    // The database stayed locked by another writer for longer than the busy timeout.
    bool busy() const { return code_ == SQLITE_BUSY || code_ == SQLITE_LOCKED; }
    int code() const { return code_; }

private:
    int code_;
};

// One SQLite connection with its prepared statements. Used by one thread at a time (the pool
// hands it out exclusively).
class Connection
{
public:
    explicit Connection(sqlite3 *db) : db_(db) {}
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    sqlite3_stmt *prepare(const char *sql);
    void exec(const char *sql);
    int64_t lastInsertId() const { return sqlite3_last_insert_rowid(db_); }
    int changes() const { return sqlite3_changes(db_); }
    [[noreturn]] void fail(int code) const;

private:
    sqlite3 *db_;
    std::unordered_map<std::string, sqlite3_stmt *> cache_;
};

// A cached prepared statement in use; resets it and drops its bindings when done.
class Query
{
public:
    Query(Connection &conn, const char *sql) : conn_(conn), stmt_(conn.prepare(sql)) {}
    ~Query();
    Query(const Query &) = delete;
    Query &operator=(const Query &) = delete;

    Query &bind(int index, int64_t value);
    Query &bind(int index, int value) { return bind(index, static_cast<int64_t>(value)); }
    Query &bind(int index, std::string_view text);
    Query &bind(int index, const char *text) { return bind(index, std::string_view(text)); }
    Query &bind(int index, const std::string &text) { return bind(index, std::string_view(text)); }
    Query &bindNull(int index);

    // True while there is a row to read.
    bool step();
    // Runs a statement that returns no rows.
    void run();

    int64_t i64(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string text(int column) const;
    std::string_view view(int column) const;
    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

private:
    Connection &conn_;
    sqlite3_stmt *stmt_;
};

// BEGIN IMMEDIATE for writers, so two writers queue on the busy timeout instead of failing
// when a read lock would have to be upgraded. Rolls back unless committed.
class Transaction
{
public:
    enum Mode
    {
        Read,
        Write
    };
    Transaction(Connection &conn, Mode mode);
    ~Transaction();
    void commit();

private:
    Connection &conn_;
    bool open_ = true;
};

class Database;

class Lease
{
public:
    Lease(Database &db, std::unique_ptr<Connection> conn) : db_(db), conn_(std::move(conn)) {}
    ~Lease();
    Lease(Lease &&) = default;
    Connection &operator*() { return *conn_; }
    Connection *operator->() { return conn_.get(); }

private:
    Database &db_;
    std::unique_ptr<Connection> conn_;
};

// Pool of connections to one database file in WAL mode.
class Database
{
public:
    // Opens (creating if needed), checks and migrates the file. Throws DbError.
    explicit Database(std::string path, int busyTimeoutMs = 5000);
    ~Database();

    // Any thread; takes the pool lock briefly.
    Lease acquire();
    void release(std::unique_ptr<Connection> conn);

private:
    std::unique_ptr<Connection> open();
    void migrate(Connection &conn);

    std::string path_;
    int busyTimeoutMs_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Connection>> idle_;
};

} // namespace provider
