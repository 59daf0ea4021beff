// The log writer: whole entries under concurrent writers, long entries, GBK
// bytes, a log that cannot be written, and the file kept open between
// entries: removed, renamed, replaced, failing and closed underneath;
// batches of entries written at once; and the rotation at the log's bound.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/testing.h"
#include "support/quorvex.h"
#include "support/testing.h"
#include "util/fake_clock.h"
#include "util/process_resources.h"
#include "util/temp_dir.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

using Strings = std::vector<std::string>;

// The lines of a log, each without its time prefix.
Strings Texts(const std::string& path) {
    Strings texts;
    for (const std::string& line : Lines(testutil::ReadFile(path)))
        texts.push_back(line.size() >= 22 ? line.substr(22) : line);
    return texts;
}

// Texts as WriteFileBatch takes them: each followed by a zero byte.
std::string Batch(const Strings& texts) {
    std::string batch;
    for (const std::string& text : texts) {
        batch += text;
        batch.push_back('\0');
    }
    return batch;
}

void WriteBatch(const std::string& path, const Strings& texts) {
    std::string batch = Batch(texts);
    WriteFileBatch(path.c_str(), batch.data(), batch.size());
}

const std::regex kStamped(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )");

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

// Entries go to the path each call names, also when calls alternate.
TEST(SupportLog, EachEntryGoesToThePathItNames) {
    testutil::TempDir dir;
    std::string one = dir.File("one.log"), two = dir.File("two.log");
    WriteFileNew(one.c_str(), "a");
    WriteFileNew(two.c_str(), "b");
    WriteFileNew(one.c_str(), "c");
    EXPECT_EQ(Texts(one), (Strings{"a", "c"}));
    EXPECT_EQ(Texts(two), (Strings{"b"}));
}

// The writer keeps paths up to a bound with their file; a longer one is
// written all the same, opened for each entry.
TEST(SupportLog, ALogAtAVeryLongPathIsWrittenAllTheSame) {
    testutil::TempDir dir;
    std::string path = dir.Path();
    while (path.size() < 1500) {
        path += "/" + std::string(100, 'd');
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    }
    path += "/GameRun.log";
    WriteFileNew(path.c_str(), "one");
    WriteFileNew(path.c_str(), "two");
    EXPECT_EQ(Texts(path), (Strings{"one", "two"}));
}

TEST(SupportLog, ARemovedLogIsStartedAnewAtItsPath) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    testutil::ScopedTestClock clock(0);  // time moves only when the test moves it
    WriteFileNew(path.c_str(), "before");
    ASSERT_EQ(unlink(path.c_str()), 0);
    clock.AdvanceSeconds(1);
    WriteFileNew(path.c_str(), "after %d", 1);
    WriteFileNew(path.c_str(), "after %d", 2);
    EXPECT_EQ(Texts(path), (Strings{"after 1", "after 2"}));
}

// A renamed log keeps what it had and gets nothing more; whatever file then
// stands at the path (here one that another program appended to) takes the
// next entries.
TEST(SupportLog, ARenamedLogIsLeftAloneAndTheFileAtThePathTakesOver) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    std::string kept = dir.File("GameRun-monday.log");
    testutil::ScopedTestClock clock(0);
    WriteFileNew(path.c_str(), "monday");
    ASSERT_EQ(rename(path.c_str(), kept.c_str()), 0);
    ASSERT_TRUE(platform::AppendToFile(path.c_str(), "[other program]\n", 16));
    clock.AdvanceSeconds(1);
    WriteFileNew(path.c_str(), "tuesday");
    EXPECT_EQ(Texts(kept), (Strings{"monday"}));
    Strings lines = Lines(testutil::ReadFile(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[other program]");
    EXPECT_EQ(lines[1].substr(22), "tuesday");
    EXPECT_EQ(testutil::DescriptorsOnFile(kept), 0) << "the renamed log is let go";
}

// Eight threads write while the log is renamed again and again under them
// and time runs on: every entry lands once, whole, in one of the files, and
// each file holds each thread's entries in their order. The writers go in
// rounds, and each round's rename comes while they are in its middle.
TEST(SupportLog, EntriesOfManyThreadsSurviveRenamesWholeAndOnce) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    testutil::ScopedTestClock clock(0);
    constexpr int kThreads = 8;
    constexpr int kRounds = 6;
    constexpr int kPerRound = 50;
    constexpr int kEntries = kRounds * kPerRound;
    constexpr int kTotal = kThreads * kEntries;
    std::atomic<int> iWritten{0};
    std::atomic<int> iRenames{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEntries; ++i) {
                std::string pad(static_cast<size_t>((i * 53 + t * 17) % 5000),
                                static_cast<char>('a' + t));
                WriteFileNew(path.c_str(), "T%d-%d %s|", t, i, pad.c_str());
                ++iWritten;
                if ((i + 1) % kPerRound == 0) {
                    while (iRenames.load() < (i + 1) / kPerRound) std::this_thread::yield();
                }
            }
        });
    }
    std::vector<std::string> files;
    for (int r = 0; r < kRounds; ++r) {
        while (iWritten.load() < r * kThreads * kPerRound + kThreads * kPerRound / 2)
            std::this_thread::yield();
        // The writers start the new file at the path only when they next look
        // at it; on a loaded machine that may be after this round's half, so
        // the rename is tried until it finds the file (every entry is still
        // counted below, so nothing lost hides behind the wait).
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::string renamed = dir.File("old-" + std::to_string(r));
        bool bRenamed = false;
        while (!bRenamed && std::chrono::steady_clock::now() < deadline) {
            bRenamed =
                platform::FileExists(path.c_str()) && rename(path.c_str(), renamed.c_str()) == 0;
            if (!bRenamed) std::this_thread::yield();
        }
        EXPECT_TRUE(bRenamed) << "round " << r << ": " << path << " never came back";
        files.push_back(renamed);
        clock.AdvanceSeconds(1);
        ++iRenames;
    }
    for (auto& th : threads) th.join();
    files.push_back(path);

    std::regex shape(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] T(\d)-(\d+) ([a-h]*)\|$)");
    std::set<std::pair<int, int>> seen;
    std::set<size_t> filesUsed;
    for (size_t f = 0; f < files.size(); ++f) {
        std::map<int, int> last;  // per thread, the last entry seen in this file
        for (const std::string& line : Lines(testutil::ReadFile(files[f]))) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, shape)) << files[f] << ": " << line.substr(0, 80);
            int t = std::stoi(m[1]);
            int i = std::stoi(m[2]);
            EXPECT_EQ(m[3].length(), static_cast<size_t>((i * 53 + t * 17) % 5000));
            EXPECT_EQ(m[3].str().find_first_not_of(static_cast<char>('a' + t)), std::string::npos);
            auto it = last.find(t);
            EXPECT_TRUE(it == last.end() || it->second < i) << "T" << t << "-" << i;
            last[t] = i;
            EXPECT_TRUE(seen.insert({t, i}).second) << "T" << t << "-" << i << " twice";
            filesUsed.insert(f);
        }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kTotal));
    EXPECT_GE(filesUsed.size(), static_cast<size_t>(kRounds)) << "the renames took effect";
}

// A write that fails on the kept file goes once more to a file opened
// afresh: the entry is lost only when that write fails as well, and a write
// cut short does not write the entry's start twice.
TEST(SupportLog, AFailedWriteIsRetriedOnceOnAFreshlyOpenedFile) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    WriteFileNew(path.c_str(), "first");

    // The kept descriptor turned read-only underneath the writer.
    int fd = testutil::FirstDescriptorOnFile(path);
    ASSERT_GE(fd, 0);
    int iReadOnly = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(iReadOnly, 0);
    ASSERT_EQ(dup2(iReadOnly, fd), fd);
    close(iReadOnly);
    WriteFileNew(path.c_str(), "second");

    platform_testing::InjectAppendFaults(1, 10);
    WriteFileNew(path.c_str(), "third, cut short after ten bytes");
    platform_testing::InjectAppendFaults(2, 0);
    WriteFileNew(path.c_str(), "fourth, failing twice");
    platform_testing::InjectAppendFaults(0, 0);
    WriteFileNew(path.c_str(), "fifth");
    EXPECT_EQ(Texts(path),
              (Strings{"first", "second", "third, cut short after ten bytes", "fifth"}));
}

// A directory in the way of the log drops entries quietly; once it is gone
// the log starts again.
TEST(SupportLog, ADirectoryAtThePathDropsEntriesUntilItGoes) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    testutil::ScopedTestClock clock(0);
    WriteFileNew(path.c_str(), "before");
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    clock.AdvanceSeconds(1);
    WriteFileNew(path.c_str(), "dropped");
    ASSERT_EQ(rmdir(path.c_str()), 0);
    WriteFileNew(path.c_str(), "again");
    EXPECT_EQ(Texts(path), (Strings{"again"}));
}

// ---- batches ----------------------------------------------------------------

testutil::ScopedTestClock* g_pSteppedClock = nullptr;
void StepTheClock() { g_pSteppedClock->AdvanceSeconds(1); }

// Each entry of a batch is one of WriteFileNew's: stamped with the time read
// for it (here the clock moves on a second at every reading), its text, one
// line end; in the batch's order. The last text may lack its zero byte, and
// a text longer than the writer's stack room comes whole.
TEST(SupportLog, ABatchIsWrittenAsWholeStampedEntriesInItsOrder) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    testutil::ScopedTestClock clock(0);
    g_pSteppedClock = &clock;
    clock.SetLocalTimeObserver(StepTheClock);
    std::string longText(10000, 'L');
    std::string batch = Batch({"---first---", "ends its own line\n", "",
                               "---error---超时,没有收到数据", longText, "two\nlines", "last"});
    WriteFileBatch(path.c_str(), batch.data(), batch.size() - 1);
    clock.SetLocalTimeObserver(nullptr);

    Strings lines = Lines(testutil::ReadFile(path));
    Strings expected = {"---first---",
                        "ends its own line",
                        "",
                        "---error---\xB3\xAC\xCA\xB1,",
                        longText,
                        "two",
                        "lines",
                        "last"};
    ASSERT_EQ(lines.size(), expected.size());
    std::string lastStamp;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i == 6) {  // the second line of an entry carries no stamp of its own
            EXPECT_EQ(lines[i], "lines");
            continue;
        }
        ASSERT_TRUE(std::regex_search(lines[i], kStamped)) << lines[i].substr(0, 60);
        std::string text = lines[i].substr(22);
        if (i == 3) text = text.substr(0, expected[i].size());  // the GBK bytes
        EXPECT_EQ(text, expected[i]);
        std::string stamp = lines[i].substr(0, 22);
        EXPECT_GT(stamp, lastStamp) << "each entry reads the clock for its own stamp";
        lastStamp = stamp;
    }
}

// Longer than a write takes at once (64 KiB), with an entry longer than
// that among them: every entry still whole, once, in order.
TEST(SupportLog, ABatchOfAnyLengthComesWholeAndInOrder) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    Strings texts;
    for (int i = 0; i < 6000; ++i) {
        texts.push_back("B" + std::to_string(i) + " " +
                        std::string(static_cast<size_t>(i % 150), 'x'));
        if (i == 3000) texts.push_back(std::string(100000, 'H'));
    }
    WriteBatch(path, texts);
    EXPECT_EQ(Texts(path), texts);
}

// Threads write batches while others write single entries: the entries of a
// batch stand together, whole and in order, none of another writer among
// them, and every thread's entries keep their order.
TEST(SupportLog, BatchesOfManyThreadsStandTogetherAmongSingleEntries) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    constexpr int kBatchThreads = 4;
    constexpr int kSingleThreads = 4;
    constexpr int kBatches = 60;
    constexpr int kSingles = 1500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kBatchThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int b = 0; b < kBatches; ++b) {
                int iEntries = 1 + (b * 7 + t) % 60;
                Strings texts;
                for (int i = 0; i < iEntries; ++i) {
                    texts.push_back("B" + std::to_string(t) + "-" + std::to_string(b) + "-" +
                                    std::to_string(i) + "/" + std::to_string(iEntries) + " " +
                                    std::string(static_cast<size_t>((i * 31 + b) % 400), 'b'));
                }
                WriteBatch(path, texts);
            }
        });
    }
    for (int t = 0; t < kSingleThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kSingles; ++i) WriteFileNew(path.c_str(), "S%d-%d", t, i);
        });
    }
    for (auto& th : threads) th.join();

    std::regex batchShape(R"(^B(\d)-(\d+)-(\d+)/(\d+) (b*)$)");
    std::regex singleShape(R"(^S(\d)-(\d+)$)");
    std::map<int, int> nextSingle;
    std::map<int, std::pair<int, int>> lastBatchEntry;  // per thread: batch, entry
    int iBatchEntries = 0;
    int iSingles = 0;
    std::string previous;
    for (const std::string& line : Lines(testutil::ReadFile(path))) {
        ASSERT_TRUE(std::regex_search(line, kStamped)) << line.substr(0, 80);
        std::string text = line.substr(22);
        std::smatch m;
        if (std::regex_match(text, m, singleShape)) {
            EXPECT_EQ(std::stoi(m[2]), nextSingle[std::stoi(m[1])]++);
            ++iSingles;
        } else {
            ASSERT_TRUE(std::regex_match(text, m, batchShape)) << text.substr(0, 80);
            int t = std::stoi(m[1]), b = std::stoi(m[2]), i = std::stoi(m[3]);
            EXPECT_EQ(m[5].length(), static_cast<size_t>((i * 31 + b) % 400));
            if (i > 0) {
                // Right behind the entry before it in its batch.
                std::string before = "B" + std::to_string(t) + "-" + std::to_string(b) + "-" +
                                     std::to_string(i - 1) + "/" + m[4].str() + " ";
                EXPECT_EQ(previous.rfind(before, 0), 0u)
                    << text.substr(0, 30) << " after " << previous.substr(0, 30);
            }
            auto it = lastBatchEntry.find(t);
            EXPECT_TRUE(it == lastBatchEntry.end() || it->second < std::make_pair(b, i));
            lastBatchEntry[t] = {b, i};
            ++iBatchEntries;
        }
        previous = text;
    }
    EXPECT_EQ(iSingles, kSingleThreads * kSingles);
    int iExpected = 0;
    for (int t = 0; t < kBatchThreads; ++t)
        for (int b = 0; b < kBatches; ++b) iExpected += 1 + (b * 7 + t) % 60;
    EXPECT_EQ(iBatchEntries, iExpected);
}

// A batch whose write fails goes once more to a file opened afresh, from
// where the failed write stopped: nothing written twice. Only when that
// write fails as well is the rest lost.
TEST(SupportLog, AFailedBatchWriteIsRetriedOnAFreshFileWithoutRepeatingAnEntry) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    WriteFileNew(path.c_str(), "first");

    // Cut inside the second entry of the batch.
    platform_testing::InjectAppendFaults(1, 22 + 3 + 22 + 2);
    WriteBatch(path, {"b1", "b2 cut in two", "b3"});

    // The kept descriptor turned read-only underneath the writer.
    int fd = testutil::FirstDescriptorOnFile(path);
    ASSERT_GE(fd, 0);
    int iReadOnly = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(iReadOnly, 0);
    ASSERT_EQ(dup2(iReadOnly, fd), fd);
    close(iReadOnly);
    WriteBatch(path, {"c1", "c2"});

    platform_testing::InjectAppendFaults(2, 0);
    WriteBatch(path, {"lost 1", "lost 2"});
    platform_testing::InjectAppendFaults(0, 0);
    WriteFileNew(path.c_str(), "after");
    EXPECT_EQ(Texts(path), (Strings{"first", "b1", "b2 cut in two", "b3", "c1", "c2", "after"}));
}

// A batch goes where a single entry would: a removed log is started anew, a
// very long path is written all the same, an unwritable one is skipped.
TEST(SupportLog, ABatchFollowsTheRulesOfTheLog) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    testutil::ScopedTestClock clock(0);
    WriteBatch(path, {"before 1", "before 2"});
    ASSERT_EQ(unlink(path.c_str()), 0);
    clock.AdvanceSeconds(1);
    WriteBatch(path, {"after 1", "after 2"});
    EXPECT_EQ(Texts(path), (Strings{"after 1", "after 2"}));

    std::string longPath = dir.Path();
    while (longPath.size() < 1500) {
        longPath += "/" + std::string(100, 'd');
        ASSERT_EQ(mkdir(longPath.c_str(), 0755), 0);
    }
    longPath += "/GameRun.log";
    WriteBatch(longPath, {"one", "two"});
    WriteBatch(longPath, {"three"});
    EXPECT_EQ(Texts(longPath), (Strings{"one", "two", "three"}));

    std::string batch = Batch({"lost"});
    WriteFileBatch(dir.File("missing/dir/GameRun.log").c_str(), batch.data(), batch.size());
    WriteFileBatch(nullptr, batch.data(), batch.size());
    WriteFileBatch(path.c_str(), nullptr, 4);
    WriteFileBatch(path.c_str(), batch.data(), 0);
    EXPECT_EQ(Texts(path), (Strings{"after 1", "after 2"}));
}

// ---- rotation at the bound ---------------------------------------------------

// The bound set small for one test.
class ScopedLogBound {
public:
    explicit ScopedLogBound(uint64_t qwBytes) { quorvex_testing::SetLogBound(qwBytes); }
    ~ScopedLogBound() { quorvex_testing::SetLogBound(0); }
};

int64_t FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// Threads write single entries and batches far past a small bound: the log
// ends as the file at its path and the one rotated before it, neither past
// the bound. What is left is the newest entries: of every writer a run
// without a gap up to its last entry, the older file holding the older
// ones, every entry whole in one file. No handle of the process stays on a
// rotated file.
TEST(SupportLog, ALogPastItsBoundIsRotatedKeepingItsNewestEntriesWhole) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    std::string rotated = path + ".1";
    constexpr uint64_t kBound = 8192;
    ScopedLogBound bound(kBound);
    constexpr int kThreads = 4;
    constexpr int kEntries = 600;
    std::atomic<int> iFinished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // The last entry of each comes once all have written the rest,
            // so that every writer has entries among the newest.
            for (int i = 0; i <= kEntries; ++i) {
                if (i == kEntries) {
                    ++iFinished;
                    while (iFinished.load() < kThreads) std::this_thread::yield();
                }
                std::string pad(static_cast<size_t>((i * 37 + t * 11) % 150), 'p');
                if (t == 0) {
                    WriteBatch(path, {"T0-" + std::to_string(i) + " " + pad});
                } else {
                    WriteFileNew(path.c_str(), "T%d-%d %s", t, i, pad.c_str());
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    WriteFileNew(path.c_str(), "newest");

    EXPECT_LE(FileSize(path), static_cast<int64_t>(kBound));
    EXPECT_LE(FileSize(rotated), static_cast<int64_t>(kBound));
    EXPECT_GT(FileSize(rotated), static_cast<int64_t>(kBound / 2));
    EXPECT_FALSE(platform::FileExists((path + ".1.1").c_str()));
    EXPECT_EQ(testutil::DescriptorsOnFile(rotated), 0);
    EXPECT_EQ(Texts(path).back(), "newest");

    std::regex shape(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] T(\d)-(\d+) (p*)$)");
    std::map<int, std::vector<int>> kept;  // per thread, in file order
    for (const std::string& file : {rotated, path}) {
        for (const std::string& line : Lines(testutil::ReadFile(file))) {
            if (line.substr(22) == "newest") continue;
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, shape)) << file << ": " << line.substr(0, 80);
            int t = std::stoi(m[1]), i = std::stoi(m[2]);
            EXPECT_EQ(m[3].length(), static_cast<size_t>((i * 37 + t * 11) % 150));
            kept[t].push_back(i);
        }
    }
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_FALSE(kept[t].empty()) << "T" << t;
        EXPECT_EQ(kept[t].back(), kEntries) << "T" << t;
        for (size_t k = 1; k < kept[t].size(); ++k)
            ASSERT_EQ(kept[t][k], kept[t][k - 1] + 1) << "T" << t << " has a gap";
    }
}

// A path shorter than 1,024 bytes is kept with its file and rotated at the
// bound; one of 1,024 bytes or more is opened for each entry and never
// rotated.
TEST(SupportLog, OnlyPathsShorterThan1024BytesAreRotated) {
    testutil::TempDir dir;
    ScopedLogBound bound(64);
    for (size_t iLength : {1023u, 1024u}) {
        std::string path = dir.Path() + "/" + std::to_string(iLength);
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        while (iLength - path.size() > 200) {
            path += "/" + std::string(100, 'd');
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        }
        path += "/" + std::string(iLength - path.size() - 1, 'f');
        ASSERT_EQ(path.size(), iLength);
        for (int i = 0; i < 3; ++i) WriteFileNew(path.c_str(), "entry %d of forty bytes", i);
        EXPECT_EQ(platform::FileExists((path + ".1").c_str()), iLength < 1024) << iLength;
    }
    // An entry longer than the bound goes whole into an empty log, which is
    // not rotated for it.
    std::string fresh = dir.File("fresh.log");
    WriteFileNew(fresh.c_str(), "%s", std::string(100, 'e').c_str());
    EXPECT_FALSE(platform::FileExists((fresh + ".1").c_str()));
    EXPECT_EQ(Texts(fresh), Strings{std::string(100, 'e')});
}

// A log left past the bound by an earlier run is rotated before the first
// entry; rotation goes on across a close of the writer and a removed log,
// always the full file replacing the older rotated one.
TEST(SupportLog, RotationTakesALogLeftFullAndSurvivesCloseAndRemoval) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    std::string rotated = path + ".1";
    testutil::ScopedTestClock clock(0);
    ScopedLogBound bound(1000);
    std::string old(1500, 'o');
    ASSERT_TRUE(platform::WriteWholeFile(path.c_str(), old.data(), old.size()));
    WriteFileNew(path.c_str(), "entry %03d", 0);
    EXPECT_EQ(testutil::ReadFile(rotated), old);
    EXPECT_EQ(Texts(path), (Strings{"entry 000"}));

    // 32 bytes an entry: 31 of them fill the file, the 32nd starts anew.
    for (int i = 1; i < 31; ++i) WriteFileNew(path.c_str(), "entry %03d", i);
    WriteFileClose();
    WriteFileNew(path.c_str(), "entry %03d", 31);
    EXPECT_EQ(Texts(rotated).size(), 31u);
    EXPECT_EQ(Texts(rotated).back(), "entry 030");
    EXPECT_EQ(Texts(path), (Strings{"entry 031"}));

    ASSERT_EQ(unlink(path.c_str()), 0);
    clock.AdvanceSeconds(1);
    for (int i = 32; i < 64; ++i) WriteFileNew(path.c_str(), "entry %03d", i);
    EXPECT_EQ(Texts(rotated).front(), "entry 032");
    EXPECT_EQ(Texts(path), (Strings{"entry 063"}));
    WriteFileClose();
}

TEST(SupportLog, WriteFileCloseLetsGoOfTheFileUntilTheNextEntry) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    WriteFileNew(path.c_str(), "one");
    EXPECT_EQ(testutil::DescriptorsOnFile(path), 1);
    WriteFileClose();
    EXPECT_EQ(testutil::DescriptorsOnFile(path), 0);
    WriteFileNew(path.c_str(), "two");
    EXPECT_EQ(Texts(path), (Strings{"one", "two"}));
    WriteFileClose();
}

}  // namespace
