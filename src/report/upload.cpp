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
    return command + " -X POST -H \"Content-Type:application/json\"";
}

// The redirections at the end: none when shown, the status into its file when asked.
std::string curlTail(const CurlOptions& options) {
    if (options.show) return "";
    if (options.statusFile.empty()) return " > /dev/null 2> /dev/null ";
    std::string tail = " -o /dev/null -w '%{http_code}' > '";
    appendShellQuoted(tail, options.statusFile);
    return tail + "' 2> /dev/null ";
}

// The HTTP status curl wrote to `path`; 0 when there is none.
int readStatus(const std::string& path) {
    int status = 0;
    if (std::FILE* file = std::fopen(path.c_str(), "r")) {
        if (std::fscanf(file, "%3d", &status) != 1) status = 0;
        std::fclose(file);
    }
    return status;
}

// Runs the command `build` makes, with a fresh status file when the transport reads statuses.
PostResult run(const Transport& transport,
               const std::function<std::string(const CurlOptions&)>& build) {
    CurlOptions options = transport.options;
    if (transport.readStatus && !options.show) {
        options.statusFile = writeNewFile(temporaryFilePattern(), std::string(), 0600);
    }
    std::string command = build(options);
    if (options.show) logText("%s\n", command.c_str());
    PostResult result{transport.run(command, transport.timeout), 0};
    if (!options.statusFile.empty()) {
        result.httpStatus = readStatus(options.statusFile);
        unlink(options.statusFile.c_str());
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

std::string buildFileCommand(const std::string& path, std::size_t size, const std::string& endpoint,
                             const CurlOptions& options) {
    std::string command = curlHead(options);
    command += " -H 'Expect:' -H 'Transfer-Encoding:' -H 'Content-Length: ";
    command += std::to_string(size) + "' -T - '";
    appendShellQuoted(command, endpoint);
    command += "' < '";
    appendShellQuoted(command, path);
    return command + "'" + curlTail(options);
}

PostResult postInline(const Transport& transport, const std::string& document) {
    return run(transport, [&](const CurlOptions& options) {
        return buildCommand(document, transport.endpoint, options);
    });
}

PostResult postFile(const Transport& transport, const std::string& path, std::size_t size) {
    return run(transport, [&](const CurlOptions& options) {
        return buildFileCommand(path, size, transport.endpoint, options);
    });
}

bool refusedForGood(const PostResult& result) {
    const int status = result.httpStatus;
    return result.command.outcome == CommandResult::kExited &&
           result.command.value == kCurlHttpError && status >= 400 && status < 500 &&
           status != 408 && status != 429;
}
