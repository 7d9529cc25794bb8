#include "report/console.h"

#include <cstdio>
#include <mutex>

#include "report/environment.h"

namespace {
const std::string kRule(90, '=');
}  // namespace

int dateFormat(char* buffer, std::size_t size, std::time_t time) {
    std::tm parts;
    if (size > 0) buffer[0] = '\0';
    if (localtime_r(&time, &parts)) std::strftime(buffer, size, "%Y-%m-%d %H:%M:%S", &parts);
    return 0;
}

std::string consoleText(const std::string& host, const char* date,
                        const std::vector<Entry>& entries) {
    std::string text = kRule + "\nHostname: " + host + "\nReport Date: " + date + "\n";
    text += "BSSID \t\t\tSignal \tCount \tFirst Seen \t\tLast Seen \n";
    text += kRule + "\n";
    for (const Entry& entry : entries) {
        char first[80];
        char last[80];
        dateFormat(first, sizeof first, entry.firstSeen);
        dateFormat(last, sizeof last, entry.lastSeen);
        // The row "%s \t%d \t%d \t%s \t%s \n": address, signal, count, first and last seen.
        text.append(entry.mac).append(" \t").append(std::to_string(entry.signal));
        text.append(" \t").append(std::to_string(entry.count)).append(" \t");
        text.append(first).append(" \t").append(last).append(" \n");
    }
    return text;
}

int display(EntryList& list) {
    char date[60];
    dateFormat(date, sizeof date, wallClock());
    std::string host = hostName();
    std::string screen;
    {
        std::lock_guard<std::mutex> hold(list.lock);
        screen = consoleText(host, date, list.entries);
    }
    runCommand("clear 2> /dev/null");
    std::fwrite(screen.data(), 1, screen.size(), stdout);
    std::fflush(stdout);
    return 0;
}
