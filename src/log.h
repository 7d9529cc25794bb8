// Every message, trace and fatal exit of the daemon. All of it goes to standard output (the one
// exception, the thread-start failure, to standard error), with no time stamp or level prefix:
// the service manager's log adds those.
#pragma once

#include <cstddef>

// Trace levels of the `debug` setting.
constexpr int kTraceLines = 3;   // every input line, reading and table lookup
constexpr int kTraceTables = 4;  // also the console table after every reading

// Prints `format` as given, line end or not, and does not flush: the fixed texts and traces.
void logText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints `format` followed by a line end and flushes: one message, one line.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Copies `size` bytes to standard output unchanged (the line reader's echo, the console table).
void logBytes(const char* bytes, std::size_t size);

// Hands everything printed so far to the reader of standard output.
void logFlush();

// Writes `text` to standard error and flushes; only for failures before the daemon runs.
void logStartError(const char* text);

// Prints `format` as given, flushes both streams and ends the process at once with `status`,
// without running destructors under the report thread's feet.
[[noreturn]] void logFatal(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Flushes both streams and ends the process at once with `status`.
[[noreturn]] void endProcess(int status);
