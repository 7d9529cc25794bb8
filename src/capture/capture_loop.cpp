#include "capture/capture_loop.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "capture/line_reader.h"
#include "config/config.h"
#include "report/console.h"

namespace {

constexpr std::size_t kMacLength = 17;
constexpr std::size_t kMarkerLength = 4;
// Room for a signal token; longer tokens keep their first 19 characters.
constexpr std::size_t kTokenScratch = 20;

// Position of the first `text` (two characters or more) in `line`, or npos. Scans for its
// second character, which in capture lines is far rarer than the first (a space, a 'd').
std::size_t find(const std::string& line, const char* text) {
    const std::size_t length = std::strlen(text);
    const char* const begin = line.data();
    const char* const end = begin + line.size();
    for (const char* at = begin + 1; at < end;) {
        const char* hit = static_cast<const char*>(std::memchr(at, text[1], end - at));
        if (!hit) break;
        const char* start = hit - 1;
        if (static_cast<std::size_t>(end - start) < length) break;
        if (std::memcmp(start, text, length) == 0) return start - begin;
        at = hit + 1;
    }
    return std::string::npos;
}

// Position of the address after " SA:", or after " RA:" when the line has no " SA:".
std::size_t findAddress(const std::string& line) {
    std::size_t marker = find(line, " SA:");
    if (marker == std::string::npos) marker = find(line, " RA:");
    return marker == std::string::npos ? marker : marker + kMarkerLength;
}

// The value of the token that ends right before "dB signal" (or "dBm signal", as today's
// capture tool prints it), reaching back to the previous space or the start of the line.
int32_t signalValue(const std::string& line) {
    std::size_t unit = find(line, "dB signal");
    if (unit == std::string::npos) unit = find(line, "dBm signal");
    if (unit == std::string::npos) return 0;
    std::size_t start = unit;
    while (start > 0 && line[start - 1] != ' ') --start;
    char token[kTokenScratch] = {};
    line.copy(token, std::min(unit - start, kTokenScratch - 1), start);
    return decimalValue(token);
}

// The number in the two characters at `position`, using only those that exist.
int32_t timePair(const std::string& line, std::size_t position) {
    char pair[3] = {};
    if (position < line.size()) line.copy(pair, 2, position);
    return decimalValue(pair);
}

void traceReading(const Reading& reading) {
    std::printf("Readed MAC: %s\n", reading.mac);
    std::printf("Readed Signal: %d\n", reading.signal);
    std::printf("Readed seconds: %d\n", reading.seconds);
}

}  // namespace

bool parseCaptureLine(const std::string& line, Reading& reading) {
    std::size_t address = findAddress(line);
    if (address == std::string::npos) return false;
    std::memset(reading.mac, 0, sizeof reading.mac);
    line.copy(reading.mac, kMacLength, address);
    reading.signal = signalValue(line);
    reading.seconds = timePair(line, 0) * 3600 + timePair(line, 3) * 60 + timePair(line, 6);
    return true;
}

void fatalExit(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}

void captureTurn(EntryList& list) {
    const bool tracing = config.debug >= 3;
    if (tracing) {
        std::printf("Reading...\n");
        std::fflush(stdout);  // the reader may now wait: let the traces out first
    }
    std::optional<std::string> line = readLine(0);
    if (!line) {
        std::printf("FATAL: Could not read from STDIN");
        fatalExit(-1);
    }
    if (tracing) std::printf("Readed Line: %s\n", line->c_str());
    Reading reading;
    if (!parseCaptureLine(*line, reading)) {
        if (tracing) {
            std::printf("Sleeping....\n");
            std::fflush(stdout);
        }
        sleep(1);
        return;
    }
    if (tracing) traceReading(reading);
    {
        std::lock_guard<std::mutex> hold(list.lock);
        int result = updateEntryList(reading.mac, reading.signal, reading.seconds, list);
        if (result < 0) {
            std::printf("Error produced!");
            fatalExit(result);
        }
        cleanEntryList(list);
    }
    if (config.debug >= 4) display(list);
}
