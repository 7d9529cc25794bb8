#include "report/spool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "report/report_turn.h"
#include "support/temp_dir.h"

namespace {

// A spool in `dir` with a cap of `maxBytes`, opened as the report thread opens it.
Spool spoolIn(const std::string& dir, std::size_t maxBytes) {
    Spool spool;
    spool.dir = dir;
    spool.maxBytes = maxBytes;
    openSpool(spool);
    return spool;
}

bool keep(Spool& spool, const std::string& text) {
    return keepDocument(spool, text.size(), [&](int fd) { return writeAll(fd, text); });
}

TEST(Spool, NamesBySequenceGoingOnFromTheHighestNumberThere) {
    TempDir dir;
    dir.write("1700000000-2.json", "old");
    Spool spool = spoolIn(dir.path, 1024);
    ASSERT_TRUE(keep(spool, "a"));
    ASSERT_TRUE(keep(spool, "b"));
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"1700000000-2.json", "1700000001.json",
                                                     "1700000002.json"}));
    EXPECT_EQ(dir.read("1700000002.json"), "b");
}

TEST(Spool, ListsOldestFirstAndIgnoresOtherFiles) {
    TempDir dir;
    for (const char* name : {"999.json", "1000-10.json", "1000.json", "1000-2.json", "notes.txt",
                             ".pelmar-abc123", "12a.json", "-1.json", "1000-.json", "99.json.x"}) {
        dir.write(name, "x");
    }
    std::vector<std::string> names;
    for (const std::string& path : spooledFiles(dir.path))
        names.push_back(path.substr(dir.path.size() + 1));
    EXPECT_EQ(names,
              (std::vector<std::string>{"999.json", "1000.json", "1000-2.json", "1000-10.json"}));
}

TEST(Spool, DropsTheOldestWithOneLineEachWhenFull) {
    TempDir dir;
    Spool spool = spoolIn(dir.path, 400);
    for (int t = 1; t <= 4; ++t) ASSERT_TRUE(keep(spool, std::string(100, 'x')));
    spool.maxBytes = 350;
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(keep(spool, std::string(200, 'y')));
    EXPECT_EQ(
        ::testing::internal::GetCapturedStdout(),
        "Spool full: dropped 1.json\nSpool full: dropped 2.json\nSpool full: dropped 3.json\n");
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"4.json", "5.json"}));
}

TEST(Spool, ADocumentLargerThanTheSpoolIsNotKept) {
    TempDir dir;
    Spool spool = spoolIn(dir.path, 10);
    ASSERT_TRUE(keep(spool, "old"));
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(keep(spool, std::string(11, 'x')));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Spool full: a document of 11 bytes is not kept\n");
    EXPECT_EQ(dir.files(), std::vector<std::string>{"1.json"});
}

TEST(Spool, OpeningRemovesLeftoversAndKeepsTheCapOverEveryFileOfOurs) {
    TempDir dir;
    dir.write(".pelmar-a1b2c3", std::string(500, 't'));
    dir.write("7.json", std::string(60, 'a'));
    dir.write("8.json", std::string(60, 'b'));
    mkdir((dir.path + "/rejected").c_str(), 0700);
    dir.write("rejected/3.json", std::string(60, 'r'));
    ::testing::internal::CaptureStdout();
    Spool spool = spoolIn(dir.path, 100);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Spool full: dropped rejected/3.json\nSpool full: dropped 7.json\n");
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"8.json", "rejected"}));
    rmdir((dir.path + "/rejected").c_str());
}

TEST(Spool, MissingDirectoryIsCreatedWithItsParents) {
    TempDir dir;
    Spool spool = spoolIn(dir.path + "/a/b", 1024);
    ASSERT_TRUE(keep(spool, "x"));
    std::vector<std::string> files = spooledFiles(dir.path + "/a/b");
    ASSERT_EQ(files.size(), 1u);
    unlink(files[0].c_str());
    rmdir((dir.path + "/a/b").c_str());
    rmdir((dir.path + "/a").c_str());
}

TEST(Spool, AnUnusableDirectorySaysSo) {
    ::testing::internal::CaptureStdout();
    Spool spool = spoolIn("/proc/pelmar/spool", 1024);
    EXPECT_FALSE(keep(spool, "x"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Spool: cannot create /proc/pelmar/spool\nSpool: cannot write in "
              "/proc/pelmar/spool\n");
}

// Files there before (each holding its own name), the one rejected (null: "new" is kept), and
// every file after with what it holds: nothing is replaced, and the sequence goes on past
// rejected/ but not from a number no name can follow.
using Files = std::vector<std::pair<std::string, std::string>>;
const std::string kTop = "9999999999999999999.json", kBelowTop = "9999999999999999998.json";
struct NameCase {
    std::vector<std::string> before;
    const char* rejected;
    Files after;
};
const NameCase kNameCases[] = {
    {{kTop}, nullptr, {{"1.json", "new"}, {kTop, kTop}}},
    {{kBelowTop, kTop}, nullptr, {{kBelowTop, kBelowTop}, {kTop, kTop}}},
    {{"3.json", "rejected/7.json"},
     nullptr,
     {{"3.json", "3.json"}, {"8.json", "new"}, {"rejected/7.json", "rejected/7.json"}}},
    {{"2.json", "rejected/2.json"},
     "2.json",
     {{"rejected/2-1.json", "2.json"}, {"rejected/2.json", "rejected/2.json"}}},
};

class SpoolNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(SpoolNames, NeverReplaceAFile) {
    TempDir dir;
    mkdir((dir.path + "/rejected").c_str(), 0700);
    for (const std::string& name : GetParam().before) dir.write(name, name);
    Spool spool = spoolIn(dir.path, 1 << 20);
    ::testing::internal::CaptureStdout();
    if (GetParam().rejected) rejectFile(spool, dir.path + "/" + GetParam().rejected, "HTTP 400");
    if (!GetParam().rejected) keep(spool, "new");
    ::testing::internal::GetCapturedStdout();
    Files after;
    for (const std::string& sub : {std::string(), std::string("rejected/")}) {
        for (const std::string& path : spooledFiles(dir.path + "/" + sub)) {
            after.emplace_back(sub + path.substr(path.rfind('/') + 1), "");
            after.back().second = dir.read(after.back().first);
            unlink(path.c_str());
        }
    }
    rmdir((dir.path + "/rejected").c_str());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(Cases, SpoolNames, ::testing::ValuesIn(kNameCases));

TEST(Spool, SizeInKilobytesIsClampedNotWrapped) {
    EXPECT_EQ(spoolBytes(-5), 0u);
    EXPECT_EQ(spoolBytes(1024), 1048576u);
    EXPECT_EQ(spoolBytes(2147483647), sizeof(std::size_t) == 4 ? SIZE_MAX : 2147483647ull * 1024);
}

}  // namespace
