// The base of every test that needs the engine. Each test gets a directory
// of its own holding the log and the configuration file, a scaled clock, and
// afterwards a clean slate: every engine destroyed, every test hook removed.
//
// Engines are made in exactly one place, CreateEngine(), or by an export
// called inside such a test; both happen after SetUp.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/log_file.h"
#include "frame/app.h"
#include "session/engine.h"
#include "util/fake_clock.h"
#include "util/temp_dir.h"

struct MESSAGE_QUEUE;

namespace testutil {

// One listed node of a queue, as seen under the queue's lock.
struct NodeView {
    int iType = 0;
    uint32_t dwLength = 0;
    int iDone = 0;
    std::string payload;       // dwLength - 16 bytes
    bool bTerminated = false;  // the byte behind the payload is 0
};

// A queue as seen under the table's lock and its own.
struct QueueView {
    bool bExists = false;
    int iCount = 0;
    int32_t tLastUse = 0;
    bool bTailIsLast = false;  // pTail is the last listed node (or both are null)
    std::vector<NodeView> nodes;
    int Pending() const;
};

class EngineFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The one engine of these tests, created through GetEngine on first use.
    // Safe to call from several threads at once.
    ClientEngine& CreateEngine();
    ClientEngine& Engine() { return CreateEngine(); }

    // The engine's server address as it stands.
    std::string Host();
    int Port();

    // Replaces the scaled clock (scale 1000 after SetUp); 0 removes it.
    void UseClockScale(uint32_t dwScale);
    // Replaces it with a clock that stands still but for AdvanceSeconds and
    // the sleeps, which move it by their length at once.
    void UseManualClock();
    ScopedTestClock& Clock() { return *clock_; }

    // The configuration file the engine reads: written before the engine
    // is created, or before a later ReadConfigFile.
    std::string ConfigPath() const { return dir_.File("serverConfigs.ini"); }
    void WriteConfig(const std::string& content) const;
    // Writes "[Lumaro_COM]\nConfigInfo=<value>\n".
    void WriteConfigValue(const std::string& value) const;

    // The texts of the log's lines: the "[YYYY-MM-DD HH:MM:SS] " prefix is
    // checked and removed; lines that continue an entry come as they are.
    std::vector<std::string> LogLines() const;
    int CountLogLines(const std::string& text) const;
    bool LogHas(const std::string& text) const { return CountLogLines(text) > 0; }
    void ClearLog() const;

    const TempDir& Dir() const { return dir_; }

    // Set by a derived fixture before SetUp to let the library work out the
    // configuration path itself.
    bool bOwnConfigPath_ = true;

private:
    TempDir dir_;
    std::string logPath_;
    std::string configPath_;
    std::optional<ScopedTestClock> clock_;
};

// How an answer gets into a receive queue.
enum class SendQueue {
    kCreate,   // make the send queue of N if it is missing, as a request would have
    kRequire,  // refuse when the send queue of N is missing, as the inbound path does
};

// Stores an answer of type iType with `payload` for iQueueId as the inbound
// path does (the send queue of N stamped, the answer appended to the
// receive queue), and lets the readers take it. Returns false when nothing
// was queued.
bool QueueAnswer(QueueTable& queues, int iQueueId, int iType, const std::string& payload,
                 SendQueue sendQueue = SendQueue::kCreate);

// The queue of szKey as it is now.
QueueView InspectQueue(QueueTable& queues, const char* szKey);
std::string SendKey(int iQueueId);
std::string RecvKey(int iQueueId);

// Sets a queue's tLastUse (under the locks); false when it does not exist.
bool SetQueueLastUse(QueueTable& queues, const char* szKey, int32_t tLastUse);

// The whole queue table's entry count as the table keeps it, and as counted
// by walking its buckets.
struct TableCount {
    int iRecorded = 0;
    int iWalked = 0;
};
TableCount CountTable(QueueTable& queues);

}  // namespace testutil
