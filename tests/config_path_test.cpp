// Where the configuration file is looked for when nobody points elsewhere:
// beside the process's executable, and nowhere when that path does not fit
// the library's 512-byte buffer. A binary of its own, since the path is
// worked out once per process; long paths are tried by running a copy of
// this program from a deep directory, the copy running the same test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "util/engine_fixture.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Set for a copy of this program: what its engine should have taken from
// the configuration, "HOST PORT", or "nothing".
constexpr const char kExpectVariable[] = "VOREL_CONFIG_PATH_EXPECT";

// An address written into a configuration file, as the copy reports it.
std::string Address(int i) {
    return "10.5.5." + std::to_string(i) + " " + std::to_string(5000 + i);
}

fs::path ThisProgram() { return fs::read_symlink("/proc/self/exe"); }

// A directory path of exactly iLength characters below `base`, made of
// components of at most 200 characters; the directories are created.
std::string DirectoryOfLength(const std::string& base, size_t iLength) {
    std::string path = base;
    char c = 'a';
    while (path.size() < iLength) {
        size_t iRest = iLength - path.size() - 1;  // after the separator
        size_t iPart = iRest <= 200 ? iRest : std::min<size_t>(200, iRest - 2);
        path += "/" + std::string(iPart, c++);
    }
    fs::create_directories(path);
    return path;
}

void WriteAddress(const std::string& directory, int i) {
    testutil::WriteFile(directory + "/serverConfigs.ini",
                        "[Lumaro_COM]\nConfigInfo=" + Address(i) + "\n");
}

class ConfigPath : public testutil::EngineFixture {
protected:
    void SetUp() override {
        bOwnConfigPath_ = false;
        EngineFixture::SetUp();
    }

    static bool InCopy() { return std::getenv(kExpectVariable) != nullptr; }

    // Whether the temporary directory leaves room for the paths built here.
    bool RoomForLongPaths() const { return Dir().Path().size() < 300; }

    // In the copy: the engine is made as the game's first call makes it, and
    // what its configuration runs found is checked against the parent's word.
    void CheckAsCopy() {
        const std::string expected = std::getenv(kExpectVariable);
        Engine();
        if (expected != "nothing") {
            EXPECT_EQ(Host() + " " + std::to_string(Port()), expected);
            EXPECT_TRUE(LogLines().empty());
            return;
        }
        const std::string line =
            "---ReadConfigFile---error---严重错误,配置文件路径太长---" + ThisProgram().string();
        EXPECT_EQ(LogLines(), (std::vector<std::string>{line}));
        EXPECT_EQ(Host(), "");
        EXPECT_EQ(Port(), 0);
        // Later runs read nothing either, and say so again.
        EXPECT_EQ(Engine().ReadConfigFile(), 0);
        EXPECT_EQ(LogLines(), (std::vector<std::string>{line, line}));
        EXPECT_EQ(Host(), "");
    }

    // Runs this test alone in a copy of this program at `exe`, telling it
    // what to expect; the copy's checks must all pass.
    void RunCopyAt(const std::string& exe, const std::string& expected) {
        std::error_code error;
        fs::create_hard_link(ThisProgram(), exe, error);
        if (error) fs::copy_file(ThisProgram(), exe);  // another file system

        const ::testing::TestInfo* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string filter =
            std::string("--gtest_filter=") + pInfo->test_suite_name() + "." + pInfo->name();
        std::string variable = std::string(kExpectVariable) + "=" + expected;
        std::vector<char*> argv{const_cast<char*>(exe.c_str()), filter.data(), nullptr};
        std::vector<char*> env;
        for (char** p = environ; *p != nullptr; ++p) {
            if (std::strncmp(*p, kExpectVariable, sizeof(kExpectVariable) - 1) != 0) {
                env.push_back(*p);
            }
        }
        env.push_back(variable.data());
        env.push_back(nullptr);

        std::string outputPath = Dir().File("copy-output.txt");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = 0;
        int iSpawn = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), env.data());
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(iSpawn, 0) << std::strerror(iSpawn);
        int iStatus = 0;
        ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
        std::string output = testutil::ReadFile(outputPath);
        EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0) << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
    }
};

TEST_F(ConfigPath, FileBesideTheExecutable) {
    fs::path expected = ThisProgram().parent_path() / "serverConfigs.ini";
    if (fs::exists(expected)) GTEST_SKIP() << expected << " exists here";
    Engine();
    EXPECT_EQ(
        LogLines(),
        (std::vector<std::string>{
            "---ReadConfigFile---error---严重错误,配置文件,缺少配置项[Lumaro_COM:ConfigInfo]---" +
            expected.string()}));
}

// Cut to the buffer, the path of a deep executable ends inside one of its
// directories; the directory before that cut is an ancestor, and its
// configuration file belongs to another program.
TEST_F(ConfigPath, ExecutablePathOverTheBufferReadsNoAncestorFile) {
    if (InCopy()) return CheckAsCopy();
    if (!RoomForLongPaths()) GTEST_SKIP() << Dir().Path() << " is too long to build on";
    // Longer than the first room the path is read into, too.
    std::string directory = DirectoryOfLength(Dir().Path(), 1100);
    std::string exe = directory + "/config_path_copy";
    std::string cut = exe.substr(0, 511);
    std::string ancestor = cut.substr(0, cut.rfind('/'));
    ASSERT_LT(ancestor.size(), directory.size());
    ASSERT_LE(ancestor.size() + std::strlen("/serverConfigs.ini"), 511u);
    WriteAddress(ancestor, 1);
    RunCopyAt(exe, "nothing");
}

// An executable's path that does not fit is not used at all, even where the
// cut path would still name its own directory.
TEST_F(ConfigPath, ExecutablePathOf511BytesIsUsedAnd512IsNot) {
    if (InCopy()) return CheckAsCopy();
    if (!RoomForLongPaths()) GTEST_SKIP() << Dir().Path() << " is too long to build on";
    const std::string name(20, 'x');
    std::string fits = DirectoryOfLength(Dir().Path() + "/fits", 511 - 1 - name.size());
    WriteAddress(fits, 2);
    RunCopyAt(fits + "/" + name, Address(2));

    std::string over = DirectoryOfLength(Dir().Path() + "/over", 512 - 1 - name.size());
    WriteAddress(over, 3);
    RunCopyAt(over + "/" + name, "nothing");
}

// A short executable's name in a long directory: the configuration file's
// path is what must fit.
TEST_F(ConfigPath, ConfigurationPathOf511BytesIsReadAnd512IsNot) {
    if (InCopy()) return CheckAsCopy();
    if (!RoomForLongPaths()) GTEST_SKIP() << Dir().Path() << " is too long to build on";
    const size_t iName = std::strlen("/serverConfigs.ini");
    std::string fits = DirectoryOfLength(Dir().Path() + "/fits", 511 - iName);
    WriteAddress(fits, 4);
    RunCopyAt(fits + "/t", Address(4));

    std::string over = DirectoryOfLength(Dir().Path() + "/over", 512 - iName);
    WriteAddress(over, 5);
    RunCopyAt(over + "/t", "nothing");
}

}  // namespace
