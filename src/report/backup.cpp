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

std::uint64_t fileSize(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

// A backup file and what orders it among the older ones.
struct BackupFile {
    std::string stem;
    struct timespec modified;
    std::uint64_t size;
};

bool newerFile(const BackupFile& a, const BackupFile& b) {
    if (a.modified.tv_sec != b.modified.tv_sec) return a.modified.tv_sec > b.modified.tv_sec;
    if (a.modified.tv_nsec != b.modified.tv_nsec) return a.modified.tv_nsec > b.modified.tv_nsec;
    return laterStem(a.stem, b.stem);
}

// The backup files of `dir`, newest first: this run's (`written`) in reverse, then the others.
std::vector<BackupFile> newestFirst(const std::string& dir,
                                    const std::vector<std::string>& written) {
    std::vector<BackupFile> others;
    DIR* listing = opendir(dir.c_str());
    if (!listing) return others;
    while (dirent* entry = readdir(listing)) {
        std::string stem = backupStem(entry->d_name);
        struct stat status;
        bool ours = std::find(written.begin(), written.end(), entry->d_name) != written.end();
        if (stem.empty() || ours || stat((dir + "/" + entry->d_name).c_str(), &status) != 0)
            continue;
        others.push_back({stem, status.st_mtim, static_cast<std::uint64_t>(status.st_size)});
    }
    closedir(listing);
    std::sort(others.begin(), others.end(), newerFile);
    std::vector<BackupFile> files;
    for (auto name = written.rbegin(); name != written.rend(); ++name) {
        files.push_back({backupStem(*name), {}, fileSize(dir + "/" + *name)});
    }
    files.insert(files.end(), others.begin(), others.end());
    return files;
}

}  // namespace

BackupOutcome writeBackup(const FileWriter& write, const std::string& dir) {
    std::time_t now = wallClock();
    BackupOutcome outcome;
    outcome.on = markerPresent(dir);
    if (!outcome.on) return outcome;
    std::string name = std::to_string(static_cast<long long>(now)) + ".dat";
    if (replaceFile(dir + "/" + name, write, 0644)) outcome.name = name;
    return outcome;
}

void pruneBackups(const std::string& dir, std::size_t maxFiles, std::uint64_t maxBytes,
                  std::vector<std::string>& written) {
    if (maxFiles == 0 && maxBytes == 0) written.clear();
    if ((maxFiles == 0 && maxBytes == 0) || !markerPresent(dir)) return;
    written.erase(std::remove_if(written.begin(), written.end(),
                                 [&](const std::string& name) {
                                     struct stat status;
                                     return stat((dir + "/" + name).c_str(), &status) != 0;
                                 }),
                  written.end());
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    bool full = false;
    for (const BackupFile& file : newestFirst(dir, written)) {
        if (!full) {
            bytes += file.size;
            ++files;
            full = (maxFiles != 0 && files > maxFiles) || (maxBytes != 0 && bytes > maxBytes);
        }
        if (!full) continue;
        const std::string name = file.stem + ".dat";
        unlink((dir + "/" + name).c_str());
        written.erase(std::remove(written.begin(), written.end(), name), written.end());
    }
}

int backup(const std::string& document, const std::string& dir) {
    writeBackup([&](int fd) { return writeAll(fd, document) && writeAll(fd, "\n"); }, dir);
    return 0;
}
