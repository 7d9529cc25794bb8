// Cost of one reading (update and prune, pruning on) as the table grows, and memory per device.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "device_macs.h"
#include "report/console.h"
#include "support/reading.h"
#include "table/device_table.h"

namespace {

constexpr int kMaxAge = 300;

uint32_t now() {
    return static_cast<uint32_t>(monotonicClock());
}

std::string macFor(uint32_t i) {
    char mac[18];
    writeMac(i, mac);
    return mac;
}

std::vector<std::string> macsFor(std::size_t devices) {
    std::vector<std::string> macs;
    for (std::size_t i = 0; i < devices; ++i) macs.push_back(macFor(i));
    return macs;
}

void fill(EntryList& list, const std::vector<std::string>& macs) {
    for (std::size_t i = 0; i < macs.size(); ++i) {
        updateEntryList(readingOf(macs[i].c_str(), -40 - int(i % 50), int(i)), list, 0);
        cleanEntryList(list, kMaxAge, now());
    }
}

void OneReading(benchmark::State& state) {
    const std::size_t devices = state.range(0);
    std::vector<std::string> macs = macsFor(devices);
    EntryList list;
    fill(list, macs);
    std::minstd_rand random(1);
    int32_t seconds = 0;
    char mac[18];
    for (auto _ : state) {
        // A reading for a device drawn at random, its address written afresh as a line brings it.
        writeMac(random() % devices, mac);
        updateEntryList(readingOf(mac, -60 - (seconds & 7), seconds / 4), list, 0);
        cleanEntryList(list, kMaxAge, now());
        ++seconds;
    }
    state.counters["devices"] = double(entryCount(list));
}
BENCHMARK(OneReading)->Arg(100)->Arg(10000)->Arg(100000);

// The longest the capture loop waits for a report: one slice of the walk copied under the lock.
void WalkSlice(benchmark::State& state) {
    const std::size_t devices = state.range(0);
    EntryList list;
    fill(list, macsFor(devices));
    std::vector<Entry> slice;
    slice.reserve(kWalkSlice);
    beginWalk(list);
    for (auto _ : state) {
        if (!nextSlice(list, slice)) beginWalk(list);
        benchmark::DoNotOptimize(slice.data());
    }
    state.counters["records"] = double(kWalkSlice);
}
BENCHMARK(WalkSlice)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Standard output sent to /dev/null for the life of the object.
struct QuietOutput {
    int saved = dup(STDOUT_FILENO);
    QuietOutput() {
        std::fflush(stdout);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietOutput() {
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
};

// The longest the capture loop waits for one reading while another thread prints the console
// table: walked whole under the table's lock (0, as the capture loop's own console at debug 4
// does, and every console did before) or in slices (1, the report thread's).
void CaptureWaitDuringConsole(benchmark::State& state) {
    const ConsoleThread walk = state.range(0) ? ConsoleThread::kReport : ConsoleThread::kCapture;
    std::vector<std::string> macs = macsFor(state.range(1));
    EntryList list;
    fill(list, macs);
    std::minstd_rand random(1);
    std::vector<double> waits;
    QuietOutput quiet;
    for (auto _ : state) {
        std::atomic<bool> done{false};
        std::thread printer([&] {
            display(list, 0, Privacy{}, walk);
            done = true;
        });
        while (!done) {
            auto start = std::chrono::steady_clock::now();
            updateEntryList(readingOf(macs[random() % macs.size()].c_str(), -50, 0), list, 0);
            cleanEntryList(list, kMaxAge, now());
            std::chrono::duration<double, std::micro> waited =
                std::chrono::steady_clock::now() - start;
            waits.push_back(waited.count());
        }
        printer.join();
    }
    // The longest wait, and one that only a thousandth of the readings exceed: on a shared
    // machine the longest also catches the capture thread left off the processor for a while.
    std::sort(waits.begin(), waits.end());
    state.counters["longest_wait_us"] = waits.back();
    state.counters["p999_wait_us"] = waits[waits.size() * 999 / 1000];
}
BENCHMARK(CaptureWaitDuringConsole)
    ->Args({0, 100000})
    ->Args({1, 100000})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// Resident bytes of this process, from /proc/self/statm.
double residentBytes() {
    long pages = 0, resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE));
}

// Memory the table takes per device, as the system counts it: the resident growth from filling
// a fresh table (its blocks are mapped, not taken from the heap), after the addresses exist.
void MemoryPerDevice(benchmark::State& state) {
    const std::size_t devices = state.range(0);
    std::vector<std::string> macs = macsFor(devices);
    double perDevice = 0;
    for (auto _ : state) {
        double before = residentBytes();
        EntryList list;
        fill(list, macs);
        perDevice = (residentBytes() - before) / double(devices);
    }
    state.counters["bytes_per_device"] = perDevice;
}
BENCHMARK(MemoryPerDevice)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
