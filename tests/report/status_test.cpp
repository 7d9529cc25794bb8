// The status file: its JSON, when it is written, what reports and uploads put in it, and the
// documents made before the clock is trusted.
#include "report/status.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "report/document.h"
#include "report/report_turn.h"
#include "support/fake_clock.h"
#include "support/reading.h"
#include "support/temp_dir.h"

namespace {

using FakeStatusClock = SettableClock<&statusClockSource>;

constexpr std::time_t kUpdated = 1796756405;  // 2026-12-08T19:00:05+00:00

DaemonStatus started(CaptureState state) {
    DaemonStatus status;
    status.version = "1.4.0";
    status.started = 1796713920;  // 2026-12-08T07:12:00+00:00
    status.pid = 1234;
    status.captureState = state;
    status.source = "mon0";
    return status;
}

TEST(StatusJson, NamesEveryFieldAndSaysNullForWhatIsNotKnownYet) {
    const std::string head =
        R"({"version":"1.4.0","updated":"2026-12-08T19:00:05+00:00","started":)"
        R"("2026-12-08T07:12:00+00:00","pid":1234,"capture":{"state":)";
    EXPECT_EQ(statusJson(started(CaptureState::kWaiting), kUpdated),
              head + R"("waiting","source":"mon0","frames":0,"dropped":0},"window":{"end":null,)"
                     R"("devices":null,"addresses":null},"table":{"records":0},"upload":{"last":)"
                     R"(null,"ok":null,"status":null,"error":null,"failures":0},"spool":)"
                     R"({"files":0,"bytes":0},"clock":{"synced":null}})"
                     "\n");
    DaemonStatus s = started(CaptureState::kCapturing);
    s.frames = 123456;
    s.windowMade = s.uploadTried = s.uploadOk = true;
    s.windowEnd = 1796756400;
    s.windowDevices = 7;
    s.windowAddresses = 130;
    s.records = 412;
    s.uploadLast = 1796756401;
    s.httpStatus = 200;
    s.clockSynced = true;
    EXPECT_EQ(statusJson(s, kUpdated),
              head + R"("capturing","source":"mon0","frames":123456,"dropped":0},"window":{)"
                     R"("end":"2026-12-08T19:00:00+00:00","devices":7,"addresses":130},"table":)"
                     R"({"records":412},"upload":{"last":"2026-12-08T19:00:01+00:00","ok":true,)"
                     R"("status":200,"error":null,"failures":0},"spool":{"files":0,"bytes":0},)"
                     R"("clock":{"synced":true}})"
                     "\n");
}

// The capture object's end and the file's end for a state, with and without a history.
struct TroubleCase {
    CaptureState state;
    std::size_t size, next, count;  // the history's
    std::string capture;            // what follows "dropped":0
    std::string end;                // what follows "synced":null}
};

TEST(StatusJson, ShowsTroubleAndTheLastWindowsOnlyInTheirStatesAndWhenAsked) {
    const std::string since = R"(,"since":"2026-12-08T18:00:00+00:00")";
    const std::string error = R"(,"error":"socket: Operation not permitted \"x\"")";
    const uint32_t three[] = {1796756460, 11, kNoDevices, 1796756520, 12, 5, 1796756580, 13, 0};
    const std::string minute1 = R"({"end":"2026-12-08T19:01:00+00:00","devices":null,)"
                                R"("addresses":11})";
    const std::string minute2 = R"({"end":"2026-12-08T19:02:00+00:00","devices":5,"addresses":12})";
    const std::string minute3 = R"({"end":"2026-12-08T19:03:00+00:00","devices":0,"addresses":13})";
    const TroubleCase cases[] = {
        {CaptureState::kWaiting, 0, 0, 0, "}", "}"},
        {CaptureState::kRefused, 0, 0, 0, error + "}", "}"},
        {CaptureState::kRefused, 3, 0, 0, error + since + "}", R"(,"history":[]})"},
        {CaptureState::kWaiting, 3, 1, 1, since + "}", ",\"history\":[" + minute1 + "]}"},
        // Full, the oldest where the next goes.
        {CaptureState::kCapturing, 3, 1, 3, "}",
         ",\"history\":[" + minute2 + "," + minute3 + "," + minute1 + "]}"},
        {CaptureState::kEnded, 3, 0, 2, "}", ",\"history\":[" + minute2 + "," + minute3 + "]}"},
    };
    for (const TroubleCase& c : cases) {
        DaemonStatus s = started(c.state);
        s.captureError = "socket: Operation not permitted \"x\"";
        s.stateSince = 1796752800;  // 2026-12-08T18:00:00+00:00
        s.history.ring.assign(three, three + c.size * kWindowWords);
        s.history.next = c.next;
        s.history.count = c.count;
        const std::string json = statusJson(s, kUpdated);
        EXPECT_NE(json.find(R"("dropped":0)" + c.capture + R"(,"window")"), std::string::npos)
            << json;
        EXPECT_NE(json.find(R"("synced":null})" + c.end + "\n"), std::string::npos) << json;
    }
}

// Answers each curl run from a script: a success (with HTTP 200 written) when it is empty.
std::deque<CommandResult> answers;
std::string lastCommand;
CommandResult scripted(const std::string& command, int, const CommandFiles& files) {
    lastCommand = command;
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
        openStatus(path, started(CaptureState::kWaiting), &list, marker);
    }
    void TearDown() override { openStatus(std::nullopt, DaemonStatus{}, nullptr, std::nullopt); }
    bool says(const std::string& text) const {
        return dir.read("status.json").find(text) != std::string::npos;
    }
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
    noteCaptureState(CaptureState::kRefused, "denied");
    statusTick(true);
    EXPECT_TRUE(
        says(R"("state":"refused","source":"mon0","frames":50,"dropped":3,"error":"denied"})"));
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

TEST_F(StatusFile, KeepsTheLastWindowsAndSinceWhenTroubleBegan) {
    openStatus(path, started(CaptureState::kWaiting), &list, std::nullopt, 2);
    EXPECT_TRUE(says(R"("since":"2026-12-08T07:12:00+00:00"},)"));  // since the start
    noteDocument(1796756460, std::nullopt, 11);
    noteDocument(1796756520, UINT32_MAX, uint64_t{1} << 40);  // kept at the largest counts
    noteDocument(1796756580, 7, 13);
    clock.now = 1796756590;
    noteCaptureState(CaptureState::kRefused, "no");
    statusTick(true);
    EXPECT_TRUE(says(R"("error":"no","since":"2026-12-08T19:03:10+00:00"},)"));
    EXPECT_TRUE(says(R"(,"history":[{"end":"2026-12-08T19:02:00+00:00","devices":4294967294,)"
                     R"("addresses":4294967294},{"end":"2026-12-08T19:03:00+00:00","devices":7,)"
                     R"("addresses":13}]})"));
}

TEST_F(StatusFile, WithoutAPathNothingIsKeptOrWritten) {
    openStatus(std::nullopt, started(CaptureState::kWaiting), &list, std::nullopt);
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
    reportWith({});
    EXPECT_NE(lastCommand.find(R"("systemDateTime":"2026-12-08T19:00:00+00:00","clockSynced":)"
                               R"(false,"data":[)"),
              std::string::npos);
    dir.write("clock-synced", "");
    EXPECT_EQ(clockSynced(marker), true);
    reportWith({});
    EXPECT_NE(lastCommand.find(R"("systemDateTime":"2026-12-08T19:00:00+00:00","data":[)"),
              std::string::npos);
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
