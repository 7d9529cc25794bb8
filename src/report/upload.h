// Posts the document with curl through the shell, keeps it in the spool when that fails, then
// hands it to the backup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "report/privacy.h"
#include "report/runner.h"
#include "table/device_table.h"

// Documents longer than this travel in a temporary file: the kernel refuses a single
// command-line argument over 128 KiB.
constexpr std::size_t kInlineDocumentLimit = 64 * 1024;
// The longest single argument the kernel passes on (MAX_ARG_STRLEN), its terminator included.
constexpr std::size_t kArgumentLimit = 128 * 1024;
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
};

// How the curl command is built.
struct CurlOptions {
    bool show = false;        // no redirection: the command's output reaches the console
    bool failOnHttp = false;  // --fail: an HTTP error is a failed upload
    bool verifyTls = false;   // leave out -k
};

// What the report thread keeps between uploads.
struct Uplink {
    bool failing = false;  // the last upload failed and was reported
    // Runs a command with a deadline; tests put their own here.
    CommandResult (*run)(const std::string& command, int timeoutSeconds) = runCommand;
};

// Appends `text` for use inside single quotes in a POSIX shell: every ' becomes '\''.
void appendShellQuoted(std::string& out, const std::string& text);

// The curl command posting `data` (the document, or "@file") to `endpoint`.
std::string buildCommand(const std::string& data, const std::string& endpoint,
                         const CurlOptions& options);

// Builds the document from the table, uploads it (and the spool after a success), keeps it
// in the spool when the upload fails, and hands it to the backup. With `closingDay` (the last
// second of a UTC day) it is that day's last document: stamped then, so made with its key, and
// the table starts a new day once it has been walked.
void report(const ReportSettings& settings, const EntryList& list, Uplink& uplink,
            std::optional<std::time_t> closingDay = std::nullopt);
