#include "capture/line_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// A pipe whose write end a thread feeds with `chunks`, pausing `pause` between them.
class FedPipe {
public:
    explicit FedPipe(std::vector<std::string> chunks,
                     std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        readEnd = fds[0];
        writer = std::thread([chunks = std::move(chunks), pause, fd = fds[1]] {
            for (const std::string& chunk : chunks) {
                std::this_thread::sleep_for(pause);
                for (std::size_t done = 0; done < chunk.size();) {
                    ssize_t n = write(fd, chunk.data() + done, chunk.size() - done);
                    if (n <= 0) break;
                    done += static_cast<std::size_t>(n);
                }
            }
            close(fd);
        });
    }
    ~FedPipe() {
        writer.join();
        close(readEnd);
    }
    int readEnd;

private:
    std::thread writer;
};

// The results of `calls` successive reads.
std::vector<std::string> readLines(int fd, std::size_t calls) {
    PendingInput pending;
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < calls; ++i) {
        std::optional<std::string> line = readLine(fd, pending);
        if (!line) throw std::runtime_error("out of memory");
        lines.push_back(*line);
    }
    return lines;
}

// The reader as first designed: one wait and one single-byte read per byte.
std::optional<std::string> byteReader(int fd) {
    std::string line;
    if (input_timeout(fd, 1) <= 0) return line;
    char byte;
    ssize_t got = read(fd, &byte, 1);
    while (got > 0 && byte != '\n' && byte != '\r' && byte != static_cast<char>(0xFF)) {
        line += byte;
        while (input_timeout(fd, 1) <= 0) {
        }
        got = read(fd, &byte, 1);
    }
    return std::string(line.c_str());
}

struct ReaderCase {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;  // before the empty texts of end of input
};

const std::string k256(256, 'a');
const std::string k300(300, 'b');
const std::string kHuge(200000, 'c');  // spans several read blocks

const ReaderCase kCases[] = {
    {"two_lines", {"one\ntwo\n"}, {"one", "two"}},
    {"empty_line", {"\n"}, {""}},
    {"cr_lf_leaves_empty_line", {"x\r\ny\n"}, {"x", "", "y"}},
    {"ff_ends_line",
     {"a\xff"
      "b\n"},
     {"a", "b"}},
    {"nul_cuts_text", {std::string("ab\0cd\nef\n", 9)}, {"ab", "ef"}},
    {"no_final_line_end", {"abc"}, {"abc"}},
    {"exactly_256", {k256 + "\n"}, {k256}},
    {"over_256", {k300 + "\n"}, {k300}},
    {"split_writes", {"ab", "c\nd", "e\n"}, {"abc", "de"}},
    {"huge_line_across_blocks",
     {kHuge.substr(0, 70000), kHuge.substr(70000) + "\nz\n"},
     {kHuge, "z"}},
};

class Reader : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(Reader, ReturnsTheLinesThenEmptyTextsAtEndOfInput) {
    const ReaderCase& c = GetParam();
    FedPipe fed(c.chunks);
    std::vector<std::string> expected = c.lines;
    expected.insert(expected.end(), 3, "");
    EXPECT_EQ(readLines(fed.readEnd, expected.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(Pipes, Reader, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Reader, SilenceGivesAnEmptyTextAfterAboutOneSecond) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    PendingInput pending;
    std::optional<std::string> line = readLine(fds[0], pending);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "");
    close(fds[0]);
    close(fds[1]);
}

TEST(Reader, ABegunLineWaitsPastOneSecondForItsEnd) {
    FedPipe fed({"par", "tial\n"}, std::chrono::milliseconds(1300));
    PendingInput pending;
    // The first second of silence before "par" may give one empty text; the line comes whole.
    std::optional<std::string> line = readLine(fed.readEnd, pending);
    if (line && line->empty()) line = readLine(fed.readEnd, pending);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "partial");
}

TEST(Reader, KeepsFourMebibytesOfAnEndlessLineAndDropsTheRest) {
    const std::size_t cap = 4 * 1024 * 1024;
    std::string head = "19:17:20.1 -60dBm signal SA:aa:bb:cc:dd:ee:01 ";
    std::string longLine = head + std::string(cap + 100000 - head.size(), 'x');
    FedPipe fed({longLine.substr(0, cap / 2), longLine.substr(cap / 2) + "\nnext\n"});
    PendingInput pending;
    std::optional<std::string> line = readLine(fed.readEnd, pending);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->size(), cap);
    EXPECT_EQ(line->compare(0, head.size(), head), 0);
    EXPECT_EQ(readLine(fed.readEnd, pending), std::optional<std::string>("next"));
}

// The block reader gives the same texts as the byte-at-a-time one on random streams.
TEST(Reader, MatchesTheByteAtATimeReaderOnRandomStreams) {
    std::mt19937 random(12345);
    const char alphabet[] = {'a', 'b', ' ', ':', '\n', '\r', '\xff', '\0', 'S', 'A'};
    for (int round = 0; round < 40; ++round) {
        std::string stream;
        std::size_t length = random() % 3000;
        for (std::size_t i = 0; i < length; ++i) stream += alphabet[random() % sizeof alphabet];
        std::vector<std::string> chunks;
        for (std::size_t at = 0; at < stream.size();) {
            std::size_t size = 1 + random() % 700;
            chunks.push_back(stream.substr(at, size));
            at += size;
        }
        std::size_t endings = 0;
        for (char c : stream) endings += c == '\n' || c == '\r' || c == '\xff';
        FedPipe blockFed(chunks);
        FedPipe byteFed(chunks);
        PendingInput pending;
        // Every line, a last one without its ending, and two empty texts of end of input.
        for (std::size_t call = 0; call < endings + 3; ++call) {
            std::optional<std::string> block = readLine(blockFed.readEnd, pending);
            std::optional<std::string> byte = byteReader(byteFed.readEnd);
            ASSERT_TRUE(block && byte);
            ASSERT_EQ(*block, *byte) << "round " << round << " call " << call;
        }
    }
}

}  // namespace
