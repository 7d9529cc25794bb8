// Pseudonymous addresses: each address in the reports replaced by a keyed hash of itself that
// keeps the shape of an address, so receivers keep working and an operator who knows the
// secret can compute the pseudonym of a known device.
#pragma once

#include <mbedtls/md.h>

#include <ctime>
#include <optional>
#include <string>

// What the reports need of the privacy settings.
struct Privacy {
    bool enabled = false;  // `mac_privacy`
    std::string secret;    // `mac_secret`, or a random one for this run
    bool daily = false;    // `mac_rotation = daily`: a new key each UTC day
};

// The key for reports made at `time`: the secret, or with daily rotation HMAC-SHA256 keyed
// with the secret over the UTC date "YYYY-MM-DD".
std::string pseudonymKey(const Privacy& privacy, std::time_t time);

// The pseudonym of the address text `mac` (its first 17 bytes at most): the first 6 bytes of
// HMAC-SHA256 keyed with `key` over the text, the first byte made unicast and locally
// administered, written as lower-case hex pairs joined by ':'.
std::string pseudonym(const std::string& key, const char* mac);

// Every function below throws std::bad_alloc when mbedtls lacks memory and std::runtime_error
// when it fails otherwise: a pseudonym is never made from a failed hash.

// Writes the pseudonyms of many addresses under one key: the key is taken in once, each
// address then costs two hash blocks.
struct PseudonymWriter {
    explicit PseudonymWriter(const std::string& key);
    ~PseudonymWriter();
    PseudonymWriter(const PseudonymWriter&) = delete;
    PseudonymWriter& operator=(const PseudonymWriter&) = delete;
    mbedtls_md_context_t context;
};

// The pseudonym of `mac` under the writer's key, as pseudonym() gives it.
std::string pseudonymOf(PseudonymWriter& writer, const char* mac);

// With privacy on, starts `writer` with the key for reports made at `time` and returns it;
// otherwise null, and the addresses stay as read.
PseudonymWriter* startPseudonyms(const Privacy& privacy, std::time_t time,
                                 std::optional<PseudonymWriter>& writer);

// HMAC-SHA256 of `data` keyed with `key`, 32 bytes.
std::string hmacSha256(const std::string& key, const std::string& data);

// 32 random bytes, for a run without a configured secret; throws when there is no source.
std::string randomSecret();

// True when HMAC-SHA256 gives the published answer: checked once at start.
bool pseudonymsWork();
