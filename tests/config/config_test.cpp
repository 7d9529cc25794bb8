#include "config/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "config/decimal.h"

namespace {

// A file of `text` under /tmp, removed at the end of the test.
class TempFile {
public:
    explicit TempFile(const std::string& text) {
        char name[] = "/tmp/pelmar-config-XXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("temp file");
        close(fd);
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string path;
};

struct FileCase {
    const char* name;
    std::string text;
    int result;  // 0 none cut, else the first line cut
    Config expected;
};

Config with(int Config::*field, int value) {
    Config c{};
    c.*field = value;
    return c;
}

Config withText(std::optional<std::string> Config::*field, const char* value) {
    Config c{};
    c.*field = std::string(value);
    return c;
}

Config everyKey() {
    Config c{};
    c.report_time = 1;
    c.display_time = 2;
    c.max_entry_age = 300;
    c.debug = 3;
    c.show_stats = 1;
    c.show_curl = 1;
    c.url = "u";
    c.full_url = "http://h/p";
    c.backup_dir = "/b";
    return c;
}

Config fieldKeys() {
    Config c{};
    c.upload_timeout = 0;
    c.spool_dir = "/s";
    c.spool_max_kb = 64;
    c.verify_tls = 1;
    c.max_devices = 5000;
    c.mac_privacy = 1;
    c.mac_secret = "s e";
    c.mac_rotation = "daily";
    c.min_signal = -80;
    c.skip_random_macs = 1;
    c.backup_max_files = 200;
    c.backup_max_kb = 2048;
    return c;
}

Config counting(int devices, int only) {
    Config c{};
    c.count_devices = devices;
    c.count_only = only;
    return c;
}

// A full_url of `length` characters ("h" then "x"s), as inih cuts it at 199 per line.
std::string longUrl(std::size_t length) {
    return "h" + std::string(length - 1, 'x');
}

const FileCase kCases[] = {
    {"empty_file", "", 0, Config{}},
    {"every_key",
     "[pelmar]\nreport_time=1\ndisplay_time=2\nmax_entry_age=300\ndebug=3\nshow_stats=1\n"
     "show_curl=1\nurl=u\nfull_url=http://h/p\nbackup_dir=/b\n",
     0, everyKey()},
    {"inline_comment", "[pelmar]\ndebug = 3 ; traces on\n", 0, with(&Config::debug, 3)},
    {"colon_separator", "[pelmar]\ndebug: 4\n", 0, with(&Config::debug, 4)},
    {"comment_lines", "; c\n# c\n[pelmar]\ndebug=5\n", 0, with(&Config::debug, 5)},
    {"byte_order_mark", "\xEF\xBB\xBF[pelmar]\ndebug=2\n", 0, with(&Config::debug, 2)},
    {"other_section", "[other]\ndebug=3\n", 0, Config{}},
    {"section_is_case_sensitive", "[Pelmar]\ndebug=3\n", 0, Config{}},
    {"key_is_case_sensitive", "[pelmar]\nDebug=3\n", 0, Config{}},
    {"pair_before_section", "debug=3\n[pelmar]\n", 0, Config{}},
    {"unknown_key_skipped", "[pelmar]\ncolour=red\ndebug=1\n", 0, with(&Config::debug, 1)},
    {"digits_then_letter", "[pelmar]\nmax_entry_age=300s\n", 0, with(&Config::max_entry_age, 300)},
    {"words_are_zero", "[pelmar]\nshow_stats=yes\n", 0, Config{}},
    {"negative", "[pelmar]\nmax_entry_age=-5\n", 0, with(&Config::max_entry_age, -5)},
    {"huge_saturates", "[pelmar]\nreport_time=99999999999\n", 0,
     with(&Config::report_time, INT_MAX)},
    {"huge_negative_saturates", "[pelmar]\nreport_time=-99999999999\n", 0,
     with(&Config::report_time, INT_MIN)},
    {"later_text_wins", "[pelmar]\nfull_url=a\nfull_url=b\n", 0, withText(&Config::full_url, "b")},
    {"indented_line_continues_key", "[pelmar]\nbackup_dir=/a\n  debug=3\n", 0,
     withText(&Config::backup_dir, "debug=3")},
    {"empty_text_is_present", "[pelmar]\nbackup_dir=\n", 0, withText(&Config::backup_dir, "")},
    {"field_keys",
     "[pelmar]\nupload_timeout=0\nspool_dir=/s\nspool_max_kb=64\nverify_tls=1\n"
     "max_devices=5000\nmac_privacy=1\nmac_secret=s e\nmac_rotation=daily\nmin_signal=-80\n"
     "skip_random_macs=1\nbackup_max_files=200\nbackup_max_kb=2048\n",
     0, fieldKeys()},
    // Only a line longer than inih's buffer is named (its value lost its end), even where its
    // rest reads as a comment, by its own number whatever was skipped before it.
    {"cut_line", "[pelmar]\nfull_url=" + longUrl(250) + "\n", 2,
     withText(&Config::full_url, longUrl(190).c_str())},
    {"cut_line_rest_is_comment", "[pelmar]\nfull_url=" + longUrl(190) + "   ; c\n", 2,
     withText(&Config::full_url, longUrl(190).c_str())},
    {"rejected_line_before_a_cut_one", "[pelmar]\nx=1\nfull_url=" + longUrl(500) + "\n", 3,
     withText(&Config::full_url, longUrl(190).c_str())},
    {"skipped_lines_then_a_cut_one",
     "junk\n[other]\ndebug=1\n[pelmar]\nDebug=2\nfull_url=" + longUrl(300) + "\ncolour=x\n", 6,
     withText(&Config::full_url, longUrl(190).c_str())},
    {"cut_comment_line", "; " + longUrl(300) + "\n[pelmar]\ndebug=1\n", 1, with(&Config::debug, 1)},
    // A line that fills the buffer with only its line end left is whole, and the next line is
    // still read, whichever way the inih at hand skips the rest of a long line.
    {"line_of_exactly_199_is_whole_and_the_next_read",
     "[pelmar]\nfull_url=" + longUrl(190) + "\ndebug=3\n", 0,
     [] {
         Config c = withText(&Config::full_url, longUrl(190).c_str());
         c.debug = 3;
         return c;
     }()},
    {"last_line_of_199_without_end", "[pelmar]\nfull_url=" + longUrl(190), 0,
     withText(&Config::full_url, longUrl(190).c_str())},
    // No address may leave with count_only: it turns counting on, wherever the file says off.
    {"count_only_turns_counting_on", "[pelmar]\ncount_only=1\n", 0, counting(1, 1)},
    {"count_only_over_counting_off", "[pelmar]\ncount_only=1\ncount_devices=0\n", 0,
     counting(1, 1)},
    {"counting_alone", "[pelmar]\ncount_devices=1\n", 0, counting(1, 0)},
    {"count_only_off", "[pelmar]\ncount_only=0\n", 0, counting(0, 0)},
    {"user_and_history", "[pelmar]\nuser=pelmar\nstatus_history=1440\n", 0,
     [] {
         Config c = withText(&Config::user, "pelmar");
         c.status_history = 1440;
         return c;
     }()},
    {"binary_junk", std::string("\x01\x02\x7f\xfe=\n[pelmar]\ndebug=7\n\x00zz", 26), 0,
     with(&Config::debug, 7)},
};

class ConfigFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(ConfigFile, LoadsTheExpectedSettings) {
    const FileCase& c = GetParam();
    TempFile file(c.text);
    Config loaded{};
    EXPECT_EQ(loadConfig(file.path.c_str(), loaded), c.result);
    EXPECT_EQ(loaded.report_time, c.expected.report_time);
    EXPECT_EQ(loaded.display_time, c.expected.display_time);
    EXPECT_EQ(loaded.max_entry_age, c.expected.max_entry_age);
    EXPECT_EQ(loaded.debug, c.expected.debug);
    EXPECT_EQ(loaded.show_stats, c.expected.show_stats);
    EXPECT_EQ(loaded.show_curl, c.expected.show_curl);
    EXPECT_EQ(loaded.url, c.expected.url);
    EXPECT_EQ(loaded.full_url, c.expected.full_url);
    EXPECT_EQ(loaded.backup_dir, c.expected.backup_dir);
    EXPECT_EQ(loaded.upload_timeout, c.expected.upload_timeout);
    EXPECT_EQ(loaded.spool_dir, c.expected.spool_dir);
    EXPECT_EQ(loaded.spool_max_kb, c.expected.spool_max_kb);
    EXPECT_EQ(loaded.verify_tls, c.expected.verify_tls);
    EXPECT_EQ(loaded.max_devices, c.expected.max_devices);
    EXPECT_EQ(loaded.mac_privacy, c.expected.mac_privacy);
    EXPECT_EQ(loaded.mac_secret, c.expected.mac_secret);
    EXPECT_EQ(loaded.mac_rotation, c.expected.mac_rotation);
    EXPECT_EQ(loaded.min_signal, c.expected.min_signal);
    EXPECT_EQ(loaded.skip_random_macs, c.expected.skip_random_macs);
    EXPECT_EQ(loaded.backup_max_files, c.expected.backup_max_files);
    EXPECT_EQ(loaded.backup_max_kb, c.expected.backup_max_kb);
    EXPECT_EQ(loaded.count_devices, c.expected.count_devices);
    EXPECT_EQ(loaded.count_only, c.expected.count_only);
    EXPECT_EQ(loaded.user, c.expected.user);
    EXPECT_EQ(loaded.status_history, c.expected.status_history);
}

TEST(ConfigFile, FieldKeysHaveHarmlessDefaults) {
    Config absent{};
    EXPECT_EQ(absent.upload_timeout, 60);
    EXPECT_EQ(absent.spool_max_kb, 1024);
    EXPECT_FALSE(absent.spool_dir);
    EXPECT_EQ(absent.verify_tls, 0);
}

INSTANTIATE_TEST_SUITE_P(Files, ConfigFile, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigFile, MissingFileIsNegative) {
    Config loaded{};
    EXPECT_LT(loadConfig("/nonexistent/pelmar.conf", loaded), 0);
}

TEST(ConfigFile, LongValueIsKeptWhole) {
    // inih reads at most 199 characters of a line; the rest of the line is not a new pair.
    std::string value(150, 'x');
    TempFile file("[pelmar]\nfull_url=" + value + "\n");
    Config loaded{};
    loadConfig(file.path.c_str(), loaded);
    EXPECT_EQ(loaded.full_url, value);
}

TEST(ConfigPath, EnvironmentOverridesTheDefault) {
    unsetenv("PELMAR_CONFIG");
    EXPECT_STREQ(configPath(), "/etc/pelmar.conf");
    setenv("PELMAR_CONFIG", "/tmp/x.conf", 1);
    EXPECT_STREQ(configPath(), "/tmp/x.conf");
    unsetenv("PELMAR_CONFIG");
}

struct NumberCase {
    const char* text;
    int value;
};

class DecimalValue : public ::testing::TestWithParam<NumberCase> {};

TEST_P(DecimalValue, FollowsAtoiAndSaturates) {
    EXPECT_EQ(decimalValue(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DecimalValue,
    ::testing::Values(NumberCase{"", 0}, NumberCase{"-67", -67}, NumberCase{"+7", 7},
                      NumberCase{" \t\n12x", 12}, NumberCase{"abc", 0}, NumberCase{"- 1", 0},
                      NumberCase{"2147483647", INT_MAX}, NumberCase{"2147483648", INT_MAX},
                      NumberCase{"-2147483648", INT_MIN}, NumberCase{"-2147483649", INT_MIN},
                      NumberCase{"000000000000000000000042", 42}));

}  // namespace
