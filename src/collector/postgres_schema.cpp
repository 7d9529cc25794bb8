// The PostgreSQL engine's schema: its numbered migrations and its day partitions, made on a
// day's first document and dropped by retention.
#include "collector/postgres_sql.h"

namespace pg {
namespace {

// Numbered migrations, each applied in its own transaction. Documents and records are
// partitioned by the day of "systemDateTime" (days since the epoch), so retention drops tables.
const char* const kMigrations[] = {
    "CREATE TABLE tokens(hash text PRIMARY KEY, router text NOT NULL);"
    "CREATE TABLE documents(day integer NOT NULL, id bigint GENERATED ALWAYS AS IDENTITY,"
    " router text NOT NULL, hostname text NOT NULL, time text NOT NULL, at bigint NOT NULL,"
    " received bigint NOT NULL, devices bigint, records integer NOT NULL,"
    " UNIQUE(router, hostname, at, day)) PARTITION BY RANGE (day);"
    "CREATE INDEX documents_router_at ON documents(router, at);"
    "CREATE INDEX documents_at ON documents(at);"
    "CREATE TABLE records(day integer NOT NULL, doc bigint NOT NULL, mac text NOT NULL,"
    " count bigint NOT NULL, first_seen bigint NOT NULL, last_seen bigint NOT NULL,"
    " signal integer NOT NULL, device text) PARTITION BY RANGE (day);",
    // Documents of an untrusted clock, placed at their receipt: their own time, unique per host
    // (within a day: a unique index holds the partitions' key).
    "ALTER TABLE documents ADD COLUMN clock_time text;"
    "CREATE UNIQUE INDEX documents_clock ON documents(router, hostname, clock_time, day)"
    " WHERE clock_time IS NOT NULL;",
    // When each token was made, for `token list`; unknown (NULL) for the ones made before.
    "ALTER TABLE tokens ADD COLUMN created bigint;",
    // Each router's calibration from its devices to people.
    "CREATE TABLE calibrations(router text PRIMARY KEY, made bigint NOT NULL,"
    " recount boolean NOT NULL, floor integer, a double precision NOT NULL,"
    " b double precision NOT NULL, r double precision NOT NULL, error double precision NOT NULL,"
    " counts bigint NOT NULL);",
    // A document of an untrusted clock is what it is, not when it came: its own time and the
    // hash of its content (`digest`; none for the ones stored before), so that documents
    // received in one second are all kept. The time it was placed at is unique for the others
    // only. A calibration's r is none when the people counted never varied.
    "ALTER TABLE documents ADD COLUMN digest text;"
    "ALTER TABLE documents DROP CONSTRAINT documents_router_hostname_at_day_key;"
    "CREATE UNIQUE INDEX documents_synced ON documents(router, hostname, at, day)"
    " WHERE clock_time IS NULL;"
    "DROP INDEX documents_clock;"
    "CREATE UNIQUE INDEX documents_unsynced ON documents(router, hostname, clock_time, digest,"
    " day) WHERE clock_time IS NOT NULL;"
    "ALTER TABLE calibrations ALTER COLUMN r DROP NOT NULL;",
};

}  // namespace

void migrate(PGconn* c) {
    const int total = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);
    Result known = query(c, "SELECT to_regclass('schema_version') IS NOT NULL", {});
    if (text(known, 0, 0) == "t") {
        Result r = query(c, "SELECT COALESCE(MAX(version), 0) FROM schema_version", {});
        if (number(r, 0, 0) == total) return;
    }
    run(c, "CREATE TABLE IF NOT EXISTS schema_version(version integer NOT NULL)");
    for (;;) {
        run(c, "BEGIN");
        // The lock makes collectors that start together migrate one after the other.
        run(c, "LOCK TABLE schema_version");
        Result r = query(c, "SELECT COALESCE(MAX(version), 0) FROM schema_version", {});
        int version = static_cast<int>(number(r, 0, 0));
        if (version > total) throw StoreError("PostgreSQL: the database is of a newer collector");
        if (version == total) {
            run(c, "COMMIT");
            return;
        }
        run(c, kMigrations[version]);
        run(c, "INSERT INTO schema_version VALUES(" + std::to_string(version + 1) + ")");
        run(c, "COMMIT");
    }
}

void makeDay(PGconn* c, int64_t day) {
    std::string from = std::to_string(day), to = std::to_string(day + 1);
    for (const char* table : {"documents", "records"}) {
        std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + table + "_d" + from +
                          " PARTITION OF " + table + " FOR VALUES FROM (" + from + ") TO (" + to +
                          ")";
        try {
            run(c, sql);
        } catch (const CommandError& error) {
            if (error.sqlState != "42P07" && error.sqlState != "23505") throw;
        }
    }
}

void dropDaysBefore(PGconn* c, int64_t day) {
    // Only the collector's own day partitions of its own tables: others that a DBA attached (a
    // default partition, say) and tables of other schemas stay.
    Result r = query(c,
                     "SELECT format('%I.%I', n.nspname, c.relname),"
                     " substring(c.relname from '_d([0-9]{1,9})$') FROM pg_inherits i"
                     " JOIN pg_class c ON c.oid = i.inhrelid"
                     " JOIN pg_namespace n ON n.oid = c.relnamespace"
                     " WHERE i.inhparent IN ('documents'::regclass, 'records'::regclass)"
                     " AND c.relnamespace = (SELECT relnamespace FROM pg_class"
                     " WHERE oid = i.inhparent)"
                     " AND c.relname ~ ('^' || (SELECT relname FROM pg_class"
                     " WHERE oid = i.inhparent) || '_d[0-9]{1,9}$')",
                     {});
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        if (number(r, i, 1) < day) run(c, "DROP TABLE " + text(r, i, 0));
    }
}

}  // namespace pg
