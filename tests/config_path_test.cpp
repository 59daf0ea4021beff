// Where the configuration file is looked for when nobody points elsewhere:
// beside the process's executable. A binary of its own, since the path is
// worked out once per process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "util/engine_fixture.h"

namespace {

class ConfigPath : public testutil::EngineFixture {
protected:
    void SetUp() override {
        bOwnConfigPath_ = false;
        EngineFixture::SetUp();
    }
};

TEST_F(ConfigPath, FileBesideTheExecutable) {
    std::filesystem::path expected =
        std::filesystem::read_symlink("/proc/self/exe").parent_path() / "serverConfigs.ini";
    if (std::filesystem::exists(expected)) GTEST_SKIP() << expected << " exists here";
    Engine();
    EXPECT_EQ(
        LogLines(),
        (std::vector<std::string>{
            "---ReadConfigFile---error---严重错误,配置文件,缺少配置项[Lumaro_COM:ConfigInfo]---" +
            expected.string()}));
}

}  // namespace
