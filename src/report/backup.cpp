#include "report/backup.h"

#include <cstdio>

#include "clock.h"
#include "report/files.h"

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
    replaceFile(dir + "/" + std::to_string(static_cast<long long>(now)) + ".dat", document + "\n",
                0644);
    return 0;
}
