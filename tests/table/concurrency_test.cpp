// A reader walking the table while the capture path appends and prunes must see whole
// records only; the ThreadSanitizer build checks the serialisation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "config/config.h"
#include "report/console.h"
#include "report/upload.h"
#include "support/fake_clock.h"
#include "table/device_table.h"

namespace {

TEST(Concurrency, ReaderWalksWhileTheWriterAppendsAndPrunes) {
    FakeClock clock(1700000000);
    config = Config{};
    config.max_entry_age = 3;
    EntryList list;
    std::atomic<bool> done{false};
    std::size_t walks = 0;
    std::thread reader([&] {
        while (!done) {
            {
                std::lock_guard<std::mutex> hold(list.lock);
                std::string document = buildDocument("host", 0, list.entries);
                std::string screen = consoleText("host", "date", list.entries);
                ASSERT_EQ(document.back(), '}');
                ++walks;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int i = 0; i < 60000; ++i) {
        std::lock_guard<std::mutex> hold(list.lock);
        if (i % 2000 == 0) FakeClock::now += 1;
        std::string mac = "m" + std::to_string(i % 3000);
        ASSERT_EQ(updateEntryList(mac.c_str(), -50, i, list), 0);
        cleanEntryList(list);
    }
    done = true;
    reader.join();
    EXPECT_GT(walks, 0u);
    config = Config{};
}

}  // namespace
