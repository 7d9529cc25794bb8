// The storage interface's behaviour, one table of cases over both engines: SQLite on a file in
// a temporary folder, PostgreSQL in the private cluster that postgres.py starts (its cases are
// skipped when PELMAR_TEST_POSTGRES is not set).
#include "collector/store.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <tuple>

#include "collector/people.h"
#include "support/temp_dir.h"

namespace {

// One engine under test: opens its store and runs SQL on it behind the store's back.
struct Engine {
    std::string db;
    std::function<std::string(const std::string& sql)> scalar;  // first column of first row
};

std::string sqliteScalar(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    std::string value;
    char* error = nullptr;
    sqlite3_exec(
        db, sql.c_str(),
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) = values[0] ? values[0] : "";
            return 0;
        },
        &value, &error);
    sqlite3_free(error);
    sqlite3_close(db);
    return value;
}

std::string postgresScalar(const std::string& url, const std::string& sql) {
    PGconn* c = PQconnectdb(url.c_str());
    PGresult* r = PQexec(c, sql.c_str());
    std::string value = PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    PQfinish(c);
    return value;
}

// A fresh database on the engine `name`; false when that engine is not at hand.
bool freshEngine(const std::string& name, const TempDir& dir, Engine& engine) {
    if (name == "sqlite") {
        engine.db = dir.path + "/collector.db";
        engine.scalar = [path = engine.db](const std::string& sql) {
            return sqliteScalar(path, sql);
        };
        return true;
    }
    const char* server = std::getenv("PELMAR_TEST_POSTGRES");
    if (!server) return false;
    static int databases = 0;
    std::string database = "store_" + std::to_string(getpid()) + "_" + std::to_string(++databases);
    postgresScalar(server, "CREATE DATABASE " + database);
    std::string base = server;
    engine.db = base.substr(0, base.rfind('/') + 1) + database;
    engine.scalar = [url = engine.db](const std::string& sql) { return postgresScalar(url, sql); };
    return true;
}

Document doc(const std::string& host, int64_t at, std::optional<int64_t> devices, int records) {
    Document d;
    d.hostname = host;
    d.at = at;
    std::time_t time = at;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+00:00", std::gmtime(&time));
    d.time = text;
    d.devices = devices;
    for (int i = 0; i < records; ++i) {
        d.records.push_back(Record{"02:00:00:00:00:" + std::to_string(10 + i), i + 1, 100, 200,
                                   -40 - i, std::nullopt});
    }
    return d;
}

constexpr int64_t kDay = 86400;
constexpr int64_t kT = 1765000000;  // 2025-12-06T05:46:40+00:00

std::string seriesText(Store& store, SeriesQuery query = {}) {
    std::string text;
    for (const Point& p : store.series(query)) {
        text += p.router + "@" + p.time.substr(11, 8) + "=" + std::to_string(p.devices) + " ";
    }
    return text;
}

// A document at `at` of records (address, device, last heard, signal); of an unsynced clock
// when it was `received` then.
Document heardDoc(int64_t at, std::optional<int64_t> devices,
                  const std::vector<std::tuple<const char*, const char*, int64_t, int64_t>>& rs,
                  std::optional<int64_t> received = std::nullopt) {
    Document d = doc("h", at, devices, 0);
    for (const auto& [mac, device, last, signal] : rs) {
        d.records.push_back(Record{mac, 1, last, last, signal,
                                   device ? std::optional<std::string>(device) : std::nullopt});
    }
    d.clockSynced = !received;
    if (received) placeUnsynced(d, *received);
    return d;
}

// Each window as "at-kT/start-kT/devices/records:signals" (signals in order).
std::string heardText(Store& store, const std::string& router, int64_t from, int64_t to) {
    std::string text;
    for (HeardWindow w : store.heard(router, from, to)) {
        std::sort(w.signals.begin(), w.signals.end());
        text += std::to_string(w.at - kT) + "/" + (w.start ? std::to_string(*w.start - kT) : "-") +
                "/" + (w.devices ? std::to_string(*w.devices) : "-") + "/" +
                std::to_string(w.records) + ":";
        for (int64_t signal : w.signals) text += std::to_string(signal) + ",";
        text += " ";
    }
    return text;
}

// Takes the database back to the schema of `version` behind the store's back, adds an unsynced
// document and a synced one, then checks that reopening it keeps every document and record and
// takes what the schema of the present takes.
void checkUpgradeFrom(int version, Store& s, const Engine& e) {
    bool sqlite = e.db.find("postgres") == std::string::npos;
    s.add("a", heardDoc(kT, 1, {{"m0", "d0", kT - 5, -45}}), kT);
    s.addToken("a", tokenHash("t"), kT);
    if (version >= 2) {
        s.add("a", heardDoc(kT - kDay, 2, {{"m", "d", kT - kDay, -40}}, kT - 60), kT - 60);
    }
    // Each later migration undone, the last first.
    e.scalar(sqlite ? "CREATE TABLE old(id INTEGER PRIMARY KEY, router TEXT NOT NULL,"
                      " hostname TEXT NOT NULL, time TEXT NOT NULL, at INTEGER NOT NULL,"
                      " received INTEGER NOT NULL, devices INTEGER, records INTEGER NOT NULL,"
                      " clock_time TEXT, UNIQUE(router, hostname, at));"
                      "INSERT INTO old SELECT id, router, hostname, time, at, received, devices,"
                      " records, clock_time FROM documents; DROP TABLE documents;"
                      "ALTER TABLE old RENAME TO documents;"
                      "CREATE INDEX documents_router_at ON documents(router, at);"
                      "CREATE INDEX documents_at ON documents(at);"
                      "CREATE UNIQUE INDEX documents_clock ON documents(router, hostname,"
                      " clock_time) WHERE clock_time IS NOT NULL"
                    : "DROP INDEX documents_synced; DROP INDEX documents_unsynced;"
                      "ALTER TABLE documents DROP COLUMN digest;"
                      "ALTER TABLE documents ADD CONSTRAINT documents_router_hostname_at_day_key"
                      " UNIQUE(router, hostname, at, day);"
                      "CREATE UNIQUE INDEX documents_clock ON documents(router, hostname,"
                      " clock_time, day) WHERE clock_time IS NOT NULL");
    if (version < 4) e.scalar("DROP TABLE calibrations");
    if (version < 3) e.scalar("ALTER TABLE tokens DROP COLUMN created");
    if (version < 2)
        e.scalar("DROP INDEX documents_clock; ALTER TABLE documents DROP COLUMN clock_time");
    e.scalar(sqlite ? "PRAGMA user_version = " + std::to_string(version)
                    : "DELETE FROM schema_version WHERE version > " + std::to_string(version));
    std::unique_ptr<Store> again = openStore(e.db);
    std::string before = seriesText(*again);
    EXPECT_EQ(before, version >= 2 ? "a@05:45:40=2 a@05:46:40=1 " : "a@05:46:40=1 ");
    EXPECT_EQ(e.scalar("SELECT count(*) FROM records"), version >= 2 ? "2" : "1");
    EXPECT_EQ(heardText(*again, "a", kT - 60, kT),  // the records still theirs
              version >= 2 ? "-60/-/2/1:-40, 0/-60/1/1:-45, " : "0/-/1/1:-45, ");
    // Two unsynced documents and a synced one, all of the second kT + 60; a resend.
    auto late = [](int64_t own) { return heardDoc(own, 3, {}, kT + 60); };
    EXPECT_TRUE(again->add("a", late(kT - 600), kT + 60));
    EXPECT_TRUE(again->add("a", late(kT - 300), kT + 60));
    EXPECT_FALSE(again->add("a", late(kT - 300), kT + 60));
    EXPECT_TRUE(again->add("a", heardDoc(kT + 60, 4, {}), kT + 60));
    EXPECT_EQ(seriesText(*again), before + "a@05:47:40=3 a@05:47:40=3 a@05:47:40=4 ");
    EXPECT_EQ(again->routerOf(tokenHash("t")), "a");
    ASSERT_EQ(again->tokens().size(), 1u);
    EXPECT_EQ(again->tokens()[0].created, version >= 3 ? kT : -1);  // -1: made before it was kept
    Calibration flat{kT, false, std::nullopt, 0, 3, std::nullopt, 0.5, 20};
    again->setCalibration("a", flat);
    EXPECT_EQ(again->calibrations().at(0).second.r, std::nullopt);
}

struct Case {
    const char* name;
    std::function<void(Store&, const Engine&)> check;
};

const Case kCases[] = {
    {"DevicesOrRecordCountPerDocumentInTimeOrder",
     [](Store& s, const Engine&) {
         EXPECT_TRUE(s.add("b", doc("hb", kT + 60, std::nullopt, 3), kT));
         EXPECT_TRUE(s.add("a", doc("ha", kT, 7, 2), kT));
         EXPECT_TRUE(s.add("a", doc("ha", kT + 120, 0, 2), kT));
         EXPECT_EQ(seriesText(s), "a@05:46:40=7 b@05:47:40=3 a@05:48:40=0 ");
         EXPECT_EQ(seriesText(s, {std::string("a"), kT + 1, kT + 120}), "a@05:48:40=0 ");
         EXPECT_EQ(seriesText(s, {std::nullopt, kT, kT + 60}), "a@05:46:40=7 b@05:47:40=3 ");
     }},
    {"AResentDocumentIsStoredOnce",
     [](Store& s, const Engine& e) {
         EXPECT_TRUE(s.add("a", doc("ha", kT, 4, 5), kT));
         EXPECT_FALSE(s.add("a", doc("ha", kT, 4, 5), kT + 9));
         EXPECT_EQ(e.scalar("SELECT count(*) FROM records"), "5");
         EXPECT_EQ(seriesText(s), "a@05:46:40=4 ");
     }},
    {"ARouterCannotShadowAnothersDocument",
     [](Store& s, const Engine&) {
         EXPECT_TRUE(s.add("a", doc("ha", kT, 1, 0), kT));
         EXPECT_TRUE(s.add("b", doc("ha", kT, 2, 0), kT));
         EXPECT_EQ(seriesText(s), "a@05:46:40=1 b@05:46:40=2 ");
     }},
    {"TokensNameTheirRouter",
     [](Store& s, const Engine&) {
         s.addToken("north", tokenHash("secret"), kT);
         EXPECT_EQ(s.routerOf(tokenHash("secret")), "north");
         EXPECT_EQ(s.routerOf(tokenHash("secreT")), std::nullopt);
         EXPECT_EQ(s.routerOf("secret"), std::nullopt);  // the token itself is not stored
     }},
    {"RoutersShowTheirLatestDocumentByTime",
     [](Store& s, const Engine&) {
         s.addToken("a", tokenHash("1"), kT);
         s.addToken("z", tokenHash("2"), kT);
         s.add("a", doc("ha", kT + 300, 9, 1), kT + 1);
         s.add("a", doc("h<a>", kT + 600, std::nullopt, 4), kT + 2);
         s.add("a", doc("ha", kT, 1, 1), kT + 3);  // a spooled one arriving late
         std::vector<RouterState> states = s.routers();
         ASSERT_EQ(states.size(), 2u);
         EXPECT_EQ(states[0].router, "a");
         EXPECT_EQ(states[0].hostname, "h<a>");
         EXPECT_EQ(states[0].last, "2025-12-06T05:56:40+00:00");
         EXPECT_EQ(states[0].devices, 4);
         EXPECT_EQ(states[0].previousAt, kT + 300);
         EXPECT_EQ(states[0].received, kT + 2);
         EXPECT_EQ(states[1].router, "z");
         EXPECT_EQ(states[1].last, "");
     }},
    {"HostileTextsRoundTripByteForByte",
     [](Store& s, const Engine& e) {
         const std::string nasty = "<script>x</script>\t\\N\\\n\r'\";--\xc3\xa9";
         Document d = doc(nasty, kT, std::nullopt, 1);
         d.records[0].mac = nasty;
         d.records[0].device = nasty;
         ASSERT_TRUE(s.add(nasty, d, kT));
         EXPECT_EQ(s.series({})[0].router, nasty);
         EXPECT_EQ(e.scalar("SELECT mac FROM records"), nasty);
         EXPECT_EQ(e.scalar("SELECT device FROM records"), nasty);
         EXPECT_EQ(e.scalar("SELECT hostname FROM documents"), nasty);
     }},
    {"ADocumentIsStoredWholeOrNotAtAll",
     [](Store& s, const Engine& e) {
         bool sqlite = e.db.find("postgres") == std::string::npos;
         e.scalar(sqlite ? "CREATE TRIGGER boom BEFORE INSERT ON records WHEN NEW.mac = 'boom'"
                           " BEGIN SELECT RAISE(ABORT, 'boom'); END"
                         : "CREATE FUNCTION boom() RETURNS trigger AS $$ BEGIN IF NEW.mac ="
                           " 'boom' THEN RAISE EXCEPTION 'boom'; END IF; RETURN NEW; END $$"
                           " LANGUAGE plpgsql; CREATE TRIGGER boom BEFORE INSERT ON records"
                           " FOR EACH ROW EXECUTE FUNCTION boom()");
         Document bad = doc("h", kT, 3, 3);
         bad.records[2].mac = "boom";
         EXPECT_THROW(s.add("a", bad, kT), StoreError);
         EXPECT_EQ(e.scalar("SELECT count(*) FROM records"), "0");
         EXPECT_EQ(seriesText(s), "");
         EXPECT_TRUE(s.add("a", doc("h", kT, 3, 3), kT));  // the store works on
         EXPECT_EQ(e.scalar("SELECT count(*) FROM records"), "3");
     }},
    {"RetentionRemovesWholeDaysBeforeTheCut",
     [](Store& s, const Engine& e) {
         int64_t today = kT / kDay * kDay;
         s.add("a", doc("h", today - 2 * kDay + 5, 1, 2), kT);
         s.add("a", doc("h", today - 1, 2, 2), kT);
         s.add("a", doc("h", today, 3, 2), kT);
         s.dropBefore(today / kDay);
         EXPECT_EQ(seriesText(s), "a@00:00:00=3 ");
         EXPECT_EQ(e.scalar("SELECT count(*) FROM records"), "2");
         s.add("a", doc("h", today - 1, 2, 2), kT);  // a late one for a dropped day
         EXPECT_EQ(seriesText(s), "a@23:59:59=2 a@00:00:00=3 ");
     }},
    {"ADatabaseOfTheFirstSchemaIsUpgradedKeepingItsDocuments",
     [](Store& s, const Engine& e) { checkUpgradeFrom(1, s, e); }},
    {"ADatabaseOfTheFourthSchemaIsUpgradedKeepingItsDocuments",
     [](Store& s, const Engine& e) { checkUpgradeFrom(4, s, e); }},
    {"DistinctUnsyncedDocumentsOfOneSecondAreAllStoredAResendOnce",
     [](Store& s, const Engine& e) {
         // A spool emptied back to back, all received at kT: the router's clock boots to kU, so
         // documents of one own time are kept apart by their content; a synced one of kT too.
         const int64_t kU = kT - 30 * kDay;
         auto unsynced = [&](int64_t own, int64_t devices, const char* mac, int64_t received) {
             return heardDoc(own, devices, {{mac, mac, own - 10, -50}}, received);
         };
         EXPECT_TRUE(s.add("a", unsynced(kU, 1, "m1", kT), kT));
         EXPECT_TRUE(s.add("a", unsynced(kU + 300, 2, "m2", kT), kT));
         EXPECT_TRUE(s.add("a", unsynced(kU, 3, "m3", kT), kT));  // booted to kU again
         EXPECT_TRUE(s.add("a", heardDoc(kT, 4, {}), kT));
         EXPECT_TRUE(s.add("b", unsynced(kU, 1, "m1", kT), kT));  // another router's
         // Resends, the same day and days later (on PostgreSQL, another day's partition).
         EXPECT_FALSE(s.add("a", unsynced(kU + 300, 2, "m2", kT + 1), kT + 1));
         EXPECT_FALSE(s.add("a", unsynced(kU, 3, "m3", kT + 3 * kDay), kT + 3 * kDay));
         EXPECT_EQ(seriesText(s, {std::string("a")}),
                   "a@05:46:40=1 a@05:46:40=2 a@05:46:40=3 a@05:46:40=4 ");
         EXPECT_EQ(e.scalar("SELECT count(*) FROM records"), "4");
     }},
    {"FarBoundsFindNothingRatherThanFail",
     [](Store& s, const Engine&) {
         s.add("a", doc("h", kT, 1, 1), kT);
         EXPECT_EQ(seriesText(s, {std::nullopt, 185542587187200, INT64_MAX}), "");
         EXPECT_EQ(seriesText(s, {std::nullopt, INT64_MAX, INT64_MAX}), "");
         EXPECT_EQ(seriesText(s, {std::nullopt, INT64_MIN, -185542587187200}), "");
         EXPECT_EQ(seriesText(s, {std::nullopt, INT64_MIN, INT64_MAX}), "a@05:46:40=1 ");
     }},
    {"RetentionLeavesTablesNotItsOwn",
     [](Store& s, const Engine& e) {
         if (e.db.find("postgres") == std::string::npos) return;  // partitions are PostgreSQL's
         int64_t day = kT / kDay;
         s.add("a", doc("h", kT - 3 * kDay, 1, 1), kT);
         s.add("a", doc("h", kT, 2, 1), kT);
         e.scalar(
             "CREATE TABLE documents_default PARTITION OF documents DEFAULT;"
             "CREATE TABLE records_d1x PARTITION OF records FOR VALUES FROM (1) TO (2);"
             "CREATE SCHEMA other; CREATE TABLE other.documents(day integer)"
             " PARTITION BY RANGE (day); CREATE TABLE other.documents_d5 PARTITION OF"
             " other.documents FOR VALUES FROM (5) TO (6);"
             "CREATE TABLE \"documents_d9; x\"(day integer)");
         EXPECT_NO_THROW(s.dropBefore(day));
         EXPECT_EQ(seriesText(s), "a@05:46:40=2 ");
         EXPECT_EQ(e.scalar("SELECT string_agg(relname, ',' ORDER BY relname) FROM pg_class"
                            " WHERE relname IN ('documents_default', 'records_d1x',"
                            " 'documents_d5', 'documents_d9; x')"),
                   "documents_d5,documents_d9; x,documents_default,records_d1x");
     }},
    {"RetentionLetsWritesInBetween",
     [](Store& s, const Engine& e) {
         if (e.db.find("postgres") != std::string::npos) return;  // it drops whole tables there
         for (int i = 0; i < 4000; ++i) s.add("a", doc("h", kT - 2 * kDay + i, 1, 50), kT);
         std::atomic<bool> dropping{false}, done{false};
         std::atomic<int> during{0};
         std::thread writer([&] {
             for (int i = 0; !done; ++i) {
                 s.add("b", doc("h", kT + i, 1, 1), kT);
                 if (dropping) ++during;
             }
         });
         dropping = true;
         s.dropBefore(kT / kDay);
         dropping = false;
         done = true;
         writer.join();
         EXPECT_EQ(e.scalar("SELECT count(*) FROM documents WHERE router = 'a'"), "0");
         EXPECT_GE(during, 3);  // writes went on between the batches, not after them all
     }},
    {"ReopeningKeepsEverythingAndMigratesNothingTwice",
     [](Store& s, const Engine& e) {
         s.addToken("a", tokenHash("t"), kT);
         s.add("a", doc("h", kT, 1, 1), kT);
         std::unique_ptr<Store> again = openStore(e.db);
         EXPECT_EQ(again->routerOf(tokenHash("t")), "a");
         EXPECT_EQ(seriesText(*again), "a@05:46:40=1 ");
     }},
    {"AnUnsyncedDocumentsWindowRunsOnItsOwnClock",
     [](Store& s, const Engine&) {
         // The router's clock a year behind until it is synced at kT + 600, then set back.
         const int64_t kU = kT - 365 * kDay;
         s.add("a", heardDoc(kU, 1, {{"m1", "d1", kU - 10, -50}}, kT), kT);
         s.add("a",
               heardDoc(kU + 300, 1, {{"m2", "d2", kU + 100, -60}, {"m3", "d3", kU - 20, -30}},
                        kT + 300),
               kT + 300);
         s.add("a",
               heardDoc(kT + 600, 1, {{"m4", "d4", kT + 500, -70}, {"m5", "d5", kU + 250, -1}}),
               kT + 600);
         s.add("a", heardDoc(kU + 900, 1, {{"m6", "d6", kU - 5000, -80}}, kT + 900), kT + 900);
         EXPECT_EQ(heardText(s, "a", kT, kT + 900),
                   "0/-/1/1:-50, 300/0/1/2:-60, 600/300/1/2:-70, 900/600/1/1:-80, ");
         EXPECT_EQ(heardText(s, "a", kT + 300, kT + 300), "300/0/1/2:-60, ");
     }},
    {"AQueryLimitKeepsTheFirstPoints",
     [](Store& s, const Engine&) {
         for (int i = 0; i < 3; ++i) s.add("a", doc("h", kT + 60 * i, i, 0), kT);
         s.add("b", doc("h", kT, 9, 0), kT);
         EXPECT_EQ(seriesText(s, {std::nullopt, 0, INT64_MAX, 3}),
                   "a@05:46:40=0 b@05:46:40=9 a@05:47:40=1 ");
         EXPECT_EQ(seriesText(s, {std::string("a"), kT + 60, INT64_MAX, 1}), "a@05:47:40=1 ");
     }},
    {"PeopleComeWithTheStreamedPointsWhateverTheBatch",
     [](Store& s, const Engine&) {
         // Calibrated "a" recounts its records at -60 dB; "b" is not calibrated.
         for (int i = 0; i < 5; ++i) {
             s.add("a",
                   heardDoc(kT + 60 * i, 9,
                            {{"m1", "d1", kT + 60 * i, -50},
                             {"m2", "d2", kT + 60 * i - 1, i % 2 ? -55 : -65}}),
                   kT);
             if (i % 2) s.add("b", doc("h", kT + 60 * i, 4, 0), kT);
         }
         s.setCalibration("a", Calibration{kT, true, -60, 2, 0.5, 0.9, 0.3, 20});
         auto streamed = [&](const SeriesQuery& query, std::size_t batch) {
             PeopleEstimates estimates(s, query);
             std::string text;
             eachPointWithPeople(
                 s, query, estimates,
                 [&](const Point& p) {
                     text += p.router + std::to_string((p.at - kT) / 60) + "=" +
                             (p.people ? std::to_string(static_cast<int>(*p.people * 10)) : "-") +
                             " ";
                     return true;
                 },
                 batch);
             return text;
         };
         const std::string all = "a0=25 a1=45 b1=- a2=25 a3=45 b3=- a4=25 ";
         for (std::size_t batch : {1, 2, 3, 1000}) EXPECT_EQ(streamed({}, batch), all) << batch;
         EXPECT_EQ(streamed({std::string("a"), kT + 60, kT + 120}, 1), "a1=45 a2=25 ");
         EXPECT_EQ(streamed({std::string("b"), 0, INT64_MAX}, 1), "b1=- b3=- ");
     }},
    {"ACalibrationKeepsEveryFigure",  // replaced and cleared end to end (test_calibration.py)
     [](Store& s, const Engine&) {
         Calibration c{123, true, -70, 1.0 / 3, -2.5e-7, 0.96612345678, 2.0312345, 240};
         EXPECT_FALSE(s.setCalibration("a", c));
         auto stored = s.calibrations();
         ASSERT_EQ(stored.size(), 1u);
         const Calibration& back = stored[0].second;
         EXPECT_EQ(std::tie(stored[0].first, back.made, back.recount, back.floor, back.a, back.b,
                            back.r, back.error, back.counts),
                   std::tie("a", c.made, c.recount, c.floor, c.a, c.b, c.r, c.error, c.counts));
     }},
};

class StoreCases : public testing::TestWithParam<std::tuple<const char*, Case>> {};

TEST_P(StoreCases, Behave) {
    TempDir dir;
    Engine engine;
    if (!freshEngine(std::get<0>(GetParam()), dir, engine)) GTEST_SKIP() << "no PostgreSQL";
    std::unique_ptr<Store> store = openStore(engine.db);
    std::get<1>(GetParam()).check(*store, engine);
}

INSTANTIATE_TEST_SUITE_P(Engines, StoreCases,
                         testing::Combine(testing::Values("sqlite", "postgres"),
                                          testing::ValuesIn(kCases)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param).name;
                         });

}  // namespace
