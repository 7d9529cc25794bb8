// The status file: its JSON, when it is written, what reports and uploads put in it, and the
// documents made before the clock is trusted.
#include "report/status.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <string>

#include "report/document.h"
#include "report/report_turn.h"
#include "support/fake_clock.h"
#include "support/reading.h"
#include "support/temp_dir.h"

namespace {

using FakeStatusClock = SettableClock<&statusClockSource>;

constexpr std::time_t kUpdated = 1796756405;  // 2026-12-08T19:00:05+00:00
constexpr std::time_t kStarted = 1796713920;  // 2026-12-08T07:12:00+00:00

DaemonStatus started(CaptureState state, const std::string& source) {
    DaemonStatus status;
    status.version = "1.4.0";
    status.started = kStarted;
    status.pid = 1234;
    status.captureState = state;
    status.source = source;
    return status;
}

struct JsonCase {
    const char* name;
    DaemonStatus status;
    const char* expected;
};

JsonCase knownCase() {
    DaemonStatus s = started(CaptureState::kCapturing, "mon0");
    s.frames = 123456;
    s.windowMade = true;
    s.windowEnd = 1796756400;
    s.windowDevices = 7;
    s.windowAddresses = 130;
    s.records = 412;
    s.uploadTried = true;
    s.uploadLast = 1796756401;
    s.uploadOk = true;
    s.httpStatus = 200;
    s.clockSynced = true;
    return {"everything known", s,
            R"({"version":"1.4.0","updated":"2026-12-08T19:00:05+00:00","started":)"
            R"("2026-12-08T07:12:00+00:00","pid":1234,"capture":{"state":"capturing","source":)"
            R"("mon0","frames":123456,"dropped":0},"window":{"end":"2026-12-08T19:00:00+00:00",)"
            R"("devices":7,"addresses":130},"table":{"records":412},"upload":{"last":)"
            R"("2026-12-08T19:00:01+00:00","ok":true,"status":200,"error":null,"failures":0},)"
            R"("spool":{"files":0,"bytes":0},"clock":{"synced":true}})"};
}

TEST(StatusJson, NamesEveryFieldAndSaysNullForWhatIsNotKnownYet) {
    const JsonCase cases[] = {
        {"nothing yet", started(CaptureState::kWaiting, "mon0"),
         R"({"version":"1.4.0","updated":"2026-12-08T19:00:05+00:00","started":)"
         R"("2026-12-08T07:12:00+00:00","pid":1234,"capture":{"state":"waiting","source":"mon0",)"
         R"("frames":0,"dropped":0},"window":{"end":null,"devices":null,"addresses":null},)"
         R"("table":{"records":0},"upload":{"last":null,"ok":null,"status":null,"error":null,)"
         R"("failures":0},"spool":{"files":0,"bytes":0},"clock":{"synced":null}})"},
        knownCase(),
    };
    for (const JsonCase& c : cases) {
        EXPECT_EQ(statusJson(c.status, kUpdated), std::string(c.expected) + "\n") << c.name;
    }
}

// Answers each curl run from a script: a success (with HTTP 200 written) when it is empty.
std::deque<CommandResult> answers;
CommandResult scripted(const std::string&, int, const CommandFiles& files) {
    CommandResult next{CommandResult::kExited, 0};
    if (!answers.empty()) {
        next = answers.front();
        answers.pop_front();
    }
    if (files.output >= 0 && succeeded(next)) {
        EXPECT_EQ(write(files.output, "200", 3), 3);
    }
    return next;
}

class StatusFile : public ::testing::Test {
protected:
    void SetUp() override {
        updateEntryList(readingOf("aa:bb:cc:dd:ee:01", -60, 10), list, 0);
        state.run = scripted;
        openStatus(path, started(CaptureState::kWaiting, "mon0"), &list, marker);
    }
    void TearDown() override { openStatus(std::nullopt, DaemonStatus{}, nullptr, std::nullopt); }
    std::string file() const { return dir.read("status.json"); }
    bool says(const std::string& text) const { return file().find(text) != std::string::npos; }
    void reportWith(std::deque<CommandResult> script) {
        answers = script;
        ::testing::internal::CaptureStdout();
        report(settings, list, state);
        ::testing::internal::GetCapturedStdout();
        ++machine.now;  // the turn came in the second of the last write: written at the next tick
        statusTick();
    }

    TempDir dir;
    TempDir spool;
    std::string path = dir.path + "/status.json";
    std::string marker = dir.path + "/clock-synced";
    FakeMachineClock machine{100};
    FakeStatusClock clock{kUpdated};
    FakeClock wall{1796756400};
    EntryList list;
    ReportSettings settings;
    ReportState state;
};

TEST_F(StatusFile, IsWrittenAtOnceThenAtMostOnceASecondWithoutLosingAChange) {
    EXPECT_TRUE(says(R"("state":"waiting")"));
    EXPECT_TRUE(says(R"("records":1})"));
    noteCaptureState(CaptureState::kCapturing);  // the same second: held back
    noteCaptureFigures(42, 3);
    statusTick();
    EXPECT_TRUE(says(R"("state":"waiting")"));
    ++machine.now;
    statusTick();
    EXPECT_TRUE(says(R"("state":"capturing","source":"mon0","frames":42,"dropped":3})"));
    noteCaptureFigures(50, 3);  // figures alone wait for a change or a turn
    ++machine.now;
    statusTick();
    EXPECT_TRUE(says(R"("frames":42)"));
    noteCaptureState(CaptureState::kWaiting);
    EXPECT_TRUE(says(R"("state":"waiting","source":"mon0","frames":50)"));
    noteCaptureState(CaptureState::kCapturing);
    statusTick(true);  // the process ends: no second to wait for
    EXPECT_TRUE(says(R"("state":"capturing")"));
    EXPECT_EQ(dir.files(), std::vector<std::string>{"status.json"});  // no temporary left
}

TEST_F(StatusFile, FollowsUploadsFailingThenDeliveredAndTheSpool) {
    settings.endpoint = "http://h/in";
    settings.spoolDir = spool.path;
    reportWith({{CommandResult::kExited, 7}});
    EXPECT_TRUE(
        says(R"("window":{"end":"2026-12-08T19:00:00+00:00","devices":null,"addresses":1})"));
    EXPECT_TRUE(says(R"("ok":false,"status":null,"error":"curl exit status 7","failures":1})"));
    reportWith({{CommandResult::kTimedOut, 0}});
    EXPECT_TRUE(says(R"("failures":2})"));
    EXPECT_TRUE(says(R"("spool":{"files":2,"bytes":)"));
    reportWith({});
    EXPECT_TRUE(says(R"("last":"2026-12-08T19:00:05+00:00","ok":true,"status":200,"error":null,)"
                     R"("failures":0})"));
    EXPECT_TRUE(says(R"("spool":{"files":0,"bytes":0})"));
}

TEST_F(StatusFile, WithoutAPathNothingIsKeptOrWritten) {
    openStatus(std::nullopt, started(CaptureState::kWaiting, "mon0"), &list, std::nullopt);
    unlink(path.c_str());
    EXPECT_FALSE(statusKept());
    noteCaptureState(CaptureState::kCapturing);
    noteUpload(false, 0, "x");
    noteReportTurn(1, 2);
    statusTick(true);
    EXPECT_TRUE(dir.files().empty());
}

TEST_F(StatusFile, TheClockIsSyncedOnceTheMarkerExistsAndDocumentsSaySoUntilThen) {
    EXPECT_EQ(clockSynced(std::nullopt), std::nullopt);
    EXPECT_EQ(clockSynced(marker), false);
    EXPECT_TRUE(says(R"("clock":{"synced":false})"));
    settings.endpoint = "http://h/in";
    settings.clockMarker = marker;
    state.run = [](const std::string& command, int, const CommandFiles&) {
        EXPECT_NE(
            command.find(R"("systemDateTime":"2026-12-08T19:00:00+00:00","clockSynced":false,)"
                         R"("data":[)"),
            std::string::npos);
        return CommandResult{CommandResult::kExited, 0};
    };
    reportWith({});
    dir.write("clock-synced", "");
    EXPECT_EQ(clockSynced(marker), true);
    state.run = [](const std::string& command, int, const CommandFiles&) {
        EXPECT_EQ(command.find("clockSynced"), std::string::npos);
        return CommandResult{CommandResult::kExited, 0};
    };
    reportWith({});
    EXPECT_TRUE(says(R"("clock":{"synced":true})"));
}

TEST(ClockSyncedDocument, TheMarkComesRightAfterTheTimeAndOnlyWhenNotSynced) {
    const std::string time = R"({"hostname":"h","systemDateTime":"2026-12-08T19:00:00+00:00")";
    EXPECT_EQ(openDocument("h", 1796756400), time + R"(,"data":[)");
    EXPECT_EQ(openDocument("h", 1796756400, 3u, false),
              time + R"(,"clockSynced":false,"devices":3,"data":[)");
    EXPECT_EQ(openDocument("h", 1796756400, std::nullopt, true), time + R"(,"data":[)");
}

}  // namespace
