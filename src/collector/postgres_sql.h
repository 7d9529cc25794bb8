#pragma once
// What the PostgreSQL engine's files share: libpq's handles as owned values, commands that throw
// on failure, the text of a result's fields, and the schema's own steps (postgres_schema.cpp).

#include <libpq-fe.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "collector/store.h"

namespace pg {

struct ConnectionDeleter {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionDeleter>;
struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

constexpr const char* kNoPartition = "23514";  // check_violation: no partition for the row

// A command's failure; `sqlState` tells which when the server said.
struct CommandError : StoreError {
    CommandError(const std::string& what, std::string state)
        : StoreError(what), sqlState(std::move(state)) {}
    std::string sqlState;
};

// The connection's last failure as a CommandError, with the state `result` gives (may be null).
CommandError failure(PGconn* c, const PGresult* result);

// Runs `sql` with text parameters (nullptr: NULL) on `c`; throws CommandError unless it gives
// `expected`. Without parameters, a text of several commands (the migrations) is allowed.
Result run(PGconn* c, const std::string& sql, const std::vector<const std::string*>& values = {},
           ExecStatusType expected = PGRES_COMMAND_OK);

// The same for a query that returns rows.
Result query(PGconn* c, const std::string& sql, const std::vector<const std::string*>& values);

// Runs the query `sql` and gives its rows one by one to `each` (each a result of one row),
// until it returns false; the rest is read and dropped, so the connection can be used again.
template <typename Each>
void eachRow(PGconn* c, const std::string& sql, const std::vector<const std::string*>& values,
             const Each& each) {
    std::vector<const char*> texts;
    for (const std::string* value : values) texts.push_back(value ? value->c_str() : nullptr);
    if (!PQsendQueryParams(c, sql.c_str(), static_cast<int>(texts.size()), nullptr, texts.data(),
                           nullptr, nullptr, 0)) {
        throw failure(c, nullptr);
    }
    PQsetSingleRowMode(c);
    bool wanted = true;
    std::optional<CommandError> failed;
    while (Result r{PQgetResult(c)}) {
        ExecStatusType status = PQresultStatus(r.get());
        if (status == PGRES_SINGLE_TUPLE) {
            wanted = wanted && each(r);
        } else if (status != PGRES_TUPLES_OK && !failed) {
            failed = failure(c, r.get());
        }
    }
    if (failed) throw *failed;
}

std::string text(const Result& r, int row, int column);
int64_t number(const Result& r, int row, int column);
std::optional<int64_t> optionalNumber(const Result& r, int row, int column);

// Applies the migrations the database lacks; writes nothing when it has them all, so that a
// collector that only reads can run on a read-only replica.
void migrate(PGconn* c);

// Makes the partitions of `day` (days since the epoch) when missing (another collector may make
// them at once).
void makeDay(PGconn* c, int64_t day);

// Drops the collector's own day partitions of the days before `day`.
void dropDaysBefore(PGconn* c, int64_t day);

}  // namespace pg
