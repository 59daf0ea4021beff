// Benchmarks of the paths that run per request: the codec, the queue table
// (append and drain under the locks), the read step's framer, the log
// writer, and a whole request/answer round trip against the reference server
// on loopback.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "exchange/queue_table.h"
#include "frame/app.h"
#include "server/reference_server.h"
#include "session/engine.h"
#include "session/inbound.h"
#include "session/outbound.h"
#include "session/session_thread.h"
#include "session/testing.h"
#include "support/quorvex.h"
#include "vorel/vorel.h"

namespace {

void BM_EncodeRequest(benchmark::State& state) {
    TextEncodeDecode codec;
    std::string text = "300 12 " + std::string(static_cast<size_t>(state.range(0)), 'x');
    char out[10224];
    for (auto _ : state) {
        int n = codec.DataEncode("K3y-7f2a9c", text.data(), static_cast<unsigned>(text.size()), out,
                                 sizeof(out), 2);
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_EncodeRequest)->Arg(32)->Arg(1024)->Arg(7000);

// The inverse of BM_EncodeRequest: bytes processed count the decoded text.
void BM_DecodeRequest(benchmark::State& state) {
    TextEncodeDecode codec;
    std::string text = "300 12 " + std::string(static_cast<size_t>(state.range(0)), 'x');
    char encoded[10224];
    int nEncoded = codec.DataEncode("K3y-7f2a9c", text.data(), static_cast<unsigned>(text.size()),
                                    encoded, sizeof(encoded), 2);
    std::vector<char> out(text.size() + 1);
    for (auto _ : state) {
        int n = codec.DataDecode("K3y-7f2a9c", encoded, static_cast<unsigned>(nEncoded), out.data(),
                                 static_cast<unsigned>(out.size()), 2);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    if (nEncoded <= 0 || std::memcmp(out.data(), text.data(), text.size()) != 0)
        state.SkipWithError("the text did not decode back");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_DecodeRequest)->Arg(32)->Arg(1024)->Arg(7000);

int NoReConnect(ClientEngine&, int) { return 0; }

// Write_Message1 into one queue and a gathering pass that drains it, as the
// session thread does: the cost of one request inside the library.
void BM_QueueAndGather(benchmark::State& state) {
    vorel_testing::SetSessionThreadEnabled(false);
    ClientEngine* pEngine = GetEngine();
    pEngine->connection.pWriteBuf = static_cast<char*>(ZeroAlloc(kWriteBufferSize));
    {
        KMutexAdaptor<KThreadMutex> guard(pEngine->connection.lockKey, -1);
        std::strcpy(pEngine->connection.szSessionKey, "K3y-7f2a9c");
    }
    SessionState* pState = new SessionState;
    vorel_testing::SetReConnectStandIn(NoReConnect);
    char text[] = "300 12 a request of some forty bytes here";
    for (auto _ : state) {
        Write_Message1(300, text, 0);
        WriteStep(*pEngine, *pState);  // no socket: the bytes stay gathered
        pState->iWriteStartPos = 0;
    }
    delete pState;
    vorel_testing::SetReConnectStandIn(nullptr);
    DestroyAllEngines();
    vorel_testing::SetSessionThreadEnabled(true);
}
BENCHMARK(BM_QueueAndGather);

// The framer and the storing of answers: 100 answers in one receive.
void BM_ParseAnswers(benchmark::State& state) {
    vorel_testing::SetSessionThreadEnabled(false);
    ClientEngine* pEngine = GetEngine();
    pEngine->connection.pReadBuf = static_cast<char*>(ZeroAlloc(kReadBufferSize));
    char request[] = "300 12 x";
    Write_Message1(300, request, 0);
    SessionState* pState = new SessionState;
    vorel_testing::SetReConnectStandIn(NoReConnect);
    char buffer[512];
    // The game reads answers other than the log-on's only once logged on:
    // the engine takes a successful log-on answer first, so that each
    // iteration's answers are read back and the queue stays short.
    std::string logon = refserver::MakePacket(202, "202 12 player 0 welcome");
    std::memcpy(pEngine->connection.pReadBuf, logon.data(), logon.size());
    pState->iConnectionGood = 1;
    ParseReceived(*pEngine, *pState, static_cast<int>(logon.size()));
    Read_Message1(202, buffer, sizeof(buffer), 0, 12);
    std::string stream;
    for (int i = 0; i < 100; ++i)
        stream +=
            refserver::MakePacket(300, "300 12 ok " + std::to_string(i) + " some answer text");
    int64_t iUnread = 0;
    for (auto _ : state) {
        std::memcpy(pEngine->connection.pReadBuf, stream.data(), stream.size());
        pState->iConnectionGood = 1;
        ParseReceived(*pEngine, *pState, static_cast<int>(stream.size()));
        state.PauseTiming();
        int iRead = 0;
        while (Read_Message1(300, buffer, sizeof(buffer), 0, 12) > 0) ++iRead;
        iUnread += 100 - iRead;
        state.ResumeTiming();
    }
    if (iUnread != 0) state.SkipWithError("answers stayed unread: the table grew");
    state.SetItemsProcessed(state.iterations() * 100);
    delete pState;
    vorel_testing::SetReConnectStandIn(nullptr);
    DestroyAllEngines();
    vorel_testing::SetSessionThreadEnabled(true);
}
BENCHMARK(BM_ParseAnswers);

// One log entry, as the session thread writes two per request, to a file in
// a directory of its own; with several threads, all of them write to it.
void BM_LogEntry(benchmark::State& state) {
    static char szDir[] = "/tmp/vorel-bench-log-XXXXXX";
    static std::string path;
    if (state.thread_index() == 0) {
        std::strcpy(szDir + std::strlen(szDir) - 6, "XXXXXX");
        if (mkdtemp(szDir) == nullptr) state.SkipWithError("no temporary directory");
        path = std::string(szDir) + "/GameRun.log";
    }
    int iType = 300;
    for (auto _ : state) WriteFileNew(path.c_str(), "线程1---send2---type=%d---\n", iType);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        WriteFileClose();
        unlink(path.c_str());
        rmdir(szDir);
    }
}
BENCHMARK(BM_LogEntry)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
