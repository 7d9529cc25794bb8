#include "collector/postgres_sql.h"

namespace pg {

CommandError failure(PGconn* c, const PGresult* result) {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    return CommandError("PostgreSQL: " + std::string(PQerrorMessage(c)), state ? state : "");
}

Result run(PGconn* c, const std::string& sql, const std::vector<const std::string*>& values,
           ExecStatusType expected) {
    std::vector<const char*> texts;
    for (const std::string* value : values) texts.push_back(value ? value->c_str() : nullptr);
    Result result(texts.empty() ? PQexec(c, sql.c_str())
                                : PQexecParams(c, sql.c_str(), static_cast<int>(texts.size()),
                                               nullptr, texts.data(), nullptr, nullptr, 0));
    if (!result || PQresultStatus(result.get()) != expected) throw failure(c, result.get());
    return result;
}

Result query(PGconn* c, const std::string& sql, const std::vector<const std::string*>& values) {
    return run(c, sql, values, PGRES_TUPLES_OK);
}

std::string text(const Result& r, int row, int column) {
    return PQgetvalue(r.get(), row, column);
}

int64_t number(const Result& r, int row, int column) {
    return std::stoll(PQgetvalue(r.get(), row, column));
}

std::optional<int64_t> optionalNumber(const Result& r, int row, int column) {
    if (PQgetisnull(r.get(), row, column)) return std::nullopt;
    return number(r, row, column);
}

}  // namespace pg
