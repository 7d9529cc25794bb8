#include "report/backup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "table/device_table.h"

namespace {

bool markerPresent(const std::string& dir) {
    std::FILE* marker = std::fopen((dir + "/writebackup").c_str(), "r");
    if (!marker) return false;
    std::fclose(marker);
    return true;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
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
