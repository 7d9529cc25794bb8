// The indexed table with its pruning shortcut must match, reading for reading, a table kept
// the plain way: linear search, append, and a full pruning pass after every reading.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "config/config.h"
#include "support/fake_clock.h"
#include "table/device_table.h"

namespace {

void plainUpdate(const char* mac, int32_t signal, int32_t seconds, std::vector<Entry>& entries) {
    for (Entry& entry : entries) {
        if (std::strcmp(entry.mac, mac) == 0) {
            updateEntry(mac, signal, seconds, entry);
            return;
        }
    }
    entries.push_back(Entry{});
    updateEntry(mac, signal, seconds, entries.back());
}

void plainClean(std::vector<Entry>& entries) {
    uint32_t cutoff = static_cast<uint32_t>(wallClock()) - static_cast<uint32_t>(config.max_entry_age);
    if (config.max_entry_age == 0) return;
    std::vector<Entry> kept;
    for (const Entry& entry : entries) {
        if (entry.lastSeen > cutoff) kept.push_back(entry);
    }
    entries = kept;
}

bool sameRecords(const std::vector<Entry>& a, const std::vector<Entry>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Entry)) == 0;
}

class Equivalence : public ::testing::TestWithParam<unsigned> {
protected:
    void TearDown() override { config = Config{}; }
};

TEST_P(Equivalence, MatchesThePlainTableAfterEveryReading) {
    std::mt19937 random(GetParam());
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    FakeClock clock(1700000000);
    config = Config{};
    const int ages[] = {0, 1, 2, 5, 30, 300, -1, -1000, 2000000000, 1700000003, INT32_MAX};
    std::vector<std::string> pool;
    for (int i = 0; i < 400; ++i) pool.push_back("02:00:00:00:" + std::to_string(1000 + i));
    pool.push_back("Aa");
    pool.push_back("aA");

    EntryList list;
    std::vector<Entry> plain;
    int32_t seconds = 0;
    for (int step = 0; step < 60000; ++step) {
        uint32_t event = below(1000);
        if (event < 150) FakeClock::now += 1;
        else if (event < 160) FakeClock::now += below(400);
        else if (event < 163) FakeClock::now -= below(400);  // clock set back
        if (event % 97 == 0) config.max_entry_age = ages[below(sizeof ages / sizeof *ages)];
        seconds = event < 50 ? static_cast<int32_t>(below(86400)) : seconds + below(3);
        // Few addresses at a time, so records both stay and age out.
        const std::string& mac = pool[below(event < 900 ? 40 : pool.size())];
        int32_t signal = event % 13 == 0 ? 0 : -30 - static_cast<int32_t>(below(60));

        ASSERT_EQ(updateEntryList(mac.c_str(), signal, seconds, list), 0);
        cleanEntryList(list);
        plainUpdate(mac.c_str(), signal, seconds, plain);
        plainClean(plain);
        ASSERT_TRUE(sameRecords(list.entries, plain)) << "step " << step;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, Equivalence, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
