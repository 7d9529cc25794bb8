#include "report/environment.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
constexpr std::size_t kHostNameRoom = 256;
}  // namespace

std::string hostName() {
    // Room for the longest name the C library allows (255), whatever _SC_HOST_NAME_MAX says;
    // a name cut short still comes back terminated.
    std::string name(kHostNameRoom + 1, '\0');
    if (gethostname(&name[0], kHostNameRoom) != 0 && errno != ENAMETOOLONG) return std::string();
    name.resize(std::strlen(name.c_str()));
    return name;
}
