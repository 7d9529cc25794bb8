#include <mbedtls/md.h>

#include <fstream>

#include "collector/store.h"

namespace {

std::string hex(const unsigned char* bytes, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

}  // namespace

std::string newToken() {
    unsigned char bytes[24];
    std::ifstream random("/dev/urandom", std::ios::binary);
    if (!random.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
        throw std::runtime_error("cannot read /dev/urandom");
    }
    return hex(bytes, sizeof bytes);
}

std::string tokenHash(const std::string& token) {
    unsigned char digest[32];
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256),
               reinterpret_cast<const unsigned char*>(token.data()), token.size(), digest);
    return hex(digest, sizeof digest);
}

bool sameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) difference |= a[i] ^ b[i];
    return difference == 0;
}

bool late(const RouterState& state, int64_t now) {
    if (state.received < 0) return true;
    int64_t interval = 60;
    if (state.previousAt >= 0 && state.lastAt > state.previousAt) {
        interval = state.lastAt - state.previousAt;
    }
    return now - state.received > 2 * interval;
}

std::unique_ptr<Store> openStore(const std::string& db) {
    bool postgres = db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0 ||
                    db.find("dbname=") != std::string::npos;
    return postgres ? openPostgres(db) : openSqlite(db);
}
