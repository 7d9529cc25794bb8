// The indexed table with its pruning shortcut must match, reading for reading, a table kept
// the plain way: linear search, append, and a full pruning pass after every reading.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "support/reading.h"
#include "table/device_table.h"

namespace {

// The plain table: records in order of first appearance, each with the step at which it was
// last heard; with a cap, a new address first removes the record with the smallest such step.
struct PlainTable {
    std::vector<Entry> entries;
    std::vector<uint64_t> heard;
    uint64_t step = 0;
    std::size_t cap = 0;
};

void plainUpdate(const Reading& reading, PlainTable& table) {
    ++table.step;
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        if (std::strcmp(table.entries[i].mac, reading.mac) == 0) {
            updateEntry(reading, table.entries[i]);
            table.heard[i] = table.step;
            return;
        }
    }
    if (table.cap != 0 && table.entries.size() == table.cap) {
        std::size_t least = 0;
        for (std::size_t i = 1; i < table.heard.size(); ++i) {
            if (table.heard[i] < table.heard[least]) least = i;
        }
        table.entries.erase(table.entries.begin() + least);
        table.heard.erase(table.heard.begin() + least);
    }
    table.entries.push_back(Entry{});
    table.heard.push_back(table.step);
    updateEntry(reading, table.entries.back());
}

// The rule in plain integers: the cut-off is now minus the age; a record stays when heard
// after it. An age of 0 keeps everything.
bool stays(uint32_t lastHeard, int maxAge, uint32_t now) {
    return maxAge == 0 || int64_t{lastHeard} > int64_t{now} - maxAge;
}

void plainClean(PlainTable& table, int maxAge, uint32_t now) {
    PlainTable kept{{}, {}, table.step, table.cap};
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        if (!stays(table.entries[i].lastHeard, maxAge, now)) continue;
        kept.entries.push_back(table.entries[i]);
        kept.heard.push_back(table.heard[i]);
    }
    table = kept;
}

bool sameRecords(const std::vector<Entry>& a, const std::vector<Entry>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Entry)) == 0);
}

struct Run {
    unsigned seed;
    std::size_t cap;  // max_devices; 0 is none
};

class Equivalence : public ::testing::TestWithParam<Run> {};

TEST_P(Equivalence, MatchesThePlainTableAfterEveryReading) {
    std::mt19937 random(GetParam().seed);
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    SteadyFakeClocks clock(1700000000);
    int maxAge = 0;
    const int ages[] = {0, 1, 2, 5, 30, 300, -1, -1000, 2000000000, 1700000003, INT32_MAX};
    std::vector<std::string> pool;
    for (int i = 0; i < 400; ++i) pool.push_back("02:00:00:00:" + std::to_string(1000 + i));
    pool.push_back("Aa");
    pool.push_back("aA");

    EntryList list(GetParam().cap);
    PlainTable plain;
    plain.cap = GetParam().cap;
    int32_t seconds = 0;
    for (int step = 0; step < 60000; ++step) {
        uint32_t event = below(1000);
        if (event < 150)
            FakeClock::now += 1;
        else if (event < 160)
            FakeClock::now += below(400);
        else if (event < 163)
            FakeClock::now -= below(400);  // clock set back
        if (event % 97 == 0) maxAge = ages[below(sizeof ages / sizeof *ages)];
        seconds = event < 50 ? static_cast<int32_t>(below(86400)) : seconds + below(3);
        // Few addresses at a time, so records both stay and age out.
        const std::string& mac = pool[below(event < 900 ? 40 : pool.size())];
        int32_t signal = event % 13 == 0 ? 0 : -30 - static_cast<int32_t>(below(60));

        Reading reading = readingOf(mac.c_str(), signal, seconds);
        uint32_t now = static_cast<uint32_t>(FakeClock::now);
        ASSERT_EQ(updateEntryList(reading, list, 0), 0);
        cleanEntryList(list, maxAge, now);
        plainUpdate(reading, plain);
        plainClean(plain, maxAge, now);
        ASSERT_TRUE(sameRecords(entriesOf(list), plain.entries)) << "step " << step;
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, Equivalence,
                         ::testing::Values(Run{1, 0}, Run{2, 0}, Run{3, 0}, Run{4, 0}, Run{5, 1},
                                           Run{6, 7}, Run{7, 30}, Run{8, 200}),
                         [](const auto& info) {
                             return "seed_" + std::to_string(info.param.seed) + "_cap_" +
                                    std::to_string(info.param.cap);
                         });

}  // namespace
