#include "report/document.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "report/dates.h"

namespace {

// Length of the UTF-8 sequence starting at `text`, or 0 when the bytes there are not one.
std::size_t utf8Length(const unsigned char* text) {
    unsigned char lead = text[0];
    std::size_t length;
    uint32_t code;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (text[i] & 0x3F);
    }
    bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    bool invalid = (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF;
    return overlong || invalid ? 0 : length;
}

void appendEscapedByte(std::string& out, unsigned char byte) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", byte);
    out += escape;
}

}  // namespace

void appendJsonText(std::string& out, const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        unsigned char byte = *p;
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20) {
            appendEscapedByte(out, byte);
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else if (std::size_t length = utf8Length(p)) {
            out.append(reinterpret_cast<const char*>(p), length);
            p += length;
            continue;
        } else {
            appendEscapedByte(out, byte);  // a stray byte stands for its Latin-1 character
        }
        ++p;
    }
}

std::string openDocument(const std::string& host, std::time_t time, std::optional<uint32_t> devices,
                         bool clockSynced) {
    char date[128];
    dateJSON(date, sizeof date, time);
    std::string document = "{\"hostname\":\"";
    appendJsonText(document, host.c_str());
    document += "\",\"systemDateTime\":\"";
    document += date;
    document += '"';
    if (!clockSynced) document += ",\"clockSynced\":false";
    if (devices) document += ",\"devices\":" + std::to_string(*devices);
    document += ",\"data\":[";
    return document;
}

namespace {

// Appends an address text as a JSON string's inside, or its pseudonym.
void appendAddress(std::string& out, const char* mac, PseudonymWriter* pseudonyms) {
    if (pseudonyms) {
        out += pseudonymOf(*pseudonyms, mac);
    } else {
        appendJsonText(out, mac);
    }
}

// One record's object, without the comma that separates it from the one before.
void appendRecordObject(std::string& out, const Entry& entry, PseudonymWriter* pseudonyms,
                        bool withDevice) {
    char numbers[128];
    std::snprintf(numbers, sizeof numbers,
                  "\",\"count\":%u,\"firstSeen\":%u,\"lastSeen\":%u,\"signalDB\":%d",
                  unsigned{entry.count}, entry.firstSeen, entry.lastSeen, entry.signal);
    out += "{\"mac\":\"";
    appendAddress(out, entry.mac, pseudonyms);
    out += numbers;
    if (withDevice && entry.counted) {
        out += ",\"device\":\"";
        char name[18];
        deviceName(entry, name);
        appendAddress(out, name, pseudonyms);
        out += '"';
    }
    out += '}';
}

}  // namespace

void appendRecord(std::string& document, const Entry& entry, PseudonymWriter* pseudonyms,
                  bool withDevice) {
    if (document.back() != '[') document += ',';
    appendRecordObject(document, entry, pseudonyms, withDevice);
}

void closeDocument(std::string& document) {
    document += "]}";
}

bool streamDocument(const std::string& host, std::time_t time, const EntryList& list,
                    const Privacy& privacy, std::string& text, std::size_t chunk,
                    const DocumentFlush& flush, AfterWalk after, const DocumentCounting& counting,
                    bool clockSynced, uint64_t* records) {
    std::optional<uint32_t> devices;
    if (counting.devices) devices = counting.windowDevices;
    text = openDocument(host, time, devices, clockSynced);
    if (counting.devices && counting.only) {  // no record leaves the router
        closeDocument(text);
        if (!flush(text, true)) return false;
        if (after == AfterWalk::kNewDay) askNewDay(list);
        return true;
    }
    std::optional<PseudonymWriter> pseudonyms;
    PseudonymWriter* writer = startPseudonyms(privacy, time, pseudonyms);
    bool flowing = true;
    bool first = true;
    walkEntries(
        list,
        [&](const Entry& entry) {
            if (!flowing) return;
            if (!first) text += ',';
            first = false;
            if (records) ++*records;
            appendRecordObject(text, entry, writer, counting.devices);
            if (text.size() > chunk) flowing = flush(text, false);
        },
        after,
        [&] {
            if (!flowing) return false;
            closeDocument(text);
            return flowing = flush(text, true);
        });
    return flowing;
}

std::string buildDocument(const std::string& host, std::time_t time, const EntryList& list,
                          const Privacy& privacy, AfterWalk after) {
    std::string document;
    streamDocument(
        host, time, list, privacy, document, SIZE_MAX, [](std::string&, bool) { return true; },
        after);
    return document;
}
