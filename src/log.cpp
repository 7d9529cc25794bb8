#include "log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

void logText(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

void logLine(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::putchar('\n');
    std::fflush(stdout);
}

void logBytes(const char* bytes, std::size_t size) {
    if (size > 0) std::fwrite(bytes, 1, size, stdout);
}

void logFlush() {
    std::fflush(stdout);
}

void logStartError(const char* text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
}

void logFatal(int status, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    endProcess(status);
}

void endProcess(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}
