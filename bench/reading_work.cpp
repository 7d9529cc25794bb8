// Fills a table with N devices, then takes K readings for devices drawn at random inside
// `takeReadings`. Run under `valgrind --tool=callgrind --toggle-collect=takeReadings*` to count
// the instructions of K readings: the work per reading, free of cache and TLB effects.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "clock.h"
#include "device_macs.h"
#include "support/reading.h"
#include "table/device_table.h"

constexpr int kMaxAge = 300;

__attribute__((noinline)) void takeReadings(EntryList& list, uint32_t devices, int readings) {
    std::minstd_rand random(1);
    char mac[18];
    for (int i = 0; i < readings; ++i) {
        writeMac(random() % devices, mac);
        updateEntryList(readingOf(mac, -60 - (i & 7), i / 4), list, 0);
        cleanEntryList(list, kMaxAge, static_cast<uint32_t>(monotonicClock()));
    }
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: reading_work DEVICES READINGS\n");
        return 2;
    }
    uint32_t devices = std::strtoul(argv[1], nullptr, 10);
    int readings = std::atoi(argv[2]);
    EntryList list;
    char mac[18];
    for (uint32_t i = 0; i < devices; ++i) {
        writeMac(i, mac);
        updateEntryList(readingOf(mac, -50, static_cast<int32_t>(i)), list, 0);
        cleanEntryList(list, kMaxAge, static_cast<uint32_t>(monotonicClock()));
    }
    takeReadings(list, devices, readings);
    std::printf("%zu devices\n", entryCount(list));
}
