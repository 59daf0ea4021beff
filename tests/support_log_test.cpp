// The log writer: whole entries under concurrent writers, long entries, GBK
// bytes, and a log that cannot be written.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/quorvex.h"
#include "util/fake_clock.h"
#include "util/temp_dir.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

TEST(SupportLog, EightThreadsLoseAndTearNoEntry) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    constexpr int kThreads = 8;
    constexpr int kEntries = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Entries of different lengths, some past the writer's stack room.
            for (int i = 0; i < kEntries; ++i) {
                std::string pad(static_cast<size_t>((i * 37 + t * 101) % 6000),
                                static_cast<char>('a' + t));
                WriteFileNew(path.c_str(), "T%d-%d %s|\n", t, i, pad.c_str());
            }
        });
    }
    for (auto& th : threads) th.join();

    std::vector<std::string> lines = Lines(testutil::ReadFile(path));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEntries));
    std::regex shape(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] T(\d)-(\d+) ([a-h]*)\|$)");
    std::map<int, int> next;  // per thread, entries arrive in order
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 80);
        int t = std::stoi(m[1]);
        int i = std::stoi(m[2]);
        EXPECT_EQ(i, next[t]++);
        std::string pad = m[3];
        EXPECT_EQ(pad.size(), static_cast<size_t>((i * 37 + t * 101) % 6000));
        EXPECT_EQ(pad.find_first_not_of(static_cast<char>('a' + t)), std::string::npos);
    }
}

TEST(SupportLog, EveryEntryEndsItsLineAndCarriesTheClock) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    testutil::ScopedTestClock clock(1);
    WriteFileNew(path.c_str(), "---testing20090618---close1---");
    WriteFileNew(path.c_str(), "with newline %d\n", 5);
    WriteFileNew(path.c_str(), "%s", "");
    std::vector<std::string> lines = Lines(testutil::ReadFile(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(22), "---testing20090618---close1---");
    EXPECT_EQ(lines[1].substr(22), "with newline 5");
    EXPECT_EQ(lines[2].size(), 22u);
    EXPECT_EQ(lines[0][0], '[');
    EXPECT_EQ(lines[0].substr(20, 2), "] ");
}

TEST(SupportLog, TextsAreWrittenAsGbkBytes) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    WriteFileNew(path.c_str(), "---error---超时,没有收到数据");
    std::string text = testutil::ReadFile(path);
    // 超时 in code page 936.
    EXPECT_NE(text.find("\xB3\xAC\xCA\xB1"), std::string::npos);
    EXPECT_EQ(text.find("\xE8\xB6\x85"), std::string::npos);  // no UTF-8 left
}

TEST(SupportLog, AnUnwritableLogIsSkippedQuietly) {
    testutil::TempDir dir;
    WriteFileNew(dir.File("missing/dir/GameRun.log").c_str(), "lost %d", 1);
    WriteFileNew(dir.Path().c_str(), "a directory is no file");
    WriteFileNew(nullptr, "no file");
    WriteFileNew(dir.File("x").c_str(), nullptr);
    SUCCEED();
}

}  // namespace
