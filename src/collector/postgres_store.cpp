// The PostgreSQL engine: its reads and writes, on a pool of connections (its schema:
// postgres_schema.cpp).
#include <algorithm>
#include <climits>
#include <cstdio>
#include <mutex>

#include "collector/postgres_sql.h"

namespace {

using pg::Connection;
using pg::number;
using pg::optionalNumber;
using pg::query;
using pg::Result;
using pg::run;
using pg::text;

// One COPY text field: backslash, tab and line ends escaped; "\N" for none.
void appendCopyField(std::string& out, const std::string* text) {
    if (!text) {
        out += "\\N";
        return;
    }
    for (char c : *text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
}

class PostgresStore : public Store {
public:
    explicit PostgresStore(std::string conninfo) : conninfo_(std::move(conninfo)) {
        withConnection([](PGconn* c) { pg::migrate(c); });
    }

    bool add(const std::string& router, const Document& document, int64_t received) override {
        bool added = false;
        withConnection([&](PGconn* c) {
            try {
                added = insert(c, router, document, received);
            } catch (const pg::CommandError& error) {
                if (error.sqlState != pg::kNoPartition) throw;
                pg::makeDay(c, dayOf(document.at));
                added = insert(c, router, document, received);
            }
        });
        return added;
    }

    void addToken(const std::string& router, const std::string& hash, int64_t created) override {
        std::string when = std::to_string(created);
        withConnection([&](PGconn* c) {
            run(c, "INSERT INTO tokens(hash, router, created) VALUES($1, $2, $3)",
                {&hash, &router, &when});
        });
    }

    std::vector<TokenState> tokens() override {
        std::vector<TokenState> list;
        withConnection([&](PGconn* c) {
            // The latest document by the (router, at) index: one step per token.
            Result r = query(c,
                             "SELECT router, COALESCE(created, -1), COALESCE((SELECT time FROM"
                             " documents d WHERE d.router = t.router ORDER BY at DESC LIMIT 1),"
                             " '') FROM tokens t ORDER BY router, COALESCE(created, -1)",
                             {});
            for (int i = 0; i < PQntuples(r.get()); ++i) {
                list.push_back(TokenState{text(r, i, 0), number(r, i, 1), text(r, i, 2)});
            }
        });
        return list;
    }

    int64_t revokeTokens(const std::string& router) override {
        int64_t removed = 0;
        withConnection([&](PGconn* c) {
            Result r = run(c, "DELETE FROM tokens WHERE router = $1", {&router});
            removed = std::stoll(PQcmdTuples(r.get()));
        });
        return removed;
    }

    std::optional<std::string> routerOf(const std::string& hash) override {
        std::optional<std::string> router;
        withConnection([&](PGconn* c) {
            Result r = query(c, "SELECT hash, router FROM tokens WHERE hash = $1", {&hash});
            if (PQntuples(r.get()) == 1 && sameText(text(r, 0, 0), hash)) router = text(r, 0, 1);
        });
        return router;
    }

    std::vector<RouterState> routers() override {
        std::vector<RouterState> states;
        withConnection([&](PGconn* c) {
            Result names = query(c, "SELECT DISTINCT router FROM tokens ORDER BY router", {});
            for (int i = 0; i < PQntuples(names.get()); ++i) {
                states.emplace_back();
                states.back().router = text(names, i, 0);
                lastTwo(c, states.back());
            }
        });
        return states;
    }

    std::vector<Point> series(const SeriesQuery& q) override {
        std::vector<Point> points;
        eachPoint(q, [&](const Point& p) {
            points.push_back(p);
            return true;
        });
        return points;
    }

    void eachPoint(const SeriesQuery& q, const std::function<bool(const Point&)>& each) override {
        std::string from = std::to_string(q.from), to = std::to_string(q.to);
        // The days too, so that only the range's partitions are read; both clamped to the
        // column's range: a far bound must not fail the query.
        std::string firstDay = std::to_string(std::clamp<int64_t>(dayOf(q.from), -1, INT32_MAX));
        std::string lastDay = std::to_string(std::clamp<int64_t>(dayOf(q.to), -1, INT32_MAX));
        withConnection([&](PGconn* c) {
            std::string sql =
                "SELECT router, time, at, COALESCE(devices, records), clock_time FROM documents"
                " WHERE at >= $1 AND at <= $2 AND day >= $3 AND day <= $4";
            sql += q.router ? " AND router = $5 ORDER BY at" : " ORDER BY at, router";
            if (q.limit > 0) sql += " LIMIT " + std::to_string(q.limit);
            std::vector<const std::string*> values{&from, &to, &firstDay, &lastDay};
            if (q.router) values.push_back(&*q.router);
            pg::eachRow(c, sql, values, [&](const Result& r) {
                return each(Point{text(r, 0, 0), text(r, 0, 1), number(r, 0, 2), number(r, 0, 3),
                                  text(r, 0, 4), std::nullopt});
            });
        });
    }

    void dropBefore(int64_t day) override {
        withConnection([&](PGconn* c) { pg::dropDaysBefore(c, day); });
    }

    std::vector<HeardWindow> heard(const std::string& router, int64_t from, int64_t to) override {
        std::vector<HeardWindow> windows;
        std::string first = std::to_string(from), last = std::to_string(to);
        std::string firstDay = std::to_string(std::max<int64_t>(dayOf(from), -1));
        std::string lastDay = std::to_string(std::min<int64_t>(dayOf(to), INT32_MAX));
        withConnection([&](PGconn* c) {
            // The document before the range: its time, and its own time (see kHeard).
            Result before = query(c,
                                  "SELECT at, " + std::string(kOwnTime) +
                                      " FROM documents WHERE router = $1 AND at < $2"
                                      " ORDER BY at DESC, id DESC LIMIT 1",
                                  {&router, &first});
            bool none = PQntuples(before.get()) == 0;
            std::string previous = none ? "" : text(before, 0, 0);
            std::string previousOwn = none ? "" : text(before, 0, 1);
            Result r = query(c, kHeard,
                             {&router, &first, &last, none ? nullptr : &previous, &firstDay,
                              &lastDay, none ? nullptr : &previousOwn});
            for (int i = 0; i < PQntuples(r.get()); ++i) {
                if (i == 0 || text(r, i, 0) != text(r, i - 1, 0)) {
                    windows.emplace_back();
                    HeardWindow& w = windows.back();
                    w.at = number(r, i, 1);
                    w.start = optionalNumber(r, i, 2);
                    w.devices = optionalNumber(r, i, 3);
                    w.records = number(r, i, 4);
                }
                if (auto signal = optionalNumber(r, i, 5))
                    windows.back().signals.push_back(*signal);
            }
        });
        return windows;
    }

    bool setCalibration(const std::string& router,
                        const std::optional<Calibration>& calibration) override {
        bool had = false;
        withConnection([&](PGconn* c) {
            run(c, "BEGIN");
            Result r =
                query(c, "DELETE FROM calibrations WHERE router = $1 RETURNING router", {&router});
            had = PQntuples(r.get()) > 0;
            if (calibration) {
                const Calibration& k = *calibration;
                std::string made = std::to_string(k.made), recount = k.recount ? "t" : "f";
                std::string floor = k.floor ? std::to_string(*k.floor) : "";
                std::string a = exact(k.a), b = exact(k.b), e = exact(k.error);
                std::string rr = k.r ? exact(*k.r) : "";
                std::string counts = std::to_string(k.counts);
                run(c,
                    "INSERT INTO calibrations(router, made, recount, floor, a, b, r, error, counts)"
                    " VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9)",
                    {&router, &made, &recount, k.floor ? &floor : nullptr, &a, &b,
                     k.r ? &rr : nullptr, &e, &counts});
            }
            run(c, "COMMIT");
        });
        return had;
    }

    std::vector<std::pair<std::string, Calibration>> calibrations() override {
        std::vector<std::pair<std::string, Calibration>> found;
        withConnection([&](PGconn* c) {
            Result r = query(c,
                             "SELECT router, made, recount, floor, a, b, r, error, counts"
                             " FROM calibrations ORDER BY router",
                             {});
            for (int i = 0; i < PQntuples(r.get()); ++i) {
                Calibration k;
                k.made = number(r, i, 1);
                k.recount = text(r, i, 2) == "t";
                k.floor = optionalNumber(r, i, 3);
                k.a = std::stod(text(r, i, 4));
                k.b = std::stod(text(r, i, 5));
                if (!PQgetisnull(r.get(), i, 6)) k.r = std::stod(text(r, i, 6));
                k.error = std::stod(text(r, i, 7));
                k.counts = number(r, i, 8);
                found.emplace_back(text(r, i, 0), k);
            }
        });
        return found;
    }

private:
    // A document's time on its router's clock, which its records' times are on: its own
    // "systemDateTime" for one placed at its receipt.
    static constexpr const char* kOwnTime =
        "COALESCE(EXTRACT(EPOCH FROM clock_time::timestamptz)::bigint, at)";

    // As the SQLite engine's: each document's window from the previous document ($4, $7: the
    // time and own time of the one before the range), one row per device heard in it with its
    // strongest signal, the records' times between the documents' own times. The records are
    // read from the range's days only.
    static constexpr const char* kHeard =
        "WITH d AS (SELECT id, day, at, devices, records,"
        " COALESCE(EXTRACT(EPOCH FROM clock_time::timestamptz)::bigint, at) AS own"
        " FROM documents WHERE router = $1 AND at >= $2 AND at <= $3 AND day >= $5"
        " AND day <= $6),"
        " w AS (SELECT d.*, COALESCE(LAG(at) OVER (ORDER BY at, id), $4::bigint) AS start,"
        " COALESCE(LAG(own) OVER (ORDER BY at, id), $7::bigint) AS own_start FROM d)"
        " SELECT w.id, w.at, w.start, w.devices, w.records, MAX(r.signal) FROM w"
        " LEFT JOIN records r ON r.day = w.day AND r.doc = w.id AND r.day >= $5 AND r.day <= $6"
        " AND r.last_seen >= (CASE WHEN w.own_start <= w.own THEN w.own_start ELSE 0 END)"
        " AND r.last_seen <= w.own"
        " AND (CASE WHEN w.devices IS NULL THEN r.mac ELSE r.device END) IS NOT NULL"
        " GROUP BY w.id, w.at, w.start, w.devices, w.records,"
        " CASE WHEN w.devices IS NULL THEN r.mac ELSE r.device END"
        " ORDER BY w.at, w.id";

    // A double as text that reads back as the same double.
    static std::string exact(double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", value);
        return text;
    }

    // Runs `work` on a pooled connection (a new one when none is idle). A connection that broke
    // is dropped; when it was an idle one (the server may have restarted since), `work` runs
    // once more on a new one. A retried write is safe: a document stored before is not doubled.
    template <typename Work>
    void withConnection(const Work& work) {
        for (;;) {
            bool reused = false;
            Connection c = take(reused);
            try {
                work(c.get());
                give(std::move(c));
                return;
            } catch (const StoreError&) {
                if (PQstatus(c.get()) == CONNECTION_OK) {
                    Result(PQexec(c.get(), "ROLLBACK"));  // a no-op outside a transaction
                    give(std::move(c));
                    throw;
                }
                if (!reused) throw;
            }
        }
    }

    Connection take(bool& reused) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (!idle_.empty()) {
                Connection c = std::move(idle_.back());
                idle_.pop_back();
                reused = true;
                return c;
            }
        }
        Connection c(PQconnectdb(conninfo_.c_str()));
        if (PQstatus(c.get()) != CONNECTION_OK) {
            throw StoreError("PostgreSQL: " + std::string(PQerrorMessage(c.get())));
        }
        Result quiet(PQexec(c.get(), "SET client_min_messages = warning"));
        return c;
    }

    void give(Connection c) {
        std::lock_guard<std::mutex> hold(lock_);
        idle_.push_back(std::move(c));
    }

    // Stores `d` in one transaction (rolled back when anything fails); false when there already.
    static bool insert(PGconn* c, const std::string& router, const Document& d, int64_t received) {
        try {
            return insertDocument(c, router, d, received);
        } catch (const pg::CommandError&) {
            Result(PQexec(c, "ROLLBACK"));
            throw;
        }
    }

    static bool insertDocument(PGconn* c, const std::string& router, const Document& d,
                               int64_t received) {
        std::string day = std::to_string(dayOf(d.at)), at = std::to_string(d.at);
        std::string when = std::to_string(received), count = std::to_string(d.records.size());
        std::string devices = d.devices ? std::to_string(*d.devices) : "";
        bool unsynced = !d.clockTime.empty();
        run(c, "BEGIN");
        if (unsynced && storedUnsynced(c, router, d)) {
            run(c, "ROLLBACK");
            return false;
        }
        Result r =
            query(c,
                  "INSERT INTO documents(day, router, hostname, time, at, received, devices,"
                  " records, clock_time, digest) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)"
                  " ON CONFLICT DO NOTHING RETURNING id",
                  {&day, &router, &d.hostname, &d.time, &at, &when, d.devices ? &devices : nullptr,
                   &count, unsynced ? &d.clockTime : nullptr, unsynced ? &d.digest : nullptr});
        if (PQntuples(r.get()) == 0) {
            run(c, "ROLLBACK");
            return false;
        }
        copyRecords(c, day + '\t' + text(r, 0, 0) + '\t', d.records);
        run(c, "COMMIT");
        return true;
    }

    // True when the document of an untrusted clock `d` is stored already, on any day: its unique
    // index holds within its day of receipt only, as the partitions' key is in it. The lock,
    // held to the transaction's end, keeps two collectors from storing one resend at once.
    static bool storedUnsynced(PGconn* c, const std::string& router, const Document& d) {
        std::string key = router + '\n' + d.digest;
        query(c, "SELECT pg_advisory_xact_lock(hashtextextended($1, 0))", {&key});
        Result r = query(c,
                         "SELECT 1 FROM documents WHERE router = $1 AND hostname = $2"
                         " AND clock_time = $3 AND digest = $4 LIMIT 1",
                         {&router, &d.hostname, &d.clockTime, &d.digest});
        return PQntuples(r.get()) > 0;
    }

    // Sends the records by COPY, each line starting with `prefix` (their day and document).
    static void copyRecords(PGconn* c, const std::string& prefix,
                            const std::vector<Record>& records) {
        std::string data;
        for (const Record& r : records) {
            data += prefix;
            appendCopyField(data, &r.mac);
            data += '\t' + std::to_string(r.count) + '\t' + std::to_string(r.firstSeen) + '\t' +
                    std::to_string(r.lastSeen) + '\t' + std::to_string(r.signal) + '\t';
            appendCopyField(data, r.device ? &*r.device : nullptr);
            data += '\n';
        }
        run(c,
            "COPY records(day, doc, mac, count, first_seen, last_seen, signal, device)"
            " FROM STDIN",
            {}, PGRES_COPY_IN);
        bool sent = PQputCopyData(c, data.data(), static_cast<int>(data.size())) == 1 &&
                    PQputCopyEnd(c, nullptr) == 1;
        Result end(PQgetResult(c));
        while (Result more{PQgetResult(c)}) {
        }
        if (!sent || PQresultStatus(end.get()) != PGRES_COMMAND_OK) throw pg::failure(c, end.get());
    }

    static void lastTwo(PGconn* c, RouterState& state) {
        Result r = query(c,
                         "SELECT hostname, time, at, received, COALESCE(devices, records)"
                         " FROM documents WHERE router = $1 ORDER BY at DESC LIMIT 2",
                         {&state.router});
        if (PQntuples(r.get()) == 0) return;
        state.hostname = text(r, 0, 0);
        state.last = text(r, 0, 1);
        state.lastAt = number(r, 0, 2);
        state.received = number(r, 0, 3);
        state.devices = number(r, 0, 4);
        if (PQntuples(r.get()) == 2) state.previousAt = number(r, 1, 2);
    }

    std::string conninfo_;
    std::mutex lock_;
    std::vector<Connection> idle_;
};

}  // namespace

std::unique_ptr<Store> openPostgres(const std::string& conninfo) {
    return std::make_unique<PostgresStore>(conninfo);
}
