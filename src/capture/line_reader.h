// Reads standard input line by line without hanging when the capture tool is silent.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// Initial room reserved for a line.
extern int MAXIMUM_LINE_LENGHT;

// Waits until `fd` is readable or `seconds` have passed: >0 readable, 0 time-out, <0 failure.
int input_timeout(int fd, int seconds);

// Bytes read from a descriptor beyond the line last returned; they begin the next line.
struct PendingInput {
    std::vector<char> block;  // read buffer, allocated on first use
    std::size_t begin = 0;    // first unconsumed byte
    std::size_t end = 0;      // one past the last byte read
    bool ended = false;       // a read found the end of input
};

// The next line of `fd`, without its ending byte (LF, CR or 0xFF) and cut at its first NUL;
// of a line longer than 4 MiB the first 4 MiB are kept and the rest is read and dropped.
// Empty when no byte arrived within one second or at end of input; once a line has begun it
// waits for the rest without limit. At `traceLevel` 3 and above the line's bytes are echoed as
// they arrive. nullopt only when memory is exhausted.
std::optional<std::string> readLine(int fd, PendingInput& pending, int traceLevel = 0);

// The same over one process-wide read buffer (the capture loop's standard input).
std::optional<std::string> readLine(int fd, int traceLevel);

// True once standard input has ended and every line of it was returned.
bool standardInputEnded();
