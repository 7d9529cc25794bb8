// The SQLite engine's schema, as numbered migrations.
#include "collector/sqlite_schema.h"

#include <iterator>

namespace {

// Numbered migrations: the schema's version n is the state after the first n of them.
const char* const kMigrations[] = {
    "CREATE TABLE tokens(hash TEXT PRIMARY KEY, router TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE documents(id INTEGER PRIMARY KEY, router TEXT NOT NULL, hostname TEXT NOT NULL,"
    " time TEXT NOT NULL, at INTEGER NOT NULL, received INTEGER NOT NULL, devices INTEGER,"
    " records INTEGER NOT NULL, UNIQUE(router, hostname, at));"
    "CREATE INDEX documents_router_at ON documents(router, at);"
    "CREATE INDEX documents_at ON documents(at);"
    "CREATE TABLE records(doc INTEGER NOT NULL, n INTEGER NOT NULL, mac TEXT NOT NULL,"
    " count INTEGER NOT NULL, first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL,"
    " signal INTEGER NOT NULL, device TEXT, PRIMARY KEY(doc, n)) WITHOUT ROWID;",
    // Documents of an untrusted clock, placed at their receipt: their own time, unique per host.
    "ALTER TABLE documents ADD COLUMN clock_time TEXT;"
    "CREATE UNIQUE INDEX documents_clock ON documents(router, hostname, clock_time)"
    " WHERE clock_time IS NOT NULL;",
    // When each token was made, for `token list`; unknown (NULL) for the ones made before.
    "ALTER TABLE tokens ADD COLUMN created INTEGER;",
    // Each router's calibration from its devices to people.
    "CREATE TABLE calibrations(router TEXT PRIMARY KEY, made INTEGER NOT NULL,"
    " recount INTEGER NOT NULL, floor INTEGER, a REAL NOT NULL, b REAL NOT NULL, r REAL NOT NULL,"
    " error REAL NOT NULL, counts INTEGER NOT NULL) WITHOUT ROWID;",
    // A document of an untrusted clock is what it is, not when it came: its own time and the
    // hash of its content (`digest`; none for the ones stored before), so that documents
    // received in one second are all kept. The time it was placed at is unique for the others
    // only. SQLite cannot drop a table's constraint: the table is made anew with the same ids,
    // which its records name. A calibration's r is none when the people counted never varied.
    "CREATE TABLE documents_new(id INTEGER PRIMARY KEY, router TEXT NOT NULL,"
    " hostname TEXT NOT NULL, time TEXT NOT NULL, at INTEGER NOT NULL, received INTEGER NOT NULL,"
    " devices INTEGER, records INTEGER NOT NULL, clock_time TEXT, digest TEXT);"
    "INSERT INTO documents_new(id, router, hostname, time, at, received, devices, records,"
    " clock_time) SELECT id, router, hostname, time, at, received, devices, records, clock_time"
    " FROM documents;"
    "DROP TABLE documents;"
    "ALTER TABLE documents_new RENAME TO documents;"
    "CREATE UNIQUE INDEX documents_synced ON documents(router, hostname, at)"
    " WHERE clock_time IS NULL;"
    "CREATE UNIQUE INDEX documents_unsynced ON documents(router, hostname, clock_time, digest)"
    " WHERE clock_time IS NOT NULL;"
    "CREATE INDEX documents_router_at ON documents(router, at);"
    "CREATE INDEX documents_at ON documents(at);"
    "CREATE TABLE calibrations_new(router TEXT PRIMARY KEY, made INTEGER NOT NULL,"
    " recount INTEGER NOT NULL, floor INTEGER, a REAL NOT NULL, b REAL NOT NULL, r REAL,"
    " error REAL NOT NULL, counts INTEGER NOT NULL) WITHOUT ROWID;"
    "INSERT INTO calibrations_new SELECT * FROM calibrations;"
    "DROP TABLE calibrations;"
    "ALTER TABLE calibrations_new RENAME TO calibrations;",
};

}  // namespace

std::vector<const char*> sqliteMigrations() {
    return {std::begin(kMigrations), std::end(kMigrations)};
}
