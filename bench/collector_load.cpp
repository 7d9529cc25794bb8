// Posts documents of the daemon's shape to a collector as fast as it takes them, one connection
// per document as curl makes them, from several threads; prints documents per second.
// Usage: collector_load HOST PORT TOKEN[,TOKEN...] SECONDS [RECORDS]
// (one thread per token; each thread's documents carry their own host name and times).
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "time_text.h"

namespace {

// The records part of every document: `count` records as the daemon writes them.
std::string recordsText(int count) {
    std::string text;
    char record[160];
    for (int i = 0; i < count; ++i) {
        std::snprintf(record, sizeof record,
                      "%s{\"mac\":\"02:00:00:%02x:%02x:%02x\",\"count\":%d,\"firstSeen\":%d,"
                      "\"lastSeen\":%d,\"signalDB\":%d,\"device\":\"02:00:00:%02x:%02x:%02x\"}",
                      i ? "," : "", i >> 16, (i >> 8) & 255, i & 255, 1 + i % 9, 1700000000 + i,
                      1700000060 + i, -40 - i % 50, i >> 16, (i >> 8) & 255, i & 255);
        text += record;
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "Usage: %s HOST PORT TOKEN[,TOKEN...] SECONDS [RECORDS]\n", argv[0]);
        return 2;
    }
    const std::string host = argv[1];
    const int port = std::atoi(argv[2]);
    std::vector<std::string> tokens;
    for (std::string list = argv[3]; !list.empty();) {
        auto comma = list.find(',');
        tokens.push_back(list.substr(0, comma));
        list = comma == std::string::npos ? "" : list.substr(comma + 1);
    }
    const double seconds = std::atof(argv[4]);
    const int records = argc > 5 ? std::atoi(argv[5]) : 500;
    const std::string body = recordsText(records);
    std::atomic<long> sent{0}, failed{0};
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    // Each run's host names are its own, so the documents are new ones; their times start
    // sixty days back, as the collector refuses times more than a day ahead of its clock.
    const long base = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < tokens.size(); ++t) {
        threads.emplace_back([&, t] {
            const std::string path = "/ingest?token=" + tokens[t];
            for (long n = 0; std::chrono::steady_clock::now() < end; ++n) {
                std::string document =
                    "{\"hostname\":\"bench-" + std::to_string(t) + "-" + std::to_string(base) +
                    "\",\"systemDateTime\":\"" + stamp(base - 60 * 86400 + n) +
                    "\",\"devices\":" + std::to_string(records) + ",\"data\":[" + body + "]}";
                httplib::Client client(host, port);
                auto result = client.Post(path.c_str(), document, "application/json");
                (result && result->status == 200 ? sent : failed)++;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%ld documents of %d records in %.1f s: %.0f documents/s, %ld failed\n",
                sent.load(), records, elapsed, sent.load() / elapsed, failed.load());
    return failed.load() ? 1 : 0;
}
