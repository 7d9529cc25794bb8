#include "report/backup.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "clock.h"
#include "report/files.h"

namespace {

bool markerPresent(const std::string& dir) {
    std::FILE* marker = std::fopen((dir + "/writebackup").c_str(), "r");
    if (!marker) return false;
    std::fclose(marker);
    return true;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The digits of a "<digits>.dat" name, or empty for any other name.
std::string backupStem(const std::string& name) {
    const std::string suffix = ".dat";
    if (name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return std::string();
    std::string stem = name.substr(0, name.size() - suffix.size());
    return std::all_of(stem.begin(), stem.end(), isDigit) ? stem : std::string();
}

// True when the digits `a` stand for a later time than `b` (any length, leading zeros too).
bool laterStem(const std::string& a, const std::string& b) {
    std::size_t zerosA = std::min(a.find_first_not_of('0'), a.size());
    std::size_t zerosB = std::min(b.find_first_not_of('0'), b.size());
    std::size_t lengthA = a.size() - zerosA, lengthB = b.size() - zerosB;
    if (lengthA != lengthB) return lengthA > lengthB;
    int order = a.compare(zerosA, lengthA, b, zerosB, lengthB);
    return order != 0 ? order > 0 : a > b;
}

// The backup files' names in `dir`, newest first.
std::vector<std::string> newestFirst(const std::string& dir) {
    std::vector<std::string> stems;
    DIR* listing = opendir(dir.c_str());
    if (!listing) return stems;
    while (dirent* entry = readdir(listing)) {
        std::string stem = backupStem(entry->d_name);
        if (!stem.empty()) stems.push_back(stem);
    }
    closedir(listing);
    std::sort(stems.begin(), stems.end(), laterStem);
    return stems;
}

std::uint64_t fileSize(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

}  // namespace

int backup(const FileWriter& write, const std::string& dir) {
    std::time_t now = wallClock();
    if (!markerPresent(dir)) return 0;
    replaceFile(dir + "/" + std::to_string(static_cast<long long>(now)) + ".dat", write, 0644);
    return 0;
}

void pruneBackups(const std::string& dir, std::size_t maxFiles, std::uint64_t maxBytes) {
    if ((maxFiles == 0 && maxBytes == 0) || !markerPresent(dir)) return;
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    bool full = false;
    for (const std::string& stem : newestFirst(dir)) {
        std::string path = dir + "/" + stem + ".dat";
        if (!full) {
            bytes += fileSize(path);
            ++files;
            full = (maxFiles != 0 && files > maxFiles) || (maxBytes != 0 && bytes > maxBytes);
        }
        if (full) unlink(path.c_str());
    }
}

int backup(const std::string& document, const std::string& dir) {
    return backup([&](int fd) { return writeAll(fd, document) && writeAll(fd, "\n"); }, dir);
}
