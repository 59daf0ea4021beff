// The base of the end-to-end tests: the reference server in-process on
// 127.0.0.1, a configuration file naming it, and an engine whose session
// thread connects to it. The clock runs scaled (20 times by default), so
// that the session's rules of seconds take tens of milliseconds.
#pragma once

#include <memory>
#include <string>

#include "server/reference_server.h"
#include "util/engine_fixture.h"

namespace testutil {

class SessionFixture : public EngineFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    refserver::ReferenceServer& Server() { return *server_; }
    // The options the server starts with; a derived fixture may change them.
    virtual refserver::Options ServerOptions() const { return refserver::Options(); }
    // The configuration value naming the server (and the trace switch).
    void ConfigForServer(int iLogFlag = 0);

    // Creates the engine and waits (real time) until it holds a session key.
    ClientEngine& ConnectedEngine(int iTimeoutMs = 10000);
    bool WaitForKey(int iTimeoutMs);
    // Waits until the server has accepted iCount connections in all and the
    // engine holds a key.
    bool WaitForConnections(int iCount, int iTimeoutMs);

    // Write_Message1 then Read_Message1 with a generous time-out; returns the
    // answer's text ("" when none came) and its code in *piCode.
    std::string Ask(int iType, const std::string& text, int iQueueId, int* piCode = nullptr);

    // Logs on as player/secret under identifier iQueueId; true when the
    // answer reported success.
    bool LogOn(int iQueueId = 1);

    // Packets of one type that the server received.
    int ReceivedOfType(int iType) const;

private:
    std::unique_ptr<refserver::ReferenceServer> server_;
};

// Polls pred every millisecond of real time until it holds, at most iMs.
bool WaitReal(const std::function<bool()>& pred, int iMs);

}  // namespace testutil
