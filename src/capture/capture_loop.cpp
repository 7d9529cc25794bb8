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

// Position of the address after " SA:", or after " RA:" when the line has no " SA:".
std::size_t findAddress(const std::string& line) {
    std::size_t marker = line.find(" SA:");
    if (marker == std::string::npos) marker = line.find(" RA:");
    return marker == std::string::npos ? marker : marker + kMarkerLength;
}

// The value of the token that ends right before "dB signal" (or "dBm signal", as today's
// capture tool prints it), reaching back to the previous space or the start of the line.
int32_t signalValue(const std::string& line) {
    std::size_t unit = line.find("dB signal");
    if (unit == std::string::npos) unit = line.find("dBm signal");
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
