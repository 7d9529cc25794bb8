// The JSON document that carries the device table: host, time and one object per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "report/privacy.h"
#include "table/device_table.h"

// Appends `text` as the inside of a JSON string: quote, backslash, control characters and
// bytes that are not UTF-8 are escaped; everything else is copied unchanged.
void appendJsonText(std::string& out, const char* text);

// What a document says about devices: with `devices`, the count of the report window and, on
// each record whose group counts as a device, that group: the distinct groups named by the
// records last heard within the window are the count. With `only` as well, the count and no
// record at all.
struct DocumentCounting {
    bool devices = false;
    bool only = false;
    uint32_t windowDevices = 0;  // the count, taken from the table's window by the report
};

// The document up to and including the opening of its "data" array; with `devices`, the
// window's device count after the time; without `clockSynced`, "clockSynced":false right after
// the time.
std::string openDocument(const std::string& host, std::time_t time,
                         std::optional<uint32_t> devices = std::nullopt, bool clockSynced = true);

// Appends one record's object to an open document, after a comma unless it is the first; with
// `pseudonyms`, the address (and the device's name) is replaced by its pseudonym; with
// `withDevice`, a record whose group counts names that group last.
void appendRecord(std::string& document, const Entry& entry, PseudonymWriter* pseudonyms = nullptr,
                  bool withDevice = false);

// Ends the "data" array and the document.
void closeDocument(std::string& document);

// Takes the document's bytes produced so far in `text`; it may write them out and clear
// `text`, or leave them to grow; `last` with the document's end. False stops the document, or
// at its end says that it is not whole.
using DocumentFlush = std::function<bool(std::string& text, bool last)>;

// Produces the document for the table as it stands, walked in slices, into `text`, and hands
// that to `flush` whenever it holds more than `chunk` bytes and once at the end (so `text` is
// the whole document when nothing was cleared). False when `flush` refused. `after` as for
// walkEntries: a new day only after a whole document. `clockSynced` as for openDocument; the
// records written are counted in `records` when given.
bool streamDocument(const std::string& host, std::time_t time, const EntryList& list,
                    const Privacy& privacy, std::string& text, std::size_t chunk,
                    const DocumentFlush& flush, AfterWalk after = AfterWalk::kKeep,
                    const DocumentCounting& counting = DocumentCounting{}, bool clockSynced = true,
                    uint64_t* records = nullptr);

// The whole document for the table as it stands, stamped with `host` and `time`, with the
// addresses replaced by pseudonyms when `privacy` is on; `after` as for visitEntries.
std::string buildDocument(const std::string& host, std::time_t time, const EntryList& list,
                          const Privacy& privacy = Privacy{}, AfterWalk after = AfterWalk::kKeep);
