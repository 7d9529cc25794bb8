// Reads frames through libpcap, from a monitor interface or a capture file, into the table:
// no capture tool, no text in between.
#pragma once

#include <pcap/pcap.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "capture/capture_loop.h"
#include "capture/frame.h"
#include "report/scheduler.h"
#include "table/device_linker.h"
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
    bool timeRefused = false;            // a frame's time was out of range, and that was said
    std::optional<DeviceLinker> linker;  // with `count_devices`
    // A recording's reports, turned on the capture thread by its own clock from its first frame.
    std::optional<ReportLoop> reports;
    uint64_t frames = 0;         // frames read since start, for the status
    uint64_t droppedBefore = 0;  // dropped by the interface's earlier handles
    uint64_t dropped = 0;        // dropped by the current one, as libpcap last said
};

// The source the settings name, or nullopt when they name none (standard input then). Prints
// one line and ends the process with status 255 when they cannot work: both named, a file that
// cannot be read, a filter that does not compile, a link type without radiotap. With
// `countDevices`, probe requests are captured whole and linked into devices.
std::optional<NativeCapture> openNativeCapture(const std::optional<std::string>& interface,
                                               const std::optional<std::string>& file,
                                               const std::optional<std::string>& filter,
                                               bool countDevices = false);

// Feeds every frame to the table. From an interface it never returns: an interface that goes
// away is waited for and opened again. A recording is read on its own clock, its reports made
// on this thread as they fall due; at its end (or where it cannot be read further, said in
// one line) comes the last report, then the exit with `exit_at_end`, else a wait for a stop:
// it never returns either.
[[noreturn]] void runNativeCapture(NativeCapture& capture, EntryList& list,
                                   const CaptureSettings& settings);

// The reading of one captured frame, or false when it gives none (traced at `traceLevel` 3);
// `facts` as the frame reader left them, and a probe request's body in `probe` when given.
bool frameReading(NativeCapture& capture, const pcap_pkthdr& header, const uint8_t* bytes,
                  Reading& reading, int traceLevel, FrameFacts& facts, ProbeFacts* probe = nullptr);
