#include "report/status_history.h"

#include <algorithm>

#include "report/dates.h"

WindowHistory windowHistory(int length) {
    WindowHistory history;
    if (length > 0) history.ring.assign(static_cast<std::size_t>(length), WindowRecord{});
    return history;
}

void keepWindow(WindowHistory& history, std::time_t end, std::optional<uint32_t> devices,
                uint64_t addresses) {
    if (history.ring.empty()) return;
    const uint64_t most = UINT32_MAX - 1;  // below kNoDevices
    history.ring[history.next] = {static_cast<int64_t>(end),
                                  static_cast<uint32_t>(std::min(addresses, most)),
                                  devices ? std::min<uint32_t>(*devices, most) : kNoDevices};
    history.next = (history.next + 1) % history.ring.size();
    history.count = std::min(history.count + 1, history.ring.size());
}

void appendHistoryJson(std::string& out, const WindowHistory& history) {
    if (history.ring.empty()) return;
    out += ",\"history\":[";
    const std::size_t size = history.ring.size();
    const std::size_t first = (history.next + size - history.count) % size;
    char date[40];  // a date is 25 characters
    for (std::size_t i = 0; i < history.count; ++i) {
        const WindowRecord& window = history.ring[(first + i) % size];
        dateJSON(date, sizeof date, static_cast<std::time_t>(window.end));
        out += i ? ",{\"end\":\"" : "{\"end\":\"";
        out += date;
        out += "\",\"devices\":";
        out += window.devices == kNoDevices ? "null" : std::to_string(window.devices);
        out += ",\"addresses\":" + std::to_string(window.addresses) + "}";
    }
    out += ']';
}
