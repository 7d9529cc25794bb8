#pragma once
// One document as a router's daemon sends it, checked field by field before anything is stored.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct Record {
    std::string mac;
    int64_t count = 0;
    int64_t firstSeen = 0;
    int64_t lastSeen = 0;
    int64_t signal = 0;
    std::optional<std::string> device;
};

struct Document {
    std::string hostname;
    std::string time;  // "systemDateTime" as sent
    int64_t at = 0;    // the same in seconds since the epoch
    std::optional<int64_t> devices;
    std::vector<Record> records;
    bool clockSynced = true;  // false: "clockSynced":false, the router's clock was not trusted
    std::string clockTime;    // then, once placed at its receipt, its own "systemDateTime"
    std::string digest;       // and the hash of its content: with its own time, what it is
};

// A document's deepest nesting: its object, its "data" array, a record's object.
constexpr int kDocumentDepth = 3;

// True when `body` opens more than `most` arrays or objects inside each other (outside texts).
bool nestedDeeper(const std::string& body, int most);

// Parses `body` into `document`; on a body that is not one document of the daemon's shape,
// returns the one-line reason (empty: parsed).
std::string parseDocument(const std::string& body, Document& document);

// A document made while its router's clock was not synchronised is placed at the time it was
// `received`, its own time kept in `clockTime` and its content's hash in `digest` (so that a
// resend is told from another document of that second); other documents are left as they are.
void placeUnsynced(Document& document, int64_t received);

// The SHA-256 (hex) of the document's host name, own time, count and records, each field
// written with its length, so that different contents never hash the same text.
std::string contentDigest(const Document& document);

// Seconds since the epoch of a "%Y-%m-%dT%H:%M:%S+00:00" text; nullopt when it is not one.
std::optional<int64_t> parseTime(const std::string& text);

// The day number (days since the epoch) of `seconds`.
inline int64_t dayOf(int64_t seconds) {
    return seconds >= 0 ? seconds / 86400 : -1;
}
