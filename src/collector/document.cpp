#include "collector/document.h"

#include <mbedtls/md.h>

#include <ctime>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

constexpr int64_t kUnsigned32 = 4294967295LL;
constexpr std::size_t kMaxText = 1024;  // far above any host name or address the daemon writes

// A text field without NUL (which neither engine stores) of sensible length; nullptr otherwise.
const std::string* textField(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return nullptr;
    const std::string& text = it->get_ref<const std::string&>();
    if (text.size() > kMaxText || text.find('\0') != std::string::npos) return nullptr;
    return &text;
}

// An integer field in [low, high]; nullopt when missing, not an integer or out of range.
std::optional<int64_t> integerField(const json& object, const char* key, int64_t low,
                                    int64_t high) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer()) return std::nullopt;
    if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(high)) {
        return std::nullopt;
    }
    int64_t value = it->get<int64_t>();
    if (value < low || value > high) return std::nullopt;
    return value;
}

bool onlyKeys(const json& object, std::initializer_list<const char*> keys) {
    for (auto& item : object.items()) {
        bool known = false;
        for (const char* key : keys) known = known || item.key() == key;
        if (!known) return false;
    }
    return true;
}

// Parses one record object; returns the reason it is not one (empty: parsed).
std::string parseRecord(const json& item, Record& record) {
    if (!item.is_object() ||
        !onlyKeys(item, {"mac", "count", "firstSeen", "lastSeen", "signalDB", "device"})) {
        return "a record is not an object of the record's fields";
    }
    const std::string* mac = textField(item, "mac");
    auto count = integerField(item, "count", 0, kUnsigned32);
    auto first = integerField(item, "firstSeen", 0, kUnsigned32);
    auto last = integerField(item, "lastSeen", 0, kUnsigned32);
    auto signal = integerField(item, "signalDB", -1000, 1000);
    if (!mac || !count || !first || !last || !signal) return "a record lacks a valid field";
    record = Record{*mac, *count, *first, *last, *signal, std::nullopt};
    if (item.contains("device")) {
        const std::string* device = textField(item, "device");
        if (!device) return "a record's \"device\" is not a text";
        record.device = *device;
    }
    return "";
}

// SHA-256 over fields fed one at a time: a large document is hashed without a copy of it.
class Sha256 {
public:
    Sha256() {
        mbedtls_md_init(&context_);
        mbedtls_md_setup(&context_, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 0);
        mbedtls_md_starts(&context_);
    }
    ~Sha256() { mbedtls_md_free(&context_); }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Adds `text` after its length, so that no two lists of fields feed the same bytes.
    void field(const std::string& text) {
        add(std::to_string(text.size()) + ':');
        add(text);
    }

    std::string hex() {
        unsigned char digest[32];
        mbedtls_md_finish(&context_, digest);
        static const char kDigits[] = "0123456789abcdef";
        std::string text;
        for (unsigned char byte : digest) {
            text += kDigits[byte >> 4];
            text += kDigits[byte & 15];
        }
        return text;
    }

private:
    void add(const std::string& bytes) {
        mbedtls_md_update(&context_, reinterpret_cast<const unsigned char*>(bytes.data()),
                          bytes.size());
    }

    mbedtls_md_context_t context_;
};

}  // namespace

std::string contentDigest(const Document& document) {
    Sha256 hash;
    hash.field(document.hostname);
    hash.field(document.clockTime.empty() ? document.time : document.clockTime);
    hash.field(document.devices ? std::to_string(*document.devices) : "-");
    for (const Record& r : document.records) {
        hash.field(r.mac);
        for (int64_t value : {r.count, r.firstSeen, r.lastSeen, r.signal}) {
            hash.field(std::to_string(value));
        }
        hash.field(r.device ? "+" + *r.device : "-");
    }
    return hash.hex();
}

bool nestedDeeper(const std::string& body, int most) {
    int depth = 0;
    bool inText = false;
    for (std::size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (inText) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inText = false;
            }
        } else if (c == '"') {
            inText = true;
        } else if (c == '[' || c == '{') {
            if (++depth > most) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

std::optional<int64_t> parseTime(const std::string& text) {
    std::tm parts{};
    if (text.size() != 25 || !strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S+00:00", &parts)) {
        return std::nullopt;
    }
    int64_t seconds = timegm(&parts);
    // strptime accepts unpadded fields and out-of-range days: the text must be the canonical one.
    char back[32];
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm check{};
    if (seconds < 0 || !gmtime_r(&time, &check)) return std::nullopt;
    std::strftime(back, sizeof back, "%Y-%m-%dT%H:%M:%S+00:00", &check);
    if (text != back) return std::nullopt;
    return seconds;
}

void placeUnsynced(Document& document, int64_t received) {
    if (document.clockSynced || received < 0) return;
    std::time_t time = static_cast<std::time_t>(received);
    std::tm parts{};
    if (!gmtime_r(&time, &parts)) return;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+00:00", &parts);
    document.clockTime = document.time;
    document.time = text;
    document.at = received;
    document.digest = contentDigest(document);
}

std::string parseDocument(const std::string& body, Document& document) {
    // The parser's memory grows with depth far faster than with length: a document is never
    // deeper than its records' objects, so anything deeper is refused before it is parsed.
    if (nestedDeeper(body, kDocumentDepth)) return "nested deeper than a document";
    // Each record is taken out as it ends and dropped from the tree, which would take about
    // ten times the text: the tree keeps the document's own fields only.
    std::vector<Record> records;
    std::string recordFailure, rootKey;
    bool inData = false;
    std::size_t count = 0;
    using Event = json::parse_event_t;
    auto take = [&](int depth, Event event, json& parsed) {
        if (depth == 1 && event == Event::key) {
            rootKey = parsed.get<std::string>();
        } else if (depth == 1 && (event == Event::array_start || event == Event::array_end)) {
            inData = event == Event::array_start && rootKey == "data";
            if (inData) {  // a repeated "data" replaces the one before, as in the tree
                records.clear();
                recordFailure.clear();
                count = 0;
            }
        } else if (depth == 2 && inData &&
                   (event == Event::object_end || event == Event::array_end ||
                    event == Event::value)) {
            ++count;
            if (recordFailure.empty()) {
                Record record;
                std::string reason = parseRecord(parsed, record);
                if (reason.empty()) {
                    records.push_back(std::move(record));
                } else {
                    recordFailure = reason + " (record " + std::to_string(count) + ")";
                }
            }
            return false;
        }
        return true;
    };
    json root = json::parse(body, take, false);
    if (root.is_discarded()) return "not JSON";
    if (!root.is_object() ||
        !onlyKeys(root, {"hostname", "systemDateTime", "clockSynced", "devices", "data"})) {
        return "not an object of the document's fields";
    }
    const std::string* host = textField(root, "hostname");
    const std::string* time = textField(root, "systemDateTime");
    if (!host) return "no valid \"hostname\"";
    if (!time) return "no valid \"systemDateTime\"";
    auto at = parseTime(*time);
    if (!at) return "\"systemDateTime\" is not a time of the form 2024-01-31T12:00:00+00:00";
    document = Document{*host, *time, *at, std::nullopt, {}, true, {}, {}};
    if (root.contains("clockSynced")) {
        if (!root["clockSynced"].is_boolean()) return "\"clockSynced\" is not true or false";
        document.clockSynced = root["clockSynced"].get<bool>();
    }
    if (root.contains("devices")) {
        document.devices = integerField(root, "devices", 0, kUnsigned32);
        if (!document.devices) return "\"devices\" is not a count";
    }
    auto data = root.find("data");
    if (data == root.end() || !data->is_array()) return "no \"data\" array";
    if (!recordFailure.empty()) return recordFailure;
    document.records = std::move(records);
    return "";
}
