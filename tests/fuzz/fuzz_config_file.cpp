// Any configuration text through inih and the handler: no crash, and only the nine keys of
// section "pelmar" are ever taken.
#include <ini.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "config/decimal.h"

namespace {

struct Counted {
    Config config{};
    int taken = 0;
};

int countingHandler(void* user, const char* section, const char* name, const char* value) {
    Counted& counted = *static_cast<Counted*>(user);
    int result = iniHandler(&counted.config, section, name, value);
    if (result != 0 && result != 1) std::abort();
    if (result == 1 && std::strcmp(section, "pelmar") != 0) std::abort();
    counted.taken += result;
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    Counted counted;
    int result = ini_parse_string(text.c_str(), countingHandler, &counted);
    if (result < 0) std::abort();  // a string always "opens"
    if (counted.config.full_url && counted.config.full_url->find('\0') != std::string::npos) {
        std::abort();
    }
    decimalValue(text.c_str());
    return 0;
}
