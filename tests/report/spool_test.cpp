#include "report/spool.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

TEST(Spool, NamesByTimeAndKeepsEveryDocumentOfOneSecond) {
    TempDir dir;
    ASSERT_TRUE(spoolDocument(dir.path, 1700000000, "a", 1024));
    ASSERT_TRUE(spoolDocument(dir.path, 1700000000, "b", 1024));
    ASSERT_TRUE(spoolDocument(dir.path, 1700000000, "c", 1024));
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"1700000000-1.json", "1700000000-2.json",
                                                     "1700000000.json"}));
    EXPECT_EQ(dir.read("1700000000-2.json"), "c");
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
    for (int t = 1; t <= 4; ++t)
        ASSERT_TRUE(spoolDocument(dir.path, t, std::string(100, 'x'), 400));
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(spoolDocument(dir.path, 5, std::string(200, 'y'), 350));
    EXPECT_EQ(
        ::testing::internal::GetCapturedStdout(),
        "Spool full: dropped 1.json\nSpool full: dropped 2.json\nSpool full: dropped 3.json\n");
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"4.json", "5.json"}));
}

TEST(Spool, ADocumentLargerThanTheSpoolIsNotKept) {
    TempDir dir;
    ASSERT_TRUE(spoolDocument(dir.path, 1, "old", 10));
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(spoolDocument(dir.path, 2, std::string(11, 'x'), 10));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Spool full: a document of 11 bytes is not kept\n");
    EXPECT_EQ(dir.files(), std::vector<std::string>{"1.json"});
}

TEST(Spool, MissingDirectorySaysSo) {
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(spoolDocument("/nonexistent/spool", 1, "x", 1024));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Spool: cannot write in /nonexistent/spool\n");
}

}  // namespace
