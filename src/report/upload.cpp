#include "report/upload.h"

#include <unistd.h>

#include <cstdlib>

#include "clock.h"
#include "log.h"
#include "report/backup.h"
#include "report/document.h"
#include "report/environment.h"
#include "report/files.h"
#include "report/spool.h"
#include "stop.h"

namespace {

// Where the document goes when it is too long for the command line: $TMPDIR, else /tmp.
std::string uploadFilePattern() {
    const char* directory = std::getenv("TMPDIR");
    return std::string(directory && *directory ? directory : "/tmp") + "/pelmar-XXXXXX";
}

CurlOptions curlOptions(const ReportSettings& settings) {
    return {settings.showCurl, settings.spoolDir.has_value(), settings.verifyTls};
}

// Runs one curl command, printing it first when asked, and says when uploads start failing
// or work again. True when it succeeded.
bool send(const std::string& command, const ReportSettings& settings, Uplink& uplink) {
    if (settings.showCurl) logText("%s\n", command.c_str());
    CommandResult result = uplink.run(command, settings.uploadTimeout);
    if (result.outcome == CommandResult::kStopped) return false;  // not the uplink's fault
    bool ok = succeeded(result);
    if (ok && uplink.failing) logLine("Uploads work again");
    if (!ok && !uplink.failing) {
        logLine("Uploads failing: %s", failureReason(result, settings.uploadTimeout).c_str());
    }
    uplink.failing = !ok;
    return ok;
}

// Posts the document inline, or from a temporary file when it is too long for that.
bool post(const std::string& document, const ReportSettings& settings, Uplink& uplink) {
    const std::string& endpoint = *settings.endpoint;
    if (document.size() > kInlineDocumentLimit) {
        std::string file = writeNewFile(uploadFilePattern(), document, 0600);
        if (!file.empty()) {
            bool ok =
                send(buildCommand("@" + file, endpoint, curlOptions(settings)), settings, uplink);
            unlink(file.c_str());
            return ok;
        }
    }
    std::string command = buildCommand(document, endpoint, curlOptions(settings));
    if (command.size() >= kArgumentLimit) {
        logLine("Upload skipped: no temporary file for a document of %zu bytes", document.size());
        return false;
    }
    return send(command, settings, uplink);
}

// Sends a few spooled documents, oldest first, each removed once its own upload succeeded.
void sendSpooled(const ReportSettings& settings, Uplink& uplink) {
    int sent = 0;
    for (const std::string& file : spooledFiles(*settings.spoolDir)) {
        if (sent++ == kSpoolBatch || stopRequested()) return;
        if (!send(buildCommand("@" + file, *settings.endpoint, curlOptions(settings)), settings,
                  uplink))
            return;
        unlink(file.c_str());
    }
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
    std::string command = options.verifyTls ? "curl" : "curl -k";
    if (options.failOnHttp) command += " --fail";
    command += " -X POST -H \"Content-Type:application/json\" -d '";
    command.reserve(command.size() + data.size() + endpoint.size() + 64);
    appendShellQuoted(command, data);
    command += "' '";
    appendShellQuoted(command, endpoint);
    command += "'";
    if (!options.show) command += " > /dev/null 2> /dev/null ";
    return command;
}

void report(const ReportSettings& settings, const EntryList& list, Uplink& uplink,
            std::optional<std::time_t> closingDay) {
    if (!settings.endpoint && !settings.backupDir) {
        if (closingDay) askNewDay(list);
        return;
    }
    CleanupHold hold;  // a stop waits until this report's files are in place or gone
    if (!hold.held()) return;
    std::time_t now = closingDay ? *closingDay : wallClock();
    std::string document = buildDocument(hostName(), now, list, settings.privacy,
                                         closingDay ? AfterWalk::kNewDay : AfterWalk::kKeep);
    if (settings.endpoint) {
        bool posted = post(document, settings, uplink);
        if (settings.spoolDir && posted) sendSpooled(settings, uplink);
        if (settings.spoolDir && !posted) {
            spoolDocument(*settings.spoolDir, now, document, settings.spoolMaxBytes);
        }
    }
    if (!settings.backupDir) return;
    backup(document, *settings.backupDir);
    pruneBackups(*settings.backupDir, settings.backupMaxFiles, settings.backupMaxBytes);
}
