// A reader walking the table while the capture path appends and prunes must see whole
// records only; the ThreadSanitizer build checks the serialisation of the real report paths.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "report/console.h"
#include "report/document.h"
#include "support/fake_clock.h"
#include "support/reading.h"
#include "table/device_table.h"

namespace {

// With devices linked too: the walks then ask the linker whether a record's group counts.
TEST(Concurrency, ReaderWalksWhileTheWriterAppendsAndPrunes) {
    for (bool linked : {false, true}) {
        SteadyFakeClocks clock(1700000000);
        EntryList list(0, linked);
        DeviceLinker linker(LinkerLimits{64});
        std::atomic<bool> done{false};
        std::size_t walks = 0;
        std::thread reader([&] {
            while (!done) {
                // Now and then a day's last document, which has the writer start a new day.
                AfterWalk after = walks % 16 == 15 ? AfterWalk::kNewDay : AfterWalk::kKeep;
                std::string document;
                streamDocument(
                    "host", 0, list, Privacy{}, document, SIZE_MAX,
                    [](std::string&, bool) { return true; }, after, DocumentCounting{linked});
                std::string screen = consoleHeading("host", "date");
                visitEntries(list, [&](const Entry& entry) { appendConsoleRow(screen, entry); });
                ASSERT_EQ(document.back(), '}');
                ++walks;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        uint8_t elements[] = {1, 1, 2};
        ProbeFacts probe;
        probe.elements = elements;
        probe.elementsLength = sizeof elements;
        for (int i = 0; i < 60000; ++i) {
            if (i % 2000 == 0) FakeClock::now += 1;       // only this thread reads the clock
            elements[2] = static_cast<uint8_t>(i % 100);  // groups come and go at the cap
            const LinkInput frame{
                {0x02, 0, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)},
                i * int64_t{10},
                -50,
                &probe,
                false};
            const Linking linking{linker, frame};
            std::string mac = "m" + std::to_string(i % 3000);
            ASSERT_EQ(updateEntryList(readingOf(mac.c_str(), -50, i), list, 0, &linking), 0);
            cleanEntryList(list, 3, static_cast<uint32_t>(FakeClock::now));
        }
        done = true;
        reader.join();
        EXPECT_GT(walks, 0u);
    }
}

// The capture loop prunes after every frame: until a record falls due that is one comparison,
// which never waits for a report thread holding the table.
TEST(Concurrency, PruningWithNothingDueNeverWaitsForAReader) {
    constexpr uint32_t kStart = 1700000000;
    SteadyFakeClocks clock(kStart);
    EntryList list;
    ASSERT_EQ(updateEntryList(readingOf("aa", -50, 0), list, 0), 0);
    std::mutex step;
    std::condition_variable changed;
    bool holding = false, pruned = false, prunedWhileHeld = false;
    std::thread reader([&] {
        visitEntries(list, [&](const Entry&) {
            std::unique_lock<std::mutex> hold(step);
            holding = true;
            changed.notify_all();
            // Bounded only so that a pruning that waits fails the test rather than hanging it.
            prunedWhileHeld =
                changed.wait_for(hold, std::chrono::seconds(10), [&] { return pruned; });
        });
    });
    {
        std::unique_lock<std::mutex> hold(step);
        changed.wait(hold, [&] { return holding; });
    }
    for (uint32_t second = 0; second < 300; ++second) cleanEntryList(list, 300, kStart + second);
    {
        std::lock_guard<std::mutex> hold(step);
        pruned = true;
    }
    changed.notify_all();
    reader.join();
    EXPECT_TRUE(prunedWhileHeld);
    EXPECT_EQ(entryCount(list), 1u);
    cleanEntryList(list, 300, kStart + 300);  // now it is due
    EXPECT_EQ(entryCount(list), 0u);
}

}  // namespace
