#pragma once
// Where documents land: one small interface, an SQLite and a PostgreSQL engine behind it.

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "collector/calibration.h"
#include "collector/document.h"

// The database cannot be reached or cannot take the write: the sender should try again later.
struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A router's latest documents: its last one and the time of the one before (-1: none).
struct RouterState {
    std::string router;
    std::string hostname;  // the last document's own host name
    std::string last;      // its "systemDateTime"; empty when none came yet
    int64_t lastAt = -1;
    int64_t previousAt = -1;
    int64_t received = -1;  // when the last one came, seconds since the epoch
    int64_t devices = 0;
};

// A token as its operator sees it: never the token nor its hash.
struct TokenState {
    std::string router;
    int64_t created = -1;  // seconds since the epoch; -1: made before this was kept
    std::string last;      // its router's latest document's "systemDateTime"; empty: none
};

struct Point {
    std::string router;
    std::string time;
    int64_t at = 0;
    int64_t devices = 0;           // "devices", or the record count of a document without it
    std::string clockTime;         // placed at its receipt: its own time (see placeUnsynced)
    std::optional<double> people;  // the estimate of a calibrated router
};

struct SeriesQuery {
    std::optional<std::string> router;
    int64_t from = 0;
    int64_t to = INT64_MAX;
    std::size_t limit = 0;  // the first this many points only; 0: all
};

class Store {
public:
    virtual ~Store() = default;
    // Stores `document` under `router` in one transaction; false when it was stored before (one
    // placed at its receipt: by its own time).
    virtual bool add(const std::string& router, const Document& document, int64_t received) = 0;
    // Keeps `hash` as a token of `router`, made at `created` (seconds since the epoch).
    virtual void addToken(const std::string& router, const std::string& hash, int64_t created) = 0;
    // Every token, by router and then by when it was made.
    virtual std::vector<TokenState> tokens() = 0;
    // Removes every token of `router` (its documents stay); how many there were.
    virtual int64_t revokeTokens(const std::string& router) = 0;
    // The router whose token hashes to `hash`.
    virtual std::optional<std::string> routerOf(const std::string& hash) = 0;
    // Every router that has a token, by name.
    virtual std::vector<RouterState> routers() = 0;
    // The documents in the query's range, in time order.
    virtual std::vector<Point> series(const SeriesQuery& query) = 0;
    // The same, one at a time to `each` without holding them all, until it returns false.
    virtual void eachPoint(const SeriesQuery& query,
                           const std::function<bool(const Point&)>& each) = 0;
    // Removes the documents and records of the days before `day` (days since the epoch).
    virtual void dropBefore(int64_t day) = 0;
    // The windows of `router`'s documents of times in [from, to], in time order, read from
    // their records (see HeardWindow).
    virtual std::vector<HeardWindow> heard(const std::string& router, int64_t from, int64_t to) = 0;
    // Stores `router`'s calibration, replacing any, or removes it (nullopt); true when the
    // router had one.
    virtual bool setCalibration(const std::string& router,
                                const std::optional<Calibration>& calibration) = 0;
    // Every router's calibration, by name.
    virtual std::vector<std::pair<std::string, Calibration>> calibrations() = 0;
};

// Opens (creating and migrating) the store `db` names: a postgresql:// or postgres:// URI or
// key=value string with "dbname=", else an SQLite file. Throws StoreError when it cannot.
std::unique_ptr<Store> openStore(const std::string& db);
std::unique_ptr<Store> openSqlite(const std::string& path);
std::unique_ptr<Store> openPostgres(const std::string& conninfo);

// True when nothing came from the router for two of its report intervals (the time between its
// last two documents, at least a minute when unknown).
bool late(const RouterState& state, int64_t now);

// A new random token (hex) and the hash that is stored for it.
std::string newToken();
std::string tokenHash(const std::string& token);
// Compares two texts in time that depends on their lengths only.
bool sameText(const std::string& a, const std::string& b);
