#include <gtest/gtest.h>

#include <string>

#include "capture/capture_loop.h"
#include "support/fake_clock.h"
#include "support/reading.h"

namespace {

struct LineCase {
    const char* name;
    std::string line;
    bool capture;
    const char* mac;
    int32_t signal;
    int32_t seconds;
};

const std::string kToday =
    "19:17:20.322896 2.0 Mb/s 2412 MHz 11b -67dBm signal antenna 1 BSSID:ff:ff:ff:ff:ff:ff "
    "DA:ff:ff:ff:ff:ff:ff SA:aa:bb:cc:dd:ee:01 Probe Request ()";
const int32_t kTodaySeconds = 19 * 3600 + 17 * 60 + 20;

const LineCase kCases[] = {
    {"todays_tool_dbm", kToday, true, "aa:bb:cc:dd:ee:01", -67, kTodaySeconds},
    {"older_tool_db", "19:17:20.3 -80dB signal RA:aa:bb:cc:dd:ee:02 Acknowledgment", true,
     "aa:bb:cc:dd:ee:02", -80, kTodaySeconds},
    {"dbm_wins_over_relative_db", "00:00:01 -50dBm signal 40dB signal SA:11:22:33:44:55:66", true,
     "11:22:33:44:55:66", -50, 1},
    {"dbm_wins_wherever_it_stands", "00:00:01 40dB signal -50dBm signal SA:11:22:33:44:55:66", true,
     "11:22:33:44:55:66", -50, 1},
    {"sa_wins_over_earlier_ra", "00:00:00 RA:00:00:00:00:00:0a x SA:00:00:00:00:00:0b", true,
     "00:00:00:00:00:0b", 0, 0},
    {"ra_alone", "00:00:00 -1dB signal RA:00:00:00:00:00:0a", true, "00:00:00:00:00:0a", -1, 0},
    {"no_marker", "19:17:20.3 -80dB signal BSSID:aa TA:bb Power Save-Poll", false, "", 0, 0},
    {"marker_needs_leading_space", "00:00:00 xSA:aa:bb:cc:dd:ee:ff", false, "", 0, 0},
    {"empty_line", "", false, "", 0, 0},
    {"no_signal", "00:01:02 SA:aa:bb:cc:dd:ee:ff", true, "aa:bb:cc:dd:ee:ff", 0, 62},
    {"plus_sign", "00:00:00 +7dB signal SA:aa", true, "aa", 7, 0},
    {"letters_token", "00:00:00 abcdB signal SA:aa", true, "aa", 0, 0},
    {"space_before_unit", "00:00:00 -67 dB signal SA:aa", true, "aa", 0, 0},
    {"tab_does_not_stop_walk", "00:00:00 \t-67dB signal SA:aa", true, "aa", -67, 0},
    {"tab_then_letters", "00:00:00 x\t-67dB signal SA:aa", true, "aa", 0, 0},
    {"walk_to_line_start", "-42dB signal SA:aa", true, "aa", -42, -4 * 3600},
    {"unit_at_line_start", "dB signal SA:aa", true, "aa", 0, 0},
    {"long_token_first_19", "00:00:00 -123456789012345678901234567890dB signal SA:aa", true, "aa",
     INT32_MIN, 0},
    {"token_19_chars", "00:00:00 -000000000000000067dB signal SA:aa", true, "aa", -67, 0},
    {"token_20_chars_cut", "00:00:00 00000000000000000067dB signal SA:aa", true, "aa", 6, 0},
    {"huge_value_saturates", "00:00:00 99999999999dB signal SA:aa", true, "aa", INT32_MAX, 0},
    {"mac_cut_at_line_end", "00:00:00 SA:aa:bb", true, "aa:bb", 0, 0},
    {"marker_at_line_end", "00:00:00 SA:", true, "", 0, 0},
    {"marker_at_line_start", " SA:aa:bb", true, "aa:bb", 0, 0},
    {"overlapping_marker_text", "00:00:00 SSA: SA:q", true, "q", 0, 0},
    {"unit_text_cut_short", "00:00:00 -5dB signa SA:q", true, "q", 0, 0},
    {"mac_taken_as_is", "00:00:00 SA:AA:BB:CC:DD:EE:FF'$(x)", true, "AA:BB:CC:DD:EE:FF", 0, 0},
    {"time_pairs_no_digits", "ab:cd:ef SA:aa", true, "aa", 0, 0},
    {"time_pairs_sign_and_space", " 1:-2: 3 SA:aa", true, "aa", 0, 3600 - 120 + 3},
    {"short_line_partial_pairs", "1 SA:", true, "", 0, 3600},
    {"before_midnight", "23:59:59.999 SA:aa", true, "aa", 0, 86399},
};

class CaptureLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(CaptureLine, YieldsTheExpectedReading) {
    const LineCase& c = GetParam();
    Reading reading{};
    ASSERT_EQ(parseCaptureLine(c.line, reading), c.capture);
    if (!c.capture) return;
    EXPECT_STREQ(reading.mac, c.mac);
    EXPECT_EQ(reading.signal, c.signal);
    EXPECT_EQ(reading.seconds, c.seconds);
}

INSTANTIATE_TEST_SUITE_P(Lines, CaptureLine, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

struct IgnoreCase {
    const char* name;
    const char* mac;
    int32_t signal;
    std::optional<int> minSignal;
    bool skipRandom;
    bool ignored;
};

class Ignore : public ::testing::TestWithParam<IgnoreCase> {};

TEST_P(Ignore, FollowsTheFloorAndTheRandomAddressFilter) {
    Reading reading{};
    std::snprintf(reading.mac, sizeof reading.mac, "%s", GetParam().mac);
    reading.signal = GetParam().signal;
    CaptureSettings settings{};
    settings.minSignal = GetParam().minSignal;
    settings.skipRandomMacs = GetParam().skipRandom;
    EXPECT_EQ(ignoredReading(reading, settings), GetParam().ignored);
    // Stored or ignored, a reading prunes what is past max_entry_age.
    SteadyFakeClocks clock(1700000000);
    EntryList list;
    settings.maxAge = 10;
    storeReading(readingOf("00:00:00:00:00:99", 0, 1), list, settings);  // kept by every case
    FakeClock::now += 100;
    storeReading(reading, list, settings);
    EXPECT_EQ(entryCount(list), GetParam().ignored ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Readings, Ignore,
    ::testing::Values(
        IgnoreCase{"no_settings", "02:00:00:00:00:01", -99, std::nullopt, false, false},
        IgnoreCase{"below_floor", "aa:00:00:00:00:01", -81, -80, false, true},
        IgnoreCase{"at_floor_kept", "aa:00:00:00:00:01", -80, -80, false, false},
        IgnoreCase{"no_signal_kept", "aa:00:00:00:00:01", 0, -80, false, false},
        IgnoreCase{"positive_floor", "aa:00:00:00:00:01", 5, 10, false, true},
        IgnoreCase{"local_2", "02:00:00:00:00:01", -50, std::nullopt, true, true},
        IgnoreCase{"local_upper_E", "DE:00:00:00:00:01", -50, std::nullopt, true, true},
        IgnoreCase{"local_lower_f", "3f:00:00:00:00:01", -50, std::nullopt, true, true},
        IgnoreCase{"global_0", "00:11:22:33:44:55", -50, std::nullopt, true, false},
        IgnoreCase{"global_upper_D", "AD:11:22:33:44:55", -50, std::nullopt, true, false},
        IgnoreCase{"not_hex_kept", "g2:11:22:33:44:55", -50, std::nullopt, true, false},
        IgnoreCase{"short_kept", "2", -50, std::nullopt, true, false},
        IgnoreCase{"both_filters", "aa:00:00:00:00:01", -90, -80, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
