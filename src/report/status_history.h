// The last report windows the status file shows (`status_history`): a ring of small fixed
// records, its room taken once at start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// One window: when its document was made, its devices (kNoDevices without counting) and its
// address records.
struct WindowRecord {
    int64_t end;
    uint32_t addresses;
    uint32_t devices;
};
constexpr uint32_t kNoDevices = UINT32_MAX;

struct WindowHistory {
    std::vector<WindowRecord> ring;  // its size is the number of windows kept; empty: none
    std::size_t next = 0;            // where the next window goes
    std::size_t count = 0;           // windows held, at most the ring's size
};

// A history of the last `length` windows (none for 0 or less).
WindowHistory windowHistory(int length);

// Keeps a window, the oldest going when the ring is full (nothing without a ring). Counts past
// 32 bits are kept at the largest value.
void keepWindow(WindowHistory& history, std::time_t end, std::optional<uint32_t> devices,
                uint64_t addresses);

// `,"history":[...]`, oldest first, each window as {"end","devices","addresses"} with the
// status's dates; nothing without a ring.
void appendHistoryJson(std::string& out, const WindowHistory& history);
