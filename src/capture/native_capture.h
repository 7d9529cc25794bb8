// Reads frames through libpcap, from a monitor interface or a capture file, into the table:
// no capture tool, no text in between.
#pragma once

#include <pcap/pcap.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "capture/capture_loop.h"
#include "table/device_table.h"

// The default capture filter: management frames, and data frames whose source address is the
// station that sent them.
extern const char* const kDefaultCaptureFilter;

// Where the frames come from: one of `interface` and `file`.
struct CaptureSource {
    std::string interface;  // `capture_interface`
    std::string file;       // `capture_file`
    std::string filter;     // `capture_filter`
};

struct PcapClose {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapClose>;

// A capture and what it remembers between frames.
struct NativeCapture {
    CaptureSource source;
    PcapHandle handle;           // null while the interface is away
    bool everCaptured = false;   // a problem after the first success is waited out, not fatal
    std::time_t daySecond = -1;  // the frame second whose local time of day is cached
    int32_t dayTime = 0;
};

// The source the settings name, or nullopt when they name none (standard input then). Prints
// one line and ends the process with status 255 when they cannot work: both named, a file that
// cannot be read, a filter that does not compile, a link type without radiotap.
std::optional<NativeCapture> openNativeCapture(const std::optional<std::string>& interface,
                                               const std::optional<std::string>& file,
                                               const std::optional<std::string>& filter);

// Feeds every frame to the table. From an interface it never returns: an interface that goes
// away is waited for and opened again. From a file it returns at the file's end: true when it
// was read to there, false (after one line naming the file and where) on a read error.
bool runNativeCapture(NativeCapture& capture, EntryList& list, const CaptureSettings& settings);

// The reading of one captured frame, or false when it gives none (traced at `traceLevel` 3).
bool frameReading(NativeCapture& capture, const pcap_pkthdr& header, const uint8_t* bytes,
                  Reading& reading, int traceLevel);
