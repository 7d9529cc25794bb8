#include "capture/capture_open.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <iterator>
#include <vector>

#include "clock.h"
#include "log.h"
#include "report/status.h"
#include "stop.h"

const char* const kDefaultCaptureFilter = "type mgt or (type data and (dir nods or dir tods))";

namespace {

// Room for the radiotap header, the 802.11 header and the first information elements.
constexpr int kSnapLength = 256;
// Counting devices reads a probe request's every element: those come whole (they are a few
// hundred bytes at most), every other frame still at kSnapLength.
constexpr int kProbeSnapLength = 1024;
// The kernel hands frames over in blocks at most this late: a busy channel costs a few wake-ups
// a second, not one per frame.
constexpr int kBufferTimeoutMs = 500;
// The kernel's ring for frames not yet read: a second of a busy channel at the snap length.
constexpr int kRingBytes = 1 << 20;

// What opening the interface came to: open, not there (missing or down), refused to us (no
// right to capture), or a failure that retrying cannot mend.
enum class Opened { kYes, kAway, kRefused, kFailed };

// How a failed activation is taken; `permission` when the system said no right (EPERM, EACCES).
Opened activationFailure(int status, bool permission) {
    if (status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_IFACE_NOT_UP) {
        return Opened::kAway;
    }
    if (status == PCAP_ERROR_PERM_DENIED || permission) return Opened::kRefused;
    return Opened::kFailed;
}

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

// The compiled filter with every accepting return sent to a tail that keeps a probe request
// whole and cuts any other frame at kSnapLength: the kernel keeps what the filter returns.
std::vector<bpf_insn> probesWhole(const bpf_program& program) {
    std::vector<bpf_insn> code(program.bf_insns, program.bf_insns + program.bf_len);
    const uint32_t tail = static_cast<uint32_t>(code.size());
    for (uint32_t at = 0; at < tail; ++at) {
        if (code[at].code == (BPF_RET | BPF_K) && code[at].k != 0) {
            code[at] = bpf_insn{BPF_JMP | BPF_JA, 0, 0, tail - at - 1};
        }
    }
    const bpf_insn kTail[] = {
        {BPF_LD | BPF_B | BPF_ABS, 0, 0, 3},  // radiotap length, little-endian
        {BPF_ALU | BPF_LSH | BPF_K, 0, 0, 8},
        {BPF_MISC | BPF_TAX, 0, 0, 0},
        {BPF_LD | BPF_B | BPF_ABS, 0, 0, 2},
        {BPF_ALU | BPF_OR | BPF_X, 0, 0, 0},
        {BPF_MISC | BPF_TAX, 0, 0, 0},
        {BPF_LD | BPF_B | BPF_IND, 0, 0, 0},  // the frame control's first byte
        {BPF_ALU | BPF_AND | BPF_K, 0, 0, 0xFC},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0x40},  // management, subtype 4
        {BPF_RET | BPF_K, 0, 0, kProbeSnapLength},
        {BPF_RET | BPF_K, 0, 0, kSnapLength},
    };
    code.insert(code.end(), std::begin(kTail), std::end(kTail));
    return code;
}

// Compiles the source's filter for `handle` and installs it (with probe requests kept whole
// when `probes`); the compiler's message on failure.
std::optional<std::string> installFilter(pcap_t* handle, const std::string& filter,
                                         bool probes = false) {
    bpf_program program;
    if (pcap_compile(handle, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        return std::string(pcap_geterr(handle));
    }
    int result;
    if (probes) {
        std::vector<bpf_insn> code = probesWhole(program);
        bpf_program whole{static_cast<u_int>(code.size()), code.data()};
        result = pcap_setfilter(handle, &whole);
    } else {
        result = pcap_setfilter(handle, &program);
    }
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

// The commands the report side runs (curl, as the same user) never hold the capture's socket
// or file: it would let them read the air without the capability.
void keepFromCommands(pcap_t* handle) {
    const int descriptor = pcap_get_selectable_fd(handle);
    if (descriptor >= 0) fcntl(descriptor, F_SETFD, FD_CLOEXEC);
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
    const bool probes = capture.linker.has_value();
    pcap_set_snaplen(handle.get(), probes ? kProbeSnapLength : kSnapLength);
    pcap_set_timeout(handle.get(), kBufferTimeoutMs);
    pcap_set_buffer_size(handle.get(), kRingBytes);
    errno = 0;
    int status = pcap_activate(handle.get());
    if (status < 0) {
        const bool permission = status == PCAP_ERROR && (errno == EPERM || errno == EACCES);
        why = pcap_geterr(handle.get());
        return activationFailure(status, permission);
    }
    int linkType = pcap_datalink(handle.get());
    if (linkType != DLT_IEEE802_11_RADIO) {
        why = wrongLinkType(name, linkType);
        return Opened::kFailed;
    }
    if (auto failure = installFilter(handle.get(), capture.source.filter, probes)) {
        why = filterFailure(capture.source.filter, *failure);
        return Opened::kFailed;
    }
    if (pcap_setnonblock(handle.get(), 1, error) != 0) {
        why = error;
        return Opened::kFailed;
    }
    keepFromCommands(handle.get());
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
    keepFromCommands(handle.get());
    capture.handle = std::move(handle);
}

// Sleeps `milliseconds` unless a stop comes first (stop signals reach this thread).
void napUnlessStopped(int milliseconds) {
    poll(nullptr, 0, milliseconds);
    endIfStopRequested();
}

}  // namespace

void waitForInterface(NativeCapture& capture, bool announce) {
    const std::string& name = capture.source.interface;
    // The trouble last said: each kind is said once while it lasts.
    Opened said = announce ? Opened::kYes : Opened::kAway;
    for (;;) {
        std::string why;
        Opened opened = openInterface(capture, why);
        if (opened == Opened::kYes) break;
        if (opened == Opened::kFailed && !capture.everCaptured) startFailure(why);
        if (opened == Opened::kFailed) opened = Opened::kAway;  // it was there: it may come back
        const bool refused = opened == Opened::kRefused;
        noteCaptureState(refused ? CaptureState::kRefused : CaptureState::kWaiting,
                         refused ? why.c_str() : "");
        if (opened != said) {
            logLine(refused ? "Capture on %s is refused: %s; trying again every %d s"
                            : "Capture interface %s is not there (%s): trying again every %d s",
                    name.c_str(), why.c_str(), kRetrySeconds);
            said = opened;
        }
        napUnlessStopped(kRetrySeconds * 1000);
    }
    capture.everCaptured = true;
    noteCaptureState(CaptureState::kCapturing);
    logLine("Capturing on %s", name.c_str());
}

std::optional<NativeCapture> openNativeCapture(const std::optional<std::string>& interface,
                                               const std::optional<std::string>& file,
                                               const std::optional<std::string>& filter,
                                               bool countDevices) {
    if (!interface && !file) return std::nullopt;
    if (interface && file) startFailure("capture_interface and capture_file are both set");
    NativeCapture capture;
    capture.source = {interface.value_or(""), file.value_or(""),
                      filter.value_or(kDefaultCaptureFilter)};
    if (countDevices) capture.linker.emplace();
    if (file) {
        followRecordedTime();
        openFile(capture);
    } else {
        checkFilter(capture.source.filter);
    }
    return capture;
}
