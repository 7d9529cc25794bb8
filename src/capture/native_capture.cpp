#include "capture/native_capture.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "capture/frame.h"
#include "log.h"
#include "stop.h"

const char* const kDefaultCaptureFilter = "type mgt or (type data and (dir nods or dir tods))";

namespace {

// Room for the radiotap header, the 802.11 header and the first information elements.
constexpr int kSnapLength = 256;
// The kernel hands frames over in blocks at most this late: a busy channel costs a few wake-ups
// a second, not one per frame.
constexpr int kBufferTimeoutMs = 500;
// The kernel's ring for frames not yet read: a second of a busy channel at the snap length.
constexpr int kRingBytes = 1 << 20;
// Frames handed to the table between two looks at the stop flag when reading a file.
constexpr int kFileBatch = 4096;
constexpr int kRetrySeconds = 2;
constexpr int kWaitMs = 1000;

// What opening the interface came to.
enum class Opened { kYes, kAway, kFailed };

[[noreturn]] void startFailure(const std::string& text) {
    logFatal(-1, "%s\n", text.c_str());
}

std::string linkTypeName(int linkType) {
    const char* name = pcap_datalink_val_to_name(linkType);
    const char* description = pcap_datalink_val_to_description(linkType);
    std::string text = name ? name : std::to_string(linkType);
    if (description) text += std::string(" (") + description + ")";
    return text;
}

// Compiles the source's filter for `handle` and installs it; the compiler's message on failure.
std::optional<std::string> installFilter(pcap_t* handle, const std::string& filter) {
    bpf_program program;
    if (pcap_compile(handle, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        return std::string(pcap_geterr(handle));
    }
    int result = pcap_setfilter(handle, &program);
    pcap_freecode(&program);
    if (result != 0) return std::string(pcap_geterr(handle));
    return std::nullopt;
}

std::string filterFailure(const std::string& filter, const std::string& why) {
    return "capture_filter \"" + filter + "\" does not compile: " + why;
}

std::string wrongLinkType(const std::string& name, int linkType) {
    return "Capture interface " + name + " has link type " + linkTypeName(linkType) +
           ": a monitor interface (802.11 with radiotap) is needed";
}

// Creates and activates a capture on the interface; `why` says what went wrong otherwise.
Opened openInterface(NativeCapture& capture, std::string& why) {
    char error[PCAP_ERRBUF_SIZE] = "";
    const std::string& name = capture.source.interface;
    PcapHandle handle(pcap_create(name.c_str(), error));
    if (!handle) {
        why = error;
        return Opened::kFailed;
    }
    pcap_set_snaplen(handle.get(), kSnapLength);
    pcap_set_timeout(handle.get(), kBufferTimeoutMs);
    pcap_set_buffer_size(handle.get(), kRingBytes);
    int status = pcap_activate(handle.get());
    if (status < 0) {
        why = pcap_geterr(handle.get());
        bool away = status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_IFACE_NOT_UP;
        return away ? Opened::kAway : Opened::kFailed;
    }
    int linkType = pcap_datalink(handle.get());
    if (linkType != DLT_IEEE802_11_RADIO) {
        why = wrongLinkType(name, linkType);
        return Opened::kFailed;
    }
    if (auto failure = installFilter(handle.get(), capture.source.filter)) {
        why = filterFailure(capture.source.filter, *failure);
        return Opened::kFailed;
    }
    if (pcap_setnonblock(handle.get(), 1, error) != 0) {
        why = error;
        return Opened::kFailed;
    }
    capture.handle = std::move(handle);
    return Opened::kYes;
}

// Checks that the filter compiles for radiotap frames, before any interface exists.
void checkFilter(const std::string& filter) {
    PcapHandle probe(pcap_open_dead(DLT_IEEE802_11_RADIO, kSnapLength));
    if (!probe) startFailure("Cannot check capture_filter: out of memory");
    bpf_program program;
    if (pcap_compile(probe.get(), &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        startFailure(filterFailure(filter, pcap_geterr(probe.get())));
    }
    pcap_freecode(&program);
}

void openFile(NativeCapture& capture) {
    char error[PCAP_ERRBUF_SIZE] = "";
    const std::string& path = capture.source.file;
    PcapHandle handle(pcap_open_offline(path.c_str(), error));
    if (!handle) startFailure("Cannot open capture_file " + path + ": " + error);
    int linkType = pcap_datalink(handle.get());
    if (linkType != DLT_IEEE802_11_RADIO) {
        startFailure("capture_file " + path + " has link type " + linkTypeName(linkType) +
                     ": frames with radiotap headers are needed");
    }
    if (auto failure = installFilter(handle.get(), capture.source.filter)) {
        startFailure(filterFailure(capture.source.filter, *failure));
    }
    capture.handle = std::move(handle);
}

// Sleeps `milliseconds` unless a stop comes first (stop signals reach this thread).
void napUnlessStopped(int milliseconds) {
    poll(nullptr, 0, milliseconds);
    endIfStopRequested();
}

// Tries the interface every 2 s until it opens, saying once why it is not there.
void waitForInterface(NativeCapture& capture, bool announce) {
    const std::string& name = capture.source.interface;
    for (;;) {
        std::string why;
        Opened opened = openInterface(capture, why);
        if (opened == Opened::kYes) break;
        if (opened == Opened::kFailed && !capture.everCaptured) startFailure(why);
        if (announce) {
            logLine("Capture interface %s is not there (%s): trying again every %d s", name.c_str(),
                    why.c_str(), kRetrySeconds);
            announce = false;
        }
        napUnlessStopped(kRetrySeconds * 1000);
    }
    capture.everCaptured = true;
    logLine("Capturing on %s", name.c_str());
}

struct FrameSink {
    NativeCapture* capture;
    EntryList* list;
    const CaptureSettings* settings;
};

void onFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    FrameSink& sink = *reinterpret_cast<FrameSink*>(user);
    Reading reading;
    if (frameReading(*sink.capture, *header, bytes, reading, sink.settings->traceLevel)) {
        storeReading(reading, *sink.list, *sink.settings);
    }
}

// Waits up to a second for frames (less when libpcap needs to look again sooner).
void waitForFrames(pcap_t* handle) {
    int wait = kWaitMs;
    if (const timeval* required = pcap_get_required_select_timeout(handle)) {
        long limit = required->tv_sec * 1000L + required->tv_usec / 1000;
        wait = static_cast<int>(std::clamp<long>(limit, 1, kWaitMs));
    }
    pollfd watched{pcap_get_selectable_fd(handle), POLLIN, 0};
    poll(&watched, 1, wait);
}

void captureInterface(NativeCapture& capture, FrameSink& sink) {
    const std::string& name = capture.source.interface;
    bool announce = true;
    for (;;) {
        if (!capture.handle) {
            waitForInterface(capture, announce);
            announce = true;
        }
        waitForFrames(capture.handle.get());
        endIfStopRequested();
        if (pcap_dispatch(capture.handle.get(), -1, onFrame, reinterpret_cast<u_char*>(&sink)) <
            0) {
            logLine("Capture interface %s went away (%s): trying again every %d s", name.c_str(),
                    pcap_geterr(capture.handle.get()), kRetrySeconds);
            capture.handle.reset();
            announce = false;
        }
    }
}

// Reads the file to its end; false, after one line saying where reading stopped and why (a
// cut or damaged record, an interface of another link type), when it cannot be.
bool captureFile(NativeCapture& capture, FrameSink& sink) {
    int frames;
    do {
        endIfStopRequested();
        frames = pcap_dispatch(capture.handle.get(), kFileBatch, onFrame,
                               reinterpret_cast<u_char*>(&sink));
    } while (frames > 0);
    if (frames < 0) {
        std::FILE* file = pcap_file(capture.handle.get());
        long offset = file ? std::ftell(file) : -1;
        logLine("capture_file %s: cannot be read past byte %ld: %s", capture.source.file.c_str(),
                offset, pcap_geterr(capture.handle.get()));
    }
    capture.handle.reset();
    return frames == 0;
}

// Seconds since local midnight of the frame's time, as the capture tool prints it; one look at
// the time zone per second of frames.
int32_t timeOfDay(NativeCapture& capture, std::time_t second) {
    if (second != capture.daySecond) {
        std::tm local{};
        localtime_r(&second, &local);
        capture.daySecond = second;
        capture.dayTime = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    }
    return capture.dayTime;
}

}  // namespace

std::optional<NativeCapture> openNativeCapture(const std::optional<std::string>& interface,
                                               const std::optional<std::string>& file,
                                               const std::optional<std::string>& filter) {
    if (!interface && !file) return std::nullopt;
    if (interface && file) startFailure("capture_interface and capture_file are both set");
    NativeCapture capture;
    capture.source = {interface.value_or(""), file.value_or(""),
                      filter.value_or(kDefaultCaptureFilter)};
    if (file) {
        openFile(capture);
    } else {
        checkFilter(capture.source.filter);
    }
    return capture;
}

bool runNativeCapture(NativeCapture& capture, EntryList& list, const CaptureSettings& settings) {
    FrameSink sink{&capture, &list, &settings};
    if (capture.source.file.empty()) captureInterface(capture, sink);
    return captureFile(capture, sink);
}

bool frameReading(NativeCapture& capture, const pcap_pkthdr& header, const uint8_t* bytes,
                  Reading& reading, int traceLevel) {
    FrameFacts facts;
    FrameResult result = readFrame(bytes, header.caplen, header.len, facts);
    if (result != FrameResult::kRead) {
        if (traceLevel >= kTraceLines) {
            logText("Skipped frame: %s (%u of %u bytes)\n", frameResultName(result), header.caplen,
                    header.len);
        }
        return false;
    }
    formatAddress(facts.address, reading.mac);
    reading.signal = facts.signal;
    reading.seconds = timeOfDay(capture, header.ts.tv_sec);
    return true;
}
