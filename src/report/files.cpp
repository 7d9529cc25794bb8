#include "report/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

constexpr std::size_t kCopyChunk = 64 * 1024;
const char kTemporaryPrefix[] = "pelmar-";
constexpr std::size_t kTemporarySuffix = 6;  // the X's mkstemp replaces
#ifndef RENAME_NOREPLACE
constexpr unsigned kRenameNoReplace = 1;
#else
constexpr unsigned kRenameNoReplace = RENAME_NOREPLACE;
#endif

bool writeBytes(int fd, const char* bytes, std::size_t size) {
    std::size_t written = 0;
    while (written < size) {
        ssize_t n = write(fd, bytes + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool writeAll(int fd, const std::string& text) {
    return writeBytes(fd, text.data(), text.size());
}

bool copyFileTo(const std::string& path, int fd) {
    int from = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (from < 0) return false;
    std::vector<char> buffer(kCopyChunk);
    ssize_t got;
    bool ok = true;
    while (ok && (got = read(from, buffer.data(), buffer.size())) != 0) {
        if (got < 0 && errno == EINTR) continue;
        ok = got > 0 && writeBytes(fd, buffer.data(), static_cast<std::size_t>(got));
    }
    close(from);
    return ok;
}

bool copyOpenFileTo(int from, int fd) {
    std::vector<char> buffer(kCopyChunk);
    off_t offset = 0;
    for (;;) {
        ssize_t got = pread(from, buffer.data(), buffer.size(), offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got == 0;
        if (!writeBytes(fd, buffer.data(), static_cast<std::size_t>(got))) return false;
        offset += got;
    }
}

std::string writeNewFile(std::string pattern, const FileWriter& write, mode_t mode) {
    int fd = mkstemp(&pattern[0]);
    if (fd < 0) return std::string();
    bool complete = fchmod(fd, mode) == 0 && write(fd) && fsync(fd) == 0;
    complete = close(fd) == 0 && complete;
    if (complete) return pattern;
    unlink(pattern.c_str());
    return std::string();
}

std::string writeNewFile(std::string pattern, const std::string& content, mode_t mode) {
    return writeNewFile(
        std::move(pattern), [&](int fd) { return writeAll(fd, content); }, mode);
}

bool replaceFile(const std::string& path, const FileWriter& write, mode_t mode) {
    std::string temporary = writeNewFile(path + ".XXXXXX", write, mode);
    if (temporary.empty()) return false;
    if (std::rename(temporary.c_str(), path.c_str()) == 0) return true;
    unlink(temporary.c_str());
    return false;
}

bool replaceFile(const std::string& path, const std::string& content, mode_t mode) {
    return replaceFile(
        path, [&](int fd) { return writeAll(fd, content); }, mode);
}

bool moveWithoutReplacing(const std::string& from, const std::string& to) {
    if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST) return false;
        // No hard links here (a FAT stick): a rename that refuses to replace, where the kernel has
        // one; else a look first, enough for the daemon, the only writer of its directories.
#ifdef SYS_renameat2
    if (syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), kRenameNoReplace) == 0)
        return true;
    if (errno != ENOSYS && errno != EINVAL) return false;
#endif
    struct stat status;
    if (lstat(to.c_str(), &status) == 0) {
        errno = EEXIST;
        return false;
    }
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool makeDirectories(const std::string& path, mode_t mode) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), mode);  // one that exists already is fine
        if (slash == std::string::npos) break;
    }
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

namespace {

std::string temporaryDirectory() {
    const char* directory = std::getenv("TMPDIR");
    return directory && *directory ? directory : "/tmp";
}

// True for a name mkstemp makes from temporaryFilePattern().
bool isTemporaryName(const std::string& name) {
    const std::size_t prefix = sizeof kTemporaryPrefix - 1;
    if (name.size() != prefix + kTemporarySuffix || name.compare(0, prefix, kTemporaryPrefix) != 0)
        return false;
    for (std::size_t i = prefix; i < name.size(); ++i) {
        char c = name[i];
        if (!(c >= '0' && c <= '9') && !(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z'))
            return false;
    }
    return true;
}

}  // namespace

std::string temporaryFilePattern() {
    return temporaryDirectory() + "/" + kTemporaryPrefix + "XXXXXX";
}

int unnamedFile() {
    std::string pattern = temporaryFilePattern();
    int fd = mkostemp(&pattern[0], O_CLOEXEC);
    if (fd >= 0) unlink(pattern.c_str());
    return fd;
}

void removeStaleTemporaryFiles(int minimumAge) {
    const std::string dir = temporaryDirectory();
    DIR* listing = opendir(dir.c_str());
    if (!listing) return;
    const std::time_t now = std::time(nullptr);
    while (dirent* entry = readdir(listing)) {
        if (!isTemporaryName(entry->d_name)) continue;
        std::string path = dir + "/" + entry->d_name;
        struct stat status;
        if (lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            status.st_uid == geteuid() && now - status.st_mtime >= minimumAge)
            unlink(path.c_str());
    }
    closedir(listing);
}
