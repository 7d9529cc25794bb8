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
    bool show = false;         // no redirection: the command's output reaches the console
    bool failOnHttp = false;   // --fail: an HTTP error is a failed upload
    bool verifyTls = false;    // leave out -k
    bool writeStatus = false;  // curl writes the HTTP status, and nothing else, to its output
    int maxTime = 0;           // curl's own deadline in seconds (--max-time); 0: none
};

// Runs a command with a deadline; tests put their own in its place.
using CommandRunner = CommandResult (*)(const std::string& command, int timeoutSeconds,
                                        const CommandFiles& files);

// Where and how documents are posted.
struct Transport {
    std::string endpoint;
    CurlOptions options;      // `writeStatus` is set for each post that reads the status
    bool readStatus = false;  // learn the HTTP status of each post (not with `show`)
    int timeout = 60;         // seconds; 0 or less waits without limit
    CommandRunner run = runCommand;
};

// How one post ended: the command's outcome and, when it was learnt, the HTTP status (else 0).
struct PostResult {
    CommandResult command;
    int httpStatus = 0;
    bool statusRead = false;  // curl was asked for the status: only a 2xx one is a delivery
};

// Appends `text` for use inside single quotes in a POSIX shell: every ' becomes '\''.
void appendShellQuoted(std::string& out, const std::string& text);

// The curl command posting `data` (the document itself) to `endpoint`.
std::string buildCommand(const std::string& data, const std::string& endpoint,
                         const CurlOptions& options);

// The curl command posting the `size` bytes of its standard input to `endpoint`: streamed, so
// curl holds no copy of them, with the length a -d post would give.
std::string buildFileCommand(std::size_t size, const std::string& endpoint,
                             const CurlOptions& options);

// Posts `document` inline, printing the command first when it is shown.
PostResult postInline(const Transport& transport, const std::string& document);

// Posts the `size` bytes of the file open at `fd` (from its start) as curl's standard input,
// printing the command first when it is shown.
PostResult postFile(const Transport& transport, int fd, std::size_t size);

// True when the document arrived: curl succeeded and, when the status was read, it is a 2xx.
bool delivered(const PostResult& result);

// Why a post was not delivered, in a few words ("curl exit status 7", "HTTP 301").
std::string postFailure(const PostResult& result, int timeoutSeconds);

// True when the endpoint refused the document for good: an HTTP 4xx other than 408 and 429.
bool refusedForGood(const PostResult& result);
