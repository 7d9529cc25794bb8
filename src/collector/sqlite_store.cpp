#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "collector/sqlite_schema.h"
#include "collector/store.h"

namespace {

// Documents removed per transaction by retention; each holds up to a few thousand records.
constexpr int64_t kRetentionBatch = 200;

// Creates the file `path` for its owner only when it is not there: SQLite gives its -wal and
// -shm files the database's permissions, so the devices' addresses stay the owner's.
void createPrivately(const std::string& path) {
    if (path.empty() || path[0] == ':' || path.rfind("file:", 0) == 0) return;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
}

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;
struct DatabaseDeleter {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};

class SqliteStore : public Store {
public:
    explicit SqliteStore(const std::string& path) {
        createPrivately(path);
        sqlite3* db = nullptr;
        int status = sqlite3_open_v2(
            path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
            nullptr);
        db_.reset(db);
        if (status != SQLITE_OK) fail("cannot open " + path);
        sqlite3_busy_timeout(db, 5000);
        exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;");
        migrate();
    }

    bool add(const std::string& router, const Document& document, int64_t received) override {
        std::lock_guard<std::mutex> hold(lock_);
        bool added = false;
        transaction([&] { added = insert(router, document, received); });
        return added;
    }

    void addToken(const std::string& router, const std::string& hash, int64_t created) override {
        std::lock_guard<std::mutex> hold(lock_);
        Statement s = prepare("INSERT INTO tokens(hash, router, created) VALUES(?1, ?2, ?3)");
        bindText(s, 1, hash);
        bindText(s, 2, router);
        sqlite3_bind_int64(s.get(), 3, created);
        step(s);
    }

    std::vector<TokenState> tokens() override {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<TokenState> list;
        // The latest document by the (router, at) index: one step per token.
        Statement s = prepare(
            "SELECT router, COALESCE(created, -1), (SELECT time FROM documents d"
            " WHERE d.router = t.router ORDER BY at DESC LIMIT 1) FROM tokens t"
            " ORDER BY router, COALESCE(created, -1)");
        while (step(s) == SQLITE_ROW) {
            list.push_back(
                TokenState{column(s, 0), sqlite3_column_int64(s.get(), 1), column(s, 2)});
        }
        return list;
    }

    int64_t revokeTokens(const std::string& router) override {
        std::lock_guard<std::mutex> hold(lock_);
        Statement s = prepare("DELETE FROM tokens WHERE router = ?1");
        bindText(s, 1, router);
        step(s);
        return sqlite3_changes(db_.get());
    }

    std::optional<std::string> routerOf(const std::string& hash) override {
        std::lock_guard<std::mutex> hold(lock_);
        Statement s = prepare("SELECT hash, router FROM tokens WHERE hash = ?1");
        bindText(s, 1, hash);
        if (step(s) != SQLITE_ROW || !sameText(column(s, 0), hash)) return std::nullopt;
        return column(s, 1);
    }

    std::vector<RouterState> routers() override {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<RouterState> states;
        Statement names = prepare("SELECT DISTINCT router FROM tokens ORDER BY router");
        while (step(names) == SQLITE_ROW) {
            states.emplace_back();
            states.back().router = column(names, 0);
        }
        for (RouterState& state : states) {
            Statement s = prepare(
                "SELECT hostname, time, at, received, COALESCE(devices, records) FROM documents"
                " WHERE router = ?1 ORDER BY at DESC LIMIT 2");
            bindText(s, 1, state.router);
            if (step(s) != SQLITE_ROW) continue;
            state.hostname = column(s, 0);
            state.last = column(s, 1);
            state.lastAt = sqlite3_column_int64(s.get(), 2);
            state.received = sqlite3_column_int64(s.get(), 3);
            state.devices = sqlite3_column_int64(s.get(), 4);
            if (step(s) == SQLITE_ROW) state.previousAt = sqlite3_column_int64(s.get(), 2);
        }
        return states;
    }

    std::vector<Point> series(const SeriesQuery& query) override {
        std::vector<Point> points;
        eachPoint(query, [&](const Point& p) {
            points.push_back(p);
            return true;
        });
        return points;
    }

    void eachPoint(const SeriesQuery& query,
                   const std::function<bool(const Point&)>& each) override {
        std::lock_guard<std::mutex> hold(lock_);
        // Two texts, so that each reads its own index: (router, at) or (at).
        std::string sql = query.router ? "SELECT router, time, at, COALESCE(devices, records),"
                                         " clock_time FROM documents WHERE router = ?3"
                                         " AND at >= ?1 AND at <= ?2 ORDER BY at"
                                       : "SELECT router, time, at, COALESCE(devices, records),"
                                         " clock_time FROM documents WHERE at >= ?1"
                                         " AND at <= ?2 ORDER BY at, router";
        if (query.limit > 0) sql += " LIMIT " + std::to_string(query.limit);
        Statement s = prepare(sql);
        sqlite3_bind_int64(s.get(), 1, query.from);
        sqlite3_bind_int64(s.get(), 2, query.to);
        if (query.router) bindText(s, 3, *query.router);
        while (step(s) == SQLITE_ROW) {
            if (!each(Point{column(s, 0), column(s, 1), sqlite3_column_int64(s.get(), 2),
                            sqlite3_column_int64(s.get(), 3), column(s, 4), std::nullopt})) {
                return;
            }
        }
    }

    // In batches of documents, each its own transaction with the lock released between them
    // (and a pause, as a mutex hands itself to no waiter): a day of a fleet's records is
    // deleted while the requests go on.
    void dropBefore(int64_t day) override {
        for (bool more = true; more;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::lock_guard<std::mutex> hold(lock_);
            transaction([&] {
                const char* batch =
                    "(SELECT id FROM documents WHERE at < ?1 ORDER BY at, id LIMIT ?2)";
                Statement records =
                    prepare(std::string("DELETE FROM records WHERE doc IN ") + batch);
                Statement documents =
                    prepare(std::string("DELETE FROM documents WHERE id IN ") + batch);
                for (Statement* s : {&records, &documents}) {
                    sqlite3_bind_int64(s->get(), 1, day * 86400);
                    sqlite3_bind_int64(s->get(), 2, kRetentionBatch);
                    step(*s);
                }
                more = sqlite3_changes(db_.get()) > 0;
            });
        }
    }

    std::vector<HeardWindow> heard(const std::string& router, int64_t from, int64_t to) override {
        std::lock_guard<std::mutex> hold(lock_);
        // The document before the range: its time, and its own time (see kHeard).
        Statement before = prepare(
            "SELECT at, COALESCE(CAST(strftime('%s', clock_time) AS INTEGER), at) FROM documents"
            " WHERE router = ?1 AND at < ?2 ORDER BY at DESC, id DESC LIMIT 1");
        bindText(before, 1, router);
        sqlite3_bind_int64(before.get(), 2, from);
        bool previous = step(before) == SQLITE_ROW;
        Statement s = prepare(kHeard);
        bindText(s, 1, router);
        sqlite3_bind_int64(s.get(), 2, from);
        sqlite3_bind_int64(s.get(), 3, to);
        if (previous) {
            sqlite3_bind_int64(s.get(), 4, sqlite3_column_int64(before.get(), 0));
            sqlite3_bind_int64(s.get(), 5, sqlite3_column_int64(before.get(), 1));
        }
        std::vector<HeardWindow> windows;
        int64_t id = -1;
        while (step(s) == SQLITE_ROW) {
            if (sqlite3_column_int64(s.get(), 0) != id) {
                id = sqlite3_column_int64(s.get(), 0);
                windows.emplace_back();
                HeardWindow& w = windows.back();
                w.at = sqlite3_column_int64(s.get(), 1);
                w.start = optionalInt(s, 2);
                w.devices = optionalInt(s, 3);
                w.records = sqlite3_column_int64(s.get(), 4);
            }
            if (auto signal = optionalInt(s, 5)) windows.back().signals.push_back(*signal);
        }
        return windows;
    }

    bool setCalibration(const std::string& router,
                        const std::optional<Calibration>& calibration) override {
        std::lock_guard<std::mutex> hold(lock_);
        bool had = false;
        transaction([&] {
            Statement drop = prepare("DELETE FROM calibrations WHERE router = ?1");
            bindText(drop, 1, router);
            step(drop);
            had = sqlite3_changes(db_.get()) > 0;
            if (!calibration) return;
            const Calibration& c = *calibration;
            Statement s = prepare(
                "INSERT INTO calibrations(router, made, recount, floor, a, b, r, error, counts)"
                " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
            bindText(s, 1, router);
            sqlite3_bind_int64(s.get(), 2, c.made);
            sqlite3_bind_int(s.get(), 3, c.recount ? 1 : 0);
            if (c.floor) sqlite3_bind_int64(s.get(), 4, *c.floor);
            sqlite3_bind_double(s.get(), 5, c.a);
            sqlite3_bind_double(s.get(), 6, c.b);
            if (c.r) sqlite3_bind_double(s.get(), 7, *c.r);
            sqlite3_bind_double(s.get(), 8, c.error);
            sqlite3_bind_int64(s.get(), 9, c.counts);
            step(s);
        });
        return had;
    }

    std::vector<std::pair<std::string, Calibration>> calibrations() override {
        std::lock_guard<std::mutex> hold(lock_);
        Statement s = prepare(
            "SELECT router, made, recount, floor, a, b, r, error, counts FROM calibrations"
            " ORDER BY router");
        std::vector<std::pair<std::string, Calibration>> found;
        while (step(s) == SQLITE_ROW) {
            Calibration c;
            c.made = sqlite3_column_int64(s.get(), 1);
            c.recount = sqlite3_column_int(s.get(), 2) != 0;
            c.floor = optionalInt(s, 3);
            c.a = sqlite3_column_double(s.get(), 4);
            c.b = sqlite3_column_double(s.get(), 5);
            if (sqlite3_column_type(s.get(), 6) != SQLITE_NULL)
                c.r = sqlite3_column_double(s.get(), 6);
            c.error = sqlite3_column_double(s.get(), 7);
            c.counts = sqlite3_column_int64(s.get(), 8);
            found.emplace_back(column(s, 0), c);
        }
        return found;
    }

private:
    // Each document's window from the previous document (?4, ?5: the time and own time of the
    // one before the range), with the strongest signal of each device heard in it: one row per
    // device, or one with a NULL signal for a window without any. A device is a record's
    // "device" when the document counts them, else its address. Records' times are on their
    // router's clock, so the window runs between the documents' own times (`own`: its own
    // "systemDateTime" for one placed at its receipt); after a clock that went back, it holds
    // every record up to the document's own time.
    static constexpr const char* kHeard =
        "WITH d AS (SELECT id, at, devices, records,"
        " COALESCE(CAST(strftime('%s', clock_time) AS INTEGER), at) AS own FROM documents"
        " WHERE router = ?1 AND at >= ?2 AND at <= ?3),"
        " w AS (SELECT d.*, COALESCE(LAG(at) OVER (ORDER BY at, id), ?4) AS start,"
        " COALESCE(LAG(own) OVER (ORDER BY at, id), ?5) AS own_start FROM d)"
        " SELECT w.id, w.at, w.start, w.devices, w.records, MAX(r.signal) FROM w"
        " LEFT JOIN records r ON r.doc = w.id"
        " AND r.last_seen >= (CASE WHEN w.own_start <= w.own THEN w.own_start ELSE 0 END)"
        " AND r.last_seen <= w.own"
        " AND (CASE WHEN w.devices IS NULL THEN r.mac ELSE r.device END) IS NOT NULL"
        " GROUP BY w.id, CASE WHEN w.devices IS NULL THEN r.mac ELSE r.device END"
        " ORDER BY w.at, w.id";

    static std::optional<int64_t> optionalInt(Statement& s, int index) {
        if (sqlite3_column_type(s.get(), index) == SQLITE_NULL) return std::nullopt;
        return sqlite3_column_int64(s.get(), index);
    }

    [[noreturn]] void fail(const std::string& what) {
        throw StoreError("SQLite: " + what + ": " + sqlite3_errmsg(db_.get()));
    }

    // Runs `work` in one write transaction: all of it is kept, or none when it throws.
    template <typename Work>
    void transaction(const Work& work) {
        exec("BEGIN IMMEDIATE");
        try {
            work();
            exec("COMMIT");
        } catch (const StoreError&) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    void exec(const char* sql) {
        if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
    }

    Statement prepare(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            fail(sql);
        }
        return Statement(statement);
    }

    void bindText(Statement& s, int index, const std::string& text) {
        sqlite3_bind_text(s.get(), index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }

    // Steps `s`: SQLITE_ROW or SQLITE_DONE (then reset for reuse); throws on anything else.
    int step(Statement& s) {
        int status = sqlite3_step(s.get());
        if (status == SQLITE_ROW) return status;
        sqlite3_reset(s.get());
        if (status != SQLITE_DONE) fail("write");
        return status;
    }

    static std::string column(Statement& s, int index) {
        const unsigned char* text = sqlite3_column_text(s.get(), index);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<std::size_t>(sqlite3_column_bytes(s.get(), index)))
                    : std::string();
    }

    // Inserts the document row, then its records; false when the document is there already.
    bool insert(const std::string& router, const Document& document, int64_t received) {
        Statement s = prepare(
            "INSERT INTO documents(router, hostname, time, at, received, devices, records,"
            " clock_time, digest) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) ON CONFLICT DO "
            "NOTHING");
        bindText(s, 1, router);
        bindText(s, 2, document.hostname);
        bindText(s, 3, document.time);
        sqlite3_bind_int64(s.get(), 4, document.at);
        sqlite3_bind_int64(s.get(), 5, received);
        if (document.devices) sqlite3_bind_int64(s.get(), 6, *document.devices);
        sqlite3_bind_int64(s.get(), 7, static_cast<int64_t>(document.records.size()));
        if (!document.clockTime.empty()) {
            bindText(s, 8, document.clockTime);
            bindText(s, 9, document.digest);
        }
        step(s);
        if (sqlite3_changes(db_.get()) == 0) return false;
        int64_t id = sqlite3_last_insert_rowid(db_.get());
        Statement r = prepare(
            "INSERT INTO records(doc, n, mac, count, first_seen, last_seen, signal, device)"
            " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
        int64_t n = 0;
        for (const Record& record : document.records) {
            sqlite3_bind_int64(r.get(), 1, id);
            sqlite3_bind_int64(r.get(), 2, n++);
            bindText(r, 3, record.mac);
            sqlite3_bind_int64(r.get(), 4, record.count);
            sqlite3_bind_int64(r.get(), 5, record.firstSeen);
            sqlite3_bind_int64(r.get(), 6, record.lastSeen);
            sqlite3_bind_int64(r.get(), 7, record.signal);
            if (record.device) {
                bindText(r, 8, *record.device);
            } else {
                sqlite3_bind_null(r.get(), 8);
            }
            step(r);
        }
        return true;
    }

    // Applies the migrations past the file's user_version, all in one transaction.
    void migrate() {
        const std::vector<const char*> migrations = sqliteMigrations();
        const int total = static_cast<int>(migrations.size());
        transaction([&] {
            Statement s = prepare("PRAGMA user_version");
            step(s);
            int version = sqlite3_column_int(s.get(), 0);
            s.reset();
            if (version > total) throw StoreError("SQLite: the database is of a newer collector");
            for (; version < total; ++version) {
                exec(migrations[version]);
                exec(("PRAGMA user_version = " + std::to_string(version + 1)).c_str());
            }
        });
    }

    std::unique_ptr<sqlite3, DatabaseDeleter> db_;
    std::mutex lock_;
};

}  // namespace

std::unique_ptr<Store> openSqlite(const std::string& path) {
    return std::make_unique<SqliteStore>(path);
}
