// Benchmarks of the paths that run per request: the codec, the queue table
// (append and drain under the locks), the read step's framer, and a whole
// request/answer round trip against the reference server on loopback.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "exchange/queue_table.h"
#include "frame/alloc.h"
#include "frame/engine.h"
#include "server/reference_server.h"
#include "session/inbound.h"
#include "session/outbound.h"
#include "session/session_thread.h"
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

int NoReConnect(ClientEngine&, int) { return 0; }

// Write_Message1 into one queue and a gathering pass that drains it, as the
// session thread does: the cost of one request inside the library.
void BM_QueueAndGather(benchmark::State& state) {
    vorel_testing::SetSessionThreadEnabled(false);
    ClientEngine* pEngine = GetEngine();
    pEngine->pWriteBuf = static_cast<char*>(ZeroAlloc(kWriteBufferSize));
    {
        KMutexAdaptor<KThreadMutex> guard(pEngine->lockKey, -1);
        std::strcpy(pEngine->szSessionKey, "K3y-7f2a9c");
    }
    SessionState* pState = new SessionState;
    pState->pfnReConnect = NoReConnect;
    char text[] = "300 12 a request of some forty bytes here";
    for (auto _ : state) {
        Write_Message1(300, text, 0);
        WriteStep(*pEngine, *pState);  // no socket: the bytes stay gathered
        pState->iWriteStartPos = 0;
    }
    delete pState;
    DestroyAllEngines();
    vorel_testing::SetSessionThreadEnabled(true);
}
BENCHMARK(BM_QueueAndGather);

// The framer and the storing of answers: 100 answers in one receive.
void BM_ParseAnswers(benchmark::State& state) {
    vorel_testing::SetSessionThreadEnabled(false);
    ClientEngine* pEngine = GetEngine();
    pEngine->pReadBuf = static_cast<char*>(ZeroAlloc(kReadBufferSize));
    char request[] = "300 12 x";
    Write_Message1(300, request, 0);
    SessionState* pState = new SessionState;
    pState->pfnReConnect = NoReConnect;
    std::string stream;
    for (int i = 0; i < 100; ++i)
        stream +=
            refserver::MakePacket(300, "300 12 ok " + std::to_string(i) + " some answer text");
    char buffer[512];
    for (auto _ : state) {
        std::memcpy(pEngine->pReadBuf, stream.data(), stream.size());
        pState->iConnectionGood = 1;
        ParseReceived(*pEngine, *pState, static_cast<int>(stream.size()));
        state.PauseTiming();
        while (Read_Message1(300, buffer, sizeof(buffer), 0, 12) > 0) {
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 100);
    delete pState;
    DestroyAllEngines();
    vorel_testing::SetSessionThreadEnabled(true);
}
BENCHMARK(BM_ParseAnswers);

}  // namespace

BENCHMARK_MAIN();
