// Any byte stream, cut into any chunks: the block reader returns the same lines as the plain
// rule (LF, CR and 0xFF end a line; a NUL cuts the text; end of input gives empty texts).
// Input: one byte of chunk-size seed, then the stream.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/line_reader.h"

namespace {

std::vector<std::string> expectedLines(const std::string& stream) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : stream) {
        if (c == '\n' || c == '\r' || c == '\xff') {
            lines.push_back(line.c_str());
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line.c_str());
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 60000) return 0;
    unsigned seed = data[0];
    std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    // A packet socket keeps the chunks apart: each read returns exactly one of them.
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) std::abort();
    int buffer = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    for (std::size_t at = 0; at < stream.size();) {
        std::size_t chunk = 1 + (seed = seed * 1103515245u + 12345u) % 97;
        if (seed & 0x100) chunk *= 40;
        chunk = std::min(chunk, stream.size() - at);
        if (write(fds[1], stream.data() + at, chunk) != static_cast<ssize_t>(chunk)) std::abort();
        at += chunk;
    }
    close(fds[1]);

    PendingInput pending;
    for (const std::string& expected : expectedLines(stream)) {
        std::optional<std::string> line = readLine(fds[0], pending);
        if (!line || *line != expected) std::abort();
    }
    for (int i = 0; i < 2; ++i) {
        std::optional<std::string> line = readLine(fds[0], pending);
        if (!line || !line->empty()) std::abort();
    }
    close(fds[0]);
    return 0;
}
