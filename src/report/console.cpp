#include "report/console.h"

#include <optional>

#include "clock.h"
#include "log.h"
#include "report/dates.h"
#include "report/environment.h"
#include "report/runner.h"

namespace {
const std::string kRule(90, '=');
}  // namespace

std::string consoleHeading(const std::string& host, const char* date) {
    std::string text = kRule + "\nHostname: " + host + "\nReport Date: " + date + "\n";
    text += "BSSID \t\t\tSignal \tCount \tFirst Seen \t\tLast Seen \n";
    text += kRule + "\n";
    return text;
}

void appendConsoleRow(std::string& screen, const Entry& entry, PseudonymWriter* pseudonyms) {
    char first[80];
    char last[80];
    dateFormat(first, sizeof first, entry.firstSeen);
    dateFormat(last, sizeof last, entry.lastSeen);
    // The row "%s \t%d \t%d \t%s \t%s \n": address, signal, count, first and last seen.
    screen.append(pseudonyms ? pseudonymOf(*pseudonyms, entry.mac) : std::string(entry.mac));
    screen.append(" \t").append(std::to_string(entry.signal));
    screen.append(" \t").append(std::to_string(entry.count)).append(" \t");
    screen.append(first).append(" \t").append(last).append(" \n");
}

namespace {

// The heading with a device column, and the window's count below it.
std::string countingHeading(const std::string& host, const char* date, uint32_t devices,
                            bool only) {
    std::string text = kRule + "\nHostname: " + host + "\nReport Date: " + date + "\n";
    text += "Devices this report window: " + std::to_string(devices) + "\n";
    if (!only) text += "BSSID \t\t\tSignal \tCount \tFirst Seen \t\tLast Seen \t\tDevice \n";
    text += kRule + "\n";
    return text;
}

void appendDeviceColumn(std::string& screen, const Entry& entry, PseudonymWriter* pseudonyms) {
    char name[18];
    deviceName(entry, name);
    screen.pop_back();  // the row's line end
    screen.append("\t").append(pseudonyms ? pseudonymOf(*pseudonyms, name) : std::string(name));
    screen.append(" \n");
}

}  // namespace

int display(const EntryList& list, int timeoutSeconds, const Privacy& privacy, ConsoleThread thread,
            const DocumentCounting& counting) {
    char date[60];
    std::time_t now = wallClock();
    dateFormat(date, sizeof date, now);
    std::string screen =
        counting.devices
            ? countingHeading(hostName(), date, windowCount(list.devices), counting.only)
            : consoleHeading(hostName(), date);
    std::optional<PseudonymWriter> pseudonyms;
    PseudonymWriter* writer = startPseudonyms(privacy, now, pseudonyms);
    auto row = [&](const Entry& entry) {
        appendConsoleRow(screen, entry, writer);
        if (counting.devices) appendDeviceColumn(screen, entry, writer);
    };
    if (counting.only) {
        // the count alone: no address leaves the router
    } else if (thread == ConsoleThread::kReport) {
        walkEntries(list, row);
    } else {
        visitEntries(list, row);
    }
    runCommand("clear 2> /dev/null", timeoutSeconds);
    logBytes(screen.data(), screen.size());
    logFlush();
    return 0;
}
