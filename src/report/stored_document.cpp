#include "report/stored_document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "report/document.h"

namespace {

// The file a document is being written to; closed at the end of the scope.
struct OpenFile {
    int fd = -1;
    bool tried = false;  // once no file could be had, it is not tried again for this document
    ~OpenFile() {
        if (fd >= 0) close(fd);
    }
};

// Opens a new file from the first of `patterns` that works; its path, or empty.
std::string openNewFile(const std::vector<std::string>& patterns, OpenFile& file) {
    for (std::string pattern : patterns) {
        file.fd = mkstemp(&pattern[0]);
        if (file.fd >= 0 && fchmod(file.fd, 0600) == 0) return pattern;
        if (file.fd >= 0) {
            close(file.fd);
            unlink(pattern.c_str());
            file.fd = -1;
        }
    }
    return std::string();
}

// Takes what the document has made so far: keeps it while it is short, moves it to a file once
// it is not, and only counts it when no file can be had and memory is not to be used for it.
bool takePiece(StoredDocument& document, const DocumentPlace& place, OpenFile& file,
               std::string& text) {
    if (document.state == StoredDocument::kNoFile) {
        document.size += text.size();
        text.clear();
        return true;
    }
    if (document.path.empty() && text.size() <= place.inlineLimit) return true;
    if (document.path.empty() && !file.tried) {
        file.tried = true;
        document.path = openNewFile(place.patterns, file);
    }
    if (document.path.empty()) {
        if (text.size() <= place.memoryLimit) return true;
        document.state = StoredDocument::kNoFile;
        return takePiece(document, place, file, text);
    }
    document.size += text.size();
    if (!writeAll(file.fd, text)) return false;
    text.clear();
    return true;
}

}  // namespace

StoredDocument::~StoredDocument() {
    if (!path.empty()) unlink(path.c_str());
}

void makeDocument(StoredDocument& document, const std::string& host, std::time_t time,
                  const EntryList& list, const Privacy& privacy, const DocumentPlace& place,
                  AfterWalk after, const DocumentCounting& counting) {
    OpenFile file;
    bool written = streamDocument(
        host, time, list, privacy, document.text, place.inlineLimit,
        [&](std::string& text) { return takePiece(document, place, file, text); }, after, counting);
    if (!written || (file.fd >= 0 && fsync(file.fd) != 0)) {
        document.state = StoredDocument::kWriteFailed;
    } else if (document.path.empty() && document.state == StoredDocument::kWhole) {
        document.size = document.text.size();
    }
}

FileWriter documentWriter(const StoredDocument& document, const std::string& tail) {
    return [&document, tail](int fd) {
        bool body =
            document.path.empty() ? writeAll(fd, document.text) : copyFileTo(document.path, fd);
        return body && writeAll(fd, tail);
    };
}
