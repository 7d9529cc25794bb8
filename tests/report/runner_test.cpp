#include "report/runner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

struct RunCase {
    const char* name;
    const char* command;
    int timeout;
    CommandResult::Outcome outcome;
    int value;
};

class Runner : public ::testing::TestWithParam<RunCase> {
protected:
    // As in the daemon: the test process ignores SIGPIPE, its commands must not.
    void SetUp() override { previous = signal(SIGPIPE, SIG_IGN); }
    void TearDown() override { signal(SIGPIPE, previous); }
    void (*previous)(int) = SIG_DFL;
};

TEST_P(Runner, ReportsHowTheCommandEnded) {
    CommandResult result = runCommand(GetParam().command, GetParam().timeout);
    EXPECT_EQ(result.outcome, GetParam().outcome);
    EXPECT_EQ(result.value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Runner,
    ::testing::Values(RunCase{"success", "exit 0", 5, CommandResult::kExited, 0},
                      RunCase{"exit_status", "exit 7", 5, CommandResult::kExited, 7},
                      RunCase{"no_deadline", "true", 0, CommandResult::kExited, 0},
                      RunCase{"signal", "kill -KILL $$", 5, CommandResult::kSignalled, SIGKILL},
                      RunCase{"pipe_signal_back_at_default", "kill -PIPE $$", 5,
                              CommandResult::kSignalled, SIGPIPE},
                      RunCase{"overrun", "sleep 30", 1, CommandResult::kTimedOut, 0},
                      RunCase{"overrun_ignoring_term", "trap '' TERM; sleep 30; sleep 30", 1,
                              CommandResult::kTimedOut, 0}),
    [](const auto& info) { return std::string(info.param.name); });

bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, name, state;
    return stat >> pidText >> name >> state && state != "Z";
}

TEST(RunnerGroup, AnOverrunEndsEveryProcessOfTheCommand) {
    char name[] = "/tmp/pelmar-runner-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string command = "sleep 60 & echo $! > " + std::string(name) + "; wait";
    EXPECT_EQ(runCommand(command, 1).outcome, CommandResult::kTimedOut);
    pid_t child = 0;
    std::ifstream(name) >> child;
    unlink(name);
    ASSERT_GT(child, 0);
    for (int i = 0; i < 100 && alive(child); ++i) usleep(10000);
    EXPECT_FALSE(alive(child));
}

TEST(RunnerReason, SaysWhyInAFewWords) {
    EXPECT_EQ(failureReason({CommandResult::kExited, 7}, 60), "curl exit status 7");
    EXPECT_EQ(failureReason({CommandResult::kSignalled, 9}, 60), "curl ended by signal 9");
    EXPECT_EQ(failureReason({CommandResult::kTimedOut, 0}, 60), "no answer within 60 s");
    EXPECT_TRUE(succeeded({CommandResult::kExited, 0}));
    EXPECT_FALSE(succeeded({CommandResult::kTimedOut, 0}));
}

}  // namespace

namespace {

TEST(RunnerChildren, AStatusThatCannotBeCollectedIsAFailure) {
    // Ignored, the kernel reaps the child itself: waitpid then finds no child.
    void (*previous)(int) = signal(SIGCHLD, SIG_IGN);
    CommandResult result = runCommand("exit 0", 5);
    signal(SIGCHLD, previous);
    EXPECT_EQ(result.outcome, CommandResult::kLost);
    EXPECT_FALSE(succeeded(result));
    EXPECT_EQ(failureReason(result, 60), "curl's status lost (errno 10)");
}

TEST(RunnerChildren, RelayedOutputReachesOursAndTheStatusStaysTheCommands) {
    ::testing::internal::CaptureStdout();
    CommandResult result = runCommandRelayingOutput("printf 'ok\\n'; exit 3", 5);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "ok\n");
    EXPECT_EQ(result.outcome, CommandResult::kExited);
    EXPECT_EQ(result.value, 3);
}

}  // namespace
