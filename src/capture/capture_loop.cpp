#include "capture/capture_loop.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>

#include "capture/line_reader.h"
#include "clock.h"
#include "config/decimal.h"
#include "log.h"
#include "report/console.h"
#include "report/status.h"
#include "stop.h"
#include "table/address_text.h"

namespace {

constexpr std::size_t kMacLength = 17;
constexpr std::size_t kMarkerLength = 4;
// Room for a signal token; longer tokens keep their first 19 characters.
constexpr std::size_t kTokenScratch = 20;

// Lines read from standard input, for the status: the capture thread's alone.
uint64_t linesRead = 0;

// Hands the lines read to the status, and the input's end once it came.
void publishLines(bool ended) {
    if (!statusKept()) return;
    noteCaptureFigures(linesRead, 0);
    if (ended) noteCaptureState(CaptureState::kEnded);
}

// Position of the first `text` (two characters or more) in `line`, or npos. Scans for its
// second character, which in capture lines is far rarer than the first (a space, a 'd').
std::size_t findText(const std::string& line, const char* text) {
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
    std::size_t marker = findText(line, " SA:");
    if (marker == std::string::npos) marker = findText(line, " RA:");
    return marker == std::string::npos ? marker : marker + kMarkerLength;
}

// The value of the token that ends right before "dBm signal", as today's capture tool prints
// the radio's signal, or failing that "dB signal" (older tools; today a relative value, which a
// radio reporting both prints after the dBm one), reaching back to the previous space or the
// start of the line.
int32_t signalValue(const std::string& line) {
    std::size_t unit = findText(line, "dBm signal");
    if (unit == std::string::npos) unit = findText(line, "dB signal");
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

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The 0x02 bit of the first octet, read from its second hex digit; false when the first two
// characters are not hex digits.
bool locallyAdministered(const char* mac) {
    if (!isHexDigit(mac[0]) || !isHexDigit(mac[1])) return false;
    return std::strchr("2367abefABEF", mac[1]) != nullptr;
}

// Counts the reading's address as a device of its own: a text line carries no probe request's
// body to link by. Text that is not an address is keyed by its own bytes.
void countTextDevice(DeviceLinker& linker, const Reading& reading, EntryList& list) {
    LinkInput input{
        {}, static_cast<int64_t>(monotonicClock()) * 1000, reading.signal, nullptr, false};
    if (!parseAddress(reading.mac, input.address)) {
        for (std::size_t i = 0; i < kMacLength && reading.mac[i]; ++i) {
            input.address[i % 6] = static_cast<uint8_t>(input.address[i % 6] * 31 + reading.mac[i]);
        }
    }
    uint8_t ownName[6];
    AddressLink unlinked;  // an address that is its own device is never linked
    linkFrame(linker, input, unlinked, list.devices, ownName);
}

void traceReading(const Reading& reading) {
    logText("Readed MAC: %s\n", reading.mac);
    logText("Readed Signal: %d\n", reading.signal);
    logText("Readed seconds: %d\n", reading.seconds);
}

// The console table after a reading: a table that cannot be printed (no memory for its text,
// the pseudonyms failing) costs one line, and counting goes on.
void showTable(const EntryList& list, const CaptureSettings& settings) {
    try {
        display(list, settings.commandTimeout, settings.privacy, ConsoleThread::kCapture,
                settings.counting);
    } catch (const std::exception& error) {
        logLine("Console table not printed: %s", error.what());
    }
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

bool ignoredReading(const Reading& reading, const CaptureSettings& settings) {
    if (settings.minSignal && reading.signal != 0 && reading.signal < *settings.minSignal) {
        return true;
    }
    return settings.skipRandomMacs && locallyAdministered(reading.mac);
}

void storeReading(const Reading& reading, EntryList& list, const CaptureSettings& settings,
                  const Linking* linking) {
    if (settings.traceLevel >= kTraceLines) traceReading(reading);
    if (!ignoredReading(reading, settings)) {
        int result = updateEntryList(reading, list, settings.traceLevel, linking);
        if (result < 0) logFatal(result, "Error produced!");
    }
    pruneOldEntries(list, settings);
    if (settings.traceLevel >= kTraceTables) showTable(list, settings);
}

void pruneOldEntries(EntryList& list, const CaptureSettings& settings) {
    cleanEntryList(list, settings.maxAge, static_cast<uint32_t>(monotonicClock()));
}

bool captureTurn(EntryList& list, const CaptureSettings& settings, DeviceLinker* linker) {
    endIfStopRequested();
    const bool tracing = settings.traceLevel >= kTraceLines;
    if (tracing) {
        logText("Reading...\n");
        logFlush();  // the reader may now wait: let the traces out first
    }
    std::optional<std::string> line = readLine(0, settings.traceLevel);
    if (!line) logFatal(-1, "FATAL: Could not read from STDIN");
    if (tracing) logText("Readed Line: %s\n", line->c_str());
    if (!line->empty()) ++linesRead;
    const bool ended = standardInputEnded();
    publishLines(ended);
    Reading reading;
    if (parseCaptureLine(*line, reading)) {
        if (linker && !ignoredReading(reading, settings)) countTextDevice(*linker, reading, list);
        storeReading(reading, list, settings);
        return true;
    }
    if (settings.exitAtEnd && ended) return false;
    pruneOldEntries(list, settings);
    if (tracing) {
        logText("Sleeping....\n");
        logFlush();
    }
    sleep(1);
    endIfStopRequested();
    return true;
}
