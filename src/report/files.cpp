#include "report/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

bool writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

std::string writeNewFile(std::string pattern, const std::string& content, mode_t mode) {
    int fd = mkstemp(&pattern[0]);
    if (fd < 0) return std::string();
    bool complete = fchmod(fd, mode) == 0 && writeAll(fd, content) && fsync(fd) == 0;
    complete = close(fd) == 0 && complete;
    if (complete) return pattern;
    unlink(pattern.c_str());
    return std::string();
}

bool replaceFile(const std::string& path, const std::string& content, mode_t mode) {
    std::string temporary = writeNewFile(path + ".XXXXXX", content, mode);
    if (temporary.empty()) return false;
    if (std::rename(temporary.c_str(), path.c_str()) == 0) return true;
    unlink(temporary.c_str());
    return false;
}
