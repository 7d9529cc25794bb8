#include "report/upload.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "report/dates.h"
#include "report/document.h"

namespace {

Entry record(const char* mac, uint32_t count, uint32_t first, uint32_t last, int32_t signal) {
    Entry e{};
    std::snprintf(e.mac, sizeof e.mac, "%s", mac);
    e.count = count;
    e.firstSeen = first;
    e.lastSeen = last;
    e.signal = signal;
    return e;
}

std::string documentOf(const std::string& host, std::time_t time,
                       const std::vector<Entry>& entries) {
    std::string document = openDocument(host, time);
    for (const Entry& entry : entries) appendRecord(document, entry);
    closeDocument(document);
    return document;
}

const std::string kHead =
    "{\"hostname\":\"router\",\"systemDateTime\":\"2023-11-14T22:13:20+00:00\"";

struct DocumentCase {
    const char* name;
    std::vector<Entry> entries;
    std::string document;
};

const DocumentCase kDocuments[] = {
    {"empty_table", {}, kHead + ",\"data\":[]}"},
    {"one_record",
     {record("aa:bb:cc:dd:ee:01", 3, 1700000000, 1700000005, -67)},
     kHead + ",\"data\":[{\"mac\":\"aa:bb:cc:dd:ee:01\",\"count\":3,\"firstSeen\":1700000000,"
             "\"lastSeen\":1700000005,\"signalDB\":-67}]}"},
    {"three_records",
     {record("a", 1, 1, 2, 0), record("b", 1000, 4294967295u, 4294967295u, 40),
      record("c", 7, 3, 3, -2147483647)},
     kHead +
         ",\"data\":[{\"mac\":\"a\",\"count\":1,\"firstSeen\":1,\"lastSeen\":2,\"signalDB\":0},"
         "{\"mac\":\"b\",\"count\":1000,\"firstSeen\":4294967295,\"lastSeen\":4294967295,"
         "\"signalDB\":40},"
         "{\"mac\":\"c\",\"count\":7,\"firstSeen\":3,\"lastSeen\":3,\"signalDB\":-2147483647}]}"},
};

class Document : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(Document, IsByteForByteAsExpected) {
    EXPECT_EQ(documentOf("router", 1700000000, GetParam().entries), GetParam().document);
}

INSTANTIATE_TEST_SUITE_P(Tables, Document, ::testing::ValuesIn(kDocuments),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Document, DateIsUtcWhateverTheTimeZone) {
    const char* zones[] = {"UTC0", "EST5EDT", "JST-9", "NZST-12NZDT"};
    for (const char* zone : zones) {
        setenv("TZ", zone, 1);
        tzset();
        char date[128];
        dateJSON(date, sizeof date, 1700000000);
        EXPECT_STREQ(date, "2023-11-14T22:13:20+00:00") << zone;
    }
    unsetenv("TZ");
    tzset();
}

struct JsonCase {
    const char* text;
    const char* escaped;
};

class JsonText : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonText, EscapesOnlyWhatJsonForbids) {
    std::string out;
    appendJsonText(out, GetParam().text);
    EXPECT_EQ(out, GetParam().escaped);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonText,
    ::testing::Values(
        JsonCase{"aa:bb:cc:dd:ee:ff", "aa:bb:cc:dd:ee:ff"}, JsonCase{"a\"b\\c", "a\\\"b\\\\c"},
        JsonCase{"\x01\t\n\x1f", "\\u0001\\u0009\\u000a\\u001f"}, JsonCase{"'$(x)`y`", "'$(x)`y`"},
        JsonCase{"\x7f", "\x7f"}, JsonCase{"caf\xc3\xa9", "caf\xc3\xa9"},
        JsonCase{"\xe2\x82\xac\xf0\x9f\x93\xa1", "\xe2\x82\xac\xf0\x9f\x93\xa1"},
        JsonCase{"\xff\xc3", "\\u00ff\\u00c3"}, JsonCase{"\xc0\xaf", "\\u00c0\\u00af"},
        JsonCase{"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},
        JsonCase{"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"}));

// CurlOptions as plain values (a table of them with a string inside upsets GCC's flow checks).
struct Options {
    bool show, failOnHttp, verifyTls, writeStatus;
    int maxTime;
};

struct CommandCase {
    const char* name;
    Options options;
    std::string prefix;  // before -X
    std::string suffix;  // after the address
};

class Command : public ::testing::TestWithParam<CommandCase> {};

TEST_P(Command, IsTheCurlLineWithItsOptions) {
    std::string document = "{\"hostname\":\"r\",\"data\":[]}";
    const Options& o = GetParam().options;
    CurlOptions options;
    options.show = o.show;
    options.failOnHttp = o.failOnHttp;
    options.verifyTls = o.verifyTls;
    options.writeStatus = o.writeStatus;
    options.maxTime = o.maxTime;
    EXPECT_EQ(buildCommand(document, "http://127.0.0.1:8080/in", options),
              GetParam().prefix + " -X POST -H \"Content-Type:application/json\" -d '" + document +
                  "' 'http://127.0.0.1:8080/in'" + GetParam().suffix);
}

const std::string kSilenced = " > /dev/null 2> /dev/null ";

INSTANTIATE_TEST_SUITE_P(
    Options, Command,
    ::testing::Values(
        CommandCase{"silenced", {}, "curl -k", kSilenced},
        CommandCase{"shown", {true, false, false, false, 0}, "curl -k", ""},
        CommandCase{"spool_fails_on_http_errors",
                    {false, true, false, false, 0},
                    "curl -k --fail",
                    kSilenced},
        CommandCase{"spool_reads_the_status",
                    {false, true, false, true, 0},
                    "curl -k --fail",
                    " -o /dev/null -w '%{http_code}' 2> /dev/null "},
        CommandCase{
            "own_deadline", {false, false, false, false, 60}, "curl -k --max-time 60", kSilenced},
        CommandCase{"verified_tls", {false, false, true, false, 0}, "curl", kSilenced},
        CommandCase{"verified_with_spool", {true, true, true, false, 0}, "curl --fail", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The shell's own reading of the command's -d and URL words.
std::vector<std::string> shellWords(const std::string& command) {
    std::string probe = "printf '%s\\0' " + command.substr(command.find(" -d ") + 4);
    probe = probe.substr(0, probe.rfind(" > /dev/null"));
    std::FILE* shell = popen(probe.c_str(), "r");
    std::string output;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, shell)) > 0) output.append(buffer, n);
    pclose(shell);
    std::vector<std::string> words;
    for (std::size_t start = 0, end; (end = output.find('\0', start)) != std::string::npos;
         start = end + 1)
        words.push_back(output.substr(start, end - start));
    return words;
}

TEST(Command, ShellGivesBackTheExactTexts) {
    const std::string hostile[] = {
        "it's",           "'",         "''", "a'b'c", "$(touch /tmp/x)", "`id`", "\\'\\",
        "\"; rm -rf / #", "\x01\n\x7f"};
    for (const std::string& text : hostile) {
        std::string command = buildCommand("{" + text + "}", "http://h/" + text, CurlOptions{});
        EXPECT_EQ(shellWords(command),
                  (std::vector<std::string>{"{" + text + "}", "http://h/" + text}))
            << text;
    }
}

}  // namespace
