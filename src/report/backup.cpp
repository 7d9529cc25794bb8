#include "report/backup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "report/environment.h"
#include "table/device_table.h"

namespace {

bool markerPresent(const std::string& dir) {
    std::FILE* marker = std::fopen((dir + "/writebackup").c_str(), "r");
    if (!marker) return false;
    std::fclose(marker);
    return true;
}

}  // namespace

int backup(const std::string& document, const std::string& dir) {
    std::time_t now = wallClock();
    if (!markerPresent(dir)) return 0;
    std::string target = dir + "/" + std::to_string(static_cast<long long>(now)) + ".dat";
    // Written under a name that no reader of "*.dat" picks up, then renamed in one step.
    std::string temporary = target + ".XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0) return 0;
    bool complete = fchmod(fd, 0644) == 0 && writeAll(fd, document + "\n") && fsync(fd) == 0;
    complete = close(fd) == 0 && complete;
    if (!complete || std::rename(temporary.c_str(), target.c_str()) != 0) {
        unlink(temporary.c_str());
    }
    return 0;
}
