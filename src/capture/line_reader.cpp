#include "capture/line_reader.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "log.h"
#include "stop.h"

int MAXIMUM_LINE_LENGHT = 256;

namespace {

// One read takes whatever the pipe holds, up to this much.
constexpr std::size_t kBlockSize = 64 * 1024;
// A line that never ends must not take all memory: this much of it is kept.
constexpr std::size_t kMaxLineBytes = 4 * 1024 * 1024;

// First byte in [first, last) that ends a line (LF, CR or 0xFF), or `last`.
const char* findLineEnd(const char* first, const char* last) {
    // Three vectorised scans beat one byte loop; each later scan only covers what is left.
    for (int ending : {0x0A, 0x0D, 0xFF}) {
        if (const void* hit = std::memchr(first, ending, last - first)) {
            last = static_cast<const char*>(hit);
        }
    }
    return last;
}

// Reads one block into the empty buffer; false at end of input or on a read error.
bool fillBlock(int fd, PendingInput& in) {
    ssize_t got = read(fd, in.block.data(), in.block.size());
    in.begin = 0;
    in.end = got > 0 ? static_cast<std::size_t>(got) : 0;
    if (got == 0) in.ended = true;
    return got > 0;
}

// A begun line waits without limit, in one-second slices; failures are retried like time-outs.
void waitForMore(int fd) {
    while (input_timeout(fd, 1) <= 0) endIfStopRequested();
}

}  // namespace

int input_timeout(int fd, int seconds) {
    // poll rather than select: same answer, and safe for descriptors past FD_SETSIZE.
    pollfd watched{fd, POLLIN, 0};
    return poll(&watched, 1, seconds * 1000);
}

std::optional<std::string> readLine(int fd, PendingInput& in, int traceLevel) {
    try {
        if (in.block.empty()) in.block.resize(kBlockSize);
    } catch (const std::bad_alloc&) {
        logText("Error allocating memory for line buffer.");
        return std::nullopt;
    }
    std::string line;
    if (in.begin == in.end && (input_timeout(fd, 1) <= 0 || !fillBlock(fd, in))) return line;
    try {
        line.reserve(MAXIMUM_LINE_LENGHT);
    } catch (const std::bad_alloc&) {
        logText("Error allocating memory for line buffer.");
        return std::nullopt;
    }
    try {
        for (;;) {
            const char* first = in.block.data() + in.begin;
            const char* last = in.block.data() + in.end;
            const char* stop = findLineEnd(first, last);
            // Past the cap the rest of the line is read and dropped.
            std::size_t kept = std::min<std::size_t>(stop - first, kMaxLineBytes - line.size());
            if (traceLevel >= kTraceLines) logBytes(first, kept);
            line.append(first, kept);
            if (stop != last) {
                in.begin = stop - in.block.data() + 1;  // the ending byte is consumed
                break;
            }
            in.begin = in.end = 0;
            waitForMore(fd);
            if (!fillBlock(fd, in)) break;  // end of input or an error ends the line
        }
    } catch (const std::bad_alloc&) {
        logText("Error reallocating space for line buffer.");
        return std::nullopt;
    }
    std::size_t nul = line.find('\0');
    if (nul != std::string::npos) line.resize(nul);
    return line;
}

namespace {
PendingInput standardInput;
}  // namespace

std::optional<std::string> readLine(int fd, int traceLevel) {
    return readLine(fd, standardInput, traceLevel);
}

bool standardInputEnded() {
    return standardInput.ended && standardInput.begin == standardInput.end;
}
