#include "report/privacy.h"

#include <mbedtls/md.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "report/dates.h"

namespace {
constexpr std::size_t kMacBytes = 17;
constexpr std::size_t kDigestBytes = 32;
}  // namespace

std::string hmacSha256(const std::string& key, const std::string& data) {
    unsigned char digest[kDigestBytes] = {};
    mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256),
                    reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                    reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
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
    mbedtls_md_setup(&context, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 1);
    mbedtls_md_hmac_starts(&context, reinterpret_cast<const unsigned char*>(key.data()),
                           key.size());
}

PseudonymWriter::~PseudonymWriter() {
    mbedtls_md_free(&context);
}

std::string pseudonymOf(PseudonymWriter& writer, const char* mac) {
    unsigned char digest[kDigestBytes] = {};
    mbedtls_md_hmac_reset(&writer.context);
    mbedtls_md_hmac_update(&writer.context, reinterpret_cast<const unsigned char*>(mac),
                           strnlen(mac, kMacBytes));
    mbedtls_md_hmac_finish(&writer.context, digest);
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
