#include "report/spool.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "log.h"

namespace {

const char kTemporaryPrefix[] = ".pelmar-";
const char kRejected[] = "rejected";
// The highest number a name can have (19 digits): a file there is sent, but the sequence does
// not go on from it, since its successor would have no name.
constexpr uint64_t kLastNumber = 9999999999999999999ULL;
// Names tried for one file before giving up: taken ones are stepped over.
constexpr int kNameTries = 100;

// A spool file's place in the order: its number, then its sub-number (older names only).
struct SpoolName {
    unsigned long long number;
    unsigned long sub;
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
    std::string number = stem.substr(0, dash);
    std::string sub = dash == std::string::npos ? "0" : stem.substr(dash + 1);
    auto digits = [](const std::string& s) {
        return !s.empty() && s.size() < 20 && std::all_of(s.begin(), s.end(), isDigit);
    };
    if (!digits(number) || !digits(sub)) return false;
    parsed = {std::strtoull(number.c_str(), nullptr, 10), std::strtoul(sub.c_str(), nullptr, 10),
              name};
    return true;
}

bool isTemporary(const std::string& name) {
    return name.compare(0, sizeof kTemporaryPrefix - 1, kTemporaryPrefix) == 0;
}

// Names in `dir`, each passed to `take`.
template <class Take>
void listNames(const std::string& dir, Take take) {
    DIR* listing = opendir(dir.c_str());
    if (!listing) return;
    while (dirent* entry = readdir(listing)) take(std::string(entry->d_name));
    closedir(listing);
}

// The spool names in `dir`, oldest first.
std::vector<SpoolName> spoolNames(const std::string& dir) {
    std::vector<SpoolName> names;
    listNames(dir, [&](const std::string& name) {
        SpoolName parsed;
        if (parseSpoolName(name, parsed)) names.push_back(parsed);
    });
    std::sort(names.begin(), names.end(), [](const SpoolName& a, const SpoolName& b) {
        return a.number != b.number ? a.number < b.number : a.sub < b.sub;
    });
    return names;
}

// Size of the file itself (of a link, the link), 0 when it is gone.
std::size_t fileSize(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 ? static_cast<std::size_t>(status.st_size) : 0;
}

// A file of ours, by its name relative to the spool directory.
struct SpoolFile {
    std::string name;
    std::size_t size;
};

// Every file of ours, in the order they are dropped: rejected ones, then spooled ones, oldest
// first; the bytes of temporary files are added to `temporaryBytes`.
std::vector<SpoolFile> filesOfOurs(const std::string& dir, std::size_t& temporaryBytes) {
    std::vector<SpoolFile> files;
    const std::string rejected = dir + "/" + kRejected;
    for (const SpoolName& name : spoolNames(rejected)) {
        std::string relative = std::string(kRejected) + "/" + name.name;
        files.push_back({relative, fileSize(dir + "/" + relative)});
    }
    for (const SpoolName& name : spoolNames(dir))
        files.push_back({name.name, fileSize(dir + "/" + name.name)});
    listNames(dir, [&](const std::string& name) {
        if (isTemporary(name)) temporaryBytes += fileSize(dir + "/" + name);
    });
    return files;
}

// Moves the sequence past every number in the directory and in rejected/, but for the last.
void catchUp(Spool& spool) {
    for (const std::string& dir : {spool.dir, spool.dir + "/" + kRejected}) {
        for (const SpoolName& name : spoolNames(dir)) {
            if (name.number < kLastNumber)
                spool.next = std::max<uint64_t>(spool.next, name.number + 1);
        }
    }
    spool.next = std::max<uint64_t>(spool.next, 1);
}

std::string baseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// Moves the spool file at `path` into `dir` under its own name, or, when a file there has it,
// under "<number>-<k>.json" with the first k that is free: nothing there is replaced. The name
// it got, or empty when it could not be moved.
std::string movedAside(const std::string& path, const std::string& dir) {
    const std::string name = baseName(path);
    SpoolName parsed;
    if (!parseSpoolName(name, parsed)) return std::string();
    for (int k = 0; k < kNameTries; ++k) {
        std::string target =
            k == 0 ? name : std::to_string(parsed.number) + "-" + std::to_string(k) + ".json";
        if (moveWithoutReplacing(path, dir + "/" + target)) return target;
        if (errno != EEXIST) break;
    }
    return std::string();
}

}  // namespace

void openSpool(Spool& spool) {
    if (!makeDirectories(spool.dir, 0700)) logLine("Spool: cannot create %s", spool.dir.c_str());
    listNames(spool.dir, [&](const std::string& name) {
        if (isTemporary(name)) unlink((spool.dir + "/" + name).c_str());
    });
    enforceCap(spool, 0);
    catchUp(spool);
}

bool enforceCap(Spool& spool, std::size_t incoming) {
    std::size_t total = incoming;
    std::vector<SpoolFile> files = filesOfOurs(spool.dir, total);
    for (const SpoolFile& file : files) total += file.size;
    for (std::size_t i = 0; i < files.size() && total > spool.maxBytes; ++i) {
        if (unlink((spool.dir + "/" + files[i].name).c_str()) != 0) continue;
        logLine("Spool full: dropped %s", files[i].name.c_str());
        total -= files[i].size;
    }
    return total <= spool.maxBytes;
}

bool spoolUsable(Spool& spool) {
    if (spool.undeletable.empty()) return true;
    if (unlink(spool.undeletable.c_str()) != 0 && errno != ENOENT) return false;
    logLine("Spool: removed %s; the spool is in use again", baseName(spool.undeletable).c_str());
    spool.undeletable.clear();
    return true;
}

bool keepDocument(Spool& spool, std::size_t size, const FileWriter& write) {
    if (!spoolUsable(spool)) return false;
    if (size > spool.maxBytes || !enforceCap(spool, size)) {
        logLine("Spool full: a document of %zu bytes is not kept", size);
        return false;
    }
    std::string temporary =
        writeNewFile(spool.dir + "/" + kTemporaryPrefix + "XXXXXX", write, 0600);
    catchUp(spool);
    // A name that is taken (by a file the listing did not take for ours) is stepped over.
    for (int tries = 0; !temporary.empty() && tries < kNameTries && spool.next <= kLastNumber;
         ++tries) {
        std::string name = spool.dir + "/" + std::to_string(spool.next++) + ".json";
        if (moveWithoutReplacing(temporary, name)) return true;
        if (errno != EEXIST) break;
    }
    if (!temporary.empty()) unlink(temporary.c_str());
    logLine("Spool: cannot write in %s", spool.dir.c_str());
    return false;
}

std::vector<std::string> spooledFiles(const std::string& dir) {
    std::vector<std::string> paths;
    for (const SpoolName& name : spoolNames(dir)) paths.push_back(dir + "/" + name.name);
    return paths;
}

void rejectFile(Spool& spool, const std::string& path, const std::string& why) {
    const std::string rejected = spool.dir + "/" + kRejected;
    const std::string name = baseName(path);
    mkdir(rejected.c_str(), 0700);
    std::string moved = movedAside(path, rejected);
    if (!moved.empty()) {
        logLine("Spool: rejected %s (%s), moved to %s/%s", name.c_str(), why.c_str(), kRejected,
                moved == name ? "" : moved.c_str());
    } else if (unlink(path.c_str()) == 0) {
        logLine("Spool: rejected %s (%s), deleted", name.c_str(), why.c_str());
    } else {
        logLine("Spool: cannot take %s (%s) out of the way; the spool is off until it can be",
                name.c_str(), why.c_str());
        spool.undeletable = path;
    }
}

void removeDelivered(Spool& spool, const std::string& path) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return;
    logLine("Spool: cannot remove %s after it was sent; the spool is off until it can be",
            baseName(path).c_str());
    spool.undeletable = path;
}
