// The upload's decisions with the command runner replaced: what runs, what is spooled, sent
// again and removed, and which lines say so.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "report/report_turn.h"
#include "support/fake_clock.h"
#include "support/reading.h"
#include "support/temp_dir.h"

namespace {

// Records every command and answers from a script (success when the script is empty).
struct FakeRunner {
    // The file a command got as its standard input, by the name it has (empty: none).
    static std::string inputPath(int fd) {
        if (fd < 0) return "";
        std::string path(4096, '\0');
        ssize_t n =
            readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), &path[0], path.size());
        return path.substr(0, n > 0 ? n : 0);
    }
    static std::vector<std::string> commands;
    static std::vector<std::string> inputs;
    static std::deque<CommandResult> answers;
    static CommandResult run(const std::string& command, int, const CommandFiles& files) {
        commands.push_back(command);
        inputs.push_back(inputPath(files.input));
        CommandResult next{CommandResult::kExited, 0};
        if (!answers.empty()) {
            next = answers.front();
            answers.pop_front();
        }
        // As curl with -w: a success was answered 200.
        if (files.output >= 0 && succeeded(next)) {
            EXPECT_EQ(write(files.output, "200", 3), 3);
        }
        return next;
    }
};
std::vector<std::string> FakeRunner::commands;
std::vector<std::string> FakeRunner::inputs;
std::deque<CommandResult> FakeRunner::answers;

const CommandResult kRefused{CommandResult::kExited, 7};
const CommandResult kOk{CommandResult::kExited, 0};

class Report : public ::testing::Test {
protected:
    void SetUp() override {
        FakeRunner::commands.clear();
        FakeRunner::answers.clear();
        state.run = FakeRunner::run;
        settings.endpoint = "http://h/in";
        updateEntryList(readingOf("aa:bb:cc:dd:ee:01", -60, 10), list, 0);
    }
    // One report at `time`; returns what it printed.
    std::string reportAt(std::time_t time, std::deque<CommandResult> answers = {}) {
        FakeClock::now = time;
        FakeRunner::answers = answers;
        FakeRunner::commands.clear();
        FakeRunner::inputs.clear();
        ::testing::internal::CaptureStdout();
        report(settings, list, state);
        return ::testing::internal::GetCapturedStdout();
    }
    // What each command run by the last report sent: the -d argument, or "@" and the file
    // given as standard input.
    std::vector<std::string> sentData() {
        std::vector<std::string> data;
        for (std::size_t i = 0; i < FakeRunner::commands.size(); ++i) {
            const std::string& command = FakeRunner::commands[i];
            std::size_t start = command.find(" -d '") + 5;
            data.push_back(start < 5 ? "@" + FakeRunner::inputs[i]
                                     : command.substr(start, command.find('\'', start) - start));
        }
        return data;
    }

    FakeClock clock{1700000000};
    EntryList list;
    ReportSettings settings;
    ReportState state;
    TempDir spool;
};

TEST_F(Report, FailuresAreReportedOnceAndTheRecoveryOnce) {
    EXPECT_EQ(reportAt(1700000000, {kRefused}), "Uploads failing: curl exit status 7\n");
    EXPECT_EQ(reportAt(1700000001, {{CommandResult::kTimedOut, 0}}), "");
    EXPECT_EQ(reportAt(1700000002, {kOk}), "Uploads work again\n");
    EXPECT_EQ(reportAt(1700000003, {kOk}), "");
    EXPECT_EQ(reportAt(1700000004, {{CommandResult::kSignalled, 9}}),
              "Uploads failing: curl ended by signal 9\n");
}

TEST_F(Report, WithoutASpoolNothingIsKeptOrRetried) {
    reportAt(1700000000, {kRefused});
    reportAt(1700000001, {kOk});
    EXPECT_EQ(FakeRunner::commands.size(), 1u);
    EXPECT_EQ(FakeRunner::commands[0].rfind("curl -k --max-time 60 -X POST", 0), 0u);
}

TEST_F(Report, FailedDocumentsAreSpooledAndSentOldestFirstAfterASuccess) {
    settings.spoolDir = spool.path;
    reportAt(1700000000, {kRefused});
    reportAt(1700000001, {{CommandResult::kTimedOut, 0}});
    reportAt(1600000000, {kRefused});
    // Named by a sequence: the clock standing still or going back changes nothing.
    EXPECT_EQ(spool.files(), (std::vector<std::string>{"1.json", "2.json", "3.json"}));
    EXPECT_EQ(reportAt(1700000005), "Uploads work again\n");
    std::vector<std::string> sent = sentData();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].front(), '{');  // the current document first, inline
    EXPECT_EQ(std::vector<std::string>(sent.begin() + 1, sent.end()),
              (std::vector<std::string>{"@" + spool.path + "/1.json", "@" + spool.path + "/2.json",
                                        "@" + spool.path + "/3.json"}));
    EXPECT_TRUE(spool.files().empty());
    for (const std::string& command : FakeRunner::commands) {
        EXPECT_EQ(command.rfind("curl -k --fail --max-time 60 -X POST", 0), 0u);
    }
}

TEST_F(Report, ASpooledFileStaysUntilItsOwnUploadSucceeds) {
    settings.spoolDir = spool.path;
    reportAt(1700000000, {kRefused});
    reportAt(1700000001, {kRefused});
    reportAt(1700000002, {kOk, kOk, kRefused});
    EXPECT_EQ(FakeRunner::commands.size(), 3u);
    // The second spooled file failed: it stays, and the current document joins it.
    EXPECT_EQ(spool.files(), (std::vector<std::string>{"2.json"}));
}

TEST_F(Report, DocumentsLeftByAnEarlierRunAreSentToo) {
    settings.spoolDir = spool.path;
    spool.write("1600000000.json", "{\"earlier\":1}");
    reportAt(1700000000);
    EXPECT_EQ(sentData().back(), "@" + spool.path + "/1600000000.json");
    EXPECT_TRUE(spool.files().empty());
}

TEST_F(Report, AFewSpooledDocumentsPerTurn) {
    settings.spoolDir = spool.path;
    for (int i = 0; i < kSpoolBatch + 3; ++i) reportAt(1700000000 + i, {kRefused});
    reportAt(1700000100);
    EXPECT_EQ(FakeRunner::commands.size(), 1u + kSpoolBatch);
    EXPECT_EQ(spool.files().size(), 3u);
    reportAt(1700000101);
    EXPECT_TRUE(spool.files().empty());
}

TEST_F(Report, TooLongForTheCommandLineWithoutATemporaryFileIsSkippedWithALine) {
    for (int i = 0; i < 2000; ++i) {
        updateEntryList(readingOf(("02:00:00:00:" + std::to_string(10000 + i)).c_str(), -50, 1),
                        list, 0);
    }
    setenv("TMPDIR", "/nonexistent", 1);
    std::string printed = reportAt(1700000000);
    unsetenv("TMPDIR");
    EXPECT_TRUE(FakeRunner::commands.empty());
    EXPECT_EQ(printed.rfind("Reports failing: no temporary file for a document of ", 0), 0u);
}

TEST_F(Report, AClosedDaysReadingsAreNeverLost) {
    settings.spoolDir = spool.path;
    const std::time_t closing = 1700006399;
    // Stopped while it uploads: the table has started the new day, so the spool keeps it.
    FakeRunner::answers = {{CommandResult::kStopped, 0}};
    report(settings, list, state, closing);
    EXPECT_TRUE(state.dayClosed);
    ASSERT_EQ(spool.files(), std::vector<std::string>{"1.json"});
    EXPECT_NE(spool.read("1.json").find("aa:bb:cc:dd:ee:01"), std::string::npos);
    // One that cannot be made leaves the day open, its readings kept for the next try.
    for (int i = 0; i < 2000; ++i) {
        updateEntryList(readingOf(("02:00:00:00:" + std::to_string(10000 + i)).c_str(), -50, 1),
                        list, 0);
    }
    setenv("TMPDIR", "/nonexistent", 1);
    ::testing::internal::CaptureStdout();
    report(settings, list, state, closing);
    ::testing::internal::GetCapturedStdout();
    unsetenv("TMPDIR");
    EXPECT_FALSE(state.dayClosed);
    EXPECT_EQ(entryCount(list), 2000u);
    // Kept at a stop after midnight, it is the old day's closing document.
    keepLastDocument(settings, list, state, closing);
    EXPECT_EQ(spool.files().size(), 2u);
    EXPECT_NE(spool.read("2.json").find(":59:59"), std::string::npos);
}

// A document's device count goes with it: the window closes when the document reached a place
// (the endpoint, the spool); else the next document carries it, without counting twice a device
// heard again meanwhile.
struct WindowCase {
    const char* name;
    bool spooling;
    bool made;  // false: no temporary file for a long document
    CommandResult upload;
    uint32_t next;  // the next window's count after hearing A again and B
};

class Window : public Report, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(Window, ClosesOnlyWhenItsDocumentReachedAPlace) {
    const WindowCase& c = GetParam();
    settings.counting.devices = true;
    if (c.spooling) settings.spoolDir = spool.path;
    for (int i = 0; !c.made && i < 2000; ++i) {
        updateEntryList(readingOf(("02:00:00:00:" + std::to_string(10000 + i)).c_str(), -50, 1),
                        list, 0);
    }
    uint32_t a = 0, b = 0, other = 0;  // each device's last window
    countInWindow(list.devices, a);
    countInWindow(list.devices, other);
    if (!c.made) setenv("TMPDIR", "/nonexistent", 1);
    reportAt(1700000000, {c.upload});
    unsetenv("TMPDIR");
    countInWindow(list.devices, a);
    countInWindow(list.devices, b);
    EXPECT_EQ(windowCount(list.devices), c.next);
    if (!c.made) return;
    reportAt(1700000001, {kOk});
    const std::string sent = sentData().at(0);
    EXPECT_NE(sent.find("\"devices\":" + std::to_string(c.next) + ","), std::string::npos) << sent;
}

INSTANTIATE_TEST_SUITE_P(
    Counting, Window,
    ::testing::Values(WindowCase{"delivered", false, true, kOk, 2},
                      WindowCase{"spooled", true, true, kRefused, 2},
                      WindowCase{"lost", false, true, kRefused, 3},
                      WindowCase{"cut_by_a_stop", true, true, {CommandResult::kStopped, 0}, 3},
                      WindowCase{"not_made", false, false, kOk, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Report, BackupFailuresAreReportedOnceAndTheRecoveryOnce) {
    TempDir backups;
    backups.write("writebackup", "");
    settings.backupDir = backups.path;
    mkdir((backups.path + "/1700000000.dat").c_str(), 0700);  // no file can take its name
    EXPECT_EQ(reportAt(1700000000), "Backups failing: cannot write in " + backups.path + "\n");
    EXPECT_EQ(reportAt(1700000000), "");
    EXPECT_EQ(reportAt(1700000001), "Backups work again\n");
    rmdir((backups.path + "/1700000000.dat").c_str());
}

TEST_F(Report, ALongDocumentStillGoesInlineWhenTheCommandFits) {
    for (int i = 0; i < 700; ++i) {
        updateEntryList(readingOf(("02:00:00:00:" + std::to_string(10000 + i)).c_str(), -50, 1),
                        list, 0);
    }
    setenv("TMPDIR", "/nonexistent", 1);
    reportAt(1700000000);
    unsetenv("TMPDIR");
    ASSERT_EQ(FakeRunner::commands.size(), 1u);
    EXPECT_GT(sentData()[0].size(), kInlineDocumentLimit);
}

}  // namespace
