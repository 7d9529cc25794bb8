// Cost of one reading (update and prune, pruning on) as the table grows, and heap per device.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "config/config.h"
#include "table/device_table.h"

namespace {

std::string macFor(std::size_t i) {
    char mac[18];
    std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", 0x02, unsigned(i >> 32 & 0xff),
                  unsigned(i >> 24 & 0xff), unsigned(i >> 16 & 0xff), unsigned(i >> 8 & 0xff),
                  unsigned(i & 0xff));
    return mac;
}

void fill(EntryList& list, const std::vector<std::string>& macs) {
    for (std::size_t i = 0; i < macs.size(); ++i) {
        updateEntryList(macs[i].c_str(), -40 - int(i % 50), int(i), list);
        cleanEntryList(list);
    }
}

void OneReading(benchmark::State& state) {
    config = Config{};
    config.max_entry_age = 300;
    const std::size_t devices = state.range(0);
    std::vector<std::string> macs;
    for (std::size_t i = 0; i < devices; ++i) macs.push_back(macFor(i * 2654435761u));
    EntryList list;
    fill(list, macs);
    // The readings' addresses, drawn at random but laid out in order, as lines arrive.
    constexpr std::size_t kStream = 1 << 20;
    std::vector<std::array<char, 18>> stream(kStream);
    std::mt19937 random(1);
    for (auto& mac : stream) std::memcpy(mac.data(), macs[random() % devices].c_str(), 18);
    std::size_t next = 0;
    int32_t seconds = 0;
    for (auto _ : state) {
        const char* mac = stream[next++ & (kStream - 1)].data();
        std::lock_guard<std::mutex> hold(list.lock);
        updateEntryList(mac, -60 - (seconds & 7), seconds / 4, list);
        cleanEntryList(list);
        ++seconds;
    }
    state.counters["devices"] = double(list.entries.size());
}
BENCHMARK(OneReading)->Arg(100)->Arg(10000)->Arg(100000);

void HeapPerDevice(benchmark::State& state) {
    config = Config{};
    config.max_entry_age = 300;
    const std::size_t devices = state.range(0);
    std::vector<std::string> macs;
    for (std::size_t i = 0; i < devices; ++i) macs.push_back(macFor(i * 2654435761u));
    double perDevice = 0;
    for (auto _ : state) {
        std::size_t before = mallinfo2().uordblks;
        {
            EntryList list;
            fill(list, macs);
            perDevice = double(mallinfo2().uordblks - before) / devices;
        }
    }
    state.counters["heap_bytes_per_device"] = perDevice;
}
BENCHMARK(HeapPerDevice)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
