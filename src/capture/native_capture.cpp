#include "capture/native_capture.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "capture/capture_open.h"
#include "capture/frame.h"
#include "clock.h"
#include "log.h"
#include "report/status.h"
#include "stop.h"

namespace {

// Frames handed to the table between two looks at the stop flag when reading a file.
constexpr int kFileBatch = 4096;
constexpr int kWaitMs = 1000;

struct FrameSink {
    NativeCapture* capture;
    EntryList* list;
    const CaptureSettings* settings;
};

// Hands the frames and drops counted so far to the status, and writes a change it holds.
void publishFigures(NativeCapture& capture) {
    if (!statusKept()) return;
    pcap_stat counts{};
    if (capture.handle && !capture.source.interface.empty() &&
        pcap_stats(capture.handle.get(), &counts) == 0) {
        capture.dropped = counts.ps_drop;
    }
    noteCaptureFigures(capture.frames, capture.droppedBefore + capture.dropped);
}

// Sets the recording's clock to `second` and turns the reports there, after pruning as a quiet
// second of live capture does; the status written then counts the frames read so far.
void turnAt(std::time_t second, FrameSink& sink) {
    setRecordedTime(second);
    pruneOldEntries(*sink.list, *sink.settings);
    publishFigures(*sink.capture);
    reportTurn(*sink.capture->reports);
}

// Moves the recording's clock to a frame's `second`, first making the reports that fall due on
// the way, each holding exactly the frames before its time. In a stretch without frames each
// timer fires once at most, at its first due time: one report stands for the quiet windows
// after it (a jump of the recorded time would otherwise make one per window), and pacing
// resumes from the frame when more than one fell due. The last turn is at `second`. Time never
// runs back.
void followRecording(NativeCapture& capture, FrameSink& sink, std::time_t second) {
    if (!capture.reports) {
        setRecordedTime(second);
        capture.reports.emplace(startReportLoop(*sink.list));
        return;
    }
    ReportLoop& reports = *capture.reports;
    for (std::time_t now = monotonicClock(); now < second;) {
        const std::time_t due = nextDueSecond(reports);
        // Past due (a day's closing that failed, tried again later): straight to the frame.
        now = due > now && due < second ? due : second;
        const std::time_t day = reports.timers.day;
        turnAt(now, sink);
        restartFiredTimers(reports, now, second, day);
    }
}

// What the linker needs of the frame: its sender, time, signal and probe request's body.
LinkInput linkInput(const pcap_pkthdr& header, const FrameFacts& facts, const ProbeFacts& probe) {
    LinkInput input{{},
                    header.ts.tv_sec * int64_t{1000} + header.ts.tv_usec / 1000,
                    facts.signal,
                    facts.isProbe ? &probe : nullptr,
                    facts.isAccessPoint};
    std::memcpy(input.address, facts.address, sizeof input.address);
    return input;
}

// The last second of the year 9999: a later frame time (a pcapng's time offset can say
// anything) would overflow the times reckoned from it.
constexpr int64_t kLatestFrameSecond = 253402300799;

// False for a frame stamped before 1970 or after kLatestFrameSecond, which is skipped: the first
// is said in one line.
bool frameTimeUsable(NativeCapture& capture, const timeval& stamp) {
    if (stamp.tv_sec >= 0 && static_cast<int64_t>(stamp.tv_sec) <= kLatestFrameSecond) return true;
    if (!capture.timeRefused) {
        logLine("Frames stamped before 1970 or after the year 9999 are skipped (the first: %lld s)",
                static_cast<long long>(stamp.tv_sec));
        capture.timeRefused = true;
    }
    return false;
}

void onFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    FrameSink& sink = *reinterpret_cast<FrameSink*>(user);
    NativeCapture& capture = *sink.capture;
    // A stop ends the batch at once: its reports would otherwise come first.
    if (stopRequested()) return pcap_breakloop(capture.handle.get());
    ++capture.frames;
    if (!frameTimeUsable(capture, header->ts)) return;
    if (!capture.source.file.empty()) followRecording(capture, sink, header->ts.tv_sec);
    Reading reading;
    FrameFacts facts;
    ProbeFacts probe;
    ProbeFacts* probeWanted = capture.linker ? &probe : nullptr;
    if (!frameReading(capture, *header, bytes, reading, sink.settings->traceLevel, facts,
                      probeWanted)) {
        return;
    }
    if (!capture.linker) return storeReading(reading, *sink.list, *sink.settings);
    const LinkInput frame = linkInput(*header, facts, probe);
    const Linking linking{*capture.linker, frame};
    storeReading(reading, *sink.list, *sink.settings, &linking);
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

// An interface's handle goes: what it dropped stays counted.
void dropHandle(NativeCapture& capture) {
    capture.handle.reset();
    capture.droppedBefore += capture.dropped;
    capture.dropped = 0;
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
        pruneOldEntries(*sink.list, *sink.settings);  // also when the air is quiet
        const int frames =
            pcap_dispatch(capture.handle.get(), -1, onFrame, reinterpret_cast<u_char*>(&sink));
        if (frames < 0 && frames != PCAP_ERROR_BREAK) {
            logLine("Capture interface %s went away (%s): trying again every %d s", name.c_str(),
                    pcap_geterr(capture.handle.get()), kRetrySeconds);
            dropHandle(capture);
            noteCaptureState(CaptureState::kWaiting);
            announce = false;
        }
        publishFigures(capture);
    }
}

// Reads the file to its end; false, after one line saying where reading stopped and why (a
// cut or damaged record, an interface of another link type), when it cannot be.
bool captureFile(NativeCapture& capture, FrameSink& sink) {
    int frames;
    do {
        if (capture.reports) endAfterStop(*capture.reports);
        endIfStopRequested();
        frames = pcap_dispatch(capture.handle.get(), kFileBatch, onFrame,
                               reinterpret_cast<u_char*>(&sink));
        publishFigures(capture);
    } while (frames > 0 || frames == PCAP_ERROR_BREAK);  // a break: a stop, ended above
    if (frames < 0) {
        std::FILE* file = pcap_file(capture.handle.get());
        long offset = file ? std::ftell(file) : -1;
        logLine("capture_file %s: cannot be read past byte %ld: %s", capture.source.file.c_str(),
                offset, pcap_geterr(capture.handle.get()));
    }
    capture.handle.reset();
    publishFigures(capture);
    noteCaptureState(CaptureState::kEnded);
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

void runNativeCapture(NativeCapture& capture, EntryList& list, const CaptureSettings& settings) {
    FrameSink sink{&capture, &list, &settings};
    if (capture.source.file.empty()) captureInterface(capture, sink);
    const bool whole = captureFile(capture, sink);
    if (!capture.reports) capture.reports.emplace(startReportLoop(list));
    ReportLoop& reports = *capture.reports;
    // The last document holds what the recording's end left since the one before; it takes
    // the next second when a document was made in the last one, so no two share a stamp (but
    // a day's closing document, which takes the day's last second).
    const std::time_t end = monotonicClock();
    if (reports.timers.uploadMark == end) setRecordedTime(end + 1);
    if (settings.exitAtEnd) requestLastReport(whole);
    pruneOldEntries(list, settings);
    reportTurn(reports);  // with exit_at_end it ends the process
    // Unless that turn made it (a document was due then, or the day closed).
    if (reports.timers.uploadMark != monotonicClock()) {
        report(reports.settings, list, reports.state);
    }
    // Nothing comes after it: once it was delivered or spooled, a stop has nothing to keep.
    reports.state.lastKept = reports.state.lastDelivered;
    // A lost one is made again, as a report would be at its next turn.
    int64_t triedAt = machineClock();
    for (;;) {
        endAfterStop(reports);
        retryLostReport(reports, triedAt);
        sleep(1);
        statusTick();
    }
}

bool frameReading(NativeCapture& capture, const pcap_pkthdr& header, const uint8_t* bytes,
                  Reading& reading, int traceLevel, FrameFacts& facts, ProbeFacts* probe) {
    FrameResult result = readFrame(bytes, header.caplen, header.len, facts, probe);
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
