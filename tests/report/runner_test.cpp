#include "report/runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "report/spawn.h"
#include "support/temp_dir.h"

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

namespace {

// Far above the others, where a loop up to the first free descriptor would not reach.
int highDescriptor() {
    int fd = open("/dev/null", O_RDONLY);
    int high = dup2(fd, 900);
    close(fd);
    return high;
}

// Descriptors of ours open across exec (no close-on-exec), as libpcap's capture socket is until
// it is marked: a pipe, a socket, one far up.
TEST(RunnerChildren, NoDescriptorOfOursReachesTheCommand) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const std::vector<int> ours = {ends[0], ends[1], socket(AF_UNIX, SOCK_DGRAM, 0),
                                   highDescriptor()};
    std::string check = "for fd in";
    for (int fd : ours) check += " " + std::to_string(fd);
    check += "; do [ ! -e /proc/$$/fd/$fd ] || exit $fd; done";
    CommandResult result = runCommand(check, 5);
    for (int fd : ours) close(fd);
    EXPECT_EQ(result.outcome, CommandResult::kExited);
    EXPECT_EQ(result.value, 0) << "descriptor " << result.value << " reached the command";
}

// Both ways of closing, in a child of the test as in the daemon's: every descriptor above 2
// goes but the one kept, and the standard three stay.
struct ClosingCase {
    const char* name;
    void (*close)(int keep, int openLimit);
    int keep;  // an index into the descriptors opened, or -1
};

class RunnerClosing : public ::testing::TestWithParam<ClosingCase> {};

TEST_P(RunnerClosing, LeavesOnlyTheStandardThreeAndTheOneKept) {
    std::vector<int> opened;
    for (int i = 0; i < 4; ++i) opened.push_back(open("/dev/null", O_RDONLY));
    opened.push_back(highDescriptor());
    for (int fd : opened) ASSERT_GT(fd, 2);
    const int keep = GetParam().keep < 0 ? -1 : opened[GetParam().keep];
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        GetParam().close(keep, 1000);
        int wrong = 0;
        for (int fd : opened) wrong += (fcntl(fd, F_GETFD) != -1) != (fd == keep);
        for (int fd = 0; fd <= 2; ++fd) wrong += fcntl(fd, F_GETFD) == -1;
        _exit(wrong);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    for (int fd : opened) close(fd);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, RunnerClosing,
    ::testing::Values(ClosingCase{"range_none_kept", closeDescriptorsAbove2, -1},
                      ClosingCase{"range_first_kept", closeDescriptorsAbove2, 0},
                      ClosingCase{"range_middle_kept", closeDescriptorsAbove2, 2},
                      ClosingCase{"each_none_kept", closeEachDescriptorAbove2, -1},
                      ClosingCase{"each_middle_kept", closeEachDescriptorAbove2, 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A daemon started with some standard descriptors closed: the files of a command then take
// their slots, in the order opened. The command gets its input and output whatever they hold.
struct SlotCase {
    const char* name;
    std::vector<int> closed;  // our standard descriptors closed before the files are opened
    bool outputFirst;         // the output opened before the input
    const char* command;
};

class RunnerStandardSlots : public ::testing::TestWithParam<SlotCase> {};

// In a child of the test, whose standard descriptors it may close: 0 when the command copied
// its input to its output and wrote nothing else into either, else the step that failed.
int copyThroughClosedSlots(const SlotCase& given, const std::string& in, const std::string& out) {
    for (int fd : given.closed) close(fd);
    int input = -1, output = -1;
    if (given.outputFirst) output = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    input = open(in.c_str(), O_RDONLY);
    if (!given.outputFirst) output = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (input < 0 || output < 0) return 1;
    if (!succeeded(runCommand(given.command, 5, {input, output}))) return 2;
    char copied[16] = {};
    return pread(output, copied, sizeof copied, 0) == 6 && std::string(copied) == "hello\n" ? 0 : 3;
}

TEST_P(RunnerStandardSlots, TheCommandsFilesDoNotOverwriteEachOther) {
    TempDir dir;
    const std::string in = dir.path + "/in", out = dir.path + "/out";
    std::ofstream(in) << "hello\n";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(copyThroughClosedSlots(GetParam(), in, out));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(dir.read("in"), "hello\n");
    EXPECT_EQ(dir.read("out"), "hello\n");
}

INSTANTIATE_TEST_SUITE_P(
    Closed, RunnerStandardSlots,
    ::testing::Values(SlotCase{"output_at_0", {0}, true, "cat"},
                      SlotCase{"output_at_0_input_at_1", {0, 1}, true, "cat"},
                      SlotCase{"input_at_0_output_at_1", {0, 1}, false, "cat"},
                      SlotCase{"input_at_0_output_at_2", {0, 2}, false, "cat; echo stray >&2"},
                      SlotCase{"output_at_0_input_at_2", {0, 2}, true, "cat; echo stray >&2"},
                      SlotCase{"output_at_2", {2}, true, "cat; echo stray >&2"},
                      SlotCase{"none", {}, true, "cat"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
