#include "report/console.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "report/dates.h"

namespace {

const std::string kRule(90, '=');
const std::string kHeading = kRule + "\nHostname: box\nReport Date: 2023-11-14 22:13:20\n" +
                             "BSSID \t\t\tSignal \tCount \tFirst Seen \t\tLast Seen \n" + kRule +
                             "\n";

std::string consoleText(const std::string& host, const char* date,
                        const std::vector<Entry>& entries) {
    std::string screen = consoleHeading(host, date);
    for (const Entry& entry : entries) appendConsoleRow(screen, entry);
    return screen;
}

class Console : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override {
        unsetenv("TZ");
        tzset();
    }
};

TEST_F(Console, EmptyTablePrintsTheFiveHeadingLines) {
    EXPECT_EQ(consoleText("box", "2023-11-14 22:13:20", {}), kHeading);
}

TEST_F(Console, OneRowPerDeviceInLocalTime) {
    Entry a{};
    std::strcpy(a.mac, "aa:bb:cc:dd:ee:01");
    a.signal = -67;
    a.count = 1000;
    a.firstSeen = 1700000000;
    a.lastSeen = 1700000001;
    Entry b{};
    std::strcpy(b.mac, "b");
    b.count = 1;
    EXPECT_EQ(consoleText("box", "2023-11-14 22:13:20", {a, b}),
              kHeading +
                  "aa:bb:cc:dd:ee:01 \t-67 \t1000 \t2023-11-14 22:13:20 \t2023-11-14 22:13:21 \n"
                  "b \t0 \t1 \t1970-01-01 00:00:00 \t1970-01-01 00:00:00 \n");
}

TEST_F(Console, DatesFollowTheLocalZone) {
    setenv("TZ", "JST-9", 1);
    tzset();
    char date[60];
    dateFormat(date, sizeof date, 1700000000);
    EXPECT_STREQ(date, "2023-11-15 07:13:20");
}

}  // namespace
