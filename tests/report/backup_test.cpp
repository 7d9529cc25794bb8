#include "report/backup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace {

class Backup : public ::testing::Test {
protected:
    std::vector<std::string> files() { return temp.files(); }
    std::string content(const std::string& file) { return temp.read(file); }
    void mark() { temp.write("writebackup", ""); }

    FakeClock clock{1700000000};
    TempDir temp;
    std::string dir = temp.path;
};

TEST_F(Backup, NothingWithoutTheMarker) {
    backup("{}", dir);
    EXPECT_TRUE(files().empty());
}

TEST_F(Backup, MarkerTurnsBackupsOnAndOff) {
    mark();
    backup("{\"a\":1}", dir);
    FakeClock::now += 1;
    backup("{\"a\":2}", dir);
    EXPECT_EQ(files(),
              (std::vector<std::string>{"1700000000.dat", "1700000001.dat", "writebackup"}));
    EXPECT_EQ(content("1700000000.dat"), "{\"a\":1}\n");
    EXPECT_EQ(content("1700000001.dat"), "{\"a\":2}\n");
    unlink((dir + "/writebackup").c_str());
    FakeClock::now += 1;
    backup("{}", dir);
    EXPECT_EQ(files().size(), 2u);
}

TEST_F(Backup, SameSecondOverwrites) {
    mark();
    backup("first", dir);
    backup("second", dir);
    EXPECT_EQ(content("1700000000.dat"), "second\n");
    EXPECT_EQ(files().size(), 2u);
}

TEST_F(Backup, TrailingSlashAndLongDirectoriesWork) {
    std::string deep = dir;
    for (int i = 0; i < 8; ++i) {
        deep += "/" + std::string(40, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    std::ofstream(deep + "/writebackup");
    backup("{}", deep + "/");
    std::ifstream written(deep + "/1700000000.dat");
    std::string line;
    EXPECT_TRUE(std::getline(written, line));
    EXPECT_EQ(line, "{}");
    unlink((deep + "/1700000000.dat").c_str());
    unlink((deep + "/writebackup").c_str());
    for (int i = 0; i < 8; ++i) {
        rmdir(deep.c_str());
        deep = deep.substr(0, deep.rfind('/'));
    }
}

TEST_F(Backup, MissingDirectoryIsNeverCreated) {
    backup("{}", dir + "/absent");
    EXPECT_TRUE(files().empty());
}

struct PruneCase {
    const char* name;
    std::size_t maxFiles;
    std::uint64_t maxBytes;
    std::vector<std::string> kept;  // of the files below (with 10-byte backups)
};

// 9.dat, 10.dat and 0011.dat order by the times they name, not as text.
const PruneCase kPruneCases[] = {
    {"no_limits", 0, 0, {"0011.dat", "10.dat", "1700000000.dat", "9.dat"}},
    {"files", 2, 0, {"0011.dat", "1700000000.dat"}},
    {"bytes", 0, 25, {"0011.dat", "1700000000.dat"}},
    {"bytes_exactly", 0, 30, {"0011.dat", "10.dat", "1700000000.dat"}},
    {"tighter_of_both", 3, 15, {"1700000000.dat"}},
    {"newest_too_big", 0, 5, {}},
};

class BackupPrune : public Backup, public ::testing::WithParamInterface<PruneCase> {};

TEST_P(BackupPrune, KeepsTheNewestWithinBothLimits) {
    mark();
    for (const char* name : {"9.dat", "10.dat", "0011.dat", "1700000000.dat"})
        temp.write(name, "123456789\n");
    for (const char* other : {"notes.txt", "12.dat.tmp", "x1.dat", ".dat"}) temp.write(other, "");
    std::vector<std::string> written;
    pruneBackups(dir, GetParam().maxFiles, GetParam().maxBytes, written);
    std::vector<std::string> expected = GetParam().kept;
    for (const char* other : {".dat", "12.dat.tmp", "notes.txt", "writebackup", "x1.dat"})
        expected.push_back(other);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files(), expected);
}

INSTANTIATE_TEST_SUITE_P(Limits, BackupPrune, ::testing::ValuesIn(kPruneCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Files with their modification times, this run's names in the order written, and what one
// file of room keeps: the last written, else the latest modified, else the latest name.
struct OrderCase {
    std::vector<std::pair<std::string, long>> files;
    std::vector<std::string> written;
    std::string kept;
};
const OrderCase kOrderCases[] = {
    {{{"2000.dat", 100}, {"1000.dat", 50}}, {"1000.dat"}, "1000.dat"},  // the clock went back
    {{{"1001.dat", 100}, {"1000.dat", 100}}, {"1001.dat", "1000.dat"}, "1000.dat"},
    {{{"5.dat", 200}, {"9.dat", 100}}, {"6.dat"}, "5.dat"},  // 6.dat is gone
    {{{"9.dat", 100}, {"10.dat", 100}}, {}, "10.dat"},
};

class BackupOrder : public Backup, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(BackupOrder, KeepsTheLastWritten) {
    mark();
    for (const auto& [name, seconds] : GetParam().files) {
        temp.write(name, "x");
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (dir + "/" + name).c_str(), times, 0), 0);
    }
    std::vector<std::string> written = GetParam().written;
    pruneBackups(dir, 1, 0, written);
    EXPECT_EQ(files(), (std::vector<std::string>{GetParam().kept, "writebackup"}));
    std::vector<std::string> stays;  // only names still there stay in the order
    for (const std::string& name : GetParam().written)
        if (name == GetParam().kept) stays.push_back(name);
    EXPECT_EQ(written, stays);
}

INSTANTIATE_TEST_SUITE_P(Order, BackupOrder, ::testing::ValuesIn(kOrderCases));

TEST_F(Backup, NoPruningWhileBackupsAreOff) {
    temp.write("1.dat", "x");
    std::vector<std::string> written;
    pruneBackups(dir, 0, 0, written);
    pruneBackups(dir, 1, 1, written);
    EXPECT_EQ(files(), std::vector<std::string>{"1.dat"});
}

}  // namespace
