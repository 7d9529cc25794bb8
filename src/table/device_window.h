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
    // Windows taken for documents that were not made: their devices wait for the next document,
    // and are not counted again meanwhile. `unmadeFirst` is the first of them, 0 when none.
    uint32_t unmade = 0;
    uint32_t unmadeFirst = 0;
};

// True when window `counted` lies in the span from `first` (0: none) to the open window.
inline bool withinUnmade(const DeviceWindow& window, uint32_t counted, uint32_t open) {
    const uint32_t first = window.unmadeFirst;
    return first != 0 && counted != 0 && counted - first < open - first;
}

// Counts a device whose last window is `*counted` (0: never) in the open window, once.
inline void countInWindow(DeviceWindow& window, uint32_t& counted) {
    if (counted == window.current.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> hold(window.lock);
    const uint32_t open = window.current.load(std::memory_order_relaxed);
    if (!withinUnmade(window, counted, open)) ++window.heard;
    counted = open;
}

// A window taken for a document: its number and its devices (with those of the windows before
// it whose documents were not made).
struct WindowTake {
    uint32_t number = 0;
    uint32_t devices = 0;
};

// Takes the open window's count for a document and opens the next; windowMade settles it.
inline WindowTake takeWindow(DeviceWindow& window) {
    std::lock_guard<std::mutex> hold(window.lock);
    const uint32_t number = window.current.load(std::memory_order_relaxed);
    WindowTake take{number, window.heard + window.unmade};
    window.heard = 0;
    window.current.store(number + 1 ? number + 1 : 1, std::memory_order_release);
    return take;
}

// After the document of `take`: `made`, its devices are reported and the window closes; else
// they wait for the next document.
inline void windowMade(DeviceWindow& window, const WindowTake& take, bool made) {
    std::lock_guard<std::mutex> hold(window.lock);
    window.unmade = made ? 0 : take.devices;
    if (made) window.unmadeFirst = 0;
    if (!made && window.unmadeFirst == 0) window.unmadeFirst = take.number;
}

// The devices heard since the last call; opens the next window.
inline uint32_t closeWindow(DeviceWindow& window) {
    const WindowTake take = takeWindow(window);
    windowMade(window, take, true);
    return take.devices;
}

// The devices heard so far in the open window (with those waiting from unmade documents).
inline uint32_t windowCount(DeviceWindow& window) {
    std::lock_guard<std::mutex> hold(window.lock);
    return window.heard + window.unmade;
}
