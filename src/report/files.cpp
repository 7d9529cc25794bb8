#include "report/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::size_t kCopyChunk = 64 * 1024;

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

bool makeDirectories(const std::string& path, mode_t mode) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), mode);  // one that exists already is fine
        if (slash == std::string::npos) break;
    }
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string temporaryFilePattern() {
    const char* directory = std::getenv("TMPDIR");
    return std::string(directory && *directory ? directory : "/tmp") + "/pelmar-XXXXXX";
}
