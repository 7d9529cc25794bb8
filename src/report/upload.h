// The upload's transport: the curl command line posting a document, run through the shell.
#pragma once

#include <cstddef>
#include <string>

#include "report/runner.h"

// Documents longer than this travel in a temporary file: the kernel refuses a single
// command-line argument over 128 KiB.
constexpr std::size_t kInlineDocumentLimit = 64 * 1024;
// The longest single argument the kernel passes on (MAX_ARG_STRLEN), its terminator included.
constexpr std::size_t kArgumentLimit = 128 * 1024;

// How the curl command is built.
struct CurlOptions {
    bool show = false;        // no redirection: the command's output reaches the console
    bool failOnHttp = false;  // --fail: an HTTP error is a failed upload
    bool verifyTls = false;   // leave out -k
    std::string statusFile;   // where curl writes the HTTP status (not with `show`); empty: none
};

// Runs a command with a deadline; tests put their own in its place.
using CommandRunner = CommandResult (*)(const std::string& command, int timeoutSeconds);

// Where and how documents are posted.
struct Transport {
    std::string endpoint;
    CurlOptions options;      // the status file is made for each post when `readStatus`
    bool readStatus = false;  // learn the HTTP status of a failed post (with the spool)
    int timeout = 60;         // seconds; 0 or less waits without limit
    CommandRunner run = runCommand;
};

// How one post ended: the command's outcome and, when it was learnt, the HTTP status (else 0).
struct PostResult {
    CommandResult command;
    int httpStatus = 0;
};

// Appends `text` for use inside single quotes in a POSIX shell: every ' becomes '\''.
void appendShellQuoted(std::string& out, const std::string& text);

// The curl command posting `data` (the document itself) to `endpoint`.
std::string buildCommand(const std::string& data, const std::string& endpoint,
                         const CurlOptions& options);

// The curl command posting the `size` bytes of the file at `path` to `endpoint`: streamed
// from standard input, so curl holds no copy of it, with the length a -d post would give.
std::string buildFileCommand(const std::string& path, std::size_t size, const std::string& endpoint,
                             const CurlOptions& options);

// Posts `document` inline, printing the command first when it is shown.
PostResult postInline(const Transport& transport, const std::string& document);

// Posts the `size` bytes of the file at `path`, printing the command first when it is shown.
PostResult postFile(const Transport& transport, const std::string& path, std::size_t size);

// True when the endpoint refused the document for good: an HTTP 4xx other than 408 and 429.
bool refusedForGood(const PostResult& result);
