// Files: the INI reader's contract, the executable's path, move with replace,
// appending through a file kept open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/testing.h"
#include "util/temp_dir.h"

namespace {

class PlatformIni : public ::testing::Test {
protected:
    std::string Read(const char* szSection, const char* szKey, const char* szDefault = "NULL",
                     uint32_t dwSize = 256) {
        char buf[512];
        std::memset(buf, 'x', sizeof(buf));
        uint32_t n =
            platform::ReadIniString(szSection, szKey, szDefault, buf, dwSize, path_.c_str());
        EXPECT_EQ(n, std::strlen(buf));
        return buf;
    }
    void Write(const std::string& content) { testutil::WriteFile(path_, content); }

    testutil::TempDir dir_;
    std::string path_ = dir_.File("serverConfigs.ini");
};

TEST_F(PlatformIni, AbsentFileSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(Read("Lumaro_COM", "ConfigInfo"), "NULL");
    Write("[Other]\nConfigInfo=1.2.3.4 80\n[Lumaro_COM]\nSomethingElse=1\n");
    EXPECT_EQ(Read("Lumaro_COM", "ConfigInfo"), "NULL");
    EXPECT_EQ(Read("Lumaro_COM", "ConfigInfo", nullptr), "");
    EXPECT_EQ(Read("Lumaro_COM", "ConfigInfo", "dflt  "), "dflt");  // trailing blanks go
    // A null section, key or path reads nothing.
    Write("[Lumaro_COM]\nConfigInfo=1.2.3.4 80\n");
    EXPECT_EQ(Read(nullptr, "ConfigInfo"), "NULL");
    EXPECT_EQ(Read("Lumaro_COM", nullptr), "NULL");
    char buf[16];
    EXPECT_EQ(
        platform::ReadIniString("Lumaro_COM", "ConfigInfo", "NULL", buf, sizeof(buf), nullptr), 4u);
    EXPECT_STREQ(buf, "NULL");
}

TEST_F(PlatformIni, NamesIgnoreCaseAndBlanksAroundNamesAndValues) {
    Write("; comment\r\n[ lumaro_com ]\r\n  configinfo =  127.0.0.1 8000 1  \r\n");
    EXPECT_EQ(Read("Lumaro_COM", "ConfigInfo"), "127.0.0.1 8000 1");
    // A file saved with a UTF-8 byte order mark: the mark is no part of its
    // first line.
    Write("\xEF\xBB\xBF[Lumaro_COM]\nConfigInfo=1.2.3.4 80\n");
    EXPECT_EQ(Read("Lumaro_COM", "ConfigInfo"), "1.2.3.4 80");
}

TEST_F(PlatformIni, OnePairOfQuotesIsRemoved) {
    Write("[S]\na=\"quoted value\"\nb='x'\nc=\"unbalanced\nd=\"\"\"\"\n");
    EXPECT_EQ(Read("S", "a"), "quoted value");
    EXPECT_EQ(Read("S", "b"), "x");
    EXPECT_EQ(Read("S", "c"), "\"unbalanced");
    EXPECT_EQ(Read("S", "d"), "\"\"");
}

TEST_F(PlatformIni, FirstMatchWinsAndEmptyValueIsNotAbsent) {
    Write("[S]\nk=first\nk=second\ne=\n");
    EXPECT_EQ(Read("S", "k"), "first");
    EXPECT_EQ(Read("S", "e"), "");
}

TEST_F(PlatformIni, LongValuesAreCutToTheBufferAndLongLinesAreRead) {
    std::string sLong(1000, 'h');
    Write("[S]\nk=" + sLong + "\nafter=yes\n");
    EXPECT_EQ(Read("S", "k", "NULL", 256), std::string(255, 'h'));
    EXPECT_EQ(Read("S", "after"), "yes");
    char tiny[1] = {'x'};
    EXPECT_EQ(platform::ReadIniString("S", "k", "", tiny, 1, path_.c_str()), 0u);
    EXPECT_EQ(tiny[0], '\0');
    // No buffer, or one of no bytes: nothing copied, nothing written.
    tiny[0] = 'x';
    EXPECT_EQ(platform::ReadIniString("S", "k", "", tiny, 0, path_.c_str()), 0u);
    EXPECT_EQ(tiny[0], 'x');
    EXPECT_EQ(platform::ReadIniString("S", "k", "", nullptr, 8, path_.c_str()), 0u);
}

TEST_F(PlatformIni, ValueMayHoldTheDefaultTextItself) {
    Write("[Lumaro_COM]\nConfigInfo=NULL\n");
    EXPECT_EQ(Read("Lumaro_COM", "ConfigInfo", "other"), "NULL");
}

TEST(PlatformFiles, ExecutablePathIsWholeOrSaysItDidNotFit) {
    const std::string whole = std::filesystem::read_symlink("/proc/self/exe").string();
    ASSERT_NE(whole.find("platform_files_test"), std::string::npos);
    const uint32_t n = static_cast<uint32_t>(whole.size());
    std::vector<char> buffer(n + 16);

    // Room for the path and its terminator: the whole path.
    std::fill(buffer.begin(), buffer.end(), 'x');
    EXPECT_EQ(platform::GetExecutablePath(buffer.data(), n + 1), n);
    EXPECT_EQ(std::string(buffer.data()), whole);

    // One byte less, or far less: cut and terminated inside the buffer, and
    // the whole length tells that it did not fit.
    for (uint32_t dwSize : {n, 8u, 1u}) {
        SCOPED_TRACE(dwSize);
        std::fill(buffer.begin(), buffer.end(), 'x');
        EXPECT_EQ(platform::GetExecutablePath(buffer.data(), dwSize), n);
        EXPECT_EQ(std::string(buffer.data()), whole.substr(0, dwSize - 1));
        EXPECT_EQ(buffer[dwSize], 'x');
    }
    std::fill(buffer.begin(), buffer.end(), 'x');
    EXPECT_EQ(platform::GetExecutablePath(buffer.data(), 0), 0u);
    EXPECT_EQ(buffer[0], 'x');
}

TEST(PlatformFiles, MoveReplacesExistingAndExistsSeesOnlyFiles) {
    testutil::TempDir dir;
    std::string from = dir.File("from"), to = dir.File("to");
    testutil::WriteFile(from, "new");
    testutil::WriteFile(to, "old");
    EXPECT_TRUE(platform::MoveFileReplace(from.c_str(), to.c_str()));
    EXPECT_EQ(testutil::ReadFile(to), "new");
    EXPECT_FALSE(platform::FileExists(from.c_str()));
    EXPECT_TRUE(platform::FileExists(to.c_str()));
    EXPECT_FALSE(platform::FileExists(dir.Path().c_str()));
    EXPECT_FALSE(platform::MoveFileReplace(from.c_str(), to.c_str()));
    EXPECT_TRUE(platform::RemoveFile(to.c_str()));
    EXPECT_TRUE(platform::RemoveFile(to.c_str()));           // already gone counts
    EXPECT_FALSE(platform::RemoveFile(dir.Path().c_str()));  // a directory is no file
    EXPECT_FALSE(platform::RemoveFile(nullptr));
}

TEST(PlatformFiles, AppendAddsAndWholeFileReplaces) {
    testutil::TempDir dir;
    std::string path = dir.File("log");
    EXPECT_TRUE(platform::AppendToFile(path.c_str(), "ab", 2));
    EXPECT_TRUE(platform::AppendToFile(path.c_str(), "cd", 2));
    EXPECT_EQ(testutil::ReadFile(path), "abcd");
    EXPECT_TRUE(platform::WriteWholeFile(path.c_str(), "z", 1));
    EXPECT_EQ(testutil::ReadFile(path), "z");
    // A write that fails is no success; no bytes without data, nothing
    // written without a path.
    EXPECT_FALSE(platform::WriteWholeFile("/dev/full", "z", 1));
    EXPECT_FALSE(platform::WriteWholeFile(path.c_str(), nullptr, 1));
    EXPECT_FALSE(platform::WriteWholeFile(nullptr, "z", 1));
    EXPECT_EQ(testutil::ReadFile(path), "z");
    EXPECT_TRUE(platform::WriteWholeFile(path.c_str(), nullptr, 0));
    EXPECT_EQ(testutil::ReadFile(path), "");
    EXPECT_FALSE(platform::AppendToFile(dir.File("no/such/dir").c_str(), "x", 1));
}

// A kept append file writes at the end of the file as others leave it, not
// at its own offset, and tells whether the path still names its file: not
// once the file is renamed away, nor when another file takes the name.
TEST(PlatformFiles, AKeptAppendFileWritesAtTheEndAndKnowsItsFile) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log"), moved = dir.File("moved.log");
    platform::FileIdentity opened{};
    platform::AppendFile hFile = platform::AppendFileOpen(path.c_str(), &opened);
    ASSERT_NE(hFile, platform::kNoAppendFile);
    EXPECT_EQ(platform::AppendFileWrite(hFile, "one\n", 4), 4u);
    EXPECT_TRUE(platform::AppendToFile(path.c_str(), "two\n", 4));
    EXPECT_EQ(platform::AppendFileWrite(hFile, "three\n", 6), 6u);
    EXPECT_EQ(testutil::ReadFile(path), "one\ntwo\nthree\n");
    EXPECT_TRUE(platform::AppendFileStillAt(path.c_str(), opened));

    ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
    EXPECT_FALSE(platform::AppendFileStillAt(path.c_str(), opened));
    EXPECT_TRUE(platform::AppendFileStillAt(moved.c_str(), opened));
    EXPECT_EQ(platform::AppendFileWrite(hFile, "four\n", 5), 5u);
    EXPECT_EQ(testutil::ReadFile(moved), "one\ntwo\nthree\nfour\n");
    ASSERT_TRUE(platform::AppendToFile(path.c_str(), "new\n", 4));
    EXPECT_FALSE(platform::AppendFileStillAt(path.c_str(), opened));
    platform::AppendFileClose(hFile);

    EXPECT_EQ(platform::AppendFileOpen(dir.File("no/such/dir").c_str(), &opened),
              platform::kNoAppendFile);
    EXPECT_EQ(platform::AppendFileOpen(dir.Path().c_str(), &opened), platform::kNoAppendFile);
}

// The injected fault writes its bytes for real and reports the rest as not
// written; once used up, writes succeed again.
// The free space is the volume's (the directory part of the path is asked,
// so the file need not exist), the same for every name in one directory.
TEST(PlatformFiles, FreeSpaceIsAskedOfTheFilesDirectory) {
    testutil::TempDir dir;
    struct statvfs st;
    ASSERT_EQ(statvfs(dir.Path().c_str(), &st), 0);
    uint64_t qwFree = 0;
    ASSERT_TRUE(platform::FreeDiskSpace(dir.File("not-yet.bin").c_str(), &qwFree));
    uint64_t qwSystem = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    // Others write to the volume meanwhile: the same to within a few MiB.
    EXPECT_LT(qwFree > qwSystem ? qwFree - qwSystem : qwSystem - qwFree, 64ull << 20);
    uint64_t qwHere = 0;
    EXPECT_TRUE(platform::FreeDiskSpace("no-directory-part", &qwHere));  // the current one
    EXPECT_FALSE(platform::FreeDiskSpace(dir.File("missing/file").c_str(), &qwHere));
    EXPECT_FALSE(platform::FreeDiskSpace(nullptr, &qwHere));
}

TEST(PlatformFiles, AnInjectedAppendFaultCutsTheWriteShort) {
    testutil::TempDir dir;
    std::string path = dir.File("log");
    platform::AppendFile hFile = platform::AppendFileOpen(path.c_str(), nullptr);
    ASSERT_NE(hFile, platform::kNoAppendFile);
    platform_testing::InjectAppendFaults(1, 3);
    EXPECT_EQ(platform::AppendFileWrite(hFile, "abcdef", 6), 3u);
    EXPECT_EQ(platform::AppendFileWrite(hFile, "gh", 2), 2u);
    EXPECT_EQ(testutil::ReadFile(path), "abcgh");
    platform::AppendFileClose(hFile);
}

// A 32-bit build without 64-bit file offsets could neither open nor stat a
// file of 2 GiB or more (EOVERFLOW): GameRun.log would take no more lines
// and a download's temporary file would not be seen. The file here is
// sparse, so it takes no room on the disk.
TEST(PlatformFiles, FilesPastTwoGibibytesAreAppendedToAndSeen) {
    testutil::TempDir dir;
    std::string path = dir.File("GameRun.log");
    const off64_t kBig = (off64_t{1} << 31) + 16;
    int fd = open64(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    bool bSized = ftruncate64(fd, kBig) == 0;
    close(fd);
    if (!bSized) GTEST_SKIP() << "the file system here cannot hold a 2 GiB file";

    EXPECT_TRUE(platform::FileExists(path.c_str()));
    EXPECT_TRUE(platform::AppendToFile(path.c_str(), "tail", 4));
    struct stat64 st;
    ASSERT_EQ(stat64(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kBig + 4);
    char szTail[5] = {};
    fd = open64(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pread64(fd, szTail, 4, kBig), 4);
    close(fd);
    EXPECT_STREQ(szTail, "tail");
}

}  // namespace
