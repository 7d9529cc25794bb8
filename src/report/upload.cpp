#include "report/upload.h"

#include <unistd.h>

#include <cstdio>
#include <functional>

#include "log.h"
#include "report/files.h"

namespace {

constexpr int kCurlHttpError = 22;  // --fail's exit status for an HTTP error

std::string curlHead(const CurlOptions& options) {
    std::string command = options.verifyTls ? "curl" : "curl -k";
    if (options.failOnHttp) command += " --fail";
    if (options.maxTime > 0) command += " --max-time " + std::to_string(options.maxTime);
    return command + " -X POST -H \"Content-Type:application/json\"";
}

// The redirections at the end: none when shown; with the status, the body discarded and the
// status on the output (an unnamed file of ours).
std::string curlTail(const CurlOptions& options) {
    if (options.show) return "";
    if (!options.writeStatus) return " > /dev/null 2> /dev/null ";
    return " -o /dev/null -w '%{http_code}' 2> /dev/null ";
}

// The HTTP status curl wrote at the start of `fd`; 0 when there is none.
int readStatus(int fd) {
    char digits[3];
    if (pread(fd, digits, sizeof digits, 0) != static_cast<ssize_t>(sizeof digits)) return 0;
    int status = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return 0;
        status = status * 10 + (c - '0');
    }
    return status;
}

// Runs the command `build` makes, with `input` as its standard input (-1: none) and the status
// read through an unnamed file when the transport reads statuses.
PostResult run(const Transport& transport, int input,
               const std::function<std::string(const CurlOptions&)>& build) {
    CurlOptions options = transport.options;
    CommandFiles files{input, -1};
    if (transport.readStatus && !options.show) files.output = unnamedFile();
    options.writeStatus = files.output >= 0;
    std::string command = build(options);
    if (options.show) logText("%s\n", command.c_str());
    PostResult result{transport.run(command, transport.timeout, files), 0, options.writeStatus};
    if (files.output >= 0) {
        result.httpStatus = readStatus(files.output);
        close(files.output);
    }
    return result;
}

}  // namespace

void appendShellQuoted(std::string& out, const std::string& text) {
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
}

std::string buildCommand(const std::string& data, const std::string& endpoint,
                         const CurlOptions& options) {
    std::string command = curlHead(options) + " -d '";
    command.reserve(command.size() + data.size() + endpoint.size() + 64);
    appendShellQuoted(command, data);
    command += "' '";
    appendShellQuoted(command, endpoint);
    return command + "'" + curlTail(options);
}

std::string buildFileCommand(std::size_t size, const std::string& endpoint,
                             const CurlOptions& options) {
    std::string command = curlHead(options);
    command += " -H 'Expect:' -H 'Transfer-Encoding:' -H 'Content-Length: ";
    command += std::to_string(size) + "' -T - '";
    appendShellQuoted(command, endpoint);
    return command + "'" + curlTail(options);
}

PostResult postInline(const Transport& transport, const std::string& document) {
    return run(transport, -1, [&](const CurlOptions& options) {
        return buildCommand(document, transport.endpoint, options);
    });
}

PostResult postFile(const Transport& transport, int fd, std::size_t size) {
    lseek(fd, 0, SEEK_SET);  // curl reads from the descriptor's offset, which it shares
    return run(transport, fd, [&](const CurlOptions& options) {
        return buildFileCommand(size, transport.endpoint, options);
    });
}

bool delivered(const PostResult& result) {
    if (!succeeded(result.command)) return false;
    return !result.statusRead || (result.httpStatus >= 200 && result.httpStatus < 300);
}

std::string postFailure(const PostResult& result, int timeoutSeconds) {
    if (!succeeded(result.command)) return failureReason(result.command, timeoutSeconds);
    if (result.httpStatus == 0) return "no HTTP status";
    return "HTTP " + std::to_string(result.httpStatus);
}

bool refusedForGood(const PostResult& result) {
    const int status = result.httpStatus;
    return result.command.outcome == CommandResult::kExited &&
           result.command.value == kCurlHttpError && status >= 400 && status < 500 &&
           status != 408 && status != 429;
}
