#include "report/privacy.h"

#include <gtest/gtest.h>

#include <string>

#include "report/document.h"
#include "support/reading.h"

namespace {

std::string hex(const std::string& bytes) {
    std::string out;
    char pair[3];
    for (unsigned char byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        out += pair;
    }
    return out;
}

struct HmacCase {
    const char* name;
    std::string key;
    std::string data;
    const char* digest;
};

class Hmac : public ::testing::TestWithParam<HmacCase> {};

TEST_P(Hmac, MatchesThePublishedVectors) {
    EXPECT_EQ(hex(hmacSha256(GetParam().key, GetParam().data)), GetParam().digest);
}

std::string keyOneToTwentyFive() {
    std::string key;
    for (char c = 1; c <= 25; ++c) key += c;
    return key;
}

// RFC 4231, test cases 1 to 4, 6 and 7 (case 5 is a truncated output).
INSTANTIATE_TEST_SUITE_P(
    Rfc4231, Hmac,
    ::testing::Values(
        HmacCase{"case_1", std::string(20, '\x0b'), "Hi There",
                 "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        HmacCase{"case_2", "Jefe", "what do ya want for nothing?",
                 "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        HmacCase{"case_3", std::string(20, '\xaa'), std::string(50, '\xdd'),
                 "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        HmacCase{"case_4", keyOneToTwentyFive(), std::string(50, '\xcd'),
                 "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        HmacCase{"case_6", std::string(131, '\xaa'),
                 "Test Using Larger Than Block-Size Key - Hash Key First",
                 "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        HmacCase{"case_7", std::string(131, '\xaa'),
                 "This is a test using a larger than block-size key and a larger than block-size "
                 "data. The key needs to be hashed before being used by the HMAC algorithm.",
                 "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"}),
    [](const auto& info) { return std::string(info.param.name); });

// 1796601600 is 2026-12-07T00:00:00Z; the expected pseudonyms were computed apart from this code.
TEST(Pseudonym, IsTheFixedSecretsKeyedHashShapedAsALocalAddress) {
    Privacy fixed{true, "correct horse", false};
    EXPECT_EQ(pseudonym(pseudonymKey(fixed, 1796601600), "aa:bb:cc:dd:ee:01"), "5a:af:9d:50:14:b0");
    EXPECT_EQ(pseudonym(pseudonymKey(fixed, 1796601600 + 86400), "aa:bb:cc:dd:ee:01"),
              "5a:af:9d:50:14:b0");
}

TEST(Pseudonym, DailyRotationKeysByTheUtcDay) {
    Privacy daily{true, "correct horse", true};
    EXPECT_EQ(pseudonym(pseudonymKey(daily, 1796601600 + 86399), "aa:bb:cc:dd:ee:01"),
              "e6:22:17:91:8a:ae");
    EXPECT_NE(pseudonym(pseudonymKey(daily, 1796601600 + 86400), "aa:bb:cc:dd:ee:01"),
              "e6:22:17:91:8a:ae");
}

TEST(Pseudonym, OneWriterGivesWhatEachSingleComputationGives) {
    PseudonymWriter writer("k");
    for (const char* mac : {"aa:bb:cc:dd:ee:01", "", "x", "AA:BB:CC:DD:EE:01"}) {
        EXPECT_EQ(pseudonymOf(writer, mac), pseudonym("k", mac)) << mac;
    }
}

TEST(Pseudonym, ReplacesEveryAddressInTheDocument) {
    EntryList list;
    updateEntryList(readingOf("aa:bb:cc:dd:ee:01", -60, 1), list, 0);
    std::string document =
        buildDocument("h", 1796601600, list, Privacy{true, "correct horse", false});
    EXPECT_NE(document.find("\"mac\":\"5a:af:9d:50:14:b0\""), std::string::npos);
    EXPECT_EQ(document.find("aa:bb"), std::string::npos);
}

TEST(Pseudonym, TheStartUpCheckPasses) {
    EXPECT_TRUE(pseudonymsWork());
}

TEST(Pseudonym, RandomSecretsDiffer) {
    EXPECT_EQ(randomSecret().size(), 32u);
    EXPECT_NE(randomSecret(), randomSecret());
}

}  // namespace
