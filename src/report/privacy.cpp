#include "report/privacy.h"

#include <mbedtls/md.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>

#include "report/dates.h"

namespace {
constexpr std::size_t kMacBytes = 17;
constexpr std::size_t kDigestBytes = 32;

// An mbedtls result that is not 0 as an exception: std::bad_alloc when it lacked memory.
void check(int result) {
    if (result == 0) return;
    if (result == MBEDTLS_ERR_MD_ALLOC_FAILED) throw std::bad_alloc();
    throw std::runtime_error("mbedtls error " + std::to_string(result));
}

const mbedtls_md_info_t* sha256() {
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    if (!info) throw std::runtime_error("mbedtls has no SHA-256");
    return info;
}

const unsigned char* bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}
}  // namespace

std::string hmacSha256(const std::string& key, const std::string& data) {
    unsigned char digest[kDigestBytes] = {};
    check(mbedtls_md_hmac(sha256(), bytes(key), key.size(), bytes(data), data.size(), digest));
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string pseudonymKey(const Privacy& privacy, std::time_t time) {
    if (!privacy.daily) return privacy.secret;
    char day[16];
    formatUtcDay(day, sizeof day, time);
    return hmacSha256(privacy.secret, day);
}

PseudonymWriter::PseudonymWriter(const std::string& key) {
    mbedtls_md_init(&context);
    try {
        check(mbedtls_md_setup(&context, sha256(), 1));
        check(mbedtls_md_hmac_starts(&context, bytes(key), key.size()));
    } catch (...) {
        mbedtls_md_free(&context);
        throw;
    }
}

PseudonymWriter::~PseudonymWriter() {
    mbedtls_md_free(&context);
}

std::string pseudonymOf(PseudonymWriter& writer, const char* mac) {
    unsigned char digest[kDigestBytes] = {};
    check(mbedtls_md_hmac_reset(&writer.context));
    check(mbedtls_md_hmac_update(&writer.context, reinterpret_cast<const unsigned char*>(mac),
                                 strnlen(mac, kMacBytes)));
    check(mbedtls_md_hmac_finish(&writer.context, digest));
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", (digest[0] & ~0x01) | 0x02,
                  digest[1], digest[2], digest[3], digest[4], digest[5]);
    return text;
}

PseudonymWriter* startPseudonyms(const Privacy& privacy, std::time_t time,
                                 std::optional<PseudonymWriter>& writer) {
    if (!privacy.enabled) return nullptr;
    writer.emplace(pseudonymKey(privacy, time));
    return &*writer;
}

std::string pseudonym(const std::string& key, const char* mac) {
    PseudonymWriter writer(key);
    return pseudonymOf(writer, mac);
}

std::string randomSecret() {
    std::random_device device;
    std::string secret;
    while (secret.size() < kDigestBytes) {
        unsigned int word = device();
        secret.append(reinterpret_cast<const char*>(&word), sizeof word);
    }
    return secret;
}

bool pseudonymsWork() {
    try {
        // RFC 4231, test case 2, through both ways of hashing.
        const std::string key = "Jefe";
        const std::string expected =
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843";
        std::string digest = hmacSha256(key, "what do ya want for nothing?");
        char hex[3];
        std::string text;
        for (unsigned char byte : digest) {
            std::snprintf(hex, sizeof hex, "%02x", byte);
            text += hex;
        }
        return text == expected && pseudonym(key, "00:11:22:33:44:55") != pseudonym(key, "x");
    } catch (const std::exception&) {
        return false;
    }
}
