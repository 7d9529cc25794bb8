// What ingest takes as one document of the daemon's shape, and what it refuses with which reason.
#include "collector/document.h"

#include <gtest/gtest.h>

#include "collector/store.h"

namespace {

const std::string kHead = R"({"hostname":"r1","systemDateTime":"2026-12-08T10:00:00+00:00",)";
const std::string kRecord =
    R"({"mac":"aa:bb:cc:dd:ee:ff","count":3,"firstSeen":1,"lastSeen":2,"signalDB":-61})";

struct Shape {
    const char* name;
    std::string body;
    const char* reason;  // empty: accepted
};

const Shape kShapes[] = {
    {"Plain", kHead + R"("data":[)" + kRecord + "]}", ""},
    {"CountOnly", kHead + R"("devices":4,"data":[]})", ""},
    {"WithDevices",
     kHead + R"("devices":1,"data":[{"mac":"a","count":1,"firstSeen":1,"lastSeen":1,)" +
         R"("signalDB":-1,"device":"02:00:00:00:00:01"}]})",
     ""},
    {"ClockNotSynced", kHead + R"("clockSynced":false,"devices":4,"data":[]})", ""},
    {"ClockSyncedNotATruth", kHead + R"("clockSynced":0,"data":[]})",
     "\"clockSynced\" is not true or false"},
    {"NotJson", "{\"hostname\":\"r1\"", "not JSON"},
    {"InvalidUtf8", kHead + "\"data\":[],\"x\":\"\xff\"}", "not JSON"},
    {"UnknownKey", kHead + R"("data":[],"extra":1})", "not an object of the document's fields"},
    {"NulInHost",
     R"({"hostname":"a\u0000b","systemDateTime":"2026-12-08T10:00:00+00:00",)"
     R"("data":[]})",
     "no valid \"hostname\""},
    {"ImpossibleDay", R"({"hostname":"r","systemDateTime":"2026-02-30T10:00:00+00:00","data":[]})",
     "\"systemDateTime\" is not a time of the form 2024-01-31T12:00:00+00:00"},
    {"NegativeDevices", kHead + R"("devices":-1,"data":[]})", "\"devices\" is not a count"},
    {"RecordNotObject", kHead + R"("data":[1]})",
     "a record is not an object of the record's fields (record 1)"},
    {"CountTooLarge",
     kHead + R"("data":[)" + kRecord + R"(,{"mac":"a","count":4294967296,"firstSeen":1,)" +
         R"("lastSeen":2,"signalDB":-61}]})",
     "a record lacks a valid field (record 2)"},
    {"DeviceNotText",
     kHead + R"("data":[{"mac":"a","count":1,"firstSeen":1,"lastSeen":2,"signalDB":-6,)" +
         R"("device":7}]})",
     "a record's \"device\" is not a text (record 1)"},
    {"BracketsInTextsAreNoNesting",
     kHead + R"("data":[{"mac":"[[[{{{\"[[[","count":1,"firstSeen":1,"lastSeen":2,)" +
         R"("signalDB":-6,"device":"]]]\\"}]})",
     ""},
    {"RecordHoldingAnArray",
     kHead + R"("data":[{"mac":[],"count":1,"firstSeen":1,"lastSeen":2,"signalDB":-6}]})",
     "nested deeper than a document"},
    {"RepeatedDataTheLastCounts", kHead + R"("data":[1],"data":[]})", ""},
    {"ARecordsFailureAfterTheDocumentsOwn", kHead + R"("devices":-1,"data":[1]})",
     "\"devices\" is not a count"},
    {"ArraysElsewhereHoldNoRecords", kHead + R"("devices":[{}],"data":[]})",
     "\"devices\" is not a count"},
    {"NestingBomb", std::string(100000, '['), "nested deeper than a document"},
    {"ObjectBomb", std::string(50000, '{') + "\"a\":1", "nested deeper than a document"},
};

class Shapes : public testing::TestWithParam<Shape> {};

TEST_P(Shapes, AcceptedOrRefusedWithTheirReason) {
    Document document;
    EXPECT_EQ(parseDocument(GetParam().body, document), GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(Documents, Shapes, testing::ValuesIn(kShapes),
                         [](const auto& info) { return std::string(info.param.name); });

struct Lateness {
    int64_t lastAt, previousAt, received, now;
    bool late;
};

class Late : public testing::TestWithParam<Lateness> {};

TEST_P(Late, AfterTwoOfTheRoutersIntervals) {
    RouterState state;
    state.lastAt = GetParam().lastAt;
    state.previousAt = GetParam().previousAt;
    state.received = GetParam().received;
    EXPECT_EQ(late(state, GetParam().now), GetParam().late);
}

INSTANTIATE_TEST_SUITE_P(Routers, Late,
                         testing::Values(Lateness{1000, 700, 5000, 5600, false},
                                         Lateness{1000, 700, 5000, 5601, true},
                                         Lateness{1000, -1, 5000, 5120, false},
                                         Lateness{1000, -1, 5000, 5121, true},
                                         Lateness{-1, -1, -1, 5000, true}));

TEST(Tokens, FreshRandomAndHashed) {
    std::string a = newToken(), b = newToken();
    EXPECT_EQ(a.size(), 48u);
    EXPECT_NE(a, b);
    EXPECT_EQ(tokenHash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_TRUE(sameText(a, a));
    EXPECT_FALSE(sameText(a, b));
    EXPECT_FALSE(sameText(a, a.substr(1)));
}

}  // namespace
