// A report's document, made once and then handed to the upload, the spool and the backup: kept
// in memory while it is short, written to a file through a small buffer once it is not, so a
// report takes the same memory whatever the table's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "report/document.h"
#include "report/files.h"
#include "report/privacy.h"
#include "table/device_table.h"

// Where a document is put while it is made.
struct DocumentPlace {
    std::size_t inlineLimit = 0;        // a longer document goes to a file
    std::vector<std::string> patterns;  // mkstemp patterns for that file, tried in turn
    std::size_t memoryLimit = 0;        // without a file, the longest document kept in memory
};

struct StoredDocument {
    enum State { kWhole, kNoFile, kWriteFailed };
    State state = kWhole;
    std::string text;      // the whole document when `fd` is -1 and the state kWhole
    int fd = -1;           // the file holding it, without a name; closed with this object
    std::size_t size = 0;  // bytes of the document (counted whole even when not kept)
    uint64_t records = 0;  // records it holds

    StoredDocument() = default;
    ~StoredDocument();
    StoredDocument(const StoredDocument&) = delete;
    StoredDocument& operator=(const StoredDocument&) = delete;
};

// Makes the document for the table as it stands at `time` in `document`, in memory or in a new
// file of `place`. The state says whether it is whole; with kNoFile the size is still counted.
// `after` as for walkEntries, `clockSynced` as for openDocument.
void makeDocument(StoredDocument& document, const std::string& host, std::time_t time,
                  const EntryList& list, const Privacy& privacy, const DocumentPlace& place,
                  AfterWalk after = AfterWalk::kKeep,
                  const DocumentCounting& counting = DocumentCounting{}, bool clockSynced = true);

// A writer of the whole document followed by `tail`, for writeNewFile and replaceFile.
FileWriter documentWriter(const StoredDocument& document, const std::string& tail = "");
