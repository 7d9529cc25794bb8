// One report: the document made once from the table, its upload, its backup, the spool (kept
// when the upload failed, sent after it succeeded) and the lines that say when things fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "report/document.h"
#include "report/privacy.h"
#include "report/spool.h"
#include "report/upload.h"
#include "table/device_table.h"

// Spooled documents sent after one successful upload, at most.
constexpr int kSpoolBatch = 5;

// What a report needs of the settings.
struct ReportSettings {
    std::optional<std::string> endpoint;   // `full_url`; no upload without it
    std::optional<std::string> backupDir;  // `backup_dir`; no backup without it
    bool showCurl = false;                 // print the command and let curl's output through
    int uploadTimeout = 60;                // seconds; 0 or less waits without limit
    std::optional<std::string> spoolDir;   // keep failed documents here and send them later
    std::size_t spoolMaxBytes = 1024 * 1024;
    bool verifyTls = false;            // let curl check the endpoint's certificate (no -k)
    Privacy privacy;                   // pseudonyms instead of addresses
    std::size_t backupMaxFiles = 0;    // backup files kept at most; 0: no limit
    std::uint64_t backupMaxBytes = 0;  // bytes the backup files take at most; 0: no limit
    DocumentCounting counting;         // devices per window in the document
    bool readStatus = false;           // judge every upload by its HTTP status (with a spool too)
    std::optional<std::string> clockMarker;  // `clock_synced_file`: documents say an untrusted time
};

// What the report thread keeps between reports.
struct ReportState {
    bool uploadsFailing = false;     // the last upload failed and that was said
    bool reportsFailing = false;     // the last document could not be made and that was said
    bool backupsFailing = false;     // the last backup could not be written and that was said
    CommandRunner run = runCommand;  // tests put their own here
    std::optional<Spool> spool;      // opened by the first report that needs it
    bool lastKept = false;           // a stop came and its last document was seen to
    std::vector<std::string> backupsWritten;  // this run's backup names, oldest first
    bool dayClosed = false;      // the last report made its day's closing document: a new day began
    bool lastDelivered = false;  // the last report's document reached the endpoint or the spool
    bool lastSafe = true;        // the last report's document was not lost (see report())
};

// `spool_max_kb` in bytes, clamped where it does not fit a size.
std::size_t spoolBytes(int kilobytes);

// Makes the document from the table, uploads it, writes its backup, then sends spooled
// documents after a success or keeps it in the spool after a failure. With `closingDay` (the
// last second of a UTC day) it is that day's last document: stamped then, so made with its key,
// and the table starts a new day once it has been walked. False when the document was lost:
// wanted by the endpoint or the backup, it was neither delivered, spooled nor backed up. The
// status file, when kept, learns the document, the upload and the spool, and is written.
bool report(const ReportSettings& settings, const EntryList& list, ReportState& state,
            std::optional<std::time_t> closingDay = std::nullopt);

// On a stop with a spool: keeps the current document there, without an upload, so that the
// next start sends it; with `closingDay`, as that day's closing document. Nothing without a
// spool.
void keepLastDocument(const ReportSettings& settings, const EntryList& list, ReportState& state,
                      std::optional<std::time_t> closingDay = std::nullopt);
