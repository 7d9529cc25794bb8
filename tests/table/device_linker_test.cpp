#include "table/device_linker.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// One frame: a sender (its first byte makes it random or not), a time, and for a probe request
// its sequence number, its elements (standing for a phone's kind) and a directed SSID.
struct Frame {
    uint8_t first;
    uint8_t last;
    int64_t seconds;
    bool probe = true;
    uint16_t sequence = 0;
    uint8_t kind = 1;
    char ssid = 0;
    bool accessPoint = false;  // a beacon or a probe response
    int8_t signal = -60;
    int ht = -1;  // the HT capability field, when it sends one
};

struct RuleCase {
    const char* name;
    std::vector<Frame> frames;
    std::string groups;  // the group of each frame, as letters in order of first appearance
    std::size_t cap = LinkerLimits{}.groups;
    int counted = -1;  // the devices counted in the window at the end, when set
};

constexpr uint8_t kRandom = 0x02, kGlobal = 0x00;

const RuleCase kRules[] = {
    {"own address: a global one is a device of its own", {{kGlobal, 1, 0}, {kGlobal, 2, 1}}, "ab"},
    {"own address: a random one outside probe requests, also when it probes later",
     {{kRandom, 1, 0, false}, {kRandom, 2, 1}, {kRandom, 1, 2}},
     "aba"},
    {"latest of its kind", {{kRandom, 1, 0, true, 100}, {kRandom, 2, 30, true, 3000}}, "aa"},
    {"another kind is another device", {{kRandom, 1, 0}, {kRandom, 2, 1, true, 0, 2}}, "ab"},
    {"a known address stays",
     {{kRandom, 1, 0}, {kRandom, 2, 1, true, 0, 2}, {kRandom, 1, 2}},
     "aba"},
    {"a counter that does not continue says nothing",
     {{kRandom, 1, 0, true, 100}, {kRandom, 2, 2, true, 110}, {kRandom, 3, 3, true, 3000}},
     "aaa"},
    {"sequence continues: picks its group among those of its kind, not the latest",
     {{kRandom, 1, 0, true, 100},
      {kRandom, 2, 0, true, 500},
      {kRandom, 1, 0, true, 101},
      {kRandom, 3, 2, true, 532}},
     "aaba"},
    {"...a step of 16 and 8 more a second",
     {{kRandom, 1, 0, true, 100},
      {kRandom, 2, 0, true, 500},
      {kRandom, 1, 0, true, 101},
      {kRandom, 3, 2, true, 533}},
     "aabb"},
    {"...within seconds",
     {{kRandom, 1, 0, true, 100},
      {kRandom, 2, 0, true, 500},
      {kRandom, 1, 0, true, 101},
      {kRandom, 3, 6, true, 501}},
     "aabb"},
    {"same directed SSID: picks its group among those of its kind, not the latest",
     {{kRandom, 1, 0, true, 10, 1, 'x'},
      {kRandom, 2, 0, true, 2000},
      {kRandom, 1, 0, true, 3000},
      {kRandom, 4, 3, true, 1000, 1, 'x'}},
     "aaba"},
    {"where it is heard: of two groups of its kind, the one closer in signal by over 8 dB",
     {{kRandom, 1, 0, true, 100, 1, 0, false, -40},
      {kRandom, 2, 0, true, 500, 1, 0, false, -40},
      {kRandom, 1, 0, true, 900, 1, 0, false, -70},
      {kRandom, 2, 1, true, 501, 1, 0, false, -40},
      {kRandom, 3, 3, true, 2000, 1, 0, false, -70},
      {kRandom, 4, 5, true, 3000, 1, 0, false, -48}},
     "aababa"},
    {"an address silent 10 minutes is linked anew",
     {{kRandom, 1, 0, true, 5}, {kRandom, 2, 1, true, 900, 2}, {kRandom, 1, 700, true, 2000, 2}},
     "abb"},
    {"...and a group it founds then is not named as the one it left, which lives on",
     {{kRandom, 1, 0}, {kRandom, 1, 700, true, 0, 2}},
     "ab"},
    {"a group silent an hour is forgotten", {{kRandom, 1, 0}, {kRandom, 2, 3700}}, "ab"},
    {"...also after the frames' clock stepped back",
     {{kRandom, 1, 1000}, {kRandom, 2, 0, true, 0, 2}, {kRandom, 3, 3700}},
     "abc"},
    {"an address that returns after another joined is another device",
     {{kRandom, 1, 0}, {kRandom, 2, 0}, {kRandom, 1, 0}, {kRandom, 2, 0}},
     "aaba"},
    {"...and goes back to a group of its kind that is between bursts, not a new one",
     {{kRandom, 1, 0}, {kRandom, 2, 0}, {kRandom, 1, 0}, {kRandom, 3, 5}, {kRandom, 1, 5}},
     "aabba"},
    {"an address that returns after its group's burst ended is its own phone's",
     {{kRandom, 1, 0}, {kRandom, 2, 0}, {kRandom, 1, 3}},
     "aaa"},
    {"...and so after 30 s of silence, whatever joined since",
     {{kRandom, 1, 0}, {kRandom, 2, 40}, {kRandom, 1, 40}},
     "aaa"},
    {"an address that resumes after 30 s is linked anew: to its kind's latest, not the group it "
     "left",
     {{kRandom, 1, 0}, {kRandom, 2, 0}, {kRandom, 1, 0}, {kRandom, 2, 5}, {kRandom, 1, 40}},
     "aabaa"},
    {"...and stays with its own group when none shows its present kind, which its group learns",
     {{kRandom, 1, 0},
      {kRandom, 2, 1, true, 0, 2},
      {kRandom, 1, 40, true, 0, 3},
      {kRandom, 3, 41, true, 0, 3}},
     "abaa"},
    {"...and back with its own group it is no join: its phone's next address is not split off",
     {{kRandom, 1, 0}, {kRandom, 2, 35}, {kRandom, 1, 40}, {kRandom, 2, 40}},
     "aaaa"},
    {"a group learns its phone's other state: read again at an address's next burst",
     {{kRandom, 1, 0}, {kRandom, 1, 2, true, 0, 2}, {kRandom, 2, 3, true, 0, 2}},
     "aaa"},
    {"HT power-state bits (SM power save, 40 MHz intolerant) are a state, not another kind",
     {{kRandom, 1, 0, true, 0, 1, 0, false, -60, 0x000C},
      {kRandom, 2, 1, true, 0, 1, 0, false, -60, 0x0004},
      {kRandom, 3, 2, true, 0, 1, 0, false, -60, 0x400C}},
     "aaa"},
    {"...other HT capability bits are another kind",
     {{kRandom, 1, 0, true, 0, 1, 0, false, -60, 0x000C},
      {kRandom, 2, 1, true, 0, 1, 0, false, -60, 0x002C}},
     "ab"},
    {"a passing state: a group one address founded on a new kind, not counted, joins the group "
     "its later elements match, which learns the first",
     {{kRandom, 1, 0}, {kRandom, 2, 0, true, 0, 2}, {kRandom, 2, 2}, {kRandom, 3, 3, true, 0, 2}},
     "abaa"},
    {"...not once counted: it learns the later elements",
     {{kRandom, 1, 0},
      {kRandom, 2, 0, true, 0, 2},
      {kRandom, 2, 0, true, 0, 2},
      {kRandom, 2, 0, true, 0, 2},
      {kRandom, 2, 0, true, 0, 2},
      {kRandom, 2, 0, true, 0, 2},
      {kRandom, 2, 2},
      {kRandom, 3, 3}},
     "abbbbbbb"},
    {"...nor once another address joined it",
     {{kRandom, 1, 0}, {kRandom, 2, 0, true, 0, 2}, {kRandom, 3, 1, true, 0, 2}, {kRandom, 2, 3}},
     "abbb"},
    {"a phone's own address continues a group of its kind silent 1 s to 10 minutes, and stays",
     {{kRandom, 1, 0}, {kGlobal, 9, 5}, {kGlobal, 9, 6}, {kRandom, 2, 8}},
     "aaaa"},
    {"...not one heard within the second: another phone beside it",
     {{kRandom, 1, 0}, {kGlobal, 9, 0}},
     "ab"},
    {"...nor one silent over 10 minutes", {{kRandom, 1, 0}, {kGlobal, 9, 601}}, "ab"},
    {"...nor one heard over 8 dB away",
     {{kRandom, 1, 0, true, 0, 1, 0, false, -40}, {kGlobal, 9, 5, true, 0, 1, 0, false, -60}},
     "ab"},
    {"...nor once it is a device of its own",
     {{kGlobal, 9, 0, false}, {kRandom, 1, 2}, {kGlobal, 9, 5}},
     "aba"},
    {"infrastructure is not a device: a beacon's sender is a group, never counted",
     {{kGlobal, 1, 0, false, 0, 1, 0, true}, {kGlobal, 1, 1}, {kGlobal, 2, 1}},
     "aab",
     LinkerLimits{}.groups,
     1},
    {"a slot the very next group took is not the old group's: its address is linked anew",
     {{kGlobal, 1, 0},
      {kRandom, 2, 1},
      {kGlobal, 1, 2},
      {kRandom, 3, 3, true, 0, 2},
      {kRandom, 2, 4}},
     "abacb",
     2},
};

// The linker with what the table keeps for it: each address's link.
struct Scene {
    explicit Scene(LinkerLimits limits = LinkerLimits{}) : linker(limits) {}
    DeviceLinker linker;
    DeviceWindow window;
    std::map<int, AddressLink> links;
};

std::string linkAll(const std::vector<Frame>& frames, Scene& scene) {
    std::map<std::string, char> letters;
    std::string groups;
    for (const Frame& f : frames) {
        std::vector<uint8_t> elements{1, 1, f.kind};
        if (f.ht >= 0) {
            elements.insert(elements.end(),
                            {45, 2, static_cast<uint8_t>(f.ht), static_cast<uint8_t>(f.ht >> 8)});
        }
        ProbeFacts probe;
        probe.sequence = f.sequence;
        probe.elements = elements.data();
        probe.elementsLength = elements.size();
        if (f.ssid) {
            probe.ssid = reinterpret_cast<const uint8_t*>(&f.ssid);
            probe.ssidLength = 1;
        }
        LinkInput input{{f.first, 0, 0, 0, 0, f.last},
                        f.seconds * 1000,
                        f.signal,
                        f.probe ? &probe : nullptr,
                        f.accessPoint};
        uint8_t device[6];
        linkFrame(scene.linker, input, scene.links[f.first << 8 | f.last], scene.window, device);
        std::string name(reinterpret_cast<const char*>(device), 6);
        letters.emplace(name, static_cast<char>('a' + letters.size()));
        groups += letters[name];
    }
    return groups;
}

TEST(DeviceLinker, EachRule) {
    for (const RuleCase& rule : kRules) {
        Scene scene(LinkerLimits{rule.cap});
        EXPECT_EQ(linkAll(rule.frames, scene), rule.groups) << rule.name;
        if (rule.counted < 0) continue;
        EXPECT_EQ(windowCount(scene.window), static_cast<uint32_t>(rule.counted)) << rule.name;
    }
}

TEST(DeviceLinker, CountsEachDeviceOncePerWindowRandomOnesFromTheirFifthFrame) {
    Scene scene;
    linkAll({{kRandom, 1, 0}, {kRandom, 2, 1}, {kGlobal, 3, 2}, {kGlobal, 3, 3}}, scene);
    EXPECT_EQ(windowCount(scene.window), 1u);
    linkAll({{kRandom, 2, 4}, {kRandom, 2, 4}}, scene);
    EXPECT_EQ(windowCount(scene.window), 1u);
    linkAll({{kRandom, 2, 4}}, scene);
    EXPECT_EQ(closeWindow(scene.window), 2u);
    linkAll({{kGlobal, 3, 5}, {kRandom, 2, 5}}, scene);
    EXPECT_EQ(closeWindow(scene.window), 2u);
    EXPECT_EQ(closeWindow(scene.window), 0u);
}

TEST(DeviceLinker, StaysWithinItsCapUnderAFlood) {
    Scene scene(LinkerLimits{16});
    std::vector<Frame> flood;
    for (int i = 0; i < 5000; ++i) {
        flood.push_back({static_cast<uint8_t>(kRandom | (i & 0xF0)), static_cast<uint8_t>(i),
                         i / 100, true, static_cast<uint16_t>(i * 7),
                         static_cast<uint8_t>(i % 40)});
    }
    linkAll(flood, scene);
    EXPECT_LE(liveGroups(scene.linker), 16u);
    // An address whose group was evicted (heard at frame 4744) is linked anew, so that a new
    // address of its new kind joins it, not confused with what took its group's place.
    EXPECT_EQ(linkAll({{0x82, 136, 60, true, 0, 41}, {kRandom, 200, 60, true, 9, 41}}, scene),
              "aa");
}

// Stamps of 1970 and 9999 by turns (both are taken) step the frames' clock back by eight
// thousand years at every other frame: the linker's clock still never goes back, nor overflows.
TEST(DeviceLinker, ItsClockStaysBoundedWhenFramesJumpBetween1970And9999) {
    constexpr int64_t kLastSecondOf9999 = 253402300799;
    Scene scene(LinkerLimits{16});
    int64_t latest = INT64_MIN;
    bool backwards = false;
    for (int i = 0; i < 100000; ++i) {
        const int64_t second = i % 2 ? kLastSecondOf9999 : 0;
        linkAll({{kRandom, static_cast<uint8_t>(i % 64), second, true, static_cast<uint16_t>(i)}},
                scene);
        backwards = backwards || scene.linker.latestTime < latest || scene.linker.clockShift < 0;
        latest = scene.linker.latestTime;
    }
    EXPECT_FALSE(backwards);
    EXPECT_GT(latest, kLastSecondOf9999 * 1000);
    EXPECT_LT(latest, INT64_MAX / 16);  // room for the sums and products of its times
    EXPECT_LE(liveGroups(scene.linker), 16u);
}

}  // namespace
