#include "report/environment.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string hostName() {
    long limit = sysconf(_SC_HOST_NAME_MAX);
    std::string name(limit > 0 ? limit + 1 : 256, '\0');
    if (gethostname(&name[0], name.size() - 1) != 0) return std::string();
    name.resize(std::strlen(name.c_str()));
    return name;
}

void runCommand(const std::string& command) {
    std::fflush(stdout);
    std::fflush(stderr);
    // The exit status tells nothing we act on: a failed upload is retried with the next one.
    (void)!std::system(command.c_str());
}
