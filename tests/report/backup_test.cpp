#include "report/backup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
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

}  // namespace
