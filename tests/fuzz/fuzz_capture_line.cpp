// Any line: the parser never reads outside it and gives a reading of the promised shape.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture/capture_loop.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Lines reach the parser without NULs: the reader cuts them at the first one.
    std::string line(reinterpret_cast<const char*>(data), size);
    line.resize(std::strlen(line.c_str()));
    Reading reading;
    std::memset(&reading, 0x55, sizeof reading);
    bool capture = parseCaptureLine(line, reading);
    bool marked = line.find(" SA:") != std::string::npos || line.find(" RA:") != std::string::npos;
    if (capture != marked) std::abort();
    if (!capture) return 0;
    std::size_t length = std::strlen(reading.mac);
    if (length > 17 || reading.mac[17] != '\0') std::abort();
    if (line.find(std::string(reading.mac)) == std::string::npos) std::abort();
    for (std::size_t i = length; i < sizeof reading.mac; ++i) {
        if (reading.mac[i] != '\0') std::abort();  // zero-padded: the table compares 18 bytes
    }
    if (reading.seconds < -99 * 3600 - 99 * 60 - 99 || reading.seconds > 99 * 3661) std::abort();
    return 0;
}
