// The JSON document that carries the device table: host, time and one object per record.
#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <string>

#include "report/privacy.h"
#include "table/device_table.h"

// Appends `text` as the inside of a JSON string: quote, backslash, control characters and
// bytes that are not UTF-8 are escaped; everything else is copied unchanged.
void appendJsonText(std::string& out, const char* text);

// The document up to and including the opening of its "data" array.
std::string openDocument(const std::string& host, std::time_t time);

// Appends one record's object to an open document, after a comma unless it is the first; with
// `pseudonyms`, the address is replaced by its pseudonym.
void appendRecord(std::string& document, const Entry& entry, PseudonymWriter* pseudonyms = nullptr);

// Ends the "data" array and the document.
void closeDocument(std::string& document);

// Takes the document's bytes produced so far in `text`; it may write them out and clear
// `text`, or leave them to grow. False stops the document.
using DocumentFlush = std::function<bool(std::string& text)>;

// Produces the document for the table as it stands, walked in slices, into `text`, and hands
// that to `flush` whenever it holds more than `chunk` bytes and once at the end (so `text` is
// the whole document when nothing was cleared). False when `flush` refused. `after` as for
// walkEntries.
bool streamDocument(const std::string& host, std::time_t time, const EntryList& list,
                    const Privacy& privacy, std::string& text, std::size_t chunk,
                    const DocumentFlush& flush, AfterWalk after = AfterWalk::kKeep);

// The whole document for the table as it stands, stamped with `host` and `time`, with the
// addresses replaced by pseudonyms when `privacy` is on; `after` as for visitEntries.
std::string buildDocument(const std::string& host, std::time_t time, const EntryList& list,
                          const Privacy& privacy = Privacy{}, AfterWalk after = AfterWalk::kKeep);
