#include "report/upload.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "config/config.h"
#include "report/backup.h"
#include "report/environment.h"

namespace {

// Length of the UTF-8 sequence starting at `text`, or 0 when the bytes there are not one.
std::size_t utf8Length(const unsigned char* text) {
    unsigned char lead = text[0];
    std::size_t length;
    uint32_t code;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (text[i] & 0x3F);
    }
    bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    bool invalid = (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF;
    return overlong || invalid ? 0 : length;
}

void appendEscapedByte(std::string& out, unsigned char byte) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", byte);
    out += escape;
}

// Writes the document to a private temporary file for curl's -d @FILE; the path, or empty.
std::string writeUploadFile(const std::string& document) {
    const char* directory = std::getenv("TMPDIR");
    std::string path = std::string(directory && *directory ? directory : "/tmp") + "/pelmar-XXXXXX";
    int fd = mkstemp(&path[0]);
    if (fd < 0) return std::string();
    bool complete = writeAll(fd, document);
    if (close(fd) != 0 || !complete) {
        unlink(path.c_str());
        return std::string();
    }
    return path;
}

void postDocument(const std::string& document, const std::string& endpoint) {
    const bool show = config.show_curl != 0;
    if (document.size() <= kInlineDocumentLimit) {
        std::string command = buildCommand(document, endpoint, show);
        if (show) std::printf("%s\n", command.c_str());
        runCommand(command);
        return;
    }
    std::string file = writeUploadFile(document);
    if (file.empty()) {
        std::fprintf(stderr, "Upload skipped: cannot write a temporary file for the document\n");
        return;
    }
    std::string command = buildCommand("@" + file, endpoint, show);
    if (show) std::printf("%s\n", command.c_str());
    runCommand(command);
    unlink(file.c_str());
}

}  // namespace

int dateJSON(char* buffer, std::size_t size, std::time_t time) {
    std::tm parts;
    if (size > 0) buffer[0] = '\0';
    if (gmtime_r(&time, &parts)) std::strftime(buffer, size, "%Y-%m-%dT%H:%M:%S+00:00", &parts);
    return 0;
}

void appendJsonText(std::string& out, const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        unsigned char byte = *p;
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20) {
            appendEscapedByte(out, byte);
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else if (std::size_t length = utf8Length(p)) {
            out.append(reinterpret_cast<const char*>(p), length);
            p += length;
            continue;
        } else {
            appendEscapedByte(out, byte);  // a stray byte stands for its Latin-1 character
        }
        ++p;
    }
}

void appendShellQuoted(std::string& out, const std::string& text) {
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
}

std::string buildDocument(const std::string& host, std::time_t time,
                          const std::vector<Entry>& entries) {
    char date[128];
    dateJSON(date, sizeof date, time);
    std::string document;
    document.reserve(128 * entries.size() + 256);
    document += "{\"hostname\":\"";
    appendJsonText(document, host.c_str());
    document += "\",\"systemDateTime\":\"";
    document += date;
    document += "\",\"data\":[";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        char numbers[128];
        std::snprintf(numbers, sizeof numbers,
                      "\",\"count\":%u,\"firstSeen\":%u,\"lastSeen\":%u,\"signalDB\":%d}",
                      entry.count, entry.firstSeen, entry.lastSeen, entry.signal);
        if (i > 0) document += ',';
        document += "{\"mac\":\"";
        appendJsonText(document, entry.mac);
        document += numbers;
    }
    document += "]}";
    return document;
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

void report(const std::optional<std::string>& endpoint, EntryList& list,
            const std::optional<std::string>& backupDir) {
    if (!endpoint && !backupDir) return;
    std::time_t now = wallClock();
    std::string host = hostName();
    std::string document;
    {
        std::lock_guard<std::mutex> hold(list.lock);
        document = buildDocument(host, now, list.entries);
    }
    if (endpoint) postDocument(document, *endpoint);
    if (backupDir) backup(document, *backupDir);
}

void warnIfUploadsOff() {
    if (!config.full_url) {
        std::fprintf(stderr, "No full_url in %s: uploads are off.\n", configPath());
    }
}
