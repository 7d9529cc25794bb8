#include "report/spool.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "log.h"
#include "report/files.h"

namespace {

// A spool file's place in the order: its time, then its number among files of that time.
struct SpoolName {
    unsigned long long time;
    unsigned long number;
    std::string name;
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads "<digits>.json" or "<digits>-<digits>.json"; false for any other name.
bool parseSpoolName(const std::string& name, SpoolName& parsed) {
    const std::string suffix = ".json";
    if (name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    std::string stem = name.substr(0, name.size() - suffix.size());
    std::size_t dash = stem.find('-');
    std::string time = stem.substr(0, dash);
    std::string number = dash == std::string::npos ? "0" : stem.substr(dash + 1);
    auto digits = [](const std::string& s) {
        return !s.empty() && s.size() < 20 && std::all_of(s.begin(), s.end(), isDigit);
    };
    if (!digits(time) || !digits(number)) return false;
    parsed = {std::strtoull(time.c_str(), nullptr, 10), std::strtoul(number.c_str(), nullptr, 10),
              name};
    return true;
}

std::vector<SpoolName> spoolNames(const std::string& dir) {
    std::vector<SpoolName> names;
    DIR* listing = opendir(dir.c_str());
    if (!listing) return names;
    while (dirent* entry = readdir(listing)) {
        SpoolName parsed;
        if (parseSpoolName(entry->d_name, parsed)) names.push_back(parsed);
    }
    closedir(listing);
    std::sort(names.begin(), names.end(), [](const SpoolName& a, const SpoolName& b) {
        return a.time != b.time ? a.time < b.time : a.number < b.number;
    });
    return names;
}

std::size_t fileSize(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<std::size_t>(status.st_size) : 0;
}

// Drops the oldest files until `incoming` more bytes fit in `maxBytes`; false if they cannot.
bool makeRoom(const std::string& dir, std::size_t incoming, std::size_t maxBytes) {
    if (incoming > maxBytes) return false;
    std::vector<SpoolName> names = spoolNames(dir);
    std::vector<std::size_t> sizes;
    std::size_t total = incoming;
    for (const SpoolName& name : names)
        total += sizes.emplace_back(fileSize(dir + "/" + name.name));
    for (std::size_t i = 0; i < names.size() && total > maxBytes; ++i) {
        if (unlink((dir + "/" + names[i].name).c_str()) != 0) continue;
        logLine("Spool full: dropped %s", names[i].name.c_str());
        total -= sizes[i];
    }
    return total <= maxBytes;
}

// The first free name for `time` in `dir`.
std::string freeName(const std::string& dir, std::time_t time) {
    std::string stem = dir + "/" + std::to_string(static_cast<long long>(time));
    std::string path = stem + ".json";
    for (unsigned long n = 1; access(path.c_str(), F_OK) == 0; ++n) {
        path = stem + "-" + std::to_string(n) + ".json";
    }
    return path;
}

}  // namespace

bool spoolDocument(const std::string& dir, std::time_t time, const std::string& document,
                   std::size_t maxBytes) {
    if (!makeRoom(dir, document.size(), maxBytes)) {
        logLine("Spool full: a document of %zu bytes is not kept", document.size());
        return false;
    }
    std::string temporary = writeNewFile(dir + "/.pelmar-XXXXXX", document, 0600);
    if (temporary.empty()) {
        logLine("Spool: cannot write in %s", dir.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), freeName(dir, time).c_str()) == 0) return true;
    unlink(temporary.c_str());
    logLine("Spool: cannot write in %s", dir.c_str());
    return false;
}

std::vector<std::string> spooledFiles(const std::string& dir) {
    std::vector<std::string> paths;
    for (const SpoolName& name : spoolNames(dir)) paths.push_back(dir + "/" + name.name);
    return paths;
}
