#include "report/stored_document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "report/document.h"

namespace {

// Opens a new file from the first of `patterns` that works and removes its name at once, so
// nothing is left behind whatever ends the daemon; the descriptor, or -1.
int openNewFile(const std::vector<std::string>& patterns) {
    for (std::string pattern : patterns) {
        int fd = mkostemp(&pattern[0], O_CLOEXEC);
        if (fd < 0) continue;
        unlink(pattern.c_str());
        if (fchmod(fd, 0600) == 0) return fd;
        close(fd);
    }
    return -1;
}

// Takes what the document has made so far: keeps it while it is short, moves it to a file once
// it is not, and only counts it when no file can be had and memory is not to be used for it.
bool takePiece(StoredDocument& document, const DocumentPlace& place, bool& tried,
               std::string& text) {
    if (document.state == StoredDocument::kNoFile) {
        document.size += text.size();
        text.clear();
        return true;
    }
    if (document.fd < 0 && text.size() <= place.inlineLimit) return true;
    if (document.fd < 0 && !tried) {
        tried = true;  // once no file could be had, it is not tried again for this document
        document.fd = openNewFile(place.patterns);
    }
    if (document.fd < 0) {
        if (text.size() <= place.memoryLimit) return true;
        document.state = StoredDocument::kNoFile;
        return takePiece(document, place, tried, text);
    }
    document.size += text.size();
    if (!writeAll(document.fd, text)) return false;
    text.clear();
    return true;
}

}  // namespace

StoredDocument::~StoredDocument() {
    if (fd >= 0) close(fd);
}

void makeDocument(StoredDocument& document, const std::string& host, std::time_t time,
                  const EntryList& list, const Privacy& privacy, const DocumentPlace& place,
                  AfterWalk after, const DocumentCounting& counting, bool clockSynced) {
    bool tried = false;
    bool written = streamDocument(
        host, time, list, privacy, document.text, place.inlineLimit,
        [&](std::string& text, bool last) {
            // Counted to its end without a place, it is still not whole.
            return takePiece(document, place, tried, text) &&
                   !(last && document.state == StoredDocument::kNoFile);
        },
        after, counting, clockSynced, &document.records);
    if (!written && document.state == StoredDocument::kWhole) {
        document.state = StoredDocument::kWriteFailed;
    }
    if (written && document.fd < 0) document.size = document.text.size();
}

FileWriter documentWriter(const StoredDocument& document, const std::string& tail) {
    return [&document, tail](int fd) {
        bool body = document.fd < 0 ? writeAll(fd, document.text) : copyOpenFileTo(document.fd, fd);
        return body && writeAll(fd, tail);
    };
}
