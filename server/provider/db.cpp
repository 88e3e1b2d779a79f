#include "server/provider/db.h"

namespace provider {

Connection::~Connection()
{
    for (auto &entry : cache_)
        sqlite3_finalize(entry.second);
    sqlite3_close(db_);
}

void Connection::fail(int code) const
{
    throw DbError(code, std::string("sqlite: ") + sqlite3_errmsg(db_));
}

sqlite3_stmt *Connection::prepare(const char *sql)
{
    auto it = cache_.find(sql);
    if (it != cache_.end())
        return it->second;
    sqlite3_stmt *stmt = nullptr;
    const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK)
        fail(rc);
    cache_.emplace(sql, stmt);
    return stmt;
}

void Connection::exec(const char *sql)
{
    char *err = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        const std::string text = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        throw DbError(rc, "sqlite: " + text);
    }
}

Query::~Query()
{
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

Query &Query::bind(int index, int64_t value)
{
    const int rc = sqlite3_bind_int64(stmt_, index, value);
    if (rc != SQLITE_OK)
        conn_.fail(rc);
    return *this;
}

Query &Query::bind(int index, std::string_view text)
{
    const int rc =
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK)
        conn_.fail(rc);
    return *this;
}

Query &Query::bindNull(int index)
{
    const int rc = sqlite3_bind_null(stmt_, index);
    if (rc != SQLITE_OK)
        conn_.fail(rc);
    return *this;
}

bool Query::step()
{
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    conn_.fail(rc);
}

void Query::run()
{
    while (step()) {
    }
}

std::string Query::text(int column) const
{
    return std::string(view(column));
}

std::string_view Query::view(int column) const
{
    const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, column));
    if (!data)
        return {};
    return std::string_view(data, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

Transaction::Transaction(Connection &conn, Mode mode) : conn_(conn)
{
    conn_.exec(mode == Write ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction()
{
    if (open_) {
        try {
            conn_.exec("ROLLBACK");
        } catch (const DbError &) {
            // Nothing more can be done; SQLite has already rolled back on its own in that case.
        }
    }
}

void Transaction::commit()
{
    conn_.exec("COMMIT");
    open_ = false;
}

Lease::~Lease()
{
    if (conn_)
        db_.release(std::move(conn_));
}

namespace {

// Version 1: the whole first schema. Later versions append steps; applied ones never change.
const char *const kMigrations[] = {
    R"sql(
CREATE TABLE users(
    id INTEGER PRIMARY KEY,
    phone TEXT NOT NULL UNIQUE,
    password_hash TEXT NOT NULL,
    nickname TEXT NOT NULL,
    created_at INTEGER NOT NULL
);
CREATE TABLE tokens(
    token_hash TEXT PRIMARY KEY,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    expires_ms INTEGER NOT NULL
);
CREATE INDEX tokens_user ON tokens(user_id);
CREATE TABLE sms_codes(
    phone TEXT PRIMARY KEY,
    code TEXT NOT NULL,
    sent_ms INTEGER NOT NULL,
    expires_ms INTEGER NOT NULL,
    attempts INTEGER NOT NULL DEFAULT 0,
    used INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE plans(
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL,
    icon TEXT NOT NULL
);
CREATE TABLE groups(
    id INTEGER PRIMARY KEY,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    name TEXT NOT NULL,
    sort_order INTEGER NOT NULL,
    UNIQUE(user_id, name)
);
CREATE TABLE phones(
    id INTEGER PRIMARY KEY,
    cloud_phone_id INTEGER NOT NULL UNIQUE,
    device_id TEXT NOT NULL UNIQUE,
    owner_id INTEGER NOT NULL REFERENCES users(id),
    group_id INTEGER REFERENCES groups(id) ON DELETE SET NULL,
    name TEXT NOT NULL,
    phone_no INTEGER NOT NULL,
    instance_id INTEGER NOT NULL,
    billing_id INTEGER NOT NULL REFERENCES plans(id),
    end_time INTEGER NOT NULL,
    server_id TEXT NOT NULL,
    phone_image_id INTEGER NOT NULL,
    allow_renewal INTEGER NOT NULL
);
CREATE INDEX phones_owner ON phones(owner_id, group_id);
CREATE TABLE grants(
    id INTEGER PRIMARY KEY,
    phone_id INTEGER NOT NULL REFERENCES phones(id) ON DELETE CASCADE,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    strategy INTEGER NOT NULL,
    UNIQUE(phone_id, user_id)
);
CREATE INDEX grants_user ON grants(user_id);
CREATE TABLE change_orders(
    id INTEGER PRIMARY KEY,
    order_no TEXT NOT NULL UNIQUE,
    user_id INTEGER NOT NULL REFERENCES users(id),
    phone_id INTEGER NOT NULL REFERENCES phones(id) ON DELETE CASCADE,
    billing_id INTEGER NOT NULL,
    pay_channel TEXT NOT NULL,
    state INTEGER NOT NULL,
    old_device_id TEXT NOT NULL,
    new_device_id TEXT,
    created_at INTEGER NOT NULL,
    done_at INTEGER
);
CREATE INDEX change_orders_phone ON change_orders(phone_id);
CREATE TABLE meta(
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
)sql",
    // Version 2: login and SMS limits, which a restart must not clear.
    R"sql(
CREATE TABLE login_limits(
    key TEXT PRIMARY KEY,
    count INTEGER NOT NULL,
    window_start_ms INTEGER NOT NULL,
    locked_until_ms INTEGER NOT NULL
);
)sql",
    // Version 3: paid orders, each once per key its page sent.
    R"sql(
CREATE TABLE orders(
    id INTEGER PRIMARY KEY,
    order_no TEXT NOT NULL UNIQUE,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    order_key TEXT NOT NULL,
    kind TEXT NOT NULL,
    request TEXT NOT NULL,
    amount INTEGER NOT NULL,
    answer TEXT NOT NULL,
    created_at INTEGER NOT NULL,
    UNIQUE(user_id, order_key)
);
)sql",
    // Version 4: a generation in each phone's credentials, raised to void the ones issued before.
    R"sql(
ALTER TABLE phones ADD COLUMN generation INTEGER NOT NULL DEFAULT 1;
)sql",
};

} // namespace

Database::Database(std::string path, int busyTimeoutMs)
    : path_(std::move(path)), busyTimeoutMs_(busyTimeoutMs)
{
    auto conn = open();
    {
        Query check(*conn, "PRAGMA quick_check");
        if (!check.step() || check.text(0) != "ok")
            throw DbError(SQLITE_CORRUPT, "database check failed: " + path_);
    }
    migrate(*conn);
    release(std::move(conn));
}

Database::~Database()
{
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.clear();
}

std::unique_ptr<Connection> Database::open()
{
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(path_.c_str(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    auto conn = std::make_unique<Connection>(db);
    if (rc != SQLITE_OK)
        conn->fail(rc);
    sqlite3_busy_timeout(db, busyTimeoutMs_);
    sqlite3_extended_result_codes(db, 0);
    {
        Query wal(*conn, "PRAGMA journal_mode=WAL");
        if (!wal.step() || wal.text(0) != "wal")
            throw DbError(SQLITE_ERROR, "cannot switch to WAL mode: " + path_);
    }
    // NORMAL in WAL mode loses no committed transaction when the process dies; only a power
    // failure can cost the last ones, and never consistency.
    conn->exec("PRAGMA synchronous=NORMAL");
    conn->exec("PRAGMA foreign_keys=ON");
    return conn;
}

void Database::migrate(Connection &conn)
{
    int64_t version = 0;
    {
        Query q(conn, "PRAGMA user_version");
        if (q.step())
            version = q.i64(0);
    }
    const int64_t latest = static_cast<int64_t>(sizeof kMigrations / sizeof kMigrations[0]);
    if (version > latest)
        throw DbError(SQLITE_ERROR, "database was written by a newer provider (schema " +
                                        std::to_string(version) + "): " + path_);
    for (int64_t v = version; v < latest; ++v) {
        Transaction tx(conn, Transaction::Write);
        conn.exec(kMigrations[v]);
        conn.exec(("PRAGMA user_version=" + std::to_string(v + 1)).c_str());
        tx.commit();
    }
}

Lease Database::acquire()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!idle_.empty()) {
            auto conn = std::move(idle_.back());
            idle_.pop_back();
            return Lease(*this, std::move(conn));
        }
    }
    return Lease(*this, open());
}

void Database::release(std::unique_ptr<Connection> conn)
{
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(std::move(conn));
}

} // namespace provider
