#include "server/store.h"

#include <sqlite3.h>

namespace server {

namespace {

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &st_, nullptr); }
    ~Statement() { sqlite3_finalize(st_); }
    bool ok() const { return st_ != nullptr; }
    Statement& bind(int at, const std::string& v) {
        sqlite3_bind_text(st_, at, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int at, int64_t v) {
        sqlite3_bind_int64(st_, at, v);
        return *this;
    }
    int step() { return sqlite3_step(st_); }
    std::string text(int col) const {
        const unsigned char* t = sqlite3_column_text(st_, col);
        return t ? reinterpret_cast<const char*>(t) : "";
    }

private:
    sqlite3_stmt* st_ = nullptr;
};

std::string why(sqlite3* db) { return db ? sqlite3_errmsg(db) : "out of memory"; }

}  // namespace

std::unique_ptr<LinkStore> LinkStore::open(const std::string& path, std::string* error) {
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        *error = "cannot open the store " + path + ": " + why(db);
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<LinkStore> store(new LinkStore(db));
    sqlite3_busy_timeout(db, 5000);
    std::string detail;
    if (!store->exec("PRAGMA journal_mode=WAL", &detail) || !store->exec("PRAGMA synchronous=FULL", &detail) ||
        !store->exec("CREATE TABLE IF NOT EXISTS links ("
                     " player_id TEXT PRIMARY KEY,"
                     " client_id TEXT NOT NULL UNIQUE,"
                     " linked_at_ms INTEGER NOT NULL)",
                     &detail)) {
        *error = "cannot use the store " + path + ": " + detail;
        return nullptr;
    }
    return store;
}

LinkStore::~LinkStore() { sqlite3_close(db_); }

bool LinkStore::exec(const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    *error = message ? message : why(db_);
    sqlite3_free(message);
    return false;
}

bool LinkStore::load(std::vector<Link>* out, std::string* error) {
    Statement st(db_, "SELECT player_id, client_id FROM links ORDER BY linked_at_ms");
    if (!st.ok()) {
        *error = why(db_);
        return false;
    }
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) out->push_back({st.text(0), st.text(1)});
    if (rc != SQLITE_DONE) *error = why(db_);
    return rc == SQLITE_DONE;
}

bool LinkStore::put(const Link& link, int64_t linked_at_ms, std::string* error) {
    if (!exec("BEGIN IMMEDIATE", error)) return false;
    bool ok;
    {
        Statement drop(db_, "DELETE FROM links WHERE player_id = ?1 OR client_id = ?2");
        Statement add(db_, "INSERT INTO links (player_id, client_id, linked_at_ms) VALUES (?1, ?2, ?3)");
        ok = drop.ok() && add.ok() && drop.bind(1, link.player_id).bind(2, link.client_id).step() == SQLITE_DONE &&
             add.bind(1, link.player_id).bind(2, link.client_id).bind(3, linked_at_ms).step() == SQLITE_DONE;
    }
    if (!ok) {
        *error = why(db_);
        std::string ignored;
        exec("ROLLBACK", &ignored);
        return false;
    }
    if (exec("COMMIT", error)) return true;
    std::string ignored;
    exec("ROLLBACK", &ignored);
    return false;
}

bool LinkStore::remove_player(const std::string& player_id, bool* removed, std::string* error) {
    Statement st(db_, "DELETE FROM links WHERE player_id = ?1");
    if (!st.ok() || st.bind(1, player_id).step() != SQLITE_DONE) {
        *error = why(db_);
        return false;
    }
    *removed = sqlite3_changes(db_) > 0;
    return true;
}

}  // namespace server
