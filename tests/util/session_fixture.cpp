#include "util/session_fixture.h"

#include <chrono>
#include <thread>
#include <vector>

#include "session/session_thread.h"
#include "session/testing.h"
#include "vorel/vorel.h"

namespace testutil {

bool WaitReal(const std::function<bool()>& pred, int iMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void SessionFixture::SetUp() {
    EngineFixture::SetUp();
    vorel_testing::SetSessionThreadEnabled(true);
    UseClockScale(20);
    server_ = std::make_unique<refserver::ReferenceServer>(ServerOptions());
    ASSERT_TRUE(server_->Start());
    ConfigForServer();
}

void SessionFixture::TearDown() {
    EngineFixture::TearDown();
    server_.reset();
}

void SessionFixture::ConfigForServer(int iLogFlag) {
    WriteConfigValue("127.0.0.1 " + std::to_string(server_->Port()) + " " +
                     std::to_string(iLogFlag));
}

bool SessionFixture::WaitForKey(int iTimeoutMs) {
    ClientEngine& engine = Engine();
    return WaitReal(
        [&engine] {
            char szKey[40];
            engine.connection.GetSessionKey(szKey);
            return szKey[0] != '\0';
        },
        iTimeoutMs);
}

ClientEngine& SessionFixture::ConnectedEngine(int iTimeoutMs) {
    ClientEngine& engine = CreateEngine();
    EXPECT_TRUE(WaitForKey(iTimeoutMs)) << "no session key";
    return engine;
}

bool SessionFixture::WaitForConnections(int iCount, int iTimeoutMs) {
    if (!WaitReal([this, iCount] { return server_->Connections() >= iCount; }, iTimeoutMs))
        return false;
    return WaitForKey(iTimeoutMs);
}

std::string SessionFixture::Ask(int iType, const std::string& text, int iQueueId, int* piCode) {
    std::vector<char> input(text.begin(), text.end());
    input.push_back('\0');
    int iWrite = Write_Message1(iType, input.data(), static_cast<int>(text.size()));
    if (iWrite != 1) {
        if (piCode != nullptr) *piCode = -100 + iWrite;
        return "";
    }
    char buffer[70000];
    // 200 s of library time: 10 s of real time at the default scale.
    int iCode = Read_Message1(iType == 201 ? 202 : iType, buffer, sizeof(buffer), 200, iQueueId);
    if (piCode != nullptr) *piCode = iCode;
    return iCode >= 4 ? std::string(buffer) : std::string();
}

bool SessionFixture::LogOn(int iQueueId) {
    int iCode = 0;
    std::string answer =
        Ask(201, "201 " + std::to_string(iQueueId) + " player secret", iQueueId, &iCode);
    return iCode >= 4 && answer.find(" 0 ") != std::string::npos;
}

int SessionFixture::ReceivedOfType(int iType) const {
    int n = 0;
    for (const auto& packet : server_->Received()) n += packet.iType == iType ? 1 : 0;
    return n;
}

}  // namespace testutil
