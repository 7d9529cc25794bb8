#include "report/upload.h"

#include <unistd.h>

#include <cstdlib>

#include "clock.h"
#include "log.h"
#include "report/backup.h"
#include "report/document.h"
#include "report/environment.h"
#include "report/files.h"

namespace {

// Where the document goes when it is too long for the command line: $TMPDIR, else /tmp.
std::string uploadFilePattern() {
    const char* directory = std::getenv("TMPDIR");
    return std::string(directory && *directory ? directory : "/tmp") + "/pelmar-XXXXXX";
}

void runShown(const std::string& command, bool show) {
    if (show) logText("%s\n", command.c_str());
    runCommand(command);
}

void postDocument(const std::string& document, const std::string& endpoint, bool show) {
    if (document.size() <= kInlineDocumentLimit) {
        runShown(buildCommand(document, endpoint, show), show);
        return;
    }
    std::string file = writeNewFile(uploadFilePattern(), document, 0600);
    if (file.empty()) {
        logWarning("Upload skipped: cannot write a temporary file for the document");
        return;
    }
    runShown(buildCommand("@" + file, endpoint, show), show);
    unlink(file.c_str());
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

std::string buildCommand(const std::string& data, const std::string& endpoint, bool show) {
    std::string command = "curl -k -X POST -H \"Content-Type:application/json\" -d '";
    command.reserve(command.size() + data.size() + endpoint.size() + 64);
    appendShellQuoted(command, data);
    command += "' '";
    appendShellQuoted(command, endpoint);
    command += "'";
    if (!show) command += " > /dev/null 2> /dev/null ";
    return command;
}

void report(const ReportSettings& settings, const EntryList& list) {
    if (!settings.endpoint && !settings.backupDir) return;
    std::string document = buildDocument(hostName(), wallClock(), list);
    if (settings.endpoint) postDocument(document, *settings.endpoint, settings.showCurl);
    if (settings.backupDir) backup(document, *settings.backupDir);
}
