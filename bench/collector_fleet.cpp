// A fleet's day in compressed time: every router posts a document of its own every INTERVAL
// seconds of the day, each router's clock at its own second, from several threads on kept
// connections; prints documents per second.
// Usage: collector_fleet HOST PORT TOKENS_FILE START INTERVAL WINDOWS RECORDS THREADS
// (TOKENS_FILE: one token a line, router k's on line k; START: the day's first second).
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "time_text.h"

namespace {

// `count` records as the daemon writes them, their addresses varied by `seed`.
std::string recordsText(int count, long seed) {
    std::string text;
    char record[200];
    for (int i = 0; i < count; ++i) {
        long a = seed * 131 + i;
        std::snprintf(record, sizeof record,
                      "%s{\"mac\":\"02:00:%02lx:%02lx:%02lx:%02x\",\"count\":%d,\"firstSeen\":%d,"
                      "\"lastSeen\":%d,\"signalDB\":%d}",
                      i ? "," : "", (a >> 24) & 255, (a >> 16) & 255, (a >> 8) & 255, i & 255,
                      1 + i % 9, 1700000000 + i, 1700000060 + i, -40 - i % 50);
        text += record;
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr,
                     "Usage: %s HOST PORT TOKENS_FILE START INTERVAL WINDOWS RECORDS THREADS\n",
                     argv[0]);
        return 2;
    }
    const std::string host = argv[1];
    const int port = std::atoi(argv[2]);
    std::vector<std::string> tokens;
    std::ifstream file(argv[3]);
    for (std::string line; std::getline(file, line);) tokens.push_back(line);
    const long start = std::atol(argv[4]), interval = std::atol(argv[5]);
    const long windows = std::atol(argv[6]);
    const int records = std::atoi(argv[7]), threadCount = std::atoi(argv[8]);
    std::atomic<long> sent{0}, failed{0};
    const auto began = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            httplib::Client client(host, port);
            client.set_keep_alive(true);
            client.set_tcp_nodelay(true);
            // Window by window over the day, as the fleet would send them.
            for (long w = 0; w < windows; ++w) {
                for (std::size_t r = t; r < tokens.size(); r += threadCount) {
                    long at = start + w * interval + static_cast<long>(r % interval);
                    int devices = static_cast<int>((r * 7 + w) % (records + 1));
                    std::string document = "{\"hostname\":\"ap-" + std::to_string(r) +
                                           "\",\"systemDateTime\":\"" + stamp(at) +
                                           "\",\"devices\":" + std::to_string(devices) +
                                           ",\"data\":[" + recordsText(records, at + r) + "]}";
                    auto result = client.Post(("/ingest?token=" + tokens[r]).c_str(), document,
                                              "application/json");
                    (result && result->status == 200 ? sent : failed)++;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("%ld documents in %.1f s: %.0f documents/s, %ld failed\n", sent.load(), elapsed,
                sent / elapsed, failed.load());
    return failed ? 1 : 0;
}
