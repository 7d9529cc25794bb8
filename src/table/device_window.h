// The distinct devices heard in the current report window: the capture side counts a device
// the first time it is heard in a window, the report side takes the count and opens the next.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

struct DeviceWindow {
    std::atomic<uint32_t> current{1};  // the open window's number, never 0
    std::mutex lock;
    uint32_t heard = 0;
};

// Counts a device whose last window is `*counted` (0: never) in the open window, once.
inline void countInWindow(DeviceWindow& window, uint32_t& counted) {
    if (counted == window.current.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> hold(window.lock);
    counted = window.current.load(std::memory_order_relaxed);
    ++window.heard;
}

// The devices heard since the last call; opens the next window.
inline uint32_t closeWindow(DeviceWindow& window) {
    std::lock_guard<std::mutex> hold(window.lock);
    uint32_t heard = window.heard;
    window.heard = 0;
    uint32_t next = window.current.load(std::memory_order_relaxed) + 1;
    window.current.store(next ? next : 1, std::memory_order_release);
    return heard;
}

// The devices heard so far in the open window.
inline uint32_t windowCount(DeviceWindow& window) {
    std::lock_guard<std::mutex> hold(window.lock);
    return window.heard;
}
